// qelkit plan: what a command would do on this machine. The command's road
// is queued through the installer's own key handlers into a transaction that
// only queues; then each queued record is set against the machine as it is
// now, stage by stage in commit order, with the rules the commit applies.
// Nothing is changed: the records are read, never committed.
#include "KitPlan.h"

#include "BasicException.h"
#include "CmdLine.h"
#include "CmdLineKeys.h"
#include "KitFind.h"
#include "KitJson.h"
#include "KitOutput.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "UpdateDrivers.h"
#include "UpdateStages.h"
#include "Util.h"

#include <setupapi.h>

#include <cstring>
#include <map>

namespace kit {
namespace {

constexpr const char* kModuleName = "Kit";
constexpr wchar_t kInstallCount[] = L"QelSetup";

std::wstring VersionText(uint64_t version) {
    return Format(L"%u.%u.%u.%u", static_cast<unsigned>(version >> 48), static_cast<unsigned>(version >> 32) & 0xFFFF,
                  static_cast<unsigned>(version >> 16) & 0xFFFF, static_cast<unsigned>(version) & 0xFFFF);
}

// A file another program holds without letting it be renamed: the commit
// would find it in use. Opening it for deletion tells, and changes nothing.
bool InUse(const std::wstring& path) {
    qel::UniqueHandle file(::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file && qel::IsInUseError(::GetLastError());
}

std::wstring CountText(const qel::SharedDllPrior& prior) {
    return prior.existed ? Format(L"%lu", static_cast<unsigned long>(prior.count)) : std::wstring(L"none");
}

const wchar_t* RootName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return L"HKCR";
    if (root == HKEY_CURRENT_USER) return L"HKCU";
    if (root == HKEY_LOCAL_MACHINE) return L"HKLM";
    if (root == HKEY_USERS) return L"HKEY_USERS";
    if (root == HKEY_CURRENT_CONFIG) return L"HKEY_CURRENT_CONFIG";
    if (root == qel::RelativeRoot()) return L"HKR";
    return L"(root)";
}

bool KeyExists(HKEY root, const std::wstring& subkey, REGSAM view) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.Put()) == ERROR_SUCCESS;
}

bool ReadValue(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view, DWORD& type,
               std::vector<BYTE>& data) {
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return true;
}

std::wstring DataText(DWORD type, const std::vector<BYTE>& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) std::memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        for (wchar_t& c : text)
            if (c == L'\0') c = L'|';
        return L"\"" + text + L"\"";
    }
    if (type == REG_DWORD && data.size() == 4) {
        DWORD value = 0;
        std::memcpy(&value, data.data(), 4);
        return Format(L"%lu", static_cast<unsigned long>(value));
    }
    std::wstring hex;
    for (BYTE b : data) hex += Format(hex.empty() ? L"%02x" : L" %02x", b);
    return L"[" + hex + L"]";
}

const wchar_t* TypeName(DWORD type) {
    switch (type) {
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_DWORD: return L"REG_DWORD";
    case REG_BINARY: return L"REG_BINARY";
    case REG_NONE: return L"REG_NONE";
    default: return L"REG_?";
    }
}

class Planner {
public:
    // commandLine: the installer's command line for the command, which the
    // driver stage looks into as the installer does.
    Planner(PlanDocument& plan, std::wstring commandLine) : plan_(plan), commandLine_(std::move(commandLine)) {}

    // Each stage of the commit's table over the whole tree, then the
    // clean-up, as the commit and the clean-up run them.
    void Describe(qel::UpdateTransaction& top) {
        const std::vector<qel::UpdateTransaction*> tree = top.Tree();
        for (const qel::UpdateTransaction* t : tree) plan_.total += t->Cost();
        const auto& stages = qel::CommitStages();
        for (size_t index = 0; index < stages.size(); ++index) {
            PlanStage& planned = plan_.stages[index];
            planned.number = static_cast<int>(index + 1);
            planned.name = stages[index].name;
            records_ = &planned.records;
            for (const qel::UpdateTransaction* t : tree) {
                planned.cost += stages[index].cost(*t);
                DescribeStage(stages[index].id, *t);
            }
        }
        records_ = &plan_.cleanup;
        for (const qel::UpdateTransaction* t : tree) Cleanup(*t);
        for (const PlanStage& stage : plan_.stages)
            for (const PlanRecord& record : stage.records)
                if (record.decision.find(L"at-restart") != std::wstring::npos) plan_.restartNeeded = true;
    }

private:
    void DescribeStage(qel::CommitStageId stage, const qel::UpdateTransaction& t) {
        using Id = qel::CommitStageId;
        switch (stage) {
        case Id::ProgramsBefore: return ProgramsBefore(t);
        case Id::RegistryDeletions: return RegistryDeletions(t);
        case Id::DriverRemoval: return DriverRemoval(t);
        case Id::FileRemovals: return FileRemovals(t);
        case Id::Files: return Files(t);
        case Id::Drivers: return Drivers(t);
        case Id::RegistryAdditionsAndLinks: return RegistryAdditions(t);
        case Id::ProgramsAfter: return ProgramsAfter(t);
        }
    }

    // The files and counts as the records before have left them: a later
    // record is decided against that, as the commit decides it.
    struct FileState {
        bool present = false;
        std::wstring versionOf;  // the file whose version it has now
    };

    const FileState* Changed(const std::wstring& path) const {
        const auto found = files_.find(qel::Lowercase(path));
        return found == files_.end() ? nullptr : &found->second;
    }
    bool Present(const std::wstring& path) {
        if (const FileState* changed = Changed(path)) return changed->present;
        // A listing of each folder, made once, answers for the thousands of
        // files a package puts into a few folders.
        const qel::FolderNames::Answer now = thereNow_.Lookup(path);
        return now == qel::FolderNames::Unknown ? qel::FileExists(path) : now == qel::FolderNames::Present;
    }
    // A file this plan changed is one the run itself just put there or
    // moved away: nothing else holds it.
    bool BusyNow(const std::wstring& path) const { return !Changed(path) && InUse(path); }
    // A folder where a file is named; a file this plan changed is none.
    bool IsFolder(const std::wstring& path) const { return !Changed(path) && qel::IsDirectory(path); }
    bool Version(const std::wstring& path, uint64_t& version) const {
        const FileState* changed = Changed(path);
        if (changed && !changed->present) return false;
        return qel::GetFileVersionNumber(changed ? changed->versionOf : path, version);
    }
    void Becomes(const std::wstring& path, bool present, const std::wstring& versionOf) {
        files_[qel::Lowercase(path)] = FileState{present, versionOf};
    }

    qel::SharedDllPrior Count(const std::wstring& path) {
        const qel::SharedDllName name = qel::SharedDllNameOf(path, kModuleName);
        const std::wstring key = Format(L"%s|%x", qel::Lowercase(name.valueName).c_str(), name.view);
        const auto found = counts_.find(key);
        return found != counts_.end() ? found->second : qel::ReadSharedDllCount(name);
    }
    void CountBecomes(const std::wstring& path, bool exists, DWORD count) {
        const qel::SharedDllName name = qel::SharedDllNameOf(path, kModuleName);
        counts_[Format(L"%s|%x", qel::Lowercase(name.valueName).c_str(), name.view)] =
            qel::SharedDllPrior{name.valueName, name.view, exists, count};
    }

    // A record of the stage (or the clean-up) being described.
    PlanRecord& Add(const std::wstring& kind, const std::wstring& decision, const std::wstring& text) {
        records_->push_back(PlanRecord{kind, decision, text, {}});
        return records_->back();
    }

    void ProgramsBefore(const qel::UpdateTransaction& t) {
        for (const qel::RunOp& op : t.PreRuns()) {
            if (qel::PreRunEndsProgram(op.arguments))
                Add(L"program", L"end", L"end the running program " + qel::GetFileNamePart(op.program)).fields =
                    {{L"program", op.program}, {L"arguments", op.arguments}};
            else
                Run(op);
        }
    }
    void ProgramsAfter(const qel::UpdateTransaction& t) {
        for (const qel::RunOp& op : t.PostRuns()) Run(op);
    }
    void Run(const qel::RunOp& op) {
        Add(L"program", L"run", Format(L"run %s%s (flags 0x%x)", op.program.c_str(), op.arguments.c_str(), op.flags))
            .fields = {{L"program", op.program}, {L"arguments", op.arguments}};
    }

    void RegistryDeletions(const qel::UpdateTransaction& t) {
        for (const qel::RegOp& op : t.RegDeletes()) {
            const std::wstring path = std::wstring(RootName(op.root)) + L"\\" + op.subkey;
            const REGSAM view = qel::RegistryViewOf(op.flags, qel::SetupGetRunningWinVer());
            PlanRecord* record = nullptr;
            switch (qel::DecideRegDelete(op.valueName, op.flags)) {
            case qel::RegDeleteAction::Key: {
                const bool exists = KeyExists(op.root, op.subkey, view);
                record = &Add(L"registry", exists ? L"delete" : L"absent",
                              exists ? L"delete the key " + path + L" with everything below it"
                                     : L"delete the key " + path + L" (not there: nothing to do)");
                break;
            }
            case qel::RegDeleteAction::PassOver:
                record = &Add(L"registry", L"pass",
                              L"pass over " + path + L" " + op.valueName +
                                  L" (deleting one string of a list is not supported)");
                break;
            case qel::RegDeleteAction::Value: {
                DWORD type = 0;
                std::vector<BYTE> data;
                const bool exists = ReadValue(op.root, op.subkey, op.valueName, view, type, data);
                record = &Add(L"registry", exists ? L"delete" : L"absent",
                              exists ? L"delete " + path + L" " + op.valueName + L" (now " + DataText(type, data) + L")"
                                     : L"delete " + path + L" " + op.valueName + L" (not there: nothing to do)");
                break;
            }
            }
            record->fields = {{L"key", path}, {L"value", op.valueName}};
        }
    }

    // Driver work, from the lists the driver keys and the uninstall replay
    // fill, whatever Windows road filled them.
    void DriverRemoval(const qel::UpdateTransaction& t) {
        const qel::DriverPackage& package = t.Package();
        if (!qel::DriversThroughPackageInstaller(qel::SetupGetRunningWinVer())) {
            for (const std::wstring& inf : t.DriverUninstalls())
                Add(L"driver", L"uninstall", L"uninstall the devices that use " + inf).fields = {{L"inf", inf}};
            for (const qel::InfRemoveOp& op : t.InfRemoves())
                Add(L"driver", L"remove-inf",
                    L"remove the driver package " + op.oemInfName + L" (" + op.infPath + L") from the store")
                    .fields = {{L"inf", op.infPath}, {L"oemInf", op.oemInfName}};
        } else if (!t.DriverUninstalls().empty()) {
            for (const std::wstring& inf : package.infNames)
                Add(L"driver", L"dpinst-uninstall",
                    L"uninstall the driver package " + qel::JoinPath(package.folder, inf) + L" with " +
                        package.dpinstPath)
                    .fields = {{L"inf", inf}, {L"packageFolder", package.folder}};
        }
    }

    void Drivers(const qel::UpdateTransaction& t) {
        const qel::DriverPackage& package = t.Package();
        if (!qel::DriversThroughPackageInstaller(qel::SetupGetRunningWinVer())) {
            for (const qel::InfInstallOp& op : t.InfInstalls())
                Add(L"driver", L"install-inf", L"install the driver INF " + op.stagedInf + L" into the store")
                    .fields = {{L"inf", op.stagedInf}, {L"folder", op.folder}};
            for (const qel::DriverUpdateOp& update : qel::OneUpdatePerDevice(t.DriverUpdates()))
                Add(L"driver", L"update",
                    L"update the driver of the devices " + update.hardwareId + L" from " + update.infPath)
                    .fields = {{L"hardwareId", update.hardwareId}, {L"inf", update.infPath}};
        } else if (qel::PackageInstallRuns(commandLine_, package)) {
            Add(L"driver", L"dpinst-install",
                L"install the driver package in " + package.folder + L" with " + package.dpinstPath)
                .fields = {{L"dpinst", package.dpinstPath}, {L"packageFolder", package.folder}};
        }
    }

    // A DelGINA line's removal hangs on what the DLL answers, and the plan
    // never loads or calls code the script names: it shows the call, where
    // the removal would go, without it.
    void GinaQueries(const qel::UpdateTransaction& t, size_t removalIndex) {
        for (const qel::GinaQuery& query : t.GinaQueries()) {
            if (query.removalIndex != removalIndex) continue;
            Add(L"gina-query", L"not-called",
                Format(L"ask %s: %s(\"%s\") decides whether it is removed (not called here; its removal is not "
                       L"counted)",
                       query.dllPath.c_str(), query.exportName.c_str(), query.argument.c_str()))
                .fields = {{L"dll", query.dllPath}, {L"export", query.exportName}, {L"argument", query.argument}};
        }
    }

    void FileRemovals(const qel::UpdateTransaction& t) {
        const std::vector<qel::FileOp>& removals = t.FileRemoves();
        for (size_t index = 0; index <= removals.size(); ++index) {
            GinaQueries(t, index);
            if (index == removals.size()) break;
            const qel::FileOp& op = removals[index];
            const std::wstring& path = op.source;
            const bool present = Present(path);
            const qel::FileRemovalDecision decision = qel::DecideFileRemoval(op.flags, present, present && IsFolder(path));
            if (decision.releasesCount) SharedCountDown(path);
            std::wstring verdict, text;
            switch (decision.action) {
            case qel::FileRemovalAction::Absent:
                verdict = L"absent", text = L"remove " + path + L" (not there: nothing to do)";
                break;
            case qel::FileRemovalAction::Folder:
                verdict = L"pass", text = L"pass over " + path + L" (a folder)";
                break;
            case qel::FileRemovalAction::Keep:
                verdict = L"keep", text = Format(L"keep %s (flags 0x%08x do not allow its removal)", path.c_str(), op.flags);
                break;
            case qel::FileRemovalAction::Remove:
                if (BusyNow(path)) {
                    verdict = L"remove-at-restart", text = L"remove " + path + L" at the next restart (in use)";
                } else {
                    verdict = L"remove", text = L"remove " + path;
                    Becomes(path, false, L"");
                }
                break;
            }
            Add(L"file-removal", verdict, text).fields = {{L"path", path}, {L"flags", Format(L"0x%08x", op.flags)}};
        }
    }

    void SharedCountDown(const std::wstring& path) {
        const qel::SharedDllPrior prior = Count(path);
        const qel::SharedCountRelease release = qel::SharedCountAfterRelease(prior.existed, prior.count);
        const std::wstring after = release.last ? L"none" : Format(L"%lu", release.after);
        CountBecomes(path, !release.last, release.after);
        Add(L"shared-count", L"release",
            L"SharedDLLs count of " + prior.valueName + L": " + CountText(prior) + L" -> " + after)
            .fields = {{L"name", prior.valueName}, {L"before", CountText(prior)}, {L"after", after}};
    }

    void Files(const qel::UpdateTransaction& t) {
        for (const qel::FileOp& op : t.FileInstalls()) {
            const bool present = Present(op.destination);
            const std::wstring source = op.cabinet.empty() ? op.source : op.cabinet + L"|" + op.source;
            std::wstring verdict, why;
            // Versions decide only over a file that is there: a new file is
            // copied whatever they are, and reading them is most of the time
            // a plan of many new files takes.
            uint64_t installed = 0, offered = 0;
            bool versioned = false;
            if (present) {
                if (!Version(op.destination, installed)) installed = 0;
                versioned = qel::GetFileVersionNumber(op.source, offered);
            }
            const qel::FileInstallDecision decision =
                qel::DecideFileInstall(op.flags, present, installed, versioned ? offered : qel::kUnversionedOffer);
            // The commit's check before its first change, not a decision of
            // its own: a folder at a destination ends the command.
            if (present && !Changed(op.destination) && qel::IsDirectory(op.destination)) {
                verdict = L"refuse", why = L"the destination is a folder: the command ends with 200 before any change";
            } else {
                switch (decision.action) {
                case qel::FileInstallAction::SkipPresent:
                    verdict = L"skip-present", why = L"present, and the line says not to overwrite";
                    break;
                case qel::FileInstallAction::SkipAbsent:
                    verdict = L"skip-absent", why = L"not present, and the line only replaces";
                    break;
                case qel::FileInstallAction::SkipNewer:
                    verdict = L"skip-newer", why = L"the version there, " + VersionText(installed) +
                                                   L", is newer than " + VersionText(offered);
                    break;
                case qel::FileInstallAction::Copy:
                    if (decision.atRestart)
                        verdict = L"copy-at-restart", why = L"new, and the line puts it in place at the next restart";
                    else
                        verdict = L"copy", why = L"new";
                    break;
                case qel::FileInstallAction::Replace:
                    if (decision.atRestart)
                        verdict = L"replace-at-restart", why = L"the line replaces it at the next restart";
                    else if (BusyNow(op.destination))
                        verdict = L"replace-at-restart", why = L"in use: replaced at the next restart";
                    else
                        verdict = L"replace", why = installed && versioned ? L"version " + VersionText(installed) +
                                                                                 L" -> " + VersionText(offered)
                                                                           : L"present";
                    break;
                }
                if (decision.restartRequired) {
                    why += L"; a restart is required";
                    plan_.restartNeeded = true;
                }
            }
            if (verdict == L"copy" || verdict == L"replace") Becomes(op.destination, true, op.source);
            PlanRecord& record =
                Add(L"file", verdict,
                    Format(L"%s %s -> %s (%s)", verdict.c_str(), source.c_str(), op.destination.c_str(), why.c_str()));
            record.fields = {{L"source", source}, {L"destination", op.destination},
                             {L"flags", Format(L"0x%08x", op.flags)},
                             {L"uninstallRecord", qel::GetsUninstallRecord(op.flags) ? L"yes" : L"no"}};
            if (qel::CountsSharedReference(op.flags)) SharedCountUp(op.destination, present);
        }
        for (const qel::FileOp& op : t.FileMoves()) {
            const bool present = Present(op.destination);
            const bool newLog = qel::GetFileNamePart(op.source) == qel::kNewUninstallLogName;
            const std::wstring what = newLog ? L"the new uninstall log" : op.source;
            Add(L"move", present ? L"replace" : L"move",
                what + L" takes the place of " + op.destination +
                    (present ? L" (the file there is kept aside until the run succeeds)" : L""))
                .fields = {{L"source", op.source}, {L"destination", op.destination}};
        }
    }

    void SharedCountUp(const std::wstring& path, bool present) {
        const qel::SharedDllPrior prior = Count(path);
        const DWORD after = qel::SharedCountAfterAdd(prior.existed, prior.count, present);
        CountBecomes(path, true, after);
        Add(L"shared-count", L"add",
            L"SharedDLLs count of " + prior.valueName + L": " + CountText(prior) + Format(L" -> %lu", after))
            .fields = {{L"name", prior.valueName}, {L"before", CountText(prior)}, {L"after", Format(L"%lu", after)}};
    }

    // One addition as the commit carries it out against the value there now.
    struct Addition {
        std::wstring verdict, text;
        bool writesValue = false;
    };
    static Addition DescribeAddition(const qel::RegOp& op, const std::wstring& path) {
        const REGSAM view = qel::RegistryViewOf(op.flags, qel::SetupGetRunningWinVer());
        DWORD type = 0;
        std::vector<BYTE> now;
        const bool exists = ReadValue(op.root, op.subkey, op.valueName, view, type, now);
        const std::wstring name = op.valueName.empty() ? L"(default)" : op.valueName;
        const std::wstring appended = L"append " + DataText(op.type, op.data) + L" to " + path + L" " + name;
        switch (qel::DecideRegAdd(op.flags, exists)) {
        case qel::RegAddAction::KeyOnly:
            return {KeyExists(op.root, op.subkey, view) ? L"present" : L"add", L"create the key " + path};
        case qel::RegAddAction::Keep:
            return {L"keep", L"keep " + path + L" " + name + L" (present, not to be overwritten)"};
        case qel::RegAddAction::Skip:
            return {L"skip", L"skip " + path + L" " + name + L" (not present, only overwritten)"};
        case qel::RegAddAction::Append: {
            std::vector<BYTE> combined;
            switch (qel::AppendToValue(type, now, op.data, combined)) {
            case qel::RegAppendResult::Combined:
                return {L"append", appended + L" (now " + DataText(type, now) + L")", true};
            case qel::RegAppendResult::AlreadyListed:
                return {L"present", appended + L" (already one of its items: nothing to do)"};
            case qel::RegAppendResult::NotAppendable:
                break;
            }
            return {L"refuse",
                    appended + L" (a " + TypeName(type) + L" takes no appended data: the command ends with 200)"};
        }
        case qel::RegAddAction::Write:
            break;
        }
        // Appended to a value not there, the data is the new value.
        if ((op.flags & FLG_ADDREG_APPEND) != 0 && !exists) return {L"append", appended + L" (new)", true};
        return {exists ? L"set" : L"add",
                L"set " + path + L" " + name + L" = " + DataText(op.type, op.data) + L" (" + TypeName(op.type) +
                    (exists ? L"; now " + DataText(type, now) : L"; new") + L")",
                true};
    }

    void RegistryAdditions(const qel::UpdateTransaction& t) {
        for (const qel::RegOp& op : t.RegAdds()) {
            const std::wstring path = std::wstring(RootName(op.root)) + L"\\" + op.subkey;
            Addition addition = DescribeAddition(op, path);
            if (addition.writesValue && qel::GrantsInteractiveAccess(op.access, qel::SetupGetRunningWinVer()))
                addition.text += L"; interactive users may change the key";
            Add(L"registry", addition.verdict, addition.text).fields = {{L"key", path}, {L"value", op.valueName},
                                                                        {L"data", DataText(op.type, op.data)}};
        }
        for (const qel::RegOp& op : t.RelativeRegAdds())
            Add(L"registry", L"driver-key",
                L"set " + op.valueName + L" = " + DataText(op.type, op.data) +
                    L" in the driver key of each device that takes the new driver")
                .fields = {{L"key", L"HKR\\" + op.subkey}, {L"value", op.valueName}};
        for (const qel::LinkOp& link : t.Links()) {
            const std::wstring path = qel::LinkPathOf(link);
            const bool present = qel::FileExists(path);
            Add(L"link", present ? L"replace" : L"add",
                L"shortcut " + path + L" -> " + link.target + (present ? L" (replaces the one there)" : L""))
                .fields = {{L"path", path}, {L"target", link.target}};
        }
    }

    void Cleanup(const qel::UpdateTransaction& t) {
        for (const qel::DirOp& op : t.DirRemoves()) {
            const bool present = qel::FileExists(op.kind > qel::DirRemoveTree ? op.path + L".lnk" : op.path);
            std::wstring text;
            if (op.kind == qel::DirRemoveTree) text = L"remove the folder " + op.path + L" with everything in it";
            else if (op.kind == qel::DirRemoveIfEmpty) text = L"remove the folder " + op.path + L" if it is empty";
            else text = L"delete the shortcut " + op.path + L".lnk";
            if (!present) text += L" (not there)";
            Add(L"folder", present ? L"remove" : L"absent", text)
                .fields = {{L"path", op.path}, {L"kind", Format(L"%u", op.kind)}};
        }
    }

    PlanDocument& plan_;
    std::wstring commandLine_;
    std::vector<PlanRecord>* records_ = nullptr;         // where Add puts its records
    std::map<std::wstring, FileState> files_;            // by lower-case path
    qel::FolderNames thereNow_;                           // what the folders hold before the run
    std::map<std::wstring, qel::SharedDllPrior> counts_;  // by lower-case name and view
};

// The installer's roads, queued: what the entry point runs before its
// commit, with the state it reads from the machine.
void QueueRoad(qel::RunContext& context, qel::UpdateTransaction& t, Package& package, Command command,
               const std::wstring& folderArgument, const std::vector<std::wstring>& extra, PlanDocument& plan) {
    if (IsInstallCommand(command)) {
        qel::ProcessSections(context, t, package.script, CommandSections(command, extra));
        return;
    }
    std::wstring logPath;
    const auto openInstalledLog = [&] {
        qel::UninstallLogPathOf(package.script, logPath);
        if (!qel::FileExists(logPath)) QEL_RAISE(L"there is no uninstall log " + logPath + L" (nothing installed?)", 0);
        t.OpenUninstallLog(logPath, false);
    };
    if (command == Command::Upgrade) {
        openInstalledLog();
        qel::ProcessSection(context, t, package.script, L"Upgrade");
        qel::Uninstall(t, true);
        return;
    }
    const qel::SharedDllPrior count = qel::ReadSharedDllCount(qel::SharedDllNameOf(kInstallCount, kModuleName));
    const qel::SharedCountRelease release = qel::SharedCountAfterRelease(count.existed, count.count);
    plan.notes.push_back(Format(L"the setup's install count (SharedDLLs %s): %s -> %s", kInstallCount,
                                CountText(count).c_str(),
                                release.last ? L"none" : Format(L"%lu", release.after).c_str()));
    if (release.last) {
        plan.notes.push_back(L"the last user of the setup: everything the uninstall log lists goes");
        openInstalledLog();
        qel::ProcessSection(context, t, package.script, L"Uninstall");
        qel::Uninstall(t, false);
        plan.notes.push_back(L"then every user's settings are deleted");
        return;
    }
    if (::lstrcmpiW(folderArgument.c_str(), L"sm") == 0) {
        plan.notes.push_back(L"other users of the setup remain, and \"sm\" asks for nothing more");
        return;
    }
    plan.notes.push_back(L"other users of the setup remain: only [UninstPart] runs");
    openInstalledLog();
    qel::ProcessSection(context, t, package.script, L"UninstPart");
    // The applet goes at once, before the commit.
    std::wstring line;
    qel::LogFile& log = t.UninstallLog();
    log.Rewind();
    while (log.ReadLine(line) == qel::LogOk) {
        const auto record = qel::journal::Decode<qel::journal::UninstallRecord>(line);
        if (const qel::journal::InstalledFileRecord* applet = record ? qel::journal::ControlPanelApplet(*record) : nullptr)
            plan.notes.push_back(L"delete the control-panel applet " + applet->destination + L" at once");
    }
    log.Close();
    if (qel::SetupGetRunningWinVer() < qel::WinVerVista) {
        plan.notes.push_back(L"hide the tray icon, then [PostUninstPart] runs in a commit of its own");
        qel::ProcessSection(context, t, package.script, L"PostUninstPart");
    }
}

// The plan as one text, written at once: a plan has a line for each of
// thousands of files, and each write to the output is a round trip.
void PrintText(const PlanDocument& plan) {
    std::wstring text =
        Format(L"Plan of %s with %s (%s)\n", plan.command.c_str(), plan.script.c_str(), plan.road.c_str());
    for (const std::wstring& note : plan.notes) text += L"  " + note + L"\n";
    for (const PlanStage& stage : plan.stages) {
        text += Format(L"Stage %d, %s (cost %u)%s\n", stage.number, stage.name.c_str(), stage.cost,
                       stage.records.empty() ? L": nothing" : L":");
        for (const PlanRecord& record : stage.records) text += L"  " + record.text + L"\n";
    }
    text += plan.cleanup.empty() ? L"Clean-up: nothing queued\n" : L"Clean-up:\n";
    for (const PlanRecord& record : plan.cleanup) text += L"  " + record.text + L"\n";
    text += Format(L"Total %u: the total of the \"Progress\" lines\n", plan.total);
    if (plan.restartNeeded) text += L"A restart would be needed (the command would end with 1)\n";
    Out(text);
}

void WriteRecords(JsonWriter& json, const std::vector<PlanRecord>& records) {
    json.BeginArray();
    for (const PlanRecord& record : records) {
        json.BeginObject();
        json.Member(L"kind", record.kind);
        json.Member(L"decision", record.decision);
        for (const auto& [name, value] : record.fields) json.Member(name, value);
        json.Member(L"text", record.text);
        json.EndObject();
    }
    json.EndArray();
}

}  // namespace

std::string PlanJson(const PlanDocument& plan) {
    JsonWriter json;
    json.BeginObject();
    json.Member(L"command", plan.command);
    json.Member(L"script", plan.script);
    json.Member(L"windows", plan.road);
    json.Key(L"notes");
    json.BeginArray();
    for (const std::wstring& note : plan.notes) json.String(note);
    json.EndArray();
    json.Key(L"stages");
    json.BeginArray();
    for (const PlanStage& stage : plan.stages) {
        json.BeginObject();
        json.Member(L"stage", static_cast<int64_t>(stage.number));
        json.Member(L"name", stage.name);
        json.Member(L"cost", static_cast<int64_t>(stage.cost));
        json.Key(L"records");
        WriteRecords(json, stage.records);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"cleanup");
    WriteRecords(json, plan.cleanup);
    json.Member(L"total", static_cast<int64_t>(plan.total));
    json.Key(L"restartNeeded");
    json.Bool(plan.restartNeeded);
    json.EndObject();
    return json.Text();
}

int Plan(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra, Road road,
         bool asJson) {
    Package package;
    int refused = 0;
    if (!OpenPackageOrSay(folderArgument, command, package, refused)) return refused;
    // What check finds for this road, first: with an error the command would
    // fail, and a plan of it would show what never happens. With --json the
    // findings go to the error stream, which leaves the output one document.
    const FindRequest request{folderArgument, command, extra, {road}};
    std::unique_ptr<qel::UpdateTransaction> read;
    const Findings findings = FindProblems(package, request, &read);
    if (!findings.Items().empty()) {
        if (asJson) {
            for (const Finding& finding : findings.Items()) Err(FindingLine(finding, request.roads) + L"\n");
        } else {
            PrintFindings(findings, package, request);
        }
    }
    if (findings.HasErrors()) {
        Err(L"qelkit: " + std::wstring(CommandWord(command)) + L" would fail on the errors above; nothing planned\n");
        return 1;
    }
    SelectRoad(road);

    PlanDocument plan;
    plan.command = CommandWord(command);
    plan.script = package.scriptPath;
    plan.road = RoadName(road);
    try {
        // An install's records are the ones check read; an upgrade or
        // uninstall queues its own, with the installed log it replays.
        std::unique_ptr<qel::UpdateTransaction> transaction = std::move(read);
        if (!transaction) {
            std::wstring driverInf;
            if (package.script.GetLineText(L"Install", L"DriverInf", driverInf) != qel::InfOk) {
                Err(L"qelkit: [Install] has no DriverInf key: " + plan.command + L" would end with 100\n");
                return 1;
            }
            transaction = std::make_unique<qel::UpdateTransaction>();
            transaction->SetQueueOnly();
            transaction->SetDriverInfName(qel::GetFileNamePart(driverInf));
            qel::RunContext context = PrepareHandlers(folderArgument, command);
            QueueRoad(context, *transaction, package, command, folderArgument, extra, plan);
        }
        std::wstring installer;
        qel::GetModuleDirectory(nullptr, installer);
        std::wstring commandLine = L"\"" + qel::JoinPath(installer, L"qelwls64.exe") + L"\" " + plan.command + L" \"" +
                                   folderArgument + L"\"";
        for (const std::wstring& section : extra) commandLine += L" " + section;
        Planner(plan, commandLine).Describe(*transaction);
    } catch (const qel::BasicException& e) {
        // Where in the program it was raised is for the diagnostic log only.
        qel::TraceWrite(qel::TraceError, L"qelkit plan: raised in %S line %d\n", e.Module(), e.Line());
        Err(Format(L"qelkit: %s would end with 200 before any change: %s", plan.command.c_str(),
                   e.Description() ? e.Description() : L"the script cannot be read") +
            L"\nqelkit: \"qelkit check\" lists every problem of the script\n");
        return 1;
    }
    if (asJson) {
        std::wstring text;
        qel::Utf8ToWide(PlanJson(plan) + "\n", text);
        Out(text);
    } else {
        PrintText(plan);
    }
    return 0;
}

}  // namespace kit
