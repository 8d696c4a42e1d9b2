#include "kvsetupapi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "kvplatform.h"
#include "kvtext.h"
#include "kvutils.h"

namespace kv {

namespace {

struct TBinding {
  TkvSetupApi Api;
  unsigned Generation = 0;  // machine the table was bound on
  unsigned BindCount = 0;
};

// Constant-initialised with trivial destruction (no function-local static):
// the release at program end runs from another static's destructor and must
// still find the table, whatever the order of the static destructors.
TBinding gBinding;
static_assert(std::is_trivially_destructible_v<TBinding>);
TBinding& Binding() { return gBinding; }

template <class T>
bool Lookup(HMODULE module, const char* name, T& slot) {
  slot = ProcCast<T>(Machine().GetProcAddress(module, name));
  return slot != nullptr;
}

// The libraries go back to the machine that handed them out: when that
// machine is replaced (it may be destroyed right after), and at program end.
TkvMachineRelease gRelease(&UnloadSetupApi);

}  // namespace

bool LoadSetupApi() {
  TBinding& b = Binding();
  TkvSetupApi& a = b.Api;
  if (a.SetupApiModule) {
    if (b.Generation == MachineGeneration()) return true;
    // Bound on a machine that was replaced since (its libraries went back to
    // it then): its entry points are not this machine's.
    a = TkvSetupApi{};
  }
  TkvMachine& m = Machine();
  a.SetupApiModule = m.LoadLibraryA("SetupAPI.dll");
  if (!a.SetupApiModule) return false;
  ++b.BindCount;
  bool ok = true;
  ok &= Lookup(a.SetupApiModule, "SetupDiGetClassDevsA", a.SetupDiGetClassDevsA);
  ok &= Lookup(a.SetupApiModule, "SetupDiDestroyDeviceInfoList", a.SetupDiDestroyDeviceInfoList);
  ok &= Lookup(a.SetupApiModule, "SetupDiEnumDeviceInfo", a.SetupDiEnumDeviceInfo);
  ok &= Lookup(a.SetupApiModule, "SetupDiGetDeviceRegistryPropertyA", a.SetupDiGetDeviceRegistryPropertyA);
  ok &= Lookup(a.SetupApiModule, "SetupDiOpenDevRegKey", a.SetupDiOpenDevRegKey);
  ok &= Lookup(a.SetupApiModule, "SetupDiEnumDeviceInterfaces", a.SetupDiEnumDeviceInterfaces);
  ok &= Lookup(a.SetupApiModule, "SetupDiGetDeviceInterfaceDetailA", a.SetupDiGetDeviceInterfaceDetailA);
  ok &= Lookup(a.SetupApiModule, "SetupDiCreateDeviceInfoList", a.SetupDiCreateDeviceInfoList);
  ok &= Lookup(a.SetupApiModule, "SetupDiCreateDeviceInfoA", a.SetupDiCreateDeviceInfoA);
  ok &= Lookup(a.SetupApiModule, "SetupDiGetINFClassA", a.SetupDiGetINFClassA);
  ok &= Lookup(a.SetupApiModule, "SetupDiSetDeviceRegistryPropertyA", a.SetupDiSetDeviceRegistryPropertyA);
  ok &= Lookup(a.SetupApiModule, "SetupDiCallClassInstaller", a.SetupDiCallClassInstaller);
  ok &= Lookup(a.SetupApiModule, "SetupDiGetDeviceInstanceIdA", a.SetupDiGetDeviceInstanceIdA);
  Lookup(a.SetupApiModule, "SetupDiRemoveDevice", a.SetupDiRemoveDevice);      // optional
  Lookup(a.SetupApiModule, "SetupDiUnremoveDevice", a.SetupDiUnremoveDevice);  // optional
  Lookup(a.SetupApiModule, "SetupDiOpenDeviceInfoA", a.SetupDiOpenDeviceInfoA);  // optional
  ok &= Lookup(a.SetupApiModule, "SetupDiSetClassInstallParamsA", a.SetupDiSetClassInstallParamsA);

  // Older systems export the configuration manager from SetupAPI.dll, newer
  // ones only from cfgmgr32.dll.
  if (Lookup(a.SetupApiModule, "CM_Locate_DevNodeA", a.CM_Locate_DevNodeA)) {
    a.ConfigManagerLibrary = a.SetupApiModule;
  } else {
    if (!a.CfgMgrModule) a.CfgMgrModule = m.LoadLibraryA("cfgmgr32.dll");
    a.ConfigManagerLibrary = a.CfgMgrModule;
    ok &= a.CfgMgrModule && Lookup(a.CfgMgrModule, "CM_Locate_DevNodeA", a.CM_Locate_DevNodeA);
  }
  if (a.ConfigManagerLibrary) {
    ok &= Lookup(a.ConfigManagerLibrary, "CM_Get_DevNode_Registry_PropertyA", a.CM_Get_DevNode_Registry_PropertyA);
    ok &= Lookup(a.ConfigManagerLibrary, "CM_Get_Parent", a.CM_Get_Parent);
    ok &= Lookup(a.ConfigManagerLibrary, "CM_Get_Device_ID_List_SizeA", a.CM_Get_Device_ID_List_SizeA);
    ok &= Lookup(a.ConfigManagerLibrary, "CM_Get_Device_ID_ListA", a.CM_Get_Device_ID_ListA);
    ok &= Lookup(a.ConfigManagerLibrary, "CM_Get_Child", a.CM_Get_Child);
    ok &= Lookup(a.ConfigManagerLibrary, "CM_Get_Sibling", a.CM_Get_Sibling);
    Lookup(a.ConfigManagerLibrary, "CM_Request_Device_EjectA", a.CM_Request_Device_EjectA);  // optional
  } else {
    ok = false;
  }
  if (!ok) {
    m.FreeLibrary(a.SetupApiModule);
    if (a.CfgMgrModule) m.FreeLibrary(a.CfgMgrModule);
    a = TkvSetupApi{};
    return false;
  }
  b.Generation = MachineGeneration();
  return true;
}

const TkvSetupApi& SetupApi() { return Binding().Api; }

unsigned SetupApiBindCount() { return Binding().BindCount; }

void UnloadSetupApi() {
  TBinding& b = Binding();
  // Only the machine that loaded the libraries can take them back; one that
  // was replaced since may be gone already.
  const bool loaded = b.Api.SetupApiModule || b.Api.CfgMgrModule;
  if (loaded && b.Generation == MachineGeneration()) {
    if (b.Api.SetupApiModule) Machine().FreeLibrary(b.Api.SetupApiModule);
    if (b.Api.CfgMgrModule) Machine().FreeLibrary(b.Api.CfgMgrModule);
  }
  b.Api = TkvSetupApi{};
}

std::string GetDeviceRegistryString(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA* DeviceInfoData, DWORD Property) {
  char buffer[512];
  DWORD required = 0;
  if (!SetupApi().SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet, DeviceInfoData, Property, nullptr,
                                                     reinterpret_cast<BYTE*>(buffer), sizeof(buffer), &required))
    return std::string();
  // The size counts the closing zero. A service that reports more than it
  // wrote, or nothing at all, must not make us read past the buffer.
  if (required == 0) return std::string();
  const std::size_t length = std::min<std::size_t>(required - 1, sizeof(buffer) - 1);
  return std::string(buffer, ::strnlen(buffer, length));
}

namespace {

void ReadCommonProperties(HDEVINFO set, SP_DEVINFO_DATA* data, TkvDevice& device) {
  device.DriverKey = GetDeviceRegistryString(set, data, SPDRP_DRIVER);
  device.Service = GetDeviceRegistryString(set, data, SPDRP_SERVICE);
  device.PdoName = GetDeviceRegistryString(set, data, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
  device.Description = GetDeviceRegistryString(set, data, SPDRP_DEVICEDESC);
  device.Manufacturer = GetDeviceRegistryString(set, data, SPDRP_MFG);
}

// Reads the device path out of an interface detail block of `size` bytes.
std::string DetailPath(const std::vector<std::uint8_t>& block) {
  const std::size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (block.size() <= offset) return std::string();
  const char* path = reinterpret_cast<const char*>(block.data() + offset);
  return std::string(path, ::strnlen(path, block.size() - offset));
}

// A zero-filled block for SP_DEVICE_INTERFACE_DETAIL_DATA_A: at least the
// record itself, aligned like it, with cbSize set to the record's size.
std::vector<std::uint8_t> DetailBlock(DWORD size) {
  std::vector<std::uint8_t> block(std::max<std::size_t>(size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)), 0);
  const DWORD cb = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  std::memcpy(block.data(), &cb, sizeof(cb));
  return block;
}

}  // namespace

void EnumDevices(const GUID* ClassGuid, bool PresentOnly, bool ByDeviceInfo, bool WithInterface,
                 TStringList& List) {
  if (!LoadSetupApi()) return;
  const TkvSetupApi& api = SetupApi();
  DWORD flags = 0;
  if (PresentOnly) flags |= DIGCF_PRESENT;
  if (WithInterface) flags |= DIGCF_DEVICEINTERFACE;
  if (!ClassGuid) flags |= DIGCF_ALLCLASSES;
  HDEVINFO set = api.SetupDiGetClassDevsA(ClassGuid, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return;

  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof(iface);

  if (ByDeviceInfo) {
    for (DWORD index = 0; api.SetupDiEnumDeviceInfo(set, index, &info); ++index) {
      auto device = std::make_unique<TkvDevice>();
      ReadCommonProperties(set, &info, *device);
      if (ClassGuid) device->ClassGuid = *ClassGuid;
      HKEY key = api.SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
      if (key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) && key != nullptr) {
        HKEY root = nullptr;  // the path is relative to HKEY_LOCAL_MACHINE either way
        device->RegistryKey = GetRegistryKeyPath(key, &root);
        Machine().RegCloseKey(key);
        device->FileName = ReadRegistryString(HKEY_LOCAL_MACHINE, device->RegistryKey, "SymbolicName");
        device->PortName = ReadRegistryString(HKEY_LOCAL_MACHINE, device->RegistryKey, "PortName");
      }
      char id[256];
      DWORD required = 0;
      if (api.SetupDiGetDeviceInstanceIdA(set, &info, id, sizeof(id), &required) && required > 0) {
        const std::size_t length = std::min<std::size_t>(required - 1, sizeof(id) - 1);
        device->InstanceId = std::string(id, ::strnlen(id, length));
        device->DevInst = info.DevInst;
        device->ChildIds = GetDeviceIdList(device->InstanceId, ";", true);
      }
      if (WithInterface && api.SetupDiEnumDeviceInterfaces(set, &info, ClassGuid, 0, &iface)) {
        DWORD size = 0;
        api.SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &size, nullptr);
        if (size > 0) {
          std::vector<std::uint8_t> block = DetailBlock(size);
          if (api.SetupDiGetDeviceInterfaceDetailA(
                  set, &iface, reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data()),
                  static_cast<DWORD>(block.size()), nullptr, nullptr))
            device->FileName = DetailPath(block);
        }
      }
      const std::string key_ = device->DriverKey;
      List.AddObject(key_, device.release());
    }
  } else {
    for (DWORD index = 0; api.SetupDiEnumDeviceInterfaces(set, nullptr, ClassGuid, index, &iface); ++index) {
      DWORD size = 0;
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof(data);
      SetLastError(ERROR_SUCCESS);
      api.SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &size, &data);
      if (size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;
      std::vector<std::uint8_t> block = DetailBlock(size);
      if (api.SetupDiGetDeviceInterfaceDetailA(set, &iface,
                                               reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data()),
                                               static_cast<DWORD>(block.size()), nullptr, &data)) {
        auto device = std::make_unique<TkvDevice>();
        ReadCommonProperties(set, &data, *device);
        device->FileName = DetailPath(block);
        const std::string key_ = device->DriverKey;
        List.AddObject(key_, device.release());
      }
    }
  }
  api.SetupDiDestroyDeviceInfoList(set);
}

std::string GetDeviceIdList(const std::string& DeviceId, const std::string& Separator, bool BusRelations) {
  if (!LoadSetupApi()) return std::string();
  const TkvSetupApi& api = SetupApi();
  const ULONG flags = BusRelations ? CM_GETIDLIST_FILTER_BUSRELATIONS : CM_GETIDLIST_FILTER_REMOVALRELATIONS;
  ULONG size = 0;
  if (api.CM_Get_Device_ID_List_SizeA(&size, DeviceId.c_str(), flags) != CR_SUCCESS || size == 0)
    return std::string();
  std::vector<char> buffer(size, '\0');
  if (api.CM_Get_Device_ID_ListA(DeviceId.c_str(), buffer.data(), size, flags) != CR_SUCCESS) return std::string();
  // A device may have gone between the two calls, leaving the list shorter
  // than its buffer: the list ends at its first empty item, and the zeros
  // after it are no items.
  std::size_t used = 0;
  while (used < size) {
    const std::size_t item = ::strnlen(buffer.data() + used, size - used);
    used += item + 1;
    if (item == 0) break;
  }
  return MultiSzToText(buffer.data(), static_cast<long>(std::min<std::size_t>(used, size)), Separator);
}

std::string GetRegistryKeyPath(HKEY Key, HKEY* RootKey) {
  if (Key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return std::string();
  TkvMachine& m = Machine();
  HMODULE ntdll = m.LoadLibraryA("ntdll.dll");
  if (!ntdll) return std::string();
  auto query = ProcCast<TZwQueryKey>(m.GetProcAddress(ntdll, "ZwQueryKey"));
  std::string name;
  if (query) {
    ULONG length = 0;
    query(Key, KeyNameInformation, nullptr, 0, &length);
    // A reply too short for its own length field holds no name.
    if (length >= 4 && length <= (1u << 20)) {
      std::vector<std::uint8_t> buffer(length + 2, 0);
      if (query(Key, KeyNameInformation, buffer.data(), length, &length) >= 0) {
        ULONG bytes = 0;
        std::memcpy(&bytes, buffer.data(), 4);
        const std::size_t units = std::min<std::size_t>(bytes, buffer.size() - 6) / 2;
        std::u16string text(units, u'\0');
        std::memcpy(&text[0], buffer.data() + 4, units * 2);
        const std::size_t len = Utf16Length(reinterpret_cast<const WCHAR*>(text.data()), units);
        name = Host().WideToAnsi(reinterpret_cast<const WCHAR*>(text.data()), len);
      }
    }
  }
  m.FreeLibrary(ntdll);
  if (RootKey) {
    // Kernel names start with \REGISTRY\MACHINE\ or \REGISTRY\USER\<sid>\.
    // Windows spells them in capitals, Wine as "Machine" and "User"; key
    // names are case-insensitive, so either spelling names the same root.
    if (name.size() >= 18 && SameText(name.substr(9, 9), "\\MACHINE\\")) {
      *RootKey = HKEY_LOCAL_MACHINE;
      name = name.substr(18);
    } else if (name.size() >= 15 && SameText(name.substr(9, 6), "\\USER\\")) {
      *RootKey = HKEY_CURRENT_USER;
      name = name.substr(15);
      const std::size_t slash = name.find('\\');
      name = slash == std::string::npos ? std::string() : name.substr(slash + 1);
    } else {
      *RootKey = nullptr;
    }
  }
  return name;
}

std::string ReadRegistryString(HKEY Root, const std::string& SubKey, const std::string& ValueName) {
  TkvMachine& m = Machine();
  HKEY key = nullptr;
  if (m.RegOpenKeyExA(Root, SubKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::string();
  std::string result;
  DWORD type = 0, size = 0;
  if (m.RegQueryValueExA(key, ValueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    result.assign(static_cast<std::size_t>(size) + 1, ' ');
    DWORD got = size;
    if (m.RegQueryValueExA(key, ValueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&result[0]), &got) ==
        ERROR_SUCCESS) {
      // The value may have changed between the two reads; never keep more
      // than the second read delivered.
      size = std::min(size, got);
      if (type == REG_SZ && size > 0 && result[size - 1] == '\0') --size;
      result.resize(size);
    } else {
      result.clear();
    }
  }
  m.RegCloseKey(key);
  return result;
}

std::string MultiSzToText(const char* Buffer, long Size, const std::string& Separator) {
  std::string result;
  if (!Buffer || Size < 2) return result;
  for (long i = 0; i <= Size - 2; ++i) {
    const char c = Buffer[i];
    if (c != '\0') result.push_back(c);
    else if (i == Size - 2) break;
    else result += Separator;
  }
  return result;
}

}  // namespace kv

// ---- state changes and driver update ----------------------------------------

namespace kv {

namespace {

constexpr DWORD kEjectAttempts = 4;
constexpr DWORD kEjectPause = 500;
constexpr DWORD kRestartPause = 1000;
constexpr DWORD kVetoNameLength = 260;

// The last error survives a clean-up call that may set one of its own.
class TKeepLastError {
 public:
  TKeepLastError() = default;
  void Take() { FCode = GetLastError(); }
  DWORD Code() const { return FCode; }
  void Restore() const { SetLastError(FCode); }

 private:
  DWORD FCode = ERROR_SUCCESS;
};

// A new device information set of the class with one device opened in it,
// the set destroyed with the object. Its clean-up leaves the last error as the
// operation left it.
class TOpenedDevice {
 public:
  TOpenedDevice(const std::string& InstanceId, const GUID& ClassGuid) {
    const TkvSetupApi& api = SetupApi();
    FData.cbSize = sizeof(FData);
    FSet = api.SetupDiCreateDeviceInfoList(&ClassGuid, GetOwnerWindow());
    FOpened = FSet != INVALID_HANDLE_VALUE &&
              api.SetupDiOpenDeviceInfoA(FSet, InstanceId.c_str(), GetOwnerWindow(), 0, &FData);
  }
  ~TOpenedDevice() {
    if (FSet == INVALID_HANDLE_VALUE) return;
    TKeepLastError error;
    error.Take();
    SetupApi().SetupDiDestroyDeviceInfoList(FSet);
    error.Restore();
  }
  TOpenedDevice(const TOpenedDevice&) = delete;
  TOpenedDevice& operator=(const TOpenedDevice&) = delete;

  bool Opened() const { return FOpened; }
  HDEVINFO Set() const { return FSet; }
  SP_DEVINFO_DATA& Data() { return FData; }

 private:
  HDEVINFO FSet;
  SP_DEVINFO_DATA FData{};
  bool FOpened;
};

// Sets the parameters and, when that worked, calls the class installer.
bool CallPropertyChange(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD StateChange, DWORD Scope) {
  const TkvSetupApi& api = SetupApi();
  SP_PROPCHANGE_PARAMS params = PropertyChangeParams(StateChange, Scope);
  if (!api.SetupDiSetClassInstallParamsA(set, &data, &params.ClassInstallHeader, sizeof(params))) return false;
  return api.SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data) != FALSE;
}

}  // namespace

bool EjectDevice(DEVINST DevInst) {
  if (!LoadSetupApi() || !SetupApi().CM_Request_Device_EjectA) return false;
  char veto[kVetoNameLength];
  for (DWORD attempt = 1;; ++attempt) {
    veto[0] = '\0';
    PNP_VETO_TYPE vetoType = 0;
    if (SetupApi().CM_Request_Device_EjectA(DevInst, &vetoType, veto, kVetoNameLength, 0) == CR_SUCCESS) return true;
    if (attempt == kEjectAttempts) throw Exception(std::string(veto, ::strnlen(veto, kVetoNameLength)));
    Host().Sleep(kEjectPause);
  }
}

std::string StubStateArguments(const std::string& InstanceId, DWORD StateChange, const GUID& ClassGuid) {
  return "\"" + InstanceId + "\" " + std::to_string(StateChange) + " \"" + GuidToText(ClassGuid) + "\"";
}

bool RestartDevice(const std::string& InstanceId, const GUID& ClassGuid) {
  if (!LoadSetupApi()) return false;
  const TkvSetupApi& api = SetupApi();
  // Optional entry points: a system without them cannot restart a device.
  if (!api.SetupDiOpenDeviceInfoA || !api.SetupDiRemoveDevice || !api.SetupDiUnremoveDevice) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
  }
  TOpenedDevice device(InstanceId, ClassGuid);
  if (!device.Opened()) return false;
  if (api.SetupDiRemoveDevice(device.Set(), &device.Data())) {
    Host().Sleep(kRestartPause);
    return api.SetupDiUnremoveDevice(device.Set(), &device.Data()) != FALSE;
  }
  // A 32-bit process on 64-bit Windows may not remove devices: the stub
  // restarts the device with the property change meant for that.
  if (GetLastError() == ERROR_IN_WOW64) return RunX64Stub(StubStateArguments(InstanceId, DICS_PROPCHANGE, ClassGuid));
  return false;
}

bool ChangeDeviceState(const std::string& InstanceId, const GUID& ClassGuid, DWORD StateChange) {
  if (!LoadSetupApi()) return false;
  if (!SetupApi().SetupDiOpenDeviceInfoA) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
  }
  TOpenedDevice device(InstanceId, ClassGuid);
  if (!device.Opened()) return false;
  // Enabling first in all profiles, then in the current one; the first
  // step's outcome does not matter.
  if (StateChange == DICS_ENABLE) CallPropertyChange(device.Set(), device.Data(), StateChange, DICS_FLAG_GLOBAL);
  bool result = CallPropertyChange(device.Set(), device.Data(), StateChange, DICS_FLAG_CONFIGSPECIFIC);
  if (!result && GetLastError() == ERROR_IN_WOW64)
    result = RunX64Stub(StubStateArguments(InstanceId, StateChange, ClassGuid));
  return result;
}

bool EnableDevice(const std::string& InstanceId, const GUID& ClassGuid) {
  return ChangeDeviceState(InstanceId, ClassGuid, DICS_ENABLE);
}

bool DisableDevice(const std::string& InstanceId, const GUID& ClassGuid) {
  return ChangeDeviceState(InstanceId, ClassGuid, DICS_DISABLE);
}

bool RunX64Stub(const std::string& Arguments) {
  TkvHost& h = Host();
  char temp[MAX_PATH + 1] = {};
  const DWORD length = h.GetTempPathA(MAX_PATH, temp);
  if (length < 1 || length > MAX_PATH) return false;
  const std::string folder(temp, length);
  const std::string stub = folder + "kvX64stub.exe";
  TKeepLastError error;
  if (!SaveResourceToFile("kvx64stub", stub)) {
    // Whatever sits at this well-known path now is not our stub: run nothing.
    // A partly written file of ours is gone already; one we could not open stays.
    error.Take();
    SetLastError(error.Code() != ERROR_SUCCESS ? error.Code() : ERROR_WRITE_FAULT);
    return false;
  }
  RunProcess("\"" + stub + "\" " + Arguments, folder, true, true);
  error.Take();
  h.Sleep(0);  // let the ended process let go of its file
  h.DeleteFileA(stub.c_str());
  error.Restore();
  return error.Code() == ERROR_SUCCESS;
}

bool UpdateDriverForPnPDevices(HWND Owner, const char* HardwareId, const char* InfPath, DWORD Flags,
                               BOOL* RebootRequired) {
  TkvMachine& m = Machine();
  HMODULE newdev = m.LoadLibraryA("newdev.dll");
  if (!newdev) return false;
  auto update = ProcCast<TUpdateDriverForPlugAndPlayDevicesA>(m.GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesA"));
  BOOL ok = FALSE;
  if (update) {
    // Catches what a C++ exception can carry across the call. A processor
    // fault inside newdev is a structured exception, which mingw's C++ cannot
    // catch: it ends the program as it would without this guard.
    try {
      ok = update(Owner, HardwareId, InfPath, Flags, RebootRequired);
    } catch (...) {
      ok = FALSE;
      if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
    }
  }
  TKeepLastError error;
  error.Take();
  m.FreeLibrary(newdev);
  if (!ok) error.Restore();
  return ok != FALSE;
}

bool InstallDriverForDevice(const std::string& HardwareId, const std::string& InfPath) {
  TkvHost& h = Host();
  h.OutputDebugStringA("kvLink Lib installs driver.");
  BOOL reboot = FALSE;
  const bool ok = UpdateDriverForPnPDevices(GetOwnerWindow(), HardwareId.c_str(), InfPath.c_str(), INSTALLFLAG_FORCE,
                                            &reboot);
  if (ok) {
    h.OutputDebugStringA("kvLink Lib OK!");
    return true;
  }
  const DWORD code = GetLastError();
  char text[32];
  std::snprintf(text, sizeof(text), "kvLink Lib Error:%.8X", static_cast<unsigned>(code));
  h.OutputDebugStringA(text);
  SetLastError(code);
  return false;
}

// The system's text for a setup or Windows error, without the full stop and
// line break it ends with; the setup layer's own text when the system has none.
std::string SetupFailureText(DWORD code) {
  if (code == 0) return std::string();
  constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY;
  char buffer[256];
  const DWORD length = Host().FormatMessageA(kFlags, nullptr, code, 0, buffer, sizeof buffer, nullptr);
  if (length == 0) return SetupErrorText(code);
  std::string text(buffer, std::min<DWORD>(length, sizeof buffer));
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
  return text;
}

std::string SetupErrorText(DWORD Code) {
  char text[16];
  std::snprintf(text, sizeof(text), "#%.8X.", static_cast<unsigned>(Code));
  std::string result = text;
  if (Code == ERROR_NO_SUCH_DEVINST) result += " Device not found.";
  else if (Code >= ERROR_NO_AUTHENTICODE_CATALOG && Code <= ERROR_ONLY_VALIDATE_VIA_AUTHENTICODE)
    result += " Driver authentication error.";
  return result;
}

}  // namespace kv
