#include "KitCheck.h"

#include "KitFind.h"
#include "KitOutput.h"

namespace kit {

int Check(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra,
          const std::vector<Road>& roads) {
    Package package;
    int refused = 0;
    if (!OpenPackageOrSay(folderArgument, command, package, refused)) return refused;
    const FindRequest request{folderArgument, command, extra, roads};
    const Findings findings = FindProblems(package, request);
    PrintFindings(findings, package, request);
    return findings.HasErrors() ? 1 : 0;
}

void PrintCodes() {
    for (const KindInfo& info : Kinds())
        Out(Format(L"QK%04d %-7s %s: %s\n", info.code, info.level == Level::Error ? L"error" : L"warning", info.title,
                   info.fix));
}

}  // namespace kit
