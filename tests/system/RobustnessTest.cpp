// Mutated setup scripts through the real qelwls64.exe: the sample package from
// a known state (clean for an install, installed for an upgrade or an
// uninstall) with its scripts, and for the last two its uninstall log, broken
// in a few ways at once. Every run must end with a defined result on all three
// channels, and a run that fails must leave the machine as it found it.
// Cases are numbered from a fixed seed; the number alone rebuilds a case.
// QEL_FUZZ_CASES=<n> runs n cases instead of the time-bounded CI count, and
// QEL_FUZZ_CASE=<k> runs case k alone.
#include "PackageFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <regex>

using namespace qeltest;

namespace {

// Most cases fail within half a second; a successful one pauses in its
// clean-up. 240 cases take about three minutes on two cores; the time bound
// ends the loop first on a loaded machine.
constexpr int kCiCases = 240;
constexpr double kCiSeconds = 190;
constexpr uint32_t kSeed = 0x51E1D5u;

enum class Road { Install, Upgrade, Uninstall };
const wchar_t* const kCommands[] = {L"apponly_install", L"upgrade", L"uninstall"};
const char* const kSections[] = {"[Install]", "[Upgrade]", "[Uninstall]"};

using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& text) {
    Lines lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
    }
    return lines;
}

std::string JoinLines(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// One file of the case, and the mutations made to it.
struct CaseFile {
    std::wstring path;
    std::string text;
    bool utf16 = false, bom = false;
};

class Mutator {
public:
    explicit Mutator(uint32_t seed) : rng_(seed) {}

    // Applies `count` mutations to the files; notes say what was done.
    void Apply(std::vector<CaseFile>& files, int count, std::vector<std::string>& notes) {
        for (int i = 0; i < count; ++i) {
            CaseFile& file = files[Pick(static_cast<int>(files.size()))];
            Lines lines = SplitLines(file.text);
            if (lines.empty()) continue;
            const size_t at = Pick(static_cast<int>(lines.size()));
            std::string note;
            switch (Pick(14)) {
            case 0: note = "deleted line '" + lines[at].substr(0, 50) + "'"; lines.erase(lines.begin() + at); break;
            case 1: note = "doubled line '" + lines[at].substr(0, 50) + "'"; lines.insert(lines.begin() + at, lines[at]); break;
            case 2: {
                const size_t other = Pick(static_cast<int>(lines.size()));
                std::swap(lines[at], lines[other]);
                note = "swapped lines " + std::to_string(at + 1) + " and " + std::to_string(other + 1);
                break;
            }
            case 3:
                file.text = JoinLines(lines);
                file.text.resize(Pick(static_cast<int>(file.text.size())));
                notes.push_back("cut at byte " + std::to_string(file.text.size()));
                continue;
            case 4: case 5: {
                std::string bytes;
                for (int n = 0; n < 8; ++n) bytes += static_cast<char>(Pick(256));
                if (Pick(2) == 0) bytes = std::string(3, '\0');
                lines[at].insert(Pick(static_cast<int>(lines[at].size()) + 1), bytes);
                note = "odd bytes in line " + std::to_string(at + 1);
                break;
            }
            case 6: lines[at] += "," + std::string(100000, 'L'); note = "100,000 characters on line " + std::to_string(at + 1); break;
            case 7:  // a section that copies or sub-installs itself
                lines.insert(lines.begin() + at, Pick(2) ? "CopyFiles=Install" : "SubInstall=qelwls.ini,Install");
                lines.insert(lines.begin() + at, "[Install]");
                note = "self-reference";
                break;
            case 8: note = ReplaceNumber(lines[at], {"0xFFFFFFFF", "-1", "99999999999", "4294967296", "0x80000000"}); break;
            case 9: note = FolderId(lines); break;
            case 10: lines[at] += ",%Unterminated"; note = "open %string% on line " + std::to_string(at + 1); break;
            case 11: note = LongString(lines); break;
            case 12: file.utf16 = true; file.bom = Pick(2) == 0; note = file.bom ? "UTF-16 with BOM" : "UTF-16 without BOM"; break;
            default:  // a nested sub-install of the sample's tools script
                lines.insert(lines.end(), {"[Install]", "SubInstall=tools.ini,Install"});
                note = "nested sub-install";
                break;
            }
            file.text = JoinLines(lines);
            notes.push_back(note);
        }
    }

    // Makes the commit fail late, after most changes, so that the rollback
    // has something to undo.
    void LateFailure(Road road, std::vector<CaseFile>& files, std::wstring& missingSource,
                     std::vector<std::string>& notes) {
        if (road == Road::Install && Pick(2) == 0) {
            missingSource = Pick(2) ? L"tools\\qeltool.txt" : L"qelwlcpl.cpl";
            notes.push_back("source missing: " + Utf8(missingSource));
            return;
        }
        // Text appended to a number: refused by the registry stage.
        files[0].text = WithFailingRegistryLine(files[0].text, kSections[static_cast<int>(road)]);
        notes.push_back("registry line refused at commit");
    }

    int Pick(int n) { return n <= 0 ? 0 : static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

private:
    std::string ReplaceNumber(std::string& line, std::initializer_list<const char*> values) {
        static const std::regex number("-?(0x)?[0-9a-fA-F]+");
        std::smatch found;
        if (!std::regex_search(line, found, number)) return "no number";
        const std::string value = *(values.begin() + Pick(static_cast<int>(values.size())));
        line.replace(found.position(), found.length(), value);
        return "number " + value;
    }

    std::string FolderId(Lines& lines) {
        static const char* ids[] = {"-2", "-3", "-100", "-2147483648", "0", "99999"};
        for (std::string& line : lines)
            if (line.rfind("AppFiles=", 0) == 0 || line.rfind("ToolFiles=", 0) == 0) {
                const std::string id = ids[Pick(6)];
                line = line.substr(0, line.find('=') + 1) + id + line.substr(line.find(','));
                return "folder id " + id;
            }
        return "no folder id";
    }

    // A %string% that makes a path over 4,096 or over 32,767 characters.
    std::string LongString(Lines& lines) {
        const size_t length = Pick(2) ? 4200 : 33000;
        std::string path;
        while (path.size() < length) path += "\\" + std::string(200, 'p');
        lines.insert(lines.end(), {"[Strings]", "Long=\"" + path.substr(1) + "\""});
        for (std::string& line : lines)
            if (line.rfind("DocFiles=", 0) == 0 || line.rfind("UninstallLog=%", 0) == 0) {
                line += "\\%Long%";
                return "%Long% of " + std::to_string(length) + " characters";
            }
        return "%Long% unused";
    }

    std::mt19937 rng_;
};

std::string Encode(const CaseFile& file) {
    if (!file.utf16) return file.text;
    std::string bytes = file.bom ? "\xFF\xFE" : "";
    for (char c : file.text) bytes += {c, '\0'};
    return bytes;
}

// What every run must show, whatever its script: a defined result, the
// status lines in their order, and the registry message that matches.
std::string CheckReport(const SetupRunResult& run) {
    static const std::regex progress("(Progress,[0-9]+,[0-9]+\r\n)*");
    const DWORD code = run.exitCode;
    const bool success = code <= 2, earlyEnd = code >= 100 && code <= 103, failure = code >= 200 && code <= 202;
    if (!success && !earlyEnd && !failure) return "exit code " + std::to_string(code);
    const std::string version = kVersionLine;
    if (run.out.compare(0, version.size(), version) != 0) return "no Version line first";
    const std::string rest = run.out.substr(version.size());
    if (Utf8(run.message).find("Result," + std::to_string(code) + ",") != 0) return "registry message";
    if (earlyEnd) return rest.empty() ? "" : "status lines after an early end";
    const size_t result = rest.find("Result,");
    if (result == std::string::npos || !std::regex_match(rest.substr(0, result), progress))
        return "status lines out of order";
    const std::string resultLine = rest.substr(result);
    if (!std::regex_match(resultLine, std::regex("Result," + std::to_string(code) + ",[A-Za-z]+,([A-Za-z]+,[0-9]+)?,?\r\n")))
        return "result line " + resultLine;
    return "";
}

class Robustness : public ::testing::Test {
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override { CleanMachine(); }
};

TEST_F(Robustness, MutatedScriptsEndWithADefinedResultAndFailuresChangeNothing) {
    SamplePackage package(L"robustness");
    const std::string script = ReadFileBytes(package.File(L"qelwls.ini"));
    const std::string tools = ReadFileBytes(package.File(L"tools.ini"));

    // The two starting states: clean, and installed by this package as the
    // only user of the setup.
    const MachineState clean = SnapshotMachine();
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    SetSharedDllCount(L"QelSetup", 1);
    const MachineState installed = SnapshotMachine();

    wchar_t value[32] = {};
    int first = 0, cases = kCiCases;
    const bool bounded = ::GetEnvironmentVariableW(L"QEL_FUZZ_CASES", value, 32) == 0;
    if (!bounded) cases = _wtoi(value);
    if (::GetEnvironmentVariableW(L"QEL_FUZZ_CASE", value, 32) > 0) {
        first = _wtoi(value);
        cases = 1;
    }

    std::string problems;
    std::map<DWORD, int> codes;
    int ran = 0, failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int number = first; number < first + cases; ++number, ++ran) {
        if (bounded && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > kCiSeconds)
            break;
        // Half the cases install, the others upgrade or uninstall.
        Mutator mutate(kSeed + static_cast<uint32_t>(number));
        const Road road = static_cast<Road>(mutate.Pick(2) == 0 ? 0 : 1 + mutate.Pick(2));
        RestoreMachine(road == Road::Install ? clean : installed);

        std::vector<CaseFile> files{{package.File(L"qelwls.ini"), script}, {package.File(L"tools.ini"), tools}};
        if (road != Road::Install) files.push_back({kUninstallLog, ReadFileBytes(kUninstallLog)});
        std::vector<std::string> notes;
        mutate.Apply(files, 1 + mutate.Pick(3), notes);
        std::wstring missingSource;
        if (mutate.Pick(4) != 0) mutate.LateFailure(road, files, missingSource, notes);
        for (const CaseFile& file : files) WriteFileBytes(file.path, Encode(file));
        if (!missingSource.empty())
            ::MoveFileW(package.File(missingSource).c_str(), (package.File(missingSource) + L".away").c_str());

        const MachineState before = SnapshotMachine();
        const SetupRunResult run = package.Run(kCommands[static_cast<int>(road)]);
        const MachineState after = SnapshotMachine();
        ++codes[run.exitCode];

        std::string problem = CheckReport(run);
        if (problem.empty() && run.exitCode >= 100 && !(after == before)) problem = DescribeDifferences(before, after);
        if (problem.empty() && !after.windowsLeftovers.empty()) problem = "left in the Windows folder";
        if (!problem.empty()) {
            std::string text = "case " + std::to_string(number) + " (" + Utf8(kCommands[static_cast<int>(road)]) +
                               ", exit " + std::to_string(run.exitCode) + "):";
            for (const std::string& note : notes) text += " [" + note + "]";
            problems += text + "\n  " + problem + "\n";
            ++failed;
        }

        if (!missingSource.empty())
            ::MoveFileW((package.File(missingSource) + L".away").c_str(), package.File(missingSource).c_str());
        WriteFileBytes(package.File(L"qelwls.ini"), script);
        WriteFileBytes(package.File(L"tools.ini"), tools);
        if (failed >= 10) break;
    }

    std::string summary = std::to_string(ran) + " cases from " + std::to_string(first) + "; exit codes";
    for (const auto& [code, count] : codes) summary += " " + std::to_string(code) + ":" + std::to_string(count);
    std::printf("[ robustness ] %s\n", summary.c_str());
    EXPECT_EQ(failed, 0) << problems;
}

}  // namespace
