// Small Win32 helpers shared by the installer's three windows.
#pragma once

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace update::win {

// A text of the string table. Texts with umlauts live there, so they reach
// the windows as UTF-16 whatever the machine's ANSI code page is.
std::wstring LoadText(UINT id);
// The installer's own texts (description, paths) are ANSI.
std::wstring AnsiToWide(const std::string& text);
std::string WindowTextAnsi(HWND window);
// Replaces the first "%s" of a text.
std::wstring Format(std::wstring text, const std::wstring& argument);

// The screen's DPI (96 at 100 %), read once: the program is system DPI
// aware, so it is the same for all its windows for the whole run.
int ScreenDpi();
// Pixels designed at 96 DPI, in pixels of this screen.
int Scaled(int pixels96);

// A tooltip window for the hints of one dialog; destroyed with the dialog.
HWND CreateHints(HWND dialog);
// Shows the text TextId while the mouse rests on Control, a child of Dialog
// or Dialog itself (then over its free area).
void AddHint(HWND hints, HWND dialog, HWND control, UINT textId);

}  // namespace update::win
