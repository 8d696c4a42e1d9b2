#include "kvutils.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "kvframework.h"
#include "kvplatform.h"
#include "kvtext.h"

namespace kv {

HWND GetOwnerWindow() { return Host().GetForegroundWindow(); }

namespace {

// The program's RCDATA resource: its bytes, or nullptr when it has none.
const BYTE* FindOwnResource(const std::string& name, DWORD& size) {
  TkvHost& h = Host();
  HMODULE self = h.GetModuleHandleA(nullptr);
  HRSRC res = h.FindResourceA(self, name.c_str(), RT_RCDATA);
  if (!res) return nullptr;
  HGLOBAL data = h.LoadResource(self, res);
  if (!data) return nullptr;
  const void* bytes = h.LockResource(data);
  if (!bytes) return nullptr;
  size = h.SizeofResource(self, res);
  return static_cast<const BYTE*>(bytes);
}

std::string WindowsName(const OSVERSIONINFOA& v) {
  switch (v.dwMajorVersion) {
    case 3:
      return "NT 3.51";
    case 4:
      if (v.dwMinorVersion == 10) return "98";
      if (v.dwMinorVersion == 90) return "Me";
      return v.dwPlatformId == VER_PLATFORM_WIN32_NT ? "NT 4" : "95";
    case 5:
      if (v.dwMinorVersion == 0) return "2000";
      if (v.dwMinorVersion == 1) return "XP";
      if (v.dwMinorVersion == 2) return "2003";
      return "";
    case 6:
      // Later versions keep the old rows and get their own names; only an
      // unknown 6.x is still called by the pre-release name.
      switch (v.dwMinorVersion) {
        case 0:
          return "Vista";
        case 1:
          return "7";
        case 2:
          return "8";
        case 3:
          return "8.1";
        default:
          return "Longhorn";
      }
    case 10:
      if (v.dwMinorVersion != 0) return "";
      return v.dwBuildNumber >= 22000 ? "11" : "10";
    default:
      return "";
  }
}

}  // namespace

bool SaveResourceToFile(const std::string& ResName, const std::string& FileName) {
  DWORD size = 0;
  const BYTE* bytes = FindOwnResource(ResName, size);
  if (!bytes) return false;
  return WriteWholeFile(FileName, bytes, size);
}

bool WriteWholeFile(const std::string& FileName, const void* Data, DWORD Size) {
  TkvHost& h = Host();
  HANDLE file = h.CreateFileA(FileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = h.WriteFile(file, Data, Size, &written, nullptr) != 0;
  if (ok && written != Size) {
    ok = false;
    SetLastError(ERROR_WRITE_FAULT);  // a short write: the disk is full
  }
  DWORD error = ok ? 0 : GetLastError();
  if (!h.CloseHandle(file) && ok) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) {
    h.DeleteFileA(FileName.c_str());
    SetLastError(error);
  }
  return ok;
}

bool ReadWholeFile(const std::string& FileName, std::string& Bytes) {
  Bytes.clear();
  TkvHost& h = Host();
  HANDLE file = h.CreateFileA(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // To the end of the file, whatever size it had when opened.
  constexpr DWORD kChunk = 64 * 1024;
  bool ok;
  DWORD read = 0;
  do {
    const std::size_t done = Bytes.size();
    Bytes.resize(done + kChunk);
    read = 0;
    ok = h.ReadFile(file, &Bytes[done], kChunk, &read, nullptr) != FALSE;
    Bytes.resize(done + (ok ? read : 0));
  } while (ok && read > 0);
  const DWORD error = ok ? 0 : GetLastError();
  h.CloseHandle(file);
  if (!ok) {
    Bytes.clear();
    SetLastError(error);
  }
  return ok;
}

std::string LoadResourceText(const std::string& ResName) {
  DWORD size = 0;
  const BYTE* bytes = FindOwnResource(ResName, size);
  return bytes ? std::string(reinterpret_cast<const char*>(bytes), size) : std::string();
}

std::string GetVersionText(const std::string& FileName, const std::string& Fmt) {
  const std::string fmt = Fmt.empty() ? "%u.%u.%u.%u" : Fmt;
  if (!FileName.empty()) {
    TkvHost& h = Host();
    DWORD handle = 0;
    const DWORD size = h.GetFileVersionInfoSizeA(FileName.c_str(), &handle);
    if (size == 0) return std::string();
    std::vector<BYTE> block(size);
    if (!h.GetFileVersionInfoA(FileName.c_str(), handle, size, block.data())) return std::string();
    void* value = nullptr;
    UINT length = 0;
    if (!h.VerQueryValueA(block.data(), "\\", &value, &length) || !value || length < sizeof(VS_FIXEDFILEINFO))
      return std::string();
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, value, sizeof(info));
    try {
      return Format(fmt, {info.dwFileVersionMS >> 16, info.dwFileVersionMS & 0xFFFF, info.dwFileVersionLS >> 16,
                          info.dwFileVersionLS & 0xFFFF});
    } catch (const Exception&) {
      // A format that does not fit four numbers yields no text, not an error.
      return std::string();
    }
  }
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof(v);
  if (!Machine().GetVersionExA(&v)) v = OSVERSIONINFOA{};
  const DWORD build = v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (v.dwBuildNumber & 0xFFFF) : v.dwBuildNumber;
  char numbers[48];
  std::snprintf(numbers, sizeof(numbers), "%u.%u.%u", static_cast<unsigned>(v.dwMajorVersion),
                static_cast<unsigned>(v.dwMinorVersion), static_cast<unsigned>(build));
  v.szCSDVersion[sizeof(v.szCSDVersion) - 1] = '\0';
  return "Windows " + WindowsName(v) + " [" + numbers + "] " + v.szCSDVersion;
}

std::string GuidToText(const GUID& Guid) {
  // By hand rather than by printf: a capture writes thousands of them.
  static const char digits[] = "0123456789ABCDEF";
  char text[38];
  std::size_t at = 0;
  auto hex = [&](unsigned long value, int count) {
    for (int shift = (count - 1) * 4; shift >= 0; shift -= 4) text[at++] = digits[(value >> shift) & 15];
  };
  text[at++] = '{';
  hex(Guid.Data1, 8);
  text[at++] = '-';
  hex(Guid.Data2, 4);
  text[at++] = '-';
  hex(Guid.Data3, 4);
  text[at++] = '-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text[at++] = '-';
    hex(Guid.Data4[i], 2);
  }
  text[at++] = '}';
  return std::string(text, at);
}

std::string DevicePathToId(const std::string& Path) {
  std::string id = ReplaceAll(Path, "\\??\\", "");
  id = ReplaceAll(id, "_??_", "");
  id = ReplaceAll(id, "#", "\\");
  return Trim(id);
}

void RunProcess(const std::string& CommandLine, const std::string& Directory, bool Wait, bool Hidden) {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  if (Hidden) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  }
  PROCESS_INFORMATION info{};
  // CreateProcessA may write into the command line, so it gets its own copy.
  std::vector<char> line(CommandLine.begin(), CommandLine.end());
  line.push_back('\0');
  TkvMachine& m = Machine();
  if (!m.CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        Directory.empty() ? nullptr : Directory.c_str(), &startup, &info))
    return;  // the start error stays the last error
  DWORD exitCode = 0;
  if (Wait) {
    m.WaitForSingleObject(info.hThread, INFINITE);
    m.WaitForSingleObject(info.hProcess, INFINITE);
    if (!m.GetExitCodeProcess(info.hProcess, &exitCode)) exitCode = GetLastError();
  }
  m.CloseHandle(info.hThread);
  m.CloseHandle(info.hProcess);
  SetLastError(exitCode);
}

std::string SysErrorMessage(DWORD Code) {
  char text[1024];
  const DWORD length =
      Host().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                            nullptr, Code, 0, text, sizeof(text), nullptr);
  if (length == 0 || length >= sizeof(text)) return std::string();
  return Trim(std::string(text, length));
}

std::string GetDriveLetters(bool Remote, bool CdRom, bool Fixed, bool Removable, bool RamDisk,
                            const std::string& Separator) {
  TkvMachine& m = Machine();
  const DWORD drives = m.GetLogicalDrives();
  std::string result;
  for (int bit = 0; bit < 26; ++bit) {
    if (!(drives & (1u << bit))) continue;
    const char letter = static_cast<char>('A' + bit);
    const std::string root = std::string(1, letter) + ":\\";
    const UINT type = m.GetDriveTypeA(root.c_str());
    if ((type == DRIVE_REMOVABLE && Removable) || (type == DRIVE_REMOTE && Remote) || (type == DRIVE_CDROM && CdRom) ||
        (type == DRIVE_FIXED && Fixed) || (type == DRIVE_RAMDISK && RamDisk))
      result += std::string(1, letter) + Separator;
  }
  return Trim(result);
}

}  // namespace kv

namespace kv {

bool SetClipboardText(HWND Owner, const std::string& Text) {
  TkvHost& h = Host();
  if (!h.OpenClipboard(Owner)) return false;
  bool done = false;
  if (h.EmptyClipboard()) {
    if (HGLOBAL block = h.GlobalAlloc(GMEM_MOVEABLE, Text.size() + 1)) {
      if (void* bytes = h.GlobalLock(block)) {
        std::memcpy(bytes, Text.c_str(), Text.size() + 1);
        h.GlobalUnlock(block);
        done = h.SetClipboardData(CF_TEXT, block) != nullptr;
      }
      if (!done) h.GlobalFree(block);  // the clipboard did not take it
    }
  }
  h.CloseClipboard();
  return done;
}

std::string GetClipboardText(HWND Owner) {
  TkvHost& h = Host();
  if (!h.OpenClipboard(Owner)) return {};
  std::string text;
  if (HANDLE data = h.GetClipboardData(CF_TEXT)) {
    if (const void* bytes = h.GlobalLock(data)) {
      text = static_cast<const char*>(bytes);
      h.GlobalUnlock(data);
    }
  }
  h.CloseClipboard();
  return text;
}

}  // namespace kv
