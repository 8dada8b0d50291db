// Who may change a key, file or folder, judged on security descriptors made
// from their SDDL text: the decision behind RegDelFiles' key, the links
// followed on the way to a key, the logs a later run believes and the
// diagnostic log's owner. Wine gives every object its creator's descriptor,
// so most of these cannot be met on its disk.
#include "UnitHelpers.h"

#include "Handles.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <sddl.h>

namespace {

using qeltest::Utf8;

constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr wchar_t kRunningAccount[] = L"S-1-5-21-0-0-0-1000";
// Program Files and the Windows folder, the Trusted Installer's.
const std::wstring kSystemFolder = std::wstring(L"O:") + kTrustedInstaller + L"G:" + kTrustedInstaller +
                                   L"D:PAI(A;;FA;;;" + kTrustedInstaller + L")(A;CIIO;GA;;;" + kTrustedInstaller +
                                   L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
                                   L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)";
// What Wine gives a file or (with "OICI") a folder: the running account's.
std::wstring WineOwned(const std::wstring& inherit) {
    return std::wstring(L"O:") + kRunningAccount + L"D:(A;" + inherit + L";FA;;;SY)(A;" + inherit + L";FA;;;" +
           kRunningAccount + L")(A;" + inherit + L";0x1200a9;;;WD)";
}

// A SID (none from nullptr) and a security descriptor made from their text.
qel::UniqueLocalMem Sid(const wchar_t* text) {
    PSID sid = nullptr;
    if (text) {
        EXPECT_TRUE(::ConvertStringSidToSidW(text, &sid)) << Utf8(text);
    }
    return qel::UniqueLocalMem(sid);
}

qel::UniqueLocalMem Descriptor(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                       nullptr))
        << Utf8(sddl);
    return qel::UniqueLocalMem(descriptor);
}

qel::WriterVerdict Judge(const std::wstring& sddl, DWORD rights, const wchar_t* account = nullptr) {
    return qel::JudgeWriters(Descriptor(sddl).Get(), rights, Sid(account).Get());
}

// Folders, files and keys as Windows and installers leave them, and the ways
// a user comes to change one.
TEST(WhoMayChange, FilesFoldersAndKeys) {
    const std::wstring ti = kTrustedInstaller;
    const DWORD file = qel::kFileChangingRights, key = qel::kKeyChangingRights;
    // The reason: a part of what the verdict says; empty: only administrators may change it.
    const struct { std::wstring sddl; DWORD rights; std::string reason; } cases[] = {
        // Program Files itself, and a folder an elevated install made below it.
        {kSystemFolder, file, ""},
        {L"O:BAD:AI(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
         L"(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)",
         file, ""},
        // The system's temporary folder and a folder below ProgramData: users
        // may make files in them.
        {L"O:SYD:PAI(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)", file,
         "S-1-5-32-545 may change it (rights 0x00000006)"},
        {L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIIOID;GA;;;CO)(A;CIID;0x116;;;BU)",
         file, "S-1-5-32-545 may change it"},
        // Another account's file, a file of everyone's, a file with no list.
        {L"O:S-1-5-21-7-7-7-1001D:(A;;FA;;;BA)(A;;FA;;;SY)", file,
         "its owner S-1-5-21-7-7-7-1001 is not an administrator"},
        {L"O:BAD:(A;;FA;;;BA)(A;;GA;;;WD)", file, "S-1-1-0 may change it (rights 0x10000000)"},
        {L"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)", file, "S-1-5-11 may change it"},
        {L"O:BAD:(A;;FA;;;BA)(A;;GW;;;IU)", file, "S-1-5-4 may change it (rights 0x40000000)"},
        {L"O:BA", file, "no access list"},
        // What only refuses, is only handed down, or reads, changes nothing.
        {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)(A;OICIIO;FA;;;BU)(A;;0x1200a9;;;WD)(A;;FA;;;CO)", file, ""},
        // Attributes and extended attributes are not the file's contents.
        {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;;0x100110;;;BU)", file, ""},
        {L"O:" + ti + L"D:(A;;FA;;;" + ti + L")(A;;0x1200a9;;;BU)", file, ""},
        // Keys: the grant AddReg gives interactive users makes a key theirs to
        // change, and so do the rights to make links in it or delete it.
        {L"O:BAG:BAD:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", key, ""},  // what Wine gives every key
        {L"O:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KR;;;AC)", key, ""},
        {L"O:BAD:(A;CI;KA;;;BA)(A;CI;0x2001f;;;IU)", key, "S-1-5-4 may change it"},
        {L"O:BAD:(A;;KA;;;BA)(A;;0x20;;;BU)", key, "S-1-5-32-545 may change it"},
        {L"O:BAD:(A;;KA;;;BA)(A;;SD;;;BU)", key, "S-1-5-32-545 may change it"},
    };
    for (const auto& c : cases) {
        const qel::WriterVerdict verdict = Judge(c.sddl, c.rights);
        EXPECT_EQ(verdict.onlyAdministrators, c.reason.empty()) << Utf8(c.sddl) << ": " << Utf8(verdict.reason);
        EXPECT_EQ(verdict.reason.empty(), c.reason.empty()) << Utf8(c.sddl);
        EXPECT_NE(Utf8(verdict.reason).find(c.reason), std::string::npos) << Utf8(verdict.reason);
    }
    // An access list that is there but null lets everyone do everything
    // (Wine reads the SDDL word for it as an empty list, which lets nobody).
    SECURITY_DESCRIPTOR nullList;
    const qel::UniqueLocalMem administrators = Sid(L"S-1-5-32-544");
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullList, SECURITY_DESCRIPTOR_REVISION) &&
                ::SetSecurityDescriptorOwner(&nullList, administrators.Get(), FALSE) &&
                ::SetSecurityDescriptorDacl(&nullList, TRUE, nullptr, FALSE));
    EXPECT_EQ(qel::JudgeWriters(&nullList, qel::kFileChangingRights, nullptr).reason,
              L"it has no access list: everyone may change it");
}

// The logs and markers a later run believes: the file and its folder both
// only administrators' to change. The account of this elevated run counts as
// one (the start checked that it is; Wine's own folders are that account's).
TEST(WhoMayChange, JournalFilesAndTheirFolders) {
    const std::wstring ti = kTrustedInstaller;
    // The Windows folder, a file an elevated run made in it, and Wine's.
    const std::wstring windows = kSystemFolder + L"(A;;0x1200a9;;;AC)";
    const std::wstring madeByTheRun = L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;AC)";
    const std::wstring wineFile = WineOwned(L""), wineFolder = WineOwned(L"OICI");
    // Where users may make files: ProgramData below, a user's own folder.
    const std::wstring programData =
        L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x100116;;;BU)";
    const std::wstring usersFolder = L"O:S-1-5-21-7-7-7-1001D:(A;OICI;FA;;;S-1-5-21-7-7-7-1001)(A;OICI;FA;;;SY)";
    // The reason exactly; empty when trusted.
    const struct { std::wstring file, folder; const wchar_t* account; std::string reason; } cases[] = {
        {madeByTheRun, windows, nullptr, ""},
        {L"O:" + ti + L"D:(A;;FA;;;" + ti + L")(A;;FA;;;SY)", windows, nullptr, ""},
        {wineFile, wineFolder, kRunningAccount, ""},
        {wineFile, wineFolder, nullptr, "the file: its owner S-1-5-21-0-0-0-1000 is not an administrator"},
        {madeByTheRun, programData, nullptr, "its folder: S-1-5-32-545 may change it (rights 0x00000006)"},
        {madeByTheRun, usersFolder, kRunningAccount, "its folder: its owner S-1-5-21-7-7-7-1001 is not an administrator"},
        // Made beforehand by a user where users may make files, or opened up
        // by its owner afterwards.
        {L"O:S-1-5-21-7-7-7-1001D:(A;;FA;;;S-1-5-21-7-7-7-1001)", programData, nullptr,
         "the file: its owner S-1-5-21-7-7-7-1001 is not an administrator"},
        {L"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;WD)", windows, nullptr, "the file: S-1-1-0 may change it (rights 0x00010006)"},
        {L"O:BAD:(A;;FA;;;BA)(A;;FA;;;IU)", wineFolder, kRunningAccount,
         "the file: S-1-5-4 may change it (rights 0x000d0046)"},
        // Only the account of this run counts: another one's folder is a user's.
        {madeByTheRun, wineFolder, L"S-1-5-21-7-7-7-1001",
         "its folder: its owner S-1-5-21-0-0-0-1000 is not an administrator"},
    };
    for (const auto& c : cases) {
        const qel::WriterVerdict verdict = qel::JudgeJournalFile(Descriptor(c.file).Get(), Descriptor(c.folder).Get(),
                                                                 Sid(c.account).Get());
        EXPECT_EQ(verdict.onlyAdministrators, c.reason.empty()) << Utf8(c.file) << " in " << Utf8(c.folder);
        EXPECT_EQ(Utf8(verdict.reason), c.reason) << Utf8(c.file) << " in " << Utf8(c.folder);
    }
}

// The owners a diagnostic log may have: an administrator, the system, the
// Windows installer service, or the running account; never another user's.
TEST(WhoMayChange, OwnersOfTheDiagnosticLog) {
    const qel::UniqueLocalMem account = Sid(kRunningAccount);
    const struct { const wchar_t* sid; bool administrator; } cases[] = {
        {L"S-1-5-32-544", true},        {L"S-1-5-18", true},  {kTrustedInstaller, true}, {kRunningAccount, true},
        {L"S-1-5-21-7-7-7-1001", false}, {L"S-1-5-32-545", false}, {L"S-1-1-0", false},    {L"S-1-5-19", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qel::IsAdministratorSid(Sid(c.sid).Get(), account.Get()), c.administrator) << Utf8(c.sid);
    EXPECT_FALSE(qel::IsAdministratorSid(Sid(kRunningAccount).Get(), nullptr));
    EXPECT_FALSE(qel::IsAdministratorSid(nullptr, account.Get()));
}

}  // namespace
