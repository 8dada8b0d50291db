// What the key handlers share about the lines they read: the fields a line
// must have, and the raises that name the place in the script they are about.
// The description of each raise is what the diagnostic log has always shown;
// the place beside it lets a tool show the fault on the script's own line.
#include "BasicException.h"
#include "CmdLineKeys.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

std::wstring ScriptPath(const InfFile& script) {
    std::wstring path;
    script.GetPath(path);
    return path;
}

// "[Files] line 3": the index-th line (from 0) counted from 1, as an editor
// counts the lines of a section.
std::wstring LineName(const std::wstring& section, DWORD index) {
    return FormatText(L"[%s] line %d", section.c_str(), static_cast<int>(index + 1));
}

[[noreturn]] void RaiseMissingField(const InfFile& script, const std::wstring& section, DWORD index, int field) {
    RaiseLineFault(script, section, index, ScriptFault::MissingField, LineWording::Predicate,
                   FormatText(L"has no field %d", field));
}
}  // namespace

void RaiseLineFault(const InfFile& script, const std::wstring& section, DWORD index, ScriptFault fault,
                    LineWording wording, const std::wstring& text) {
    const bool predicate = wording == LineWording::Predicate;
    ScriptPlace place(fault, ScriptPath(script), predicate ? L"the line " + text : text);
    place.section = section;
    place.lineIndex = static_cast<long>(index);
    QEL_RAISE_AT(std::move(place), LineName(section, index) + (predicate ? L" " : L": ") + text, 0);
}

ScriptPlace KeyPlace(const InfFile& script, ScriptFault fault, const std::wstring& section, const std::wstring& key,
                     std::wstring message) {
    ScriptPlace place(fault, ScriptPath(script), std::move(message));
    place.section = section;
    place.key = key;
    return place;
}

ScriptPlace MissingSectionPlace(const InfFile& script, const std::wstring& section, const wchar_t* key,
                                const std::wstring& missing) {
    ScriptPlace place = KeyPlace(script, ScriptFault::MissingSection, section, key,
                                 key + (L" names [" + missing + L"], which the script does not have"));
    place.names = missing;
    return place;
}

std::wstring RequiredField(const InfFile& script, const std::wstring& section, DWORD index, int field) {
    std::wstring value;
    if (script.GetLineField(section, index, field, value) != InfOk) RaiseMissingField(script, section, index, field);
    return value;
}

uint32_t RequiredNumber(const InfFile& script, const std::wstring& section, DWORD index, int field) {
    int value = 0;
    if (script.GetIntField(section, index, static_cast<DWORD>(field), value) != InfOk)
        RaiseMissingField(script, section, index, field);
    return static_cast<uint32_t>(value);
}

}  // namespace qel
