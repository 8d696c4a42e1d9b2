// The main window's view of the USB topology, without any window: the tree
// items with stable ids, the selection and what it drives (the property rows,
// the component's selected device, the status-bar path, the "USB Device" tab),
// the colours of port items and the clipboard texts.
//
// The model never hands out topology pointers. An item is named by a
// TkvNodeId, the path from its host down (host index, root-hub index, then
// port number and node index for every hub passed, then the pipe index), and
// every use resolves that path against the present topology. The topology is
// freed by any Refresh (a device-change report refreshes the component at
// once, the tree is reloaded 500 ms later); from that moment until the next
// Reload the model is stale: selection, rows of a new selection, commands,
// drawing colours, the device box and the status path are off, so no item can
// reach a freed record. A Reload can select the same place again by its id.
//
// Main thread only.
#pragma once

#include <string>
#include <vector>

#include "kvtreemodel.h"
#include "kvusb.h"

namespace quorvex {

using kv::BYTE;
using kv::DWORD;
using kv::WORD;

using kv::TkvNodeKind;

// Where a node sits in the topology. Path: host index, root-hub index, then
// for every port on the way its port number (1-based) followed by the index
// of the node attached to it; a pipe adds its pipe index. Kind is part of the
// id: a hub that took a device's place is another node.
struct TkvNodeId {
  TkvNodeKind Kind = TkvNodeKind::None;
  std::vector<int> Path;

  bool Valid() const { return Kind != TkvNodeKind::None; }
  // "host 0/0/2/0" style text for logs and test messages.
  std::string Text() const;
  friend bool operator==(const TkvNodeId& a, const TkvNodeId& b) {
    return a.Kind == b.Kind && a.Path == b.Path;
  }
  friend bool operator!=(const TkvNodeId& a, const TkvNodeId& b) { return !(a == b); }
};

// The object at Id in the present topology of Manager, or nullptr when the
// path leads nowhere or to a node of another kind.
kv::TObject* ResolveNodeId(const kv::TkvUSBManager& Manager, const TkvNodeId& Id);

// One item of the tree, in pre-order (parents before their children,
// siblings in topology order).
struct TkvTreeItem {
  TkvNodeId Id;
  std::string Text;
  int Parent = -1;  // index of the parent item; -1 for a root (a host)
  int Level = 0;    // 0 for a root
  bool HasChildren = false;
};

// How TreeCustomDrawItem colours an item's text.
enum class TkvItemColour { Default, Navy, Green };
constexpr DWORD kvNavy = 0x800000;   // COLORREF of RGB(0, 0, 128)
constexpr DWORD kvGreen = 0x008000;  // COLORREF of RGB(0, 128, 0)

// The "USB Device" tab is shown while a device that is not a hub, or a pipe,
// is selected, or while the component is active; otherwise it is hidden.
bool DevicePageVisible(TkvNodeKind Selected, bool ComponentActive);

// The clipboard text of one row: caption, TAB, value, CR LF.
std::string RowClipboardText(const kv::TkvPropertyRow& Row);
// True when Text is worth putting on the clipboard: not empty once blanks and
// control characters are trimmed.
bool ClipboardWorthy(const std::string& Text);

class TkvBrowserModel {
 public:
  // The component whose topology the tree shows (kvUSB1); not owned, it must
  // outlive the model.
  explicit TkvBrowserModel(kv::TkvUSB& Usb);

  // actReloadExecute: hands RequestDescriptors to the component, refreshes its
  // device list (and with it the topology), rebuilds the items and selects
  // Reselect when it still resolves, else the first item (if any). With no
  // host controller the tree is empty, nothing is selected and the rows stay.
  void Reload(bool RequestDescriptors, const TkvNodeId* Reselect = nullptr);

  int ItemCount() const { return static_cast<int>(FItems.size()); }
  // Out of range: an empty item.
  const TkvTreeItem& Item(int Index) const;
  // The index of the item with this id, -1 when there is none.
  int IndexOf(const TkvNodeId& Id) const;
  // Every item is expanded after a reload.
  bool Expanded(int Index) const { return Index >= 0 && Index < ItemCount(); }

  // TreeChange: makes Index the selection, fills the rows by the node's class,
  // selects the node in the component (a pipe selects its device; anything
  // not in the component's list selects nothing) and applies the tab rule.
  // False, with nothing changed, when stale or out of range.
  bool Select(int Index);
  int Selected() const { return FSelected; }
  TkvNodeKind SelectedKind() const;
  TkvNodeId SelectedId() const;

  // The property rows (copies of the texts: safe to show while stale).
  const std::vector<kv::TkvPropertyRow>& Rows() const { return FRows.Rows(); }
  // actUpdateDescriptorsExecute's part: re-reads the string descriptors of the
  // component's selected device and refills the rows with its rows. False when
  // no device is selected or the model is stale.
  bool ReloadDescriptors();

  // "\" before every item text from the root down to the selection; "" with
  // no selection or while stale.
  std::string StatusPath() const;
  // The topology was refreshed after the items were built.
  bool Stale() const;
  // The component has a selected device, and the model is not stale.
  bool DeviceSelected() const;
  // The tab rule for the present selection and component state.
  bool DevicePageVisible() const;
  // Ports: navy with something attached, green without; default colours for
  // every other item and an item drawn selected. (Made from the items' own
  // copies, so drawing stays safe while stale.)
  TkvItemColour ItemColour(int Index, bool DrawnSelected) const;

  // actCopyExecute's text for row Row ("" out of range), and
  // actCopyAllExecute's text (every row, in list order).
  std::string CopyText(int Row) const;
  std::string CopyAllText() const;

  // The object behind Id in the present topology, nullptr while stale.
  kv::TObject* Resolve(const TkvNodeId& Id) const;
  kv::TkvUSB& Usb() const { return FUsb; }

 private:
  void AddHub(const kv::TkvUsbHub& Hub, const TkvNodeId& HubId, int HubItem);
  int AddItem(const TkvNodeId& Id, const std::string& Text, int Parent);

  kv::TkvUSB& FUsb;
  std::vector<TkvTreeItem> FItems;
  unsigned FGeneration = 0;  // of the topology the items were built from
  int FSelected = -1;
  kv::TkvPropertyRows FRows;
};

}  // namespace quorvex
