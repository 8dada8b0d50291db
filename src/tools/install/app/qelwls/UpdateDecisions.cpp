// The commit's decisions, apart from the Windows calls that gather their
// facts and carry them out.
#include "UpdateDecisions.h"

#include "Update.h"
#include "Util.h"

#include <setupapi.h>

#include <cstring>
#include <cwchar>

namespace qel {
namespace {

bool Has(uint32_t flags, uint32_t flag) { return (flags & flag) != 0; }

// The text of string data without its terminating NUL.
std::wstring DataText(const std::vector<BYTE>& data) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

bool IsListItem(const std::wstring& list, const std::wstring& item) {
    std::vector<std::wstring> items;
    SplitCommaList(list, items);
    for (const std::wstring& existing : items)
        if (existing == item) return true;
    return false;
}

}  // namespace

bool PreRunEndsProgram(const std::wstring& arguments) { return arguments.find(L"-c") != std::wstring::npos; }

bool FileInstallComparesVersions(uint32_t flags, bool present) {
    // A file that is not there counts as version 0, which no offer is older
    // than; without OVERWRITE_OLDER_ONLY versions are not compared at all.
    return present && !Has(flags, COPYFLG_NOVERSIONCHECK) && Has(flags, COPYFLG_OVERWRITE_OLDER_ONLY);
}

FileInstallDecision DecideFileInstall(uint32_t flags, bool present, uint64_t installed, uint64_t offered) {
    FileInstallDecision decision;
    if (present && Has(flags, COPYFLG_NO_OVERWRITE))
        decision.action = FileInstallAction::SkipPresent;
    else if (!present && Has(flags, COPYFLG_REPLACEONLY))
        decision.action = FileInstallAction::SkipAbsent;
    // Equal versions are replaced.
    else if (FileInstallComparesVersions(flags, present) && installed > offered)
        decision.action = FileInstallAction::SkipNewer;
    else
        decision.action = present ? FileInstallAction::Replace : FileInstallAction::Copy;
    if (decision.Installs()) {
        decision.atRestart = Has(flags, COPYFLG_FORCE_FILE_IN_USE);
        decision.restartRequired = Has(flags, COPYFLG_REPLACE_BOOT_FILE);
    }
    return decision;
}

bool GetsUninstallRecord(uint32_t flags) { return !Has(flags, NO_UNINSTALL_RECORD); }

bool CountsSharedReference(uint32_t flags) { return Has(flags, SHARED_DLL); }

FileRemovalDecision DecideFileRemoval(uint32_t flags, bool present, bool isFolder) {
    FileRemovalDecision decision;
    if (!present) return decision;
    if (isFolder) {
        decision.action = FileRemovalAction::Folder;
        return decision;
    }
    // The count does not decide whether the file goes.
    decision.releasesCount = Has(flags, SHARED_DLL);
    // Only files the system copied on its own account, with no version
    // check, are ever removed: anything else may belong to someone else.
    const uint32_t keepers = NO_UNINSTALL_RECORD | COPYFLG_REPLACEONLY | COPYFLG_NO_OVERWRITE;
    const bool removable = (flags & keepers) == 0 && Has(flags, COPYFLG_NOVERSIONCHECK);
    decision.action = removable ? FileRemovalAction::Remove : FileRemovalAction::Keep;
    return decision;
}

REGSAM RegistryViewOf(uint32_t flags, int windowsVersion) {
    // From Vista on the records that ask for the 32-bit view are written to
    // the 64-bit view like the others.
    REGSAM view = 0;
    if (windowsVersion < WinVerVista && Has(flags, FLG_ADDREG_32BITKEY)) view |= KEY_WOW64_32KEY;
    if (Has(flags, FLG_ADDREG_64BITKEY)) view |= KEY_WOW64_64KEY;
    return view;
}

bool RegAddLooksAtValue(uint32_t flags) {
    return !Has(flags, FLG_ADDREG_KEYONLY) &&
           Has(flags, FLG_ADDREG_APPEND | FLG_ADDREG_NOCLOBBER | FLG_ADDREG_OVERWRITEONLY);
}

RegAddAction DecideRegAdd(uint32_t flags, bool valueExists) {
    if (Has(flags, FLG_ADDREG_KEYONLY)) return RegAddAction::KeyOnly;
    if (!RegAddLooksAtValue(flags)) return RegAddAction::Write;
    if (!valueExists) return Has(flags, FLG_ADDREG_OVERWRITEONLY) ? RegAddAction::Skip : RegAddAction::Write;
    if (Has(flags, FLG_ADDREG_NOCLOBBER)) return RegAddAction::Keep;
    if (Has(flags, FLG_ADDREG_APPEND)) return RegAddAction::Append;
    return RegAddAction::Write;  // OVERWRITEONLY, and the value is there
}

bool GrantsInteractiveAccess(uint32_t access, int windowsVersion) {
    return access == 1 && windowsVersion >= WinVerVista;
}

RegAppendResult AppendToValue(DWORD existingType, const std::vector<BYTE>& existing, const std::vector<BYTE>& data,
                              std::vector<BYTE>& combined) {
    const size_t evenSize = existing.size() & ~static_cast<size_t>(1);
    // Everything before the final terminating character.
    const size_t keep = evenSize >= sizeof(wchar_t) ? evenSize - sizeof(wchar_t) : 0;
    switch (existingType) {
    case REG_MULTI_SZ:
        combined.assign(existing.begin(), existing.begin() + keep);
        combined.insert(combined.end(), data.begin(), data.end());
        combined.insert(combined.end(), sizeof(wchar_t), 0);
        return RegAppendResult::Combined;
    case REG_SZ:
    case REG_EXPAND_SZ: {
        if (IsListItem(DataText(existing), DataText(data))) return RegAppendResult::AlreadyListed;
        // The terminator becomes the comma.
        combined.assign(existing.begin(), existing.begin() + keep);
        const wchar_t comma = L',';
        const auto* commaBytes = reinterpret_cast<const BYTE*>(&comma);
        combined.insert(combined.end(), commaBytes, commaBytes + sizeof(comma));
        combined.insert(combined.end(), data.begin(), data.end());
        return RegAppendResult::Combined;
    }
    default:
        return RegAppendResult::NotAppendable;
    }
}

RegDeleteAction DecideRegDelete(const std::wstring& valueName, uint32_t flags) {
    if (valueName.empty()) return RegDeleteAction::Key;
    if ((flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING) return RegDeleteAction::PassOver;
    return RegDeleteAction::Value;
}

bool DriversThroughPackageInstaller(int windowsVersion) { return windowsVersion >= WinVerVista; }

bool PackageInstallRuns(const std::wstring& commandLine, const DriverPackage& package) {
    return commandLine.find(L"uninstall") == std::wstring::npos && !package.dpinstPath.empty();
}

DWORD SharedCountAfterAdd(bool counted, DWORD count, bool presentBefore) {
    if (!counted) return presentBefore ? 2 : 1;
    return count + 1 == 0 ? 1 : count + 1;
}

SharedCountRelease SharedCountAfterRelease(bool counted, DWORD count) {
    if (!counted) return SharedCountRelease{};
    // A count of 0 goes round to the highest count, as the subtraction gives.
    const DWORD after = count - 1;
    return SharedCountRelease{after == 0, after};
}

}  // namespace qel
