// Device nodes of the topology: descriptors, strings and pipes.
#include <algorithm>

#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvtext.h"
#include "kvusbman.h"

namespace kv {

const char* const UsbSpeedNames[3] = {"Low", "Full", "High"};
const char* const UsbTransferTypeNames[5] = {"Unknown", "Control", "Isochronous", "Bulk", "Interrupt"};

std::string UsbSpeedName(BYTE Speed) {
  return Speed < 3 ? UsbSpeedNames[Speed] : std::to_string(Speed);
}

std::string UsbTransferTypeName(int TransferType) {
  return UsbTransferTypeNames[TransferType >= 1 && TransferType <= 4 ? TransferType : 0];
}

namespace {

// Fields of a configuration descriptor and an endpoint descriptor.
constexpr std::size_t kConfigAttributes = TkvUsbConfigurationDescriptor::AttributesOffset;
constexpr std::size_t kConfigMaxPower = TkvUsbConfigurationDescriptor::MaxPowerOffset;
constexpr std::size_t kEndpointAddress = TkvUsbEndpointDescriptor::AddressOffset;
constexpr std::size_t kEndpointAttributes = TkvUsbEndpointDescriptor::AttributesOffset;
constexpr std::size_t kEndpointMaxPacketSize = TkvUsbEndpointDescriptor::MaxPacketSizeOffset;
// Strings read in a row by ReadStrings.
constexpr int kMaxListedStrings = 16;

constexpr BYTE kStringDescriptor = 3;
constexpr BYTE kConfigurationDescriptor = 2;

}  // namespace

// ---- pipe ------------------------------------------------------------------------

WORD TkvUsbPipe::MaxPacketSize() const { return Descriptor ? ReadLeWord(Descriptor + kEndpointMaxPacketSize) : 0; }

int TkvUsbPipe::TransferType() const { return Descriptor ? (Descriptor[kEndpointAttributes] & 0x03) + 1 : 0; }

bool TkvUsbPipe::IsIn() const { return Descriptor && (Descriptor[kEndpointAddress] & 0x80) != 0; }

bool TkvUsbPipe::IsOut() const { return Descriptor && (Descriptor[kEndpointAddress] & 0x80) == 0; }

BYTE TkvUsbPipe::EndpointAddress() const { return Descriptor ? Descriptor[kEndpointAddress] : 0; }

// ---- device ----------------------------------------------------------------------

TkvUsbDevice::TkvUsbDevice() = default;

TkvUsbDevice::~TkvUsbDevice() = default;

TkvUSBManager* TkvUsbDevice::Manager() const {
  if (!Port || !Port->Hub || !Port->Hub->Host) return nullptr;
  return Port->Hub->Host->Manager;
}

void TkvUsbDevice::ClearInfo() {
  ConfigDescriptor.reset();
  FPipes.clear();
  Strings.Clear();
}

int TkvUsbDevice::AddPipe() {
  FPipes.push_back(std::make_unique<TkvUsbPipe>());
  FPipes.back()->Device = this;
  return PipeCount() - 1;
}

TkvUsbPipe* TkvUsbDevice::GetPipe(int Index) const {
  return Index >= 0 && Index < PipeCount() ? FPipes[static_cast<std::size_t>(Index)].get() : nullptr;
}

// A configuration descriptor reply shorter than its 9 bytes is read as it
// came: the bytes it did not deliver read as 0, as in the zero-filled block.
BYTE TkvUsbDevice::ConfigByte(std::size_t i) const { return ConfigDescriptor ? ConfigDescriptor->Byte(i) : 0; }

// USB 3 counts bMaxPower in units of 8 mA, older versions in units of 2 mA.
int TkvUsbDevice::MaxPower() const {
  return IsBusPowered() ? ConfigByte(kConfigMaxPower) * (VersionMajor >= 3 ? 8 : 2) : 0;
}

bool TkvUsbDevice::IsBusPowered() const { return (ConfigByte(kConfigAttributes) & 0x80) != 0; }

bool TkvUsbDevice::IsSelfPowered() const { return (ConfigByte(kConfigAttributes) & 0x40) != 0; }

bool TkvUsbDevice::IsRemoteWakeup() const { return (ConfigByte(kConfigAttributes) & 0x20) != 0; }

HANDLE TkvUsbDevice::OpenHub() const {
  if (!Port || !Port->Hub) return INVALID_HANDLE_VALUE;
  HANDLE h = Machine().CreateFileA(Port->Hub->FileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  return h ? h : INVALID_HANDLE_VALUE;
}

void TkvUsbDevice::ReadInfo() {
  ClearInfo();
  if (!Port) return;
  const TkvUsbConnectionInfo& info = Port->ConnectionInfo;
  // Only the pipe entries that the hub both named and sent.
  const int pipes = Port->OpenPipeEntries();
  for (int i = 0; i < pipes; ++i) {
    TkvUsbPipe& pipe = *GetPipe(AddPipe());
    pipe.FileName = Port->FileName + Format("\\PIPE%.2u", {i});
    pipe.ListIndex = i;
    pipe.Descriptor = info.PipeEntry(static_cast<std::size_t>(i));
    pipe.Name = "Pipe [" + std::to_string(i + 1) + "]";
    if (pipe.IsOut()) pipe.Description = pipe.Name + " (OUT endpoint)";
    else if (pipe.IsIn()) pipe.Description = pipe.Name + " (IN endpoint)";
  }

  const WORD bcd = info.BcdUsb();
  VersionMinor = static_cast<BYTE>((bcd & 0xFF) >> 4);
  VersionMajor = static_cast<BYTE>(bcd >> 8);
  Speed = info.Speed();
  IdProduct = info.IdProduct();
  IdVendor = info.IdVendor();
  // From USB 3.0 on, bMaxPacketSize0 is an exponent: 9 means 512 bytes.
  const BYTE packet0 = info.MaxPacketSize0();
  MaxPacketSize = VersionMajor >= 3 && packet0 < 16 ? static_cast<WORD>(1u << packet0) : packet0;

  HANDLE hub = OpenHub();
  if (hub != INVALID_HANDLE_VALUE) {
    ConfigDescriptor = GetUsbDescriptor(hub, static_cast<DWORD>(Port->PortNumber), kConfigurationDescriptor, 0);
    Machine().CloseHandle(hub);
  }

  // A device without driver key has no setup record: matching the empty key
  // would lend it the identity of some other driverless device.
  TkvUSBManager* manager = Manager();
  TkvDevice* record = manager && !Port->RegistryKey.empty() ? manager->FindDeviceRecord(Port->RegistryKey) : nullptr;
  if (!record) return;
  RegistryKey = record->RegistryKey;
  Service = record->Service;
  InstanceId = record->InstanceId;
  ClassGuid = record->ClassGuid;
  ChildIds = Trim(ReplaceAll(record->ChildIds, ";", "\r\n"));
  FileName = ReadRegistryString(HKEY_LOCAL_MACHINE, RegistryKey, "SymbolicName");
  DevInst = record->DevInst;
  Manufacturer = record->Manufacturer;
  if (SameText(Service, "USBSTOR") || SameText(Service, "USBCCGP")) FindDisks();
}

std::string TkvUsbDevice::ReadString(HANDLE HubHandle, BYTE Index) {
  if (!Port) return std::string();
  try {
    std::unique_ptr<TkvUsbDescriptorBlock> block =
        GetUsbDescriptor(HubHandle, static_cast<DWORD>(Port->PortNumber), kStringDescriptor, Index);
    if (!block || block->Length() <= 2) return std::string();
    // The text starts after bLength and bDescriptorType; only whole characters
    // inside the descriptor count.
    return UsbWideText(block->Descriptor() + 2, block->Length() - 2);
  } catch (...) {
    return std::string();
  }
}

void TkvUsbDevice::ReadStrings() {
  Strings.Clear();
  HANDLE hub = OpenHub();
  if (hub == INVALID_HANDLE_VALUE) return;
  for (int i = 1; i <= kMaxListedStrings; ++i) {
    const std::string s = ReadString(hub, static_cast<BYTE>(i));
    if (s.empty()) break;
    Strings.Add(s);
  }
  // Strings holds 1..m without gaps, so entry k-1 is string k for k <= m.
  const TkvUsbConnectionInfo& info = Port->ConnectionInfo;
  auto take = [&](BYTE k, std::string& field) {
    if (k == 0) return;
    field = k <= Strings.Count() ? Strings.Strings(k - 1) : ReadString(hub, k);
  };
  take(info.IManufacturer(), Manufacturer);
  take(info.IProduct(), Description);
  take(info.ISerialNumber(), SerialNumber);
  Machine().CloseHandle(hub);
}

}  // namespace kv
