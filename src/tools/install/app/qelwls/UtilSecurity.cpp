// The administrator check and interactive-user access on registry keys.
#include "Handles.h"
#include "Util.h"

#include <aclapi.h>

#include <vector>

namespace qel {

bool IsAdmin() {
    SelfImpersonation impersonation;
    UniqueHandle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, token.Put())) {
        if (::GetLastError() != ERROR_NO_TOKEN) return false;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid administrators;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                    0, 0, 0, administrators.Put()))
        return false;

    // A descriptor that grants access 1 to administrators only: the token passes
    // the access check exactly when it holds the Administrators group.
    constexpr DWORD kAccessRead = 1, kAccessWrite = 2;
    // The ACL header, one ACE header with its mask, and the SID.
    const DWORD aclSize = ::GetLengthSid(administrators.Get()) + 16;
    std::vector<BYTE> aclBuffer(aclSize);
    auto* acl = reinterpret_cast<PACL>(aclBuffer.data());
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::InitializeAcl(acl, static_cast<DWORD>(aclBuffer.size()), ACL_REVISION2) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION2, kAccessRead | kAccessWrite, administrators.Get()) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorGroup(&descriptor, administrators.Get(), FALSE) ||
        !::SetSecurityDescriptorOwner(&descriptor, administrators.Get(), FALSE) ||
        !::IsValidSecurityDescriptor(&descriptor))
        return false;

    GENERIC_MAPPING mapping{kAccessRead, kAccessWrite, 0, kAccessRead | kAccessWrite};
    BYTE privilegeBuffer[20];
    DWORD privilegeLength = sizeof(privilegeBuffer);
    DWORD granted = 0;
    BOOL accessStatus = FALSE;
    if (!::AccessCheck(&descriptor, token.Get(), kAccessRead, &mapping,
                       reinterpret_cast<PPRIVILEGE_SET>(privilegeBuffer), &privilegeLength, &granted, &accessStatus))
        return false;
    return accessStatus != FALSE;
}

bool GrantInteractiveAccess(const std::wstring& keyPathUnderHklm) {
    UniqueKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPathUnderHklm.c_str(), 0, nullptr, 0, WRITE_DAC, nullptr, key.Put(),
                          nullptr) != ERROR_SUCCESS)
        return false;

    // AddAccessAllowedAceEx is looked up at run time: it is missing before 2000.
    UniqueLibrary advapi32(::LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!advapi32) return false;
    using AddAccessAllowedAceExFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, DWORD, PSID);
    const auto addAccessAllowedAceEx =
        reinterpret_cast<AddAccessAllowedAceExFn>(::GetProcAddress(advapi32.Get(), "AddAccessAllowedAceEx"));
    if (!addAccessAllowedAceEx) return false;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid interactive;
    if (!::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0, interactive.Put()))
        return false;

    const DWORD aclSize = ::GetLengthSid(interactive.Get()) + 16;
    std::vector<BYTE> aclBuffer(aclSize);
    auto* acl = reinterpret_cast<PACL>(aclBuffer.data());
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeAcl(acl, aclSize, ACL_REVISION2) ||
        !addAccessAllowedAceEx(acl, ACL_REVISION2, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1FFFFF,
                               interactive.Get()) ||
        !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        return false;
    return ::SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr) ==
           ERROR_SUCCESS;
}

}  // namespace qel
