// The AddLinks key: every line of a listed link section becomes one queued
// LinkAdd; the shortcut itself is made at commit.
#include "CmdLineKeys.h"
#include "Util.h"

namespace qel {
namespace {
// Fields of a link line.
constexpr int kFieldFolder = 1;
constexpr int kFieldName = 2;
constexpr int kFieldTarget = 3;
constexpr int kFieldArguments = 4;
constexpr int kFieldWorkingFolder = 5;
constexpr int kFieldIconFile = 6;
constexpr int kFieldIconIndex = 7;
constexpr int kFieldLocalizedName = 8;  // Vista and later: marker character and resource file
constexpr int kFieldStringIdName = 9;   // Vista and later

void LinkSection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    long count = 0;
    if (script.GetLineCount(section, count) != InfOk) return;  // a missing section is skipped
    const bool vistaOrLater = SetupGetRunningWinVer() >= WinVerVista;
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
        // Every field must be there; present but empty counts as present.
        const auto field = [&](int number) { return RequiredField(script, section, index, number); };
        LinkOp link;
        link.folder = field(kFieldFolder);
        link.name = field(kFieldName);
        link.target = field(kFieldTarget);
        link.arguments = field(kFieldArguments);
        link.workingFolder = field(kFieldWorkingFolder);
        link.iconFile = field(kFieldIconFile);
        link.iconIndex = RequiredNumber(script, section, index, kFieldIconIndex);
        // Before Vista there are no localized names: the fields are not read.
        if (vistaOrLater) {
            link.localizedName = field(kFieldLocalizedName);
            link.stringIdName = field(kFieldStringIdName);
        }
        // A relative folder would put the shortcut wherever the current
        // folder is. Checked once the whole line is read, so that a line
        // short of fields is named as such.
        if (!IsAbsolutePath(link.folder))
            RaiseLineFault(script, section, index, ScriptFault::InvalidLine, LineWording::Predicate,
                           L"names a relative folder: " + link.folder);
        // The link's path goes into the rollback log and to the shell whole.
        CheckPathLength(LinkPathOf(link));
        transaction.LinkAdd(link);
    }
}

}  // namespace

void AddLinksKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    std::vector<std::wstring> sections;
    if (script.GetKeyValues(section, L"AddLinks", sections) != InfOk) return;
    for (const std::wstring& linkSection : sections) LinkSection(transaction, script, linkSection);
}

}  // namespace qel
