// Proves at compile time that the USB request codes and the byte layouts of
// the hub and host-controller records (kvusbw32.h) are those of Windows'
// usbioctl.h and usbspec.h. The library reads and writes the records by these
// offsets only; this is where they meet the system's own declarations.
// Nothing here runs.
//
// usbioctl.h defines the request codes as macros, which would replace our
// names: they are copied under names of their own first.
#include <cstddef>

#include "kvusbw32.h"

namespace {

#define KV_USB_REQUESTS(X)                                                                        \
  X(IOCTL_GET_HCD_DRIVERKEY_NAME) X(IOCTL_USB_GET_ROOT_HUB_NAME) X(IOCTL_USB_GET_NODE_INFORMATION) \
  X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) X(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION)   \
  X(IOCTL_USB_GET_NODE_CONNECTION_NAME) X(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME)           \
  X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX)

#define KV_COPY(name) constexpr kv::DWORD kOur_##name = kv::name;
KV_USB_REQUESTS(KV_COPY)
#undef KV_COPY

}  // namespace

#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>

namespace {

#define KV_SAME(name) static_assert(kOur_##name == (name), #name " differs from usbioctl.h");
KV_USB_REQUESTS(KV_SAME)
#undef KV_SAME

using kv::TkvUsbConfigurationDescriptor;
using kv::TkvUsbConnectionInfo;
using kv::TkvUsbConnectionNameRecord;
using kv::TkvUsbDescriptorBlock;
using kv::TkvUsbEndpointDescriptor;
using kv::TkvUsbNameRecord;
using kv::TkvUsbNodeInformation;

// USB_NODE_INFORMATION: node type, then the hub descriptor and the power flag.
// Our buffer is a few bytes longer than the record.
static_assert(sizeof(USB_NODE_INFORMATION) <= TkvUsbNodeInformation::Size);
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts) ==
              TkvUsbNodeInformation::NumberOfPortsOffset);
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bHubControlCurrent) ==
              TkvUsbNodeInformation::HubControlCurrentOffset);
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubIsBusPowered) ==
              TkvUsbNodeInformation::HubIsBusPoweredOffset);

// USB_NODE_CONNECTION_INFORMATION(_EX): the header and 30 pipe entries. The
// older record has the low-speed flag where the newer one has the speed.
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) == TkvUsbConnectionInfo::HeaderSize);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList) == TkvUsbConnectionInfo::HeaderSize);
static_assert(sizeof(USB_PIPE_INFO) == TkvUsbConnectionInfo::PipeEntrySize);
static_assert(TkvUsbConnectionInfo::HeaderSize + TkvUsbConnectionInfo::MaxPipeEntries * sizeof(USB_PIPE_INFO) ==
              TkvUsbConnectionInfo::Size);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor) ==
              TkvUsbConnectionInfo::DeviceDescriptorOffset);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, Speed) == TkvUsbConnectionInfo::SpeedOffset);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, LowSpeed) == TkvUsbConnectionInfo::SpeedOffset);
// The accessors of kvusbw32.h read these fields at these offsets.
constexpr std::size_t kDescriptor = offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 6);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0) == 11);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 12);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, idProduct) == 14);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 16);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, iManufacturer) == 18);
static_assert(kDescriptor + offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 21);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, CurrentConfigurationValue) == 22);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceIsHub) == 24);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceAddress) == 25);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, NumberOfOpenPipes) == 27);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) == 31);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);

// Endpoint and configuration descriptors.
static_assert(offsetof(USB_PIPE_INFO, EndpointDescriptor) == 0);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == TkvUsbEndpointDescriptor::Size);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bEndpointAddress) == TkvUsbEndpointDescriptor::AddressOffset);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bmAttributes) == TkvUsbEndpointDescriptor::AttributesOffset);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == TkvUsbEndpointDescriptor::MaxPacketSizeOffset);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == TkvUsbConfigurationDescriptor::Size);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes) == TkvUsbConfigurationDescriptor::AttributesOffset);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == TkvUsbConfigurationDescriptor::MaxPowerOffset);

// USB_DESCRIPTOR_REQUEST: connection index and setup packet before the data.
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, Data) == TkvUsbDescriptorBlock::RequestSize);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wValue) == 6);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wLength) == 10);

// The name records.
static_assert(offsetof(USB_HCD_DRIVERKEY_NAME, ActualLength) == TkvUsbNameRecord::LengthOffset);
static_assert(offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName) == TkvUsbNameRecord::NameOffset);
static_assert(sizeof(USB_HCD_DRIVERKEY_NAME) == TkvUsbNameRecord::Size);
static_assert(offsetof(USB_ROOT_HUB_NAME, RootHubName) == TkvUsbNameRecord::NameOffset);
static_assert(sizeof(USB_ROOT_HUB_NAME) == TkvUsbNameRecord::Size);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, ConnectionIndex) == TkvUsbConnectionNameRecord::ConnectionIndexOffset);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, ActualLength) == TkvUsbConnectionNameRecord::LengthOffset);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, NodeName) == TkvUsbConnectionNameRecord::NameOffset);
static_assert(sizeof(USB_NODE_CONNECTION_NAME) == TkvUsbConnectionNameRecord::Size);
static_assert(offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName) == TkvUsbConnectionNameRecord::NameOffset);
static_assert(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) == TkvUsbConnectionNameRecord::Size);
static_assert(TkvUsbConnectionNameRecord::SentSize >= TkvUsbConnectionNameRecord::Size);

}  // namespace
