// A simulated Windows machine: devnodes with their setup classes and
// properties, the registry, drives, the Windows version, the services that
// the library binds at run time, device objects reached through CreateFileA
// and DeviceIoControl, and the programs the library starts.
//
// It serves three purposes: the programs can show a machine without the
// hardware (the built-in demo machine), every library path runs natively in
// the tests, and a test can break one thing on purpose (a missing library or
// entry point, a failing call) and see the library cope.
//
// Build one in code (the builder methods below) or from a machine description
// (JSON; see docs/machine-description.md). All operations are thread-safe.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "kvboundapi.h"
#include "kvlock.h"
#include "kvplatform.h"

namespace kv {

class TkvSimWinUsb;

// A device object opened by path through CreateFileA (a host controller, a
// hub, a WinUSB device). The machine's lock is held during these calls.
class TkvSimDeviceObject {
 public:
  virtual ~TkvSimDeviceObject() = default;
  // Answers one request like the driver would: on failure return FALSE and set
  // *error (the caller makes it the last error).
  virtual BOOL Ioctl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned,
                     DWORD* error) = 0;
};

struct TkvSimValue {
  DWORD Type = REG_NONE;
  // Bytes as stored. Text values given as text are stored as UTF-16 (as
  // Windows does) and converted to ANSI by the A functions.
  std::vector<BYTE> Data;
  bool Wide = false;
};

struct TkvSimKey {
  std::string Name;
  std::string KernelAlias;  // name of this component in the kernel's key path; set with SetKernelAlias
  TkvSimKey* Parent = nullptr;
  std::vector<std::unique_ptr<TkvSimKey>> Children;  // in creation order (the order of RegEnumKeyExA)
  std::vector<std::pair<std::string, TkvSimValue>> Values;
  // Finds a child by its name or its kernel name, without regard to case.
  TkvSimKey* Child(const std::string& name) const;
  TkvSimValue* Value(const std::string& name);
  void AddChild(std::unique_ptr<TkvSimKey> child);
  void SetKernelAlias(const std::string& alias);

 private:
  // Lookups by upper-case name: machines with thousands of devices have keys
  // with thousands of children.
  std::map<std::string, TkvSimKey*> FByName;
};

struct TkvSimInterface {
  GUID InterfaceClass{};
  std::string Path;
};

struct TkvSimDevnode {
  DEVINST Handle = 0;  // index + 1; the root is 1
  std::string InstanceId;
  TkvSimDevnode* Parent = nullptr;
  std::vector<TkvSimDevnode*> Children;
  std::size_t IndexInParent = 0;  // position among the parent's children
  GUID ClassGuid{};
  bool Present = true;
  // Registry properties by their SPDRP code (the CM_DRP code is one more).
  std::map<DWORD, TkvSimValue> Properties;
  std::string HardwareKey;  // below HKEY_LOCAL_MACHINE; empty: the key cannot be opened
  std::vector<TkvSimInterface> Interfaces;
  std::optional<std::vector<std::string>> BusRelations;  // default: the children
  std::vector<std::string> RemovalRelations;
  bool InstanceIdSizeZero = false;  // SetupDiGetDeviceInstanceIdA reports a size of 0
  // Set by the state operations. A disabled device stays in the tree but is
  // not configured (no open pipes); a removed one (SetupDiRemoveDevice, an
  // accepted eject) is gone from the tree and its port until it is re-added.
  bool Disabled = false;
  bool Removed = false;
  unsigned Restarts = 0;  // property changes and driver updates that restarted it
  // Eject: the next EjectVetoes requests are refused, naming VetoName.
  int EjectVetoes = 0;
  std::string VetoName;
  unsigned EjectRequests = 0;
};

// One call of the class installer, with the parameters set for the device.
struct TkvSimInstallerCall {
  DWORD Function = 0;
  std::string InstanceId;
  bool HasParams = false;
  SP_PROPCHANGE_PARAMS Params{};
  bool From64Bit = false;  // made by a 64-bit process (the stub)
  bool Ok = false;
  DWORD Error = 0;
};

// One call of newdev's driver update.
struct TkvSimDriverUpdate {
  std::string HardwareId;
  std::string InfPath;
  DWORD Flags = 0;
  bool Wide = false;       // through UpdateDriverForPlugAndPlayDevicesW
  bool From64Bit = false;  // made by a 64-bit process (the stub)
  bool Ok = false;
  DWORD Error = 0;
  std::string InfText;  // the INF as newdev read it from the host; "" when it read none
};

struct TkvSimDriverPackage;

class TkvSimMachine : public TkvMachine {
 public:
  // An empty machine: the root devnode, the standard registry roots, no
  // drives, Windows XP SP3 (5.1.2600), all services present.
  TkvSimMachine();
  ~TkvSimMachine() override;

  // Loads a machine description (JSON text). Throws std::runtime_error with a
  // message naming the fault when the description is malformed.
  static std::unique_ptr<TkvSimMachine> FromJson(const std::string& text);
  static std::unique_ptr<TkvSimMachine> FromFile(const std::string& path);
  std::string Name() const {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    return FName;
  }
  unsigned CodePage() const {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    return FCodePage;
  }

  // ---- builder -------------------------------------------------------------
  struct DevnodeSpec {
    std::string InstanceId;
    GUID ClassGuid{};
    std::string DriverKey, Description, Service, Manufacturer, PdoName, FriendlyName;
    std::vector<std::string> HardwareIds;
    bool Present = true;
    // Values of the device's hardware key ("Device Parameters"); the key
    // exists when this is not empty or WithHardwareKey is set.
    std::vector<std::pair<std::string, std::string>> Parameters;
    bool WithHardwareKey = true;
  };
  // Adds a devnode below Parent (nullptr: the root) and returns it.
  TkvSimDevnode& AddDevnode(const DevnodeSpec& spec, TkvSimDevnode* parent = nullptr);
  TkvSimDevnode& Root() {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    return *FDevnodes.front();
  }
  TkvSimDevnode* FindDevnode(const std::string& instanceId);
  void SetProperty(TkvSimDevnode& node, DWORD spdrp, const std::string& utf8Text);
  // Marks every devnode whose driver key (SPDRP_DRIVER) is DriverKey, without
  // regard to case, as present or not.
  void SetPresentByDriverKey(const std::string& driverKey, bool present);

  // Registry: paths like "SYSTEM\\MountedDevices" below a predefined root.
  TkvSimKey& CreateKey(HKEY root, const std::string& path);
  void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& utf8Text,
                 bool withZero = true, DWORD type = REG_SZ);
  void SetBinary(HKEY root, const std::string& path, const std::string& name, const std::vector<BYTE>& data);
  void SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value);
  const TkvSimValue* GetValue(HKEY root, const std::string& path, const std::string& name);

  void SetDrive(char letter, UINT type);
  void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platform, const std::string& servicePack);
  // A 64-bit Windows on which the library is a 32-bit process: property
  // changes, removals and driver updates of the class installer fail with
  // ERROR_IN_WOW64 unless they come from a 64-bit process (the stub).
  void SetWow64(bool wow64);

  // ---- device state, class installer, driver packages ------------------------
  TkvSimDevnode* FindDevnodeByDriverKey(const std::string& driverKey);
  // Refuses the next `count` eject requests for the device with this veto name.
  void SetEjectVetoes(TkvSimDevnode& node, int count, const std::string& vetoName);
  std::vector<TkvSimInstallerCall> InstallerCalls() const;
  std::vector<TkvSimDriverUpdate> DriverUpdates() const;
  // A driver package: installing InfPath gives the matching devices Service.
  void AddDriverPackage(const std::string& infPath, const std::string& service);
  // Reads a package for a driver update: ERROR_SUCCESS and its service, or
  // the error the update fails with. The default knows the packages added
  // with AddDriverPackage and reads others from the host's file system: the
  // INF must name the hardware id in the model section of the platform and
  // the files it copies must be in the package; the device then gets the
  // package's service, class, description, a driver key, its device
  // interfaces and the "SymbolicName" of its hardware key, and its port
  // reports the driver key.
  using TDriverPackageReader = std::function<DWORD(const std::string& infPath, std::string& service)>;
  void SetDriverPackageReader(TDriverPackageReader reader);
  // Each change of a devnode's state is broadcast (BroadcastDeviceChange,
  // DBT_DEVNODES_CHANGED, posted to the program's top-level windows) while
  // this machine is installed. The hook, too, is called with each change, on
  // the thread that made it, while the machine is locked.
  using TDeviceChangeHook = std::function<void(WPARAM event)>;
  void SetDeviceChangeHook(TDeviceChangeHook hook);
  unsigned DeviceChangeCount() const;
  // How many times the stub ran on this machine.
  unsigned StubRuns() const;

  // Services bound at run time.
  void RemoveLibrary(const std::string& library);
  void RemoveExport(const std::string& library, const std::string& entry);
  // Whether SetupAPI.dll exports the configuration manager's CM_Locate_DevNodeA
  // (and with it the other CM_ functions); otherwise only cfgmgr32.dll does.
  void SetConfigManagerInSetupApi(bool inSetupApi);
  unsigned LoadCount(const std::string& library) const;
  unsigned LookupCount() const {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    return FLookups;
  }
  // Registers an extra export (e.g. WinUSB or newdev entry points).
  void AddExport(const std::string& library, const std::string& entry, FARPROC proc);

  // Device objects opened by path (compared without regard to case).
  void AddDeviceObject(const std::string& path, std::shared_ptr<TkvSimDeviceObject> object);
  void RemoveDeviceObject(const std::string& path);
  // Device, process and thread handles not yet closed.
  std::size_t OpenHandleCount() const;
  // The object registered under path, nullptr when there is none.
  std::shared_ptr<TkvSimDeviceObject> FindDeviceObject(const std::string& path) const;

  // Programs the library starts: the command line's program file name
  // (without folder) picks the handler; it returns the exit code.
  using TProgram = std::function<DWORD(const std::string& commandLine, const std::string& directory)>;
  void AddProgram(const std::string& fileName, TProgram program);
  void AddProgram(const std::string& fileName, DWORD exitCode);
  std::vector<std::string> StartedCommandLines() const;

  // ---- failures and counters -----------------------------------------------
  // Makes the named operation (its Win32 name, e.g. "RegOpenKeyExA",
  // "SetupDiOpenDevRegKey", "DeviceIoControl") fail `count` times (-1: always)
  // with `error`. Registry and CM functions return the error as their status.
  // A name the machine does not know (a misspelt one would never fire) throws
  // std::invalid_argument.
  void Fail(const std::string& operation, DWORD error, int count = -1);
  // Whether Fail accepts the name: a TkvMachine operation or an entry point
  // of a library of this machine.
  bool KnowsOperation(const std::string& operation) const;
  void ClearFailures();
  // Number of calls made into this machine since creation (or ResetCallCount).
  unsigned long CallCount() const { return FCalls.load(); }
  void ResetCallCount() { FCalls = 0; }
  // What was handed out and not given back: open handles (devices, processes,
  // threads), open registry keys, device information sets, and library
  // references (LoadLibraryA without its FreeLibrary).
  struct TOutstanding {
    std::size_t Handles = 0, Keys = 0, DevInfoSets = 0, Libraries = 0;
    bool operator==(const TOutstanding& o) const {
      return Handles == o.Handles && Keys == o.Keys && DevInfoSets == o.DevInfoSets && Libraries == o.Libraries;
    }
    bool operator!=(const TOutstanding& o) const { return !(*this == o); }
    friend std::ostream& operator<<(std::ostream& out, const TOutstanding& o) {
      return out << o.Handles << " handles, " << o.Keys << " registry keys, " << o.DevInfoSets
                 << " device information sets, " << o.Libraries << " library references";
    }
  };
  TOutstanding Outstanding() const;
  // A readable dump of the machine, for failure messages: devnodes, device
  // objects, armed failures, missing libraries and entries, and what is
  // outstanding.
  std::string Dump() const;

  // ---- TkvMachine ----------------------------------------------------------
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

  // ---- the exported services (called through the trampolines) --------------
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
  BOOL SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND parent, DWORD flags,
                              SP_DEVINFO_DATA* data);
  BOOL SetupDiOpenDeviceInfoW(HDEVINFO set, const WCHAR* instanceId, HWND parent, DWORD flags,
                              SP_DEVINFO_DATA* data);
  BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params,
                                     DWORD size);
  BOOL SetupDiSetClassInstallParamsW(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params,
                                     DWORD size);
  BOOL SetupDiCallClassInstaller(DWORD function, HDEVINFO set, SP_DEVINFO_DATA* data);
  BOOL SetupDiRemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data);
  BOOL SetupDiUnremoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data);
  CONFIGRET CM_Request_Device_EjectA(DEVINST node, PNP_VETO_TYPE* vetoType, LPSTR vetoName, ULONG length,
                                     ULONG flags);
  BOOL UpdateDriverForPlugAndPlayDevicesA(HWND owner, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                          BOOL* reboot);
  BOOL UpdateDriverForPlugAndPlayDevicesW(HWND owner, const WCHAR* hardwareId, const WCHAR* infPath, DWORD flags,
                                          BOOL* reboot);
  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, LPCSTR id, ULONG flags);
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type, void* buffer,
                                              ULONG* length, ULONG flags);
  CONFIGRET CM_Get_Parent(DEVINST* result, DEVINST node, ULONG flags);
  CONFIGRET CM_Get_Child(DEVINST* result, DEVINST node, ULONG flags);
  CONFIGRET CM_Get_Sibling(DEVINST* result, DEVINST node, ULONG flags);
  CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, LPCSTR filter, ULONG flags);
  CONFIGRET CM_Get_Device_ID_ListA(LPCSTR filter, char* buffer, ULONG length, ULONG flags);
  NTSTATUS ZwQueryKey(HANDLE key, int infoClass, void* buffer, ULONG length, ULONG* resultLength);
  // WinUSB (kvsimwinusb.cpp): on handles of TkvSimWinUsb devices.
  BOOL WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle);
  BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE handle);
  BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, BYTE pipe, BYTE* buffer, ULONG length, ULONG* transferred,
                       OVERLAPPED* overlapped);
  BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, BYTE pipe, BYTE* buffer, ULONG length, ULONG* transferred,
                        OVERLAPPED* overlapped);
  BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, BYTE pipe, ULONG type, ULONG length, void* value);
  BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait);
  BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, BYTE pipe);
  // Interface handles not yet freed.
  std::size_t WinUsbInterfaceCount() const;

  // Counts a call and reports whether the operation was made to fail; on
  // failure *error holds the error to report. Public for the trampolines and
  // the device objects of other files.
  bool Enter(const char* operation, DWORD* error);
  // Enter for an operation that reports failure through the last error: a
  // failure chosen for it is set as the thread's last error.
  bool EnterFails(const char* operation);
  TkvRecursiveMutex& Lock() const KV_RETURN_CAPABILITY(FLock) { return FLock; }

 private:
  struct DevInfoSet {
    std::vector<TkvSimDevnode*> Devices;
    std::set<const TkvSimDevnode*> Members;  // the same devices, for quick membership tests
    bool Interfaces = false;  // made with DIGCF_DEVICEINTERFACE
    GUID InterfaceClass{};
    std::map<const TkvSimDevnode*, SP_PROPCHANGE_PARAMS> Params;  // class-install parameters
  };
  struct Library {
    std::string Name;
    bool Present = true;
    HMODULE Handle = nullptr;
    unsigned Loads = 0;
    unsigned References = 0;
    std::map<std::string, FARPROC> Exports;  // by exact entry name
    std::set<std::string> Removed;           // entries taken away with RemoveExport
  };
  struct OpenHandle {
    enum Kind { Device, Process, Thread } What = Device;
    std::shared_ptr<TkvSimDeviceObject> Object;
    DWORD ExitCode = 0;
  };
  std::map<std::string, std::shared_ptr<TkvSimDeviceObject>>::iterator FindByAnsiName(const std::string& name)
      KV_REQUIRES(FLock);
  TkvSimKey* RootKey(HKEY root) KV_REQUIRES(FLock);
  TkvSimKey* KeyFromHandle(HKEY key) KV_REQUIRES(FLock);
  TkvSimKey* FindKey(TkvSimKey* from, const std::string& path, bool create) KV_REQUIRES(FLock);
  HKEY NewKeyHandle(TkvSimKey* key) KV_REQUIRES(FLock);
  std::string KernelName(const TkvSimKey* key) const KV_REQUIRES(FLock);
  TkvSimDevnode* Devnode(DEVINST handle) KV_REQUIRES(FLock);
  DevInfoSet* Set(HDEVINFO set) KV_REQUIRES(FLock);
  TkvSimDevnode* DeviceOf(DevInfoSet* set, SP_DEVINFO_DATA* data) KV_REQUIRES(FLock);
  std::vector<std::string> Relations(const TkvSimDevnode& node, ULONG flags) KV_REQUIRES(FLock);
  std::string Ansi(const TkvSimValue& value) KV_REQUIRES(FLock);
  void InstallStandardExports() KV_REQUIRES(FLock);
  BOOL SetClassInstallParams(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params, DWORD size,
                             const char* operation);
  // The device a removal or re-adding changes; nullptr, with the last error
  // set, for a set or record that names none and for a 32-bit caller that
  // 64-bit Windows refuses.
  TkvSimDevnode* StateChangeDevice(HDEVINFO set, SP_DEVINFO_DATA* data) KV_REQUIRES(FLock);
  BOOL UpdateDriver(const std::string& hardwareId, const std::string& infPath, DWORD flags, bool wide,
                    BOOL* reboot);
  // Whether a call comes from a 32-bit process that 64-bit Windows refuses.
  bool RefusedInWow64() const;
  void DeviceChanged();
  // Starts the stub from the file at `path` in-process; false (with the last
  // error set) when the file is not the stub the program carries.
  bool RunStub(const std::string& path, const std::string& commandLine, DWORD& exitCode);
  void ApplyDriverPackage(TkvSimDevnode& node, const TkvSimDriverPackage& package);
  std::shared_ptr<TkvSimWinUsb> WinUsbInterface(WINUSB_INTERFACE_HANDLE handle);

  mutable TkvRecursiveMutex FLock;
  std::string FName KV_GUARDED_BY(FLock) = "empty machine";
  unsigned FCodePage KV_GUARDED_BY(FLock) = 1252;
  std::vector<std::unique_ptr<TkvSimDevnode>> FDevnodes KV_GUARDED_BY(FLock);
  std::map<std::string, TkvSimDevnode*> FDevnodeById KV_GUARDED_BY(FLock);  // by upper-case instance id
  std::map<std::string, std::unique_ptr<TkvSimKey>> FRoots KV_GUARDED_BY(FLock);  // by root name: HKLM, HKCU, HKCR, HKU
  std::map<ULONG_PTR, TkvSimKey*> FKeyHandles KV_GUARDED_BY(FLock);
  std::map<ULONG_PTR, std::unique_ptr<DevInfoSet>> FSets KV_GUARDED_BY(FLock);
  std::map<std::string, Library> FLibraries KV_GUARDED_BY(FLock);  // by upper-case name without ".DLL"
  std::map<ULONG_PTR, std::unique_ptr<OpenHandle>> FHandles KV_GUARDED_BY(FLock);
  std::map<ULONG_PTR, std::shared_ptr<TkvSimWinUsb>> FInterfaces KV_GUARDED_BY(FLock);  // WinUSB interface handles
  std::map<std::string, std::shared_ptr<TkvSimDeviceObject>> FDeviceObjects KV_GUARDED_BY(FLock);  // by upper-case path
  std::map<std::string, TProgram> FPrograms KV_GUARDED_BY(FLock);  // by upper-case file name
  std::vector<std::string> FStarted KV_GUARDED_BY(FLock);
  struct Failure {
    DWORD Error;
    int Count;
  };
  std::map<std::string, Failure> FFailures KV_GUARDED_BY(FLock);
  std::set<std::string> FExportNames KV_GUARDED_BY(FLock);  // every entry point ever added, for KnowsOperation
  std::map<char, UINT> FDrives KV_GUARDED_BY(FLock);
  OSVERSIONINFOA FVersion KV_GUARDED_BY(FLock){};
  bool FWow64 KV_GUARDED_BY(FLock) = false;
  std::map<std::string, TkvSimDevnode*> FDevnodeByDriverKey;  // by upper-case driver key
  std::vector<TkvSimInstallerCall> FInstallerCalls;
  std::vector<TkvSimDriverUpdate> FDriverUpdates;
  std::map<std::string, std::string> FDriverPackages;  // upper-case INF path -> service
  TDriverPackageReader FPackageReader;
  TDeviceChangeHook FDeviceChangeHook;
  unsigned FDeviceChanges = 0;
  unsigned FStubRuns = 0;
  ULONG_PTR FNextHandle KV_GUARDED_BY(FLock) = 0x10;
  std::atomic<unsigned long> FCalls{0};
  unsigned FLookups KV_GUARDED_BY(FLock) = 0;

  friend class TkvSimDescriptionLoader;
};

// The short name of a predefined registry root as descriptions spell it
// ("HKLM", "HKCU", "HKCR", "HKU"), or "" for any other key.
std::string RegistryRootName(HKEY root);

// The built-in demo machine (created on first use).
TkvSimMachine& DemoMachine();
// A machine of its own built from the same description, for a caller that
// changes it (devices arriving and leaving).
std::unique_ptr<TkvSimMachine> NewDemoMachine();

}  // namespace kv
