// Portable forms of two shell and COM services, for the code that runs both
// on Windows and on the simulated machine (the 64-bit stub's requests).
#pragma once

#include <string>
#include <vector>

#include "kvwintypes.h"

namespace kv {

// Splits a command line as CommandLineToArgvW does: the program name (item 0)
// ends at the next blank, or at the closing quote when it starts with one;
// the other items are separated by blanks and tabs, double quotes group and
// are removed, 2n backslashes before a quote give n backslashes and 2n+1 give
// n and a literal quote, and "" inside quotes gives one literal quote. An
// empty command line gives one empty item.
std::vector<std::u16string> CommandLineToArgvW(const WCHAR* commandLine);

// CLSIDFromString for the braced form only ("{XXXXXXXX-XXXX-XXXX-XXXX-
// XXXXXXXXXXXX}", any letter case): S_OK, or CO_E_CLASSSTRING for any other
// text (the real service would then look for a program id).
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
HRESULT CLSIDFromString(const WCHAR* text, GUID* clsid);

}  // namespace kv
