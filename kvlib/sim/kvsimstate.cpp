// The simulated machine's device state: the class installer (property
// changes), removal and re-adding, ejection with vetoes, newdev's driver
// update, the device-change broadcast, and the 64-bit stub as a process.
#include <cstring>

#include "kvcmdline.h"
#include "kvsimdriver.h"
#include "kvsimmachine.h"
#include "kvsimusb.h"
#include "kvstubrequest.h"
#include "kvtext.h"
#include "kvutils.h"

namespace kv {

namespace {

constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_NO_CLASSINSTALL_PARAMS = 0xE0000215;

// Calls made by the stub running on this thread come from a 64-bit process.
thread_local int tStubDepth = 0;

struct TStubProcess {
  TStubProcess() { ++tStubDepth; }
  ~TStubProcess() { --tStubDepth; }
};

std::string Narrow(const WCHAR* text) {
  if (!text) return std::string();
  std::u16string w;
  for (std::size_t i = 0; text[i]; ++i) w += text[i];
  return Utf16ToUtf8(w);
}

// The items of a REG_MULTI_SZ property stored as UTF-16.
std::vector<std::string> MultiSz(const TkvSimValue& value) {
  std::vector<std::string> items;
  std::u16string item;
  for (std::size_t i = 0; i + 1 < value.Data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(value.Data[i] | value.Data[i + 1] << 8);
    if (c) {
      item += c;
    } else {
      if (item.empty()) break;
      items.push_back(Utf16ToUtf8(item));
      item.clear();
    }
  }
  if (!item.empty()) items.push_back(Utf16ToUtf8(item));
  return items;
}

}  // namespace

bool TkvSimMachine::RefusedInWow64() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FWow64 && tStubDepth == 0;
}

void TkvSimMachine::DeviceChanged() {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  ++FDeviceChanges;
  if (FDeviceChangeHook) FDeviceChangeHook(DBT_DEVNODES_CHANGED);
  // The program's windows hear of it as from Windows (posted, never waited for).
  if (&Machine() == this) BroadcastDeviceChange(DBT_DEVNODES_CHANGED);
}

TkvSimDevnode* TkvSimMachine::FindDevnodeByDriverKey(const std::string& driverKey) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FDevnodeByDriverKey.find(UpperAscii(driverKey));
  return it == FDevnodeByDriverKey.end() ? nullptr : it->second;
}

void TkvSimMachine::SetEjectVetoes(TkvSimDevnode& node, int count, const std::string& vetoName) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  node.EjectVetoes = count;
  node.VetoName = vetoName;
}

std::vector<TkvSimInstallerCall> TkvSimMachine::InstallerCalls() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FInstallerCalls;
}

std::vector<TkvSimDriverUpdate> TkvSimMachine::DriverUpdates() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FDriverUpdates;
}

void TkvSimMachine::AddDriverPackage(const std::string& infPath, const std::string& service) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FDriverPackages[UpperAscii(infPath)] = service;
}

void TkvSimMachine::SetDriverPackageReader(TDriverPackageReader reader) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FPackageReader = std::move(reader);
}

void TkvSimMachine::SetDeviceChangeHook(TDeviceChangeHook hook) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FDeviceChangeHook = std::move(hook);
}

unsigned TkvSimMachine::DeviceChangeCount() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FDeviceChanges;
}

unsigned TkvSimMachine::StubRuns() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FStubRuns;
}

// ---- SetupAPI ------------------------------------------------------------------

BOOL TkvSimMachine::SetupDiOpenDeviceInfoW(HDEVINFO set, const WCHAR* instanceId, HWND parent, DWORD flags,
                                           SP_DEVINFO_DATA* data) {
  if (EnterFails("SetupDiOpenDeviceInfoW")) return FALSE;
  if (!instanceId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string id = Narrow(instanceId);
  return SetupDiOpenDeviceInfoA(set, id.c_str(), parent, flags, data);
}

BOOL TkvSimMachine::SetClassInstallParams(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params,
                                          DWORD size, const char* operation) {
  if (EnterFails(operation)) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DevInfoSet* s = Set(set);
  TkvSimDevnode* node = DeviceOf(s, data);
  if (!s || !node) {
    SetLastError(s ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!params) {  // clears them
    s->Params.erase(node);
    return TRUE;
  }
  if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER) || size != sizeof(SP_PROPCHANGE_PARAMS) ||
      params->InstallFunction != DIF_PROPERTYCHANGE) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  SP_PROPCHANGE_PARAMS p;
  std::memcpy(&p, params, sizeof(p));
  s->Params[node] = p;
  return TRUE;
}

BOOL TkvSimMachine::SetupDiSetClassInstallParamsA(HDEVINFO set, SP_DEVINFO_DATA* data,
                                                  SP_CLASSINSTALL_HEADER* params, DWORD size) {
  return SetClassInstallParams(set, data, params, size, "SetupDiSetClassInstallParamsA");
}

BOOL TkvSimMachine::SetupDiSetClassInstallParamsW(HDEVINFO set, SP_DEVINFO_DATA* data,
                                                  SP_CLASSINSTALL_HEADER* params, DWORD size) {
  return SetClassInstallParams(set, data, params, size, "SetupDiSetClassInstallParamsW");
}

BOOL TkvSimMachine::SetupDiCallClassInstaller(DWORD function, HDEVINFO set, SP_DEVINFO_DATA* data) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DevInfoSet* s = Set(set);
  TkvSimDevnode* node = DeviceOf(s, data);
  TkvSimInstallerCall call;
  call.Function = function;
  call.From64Bit = tStubDepth > 0;
  if (node) call.InstanceId = node->InstanceId;
  if (s && node) {
    auto it = s->Params.find(node);
    if (it != s->Params.end()) {
      call.HasParams = true;
      call.Params = it->second;
    }
  }
  DWORD error = ERROR_SUCCESS;
  const bool forced = Enter("SetupDiCallClassInstaller", &error);
  if (forced) {
    // the failure chosen by the test, which may leave no error code
  } else if (!s) {
    error = ERROR_INVALID_HANDLE;
  } else if (!node) {
    error = ERROR_INVALID_PARAMETER;
  } else if (function != DIF_PROPERTYCHANGE) {
    error = ERROR_DI_DO_DEFAULT;  // nothing else is installed here
  } else if (RefusedInWow64()) {
    error = ERROR_IN_WOW64;
  } else if (!call.HasParams) {
    error = ERROR_NO_CLASSINSTALL_PARAMS;
  }
  call.Ok = !forced && error == ERROR_SUCCESS;
  call.Error = error;
  FInstallerCalls.push_back(call);
  if (!call.Ok) {
    SetLastError(error);
    return FALSE;
  }
  bool changed = false;
  switch (call.Params.StateChange) {
    case DICS_ENABLE:
      changed = node->Disabled;
      node->Disabled = false;
      break;
    case DICS_DISABLE:
      changed = !node->Disabled;
      node->Disabled = true;
      break;
    default:  // DICS_PROPCHANGE and the others restart the device
      ++node->Restarts;
      changed = true;
      break;
  }
  if (changed) DeviceChanged();
  return TRUE;
}

TkvSimDevnode* TkvSimMachine::StateChangeDevice(HDEVINFO set, SP_DEVINFO_DATA* data) {
  DevInfoSet* s = Set(set);
  TkvSimDevnode* node = DeviceOf(s, data);
  if (!node) {
    SetLastError(s ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (RefusedInWow64()) {
    SetLastError(ERROR_IN_WOW64);
    return nullptr;
  }
  return node;
}

BOOL TkvSimMachine::SetupDiRemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data) {
  if (EnterFails("SetupDiRemoveDevice")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* node = StateChangeDevice(set, data);
  if (!node) return FALSE;
  if (!node->Removed) {
    node->Removed = true;
    node->Present = false;
    DeviceChanged();
  }
  return TRUE;
}

BOOL TkvSimMachine::SetupDiUnremoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data) {
  if (EnterFails("SetupDiUnremoveDevice")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* node = StateChangeDevice(set, data);
  if (!node) return FALSE;
  if (node->Removed) {
    node->Removed = false;
    node->Present = true;
    ++node->Restarts;
    DeviceChanged();
  }
  return TRUE;
}

// ---- configuration manager -------------------------------------------------------

CONFIGRET TkvSimMachine::CM_Request_Device_EjectA(DEVINST devinst, PNP_VETO_TYPE* vetoType, LPSTR vetoName,
                                                  ULONG length, ULONG) {
  DWORD error = 0;
  if (Enter("CM_Request_Device_EjectA", &error)) return static_cast<CONFIGRET>(error ? error : CR_FAILURE);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* node = Devnode(devinst);
  if (!node || node->Removed) return CR_INVALID_DEVNODE;
  ++node->EjectRequests;
  if (vetoType) *vetoType = 0;
  if (vetoName && length > 0) vetoName[0] = '\0';
  if (node->EjectVetoes > 0) {
    --node->EjectVetoes;
    if (vetoType) *vetoType = PNP_VetoDevice;
    if (vetoName && length > 0) {
      const std::size_t n = std::min<std::size_t>(node->VetoName.size(), length - 1);
      std::memcpy(vetoName, node->VetoName.data(), n);
      vetoName[n] = '\0';
    }
    return CR_REMOVE_VETOED;
  }
  node->Removed = true;
  node->Present = false;
  DeviceChanged();
  return CR_SUCCESS;
}

// ---- newdev -------------------------------------------------------------------------

BOOL TkvSimMachine::UpdateDriver(const std::string& hardwareId, const std::string& infPath, DWORD flags, bool wide,
                                 BOOL* reboot) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDriverUpdate update;
  update.HardwareId = hardwareId;
  update.InfPath = infPath;
  update.Flags = flags;
  update.Wide = wide;
  update.From64Bit = tStubDepth > 0;
  if (reboot) *reboot = FALSE;
  DWORD error = ERROR_SUCCESS;
  std::string service;
  TkvSimDriverPackage package;
  bool fromFile = false;
  std::vector<TkvSimDevnode*> devices;
  const bool forced = Enter(wide ? "UpdateDriverForPlugAndPlayDevicesW" : "UpdateDriverForPlugAndPlayDevicesA", &error);
  if (forced) {
    // the failure chosen by the test, which may leave no error code
  } else if (hardwareId.empty() || infPath.empty()) {
    error = ERROR_INVALID_PARAMETER;
  } else if (RefusedInWow64()) {
    error = ERROR_IN_WOW64;
  } else {
    if (FPackageReader) {
      error = FPackageReader(infPath, service);
    } else {
      auto it = FDriverPackages.find(UpperAscii(infPath));
      if (it != FDriverPackages.end()) {
        service = it->second;
      } else {
        // A package on the host's file system, read as Windows reads it.
        fromFile = true;
        error = ReadSimDriverPackage(infPath, hardwareId, FWow64, package, &update.InfText);
        service = package.Service;
      }
    }
    if (error == ERROR_SUCCESS) {
      for (const auto& n : FDevnodes) {
        if (!n->Present) continue;
        auto ids = n->Properties.find(SPDRP_HARDWAREID);
        if (ids == n->Properties.end()) continue;
        for (const std::string& id : MultiSz(ids->second))
          if (SameText(id, hardwareId)) {
            devices.push_back(n.get());
            break;
          }
      }
      if (devices.empty()) error = ERROR_NO_SUCH_DEVINST;
    }
  }
  update.Ok = !forced && error == ERROR_SUCCESS;
  update.Error = error;
  FDriverUpdates.push_back(update);
  if (!update.Ok) {
    SetLastError(error);
    return FALSE;
  }
  for (TkvSimDevnode* n : devices) {
    SetProperty(*n, SPDRP_SERVICE, service);
    if (fromFile) ApplyDriverPackage(*n, package);
    ++n->Restarts;
  }
  DeviceChanged();
  return TRUE;
}

BOOL TkvSimMachine::UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR hardwareId, LPCSTR infPath, DWORD flags,
                                                       BOOL* reboot) {
  return UpdateDriver(hardwareId ? hardwareId : "", infPath ? infPath : "", flags, false, reboot);
}

BOOL TkvSimMachine::UpdateDriverForPlugAndPlayDevicesW(HWND, const WCHAR* hardwareId, const WCHAR* infPath,
                                                       DWORD flags, BOOL* reboot) {
  return UpdateDriver(Narrow(hardwareId), Narrow(infPath), flags, true, reboot);
}

// ---- the stub as a process -------------------------------------------------------------

namespace {

// The stub calls the services as a program linked against them would: the
// installed machine's exports (a simulated machine is installed while it
// runs one of its programs).
template <class T>
T Export(const char* name) {
  TkvMachine& m = Machine();
  HMODULE lib = nullptr;
  for (const char* library : {"SetupAPI.dll", "newdev.dll"}) {
    lib = m.LoadLibraryA(library);
    if (!lib) continue;
    FARPROC proc = m.GetProcAddress(lib, name);
    m.FreeLibrary(lib);
    if (proc) return ProcCast<T>(proc);
  }
  return nullptr;
}

void StubDebugW(const WCHAR* text) { Host().OutputDebugStringW(text); }
DWORD StubLastError() { return GetLastError(); }

}  // namespace

bool TkvSimMachine::RunStub(const std::string& path, const std::string& commandLine, DWORD& exitCode) {
  // Only the file the program wrote from its own resource is the stub.
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const std::string stub = LoadResourceText("KVX64STUB");
  if (stub.empty() || bytes != stub) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return false;
  }
  TkvStubApi api{};
  api.CommandLineToArgvW = &kv::CommandLineToArgvW;
  api.CLSIDFromString = &kv::CLSIDFromString;
  api.SetupDiCreateDeviceInfoList = Export<TSetupDiCreateDeviceInfoList>("SetupDiCreateDeviceInfoList");
  api.SetupDiOpenDeviceInfoW = Export<TSetupDiOpenDeviceInfoW>("SetupDiOpenDeviceInfoW");
  api.SetupDiSetClassInstallParamsW = Export<TSetupDiSetClassInstallParamsW>("SetupDiSetClassInstallParamsW");
  api.SetupDiCallClassInstaller = Export<TSetupDiCallClassInstaller>("SetupDiCallClassInstaller");
  api.SetupDiDestroyDeviceInfoList = Export<TSetupDiDestroyDeviceInfoList>("SetupDiDestroyDeviceInfoList");
  api.UpdateDriverForPlugAndPlayDevicesW =
      Export<TUpdateDriverForPlugAndPlayDevicesW>("UpdateDriverForPlugAndPlayDevicesW");
  api.OutputDebugStringW = &StubDebugW;
  api.GetLastError = &StubLastError;
  if (!api.SetupDiCreateDeviceInfoList || !api.SetupDiOpenDeviceInfoW || !api.SetupDiSetClassInstallParamsW ||
      !api.SetupDiCallClassInstaller || !api.SetupDiDestroyDeviceInfoList ||
      !api.UpdateDriverForPlugAndPlayDevicesW) {
    // A program whose imports are missing does not start.
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    ++FStubRuns;
  }
  const std::u16string line = Utf8ToUtf16(commandLine);
  TStubProcess process;
  exitCode = RunStubRequest(api, reinterpret_cast<const WCHAR*>(line.c_str()));
  return true;
}

}  // namespace kv
