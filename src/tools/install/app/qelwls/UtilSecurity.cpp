// The administrator check, interactive-user access on registry keys, and
// the judgement of who may change a key, file or folder.
#include "Handles.h"
#include "Util.h"

#include <aclapi.h>
#include <sddl.h>

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

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type) != FALSE; }

// NT SERVICE\TrustedInstaller, the Windows installer service.
bool IsTrustedInstaller(PSID sid) {
    static const DWORD kTrustedInstaller[] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    const PSID_IDENTIFIER_AUTHORITY authority = ::GetSidIdentifierAuthority(sid);
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (std::memcmp(authority, &nt, sizeof(nt)) != 0 || *::GetSidSubAuthorityCount(sid) != 6) return false;
    for (DWORD i = 0; i < 6; ++i)
        if (*::GetSidSubAuthority(sid, i) != kTrustedInstaller[i]) return false;
    return true;
}

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"(an account)";
    const UniqueLocalMem owner(text);
    return text;
}

}  // namespace

const DWORD kKeyChangingRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Writing or appending to a file is, in a folder, making files and folders
// in it; deleting what a folder holds replaces it as well.
const DWORD kFileChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsAdministratorSid(PSID sid, PSID account) {
    if (!sid || !::IsValidSid(sid)) return false;
    if (IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid) || IsTrustedInstaller(sid))
        return true;
    return account && ::IsValidSid(account) && ::EqualSid(sid, account);
}

WriterVerdict JudgeWriters(PSECURITY_DESCRIPTOR descriptor, DWORD changingRights, PSID account) {
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE, daclPresent = FALSE, daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) ||
        !::GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &daclDefaulted))
        return {false, L"its permissions cannot be read"};
    // An owner may rewrite the access list whatever it says.
    if (!owner) return {false, L"it has no owner"};
    if (!IsAdministratorSid(owner, account)) return {false, L"its owner " + SidText(owner) + L" is not an administrator"};
    if (!daclPresent || !dacl) return {false, L"it has no access list: everyone may change it"};
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!::GetAce(dacl, index, &ace)) return {false, L"its access list cannot be read"};
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what is made in it, not for itself
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;  // only takes away
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
            break;  // the same layout up to the SID
        default:
            return {false, FormatText(L"an access entry of kind %u cannot be judged", header->AceType)};
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        const DWORD changing = allowed->Mask & changingRights;
        if (changing == 0) continue;
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        // Creator Owner stands for whoever makes something inside, and only
        // in entries handed down; Owner Rights is the owner, judged above.
        if (IsWellKnown(sid, WinCreatorOwnerSid) || IsWellKnown(sid, WinCreatorGroupSid) ||
            IsWellKnown(sid, WinCreatorOwnerRightsSid) || IsAdministratorSid(sid, account))
            continue;
        return {false, FormatText(L"%s may change it (rights 0x%08x)", SidText(sid).c_str(), changing)};
    }
    return {true, L""};
}

std::vector<BYTE> RunningAccountSid() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) return {};
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

WriterVerdict JudgeJournalFile(PSECURITY_DESCRIPTOR file, PSECURITY_DESCRIPTOR folder, PSID account) {
    const WriterVerdict ofFile = JudgeWriters(file, kFileChangingRights, account);
    if (!ofFile.onlyAdministrators) return {false, L"the file: " + ofFile.reason};
    // Whoever may make files in the folder may make the file before the run
    // does, or put another in its place once it is gone.
    const WriterVerdict ofFolder = JudgeWriters(folder, kFileChangingRights, account);
    if (!ofFolder.onlyAdministrators) return {false, L"its folder: " + ofFolder.reason};
    return {true, L""};
}

WriterVerdict JudgeJournalFileAt(HANDLE file, const std::wstring& path) {
    // A name that leads through a link puts the file in a folder other than
    // the one its path shows.
    if (PassesThroughReparsePoint(path)) return {false, L"its path passes through a link"};
    const std::wstring folderPath = DirectoryOf(path);
    UniqueHandle folder(::CreateFileW(folderPath.c_str(), READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    PSECURITY_DESCRIPTOR fileDescriptor = nullptr, folderDescriptor = nullptr;
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, kWhat, nullptr, nullptr, nullptr, nullptr, &fileDescriptor) !=
        ERROR_SUCCESS)
        return {false, L"its permissions cannot be read"};
    const UniqueLocalMem fileDescriptorOwner(fileDescriptor);
    if (!folder || ::GetSecurityInfo(folder.Get(), SE_FILE_OBJECT, kWhat, nullptr, nullptr, nullptr, nullptr,
                                     &folderDescriptor) != ERROR_SUCCESS)
        return {false, L"its folder's permissions cannot be read"};
    const UniqueLocalMem folderDescriptorOwner(folderDescriptor);
    std::vector<BYTE> account = RunningAccountSid();
    return JudgeJournalFile(fileDescriptor, folderDescriptor, account.empty() ? nullptr : account.data());
}

bool GrantInteractiveAccess(const std::wstring& keyPathUnderHklm) {
    UniqueKey key;
    // The key the grant goes on is never one a link leads to: a user's link
    // there would hand the grant over to a key of the user's choosing.
    if (CreateKeyWithoutLinks(HKEY_LOCAL_MACHINE, keyPathUnderHklm, READ_CONTROL | WRITE_DAC,
                              RegistryLinks::FollowTrusted, key) != ERROR_SUCCESS)
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
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const UniqueLocalMem descriptorOwner(descriptor);
    std::vector<BYTE> account = RunningAccountSid();
    return JudgeWriters(descriptor, kKeyChangingRights, account.empty() ? nullptr : account.data()).onlyAdministrators;
}

}  // namespace qel
