// The AddLinks key: every line of a listed link section becomes one queued
// LinkAdd; the shortcut itself is made at commit.
#include "BasicException.h"
#include "CmdLineKeys.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

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

class LinkLine {
public:
    LinkLine(const InfFile& script, const std::wstring& section, DWORD index)
        : script_(script), section_(section), index_(index) {}

    // Present but empty counts as present.
    std::wstring String(int field) const {
        std::wstring value;
        if (script_.GetLineField(section_, index_, field, value) != InfOk) Missing(field);
        return value;
    }
    uint32_t Integer(int field) const {
        int value = 0;
        if (script_.GetIntField(section_, index_, static_cast<DWORD>(field), value) != InfOk) Missing(field);
        return static_cast<uint32_t>(value);
    }

private:
    // Names the line as an editor counts it, from 1.
    [[noreturn]] void Missing(int field) const {
        QEL_RAISE(FormatText(L"[%s] line %d has no field %d", section_.c_str(), static_cast<int>(index_ + 1), field),
                  0);
    }

    const InfFile& script_;
    const std::wstring& section_;
    DWORD index_;
};

void LinkSection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    long count = 0;
    if (script.GetLineCount(section, count) != InfOk) return;  // a missing section is skipped
    const bool vistaOrLater = SetupGetRunningWinVer() >= WinVerVista;
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
        const LinkLine line(script, section, index);
        LinkOp link;
        link.folder = line.String(kFieldFolder);
        link.name = line.String(kFieldName);
        link.target = line.String(kFieldTarget);
        link.arguments = line.String(kFieldArguments);
        link.workingFolder = line.String(kFieldWorkingFolder);
        link.iconFile = line.String(kFieldIconFile);
        link.iconIndex = line.Integer(kFieldIconIndex);
        // Before Vista there are no localized names: the fields are not read.
        if (vistaOrLater) {
            link.localizedName = line.String(kFieldLocalizedName);
            link.stringIdName = line.String(kFieldStringIdName);
        }
        // The link's path goes into the rollback log and to the shell whole.
        CheckPathLength(JoinPath(link.folder, link.name) + L".lnk");
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
