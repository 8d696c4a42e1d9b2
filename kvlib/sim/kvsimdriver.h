// Driver packages as the simulated machine's newdev reads them: the INF file
// on the host's file system and the files it copies, checked the way Windows
// checks a package before it installs it for a device.
#pragma once

#include <string>
#include <vector>

#include "kvwintypes.h"

namespace kv {

// What installing a package gives a device.
struct TkvSimDriverPackage {
  std::string Service;          // AddService of the install section's .Services
  GUID ClassGuid{};             // [Version] ClassGuid
  std::string Description;      // the model entry's device description
  std::vector<GUID> Interfaces;  // DeviceInterfaceGUIDs of the install's AddReg
};

// Reads the package whose INF is InfPath for a device with HardwareId, on a
// 64-bit system (amd64 sections) or not (x86). ERROR_SUCCESS, or the error the
// driver update fails with: ERROR_FILE_NOT_FOUND for a missing INF or a file
// it copies that the package lacks, ERROR_GENERAL_SYNTAX for an INF that does
// not read, ERROR_NO_COMPAT_DRIVERS when no model section for the platform
// names the hardware id.
// InfText, when given, receives the INF as read.
DWORD ReadSimDriverPackage(const std::string& infPath, const std::string& hardwareId, bool x64,
                           TkvSimDriverPackage& package, std::string* InfText = nullptr);

}  // namespace kv
