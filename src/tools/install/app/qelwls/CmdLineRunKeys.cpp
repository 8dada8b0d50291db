// The PreRun and PostRun keys: each line of the run sections they name is one
// program to start before the section's changes or after all of them. The
// handler only queues the record; the commit starts the program.
#include "CmdLineKeys.h"
#include "Util.h"

namespace qel {
namespace {
void QueueRunSection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& runSection,
                     bool before) {
    long count = 0;
    // A listed section that is missing names nothing to run.
    if (script.GetLineCount(runSection, count) != InfOk) return;
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
        std::wstring program;
        std::wstring arguments;
        // The arguments field must be there even when it is empty: a line
        // with the program alone is taken for a mistake, not for a program
        // without arguments. An empty program field names nothing to start
        // and is refused here, before any change, like a missing one.
        if (script.GetLineField(runSection, index, 1, program) != InfOk || program.empty() ||
            script.GetLineField(runSection, index, 2, arguments) != InfOk)
            RaiseLineFault(script, runSection, index, ScriptFault::MissingField, LineWording::Predicate,
                           L"needs a program and its arguments");
        // A relative program would be looked for in whatever folder is
        // current when it runs, elevated, and so would the program a "-c"
        // line ends.
        if (!IsAbsolutePath(program))
            RaiseLineFault(script, runSection, index, ScriptFault::InvalidLine, LineWording::Predicate,
                           L"names a program by a relative path: " + program);
        int flags = 0;
        if (script.GetIntField(runSection, index, 3, flags) != InfOk) flags = 0;
        // The command line handed to the program is the arguments after one
        // blank, the place where a program name would stand.
        if (!arguments.empty()) arguments.insert(0, 1, L' ');
        transaction.RunApp(program, arguments, static_cast<uint32_t>(flags), before);
    }
}
}  // namespace

void RunKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section, bool before) {
    std::vector<std::wstring> runSections;
    if (script.GetKeyValues(section, before ? L"PreRun" : L"PostRun", runSections) != InfOk) return;
    for (const std::wstring& runSection : runSections) QueueRunSection(transaction, script, runSection, before);
}

}  // namespace qel
