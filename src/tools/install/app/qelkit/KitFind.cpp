// FindProblems: the script read through the key handlers (KitScriptReading),
// then what its queued records meet in the package and on this machine: the
// checks of the installer's start, the files the commit copies from the
// package, the driver stage from Vista on, the programs it starts, and the
// option words the installer finds in its own command line.
#include "KitFind.h"

#include "BasicException.h"
#include "CmdLineKeys.h"
#include "KitOutput.h"
#include "KitScriptReading.h"
#include "Update.h"
#include "Util.h"

#include <setupapi.h>

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace kit {
namespace {

constexpr wchar_t kInstallCount[] = L"QelSetup";
constexpr const char* kModuleName = "Kit";

// The start failure of a program with this flag is ignored.
constexpr uint32_t kRunIgnoreStartFailure = 0x4;
// What an UpgradeRun rule queues: the old package's command as the name of
// one program, its start failure ignored. Such a run is reported on the
// rule's line (KitScriptReading), not as a program of a run section.
constexpr uint32_t kUpgradeRunFlags = 0x4 | 0x8;

// Everything a cabinet holds, by lower-case name.
std::set<std::wstring> CabinetMembers(const std::wstring& cabinet) {
    std::set<std::wstring> members;
    const auto collect = [](PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) -> UINT {
        if (notification == SPFILENOTIFY_FILEINCABINET) {
            const auto* info = reinterpret_cast<const FILE_IN_CABINET_INFO_W*>(param1);
            static_cast<std::set<std::wstring>*>(context)->insert(qel::Lowercase(info->NameInCabinet));
            return FILEOP_SKIP;
        }
        return NO_ERROR;
    };
    ::SetupIterateCabinetW(cabinet.c_str(), 0, collect, &members);
    return members;
}

class PackageChecks {
public:
    explicit PackageChecks(ScriptReading& reading)
        : reading_(reading), request_(reading.Request()), script_(reading.ThePackage().script) {}

    // --- the checks of the installer's start ---------------------------------
    void Entry() {
        std::wstring driverInf;
        if (script_.GetLineText(L"Install", L"DriverInf", driverInf) != qel::InfOk) {
            reading_.Report(Kind::NoDriverInfKey, reading_.MainText(), reading_.HeaderLine(L"Install"), L"",
                            L"[Install] has no DriverInf key: every command ends with 100 before it reads a section",
                            L"driverinf-key");
        } else {
            NetworkInfs(driverInf);
        }
        // The folders of [Setup] the installer checks before it reads a section.
        try {
            qel::CheckSetupFolders(script_);
        } catch (const qel::BasicException& e) {
            const qel::ScriptPlace* place = e.Place();
            const ScriptText& text = reading_.MainText();
            const std::wstring key = place ? place->key : L"";
            const int line = place ? text.KeyLine(L"Setup", key) : 0;
            reading_.Report(Kind::ValueNotUsable, text, line ? line : reading_.HeaderLine(L"Setup"), L"Setup",
                            place ? place->message : std::wstring(L"a [Setup] folder cannot be used"), L"key:" + key);
        }
        if (request_.command == Command::Upgrade || request_.command == Command::Uninstall) InstalledLog();
    }

    // --- option words in the installer's command line -----------------------
    void OptionWords() {
        struct Word {
            const wchar_t* word;
            const wchar_t* effect;
            bool (*applies)(Command);
        };
        static const Word kWords[] = {
            {L"peernet", L"also create the virtual adapter (Vista and later)",
             [](Command c) { return c != Command::Uninstall; }},
            {L"-qelis", L"also remove and reinstall the filter component",
             [](Command c) { return c != Command::Uninstall; }},
            {L"conmgmt", L"also add the firewall rules of the Wi-Fi Direct programs (Vista and later)",
             [](Command c) { return c == Command::Install || c == Command::AppOnlyInstall || c == Command::Upgrade; }},
            {L"uninstall", L"never install the driver package (Vista and later)",
             [](Command c) { return c == Command::Install || c == Command::DriverOnlyInstall || c == Command::Upgrade; }},
        };
        const std::wstring& installerFolder = reading_.Context().workingDir;
        const std::wstring command = CommandWord(request_.command);
        for (const Word& word : kWords) {
            if (!word.applies(request_.command)) continue;
            const auto says = [&](const std::wstring& what) {
                return what + L" holds the option word \"" + word.word +
                       L"\": the installer looks for its option words anywhere in its command line, so " + command +
                       L" would " + word.effect;
            };
            // The script folder as the command line gives it, else the
            // installer's own path, which opens the command line.
            const bool inArgument = request_.folderArgument.find(word.word) != std::wstring::npos;
            if (inArgument || installerFolder.find(word.word) != std::wstring::npos)
                reading_.Report(Kind::OptionWordInName, reading_.MainText(), 0, L"",
                                says(inArgument ? L"the script folder argument \"" + request_.folderArgument + L"\""
                                                : L"the folder of qelwls64.exe, " + installerFolder + L","),
                                std::wstring(L"option:") + word.word);
            for (const std::wstring& section : request_.extra) {
                if (section.find(word.word) == std::wstring::npos) continue;
                reading_.Report(Kind::OptionWordInName, reading_.MainText(), reading_.HeaderLine(section), L"",
                                says(L"the section name [" + section + L"] on the command line"),
                                std::wstring(L"option:") + word.word + L":" + section);
            }
        }
    }

    // --- [DestinationDirs] folder ids -----------------------------------------
    // The key that reads an entry whose folder id Windows does not define
    // fails, and has been reported already where the reading got that far;
    // one a fault before it hid is reported here. An entry no key reads is
    // harmless, and only a warning.
    void Destinations() {
        std::vector<const qel::InfFile*> scripts{&script_};
        for (const qel::InfFile& other : reading_.SubScripts()) scripts.push_back(&other);
        for (const qel::InfFile* script : scripts) {
            std::wstring path;
            script->GetPath(path);
            const ScriptText& text = reading_.TextOf(path);
            const ScriptText::Section* entries = text.Find(L"DestinationDirs");
            if (!entries) continue;
            const std::vector<std::wstring> read = SectionsWithFolders(text);
            const auto reads = [&](const std::wstring& entry) {
                if (SameName(entry, L"DefaultDestDir"))
                    return std::any_of(read.begin(), read.end(), [&](const std::wstring& section) {
                        return !text.LineWithKey(L"DestinationDirs", section);
                    });
                return std::any_of(read.begin(), read.end(),
                                   [&](const std::wstring& section) { return SameName(section, entry); });
            };
            for (const ScriptText::Line& line : entries->lines) {
                if (!line.hasKey) continue;
                std::wstring folder;
                try {
                    script->GetTargetPathAsNamed(line.key, folder);
                } catch (const qel::BasicException& e) {
                    const std::wstring fault =
                        e.Place() ? e.Place()->message : L"the folder of the entry cannot be resolved";
                    if (reads(line.key))
                        reading_.Report(Kind::UndefinedFolderId, text, line.number, L"DestinationDirs", fault,
                                        L"destdir:" + line.key);
                    else
                        reading_.Report(Kind::UnusedFolderId, text, line.number, L"DestinationDirs",
                                        fault + L"; no section of " + std::wstring(CommandWord(request_.command)) +
                                            L" installs there",
                                        L"destdir:" + line.key);
                }
            }
        }
    }

    // --- what the queued records meet -----------------------------------------
    // The transactions one road queued: what one record needs, another may
    // provide (a program, the driver package installer installed by a
    // CopyFiles line).
    void Records(const std::vector<qel::UpdateTransaction*>& tops, unsigned roadBit) {
        std::vector<qel::UpdateTransaction*> all;
        for (qel::UpdateTransaction* top : tops) {
            const std::vector<qel::UpdateTransaction*> tree = top->Tree();
            all.insert(all.end(), tree.begin(), tree.end());
        }
        std::unordered_set<std::wstring> installed;  // lower-case destinations the commit fills
        for (qel::UpdateTransaction* t : all) {
            for (const qel::FileOp& op : t->FileInstalls()) {
                if (SourceThere(op))
                    installed.insert(qel::Lowercase(op.destination));
                else
                    Source(op, roadBit);
            }
        }
        // The paths the commit refuses before its first change.
        for (const qel::UnsafePath& unsafe : qel::FindUnsafePaths(all, false)) UnsafePath(unsafe, roadBit);
        const auto willBeThere = [&](const std::wstring& path) {
            return installed.count(qel::Lowercase(path)) != 0 || qel::FileExists(path);
        };
        // Programs before the changes find only what is there now.
        const auto thereNow = [](const std::wstring& path) { return qel::FileExists(path); };
        for (qel::UpdateTransaction* t : all) {
            if (qel::SetupGetRunningWinVer() >= qel::WinVerVista) DriverStageFromVista(*t, roadBit, willBeThere);
            for (const qel::RunOp& op : t->PreRuns()) Program(op, true, roadBit, thereNow);
            for (const qel::RunOp& op : t->PostRuns()) Program(op, false, roadBit, willBeThere);
            for (const qel::GinaQuery& query : t->GinaQueries()) GinaCall(query);
        }
    }

private:
    // What a DelGINA line would load and call: check and plan never load or
    // call code a script names, so they only say so.
    void GinaCall(const qel::GinaQuery& query) {
        ScriptLine at{&reading_.MainText(), query.section, 0};
        for (const ReachableSection& each : reading_.Reachable()) {
            if (!SameName(each.section, query.section)) continue;
            if (const int line = each.text->KeyLine(each.section, L"DelGINA")) {
                at = ScriptLine{each.text, each.section, line};
                break;
            }
        }
        reading_.Report(Kind::CodeNotCalled, at,
                        Format(L"DelGINA would load %s and call its export '%s' with \"%s\"; check and plan do not "
                               L"load or call it",
                               query.dllPath.c_str(), query.exportName.c_str(), query.argument.c_str()),
                        L"gina:" + query.dllPath + L"," + query.exportName + L"," + query.argument);
    }

    // The sections of a script whose [DestinationDirs] folder a reachable
    // key reads: those CopyFiles and DelFiles name.
    std::vector<std::wstring> SectionsWithFolders(const ScriptText& text) const {
        std::vector<std::wstring> sections;
        for (const ReachableSection& each : reading_.Reachable()) {
            if (each.text != &text) continue;
            const ScriptText::Section* keys = each.text->Decorated(each.section);
            if (!keys) continue;
            for (const ScriptText::Line& line : keys->lines)
                if (line.hasKey && (SameName(line.key, L"CopyFiles") || SameName(line.key, L"DelFiles")))
                    sections.insert(sections.end(), line.values.begin(), line.values.end());
        }
        return sections;
    }

    // From Vista on the installer opens the optional network INFs beside
    // the driver's folder, when they are there, and ends with 100 on one
    // that does not open.
    void NetworkInfs(const std::wstring& driverInf) {
        const auto vista = std::find_if(request_.roads.begin(), request_.roads.end(), [](Road road) {
            return road == Road::VistaOrLater ||
                   (road == Road::Running && qel::SetupGetRunningWinVer() >= qel::WinVerVista);
        });
        if (vista == request_.roads.end()) return;
        const unsigned bit = request_.roads.size() > 1 ? RoadBit(*vista) : 0;
        const std::wstring root =
            qel::DirectoryOf(qel::JoinPath(reading_.Context().workingDir, qel::DirectoryOf(driverInf)));
        for (const wchar_t* name : {L"VWL\\qelvwl.inf", L"QELIS\\qelis.inf"}) {
            const std::wstring inf = qel::JoinPath(root, name);
            if (!qel::FileExists(inf)) continue;
            qel::InfFile check;
            try {
                check.Open(inf, qel::GetUILanguage());
            } catch (const qel::BasicException&) {
                const ScriptText& text = reading_.MainText();
                reading_.Report(Kind::UnreadableNetworkInf, text, text.KeyLine(L"Install", L"DriverInf"), L"Install",
                                L"every command opens " + inf +
                                    L" (beside the folder DriverInf names) and ends with 100, because it cannot be "
                                    L"read as an INF",
                                L"network:" + inf, bit);
            }
        }
    }

    // Upgrade and uninstall replay the uninstall log an install left.
    void InstalledLog() {
        const ScriptText& text = reading_.MainText();
        const int line = text.KeyLine(L"Setup", L"UninstallLog");
        const int at = line ? line : reading_.HeaderLine(L"Setup");
        std::wstring logPath;
        try {
            qel::UninstallLogPathOf(script_, logPath);
        } catch (const qel::BasicException& e) {
            reading_.Report(Kind::UninstallLogSetting, text, at, L"Setup",
                            std::wstring(e.Place() ? e.Place()->message : L"[Setup] UninstallLog cannot be used") +
                                L": " + CommandWord(request_.command) + L" reads the uninstall log an install left",
                            L"uninstalllog");
            return;
        }
        if (qel::FileExists(logPath)) return;
        // An uninstall that is not the last user's, run with "sm", reads no log.
        if (request_.command == Command::Uninstall && ::lstrcmpiW(request_.folderArgument.c_str(), L"sm") == 0) {
            const qel::SharedDllPrior count =
                qel::ReadSharedDllCount(qel::SharedDllNameOf(kInstallCount, kModuleName));
            if (count.existed && count.count > 1) return;
        }
        reading_.Report(Kind::NoInstalledLog, text, at, L"Setup",
                        L"there is no uninstall log " + logPath + L" on this machine: " +
                            CommandWord(request_.command) + L" replays the log an install left (nothing installed?)",
                        L"installedlog");
    }

    bool SourceThere(const qel::FileOp& op) {
        if (!op.cabinet.empty()) return Present(op.cabinet) && Members(op.cabinet).count(qel::Lowercase(op.source));
        return Present(op.source);
    }

    // A file the commit copies from the package, whose source is not there:
    // the copy fails on it.
    void Source(const qel::FileOp& op, unsigned roadBit) {
        std::wstring missing, subject;
        if (op.cabinet.empty()) {
            missing = op.source + L" does not exist";
            subject = L"file:" + op.source;
        } else if (!Present(op.cabinet)) {
            missing = L"its cabinet " + op.cabinet + L" does not exist";
            subject = L"file:" + op.cabinet;
        } else {
            missing = L"the cabinet " + op.cabinet + L" does not hold it";
            subject = L"file:" + op.cabinet + L"|" + op.source;
        }
        const std::wstring name = qel::GetFileNamePart(op.source);
        reading_.Report(Kind::MissingSource, CopyLine(name),
                        name + L" is listed for copying but is not in the package: " + missing, subject, roadBit);
    }

    // Shown on the line that queued the path: a file's copy line (the
    // UninstallLog key for the log it keeps), the DelFiles or AddLinks key.
    void UnsafePath(const qel::UnsafePath& unsafe, unsigned roadBit) {
        ScriptLine at;
        const std::wstring name = unsafe.file ? qel::GetFileNamePart(unsafe.file->source) : L"";
        if (!unsafe.file) at = reading_.FindKeyLine(L"AddLinks");
        else if (name == qel::kNewUninstallLogName) at = reading_.FindKeyLine(L"UninstallLog");
        else if (unsafe.file->destination.empty()) at = reading_.FindKeyLine(L"DelFiles");
        else at = CopyLine(name);
        if (unsafe.fault == qel::UnsafePath::DestinationIsFolder)
            reading_.Report(Kind::DestinationIsFolder, at,
                            unsafe.path + L" is a folder on this machine: the command ends with 200 before any change",
                            L"folder:" + unsafe.path, roadBit);
        else
            reading_.Report(Kind::PathThroughLink, at,
                            unsafe.path + L" passes through a link, junction or mount point: the command ends with "
                                          L"200 before any change",
                            L"link:" + unsafe.path, roadBit);
    }

    // Plain files of the package are looked for in a listing of their
    // folder, made once: a package has thousands of them in a few folders.
    bool Present(const std::wstring& path) {
        const qel::FolderNames::Answer known = sources_.Lookup(path);
        if (known == qel::FolderNames::Unknown) return qel::FileExists(path);
        return known == qel::FolderNames::Present;
    }

    const std::set<std::wstring>& Members(const std::wstring& cabinet) {
        auto found = cabinets_.find(qel::Lowercase(cabinet));
        if (found == cabinets_.end()) found = cabinets_.emplace(qel::Lowercase(cabinet), CabinetMembers(cabinet)).first;
        return found->second;
    }

    // The line that lists a source for copying: a line of a section that a
    // CopyFiles or AddGINA key of a reachable section names, by its source
    // name (field 2, else field 1). The driver package's files are the
    // DriverInf key's.
    ScriptLine CopyLine(const std::wstring& name) {
        if (!copyLinesRead_) {
            copyLinesRead_ = true;
            for (const ReachableSection& each : reading_.Reachable()) {
                for (const wchar_t* key : {L"CopyFiles", L"AddGINA"}) {
                    const ScriptText::Section* keys = each.text->Decorated(each.section);
                    if (!keys) continue;
                    for (const ScriptText::Line& keyLine : keys->lines) {
                        if (!keyLine.hasKey || !SameName(keyLine.key, key)) continue;
                        for (const std::wstring& listed : keyLine.values) {
                            const ScriptText::Section* copies = each.text->Decorated(listed);
                            if (!copies) continue;
                            for (const ScriptText::Line& line : copies->lines) {
                                if (line.values.empty()) continue;
                                const std::wstring& source =
                                    line.values.size() > 1 && !line.values[1].empty() ? line.values[1] : line.values[0];
                                copyLines_.emplace(qel::Lowercase(qel::GetFileNamePart(source)),
                                                   ScriptLine{each.text, copies->name, line.number});
                            }
                        }
                    }
                }
            }
        }
        const auto found = copyLines_.find(qel::Lowercase(name));
        if (found != copyLines_.end()) return found->second;
        return reading_.FindKeyLine(L"DriverInf");
    }

    // From Vista on the driver stage reads the package's staged INF and
    // starts the driver package installer from [Setup] DefaultInstallPath;
    // an uninstall's command line never installs a package.
    template <typename Check>
    void DriverStageFromVista(const qel::UpdateTransaction& t, unsigned roadBit, const Check& willBeThere) {
        if (t.Package().dpinstPath.empty() || request_.command == Command::Uninstall) return;
        const ScriptLine at = reading_.FindKeyLine(L"DriverInf");
        const std::wstring stagedInf = qel::JoinPath(t.Package().folder, t.Package().driverInfName);
        if (!willBeThere(stagedInf)) {
            std::wstring value;
            script_.GetLineText(L"Install", L"DriverInf", value);
            reading_.Report(Kind::MissingDriverInf, at,
                            L"DriverInf names the driver INF " +
                                FullPathOf(qel::JoinPath(reading_.Context().workingDir, value)) +
                                L", which is not in the package",
                            L"driverinf", roadBit);
            return;
        }
        const std::wstring installer = qel::JoinPath(t.Package().dpinstPath, L"dpinst64.exe");
        if (!willBeThere(installer))
            reading_.Report(Kind::MissingPackageInstaller, at,
                            L"from Vista on the driver stage starts " + installer +
                                L", which is neither there nor installed by a CopyFiles line",
                            L"dpinst:" + installer, roadBit);
    }

    static std::wstring FullPathOf(const std::wstring& path) {
        std::wstring full;
        return qel::GetFullPath(path, full) == 0 ? full : path;
    }

    // A program the commit starts: one that is not there fails the run,
    // unless its flags say to go on without it.
    template <typename Check>
    void Program(const qel::RunOp& op, bool before, unsigned roadBit, const Check& willBeThere) {
        // The tray program is started by the Task Scheduler; a program that
        // a "-c" line before the changes names is ended, not started; a
        // relative path is taken against whatever folder is current.
        if (op.program.find(L"AIRDOCK.EXE") != std::wstring::npos ||
            (before && op.arguments.find(L"-c") != std::wstring::npos) ||
            !qel::IsAbsolutePath(op.program) || (op.flags == kUpgradeRunFlags && op.arguments.empty()))
            return;
        if (willBeThere(op.program)) return;
        const bool ignored = (op.flags & kRunIgnoreStartFailure) != 0;
        reading_.Report(ignored ? Kind::ProgramNeverStarts : Kind::MissingProgram, ProgramLine(op.program),
                        op.program + (ignored ? L" is neither there nor installed by the run: it is not started, "
                                                L"and the run goes on (flag 0x4)"
                                              : L" is neither there nor installed by the run: the run fails when it "
                                                L"starts it, and is undone"),
                        L"program:" + op.program, roadBit);
    }

    ScriptLine ProgramLine(const std::wstring& program) {
        for (const ReachableSection& each : reading_.Reachable()) {
            for (const wchar_t* key : {L"PreRun", L"PostRun"}) {
                std::vector<std::wstring> sections;
                if (each.script->GetKeyValues(each.section, key, sections) != qel::InfOk) continue;
                for (const std::wstring& section : sections) {
                    long count = 0;
                    if (each.script->GetLineCount(section, count) != qel::InfOk) continue;
                    for (long index = 0; index < count; ++index) {
                        std::wstring listed;
                        each.script->GetLineField(section, static_cast<DWORD>(index), 1, listed);
                        if (SameName(listed, program))
                            return {each.text, section, each.text->LineOf(section, static_cast<size_t>(index))};
                    }
                }
            }
        }
        return {};
    }

    ScriptReading& reading_;
    const FindRequest& request_;
    const qel::InfFile& script_;
    qel::FolderNames sources_;
    std::map<std::wstring, std::set<std::wstring>> cabinets_;  // by lower-case path
    bool copyLinesRead_ = false;
    std::unordered_map<std::wstring, ScriptLine> copyLines_;  // by lower-case source name
};

}  // namespace

Findings FindProblems(Package& package, const FindRequest& request,
                      std::unique_ptr<qel::UpdateTransaction>* commandOrder) {
    Findings findings;
    ScriptReading reading(package, request, findings);
    if (!reading.Read()) {
        findings.Add(Finding{Kind::KeyFails, package.scriptPath, 0, L"the script's text cannot be read", L"text", 0});
        return findings;
    }
    PackageChecks checks(reading);
    checks.Entry();
    checks.OptionWords();
    checks.Destinations();
    for (Road road : request.roads) {
        std::vector<qel::UpdateTransaction*> tops;
        unsigned bit = 0;
        for (const QueuedTransaction& queued : reading.Queued()) {
            if (queued.road != road) continue;
            tops.push_back(queued.transaction.get());
            bit = queued.roadBit;
        }
        SelectRoad(road);
        checks.Records(tops, bit);
    }
    SelectRoad(Road::Running);
    if (commandOrder) *commandOrder = reading.TakeCommandOrder(request.roads.front());
    findings.Sort(package.scriptPath);
    return findings;
}

void PrintFindings(const Findings& findings, const Package& package, const FindRequest& request) {
    for (const Finding& finding : findings.Items()) Out(FindingLine(finding, request.roads) + L"\n");
    const std::wstring roads =
        request.roads.size() > 1 ? std::wstring(L"both Windows roads") : std::wstring(RoadName(request.roads.front()));
    Out(Format(L"%s: %s for %s (%s)\n", package.scriptPath.c_str(), CountText(findings).c_str(),
               CommandWord(request.command), roads.c_str()));
}

}  // namespace kit
