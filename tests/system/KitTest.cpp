// qelkit.exe on real scripts beside the real qelwls64.exe: check finds each
// kind of fault once, on its line; plan's decisions are what the install then
// does, and planning changes nothing; run shows the installer's progress and
// says its result and, on failure, its cause; recover undoes killed runs
// exactly and never touches a run in progress or a log it cannot read
// through; verify tells an intact product from a damaged one.
#include "ControlledRun.h"
#include "KitRun.h"
#include "PackageFixture.h"

#include "Handles.h"
#include "Util.h"
#include "UtilRunLock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <tuple>

using namespace qeltest;

namespace {

ProcessResult Kit(const std::wstring& kit, const std::wstring& args) { return RunProgram(L"\"" + kit + L"\" " + args); }

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// A setup folder with qelkit.exe beside qelwls64.exe, as the package ships them.
class KitFolder : public SetupFolder {
public:
    explicit KitFolder(const std::wstring& name) : SetupFolder(name) {
        CopyFileOrFail(TestBinDir() + L"\\qelkit.exe", Kit());
    }
    std::wstring Kit() const { return File(L"qelkit.exe"); }
    std::wstring Quoted() const { return L"\"" + Path() + L"\""; }
    // Writes qelwls.ini (LF as CR LF) and returns its text.
    std::string WriteScript(const std::string& body) const {
        const std::string text = Script(Crlf(body));
        Write(L"qelwls.ini", text);
        return text;
    }
};

// The line (from 1) of the script text that holds the marker.
int LineOf(const std::string& text, const std::string& marker) {
    const std::vector<std::string> lines = SplitCrLfLines(text);
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(marker) != std::string::npos) return static_cast<int>(i + 1);
    ADD_FAILURE() << "no line holds " << marker;
    return 0;
}

// A strict JSON reader, enough for a plan.
struct Json {
    bool boolean = false;
    double number = 0;
    std::wstring text;
    std::vector<Json> items;
    std::vector<std::pair<std::wstring, Json>> members;
    const Json& operator[](const std::wstring& name) const {
        static const Json none;
        for (const auto& [key, value] : members)
            if (key == name) return value;
        return none;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s_(text) {}
    bool Read(Json& value) { return Value(value) && (Space(), i_ == s_.size()); }

private:
    void Space() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    bool Take(const char* word) {
        Space();
        if (s_.compare(i_, std::strlen(word), word) != 0) return false;
        i_ += std::strlen(word);
        return true;
    }
    // The items of an array or the members of an object, and the closing bracket.
    template <typename Item>
    bool List(const char* close, Item item) {
        if (Take(close)) return true;
        do
            if (!item()) return false;
        while (Take(","));
        return Take(close);
    }
    bool Value(Json& v) {
        if (Take("{"))
            return List("}", [&] {
                Json key, member;
                if (!String(key) || !Take(":") || !Value(member)) return false;
                v.members.emplace_back(key.text, member);
                return true;
            });
        if (Take("[")) return List("]", [&] { return v.items.emplace_back(), Value(v.items.back()); });
        if (i_ < s_.size() && s_[i_] == '"') return String(v);
        if (Take("true")) return v.boolean = true;
        if (Take("false") || Take("null")) return true;
        size_t used = 0;
        try {
            v.number = std::stod(s_.substr(i_), &used);
        } catch (...) {
            return false;
        }
        i_ += used;
        return true;
    }
    bool String(Json& v) {
        if (!Take("\"")) return false;
        std::string bytes;
        for (; i_ < s_.size() && s_[i_] != '"'; ++i_) {
            if (static_cast<unsigned char>(s_[i_]) < 0x20) return false;
            if (s_[i_] != '\\') {
                bytes += s_[i_];
                continue;
            }
            static const char from[] = "\"\\/bfnrt", to[] = "\"\\/\b\f\n\r\t";
            const char* escape = ++i_ < s_.size() ? std::strchr(from, s_[i_]) : nullptr;
            if (escape && *escape) {
                bytes += to[escape - from];
                continue;
            }
            if (i_ + 4 >= s_.size() || s_[i_] != 'u') return false;
            v.text += Wide(bytes) + static_cast<wchar_t>(std::stoul(s_.substr(i_ + 1, 4), nullptr, 16));
            bytes.clear();
            i_ += 4;
        }
        v.text += Wide(bytes);
        return Take("\"");
    }

    const std::string& s_;
    size_t i_ = 0;
};

// Runs on the sample package's folders and keys, cleaned before and after.
class KitMachine : public ::testing::Test {
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override {
        DeleteRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
        CleanMachine();
    }
};
using KitPlan = KitMachine;
using KitRun = KitMachine;
using KitRecover = KitMachine;
using KitVerify = KitMachine;

// What a console shows of qelkit's output: of the progress line's frames
// (each drawn over the one before), the last.
std::string AsShown(const std::string& out) {
    const size_t end = out.find("\r\n");
    if (out.empty() || out[0] != '\r' || end == std::string::npos) return out;
    return out.substr(out.rfind('\r', end - 1) + 1);
}

// What varies from one run to the next, made alike: times, dates, process
// ids, the names of temporary files.
std::string Steady(const std::string& text) {
    static const std::pair<std::regex, const char*> rules[] = {
        {std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"), "<date>"},
        {std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"), "<time>"},
        {std::regex("([Pp]rocess |qelwls-)[0-9]+"), "$1<pid>"},
        {std::regex("qel[0-9a-f]{1,8}\\.tmp"), "qel<hex>.tmp"},
    };
    std::string steady = text;
    for (const auto& [pattern, with] : rules) steady = std::regex_replace(steady, pattern, with);
    return steady;
}

// The example of README.md named `name` (the fenced block after the line
// "<!-- qelkit example: name -->") is these runs: each its command line
// ("> qelkit ...") and what qelkit says, as a console shows it, with the
// test's folders written as the README's (`folders`: from, to). Only what
// varies from run to run may differ, so the README cannot tell of an output
// qelkit no longer gives.
void ExpectReadmeExample(const std::string& name, const std::vector<std::pair<std::string, ProcessResult>>& runs,
                         const std::vector<std::pair<std::string, std::string>>& folders = {}) {
    std::wstring path = L"Z:" + Wide(QEL_README);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    const std::string readme = ReadFileBytes(path), mark = "<!-- qelkit example: " + name + " -->\n```\n";
    const size_t start = readme.find(mark);
    ASSERT_NE(start, std::string::npos) << "README.md has no example " << name;
    const size_t from = start + mark.size();
    std::string shown;
    for (const auto& [command, run] : runs) shown += "> qelkit " + command + "\r\n" + AsShown(run.out) + run.err;
    for (const auto& [folder, as] : folders)
        for (size_t at = shown.find(folder); at != std::string::npos; at = shown.find(folder, at + as.size()))
            shown.replace(at, folder.size(), as);
    EXPECT_EQ(Steady(Crlf(readme.substr(from, readme.find("```\n", from) - from))), Steady(shown))
        << "as shown:\n" << shown;
}

// --- check ---------------------------------------------------------------------
// The findings of a run, with the line of the script each is on found by a
// marker of that line: "<script>(<line>): <rest>", then the count line.
std::string ExpectedFindings(const std::string& script, const std::string& text,
                             const std::vector<std::pair<std::string, std::string>>& findings,
                             const std::string& countLine) {
    std::string expected;
    for (const auto& [marker, rest] : findings)
        expected += script + (marker.empty() ? "" : "(" + std::to_string(LineOf(text, marker)) + ")") + ": " + rest +
                    "\r\n";
    return expected + script + ": " + countLine + "\r\n";
}

// A package with a packager's typical mistakes: each kind of finding once,
// with its code and level, on the line it is about, on both Windows roads
// unless it holds on one only; the run exits 1 for the errors.
TEST(KitCheck, EachKindOfFaultIsReportedOnceOnItsLineWithItsCodeAndLevel) {
    KitFolder folder(L"kit_check");
    const std::string text = folder.WriteScript(
        "[Setup]\nDefaultInstallPath=%16422%\\KitCheck\nDriverStore=%16422%\\KitCheck\\Driver\n\n"
        "[SourceDisksNames]\n1=\"disk\",,,\n2=\"documents\",,,docs\n3=\"help\",help.cab,,\n\n"
        "[SourceDisksFiles]\npresent.txt=1\nabsent.txt=1\nabsentdoc.txt=2\nabsentcab.txt=3\nhelp.txt=3\n\n"
        "[DestinationDirs]\nDefaultDestDir=16422,\"KitCheck\"\nFiles=16422,\"KitCheck\"\n"
        "Nowhere=99999,\"KitCheck\"\nUnused=99998,\"KitCheck\"\n\n"
        "[Install]\nDriverInf=Driver\\missing.inf\nCopyFiles=Files,NoSuchFiles\nCopyFiles=Nowhere\nAddReg=Registry\n"
        "AddLinks=Links\nPostRun=After\nCopyFile=Files\nUninstallLog=\nConditionalSection=Rules\n\n"
        "[Rules]\nUpgradeRun,,\"SOFTWARE\\Old\",\"UninstallString\",,\"/uninstall\",,0,0\n"
        "SupportedApp,NoSuchSection\n\n"
        "[Files]\npresent.txt,,,0x4\nhelp.txt,,,0x4\nabsent.txt,,,0x4\nabsentdoc.txt,,,0x4\nabsentcab.txt,,,0x4\n"
        "flagless.txt\n\n"
        "[Nowhere]\npresent.txt,,,0x4\n\n"
        "[Registry]\nHKLM,\"SOFTWARE\\QelKitCheck\",Name,0,\"value\"\n\n"
        "; Fields 8 and 9 (the localized name) are read from Vista on only.\n"
        "[Links]\n%16422%\\KitCheck,Kit,%16422%\\KitCheck\\present.txt,,,,0\n\n"
        "[After]\n\"%16422%\\KitCheck\\missing.exe\",,0\n\"%16422%\\KitCheck\\optional.exe\",,0x4\n"
        "\"%16422%\\KitCheck\\present.txt\",,0\n");
    WriteFileBytes(folder.File(L"present.txt"), "here");
    CopyFileOrFail(BuiltPackageFolder() + L"\\help.cab", folder.File(L"help.cab"));

    const ProcessResult run = Kit(folder.Kit(), L"check " + folder.Quoted() + L" install");
    const std::string at = Utf8(folder.Path()), app = "C:\\Program Files\\KitCheck\\";
    EXPECT_EQ(run.out,
              ExpectedFindings(
                  Utf8(folder.File(L"qelwls.ini")), text,
                  {
                      {"Nowhere=99999", "error QK1007: [DestinationDirs] the entry for [Nowhere] names the folder id "
                                        "'99999', which Windows does not define"},
                      {"Unused=99998", "warning QK4004: [DestinationDirs] the entry for [Unused] names the folder id "
                                       "'99998', which Windows does not define; no section of install installs there"},
                      // Before Vista the key reads the INF; from Vista on the driver stage reads its staged copy.
                      {"DriverInf=", "error QK1011: [Install] DriverInf names the driver INF " + at +
                                         "\\Driver\\missing.inf, which is not in the package"},
                      {"CopyFiles=Files,NoSuchFiles", "warning QK4003: [Install] CopyFiles names [NoSuchFiles], which "
                                                      "the script does not have: the key skips it"},
                      {"CopyFile=Files", "warning QK4001: [Install] unknown key 'CopyFile': the section processor does "
                                         "nothing with it (a typo of 'CopyFiles'?)"},
                      {"UninstallLog=", "error QK1008: [Install] UninstallLog starts the uninstall log, but [Setup] "
                                        "UninstallLog is missing"},
                      {"UpgradeRun,", "warning QK4006: [Rules] the UpgradeRun rule looks for a command with the "
                                      "arguments \"/uninstall\": the installer starts the whole command as the name "
                                      "of one program, so it never runs"},
                      {"SupportedApp,", "warning QK4003: [Rules] the rule names [NoSuchSection], which the script "
                                        "does not have: the rule runs nothing"},
                      {"absent.txt,,,0x4", "error QK1014: [Files] absent.txt is listed for copying but is not in the "
                                           "package: " + at + "\\absent.txt does not exist"},
                      {"absentdoc.txt,,,0x4", "error QK1014: [Files] absentdoc.txt is listed for copying but is not "
                                              "in the package: " + at + "\\docs\\absentdoc.txt does not exist"},
                      {"absentcab.txt,,,0x4", "error QK1014: [Files] absentcab.txt is listed for copying but is not "
                                              "in the package: the cabinet " + at + "\\help.cab does not hold it"},
                      {"flagless.txt", "error QK1002: [Files] the line has no flags in field 4"},
                      {"HKLM,\"SOFTWARE\\QelKitCheck\"", "error QK1002: [Registry] field 7 missing or not valid"},
                      {"present.txt,,,,0", "error QK1002: [Links] the line has no field 8 (Vista and later only)"},
                      {"missing.exe", "error QK1017: [After] " + app + "missing.exe is neither there nor installed by "
                                      "the run: the run fails when it starts it, and is undone"},
                      {"optional.exe", "warning QK4008: [After] " + app + "optional.exe is neither there nor "
                                       "installed by the run: it is not started, and the run goes on (flag 0x4)"},
                  },
                  "10 errors and 6 warnings for install (both Windows roads)"));
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.err, "");
    ExpectReadmeExample("check", {{"check C:\\kit install", run}}, {{at, "C:\\kit"}});
    ExpectReadmeExample("codes", {{"codes", Kit(folder.Kit(), L"codes")}});
}

// A fault in a sub-install's own script is shown on that script's line, once,
// whichever section of the command reached it, and not in the script that
// names the sub-install.
TEST(KitCheck, FaultsOfASubInstallAreShownOnItsOwnScriptsLines) {
    KitFolder folder(L"kit_check_sub");
    folder.WriteScript("[Install]\nDriverInf=Driver\\none.inf\n\n[Tools]\nSubInstall=tools.ini,Install\n");
    const std::string tools = Script(Crlf("[DestinationDirs]\nDefaultDestDir=16422,\"KitCheck\"\n\n"
                                          "[Install]\nDelGINA=qelgina.dll\nCopyFiles=Files\n"
                                          "SubInstall=tools.ini,Again\n\n"
                                          "[Again]\nSubInstall=tools.ini,Again\n\n"
                                          "[Files]\n; the tool's files\npresent.txt,,,0x4\n\nflagless.txt\n"));
    folder.Write(L"tools.ini", tools);
    WriteFileBytes(folder.File(L"present.txt"), "here");

    const ProcessResult run = Kit(folder.Kit(), L"check " + folder.Quoted() + L" apponly_install Tools");
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    const std::string at = Utf8(folder.File(L"tools.ini"));
    EXPECT_EQ(run.out, at + "(" + std::to_string(LineOf(tools, "DelGINA=")) +
                           "): error QK1004: [Install] DelGINA needs a DLL, a function and an argument\r\n" + at +
                           "(" + std::to_string(LineOf(tools, "[Again]") + 1) +
                           "): error QK1005: [Again] SubInstall nests deeper than 16 sub-installs\r\n" + at + "(" +
                           std::to_string(LineOf(tools, "flagless.txt")) +
                           "): error QK1002: [Files] the line has no flags in field 4\r\n" +
                           Utf8(folder.File(L"qelwls.ini")) +
                           ": 3 errors for apponly_install (both Windows roads)\r\n");
    EXPECT_EQ(run.err, "");
}

// What only a command or this machine makes a fault: an upgrade with an
// UninstallLog key in its sections and nothing installed to replay; option
// words in the script folder and in a section on the command line. Warnings
// alone end with 0; the driver's network INFs are read from Vista on only.
TEST(KitCheck, CommandAndMachineFindings) {
    KitFolder folder(L"kit_check_conmgmt");
    const std::string text = folder.WriteScript(
        "[Setup]\nUninstallLog=%16422%\\KitCheck\\Uninstall\\kitcheck.log\n\n"
        "[Install]\nDriverInf=Driver\\none.inf\n\n"
        "[peernetTools]\nAddReg=Values\n\n[Values]\nHKCU,\"Software\\QelKitCheck\",V,0,\"x\",,0\n\n"
        "[Upgrade]\nUninstallLog=new\n");
    const std::string script = Utf8(folder.File(L"qelwls.ini"));
    const std::string says = "\": the installer looks for its option words anywhere in its command line, so ";
    const auto firewall = [&](const std::string& command) {
        return "warning QK4007: the script folder argument \"" + Utf8(folder.Path()) +
               "\" holds the option word \"conmgmt" + says + command +
               " would also add the firewall rules of the Wi-Fi Direct programs (Vista and later)";
    };
    const ProcessResult install = Kit(folder.Kit(), L"check " + folder.Quoted() + L" apponly_install peernetTools");
    EXPECT_EQ(install.out,
              ExpectedFindings(script, text,
                               {{"", firewall("apponly_install")},
                                {"[peernetTools]", "warning QK4007: the section name [peernetTools] on the command "
                                                   "line holds the option word \"peernet" + says +
                                                   "apponly_install would also create the virtual adapter (Vista and "
                                                   "later)"}},
                               "2 warnings for apponly_install (both Windows roads)"));
    EXPECT_EQ(install.exitCode, 0u);

    const ProcessResult upgrade = Kit(folder.Kit(), L"check " + folder.Quoted() + L" upgrade --os xp");
    EXPECT_EQ(upgrade.out,
              ExpectedFindings(script, text,
                               {{"", firewall("upgrade")},
                                {"UninstallLog=%16422%", "error QK1019: [Setup] there is no uninstall log C:\\Program "
                                                         "Files\\KitCheck\\Uninstall\\kitcheck.log on this machine: "
                                                         "upgrade replays the log an install left (nothing "
                                                         "installed?)"},
                                {"UninstallLog=new", "warning QK4005: [Upgrade] UninstallLog in the upgrade's sections "
                                                    "starts a new, empty uninstall log: the upgrade then replays that "
                                                    "one instead of the installed log, so the previous version's "
                                                    "files are neither removed nor recorded, and a later uninstall "
                                                    "leaves them behind"}},
                               "1 error and 2 warnings for upgrade (before Vista)"));
    EXPECT_EQ(upgrade.exitCode, 1u);
}

TEST(KitCheck, TheSamplePackageIsCleanAndBadInputIsRefusedInOneLine) {
    SamplePackage package(L"kit_check_sample");
    const std::wstring kit = package.File(L"qelkit.exe");
    // "": the folder of qelkit.exe, the package's.
    const ProcessResult clean = Kit(kit, L"check \"\" apponly_install");
    EXPECT_EQ(clean.exitCode, 0u) << clean.out;
    ExpectReadmeExample("check-clean", {{"check \"\" apponly_install", clean}}, {{Utf8(package.Folder()), "C:\\pkg"}});
    ExpectReadmeExample("plan", {{"plan \"\" apponly_install", Kit(kit, L"plan \"\" apponly_install")}},
                        {{Utf8(package.Folder()), "C:\\pkg"}});
    // With the driver and the tools component too.
    const ProcessResult whole = Kit(kit, L"check \"" + package.Folder() + L"\" install Tools");
    EXPECT_EQ(whole.exitCode, 0u) << whole.out;

    const std::tuple<std::wstring, DWORD, std::string> cases[] = {
        {L"check C:\\qeltests\\no_such_folder", 2, "qelkit: no such folder: C:\\qeltests\\no_such_folder\r\n"},
        {L"check \"" + package.Folder() + L"\" driveronly_install", 1,
         "qelkit: no setup script " + Utf8(package.Folder()) + "\\qelwlsd.ini\r\n"},
        {L"check \"" + package.Folder() + L"\" instal", 2,
         "qelkit: unknown command word 'instal' (\"qelkit --help\" lists the commands)\r\n"},
        {L"plan \"" + package.Folder() + L"\" instal", 2,
         "qelkit: unknown command word 'instal' (\"qelkit --help\" lists the commands)\r\n"},
        {L"recover --now", 2,
         "qelkit: recover takes --apply and --verbose only, not '--now' (\"qelkit --help\" lists the commands)\r\n"},
        {L"verify \"" + package.Folder() + L"\" uninstall", 2,
         "qelkit: verify takes an install command, not 'uninstall' (\"qelkit --help\" lists the commands)\r\n"},
        {L"inspect", 2, "qelkit: unknown command 'inspect' (\"qelkit --help\" lists the commands)\r\n"},
    };
    for (const auto& [args, exitCode, says] : cases) {
        const ProcessResult run = Kit(kit, args);
        EXPECT_EQ(run.exitCode, exitCode) << Utf8(args);
        EXPECT_EQ(run.err, says) << Utf8(args);
        EXPECT_EQ(run.out, "") << Utf8(args);
    }
}

// A pattern that matches the text as it is.
std::string Literally(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, "\\$&");
}

// A script only checked or planned may be one nobody trusts: the DLL and the
// export a DelGINA line names are shown, never loaded or called (here the
// line would start a program through WinExec). A warning alone: plan shows it,
// then its plan, and exits 0; with --json it goes to the error stream and the
// output stays one JSON document.
TEST(KitCheck, ADelGinaLineIsNamedAndNeverCalled) {
    KitFolder folder(L"kit_gina");
    const std::wstring record = folder.File(L"ran.txt");
    const std::string command = Utf8(TestBinDir() + L"\\qel_runprobe.exe") + " record=" + Utf8(record);
    const std::string text =
        folder.WriteScript("[Install]\nDriverInf=Driver\\qelwl.inf\nDelGINA=kernel32.dll,WinExec,\"" + command +
                           "\"\n");
    const std::string call = "C:\\windows\\system32\\kernel32.dll";
    const std::string script = Utf8(folder.File(L"qelwls.ini"));
    const std::string finding = script + "(" + std::to_string(LineOf(text, "DelGINA")) +
                                "): warning QK4009: [Install] DelGINA would load " + call +
                                " and call its export 'WinExec' with \"" + command +
                                "\"; check and plan do not load or call it\r\n";

    const ProcessResult check = Kit(folder.Kit(), L"check " + folder.Quoted() + L" apponly_install");
    EXPECT_EQ(check.exitCode, 0u) << check.out;
    EXPECT_EQ(check.out, finding + script + ": 1 warning for apponly_install (both Windows roads)\r\n");

    const ProcessResult plan = Kit(folder.Kit(), L"plan " + folder.Quoted() + L" apponly_install");
    EXPECT_EQ(plan.exitCode, 0u) << plan.out;
    EXPECT_EQ(plan.err, "");
    const std::string findings = finding + script + ": 1 warning for apponly_install (this Windows)\r\nPlan of ";
    EXPECT_EQ(plan.out.substr(0, findings.size()), findings);
    EXPECT_NE(plan.out.find("Stage 4, file removals (cost 0):\r\n  ask " + call + ": WinExec(\"" + command +
                            "\") decides whether it is removed (not called here; its removal is not counted)\r\n"),
              std::string::npos)
        << plan.out;
    const ProcessResult json = Kit(folder.Kit(), L"plan " + folder.Quoted() + L" apponly_install --json");
    EXPECT_EQ(json.exitCode, 0u);
    EXPECT_EQ(json.out.substr(0, 1), "{");
    EXPECT_EQ(json.err, finding);
    ::Sleep(1000);  // WinExec would have started the program by now
    EXPECT_FALSE(PathExists(record)) << "the script's code ran";
}

// --- plan ----------------------------------------------------------------------
constexpr wchar_t kPlanKey[] = L"SOFTWARE\\Qel\\KitPlan";

std::string DiagnosticLogText() { return PathExists(DiagnosticLogPath()) ? ReadFileBytes(DiagnosticLogPath()) : ""; }

TEST_F(KitPlan, DecisionsAreWhatTheInstallDoesAndPlanningChangesNothing) {
    KitFolder folder(L"kit_plan");
    folder.WriteScript("[Setup]\nUninstallLog=%16422%\\Qel Wireless\\Uninstall\\kitplan.log\n"
                       "[SourceDisksNames]\n1=\"disk\",,,\n"
                       "[SourceDisksFiles]\nolder.dll=1\nnewer.dll=1\nheld.txt=1\nqelcomm.dll=1\n"
                       "new.txt=1\nkeep.txt=1\nlater.txt=1\n"
                       "[DestinationDirs]\nDefaultDestDir=16422,\"Qel Wireless\"\nShared=16427,\"Qel Shared\"\n"
                       "[Install]\nDriverInf=Driver\\none.inf\nCopyFiles=Files,Shared\n"
                       "AddReg=Registry\nDelReg=Remove\nUninstallLog=\n"
                       "[Files]\nolder.dll,,,0x40\nnewer.dll,,,0x40\nheld.txt,,,0x4\nnew.txt,,,0x4\nkeep.txt,,,0x10\n"
                       "later.txt,,,0x8\n"
                       "[Shared]\nqelcomm.dll,,,0x80000004\n"
                       "[Registry]\n"
                       "HKLM,\"SOFTWARE\\Qel\\KitPlan\",Version,0,\"2.0\",,0\n"
                       "HKLM,\"SOFTWARE\\Qel\\KitPlan\",Count,0x10001,7,,0\n"
                       "HKLM,\"SOFTWARE\\Qel\\KitPlan\",List,0x8,\"b\",,0\n"
                       "[Remove]\nHKLM,\"SOFTWARE\\Qel\\KitPlan\",Old,0\n");
    const std::string offered = ReadFileBytes(BuiltPackageFolder() + L"\\qelcomm.dll");  // version 3.2
    for (const wchar_t* name : {L"older.dll", L"newer.dll", L"qelcomm.dll"}) WriteFileBytes(folder.File(name), offered);
    for (const wchar_t* name : {L"held.txt", L"new.txt", L"keep.txt", L"later.txt"})
        WriteFileBytes(folder.File(name), "offered");

    // The machine: an older and a newer version there, a file held open, a
    // file not to be overwritten, a new file its line puts in place at the
    // restart, a shared library counted once, registry values to change, to
    // delete, and a list that holds the item appended already.
    const std::wstring at = std::wstring(kAppFolder) + L"\\";
    MachineState machine;
    machine.files = {{at + L"older.dll", ReadFileBytes(TestBinDir() + L"\\qel_versioned.dll")},  // 1.2.3.4
                     {at + L"newer.dll", ReadFileBytes(TestBinDir() + L"\\qel_runprobe.exe")},   // 5.0.0.0
                     {at + L"held.txt", "there"},
                     {at + L"keep.txt", "there"}};
    const RegValue old{true, REG_SZ, {'1', 0, '.', 0, '0', 0, 0, 0}};
    const RegValue list{true, REG_SZ, {'a', 0, ',', 0, 'b', 0, 0, 0}};
    machine.registry = {{std::wstring(kPlanKey) + L"\\Version", old},
                        {std::wstring(kPlanKey) + L"\\Old", old},
                        {std::wstring(kPlanKey) + L"\\List", list}};
    RestoreMachine(machine);
    SetSharedDllCount(kSharedDll, 1);
    qel::UniqueHandle held(::CreateFileW((at + L"held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.Valid());

    const MachineState before = SnapshotMachine();
    const std::vector<std::wstring> tempBefore = FilesMatching(TempFolder() + L"\\*");
    const std::string logBefore = DiagnosticLogText();
    const ProcessResult asJson = Kit(folder.Kit(), L"plan " + folder.Quoted() + L" apponly_install --json");
    const ProcessResult asText = Kit(folder.Kit(), L"plan " + folder.Quoted() + L" apponly_install");
    const MachineState after = SnapshotMachine();
    EXPECT_TRUE(after == before) << "planning changed the machine:\n" << DescribeDifferences(before, after);
    EXPECT_FALSE(PathExists(at + L"Uninstall")) << "planning made the uninstall folder";
    EXPECT_EQ(FilesMatching(TempFolder() + L"\\*"), tempBefore) << "planning left temporary files";
    EXPECT_EQ(DiagnosticLogText(), logBefore) << "planning wrote the diagnostic log";
    ASSERT_EQ(asJson.exitCode, 0u) << asJson.out << asJson.err;
    ASSERT_EQ(asText.exitCode, 0u) << asText.out << asText.err;

    Json plan;
    ASSERT_TRUE(JsonReader(asJson.out).Read(plan)) << asJson.out;
    EXPECT_EQ(plan[L"command"].text, L"apponly_install");
    ASSERT_EQ(plan[L"stages"].items.size(), 8u);

    // The text shows the same records, in the same order.
    std::vector<std::string> jsonTexts, textLines;
    for (const Json& note : plan[L"notes"].items) jsonTexts.push_back(Utf8(note.text));
    for (const Json& stage : plan[L"stages"].items)
        for (const Json& record : stage[L"records"].items) jsonTexts.push_back(Utf8(record[L"text"].text));
    for (const Json& record : plan[L"cleanup"].items) jsonTexts.push_back(Utf8(record[L"text"].text));
    for (const std::string& line : SplitCrLfLines(asText.out))
        if (line.rfind("  ", 0) == 0) textLines.push_back(line.substr(2));
    EXPECT_EQ(textLines, jsonTexts) << asText.out;

    std::map<std::wstring, std::wstring> decisions;
    const Json* count = nullptr;
    for (const Json& record : plan[L"stages"].items[4][L"records"].items) {
        if (record[L"kind"].text == L"file") decisions[record[L"destination"].text] = record[L"decision"].text;
        if (record[L"kind"].text == L"shared-count") count = &record;
    }
    const std::map<std::wstring, std::wstring> expected{
        {at + L"older.dll", L"replace"},           {at + L"newer.dll", L"skip-newer"},
        {at + L"held.txt", L"replace-at-restart"}, {kSharedDll, L"copy"},
        {at + L"new.txt", L"copy"},                {at + L"keep.txt", L"skip-present"},
        {at + L"Uninstall\\qelwls.ini", L"copy"}, {at + L"later.txt", L"copy-at-restart"},
    };
    EXPECT_EQ(decisions, expected);
    std::map<std::wstring, std::wstring> values;
    for (const Json& record : plan[L"stages"].items[6][L"records"].items)
        if (record[L"kind"].text == L"registry") values[record[L"value"].text] = record[L"decision"].text;
    EXPECT_EQ(values, (std::map<std::wstring, std::wstring>{{L"Version", L"set"}, {L"Count", L"add"},
                                                            {L"List", L"present"}}));
    ASSERT_NE(count, nullptr);
    EXPECT_EQ((*count)[L"before"].text, L"1");
    EXPECT_EQ((*count)[L"after"].text, L"2");

    // The install that follows does what the plan said.
    std::map<std::wstring, std::string> there;
    for (const auto& [path, decision] : decisions) there[path] = PathExists(path) ? ReadFileBytes(path) : "";
    const SetupRunResult install = RunSetupProgram(folder.Exe(), L"apponly_install " + folder.Quoted());
    EXPECT_EQ(install.exitCode, 1u) << install.log;
    std::smatch total;
    ASSERT_TRUE(std::regex_search(install.out, total, std::regex("Progress,([0-9]+),")));
    EXPECT_EQ(std::stod(total[1]), plan[L"total"].number);
    EXPECT_TRUE(plan[L"restartNeeded"].boolean);
    const std::vector<std::wstring> pending =
        ReadRegMultiString(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    for (const auto& [path, decision] : decisions) {
        const std::string now = PathExists(path) ? ReadFileBytes(path) : "";
        const bool changes = decision == L"copy" || decision == L"replace";
        EXPECT_EQ(now != there[path], changes) << Utf8(path) << " against the plan's " << Utf8(decision);
        EXPECT_EQ(std::find(pending.begin(), pending.end(), L"!\\??\\" + path) != pending.end(),
                  decision.find(L"at-restart") != std::wstring::npos)
            << Utf8(path);
    }
    EXPECT_EQ(SharedDllCount(kSharedDll), 2);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kPlanKey, L"Version"), L"2.0");
    EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, kPlanKey, L"List") == list) << "the list held the item already";
    bool oldFound = true;
    ReadRegString(HKEY_LOCAL_MACHINE, kPlanKey, L"Old", 0, &oldFound);
    EXPECT_FALSE(oldFound);
}

// The sample's driver package, in the folder's Driver sub-folder.
void CopyDriverPackage(const KitFolder& folder) {
    for (const wchar_t* name : {L"Driver\\qelwl.inf", L"Driver\\qelwl.sys", L"Driver\\qelwl.cat"})
        folder.Write(name, ReadFileBytes(BuiltPackageFolder() + L"\\" + name));
}

// folder\link, a link to the sibling folder target. Wine shows a Unix
// symbolic link as a Windows link (its CreateSymbolicLinkW makes none it can
// follow): made with the host's ln, which Wine starts in the folder.
bool MakeFolderLink(const std::wstring& folder, const std::wstring& link, const std::wstring& target) {
    if (!::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        return ::CreateSymbolicLinkW((folder + L"\\" + link).c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    RunProgram(L"Z:\\bin\\ln -s " + target + L" " + link, folder);
    return qel::IsReparsePoint(folder + L"\\" + link);
}

// A packager's typical mistakes, one per script, on both Windows roads: plan
// shows check's finding on its line, plans nothing and exits 1; the real
// command then fails as predicted, before any change (or, for a program the
// run cannot start, with its changes undone).
TEST_F(KitPlan, PlanPredictsEachFailureTheCommandThenMeets) {
    const std::string destination = "[DestinationDirs]\nDefaultDestDir=16422,\"KitPlan\"\n";
    const std::string install = "[Install]\nDriverInf=Driver\\none.inf\n";
    struct Case {
        const char* name;
        const wchar_t* command;
        std::string body;
        std::string marker;   // the script line the finding is on
        std::string finding;  // its code and text; "<at>": the folder
        bool changesUndone;   // the command fails in its commit and undoes what it did
        void (*prepare)(const KitFolder&) = nullptr;  // the package and machine beyond the script
        bool vistaOnly = false;
    };
    const std::string app = "C:\\Program Files\\KitPlan\\";
    const Case cases[] = {
        {"plain source", L"apponly_install", destination + install + "CopyFiles=Files\n[Files]\nabsent.txt,,,0x4\n",
         "absent.txt",
         "error QK1014: [Files] absent.txt is listed for copying but is not in the package: <at>\\absent.txt does "
         "not exist",
         false},
        {"cabinet source", L"apponly_install",
         "[SourceDisksNames]\n1=\"help\",help.cab,,\n[SourceDisksFiles]\nabsentcab.txt=1\n" + destination + install +
             "CopyFiles=Files\n[Files]\nabsentcab.txt,,,0x4\n",
         "absentcab.txt,", "error QK1014: [Files] absentcab.txt is listed for copying but is not in the package: the "
         "cabinet <at>\\help.cab does not hold it", false},
        {"folder id", L"apponly_install",
         destination + "Files=99999,\"KitPlan\"\n" + install + "CopyFiles=Files\n[Files]\npresent.txt,,,0x4\n",
         "Files=99999", "error QK1007: [DestinationDirs] the entry for [Files] names the folder id '99999', which "
         "Windows does not define", false},
        {"bad line", L"apponly_install",
         install + "AddReg=Registry\n[Registry]\nHKLM,\"SOFTWARE\\QelKitPlan\",Name,0,\"v\"\n",
         "HKLM,", "error QK1002: [Registry] field 7 missing or not valid", false},
        {"driver INF", L"install",
         "[Setup]\nDefaultInstallPath=%16422%\\KitPlan\nDriverStore=%16422%\\KitPlan\\Driver\n[Install]\n"
         "DriverInf=Driver\\missing.inf\n",
         "DriverInf=", "error QK1011: [Install] DriverInf names the driver INF <at>\\Driver\\missing.inf, which is not "
         "in the package", false},
        {"nothing installed", L"upgrade",
         "[Setup]\nUninstallLog=%16422%\\KitPlan\\Uninstall\\kitplan.log\n" + install,
         "UninstallLog=%16422%", "error QK1019: [Setup] there is no uninstall log " + app + "Uninstall\\kitplan.log on "
         "this machine: upgrade replays the log an install left (nothing installed?)", false},
        {"program", L"apponly_install",
         destination + install + "CopyFiles=Files\nPostRun=After\n[Files]\npresent.txt,,,0x4\n[After]\n\"" + app +
             "missing.exe\",,0\n",
         "missing.exe", "error QK1017: [After] " + app + "missing.exe is neither there nor installed by the run: the "
         "run fails when it starts it, and is undone", true},
        {"sub-install script", L"apponly_install", install + "SubInstall=absent.ini,Install\n", "SubInstall=",
         "error QK1009: [Install] SubInstall names the script <at>\\absent.ini, which cannot be opened", false},
        {"folder at a destination", L"apponly_install",
         destination + install + "CopyFiles=Files\n[Files]\npresent.txt,,,0x4\n",
         "present.txt,", "error QK1015: [Files] " + app + "present.txt is a folder on this machine: the command ends "
         "with 200 before any change", false,
         [](const KitFolder&) { WriteFileBytes(L"C:\\Program Files\\KitPlan\\present.txt\\kept.txt", "kept"); }},
        {"link on the way", L"apponly_install",
         "[DestinationDirs]\nDefaultDestDir=16422,\"KitPlan\\Linked\"\n" + install + "CopyFiles=Files\n[Files]\n"
         "present.txt,,,0x4\n",
         "present.txt,", "error QK1016: [Files] " + app + "Linked\\present.txt passes through a link, junction or "
         "mount point: the command ends with 200 before any change", false,
         [](const KitFolder&) {
             WriteFileBytes(L"C:\\Program Files\\KitPlan\\Real\\kept.txt", "kept");
             ASSERT_TRUE(MakeFolderLink(L"C:\\Program Files\\KitPlan", L"Linked", L"Real"));
         }},
        {"driver package installer", L"install",
         "[Setup]\nDefaultInstallPath=%16422%\\KitPlan\nDriverStore=%16422%\\KitPlan\\Driver\n[Install]\n"
         "DriverInf=Driver\\qelwl.inf\n",
         "DriverInf=", "error QK1018: [Install] from Vista on the driver stage starts " + app + "dpinst64.exe, which "
         "is neither there nor installed by a CopyFiles line", true,
         [](const KitFolder& folder) { CopyDriverPackage(folder); },
         true},
    };
    // On both Windows roads: qelkit and the installer see the same version.
    for (const wchar_t* version : {L"win10", L"winxp64"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " on " + Utf8(version));
            SetWindowsVersion(L"qelkit.exe", version);
            SetWindowsVersion(L"qelwls64.exe", version);
            const bool beforeVista = std::wstring(version) == L"winxp64";
            if (beforeVista && c.vistaOnly) continue;
            KitFolder folder(L"kit_plan_fault");
            const std::string text = folder.WriteScript(c.body);
            WriteFileBytes(folder.File(L"present.txt"), "here");
            CopyFileOrFail(BuiltPackageFolder() + L"\\help.cab", folder.File(L"help.cab"));
            if (c.prepare) c.prepare(folder);
            const std::string command = Utf8(c.command);
            std::string finding = c.finding;
            if (finding.find("<at>") != std::string::npos)
                finding.replace(finding.find("<at>"), 4, Utf8(folder.Path()));
            const MachineState before = SnapshotMachine();

            const ProcessResult plan = Kit(folder.Kit(), L"plan " + folder.Quoted() + L" " + c.command);
            EXPECT_EQ(plan.exitCode, 1u) << plan.out << plan.err;
            EXPECT_EQ(plan.out, ExpectedFindings(Utf8(folder.File(L"qelwls.ini")), text, {{c.marker, finding}},
                                                 "1 error for " + command + " (this Windows)"));
            EXPECT_EQ(plan.err, "qelkit: " + command + " would fail on the errors above; nothing planned\r\n");
            // check says the same of this Windows.
            const ProcessResult check =
                Kit(folder.Kit(),
                    L"check " + folder.Quoted() + L" " + c.command + L" --os " + (beforeVista ? L"xp" : L"vista"));
            EXPECT_EQ(check.out.substr(0, check.out.find("\r\n")), plan.out.substr(0, plan.out.find("\r\n")));

            const SetupRunResult run =
                RunSetupProgram(folder.Exe(), std::wstring(c.command) + L" \"" + folder.Path() + L"\"");
            EXPECT_EQ(run.exitCode, 200u) << run.out;
            EXPECT_TRUE(
                std::regex_match(Utf8(run.message), std::regex("Result,200,SetupErrorInternal,[A-Za-z]+,[0-9]+\n")))
                << Utf8(run.message);
            if (c.changesUndone) {
                EXPECT_TRUE(LogHasLine(run.log, "Rollback()")) << run.log;
                EXPECT_FALSE(PathExists(L"C:\\Program Files\\KitPlan\\present.txt"));
            } else {
                const MachineState after = SnapshotMachine();
                EXPECT_TRUE(after == before) << DescribeDifferences(before, after);
            }
            CleanMachine();
            DeleteTree(L"C:\\Program Files\\KitPlan");
        }
    }
    SetWindowsVersion(L"qelkit.exe", L"");
    SetWindowsVersion(L"qelwls64.exe", L"");
}

// --- run -----------------------------------------------------------------------

// The frames of the progress line in qelkit's output, and what follows them.
struct RunOutput {
    std::vector<std::string> frames;
    std::string rest;
};

RunOutput SplitRunOutput(const std::string& out) {
    RunOutput split;
    size_t at = 0;
    while (at < out.size() && out[at] == '\r' && (at + 1 >= out.size() || out[at + 1] != '\n')) {
        const size_t next = out.find('\r', at + 1);
        split.frames.push_back(out.substr(at + 1, next - at - 1));
        at = next;
    }
    // The last frame ends with a line end.
    if (!split.frames.empty() && out.compare(at, 2, "\r\n") == 0) at += 2;
    split.rest = out.substr(at);
    return split;
}

// The frames the installer's own "Progress" lines make.
std::vector<std::string> FramesOf(const std::string& statusLines) {
    std::vector<std::string> frames;
    static const std::regex progress("^Progress,([0-9]+),([0-9]+)$");
    for (const std::string& line : SplitCrLfLines(statusLines)) {
        std::smatch numbers;
        if (!std::regex_match(line, numbers, progress)) continue;
        const std::string frame = Utf8(kit::ProgressLine(static_cast<uint32_t>(std::stoul(numbers[1])),
                                                         static_cast<uint32_t>(std::stoul(numbers[2]))));
        if (frames.empty() || frames.back() != frame) frames.push_back(frame);
    }
    return frames;
}

// A failure says what failed, in words and from the failing step's own lines
// of the diagnostic log, before what undoing it did; the place in the program
// that raised it stays in the log. --exit-codes msi maps the result, --log
// appends the run's lines of the diagnostic log to the caller's file.
TEST_F(KitRun, AFailureShowsItsCauseBeforeTheRollback) {
    KitFolder folder(L"kit_run_fail");
    folder.WriteScript("[Setup]\nUninstallLog=%16422%\\Qel Wireless\\Uninstall\\kitrun.log\n"
                       "[DestinationDirs]\nDefaultDestDir=16422,\"Qel Wireless\"\n"
                       "[Install]\nDriverInf=Driver\\none.inf\nCopyFiles=Files\nPostRun=After\nUninstallLog=\n"
                       "[Files]\nkit.txt,,,0x4\n[After]\nC:\\qeltests\\kit_run_fail\\missing.exe,,0\n");
    folder.Write(L"kit.txt", "kit");
    const std::wstring logFile = folder.File(L"fleet.log");
    WriteFileBytes(logFile, "earlier\r\n");
    const ProcessResult run =
        Kit(folder.Kit(), L"run --exit-codes msi --log \"" + logFile + L"\" apponly_install " + folder.Quoted());
    EXPECT_EQ(run.exitCode, 1603u) << run.out;
    // Stage 8 fails after the files are in: the bar has moved, not to its end.
    ExpectReadmeExample("run-failure",
                        {{"run --exit-codes msi --log C:\\kit\\fleet.log apponly_install C:\\kit", run}},
                        {{Utf8(folder.Path()), "C:\\kit"}, {Utf8(TempFolder()), "C:\\users\\me\\Temp"}});
    const std::string message = Utf8(ReadResultMessage());
    std::smatch place;
    ASSERT_TRUE(std::regex_match(message, place, std::regex("Result,200,SetupErrorInternal,Update,([0-9]+)\n")))
        << message;
    const std::string program = "C:\\qeltests\\kit_run_fail\\missing.exe";
    EXPECT_FALSE(PathExists(std::wstring(kAppFolder) + L"\\kit.txt")) << "the failed run was not undone";

    // The caller's log: what it held, then this run's lines from its header
    // to its footer, the place in the program among them.
    const std::vector<std::string> logged = SplitCrLfLines(ReadFileBytes(logFile));
    ASSERT_GT(logged.size(), 3u);
    EXPECT_EQ(logged[0], "earlier");
    EXPECT_TRUE(std::regex_match(logged[1], std::regex("[0-9:]{8}: Start -- \".*qelwls64\\.exe\".*"))) << logged[1];
    EXPECT_TRUE(std::regex_match(logged.back(), std::regex("[0-9:]{8}: End -- \".*qelwls64\\.exe\".*")))
        << logged.back();
    const std::string failure = "Error: file \"Update\", line " + place[1].str() + ", desc \"" + program + "\"";
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(),
                            [&](const std::string& line) { return line.find(failure) != std::string::npos; }));
}

// Each way a run ends, with the installer's codes and the Windows
// installer's: refused before the start, ended by the installer (its progress
// drawn from its own "Progress" lines, a held file replaced at the restart),
// and refused while another installer run holds the machine's run lock.
TEST_F(KitRun, ProgressResultsAndExitCodesForFleetTools) {
    SamplePackage package(L"kit_codes");
    const std::wstring kit = package.File(L"qelkit.exe");
    const std::wstring folder = L"\"" + package.Folder() + L"\"";
    // The installer's own lines for the same install, on the same machine.
    const SetupRunResult direct = package.Run(L"apponly_install");
    ASSERT_EQ(direct.exitCode, 0u);
    const std::vector<std::string> frames = FramesOf(direct.out);
    ASSERT_GT(frames.size(), 3u);
    EXPECT_EQ(frames.back(), "[##############################] 100%");
    CleanMachine();
    struct Case {
        std::wstring args;
        unsigned own, msi;
        std::string says;  // the line it ends with, on either stream
    };
    const Case cases[] = {
        {L"apponly_install " + folder + L" Tools", 0, 0, "Installed\r\n"},
        {L"uninstall " + folder, 0, 0, "Uninstalled\r\n"},
        {L"apponly_install C:\\qeltests\\no_such_folder", 100, 1603,
         "qelkit: no such folder: C:\\qeltests\\no_such_folder\r\n"},
        {L"reinstall " + folder, 102, 1639, "qelkit: unknown command word 'reinstall'\r\n"},
        {L"install", 102, 1639, "qelkit: run needs a command word and a script folder\r\n"},
        {L"--quiet install " + folder, 102, 1639,
         "qelkit: run takes --exit-codes msi and --log FILE before the command word, not '--quiet'\r\n"},
        // A file the upgrade replaces is held open: replaced at the next restart.
        {L"upgrade " + folder, 1, 3010, "Upgraded; restart required\r\n"},
    };
    for (const bool msi : {false, true}) {
        for (const Case& c : cases) {
            qel::UniqueHandle held;
            if (c.own == 1) {
                ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
                held.Reset(::CreateFileW((std::wstring(kAppFolder) + L"\\readme.txt").c_str(), GENERIC_READ,
                                         FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
                ASSERT_TRUE(held.Valid());
            }
            const ProcessResult run = Kit(kit, L"run " + std::wstring(msi ? L"--exit-codes msi " : L"") + c.args);
            EXPECT_EQ(run.exitCode, msi ? c.msi : c.own) << Utf8(c.args) << run.out << run.err;
            const RunOutput output = SplitRunOutput(run.out);
            EXPECT_EQ(output.rest + run.err, c.says) << Utf8(c.args);
            if (&c == cases) {
                EXPECT_EQ(output.frames, frames) << run.out;
                if (!msi)
                    ExpectReadmeExample("run", {{"run apponly_install C:\\pkg Tools", run}},
                                        {{Utf8(package.Folder()), "C:\\pkg"}});
            }
            if (c.own != 1) continue;
            EXPECT_EQ(output.frames.back(), frames.back());
            held.Reset();
            CleanMachine();
            DeleteRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
        }
    }

    // Another run holds the lock: nothing is started, 1618 with either codes.
    const MachineState before = SnapshotMachine();
    {
        qel::RunLock lock;
        ASSERT_TRUE(lock.Held());
        for (const wchar_t* options : {L"", L"--exit-codes msi "}) {
            const ProcessResult refused = Kit(kit, L"run " + std::wstring(options) + L"uninstall " + folder);
            EXPECT_EQ(refused.exitCode, 1618u) << refused.out;
            EXPECT_EQ(refused.err, "qelkit: another installer run is in progress; nothing was started\r\n");
        }
    }
    const MachineState after = SnapshotMachine();
    EXPECT_TRUE(after == before) << DescribeDifferences(before, after);
}

// --- recover -------------------------------------------------------------------
void InstallOnce(const SamplePackage& package) {
    SetSharedDllCount(kSharedDll, 1);
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    SetSharedDllCount(L"QelSetup", 1);
}

ControlledRunResult Controlled(const SamplePackage& package, const std::wstring& command, RecordAction action,
                               int atRecord, const std::function<void()>& whilePaused = nullptr) {
    return RunControlled(L"\"" + package.Exe() + L"\" " + command + L" \"" + package.Folder() + L"\"", action,
                         atRecord, ERROR_DISK_FULL, L"", whilePaused);
}

// The records a whole run of the command flushes; leaves the package installed.
int CountRecords(const SamplePackage& package, const std::wstring& command) {
    CleanMachine();
    InstallOnce(package);
    const ControlledRunResult whole = Controlled(package, command, RecordAction::None, 0);
    EXPECT_EQ(whole.exitCode, 0u) << Utf8(command);
    CleanMachine();
    InstallOnce(package);
    return whole.flushes;
}

std::map<std::wstring, std::string> LeftoverBytes() {
    std::map<std::wstring, std::string> bytes;
    for (const std::wstring& name : WindowsLeftovers()) bytes[name] = ReadFileBytes(L"C:\\windows\\" + name);
    return bytes;
}

// The pattern of recover's line for a run: its process, start time and
// command line, then `state` (a pattern).
std::string RunLine(const std::wstring& commandLine, const std::string& state) {
    return "Process [0-9]+, started [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}, ran " +
           Literally(Utf8(commandLine)) + ": " + state + "\r\n";
}

// The records recover --verbose lists, each as what undoing it does.
size_t ListedRecords(const std::string& listing) {
    const std::vector<std::string> lines = SplitCrLfLines(listing);
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("    ", 0) == 0; }));
}

TEST_F(KitRecover, ARunKilledMidCommitIsUndoneExactly) {
    SamplePackage package(L"kit_recover");
    const std::wstring kit = package.File(L"qelkit.exe");
    for (const wchar_t* command : {L"apponly_install", L"upgrade", L"uninstall"}) {
        const int records = CountRecords(package, command);
        ASSERT_GT(records, 6) << Utf8(command);
        for (int k : {records / 3, records * 2 / 3}) {
            const std::string where = Utf8(command) + " killed at record " + std::to_string(k);
            const MachineState before = SnapshotMachine();
            ASSERT_EQ(Controlled(package, command, RecordAction::Kill, k).exitCode, kKilledExitCode) << where;
            ASSERT_FALSE(SnapshotMachine() == before) << where << ": the killed run changed nothing";

            // One line for the run, with its record count, first; the records with --verbose.
            const std::wstring commandLine =
                L"\"" + package.Exe() + L"\" " + command + L" \"" + package.Folder() + L"\"";
            const std::string line = RunLine(commandLine, "interrupted \\(([0-9]+) records\\); --apply undoes it");
            const ProcessResult listed = Kit(kit, L"recover");
            EXPECT_EQ(listed.exitCode, 1u) << where;
            std::smatch count;
            EXPECT_TRUE(std::regex_match(listed.out, count,
                                         std::regex(line + "Run \"qelkit recover --apply\" to undo 1 run; \"qelkit "
                                                           "recover --verbose\" lists what undoing does\r\n")))
                << where << "\n" << listed.out;
            const ProcessResult verbose = Kit(kit, L"recover --verbose");
            EXPECT_NE(verbose.out.find("): interrupted; undoing it would, newest change first:"), std::string::npos)
                << where << verbose.out;
            if (count.size() > 1) {
                EXPECT_EQ(std::to_string(ListedRecords(verbose.out)), count[1].str()) << where;
            }
            if (k == records / 3 && std::wstring(command) == L"apponly_install") {
                // While an installer run holds the machine, --apply leaves the
                // killed run to it: that run recovers it before its first change.
                const qel::NamedMutexHold working(qel::kRunLockName, 0);
                ASSERT_TRUE(working.Held());
                const ProcessResult deferred = Kit(kit, L"recover --apply");
                EXPECT_EQ(deferred.exitCode, 1u) << deferred.out;
                EXPECT_TRUE(std::regex_match(
                    deferred.out,
                    std::regex(line + "Process [0-9]+: left to the installer run that is working\r\n"
                                      "0 runs undone, 1 left\r\n")))
                    << deferred.out;
                EXPECT_FALSE(SnapshotMachine() == before) << "the killed run was undone while another worked";
            }
            const ProcessResult applied = Kit(kit, L"recover --apply");
            EXPECT_EQ(applied.exitCode, 0u) << where << applied.out;
            EXPECT_TRUE(std::regex_match(applied.out,
                                         std::regex(line + "Process [0-9]+: undone\r\n1 run undone, 0 left\r\n")))
                << where << "\n" << applied.out;
            if (k == records / 3 && std::wstring(command) == L"apponly_install")
                ExpectReadmeExample("recover",
                                    {{"recover", listed}, {"recover --verbose", verbose}, {"recover --apply", applied}},
                                    {{Utf8(package.Folder()), "C:\\pkg"}});
            const MachineState after = SnapshotMachine();
            EXPECT_TRUE(after == before) << where << "\n" << DescribeDifferences(before, after);
            EXPECT_TRUE(std::regex_search(ReadFileBytes(DiagnosticLogPath()),
                                          std::regex("Recovery: the run of process [0-9]+ is undone\r\n")))
                << where << ": the diagnostic log says nothing of it";

            const ProcessResult again = Kit(kit, L"recover");
            EXPECT_EQ(again.exitCode, 0u) << where;
            EXPECT_EQ(again.out, "No interrupted runs\r\n") << where;
            if (::testing::Test::HasFailure()) return;
        }
    }
}

// An uninstall killed once its changes were complete, at its last record:
// recover finishes its clean-up (the files moved aside, the folders and
// shortcuts it was to remove) rather than bringing back files it had already
// begun to delete.
TEST_F(KitRecover, ARunKilledInItsCleanUpIsFinishedNotUndone) {
    SamplePackage package(L"kit_recover_cleanup");
    const std::wstring kit = package.File(L"qelkit.exe");
    const int records = CountRecords(package, L"uninstall");
    ASSERT_EQ(Controlled(package, L"uninstall", RecordAction::None, 0).exitCode, 0u);
    const MachineState uninstalled = SnapshotMachine();
    CleanMachine();
    InstallOnce(package);

    ASSERT_EQ(Controlled(package, L"uninstall", RecordAction::Kill, records).exitCode, kKilledExitCode);
    // Finished, not undone, in every word.
    const std::string line = RunLine(L"\"" + package.Exe() + L"\" uninstall \"" + package.Folder() + L"\"",
                                     "interrupted in its clean-up \\([0-9]+ records\\); its changes stay, and "
                                     "--apply finishes its clean-up");
    const ProcessResult listed = Kit(kit, L"recover --verbose");
    EXPECT_EQ(listed.exitCode, 1u);
    EXPECT_TRUE(std::regex_match(listed.out, std::regex(line + "Run of process [0-9]+ \\(C:\\\\windows\\\\qelwls-[0-9]+"
                                                               "\\.run\\): interrupted in its clean-up; its changes stay, "
                                                               "and finishing the clean-up deletes what it moved aside\r\n"
                                                               "Run \"qelkit recover --apply\" to finish the clean-up "
                                                               "of 1 run\r\n")))
        << listed.out;
    const ProcessResult applied = Kit(kit, L"recover --apply");
    EXPECT_EQ(applied.exitCode, 0u) << applied.out;
    EXPECT_TRUE(std::regex_match(
        applied.out,
        std::regex(line + "Process [0-9]+: clean-up finished\r\n0 runs undone, 1 clean-up finished, 0 left\r\n")))
        << applied.out;
    const MachineState after = SnapshotMachine();
    EXPECT_TRUE(after == uninstalled) << DescribeDifferences(uninstalled, after);
    const std::string log = ReadFileBytes(DiagnosticLogPath());
    EXPECT_TRUE(std::regex_search(log, std::regex("Recovery: the clean-up of the run of process [0-9]+ is finished\r\n")));
    EXPECT_TRUE(LogHasLine(log, "DoCleanup(): Removing dir \"C:\\Program Files\\Qel Wireless\""));
}

TEST_F(KitRecover, ARunInProgressIsLeftAlone) {
    SamplePackage package(L"kit_recover_live");
    const std::wstring kit = package.File(L"qelkit.exe");
    const int records = CountRecords(package, L"upgrade");
    ProcessResult during;
    std::map<std::wstring, std::string> leftBefore, leftAfter;
    const ControlledRunResult run = Controlled(package, L"upgrade", RecordAction::Pause, records / 2, [&] {
        leftBefore = LeftoverBytes();
        during = Kit(kit, L"recover --apply");
        leftAfter = LeftoverBytes();
    });
    ASSERT_TRUE(run.intervened);
    EXPECT_EQ(run.exitCode, 0u) << "the paused upgrade did not finish as it would have";
    EXPECT_EQ(during.exitCode, 0u) << during.out;
    const std::string line = RunLine(L"\"" + package.Exe() + L"\" upgrade \"" + package.Folder() + L"\"",
                                     "still in progress; left alone");
    EXPECT_TRUE(std::regex_match(during.out, std::regex(line + "0 runs undone, 0 left\r\n"))) << during.out;
    EXPECT_GE(leftBefore.size(), 2u) << "the run's marker and rollback log";
    EXPECT_EQ(leftAfter, leftBefore);
    // The upgrade went on to its end over what recover did not touch.
    EXPECT_TRUE(WindowsLeftovers().empty());
    EXPECT_TRUE(PathExists(kUninstallLog));
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayVersion"), L"2.2");
}

// A marker of a run that has ended, whose rollback log holds a record no
// rollback knows after one it does: nothing of it is undone, by qelkit or by
// the installer's own recovery, and both leave it where it is.
TEST_F(KitRecover, ALogThatCannotBeReadThroughIsLeftInPlace) {
    KitFolder folder(L"kit_recover_bad");
    folder.WriteScript("[Install]\nDriverInf=Driver\\none.inf\n");
    // A process that has ended: its id and start time in the marker.
    ProcessResult ignored;
    DWORD processId = 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    {
        PipedStart probe(L"\"" + TestBinDir() + L"\\qel_runprobe.exe\"", L"", 0, ignored);
        processId = probe.ProcessId();
        probe.Finish();
        ASSERT_TRUE(::GetProcessTimes(probe.Process(), &created, &exited, &kernel, &user));
    }
    const std::wstring log = L"C:\\windows\\qelkitbad.tmp";
    const std::wstring marker = L"C:\\windows\\qelwls-" + std::to_wstring(processId) + L".run";
    char startText[32];
    std::snprintf(startText, sizeof(startText), "0x%llx",
                  (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    const std::string markerBytes =
        "Process," + std::to_string(processId) + "," + startText + "\r\nRollbackLog," + Utf8(log) + "\r\n";
    const std::string logBytes = "MoveFile," + Utf8(folder.File(L"a.txt")) + "," + Utf8(folder.File(L"b.txt")) +
                                 "\r\nNoSuchRecord,1,2\r\n";
    WriteFileBytes(marker, markerBytes);
    WriteFileBytes(log, logBytes);
    folder.Write(L"b.txt", "moved");

    const ProcessResult applied = Kit(folder.Kit(), L"recover --apply");
    EXPECT_EQ(applied.exitCode, 1u) << applied.out;
    // A marker of an earlier build holds no command line; it reads all the same.
    EXPECT_TRUE(std::regex_match(
        applied.out, std::regex("Process " + std::to_string(processId) +
                                ", started [0-9: -]{19}, its command not recorded: cannot be undone: " +
                                Literally("record 2 of the rollback log \"" + Utf8(log) +
                                          "\" is not one a rollback knows: \"NoSuchRecord,1,2\"; left in place") +
                                "\r\n0 runs undone, 1 left\r\n")))
        << applied.out;
    EXPECT_TRUE(PathExists(folder.File(L"b.txt")) && !PathExists(folder.File(L"a.txt"))) << "half undone";
    EXPECT_EQ(ReadFileBytes(marker), markerBytes);
    EXPECT_EQ(ReadFileBytes(log), logBytes);

    // The installer's recovery at its start is the same recovery.
    const SetupRunResult next = RunSetupProgram(folder.Exe(), L"apponly_install " + folder.Quoted());
    EXPECT_EQ(next.exitCode, 0u) << next.log;
    EXPECT_TRUE(LogHasLine(next.log, "Recovery: the run of process " + std::to_string(processId) +
                                         " cannot be undone: record 2 of the rollback log \"" + Utf8(log) +
                                         "\" is not one a rollback knows: \"NoSuchRecord,1,2\"; it is left in place"))
        << next.log;
    EXPECT_TRUE(PathExists(folder.File(L"b.txt")));
    EXPECT_EQ(ReadFileBytes(marker), markerBytes);
    EXPECT_EQ(ReadFileBytes(log), logBytes);
    ::DeleteFileW(marker.c_str());
    ::DeleteFileW(log.c_str());
}

// --- verify --------------------------------------------------------------------
// The installed product against its uninstall log and its package: intact
// after the install, each kind of damage named on a line of its own (a file
// changed against its plain source and against its cabinet, a file, a
// registry value and a SharedDLLs count missing), intact again after the
// repair it names, and not installed after the uninstall.
TEST_F(KitVerify, IntactDamagedRepairedAndUninstalled) {
    SamplePackage package(L"kit_verify");
    const std::wstring kit = package.File(L"qelkit.exe");
    const std::wstring args = L"verify \"" + package.Folder() + L"\" apponly_install Tools";
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    // Every file of the uninstall log, every value of [AppRegistry].
    const ProcessResult intact = Kit(kit, args);
    EXPECT_EQ(intact.exitCode, 0u) << intact.out << intact.err;
    EXPECT_EQ(intact.out, "Verify of apponly_install with " + Utf8(package.File(L"qelwls.ini")) +
                              " against the uninstall log " + Utf8(kUninstallLog) +
                              "\r\nIntact: 12 files, 12 registry values and 1 SharedDLLs count as installed\r\n");

    const std::wstring readme = std::wstring(kAppFolder) + L"\\readme.txt";
    const std::wstring help = std::wstring(kAppFolder) + L"\\Help\\help.txt";
    const std::wstring guide = std::wstring(kAppFolder) + L"\\Docs\\guide.txt";
    WriteFileBytes(readme, "changed by hand");
    WriteFileBytes(help, "changed by hand too");
    ASSERT_TRUE(::DeleteFileW(guide.c_str()));
    DeleteRegValue(HKEY_LOCAL_MACHINE, kProductKey, L"InstallPath");
    DeleteRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, kSharedDll);
    // Each damage on a line of its own: a file changed against its plain
    // source and against its cabinet (the two digests differ), a file, a
    // registry value and a SharedDLLs count missing; then the repair.
    const ProcessResult damaged = Kit(kit, args);
    EXPECT_EQ(damaged.exitCode, 1u) << damaged.out;
    ExpectReadmeExample("verify", {{"verify C:\\pkg apponly_install Tools", damaged}},
                        {{Utf8(package.Folder()), "C:\\pkg"}});

    // The repair it names.
    EXPECT_EQ(Kit(kit, L"run apponly_install \"" + package.Folder() + L"\" Tools").exitCode, 0u);
    const ProcessResult repaired = Kit(kit, args);
    EXPECT_EQ(repaired.exitCode, 0u) << repaired.out;

    ASSERT_EQ(package.Run(L"uninstall").exitCode, 0u);
    const ProcessResult gone = Kit(kit, args);
    EXPECT_EQ(gone.exitCode, 1u) << gone.out;
    EXPECT_EQ(gone.out, "Not installed: there is no uninstall log " + Utf8(kUninstallLog) +
                            "\r\nThe repair is the install: qelkit run apponly_install " + Utf8(package.Folder()) +
                            " Tools\r\n");
}

// A driver package the install put in place, on each Windows road (with the
// device stand-ins): counted when it is there, named when it is gone: before
// Vista the store's OEM INF, from Vista on the package folder the package
// installer took.
TEST_F(KitVerify, ADriverPackageIsCountedAndNamedWhenGone) {
    InstallDeviceStandIns();
    // Another maker's INF of the same name: Wine then gives the package an OEM name, as Windows always does.
    const std::wstring otherInf = L"C:\\windows\\inf\\qelwl.inf";
    WriteFileBytes(otherInf, "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n");
    KitFolder folder(L"kit_verify_driver");
    CopyDriverPackage(folder);
    CopyFileOrFail(BuiltPackageFolder() + L"\\dpinst64.exe", folder.File(L"dpinst64.exe"));
    folder.WriteScript("[Setup]\nUninstallLog=%16422%\\KitVerify\\Uninstall\\qelwls.log\n"
                       "DefaultInstallPath=%16422%\\KitVerify\nDriverStore=%16422%\\KitVerify\\Driver\n"
                       "[DestinationDirs]\nAppFiles=16422,\"KitVerify\"\n"
                       "[Install]\nDriverInf=Driver\\qelwl.inf\nCopyFiles=AppFiles\nUninstallLog=\n"
                       "[AppFiles]\ndpinst64.exe,,,0x4\n");
    const std::wstring verify = L"verify " + folder.Quoted() + L" install";
    const std::wstring log = L"C:\\Program Files\\KitVerify\\Uninstall\\qelwls.log";
    for (const wchar_t* version : {L"win10", L"winxp64"}) {
        SCOPED_TRACE(Utf8(version));
        SetWindowsVersion(L"qelwls64.exe", version);
        SetWindowsVersion(L"qelkit.exe", version);
        const SetupRunResult install = RunSetupProgram(folder.Exe(), L"install " + folder.Quoted());
        ASSERT_EQ(install.exitCode, 0u) << install.log;
        const ProcessResult intact = Kit(folder.Kit(), verify);
        EXPECT_EQ(intact.exitCode, 0u) << intact.out;
        EXPECT_TRUE(std::regex_search(intact.out, std::regex("\r\nIntact: [0-9]+ files, 1 driver package, ")))
            << intact.out;

        const std::string records = ReadFileBytes(log);
        std::smatch record;
        ASSERT_TRUE(std::regex_search(records, record, std::regex("CopyInf,[^,\r\n]+,([^\r\n]+)\r\n")));
        const std::wstring installed =
            (std::wstring(version) == L"win10" ? L"" : L"C:\\windows\\inf\\") + Wide(record[1]);
        DeleteTree(installed);
        ASSERT_FALSE(PathExists(installed));
        const ProcessResult gone = Kit(folder.Kit(), verify);
        EXPECT_EQ(gone.exitCode, 1u) << gone.out;
        EXPECT_NE(gone.out.find("\r\nmissing: the driver package " + Utf8(installed) + "\r\n"), std::string::npos)
            << gone.out;
        RunSetupProgram(folder.Exe(), L"uninstall " + folder.Quoted());
        DeleteTree(L"C:\\Program Files\\KitVerify");
    }
    SetWindowsVersion(L"qelwls64.exe", L"");
    SetWindowsVersion(L"qelkit.exe", L"");
    ::DeleteFileW(otherInf.c_str());
}

}  // namespace
