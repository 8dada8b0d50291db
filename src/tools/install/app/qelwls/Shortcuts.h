// Shell shortcuts (.lnk files): made through the shell link object, with a
// localized display name from a string resource on Vista and later.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace qel {

// The string-id names a shortcut line may give for its localized name, and
// their resource ids. False when the name is none of them.
bool LookUpShortcutStringId(const std::wstring& name, int& id);

// Creates (or overwrites) the shortcut at linkPath. With a string-id name on
// Vista and later, descriptionBase is the resource reference (a marker
// character and the resource file) and the localized name is set from it;
// otherwise descriptionBase is the description. COM is initialised
// single-threaded around the call. The result is the last HRESULT examined:
// a failure means no usable shortcut.
HRESULT CreateShortcut(const std::wstring& linkPath, const std::wstring& descriptionBase, const std::wstring& target,
                       const std::wstring& arguments, const std::wstring& workingFolder, const std::wstring& iconFile,
                       uint32_t iconIndex, const std::wstring& stringIdName);

}  // namespace qel
