// The administrator check and interactive-user access on registry keys.
#include "Handles.h"
#include "Util.h"

#include <aclapi.h>

#include <cstring>
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

namespace {

// What interactive users get on a settings key and below it: read it, set
// its values and make subkeys. Never the rights to delete it, change its
// permissions or owner, or create registry links, with which a user could
// turn an elevated deletion of the tree against keys of the user's choosing.
constexpr DWORD kInteractiveKeyRights = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// Rights that change a key or what it holds.
constexpr DWORD kChangingRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type) != FALSE; }

// Administrators, the system, and the installer service of Windows.
bool IsTrustedSid(PSID sid) {
    if (IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid)) return true;
    // NT SERVICE\TrustedInstaller
    static const DWORD kTrustedInstaller[] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    const PSID_IDENTIFIER_AUTHORITY authority = ::GetSidIdentifierAuthority(sid);
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (std::memcmp(authority, &nt, sizeof(nt)) != 0 || *::GetSidSubAuthorityCount(sid) != 6) return false;
    for (DWORD i = 0; i < 6; ++i)
        if (*::GetSidSubAuthority(sid, i) != kTrustedInstaller[i]) return false;
    return true;
}

}  // namespace

bool GrantInteractiveAccess(const std::wstring& keyPathUnderHklm) {
    UniqueKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPathUnderHklm.c_str(), 0, nullptr, 0, READ_CONTROL | WRITE_DAC, nullptr,
                          key.Put(), nullptr) != ERROR_SUCCESS)
        return false;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid interactive;
    if (!::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0, interactive.Put()))
        return false;

    // The grant is added to what the key allows already: administrators and
    // the system keep their access.
    PACL existing = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &existing, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    UniqueLocalMem descriptorOwner(descriptor);

    EXPLICIT_ACCESSW grant{};
    grant.grfAccessPermissions = kInteractiveKeyRights;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    grant.Trustee.ptstrName = static_cast<LPWSTR>(interactive.Get());
    PACL merged = nullptr;
    if (::SetEntriesInAclW(1, &grant, existing, &merged) != ERROR_SUCCESS) return false;
    UniqueLocalMem mergedOwner(merged);
    return ::SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, merged,
                             nullptr) == ERROR_SUCCESS;
}

bool OnlyAdministratorsCanChange(HKEY key) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                          nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    UniqueLocalMem descriptorOwner(descriptor);
    // No DACL lets everyone do everything; an owner may rewrite the DACL.
    if (!dacl || (owner && !IsTrustedSid(owner))) return false;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!::GetAce(dacl, index, &ace)) return false;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kChangingRights) == 0) continue;
        if (!IsTrustedSid(const_cast<DWORD*>(&allowed->SidStart))) return false;
    }
    return true;
}

}  // namespace qel
