// The AddReg and DelReg keys. Every line of a listed registry section becomes
// one queued RegistryUpdate; the registry itself is changed only at commit.
#include "CmdLineKeys.h"
#include "Util.h"

#include <setupapi.h>

#include <cwchar>

namespace qel {
namespace {
// Fields of a registry section line, as SetupAPI numbers them.
constexpr int kFieldRoot = 1;
constexpr int kFieldSubkey = 2;
constexpr int kFieldValueName = 3;
constexpr int kFieldFlags = 4;
constexpr int kFieldValue = 5;
constexpr int kFieldStringId = 6;
constexpr int kFieldAccess = 7;

// A DelReg line may carry the deletion operation bit and the bits from
// 0x1000 to 0x10000 (views, the multi-string marker); nothing else.
constexpr uint32_t kDelRegAllowedFlags = 0x1F002;
// Windows before XP has no registry views; the flags would only make the
// opens fail there.
constexpr uint32_t kViewFlags = FLG_ADDREG_64BITKEY | FLG_ADDREG_32BITKEY;

struct NamedRoot {
    const wchar_t* name;
    HKEY root;
};

enum class DataForm { String, Binary, Integer };

struct ValueType {
    uint32_t typeBits;  // the flags masked with FLG_ADDREG_TYPE_MASK
    DWORD registryType;
    DataForm form;
};

constexpr ValueType kValueTypes[] = {
    {FLG_ADDREG_TYPE_SZ, REG_SZ, DataForm::String},
    {FLG_ADDREG_TYPE_MULTI_SZ, REG_MULTI_SZ, DataForm::String},
    {FLG_ADDREG_TYPE_EXPAND_SZ, REG_EXPAND_SZ, DataForm::String},
    {FLG_ADDREG_TYPE_BINARY, REG_BINARY, DataForm::Binary},
    {FLG_ADDREG_TYPE_NONE, REG_NONE, DataForm::Binary},
    {FLG_ADDREG_TYPE_DWORD, REG_DWORD, DataForm::Integer},
};

// Names of localized strings in the package's resource DLL; a string value
// naming one becomes the indirect string "<field 5>,-<id>".
struct StringId {
    const wchar_t* name;
    int id;
};
constexpr StringId kStringIds[] = {
    {L"STRID_OEM_SHORTCUT_NAME", 4703},
    {L"STRID_OEM_UTIL_NAME", 4701},
    {L"STRID_ISM_HP", 4494},
    {L"STRID_OEM_SC_README", 4749},
};

// One line of a registry section. Every failure names the section and the
// line's position in it, counted from 1 as an editor shows it.
class RegLine {
public:
    RegLine(const InfFile& script, const std::wstring& section, long position)
        : script_(script), section_(section), position_(static_cast<DWORD>(position)) {}

    [[noreturn]] void Fail(const std::wstring& what) const {
        RaiseLineFault(script_, section_, position_, ScriptFault::InvalidLine, LineWording::Clause, what);
    }

    // A required string field; present but empty counts as present.
    std::wstring String(int field) const {
        std::wstring text;
        if (script_.GetLineField(section_, position_, field, text) != InfOk) FailMissing(field);
        return text;
    }

    bool OptionalString(int field, std::wstring& text) const {
        return script_.GetLineField(section_, position_, field, text) == InfOk;
    }

    // A required integer field; text that is not a number counts as missing.
    uint32_t Integer(int field) const {
        int value = 0;
        if (script_.GetIntField(section_, position_, static_cast<DWORD>(field), value) != InfOk)
            FailMissing(field);
        return static_cast<uint32_t>(value);
    }

    // The hex bytes of the field and every field after it.
    std::vector<BYTE> Binary(int field) const {
        std::vector<BYTE> bytes;
        if (script_.GetBinaryField(section_, position_, static_cast<DWORD>(field), bytes) != InfOk)
            FailMissing(field);
        return bytes;
    }

private:
    [[noreturn]] void FailMissing(int field) const {
        RaiseLineFault(script_, section_, position_, ScriptFault::MissingField, LineWording::Clause,
                       FormatText(L"field %d missing or not valid", field));
    }

    const InfFile& script_;
    const std::wstring& section_;
    DWORD position_;
};

HKEY RootFromName(const RegLine& line, const std::wstring& name) {
    const NamedRoot roots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT},
        {L"HKCU", HKEY_CURRENT_USER},
        {L"HKLM", HKEY_LOCAL_MACHINE},
        {L"HKEY_USERS", HKEY_USERS},
        {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        {L"HKR", RelativeRoot()},
    };
    for (const NamedRoot& root : roots)
        if (_wcsicmp(name.c_str(), root.name) == 0) return root.root;
    line.Fail(L"unknown root '" + name + L"'");
}

const ValueType& TypeFromFlags(const RegLine& line, uint32_t flags) {
    const uint32_t typeBits = flags & FLG_ADDREG_TYPE_MASK;
    for (const ValueType& type : kValueTypes)
        if (type.typeBits == typeBits) return type;
    line.Fail(FormatText(L"unknown value type bits 0x%08X", typeBits));
}

// Field 5 as text with its terminating NUL, as the registry stores a string.
// A REG_MULTI_SZ value is the same single string: one line holds one item.
std::vector<BYTE> StringData(const RegLine& line) {
    std::wstring text = line.String(kFieldValue);
    std::wstring stringIdName;
    if (line.OptionalString(kFieldStringId, stringIdName)) {
        for (const StringId& id : kStringIds)
            if (_wcsicmp(stringIdName.c_str(), id.name) == 0) text += FormatText(L",-%d", id.id);
    }
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

std::vector<BYTE> DwordData(const RegLine& line) {
    const uint32_t value = line.Integer(kFieldValue);
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

uint32_t ForRunningWindows(uint32_t flags) {
    if (SetupGetRunningWinVer() < WinVerXP) flags &= ~kViewFlags;
    return flags;
}

void QueueAddition(UpdateTransaction& transaction, const RegLine& line) {
    const HKEY root = RootFromName(line, line.String(kFieldRoot));
    const std::wstring subkey = line.String(kFieldSubkey);
    const std::wstring valueName = line.String(kFieldValueName);
    const uint32_t flags = line.Integer(kFieldFlags);

    const ValueType& type = TypeFromFlags(line, flags);
    std::vector<BYTE> data;
    switch (type.form) {
    case DataForm::String: data = StringData(line); break;
    case DataForm::Binary: data = line.Binary(kFieldValue); break;
    case DataForm::Integer: data = DwordData(line); break;
    }
    // Appending is defined for strings only; the commit would find nothing to
    // append to.
    if ((flags & FLG_ADDREG_APPEND) && (flags & FLG_ADDREG_BINVALUETYPE))
        line.Fail(FormatText(L"append flag with a non-string type (flags 0x%08X)", flags));
    // The access value sits in field 7 whatever the type, so for binary data
    // it is the third data byte, read as a decimal number.
    const uint32_t access = line.Integer(kFieldAccess);

    transaction.RegistryUpdate(root, subkey, valueName, type.registryType, ForRunningWindows(flags), data, access,
                               true);
}

void QueueDeletion(UpdateTransaction& transaction, const RegLine& line) {
    const HKEY root = RootFromName(line, line.String(kFieldRoot));
    const std::wstring subkey = line.String(kFieldSubkey);
    const std::wstring valueName = line.String(kFieldValueName);
    const uint32_t flags = line.Integer(kFieldFlags);

    if (flags & ~kDelRegAllowedFlags) line.Fail(FormatText(L"flags 0x%08X not valid for a deletion", flags));
    // An empty subkey would name the root itself.
    if (subkey.empty()) line.Fail(L"empty subkey");

    transaction.RegistryUpdate(root, subkey, valueName, REG_NONE, ForRunningWindows(flags), {}, 0, false);
}

// Runs `queue` on every line of every section that `key` lists in `section`,
// in file order. A missing key or listed section queues nothing.
template <typename QueueLine>
void ForEachRegistryLine(const InfFile& script, const std::wstring& section, const wchar_t* key, QueueLine queue) {
    std::vector<std::wstring> registrySections;
    if (script.GetKeyValues(section, key, registrySections) != InfOk) return;
    for (const std::wstring& registrySection : registrySections) {
        long count = 0;
        if (script.GetLineCount(registrySection, count) != InfOk) continue;
        for (long position = 0; position < count; ++position) queue(RegLine(script, registrySection, position));
    }
}

}  // namespace

void AddRegKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    ForEachRegistryLine(script, section, L"AddReg",
                        [&](const RegLine& line) { QueueAddition(transaction, line); });
}

void DelRegKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    ForEachRegistryLine(script, section, L"DelReg",
                        [&](const RegLine& line) { QueueDeletion(transaction, line); });
}

}  // namespace qel
