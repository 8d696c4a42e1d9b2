#include "actions.h"

#include <iterator>

namespace quorvex {

namespace {

constexpr TkvShortCut kNone{};
constexpr TkvShortCut Key(WORD key, BYTE modifiers = 0) { return TkvShortCut{modifiers, key}; }

using R = TkvEnabledRule;

// Every command in id order: the table is indexed by id - cmdFirst.
constexpr TkvAction kActions[] = {
    {cmdReload, "actReload", "Reload", "", Key(kvVK_F5), kNone, R::NotBusy, false},
    {cmdExit, "actExit", "Exit", "", Key('X', kvFALT), kNone, R::Always, false},
    {cmdInstallDriver, "actInstallDriver", "Install Driver ...", "", Key(kvVK_F8), kNone, R::DeviceSelected, false},
    {cmdUpdateDescriptors, "actUpdateDescriptors", "Reload Descriptors", "", Key(kvVK_F6), kNone, R::DeviceSelected,
     false},
    {cmdCopy, "actCopy", "Copy into Clipboard", "", Key('C', kvFCONTROL), Key(kvVK_INSERT, kvFCONTROL),
     R::RowSelected, false},
    {cmdCopyAll, "actCopyAll", "Copy All into Clipboard", "", Key('C', kvFCONTROL | kvFALT),
     Key(kvVK_INSERT, kvFCONTROL | kvFALT), R::AnyRow, false},
    {cmdRequestDescriptors, "actRequestDescriptors", "Request Descriptors for Unknown Devices",
     "Request Descriptors for Unknown Devices", kNone, kNone, R::Always, true},
    {cmdEject, "actEject", "Eject", "", kNone, kNone, R::DeviceSelected, false},
    {cmdWebHome, "actWebHome", "Web Home Page ...", "", kNone, kNone, R::Always, false},
    {cmdEnable, "actEnable", "Enable", "Enable device", kNone, kNone, R::DeviceSelected, false},
    {cmdDisable, "actDisable", "Disable", "Disable device", kNone, kNone, R::DeviceSelected, false},
    {cmdReset, "actReset", "Reset", "Reset device", kNone, kNone, R::DeviceSelected, false},
    {cmdSaveMachineDescription, "actSaveMachineDescription", "Save Machine Description ...",
     "Save this machine's USB tree as a machine description that replays it", kNone, kNone, R::NotBusyNoneOpen,
     false},
    {cmdAbout, "About1", "About", "", kNone, kNone, R::Always, false},
};

constexpr bool IdsInOrder() {
  for (std::size_t i = 0; i < std::size(kActions); ++i)
    if (kActions[i].Id != cmdFirst + i) return false;
  return true;
}
static_assert(std::size(kActions) == kvCommandCount, "one action per command id");
static_assert(IdsInOrder(), "actions in command id order");
// Menu and accelerator ids must stay clear of the system menu's (0xF000 on)
// and of the dialog ids below 100 (IDOK, IDCANCEL ...).
static_assert(cmdFirst >= 100 && cmdLast < 0xF000, "command ids in the application's range");

using E = TkvMenuEntry;
constexpr E Sub(const char* caption) { return E{E::SubMenu, cmdNone, caption}; }
constexpr E Item(TkvCommand id) { return E{E::Item, id, nullptr}; }
constexpr E kSep{E::Separator, cmdNone, nullptr};
constexpr E kEnd{E::End, cmdNone, nullptr};

}  // namespace

const std::vector<TkvAction>& Actions() {
  static const std::vector<TkvAction> actions(std::begin(kActions), std::end(kActions));
  return actions;
}

const TkvAction* FindAction(WORD Id) {
  if (Id < cmdFirst || Id > cmdLast) return nullptr;
  return &kActions[Id - cmdFirst];
}

const std::vector<TkvAccel>& AcceleratorTable() {
  static const std::vector<TkvAccel> table = [] {
    std::vector<TkvAccel> t;
    for (const TkvAction& a : kActions)
      for (const TkvShortCut& s : {a.ShortCut, a.SecondShortCut})
        if (s.Key) t.push_back(TkvAccel{static_cast<BYTE>(kvFVIRTKEY | s.Modifiers), s.Key, a.Id});
    return t;
  }();
  return table;
}

std::string ShortCutText(TkvShortCut ShortCut) {
  if (!ShortCut.Key) return {};
  std::string text;
  if (ShortCut.Modifiers & kvFSHIFT) text += "Shift+";
  if (ShortCut.Modifiers & kvFCONTROL) text += "Ctrl+";
  if (ShortCut.Modifiers & kvFALT) text += "Alt+";
  const WORD k = ShortCut.Key;
  if (k >= kvVK_F1 && k <= kvVK_F1 + 11) return text + "F" + std::to_string(k - kvVK_F1 + 1);
  if (k == kvVK_INSERT) return text + "Ins";
  if ((k >= 'A' && k <= 'Z') || (k >= '0' && k <= '9')) return text + static_cast<char>(k);
  return text + "#" + std::to_string(k);
}

std::string MenuItemText(WORD Id) {
  const TkvAction* action = FindAction(Id);
  if (!action) return {};
  // The first accelerator of the command is the one the menu names.
  for (const TkvAccel& a : AcceleratorTable())
    if (a.cmd == Id)
      return std::string(action->Caption) + "\t" +
             ShortCutText(TkvShortCut{static_cast<BYTE>(a.fVirt & ~kvFVIRTKEY), a.key});
  return action->Caption;
}

std::string MnemonicCaption(const std::string& Caption, std::string& Used) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  auto eligible = [&](std::size_t i) {
    const char c = upper(Caption[i]);
    return ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) && Used.find(c) == std::string::npos;
  };
  std::size_t at = std::string::npos;
  for (std::size_t i = 0; i < Caption.size() && at == std::string::npos; ++i)
    if ((i == 0 || Caption[i - 1] == ' ') && eligible(i)) at = i;
  for (std::size_t i = 0; i < Caption.size() && at == std::string::npos; ++i)
    if (eligible(i)) at = i;
  std::string text;
  for (std::size_t i = 0; i < Caption.size(); ++i) {
    if (i == at) text += '&';
    text += Caption[i];
    if (Caption[i] == '&') text += '&';
  }
  if (at != std::string::npos) Used += upper(Caption[at]);
  return text;
}

const std::vector<TkvMenuEntry>& MenuEntries(TkvMenu Menu) {
  static const std::vector<E> main = {
      Sub("File"),   Item(cmdCopy), Item(cmdCopyAll), kSep, Item(cmdSaveMachineDescription), kSep, Item(cmdExit),
      kEnd,
      Sub("View"),   Item(cmdRequestDescriptors), kSep, Item(cmdReload), kEnd,
      Sub("Device"), Item(cmdUpdateDescriptors), kSep, Item(cmdEnable), Item(cmdDisable), Item(cmdReset),
      Item(cmdEject), kSep, Item(cmdInstallDriver), kEnd,
      Sub("Help"),   Item(cmdWebHome), Item(cmdAbout), kEnd,
  };
  static const std::vector<E> tree = {
      Item(cmdReload), Item(cmdUpdateDescriptors), kSep,  Item(cmdEnable), Item(cmdDisable),
      Item(cmdReset),  Item(cmdEject),             kSep,  Item(cmdInstallDriver),
  };
  static const std::vector<E> list = {Item(cmdCopy), Item(cmdCopyAll), kSep, Item(cmdUpdateDescriptors)};
  switch (Menu) {
    case TkvMenu::Main:
      return main;
    case TkvMenu::TreePopup:
      return tree;
    case TkvMenu::ListPopup:
      break;
  }
  return list;
}

bool ActionEnabled(WORD Id, const TkvBrowserState& State) {
  const TkvAction* action = FindAction(Id);
  if (!action) return false;
  switch (action->Rule) {
    case R::Always:
      return true;
    case R::NotBusy:
      return !State.Busy;
    case R::NotBusyNoneOpen:
      return !State.Busy && !State.ComponentActive;
    case R::DeviceSelected:
      // The selection of a stale tree names a device that is gone; a long
      // command must not be started inside another.
      return State.DeviceSelected && !State.Stale && !State.Busy;
    case R::RowSelected:
      return State.RowCount > 0 && State.RowSelected;
    case R::AnyRow:
      return State.RowCount > 0;
  }
  return false;
}

bool ActionChecked(WORD Id, const TkvBrowserState& State) {
  return Id == cmdRequestDescriptors && State.RequestDescriptors;
}

}  // namespace quorvex
