// TfmAbout: the modal About window (name, version record, Windows version,
// links). Esc and Enter close it.
#pragma once

#include <string>

#include "winwindow.h"

namespace quorvex::win {

// Creates the About window owned by Owner, shows it modally and frees it.
void ShowAbout(HWND owner);

// The version label's text for a program file: "Version 2.2 (Build 1.1)"
// for the file version 2.2.1.1; "" without a version record.
std::string AboutVersionText(const std::string& programFile);

}  // namespace quorvex::win
