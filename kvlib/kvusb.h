// The USB device component: lists the USB devices of the process-wide
// topology (depth first below each root hub, hubs left out, optionally only
// one vendor or product) and lets the application select one. Opening the
// selected device and the device actions build on this.
//
// Opening (Active := true) opens the selected device's path for overlapped
// I/O and binds WinUSB to it; a pipe pair (kvusbpipe) bound to this component
// reads and writes through the two handles while it is open. Before those
// handles go (a close, the component's destruction) the component notifies
// kvNotifyMediumClosed, so that whoever borrowed them lets go first.
//
// The name tables UsbSpeedNames and UsbTransferTypeNames come with the
// topology (kvusbman.h) and are part of this unit's interface.
//
// Threading: main thread only; the topology's Refresh takes its own lock.
#pragma once

#include "kvclasses.h"
#include "kvusbman.h"

namespace kv {

// \??\X becomes \\.\X (the device path of the registry as Win32 opens
// it); any other path is returned unchanged.
std::string ToWin32DevicePath(const std::string& Path);

class TkvUSB : public TkvBaseIO {
 public:
  explicit TkvUSB(TComponent* AOwner);
  ~TkvUSB() override;

  // ---- device list
  // Enumerates the topology again, rebuilds the list and notifies code 3.
  void RefreshDeviceList() override;
  // Out of range: no device is selected and nothing else changes.
  void SetDeviceIndex(int Index) override;
  int GetDeviceIndex() const override { return FDeviceIndex; }
  // The record of the selected entry; it belongs to the topology and is
  // valid until the next enumeration.
  TkvUsbDevice* SelectedDevice() const { return FSelectedDevice; }
  int HostCount() const { return FManager->HostCount(); }
  TkvUsbHost* GetHost(int Index) const { return FManager->GetHost(Index); }

  // ---- published properties
  bool RequestDescriptors() const { return FRequestDescriptors; }
  // Takes effect at the next enumeration.
  void SetRequestDescriptors(bool Value) { FRequestDescriptors = Value; }
  // 0: any vendor / product. A new value rebuilds the list from the present
  // topology, without enumerating and without notification.
  DWORD IdVendor() const { return FIdVendor; }
  void SetIdVendor(DWORD Value);
  DWORD IdProduct() const { return FIdProduct; }
  void SetIdProduct(DWORD Value);

  // ---- device actions on the selected device (CheckDeviceSelected first)
  // Eject, restart, enable or disable the selected device through the setup
  // layer. No result; an eject refused four times raises with the veto name.
  void Eject();
  void Reset();
  void Enable();
  void Disable();
  // The outcome of the last device action: true when it was carried out;
  // otherwise the system's error code (never 0 after a failure). A component
  // on which no action ran reports true and 0.
  bool LastActionOk() const { return FLastActionOk; }
  DWORD LastActionError() const { return FLastActionError; }

  // The WinUSB interface handle of the open device; -1 when there is none.
  HANDLE WinUsbHandle() const { return FWinUsbHandle; }

  // ---- opening
  // Open while both the device handle and the WinUSB handle are there.
  bool IsOpened() const override;
  // Closes first when open. Without a selection: "Device is not selected";
  // when the device does not open: "USB device open is failed." (with
  // " Driver is unknown." unless its service is WinUSB), the last error as
  // the detail.
  void Open() override;
  void Close() override;
  // FatalError(8, 1, "Device is not selected") and false without a selection.
  bool CheckDeviceSelected();

  // The component reads and writes no data itself: a pipe pair bound to it
  // does, through the open device.
  void SendChar(char C) override;
  void SendString(const std::string& S) override;
  void SendBuffer(const void* Buffer, DWORD Count) override;

 protected:
  HANDLE OpenMedium() override;
  void CloseMedium(HANDLE AHandle) override;
  void LoadDeviceList() override;
  void ClearDevices() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void SetWinUsbHandle(HANDLE Value) { FWinUsbHandle = Value; }

 private:
  void BuildDeviceList();
  void AddHubDevices(TkvUsbHub* Hub);
  // Another component's enumeration replaced the records this one lists.
  void TopologyReplaced();
  // Logs Text + the device's name and instance id, runs Action and keeps
  // its outcome; an exception is kept as a failure and passed on.
  template <class TAction>
  void DeviceAction(const char* Text, TAction Action);

  int FDeviceIndex = -1;
  TkvUSBManager* FManager;
  TkvUsbDevice* FSelectedDevice = nullptr;
  HANDLE FWinUsbHandle;
  DWORD FIdVendor = 0;
  DWORD FIdProduct = 0;
  bool FRequestDescriptors = false;
  bool FLastActionOk = true;
  DWORD FLastActionError = 0;
};

}  // namespace kv
