#include "Functions1.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "kvplatform.h"
#include "kvtext.h"

namespace update {

namespace {

// A version longer than this is read from its first characters only.
constexpr std::size_t MaxVersionLength = 20;
constexpr const char* InfFileName = "Update.inf";

// The number n of a key "<Prefix>n" for n = 1..MaxEntries, written as plain
// decimal digits ("Delete01" is no entry); 0 when the key is none of them.
int EntryNumber(const std::string& key, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (key.size() <= length || !kv::SameText(key.substr(0, length), prefix)) return 0;
  const std::string digits = key.substr(length);
  if (digits.size() > 2 || digits[0] == '0') return 0;
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= MaxEntries ? number : 0;
}

// The working directory at its full length.
std::string CurrentDirectory() {
  std::string buffer(256, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const kv::DWORD length = kv::Host().GetCurrentDirectoryA(static_cast<kv::DWORD>(buffer.size()), buffer.data());
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(length, '\0');  // too small: length is the size needed, NUL included
  }
  return {};
}

bool LoadFile(const std::string& name, std::string& text) {
  kv::TkvHost& host = kv::Host();
  const kv::HANDLE file = host.CreateFileA(name.c_str(), kv::GENERIC_READ, kv::FILE_SHARE_READ, nullptr,
                                           kv::OPEN_EXISTING, kv::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == kv::INVALID_HANDLE_VALUE) return false;
  text.clear();
  bool ok = true;
  char chunk[16384];
  for (;;) {
    kv::DWORD read = 0;
    if (!host.ReadFile(file, chunk, sizeof chunk, &read, nullptr)) {
      ok = false;
      break;
    }
    if (read == 0) break;
    text.append(chunk, read);
  }
  host.CloseHandle(file);
  return ok;
}

// A registry key below HKEY_LOCAL_MACHINE: Prefix ends with a backslash, and a
// trailing one left by an empty Name is dropped, as the registry wants it.
std::string KeyPath(const char* prefix, const std::string& name) {
  std::string path = prefix + name;
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

// A text value; missing (or unreadable) reads as empty.
std::string ReadString(kv::HKEY key, const char* name) {
  kv::TkvMachine& machine = kv::Machine();
  kv::DWORD type = kv::REG_NONE;
  kv::DWORD size = 0;
  if (machine.RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != kv::ERROR_SUCCESS) return {};
  if (type != kv::REG_SZ && type != kv::REG_EXPAND_SZ) {
    throw ERegistryError(ERegistryError::InvalidType, name, kv::ERROR_SUCCESS);
  }
  std::string text;
  for (int attempt = 0; attempt < 3; ++attempt) {
    text.assign(size, '\0');
    const kv::LONG status =
        machine.RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<kv::BYTE*>(text.data()), &size);
    if (status == kv::ERROR_MORE_DATA) continue;  // it grew in between
    if (status != kv::ERROR_SUCCESS) return {};
    if (type != kv::REG_SZ && type != kv::REG_EXPAND_SZ) {
      throw ERegistryError(ERegistryError::InvalidType, name, kv::ERROR_SUCCESS);
    }
    text.resize(std::min<std::size_t>(size, text.size()));
    text.resize(std::strlen(text.c_str()));  // without the closing NULs
    return text;
  }
  return {};
}

class TKeyCloser {
 public:
  explicit TKeyCloser(kv::HKEY key) : FKey(key) {}
  ~TKeyCloser() { kv::Machine().RegCloseKey(FKey); }
  TKeyCloser(const TKeyCloser&) = delete;
  TKeyCloser& operator=(const TKeyCloser&) = delete;

 private:
  kv::HKEY FKey;
};

std::array<std::uint16_t, 3> Components(const std::string& version) {
  return {VersionPart(version, 1), VersionPart(version, 2), VersionPart(version, 3)};
}

}  // namespace

ERegistryError::ERegistryError(TKind kind, const std::string& valueName, kv::LONG status)
    : std::runtime_error((kind == InvalidType ? "invalid data type for '" : "failed to set data for '") +
                         valueName + "'"),
      Kind(kind),
      ValueName(valueName),
      Status(status) {}

char* SplitKeyValue(char* line) {
  char* p = line;
  while (*p != '\0' && *p != ' ' && *p != '=') ++p;
  if (*p == '\0') return p;
  *p++ = '\0';
  while (*p == ' ' || *p == '=') ++p;
  return p;
}

void SplitCopyEntry(TUpdateData& data, int number, char* value) {
  char* comma = std::strchr(value, ',');
  const char* target = "";
  if (comma != nullptr) {
    *comma = '\0';
    target = comma + 1;
  }
  data.CopySources[number] = value;
  data.CopyTargets[number] = target;
}

std::uint16_t DigitsToNumber(const std::string& text) {
  // Unsigned arithmetic wraps modulo 2^32, which keeps the value right
  // modulo 2^16 as well.
  std::uint32_t sum = 0;
  std::uint32_t weight = 1;
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    sum += (static_cast<std::uint32_t>(static_cast<unsigned char>(*it)) - 48u) * weight;
    weight *= 10u;
  }
  return static_cast<std::uint16_t>(sum);
}

std::uint16_t VersionPart(const std::string& version, int which) {
  const std::string text = version.substr(0, MaxVersionLength);
  const std::size_t first = text.find('.');
  const std::size_t second = first == std::string::npos ? std::string::npos : text.find('.', first + 1);
  switch (which) {
    case 1:
      return DigitsToNumber(text.substr(0, first));
    case 2:
      if (first == std::string::npos) return 0;
      return DigitsToNumber(
          text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
    case 3:
      if (second == std::string::npos) return 0;
      return DigitsToNumber(text.substr(second + 1));
    default:
      return 0;
  }
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

namespace {

// A blank or control character after a version (invisible in an editor)
// would count in its last component: "1.2.0 " weighs 65520 there.
std::string WithoutTrailingControls(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '\x7f')) text.pop_back();
  return text;
}

}  // namespace

std::optional<std::string> ParseDescription(TUpdateData& data) {
  std::optional<std::string> title;
  data.DeleteCount = 0;
  data.CopyCount = 0;
  for (const std::string& line : data.InfLines) {
    if (!line.empty() && line[0] == '[') continue;  // section headers carry no meaning
    // A working copy that SplitKeyValue may cut; it ends at an embedded NUL
    // just as the line buffer of a text file would.
    std::string buffer = line.c_str();
    char* value = SplitKeyValue(buffer.data());
    const std::string key = buffer.c_str();
    if (kv::SameText(key, "Update")) {
      title = value;
    } else if (kv::SameText(key, "Programm")) {
      data.ProgramFile = value;
    } else if (kv::SameText(key, "ProgrammName")) {
      data.ProgramName = value;
    } else if (kv::SameText(key, "Version")) {
      data.UpdateVersion = WithoutTrailingControls(value);
    } else if (const int number = EntryNumber(key, "Delete")) {
      data.DeleteList[number] = value;
      ++data.DeleteCount;
    } else if (const int number = EntryNumber(key, "Copy")) {
      SplitCopyEntry(data, number, value);
      ++data.CopyCount;
    }
  }
  return title;
}

std::optional<std::string> ReadDescription(TUpdateData& data) {
  data.InfLines.clear();
  data.StartDir = CurrentDirectory();
  std::string text;
  bool loaded = LoadFile(InfFileName, text);
  if (!loaded && !data.StartDir.empty()) {
    std::string inStartDir = data.StartDir;
    if (inStartDir.back() != '\\' && inStartDir.back() != '/') inStartDir += '\\';
    loaded = LoadFile(inStartDir + InfFileName, text);
  }
  if (loaded) data.InfLines = SplitLines(text);
  return ParseDescription(data);
}

bool LocateInstallation(TUpdateData& data) {
  kv::TkvMachine& machine = kv::Machine();
  kv::HKEY key = nullptr;
  if (machine.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, KeyPath(AppPathsKey, data.ProgramFile).c_str(), 0,
                            kv::KEY_READ, &key) == kv::ERROR_SUCCESS) {
    // App Paths records no version: the one known from before stays.
    TKeyCloser closer(key);
    data.InstallPath = ReadString(key, PathValue);
  } else if (machine.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, KeyPath(VendorKey, data.ProgramName).c_str(), 0,
                                   kv::KEY_READ, &key) == kv::ERROR_SUCCESS) {
    TKeyCloser closer(key);
    data.InstallPath = ReadString(key, PathValue);
    // Earlier runs may have recorded a version with a trailing blank.
    data.InstalledVersion = WithoutTrailingControls(ReadString(key, UpdateValue));
  } else {
    return false;
  }
  return !data.InstallPath.empty();
}

void RecordVersion(const TUpdateData& data) {
  kv::TkvMachine& machine = kv::Machine();
  kv::HKEY key = nullptr;
  kv::LONG status = machine.RegCreateKeyExA(kv::HKEY_LOCAL_MACHINE, KeyPath(VendorKey, data.ProgramName).c_str(),
                                            0, nullptr, kv::REG_OPTION_NON_VOLATILE, kv::KEY_WRITE, nullptr, &key,
                                            nullptr);
  if (status != kv::ERROR_SUCCESS) throw ERegistryError(ERegistryError::WriteFailed, UpdateValue, status);
  TKeyCloser closer(key);
  status = machine.RegSetValueExA(key, UpdateValue, 0, kv::REG_SZ,
                                  reinterpret_cast<const kv::BYTE*>(data.UpdateVersion.c_str()),
                                  static_cast<kv::DWORD>(data.UpdateVersion.size() + 1));
  if (status != kv::ERROR_SUCCESS) throw ERegistryError(ERegistryError::WriteFailed, UpdateValue, status);
}

bool IsNotNewer(const TUpdateData& data) {
  if (data.UpdateVersion == AnyVersion) return false;
  // Component by component in order, as numbers: 1.10.0 is newer than 1.9.5,
  // and 2.0.0 newer than 1.5.0.
  return Components(data.InstalledVersion) >= Components(data.UpdateVersion);
}

}  // namespace update
