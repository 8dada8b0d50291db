// A command's reading of its script through the installer's key handlers.
//
// Each road is read twice over where it must be: first the command's
// sections in the command's order, as a run reads them; then, where that
// raised (so that one fault does not hide the keys after it) or where a
// section runs only when an upgrade rule finds its package on this machine,
// each key of every reachable section on its own. A package that reads
// through cleanly is read once per road.
#include "KitScriptReading.h"

#include "BasicException.h"
#include "CmdLineKeys.h"
#include "KitOutput.h"
#include "Trace.h"
#include "Util.h"

#include <algorithm>
#include <cwctype>

namespace kit {
namespace {

// The edit distance of two key names, for "a typo of".
size_t Distance(const std::wstring& a, const std::wstring& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const bool same = std::towlower(a[i - 1]) == std::towlower(b[j - 1]);
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

const qel::SectionKey* FindKey(const std::wstring& name) {
    for (const qel::SectionKey& key : qel::SectionKeys())
        if (SameName(name, key.name)) return &key;
    return nullptr;
}

std::wstring UnknownKeyText(const std::wstring& name) {
    std::wstring text = L"unknown key '" + name + L"': the section processor does nothing with it";
    const qel::SectionKey* nearest = nullptr;
    size_t best = 3;
    for (const qel::SectionKey& key : qel::SectionKeys()) {
        const size_t distance = Distance(name, key.name);
        if (distance < best) best = distance, nearest = &key;
    }
    if (nearest) text += Format(L" (a typo of '%s'?)", nearest->name);
    return text;
}

std::wstring ErrorInWords(DWORD error) {
    const std::wstring words = qel::SystemErrorText(error);
    return (words.empty() ? L"" : words + L" ") + Format(L"(error %lu)", static_cast<unsigned long>(error));
}

// The script is read as the installer reads it: the path a key gives is
// taken against the run's folder.
std::wstring FullPath(const std::wstring& path) {
    std::wstring full;
    return qel::GetFullPath(path, full) == 0 ? full : path;
}

}  // namespace

ScriptReading::ScriptReading(Package& package, const FindRequest& request, Findings& findings)
    : package_(package), request_(request), findings_(findings),
      context_(PrepareHandlers(request.folderArgument, request.command)) {}

bool ScriptReading::Read() {
    if (!mainText_.Load(package_.scriptPath)) return false;
    for (const std::wstring& section : CommandSections(request_.command, request_.extra))
        Walk(package_.script, mainText_, section, true);
    for (Road road : request_.roads) ReadRoad(road, request_.roads.size() > 1);
    SelectRoad(Road::Running);
    CheckKeys();
    return true;
}

const ScriptText& ScriptReading::TextOf(const std::wstring& scriptPath) {
    if (SameName(scriptPath, package_.scriptPath)) return mainText_;
    for (const auto& [path, text] : otherTexts_)
        if (SameName(path, scriptPath)) return *text;
    auto text = std::make_unique<ScriptText>();
    text->Load(scriptPath);
    otherTexts_.emplace_back(scriptPath, std::move(text));
    return *otherTexts_.back().second;
}

void ScriptReading::Report(Kind kind, const ScriptText& text, int line, const std::wstring& section,
                           const std::wstring& message, const std::wstring& subject, unsigned roads) {
    findings_.Add(Finding{kind, text.Path(), line, (section.empty() ? L"" : L"[" + section + L"] ") + message,
                          subject, roads});
}

void ScriptReading::Report(Kind kind, const ScriptLine& at, const std::wstring& message, const std::wstring& subject,
                           unsigned roads) {
    Report(kind, at.text ? *at.text : mainText_, at.line, at.section, message, subject, roads);
}

// --- the sections a command can reach -----------------------------------------
void ScriptReading::Walk(qel::InfFile& script, const ScriptText& text, const std::wstring& section, bool alwaysRuns) {
    const auto known = std::find_if(reachable_.begin(), reachable_.end(), [&](const ReachableSection& each) {
        return each.script == &script && SameName(each.section, section);
    });
    if (known != reachable_.end()) {
        // Walked again only to mark what it runs in turn as always run.
        if (known->alwaysRuns || !alwaysRuns) return;
        known->alwaysRuns = true;
    } else {
        reachable_.push_back(ReachableSection{&script, &text, section, alwaysRuns});
    }
    const ScriptText::Section* lines = text.Decorated(section);
    if (!lines) return;  // reported by the key that names it
    for (const ScriptText::Line& line : lines->lines) {
        if (!line.hasKey) continue;
        std::vector<std::wstring> values;
        if (SameName(line.key, L"ConditionalSection")) {
            if (script.GetKeyValues(section, L"ConditionalSection", values) != qel::InfOk) continue;
            for (const std::wstring& rules : values) WalkRules(script, text, rules, alwaysRuns);
        } else if (SameName(line.key, L"SubInstall")) {
            if (script.GetKeyValues(section, L"SubInstall", values) != qel::InfOk || values.empty()) continue;
            qel::InfFile* other = OpenSubScript(values.front());
            if (!other) continue;
            std::wstring otherPath;
            other->GetPath(otherPath);
            for (size_t i = 1; i < values.size(); ++i) Walk(*other, TextOf(otherPath), values[i], alwaysRuns);
        }
    }
}

// Every rule's section, whether the rule matches on this machine or not.
void ScriptReading::WalkRules(qel::InfFile& script, const ScriptText& text, const std::wstring& rules,
                              bool alwaysRuns) {
    long count = 0;
    if (script.GetLineCount(rules, count) != qel::InfOk) return;
    for (long index = 0; index < count; ++index) {
        const DWORD at = static_cast<DWORD>(index);
        std::wstring kind, target;
        script.GetLineField(rules, at, 1, kind);
        script.GetLineField(rules, at, 2, target);
        const ScriptLine rule{&text, rules, text.LineOf(rules, static_cast<size_t>(index))};
        const bool upgradeRule = kind == L"Upgrade" || kind == L"UpgradeRun";
        if (kind == L"UpgradeRun") {
            // The rule queues the command the old package registered as the
            // name of one program, without arguments: a command with
            // arguments (or in quotes) names no program, and its start
            // failure is ignored.
            std::wstring keyPath, valueName, image, arguments, company, command;
            int high = 0, low = 0;
            script.GetLineField(rules, at, 3, keyPath);
            script.GetLineField(rules, at, 4, valueName);
            script.GetLineField(rules, at, 5, image);
            script.GetLineField(rules, at, 6, arguments);
            script.GetLineField(rules, at, 7, company);
            script.GetIntField(rules, at, 8, high);
            script.GetIntField(rules, at, 9, low);
            const uint64_t limit = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | static_cast<uint32_t>(low);
            if (!arguments.empty()) {
                Report(Kind::UpgradeRunWithArguments, rule,
                       L"the UpgradeRun rule looks for a command with the arguments \"" + arguments +
                           L"\": the installer starts the whole command as the name of one program, so it never "
                           L"runs",
                       L"upgraderun");
            } else if (!keyPath.empty() && !valueName.empty() &&
                       qel::PackagePresent(keyPath, valueName, image, arguments, company, limit, command) &&
                       (command.find_first_of(L" \t\"") != std::wstring::npos || !qel::FileExists(command))) {
                Report(Kind::UpgradeRunWithArguments, rule,
                       L"on this machine the UpgradeRun rule finds the command " + command + L" (HKLM\\" + keyPath +
                           L" " + valueName +
                           L"): the installer starts the whole command as the name of one program, so it never runs",
                       L"upgraderun");
            }
        }
        if (target.empty()) continue;
        if (!script.SectionExists(target) && !script.SectionExists(target + L".amd64")) {
            Report(Kind::SkippedSection, rule,
                   L"the rule names [" + target + L"], which the script does not have: the rule runs nothing",
                   L"section:" + target);
            continue;
        }
        // An upgrade rule runs its section only when it finds the package.
        Walk(script, text, target, alwaysRuns && !upgradeRule);
    }
}

std::wstring ScriptReading::SubScriptPath(const std::wstring& name) const {
    return FullPath(qel::JoinPath(context_.ScriptFolder(), name));
}

// The script a SubInstall key names, opened as its handler opens it, or
// null when it cannot be (the handler raises then).
qel::InfFile* ScriptReading::OpenSubScript(const std::wstring& name) {
    const std::wstring path = SubScriptPath(name);
    for (qel::InfFile& open : subScripts_) {
        std::wstring openPath;
        open.GetPath(openPath);
        if (SameName(openPath, path)) return &open;
    }
    qel::InfFile& script = subScripts_.emplace_back();
    try {
        script.Open(path, qel::GetUILanguage());
    } catch (const qel::BasicException&) {
        subScripts_.pop_back();
        return nullptr;
    }
    return &script;
}

// --- what the key handlers raise -----------------------------------------------
qel::UpdateTransaction& ScriptReading::NewTransaction(Road road, unsigned roadBit) {
    auto transaction = std::make_unique<qel::UpdateTransaction>();
    transaction->SetQueueOnly();
    std::wstring driverInf;
    if (package_.script.GetLineText(L"Install", L"DriverInf", driverInf) == qel::InfOk)
        transaction->SetDriverInfName(qel::GetFileNamePart(driverInf));
    queued_.push_back(QueuedTransaction{std::move(transaction), road, roadBit});
    return *queued_.back().transaction;
}

void ScriptReading::ReadRoad(Road road, bool tagged) {
    SelectRoad(road);
    const unsigned bit = tagged ? RoadBit(road) : 0;
    const bool vista = qel::SetupGetRunningWinVer() >= qel::WinVerVista;
    qel::RunContext run = context_;
    const size_t commandOrder = queued_.size();
    qel::UpdateTransaction* transaction = &NewTransaction(road, bit);
    bool clean = true;
    for (const std::wstring& section : CommandSections(request_.command, request_.extra)) {
        // The sections of an uninstall belong to roads of their own.
        if (request_.command == Command::Uninstall) {
            if (section == L"PostUninstPart" && vista) continue;
            transaction = &NewTransaction(road, bit);
            run = context_;
        }
        clean = Queue(run, *transaction, package_.script, mainText_, section, L"", bit) && clean;
    }
    // One transaction holds an install command's sections, as in a run.
    if (clean && IsInstallCommand(request_.command)) commandOrder_.emplace_back(road, commandOrder);
    // Then every key of the sections the reading above did not read through
    // on its own. A sub-install anywhere in the road, or in the section
    // itself, skips DriverInf as it would.
    const bool skipAfterRoad = run.skipDriverInf;
    for (size_t i = 0; i < reachable_.size(); ++i) {
        const ReachableSection each = reachable_[i];
        if (clean && each.alwaysRuns) continue;
        if (request_.command == Command::Uninstall && SameName(each.section, L"PostUninstPart") && vista) continue;
        const ScriptText::Section* lines = each.text->Decorated(each.section);
        if (!lines) continue;
        std::vector<const wchar_t*> keys;
        bool subInstall = false;
        for (const ScriptText::Line& line : lines->lines) {
            const qel::SectionKey* key = line.hasKey ? FindKey(line.key) : nullptr;
            if (!key) continue;
            subInstall = subInstall || SameName(key->name, L"SubInstall");
            if (std::find(keys.begin(), keys.end(), key->name) == keys.end()) keys.push_back(key->name);
        }
        for (const wchar_t* key : keys) {
            each.script->LimitKeys(each.section, key);
            qel::RunContext alone = context_;
            alone.skipDriverInf = skipAfterRoad || subInstall;
            Queue(alone, NewTransaction(road, bit), *each.script, *each.text, each.section, key, bit);
        }
        each.script->LimitKeys(L"", L"");
    }
}

bool ScriptReading::Queue(qel::RunContext& context, qel::UpdateTransaction& transaction, const qel::InfFile& script,
                          const ScriptText& text, const std::wstring& section, const std::wstring& key,
                          unsigned road) {
    try {
        qel::ProcessSection(context, transaction, script, section);
        return true;
    } catch (const qel::BasicException& e) {
        Raised(e, text, section, key, road);
    } catch (const std::bad_alloc&) {
        Report(Kind::KeyFails, text, text.KeyLine(section, key), section, L"reading the section ran out of memory",
               L"memory", road);
    }
    return false;
}

// Places what a handler raised on the script line it is about. A raise that
// names no place is shown on the line of the key that raised it, which the
// reading of one key at a time tells; the reading in the command's order,
// which cannot tell the key, is always followed by that one.
void ScriptReading::Raised(const qel::BasicException& e, const ScriptText& text, const std::wstring& section,
                           const std::wstring& key, unsigned road) {
    if (const qel::ScriptPlace* place = e.Place(); place && RaisedAt(*place, road)) return;
    if (key.empty()) return;
    const std::wstring description = e.Description() ? e.Description() : L"";
    // Where in the program it was raised is for the diagnostic log only.
    qel::TraceWrite(qel::TraceError, L"qelkit: [%s] %s raised in %S line %d: \"%s\", error %lu\n", section.c_str(),
                    key.c_str(), e.Module(), e.Line(), description.c_str(), e.Error());
    const int line = text.KeyLine(section, key);
    if (SameName(key, L"DriverInf")) {
        const ScriptLine at{&text, section, line};
        const ScriptText::Line* driverLine = text.LineWithKey(section, key);
        const std::wstring value = driverLine && !driverLine->values.empty() ? driverLine->values.front() : L"";
        Report(Kind::UnreadableDriverInf, at,
               L"DriverInf names the driver INF " + FullPath(qel::JoinPath(context_.workingDir, value)) +
                   L", which cannot be read through: it must list its files in [SourceDisksFiles] and its models "
                   L"in the section [Manufacturer] names",
               L"driverinf", road);
        return;
    }
    std::wstring message = key + L" fails";
    if (!description.empty()) message += L": " + description;
    if (e.Error() != 0) message += L": " + ErrorInWords(e.Error());
    Report(Kind::KeyFails, text, line, section, message, L"fails:" + key + L":" + description, road);
}

// False when the place is not one this reading can show.
bool ScriptReading::RaisedAt(const qel::ScriptPlace& place, unsigned road) {
    using qel::ScriptFault;
    switch (place.fault) {
    case ScriptFault::MissingField:
    case ScriptFault::InvalidLine: {
        const ScriptText& text = TextOf(place.file);
        Report(place.fault == ScriptFault::MissingField ? Kind::MissingField : Kind::InvalidLine, text,
               text.LineOf(place.section, static_cast<size_t>(place.lineIndex)), place.section, place.message,
               L"line:" + place.message, road);
        return true;
    }
    case ScriptFault::IncompleteKey:
    case ScriptFault::InvalidKey:
    case ScriptFault::NestsTooDeep: {
        const ScriptText& text = TextOf(place.file);
        const Kind kind = place.fault == ScriptFault::IncompleteKey ? Kind::IncompleteKey
                          : place.fault == ScriptFault::InvalidKey  ? Kind::ValueNotUsable
                                                                    : Kind::NestsTooDeep;
        Report(kind, text,
               text.KeyLine(place.section, place.key), place.section, place.message, L"key:" + place.key, road);
        return true;
    }
    case ScriptFault::MissingSection: {
        // Shown with the key as the script spells it.
        const ScriptText& text = TextOf(place.file);
        ScriptLine naming{&text, place.section, 0};
        std::wstring key = place.key;
        if (const ScriptText::Line* line = text.LineWithKey(place.section, place.key, place.names)) {
            naming.line = line->number;
            key = line->key;
        } else {
            naming = FindNaming(place.names);
        }
        Report(Kind::MissingSection, naming,
               key + L" names [" + place.names + L"], which the script does not have; the command fails on it",
               L"section:" + place.names, road);
        return true;
    }
    case ScriptFault::UndefinedFolderId: {
        const ScriptText& text = TextOf(place.file);
        Report(Kind::UndefinedFolderId, text, text.KeyLine(L"DestinationDirs", place.key), L"DestinationDirs",
               place.message, L"destdir:" + place.key, road);
        return true;
    }
    case ScriptFault::UninstallLogSetting: {
        // Shown on the key that starts the log.
        ScriptLine need = FindKeyLine(L"UninstallLog");
        if (!need.text) need = ScriptLine{&TextOf(place.file), place.section, 0};
        Report(Kind::UninstallLogSetting, need, L"UninstallLog starts the uninstall log, but " + place.message,
               L"uninstalllog", road);
        return true;
    }
    case ScriptFault::SetupSetting: {
        // Shown on the key that needs it.
        ScriptLine need = FindKeyLine(L"DriverInf");
        if (!need.text) need = ScriptLine{&TextOf(place.file), L"Setup", HeaderLine(L"Setup")};
        Report(Kind::MissingSetting, need, L"DriverInf needs what " + place.message + L" would give",
               L"setup:" + place.key, road);
        return true;
    }
    case ScriptFault::UnreadableScript: {
        // A sub-install's script, or the driver INF (read before Vista).
        if (const ScriptLine sub = FindSubInstall(place.file); sub.text) {
            Report(Kind::UnreadableScript, sub, L"SubInstall names the script " + place.file + L", which cannot be opened",
                   L"script:" + place.file, road);
            return true;
        }
        const ScriptLine driver = FindKeyLine(L"DriverInf");
        if (!driver.text) return false;
        const bool present = qel::FileExists(place.file);
        Report(present ? Kind::UnreadableDriverInf : Kind::MissingDriverInf, driver,
               present ? L"DriverInf names the driver INF " + place.file + L", which cannot be read as an INF"
                       : L"DriverInf names the driver INF " + place.file + L", which is not in the package",
               L"driverinf", road);
        return true;
    }
    }
    return false;
}

std::unique_ptr<qel::UpdateTransaction> ScriptReading::TakeCommandOrder(Road road) {
    for (const auto& [read, index] : commandOrder_)
        if (read == road) return std::move(queued_[index].transaction);
    return nullptr;
}

ScriptLine ScriptReading::FindKeyLine(const std::wstring& key, const std::wstring& value) const {
    for (const ReachableSection& each : reachable_)
        if (const int line = each.text->KeyLine(each.section, key, value)) return {each.text, each.section, line};
    return {};
}

int ScriptReading::HeaderLine(const std::wstring& section) const {
    const ScriptText::Section* found = mainText_.Find(section);
    return found ? found->header : 0;
}

// The key line of a reachable section that names the section.
ScriptLine ScriptReading::FindNaming(const std::wstring& name) const {
    for (const ReachableSection& each : reachable_) {
        const ScriptText::Section* lines = each.text->Decorated(each.section);
        if (!lines) continue;
        for (const ScriptText::Line& line : lines->lines)
            for (const std::wstring& value : line.values)
                if (line.hasKey && SameName(value, name)) return {each.text, each.section, line.number};
    }
    return {};
}

ScriptLine ScriptReading::FindSubInstall(const std::wstring& path) const {
    if (path.empty()) return {};
    for (const ReachableSection& each : reachable_) {
        const ScriptText::Line* line = each.text->LineWithKey(each.section, L"SubInstall");
        if (!line || line->values.empty()) continue;
        if (SameName(SubScriptPath(line->values.front()), path) || SameName(line->values.front(), path))
            return {each.text, each.section, line->number};
    }
    return {};
}

// --- what the key handlers pass over ---------------------------------------------
void ScriptReading::CheckKeys() {
    for (const ReachableSection& each : reachable_) {
        const ScriptText::Section* lines = each.text->Decorated(each.section);
        if (!lines) continue;
        for (const ScriptText::Line& line : lines->lines) {
            const ScriptLine at{each.text, lines->name, line.number};
            if (!line.hasKey) {
                Report(Kind::LineWithoutKey, at,
                       L"a line without a key: the section processor reads keys only, so it does nothing", L"key:");
                continue;
            }
            const qel::SectionKey* key = FindKey(line.key);
            if (!key) {
                Report(Kind::UnknownKey, at, UnknownKeyText(line.key), L"key:" + line.key);
                continue;
            }
            if (request_.command == Command::Upgrade && SameName(key->name, L"UninstallLog"))
                Report(Kind::UninstallLogInUpgrade, at,
                       L"UninstallLog in the upgrade's sections starts a new, empty uninstall log: the upgrade then "
                       L"replays that one instead of the installed log, so the previous version's files are neither "
                       L"removed nor recorded, and a later uninstall leaves them behind",
                       L"uninstalllog");
            if (key->values != qel::SectionKeyValues::Other)
                CheckNamedSections(each, line, key->values == qel::SectionKeyValues::ScriptAndSections);
        }
    }
}

// The sections one key line names exist (in the other script, for a
// SubInstall). A handler that fails on a missing section has reported it as
// an error already, on the same line.
void ScriptReading::CheckNamedSections(const ReachableSection& each, const ScriptText::Line& line, bool scriptFirst) {
    std::vector<std::wstring> names = line.values;
    qel::InfFile* script = each.script;
    const ScriptLine at{each.text, each.section, line.number};
    if (scriptFirst) {
        if (names.empty()) return;
        script = OpenSubScript(names.front());
        if (!script) {
            const std::wstring path = SubScriptPath(names.front());
            Report(Kind::UnreadableScript, at, L"SubInstall names the script " + path + L", which cannot be opened",
                   L"script:" + path);
            return;
        }
        names.erase(names.begin());
    }
    for (const std::wstring& name : names) {
        // The reader replaces %strings%; names with them are not looked up.
        if (name.empty() || name.find(L'%') != std::wstring::npos) continue;
        if (script->SectionExists(name) || script->SectionExists(name + L".amd64")) continue;
        std::wstring effect = L"the key skips it";
        if (SameName(line.key, L"DelDirs")) effect = L"the key stops there: the sections after it are not read";
        else if (SameName(line.key, L"PreRun") || SameName(line.key, L"PostRun")) effect = L"it names nothing to run";
        Report(Kind::SkippedSection, at, line.key + L" names [" + name + L"], which the script does not have: " + effect,
               L"section:" + name);
    }
}

}  // namespace kit
