// Reading Update.inf, finding the installed product, and the version rule.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ConstVar1.h"
#include "kvwintypes.h"

namespace update {

// A registry access that failed in a way the installer cannot carry on from:
// a value of the wrong type, or a value that could not be written. The user
// interface shows it as an error message (its text lives in the resources,
// keyed by Kind; what() is for logs and tests).
class ERegistryError : public std::runtime_error {
 public:
  enum TKind { InvalidType, WriteFailed };
  ERegistryError(TKind kind, const std::string& valueName, kv::LONG status);
  TKind Kind;
  std::string ValueName;
  kv::LONG Status;  // the registry's status code; ERROR_SUCCESS for InvalidType
};

// Ends the key of a NUL-terminated line at its first blank or "=" and returns
// where the value begins: every blank and "=" after the key is skipped, blanks
// inside and after the value stay. A line without either is all key; the
// returned value is then empty.
char* SplitKeyValue(char* line);

// Cuts a Copy value at its first ","; the part before is the source of slot
// Number, the part after its destination (empty without a comma).
void SplitCopyEntry(TUpdateData& data, int number, char* value);

// Component Which (1..3) of a version "a.b.c"; 0 for a missing component or
// another Which. The third component runs to the end, further points included.
std::uint16_t VersionPart(const std::string& version, int which);

// The value of a component's characters: sum of (code - 48) * 10^place,
// modulo 65536. No character is rejected.
std::uint16_t DigitsToNumber(const std::string& text);

// Splits Update.inf's text into lines (CR, LF or CR LF end a line).
std::vector<std::string> SplitLines(const std::string& text);

// Applies data.InfLines to the description. Returns the value of the last
// "Update" key, the main window's title, if there is one.
std::optional<std::string> ParseDescription(TUpdateData& data);

// What the main window does when it is created: records the working
// directory, loads Update.inf (leaving the description empty, without a
// word, when it is missing or unreadable) and parses it.
std::optional<std::string> ReadDescription(TUpdateData& data);

// Fills InstallPath (and InstalledVersion, from the product's own key) from
// the registry. True when a key opened and named a folder. Throws
// ERegistryError for a "Path" or "Update" value that is not text.
bool LocateInstallation(TUpdateData& data);

// Records the offered version as the value "Update" of the product's own
// key, creating the key when it is missing. Throws ERegistryError when the
// key cannot be created or the value not written.
void RecordVersion(const TUpdateData& data);

// The version rule: true refuses the update, because the installed version
// is the same or newer. An offered "*" is never refused.
bool IsNotNewer(const TUpdateData& data);

}  // namespace update
