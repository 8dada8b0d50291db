#include "KitCheck.h"

#include "KitFind.h"
#include "KitOutput.h"

namespace kit {

int Check(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra,
          const std::vector<Road>& roads) {
    Package package;
    std::wstring error;
    switch (OpenPackage(folderArgument, command, package, error)) {
    case OpenResult::Ok: break;
    case OpenResult::NoFolder: Err(L"qelkit: " + error + L"\n"); return 2;
    default: Err(L"qelkit: " + error + L"\n"); return 1;
    }
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
