// What an elevated installer must not let an ordinary user steer: the DLLs it
// loads, the keys its tree deletion reaches, the file its log appends to, and
// the folders its file changes go through; and the hardening of the shipped
// program itself.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <cstring>
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
    const std::set<std::string> knownDlls{"advapi32.dll", "comdlg32.dll", "gdi32.dll",    "kernel32.dll",
                                          "msvcrt.dll",   "ole32.dll",    "oleaut32.dll", "rpcrt4.dll",
                                          "setupapi.dll", "shell32.dll",  "shlwapi.dll",  "user32.dll",
                                          "ws2_32.dll",   "sechost.dll",  "combase.dll"};
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

// --- runs on scripts -------------------------------------------------------------

class SecurityRun : public ::testing::Test {
protected:
    SecurityRun() : folder_(L"security") { folder_.Write(L"a.txt", "file a\r\n"); }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        DeleteRegTree(HKEY_LOCAL_MACHINE, kKey);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kTargetKey);
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

TEST_F(SecurityRun, GrantedUsersCannotPlantLinksAndTreeDeletionsDeleteOnlyTheLink) {
    // Interactive users get the settings key (from Vista on, Wine's default),
    // but may not plant links in it or hand it on.
    SetupRunResult run = Install("AddReg=Settings\r\n[Settings]\r\nHKLM,\"SOFTWARE\\QelSecurity\\Settings\",Poll,"
                                 "0x10001,30,,1\r\n");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW((L"MACHINE\\" + std::wstring(kKey) + L"\\Settings").c_str(), SE_REGISTRY_KEY,
                                      DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor),
              ERROR_SUCCESS);
    const qel::UniqueLocalMem owner(descriptor);
    int interactive = 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!::IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), WinInteractiveSid)) continue;
        ++interactive;
        EXPECT_EQ(allowed->Mask & (KEY_CREATE_LINK | WRITE_DAC | WRITE_OWNER | DELETE), 0u) << allowed->Mask;
        EXPECT_EQ(allowed->Mask & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY), static_cast<DWORD>(KEY_SET_VALUE | KEY_CREATE_SUB_KEY));
    }
    EXPECT_GT(interactive, 0);

    // A link below the granted key, aimed at another key of the machine.
    const RegValue keep{true, REG_DWORD, {7, 0, 0, 0}};
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTargetKey, L"Keep", keep.type, keep.data.data(), 4), ERROR_SUCCESS);
    qel::UniqueKey link;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kKey) + L"\\Settings\\Trap").c_str(), 0, nullptr,
                                REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, link.Put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring targetPath = L"\\Registry\\Machine\\" + std::wstring(kTargetKey);
    ASSERT_EQ(::RegSetValueExW(link.Get(), L"SymbolicLinkValue", 0, REG_LINK,
                               reinterpret_cast<const BYTE*>(targetPath.data()),
                               static_cast<DWORD>(targetPath.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    link.Reset();
    ASSERT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, std::wstring(kKey) + L"\\Settings\\Trap", L"Keep"), keep)
        << "the link leads to the target";

    // The elevated deletion of the tree takes the link, not what it names.
    run = Install("DelReg=Remove\r\n[Remove]\r\nHKLM,\"SOFTWARE\\QelSecurity\",,0\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    qel::UniqueKey gone;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, gone.Put()), ERROR_SUCCESS);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kTargetKey, L"Keep"), keep);
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

TEST_F(SecurityRun, DestinationsAndSourcesThroughALinkAreRefusedBeforeAnyChange) {
    const std::wstring real = std::wstring(kDestination) + L"\\Real";
    WriteFileBytes(real + L"\\keep.txt", "keep\r\n");
    if (!MakeFolderLink(kDestination, L"Linked", L"Real")) GTEST_SKIP() << "no folder link could be made in this prefix";

    const SetupRunResult run = Install("CopyFiles=Files\r\n[DestinationDirs]\r\nFiles=24,\"QelSecurity\\Linked\"\r\n"
                                       "[Files]\r\na.txt,,,0x4\r\n");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_EQ(run.out.find("Progress,"), std::string::npos);
    EXPECT_NE(run.log.find("the path passes through a link"), std::string::npos);
    EXPECT_FALSE(PathExists(real + L"\\a.txt"));

    // A source reached through a link in the package folder.
    folder_.Write(L"srcreal\\b.txt", "file b\r\n");
    ASSERT_TRUE(MakeFolderLink(folder_.Path(), L"srclink", L"srcreal"));
    const SetupRunResult fromLink =
        Install("CopyFiles=Files\r\n[SourceDisksNames]\r\n1=\"disk\",,,srclink\r\n[SourceDisksFiles]\r\nb.txt=1\r\n"
                "[DestinationDirs]\r\nFiles=24,\"QelSecurity\\Plain\"\r\n[Files]\r\nb.txt,,,0x4\r\n");
    EXPECT_EQ(fromLink.exitCode, 200u) << fromLink.log;
    EXPECT_NE(fromLink.log.find("the path passes through a link: C:\\qeltests\\security\\srclink\\b.txt"),
              std::string::npos)
        << fromLink.log;
    EXPECT_FALSE(PathExists(std::wstring(kDestination) + L"\\Plain"));
    ::RemoveDirectoryW(folder_.File(L"srclink").c_str());
}

}  // namespace
