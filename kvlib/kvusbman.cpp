// The topology manager, host controllers, hubs and ports. Device nodes and
// pipes are in kvusbdevice.cpp, drive letters in kvusbdisks.cpp.
#include "kvusbman.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvtext.h"
#include "kvutils.h"

namespace kv {

namespace {

// The setup classes whose device records a refresh collects, in this order
// (the USB class first, so its records win duplicate driver keys).
const char* const kRecordClasses[] = {
    "{36FC9E60-C465-11CF-8056-444553540000}", "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}",
    "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}", "{6BDD1FC5-810F-11D0-BEC7-08002BE2092F}",
    "{50906CB8-BA12-11D1-BF5D-0000F805F530}", "{4D36E971-E325-11CE-BFC1-08002BE10318}",
    "{4D36E978-E325-11CE-BFC1-08002BE10318}", "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
    "{4D36E96C-E325-11CE-BFC1-08002BE10318}", "{72631E54-78A4-11D0-BCF7-00AA00B7B32A}",
    "{53D29EF7-377C-4D14-864B-EB3A85769359}", "{6BDD1FC3-810F-11D0-BEC7-08002BE2092F}",
    "{4D36E976-E325-11CE-BFC1-08002BE10318}"};

constexpr int kHostControllerTries = 16;

// The process-wide lock of Refresh (a critical section: the same thread may
// enter again).
TkvRecursiveMutex& RefreshLock() {
  static TkvRecursiveMutex lock;
  return lock;
}

bool IsValidHandle(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }

// Closes a device handle of the machine when it goes out of scope.
class THandle {
 public:
  explicit THandle(HANDLE h) : FHandle(h) {}
  ~THandle() {
    if (IsValidHandle(FHandle)) Machine().CloseHandle(FHandle);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return FHandle; }
  bool Valid() const { return IsValidHandle(FHandle); }

 private:
  HANDLE FHandle;
};

}  // namespace

// Lookups of one refresh. A refresh looks up a description for every host,
// hub and device and a record for every device; answering them from indexes
// built once keeps the refresh linear in the size of the machine.
struct TkvUSBManager::TRefreshIndexes {
  TkvDriverKeyIndex Descriptions;
  bool RecordsBuilt = false;
  std::map<std::string, TkvDevice*> Records;  // upper-case key -> first record
};

// ---- manager -------------------------------------------------------------------

TkvUSBManager::TkvUSBManager() = default;

TkvUSBManager::~TkvUSBManager() { Clear(); }

TkvUsbHost* TkvUSBManager::GetHost(int Index) const {
  return Index >= 0 && Index < HostCount() ? FHosts[static_cast<std::size_t>(Index)].get() : nullptr;
}

void TkvUSBManager::Clear() {
  ++FGeneration;
  FHosts.clear();
  DeviceRecords.Clear();
  Drives.Clear();
}

TkvDevice* TkvUSBManager::FindDeviceRecord(const std::string& DriverKey) {
  if (FIndexes) {
    if (!FIndexes->RecordsBuilt) {
      for (int i = 0; i < DeviceRecords.Count(); ++i)
        FIndexes->Records.emplace(UpperAscii(DeviceRecords.Strings(i)), DeviceRecords.ObjectAs<TkvDevice>(i));
      FIndexes->RecordsBuilt = true;
    }
    auto it = FIndexes->Records.find(UpperAscii(DriverKey));
    return it == FIndexes->Records.end() ? nullptr : it->second;
  }
  for (int i = 0; i < DeviceRecords.Count(); ++i)
    if (SameText(DeviceRecords.Strings(i), DriverKey)) return DeviceRecords.ObjectAs<TkvDevice>(i);
  return nullptr;
}

std::string TkvUSBManager::DriverKeyDescription(const std::string& DriverKey) {
  if (FIndexes && DescriptionLookup == TDescriptionLookup::Indexed) return FIndexes->Descriptions.Description(DriverKey);
  return GetDriverKeyDescription(DriverKey);
}

void TkvUSBManager::Refresh() {
  TkvLockGuard<TkvRecursiveMutex> lock(RefreshLock());
  Clear();
  // The indexes live exactly as long as this refresh, whichever way it ends.
  struct TIndexScope {
    std::unique_ptr<TRefreshIndexes>& Slot;
    ~TIndexScope() { Slot.reset(); }
  } scope{FIndexes};
  FIndexes = std::make_unique<TRefreshIndexes>();

  EnumDisks();
  for (const char* text : kRecordClasses) {
    GUID cls{};
    TextToGuid(text, cls);
    EnumDevices(&cls, true, true, false, DeviceRecords);
  }
  TkvMachine& m = Machine();
  for (int number = 0; number < kHostControllerTries; ++number) {
    const std::string path = "\\\\.\\HCD" + std::to_string(number);
    THandle handle(m.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle.Valid()) continue;
    FHosts.push_back(std::make_unique<TkvUsbHost>(this));
    TkvUsbHost& host = *FHosts.back();
    host.FileName = path;
    host.RegistryKey = GetUsbName(handle.Get(), IOCTL_GET_HCD_DRIVERKEY_NAME);
    host.Description = DriverKeyDescription(host.RegistryKey);
    host.Name = host.Description;
    host.ReadRootHub(handle.Get());
  }
}

TkvUSBManager& USBManager() {
  RefreshLock();  // created first, so it is destroyed after the manager
  static TkvUSBManager manager;
  return manager;
}

// ---- host ------------------------------------------------------------------------

TkvUsbHost::TkvUsbHost(TkvUSBManager* manager) : Manager(manager) {}

TkvUsbHost::~TkvUsbHost() = default;

TkvUsbHub* TkvUsbHost::GetHub(int Index) const {
  return Index >= 0 && Index < HubCount() ? FHubs[static_cast<std::size_t>(Index)].get() : nullptr;
}

void TkvUsbHost::ClearHubs() { FHubs.clear(); }

void TkvUsbHost::ReadRootHub(HANDLE Handle) {
  ClearHubs();
  const std::string name = GetUsbName(Handle, IOCTL_USB_GET_ROOT_HUB_NAME);
  std::unique_ptr<TkvUsbHub> hub = OpenHub(this, name, nullptr);
  if (!hub) return;
  hub->Description = "Root Hub";
  FHubs.push_back(std::move(hub));
}

// ---- hub ---------------------------------------------------------------------------

std::unique_ptr<TkvUsbHub> OpenHub(TkvUsbHost* Host, const std::string& HubName, TkvUsbPort* ParentPort) {
  // No name opens nothing; a hub below the deepest tier USB allows is a
  // driver reporting a loop, which would otherwise recurse without end.
  if (HubName.empty()) return nullptr;
  if (ParentPort && ParentPort->Hub && ParentPort->Hub->Depth() + 1 > kMaxHubDepth) return nullptr;
  const std::string path = "\\\\.\\" + HubName;
  THandle handle(
      Machine().CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle.Valid()) return nullptr;
  auto hub = std::make_unique<TkvUsbHub>();
  hub->FileName = path;
  hub->Host = Host;
  hub->ParentPort = ParentPort;
  hub->Name = "USB Hub:" + HubName;
  // The children are opened and read inside, while this handle stays open.
  hub->ReadPorts(handle.Get());
  return hub;
}

TkvUsbHub::TkvUsbHub() = default;

TkvUsbHub::~TkvUsbHub() = default;

TkvUsbPort* TkvUsbHub::GetPort(int Index) const {
  return Index >= 0 && Index < PortCount() ? FPorts[static_cast<std::size_t>(Index)].get() : nullptr;
}

int TkvUsbHub::AddPort() {
  FPorts.push_back(std::make_unique<TkvUsbPort>());
  return PortCount() - 1;
}

void TkvUsbHub::ClearPorts() { FPorts.clear(); }

int TkvUsbHub::Depth() const {
  int depth = 0;
  for (const TkvUsbHub* h = this; h->ParentPort && h->ParentPort->Hub; h = h->ParentPort->Hub) ++depth;
  return depth;
}

void TkvUsbHub::ReadPorts(HANDLE Handle) {
  ClearPorts();
  // Zero-filled first: whatever the hub does not send reads as zero.
  NodeInformation.Bytes.fill(0);
  DWORD returned = 0;
  BYTE* info = NodeInformation.Bytes.data();
  if (!Machine().DeviceIoControl(Handle, IOCTL_USB_GET_NODE_INFORMATION, info, TkvUsbNodeInformation::Size, info,
                                 TkvUsbNodeInformation::Size, &returned, nullptr))
    return;
  const int ports = NodeInformation.NumberOfPorts();
  for (int number = 1; number <= ports; ++number) {
    TkvUsbPort& port = *GetPort(AddPort());
    port.Name = "Port[" + std::to_string(number) + "]";
    port.Description = port.Name;
    port.PortNumber = number;
    port.Hub = this;
    port.ReadConnection(Handle);
  }
}

// ---- port ------------------------------------------------------------------------------

TkvUsbPort::TkvUsbPort() = default;

TkvUsbPort::~TkvUsbPort() = default;

TkvUsbDevice* TkvUsbPort::GetNode(int Index) const {
  return Index >= 0 && Index < NodeCount() ? FNodes[static_cast<std::size_t>(Index)].get() : nullptr;
}

void TkvUsbPort::ClearNodes() { FNodes.clear(); }

int TkvUsbPort::OpenPipeEntries() const {
  const std::size_t header = TkvUsbConnectionInfo::HeaderSize;
  const std::size_t returned = ConnectionInfoLength > header ? ConnectionInfoLength - header : 0;
  std::size_t n = ConnectionInfo.NumberOfOpenPipes();
  n = std::min(n, TkvUsbConnectionInfo::MaxPipeEntries);
  n = std::min(n, returned / TkvUsbConnectionInfo::PipeEntrySize);
  return static_cast<int>(n);
}

void TkvUsbPort::ReadConnection(HANDLE Handle) {
  ClearNodes();
  TkvMachine& m = Machine();
  BYTE* info = ConnectionInfo.Bytes.data();
  const DWORD size = TkvUsbConnectionInfo::Size;
  // A reply shorter than the header carries no usable connection state and
  // counts as a failed request.
  auto request = [&](DWORD code) {
    ConnectionInfo.Reset(static_cast<DWORD>(PortNumber));
    DWORD returned = 0;
    const bool ok = m.DeviceIoControl(Handle, code, info, size, info, size, &returned, nullptr) &&
                    returned >= TkvUsbConnectionInfo::HeaderSize;
    ConnectionInfoLength = ok ? std::min(returned, size) : 0;
    return ok;
  };
  bool ok = request(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX);
  if (!ok) {
    ok = request(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION);
    // The older request has a low-speed flag where the speed code belongs.
    // It cannot tell full from high speed, so a device that is not low speed
    // is taken as full speed whatever its bcdUSB says.
    if (ok) ConnectionInfo.SetSpeed(ConnectionInfo.Speed() ? 0 : 1);
  }
  if (!ok) {
    ConnectionInfo.Reset(static_cast<DWORD>(PortNumber));
    Description = "Error";
    return;
  }

  Description = "Port #" + std::to_string(PortNumber) + " ";
  if (ConnectionInfo.ConnectionStatus() == 0) {
    Description += "(free)";
    return;
  }
  const bool isHub = ConnectionInfo.DeviceIsHub() != 0;
  const DWORD index = static_cast<DWORD>(PortNumber);
  std::string key = GetUsbConnectionName(
      Handle, isHub ? IOCTL_USB_GET_NODE_CONNECTION_NAME : IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, index);
  RegistryKey = key;
  FileName = Hub->FileName + "\\" + key;

  std::unique_ptr<TkvUsbDevice> node;
  if (isHub) {
    Description += "(hub: ";
    node = OpenHub(Hub->Host, key, this);
    key = GetUsbConnectionName(Handle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, index);
  } else {
    Description += "(device: ";
    auto device = std::make_unique<TkvUsbDevice>();
    device->Port = this;
    device->ReadInfo();
    node = std::move(device);
  }

  TkvUSBManager* manager = Hub->Host ? Hub->Host->Manager : nullptr;
  std::string desc;
  if (!key.empty() && node) {
    if (manager) desc = manager->DriverKeyDescription(key);
  } else {
    if (manager && manager->RequestDescriptors && !isHub && node) {
      node->ReadStrings();
      for (int i = 0; i < node->Strings.Count(); ++i) desc += " " + node->Strings.Strings(i);
      desc = Trim(desc);
    }
    if (desc.empty()) desc = "unknown device";
  }
  if (node) {
    node->Description = desc;
    node->Name = desc;
    FNodes.push_back(std::move(node));
  }
  Description += " " + desc + ")";
}

}  // namespace kv
