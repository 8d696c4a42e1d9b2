#include "kvcmdline.h"

#include "kvtext.h"

namespace kv {

std::vector<std::u16string> CommandLineToArgvW(const WCHAR* commandLine) {
  std::vector<std::u16string> items;
  const WCHAR* p = commandLine ? commandLine : u"";
  auto blank = [](WCHAR c) { return c == u' ' || c == u'\t'; };
  // The program name knows no escapes.
  std::u16string program;
  if (*p == u'"') {
    ++p;
    while (*p && *p != u'"') program += *p++;
    if (*p == u'"') ++p;
  } else {
    while (*p && !blank(*p)) program += *p++;
  }
  items.push_back(program);
  for (;;) {
    while (blank(*p)) ++p;
    if (!*p) break;
    std::u16string item;
    bool quoted = false;
    while (*p && (quoted || !blank(*p))) {
      if (*p == u'\\') {
        std::size_t slashes = 0;
        while (*p == u'\\') {
          ++slashes;
          ++p;
        }
        if (*p == u'"') {
          item.append(slashes / 2, u'\\');
          if (slashes % 2) {
            item += u'"';
            ++p;
          }
        } else {
          item.append(slashes, u'\\');
        }
        continue;
      }
      if (*p == u'"') {
        if (quoted && p[1] == u'"') {
          item += u'"';
          p += 2;
          continue;
        }
        quoted = !quoted;
        ++p;
        continue;
      }
      item += *p++;
    }
    items.push_back(item);
  }
  return items;
}

HRESULT CLSIDFromString(const WCHAR* text, GUID* clsid) {
  if (!text || !clsid) return CO_E_CLASSSTRING;
  std::u16string t;
  for (std::size_t i = 0; text[i] && i < 40; ++i) t += text[i];
  if (t.size() != 38 || t.front() != u'{' || t.back() != u'}') return CO_E_CLASSSTRING;
  std::string ascii;
  for (char16_t c : t) {
    if (c > 0x7F) return CO_E_CLASSSTRING;
    ascii += static_cast<char>(c);
  }
  GUID g{};
  if (!TextToGuid(ascii, g)) return CO_E_CLASSSTRING;
  *clsid = g;
  return 0;  // S_OK
}

}  // namespace kv
