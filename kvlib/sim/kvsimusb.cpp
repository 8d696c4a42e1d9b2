// The simulated host controllers, hubs and devices. The replies are packed
// here field by field with their Windows offsets written out, independently
// of the library's readers, so that a wrong offset on either side shows up in
// the tests instead of cancelling out.
#include "kvsimusb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kvtext.h"

namespace kv {

namespace {

constexpr DWORD kHcdDriverKeyName = 0x220424;
constexpr DWORD kRootHubName = 0x220408;
constexpr DWORD kNodeInformation = 0x220408;
constexpr DWORD kConnectionInformation = 0x22040C;
constexpr DWORD kDescriptorFromNodeConnection = 0x220410;
constexpr DWORD kConnectionName = 0x220414;
constexpr DWORD kConnectionDriverKeyName = 0x220420;
constexpr DWORD kConnectionInformationEx = 0x220448;

// sizeof of the packed Windows records.
constexpr DWORD kNameRecord = 6;             // USB_HCD_DRIVERKEY_NAME, USB_ROOT_HUB_NAME
constexpr DWORD kConnectionNameRecord = 10;  // USB_NODE_CONNECTION_(DRIVERKEY_)NAME
constexpr DWORD kNodeInformationRecord = 76;  // USB_NODE_INFORMATION
constexpr DWORD kConnectionHeader = 35;       // USB_NODE_CONNECTION_INFORMATION(_EX)
constexpr DWORD kPipeInfo = 11;               // USB_PIPE_INFO
constexpr DWORD kDescriptorRequest = 12;      // USB_DESCRIPTOR_REQUEST without data

constexpr DWORD ERROR_INVALID_FUNCTION_ = 1;

struct TRequestName {
  DWORD Code;
  const char* Name;
};
const TRequestName kRequestNames[] = {
    {kHcdDriverKeyName, "IOCTL_GET_HCD_DRIVERKEY_NAME"},
    {kRootHubName, "IOCTL_USB_GET_ROOT_HUB_NAME"},
    {kNodeInformation, "IOCTL_USB_GET_NODE_INFORMATION"},
    {kConnectionInformation, "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION"},
    {kDescriptorFromNodeConnection, "IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION"},
    {kConnectionName, "IOCTL_USB_GET_NODE_CONNECTION_NAME"},
    {kConnectionDriverKeyName, "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME"},
    {kConnectionInformationEx, "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX"},
};

void Put16(std::vector<BYTE>& b, std::size_t at, WORD v) {
  b[at] = static_cast<BYTE>(v);
  b[at + 1] = static_cast<BYTE>(v >> 8);
}
void Put32(std::vector<BYTE>& b, std::size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}
DWORD Get32(const std::vector<BYTE>& b, std::size_t at) {
  return static_cast<DWORD>(b[at]) | static_cast<DWORD>(b[at + 1]) << 8 | static_cast<DWORD>(b[at + 2]) << 16 |
         static_cast<DWORD>(b[at + 3]) << 24;
}

void Refuse(TkvSimUsbReply& reply, DWORD error) {
  reply.Ok = false;
  reply.Error = error;
  reply.Bytes.clear();
}

// A name record: the fixed fields, then the name and its closing zero.
// ActualLength counts all of it; the caller gets as much as its buffer holds.
std::vector<BYTE> NameRecord(std::size_t nameOffset, const std::u16string& name) {
  std::vector<BYTE> b(nameOffset + 2 * (name.size() + 1), 0);
  for (std::size_t i = 0; i < name.size(); ++i) Put16(b, nameOffset + 2 * i, name[i]);
  return b;
}

}  // namespace

struct TkvSimUsbState {
  struct Failure {
    DWORD Error;
    int Count;
  };
  std::map<DWORD, Failure> Failures;
  unsigned long Requests = 0;
  std::optional<unsigned long> FailNthAt;
  DWORD FailNthError = ERROR_GEN_FAILURE;
  TkvSimUsbReplyFilter Filter;
};

std::string UsbRequestName(DWORD code) {
  if (code == kRootHubName) return "IOCTL_USB_GET_ROOT_HUB_NAME/IOCTL_USB_GET_NODE_INFORMATION";
  for (const TRequestName& r : kRequestNames)
    if (r.Code == code) return r.Name;
  char text[32];
  std::snprintf(text, sizeof(text), "request 0x%06X", static_cast<unsigned>(code));
  return text;
}

DWORD UsbRequestCode(const std::string& name) {
  for (const TRequestName& r : kRequestNames)
    if (SameText(r.Name, name)) return r.Code;
  return 0;
}

// ---- devices ---------------------------------------------------------------------

void TkvSimUsbDevice::SetStringUtf16(int index, const std::u16string& text) {
  if (index < 1 || index > 255) throw std::invalid_argument("string descriptor index out of 1..255");
  if (Strings.size() < static_cast<std::size_t>(index)) Strings.resize(static_cast<std::size_t>(index));
  Strings[static_cast<std::size_t>(index - 1)] = text;
}

void TkvSimUsbDevice::SetString(int index, const std::string& utf8) { SetStringUtf16(index, Utf8ToUtf16(utf8)); }

std::optional<std::vector<BYTE>> TkvSimUsbDevice::Descriptor(BYTE type, BYTE index) const {
  auto raw = RawDescriptors.find(static_cast<WORD>(type << 8 | index));
  if (raw != RawDescriptors.end()) return raw->second;
  switch (type) {
    case 1: {  // device
      if (index != 0) return std::nullopt;
      std::vector<BYTE> d(18, 0);
      d[0] = 18;
      d[1] = 1;
      Put16(d, 2, BcdUsb);
      d[4] = DeviceClass;
      d[5] = DeviceSubClass;
      d[6] = DeviceProtocol;
      d[7] = MaxPacketSize0;
      Put16(d, 8, IdVendor);
      Put16(d, 10, IdProduct);
      Put16(d, 12, BcdDevice);
      d[14] = IManufacturer;
      d[15] = IProduct;
      d[16] = ISerialNumber;
      d[17] = NumConfigurations;
      return d;
    }
    case 2: {  // configuration: header, one interface, its endpoints
      if (index >= NumConfigurations) return std::nullopt;
      if (ConfigDescriptor) return *ConfigDescriptor;
      std::vector<BYTE> d(18 + 7 * Pipes.size(), 0);
      d[0] = 9;
      d[1] = 2;
      Put16(d, 2, static_cast<WORD>(d.size()));
      d[4] = 1;  // bNumInterfaces
      d[5] = CurrentConfiguration ? CurrentConfiguration : 1;
      d[7] = ConfigAttributes;
      d[8] = ConfigMaxPower;
      d[9] = 9;
      d[10] = 4;
      d[13] = static_cast<BYTE>(Pipes.size());
      d[14] = Hub() ? 9 : 0xFF;
      for (std::size_t i = 0; i < Pipes.size(); ++i) {
        const std::size_t e = 18 + 7 * i;
        d[e] = 7;
        d[e + 1] = 5;
        d[e + 2] = Pipes[i].Address;
        d[e + 3] = Pipes[i].Attributes;
        Put16(d, e + 4, Pipes[i].MaxPacketSize);
        d[e + 6] = Pipes[i].Interval;
      }
      return d;
    }
    case 3: {  // string; index 0 lists the languages (US English)
      if (index == 0) return std::vector<BYTE>{4, 3, 0x09, 0x04};
      if (index > Strings.size() || !Strings[index - 1u]) return std::nullopt;
      const std::u16string& s = *Strings[index - 1u];
      const std::size_t chars = std::min<std::size_t>(s.size(), 126);  // bLength is one byte
      std::vector<BYTE> d(2 + 2 * chars, 0);
      d[0] = static_cast<BYTE>(d.size());
      d[1] = 3;
      for (std::size_t i = 0; i < chars; ++i) Put16(d, 2 + 2 * i, s[i]);
      return d;
    }
    default:
      return std::nullopt;
  }
}

// ---- the request entry -------------------------------------------------------------

BOOL TkvSimUsbObject::Ioctl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned,
                            DWORD* error) {
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  TkvSimUsbReply reply;
  reply.Path = FPath;
  reply.Code = code;
  if (in && inSize) reply.Input.assign(in, in + inSize);
  reply.OutSize = outSize;

  TkvSimUsbState& s = *FState;
  const unsigned long n = s.Requests++;
  auto failure = s.Failures.find(code);
  auto raw = RawReplies.empty() ? RawReplies.end() : RawReplies.find(TkvSimUsbRequestKey(code, outSize, reply.Input));
  if (raw != RawReplies.end()) {
    reply.Ok = raw->second.Ok;
    reply.Error = raw->second.Error;
    reply.Bytes = raw->second.Bytes;
  } else if (s.FailNthAt && *s.FailNthAt == n) {
    s.FailNthAt.reset();
    Refuse(reply, s.FailNthError);
  } else if (failure != s.Failures.end() && failure->second.Count != 0) {
    if (failure->second.Count > 0) --failure->second.Count;
    Refuse(reply, failure->second.Error);
  } else if (FailRequests.count(code)) {
    Refuse(reply, FailRequests.at(code));
  } else {
    const TkvSimUsbDevice* device = nullptr;
    Answer(reply, device);
    if (reply.Ok && device) {
      if (device->FailRequests.count(code)) Refuse(reply, device->FailRequests.at(code));
      auto cut = device->ShortReplies.find(code);
      if (reply.Ok && cut != device->ShortReplies.end() && reply.Bytes.size() > cut->second)
        reply.Bytes.resize(cut->second);
    }
    auto cut = ShortReplies.find(code);
    if (reply.Ok && cut != ShortReplies.end() && reply.Bytes.size() > cut->second) reply.Bytes.resize(cut->second);
  }
  if (s.Filter) s.Filter(reply);

  if (!reply.Ok) {
    if (returned) *returned = 0;
    *error = reply.Error ? reply.Error : ERROR_GEN_FAILURE;
    return FALSE;
  }
  const std::size_t copy = std::min<std::size_t>(reply.Bytes.size(), out ? outSize : 0);
  if (copy) std::memcpy(out, reply.Bytes.data(), copy);
  if (returned) *returned = static_cast<DWORD>(copy);
  return TRUE;
}

// ---- hubs --------------------------------------------------------------------------

TkvSimUsbHub::TkvSimUsbHub(TkvSimMachine& machine, std::shared_ptr<TkvSimUsbState> state, const std::string& name,
                           int ports)
    : TkvSimUsbObject(machine, std::move(state), "\\\\.\\" + name), FName(name) {
  if (ports < 0 || ports > 255) throw std::invalid_argument("a hub has 0 to 255 ports");
  FPorts.resize(static_cast<std::size_t>(ports));
}

TkvSimUsbDevice& TkvSimUsbHub::Attach(int port, const TkvSimUsbDevice& device) {
  if (port < 1 || port > PortCount()) throw std::invalid_argument("port " + std::to_string(port) + " of hub " + FName);
  Detach(port);
  auto stored = std::make_shared<TkvSimUsbDevice>(device);
  stored->FHub.reset();
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  FPorts[static_cast<std::size_t>(port - 1)] = stored;
  return *stored;
}

TkvSimUsbDevice TkvSimUsbHub::DeviceSide(const std::string& driverKey) {
  TkvSimUsbDevice device;
  device.DeviceClass = 9;
  device.MaxPacketSize0 = 64;
  device.DriverKey = driverKey;
  device.ConfigAttributes = 0xE0;
  device.ConfigMaxPower = 50;
  device.Pipes.push_back(TkvSimUsbEndpoint{0x81, 3, 1, 12, 0});  // status change
  return device;
}

TkvSimUsbHub& TkvSimUsbHub::AttachHub(int port, const std::string& name, int ports, const std::string& driverKey) {
  return AttachHub(port, DeviceSide(driverKey), name, ports);
}

TkvSimUsbHub& TkvSimUsbHub::AttachHub(int port, const TkvSimUsbDevice& device, const std::string& name, int ports) {
  TkvSimUsbDevice& stored = Attach(port, device);
  stored.FHub = std::make_shared<TkvSimUsbHub>(FMachine, FState, name, ports);
  FMachine.AddDeviceObject(stored.FHub->Path(), stored.FHub);
  return *stored.FHub;
}

void TkvSimUsbHub::Detach(int port) {
  if (port < 1 || port > PortCount()) return;
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  auto& slot = FPorts[static_cast<std::size_t>(port - 1)];
  if (slot && slot->FHub) {
    for (int p = 1; p <= slot->FHub->PortCount(); ++p) slot->FHub->Detach(p);
    FMachine.RemoveDeviceObject(slot->FHub->Path());
  }
  slot.reset();
}

TkvSimUsbDevice* TkvSimUsbHub::Device(int port) const {
  if (port < 1 || port > PortCount()) return nullptr;
  return FPorts[static_cast<std::size_t>(port - 1)].get();
}

void TkvSimUsbHub::SetOpenable(bool openable) {
  if (openable) FMachine.AddDeviceObject(Path(), shared_from_this());
  else FMachine.RemoveDeviceObject(Path());
}

void TkvSimUsbHub::Answer(TkvSimUsbReply& r, const TkvSimUsbDevice*& device) {
  const DWORD code = r.Code;
  if (code == kNodeInformation) {
    if (r.OutSize < kNodeInformationRecord) return Refuse(r, ERROR_INSUFFICIENT_BUFFER);
    r.Bytes.assign(kNodeInformationRecord, 0);
    // NodeType 0 (UsbHub), then the hub descriptor and HubIsBusPowered.
    const BYTE ports = ReportedPorts ? *ReportedPorts : static_cast<BYTE>(PortCount());
    r.Bytes[4] = static_cast<BYTE>(7 + 2 * (ports / 8 + 1));  // bDescriptorLength
    r.Bytes[5] = 0x29;                                         // hub descriptor
    r.Bytes[6] = ports;
    Put16(r.Bytes, 7, 0x0009);  // individual power switching and over-current protection
    r.Bytes[9] = 50;            // bPowerOnToPowerGood
    r.Bytes[10] = HubControlCurrent;
    r.Bytes[75] = BusPowered ? 1 : 0;
    return;
  }
  const bool perPort = code == kConnectionInformation || code == kConnectionInformationEx || code == kConnectionName ||
                       code == kConnectionDriverKeyName || code == kDescriptorFromNodeConnection;
  if (!perPort) return Refuse(r, ERROR_INVALID_FUNCTION_);
  if (r.Input.size() < 4) return Refuse(r, ERROR_INVALID_PARAMETER);
  const DWORD index = Get32(r.Input, 0);
  if (index < 1 || index > static_cast<DWORD>(PortCount())) return Refuse(r, ERROR_INVALID_PARAMETER);
  const TkvSimUsbDevice* d = FPorts[index - 1].get();
  // The devnode's state shows on its port: a removed device is gone from
  // it, a disabled one is there but not configured.
  const TkvSimDevnode* node = d && !d->DriverKey.empty() ? FMachine.FindDevnodeByDriverKey(d->DriverKey) : nullptr;
  if (node && node->Removed) d = nullptr;
  const bool unconfigured = node && node->Disabled;
  device = d;

  if (code == kConnectionInformation || code == kConnectionInformationEx) {
    if (code == kConnectionInformationEx && !ExRequestSupported) return Refuse(r, ERROR_INVALID_FUNCTION_);
    if (r.OutSize < kConnectionHeader) return Refuse(r, ERROR_INSUFFICIENT_BUFFER);
    // As many pipe entries as the caller's buffer holds; the count tells all.
    const std::size_t pipes = d && !unconfigured ? d->Pipes.size() : 0;
    const std::size_t fit = std::min<std::size_t>(pipes, (r.OutSize - kConnectionHeader) / kPipeInfo);
    r.Bytes.assign(kConnectionHeader + kPipeInfo * fit, 0);
    Put32(r.Bytes, 0, index);
    if (!d || d->ConnectionStatus == 0) return;  // NoDeviceConnected
    const std::vector<BYTE> dd = *d->Descriptor(1, 0);
    std::memcpy(&r.Bytes[4], dd.data(), std::min<std::size_t>(dd.size(), 18));
    r.Bytes[22] = unconfigured ? 0 : d->CurrentConfiguration;
    r.Bytes[23] = code == kConnectionInformationEx ? d->Speed : (d->Speed == 0 ? 1 : 0);
    r.Bytes[24] = d->Hub() ? 1 : 0;
    Put16(r.Bytes, 25, d->Address);
    Put32(r.Bytes, 27, d->ReportedOpenPipes && !unconfigured ? *d->ReportedOpenPipes : static_cast<DWORD>(pipes));
    Put32(r.Bytes, 31, d->ConnectionStatus);
    for (std::size_t i = 0; i < fit; ++i) {
      const std::size_t e = kConnectionHeader + kPipeInfo * i;
      const TkvSimUsbEndpoint& p = d->Pipes[i];
      r.Bytes[e] = 7;
      r.Bytes[e + 1] = 5;
      r.Bytes[e + 2] = p.Address;
      r.Bytes[e + 3] = p.Attributes;
      Put16(r.Bytes, e + 4, p.MaxPacketSize);
      r.Bytes[e + 6] = p.Interval;
      Put32(r.Bytes, e + 7, p.ScheduleOffset);
    }
    return;
  }
  if (code == kConnectionName || code == kConnectionDriverKeyName) {
    if (r.Input.size() < kConnectionNameRecord || r.OutSize < kConnectionNameRecord)
      return Refuse(r, ERROR_INSUFFICIENT_BUFFER);
    std::u16string name;
    if (code == kConnectionName) {
      if (d && d->Hub()) name = Utf8ToUtf16(d->Hub()->Name());  // a device that is no hub: empty name
    } else {
      if (!d || d->DriverKey.empty()) return Refuse(r, ERROR_GEN_FAILURE);  // no driver installed
      name = Utf8ToUtf16(d->DriverKey);
    }
    r.Bytes = NameRecord(8, name);
    Put32(r.Bytes, 0, index);
    Put32(r.Bytes, 4, static_cast<DWORD>(r.Bytes.size()));
    return;
  }
  // Descriptor request: the setup packet's wValue and wLength.
  if (r.Input.size() < kDescriptorRequest || r.OutSize < kDescriptorRequest)
    return Refuse(r, ERROR_INSUFFICIENT_BUFFER);
  if (!d || d->ConnectionStatus == 0) return Refuse(r, ERROR_GEN_FAILURE);
  const BYTE descIndex = r.Input[6];
  const BYTE descType = r.Input[7];
  const WORD length = static_cast<WORD>(r.Input[10] | r.Input[11] << 8);
  const std::optional<std::vector<BYTE>> desc = d->Descriptor(descType, descIndex);
  if (!desc) return Refuse(r, ERROR_GEN_FAILURE);  // the device stalls
  const std::size_t n = std::min<std::size_t>({length, desc->size(), r.OutSize - kDescriptorRequest});
  r.Bytes.assign(r.Input.begin(), r.Input.begin() + kDescriptorRequest);
  r.Bytes.insert(r.Bytes.end(), desc->begin(), desc->begin() + static_cast<std::ptrdiff_t>(n));
}

// ---- host controllers ---------------------------------------------------------------

TkvSimUsbController::TkvSimUsbController(TkvSimMachine& machine, std::shared_ptr<TkvSimUsbState> state, int number)
    : TkvSimUsbObject(machine, std::move(state), "\\\\.\\HCD" + std::to_string(number)), FNumber(number) {}

TkvSimUsbHub& TkvSimUsbController::SetRootHub(const std::string& name, int ports) {
  if (FRootHub) FMachine.RemoveDeviceObject(FRootHub->Path());
  FRootHub = std::make_shared<TkvSimUsbHub>(FMachine, FState, name, ports);
  FMachine.AddDeviceObject(FRootHub->Path(), FRootHub);
  return *FRootHub;
}

void TkvSimUsbController::Answer(TkvSimUsbReply& r, const TkvSimUsbDevice*&) {
  if (r.Code != kHcdDriverKeyName && r.Code != kRootHubName) return Refuse(r, ERROR_INVALID_FUNCTION_);
  if (r.OutSize < kNameRecord) return Refuse(r, ERROR_INSUFFICIENT_BUFFER);
  std::string name;
  if (r.Code == kHcdDriverKeyName) {
    name = DriverKey;
  } else {
    name = ReportedRootHubName ? *ReportedRootHubName : (FRootHub ? FRootHub->Name() : std::string());
  }
  if (name.empty()) return Refuse(r, ERROR_GEN_FAILURE);
  r.Bytes = NameRecord(4, Utf8ToUtf16(name));
  Put32(r.Bytes, 0, static_cast<DWORD>(r.Bytes.size()));
}

// ---- the buses of a machine -------------------------------------------------------------

TkvSimUsb::TkvSimUsb(TkvSimMachine& machine) : FMachine(machine), FState(std::make_shared<TkvSimUsbState>()) {}

TkvSimUsbController& TkvSimUsb::AddController(int number, const std::string& driverKey) {
  auto controller = std::make_shared<TkvSimUsbController>(FMachine, FState, number);
  controller->DriverKey = driverKey;
  FMachine.AddDeviceObject(controller->Path(), controller);
  return *controller;
}

void TkvSimUsb::RemoveController(int number) { FMachine.RemoveDeviceObject("\\\\.\\HCD" + std::to_string(number)); }

void TkvSimUsb::Fail(DWORD code, DWORD error, int count) {
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  FState->Failures[code] = TkvSimUsbState::Failure{error, count};
}

void TkvSimUsb::FailNth(unsigned long n, DWORD error) {
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  FState->FailNthAt = FState->Requests + n;
  FState->FailNthError = error;
}

void TkvSimUsb::ClearFailures() {
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  FState->Failures.clear();
  FState->FailNthAt.reset();
}

unsigned long TkvSimUsb::RequestCount() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  return FState->Requests;
}

void TkvSimUsb::SetReplyFilter(TkvSimUsbReplyFilter filter) {
  TkvLockGuard<TkvRecursiveMutex> lock(FMachine.Lock());
  FState->Filter = std::move(filter);
}

// ---- mounted devices ------------------------------------------------------------------------

void SetMountedDeviceMbr(TkvSimMachine& machine, char letter, DWORD signature, unsigned long long offset) {
  std::vector<BYTE> data(12, 0);
  Put32(data, 0, signature);
  for (int i = 0; i < 8; ++i) data[4 + static_cast<std::size_t>(i)] = static_cast<BYTE>(offset >> (8 * i));
  machine.SetBinary(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", std::string("\\DosDevices\\") + letter + ":", data);
}

void SetMountedDevicePath(TkvSimMachine& machine, char letter, const std::string& path) {
  // Stored as UTF-16 without a closing zero, as Windows keeps them.
  const std::u16string w = Utf8ToUtf16(path);
  std::vector<BYTE> data(2 * w.size(), 0);
  for (std::size_t i = 0; i < w.size(); ++i) Put16(data, 2 * i, w[i]);
  machine.SetBinary(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", std::string("\\DosDevices\\") + letter + ":", data);
}

}  // namespace kv
