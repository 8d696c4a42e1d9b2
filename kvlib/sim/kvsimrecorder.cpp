// The recording machine: forwards to the machine below and keeps what was read.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <unordered_map>

#include "kvsimmachine.h"
#include "kvsimrecording.h"
#include "kvtext.h"
#include "kvusbw32.h"

namespace kv {

namespace {

constexpr CONFIGRET CR_ACCESS_DENIED_ = 0x33;

// The reading entry points the recorder forwards, by index.
constexpr const char* kRecordedNames[] = {
    "SetupDiGetClassDevsA",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInfo",
    "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiOpenDevRegKey",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiCreateDeviceInfoList",
    "SetupDiGetDeviceInstanceIdA",
    "SetupDiOpenDeviceInfoA",
    "SetupDiGetINFClassA",
    "CM_Locate_DevNodeA",
    "CM_Get_DevNode_Registry_PropertyA",
    "CM_Get_Parent",
    "CM_Get_Child",
    "CM_Get_Sibling",
    "CM_Get_Device_ID_List_SizeA",
    "CM_Get_Device_ID_ListA",
    "ZwQueryKey"};

constexpr bool SameName(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

constexpr int EntryIndex(const char* name) {
  for (int i = 0; i < static_cast<int>(sizeof(kRecordedNames) / sizeof(kRecordedNames[0])); ++i)
    if (SameName(kRecordedNames[i], name)) return i;
  return -1;
}

ULONG_PTR Key(const void* handle) { return reinterpret_cast<ULONG_PTR>(handle); }

// The recorder that is installed, or that an installed forwarding machine
// forwards to.
TkvRecordingMachine* Active() {
  // Found again only when another machine was installed: every recorded call
  // comes through here.
  static std::atomic<unsigned> generation{0};
  static std::atomic<TkvRecordingMachine*> found{nullptr};
  const unsigned now = MachineGeneration() + 1;  // never the 0 it starts with
  if (generation.load(std::memory_order_acquire) == now) return found.load(std::memory_order_relaxed);
  TkvRecordingMachine* r = nullptr;
  for (TkvMachine* m = &Machine(); m && !r; m = m->Below()) r = dynamic_cast<TkvRecordingMachine*>(m);
  found.store(r, std::memory_order_relaxed);
  generation.store(now, std::memory_order_release);
  return r;
}

template <typename Method, Method M, long Fail>
struct Entry;

template <typename R, typename... A, R (TkvRecordingMachine::*M)(A...), long Fail>
struct Entry<R (TkvRecordingMachine::*)(A...), M, Fail> {
  static R KVAPI Call(A... args) {
    if (TkvRecordingMachine* r = Active()) return (r->*M)(args...);
    SetLastError(ERROR_INVALID_FUNCTION);
    if constexpr (std::is_pointer_v<R>)
      return reinterpret_cast<R>(static_cast<LONG_PTR>(Fail));
    else
      return static_cast<R>(Fail);
  }
};

#define KV_RECORDED(name, fail) \
  ToFarProc(&Entry<decltype(&TkvRecordingMachine::name), &TkvRecordingMachine::name, (fail)>::Call)

// The entry points that change the machine: refused while capturing.
BOOL KVAPI RefuseCreateDeviceInfoA(HDEVINFO, LPCSTR, const GUID*, LPCSTR, HWND, DWORD, SP_DEVINFO_DATA*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL KVAPI RefuseSetDeviceRegistryPropertyA(HDEVINFO, SP_DEVINFO_DATA*, DWORD, const BYTE*, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL KVAPI RefuseCallClassInstaller(DWORD, HDEVINFO, SP_DEVINFO_DATA*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL KVAPI RefuseRemoveDevice(HDEVINFO, SP_DEVINFO_DATA*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL KVAPI RefuseSetClassInstallParamsA(HDEVINFO, SP_DEVINFO_DATA*, SP_CLASSINSTALL_HEADER*, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
CONFIGRET KVAPI RefuseRequestDeviceEjectA(DEVINST, PNP_VETO_TYPE*, LPSTR, ULONG, ULONG) { return CR_ACCESS_DENIED_; }

// The recorder's own entry for a name, and the index of the machine's entry
// it forwards to (-1: none, it refuses); nullptr: the name is not let
// through. Looked up for every call of the library that resolves an entry
// point: by a table made once.
struct TRecorderEntry {
  FARPROC Proc;
  int Index;
};
const TRecorderEntry* RecorderEntry(std::string_view name) {
  const long invalid = -1;
  struct TEntry {
    const char* Name;
    FARPROC Proc;
  };
  static const TEntry entries[] = {
      {"SetupDiGetClassDevsA", KV_RECORDED(SetupDiGetClassDevsA, invalid)},
      {"SetupDiDestroyDeviceInfoList", KV_RECORDED(SetupDiDestroyDeviceInfoList, FALSE)},
      {"SetupDiEnumDeviceInfo", KV_RECORDED(SetupDiEnumDeviceInfo, FALSE)},
      {"SetupDiGetDeviceRegistryPropertyA", KV_RECORDED(SetupDiGetDeviceRegistryPropertyA, FALSE)},
      {"SetupDiOpenDevRegKey", KV_RECORDED(SetupDiOpenDevRegKey, invalid)},
      {"SetupDiEnumDeviceInterfaces", KV_RECORDED(SetupDiEnumDeviceInterfaces, FALSE)},
      {"SetupDiGetDeviceInterfaceDetailA", KV_RECORDED(SetupDiGetDeviceInterfaceDetailA, FALSE)},
      {"SetupDiCreateDeviceInfoList", KV_RECORDED(SetupDiCreateDeviceInfoList, invalid)},
      {"SetupDiGetDeviceInstanceIdA", KV_RECORDED(SetupDiGetDeviceInstanceIdA, FALSE)},
      {"SetupDiOpenDeviceInfoA", KV_RECORDED(SetupDiOpenDeviceInfoA, FALSE)},
      {"SetupDiGetINFClassA", KV_RECORDED(SetupDiGetINFClassA, FALSE)},
      {"CM_Locate_DevNodeA", KV_RECORDED(CM_Locate_DevNodeA, CR_FAILURE)},
      {"CM_Get_DevNode_Registry_PropertyA", KV_RECORDED(CM_Get_DevNode_Registry_PropertyA, CR_FAILURE)},
      {"CM_Get_Parent", KV_RECORDED(CM_Get_Parent, CR_FAILURE)},
      {"CM_Get_Child", KV_RECORDED(CM_Get_Child, CR_FAILURE)},
      {"CM_Get_Sibling", KV_RECORDED(CM_Get_Sibling, CR_FAILURE)},
      {"CM_Get_Device_ID_List_SizeA", KV_RECORDED(CM_Get_Device_ID_List_SizeA, CR_FAILURE)},
      {"CM_Get_Device_ID_ListA", KV_RECORDED(CM_Get_Device_ID_ListA, CR_FAILURE)},
      {"ZwQueryKey", KV_RECORDED(ZwQueryKey, static_cast<long>(0xC0000008L))},
      {"SetupDiCreateDeviceInfoA", ToFarProc(&RefuseCreateDeviceInfoA)},
      {"SetupDiSetDeviceRegistryPropertyA", ToFarProc(&RefuseSetDeviceRegistryPropertyA)},
      {"SetupDiCallClassInstaller", ToFarProc(&RefuseCallClassInstaller)},
      {"SetupDiRemoveDevice", ToFarProc(&RefuseRemoveDevice)},
      {"SetupDiUnremoveDevice", ToFarProc(&RefuseRemoveDevice)},
      {"SetupDiSetClassInstallParamsA", ToFarProc(&RefuseSetClassInstallParamsA)},
      {"CM_Request_Device_EjectA", ToFarProc(&RefuseRequestDeviceEjectA)},
  };
  static const std::unordered_map<std::string_view, TRecorderEntry> byName = [] {
    std::unordered_map<std::string_view, TRecorderEntry> m;
    for (const TEntry& e : entries) m.emplace(e.Name, TRecorderEntry{e.Proc, EntryIndex(e.Name)});
    return m;
  }();
  auto it = byName.find(name);
  return it == byName.end() ? nullptr : &it->second;
}

// The length of a list of texts, each with its zero, up to the empty one
// that ends it (or the buffer's end).
std::size_t MultiSzLength(const char* buffer, std::size_t size) {
  std::size_t at = 0;
  while (at < size) {
    const std::size_t n = ::strnlen(buffer + at, size - at);
    if (n == 0) break;
    at = std::min(size, at + n + 1);
  }
  return at;
}

}  // namespace

bool IsUsbReadRequest(DWORD code) {
  switch (code) {
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
    case IOCTL_USB_GET_NODE_INFORMATION:  // and IOCTL_USB_GET_ROOT_HUB_NAME, of the same value
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
    case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
      return true;
    default:
      return false;
  }
}

TkvRecBytes TkvRecArena::Copy(const void* data, std::size_t size) {
  if (!size) return {};
  void* at = Room(size, 1);
  std::memcpy(at, data, size);
  return TkvRecBytes{static_cast<const BYTE*>(at), size};
}

void* TkvRecArena::Room(std::size_t size, std::size_t align) {
  const std::size_t skip = (align - reinterpret_cast<std::uintptr_t>(FFree) % align) % align;
  if (size + skip > FLeft) {
    const std::size_t room = std::max(size + align, kBlock);
    FBlocks.emplace_back(new BYTE[room]);
    FFree = FBlocks.back().get();
    FLeft = room;
    return Room(size, align);
  }
  FFree += skip;
  FLeft -= skip;
  void* at = FFree;
  FFree += size;
  FLeft -= size;
  return at;
}

void TkvRecValues::Set(TkvRecArena& arena, std::string_view name, DWORD type, const BYTE* data, std::size_t size) {
  auto keep = [&](TkvRecValue& value) {
    value.Type = type;
    value.Data = arena.Copy(data, size);
  };
  for (auto& v : List)
    if (SameText(v.first, name)) {
      keep(v.second);
      return;
    }
  List.emplace_back(arena.Text(name), TkvRecValue());
  keep(List.back().second);
}

TkvRecValue& TkvRecDevnode::Property(DWORD code) {
  auto at = std::lower_bound(Properties.begin(), Properties.end(), code,
                             [](const auto& p, DWORD c) { return p.first < c; });
  if (at == Properties.end() || at->first != code) {
    if (Properties.empty()) {
      Properties.reserve(8);  // the properties a refresh reads of a devnode, at once
      at = Properties.begin();
    }
    at = Properties.emplace(at, code, TkvRecValue());
  }
  return at->second;
}

DEVINST TkvRecordingMachine::TRecording::Node(DEVINST handle) {
  if (const DEVINST known = Bound.Find(handle)) return known;
  Devnodes.emplace_back(Bytes).Seen = NextSeen++;
  const DEVINST key = static_cast<DEVINST>(Devnodes.size());
  Bound.Set(handle, key);
  return key;
}

DEVINST TkvRecordingMachine::TRecording::BindId(DEVINST handle, std::string_view id) {
  // Mostly a handle already tied to the devnode of this id.
  const DEVINST bound = Bound.Find(handle);
  if (bound && SameText(At(bound).Id, id)) return bound;
  auto named = ById.find(Upper(id));
  if (bound) {
    TkvRecDevnode& n = At(bound);
    if (n.Id.empty() && named == ById.end()) {
      n.Id = Bytes.Text(id);
      ById[Bytes.Text(FUpper)] = bound;
      return bound;
    }
  }
  // A handle not seen yet, or one that now names another devnode.
  DEVINST key;
  if (named != ById.end()) {
    key = named->second;
  } else {
    TkvRecDevnode& n = Devnodes.emplace_back(Bytes);
    n.Seen = NextSeen++;
    n.Id = Bytes.Text(id);
    key = static_cast<DEVINST>(Devnodes.size());
    ById[Bytes.Text(FUpper)] = key;
  }
  Bound.Set(handle, key);
  return key;
}

TkvRecRequest& TkvRecordingMachine::TRecording::Request(std::size_t object, DWORD code, DWORD room,
                                                         const std::vector<BYTE>& input) {
  std::size_t hash =
      std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
  for (std::size_t part : {object, static_cast<std::size_t>(code), static_cast<std::size_t>(room)})
    hash = hash * 1000003u ^ part;
  if (RequestSlots.size() < 2 * (Requests.size() + 1)) {  // grow, and place the requests again
    RequestSlots.assign(std::max<std::size_t>(1024, RequestSlots.size() * 2), 0);
    const std::size_t mask = RequestSlots.size() - 1;
    for (std::size_t n = 0; n < Requests.size(); ++n) {
      std::size_t slot = Requests[n].Hash & mask;
      while (RequestSlots[slot]) slot = (slot + 1) & mask;
      RequestSlots[slot] = n + 1;
    }
  }
  const std::size_t mask = RequestSlots.size() - 1;
  std::size_t slot = hash & mask;
  for (; RequestSlots[slot]; slot = (slot + 1) & mask) {
    TkvRecRequest& known = Requests[RequestSlots[slot] - 1];
    if (known.Hash == hash && known.Object == object && known.Code == code && known.OutSize == room &&
        std::equal(known.In.begin(), known.In.end(), input.begin(), input.end()))
      return known;
  }
  // A request not made before.
  TkvRecRequest& r = Requests.emplace_back();
  RequestSlots[slot] = Requests.size();
  r.Hash = hash;
  r.Object = object;
  r.Code = code;
  r.OutSize = room;
  r.In = Bytes.Copy(input.data(), input.size());
  return r;
}

TkvRecordingMachine::TRecording::Key& TkvRecordingMachine::TRecording::OpenedKey(std::string_view path) {
  std::string& upper = FUpper;  // its room is used again: keys are opened by the thousand
  upper.assign(path);
  for (char& c : upper) c = UpperAscii(c);
  auto it = Keys.find(upper);
  if (it != Keys.end()) return it->second;
  Key& k = Keys[Bytes.Text(upper)];
  k.Path = Bytes.Text(path);
  k.Seen = NextKey++;
  return k;
}

TkvCaptureOptions CaptureOptionsOf(TkvMachine& machine) {
  TkvCaptureOptions options;
  if (auto* sim = dynamic_cast<TkvSimMachine*>(&machine)) {
    options.Name = sim->Name();
    options.CodePage = sim->CodePage();
  } else {
    options.Name = "this machine";
  }
  return options;
}

TkvRecordingMachine::TkvRecordingMachine(TkvMachine& below) : FBelow(below), FRec(std::make_unique<TRecording>()) {}

TkvRecordingMachine::~TkvRecordingMachine() = default;

template <class T, int Index>
T TkvRecordingMachine::BelowEntry() const {
  static_assert(Index >= 0 && Index < 32, "an entry point the recorder does not forward");
  return ProcCast<T>(FBelowEntries[Index].load(std::memory_order_acquire));
}

// ---- services -----------------------------------------------------------------------

HMODULE TkvRecordingMachine::LoadLibraryA(LPCSTR name) {
  HMODULE m = FBelow.LoadLibraryA(name);
  const DWORD error = GetLastError();
  TkvLockGuard<TkvMutex> lock(FLock);
  const std::string_view n = name ? name : "";
  if (m) {
    // The library resolves some entries at every use: the same module again.
    auto known = FRec->Modules.find(Key(m));
    if (known == FRec->Modules.end()) FRec->Modules.emplace(Key(m), n);
    else if (known->second != n) known->second = n;
  } else {
    bool known = false;
    for (const auto& l : FRec->MissingLibraries) known = known || SameText(l, n);
    if (!known) FRec->MissingLibraries.emplace_back(n);
  }
  SetLastError(error);
  return m;
}

FARPROC TkvRecordingMachine::GetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC below = FBelow.GetProcAddress(module, name);
  const DWORD error = GetLastError();
  const std::string_view n = name ? name : "";
  TkvLockGuard<TkvMutex> lock(FLock);
  if (!below) {
    auto lib = FRec->Modules.find(Key(module));
    if (lib != FRec->Modules.end()) {
      auto& list = FRec->MissingExports[lib->second];
      bool known = false;
      for (const auto& e : list) known = known || e == n;
      if (!known) list.emplace_back(n);
    }
    SetLastError(error);
    return nullptr;
  }
  const TRecorderEntry* own = RecorderEntry(n);
  if (!own) {
    // Present, but not a reading call the capture knows: refused.
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (own->Index >= 0) FBelowEntries[own->Index].store(below, std::memory_order_release);
  return own->Proc;
}

BOOL TkvRecordingMachine::FreeLibrary(HMODULE module) { return FBelow.FreeLibrary(module); }

// ---- device paths ---------------------------------------------------------------------

HANDLE TkvRecordingMachine::CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                                        DWORD disposition, DWORD flags, HANDLE templ) {
  if (disposition != OPEN_EXISTING) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = FBelow.CreateFileA(name, access, share, sa, disposition, flags, templ);
  const DWORD error = GetLastError();
  const std::string path = name ? name : "";
  const bool ok = h != INVALID_HANDLE_VALUE && h != nullptr;
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    auto object = FRec->Opened.try_emplace(UpperAscii(path));
    if (object.second) {
      FRec->Paths.push_back(path);
      object.first->second.Number = FRec->Paths.size();
    }
    object.first->second.Opened = object.first->second.Opened || ok;
    if (ok) FRec->Files[Key(h)] = object.first->second.Number;
  }
  SetLastError(error);
  return h;
}

BOOL TkvRecordingMachine::DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                                          DWORD outSize, DWORD* returned, OVERLAPPED* overlapped) {
  if (!IsUsbReadRequest(code) || overlapped) {
    if (returned) *returned = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The input first: the reply may be written over it.
  const DWORD room = out ? outSize : 0;
  thread_local std::vector<BYTE> input;
  input.clear();
  if (in && inSize) input.assign(static_cast<const BYTE*>(in), static_cast<const BYTE*>(in) + inSize);
  DWORD got = 0;
  const BOOL ok = FBelow.DeviceIoControl(device, code, in, inSize, out, outSize, &got, overlapped);
  const DWORD error = GetLastError();
  if (returned) *returned = got;
  const BYTE* reply = static_cast<const BYTE*>(out);
  const std::size_t replied = ok && out ? std::min(got, outSize) : 0;
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    auto file = FRec->Files.find(Key(device));
    if (file != FRec->Files.end()) {
      TkvRecRequest* r = &FRec->Request(file->second, code, room, input);
      r->Ok = ok != FALSE;
      r->Error = ok ? ERROR_SUCCESS : error;
      r->Out = FRec->Bytes.Copy(reply, replied);
    }
  }
  SetLastError(error);
  return ok;
}

BOOL TkvRecordingMachine::CloseHandle(HANDLE handle) {
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->Files.erase(Key(handle));
  }
  return FBelow.CloseHandle(handle);
}

// ---- registry ---------------------------------------------------------------------------

LONG TkvRecordingMachine::RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) {
  const LONG status = FBelow.RegOpenKeyExA(root, subKey, options, access, result);
  if (status != ERROR_SUCCESS || !result) return status;
  TkvLockGuard<TkvMutex> lock(FLock);
  std::string& path = FRec->FPath;
  path = RegistryRootName(root);
  if (path.empty()) {
    auto parent = FRec->KeyHandles.find(Key(root));
    if (parent != FRec->KeyHandles.end()) path = parent->second->Path;
  }
  if (path.empty()) return status;  // below a key whose path is not known
  if (subKey && *subKey) path.append("\\").append(subKey);
  FRec->KeyHandles[Key(*result)] = &FRec->OpenedKey(path);
  return status;
}

LONG TkvRecordingMachine::RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, SECURITY_ATTRIBUTES*, HKEY*,
                                          DWORD*) {
  return ERROR_ACCESS_DENIED;
}

LONG TkvRecordingMachine::RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                                           DWORD* size) {
  DWORD t = REG_NONE;
  const LONG status = FBelow.RegQueryValueExA(key, valueName, reserved, &t, data, size);
  if (type) *type = t;
  if (status != ERROR_SUCCESS || !data || !size) return status;
  const std::string_view name = valueName ? valueName : "";
  TkvLockGuard<TkvMutex> lock(FLock);
  auto path = FRec->KeyHandles.find(Key(key));
  if (path != FRec->KeyHandles.end()) {
    path->second->Values.Set(FRec->Bytes, name, t, data, *size);
  } else {
    auto hw = FRec->HardwareKeyHandles.find(Key(key));
    if (hw != FRec->HardwareKeyHandles.end())
      FRec->At(hw->second).HardwareValues.Set(FRec->Bytes, name, t, data, *size);
  }
  return status;
}

LONG TkvRecordingMachine::RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }

LONG TkvRecordingMachine::RegDeleteValueA(HKEY, LPCSTR) { return ERROR_ACCESS_DENIED; }

LONG TkvRecordingMachine::RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                                        DWORD* type, BYTE* data, DWORD* dataSize) {
  DWORD t = REG_NONE;
  const LONG status = FBelow.RegEnumValueA(key, index, name, nameSize, reserved, &t, data, dataSize);
  if (type) *type = t;
  if (status != ERROR_SUCCESS || !name || !nameSize || !data || !dataSize) return status;
  TkvLockGuard<TkvMutex> lock(FLock);
  auto path = FRec->KeyHandles.find(Key(key));
  if (path != FRec->KeyHandles.end())
    path->second->Values.Set(FRec->Bytes, std::string_view(name, *nameSize), t, data, *dataSize);
  return status;
}

LONG TkvRecordingMachine::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                                        LPSTR cls, DWORD* clsSize, void* lastWrite) {
  const LONG status = FBelow.RegEnumKeyExA(key, index, name, nameSize, reserved, cls, clsSize, lastWrite);
  if (status != ERROR_SUCCESS || !name || !nameSize) return status;
  TkvLockGuard<TkvMutex> lock(FLock);
  auto path = FRec->KeyHandles.find(Key(key));
  if (path != FRec->KeyHandles.end())
    FRec->OpenedKey(std::string(path->second->Path) + "\\" + std::string(name, *nameSize));
  return status;
}

LONG TkvRecordingMachine::RegCloseKey(HKEY key) {
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->KeyHandles.erase(Key(key));
    FRec->HardwareKeyHandles.erase(Key(key));
  }
  return FBelow.RegCloseKey(key);
}

// ---- drives, version, processes -------------------------------------------------------------

DWORD TkvRecordingMachine::GetLogicalDrives() {
  const DWORD mask = FBelow.GetLogicalDrives();
  const DWORD error = GetLastError();
  TkvLockGuard<TkvMutex> lock(FLock);
  FRec->DriveMask = mask;
  SetLastError(error);
  return mask;
}

UINT TkvRecordingMachine::GetDriveTypeA(LPCSTR rootPath) {
  const UINT type = FBelow.GetDriveTypeA(rootPath);
  const DWORD error = GetLastError();
  if (rootPath && std::strlen(rootPath) >= 2 && rootPath[1] == ':') {
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->DriveTypes[UpperAscii(rootPath[0])] = type;
  }
  SetLastError(error);
  return type;
}

BOOL TkvRecordingMachine::GetVersionExA(OSVERSIONINFOA* info) {
  const BOOL ok = FBelow.GetVersionExA(info);
  const DWORD error = GetLastError();
  if (ok && info && info->dwOSVersionInfoSize >= sizeof(OSVERSIONINFOA)) {
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->Version = *info;
  }
  SetLastError(error);
  return ok;
}

BOOL TkvRecordingMachine::IsWow64() {
  const BOOL wow64 = FBelow.IsWow64();
  const DWORD error = GetLastError();
  TkvLockGuard<TkvMutex> lock(FLock);
  FRec->Wow64 = wow64 != FALSE;
  SetLastError(error);
  return wow64;
}

BOOL TkvRecordingMachine::CreateProcessA(LPCSTR, LPSTR, SECURITY_ATTRIBUTES*, SECURITY_ATTRIBUTES*, BOOL, DWORD, void*,
                                         LPCSTR, STARTUPINFOA*, PROCESS_INFORMATION*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

DWORD TkvRecordingMachine::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return FBelow.WaitForSingleObject(handle, milliseconds);
}

BOOL TkvRecordingMachine::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return FBelow.GetExitCodeProcess(process, exitCode);
}

// ---- SetupAPI -------------------------------------------------------------------------------

HDEVINFO TkvRecordingMachine::SetupDiGetClassDevsA(const GUID* cls, LPCSTR enumerator, HWND parent, DWORD flags) {
  return BelowEntry<TSetupDiGetClassDevsA, EntryIndex("SetupDiGetClassDevsA")>()(cls, enumerator, parent, flags);
}

BOOL TkvRecordingMachine::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return BelowEntry<TSetupDiDestroyDeviceInfoList, EntryIndex("SetupDiDestroyDeviceInfoList")>()(set);
}

BOOL TkvRecordingMachine::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  const BOOL ok = BelowEntry<TSetupDiEnumDeviceInfo, EntryIndex("SetupDiEnumDeviceInfo")>()(set, index, data);
  if (!ok || !data) return ok;
  const DWORD error = GetLastError();
  // A handle seen before may name another devnode now (Wine hands out the
  // handles of destroyed sets again): its id tells.
  bool seen;
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    const DEVINST bound = FRec->Bound.Find(data->DevInst);
    seen = bound && !FRec->At(bound).Id.empty();
  }
  char id[512];
  DWORD required = 0;
  auto instanceId = BelowEntry<TSetupDiGetDeviceInstanceIdA, EntryIndex("SetupDiGetDeviceInstanceIdA")>();
  SP_DEVINFO_DATA copy = *data;
  const bool named = seen && instanceId && instanceId(set, &copy, id, sizeof(id), &required) && required > 0;
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    const DEVINST key = named ? FRec->BindId(data->DevInst, std::string_view(id, ::strnlen(id, sizeof(id))))
                              : FRec->Node(data->DevInst);
    FRec->At(key).Class = data->ClassGuid;
  }
  SetLastError(error);
  return ok;
}

BOOL TkvRecordingMachine::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property,
                                                            DWORD* type, BYTE* buffer, DWORD size, DWORD* required) {
  DWORD t = REG_NONE, need = 0;
  const BOOL ok = BelowEntry<TSetupDiGetDeviceRegistryPropertyA, EntryIndex("SetupDiGetDeviceRegistryPropertyA")>()(
      set, data, property, &t, buffer, size, &need);
  const DWORD error = GetLastError();
  if (type) *type = t;
  if (required) *required = need;
  if (ok && data && buffer) {
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->Keep(FRec->Devnode(data->DevInst).Property(property), t, buffer, std::min(need, size));
  }
  SetLastError(error);
  return ok;
}

HKEY TkvRecordingMachine::SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD scope, DWORD profile,
                                               DWORD keyType, REGSAM access) {
  HKEY key = BelowEntry<TSetupDiOpenDevRegKey, EntryIndex("SetupDiOpenDevRegKey")>()(set, data, scope, profile, keyType, access);
  const DWORD error = GetLastError();
  if (data && keyType == DIREG_DEV) {
    const bool ok = key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) && key != nullptr;
    TkvLockGuard<TkvMutex> lock(FLock);
    const DEVINST node = FRec->Node(data->DevInst);
    TkvRecDevnode& n = FRec->At(node);
    n.HardwareKey = ok || n.HardwareKey.value_or(false);
    if (ok) FRec->HardwareKeyHandles[Key(key)] = node;
  }
  SetLastError(error);
  return key;
}

BOOL TkvRecordingMachine::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data, const GUID* cls,
                                                      DWORD index, SP_DEVICE_INTERFACE_DATA* iface) {
  const BOOL ok =
      BelowEntry<TSetupDiEnumDeviceInterfaces, EntryIndex("SetupDiEnumDeviceInterfaces")>()(set, data, cls, index, iface);
  if (ok && iface) {
    const DWORD error = GetLastError();
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->Interfaces[iface->Reserved] = {data ? FRec->Node(data->DevInst) : 0, iface->InterfaceClassGuid};
    SetLastError(error);
  }
  return ok;
}

BOOL TkvRecordingMachine::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface,
                                                           SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                                           DWORD* required, SP_DEVINFO_DATA* data) {
  const BOOL ok = BelowEntry<TSetupDiGetDeviceInterfaceDetailA, EntryIndex("SetupDiGetDeviceInterfaceDetailA")>()(
      set, iface, detail, size, required, data);
  if (ok && iface && detail && size > offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)) {
    const DWORD error = GetLastError();
    const std::size_t room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const std::string path(detail->DevicePath, ::strnlen(detail->DevicePath, room));
    TkvLockGuard<TkvMutex> lock(FLock);
    auto it = FRec->Interfaces.find(iface->Reserved);
    DEVINST node = data ? FRec->Node(data->DevInst) : 0;
    if (!node && it != FRec->Interfaces.end()) node = it->second.first;
    if (node) {
      TkvRecDevnode& n = FRec->At(node);
      bool known = false;
      for (const auto& i : n.Interfaces) known = known || i.second == path;
      if (!known) n.Interfaces.emplace_back(iface->InterfaceClassGuid, path);
    }
    SetLastError(error);
  }
  return ok;
}

HDEVINFO TkvRecordingMachine::SetupDiCreateDeviceInfoList(const GUID* cls, HWND parent) {
  return BelowEntry<TSetupDiCreateDeviceInfoList, EntryIndex("SetupDiCreateDeviceInfoList")>()(cls, parent);
}

BOOL TkvRecordingMachine::SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, LPSTR buffer, DWORD size,
                                                      DWORD* required) {
  DWORD need = 0;
  const BOOL ok =
      BelowEntry<TSetupDiGetDeviceInstanceIdA, EntryIndex("SetupDiGetDeviceInstanceIdA")>()(set, data, buffer, size, &need);
  const DWORD error = GetLastError();
  if (required) *required = need;
  if (ok && data && buffer && size) {
    TkvLockGuard<TkvMutex> lock(FLock);
    const DEVINST node = FRec->BindId(data->DevInst, std::string_view(buffer, ::strnlen(buffer, size)));
    FRec->At(node).IdSizeZero = need == 0;
  }
  SetLastError(error);
  return ok;
}

BOOL TkvRecordingMachine::SetupDiOpenDeviceInfoA(HDEVINFO set, LPCSTR instanceId, HWND parent, DWORD flags,
                                                 SP_DEVINFO_DATA* data) {
  const BOOL ok =
      BelowEntry<TSetupDiOpenDeviceInfoA, EntryIndex("SetupDiOpenDeviceInfoA")>()(set, instanceId, parent, flags, data);
  if (ok && data && instanceId) {
    const DWORD error = GetLastError();
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->At(FRec->BindId(data->DevInst, instanceId)).Class = data->ClassGuid;
    SetLastError(error);
  }
  return ok;
}

BOOL TkvRecordingMachine::SetupDiGetINFClassA(LPCSTR inf, GUID* cls, LPSTR name, DWORD size, DWORD* required) {
  return BelowEntry<TSetupDiGetINFClassA, EntryIndex("SetupDiGetINFClassA")>()(inf, cls, name, size, required);
}

// ---- configuration manager --------------------------------------------------------------------

CONFIGRET TkvRecordingMachine::CM_Locate_DevNodeA(DEVINST* node, LPCSTR id, ULONG flags) {
  const CONFIGRET r = BelowEntry<TCM_Locate_DevNodeA, EntryIndex("CM_Locate_DevNodeA")>()(node, id, flags);
  if (r == CR_SUCCESS && node) {
    TkvLockGuard<TkvMutex> lock(FLock);
    if (!id || !*id) FRec->Root = FRec->Node(*node);
    else FRec->BindId(*node, id);
  }
  return r;
}

CONFIGRET TkvRecordingMachine::CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type,
                                                                 void* buffer, ULONG* length, ULONG flags) {
  ULONG t = REG_NONE;
  const CONFIGRET r = BelowEntry<TCM_Get_DevNode_Registry_PropertyA, EntryIndex("CM_Get_DevNode_Registry_PropertyA")>()(
      node, property, &t, buffer, length, flags);
  if (type) *type = t;
  if (r == CR_SUCCESS && buffer && length && property >= 1) {
    TkvLockGuard<TkvMutex> lock(FLock);
    // CM_DRP codes are SPDRP codes + 1
    FRec->Keep(FRec->Devnode(node).Property(property - 1), t, static_cast<const BYTE*>(buffer), *length);
  }
  return r;
}

CONFIGRET TkvRecordingMachine::CM_Get_Parent(DEVINST* result, DEVINST node, ULONG flags) {
  const CONFIGRET r = BelowEntry<TCM_Get_Parent, EntryIndex("CM_Get_Parent")>()(result, node, flags);
  if (r == CR_SUCCESS && result) {
    TkvLockGuard<TkvMutex> lock(FLock);
    FRec->Devnode(node).Parent = FRec->Node(*result);
  }
  return r;
}

CONFIGRET TkvRecordingMachine::CM_Get_Child(DEVINST* result, DEVINST node, ULONG flags) {
  const CONFIGRET r = BelowEntry<TCM_Get_Child, EntryIndex("CM_Get_Child")>()(result, node, flags);
  if (r == CR_SUCCESS && result) {
    TkvLockGuard<TkvMutex> lock(FLock);
    const DEVINST child = FRec->Node(*result), parent = FRec->Node(node);
    FRec->At(child).Parent = parent;
    FRec->At(parent).FirstChild = child;
  }
  return r;
}

CONFIGRET TkvRecordingMachine::CM_Get_Sibling(DEVINST* result, DEVINST node, ULONG flags) {
  const CONFIGRET r = BelowEntry<TCM_Get_Sibling, EntryIndex("CM_Get_Sibling")>()(result, node, flags);
  if (r == CR_SUCCESS && result) {
    TkvLockGuard<TkvMutex> lock(FLock);
    const DEVINST self = FRec->Node(node), next = FRec->Node(*result);
    FRec->At(self).Next = next;
    if (const DEVINST parent = FRec->At(self).Parent) FRec->At(next).Parent = parent;
  }
  return r;
}

CONFIGRET TkvRecordingMachine::CM_Get_Device_ID_List_SizeA(ULONG* length, LPCSTR filter, ULONG flags) {
  return BelowEntry<TCM_Get_Device_ID_List_SizeA, EntryIndex("CM_Get_Device_ID_List_SizeA")>()(length, filter, flags);
}

CONFIGRET TkvRecordingMachine::CM_Get_Device_ID_ListA(LPCSTR filter, char* buffer, ULONG length, ULONG flags) {
  const CONFIGRET r = BelowEntry<TCM_Get_Device_ID_ListA, EntryIndex("CM_Get_Device_ID_ListA")>()(filter, buffer, length, flags);
  if (r != CR_SUCCESS || !buffer || !filter ||
      !(flags & (CM_GETIDLIST_FILTER_REMOVALRELATIONS | CM_GETIDLIST_FILTER_BUSRELATIONS)))
    return r;
  const DWORD error = GetLastError();
  // The devnode asked about may be one the walk passed without reading its
  // id: locating it ties the id to the devnode, so that its relations are
  // written where the library will ask for them.
  bool known;
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    known = FRec->ById.count(FRec->Upper(filter)) != 0;
  }
  DEVINST node = 0;
  auto locate = BelowEntry<TCM_Locate_DevNodeA, EntryIndex("CM_Locate_DevNodeA")>();
  const bool located = !known && locate && locate(&node, filter, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
  TkvLockGuard<TkvMutex> lock(FLock);
  if (located) FRec->BindId(node, filter);
  auto& map = (flags & CM_GETIDLIST_FILTER_REMOVALRELATIONS) ? FRec->RemovalRelations : FRec->BusRelations;
  const TkvRecBytes list = FRec->Bytes.Copy(buffer, MultiSzLength(buffer, length));
  auto it = map.find(FRec->Upper(filter));
  if (it != map.end()) it->second = list;
  else map.emplace(FRec->Bytes.Text(FRec->FUpper), list);
  SetLastError(error);
  return r;
}

NTSTATUS TkvRecordingMachine::ZwQueryKey(HANDLE key, int infoClass, void* buffer, ULONG length, ULONG* resultLength) {
  const NTSTATUS status = BelowEntry<TZwQueryKey, EntryIndex("ZwQueryKey")>()(key, infoClass, buffer, length, resultLength);
  if (status >= 0 && infoClass == KeyNameInformation && buffer && length >= 4) {
    ULONG bytes = 0;
    std::memcpy(&bytes, buffer, 4);
    const std::size_t units = std::min<std::size_t>(bytes, length - 4) / 2;
    TkvLockGuard<TkvMutex> lock(FLock);
    auto hw = FRec->HardwareKeyHandles.find(Key(key));
    if (hw != FRec->HardwareKeyHandles.end())
      FRec->At(hw->second).KernelName = FRec->Bytes.Copy(static_cast<const BYTE*>(buffer) + 4, units * 2);
  }
  return status;
}

}  // namespace kv
