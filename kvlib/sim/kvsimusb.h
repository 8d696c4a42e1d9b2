// USB buses of the simulated machine: host controllers (opened as \\.\HCDn),
// root hubs and external hubs (opened as \\.\<hub name>) and the devices on
// their ports, answering the requests of the host-controller and hub drivers
// with the byte layouts Windows uses.
//
// Build them in code through TkvSimUsb (below) or from the "usb" section of a
// machine description (docs/machine-description.md). The objects are device
// objects of the machine, which keeps them alive; the references the builder
// hands out stay valid as long as the machine holds the object.
//
// Breaking things on purpose:
//  * any request can fail: for the whole bus (TkvSimUsb::Fail, FailNth), for
//    one controller or hub (FailRequests) or for the requests about one port
//    (TkvSimUsbDevice::FailRequests);
//  * any reply can come back shorter than asked (ShortReplies);
//  * a device can return malformed descriptors (RawDescriptors: a bLength of
//    0, 1 or 255, an odd-length string ...) and report more open pipes than
//    the buffer holds (ReportedOpenPipes);
//  * a hub can know only the older connection request (ExRequestSupported);
//  * a reply filter sees, and may change, every reply before it is delivered.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "kvsimmachine.h"

namespace kv {

class TkvSimUsbHub;

// The state one machine's buses share: failure switches and counters.
struct TkvSimUsbState;

// One reply before it is delivered. The machine copies Bytes (up to the
// caller's output size) and reports that many bytes as returned.
struct TkvSimUsbReply {
  std::string Path;  // the device object's path, e.g. "\\.\HCD0"
  DWORD Code = 0;
  std::vector<BYTE> Input;
  DWORD OutSize = 0;
  bool Ok = true;
  DWORD Error = ERROR_SUCCESS;
  std::vector<BYTE> Bytes;
};
using TkvSimUsbReplyFilter = std::function<void(TkvSimUsbReply& reply)>;

struct TkvSimUsbEndpoint {
  BYTE Address = 0x81;  // bit 7: IN
  BYTE Attributes = 2;  // bits 0..1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  WORD MaxPacketSize = 64;
  BYTE Interval = 0;
  DWORD ScheduleOffset = 0;
};

// A device (or the device side of a hub) on a port.
class TkvSimUsbDevice {
 public:
  // Device descriptor.
  WORD BcdUsb = 0x0200;
  BYTE DeviceClass = 0, DeviceSubClass = 0, DeviceProtocol = 0;
  BYTE MaxPacketSize0 = 64;
  WORD IdVendor = 0, IdProduct = 0, BcdDevice = 0x0100;
  BYTE IManufacturer = 0, IProduct = 0, ISerialNumber = 0;
  BYTE NumConfigurations = 1;
  // Connection.
  BYTE CurrentConfiguration = 1;
  BYTE Speed = 2;  // 0 low, 1 full, 2 high; the older request reports only low speed
  WORD Address = 1;
  DWORD ConnectionStatus = 1;  // 1 connected; 0 reports the port as free
  std::vector<TkvSimUsbEndpoint> Pipes;
  std::optional<DWORD> ReportedOpenPipes;  // NumberOfOpenPipes; default: Pipes.size()
  // Empty: no driver is installed and the driver-key request fails.
  std::string DriverKey;
  // A 9-byte configuration descriptor with these attributes, unless
  // ConfigDescriptor gives the whole descriptor.
  BYTE ConfigAttributes = 0x80;
  BYTE ConfigMaxPower = 50;  // units of 2 mA
  std::optional<std::vector<BYTE>> ConfigDescriptor;
  // String descriptors 1..n: Strings[i-1] is string i; nullopt: the device
  // has no string i (the request fails).
  std::vector<std::optional<std::u16string>> Strings;
  // Replaces what the device answers for a descriptor (key: type << 8 | index).
  std::map<WORD, std::vector<BYTE>> RawDescriptors;
  // Per-port requests about this device (by request code): fail with the
  // error, or come back cut to the byte count.
  std::map<DWORD, DWORD> FailRequests;
  std::map<DWORD, DWORD> ShortReplies;

  // String i (1-based) from UTF-8 text; "" makes an empty string descriptor.
  void SetString(int index, const std::string& utf8);
  void SetStringUtf16(int index, const std::u16string& text);
  // The hub behind this device, or nullptr for a plain device.
  TkvSimUsbHub* Hub() const { return FHub.get(); }
  // The descriptor bytes the device answers with; nullopt: it has none.
  std::optional<std::vector<BYTE>> Descriptor(BYTE type, BYTE index) const;

 private:
  friend class TkvSimUsbHub;
  std::shared_ptr<TkvSimUsbHub> FHub;
};

// A recorded answer to one exact request: what a captured machine replied
// where its reply cannot be said with the fields above (a malformed record, an
// unusual error).
struct TkvSimUsbRawReply {
  bool Ok = true;
  DWORD Error = ERROR_SUCCESS;
  std::vector<BYTE> Bytes;
};
// Request code, output size and input bytes.
using TkvSimUsbRequestKey = std::tuple<DWORD, DWORD, std::vector<BYTE>>;

// What host controllers and hubs share: their switches and the request entry.
class TkvSimUsbObject : public TkvSimDeviceObject {
 public:
  std::map<DWORD, DWORD> FailRequests;  // request code -> error
  std::map<DWORD, DWORD> ShortReplies;  // request code -> bytes delivered
  // Answered before anything else, when code, output size and input match.
  std::map<TkvSimUsbRequestKey, TkvSimUsbRawReply> RawReplies;
  const std::string& Path() const { return FPath; }
  TkvSimMachine& Machine() const { return FMachine; }
  BOOL Ioctl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned,
             DWORD* error) final;

 protected:
  TkvSimUsbObject(TkvSimMachine& machine, std::shared_ptr<TkvSimUsbState> state, std::string path)
      : FMachine(machine), FState(std::move(state)), FPath(std::move(path)) {}
  // Fills the reply of one request; the attached device, if the request is
  // about a port, is reported through `device`.
  virtual void Answer(TkvSimUsbReply& reply, const TkvSimUsbDevice*& device) = 0;

  TkvSimMachine& FMachine;
  std::shared_ptr<TkvSimUsbState> FState;

 private:
  std::string FPath;
};

class TkvSimUsbHub : public TkvSimUsbObject, public std::enable_shared_from_this<TkvSimUsbHub> {
 public:
  TkvSimUsbHub(TkvSimMachine& machine, std::shared_ptr<TkvSimUsbState> state, const std::string& name, int ports);

  const std::string& Name() const { return FName; }
  BYTE HubControlCurrent = 100;  // mA
  bool BusPowered = false;
  bool ExRequestSupported = true;  // false: only the older connection request
  std::optional<BYTE> ReportedPorts;  // bNumberOfPorts; default: the ports built

  int PortCount() const { return static_cast<int>(FPorts.size()); }
  // Puts a device on port 1..PortCount and returns the device as stored.
  TkvSimUsbDevice& Attach(int port, const TkvSimUsbDevice& device);
  // Puts a hub on a port; it is opened as \\.\<name>. Its device side is
  // DeviceSide(driverKey), or the device given.
  TkvSimUsbHub& AttachHub(int port, const std::string& name, int ports, const std::string& driverKey);
  TkvSimUsbHub& AttachHub(int port, const TkvSimUsbDevice& device, const std::string& name, int ports);
  // The device side of a hub as AttachHub makes it: hub class, self powered,
  // with its status-change pipe.
  static TkvSimUsbDevice DeviceSide(const std::string& driverKey);
  void Detach(int port);
  TkvSimUsbDevice* Device(int port) const;
  // Whether CreateFileA finds the hub (it is registered with the machine).
  void SetOpenable(bool openable);

 protected:
  void Answer(TkvSimUsbReply& reply, const TkvSimUsbDevice*& device) override;

 private:
  std::string FName;
  std::vector<std::shared_ptr<TkvSimUsbDevice>> FPorts;
};

class TkvSimUsbController : public TkvSimUsbObject {
 public:
  TkvSimUsbController(TkvSimMachine& machine, std::shared_ptr<TkvSimUsbState> state, int number);

  int Number() const { return FNumber; }
  std::string DriverKey;  // empty: the driver-key request fails
  // Creates the root hub (opened as \\.\<name>).
  TkvSimUsbHub& SetRootHub(const std::string& name, int ports);
  TkvSimUsbHub* RootHub() const { return FRootHub.get(); }
  // The name the root-hub request reports; may name a hub that is missing.
  std::optional<std::string> ReportedRootHubName;

 protected:
  void Answer(TkvSimUsbReply& reply, const TkvSimUsbDevice*& device) override;

 private:
  int FNumber;
  std::shared_ptr<TkvSimUsbHub> FRootHub;
};

// The buses of one machine. A light handle: copies share the same state.
class TkvSimUsb {
 public:
  explicit TkvSimUsb(TkvSimMachine& machine);

  TkvSimMachine& Machine() const { return FMachine; }
  // A host controller opened as \\.\HCD<number>.
  TkvSimUsbController& AddController(int number, const std::string& driverKey);
  void RemoveController(int number);

  // Makes every request with this code fail `count` times (-1: always).
  void Fail(DWORD code, DWORD error, int count = -1);
  // Makes the n-th request from now (0-based, any code) fail once.
  void FailNth(unsigned long n, DWORD error);
  void ClearFailures();
  // Requests answered (or failed) since the buses were created.
  unsigned long RequestCount() const;
  void SetReplyFilter(TkvSimUsbReplyFilter filter);

 private:
  TkvSimMachine& FMachine;
  std::shared_ptr<TkvSimUsbState> FState;
};

// ---- devices that arrive and leave while a program runs ----------------------
//
// A test or a script changes the buses of the installed machine and the
// machine announces it as Windows does: WM_DEVICECHANGE to every top-level
// window of this process, through the host half, so it reaches the windows of
// the POSIX host and the real windows of the Win32 host alike.

// The hub opened as \\.\<Name> (root or external), nullptr when there is none.
TkvSimUsbHub* FindSimHub(TkvSimMachine& Machine, const std::string& Name);
// Puts Device on Port (1-based) of Hub, adds Devnode when given (below the
// root; its driver key is the one the device reports) and broadcasts
// DBT_DEVNODES_CHANGED. Returns the device as stored.
TkvSimUsbDevice& DeviceArrives(TkvSimUsbHub& Hub, int Port, const TkvSimUsbDevice& Device,
                               const TkvSimMachine::DevnodeSpec* Devnode = nullptr);
// Takes whatever is on Port off it (a hub with everything behind it); the
// devnodes with their driver keys stay but are no longer present. Then
// broadcasts DBT_DEVNODES_CHANGED.
void DeviceLeaves(TkvSimUsbHub& Hub, int Port);
// WM_DEVICECHANGE(Event, Record) to every top-level window of this process.
// DBT_DEVNODES_CHANGED (no record) is posted, so a caller on any thread never
// waits for a window; an event with a record (an arrival or removal) is sent,
// since the record lives only during the call. Returns the windows reached.
int BroadcastDeviceChange(WPARAM Event, const void* Record = nullptr);

// The registry's mounted-devices values of the two forms: a partition of an
// MBR disk (signature and starting offset) and a volume's device path.
void SetMountedDeviceMbr(TkvSimMachine& machine, char letter, DWORD signature, unsigned long long offset);
void SetMountedDevicePath(TkvSimMachine& machine, char letter, const std::string& path);

// Names of the USB requests, for descriptions and failure messages.
std::string UsbRequestName(DWORD code);
// The code of a request name such as "IOCTL_USB_GET_NODE_CONNECTION_NAME"
// (0 when unknown).
DWORD UsbRequestCode(const std::string& name);

}  // namespace kv
