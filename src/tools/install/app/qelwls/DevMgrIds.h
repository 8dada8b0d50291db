// The ids a device reports, as the installer and the driver package
// installer both read them to match devices with the models of a package.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace qel {

// The device's hardware ids, then its compatible ids, each list in the
// device's order (most specific first); none when it has none.
std::vector<std::wstring> GetDeviceIds(HDEVINFO set, SP_DEVINFO_DATA& device);

}  // namespace qel
