// Finding a driver package in the Windows INF store. The store copies a
// package unchanged and takes "the same contents" as "already there", so a
// package's copy is the store INF with its bytes. The installer and the
// driver package installer both look for packages this way.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

// The whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
// The name in the store folder of a copy of the package (its file name and
// bytes): an oem<n>.inf, the names the store gives, or else a copy under the
// package's own name (the name some systems give it); never any other INF,
// which belongs to the system. Empty when the store has none.
std::wstring FindPackageInStore(const std::wstring& storeFolder, const std::wstring& packageName,
                                const std::string& packageBytes);

// Takes a package copy out of the store folder: SetupUninstallOEMInfW,
// forced, where the system has it, and the compiled .pnf, which some systems
// leave behind; on a system without the call, both files are deleted. False,
// with the error kept, when the copy stays.
bool RemoveFromStore(const std::wstring& storeFolder, const std::wstring& storeName);

}  // namespace qel
