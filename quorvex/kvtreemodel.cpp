#include "kvtreemodel.h"

#include "kvtext.h"

namespace kv {

namespace {

// Captions of the property rows.
const char* const kDescription = "Description";
const char* const kRegistryKey = "Registry Key Name";
const char* const kFileHandle = "File Handle Name";
const char* const kHubCount = "Hub Count";
const char* const kPortCount = "Port Count";
const char* const kMaxPower = "Max Power";
const char* const kDeviceCount = "Device Count";
const char* const kPortNumber = "Port Number";
const char* const kManufacturer = "Manufacturer";
const char* const kSerialNumber = "Serial Number";
const char* const kMaxPacketSize = "Max Packet Size";
const char* const kVendorId = "Vendor ID";
const char* const kProductId = "Product ID";
const char* const kWakeUp = "Is Wake Up";
const char* const kSelfPower = "Is Self Power";
const char* const kBusPower = "Is Bus Power";
const char* const kUsbVersion = "USB Version";
const char* const kSpeed = "Speed (Low,Full,High)";
const char* const kPipeCount = "Pipe Count";
const char* const kService = "Service";
const char* const kDisks = "Disks";
const char* const kStringDescriptor = "String Descriptor [";
const char* const kPipeFileName = "Pipe File Name";
const char* const kTransferType = "Transfer Type";
const char* const kDirection = "Direction";
const char* const kMilliamps = " mA";
const char* const kPipeNode = "Pipe (Endpoint) #";

std::string Number(long long n) { return std::to_string(n); }

}  // namespace

TkvNodeKind NodeKind(const TObject* data) {
  if (!data) return TkvNodeKind::None;
  if (dynamic_cast<const TkvUsbHost*>(data)) return TkvNodeKind::Host;
  if (dynamic_cast<const TkvUsbHub*>(data)) return TkvNodeKind::Hub;
  if (dynamic_cast<const TkvUsbPort*>(data)) return TkvNodeKind::Port;
  if (dynamic_cast<const TkvUsbDevice*>(data)) return TkvNodeKind::Device;
  if (dynamic_cast<const TkvUsbPipe*>(data)) return TkvNodeKind::Pipe;
  return TkvNodeKind::None;
}

std::string PipeNodeText(int pipeIndex) { return kPipeNode + Number(pipeIndex + 1); }

void AddHubPorts(TkvTreeNode& node, TkvUsbHub& hub) {
  for (int p = 0; p < hub.PortCount(); ++p) {
    TkvUsbPort& port = *hub.GetPort(p);
    node.Children.push_back(TkvTreeNode{port.Description, &port, {}});
    TkvTreeNode& portNode = node.Children.back();
    for (int n = 0; n < port.NodeCount(); ++n) {
      TkvUsbDevice& attached = *port.GetNode(n);
      portNode.Children.push_back(TkvTreeNode{attached.Description, &attached, {}});
      TkvTreeNode& child = portNode.Children.back();
      if (auto* childHub = dynamic_cast<TkvUsbHub*>(&attached)) {
        AddHubPorts(child, *childHub);
      } else {
        for (int k = 0; k < attached.PipeCount(); ++k)
          child.Children.push_back(TkvTreeNode{PipeNodeText(k), attached.GetPipe(k), {}});
      }
    }
  }
}

std::vector<TkvTreeNode> BuildTopologyTree(const TkvUSBManager& manager) {
  std::vector<TkvTreeNode> roots;
  for (int h = 0; h < manager.HostCount(); ++h) {
    TkvUsbHost& host = *manager.GetHost(h);
    roots.push_back(TkvTreeNode{host.Description, &host, {}});
    for (int i = 0; i < host.HubCount(); ++i) {
      TkvUsbHub& hub = *host.GetHub(i);
      roots.back().Children.push_back(TkvTreeNode{hub.Description, &hub, {}});
      AddHubPorts(roots.back().Children.back(), hub);
    }
  }
  return roots;
}

void TkvPropertyRows::AddRow(const std::string& Caption, const std::string& Value) {
  if (!Trim(Value).empty()) FRows.push_back(TkvPropertyRow{Caption, Value});
}

std::string BoolText(bool value) { return value ? "True" : "False"; }

std::string UsbIdText(WORD id) { return Format("%.4X", {id}) + "h"; }

void ShowHostInfo(TkvPropertyRows& rows, const TkvUsbHost& host) {
  rows.AddRow(kDescription, host.Description);
  rows.AddRow(kRegistryKey, host.RegistryKey);
  rows.AddRow(kFileHandle, host.FileName);
  rows.AddRow(kHubCount, Number(host.HubCount()));
}

void ShowHubInfo(TkvPropertyRows& rows, const TkvUsbHub& hub) {
  rows.AddRow(kDescription, hub.Description);
  rows.AddRow(kRegistryKey, hub.RegistryKey);
  rows.AddRow(kFileHandle, hub.FileName);
  rows.AddRow(kPortCount, Number(hub.PortCount()));
  rows.AddRow(kMaxPower, Number(hub.MaxPower()) + kMilliamps);
}

void ShowPortInfo(TkvPropertyRows& rows, const TkvUsbPort& port) {
  rows.AddRow(kDescription, port.Description);
  rows.AddRow(kRegistryKey, port.RegistryKey);
  rows.AddRow(kFileHandle, port.FileName);
  rows.AddRow(kDeviceCount, Number(port.NodeCount()));
  rows.AddRow(kPortNumber, Number(port.PortNumber));
}

void ShowDeviceInfo(TkvPropertyRows& rows, const TkvUsbDevice& device) {
  rows.AddRow(kDescription, device.Description);
  rows.AddRow(kManufacturer, device.Manufacturer);
  rows.AddRow(kSerialNumber, device.SerialNumber);
  rows.AddRow(kMaxPower, Number(device.MaxPower()) + kMilliamps);
  rows.AddRow(kMaxPacketSize, Number(device.MaxPacketSize));
  rows.AddRow(kVendorId, UsbIdText(device.IdVendor));
  rows.AddRow(kProductId, UsbIdText(device.IdProduct));
  rows.AddRow(kWakeUp, BoolText(device.IsRemoteWakeup()));
  rows.AddRow(kSelfPower, BoolText(device.IsSelfPowered()));
  rows.AddRow(kBusPower, BoolText(device.IsBusPowered()));
  rows.AddRow(kUsbVersion, Number(device.VersionMajor) + "." + Number(device.VersionMinor));
  rows.AddRow(kSpeed, UsbSpeedName(device.Speed) + " ");
  rows.AddRow(kPipeCount, Number(device.PipeCount()));
  rows.AddRow(kService, device.Service);
  rows.AddRow(kDisks, device.Disks);
  for (int i = 0; i < device.Strings.Count(); ++i)
    rows.AddRow(kStringDescriptor + Number(i + 1) + "]", device.Strings.Strings(i));
}

void ShowPipeInfo(TkvPropertyRows& rows, const TkvUsbPipe& pipe) {
  rows.AddRow(kPipeFileName, pipe.FileName);
  rows.AddRow(kMaxPacketSize, Number(pipe.MaxPacketSize()));
  rows.AddRow(kTransferType, UsbTransferTypeName(pipe.TransferType()));
  rows.AddRow(kDirection, pipe.IsIn() ? "In" : pipe.IsOut() ? "Out" : "");
}

void ShowNodeInfo(TkvPropertyRows& rows, const TObject* data) {
  switch (NodeKind(data)) {
    case TkvNodeKind::Host:
      return ShowHostInfo(rows, *static_cast<const TkvUsbHost*>(data));
    case TkvNodeKind::Hub:
      return ShowHubInfo(rows, *static_cast<const TkvUsbHub*>(data));
    case TkvNodeKind::Port:
      return ShowPortInfo(rows, *static_cast<const TkvUsbPort*>(data));
    case TkvNodeKind::Device:
      return ShowDeviceInfo(rows, *static_cast<const TkvUsbDevice*>(data));
    case TkvNodeKind::Pipe:
      return ShowPipeInfo(rows, *static_cast<const TkvUsbPipe*>(data));
    case TkvNodeKind::None:
      return;
  }
}

}  // namespace kv
