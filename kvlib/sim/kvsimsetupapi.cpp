// The simulated machine's SetupAPI and configuration manager: device
// information sets over the devnode tree, registry properties, hardware keys,
// device interfaces and the relations between devnodes.
#include <cstring>

#include "kvsimmachine.h"
#include "kvtext.h"

namespace kv {

namespace {
constexpr ULONG_PTR kSetTag = 0x6C000000u;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_NO_SUCH_DEVICE_INTERFACE = 0xE0000221;
}  // namespace

TkvSimMachine::DevInfoSet* TkvSimMachine::Set(HDEVINFO set) {
  auto it = FSets.find(reinterpret_cast<ULONG_PTR>(set));
  return it == FSets.end() ? nullptr : it->second.get();
}

TkvSimDevnode* TkvSimMachine::Devnode(DEVINST handle) {
  if (handle == 0 || handle > FDevnodes.size()) return nullptr;
  return FDevnodes[handle - 1].get();
}

TkvSimDevnode* TkvSimMachine::DeviceOf(DevInfoSet* set, SP_DEVINFO_DATA* data) {
  if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  TkvSimDevnode* node = Devnode(data->DevInst);
  return node && set->Members.count(node) ? node : nullptr;
}

HDEVINFO TkvSimMachine::SetupDiGetClassDevsA(const GUID* cls, LPCSTR, HWND, DWORD flags) {
  if (EnterFails("SetupDiGetClassDevsA")) return INVALID_HANDLE_VALUE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!cls && !(flags & DIGCF_ALLCLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<DevInfoSet>();
  set->Interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  if (cls) set->InterfaceClass = *cls;
  // Pre-order over the tree, the order in which Windows reports devnodes.
  std::function<void(TkvSimDevnode*)> walk = [&](TkvSimDevnode* n) KV_REQUIRES(FLock) {
    bool take = n != FDevnodes.front().get();
    if ((flags & DIGCF_PRESENT) && !n->Present) take = false;
    if (take && cls && !(flags & DIGCF_ALLCLASSES)) {
      if (set->Interfaces) {
        bool has = false;
        for (const auto& i : n->Interfaces) has = has || i.InterfaceClass == *cls;
        take = has;
      } else {
        take = n->ClassGuid == *cls;
      }
    }
    if (take) {
      set->Devices.push_back(n);
      set->Members.insert(n);
    }
    for (TkvSimDevnode* c : n->Children) walk(c);
  };
  walk(FDevnodes.front().get());
  const ULONG_PTR value = kSetTag + (FNextHandle++ << 4);
  FSets[value] = std::move(set);
  return reinterpret_cast<HDEVINFO>(value);
}

HDEVINFO TkvSimMachine::SetupDiCreateDeviceInfoList(const GUID* cls, HWND) {
  if (EnterFails("SetupDiCreateDeviceInfoList")) return INVALID_HANDLE_VALUE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto set = std::make_unique<DevInfoSet>();
  if (cls) set->InterfaceClass = *cls;
  const ULONG_PTR value = kSetTag + (FNextHandle++ << 4);
  FSets[value] = std::move(set);
  return reinterpret_cast<HDEVINFO>(value);
}

BOOL TkvSimMachine::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (EnterFails("SetupDiDestroyDeviceInfoList")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (FSets.erase(reinterpret_cast<ULONG_PTR>(set)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL TkvSimMachine::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  if (EnterFails("SetupDiEnumDeviceInfo")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DevInfoSet* s = Set(set);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= s->Devices.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->ClassGuid = s->Devices[index]->ClassGuid;
  data->DevInst = s->Devices[index]->Handle;
  data->Reserved = reinterpret_cast<ULONG_PTR>(set);
  return TRUE;
}

BOOL TkvSimMachine::SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND, DWORD, SP_DEVINFO_DATA* data) {
  if (EnterFails("SetupDiOpenDeviceInfoA")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DevInfoSet* s = Set(set);
  TkvSimDevnode* node = instanceId ? FindDevnode(instanceId) : nullptr;
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!node) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  if (s->Members.insert(node).second) s->Devices.push_back(node);
  if (data) {
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    data->ClassGuid = node->ClassGuid;
    data->DevInst = node->Handle;
    data->Reserved = reinterpret_cast<ULONG_PTR>(set);
  }
  return TRUE;
}

BOOL TkvSimMachine::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property,
                                                      DWORD* type, BYTE* buffer, DWORD size, DWORD* required) {
  if (EnterFails("SetupDiGetDeviceRegistryPropertyA")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* node = DeviceOf(Set(set), data);
  if (!node) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto it = node->Properties.find(property);
  if (it == node->Properties.end()) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  const std::string bytes = Ansi(it->second);
  if (type) *type = it->second.Type;
  if (required) *required = static_cast<DWORD>(bytes.size());
  if (!buffer || size < bytes.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  return TRUE;
}

HKEY TkvSimMachine::SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD, DWORD, DWORD keyType,
                                         REGSAM) {
  HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (EnterFails("SetupDiOpenDevRegKey")) return invalid;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* node = DeviceOf(Set(set), data);
  if (!node) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return invalid;
  }
  TkvSimKey* key = nullptr;
  if (keyType == DIREG_DEV && !node->HardwareKey.empty())
    key = FindKey(RootKey(HKEY_LOCAL_MACHINE), node->HardwareKey, false);
  if (!key) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return invalid;
  }
  return NewKeyHandle(key);
}

BOOL TkvSimMachine::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data, const GUID* cls, DWORD index,
                                                SP_DEVICE_INTERFACE_DATA* iface) {
  if (EnterFails("SetupDiEnumDeviceInterfaces")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DevInfoSet* s = Set(set);
  if (!s || !cls) {
    SetLastError(s ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!iface || iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  TkvSimDevnode* only = nullptr;
  if (data) {
    only = DeviceOf(s, data);
    if (!only) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  DWORD seen = 0;
  for (TkvSimDevnode* d : s->Devices) {
    if (only && d != only) continue;
    for (std::size_t i = 0; i < d->Interfaces.size(); ++i) {
      if (d->Interfaces[i].InterfaceClass != *cls) continue;
      if (seen++ != index) continue;
      iface->InterfaceClassGuid = *cls;
      iface->Flags = 1;  // SPINT_ACTIVE
      iface->Reserved = (static_cast<ULONG_PTR>(d->Handle) << 8) | i;
      return TRUE;
    }
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL TkvSimMachine::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface,
                                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                                     DWORD* required, SP_DEVINFO_DATA* data) {
  if (EnterFails("SetupDiGetDeviceInterfaceDetailA")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DevInfoSet* s = Set(set);
  if (!s || !iface || iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(s ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  TkvSimDevnode* node = Devnode(static_cast<DEVINST>(iface->Reserved >> 8));
  const std::size_t i = iface->Reserved & 0xFF;
  if (!node || i >= node->Interfaces.size()) {
    SetLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
    return FALSE;
  }
  const std::string& path = node->Interfaces[i].Path;
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (required) *required = needed;
  if (data) {
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    data->ClassGuid = node->ClassGuid;
    data->DevInst = node->Handle;
    data->Reserved = reinterpret_cast<ULONG_PTR>(set);
  }
  if (!detail) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL TkvSimMachine::SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, LPSTR buffer, DWORD size,
                                                DWORD* required) {
  if (EnterFails("SetupDiGetDeviceInstanceIdA")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* node = DeviceOf(Set(set), data);
  if (!node) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (node->InstanceIdSizeZero) {
    if (required) *required = 0;
    return TRUE;
  }
  const DWORD needed = static_cast<DWORD>(node->InstanceId.size() + 1);
  if (required) *required = needed;
  if (!buffer || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, node->InstanceId.c_str(), needed);
  return TRUE;
}

// ---- configuration manager ----------------------------------------------------------

namespace {
CONFIGRET CmFails(TkvSimMachine& m, const char* op) {
  DWORD error = 0;
  return m.Enter(op, &error) ? static_cast<CONFIGRET>(error ? error : CR_FAILURE) : CR_SUCCESS;
}
}  // namespace

CONFIGRET TkvSimMachine::CM_Locate_DevNodeA(DEVINST* node, LPCSTR id, ULONG) {
  if (CONFIGRET r = CmFails(*this, "CM_Locate_DevNodeA")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!node) return CR_INVALID_POINTER;
  if (!id || !id[0]) {
    *node = FDevnodes.front()->Handle;
    return CR_SUCCESS;
  }
  TkvSimDevnode* n = FindDevnode(id);
  if (!n || !n->Present) return CR_NO_SUCH_DEVNODE;
  *node = n->Handle;
  return CR_SUCCESS;
}

CONFIGRET TkvSimMachine::CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type, void* buffer,
                                                           ULONG* length, ULONG) {
  if (CONFIGRET r = CmFails(*this, "CM_Get_DevNode_Registry_PropertyA")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* n = Devnode(node);
  if (!n) return CR_INVALID_DEVNODE;
  if (!length) return CR_INVALID_POINTER;
  if (property == 0) return CR_NO_SUCH_VALUE;
  auto it = n->Properties.find(property - 1);  // CM_DRP codes are SPDRP codes plus one
  if (it == n->Properties.end()) return CR_NO_SUCH_VALUE;
  const std::string bytes = Ansi(it->second);
  if (type) *type = it->second.Type;
  if (!buffer || *length < bytes.size()) {
    *length = static_cast<ULONG>(bytes.size());
    return CR_BUFFER_SMALL;
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  *length = static_cast<ULONG>(bytes.size());
  return CR_SUCCESS;
}

CONFIGRET TkvSimMachine::CM_Get_Parent(DEVINST* result, DEVINST node, ULONG) {
  if (CONFIGRET r = CmFails(*this, "CM_Get_Parent")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* n = Devnode(node);
  if (!result) return CR_INVALID_POINTER;
  if (!n) return CR_INVALID_DEVNODE;
  if (!n->Parent) return CR_NO_SUCH_DEVNODE;
  *result = n->Parent->Handle;
  return CR_SUCCESS;
}

CONFIGRET TkvSimMachine::CM_Get_Child(DEVINST* result, DEVINST node, ULONG) {
  if (CONFIGRET r = CmFails(*this, "CM_Get_Child")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* n = Devnode(node);
  if (!result) return CR_INVALID_POINTER;
  if (!n) return CR_INVALID_DEVNODE;
  for (TkvSimDevnode* c : n->Children) {
    if (c->Present) {
      *result = c->Handle;
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET TkvSimMachine::CM_Get_Sibling(DEVINST* result, DEVINST node, ULONG) {
  if (CONFIGRET r = CmFails(*this, "CM_Get_Sibling")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimDevnode* n = Devnode(node);
  if (!result) return CR_INVALID_POINTER;
  if (!n) return CR_INVALID_DEVNODE;
  if (!n->Parent) return CR_NO_SUCH_DEVNODE;
  const auto& siblings = n->Parent->Children;
  for (std::size_t i = n->IndexInParent + 1; i < siblings.size(); ++i) {
    if (siblings[i]->Present) {
      *result = siblings[i]->Handle;
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

std::vector<std::string> TkvSimMachine::Relations(const TkvSimDevnode& node, ULONG flags) {
  if (flags & CM_GETIDLIST_FILTER_REMOVALRELATIONS) return node.RemovalRelations;
  if (node.BusRelations) return *node.BusRelations;
  std::vector<std::string> ids;
  for (const TkvSimDevnode* c : node.Children)
    if (c->Present) ids.push_back(c->InstanceId);
  return ids;
}

CONFIGRET TkvSimMachine::CM_Get_Device_ID_List_SizeA(ULONG* length, LPCSTR filter, ULONG flags) {
  if (CONFIGRET r = CmFails(*this, "CM_Get_Device_ID_List_SizeA")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!length) return CR_INVALID_POINTER;
  TkvSimDevnode* n = filter ? FindDevnode(filter) : nullptr;
  if (!n) return CR_INVALID_DEVICE_ID;
  ULONG size = 1;  // the list's closing zero
  for (const auto& id : Relations(*n, flags)) size += static_cast<ULONG>(id.size() + 1);
  *length = size;
  return CR_SUCCESS;
}

CONFIGRET TkvSimMachine::CM_Get_Device_ID_ListA(LPCSTR filter, char* buffer, ULONG length, ULONG flags) {
  if (CONFIGRET r = CmFails(*this, "CM_Get_Device_ID_ListA")) return r;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!buffer) return CR_INVALID_POINTER;
  TkvSimDevnode* n = filter ? FindDevnode(filter) : nullptr;
  if (!n) return CR_INVALID_DEVICE_ID;
  std::string multi;
  for (const auto& id : Relations(*n, flags)) {
    multi += id;
    multi.push_back('\0');
  }
  multi.push_back('\0');
  if (length < multi.size()) return CR_BUFFER_SMALL;
  std::memcpy(buffer, multi.data(), multi.size());
  return CR_SUCCESS;
}

}  // namespace kv
