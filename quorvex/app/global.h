// The browser's window settings: position, size and maximized state of the
// main window and the width of its tree, kept between runs in a small
// per-user text file ("name=value" lines, CR LF) below the user profile:
//   %USERPROFILE%\Application Data\Quorvex\<program name>.ini
// Files go through the host half (kv::Host()). Nothing here reports a
// failure: a missing, broken or unwritable file gives the defaults. Without a
// usable profile path (unset or longer than the 260-character buffer) there
// is no file at all: the defaults are used and nothing is written.
#pragma once

#include <string>
#include <vector>

#include "layout.h"

namespace quorvex {

// The state of a window as ApplyTo sets it and StoreFrom reads it.
enum class TkvWindowState { Normal, Minimized, Maximized };

struct TkvFormPlacement {
  TkvRect Bounds;  // outer bounds in screen pixels
  TkvWindowState State = TkvWindowState::Normal;
};

// What StoreFrom needs of the window: its present bounds (-32000 while
// minimized), its normal-state bounds (GetWindowPlacement's rcNormalPosition)
// and its state; RestoreMaximized: a minimized window comes back maximized.
struct TkvFormState {
  TkvRect Bounds;
  TkvRect NormalBounds;
  TkvWindowState State = TkvWindowState::Normal;
  bool RestoreMaximized = false;
};

class TOptions {
 public:
  // The defaults (at 96 DPI): left 48, top 48, right 348, bottom 348, not
  // maximized, tree width 100.
  TkvRect MainRect{48, 48, 348, 348};
  bool IsMaximized = false;
  std::string FileName;  // "" when there is no usable profile path
  int TreeWidth = 100;

  // Computes FileName from USERPROFILE and the program's own file name and
  // creates its folder with every missing parent (nothing without a path).
  TOptions();
  // For tests and the fuzz target: no file at all.
  struct TNoFile {};
  explicit TOptions(TNoFile) {}

  // Reads the file; every entry that is missing or unreadable keeps its
  // default. Dpi scales the defaults (the file holds screen pixels).
  void Load(int Dpi = 96);
  // Writes the six entries over the file; failures are ignored.
  void Save() const;
  // The same on text: names without regard to letter case, integers as
  // decimal text, the Boolean as a number or True/False.
  void LoadFromText(const std::string& Text, int Dpi = 96);
  std::string SaveToText() const;

  // The placement for the main window: MainRect, at least MinSize large,
  // moved onto the nearest of Monitors (work areas) when it lies on none and
  // made to fit it; maximized when IsMaximized. No monitors: as stored.
  TkvFormPlacement ApplyTo(const std::vector<TkvRect>& Monitors, TkvSize MinSize) const;
  // IsMaximized := the window is (or comes back) maximized; otherwise MainRect
  // := its normal-state bounds (also when it was closed minimized).
  void StoreFrom(const TkvFormState& Form);
};

// The settings file's path for a profile path and a program file name
// ("C:\Users\x", "C:\Program Files\Quorvex\quorvex.exe" ->
// "C:\Users\x\Application Data\Quorvex\quorvex.ini").
std::string SettingsFileName(const std::string& Profile, const std::string& ProgramFile);

// Rect moved (and shrunk if need be) so that it lies on the monitor nearest to
// it, unless it already overlaps one. Monitors empty: Rect unchanged.
TkvRect FitOnMonitors(const TkvRect& Rect, const std::vector<TkvRect>& Monitors);

}  // namespace quorvex
