// Prototypes of the Windows services that are bound at run time by name
// (LoadLibraryA/GetProcAddress): SetupAPI, the configuration manager and ntdll.
// The library calls through pointers of these types; the simulated machine
// exports functions of exactly these types.
#pragma once

#include "kvwintypes.h"

namespace kv {

struct SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DWORD InstallFunction;
};
using PNP_VETO_TYPE = int;
// The parameters of DIF_PROPERTYCHANGE (20 bytes on every platform).
struct SP_PROPCHANGE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD StateChange;  // DICS_ENABLE, DICS_DISABLE, DICS_PROPCHANGE ...
  DWORD Scope;        // DICS_FLAG_GLOBAL or DICS_FLAG_CONFIGSPECIFIC
  DWORD HwProfile;    // 0: the current profile
};

// The parameters of one property change, as the setup layer and the 64-bit
// stub hand them to the class installer (kvboundapi.cpp, which the stub
// compiles too).
SP_PROPCHANGE_PARAMS PropertyChangeParams(DWORD StateChange, DWORD Scope);

using TSetupDiGetClassDevsA = HDEVINFO(KVAPI*)(const GUID*, LPCSTR, HWND, DWORD);
using TSetupDiDestroyDeviceInfoList = BOOL(KVAPI*)(HDEVINFO);
using TSetupDiEnumDeviceInfo = BOOL(KVAPI*)(HDEVINFO, DWORD, SP_DEVINFO_DATA*);
using TSetupDiGetDeviceRegistryPropertyA = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*,
                                                       DWORD, DWORD*);
using TSetupDiOpenDevRegKey = HKEY(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD, DWORD, REGSAM);
using TSetupDiEnumDeviceInterfaces = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, const GUID*, DWORD,
                                                 SP_DEVICE_INTERFACE_DATA*);
using TSetupDiGetDeviceInterfaceDetailA = BOOL(KVAPI*)(HDEVINFO, SP_DEVICE_INTERFACE_DATA*,
                                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A*, DWORD, DWORD*,
                                                      SP_DEVINFO_DATA*);
using TSetupDiCreateDeviceInfoList = HDEVINFO(KVAPI*)(const GUID*, HWND);
using TSetupDiCreateDeviceInfoA = BOOL(KVAPI*)(HDEVINFO, LPCSTR, const GUID*, LPCSTR, HWND, DWORD,
                                              SP_DEVINFO_DATA*);
using TSetupDiGetINFClassA = BOOL(KVAPI*)(LPCSTR, GUID*, LPSTR, DWORD, DWORD*);
using TSetupDiSetDeviceRegistryPropertyA = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, const BYTE*,
                                                       DWORD);
using TSetupDiCallClassInstaller = BOOL(KVAPI*)(DWORD, HDEVINFO, SP_DEVINFO_DATA*);
using TSetupDiGetDeviceInstanceIdA = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, LPSTR, DWORD, DWORD*);
using TSetupDiRemoveDevice = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*);
using TSetupDiUnremoveDevice = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*);
using TSetupDiOpenDeviceInfoA = BOOL(KVAPI*)(HDEVINFO, LPCSTR, HWND, DWORD, SP_DEVINFO_DATA*);
using TSetupDiSetClassInstallParamsA = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, SP_CLASSINSTALL_HEADER*,
                                                   DWORD);
// The wide forms, which the 64-bit stub calls.
using TSetupDiOpenDeviceInfoW = BOOL(KVAPI*)(HDEVINFO, const WCHAR*, HWND, DWORD, SP_DEVINFO_DATA*);
using TSetupDiSetClassInstallParamsW = BOOL(KVAPI*)(HDEVINFO, SP_DEVINFO_DATA*, SP_CLASSINSTALL_HEADER*,
                                                   DWORD);
// newdev.dll
using TUpdateDriverForPlugAndPlayDevicesA = BOOL(KVAPI*)(HWND, LPCSTR, LPCSTR, DWORD, BOOL*);
using TUpdateDriverForPlugAndPlayDevicesW = BOOL(KVAPI*)(HWND, const WCHAR*, const WCHAR*, DWORD, BOOL*);
using TCM_Locate_DevNodeA = CONFIGRET(KVAPI*)(DEVINST*, LPCSTR, ULONG);
using TCM_Get_DevNode_Registry_PropertyA = CONFIGRET(KVAPI*)(DEVINST, ULONG, ULONG*, void*, ULONG*, ULONG);
using TCM_Get_Parent = CONFIGRET(KVAPI*)(DEVINST*, DEVINST, ULONG);
using TCM_Get_Device_ID_List_SizeA = CONFIGRET(KVAPI*)(ULONG*, LPCSTR, ULONG);
using TCM_Get_Device_ID_ListA = CONFIGRET(KVAPI*)(LPCSTR, char*, ULONG, ULONG);
using TCM_Get_Child = CONFIGRET(KVAPI*)(DEVINST*, DEVINST, ULONG);
using TCM_Get_Sibling = CONFIGRET(KVAPI*)(DEVINST*, DEVINST, ULONG);
using TCM_Request_Device_EjectA = CONFIGRET(KVAPI*)(DEVINST, PNP_VETO_TYPE*, LPSTR, ULONG, ULONG);
// WinUSB ("Winusb.dll"). The interface handle is the library's own pointer.
using WINUSB_INTERFACE_HANDLE = void*;
using TWinUsb_Initialize = BOOL(KVAPI*)(HANDLE, WINUSB_INTERFACE_HANDLE*);
using TWinUsb_Free = BOOL(KVAPI*)(WINUSB_INTERFACE_HANDLE);
using TWinUsb_ReadPipe = BOOL(KVAPI*)(WINUSB_INTERFACE_HANDLE, BYTE, BYTE*, ULONG, ULONG*, OVERLAPPED*);
using TWinUsb_WritePipe = BOOL(KVAPI*)(WINUSB_INTERFACE_HANDLE, BYTE, BYTE*, ULONG, ULONG*, OVERLAPPED*);
using TWinUsb_SetPipePolicy = BOOL(KVAPI*)(WINUSB_INTERFACE_HANDLE, BYTE, ULONG, ULONG, void*);
using TWinUsb_GetOverlappedResult = BOOL(KVAPI*)(WINUSB_INTERFACE_HANDLE, OVERLAPPED*, DWORD*, BOOL);
using TWinUsb_AbortPipe = BOOL(KVAPI*)(WINUSB_INTERFACE_HANDLE, BYTE);
using TZwQueryKey = NTSTATUS(KVAPI*)(HANDLE, int, void*, ULONG, ULONG*);

}  // namespace kv
