#include "kvusb.h"

#include <algorithm>
#include <vector>

#include "kvtext.h"
#include "kvusbw32.h"

namespace kv {

namespace {

// Every TkvUSB of the process: they all list records of the one topology, so
// an enumeration by one of them concerns all (main thread only).
std::vector<TkvUSB*>& UsbComponents() {
  static auto* components = new std::vector<TkvUSB*>;
  return *components;
}

}  // namespace

TkvUSB::TkvUSB(TComponent* AOwner)
    : TkvBaseIO(AOwner), FManager(&USBManager()), FWinUsbHandle(INVALID_HANDLE_VALUE) {
  SetOwnsDevices(false);  // the records belong to the topology
  UsbComponents().push_back(this);
}

TkvUSB::~TkvUSB() {
  Shutdown();
  auto& all = UsbComponents();
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
  if (FManager->Log && FManager->Log == Log()) FManager->Log = nullptr;
}

// ---- device list ---------------------------------------------------------------------

void TkvUSB::LoadDeviceList() {
  WriteLog(2, "Load device list ...");
  FSelectedDevice = nullptr;  // its record is about to be freed
  FManager->RequestDescriptors = FRequestDescriptors;
  FManager->Log = Log();
  FManager->Refresh();
  BuildDeviceList();
  // The other components' lists named records that are gone now.
  for (TkvUSB* other : std::vector<TkvUSB*>(UsbComponents()))
    if (other != this) other->TopologyReplaced();
}

void TkvUSB::TopologyReplaced() {
  if (DeviceCount() == 0 && !FSelectedDevice) return;
  FSelectedDevice = nullptr;
  BuildDeviceList();
  Notify(kvNotifyDeviceList);
}

void TkvUSB::BuildDeviceList() {
  ClearDevices();
  for (int h = 0; h < FManager->HostCount(); ++h) {
    TkvUsbHost* host = FManager->GetHost(h);
    if (!host) continue;
    for (int i = 0; i < host->HubCount(); ++i)
      if (TkvUsbHub* hub = host->GetHub(i)) AddHubDevices(hub);
  }
}

void TkvUSB::AddHubDevices(TkvUsbHub* Hub) {
  for (int p = 0; p < Hub->PortCount(); ++p) {
    TkvUsbPort* port = Hub->GetPort(p);
    if (!port) continue;
    for (int n = 0; n < port->NodeCount(); ++n) {
      TkvUsbDevice* node = port->GetNode(n);
      if (!node) continue;
      if (auto* hub = dynamic_cast<TkvUsbHub*>(node)) {
        AddHubDevices(hub);  // its devices come where the hub sits
        continue;
      }
      if (FIdProduct != 0 && node->IdProduct != FIdProduct) continue;
      if (FIdVendor != 0 && node->IdVendor != FIdVendor) continue;
      AddDevice(node);
      WriteLog(2, "Add device into list: " + node->Name + "|" + node->InstanceId);
    }
  }
}

void TkvUSB::ClearDevices() { TkvBaseIO::ClearDevices(); }

void TkvUSB::RefreshDeviceList() {
  LoadDeviceList();
  TkvBaseIO::RefreshDeviceList();
}

void TkvUSB::SetDeviceIndex(int Index) {
  FSelectedDevice = nullptr;
  if (Index < 0 || Index >= DeviceCount()) return;
  FDeviceIndex = Index;
  FSelectedDevice = dynamic_cast<TkvUsbDevice*>(GetDevice(Index));
  TkvBaseIO::SetDeviceIndex(Index);
}

void TkvUSB::SetIdVendor(DWORD Value) {
  if (Value == FIdVendor) return;
  FIdVendor = Value;
  BuildDeviceList();
}

void TkvUSB::SetIdProduct(DWORD Value) {
  if (Value == FIdProduct) return;
  FIdProduct = Value;
  BuildDeviceList();
}

// ---- opening -------------------------------------------------------------------------

std::string ToWin32DevicePath(const std::string& Path) {
  if (Path.compare(0, 3, "\\??") == 0) return "\\\\." + Path.substr(3);
  return Path;
}

bool TkvUSB::CheckDeviceSelected() {
  if (FSelectedDevice) return true;
  FatalError(8, 1, "Device is not selected");
  return false;
}

HANDLE TkvUSB::OpenMedium() {
  const std::string path = ToWin32DevicePath(FSelectedDevice->FileName);
  HANDLE h = Machine().CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  WINUSB_INTERFACE_HANDLE winusb = nullptr;
  if (!WinUsb_Initialize(h, &winusb)) {
    // The reason of the failed open is WinUSB's, not the close's.
    const DWORD error = GetLastError();
    Machine().CloseHandle(h);
    SetLastError(error);
    FWinUsbHandle = INVALID_HANDLE_VALUE;
    return INVALID_HANDLE_VALUE;
  }
  FWinUsbHandle = static_cast<HANDLE>(winusb);
  return h;
}

bool TkvUSB::IsOpened() const { return FWinUsbHandle != INVALID_HANDLE_VALUE && TkvBaseIO::IsOpened(); }

void TkvUSB::Open() {
  if (IsOpened()) Close();
  if (!CheckDeviceSelected()) return;
  TkvBaseIO::Open();
  if (IsOpened()) return;
  const DWORD error = GetLastError();
  std::string text = "USB device open is failed.";
  if (LowerAscii(FSelectedDevice->Service) != "winusb") text += " Driver is unknown.";
  FatalError(8, error, text);
}

void TkvUSB::CloseMedium(HANDLE AHandle) {
  if (FWinUsbHandle != INVALID_HANDLE_VALUE) WinUsb_Free(FWinUsbHandle);
  if (AHandle != INVALID_HANDLE_VALUE) Machine().CloseHandle(AHandle);
}

void TkvUSB::Close() {
  // A pipe pair reads and writes through these handles: it lets go first.
  if (Handle() != INVALID_HANDLE_VALUE) Notify(kvNotifyMediumClosed);
  TkvBaseIO::Close();
  FWinUsbHandle = INVALID_HANDLE_VALUE;
}

// ---- sending ------------------------------------------------------------------------------

void TkvUSB::SendChar(char) {}

void TkvUSB::SendString(const std::string&) {}

void TkvUSB::SendBuffer(const void*, DWORD) {}

// ---- references -----------------------------------------------------------------------------

void TkvUSB::Notification(TComponent* AComponent, TOperation Operation) {
  // The topology writes to the log it was last given: not to one that is gone.
  if (Operation == opRemove && AComponent && FManager->Log == AComponent) FManager->Log = nullptr;
  TkvBaseIO::Notification(AComponent, Operation);
}

}  // namespace kv
