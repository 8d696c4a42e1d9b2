// The built-in controls of the POSIX host: "Edit", and "Static" and "Button"
// as plain text holders.
//
// The edit keeps its text as 8-bit bytes in the window text, so WM_GETTEXT and
// friends of the default procedure read it. It does what a terminal needs of a
// Windows edit, with the same rules: typed characters (WM_CHAR) and
// EM_REPLACESEL replace the selection and leave the caret after the new text,
// both within the text limit (30000 bytes until EM_SETLIMITTEXT), while
// WM_SETTEXT takes any length and puts the caret at the start. A multi-line
// edit turns Enter into "\r\n" and a backspace removes such a pair as one.
// There is no drawing, undo, clipboard or notification of the parent.
#include "kvposiximpl.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kv::posix {
namespace {

constexpr UINT EM_SCROLLCARET = 0x00B7;
constexpr UINT EM_GETLINECOUNT = 0x00BA;
constexpr UINT EM_LINEINDEX = 0x00BB;
constexpr UINT EM_LINELENGTH = 0x00C1;
constexpr UINT EM_SETLIMITTEXT = 0x00C5;
constexpr UINT EM_LINEFROMCHAR = 0x00C9;
constexpr UINT EM_SETREADONLY = 0x00CF;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;
constexpr UINT WM_CLEAR = 0x0303;
constexpr DWORD ES_READONLY = 0x0800;
constexpr WPARAM VK_END = 0x23;
constexpr WPARAM VK_HOME = 0x24;
constexpr WPARAM VK_LEFT = 0x25;
constexpr WPARAM VK_RIGHT = 0x27;
constexpr WPARAM VK_DELETE = 0x2E;

bool Multiline(const TWindowData& d) { return (d.Style & ES_MULTILINE) != 0; }

std::size_t SelStart(const TWindowData& d) { return std::min({d.Anchor, d.Caret, d.Text.size()}); }
std::size_t SelEnd(const TWindowData& d) { return std::min(std::max(d.Anchor, d.Caret), d.Text.size()); }

void MoveCaret(TWindowData& d, std::size_t position) { d.Anchor = d.Caret = std::min(position, d.Text.size()); }

// Replaces the selection with Insert, cut to the room the text limit leaves.
void ReplaceSelection(TWindowData& d, std::string_view insert) {
  const std::size_t start = SelStart(d), end = SelEnd(d);
  const std::size_t kept = d.Text.size() - (end - start);
  const std::size_t room = d.Limit > kept ? d.Limit - kept : 0;
  if (insert.size() > room) insert = insert.substr(0, room);
  d.Text.replace(start, end - start, insert);
  MoveCaret(d, start + insert.size());
}

// Removes the selection, or else the character before (Back) or after the
// caret; a line break "\r\n" counts as one character.
void Erase(TWindowData& d, bool back) {
  std::size_t start = SelStart(d), end = SelEnd(d);
  if (start == end) {
    const std::string& t = d.Text;
    if (back) {
      if (start == 0) return;
      start -= (start >= 2 && t.compare(start - 2, 2, "\r\n") == 0) ? 2 : 1;
    } else {
      if (end >= t.size()) return;
      end += t.compare(end, 2, "\r\n") == 0 ? 2 : 1;
    }
  }
  d.Text.erase(start, end - start);
  MoveCaret(d, start);
}

std::size_t LineStart(const std::string& t, std::size_t pos) {
  std::size_t nl = pos == 0 ? std::string::npos : t.rfind('\n', pos - 1);
  return nl == std::string::npos ? 0 : nl + 1;
}

std::size_t LineEnd(const std::string& t, std::size_t pos) {
  std::size_t nl = t.find('\n', pos);
  if (nl == std::string::npos) return t.size();
  return (nl > 0 && t[nl - 1] == '\r') ? nl - 1 : nl;
}

std::size_t LineOf(const std::string& t, std::size_t pos) {
  return static_cast<std::size_t>(std::count(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
}

void TypeChar(TWindowData& d, unsigned char c) {
  if (d.Style & ES_READONLY) return;
  switch (c) {
    case '\b':
      Erase(d, true);
      return;
    case '\r':
    case '\n':
      if (Multiline(d)) ReplaceSelection(d, "\r\n");
      return;
    case '\t':
      if (Multiline(d)) ReplaceSelection(d, "\t");
      return;
    default:
      // Other control characters are editing commands (copy, paste, ...) that
      // this edit does not offer; they insert nothing.
      if (c >= 0x20 && c != 0x7F) {
        const char ch = static_cast<char>(c);
        ReplaceSelection(d, std::string_view(&ch, 1));
      }
  }
}

void PressKey(TWindowData& d, WPARAM key) {
  switch (key) {
    case VK_LEFT:
      MoveCaret(d, SelStart(d) == SelEnd(d) && d.Caret > 0
                       ? d.Caret - ((d.Caret >= 2 && d.Text.compare(d.Caret - 2, 2, "\r\n") == 0) ? 2 : 1)
                       : SelStart(d));
      break;
    case VK_RIGHT:
      MoveCaret(d, SelStart(d) == SelEnd(d) && d.Caret < d.Text.size()
                       ? d.Caret + (d.Text.compare(d.Caret, 2, "\r\n") == 0 ? 2 : 1)
                       : SelEnd(d));
      break;
    case VK_HOME:
      MoveCaret(d, LineStart(d.Text, std::min(d.Caret, d.Text.size())));
      break;
    case VK_END:
      MoveCaret(d, LineEnd(d.Text, std::min(d.Caret, d.Text.size())));
      break;
    case VK_DELETE:
      if (!(d.Style & ES_READONLY)) Erase(d, false);
      break;
    default:
      break;
  }
}

}  // namespace

LRESULT KVAPI EditProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  auto with = [&](auto fn) { return WithWindowData(window, fn); };
  switch (msg) {
    case WM_NCCREATE:
      DefProc(window, msg, wParam, lParam);
      return TRUE;
    case WM_SETTEXT:
      return with([&](TWindowData& d) {
        d.Text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        MoveCaret(d, 0);
      });
    case WM_CHAR:
      with([&](TWindowData& d) { TypeChar(d, static_cast<unsigned char>(wParam & 0xFF)); });
      return 0;
    case WM_KEYDOWN:
      with([&](TWindowData& d) { PressKey(d, wParam); });
      return 0;
    case WM_CLEAR:
      with([&](TWindowData& d) {
        if (!(d.Style & ES_READONLY) && SelStart(d) != SelEnd(d)) Erase(d, true);
      });
      return 0;
    case EM_REPLACESEL:
      with([&](TWindowData& d) { ReplaceSelection(d, lParam ? reinterpret_cast<const char*>(lParam) : ""); });
      return 0;
    case EM_GETSEL:
      with([&](TWindowData& d) {
        const DWORD start = static_cast<DWORD>(SelStart(d)), end = static_cast<DWORD>(SelEnd(d));
        if (wParam) *reinterpret_cast<DWORD*>(wParam) = start;
        if (lParam) *reinterpret_cast<DWORD*>(lParam) = end;
        result = (start > 0xFFFF || end > 0xFFFF) ? -1 : static_cast<LRESULT>((end << 16) | start);
      });
      return result;
    case EM_SETSEL:
      with([&](TWindowData& d) {
        // A start of -1 drops the selection; other values are clamped to the
        // text, so (0, -1) selects everything.
        const UINT start = static_cast<UINT>(wParam), end = static_cast<UINT>(lParam);
        if (start == static_cast<UINT>(-1)) {
          MoveCaret(d, d.Caret);
        } else {
          d.Anchor = std::min<std::size_t>(start, d.Text.size());
          d.Caret = std::min<std::size_t>(end, d.Text.size());
        }
      });
      return 0;
    case EM_SETLIMITTEXT:
      with([&](TWindowData& d) { d.Limit = wParam ? wParam : (Multiline(d) ? 0xFFFFFFFFu : 0x7FFFFFFEu); });
      return 0;
    case EM_GETLIMITTEXT:
      with([&](TWindowData& d) { result = static_cast<LRESULT>(d.Limit); });
      return result;
    case EM_SETREADONLY:
      return with([&](TWindowData& d) { d.Style = wParam ? (d.Style | ES_READONLY) : (d.Style & ~ES_READONLY); });
    case EM_SCROLLCARET:
      return TRUE;
    case EM_GETLINECOUNT:
      with([&](TWindowData& d) { result = static_cast<LRESULT>(LineOf(d.Text, d.Text.size()) + 1); });
      return result;
    case EM_LINEFROMCHAR:
      with([&](TWindowData& d) {
        std::size_t pos = static_cast<LONG_PTR>(wParam) < 0 ? SelStart(d) : std::min<std::size_t>(wParam, d.Text.size());
        result = static_cast<LRESULT>(LineOf(d.Text, pos));
      });
      return result;
    case EM_LINEINDEX:
      with([&](TWindowData& d) {
        std::size_t line = static_cast<LONG_PTR>(wParam) < 0 ? LineOf(d.Text, std::min(d.Caret, d.Text.size()))
                                                               : static_cast<std::size_t>(wParam);
        std::size_t pos = 0;
        for (std::size_t i = 0; i < line; ++i) {
          pos = d.Text.find('\n', pos);
          if (pos == std::string::npos) {
            result = -1;
            return;
          }
          ++pos;
        }
        result = static_cast<LRESULT>(pos);
      });
      return result;
    case EM_LINELENGTH:
      with([&](TWindowData& d) {
        std::size_t pos = static_cast<LONG_PTR>(wParam) < 0 ? SelStart(d) : std::min<std::size_t>(wParam, d.Text.size());
        std::size_t start = LineStart(d.Text, pos);
        result = static_cast<LRESULT>(LineEnd(d.Text, start) - start);
      });
      return result;
    default:
      return DefProc(window, msg, wParam, lParam);
  }
}

LRESULT KVAPI StaticProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefProc(window, msg, wParam, lParam);
}

}  // namespace kv::posix
