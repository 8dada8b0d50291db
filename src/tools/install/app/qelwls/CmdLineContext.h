// What the section processor and the key handlers know of the run they serve.
// The entry point makes one for its run, qelkit one for each reading of a
// script. Nothing of it outlives the run.
#pragma once

#include <string>

namespace qel {

struct RunContext {
    std::wstring workingDir;    // folder of the running program, no trailing backslash
    std::wstring scriptDirArg;  // the second argument exactly as given; may be empty
    // Set by apponly_install and by the first sub-install that runs: a
    // sub-install brings its own driver. Never cleared within the run.
    bool skipDriverInf = false;
    // How deep the sub-installs and the conditional sections nest right now.
    int subInstallDepth = 0;
    int conditionalDepth = 0;

    // The folder the setup script and its sub-scripts are read from.
    const std::wstring& ScriptFolder() const { return scriptDirArg.empty() ? workingDir : scriptDirArg; }
};

}  // namespace qel
