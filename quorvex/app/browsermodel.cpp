#include "browsermodel.h"

namespace quorvex {

std::string TkvNodeId::Text() const { return {}; }
kv::TObject* ResolveNodeId(const kv::TkvUSBManager&, const TkvNodeId&) { return nullptr; }
bool DevicePageVisible(TkvNodeKind, bool) { return false; }
std::string RowClipboardText(const kv::TkvPropertyRow&) { return {}; }
bool ClipboardWorthy(const std::string&) { return false; }

TkvBrowserModel::TkvBrowserModel(kv::TkvUSB& Usb) : FUsb(Usb) {}
void TkvBrowserModel::Reload(bool, const TkvNodeId*) {}
const TkvTreeItem& TkvBrowserModel::Item(int) const {
  static const TkvTreeItem empty;
  return empty;
}
int TkvBrowserModel::IndexOf(const TkvNodeId&) const { return -1; }
bool TkvBrowserModel::Select(int) { return false; }
TkvNodeKind TkvBrowserModel::SelectedKind() const { return TkvNodeKind::None; }
TkvNodeId TkvBrowserModel::SelectedId() const { return {}; }
bool TkvBrowserModel::ReloadDescriptors() { return false; }
std::string TkvBrowserModel::StatusPath() const { return {}; }
bool TkvBrowserModel::Stale() const { return false; }
bool TkvBrowserModel::DeviceSelected() const { return false; }
bool TkvBrowserModel::DevicePageVisible() const { return false; }
TkvItemColour TkvBrowserModel::ItemColour(int, bool) const { return TkvItemColour::Default; }
std::string TkvBrowserModel::CopyText(int) const { return {}; }
std::string TkvBrowserModel::CopyAllText() const { return {}; }
kv::TObject* TkvBrowserModel::Resolve(const TkvNodeId&) const { return nullptr; }

}  // namespace quorvex
