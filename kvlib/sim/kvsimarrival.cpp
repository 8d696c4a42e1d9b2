// Devices that arrive and leave while a program runs, and the device-change
// broadcast that tells the program's windows.
#include <string>
#include <vector>

#include "kvframework.h"
#include "kvsimusb.h"

namespace kv {

namespace {

struct TTopLevel {
  DWORD Process;
  std::vector<HWND> Windows;
};

BOOL KVAPI CollectOwnWindow(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<TTopLevel*>(param);
  DWORD process = 0;
  Host().GetWindowThreadProcessId(window, &process);
  if (process == found->Process) found->Windows.push_back(window);
  return TRUE;
}

}  // namespace

TkvSimUsbHub* FindSimHub(TkvSimMachine& Machine, const std::string& Name) {
  return dynamic_cast<TkvSimUsbHub*>(Machine.FindDeviceObject("\\\\.\\" + Name).get());
}

int BroadcastDeviceChange(WPARAM Event, const void* Record) {
  TkvHost& host = Host();
  TTopLevel found{host.GetCurrentProcessId(), {}};
  host.EnumWindows(CollectOwnWindow, reinterpret_cast<LPARAM>(&found));
  int reached = 0;
  for (HWND w : found.Windows) {
    if (!Record) {
      if (host.PostMessageA(w, WM_DEVICECHANGE, Event, 0)) ++reached;
    } else if (host.IsWindow(w)) {
      host.SendMessageA(w, WM_DEVICECHANGE, Event, reinterpret_cast<LPARAM>(Record));
      ++reached;
    }
  }
  return reached;
}

TkvSimUsbDevice& DeviceArrives(TkvSimUsbHub& Hub, int Port, const TkvSimUsbDevice& Device,
                               const TkvSimMachine::DevnodeSpec* Devnode) {
  TkvSimUsbDevice& stored = Hub.Attach(Port, Device);
  if (Devnode) Hub.Machine().AddDevnode(*Devnode);
  BroadcastDeviceChange(DBT_DEVNODES_CHANGED);
  return stored;
}

namespace {

// The driver keys of a device and, for a hub, of everything behind it.
void CollectDriverKeys(const TkvSimUsbDevice& device, std::vector<std::string>& keys) {
  if (!device.DriverKey.empty()) keys.push_back(device.DriverKey);
  if (const TkvSimUsbHub* hub = device.Hub())
    for (int p = 1; p <= hub->PortCount(); ++p)
      if (const TkvSimUsbDevice* behind = hub->Device(p)) CollectDriverKeys(*behind, keys);
}

}  // namespace

void DeviceLeaves(TkvSimUsbHub& Hub, int Port) {
  std::vector<std::string> keys;
  if (const TkvSimUsbDevice* gone = Hub.Device(Port)) CollectDriverKeys(*gone, keys);
  Hub.Detach(Port);
  for (const std::string& key : keys) Hub.Machine().SetPresentByDriverKey(key, false);
  BroadcastDeviceChange(DBT_DEVNODES_CHANGED);
}

}  // namespace kv
