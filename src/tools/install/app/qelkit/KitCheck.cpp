// qelkit check: reads a setup script as a command of the installer would,
// through the installer's own key handlers into transactions that only queue,
// and lists every problem with its file, section and line.
//
// Three kinds of findings:
// - what a key handler raises (the command would end with 200 before any
//   change), found by running the command's sections in order and then each
//   key of every section the command can reach on its own, so that a fault
//   does not hide the keys after it and a rule that does not match on this
//   machine is still read;
// - what the handlers pass over silently: keys the section processor does not
//   know, sections a key names that the script does not have;
// - what only shows against the package: files listed for copying that are
//   not in it (taken from the queued records), [DestinationDirs] ids Windows
//   does not define.
#include "KitCheck.h"

#include "BasicException.h"
#include "CmdLineKeys.h"
#include "KitOutput.h"
#include "KitScript.h"
#include "Update.h"
#include "Util.h"

#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <list>
#include <memory>
#include <set>

namespace kit {
namespace {

constexpr wchar_t kFatal[] = L"; the command would end with 200 before any change";

struct Problem {
    std::wstring file;
    int line = 0;
    std::wstring section;
    std::wstring text;
    std::wstring subject;  // what it is about: one problem per line and subject
    unsigned roads = 0;    // the roads it was found on (a bit per Road); 0: every road
};

// A section a command can run, in the script that holds it.
struct Reachable {
    qel::InfFile* script;
    const ScriptText* text;
    std::wstring section;
};

unsigned RoadBit(Road road) { return 1u << static_cast<unsigned>(road); }

// The edit distance of two key names, for "did you mean".
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

class Checker {
public:
    Checker(Package& package, Command command, std::vector<std::wstring> extra, const std::wstring& folderArgument)
        : package_(package), command_(command), extra_(std::move(extra)),
          context_(PrepareHandlers(folderArgument, command)) {}

    int Run(const std::vector<Road>& roads) {
        if (!mainText_.Load(package_.scriptPath)) {
            Err(L"qelkit: the setup script " + package_.scriptPath + L" cannot be read\n");
            return 1;
        }
        for (const std::wstring& section : CommandSections(command_, extra_)) Walk(package_.script, mainText_, section);

        CheckEntry();
        for (Road road : roads) RunRoad(road, roads.size() > 1);
        SelectRoad(Road::Running);
        CheckKeys();
        CheckDestinations();
        CheckFiles();
        NoteGinaCalls();
        return Report(roads);
    }

private:
    void Add(Problem problem) {
        for (Problem& known : problems_) {
            if (known.file == problem.file && known.line == problem.line &&
                SameName(known.subject, problem.subject) && (problem.line != 0 || known.text == problem.text)) {
                known.roads |= problem.roads;
                return;
            }
        }
        problems_.push_back(std::move(problem));
    }

    void AddAt(const ScriptText& text, int line, const std::wstring& section, const std::wstring& message,
               const std::wstring& subject, unsigned roads = 0) {
        Add(Problem{text.Path(), line, section, message, subject, roads});
    }

    // --- the sections a command can reach ----------------------------------
    const ScriptText& TextOf(const std::wstring& scriptPath) {
        if (SameName(scriptPath, package_.scriptPath)) return mainText_;
        for (const auto& [path, text] : otherTexts_)
            if (SameName(path, scriptPath)) return *text;
        auto text = std::make_unique<ScriptText>();
        text->Load(scriptPath);
        otherTexts_.emplace_back(scriptPath, std::move(text));
        return *otherTexts_.back().second;
    }

    void Walk(qel::InfFile& script, const ScriptText& text, const std::wstring& section) {
        for (const Reachable& known : reachable_)
            if (known.script == &script && SameName(known.section, section)) return;
        reachable_.push_back(Reachable{&script, &text, section});
        const ScriptText::Section* lines = text.Decorated(section);
        if (!lines) return;  // reported by the key that names it
        for (const ScriptText::Line& line : lines->lines) {
            if (!line.hasKey) continue;
            std::vector<std::wstring> values;
            if (SameName(line.key, L"ConditionalSection")) {
                if (script.GetKeyValues(section, L"ConditionalSection", values) != qel::InfOk) continue;
                for (const std::wstring& rules : values) WalkRules(script, text, rules);
            } else if (SameName(line.key, L"SubInstall")) {
                if (script.GetKeyValues(section, L"SubInstall", values) != qel::InfOk || values.empty()) continue;
                qel::InfFile* other = OpenSubScript(values.front());
                if (!other) continue;
                std::wstring otherPath;
                other->GetPath(otherPath);
                for (size_t i = 1; i < values.size(); ++i) Walk(*other, TextOf(otherPath), values[i]);
            }
        }
    }

    // Every rule's section, whether the rule matches on this machine or not.
    void WalkRules(qel::InfFile& script, const ScriptText& text, const std::wstring& rules) {
        long count = 0;
        if (script.GetLineCount(rules, count) != qel::InfOk) return;
        for (long index = 0; index < count; ++index) {
            std::wstring target;
            if (script.GetLineField(rules, static_cast<DWORD>(index), 2, target) != qel::InfOk || target.empty())
                continue;
            if (!script.SectionExists(target) && !script.SectionExists(target + L".amd64")) {
                AddAt(text, text.LineOf(rules, static_cast<size_t>(index)), rules,
                      L"the rule names [" + target + L"], which the script does not have", L"section:" + target);
                continue;
            }
            Walk(script, text, target);
        }
    }

    std::wstring SubScriptPath(const std::wstring& name) const {
        const std::wstring& folder = context_.ScriptFolder();
        std::wstring full;
        if (qel::GetFullPath(qel::JoinPath(folder, name), full) != 0) full = qel::JoinPath(folder, name);
        return full;
    }

    // The script a SubInstall key names, opened as its handler opens it, or
    // null when it cannot be (the handler raises then).
    qel::InfFile* OpenSubScript(const std::wstring& name) {
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

    // --- what the key handlers raise -----------------------------------------
    // Before any section: the checks of the installer's start.
    void CheckEntry() {
        std::wstring driverInf;
        if (package_.script.GetLineText(L"Install", L"DriverInf", driverInf) != qel::InfOk) {
            const ScriptText::Section* install = mainText_.Find(L"Install");
            AddAt(mainText_, install ? install->header : 0, L"Install",
                  L"[Install] has no DriverInf key; every command ends with 100 before it reads a section",
                  L"driverinf");
        }
        try {
            qel::CheckSetupFolders(package_.script);
        } catch (const qel::BasicException& e) {
            Raised(e, mainText_, L"Setup", 0);
        }
        if (command_ == Command::Upgrade || command_ == Command::Uninstall) {
            std::wstring logPath;
            try {
                qel::UninstallLogPathOf(package_.script, logPath);
            } catch (const qel::BasicException& e) {
                const ScriptText::Section* setup = mainText_.Find(L"Setup");
                int line = mainText_.KeyLine(L"Setup", L"UninstallLog");
                if (!line && setup) line = setup->header;
                AddAt(mainText_, line, L"Setup",
                      std::wstring(e.Description() ? e.Description() : L"") + L": " + CommandWord(command_) +
                          L" reads the uninstall log an install left" + kFatal,
                      L"uninstalllog");
            }
        }
    }

    void RunRoad(Road road, bool tagged) {
        SelectRoad(road);
        const unsigned bit = tagged ? RoadBit(road) : 0;
        const std::vector<std::wstring> top = CommandSections(command_, extra_);
        qel::RunContext run = context_;
        auto transaction = NewTransaction();
        for (const std::wstring& section : top) {
            // The sections of an uninstall belong to roads of their own.
            if (command_ == Command::Uninstall) {
                if (section == L"PostUninstPart" && qel::SetupGetRunningWinVer() >= qel::WinVerVista) continue;
                transaction = NewTransaction();
                run = context_;
            }
            Queue(run, *transaction, package_.script, mainText_, section, bit);
        }
        // Then every key of every reachable section on its own, so that a
        // fault does not hide the keys after it, and a rule that does not
        // match on this machine is read all the same. A sub-install anywhere
        // in the road, or in the section itself, skips DriverInf as it would.
        const bool skipAfterRoad = run.skipDriverInf;
        for (const Reachable& each : reachable_) {
            if (command_ == Command::Uninstall && SameName(each.section, L"PostUninstPart") &&
                qel::SetupGetRunningWinVer() >= qel::WinVerVista)
                continue;
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
                Queue(alone, *NewTransaction(), *each.script, *each.text, each.section, bit);
            }
            each.script->LimitKeys(L"", L"");
        }
    }

    qel::UpdateTransaction* NewTransaction() {
        transactions_.push_back(std::make_unique<qel::UpdateTransaction>());
        transactions_.back()->SetQueueOnly();
        return transactions_.back().get();
    }

    void Queue(qel::RunContext& context, qel::UpdateTransaction& transaction, const qel::InfFile& script,
               const ScriptText& text, const std::wstring& section, unsigned road) {
        try {
            qel::ProcessSection(context, transaction, script, section);
        } catch (const qel::BasicException& e) {
            Raised(e, text, section, road);
        } catch (const std::bad_alloc&) {
            AddAt(text, 0, section, L"reading the section ran out of memory", L"memory", road);
        }
    }

    // Places what a handler raised on the script line it is about.
    // `text` and `context`: the script and the section being read, for a
    // raise that names no place.
    void Raised(const qel::BasicException& e, const ScriptText& text, const std::wstring& context, unsigned road) {
        const std::wstring description = e.Description() ? e.Description() : L"";
        if (const qel::ScriptPlace* place = e.Place(); place && RaisedAt(*place, description, road)) return;
        AddAt(text, 0, context,
              (description.empty() ? std::wstring(L"reading the section failed") : description) +
                  Format(L" (%S line %d, error %lu)", e.Module(), e.Line(), e.Error()) + kFatal,
              L"", road);
    }

    // False when the place is not in a script this check reads.
    bool RaisedAt(const qel::ScriptPlace& place, const std::wstring& description, unsigned road) {
        using qel::ScriptFault;
        switch (place.fault) {
        case ScriptFault::MissingField:
        case ScriptFault::InvalidLine: {
            const ScriptText& text = TextOf(place.file);
            AddAt(text, text.LineOf(place.section, static_cast<size_t>(place.lineIndex)), place.section,
                  place.message + kFatal, L"", road);
            return true;
        }
        case ScriptFault::IncompleteKey:
        case ScriptFault::InvalidKey:
        case ScriptFault::NestsTooDeep: {
            const ScriptText& text = TextOf(place.file);
            AddAt(text, text.KeyLine(place.section, place.key), place.section, place.message + kFatal,
                  L"key:" + place.key, road);
            return true;
        }
        case ScriptFault::MissingSection: {
            // Shown with the key as the script spells it.
            const ScriptText& text = TextOf(place.file);
            ReachableLine naming{&text, place.section, 0, place.key};
            if (const ScriptText::Line* line = text.LineWithKey(place.section, place.key, place.names)) {
                naming.line = line->number;
                naming.key = line->key;
            } else {
                naming = FindNaming(place.names);
            }
            AddAt(naming.text ? *naming.text : text, naming.line, naming.text ? naming.section : place.section,
                  naming.key + L" names [" + place.names + L"], which the script does not have" + kFatal,
                  L"section:" + place.names, road);
            return true;
        }
        case ScriptFault::UndefinedFolderId: {
            const ScriptText& text = TextOf(place.file);
            AddAt(text, text.KeyLine(L"DestinationDirs", place.key), L"DestinationDirs", place.message + kFatal,
                  L"destdir:" + place.key, road);
            return true;
        }
        case ScriptFault::UninstallLogSetting: {
            // Shown on the key that starts the log.
            const ReachableLine need = FindKeyLine(L"UninstallLog");
            const ScriptText& text = need.text ? *need.text : TextOf(place.file);
            AddAt(text, need.line, need.text ? need.section : place.section,
                  L"UninstallLog starts the uninstall log, but " + place.message + kFatal, L"uninstalllog", road);
            return true;
        }
        case ScriptFault::UnreadableScript: {
            // A sub-install's script; any other file is shown as raised.
            const ReachableLine sub = FindSubInstall(place.file);
            if (!sub.text) return false;
            AddAt(*sub.text, sub.line, sub.section,
                  L"SubInstall names the script " + description + L", which cannot be opened" + kFatal,
                  L"script:" + description, road);
            return true;
        }
        }
        return false;
    }

    struct ReachableLine {
        const ScriptText* text = nullptr;
        std::wstring section;
        int line = 0;
        std::wstring key;
    };

    ReachableLine FindKeyLine(const std::wstring& key) const {
        for (const Reachable& each : reachable_)
            if (const int line = each.text->KeyLine(each.section, key)) return {each.text, each.section, line, key};
        return {};
    }

    // The key line of a reachable section that names the section.
    ReachableLine FindNaming(const std::wstring& name) const {
        for (const Reachable& each : reachable_) {
            const ScriptText::Section* lines = each.text->Decorated(each.section);
            if (!lines) continue;
            for (const ScriptText::Line& line : lines->lines)
                for (const std::wstring& value : line.values)
                    if (line.hasKey && SameName(value, name)) return {each.text, each.section, line.number, line.key};
        }
        return {nullptr, L"", 0, L"a key"};
    }

    ReachableLine FindSubInstall(const std::wstring& path) const {
        if (path.empty()) return {};
        for (const Reachable& each : reachable_) {
            std::vector<std::wstring> values;
            if (each.script->GetKeyValues(each.section, L"SubInstall", values) != qel::InfOk || values.empty())
                continue;
            if (SameName(SubScriptPath(values.front()), path) || SameName(values.front(), path))
                return {each.text, each.section, each.text->KeyLine(each.section, L"SubInstall"), L"SubInstall"};
        }
        return {};
    }

    // --- what the handlers pass over -----------------------------------------
    void CheckKeys() {
        for (const Reachable& each : reachable_) {
            const ScriptText::Section* lines = each.text->Decorated(each.section);
            if (!lines) continue;
            for (const ScriptText::Line& line : lines->lines) {
                if (!line.hasKey) {
                    AddAt(*each.text, line.number, lines->name,
                          L"a line without a key: the section processor reads keys only, so it does nothing",
                          L"key:");
                    continue;
                }
                const qel::SectionKey* key = FindKey(line.key);
                if (!key) {
                    AddAt(*each.text, line.number, lines->name, UnknownKey(line.key), L"key:" + line.key);
                    continue;
                }
                if (key->values == qel::SectionKeyValues::Other) continue;
                CheckNamedSections(each, *key, line);
            }
        }
    }

    static std::wstring UnknownKey(const std::wstring& name) {
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

    // The sections one key line names exist (in the other script, for a
    // SubInstall).
    void CheckNamedSections(const Reachable& each, const qel::SectionKey& key, const ScriptText::Line& line) {
        std::vector<std::wstring> names;
        for (const std::wstring& value : line.values) names.push_back(value);
        qel::InfFile* script = each.script;
        if (key.values == qel::SectionKeyValues::ScriptAndSections) {
            if (names.empty()) return;
            script = OpenSubScript(names.front());
            if (!script) {
                AddAt(*each.text, line.number, each.section,
                      L"SubInstall names the script " + SubScriptPath(names.front()) + L", which cannot be opened",
                      L"script:" + SubScriptPath(names.front()));
                return;
            }
            names.erase(names.begin());
        }
        for (std::wstring name : names) {
            if (name.empty()) continue;
            // The reader replaces %strings%; so does the look-up here.
            if (name.find(L'%') != std::wstring::npos) continue;
            if (script->SectionExists(name) || script->SectionExists(name + L".amd64")) continue;
            AddAt(*each.text, line.number, each.section,
                  line.key + L" names [" + name + L"], which the script does not have", L"section:" + name);
        }
    }

    // --- what only shows against the package ---------------------------------
    void CheckDestinations() {
        std::vector<std::pair<const qel::InfFile*, const ScriptText*>> scripts{{&package_.script, &mainText_}};
        for (const qel::InfFile& other : subScripts_) {
            std::wstring path;
            other.GetPath(path);
            scripts.emplace_back(&other, &TextOf(path));
        }
        for (const auto& [script, text] : scripts) {
            const ScriptText::Section* entries = text->Find(L"DestinationDirs");
            if (!entries) continue;
            for (const ScriptText::Line& line : entries->lines) {
                if (!line.hasKey) continue;
                std::wstring folder;
                try {
                    script->GetTargetPathAsNamed(line.key, folder);
                } catch (const qel::BasicException& e) {
                    AddAt(*text, line.number, L"DestinationDirs",
                          e.Place() ? e.Place()->message
                                    : std::wstring(L"the folder of this entry cannot be resolved"),
                          L"destdir:" + line.key);
                }
            }
        }
    }

    struct CopyLine {
        const ScriptText* text;
        std::wstring section;
        int line;
    };

    // Where each source name is listed for copying: CopyFiles and AddGINA
    // lines of the reachable sections (the source field, else the
    // destination's name).
    std::vector<std::pair<std::wstring, CopyLine>> CopyLines() const {
        std::vector<std::pair<std::wstring, CopyLine>> lines;
        for (const Reachable& each : reachable_) {
            for (const wchar_t* key : {L"CopyFiles", L"AddGINA"}) {
                std::vector<std::wstring> sections;
                if (each.script->GetKeyValues(each.section, key, sections) != qel::InfOk) continue;
                for (const std::wstring& section : sections) {
                    long count = 0;
                    if (each.script->GetLineCount(section, count) != qel::InfOk) continue;
                    for (long index = 0; index < count; ++index) {
                        std::wstring source;
                        if (each.script->GetLineField(section, static_cast<DWORD>(index), 2, source) != qel::InfOk ||
                            source.empty())
                            each.script->GetLineField(section, static_cast<DWORD>(index), 1, source);
                        lines.emplace_back(qel::GetFileNamePart(source),
                                           CopyLine{each.text, section,
                                                    each.text->LineOf(section, static_cast<size_t>(index))});
                    }
                }
            }
        }
        return lines;
    }

    static std::set<std::wstring> CabinetMembers(const std::wstring& cabinet) {
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

    void CheckFiles() {
        const auto listed = CopyLines();
        std::map<std::wstring, std::set<std::wstring>> cabinets;
        for (const auto& owned : transactions_) {
            for (qel::UpdateTransaction* transaction : owned->Tree()) {
                for (const qel::FileOp& op : transaction->FileInstalls()) {
                    std::wstring missing, subject;
                    if (op.cabinet.empty()) {
                        if (qel::FileExists(op.source)) continue;
                        missing = op.source + L" does not exist";
                        subject = L"file:" + op.source;
                    } else if (!qel::FileExists(op.cabinet)) {
                        missing = L"its cabinet " + op.cabinet + L" does not exist";
                        subject = L"file:" + op.cabinet;
                    } else {
                        auto found = cabinets.find(op.cabinet);
                        if (found == cabinets.end())
                            found = cabinets.emplace(op.cabinet, CabinetMembers(op.cabinet)).first;
                        if (found->second.count(qel::Lowercase(op.source))) continue;
                        missing = L"the cabinet " + op.cabinet + L" does not hold it";
                        subject = L"file:" + op.cabinet + L"|" + op.source;
                    }
                    const std::wstring name = qel::GetFileNamePart(op.source);
                    const auto line = std::find_if(listed.begin(), listed.end(),
                                                   [&](const auto& each) { return SameName(each.first, name); });
                    const std::wstring text = name + L" is listed for copying but is not in the package: " + missing;
                    if (line != listed.end())
                        AddAt(*line->second.text, line->second.line, line->second.section, text, subject);
                    else
                        AddAt(mainText_, 0, L"", text, subject);
                }
            }
        }
    }

    // What a DelGINA line would load and call: a check never loads or calls
    // code the script names, so it only says so (a note, not a problem).
    void NoteGinaCalls() {
        for (const auto& owned : transactions_) {
            for (qel::UpdateTransaction* transaction : owned->Tree()) {
                for (const qel::GinaQuery& query : transaction->GinaQueries()) {
                    const ReachableLine line = FindKeyLineIn(query.section, L"DelGINA");
                    const std::wstring note =
                        Format(L"DelGINA would load %s and call its export '%s' with \"%s\"; check does not load "
                               L"or call it",
                               query.dllPath.c_str(), query.exportName.c_str(), query.argument.c_str());
                    Problem found{line.text ? line.text->Path() : package_.scriptPath, line.line, query.section, note,
                                  L"", 0};
                    const bool known = std::any_of(notes_.begin(), notes_.end(), [&](const Problem& each) {
                        return each.file == found.file && each.line == found.line && each.text == found.text;
                    });
                    if (!known) notes_.push_back(std::move(found));
                }
            }
        }
    }

    ReachableLine FindKeyLineIn(const std::wstring& section, const std::wstring& key) const {
        for (const Reachable& each : reachable_)
            if (SameName(each.section, section))
                if (const int line = each.text->KeyLine(each.section, key)) return {each.text, each.section, line, key};
        return {};
    }

    static std::wstring Placed(const Problem& problem) {
        std::wstring line = problem.file;
        if (problem.line) line += Format(L":%d", problem.line);
        line += L": ";
        if (!problem.section.empty()) line += L"[" + problem.section + L"] ";
        return line + problem.text;
    }

    int Report(const std::vector<Road>& roads) {
        std::stable_sort(problems_.begin(), problems_.end(), [&](const Problem& a, const Problem& b) {
            const bool aMain = SameName(a.file, package_.scriptPath), bMain = SameName(b.file, package_.scriptPath);
            if (aMain != bMain) return aMain;
            if (a.file != b.file) return a.file < b.file;
            return a.line < b.line;
        });
        unsigned every = 0;
        for (Road road : roads) every |= RoadBit(road);
        for (const Problem& problem : problems_) {
            std::wstring line = Placed(problem);
            if (problem.roads != 0 && problem.roads != every) {
                std::wstring only;
                for (Road road : roads)
                    if (problem.roads & RoadBit(road))
                        only += std::wstring(only.empty() ? L"" : L", ") + RoadName(road);
                line += L" (" + only + L" only)";
            }
            Out(line + L"\n");
        }
        for (const Problem& note : notes_) Out(Placed(note) + L"\n");
        const std::wstring roadNames = roads.size() > 1 ? L"both Windows roads" : RoadName(roads.front());
        if (problems_.empty())
            Out(Format(L"%s: no problems for %s (%s)\n", package_.scriptPath.c_str(), CommandWord(command_),
                       roadNames.c_str()));
        else
            Out(Format(L"%u problem%s for %s (%s)\n", static_cast<unsigned>(problems_.size()),
                       problems_.size() == 1 ? L"" : L"s", CommandWord(command_), roadNames.c_str()));
        return problems_.empty() ? 0 : 1;
    }

    Package& package_;
    Command command_;
    std::vector<std::wstring> extra_;
    qel::RunContext context_;  // as the installer's entry point makes it for the command
    ScriptText mainText_;
    std::vector<std::pair<std::wstring, std::unique_ptr<ScriptText>>> otherTexts_;
    std::list<qel::InfFile> subScripts_;
    std::vector<Reachable> reachable_;
    std::vector<std::unique_ptr<qel::UpdateTransaction>> transactions_;
    std::vector<Problem> problems_;
    std::vector<Problem> notes_;  // said, but no problem
};

}  // namespace

int Check(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra,
          const std::vector<Road>& roads) {
    Package package;
    std::wstring error;
    switch (OpenPackage(folderArgument, command, package, error)) {
    case OpenResult::Ok: break;
    case OpenResult::NoFolder: Err(L"qelkit: " + error + L"\n"); return 2;
    default: Err(L"qelkit: " + error + L"\n"); return 1;
    }
    return Checker(package, command, extra, folderArgument).Run(roads);
}

}  // namespace kit
