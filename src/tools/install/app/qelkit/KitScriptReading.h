// A command's reading of its setup script, as check and plan make it: the
// sections the command can reach, the script's lines, and on each Windows
// road the records the installer's own key handlers queue (into
// transactions that only queue) and the faults they raise. What the
// handlers pass over silently is found here too: keys the section processor
// does not know, sections a key names that are missing.
#pragma once

#include "KitFind.h"
#include "KitFindings.h"
#include "KitScript.h"

#include "CmdLineContext.h"
#include "DriverInf.h"
#include "Update.h"

#include <list>
#include <memory>
#include <string>
#include <vector>

namespace qel {
class BasicException;
struct ScriptPlace;
}  // namespace qel

namespace kit {

// A section a command can run, in the script that holds it.
struct ReachableSection {
    qel::InfFile* script;
    const ScriptText* text;
    std::wstring section;
    // Every run of the command reads it (a top section, a sub-install's
    // section, a section a SupportedApp rule runs), not only when an upgrade
    // rule finds its package.
    bool alwaysRuns = false;
};

// The records one reading of the script queued.
struct QueuedTransaction {
    std::unique_ptr<qel::UpdateTransaction> transaction;
    Road road = Road::Running;
    unsigned roadBit = 0;  // 0 when one road is read: the finding holds on every road
};

// A line of a script that a finding is shown on.
struct ScriptLine {
    const ScriptText* text = nullptr;
    std::wstring section;
    int line = 0;
};

class ScriptReading {
public:
    ScriptReading(Package& package, const FindRequest& request, Findings& findings);
    ScriptReading(const ScriptReading&) = delete;
    ScriptReading& operator=(const ScriptReading&) = delete;

    // Reads the script on every road of the request. False when its text
    // cannot be read (then there is nothing else to find).
    bool Read();

    const Package& ThePackage() const { return package_; }
    const FindRequest& Request() const { return request_; }
    const ScriptText& MainText() const { return mainText_; }
    // The text of a script the command reads (the main one or a sub-install's).
    const ScriptText& TextOf(const std::wstring& scriptPath);
    const std::vector<ReachableSection>& Reachable() const { return reachable_; }
    const std::vector<QueuedTransaction>& Queued() const { return queued_; }
    // The records of the command's sections read in the command's order on
    // the road, as a run of an install command queues them; null when a key
    // raised in them. The caller takes them over: plan describes what check
    // read, and reads the script no second time.
    std::unique_ptr<qel::UpdateTransaction> TakeCommandOrder(Road road);
    // As the installer's entry point makes it for the command.
    const qel::RunContext& Context() const { return context_; }
    // The scripts of the sub-installs, opened.
    const std::list<qel::InfFile>& SubScripts() const { return subScripts_; }

    // The first line of a reachable section with the key (and the value
    // among its values, if given).
    ScriptLine FindKeyLine(const std::wstring& key, const std::wstring& value = L"") const;
    // The header line of a section of the main script, or 0.
    int HeaderLine(const std::wstring& section) const;

    // Adds a finding on a line; `section`, when given, opens the text as
    // "[section] ".
    void Report(Kind kind, const ScriptText& text, int line, const std::wstring& section, const std::wstring& message,
                const std::wstring& subject, unsigned roads = 0);
    void Report(Kind kind, const ScriptLine& at, const std::wstring& message, const std::wstring& subject,
                unsigned roads = 0);

private:
    // --- the sections a command can reach
    void Walk(qel::InfFile& script, const ScriptText& text, const std::wstring& section, bool alwaysRuns);
    void WalkRules(qel::InfFile& script, const ScriptText& text, const std::wstring& rules, bool alwaysRuns);
    std::wstring SubScriptPath(const std::wstring& name) const;
    qel::InfFile* OpenSubScript(const std::wstring& name);

    // --- what the key handlers raise
    void ReadRoad(Road road, bool tagged);
    // False when the handlers raised.
    bool Queue(qel::RunContext& context, qel::UpdateTransaction& transaction, const qel::InfFile& script,
               const ScriptText& text, const std::wstring& section, const std::wstring& key, unsigned road);
    qel::UpdateTransaction& NewTransaction(Road road, unsigned roadBit);
    void Raised(const qel::BasicException& e, const ScriptText& text, const std::wstring& section,
                const std::wstring& key, unsigned road);
    bool RaisedAt(const qel::ScriptPlace& place, unsigned road);
    ScriptLine FindNaming(const std::wstring& name) const;
    ScriptLine FindSubInstall(const std::wstring& path) const;

    // --- what the key handlers pass over
    void CheckKeys();
    void CheckNamedSections(const ReachableSection& each, const ScriptText::Line& line, bool scriptFirst);

    Package& package_;
    const FindRequest& request_;
    Findings& findings_;
    qel::RunContext context_;
    ScriptText mainText_;
    std::vector<std::pair<std::wstring, std::unique_ptr<ScriptText>>> otherTexts_;
    std::list<qel::InfFile> subScripts_;
    std::vector<ReachableSection> reachable_;
    std::vector<QueuedTransaction> queued_;
    // Per road read: where its reading in the command's order is in queued_,
    // when that read through cleanly.
    std::vector<std::pair<Road, size_t>> commandOrder_;
};

}  // namespace kit
