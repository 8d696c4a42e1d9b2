#include "browsermodel.h"

#include "kvtext.h"

namespace quorvex {

using kv::TkvUsbDevice;
using kv::TkvUsbHost;
using kv::TkvUsbHub;
using kv::TkvUsbPipe;
using kv::TkvUsbPort;

namespace {

const char* KindName(TkvNodeKind kind) {
  switch (kind) {
    case TkvNodeKind::Host:
      return "host";
    case TkvNodeKind::Hub:
      return "hub";
    case TkvNodeKind::Port:
      return "port";
    case TkvNodeKind::Device:
      return "device";
    case TkvNodeKind::Pipe:
      return "pipe";
    case TkvNodeKind::None:
      break;
  }
  return "none";
}

TkvNodeId Child(const TkvNodeId& parent, TkvNodeKind kind, int step) {
  TkvNodeId id{kind, parent.Path};
  id.Path.push_back(step);
  return id;
}

}  // namespace

std::string TkvNodeId::Text() const {
  std::string text = KindName(Kind);
  for (std::size_t i = 0; i < Path.size(); ++i) text += (i == 0 ? " " : "/") + std::to_string(Path[i]);
  return text;
}

kv::TObject* ResolveNodeId(const kv::TkvUSBManager& Manager, const TkvNodeId& Id) {
  const std::vector<int>& p = Id.Path;
  if (p.empty()) return nullptr;
  TkvUsbHost* host = Manager.GetHost(p[0]);
  if (!host) return nullptr;
  kv::TObject* found = host;
  std::size_t i = 1;
  if (i < p.size()) {
    TkvUsbHub* hub = host->GetHub(p[i++]);
    found = hub;
    // Down through the hubs: a port number, then the index of the node on it.
    while (hub && i < p.size()) {
      const int number = p[i++];
      TkvUsbPort* port = number >= 1 ? hub->GetPort(number - 1) : nullptr;
      found = port;
      hub = nullptr;
      if (!port || i == p.size()) break;
      TkvUsbDevice* node = port->GetNode(p[i++]);
      found = node;
      if (!node || i == p.size()) break;
      hub = dynamic_cast<TkvUsbHub*>(node);
      if (!hub) found = node->GetPipe(p[i++]);  // a device's next step is its pipe
    }
    if (i != p.size()) found = nullptr;  // the path goes on where the topology ends
  }
  return found && kv::NodeKind(found) == Id.Kind ? found : nullptr;
}

bool DevicePageVisible(TkvNodeKind Selected, bool ComponentActive) {
  return ComponentActive || Selected == TkvNodeKind::Device || Selected == TkvNodeKind::Pipe;
}

std::string RowClipboardText(const kv::TkvPropertyRow& Row) { return Row.Caption + "\t" + Row.Value + "\r\n"; }

bool ClipboardWorthy(const std::string& Text) {
  for (char c : Text)
    if (static_cast<unsigned char>(c) > ' ') return true;
  return false;
}

// ---- the model ------------------------------------------------------------------

TkvBrowserModel::TkvBrowserModel(kv::TkvUSB& Usb) : FUsb(Usb), FGeneration(kv::USBManager().Generation()) {}

int TkvBrowserModel::AddItem(const TkvNodeId& Id, const std::string& Text, int Parent) {
  TkvTreeItem item;
  item.Id = Id;
  item.Text = Text;
  item.Parent = Parent;
  if (Parent >= 0) {
    item.Level = FItems[static_cast<std::size_t>(Parent)].Level + 1;
    FItems[static_cast<std::size_t>(Parent)].HasChildren = true;
  }
  FItems.push_back(std::move(item));
  return ItemCount() - 1;
}

void TkvBrowserModel::AddHub(const TkvUsbHub& Hub, const TkvNodeId& HubId, int HubItem) {
  for (int p = 0; p < Hub.PortCount(); ++p) {
    const TkvUsbPort* port = Hub.GetPort(p);
    if (!port) continue;
    const TkvNodeId portId = Child(HubId, TkvNodeKind::Port, p + 1);
    const int portItem = AddItem(portId, port->Description, HubItem);
    for (int n = 0; n < port->NodeCount(); ++n) {
      const TkvUsbDevice* node = port->GetNode(n);
      if (!node) continue;
      const auto* hub = dynamic_cast<const TkvUsbHub*>(node);
      const TkvNodeId nodeId = Child(portId, hub ? TkvNodeKind::Hub : TkvNodeKind::Device, n);
      const int nodeItem = AddItem(nodeId, node->Description, portItem);
      if (hub) {
        AddHub(*hub, nodeId, nodeItem);
        continue;
      }
      for (int k = 0; k < node->PipeCount(); ++k)
        AddItem(Child(nodeId, TkvNodeKind::Pipe, k), kv::PipeNodeText(k), nodeItem);
    }
  }
}

void TkvBrowserModel::Reload(bool RequestDescriptors, const TkvNodeId* Reselect) {
  // The id to select again is copied first: it may be one of our own items.
  const TkvNodeId again = Reselect ? *Reselect : TkvNodeId{};
  FItems.clear();
  FSelected = -1;
  FUsb.SetRequestDescriptors(RequestDescriptors);
  FUsb.RefreshDeviceList();
  const kv::TkvUSBManager& manager = kv::USBManager();
  FGeneration = manager.Generation();
  for (int h = 0; h < FUsb.HostCount(); ++h) {
    const TkvUsbHost* host = FUsb.GetHost(h);
    if (!host) continue;
    const TkvNodeId hostId{TkvNodeKind::Host, {h}};
    const int hostItem = AddItem(hostId, host->Description, -1);
    for (int r = 0; r < host->HubCount(); ++r) {
      const TkvUsbHub* hub = host->GetHub(r);
      if (!hub) continue;
      const TkvNodeId hubId = Child(hostId, TkvNodeKind::Hub, r);
      AddHub(*hub, hubId, AddItem(hubId, hub->Description, hostItem));
    }
  }
  if (FItems.empty()) return;  // nothing selected; the rows stay
  const int index = again.Valid() ? IndexOf(again) : -1;
  Select(index >= 0 ? index : 0);
}

const TkvTreeItem& TkvBrowserModel::Item(int Index) const {
  static const TkvTreeItem empty;
  return Index >= 0 && Index < ItemCount() ? FItems[static_cast<std::size_t>(Index)] : empty;
}

int TkvBrowserModel::IndexOf(const TkvNodeId& Id) const {
  for (int i = 0; i < ItemCount(); ++i)
    if (FItems[static_cast<std::size_t>(i)].Id == Id) return i;
  return -1;
}

bool TkvBrowserModel::Select(int Index) {
  if (Index < 0 || Index >= ItemCount() || Stale()) return false;
  kv::TObject* data = Resolve(FItems[static_cast<std::size_t>(Index)].Id);
  if (!data) return false;  // cannot happen while the generation matches
  FSelected = Index;
  FRows.Clear();
  kv::ShowNodeInfo(FRows, data);
  // A pipe stands for its device, so that the device page works on it.
  const kv::TkvDevice* device = dynamic_cast<const kv::TkvDevice*>(data);
  if (auto* pipe = dynamic_cast<const TkvUsbPipe*>(data)) device = pipe->Device;
  FUsb.SetDeviceIndex(FUsb.IndexOfDevice(device));
  return true;
}

TkvNodeKind TkvBrowserModel::SelectedKind() const { return Item(FSelected).Id.Kind; }

TkvNodeId TkvBrowserModel::SelectedId() const { return Item(FSelected).Id; }

bool TkvBrowserModel::ReloadDescriptors() {
  if (!DeviceSelected()) return false;
  TkvUsbDevice* device = FUsb.SelectedDevice();
  device->ReadStrings();
  FRows.Clear();
  kv::ShowDeviceInfo(FRows, *device);
  return true;
}

std::string TkvBrowserModel::StatusPath() const {
  if (Stale()) return {};
  std::string path;
  for (int i = FSelected; i >= 0; i = Item(i).Parent) path = "\\" + Item(i).Text + path;
  return path;
}

bool TkvBrowserModel::Stale() const { return kv::USBManager().Generation() != FGeneration; }

bool TkvBrowserModel::DeviceSelected() const { return !Stale() && FUsb.SelectedDevice() != nullptr; }

bool TkvBrowserModel::DevicePageVisible() const { return quorvex::DevicePageVisible(SelectedKind(), FUsb.Active()); }

TkvItemColour TkvBrowserModel::ItemColour(int Index, bool DrawnSelected) const {
  const TkvTreeItem& item = Item(Index);
  if (DrawnSelected || item.Id.Kind != TkvNodeKind::Port) return TkvItemColour::Default;
  return item.HasChildren ? TkvItemColour::Navy : TkvItemColour::Green;
}

std::string TkvBrowserModel::CopyText(int Row) const {
  const auto& rows = Rows();
  return Row >= 0 && Row < static_cast<int>(rows.size()) ? RowClipboardText(rows[static_cast<std::size_t>(Row)])
                                                         : std::string();
}

std::string TkvBrowserModel::CopyAllText() const {
  std::string text;
  for (const kv::TkvPropertyRow& row : Rows()) text += RowClipboardText(row);
  return text;
}

kv::TObject* TkvBrowserModel::Resolve(const TkvNodeId& Id) const {
  return Stale() ? nullptr : ResolveNodeId(kv::USBManager(), Id);
}

}  // namespace quorvex
