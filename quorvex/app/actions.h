// The main window's commands as data: every action with its caption, hint,
// short-cuts and enabled rule, the main menu and the two pop-up menus, and the
// accelerator table the short-cut texts are made from. The Win32 half builds
// its menus and its accelerator table from these tables and asks
// ActionEnabled before it shows a menu or runs a command.
#pragma once

#include <string>
#include <vector>

#include "kvwintypes.h"

namespace quorvex {

using kv::BYTE;
using kv::DWORD;
using kv::WORD;

// Command ids (WM_COMMAND's low word). Contiguous from cmdFirst.
enum TkvCommand : WORD {
  cmdNone = 0,
  cmdFirst = 40001,
  cmdReload = cmdFirst,
  cmdExit,
  cmdInstallDriver,
  cmdUpdateDescriptors,
  cmdCopy,
  cmdCopyAll,
  cmdRequestDescriptors,
  cmdEject,
  cmdWebHome,
  cmdEnable,
  cmdDisable,
  cmdReset,
  cmdSaveMachineDescription,
  cmdAbout,  // the Help menu's "About" entry (About1Click), not an action
  cmdLast = cmdAbout,
};
constexpr int kvCommandCount = cmdLast - cmdFirst + 1;

// Accelerator flags and the virtual keys the short-cuts use (the Win32 values;
// the Win32 half checks them against <windows.h>).
constexpr BYTE kvFVIRTKEY = 0x01;
constexpr BYTE kvFSHIFT = 0x04;
constexpr BYTE kvFCONTROL = 0x08;
constexpr BYTE kvFALT = 0x10;
constexpr WORD kvVK_INSERT = 0x2D;
constexpr WORD kvVK_F1 = 0x70;
constexpr WORD kvVK_F5 = 0x74;
constexpr WORD kvVK_F6 = 0x75;
constexpr WORD kvVK_F8 = 0x77;

// A key with its modifiers (kvFSHIFT / kvFCONTROL / kvFALT); Key 0: none.
struct TkvShortCut {
  BYTE Modifiers = 0;
  WORD Key = 0;
};

// When an action is enabled.
enum class TkvEnabledRule {
  Always,
  NotBusy,         // reload: not during a long command
  DeviceSelected,  // actInstallDriverUpdate, shared by the six device actions
  RowSelected,     // actCopyUpdate
  AnyRow,          // actCopyAllUpdate
  // Not during a long command, and no device open: the capture puts its
  // recorder in front of the machine for every thread of the process, and an
  // open device's reader reaches the machine from a thread of its own.
  NotBusyNoneOpen,
};

struct TkvAction {
  TkvCommand Id;
  const char* Name;     // "actReload"
  const char* Caption;  // "Reload"
  const char* Hint;     // "" when none
  TkvShortCut ShortCut;
  TkvShortCut SecondShortCut;  // Ctrl+Ins, Ctrl+Alt+Ins; Key 0: none
  TkvEnabledRule Rule;
  bool Checkable;  // actRequestDescriptors carries a check mark
};

// Every command, in TkvCommand order (Actions()[i].Id == cmdFirst + i).
const std::vector<TkvAction>& Actions();
// nullptr for an id that is no command.
const TkvAction* FindAction(WORD Id);

// One entry of the Win32 accelerator table (the layout of ACCEL): fVirt
// holds kvFVIRTKEY and the modifiers.
struct TkvAccel {
  BYTE fVirt;
  WORD key;
  WORD cmd;
};
// Every short-cut and second short-cut of the actions.
const std::vector<TkvAccel>& AcceleratorTable();
// "F5", "Alt+X", "Ctrl+C", "Ctrl+Alt+Ins" ("Shift+", "Ctrl+", "Alt+" in that
// order); "" for none.
std::string ShortCutText(TkvShortCut ShortCut);
// The text of a menu item: the caption, and a TAB with the short-cut text of
// the command's first accelerator when it has one.
std::string MenuItemText(WORD Id);

// A menu entry's text with its access key ("&" before it), as the menus of
// the original program got theirs: the first letter or digit of a word that
// no entry of the same menu took yet, else any such character of the
// caption; Used collects the keys taken (upper case). A caption's own "&"
// is doubled so that it shows. No key left: the caption as it is.
std::string MnemonicCaption(const std::string& Caption, std::string& Used);

// The menus, as flat lists: SubMenu opens a drop-down with Caption, End
// closes it; Item and Separator go into the innermost open drop-down.
enum class TkvMenu { Main, TreePopup, ListPopup };
struct TkvMenuEntry {
  enum TKind { Item, Separator, SubMenu, End } Kind;
  TkvCommand Id;        // Item only
  const char* Caption;  // SubMenu only ("File", ...); items take the action's
};
const std::vector<TkvMenuEntry>& MenuEntries(TkvMenu Menu);

// What the enabled rules look at.
struct TkvBrowserState {
  bool DeviceSelected = false;  // kvUSB1.SelectedDevice, and the tree is not stale
  bool Busy = false;            // FBusy
  bool Stale = false;           // a device change freed what the tree shows
  int RowCount = 0;             // rows of vList
  bool RowSelected = false;     // vList has a selected row
  bool ComponentActive = false; // kvUSB1.Active
  bool RequestDescriptors = false;  // the check mark of actRequestDescriptors
};
bool ActionEnabled(WORD Id, const TkvBrowserState& State);
// The check mark (actRequestDescriptors only).
bool ActionChecked(WORD Id, const TkvBrowserState& State);

}  // namespace quorvex
