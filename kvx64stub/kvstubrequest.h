// The request logic of kvX64stub, apart from the services it calls, so that
// the same logic runs in the 64-bit program (linked against SetupAPI, newdev,
// shell32 and ole32) and on the simulated machine.
//
// Command line (after the program's own path):
//   "<hardware id>" "<INF path>"              install the package for those devices
//   "<instance id>" <change> "<class GUID>"   change the device's state: 1 enable,
//                                             2 disable, anything else property change
// The result is the process exit code: 0 done, 87 (ERROR_INVALID_PARAMETER) for
// another number of items or a class GUID that does not read, otherwise the
// error of the step that failed (ERROR_GEN_FAILURE when that step left none).
#pragma once

#include <string>
#include <vector>

#include "kvboundapi.h"
#include "kvwintypes.h"

namespace kv {

struct TkvStubApi {
  std::vector<std::u16string> (*CommandLineToArgvW)(const WCHAR* commandLine);
  HRESULT (*CLSIDFromString)(const WCHAR* text, GUID* clsid);
  TSetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoList;
  TSetupDiOpenDeviceInfoW SetupDiOpenDeviceInfoW;
  TSetupDiSetClassInstallParamsW SetupDiSetClassInstallParamsW;
  TSetupDiCallClassInstaller SetupDiCallClassInstaller;
  TSetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList;
  TUpdateDriverForPlugAndPlayDevicesW UpdateDriverForPlugAndPlayDevicesW;
  void (*OutputDebugStringW)(const WCHAR* text);
  DWORD (*GetLastError)();
};

// Carries out the request of CommandLine (the whole line, program path first)
// and returns the exit code.
DWORD RunStubRequest(const TkvStubApi& Api, const WCHAR* CommandLine);

}  // namespace kv
