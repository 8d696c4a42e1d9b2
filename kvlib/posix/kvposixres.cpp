// The program's own module, resources and version record on the POSIX host.
//
// The build registers the raw-data items and the version numbers and strings
// of the program's .rc file at start-up (kvresources.h). FindResourceA looks
// them up like Windows does: names without regard to case, integer ids as
// "#N". The version record is built as a real version block (the 8-bit layout
// of Windows' VS_VERSIONINFO: length, value length, key, value, children, each
// aligned to 4 bytes) so that VerQueryValueA walks it as Windows walks its
// own; it is also the resource #1 of type RT_VERSION.
#include "kvlock.h"
#include "kvresources.h"

#include "kvposiximpl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <strings.h>
#include <vector>

namespace kv {
namespace {

struct TResource {
  std::string Name;  // "#N" for an integer id
  int Type;
  const void* Data;
  std::size_t Size;
};

struct TResources {
  TkvMutex Lock;
  std::deque<TResource> Items KV_GUARDED_BY(Lock);  // a deque keeps the addresses that HRSRC are
  bool HasVersion KV_GUARDED_BY(Lock) = false;
  unsigned Version[4] KV_GUARDED_BY(Lock) = {0, 0, 0, 0};
  std::vector<std::pair<std::string, std::string>> Strings KV_GUARDED_BY(Lock);
  // Every block ever built stays alive: a resource found earlier points into it.
  std::deque<std::vector<char>> Blocks KV_GUARDED_BY(Lock);
  TResource VersionItem KV_GUARDED_BY(Lock){"#1", RT_VERSION_ID, nullptr, 0};
};

TResources& Resources() {
  static TResources* resources = new TResources;
  return *resources;
}

// ---- the version block ------------------------------------------------------

void Align(std::vector<char>& b) {
  while (b.size() % 4) b.push_back('\0');
}

void PutWord(std::vector<char>& b, std::size_t at, std::size_t value) {
  const auto w = static_cast<WORD>(value);
  std::memcpy(b.data() + at, &w, sizeof w);
}

// Appends one node; Children appends its children. Returns nothing: the node's
// length is patched in once its children are written.
template <class F>
void PutNode(std::vector<char>& b, const std::string& key, const void* value, std::size_t valueLength, F children) {
  Align(b);
  const std::size_t start = b.size();
  b.resize(b.size() + 4);
  PutWord(b, start + 2, valueLength);
  b.insert(b.end(), key.c_str(), key.c_str() + key.size() + 1);
  Align(b);
  const char* v = static_cast<const char*>(value);
  if (valueLength) b.insert(b.end(), v, v + valueLength);
  children();
  PutWord(b, start, b.size() - start);
}

void BuildVersionBlock(TResources& r) KV_REQUIRES(r.Lock) {
  VS_FIXEDFILEINFO fixed{};
  fixed.dwSignature = 0xFEEF04BDu;
  fixed.dwStrucVersion = 0x00010000u;
  fixed.dwFileVersionMS = (r.Version[0] & 0xFFFF) << 16 | (r.Version[1] & 0xFFFF);
  fixed.dwFileVersionLS = (r.Version[2] & 0xFFFF) << 16 | (r.Version[3] & 0xFFFF);
  fixed.dwProductVersionMS = fixed.dwFileVersionMS;
  fixed.dwProductVersionLS = fixed.dwFileVersionLS;
  fixed.dwFileFlagsMask = 0x3F;
  fixed.dwFileOS = 0x00040004u;  // VOS_NT_WINDOWS32
  fixed.dwFileType = 1;          // VFT_APP
  const WORD translation[2] = {0x0409, 1252};

  const auto strings = r.Strings;
  std::vector<char> b;
  PutNode(b, "VS_VERSION_INFO", &fixed, sizeof fixed, [&] {
    PutNode(b, "StringFileInfo", nullptr, 0, [&] {
      PutNode(b, "040904E4", nullptr, 0, [&] {
        for (const auto& [key, text] : strings) PutNode(b, key, text.c_str(), text.size() + 1, [] {});
      });
    });
    PutNode(b, "VarFileInfo", nullptr, 0,
            [&] { PutNode(b, "Translation", translation, sizeof translation, [] {}); });
  });
  r.Blocks.push_back(std::move(b));
  r.VersionItem.Data = r.Blocks.back().data();
  r.VersionItem.Size = r.Blocks.back().size();
}

// One node of a version block, as offsets into it.
struct TNode {
  std::size_t Start, End, Value, ValueLength, Children;
  const char* Key;
};

bool ReadNode(const char* base, std::size_t at, std::size_t limit, TNode& node) {
  if (at + 4 > limit) return false;
  WORD length, valueLength;
  std::memcpy(&length, base + at, 2);
  std::memcpy(&valueLength, base + at + 2, 2);
  if (length < 6 || at + length > limit) return false;
  node.Start = at;
  node.End = at + length;
  node.Key = base + at + 4;
  const void* zero = std::memchr(node.Key, 0, node.End - (at + 4));
  if (!zero) return false;
  node.Value = (static_cast<std::size_t>(static_cast<const char*>(zero) - base) + 1 + 3) & ~std::size_t{3};
  node.ValueLength = valueLength;
  if (node.Value + valueLength > node.End) {
    if (valueLength) return false;
    node.Value = node.End;
  }
  node.Children = (node.Value + valueLength + 3) & ~std::size_t{3};
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string WithoutExe(std::string name) {
  name = Lower(name);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
  return name;
}

std::string Base(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0));
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// True when Name is the program's own file: its full path, a path that leads
// to it, or its bare name (with or without ".exe", in any case).
bool IsOwnFile(LPCSTR name) {
  if (!name || !*name) return false;
  const std::string path = posix::NativePath(name);
  const std::string self = posix::ExecutablePath();
  if (path == self) return true;
  if (WithoutExe(Base(path)) != WithoutExe(Base(self))) return false;
  if (path.find('/') == std::string::npos) return true;
  const std::string folder = RealPath(Folder(path));
  return !folder.empty() && folder == RealPath(Folder(self));
}

DWORD NotOwnFileError(LPCSTR name) {
  struct stat st;
  const std::string path = posix::NativePath(name);
  if (!path.empty() && ::stat(path.c_str(), &st) == 0) return posix::ERROR_RESOURCE_TYPE_NOT_FOUND;
  const std::string folder = Folder(path);
  return (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool IsOwnModule(HMODULE module) { return !module || module == posix::OwnModule(); }

const TResource* Validate(TResources& r, HRSRC res) KV_REQUIRES(r.Lock) {
  const auto* item = reinterpret_cast<const TResource*>(res);
  if (item && item == &r.VersionItem && r.HasVersion) return item;
  for (const TResource& i : r.Items)
    if (&i == item) return item;
  return nullptr;
}

}  // namespace

namespace posix {

std::string ExecutablePath() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace posix

namespace host {

void RegisterResource(const char* name, int type, const void* data, std::size_t size) {
  if (!name) return;
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  r.Items.push_back(TResource{name, type, data, size});
}

void UnregisterResource(const char* name, int type) {
  if (!name) return;
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  // The item stays where it is (a handle found earlier points at it); it is
  // only no longer found by name.
  for (TResource& item : r.Items)
    if (item.Type == type && ::strcasecmp(item.Name.c_str(), name) == 0) item.Name = "\n";  // no resource name holds a line break
}

void RegisterVersion(unsigned a, unsigned b, unsigned c, unsigned d) {
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  r.HasVersion = true;
  r.Version[0] = a;
  r.Version[1] = b;
  r.Version[2] = c;
  r.Version[3] = d;
  BuildVersionBlock(r);
}

void RegisterVersionString(const char* key, const char* value) {
  if (!key) return;
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  bool replaced = false;
  for (auto& [k, v] : r.Strings) {
    if (::strcasecmp(k.c_str(), key) == 0) {
      v = value ? value : "";
      replaced = true;
    }
  }
  if (!replaced) r.Strings.emplace_back(key, value ? value : "");
  r.HasVersion = true;
  BuildVersionBlock(r);
}

}  // namespace host

HMODULE TkvPosixHost::GetModuleHandleA(LPCSTR name) {
  if (!name || WithoutExe(Base(posix::NativePath(name))) == WithoutExe(Base(posix::ExecutablePath())))
    return posix::OwnModule();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

DWORD TkvPosixHost::GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (!IsOwnModule(module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::string path = posix::ExecutablePath();
  if (!buffer || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    // Windows cuts the name to the buffer, ends it with a zero and reports the
    // buffer's size.
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

HRSRC TkvPosixHost::FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (!IsOwnModule(module)) {
    SetLastError(posix::ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  if (!name || !type) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string key =
      IsIntResource(name) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name)) : std::string(name);
  int typeId = -1;  // a type given by a name other than "#N" matches no registered type
  if (IsIntResource(type))
    typeId = static_cast<int>(reinterpret_cast<ULONG_PTR>(type));
  else if (type[0] == '#')
    typeId = std::atoi(type + 1);

  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  if (typeId == RT_VERSION_ID && r.HasVersion) {
    if (key == r.VersionItem.Name) return reinterpret_cast<HRSRC>(&r.VersionItem);
    SetLastError(posix::ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  bool typeSeen = false;
  for (const TResource& item : r.Items) {
    if (item.Type != typeId) continue;
    typeSeen = true;
    if (::strcasecmp(item.Name.c_str(), key.c_str()) == 0)
      return reinterpret_cast<HRSRC>(const_cast<TResource*>(&item));
  }
  SetLastError(typeSeen ? posix::ERROR_RESOURCE_NAME_NOT_FOUND : posix::ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

HGLOBAL TkvPosixHost::LoadResource(HMODULE module, HRSRC res) {
  static const char empty[1] = {0};
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  const TResource* item = IsOwnModule(module) ? Validate(r, res) : nullptr;
  if (!item) {
    SetLastError(posix::ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return const_cast<void*>(item->Data && item->Size ? item->Data : empty);
}

void* TkvPosixHost::LockResource(HGLOBAL data) { return data; }

DWORD TkvPosixHost::SizeofResource(HMODULE module, HRSRC res) {
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  const TResource* item = IsOwnModule(module) ? Validate(r, res) : nullptr;
  if (!item) {
    SetLastError(posix::ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
  }
  return static_cast<DWORD>(item->Size);
}

DWORD TkvPosixHost::GetFileVersionInfoSizeA(LPCSTR fileName, DWORD* handle) {
  if (handle) *handle = 0;
  if (!IsOwnFile(fileName)) {
    SetLastError(NotOwnFileError(fileName));
    return 0;
  }
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  if (!r.HasVersion) {
    SetLastError(posix::ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  return static_cast<DWORD>(r.VersionItem.Size);
}

BOOL TkvPosixHost::GetFileVersionInfoA(LPCSTR fileName, DWORD, DWORD size, void* data) {
  if (!IsOwnFile(fileName)) {
    SetLastError(NotOwnFileError(fileName));
    return FALSE;
  }
  TResources& r = Resources();
  TkvLockGuard<TkvMutex> lock(r.Lock);
  if (!r.HasVersion) {
    SetLastError(posix::ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  if (!data) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Like Windows, a buffer too small gets the start of the record.
  std::memcpy(data, r.VersionItem.Data, std::min<std::size_t>(size, r.VersionItem.Size));
  return TRUE;
}

BOOL TkvPosixHost::VerQueryValueA(const void* block, LPCSTR subBlock, void** buffer, UINT* length) {
  if (buffer) *buffer = nullptr;
  if (length) *length = 0;
  if (!block || !subBlock || !buffer || !length) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char* base = static_cast<const char*>(block);
  WORD total;
  std::memcpy(&total, base, 2);
  TNode node;
  if (!ReadNode(base, 0, total, node)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = posix::NativePath(subBlock);
  for (std::size_t at = 0; at < path.size();) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(at, slash - at);
    at = slash + 1;
    if (part.empty()) continue;
    // Any language and code page finds the one string table there is.
    const bool anyTable = ::strcasecmp(node.Key, "StringFileInfo") == 0;
    TNode child, first;
    bool found = false, hasFirst = false;
    for (std::size_t c = node.Children; !found && ReadNode(base, c, node.End, child); c = (child.End + 3) & ~std::size_t{3}) {
      if (!hasFirst) {
        first = child;
        hasFirst = true;
      }
      found = ::strcasecmp(child.Key, part.c_str()) == 0;
    }
    if (!found && anyTable && hasFirst) {
      child = first;
      found = true;
    }
    if (!found) {
      SetLastError(posix::ERROR_RESOURCE_TYPE_NOT_FOUND);
      return FALSE;
    }
    node = child;
  }
  *buffer = const_cast<char*>(base + node.Value);
  *length = static_cast<UINT>(node.ValueLength);
  return TRUE;
}

}  // namespace kv
