// Owning wrappers for every kind of Windows resource the program holds. Logic
// never closes a handle, key, INF, device list or library by hand: it lets one
// of these go out of scope.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <setupapi.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace qel {

// A unique owner of a value of type T with a closer and an "empty" value.
template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    ~UniqueResource() { Reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    T Get() const { return value_; }
    bool Valid() const { return !Traits::IsEmpty(value_); }
    explicit operator bool() const { return Valid(); }

    // For out-parameters of Windows calls: closes what is held, then hands out
    // the address of the empty slot.
    T* Put() {
        Reset();
        return &value_;
    }
    T Release() { return std::exchange(value_, Traits::Empty()); }
    void Reset(T value = Traits::Empty()) {
        if (Valid()) Traits::Close(value_);
        value_ = value;
    }

private:
    T value_ = Traits::Empty();
};

struct KernelHandleTraits {  // files, processes, threads, pipes, events
    static HANDLE Empty() { return nullptr; }
    static bool IsEmpty(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsEmpty(HANDLE h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct RegKeyTraits {
    static HKEY Empty() { return nullptr; }
    static bool IsEmpty(HKEY k) { return k == nullptr; }
    static void Close(HKEY k) { ::RegCloseKey(k); }
};
struct InfHandleTraits {
    static HINF Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsEmpty(HINF h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void Close(HINF h) { ::SetupCloseInfFile(h); }
};
struct DevInfoTraits {
    static HDEVINFO Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsEmpty(HDEVINFO h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void Close(HDEVINFO h) { ::SetupDiDestroyDeviceInfoList(h); }
};
struct LibraryTraits {
    static HMODULE Empty() { return nullptr; }
    static bool IsEmpty(HMODULE h) { return h == nullptr; }
    static void Close(HMODULE h) { ::FreeLibrary(h); }
};
struct BstrTraits {
    static BSTR Empty() { return nullptr; }
    static bool IsEmpty(BSTR s) { return s == nullptr; }
    static void Close(BSTR s) { ::SysFreeString(s); }
};
struct CoTaskMemTraits {
    static void* Empty() { return nullptr; }
    static bool IsEmpty(void* p) { return p == nullptr; }
    static void Close(void* p) { ::CoTaskMemFree(p); }
};
struct LocalMemTraits {  // buffers that FormatMessage and the security calls allocate
    static HLOCAL Empty() { return nullptr; }
    static bool IsEmpty(HLOCAL p) { return p == nullptr; }
    static void Close(HLOCAL p) { ::LocalFree(p); }
};
struct SidTraits {  // SIDs from AllocateAndInitializeSid
    static PSID Empty() { return nullptr; }
    static bool IsEmpty(PSID p) { return p == nullptr; }
    static void Close(PSID p) { ::FreeSid(p); }
};

struct FontTraits {  // fonts a window makes for its own controls
    static HFONT Empty() { return nullptr; }
    static bool IsEmpty(HFONT f) { return f == nullptr; }
    static void Close(HFONT f) { ::DeleteObject(f); }
};

struct CryptProviderTraits {  // a cryptographic provider's context
    static HCRYPTPROV Empty() { return 0; }
    static bool IsEmpty(HCRYPTPROV p) { return p == 0; }
    static void Close(HCRYPTPROV p) { ::CryptReleaseContext(p, 0); }
};
struct CryptHashTraits {
    static HCRYPTHASH Empty() { return 0; }
    static bool IsEmpty(HCRYPTHASH h) { return h == 0; }
    static void Close(HCRYPTHASH h) { ::CryptDestroyHash(h); }
};

using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using UniqueFindHandle = UniqueResource<HANDLE, FindHandleTraits>;
using UniqueKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueInf = UniqueResource<HINF, InfHandleTraits>;
using UniqueDevInfo = UniqueResource<HDEVINFO, DevInfoTraits>;
using UniqueLibrary = UniqueResource<HMODULE, LibraryTraits>;
using UniqueBstr = UniqueResource<BSTR, BstrTraits>;
using UniqueCoTaskMem = UniqueResource<void*, CoTaskMemTraits>;
using UniqueLocalMem = UniqueResource<HLOCAL, LocalMemTraits>;
using UniqueSid = UniqueResource<PSID, SidTraits>;
using UniqueFont = UniqueResource<HFONT, FontTraits>;
using UniqueCryptProvider = UniqueResource<HCRYPTPROV, CryptProviderTraits>;
using UniqueCryptHash = UniqueResource<HCRYPTHASH, CryptHashTraits>;

// A COM interface pointer that releases its reference.
template <typename I>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    I* Get() const { return ptr_; }
    I* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    I** Put() {
        Reset();
        return &ptr_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() {
        if (ptr_) ptr_->Release();
        ptr_ = nullptr;
    }

private:
    I* ptr_ = nullptr;
};

// COM initialised for the lifetime of the scope; uninitialised only if the
// initialisation succeeded.
class ComScope {
public:
    explicit ComScope(DWORD model) : hr_(::CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    HRESULT Result() const { return hr_; }

private:
    HRESULT hr_;
};

// The thread locale switched for the lifetime of the scope, then set back.
class ThreadLocaleScope {
public:
    explicit ThreadLocaleScope(LCID locale) : saved_(::GetThreadLocale()) { ::SetThreadLocale(locale); }
    ~ThreadLocaleScope() { ::SetThreadLocale(saved_); }
    ThreadLocaleScope(const ThreadLocaleScope&) = delete;
    ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;

private:
    LCID saved_;
};

// ImpersonateSelf for the lifetime of the scope.
class SelfImpersonation {
public:
    SelfImpersonation() : active_(::ImpersonateSelf(SecurityImpersonation) != FALSE) {}
    ~SelfImpersonation() {
        if (active_) ::RevertToSelf();
    }
    SelfImpersonation(const SelfImpersonation&) = delete;
    SelfImpersonation& operator=(const SelfImpersonation&) = delete;

private:
    bool active_;
};

}  // namespace qel
