#include "actions.h"

namespace quorvex {

const std::vector<TkvAction>& Actions() {
  static const std::vector<TkvAction> actions;
  return actions;
}
const TkvAction* FindAction(WORD) { return nullptr; }
const std::vector<TkvAccel>& AcceleratorTable() {
  static const std::vector<TkvAccel> table;
  return table;
}
std::string ShortCutText(TkvShortCut) { return {}; }
std::string MenuItemText(WORD) { return {}; }
const std::vector<TkvMenuEntry>& MenuEntries(TkvMenu) {
  static const std::vector<TkvMenuEntry> entries;
  return entries;
}
bool ActionEnabled(WORD, const TkvBrowserState&) { return false; }
bool ActionChecked(WORD, const TkvBrowserState&) { return false; }

}  // namespace quorvex
