// What the section processor and the key handlers know of the run they serve.
// The entry point makes one for its run; a tool that reads a script as a run
// would makes one for each reading. Nothing of it outlives the run.
#pragma once

#include <string>

namespace qel {

struct RunContext {
    std::wstring programFolder;   // folder of the running program, no trailing backslash
    std::wstring scriptArgument;  // the second argument exactly as given; may be empty
    // Set by apponly_install and by the first sub-install that runs: a
    // sub-install brings its own driver. Never cleared within the run.
    bool skipDriverInf = false;
    // How deep the sub-installs and the conditional sections nest right now.
    int subInstallDepth = 0;
    int conditionalDepth = 0;

    // The folder the setup script and its sub-scripts are read from.
    const std::wstring& ScriptFolder() const { return scriptArgument.empty() ? programFolder : scriptArgument; }
};

}  // namespace qel
