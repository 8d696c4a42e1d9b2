// The browser's links. They lead to this project's own pages, which travel
// with the program: a relative name is a file beside quorvex.exe.
#pragma once

#include "winwindow.h"

namespace quorvex::win {

extern const char* const kLibraryHomePage;  // "Web Home Page ..." and "Powered by:"
extern const char* const kMakerHomePage;    // the About window's "Web:"
extern const char* const kMakerMail;        // the About window's "E-Mail:"
// What the About window shows for them.
extern const char* const kLibraryName;
extern const char* const kMakerHomeText;
extern const char* const kMakerMailText;

// ShellExecuteA(owner, "open", target, no parameters, no directory,
// SW_SHOWDEFAULT), a relative target taken from the program's folder.
void OpenLink(HWND owner, const char* target);
// The full target OpenLink hands to the shell.
std::string LinkTarget(const char* target);

}  // namespace quorvex::win
