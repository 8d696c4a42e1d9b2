// The simulated machine: handles, libraries, registry, drives, version and
// programs. The setup services live in kvsimsetupapi.cpp.
#include "kvsimmachine.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "kvtext.h"

namespace kv {

namespace {

std::string LibraryKey(std::string name) {
  name = UpperAscii(name);
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".DLL") == 0) name.resize(name.size() - 4);
  return name;
}

// Handles of this machine are tagged so that they can never be mistaken for
// the host's, and never look like small integers or INVALID_HANDLE_VALUE.
constexpr ULONG_PTR kHandleTag = 0x6B000000u;
ULONG_PTR HandleValue(const void* h) { return reinterpret_cast<ULONG_PTR>(h); }

}  // namespace

std::string RegistryRootName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return "HKLM";
  if (root == HKEY_CURRENT_USER) return "HKCU";
  if (root == HKEY_CLASSES_ROOT) return "HKCR";
  if (root == HKEY_USERS) return "HKU";
  return std::string();
}

TkvSimKey* TkvSimKey::Child(const std::string& name) const {
  auto it = FByName.find(UpperAscii(name));
  return it == FByName.end() ? nullptr : it->second;
}

void TkvSimKey::AddChild(std::unique_ptr<TkvSimKey> child) {
  child->Parent = this;
  FByName.emplace(UpperAscii(child->Name), child.get());
  Children.push_back(std::move(child));
}

void TkvSimKey::SetKernelAlias(const std::string& alias) {
  KernelAlias = alias;
  // A key known to the kernel under another name (CurrentControlSet is a
  // link to ControlSet001) opens under both names.
  if (Parent && !alias.empty()) Parent->FByName.emplace(UpperAscii(alias), this);
}

TkvSimValue* TkvSimKey::Value(const std::string& name) {
  for (auto& v : Values)
    if (SameText(v.first, name)) return &v.second;
  return nullptr;
}

TkvSimMachine::TkvSimMachine() {
  auto root = std::make_unique<TkvSimDevnode>();
  root->Handle = 1;
  root->InstanceId = "HTREE\\ROOT\\0";
  root->HardwareKey.clear();
  FDevnodes.push_back(std::move(root));
  for (const char* r : {"HKLM", "HKCU", "HKCR", "HKU"}) {
    auto key = std::make_unique<TkvSimKey>();
    key->Name = r;
    FRoots[r] = std::move(key);
  }
  // The kernel names the current control set by the set it points to.
  CreateKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet").SetKernelAlias("ControlSet001");
  SetVersion(5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3");
  InstallStandardExports();
}

TkvSimMachine::~TkvSimMachine() = default;

bool TkvSimMachine::Enter(const char* operation, DWORD* error) {
  ++FCalls;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FFailures.find(operation);
  if (it == FFailures.end() || it->second.Count == 0) return false;
  if (it->second.Count > 0) --it->second.Count;
  if (error) *error = it->second.Error;
  return true;
}

bool TkvSimMachine::EnterFails(const char* operation) {
  DWORD error = 0;
  if (!Enter(operation, &error)) return false;
  SetLastError(error);
  return true;
}

namespace {

// The machine's own operations that can be made to fail (the entry points of
// its libraries are known from the libraries).
const char* const kOperations[] = {
    "LoadLibraryA",    "GetProcAddress",    "FreeLibrary",      "CreateFileA",      "DeviceIoControl",
    "CloseHandle",     "RegOpenKeyExA",     "RegCreateKeyExA",  "RegQueryValueExA", "RegSetValueExA",
    "RegDeleteValueA", "RegEnumValueA",     "RegEnumKeyExA",    "RegCloseKey",      "GetLogicalDrives",
    "GetDriveTypeA",   "GetVersionExA",     "IsWow64",          "CreateProcessA",   "WaitForSingleObject",
    "GetExitCodeProcess"};

}  // namespace

bool TkvSimMachine::KnowsOperation(const std::string& operation) const {
  for (const char* o : kOperations)
    if (operation == o) return true;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FExportNames.count(operation) != 0;
}

void TkvSimMachine::Fail(const std::string& operation, DWORD error, int count) {
  if (!KnowsOperation(operation))
    throw std::invalid_argument("TkvSimMachine::Fail: no operation is named \"" + operation + "\"");
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FFailures[operation] = Failure{error, count};
}

void TkvSimMachine::ClearFailures() {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FFailures.clear();
}

// ---- builder ---------------------------------------------------------------

TkvSimDevnode& TkvSimMachine::AddDevnode(const DevnodeSpec& spec, TkvSimDevnode* parent) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto node = std::make_unique<TkvSimDevnode>();
  node->Handle = static_cast<DEVINST>(FDevnodes.size() + 1);
  node->InstanceId = spec.InstanceId;
  node->ClassGuid = spec.ClassGuid;
  node->Present = spec.Present;
  node->Parent = parent ? parent : FDevnodes.front().get();
  TkvSimDevnode& n = *node;
  auto text = [&](DWORD code, const std::string& value) {
    if (!value.empty()) SetProperty(n, code, value);
  };
  text(SPDRP_DRIVER, spec.DriverKey);
  text(SPDRP_DEVICEDESC, spec.Description);
  text(SPDRP_SERVICE, spec.Service);
  text(SPDRP_MFG, spec.Manufacturer);
  text(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, spec.PdoName);
  text(SPDRP_FRIENDLYNAME, spec.FriendlyName);
  if (!spec.HardwareIds.empty()) {
    std::u16string multi;
    for (const auto& id : spec.HardwareIds) {
      multi += Utf8ToUtf16(id);
      multi.push_back(0);
    }
    multi.push_back(0);
    TkvSimValue v;
    v.Type = REG_MULTI_SZ;
    v.Wide = true;
    v.Data.assign(reinterpret_cast<const BYTE*>(multi.data()),
                  reinterpret_cast<const BYTE*>(multi.data() + multi.size()));
    n.Properties[SPDRP_HARDWAREID] = v;
  }
  if (spec.WithHardwareKey || !spec.Parameters.empty()) {
    n.HardwareKey = "SYSTEM\\CurrentControlSet\\Enum\\" + spec.InstanceId + "\\Device Parameters";
    CreateKey(HKEY_LOCAL_MACHINE, n.HardwareKey);
    for (const auto& p : spec.Parameters) SetString(HKEY_LOCAL_MACHINE, n.HardwareKey, p.first, p.second);
  }
  n.IndexInParent = n.Parent->Children.size();
  n.Parent->Children.push_back(&n);
  FDevnodeById.emplace(UpperAscii(n.InstanceId), &n);
  FDevnodes.push_back(std::move(node));
  return n;
}

TkvSimDevnode* TkvSimMachine::FindDevnode(const std::string& instanceId) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FDevnodeById.find(UpperAscii(instanceId));
  return it == FDevnodeById.end() ? nullptr : it->second;
}

void TkvSimMachine::SetProperty(TkvSimDevnode& node, DWORD spdrp, const std::string& utf8Text) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  std::u16string w = Utf8ToUtf16(utf8Text);
  w.push_back(0);
  TkvSimValue v;
  v.Type = REG_SZ;
  v.Wide = true;
  v.Data.assign(reinterpret_cast<const BYTE*>(w.data()), reinterpret_cast<const BYTE*>(w.data() + w.size()));
  node.Properties[spdrp] = v;
  if (spdrp == SPDRP_DRIVER) FDevnodeByDriverKey[UpperAscii(utf8Text)] = &node;
}

TkvSimKey& TkvSimMachine::CreateKey(HKEY root, const std::string& path) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* r = RootKey(root);
  if (!r) throw std::invalid_argument("not a predefined registry root");
  return *FindKey(r, path, true);
}

void TkvSimMachine::SetString(HKEY root, const std::string& path, const std::string& name,
                              const std::string& utf8Text, bool withZero, DWORD type) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey& key = CreateKey(root, path);
  std::u16string w = Utf8ToUtf16(utf8Text);
  if (withZero) w.push_back(0);
  TkvSimValue v;
  v.Type = type;
  v.Wide = true;
  v.Data.assign(reinterpret_cast<const BYTE*>(w.data()), reinterpret_cast<const BYTE*>(w.data() + w.size()));
  if (TkvSimValue* old = key.Value(name)) *old = v;
  else key.Values.emplace_back(name, v);
}

void TkvSimMachine::SetBinary(HKEY root, const std::string& path, const std::string& name,
                              const std::vector<BYTE>& data) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey& key = CreateKey(root, path);
  TkvSimValue v;
  v.Type = REG_BINARY;
  v.Data = data;
  if (TkvSimValue* old = key.Value(name)) *old = v;
  else key.Values.emplace_back(name, v);
}

void TkvSimMachine::SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value) {
  std::vector<BYTE> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  SetBinary(root, path, name, bytes);
  CreateKey(root, path).Value(name)->Type = REG_DWORD;
}

const TkvSimValue* TkvSimMachine::GetValue(HKEY root, const std::string& path, const std::string& name) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* r = RootKey(root);
  TkvSimKey* key = r ? FindKey(r, path, false) : nullptr;
  return key ? key->Value(name) : nullptr;
}

void TkvSimMachine::SetDrive(char letter, UINT type) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  letter = UpperAscii(letter);
  if (letter < 'A' || letter > 'Z') throw std::invalid_argument("drive letter out of A..Z");
  if (type == DRIVE_NO_ROOT_DIR) FDrives.erase(letter);
  else FDrives[letter] = type;
}

void TkvSimMachine::SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platform,
                               const std::string& servicePack) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FVersion = OSVERSIONINFOA{};
  FVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  FVersion.dwMajorVersion = major;
  FVersion.dwMinorVersion = minor;
  FVersion.dwBuildNumber = build;
  FVersion.dwPlatformId = platform;
  std::strncpy(FVersion.szCSDVersion, servicePack.c_str(), sizeof(FVersion.szCSDVersion) - 1);
}

void TkvSimMachine::SetWow64(bool wow64) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FWow64 = wow64;
}

void TkvSimMachine::RemoveLibrary(const std::string& library) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  Library& lib = FLibraries[LibraryKey(library)];
  if (lib.Name.empty()) lib.Name = library;
  lib.Present = false;
}

void TkvSimMachine::RemoveExport(const std::string& library, const std::string& entry) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  Library& lib = FLibraries[LibraryKey(library)];
  if (lib.Name.empty()) lib.Name = library;
  if (lib.Exports.erase(entry)) lib.Removed.insert(entry);
}

void TkvSimMachine::AddExport(const std::string& library, const std::string& entry, FARPROC proc) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  Library& lib = FLibraries[LibraryKey(library)];
  if (lib.Name.empty()) lib.Name = library;
  lib.Exports[entry] = proc;
  lib.Removed.erase(entry);
  FExportNames.insert(entry);
}

unsigned TkvSimMachine::LoadCount(const std::string& library) const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FLibraries.find(LibraryKey(library));
  return it == FLibraries.end() ? 0 : it->second.Loads;
}

void TkvSimMachine::AddDeviceObject(const std::string& path, std::shared_ptr<TkvSimDeviceObject> object) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FDeviceObjects[UpperAscii(path)] = std::move(object);
}

void TkvSimMachine::RemoveDeviceObject(const std::string& path) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FDeviceObjects.erase(UpperAscii(path));
}

std::size_t TkvSimMachine::OpenHandleCount() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FHandles.size();
}

void TkvSimMachine::SetPresentByDriverKey(const std::string& driverKey, bool present) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  const std::string wanted = UpperAscii(driverKey);
  for (auto& node : FDevnodes) {
    auto it = node->Properties.find(SPDRP_DRIVER);
    if (it == node->Properties.end()) continue;
    std::string key = Ansi(it->second);
    key.erase(std::find(key.begin(), key.end(), '\0'), key.end());
    if (UpperAscii(key) == wanted) node->Present = present;
  }
}

std::shared_ptr<TkvSimDeviceObject> TkvSimMachine::FindDeviceObject(const std::string& path) const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FDeviceObjects.find(UpperAscii(path));
  return it == FDeviceObjects.end() ? nullptr : it->second;
}

void TkvSimMachine::AddProgram(const std::string& fileName, TProgram program) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  FPrograms[UpperAscii(fileName)] = std::move(program);
}

void TkvSimMachine::AddProgram(const std::string& fileName, DWORD exitCode) {
  AddProgram(fileName, [exitCode](const std::string&, const std::string&) { return exitCode; });
}

std::vector<std::string> TkvSimMachine::StartedCommandLines() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FStarted;
}

// ---- libraries ---------------------------------------------------------------

HMODULE TkvSimMachine::LoadLibraryA(LPCSTR name) {
  if (EnterFails("LoadLibraryA")) return nullptr;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = name ? FLibraries.find(LibraryKey(name)) : FLibraries.end();
  if (it == FLibraries.end() || !it->second.Present) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Library& lib = it->second;
  if (!lib.Handle) lib.Handle = reinterpret_cast<HMODULE>(kHandleTag + (FNextHandle++ << 4));
  ++lib.Loads;
  ++lib.References;
  return lib.Handle;
}

FARPROC TkvSimMachine::GetProcAddress(HMODULE module, LPCSTR name) {
  if (EnterFails("GetProcAddress")) return nullptr;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  ++FLookups;
  for (auto& entry : FLibraries) {
    Library& lib = entry.second;
    if (lib.Handle != module || module == nullptr || lib.References == 0) continue;
    if (!name || IsIntResource(name)) break;
    auto e = lib.Exports.find(name);
    if (e == lib.Exports.end()) break;
    return e->second;
  }
  SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL TkvSimMachine::FreeLibrary(HMODULE module) {
  // A failure chosen by a test still lets go of the library, as a library
  // whose detach code fails does, but reports the error.
  DWORD error = 0;
  const bool fail = Enter("FreeLibrary", &error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  for (auto& entry : FLibraries) {
    Library& lib = entry.second;
    if (module && lib.Handle == module && lib.References > 0) {
      --lib.References;
      if (fail) {
        SetLastError(error);
        return FALSE;
      }
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

// ---- device objects, processes -------------------------------------------------

// Windows turns the name given to CreateFileA into UTF-16 with the ANSI code
// page; the paths here are kept as UTF-8. A name with characters beyond
// ASCII therefore names the object whose path, converted to the code page,
// gives the same bytes, unless the conversion lost a character ("?" stands
// for one that the code page lacks, and names nothing).
std::map<std::string, std::shared_ptr<TkvSimDeviceObject>>::iterator TkvSimMachine::FindByAnsiName(
    const std::string& name) {
  const std::string wanted = UpperAscii(name);
  const bool ascii = std::all_of(wanted.begin(), wanted.end(), [](char c) { return (c & 0x80) == 0; });
  if (ascii) return FDeviceObjects.end();
  for (auto it = FDeviceObjects.begin(); it != FDeviceObjects.end(); ++it) {
    const std::u16string wide = Utf8ToUtf16(it->first);
    const std::string ansi = Host().WideToAnsi(reinterpret_cast<const WCHAR*>(wide.data()), wide.size());
    if (ansi != wanted) continue;
    if (std::count(ansi.begin(), ansi.end(), '?') == std::count(wide.begin(), wide.end(), u'?')) return it;
  }
  return FDeviceObjects.end();
}

HANDLE TkvSimMachine::CreateFileA(LPCSTR name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition, DWORD,
                                  HANDLE) {
  if (EnterFails("CreateFileA")) return INVALID_HANDLE_VALUE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = name ? FDeviceObjects.find(UpperAscii(name)) : FDeviceObjects.end();
  if (it == FDeviceObjects.end() && name) it = FindByAnsiName(name);
  if (it == FDeviceObjects.end() || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto h = std::make_unique<OpenHandle>();
  h->What = OpenHandle::Device;
  h->Object = it->second;
  const ULONG_PTR value = kHandleTag + (FNextHandle++ << 4);
  FHandles[value] = std::move(h);
  return reinterpret_cast<HANDLE>(value);
}

BOOL TkvSimMachine::DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                    DWORD* returned, OVERLAPPED*) {
  if (EnterFails("DeviceIoControl")) return FALSE;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FHandles.find(HandleValue(device));
  if (it == FHandles.end() || it->second->What != OpenHandle::Device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD got = 0;
  DWORD error = ERROR_SUCCESS;
  // The driver sees its own copy of the input, as with METHOD_BUFFERED: input
  // and output may be the same buffer.
  std::vector<BYTE> input(static_cast<const BYTE*>(in), static_cast<const BYTE*>(in) + (in ? inSize : 0));
  const BOOL ok = it->second->Object->Ioctl(code, input.empty() ? nullptr : input.data(), inSize,
                                            static_cast<BYTE*>(out), out ? outSize : 0, &got, &error);
  if (returned) *returned = got;
  if (!ok) SetLastError(error ? error : ERROR_GEN_FAILURE);
  return ok;
}

BOOL TkvSimMachine::CloseHandle(HANDLE handle) {
  Enter("CloseHandle", nullptr);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (FHandles.erase(HandleValue(handle)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL TkvSimMachine::CreateProcessA(LPCSTR application, LPSTR commandLine, SECURITY_ATTRIBUTES*,
                                   SECURITY_ATTRIBUTES*, BOOL, DWORD, void*, LPCSTR directory, STARTUPINFOA*,
                                   PROCESS_INFORMATION* info) {
  if (EnterFails("CreateProcessA")) return FALSE;
  const std::string line = commandLine ? commandLine : (application ? application : "");
  // The program is the first token, quoted or not, as CreateProcessA reads it.
  std::string program = application ? application : "";
  if (program.empty()) {
    std::size_t b = 0;
    while (b < line.size() && line[b] == ' ') ++b;
    if (b < line.size() && line[b] == '"') {
      const std::size_t e = line.find('"', b + 1);
      program = line.substr(b + 1, e == std::string::npos ? std::string::npos : e - b - 1);
    } else {
      const std::size_t e = line.find(' ', b);
      program = line.substr(b, e == std::string::npos ? std::string::npos : e - b);
    }
  }
  std::string file = program.substr(program.find_last_of("\\/") == std::string::npos
                                        ? 0
                                        : program.find_last_of("\\/") + 1);
  TProgram handler;
  bool stub = false;
  {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    auto it = FPrograms.find(UpperAscii(file));
    if (it == FPrograms.end()) it = FPrograms.find(UpperAscii(file + ".exe"));
    // The 64-bit stub is a program of every machine, started from the file
    // that the library writes out of the program's resource.
    stub = it == FPrograms.end() && SameText(file, "kvX64stub.exe");
    if (!stub && (it == FPrograms.end() || file.empty())) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    if (!stub) handler = it->second;
    FStarted.push_back(line);
  }
  // The program runs to its end at once; the handles only report the result.
  DWORD exitCode = 0;
  if (stub) {
    if (!RunStub(program, line, exitCode)) return FALSE;
  } else {
    exitCode = handler(line, directory ? directory : "");
  }
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto process = std::make_unique<OpenHandle>();
  process->What = OpenHandle::Process;
  process->ExitCode = exitCode;
  auto thread = std::make_unique<OpenHandle>();
  thread->What = OpenHandle::Thread;
  const ULONG_PTR p = kHandleTag + (FNextHandle++ << 4);
  const ULONG_PTR t = kHandleTag + (FNextHandle++ << 4);
  FHandles[p] = std::move(process);
  FHandles[t] = std::move(thread);
  if (info) {
    info->hProcess = reinterpret_cast<HANDLE>(p);
    info->hThread = reinterpret_cast<HANDLE>(t);
    info->dwProcessId = static_cast<DWORD>(p & 0xFFFF);
    info->dwThreadId = static_cast<DWORD>(t & 0xFFFF);
  }
  return TRUE;
}

DWORD TkvSimMachine::WaitForSingleObject(HANDLE handle, DWORD) {
  Enter("WaitForSingleObject", nullptr);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FHandles.find(HandleValue(handle));
  if (it == FHandles.end() || it->second->What == OpenHandle::Device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return WAIT_OBJECT_0;
}

BOOL TkvSimMachine::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  Enter("GetExitCodeProcess", nullptr);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FHandles.find(HandleValue(process));
  if (it == FHandles.end() || it->second->What != OpenHandle::Process || !exitCode) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = it->second->ExitCode;
  return TRUE;
}

// ---- drives and version ----------------------------------------------------------

DWORD TkvSimMachine::GetLogicalDrives() {
  if (EnterFails("GetLogicalDrives")) return 0;
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  DWORD mask = 0;
  for (const auto& d : FDrives) mask |= 1u << (d.first - 'A');
  return mask;
}

UINT TkvSimMachine::GetDriveTypeA(LPCSTR rootPath) {
  Enter("GetDriveTypeA", nullptr);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!rootPath || !rootPath[0]) return DRIVE_NO_ROOT_DIR;
  const std::string p = rootPath;
  if (p.size() < 2 || p[1] != ':' || (p.size() > 2 && p.substr(2) != "\\")) return DRIVE_NO_ROOT_DIR;
  auto it = FDrives.find(UpperAscii(p[0]));
  return it == FDrives.end() ? DRIVE_NO_ROOT_DIR : it->second;
}

BOOL TkvSimMachine::GetVersionExA(OSVERSIONINFOA* info) {
  if (EnterFails("GetVersionExA")) return FALSE;
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  const DWORD size = info->dwOSVersionInfoSize;
  *info = FVersion;
  info->dwOSVersionInfoSize = size;
  return TRUE;
}

BOOL TkvSimMachine::IsWow64() {
  Enter("IsWow64", nullptr);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FWow64 ? TRUE : FALSE;
}

// ---- registry --------------------------------------------------------------------

TkvSimKey* TkvSimMachine::RootKey(HKEY root) {
  const std::string name = RegistryRootName(root);
  if (name.empty()) return nullptr;
  return FRoots[name].get();
}

TkvSimKey* TkvSimMachine::KeyFromHandle(HKEY key) {
  if (TkvSimKey* r = RootKey(key)) return r;
  auto it = FKeyHandles.find(HandleValue(key));
  return it == FKeyHandles.end() ? nullptr : it->second;
}

TkvSimKey* TkvSimMachine::FindKey(TkvSimKey* from, const std::string& path, bool create) {
  TkvSimKey* key = from;
  std::size_t pos = 0;
  while (key && pos <= path.size()) {
    std::size_t end = path.find('\\', pos);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;  // leading, doubled or trailing separators
    TkvSimKey* child = key->Child(part);
    if (!child && create) {
      auto k = std::make_unique<TkvSimKey>();
      k->Name = part;
      child = k.get();
      key->AddChild(std::move(k));
    }
    key = child;
  }
  return key;
}

HKEY TkvSimMachine::NewKeyHandle(TkvSimKey* key) {
  const ULONG_PTR value = kHandleTag + (FNextHandle++ << 4);
  FKeyHandles[value] = key;
  return reinterpret_cast<HKEY>(value);
}

std::string TkvSimMachine::KernelName(const TkvSimKey* key) const {
  std::vector<const TkvSimKey*> chain;
  for (const TkvSimKey* k = key; k; k = k->Parent) chain.push_back(k);
  const std::string root = chain.back()->Name;
  std::string name = root == "HKLM"  ? "\\REGISTRY\\MACHINE"
                     : root == "HKU" ? "\\REGISTRY\\USER"
                     : root == "HKCR" ? "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"
                                      : "\\REGISTRY\\USER\\S-1-5-21-1004336348-1177238915-682003330-1000";
  for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it)
    name += "\\" + ((*it)->KernelAlias.empty() ? (*it)->Name : (*it)->KernelAlias);
  return name;
}

LONG TkvSimMachine::RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM, HKEY* result) {
  DWORD error = 0;
  if (Enter("RegOpenKeyExA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!result) return ERROR_INVALID_PARAMETER;
  TkvSimKey* from = KeyFromHandle(root);
  if (!from) return ERROR_INVALID_HANDLE;
  TkvSimKey* key = FindKey(from, subKey ? subKey : "", false);
  if (!key) return ERROR_FILE_NOT_FOUND;
  *result = NewKeyHandle(key);
  return ERROR_SUCCESS;
}

LONG TkvSimMachine::RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, SECURITY_ATTRIBUTES*,
                                    HKEY* result, DWORD* disposition) {
  DWORD error = 0;
  if (Enter("RegCreateKeyExA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (!result) return ERROR_INVALID_PARAMETER;
  TkvSimKey* from = KeyFromHandle(root);
  if (!from) return ERROR_INVALID_HANDLE;
  const bool existed = FindKey(from, subKey ? subKey : "", false) != nullptr;
  TkvSimKey* key = FindKey(from, subKey ? subKey : "", true);
  *result = NewKeyHandle(key);
  if (disposition) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

std::string TkvSimMachine::Ansi(const TkvSimValue& value) {
  if (!value.Wide) return std::string(value.Data.begin(), value.Data.end());
  const std::size_t units = value.Data.size() / 2;
  std::u16string w(units, u'\0');
  std::memcpy(&w[0], value.Data.data(), units * 2);
  return Host().WideToAnsi(reinterpret_cast<const WCHAR*>(w.data()), units);
}

namespace {

// A value's data into the caller's buffer as the registry hands it out: its
// size always, its bytes when they fit (ERROR_MORE_DATA when not).
LONG CopyValueData(const std::string& bytes, BYTE* data, DWORD* size) {
  if (data) {
    if (!size) return ERROR_INVALID_PARAMETER;
    if (*size < bytes.size()) {
      *size = static_cast<DWORD>(bytes.size());
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
  }
  if (size) *size = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG TkvSimMachine::RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  DWORD error = 0;
  if (Enter("RegQueryValueExA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* k = KeyFromHandle(key);
  if (!k) return ERROR_INVALID_HANDLE;
  TkvSimValue* v = k->Value(valueName ? valueName : "");
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->Type;
  return CopyValueData(Ansi(*v), data, size);
}

LONG TkvSimMachine::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
  DWORD error = 0;
  if (Enter("RegSetValueExA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* k = KeyFromHandle(key);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  TkvSimValue v;
  v.Type = type;
  v.Data.assign(data, data + size);
  const std::string name = valueName ? valueName : "";
  if (TkvSimValue* old = k->Value(name)) *old = v;
  else k->Values.emplace_back(name, v);
  return ERROR_SUCCESS;
}

LONG TkvSimMachine::RegDeleteValueA(HKEY key, LPCSTR valueName) {
  DWORD error = 0;
  if (Enter("RegDeleteValueA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* k = KeyFromHandle(key);
  if (!k) return ERROR_INVALID_HANDLE;
  for (auto it = k->Values.begin(); it != k->Values.end(); ++it) {
    if (SameText(it->first, valueName ? valueName : "")) {
      k->Values.erase(it);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LONG TkvSimMachine::RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD*, DWORD* type,
                                  BYTE* data, DWORD* dataSize) {
  DWORD error = 0;
  if (Enter("RegEnumValueA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* k = KeyFromHandle(key);
  if (!k) return ERROR_INVALID_HANDLE;
  if (index >= k->Values.size()) return ERROR_NO_MORE_ITEMS;
  const auto& entry = k->Values[index];
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  // The name size counts characters; on success it excludes the closing zero.
  if (*nameSize <= entry.first.size()) return ERROR_MORE_DATA;
  std::memcpy(name, entry.first.c_str(), entry.first.size() + 1);
  *nameSize = static_cast<DWORD>(entry.first.size());
  if (type) *type = entry.second.Type;
  return CopyValueData(Ansi(entry.second), data, dataSize);
}

LONG TkvSimMachine::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD*, LPSTR, DWORD*,
                                  void*) {
  DWORD error = 0;
  if (Enter("RegEnumKeyExA", &error)) return static_cast<LONG>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TkvSimKey* k = KeyFromHandle(key);
  if (!k) return ERROR_INVALID_HANDLE;
  if (index >= k->Children.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& child = k->Children[index]->Name;
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  if (*nameSize <= child.size()) return ERROR_MORE_DATA;
  std::memcpy(name, child.c_str(), child.size() + 1);
  *nameSize = static_cast<DWORD>(child.size());
  return ERROR_SUCCESS;
}

LONG TkvSimMachine::RegCloseKey(HKEY key) {
  Enter("RegCloseKey", nullptr);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  if (RootKey(key)) return ERROR_SUCCESS;
  return FKeyHandles.erase(HandleValue(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

NTSTATUS TkvSimMachine::ZwQueryKey(HANDLE key, int infoClass, void* buffer, ULONG length, ULONG* resultLength) {
  DWORD error = 0;
  if (Enter("ZwQueryKey", &error)) return static_cast<NTSTATUS>(error);
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  // The predefined roots are advapi32's pseudo-handles, not kernel handles:
  // the kernel knows only keys that were opened.
  TkvSimKey* k = RootKey(static_cast<HKEY>(key)) ? nullptr : KeyFromHandle(static_cast<HKEY>(key));
  if (!k) return STATUS_INVALID_HANDLE;
  if (infoClass != KeyNameInformation) return static_cast<NTSTATUS>(0xC0000003u);  // invalid info class
  const std::u16string name = Utf8ToUtf16(KernelName(k));
  const ULONG bytes = static_cast<ULONG>(name.size() * 2);
  const ULONG needed = 4 + bytes;
  if (resultLength) *resultLength = needed;
  if (!buffer || length < needed) return length < 4 || !buffer ? STATUS_BUFFER_TOO_SMALL : STATUS_BUFFER_OVERFLOW;
  std::memcpy(buffer, &bytes, 4);
  std::memcpy(static_cast<BYTE*>(buffer) + 4, name.data(), bytes);
  return STATUS_SUCCESS;
}

std::string TkvSimMachine::Dump() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  std::ostringstream out;
  out << "machine \"" << FName << "\": " << FDevnodes.size() << " devnodes\n";
  std::function<void(const TkvSimDevnode*, int)> walk = [&](const TkvSimDevnode* n, int depth) {
    out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << n->InstanceId << (n->Present ? "" : " (absent)")
        << "\n";
    for (const TkvSimDevnode* c : n->Children) walk(c, depth + 1);
  };
  walk(FDevnodes.front().get(), 0);
  out << "device objects:";
  for (const auto& d : FDeviceObjects) out << " " << d.first;
  out << "\narmed failures:";
  for (const auto& f : FFailures) {
    if (f.second.Count == 0) continue;  // used up
    out << " " << f.first << " (error " << f.second.Error << ", "
        << (f.second.Count < 0 ? std::string("always") : std::to_string(f.second.Count) + " more") << ")";
  }
  out << "\nmissing libraries:";
  for (const auto& l : FLibraries)
    if (!l.second.Present) out << " " << (l.second.Name.empty() ? l.first : l.second.Name);
  out << "\nmissing entries:";
  for (const auto& l : FLibraries)
    for (const std::string& e : l.second.Removed) out << " " << l.second.Name << "!" << e;
  out << "\noutstanding: " << Outstanding() << "\n";
  return out.str();
}

TkvSimMachine::TOutstanding TkvSimMachine::Outstanding() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  TOutstanding o;
  o.Handles = FHandles.size();
  o.Keys = FKeyHandles.size();
  o.DevInfoSets = FSets.size();
  for (const auto& l : FLibraries) o.Libraries += l.second.References;
  return o;
}

}  // namespace kv
