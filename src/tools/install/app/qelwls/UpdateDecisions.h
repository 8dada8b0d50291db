// The commit's decisions as pure functions of the facts: whether a file is
// installed or skipped, removed or kept; how a registry addition or deletion
// acts on what is there; how a SharedDLLs count moves. The commit gathers the
// facts from Windows, qelkit's plan from its picture of the machine, and both
// act on the same answer, so that a plan is the commit's own decision.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct DriverPackage;

// --- programs -------------------------------------------------------------
// A program queued to run before the changes whose arguments hold "-c" is
// not started: the running program of that name is ended instead, so that
// its files can be replaced.
bool PreRunEndsProgram(const std::wstring& arguments);

// --- files ----------------------------------------------------------------
// The version a file without a version resource is offered with: newer than
// any version but those with the top bit set.
constexpr uint64_t kUnversionedOffer = 0x7FFFFFFFFFFFFFFFull;

enum class FileInstallAction {
    Copy,         // not there yet
    Replace,      // there, replaced
    SkipPresent,  // there, and COPYFLG_NO_OVERWRITE keeps it
    SkipAbsent,   // not there, and COPYFLG_REPLACEONLY only replaces
    SkipNewer,    // COPYFLG_OVERWRITE_OLDER_ONLY, and the version there is newer
};

struct FileInstallDecision {
    FileInstallAction action = FileInstallAction::Copy;
    // The file goes into place at the next restart whether or not anything
    // holds the one there (COPYFLG_FORCE_FILE_IN_USE). A destination in use
    // goes at the restart too; that only the move itself finds out.
    bool atRestart = false;
    // The system must restart for the file to take effect
    // (COPYFLG_REPLACE_BOOT_FILE).
    bool restartRequired = false;

    bool Installs() const { return action == FileInstallAction::Copy || action == FileInstallAction::Replace; }
};

// True when the decision depends on the versions of the two files; only then
// need they be read.
bool FileInstallComparesVersions(uint32_t flags, bool present);
// installed: the version of the file there, 0 when it has none or is not
// there; offered: the source's version, kUnversionedOffer when it has none.
FileInstallDecision DecideFileInstall(uint32_t flags, bool present, uint64_t installed, uint64_t offered);

// The file stage records an installed or moved file in the uninstall log,
// also one the install skipped (it belongs to the package all the same),
// unless NO_UNINSTALL_RECORD.
bool GetsUninstallRecord(uint32_t flags);
// The file stage counts one more reference to an installed file in
// SharedDLLs (SHARED_DLL), also to one the install skipped.
bool CountsSharedReference(uint32_t flags);

enum class FileRemovalAction {
    Absent,  // nothing there: nothing to do
    Folder,  // a folder where a file is named: passed over, never removed whole
    Keep,    // the flags keep the file
    Remove,
};

struct FileRemovalDecision {
    FileRemovalAction action = FileRemovalAction::Absent;
    // The file's SharedDLLs count goes down (SHARED_DLL), whether or not the
    // file goes.
    bool releasesCount = false;
};

// isFolder matters only for a path that is present.
FileRemovalDecision DecideFileRemoval(uint32_t flags, bool present, bool isFolder);

// --- registry -------------------------------------------------------------
// The registry view a record's keys are opened in: the 32-bit view is
// honoured only before Vista, the 64-bit view on every version.
REGSAM RegistryViewOf(uint32_t flags, int windowsVersion);

enum class RegAddAction {
    KeyOnly,  // only the key is made (FLG_ADDREG_KEYONLY)
    Write,    // the record's data is written
    Keep,     // the value is there and FLG_ADDREG_NOCLOBBER keeps it
    Skip,     // the value is not there and FLG_ADDREG_OVERWRITEONLY only replaces
    Append,   // the data is appended to the value there (FLG_ADDREG_APPEND)
};

// True when the addition depends on the value's being there; only then need
// it be looked for.
bool RegAddLooksAtValue(uint32_t flags);
RegAddAction DecideRegAdd(uint32_t flags, bool valueExists);

// A value written with the access value 1 gets its key opened to the
// interactive users, from Vista on; a key made without a value, a value kept
// or one with nothing to append gets nothing.
bool GrantsInteractiveAccess(uint32_t access, int windowsVersion);

enum class RegAppendResult {
    Combined,       // `combined` holds the data to write
    AlreadyListed,  // a string list that holds the item already: nothing to write
    NotAppendable,  // a value of a type nothing is appended to
};

// The value there (its type and data) with the record's data appended. A
// REG_MULTI_SZ takes the new string in place of its final terminator, with no
// check for one already there; a REG_SZ or REG_EXPAND_SZ is a comma-separated
// list that takes the item unless it holds it already (an empty string
// becomes ",item"). Sizes count whole characters; an odd trailing byte is
// dropped.
RegAppendResult AppendToValue(DWORD existingType, const std::vector<BYTE>& existing, const std::vector<BYTE>& data,
                              std::vector<BYTE>& combined);

enum class RegDeleteAction {
    Key,       // no value name: the key goes with everything below it
    PassOver,  // FLG_DELREG_MULTI_SZ_DELSTRING: one string of a list, not supported
    Value,
};

RegDeleteAction DecideRegDelete(const std::wstring& valueName, uint32_t flags);

// --- drivers --------------------------------------------------------------
// From Vista on the driver stages hand the package to the driver package
// installer; before, INFs go into the INF store and the devices' drivers are
// updated from them.
bool DriversThroughPackageInstaller(int windowsVersion);
// From Vista on, whether the driver stage installs the package: only one that
// the DriverInf key named, and never on the command line of an uninstall
// (its replay names the package only to remove it).
bool PackageInstallRuns(const std::wstring& commandLine, const DriverPackage& package);

// --- SharedDLLs counts ----------------------------------------------------
// The count after an install takes one more reference. `counted`: a count was
// there; a file without one that was there before the install is taken to
// have one user besides it. A count that would wrap to 0 becomes 1.
DWORD SharedCountAfterAdd(bool counted, DWORD count, bool presentBefore);

struct SharedCountRelease {
    bool last = true;  // no reference is left: the value goes (or there was none)
    DWORD after = 0;   // the count written back when it is not the last
};

SharedCountRelease SharedCountAfterRelease(bool counted, DWORD count);

}  // namespace qel
