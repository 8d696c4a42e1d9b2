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
// Frees the bound libraries if they came from the installed machine: at
// program end and when another machine is installed.
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

// ---- state changes and driver update ----------------------------------------
//
// A 32-bit process on 64-bit Windows may not change device properties or
// update drivers: the class installer answers ERROR_IN_WOW64. The layer does
// not ask which Windows it runs on; it tries, and on exactly that error hands
// the request to the 64-bit stub that the program carries as the resource
// "KVX64STUB" (RunX64Stub). Every operation blocks the calling thread; its
// pauses go through the host (Host().Sleep).

// Asks the configuration manager to eject the device: at most four requests,
// 500 ms apart. True when one was accepted; after the fourth refusal raises
// Exception with the veto name (the component that refused) as its message.
bool EjectDevice(DEVINST DevInst);
// Removes the device and adds it again after 1000 ms. On 64-bit Windows the
// stub restarts it with a property change instead.
bool RestartDevice(const std::string& InstanceId, const GUID& ClassGuid);
bool EnableDevice(const std::string& InstanceId, const GUID& ClassGuid);
bool DisableDevice(const std::string& InstanceId, const GUID& ClassGuid);
// DIF_PROPERTYCHANGE with StateChange (DICS_ENABLE: a global step first).
bool ChangeDeviceState(const std::string& InstanceId, const GUID& ClassGuid, DWORD StateChange);
// The stub's arguments for a state change: "<instance id>" <change> "<class GUID>".
std::string StubStateArguments(const std::string& InstanceId, DWORD StateChange, const GUID& ClassGuid);
// Writes the stub into the temp folder, runs it hidden with Arguments, waits,
// and deletes it. True for exit code 0; the exit code (or the error that kept
// it from running) is left as the last error.
bool RunX64Stub(const std::string& Arguments);
// UpdateDriverForPlugAndPlayDevicesA of newdev.dll, bound for this call only.
// On failure the last error holds the reason, also after newdev is released.
bool UpdateDriverForPnPDevices(HWND Owner, const char* HardwareId, const char* InfPath, DWORD Flags,
                               BOOL* RebootRequired);
// Installs the package InfPath for the devices of HardwareId (forced), with a
// trace in the debug output. On failure the last error holds the reason.
bool InstallDriverForDevice(const std::string& HardwareId, const std::string& InfPath);
// "#XXXXXXXX." followed by a short explanation of the setup errors users meet.
std::string SetupErrorText(DWORD Code);
// Why a setup or device action failed, for people: the system's text for
// Code without its closing full stop and line break, or SetupErrorText when
// the system has none (most setup errors); "" for no error.
std::string SetupFailureText(DWORD Code);

}  // namespace kv
