// Who may change a key, file or folder, judged on real security descriptors
// (made from their SDDL text here): the decision behind RegDelFiles' key,
// the links followed on the way to a key, and the diagnostic log's owner.
// Wine gives every object the descriptor of its creator and keeps no other
// owner of a file, so most of these descriptors cannot be met on its disk.
#include "UnitHelpers.h"

#include "Handles.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <memory>

namespace {

using qeltest::Utf8;

constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr wchar_t kRunningAccount[] = L"S-1-5-21-0-0-0-1000";

class Sid {
public:
    explicit Sid(const std::wstring& text) {
        PSID sid = nullptr;
        EXPECT_TRUE(::ConvertStringSidToSidW(text.c_str(), &sid)) << Utf8(text);
        sid_.Reset(sid);
    }
    PSID Get() const { return sid_.Get(); }

private:
    qel::UniqueLocalMem sid_;
};

qel::WriterVerdict Judge(const std::wstring& sddl, DWORD rights, const wchar_t* account = nullptr) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                       nullptr))
        << Utf8(sddl);
    const qel::UniqueLocalMem owner(descriptor);
    if (!account) return qel::JudgeWriters(descriptor, rights, nullptr);
    const Sid sid(account);
    return qel::JudgeWriters(descriptor, rights, sid.Get());
}

// Folders and files as Windows and installers leave them, and the ways a
// user comes to write one.
TEST(WhoMayChange, FilesAndFolders) {
    const std::wstring ti = kTrustedInstaller;
    const struct {
        std::wstring sddl;
        bool onlyAdministrators;
        std::string reason;  // what the verdict says (a part of it)
    } cases[] = {
        // Program Files itself, and a folder an elevated install made below it.
        {L"O:" + ti + L"G:" + ti + L"D:PAI(A;;FA;;;" + ti + L")(A;CIIO;GA;;;" + ti +
             L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
             L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)",
         true, ""},
        {L"O:BAD:AI(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
         L"(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)",
         true, ""},
        // The system's temporary folder and a folder below ProgramData: users
        // may make files in them.
        {L"O:SYD:PAI(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)", false,
         "S-1-5-32-545 may change it (rights 0x00000006)"},
        {L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIIOID;GA;;;CO)(A;CIID;0x116;;;BU)",
         false, "S-1-5-32-545 may change it"},
        // Another account's file, a file of everyone's, a file with no list.
        {L"O:S-1-5-21-7-7-7-1001D:(A;;FA;;;BA)(A;;FA;;;SY)", false,
         "its owner S-1-5-21-7-7-7-1001 is not an administrator"},
        {L"O:BAD:(A;;FA;;;BA)(A;;GA;;;WD)", false, "S-1-1-0 may change it (rights 0x10000000)"},
        {L"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)", false, "S-1-5-11 may change it"},
        {L"O:BAD:(A;;FA;;;BA)(A;;GW;;;IU)", false, "S-1-5-4 may change it (rights 0x40000000)"},
        {L"O:BA", false, "no access list"},
        // What only refuses, is only handed down, or reads, changes nothing.
        {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)(A;OICIIO;FA;;;BU)(A;;0x1200a9;;;WD)(A;;FA;;;CO)", true, ""},
        // Attributes and extended attributes are not the file's contents.
        {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;;0x100110;;;BU)", true, ""},
        {L"O:" + ti + L"D:(A;;FA;;;" + ti + L")(A;;0x1200a9;;;BU)", true, ""},
    };
    for (const auto& c : cases) {
        const qel::WriterVerdict verdict = Judge(c.sddl, qel::kFileChangingRights);
        EXPECT_EQ(verdict.onlyAdministrators, c.onlyAdministrators) << Utf8(c.sddl) << ": " << Utf8(verdict.reason);
        EXPECT_NE(Utf8(verdict.reason).find(c.reason), std::string::npos) << Utf8(verdict.reason);
        EXPECT_EQ(verdict.reason.empty(), c.onlyAdministrators);
    }
    // An access list that is there but null lets everyone do everything
    // (Wine reads the SDDL word for it as an empty list, which lets nobody).
    SECURITY_DESCRIPTOR nullList;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullList, SECURITY_DESCRIPTOR_REVISION));
    const Sid administrators(L"S-1-5-32-544");
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&nullList, administrators.Get(), FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullList, TRUE, nullptr, FALSE));
    EXPECT_EQ(qel::JudgeWriters(&nullList, qel::kFileChangingRights, nullptr).reason,
              L"it has no access list: everyone may change it");
}

// The account this elevated run belongs to counts as an administrator (the
// start checked that it is one); Wine's own folders are that account's.
TEST(WhoMayChange, TheRunningAccountIsAnAdministrator) {
    const std::wstring wineFolder =
        std::wstring(L"O:") + kRunningAccount + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + kRunningAccount +
        L")(A;OICI;0x1200a9;;;WD)";
    EXPECT_TRUE(Judge(wineFolder, qel::kFileChangingRights, kRunningAccount).onlyAdministrators);
    EXPECT_FALSE(Judge(wineFolder, qel::kFileChangingRights).onlyAdministrators);
    EXPECT_FALSE(Judge(wineFolder, qel::kFileChangingRights, L"S-1-5-21-7-7-7-1001").onlyAdministrators);
}

// The logs and markers a later run believes: the file and its folder both
// only administrators' to change. The account of the run counts as one
// (Wine's own folders are that account's).
TEST(WhoMayChange, JournalFilesAndTheirFolders) {
    const std::wstring ti = kTrustedInstaller;
    // The Windows folder, a file an elevated run made in it, and Wine's.
    const std::wstring windows = L"O:" + ti + L"G:" + ti + L"D:PAI(A;;FA;;;" + ti + L")(A;CIIO;GA;;;" + ti +
                                 L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
                                 L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)";
    const std::wstring madeByTheRun = L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;AC)";
    const std::wstring wineFile = std::wstring(L"O:") + kRunningAccount + L"D:(A;;FA;;;SY)(A;;FA;;;" + kRunningAccount +
                                  L")(A;;0x1200a9;;;WD)";
    const std::wstring wineFolder = std::wstring(L"O:") + kRunningAccount + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" +
                                    kRunningAccount + L")(A;OICI;0x1200a9;;;WD)";
    // Where users may make files: ProgramData below, a user's own folder.
    const std::wstring programData =
        L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x100116;;;BU)";
    const std::wstring usersFolder = L"O:S-1-5-21-7-7-7-1001D:(A;OICI;FA;;;S-1-5-21-7-7-7-1001)(A;OICI;FA;;;SY)";
    const struct {
        std::wstring file, folder;
        const wchar_t* account;
        std::string reason;  // exactly; empty when trusted
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR file = nullptr, folder = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.file.c_str(), SDDL_REVISION_1, &file,
                                                                           nullptr))
            << Utf8(c.file);
        const qel::UniqueLocalMem fileOwner(file);
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.folder.c_str(), SDDL_REVISION_1, &folder,
                                                                           nullptr))
            << Utf8(c.folder);
        const qel::UniqueLocalMem folderOwner(folder);
        std::unique_ptr<Sid> account;
        if (c.account) account = std::make_unique<Sid>(c.account);
        const qel::WriterVerdict verdict = qel::JudgeJournalFile(file, folder, account ? account->Get() : nullptr);
        EXPECT_EQ(verdict.onlyAdministrators, c.reason.empty()) << Utf8(c.file) << " in " << Utf8(c.folder);
        EXPECT_EQ(Utf8(verdict.reason), c.reason) << Utf8(c.file) << " in " << Utf8(c.folder);
    }
}

// Keys: the grant that AddReg gives interactive users makes a key theirs to
// change; reading it does not.
TEST(WhoMayChange, RegistryKeys) {
    const struct {
        std::wstring sddl;
        bool onlyAdministrators;
    } cases[] = {
        {L"O:BAG:BAD:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", true},  // what Wine gives every key
        {L"O:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KR;;;AC)", true},
        {L"O:BAD:(A;CI;KA;;;BA)(A;CI;0x2001f;;;IU)", false},
        {L"O:BAD:(A;;KA;;;BA)(A;;0x20;;;BU)", false},  // may make links
        {L"O:BAD:(A;;KA;;;BA)(A;;SD;;;BU)", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Judge(c.sddl, qel::kKeyChangingRights).onlyAdministrators, c.onlyAdministrators) << Utf8(c.sddl);
}

// The owners a diagnostic log may have: an administrator, the system, the
// Windows installer service, or the running account; never another user's.
TEST(WhoMayChange, OwnersOfTheDiagnosticLog) {
    const Sid account(kRunningAccount);
    const struct {
        const wchar_t* sid;
        bool administrator;
    } cases[] = {
        {L"S-1-5-32-544", true},        {L"S-1-5-18", true},  {kTrustedInstaller, true}, {kRunningAccount, true},
        {L"S-1-5-21-7-7-7-1001", false}, {L"S-1-5-32-545", false}, {L"S-1-1-0", false},    {L"S-1-5-19", false},
    };
    for (const auto& c : cases) {
        const Sid sid(c.sid);
        EXPECT_EQ(qel::IsAdministratorSid(sid.Get(), account.Get()), c.administrator) << Utf8(c.sid);
    }
    const Sid self(kRunningAccount);
    EXPECT_FALSE(qel::IsAdministratorSid(self.Get(), nullptr));
    EXPECT_FALSE(qel::IsAdministratorSid(nullptr, account.Get()));
}

}  // namespace
