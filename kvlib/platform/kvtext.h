// Small text helpers shared by the library and the simulated machine.
#pragma once

#include <string>
#include <string_view>

#include "kvwintypes.h"

namespace kv {

// Letter case folded for ASCII letters only, as Windows compares names of
// keys, files and resources in the invariant culture for these texts.
char UpperAscii(char c);
std::string UpperAscii(std::string text);
std::string LowerAscii(std::string text);
bool SameText(std::string_view a, std::string_view b);

// UTF-8 (the machine descriptions' encoding) to UTF-16 and back. Invalid
// sequences become U+FFFD; nothing is dropped silently.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

// Length of a zero-terminated UTF-16 text, reading at most `limit` units.
std::size_t Utf16Length(const WCHAR* text, std::size_t limit);

// Removes leading and trailing blanks and control characters.
std::string Trim(const std::string& text);
// Replaces every occurrence of From (case-sensitive) by To.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

}  // namespace kv

namespace kv {
// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any case).
bool TextToGuid(const std::string& text, GUID& guid);
}  // namespace kv
