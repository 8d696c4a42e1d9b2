// FormatMessageA of the POSIX host: the system's messages for the codes that
// the library and its programs report, with the texts Windows shows (U.S.
// English), and message texts given by the caller with their inserts and
// escapes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvposiximpl.h"

namespace kv {

namespace {

struct TMessage {
  DWORD Code;
  const char* Text;
};

// Each text ends with the line break that Windows' message table carries.
const TMessage kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {317,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1168, "Element not found.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
};

constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;

const char* SystemMessage(DWORD code) {
  for (const TMessage& m : kSystemMessages)
    if (m.Code == code) return m.Text;
  return nullptr;
}

// The argument of insert n (1-based): only the array form can be read here,
// a va_list from another compiler's ABI cannot. Inserts are texts (!s!, the
// default) or numbers (!u!, !d!, !x!, !X!, !lu!, ...).
bool Insert(const ULONG_PTR* args, unsigned n, const std::string& format, std::string& out) {
  const ULONG_PTR value = args[n - 1];
  if (format.empty() || format == "s") {
    const char* text = reinterpret_cast<const char*>(value);
    out += text ? text : "";
    return true;
  }
  std::string spec = format;
  // The length modifiers of Windows' printf are of no use on a ULONG_PTR.
  for (const char* drop : {"I64", "I32", "ll", "l", "h", "w"}) {
    const std::size_t at = spec.find(drop);
    if (at != std::string::npos) spec.erase(at, std::strlen(drop));
  }
  if (spec.empty()) return false;
  const char conversion = spec.back();
  if (std::strchr("diuxXoc", conversion) == nullptr) return false;
  spec.insert(spec.size() - 1, "ll");
  char buffer[64];
  if (conversion == 'd' || conversion == 'i')
    std::snprintf(buffer, sizeof(buffer), ("%" + spec).c_str(), static_cast<long long>(static_cast<LONG>(value)));
  else
    std::snprintf(buffer, sizeof(buffer), ("%" + spec).c_str(), static_cast<unsigned long long>(value));
  out += buffer;
  return true;
}

// Expands a message text: inserts %1..%99 (with an optional !format!), and
// the escapes %0 (end, no line break), %n, %%, %. and %!. With IgnoreInserts
// the inserts stay as written. Returns false on an insert that cannot be
// filled.
bool Expand(const char* text, DWORD flags, const ULONG_PTR* args, std::string& out) {
  const bool ignore = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  for (const char* p = text; *p;) {
    if (*p == '\r' || *p == '\n') {
      // A line break of the text itself; width 255 asks for one line.
      const bool pair = p[0] == '\r' && p[1] == '\n';
      p += pair ? 2 : 1;
      if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK) out += ' ';
      else out += "\r\n";
      continue;
    }
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const char next = p[1];
    if (next >= '1' && next <= '9') {
      const char* start = p;
      unsigned n = static_cast<unsigned>(next - '0');
      p += 2;
      if (*p >= '0' && *p <= '9') n = n * 10 + static_cast<unsigned>(*p++ - '0');
      std::string format;
      if (*p == '!') {
        const char* end = std::strchr(p + 1, '!');
        if (!end) return false;
        format.assign(p + 1, end);
        p = end + 1;
      }
      if (ignore) {
        out.append(start, p);
        continue;
      }
      if (!args || !Insert(args, n, format, out)) return false;
      continue;
    }
    if (ignore) {
      // Windows leaves the escapes alone too when inserts are ignored.
      out += *p++;
      if (*p) out += *p++;
      continue;
    }
    p += 2;
    switch (next) {
      case '0':
        return true;
      case 'n':
        out += "\r\n";
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '\0':
        --p;
        break;
      default:  // %% %. %! and any other: the character itself
        out += next;
        break;
    }
  }
  return true;
}

}  // namespace

DWORD TkvPosixHost::FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer,
                                   DWORD size, void* arguments) {
  const char* text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    text = static_cast<const char*>(source);
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    // Only the neutral and the English message tables are here.
    const DWORD primary = languageId & 0x3FF;
    if (primary != 0 && primary != 9) {
      SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
      return 0;
    }
    text = SystemMessage(messageId);
    if (!text) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
  } else {
    // Message tables of modules are not kept by this host.
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if (!text || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A va_list cannot be read portably; only the array form carries inserts.
  const ULONG_PTR* args =
      (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? static_cast<const ULONG_PTR*>(arguments) : nullptr;
  std::string out;
  if (!Expand(text, flags, args, out)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD length = static_cast<DWORD>(out.size());
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    const std::size_t bytes = std::max<std::size_t>(out.size() + 1, size);
    char* block = static_cast<char*>(std::calloc(bytes, 1));
    if (!block) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(block, out.c_str(), out.size() + 1);
    *reinterpret_cast<char**>(buffer) = block;
    return length;
  }
  if (size < length + 1) {
    if (size > 0) buffer[0] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, out.c_str(), out.size() + 1);
  return length;
}

void* TkvPosixHost::LocalFree(void* memory) {
  std::free(memory);
  return nullptr;
}

}  // namespace kv
