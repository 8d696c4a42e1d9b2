// The device-setup layer: run-time binding of SetupAPI and the configuration
// manager, enumeration of the devices of a setup class into device records,
// related-device ids, and the registry helpers the enumeration and the
// topology share.
//
// The services are looked up by name at run time, so the program starts on a
// system that lacks some of them; only the operations that need a missing
// entry point fail, and they fail quietly.
#pragma once

#include <string>

#include "kvclasses.h"
#include "kvframework.h"
#include "kvboundapi.h"
#include "kvwintypes.h"

namespace kv {

// The bound entry points. One per process; valid while the machine that bound
// them stays installed (a newly installed machine is bound afresh).
struct TkvSetupApi {
  HMODULE SetupApiModule = nullptr;
  HMODULE CfgMgrModule = nullptr;
  HMODULE ConfigManagerLibrary = nullptr;  // SetupAPI.dll or cfgmgr32.dll
  TSetupDiGetClassDevsA SetupDiGetClassDevsA = nullptr;
  TSetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList = nullptr;
  TSetupDiEnumDeviceInfo SetupDiEnumDeviceInfo = nullptr;
  TSetupDiGetDeviceRegistryPropertyA SetupDiGetDeviceRegistryPropertyA = nullptr;
  TSetupDiOpenDevRegKey SetupDiOpenDevRegKey = nullptr;
  TSetupDiEnumDeviceInterfaces SetupDiEnumDeviceInterfaces = nullptr;
  TSetupDiGetDeviceInterfaceDetailA SetupDiGetDeviceInterfaceDetailA = nullptr;
  TSetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoList = nullptr;
  TSetupDiCreateDeviceInfoA SetupDiCreateDeviceInfoA = nullptr;
  TSetupDiGetINFClassA SetupDiGetINFClassA = nullptr;
  TSetupDiSetDeviceRegistryPropertyA SetupDiSetDeviceRegistryPropertyA = nullptr;
  TSetupDiCallClassInstaller SetupDiCallClassInstaller = nullptr;
  TSetupDiGetDeviceInstanceIdA SetupDiGetDeviceInstanceIdA = nullptr;
  TSetupDiRemoveDevice SetupDiRemoveDevice = nullptr;
  TSetupDiUnremoveDevice SetupDiUnremoveDevice = nullptr;
  TSetupDiOpenDeviceInfoA SetupDiOpenDeviceInfoA = nullptr;
  TSetupDiSetClassInstallParamsA SetupDiSetClassInstallParamsA = nullptr;
  TCM_Locate_DevNodeA CM_Locate_DevNodeA = nullptr;
  TCM_Get_DevNode_Registry_PropertyA CM_Get_DevNode_Registry_PropertyA = nullptr;
  TCM_Get_Parent CM_Get_Parent = nullptr;
  TCM_Get_Device_ID_List_SizeA CM_Get_Device_ID_List_SizeA = nullptr;
  TCM_Get_Device_ID_ListA CM_Get_Device_ID_ListA = nullptr;
  TCM_Get_Child CM_Get_Child = nullptr;
  TCM_Get_Sibling CM_Get_Sibling = nullptr;
  TCM_Request_Device_EjectA CM_Request_Device_EjectA = nullptr;
};

// Binds the table once per process (per installed machine) and reports
// whether every required entry point is present. A failed binding is retried
// by the next call.
bool LoadSetupApi();
// The bound table; call only after LoadSetupApi returned true.
const TkvSetupApi& SetupApi();
// Frees the bound libraries (program end).
void UnloadSetupApi();
// How many times the entry points were looked up since start; lets tests see
// that a bound table is not looked up again.
unsigned SetupApiBindCount();

// Appends one record per device of the class to List (key = the record's
// DriverKey, object = a new TkvDevice owned by the list's owner).
void EnumDevices(const GUID* ClassGuid, bool PresentOnly, bool ByDeviceInfo, bool WithInterface,
                 TStringList& List);
// Ids of a device's bus-relation (or removal-relation) devices joined by Separator.
std::string GetDeviceIdList(const std::string& DeviceId, const std::string& Separator, bool BusRelations);
std::string GetDeviceRegistryString(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA* DeviceInfoData, DWORD Property);
// Kernel path of an open registry key, relative to its root; the root is
// reported through RootKey when given.
std::string GetRegistryKeyPath(HKEY Key, HKEY* RootKey = nullptr);
std::string ReadRegistryString(HKEY Root, const std::string& SubKey, const std::string& ValueName);
std::string MultiSzToText(const char* Buffer, long Size, const std::string& Separator);

}  // namespace kv
