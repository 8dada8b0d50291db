// What an elevated installer must not let an ordinary user steer: the DLLs it
// loads, the keys its writes and deletions reach (through links a user made
// below a key the run granted, or in the user's own hive), the file its log
// appends to, the folders its file changes go through, the process it ends,
// and paths that depend on the current folder; and the hardening of the
// shipped program itself.
#include "PackageFixture.h"

#include "ControlledRun.h"

#include "CmdLineKeys.h"
#include "CmdLineUninstall.h"
#include "Handles.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <regex>
#include <cstring>
#include <memory>
#include <set>

using namespace qeltest;

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\QelSecurity";
constexpr wchar_t kTargetKey[] = L"SOFTWARE\\QelSecurityTarget";
constexpr wchar_t kDestination[] = L"C:\\QelSecurity";

// --- the shipped program's image ----------------------------------------------

DWORD FileOffset(const IMAGE_NT_HEADERS64* nt, DWORD rva) {
    const auto* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
        if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
            return rva - section->VirtualAddress + section->PointerToRawData;
    return 0;
}

TEST(ShippedProgram, ImportsOnlyKnownDllsAndIsHardenedAndStripped) {
    // The libraries Windows always takes from the system folder, whatever
    // lies beside the program.
    const std::set<std::string> knownDlls{"advapi32.dll", "comdlg32.dll", "gdi32.dll",   "kernel32.dll", "msvcrt.dll",
                                          "ole32.dll",    "oleaut32.dll", "rpcrt4.dll",  "setupapi.dll", "shell32.dll",
                                          "shlwapi.dll",  "user32.dll",   "ws2_32.dll",  "sechost.dll",  "combase.dll"};
    const WORD hardened =
        IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
    for (const std::wstring& program : {ProductPath(), BuiltPackageFolder() + L"\\qelwls64.exe"}) {
        SCOPED_TRACE(Utf8(program));
        const std::string image = ReadFileBytes(program);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
            image.data() + reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data())->e_lfanew);
        ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
        EXPECT_EQ(nt->OptionalHeader.DllCharacteristics & hardened, hardened);
        // Long section names live in the string table after the symbols.
        const char* strings = image.data() + nt->FileHeader.PointerToSymbolTable + nt->FileHeader.NumberOfSymbols * 18;
        std::set<std::string> sections;
        const auto* section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            std::string name(reinterpret_cast<const char*>(section->Name), strnlen(reinterpret_cast<const char*>(section->Name), 8));
            if (!name.empty() && name[0] == '/' && nt->FileHeader.PointerToSymbolTable != 0)
                name = strings + std::atoi(name.c_str() + 1);
            EXPECT_NE(name.rfind(".debug", 0), 0u) << "still holds " << name;
            sections.insert(name);
        }
        EXPECT_TRUE(sections.count(".gnu_debuglink"));
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (DWORD offset = FileOffset(nt, imports.VirtualAddress); offset != 0; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + offset);
            if (descriptor->Name == 0) break;
            std::string dll = image.data() + FileOffset(nt, descriptor->Name);
            std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
            EXPECT_TRUE(knownDlls.count(dll)) << dll;
        }
    }
    EXPECT_TRUE(PathExists(ProductPath() + L".debug")) << "the symbols stay beside the build";
}

// --- registry links a user made, and the keys they aim at ---------------------

constexpr wchar_t kUserSid[] = L"S-1-5-21-7-7-7-1001";  // an ordinary user of the machine
const RegValue kKeep{true, REG_DWORD, {7, 0, 0, 0}};

void SetKeep(HKEY root, const std::wstring& subkey) {
    ASSERT_EQ(::RegSetKeyValueW(root, subkey.c_str(), L"Keep", REG_DWORD, kKeep.data.data(), 4), ERROR_SUCCESS);
}

// Wine gives every key the Administrators' descriptor and lets a key's owner
// make links without the right to, so a user's key or link is shown by giving
// it that user as owner by hand; an owner set so is kept and reported.
void GiveToUser(HKEY key) {
    PSID user = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(kUserSid, &user));
    const qel::UniqueLocalMem owner(user);
    ASSERT_EQ(::SetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, user, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
}

// root\link becomes a link to HKLM\target (the keys above it made as needed),
// the user's own with `userOwned`.
void MakeRegistryLink(HKEY root, const std::wstring& link, const std::wstring& target, bool userOwned) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(root, link.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring path = L"\\Registry\\Machine\\" + target;
    ASSERT_EQ(::RegSetValueExW(key.Get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(path.data()),
                               static_cast<DWORD>(path.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    if (userOwned) GiveToUser(key.Get());
}

void GiveKeyToUser(const std::wstring& subkey) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                                nullptr),
              ERROR_SUCCESS);
    GiveToUser(key.Get());
}

// The rights of every access entry for interactive users on HKLM\subkey.
std::vector<DWORD> InteractiveRights(const std::wstring& subkey) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<DWORD> rights;
    if (::GetNamedSecurityInfoW((L"MACHINE\\" + subkey).c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return rights;
    const qel::UniqueLocalMem owner(descriptor);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        const auto* allowed = ::GetAce(dacl, i, &ace) ? static_cast<ACCESS_ALLOWED_ACE*>(ace) : nullptr;
        if (allowed && ::IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), WinInteractiveSid))
            rights.push_back(allowed->Mask);
    }
    return rights;
}

bool KeyExists(HKEY root, const std::wstring& subkey) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// --- runs on scripts -------------------------------------------------------------

class SecurityRun : public ::testing::Test {
protected:
    SecurityRun() : folder_(L"security") { folder_.Write(L"a.txt", "file a\r\n"); }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        // Link by link: the tests leave links below kKey.
        for (const wchar_t* key : {kKey, kTargetKey})
            qel::DeleteKeyTreeWithoutLinks(HKEY_LOCAL_MACHINE, key, KEY_ALL_ACCESS, qel::RegistryLinks::Refuse);
        DeleteTree(kDestination);
    }
    SetupRunResult Install(const std::string& body) {
        folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + body));
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"");
    }
    SetupFolder folder_;
};

TEST_F(SecurityRun, AVersionDllBesideTheProgramIsNeverLoaded) {
    CopyFileOrFail(TestBinDir() + L"\\planted\\version.dll", folder_.File(L"version.dll"));
    // A copy with the version check reads file versions through version.dll.
    WriteFileBytes(std::wstring(kDestination) + L"\\a.txt", "older\r\n");
    const SetupRunResult run = Install("CopyFiles=Files\r\n[DestinationDirs]\r\nFiles=24,\"QelSecurity\"\r\n"
                                       "[Files]\r\na.txt,,,0x40\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_FALSE(PathExists(folder_.File(L"planted-loaded.txt")));
}

// Interactive users get the settings key (from Vista on, Wine's default),
// but may not plant links in it or hand it on.
TEST_F(SecurityRun, GrantedUsersCannotPlantLinks) {
    const SetupRunResult run = Install("AddReg=Settings\r\n[Settings]\r\nHKLM,\"SOFTWARE\\QelSecurity\\Settings\",Poll,"
                                       "0x10001,30,,1\r\n");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    const std::vector<DWORD> rights = InteractiveRights(std::wstring(kKey) + L"\\Settings");
    EXPECT_FALSE(rights.empty());
    for (const DWORD mask : rights) {
        EXPECT_EQ(mask & (KEY_CREATE_LINK | WRITE_DAC | WRITE_OWNER | DELETE), 0u) << mask;
        EXPECT_EQ(mask & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY), static_cast<DWORD>(KEY_SET_VALUE | KEY_CREATE_SUB_KEY));
    }
}

TEST_F(SecurityRun, ALogWithAnotherNameIsNotWrittenTo) {
    // A hard link planted at the log's name: appending would write into the
    // file of the planter's choosing.
    const std::wstring victim = folder_.File(L"victim.txt");
    WriteFileBytes(victim, "untouched\r\n");
    ::DeleteFileW(DiagnosticLogPath().c_str());
    ASSERT_TRUE(::CreateHardLinkW(DiagnosticLogPath().c_str(), victim.c_str(), nullptr));
    const ProcessResult run = RunProgram(L"\"" + folder_.Exe() + L"\" apponly_install \"" + folder_.Path() + L"\"");
    EXPECT_EQ(ReadFileBytes(victim), "untouched\r\n");
    EXPECT_NE(run.exitCode, 0xC0000005u);
    ::DeleteFileW(DiagnosticLogPath().c_str());
}

// folder\link, a link to the sibling folder target. Wine's CreateSymbolicLinkW
// leaves a link it cannot follow, but shows a Unix symbolic link as a Windows
// link: made here with the host's ln, which Wine starts in the folder.
bool MakeFolderLink(const std::wstring& folder, const std::wstring& link, const std::wstring& target) {
    if (!::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        return ::CreateSymbolicLinkW((folder + L"\\" + link).c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    RunProgram(L"Z:\\bin\\ln -s " + target + L" " + link, folder);
    const DWORD attributes = ::GetFileAttributesW((folder + L"\\" + link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A run that grants users a new key and then fails: between the grant and the
// failure a user makes a subkey of the granted key and a link in it (the
// script's own program plays that user). The rollback deletes the new key's
// tree, the link as a link, and not the key the link leads to.
TEST_F(SecurityRun, AFailedRunDeletesTheKeyItGrantedWithoutFollowingAUsersLink) {
    SetKeep(HKEY_LOCAL_MACHINE, std::wstring(kTargetKey) + L"\\Sub");
    const std::string planter = Utf8(TestBinDir() + L"\\qel_reglink.exe");
    const SetupRunResult run =
        Install("AddReg=Settings\r\nPostRun=After\r\n[Settings]\r\nHKLM,\"SOFTWARE\\QelSecurity\\Settings\",Poll,"
                "0x10001,30,,1\r\n[After]\r\n\"" + planter +
                "\",\"SOFTWARE\\QelSecurity\\Settings\\Mine\\Trap SOFTWARE\\QelSecurityTarget\",0x8\r\n"
                "\"C:\\QelSecurity\\missing.exe\",x,0\r\n");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \"" + planter +
                                        "\", \" SOFTWARE\\QelSecurity\\Settings\\Mine\\Trap SOFTWARE\\QelSecurityTarget\","
                                        " 0x00000008 )"))
        << run.log;
    EXPECT_EQ(run.log.find("reboot required"), std::string::npos) << "the link was not planted";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kKey)) << "the key the run made is undone";
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, std::wstring(kTargetKey) + L"\\Sub", L"Keep"), kKeep);
}

// Below a key users may change, a user's link (the user owns it) is never
// followed by a write, a value's deletion, a key's deletion, a grant or
// RegDelFiles, and the deletion of the tree deletes it as a link; the key it
// stands in for stays as it was. A key that only holds
// a value of a link's type is no link: undone after a failure it comes back
// as the plain key it was, not as a link.
TEST_F(SecurityRun, WritesAndDeletionsNeverGoThroughAUsersLink) {
    const std::wstring settings = std::wstring(kKey) + L"\\Settings", mine = settings + L"\\Mine";
    const std::wstring trap = mine + L"\\Trap", victim = std::wstring(kDestination) + L"\\victim.txt";
    struct Case {
        std::string body;
        DWORD exitCode;
        std::string logged;
    } cases[] = {
        {"AddReg=Add\r\n[Add]\r\nHKLM,\"" + Utf8(trap) + "\",Evil,0x10001,1,,0\r\n", 200,
         "lies beyond a registry link that users can change"},
        {"AddReg=Add\r\n[Add]\r\nHKLM,\"" + Utf8(trap) + "\\Deeper\",Evil,0x10001,1,,0\r\n", 200,
         "lies beyond a registry link that users can change"},
        {"DelReg=Del\r\n[Del]\r\nHKLM,\"" + Utf8(trap) + "\",Keep,0\r\n", 200,
         "lies beyond a registry link that users can change"},
        {"DelReg=Del\r\n[Del]\r\nHKLM,\"" + Utf8(trap) + "\\Sub\",,0\r\n", 0,
         "GSMUDeleteKey: '" + Utf8(trap) + "\\Sub' lies beyond a registry link that users can change; it is not "
                                            "deleted"},
        // The grant goes to the path below HKLM whatever the line's root.
        {"AddReg=Add\r\n[Add]\r\nHKCU,\"" + Utf8(trap) + "\",V,0x10001,1,,1\r\n", 0,
         "Failed to set access rights on the registry: '" + Utf8(trap) + "'."},
        {"RegDelFiles=\"" + Utf8(trap) + "\"\r\n", 0,
         "RegDelFiles: \"" + Utf8(trap) + "\" can be changed by users who are not administrators; the files it lists "
                                          "are not removed"},
        {"DelReg=Del\r\n[Del]\r\nHKLM,\"" + Utf8(kKey) + "\",,0\r\n", 0, "GSMUDeleteKey"},
        // A list in a key a user owns, no link on the way.
        {"RegDelFiles=\"" + Utf8(mine) + "\"\r\n", 0,
         "RegDelFiles: \"" + Utf8(mine) + "\" can be changed by users who are not administrators; the files it lists "
                                          "are not removed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        Clean();
        WriteFileBytes(victim, "victim\r\n");
        for (const std::wstring& list : {std::wstring(kTargetKey), mine})
            ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, list.c_str(), L"File", REG_SZ, victim.c_str(),
                                        static_cast<DWORD>((victim.size() + 1) * sizeof(wchar_t))),
                      ERROR_SUCCESS);
        for (const wchar_t* sub : {L"", L"\\Sub"}) SetKeep(HKEY_LOCAL_MACHINE, kTargetKey + std::wstring(sub));
        GiveKeyToUser(mine);
        MakeRegistryLink(HKEY_LOCAL_MACHINE, trap, kTargetKey, true);
        RegistrySnapshot before;
        AddRegistryBelow(HKEY_LOCAL_MACHINE, kTargetKey, before);

        const SetupRunResult run = Install(c.body);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.log;
        EXPECT_NE(run.log.find(c.logged), std::string::npos) << run.log;
        RegistrySnapshot after;
        AddRegistryBelow(HKEY_LOCAL_MACHINE, kTargetKey, after);
        EXPECT_EQ(after, before);
        EXPECT_TRUE(InteractiveRights(kTargetKey).empty());
        EXPECT_TRUE(PathExists(victim));
        qel::DeleteKeyTreeWithoutLinks(HKEY_CURRENT_USER, kKey, KEY_ALL_ACCESS, qel::RegistryLinks::Refuse);
    }

    // A plain key holding a link's value, in a tree a failed run deletes.
    Clean();
    const std::wstring fake = std::wstring(kKey) + L"\\Fake", path = L"\\Registry\\Machine\\" + std::wstring(kTargetKey);
    SetKeep(HKEY_LOCAL_MACHINE, kTargetKey);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, fake.c_str(), L"SymbolicLinkValue", REG_LINK, path.data(),
                                static_cast<DWORD>(path.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegistrySnapshot before;
    AddRegistryBelow(HKEY_LOCAL_MACHINE, kKey, before);
    const SetupRunResult run = Install("DelReg=Del\r\nPostRun=After\r\n[Del]\r\nHKLM,\"" + Utf8(kKey) +
                                       "\",,0\r\n[After]\r\n\"C:\\QelSecurity\\missing.exe\",x,0\r\n");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    RegistrySnapshot after;
    AddRegistryBelow(HKEY_LOCAL_MACHINE, kKey, after);
    EXPECT_EQ(after, before);
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, fake, L"Keep").found) << "the rollback made a link of it";
}

// A user's own hive, loaded for the per-user clean-up: a link at the settings
// key is deleted as a link, and one on the way to it is not followed.
TEST(UserHive, TheCleanUpDeletesAUsersLinkAndNeverWhatItLeadsTo) {
    qel::UniqueHandle token;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put()));
    for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {  // to save and load hives
        TOKEN_PRIVILEGES privileges{1, {{{}, SE_PRIVILEGE_ENABLED}}};
        ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, privilege, &privileges.Privileges[0].Luid) &&
                    ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr));
    }
    const std::wstring scratch = L"SOFTWARE\\QelHiveScratch", file = L"C:\\qeltests\\userhive.dat";
    SetKeep(HKEY_LOCAL_MACHINE, scratch + L"\\SOFTWARE\\Other");
    {
        qel::UniqueKey key;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, scratch.c_str(), 0, KEY_READ, key.Put()), ERROR_SUCCESS);
        ::CreateDirectoryW(L"C:\\qeltests", nullptr);
        ::DeleteFileW(file.c_str());
        ASSERT_EQ(::RegSaveKeyW(key.Get(), file.c_str(), nullptr), ERROR_SUCCESS);
    }
    DeleteRegTree(HKEY_LOCAL_MACHINE, scratch);

    const std::wstring targets[] = {L"SOFTWARE\\QelHiveTarget\\Settings", L"SOFTWARE\\QelHiveTarget\\Ardentix"};
    for (const std::wstring& target : targets)
        for (const wchar_t* sub : {L"", L"\\802.11", L"\\CM"}) SetKeep(HKEY_LOCAL_MACHINE, target + sub);
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kUserSid, file.c_str()), ERROR_SUCCESS);
    const std::wstring hive = kUserSid;
    // The settings key a link; then the key on the way.
    MakeRegistryLink(HKEY_USERS, hive + L"\\SOFTWARE\\Ardentix\\802.11", targets[0], false);
    qel::DeleteUserSettings(kUserSid);
    EXPECT_FALSE(KeyExists(HKEY_USERS, hive + L"\\SOFTWARE\\Ardentix\\802.11"));
    DeleteRegTree(HKEY_USERS, hive + L"\\SOFTWARE\\Ardentix");
    MakeRegistryLink(HKEY_USERS, hive + L"\\SOFTWARE\\Ardentix", targets[1], false);
    qel::DeleteUserSettings(kUserSid);
    for (const std::wstring& target : targets)
        for (const wchar_t* sub : {L"", L"\\802.11", L"\\CM"})
            EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, target + sub, L"Keep"), kKeep) << Utf8(target + sub);
    EXPECT_TRUE(KeyExists(HKEY_USERS, hive + L"\\SOFTWARE\\Other"));

    EXPECT_EQ(::RegUnLoadKeyW(HKEY_USERS, kUserSid), ERROR_SUCCESS);
    DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QelHiveTarget");
    ::DeleteFileW(file.c_str());
}

// The removal's folder swapped for a link to another folder after the check
// before the commit, while the run is paused at each of its records in turn:
// where the removal meets the link it fails and the run is undone; the file
// the link leads to is never touched, whenever the link appears.
TEST_F(SecurityRun, AFolderSwappedForALinkDuringTheRunIsNotFollowed) {
    const std::wstring dest = std::wstring(kDestination) + L"\\Dest", real = dest + L"Real",
                       target = std::wstring(kDestination) + L"\\Target";
    // A file removed, and one replaced (its read-only attribute is cleared
    // before it is moved aside): the link's target keeps both, and the
    // replaced one its attribute.
    folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nDelFiles=Gone\r\nCopyFiles=Put\r\n"
                                        "[DestinationDirs]\r\nGone=24,\"QelSecurity\\Dest\"\r\nPut=24,\"QelSecurity\\Dest\"\r\n"
                                        "[Gone]\r\nvictim.txt\r\n[Put]\r\na.txt,,,0\r\n"));
    const std::wstring command = L"\"" + folder_.Exe() + L"\" apponly_install \"" + folder_.Path() + L"\"";
    const auto reset = [&] {
        // A link left by the last run goes as a link (Wine's is the host's).
        if (!::RemoveDirectoryW(dest.c_str()) && qel::IsReparsePoint(dest))
            RunProgram(L"Z:\\bin\\rm -f Dest", kDestination);
        DeleteTree(dest);
        DeleteTree(real);
        WriteFileBytes(dest + L"\\victim.txt", "dest\r\n");
        WriteFileBytes(dest + L"\\a.txt", "older\r\n");
        WriteFileBytes(target + L"\\victim.txt", "keep\r\n");
        ::SetFileAttributesW((target + L"\\a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteFileBytes(target + L"\\a.txt", "keep\r\n");
        ::SetFileAttributesW((target + L"\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        ::DeleteFileW(DiagnosticLogPath().c_str());
    };
    reset();
    const int records = RunControlled(command, RecordAction::None, 0).flushes;
    int undone = 0;
    for (int k = 1; k <= records; ++k) {
        SCOPED_TRACE(k);
        reset();
        const ControlledRunResult run = RunControlled(command, RecordAction::Pause, k, 0, L"", [&] {
            ASSERT_TRUE(::MoveFileW(dest.c_str(), real.c_str()));
            ASSERT_TRUE(MakeFolderLink(kDestination, L"Dest", L"Target"));
        });
        EXPECT_EQ(ReadFileBytes(target + L"\\victim.txt"), "keep\r\n");
        EXPECT_EQ(ReadFileBytes(target + L"\\a.txt"), "keep\r\n");
        EXPECT_TRUE(::GetFileAttributesW((target + L"\\a.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
        const std::string refusal = "\"" + Utf8(dest) + "\\victim.txt\" is reached through a link; it is not changed";
        if (run.exitCode != 200 || !LogHasLine(ReadFileBytes(DiagnosticLogPath()), refusal)) continue;
        ++undone;
        EXPECT_TRUE(std::regex_search(run.out, std::regex("Result,200,SetupErrorInternal,Update,[0-9]+\r\n$")))
            << run.out;
        EXPECT_EQ(ReadFileBytes(real + L"\\victim.txt"), "dest\r\n") << "the run is undone";
        EXPECT_EQ(ReadFileBytes(real + L"\\a.txt"), "older\r\n") << "the run is undone";
    }
    EXPECT_GT(undone, 0) << "no pause fell between the check and the removal";
    reset();
    ::SetFileAttributesW((target + L"\\a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// --- the process a "-c" line ends --------------------------------------------------

// The program a "-c" line names runs, and so do a program whose name occurs
// in its path and one of its name in another folder: only the program itself
// is ended, also when the line names it by its short (8.3) path.
TEST_F(SecurityRun, ADashCLineEndsTheProgramItselfAndNoOtherProcess) {
    // A program whose name ends the program's, one of its name elsewhere, the program.
    const std::wstring paths[] = {folder_.File(L"tor.exe"), folder_.File(L"other\\QelMonitor.exe"),
                                  folder_.File(L"QelMonitor.exe")};
    ::CreateDirectoryW(folder_.File(L"other").c_str(), nullptr);
    ProcessResult results[3];
    std::unique_ptr<PipedStart> started[3];
    for (int i = 0; i < 3; ++i) {
        CopyFileOrFail(TestBinDir() + L"\\qel_runprobe.exe", paths[i]);
        started[i] = std::make_unique<PipedStart>(
            L"\"" + paths[i] + L"\" sleep=60000 exit=7 record=" + paths[i] + L".txt", L"", 0, results[i]);
        for (int tries = 0; tries < 100 && !PathExists(paths[i] + L".txt"); ++tries) ::Sleep(100);
    }
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(::GetShortPathNameW(paths[2].c_str(), shortPath, MAX_PATH), 0u);

    const SetupRunResult run = Install("PreRun=Stop\r\n[Stop]\r\n\"" + Utf8(shortPath) + "\",-c,0\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(::WaitForSingleObject(started[2]->Process(), 10000), WAIT_OBJECT_0) << "the program still runs";
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(::WaitForSingleObject(started[i]->Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << Utf8(paths[i]) << " was ended";
        ::TerminateProcess(started[i]->Process(), 9);
    }
    for (auto& each : started) each->Finish();
    EXPECT_EQ(results[2].exitCode, 0u);
}

// --- the uninstall log a later run believes ---------------------------------------------

// Gives Everyone full access to a file or folder while it lives, then puts
// back the access list it had. Wine keeps the write right of Everyone (as the
// host's write permission for others) and reports it again, so a refusal
// for it can be shown here.
class OpenToEveryone {
public:
    explicit OpenToEveryone(const std::wstring& path) : path_(path) {
        EXPECT_EQ(::GetNamedSecurityInfoW(path_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                          &before_, nullptr, &descriptor_),
                  ERROR_SUCCESS);
        PSECURITY_DESCRIPTOR open = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        PACL openDacl = nullptr;
        EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)",
                                                                          SDDL_REVISION_1, &open, nullptr) &&
                    ::GetSecurityDescriptorDacl(open, &present, &openDacl, &defaulted));
        const qel::UniqueLocalMem openOwner(open);
        SetDacl(openDacl);
    }
    ~OpenToEveryone() {
        SetDacl(before_);
        ::LocalFree(descriptor_);
    }
    OpenToEveryone(const OpenToEveryone&) = delete;
    OpenToEveryone& operator=(const OpenToEveryone&) = delete;

private:
    void SetDacl(PACL dacl) {
        EXPECT_EQ(::SetNamedSecurityInfoW(&path_[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                          nullptr),
                  ERROR_SUCCESS);
    }
    std::wstring path_;
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    PACL before_ = nullptr;
};

// Records appended to the uninstall log of an installed product: in a folder
// everyone may write, one that deletes a file outside the product; in a
// trusted log, one that names a program the product did not install as the
// driver package installer (the uninstall, last user of the setup,
// takes the driver package out from Vista on). Each uninstall ends with 200
// before any change: the file stays, the program never runs, the product is
// installed as before.
TEST(UninstallLog, AnUntrustedLogOrAProgramNotTheProductsEndsTheUninstallUnchanged) {
    CleanMachine();
    DeleteTree(kDestination);
    SamplePackage package(L"security_log");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    // [Uninstall] takes the driver package out, as a product with a driver does.
    WriteFileBytes(package.File(L"qelwls.ini"),
                   std::regex_replace(ReadFileBytes(package.File(L"qelwls.ini")), std::regex("\\[Uninstall\\]\r?\n"),
                                      "[Uninstall]\r\nDriverInf=Driver\\qelwl.inf\r\n"));
    const std::wstring victim = std::wstring(kDestination) + L"\\victim.txt";
    const std::wstring program = std::wstring(kDestination) + L"\\dpinst64.exe";
    WriteFileBytes(victim, "keep\r\n");
    CopyFileOrFail(TestBinDir() + L"\\qel_runprobe.exe", program);
    // The package INF the uninstall looks into before it starts the program.
    CopyFileOrFail(package.File(L"Driver\\qelwl.inf"), std::wstring(kDestination) + L"\\qelwl.inf");
    const std::string installed = ReadFileBytes(kUninstallLog);
    const std::wstring logFolder = qel::DirectoryOf(kUninstallLog);

    const struct {
        std::string appended;
        bool folderOpen;
        std::string error;
    } cases[] = {
        {"CopyFile,C:\\x\\victim.txt," + Utf8(victim) + ",0x00000004\r\n", true,
         "desc \"the uninstall log \"" + Utf8(kUninstallLog) + "\" is not trusted: its folder: S-1-1-0 may change it"},
        {"CopyInf," + Utf8(program) + "," + Utf8(kDestination) + "\r\n", false,
         "desc \"the uninstall log names a program the product did not install: \"" + Utf8(program) + "\"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.appended);
        WriteFileBytes(kUninstallLog, installed + c.appended);
        SetSharedDllCount(L"QelSetup", 1);
        const MachineState before = SnapshotMachine();
        SetupRunResult run;
        {
            std::unique_ptr<OpenToEveryone> open;
            if (c.folderOpen) open = std::make_unique<OpenToEveryone>(logFolder);
            run = package.Run(L"uninstall");
        }
        EXPECT_EQ(run.exitCode, 200u) << run.log;
        EXPECT_TRUE(std::regex_search(run.out, std::regex("Result,200,SetupErrorInternal,Update,[0-9]+\r\n$")))
            << run.out;
        EXPECT_NE(run.log.find(c.error), std::string::npos) << run.log;
        EXPECT_EQ(ReadFileBytes(victim), "keep\r\n");
        EXPECT_FALSE(PathExists(program + L".ran"));
        const MachineState after = SnapshotMachine();
        EXPECT_TRUE(after == before) << DescribeDifferences(before, after);
    }
    CleanMachine();
    DeleteTree(kDestination);
}

// Runs killed elsewhere, found by their markers at the start of a script
// command: one whose rollback log lies in a folder everyone may write, and
// one whose marker everyone may write. Their records would have the run
// delete a key of the machine; both runs are left as they are, each with a
// line saying why, and the command does its own work.
TEST_F(SecurityRun, RunsWhoseMarkerOrRollbackLogOthersMayWriteAreNotUndone) {
    SetKeep(HKEY_LOCAL_MACHINE, kTargetKey);
    const std::string deletesTarget = "RegNewKey,0x80000002,0x00000000," + Utf8(kTargetKey) + "\r\n";
    const std::wstring openFolder = std::wstring(kDestination) + L"\\open";
    const std::wstring openLog = openFolder + L"\\qel1.tmp", windowsLog = L"C:\\windows\\qelsecurity.tmp";
    const std::wstring openLogMarker = L"C:\\windows\\qelwls-99991.run", openMarker = L"C:\\windows\\qelwls-99992.run";
    WriteFileBytes(openLog, deletesTarget);
    WriteFileBytes(windowsLog, deletesTarget);
    WriteFileBytes(openLogMarker, "Process,99991,0x1\r\nRollbackLog," + Utf8(openLog) + "\r\n");
    WriteFileBytes(openMarker, "Process,99992,0x1\r\nRollbackLog," + Utf8(windowsLog) + "\r\n");

    SetupRunResult run;
    {
        const OpenToEveryone folder(openFolder), marker(openMarker);
        run = Install("AddReg=Mark\r\n[Mark]\r\nHKLM,\"SOFTWARE\\QelSecurity\",Done,0x10001,1,,0\r\n");
    }
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kTargetKey, L"Keep"), kKeep);
    EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Done").found);
    const std::vector<std::string> lines = LogMessages(run.log);
    const auto hasLineStarting = [&](const std::string& start) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
    };
    EXPECT_TRUE(hasLineStarting("Recovery: the run of process 99991 cannot be undone: the rollback log \"" +
                                Utf8(openLog) + "\" is not trusted: its folder: S-1-1-0 may change it (rights "))
        << run.log;
    EXPECT_TRUE(hasLineStarting("Recovery: the run marker \"" + Utf8(openMarker) +
                                "\" is not trusted: the file: S-1-1-0 may change it (rights "))
        << run.log;
    for (const std::wstring& path : {openLog, windowsLog, openLogMarker, openMarker}) {
        EXPECT_TRUE(PathExists(path)) << Utf8(path);
        ::DeleteFileW(path.c_str());
    }
}

// --- paths that depend on the current folder or pass through a link ------------------

// Every program and folder a script names is a full path: a relative one ends
// the run with 200 while the script is read, naming the key or the line. A
// destination, or a source in the package folder, reached through a folder
// link ends it before the commit changes anything.
TEST_F(SecurityRun, RelativePathsAndPathsThroughALinkEndTheRunBeforeAnyChange) {
    const std::wstring real = std::wstring(kDestination) + L"\\Real";
    WriteFileBytes(real + L"\\keep.txt", "keep\r\n");
    folder_.Write(L"srcreal\\b.txt", "file b\r\n");
    ASSERT_TRUE(MakeFolderLink(kDestination, L"Linked", L"Real"));
    ASSERT_TRUE(MakeFolderLink(folder_.Path(), L"srclink", L"srcreal"));
    const struct {
        std::string keys, sections, description;
    } cases[] = {
        {"", "[Setup]\r\nDefaultInstallPath=Qel\\Tools\r\n", "[Setup] DefaultInstallPath is not a full path: Qel\\Tools"},
        {"", "[Setup]\r\nDriverStore=.\\Store\r\n", "[Setup] DriverStore is not a full path: .\\Store"},
        {"PreRun=Run\r\n", "[Run]\r\ntools\\setup.exe,x\r\n",
         "[Run] line 1 names a program by a relative path: tools\\setup.exe"},
        {"PostRun=Run\r\n", "[Run]\r\n\"qelmon.exe\",,0\r\n",
         "[Run] line 1 names a program by a relative path: qelmon.exe"},
        {"AddLinks=Links\r\n", "[Links]\r\nMenu,Name,C:\\x.exe,,,,0,,\r\n",
         "[Links] line 1 names a relative folder: Menu"},
        {"CopyFiles=Files\r\n", "[DestinationDirs]\r\nFiles=-1,\"Qel\\Dest\"\r\n[Files]\r\na.txt,,,0x4\r\n",
         "[DestinationDirs] of [Files] names the folder 'Qel\\Dest', which is not a full path"},
        {"CopyFiles=Files\r\n", "[DestinationDirs]\r\nFiles=24,\"QelSecurity\\Linked\"\r\n[Files]\r\na.txt,,,0x4\r\n",
         "the path passes through a link: C:\\QelSecurity\\Linked\\a.txt"},
        {"CopyFiles=Files\r\n",
         "[SourceDisksNames]\r\n1=\"disk\",,,srclink\r\n[SourceDisksFiles]\r\nb.txt=1\r\n[DestinationDirs]\r\nFiles=24,"
         "\"QelSecurity\\Plain\"\r\n[Files]\r\nb.txt,,,0x4\r\n",
         "the path passes through a link: C:\\qeltests\\security\\srclink\\b.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys + c.sections);
        const SetupRunResult run = Install("AddReg=Mark\r\n" + c.keys + c.sections +
                                           "[Mark]\r\nHKLM,\"SOFTWARE\\QelSecurity\",Done,0x10001,1,,0\r\n");
        EXPECT_EQ(run.exitCode, 200u) << run.log;
        EXPECT_EQ(run.out.find("Progress,"), std::string::npos) << run.out;
        EXPECT_NE(run.log.find("desc \"" + c.description + "\""), std::string::npos) << run.log;
        EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Done").found);
    }
    EXPECT_FALSE(PathExists(real + L"\\a.txt"));
    EXPECT_FALSE(PathExists(std::wstring(kDestination) + L"\\Plain"));
    ::RemoveDirectoryW(folder_.File(L"srclink").c_str());
}

// The clean-up keeps folders below Program Files while the driver's setup is
// installed, however the script spells them: by short (8.3) names, or with
// the "\\?\" prefix.
TEST_F(SecurityRun, TheProgramFilesGuardKnowsShortAndLiteralPaths) {
    const std::wstring entry = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ardentix 802.11 Network Adapter";
    const std::wstring folders[] = {L"C:\\Program Files\\Qel Security Short", L"C:\\Program Files\\Qel Security Literal"};
    for (const std::wstring& folder : folders) WriteFileBytes(folder + L"\\keep.txt", "keep\r\n");
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, entry.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                                key.Put(), nullptr),
              ERROR_SUCCESS);
    key.Reset();
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(::GetShortPathNameW(folders[0].c_str(), shortPath, MAX_PATH), 0u);
    ASSERT_EQ(std::wstring(shortPath).find(L"Program Files"), std::wstring::npos) << Utf8(shortPath);

    const SetupRunResult run = Install("DelDirs=Dirs\r\n[Dirs]\r\n\"" + Utf8(shortPath) + "\",1\r\n\"\\\\?\\" +
                                       Utf8(folders[1]) + "\",1\r\n");
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, entry.c_str(), KEY_WOW64_64KEY, 0);
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, Utf8(shortPath) + " is not removed because driver setup still exists.")) << run.log;
    for (const std::wstring& folder : folders) {
        EXPECT_TRUE(PathExists(folder + L"\\keep.txt")) << Utf8(folder);
        DeleteTree(folder);
    }
}

}  // namespace
