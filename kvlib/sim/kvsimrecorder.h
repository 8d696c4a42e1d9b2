// Capturing a machine: a recording machine that forwards every call to the
// machine below it (the real one or a simulated one) and keeps what the
// library read, and the writer that turns the recording into a machine
// description (docs/machine-description.md) that replays identically.
//
// What is kept: the devnodes walked (ids, setup classes, registry properties,
// hardware keys and their kernel names, relations, interfaces), the registry
// values and keys read, drives and their types, the Windows version and WOW64
// state, the libraries and entry points found missing, and every request to a
// host controller or hub with its input and its reply byte for byte, or its
// failure and last error.
//
// Capturing never changes the machine: reading calls pass, calls that change
// something (registry writes, processes, device state changes, driver
// updates, requests other than the hub and host-controller reads) are refused
// with ERROR_ACCESS_DENIED (CR_ACCESS_DENIED for the configuration manager).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvboundapi.h"
#include "kvlock.h"
#include "kvplatform.h"

namespace kv {

struct TkvCaptureOptions {
  std::string Name;             // the description's "name" (UTF-8)
  bool KeepSerials = false;     // false: serial numbers become stable placeholders
  unsigned CodePage = 0;        // ANSI code page of the texts read; 0: the host's
};

// What a capture of this machine is named and which code page its texts are
// in: a simulated machine's own, so that the capture of a replay is the same
// file; "this machine" in the host's code page otherwise.
TkvCaptureOptions CaptureOptionsOf(TkvMachine& machine);

struct TkvCaptureResult {
  std::string Json;              // the machine description
  unsigned SerialsReplaced = 0;  // serial numbers replaced by placeholders
};

class TkvRecordingMachine : public TkvMachine {
 public:
  explicit TkvRecordingMachine(TkvMachine& below);
  ~TkvRecordingMachine() override;

  // Writes what was recorded as a machine description.
  TkvCaptureResult Describe(const TkvCaptureOptions& options) const;

  // ---- TkvMachine ----------------------------------------------------------
  TkvMachine* Below() override { return &FBelow; }
  HMODULE LoadLibraryA(LPCSTR name) override;
  FARPROC GetProcAddress(HMODULE module, LPCSTR name) override;
  BOOL FreeLibrary(HMODULE module) override;
  HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa, DWORD disposition,
                     DWORD flags, HANDLE templ) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned, OVERLAPPED* overlapped) override;
  BOOL CloseHandle(HANDLE handle) override;
  LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) override;
  LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM access,
                       SECURITY_ATTRIBUTES* sa, HKEY* result, DWORD* disposition) override;
  LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* size) override;
  LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD size) override;
  LONG RegDeleteValueA(HKEY key, LPCSTR valueName) override;
  LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, DWORD* type,
                     BYTE* data, DWORD* dataSize) override;
  LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, LPSTR cls,
                     DWORD* clsSize, void* lastWrite) override;
  LONG RegCloseKey(HKEY key) override;
  DWORD GetLogicalDrives() override;
  UINT GetDriveTypeA(LPCSTR rootPath) override;
  BOOL GetVersionExA(OSVERSIONINFOA* info) override;
  BOOL IsWow64() override;
  BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, SECURITY_ATTRIBUTES* processSa,
                      SECURITY_ATTRIBUTES* threadSa, BOOL inheritHandles, DWORD flags, void* environment,
                      LPCSTR directory, STARTUPINFOA* startup, PROCESS_INFORMATION* info) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;

  // ---- the bound services, recorded (called through the recorder's entry points)
  HDEVINFO SetupDiGetClassDevsA(const GUID* cls, LPCSTR enumerator, HWND parent, DWORD flags);
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data);
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, DWORD* type,
                                         BYTE* buffer, DWORD size, DWORD* required);
  HKEY SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD scope, DWORD profile, DWORD keyType,
                            REGSAM access);
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data, const GUID* cls, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* iface);
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required,
                                        SP_DEVINFO_DATA* data);
  HDEVINFO SetupDiCreateDeviceInfoList(const GUID* cls, HWND parent);
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, LPSTR buffer, DWORD size,
                                   DWORD* required);
  BOOL SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND parent, DWORD flags, SP_DEVINFO_DATA* data);
  BOOL SetupDiGetINFClassA(LPCSTR inf, GUID* cls, LPSTR name, DWORD size, DWORD* required);
  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, LPCSTR id, ULONG flags);
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type, void* buffer,
                                              ULONG* length, ULONG flags);
  CONFIGRET CM_Get_Parent(DEVINST* result, DEVINST node, ULONG flags);
  CONFIGRET CM_Get_Child(DEVINST* result, DEVINST node, ULONG flags);
  CONFIGRET CM_Get_Sibling(DEVINST* result, DEVINST node, ULONG flags);
  CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, LPCSTR filter, ULONG flags);
  CONFIGRET CM_Get_Device_ID_ListA(LPCSTR filter, char* buffer, ULONG length, ULONG flags);
  NTSTATUS ZwQueryKey(HANDLE key, int infoClass, void* buffer, ULONG length, ULONG* resultLength);

  struct TRecording;  // what was read; see kvsimrecorder.cpp

 private:
  template <class T, int Index>
  T BelowEntry() const;

  TkvMachine& FBelow;
  mutable TkvMutex FLock;
  std::unique_ptr<TRecording> FRec KV_PT_GUARDED_BY(FLock);
  // The machine's own entry points, by the recorder's entry index; set when
  // the library looks them up, read by every recorded call (without the lock).
  std::atomic<FARPROC> FBelowEntries[32] = {};
};

}  // namespace kv
