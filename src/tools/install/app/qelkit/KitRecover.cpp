// qelkit recover: the runs of the installer that were killed before they
// finished, what undoing each would do, and with --apply the undoing itself:
// the same recovery the installer runs before a script command.
#include "KitRecover.h"

#include "BasicException.h"
#include "KitOutput.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <windows.h>

namespace kit {
namespace {

const std::wstring& Field(const std::vector<std::wstring>& fields, size_t index) {
    static const std::wstring empty;
    return index < fields.size() ? fields[index] : empty;
}

std::wstring RegistryPath(const std::vector<std::wstring>& fields) {
    const uint32_t root = qel::ParseLogNumber(Field(fields, 1));
    const wchar_t* name = root == 0x80000000u   ? L"HKCR"
                          : root == 0x80000001u ? L"HKCU"
                          : root == 0x80000002u ? L"HKLM"
                          : root == 0x80000003u ? L"HKEY_USERS"
                          : root == 0x80000005u ? L"HKEY_CURRENT_CONFIG"
                                                : L"(root)";
    std::wstring path = std::wstring(name) + L"\\" + qel::DecodeUndoField(Field(fields, 3));
    const uint32_t view = qel::ParseLogNumber(Field(fields, 2));
    if (view & KEY_WOW64_32KEY) path += L" (32-bit view)";
    return path;
}

}  // namespace

std::wstring DescribeUndo(const std::vector<std::wstring>& fields) {
    const std::wstring& kind = Field(fields, 0);
    const std::wstring& first = Field(fields, 1);
    const std::wstring& second = Field(fields, 2);
    if (kind == L"CopyFile") return L"delete the new copy " + second;
    if (kind == L"MoveFile") return L"move " + second + L" back to " + first;
    if (kind == L"QueuedMove")
        return L"take back the move of " + first + (second.empty() ? L" (a deletion)" : L" to " + second) +
               L" registered for the next restart";
    if (kind == L"CopyInf") return L"take back the driver package " + first + L" (" + second + L")";
    if (kind == L"UpdateDriver")
        return L"give the devices " + first + L" their driver " +
               (Field(fields, 3).empty() ? L"(none)" : Field(fields, 3)) + L" back";
    if (kind == L"CreateDir") return L"leave the folder " + first + L" (folders stay)";
    if (kind == L"Cleanup") return L"nothing for " + qel::DecodeUndoField(second) + L" (its clean-up had not begun)";
    if (kind == L"TempFile") return L"delete the temporary file " + qel::DecodeUndoField(first) + L" while it is empty";
    if (kind == L"NewLink") return L"delete the shortcut " + qel::DecodeUndoField(first);
    if (kind == L"SharedDll") {
        const bool existed = qel::ParseLogNumber(Field(fields, 3)) != 0;
        return L"set the SharedDLLs count of " + qel::DecodeUndoField(first) + L" back to " +
               (existed ? Format(L"%lu", static_cast<unsigned long>(qel::ParseLogNumber(Field(fields, 4)))) : L"none");
    }
    if (kind == L"RegValue")
        return L"write " + RegistryPath(fields) + L" " + qel::DecodeUndoField(Field(fields, 4)) + L" back";
    if (kind == L"RegNoValue")
        return L"delete " + RegistryPath(fields) + L" " + qel::DecodeUndoField(Field(fields, 4)) + L" (new)";
    if (kind == L"RegNewKey") return L"delete the new key " + RegistryPath(fields);
    if (kind == L"RegKey") return L"make the key " + RegistryPath(fields) + L" again";
    if (kind == L"RegLink") return L"make the registry link " + RegistryPath(fields) + L" again";
    return L"undo " + kind;
}

int Recover(bool apply) {
    if (apply && !qel::IsAdmin()) {
        Err(L"qelkit: recover --apply needs administrator rights\n");
        return 1;
    }
    // The recovery writes its "Recovery:" lines where the installer's go.
    if (apply) {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH, temp);
        if (length > 0 && length < MAX_PATH) qel::TraceOpen(qel::JoinPath(temp, L"qelwl.log"));
    }
    const std::vector<qel::InterruptedRun> runs = qel::FindInterruptedRuns();
    int left = 0, recovered = 0, finished = 0, pending = 0;
    for (const qel::InterruptedRun& run : runs) {
        if (run.inProgress) {
            Out(Format(L"Run of process %lu (%s): still in progress; left alone\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str()));
            continue;
        }
        if (!run.problem.empty()) {
            Out(Format(L"Run of process %lu (%s): cannot be undone: %s; left in place\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str(), run.problem.c_str()));
            ++left;
            continue;
        }
        const bool complete = qel::ChangesWereComplete(run);
        if (complete)
            Out(Format(L"Run of process %lu (%s): interrupted in its clean-up; its changes stay, and finishing the "
                       L"clean-up deletes what it moved aside\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str()));
        else
            Out(Format(L"Run of process %lu (%s): interrupted; undoing it would, newest change first:\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str()));
        for (size_t i = 0; i < run.rollbackLogs.size() && !complete; ++i) {
            const auto& records = run.records[i];
            Out(Format(L"  from the rollback log %s (%u records)%s\n", run.rollbackLogs[i].c_str(),
                       static_cast<unsigned>(records.size()), qel::FileExists(run.rollbackLogs[i]) ? L"" : L", gone"));
            for (const std::vector<std::wstring>& fields : records) Out(L"    " + DescribeUndo(fields) + L"\n");
        }
        for (const std::wstring& log : run.uninstallLogs)
            if (qel::FileExists(log)) Out(L"  delete the uninstall log the run began, " + log + L"\n");
        if (!apply) {
            ++left, ++pending;
            continue;
        }
        try {
            qel::RecoverRunTraced(run);
            Out(complete ? L"  clean-up finished\n" : L"  undone\n");
            ++(complete ? finished : recovered);
        } catch (const qel::BasicException& e) {
            Out(Format(L"  undoing it failed: %s (%S line %d); its logs stay\n",
                       e.Description() ? e.Description() : L"", e.Module(), e.Line()));
            ++left;
        }
    }
    if (runs.empty()) Out(L"No interrupted runs\n");
    else if (apply && finished == 0)
        Out(Format(L"%d run%s undone, %d left\n", recovered, recovered == 1 ? L"" : L"s", left));
    else if (apply)
        Out(Format(L"%d run%s undone, %d clean-up%s finished, %d left\n", recovered, recovered == 1 ? L"" : L"s",
                   finished, finished == 1 ? L"" : L"s", left));
    else if (pending > 0) Out(L"Run \"qelkit recover --apply\" to undo them\n");
    return left == 0 ? 0 : 1;
}

}  // namespace kit
