// The entry points that the simulated machine's libraries export. Each one is
// a plain function with the Win32 prototype and calling convention, as
// GetProcAddress hands out; it forwards to the simulated machine that is
// installed when it is called.
#include <atomic>
#include <type_traits>

#include "kvsimmachine.h"

namespace kv {

namespace {

// The simulated machine that is installed, or that an installed forwarding
// machine (a recorder) forwards to.
TkvSimMachine* Active() {
  // Found again only when another machine was installed: every call of an
  // entry point comes through here.
  static std::atomic<unsigned> generation{0};
  static std::atomic<TkvSimMachine*> found{nullptr};
  const unsigned now = MachineGeneration() + 1;  // never the 0 it starts with
  if (generation.load(std::memory_order_acquire) == now) return found.load(std::memory_order_relaxed);
  TkvSimMachine* sim = nullptr;
  for (TkvMachine* m = &Machine(); m && !sim; m = m->Below()) sim = dynamic_cast<TkvSimMachine*>(m);
  found.store(sim, std::memory_order_relaxed);
  generation.store(now, std::memory_order_release);
  return sim;
}

template <typename Method, Method M, long Fail>
struct Export;

template <typename R, typename... A, R (TkvSimMachine::*M)(A...), long Fail>
struct Export<R (TkvSimMachine::*)(A...), M, Fail> {
  static R KVAPI Call(A... args) {
    if (TkvSimMachine* m = Active()) return (m->*M)(args...);
    // Called after its machine was uninstalled: fail like a vanished service.
    SetLastError(ERROR_INVALID_FUNCTION);
    if constexpr (std::is_pointer_v<R>)
      return reinterpret_cast<R>(static_cast<LONG_PTR>(Fail));
    else
      return static_cast<R>(Fail);
  }
};

#define KV_EXPORT(name, fail) \
  ToFarProc(&Export<decltype(&TkvSimMachine::name), &TkvSimMachine::name, (fail)>::Call)

// Entry points that no operation of the library needs from the simulated
// machine yet: present, so that the binding succeeds, but refusing the call.
BOOL KVAPI CreateDeviceInfoA(HDEVINFO, LPCSTR, const GUID*, LPCSTR, HWND, DWORD, SP_DEVINFO_DATA*) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
BOOL KVAPI GetINFClassA(LPCSTR, GUID*, LPSTR, DWORD, DWORD*) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
BOOL KVAPI SetDeviceRegistryPropertyA(HDEVINFO, SP_DEVINFO_DATA*, DWORD, const BYTE*, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
const char* const kConfigManagerEntries[] = {
    "CM_Locate_DevNodeA",          "CM_Get_DevNode_Registry_PropertyA", "CM_Get_Parent", "CM_Get_Device_ID_List_SizeA",
    "CM_Get_Device_ID_ListA",      "CM_Get_Child",                      "CM_Get_Sibling", "CM_Request_Device_EjectA"};

FARPROC ConfigManagerEntry(const std::string& name) {
  if (name == "CM_Locate_DevNodeA") return KV_EXPORT(CM_Locate_DevNodeA, CR_FAILURE);
  if (name == "CM_Get_DevNode_Registry_PropertyA") return KV_EXPORT(CM_Get_DevNode_Registry_PropertyA, CR_FAILURE);
  if (name == "CM_Get_Parent") return KV_EXPORT(CM_Get_Parent, CR_FAILURE);
  if (name == "CM_Get_Device_ID_List_SizeA") return KV_EXPORT(CM_Get_Device_ID_List_SizeA, CR_FAILURE);
  if (name == "CM_Get_Device_ID_ListA") return KV_EXPORT(CM_Get_Device_ID_ListA, CR_FAILURE);
  if (name == "CM_Get_Child") return KV_EXPORT(CM_Get_Child, CR_FAILURE);
  if (name == "CM_Get_Sibling") return KV_EXPORT(CM_Get_Sibling, CR_FAILURE);
  return KV_EXPORT(CM_Request_Device_EjectA, CR_FAILURE);
}

}  // namespace

void TkvSimMachine::InstallStandardExports() {
  const long invalid = -1;
  AddExport("SetupAPI.dll", "SetupDiGetClassDevsA", KV_EXPORT(SetupDiGetClassDevsA, invalid));
  AddExport("SetupAPI.dll", "SetupDiDestroyDeviceInfoList", KV_EXPORT(SetupDiDestroyDeviceInfoList, FALSE));
  AddExport("SetupAPI.dll", "SetupDiEnumDeviceInfo", KV_EXPORT(SetupDiEnumDeviceInfo, FALSE));
  AddExport("SetupAPI.dll", "SetupDiGetDeviceRegistryPropertyA",
            KV_EXPORT(SetupDiGetDeviceRegistryPropertyA, FALSE));
  AddExport("SetupAPI.dll", "SetupDiOpenDevRegKey", KV_EXPORT(SetupDiOpenDevRegKey, invalid));
  AddExport("SetupAPI.dll", "SetupDiEnumDeviceInterfaces", KV_EXPORT(SetupDiEnumDeviceInterfaces, FALSE));
  AddExport("SetupAPI.dll", "SetupDiGetDeviceInterfaceDetailA", KV_EXPORT(SetupDiGetDeviceInterfaceDetailA, FALSE));
  AddExport("SetupAPI.dll", "SetupDiCreateDeviceInfoList", KV_EXPORT(SetupDiCreateDeviceInfoList, invalid));
  AddExport("SetupAPI.dll", "SetupDiCreateDeviceInfoA", ToFarProc(&CreateDeviceInfoA));
  AddExport("SetupAPI.dll", "SetupDiGetINFClassA", ToFarProc(&GetINFClassA));
  AddExport("SetupAPI.dll", "SetupDiSetDeviceRegistryPropertyA",
            ToFarProc(&SetDeviceRegistryPropertyA));
  AddExport("SetupAPI.dll", "SetupDiCallClassInstaller", KV_EXPORT(SetupDiCallClassInstaller, FALSE));
  AddExport("SetupAPI.dll", "SetupDiGetDeviceInstanceIdA", KV_EXPORT(SetupDiGetDeviceInstanceIdA, FALSE));
  AddExport("SetupAPI.dll", "SetupDiRemoveDevice", KV_EXPORT(SetupDiRemoveDevice, FALSE));
  AddExport("SetupAPI.dll", "SetupDiUnremoveDevice", KV_EXPORT(SetupDiUnremoveDevice, FALSE));
  AddExport("SetupAPI.dll", "SetupDiOpenDeviceInfoA", KV_EXPORT(SetupDiOpenDeviceInfoA, FALSE));
  AddExport("SetupAPI.dll", "SetupDiOpenDeviceInfoW", KV_EXPORT(SetupDiOpenDeviceInfoW, FALSE));
  AddExport("SetupAPI.dll", "SetupDiSetClassInstallParamsA", KV_EXPORT(SetupDiSetClassInstallParamsA, FALSE));
  AddExport("SetupAPI.dll", "SetupDiSetClassInstallParamsW", KV_EXPORT(SetupDiSetClassInstallParamsW, FALSE));
  AddExport("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA", KV_EXPORT(UpdateDriverForPlugAndPlayDevicesA, FALSE));
  AddExport("newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", KV_EXPORT(UpdateDriverForPlugAndPlayDevicesW, FALSE));
  for (const char* e : kConfigManagerEntries) {
    AddExport("SetupAPI.dll", e, ConfigManagerEntry(e));
    AddExport("cfgmgr32.dll", e, ConfigManagerEntry(e));
  }
  AddExport("Winusb.dll", "WinUsb_Initialize", KV_EXPORT(WinUsb_Initialize, FALSE));
  AddExport("Winusb.dll", "WinUsb_Free", KV_EXPORT(WinUsb_Free, FALSE));
  AddExport("Winusb.dll", "WinUsb_ReadPipe", KV_EXPORT(WinUsb_ReadPipe, FALSE));
  AddExport("Winusb.dll", "WinUsb_WritePipe", KV_EXPORT(WinUsb_WritePipe, FALSE));
  AddExport("Winusb.dll", "WinUsb_SetPipePolicy", KV_EXPORT(WinUsb_SetPipePolicy, FALSE));
  AddExport("Winusb.dll", "WinUsb_GetOverlappedResult", KV_EXPORT(WinUsb_GetOverlappedResult, FALSE));
  AddExport("Winusb.dll", "WinUsb_AbortPipe", KV_EXPORT(WinUsb_AbortPipe, FALSE));
  AddExport("ntdll.dll", "ZwQueryKey", KV_EXPORT(ZwQueryKey, static_cast<long>(0xC0000008L)));
}

void TkvSimMachine::SetConfigManagerInSetupApi(bool inSetupApi) {
  for (const char* e : kConfigManagerEntries) {
    if (inSetupApi) AddExport("SetupAPI.dll", e, ConfigManagerEntry(e));
    else RemoveExport("SetupAPI.dll", e);
  }
}

}  // namespace kv
