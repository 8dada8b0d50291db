// qelkit verify: what the uninstall log says the install put in place, set
// against this machine and the package. The script is queued as the install
// command queues it (into a transaction that only queues), which gives each
// installed file its source in the package, plain or in a cabinet, and the
// registry values the AddReg lines write. Nothing is changed.
#include "KitVerify.h"

#include "BasicException.h"
#include "CmdLineKeys.h"
#include "KitHash.h"
#include "KitOutput.h"
#include "Log.h"
#include "Update.h"
#include "UpdateJournal.h"
#include "Util.h"

#include <setupapi.h>

#include <map>
#include <variant>

namespace kit {
namespace {

constexpr const char* kModuleName = "Kit";
// How many digits of a digest a line shows: enough to tell two files apart.
constexpr size_t kDigestShown = 16;

bool Has(uint32_t flags, uint32_t flag) { return (flags & flag) != 0; }

const wchar_t* RootName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return L"HKCR";
    if (root == HKEY_CURRENT_USER) return L"HKCU";
    if (root == HKEY_LOCAL_MACHINE) return L"HKLM";
    if (root == HKEY_USERS) return L"HKEY_USERS";
    return L"HKEY_CURRENT_CONFIG";
}

class Verifier {
public:
    explicit Verifier(qel::UpdateTransaction& queued) {
        for (qel::UpdateTransaction* t : queued.Tree()) {
            for (const qel::FileOp& op : t->FileInstalls()) sources_.emplace(qel::Lowercase(op.destination), op);
            regAdds_.insert(regAdds_.end(), t->RegAdds().begin(), t->RegAdds().end());
        }
    }

    void Record(const qel::journal::UninstallRecord& record) {
        if (const auto* file = std::get_if<qel::journal::InstalledFileRecord>(&record)) {
            File(*file);
        } else if (const auto* inf = std::get_if<qel::journal::InstalledInfRecord>(&record)) {
            ++drivers_;
            // Before Vista the store's OEM INF; from Vista on the package folder.
            std::wstring installed = inf->installed;
            if (qel::IsOemInfName(installed)) {
                std::wstring windows;
                qel::GetWindowsFolder(windows);
                installed = qel::JoinPath(qel::JoinPath(windows, L"inf"), inf->installed);
            }
            if (!qel::FileExists(installed)) Problem(L"missing: the driver package " + installed);
        }
        // The uninstall log's own move leaves the log, which is being read.
    }

    void Registry() {
        for (const qel::RegOp& op : regAdds_) {
            // A value only replaced where it exists may rightly be absent.
            if (!qel::journal::IsRegistryRecordRoot(op.root) || Has(op.flags, FLG_ADDREG_OVERWRITEONLY)) continue;
            ++values_;
            REGSAM view = Has(op.flags, FLG_ADDREG_64BITKEY) ? KEY_WOW64_64KEY : 0;
            if (qel::SetupGetRunningWinVer() < qel::WinVerVista && Has(op.flags, FLG_ADDREG_32BITKEY))
                view |= KEY_WOW64_32KEY;
            const std::wstring path = std::wstring(RootName(op.root)) + L"\\" + op.subkey;
            qel::UniqueKey key;
            if (::RegOpenKeyExW(op.root, op.subkey.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) {
                Problem(L"missing: the key " + path);
                continue;
            }
            if (Has(op.flags, FLG_ADDREG_KEYONLY)) continue;
            if (::RegQueryValueExW(key.Get(), op.valueName.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                Problem(L"missing: " + path + L" " + (op.valueName.empty() ? L"(default)" : op.valueName));
        }
    }

    size_t Problems() const { return problems_; }
    std::wstring Counted() const {
        std::wstring text = Format(L"%u file%s", static_cast<unsigned>(files_), files_ == 1 ? L"" : L"s");
        if (drivers_) text += Format(L", %u driver package%s", static_cast<unsigned>(drivers_), drivers_ == 1 ? L"" : L"s");
        text += Format(L", %u registry value%s", static_cast<unsigned>(values_), values_ == 1 ? L"" : L"s");
        text += Format(L" and %u SharedDLLs count%s", static_cast<unsigned>(counts_), counts_ == 1 ? L"" : L"s");
        return text;
    }

private:
    void Problem(const std::wstring& line) {
        ++problems_;
        Out(line + L"\n");
    }

    void File(const qel::journal::InstalledFileRecord& record) {
        ++files_;
        const uint32_t flags = record.flags.value_or(0);
        if (Has(flags, qel::SHARED_DLL)) Count(record.destination);
        if (!qel::FileExists(record.destination)) {
            Problem(L"missing: " + record.destination);
            return;
        }
        const auto source = sources_.find(qel::Lowercase(record.destination));
        // A file the package no longer installs is not compared.
        if (source == sources_.end()) return;
        const qel::FileOp& op = source->second;
        const std::wstring offered = PackageDigest(op);
        const std::wstring there = FileSha256(record.destination);
        if (offered.empty() || offered == there) return;
        // What the install keeps when it finds it: a file not to be
        // overwritten, or one newer than the package's.
        if (Has(op.flags, COPYFLG_NO_OVERWRITE)) return;
        if (Has(op.flags, COPYFLG_OVERWRITE_OLDER_ONLY) && !Has(op.flags, COPYFLG_NOVERSIONCHECK)) {
            uint64_t installed = 0, package = 0;
            if (qel::GetFileVersionNumber(record.destination, installed) &&
                (!op.cabinet.empty() || !qel::GetFileVersionNumber(op.source, package) || installed > package))
                return;
        }
        const std::wstring from = op.cabinet.empty() ? op.source : op.cabinet + L"|" + op.source;
        Problem(L"changed: " + record.destination + L": SHA-256 " +
                (there.empty() ? std::wstring(L"(unreadable)") : there.substr(0, kDigestShown)) + L" there, " +
                offered.substr(0, kDigestShown) + L" in the package (" + from + L")");
    }

    std::wstring PackageDigest(const qel::FileOp& op) {
        if (op.cabinet.empty()) return FileSha256(op.source);
        auto cabinet = cabinets_.find(qel::Lowercase(op.cabinet));
        if (cabinet == cabinets_.end())
            cabinet = cabinets_.emplace(qel::Lowercase(op.cabinet), CabinetSha256(op.cabinet)).first;
        const auto member = cabinet->second.find(qel::Lowercase(op.source));
        return member == cabinet->second.end() ? std::wstring() : member->second;
    }

    void Count(const std::wstring& path) {
        ++counts_;
        const qel::SharedDllPrior count = qel::ReadSharedDllCount(qel::SharedDllNameOf(path, kModuleName));
        if (!count.existed || count.count == 0) Problem(L"missing: the SharedDLLs count of " + path);
    }

    std::map<std::wstring, qel::FileOp> sources_;  // by lower-case destination
    std::vector<qel::RegOp> regAdds_;
    std::map<std::wstring, std::map<std::wstring, std::wstring>> cabinets_;  // digests by cabinet
    size_t problems_ = 0, files_ = 0, drivers_ = 0, values_ = 0, counts_ = 0;
};

}  // namespace

int Verify(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra) {
    Package package;
    int refused = 0;
    if (!OpenPackageOrSay(folderArgument, command, package, refused)) return refused;
    std::wstring repair = L"qelkit run " + std::wstring(CommandWord(command)) + L" " + qel::QuoteArgument(folderArgument);
    for (const std::wstring& section : extra) repair += L" " + qel::QuoteArgument(section);
    std::wstring logPath;
    try {
        qel::UninstallLogPathOf(package.script, logPath);
    } catch (const qel::BasicException& e) {
        Err(L"qelkit: " + std::wstring(e.Place() ? e.Place()->message : L"[Setup] UninstallLog cannot be used") +
            L": the install keeps no uninstall log to verify against\n");
        return 1;
    }
    qel::LogFile log;
    if (!qel::FileExists(logPath) || log.Open(logPath, false) != qel::LogOk) {
        Out(L"Not installed: there is no uninstall log " + logPath + L"\nThe repair is the install: " + repair + L"\n");
        return 1;
    }

    qel::RunContext context = PrepareHandlers(folderArgument, command);
    qel::UpdateTransaction queued;
    queued.SetQueueOnly();
    try {
        qel::ProcessSections(context, queued, package.script, CommandSections(command, extra));
    } catch (const qel::BasicException&) {
        Err(L"qelkit: " + package.scriptPath +
            L" cannot be read through as the install reads it: \"qelkit check\" lists its problems\n");
        return 1;
    }

    Out(L"Verify of " + std::wstring(CommandWord(command)) + L" with " + package.scriptPath +
        L" against the uninstall log " + logPath + L"\n");
    Verifier verifier(queued);
    std::wstring line;
    while (log.ReadLine(line) == qel::LogOk) {
        if (const auto record = qel::journal::Decode<qel::journal::UninstallRecord>(line)) verifier.Record(*record);
    }
    verifier.Registry();
    if (verifier.Problems() == 0) {
        Out(L"Intact: " + verifier.Counted() + L" as installed\n");
        return 0;
    }
    Out(Format(L"Damaged: %u of ", static_cast<unsigned>(verifier.Problems())) + verifier.Counted() +
        L" are not as installed\nThe repair is the install again: " + repair + L"\n");
    return 1;
}

}  // namespace kit
