// The USB requests of the topology: request codes of the host-controller and
// hub drivers, the byte layouts of their records, and the functions that send
// them through the platform seam (CreateFileA/DeviceIoControl of Machine()).
//
// Every record is packed and little-endian. The layouts are written down once,
// here, as byte offsets: the records are read and written through the
// accessors below, never by casting a buffer to a structure, so a short or odd
// reply can never make the library read past what it owns.
//
// Everything a driver returns is untrusted. A reply is used only as far as the
// driver says it wrote it (the `returned` count) and as far as the buffer
// holds; a field that did not come back reads as zero.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kvboundapi.h"
#include "kvwintypes.h"

namespace kv {

// FILE_DEVICE_USB, METHOD_BUFFERED, FILE_ANY_ACCESS. usbioctl.h defines the
// same names as macros with the same values; a source that includes it gets
// those instead.
#ifndef IOCTL_USB_GET_NODE_INFORMATION
constexpr DWORD IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;
constexpr DWORD IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
constexpr DWORD IOCTL_USB_GET_NODE_INFORMATION = 0x220408;  // same value, sent to a hub
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
constexpr DWORD IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION = 0x220410;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX = 0x220448;
#endif

// Little-endian fields of byte buffers.
inline WORD ReadLeWord(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
inline DWORD ReadLeDword(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}
inline void WriteLeWord(BYTE* p, WORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}
inline void WriteLeDword(BYTE* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

// The reply buffer of IOCTL_USB_GET_NODE_INFORMATION. The Windows record is 76
// bytes; the buffer is 79 long.
struct TkvUsbNodeInformation {
  static constexpr std::size_t Size = 79;
  static constexpr std::size_t NumberOfPortsOffset = 6;
  static constexpr std::size_t HubControlCurrentOffset = 10;
  static constexpr std::size_t HubIsBusPoweredOffset = 75;

  std::array<BYTE, Size> Bytes{};
  BYTE NumberOfPorts() const { return Bytes[NumberOfPortsOffset]; }
  BYTE HubControlCurrent() const { return Bytes[HubControlCurrentOffset]; }
};

// The buffer of IOCTL_USB_GET_NODE_CONNECTION_INFORMATION(_EX): a 35-byte
// header (with the 18-byte device descriptor at offset 4) and 30 pipe entries
// of 11 bytes (a 7-byte endpoint descriptor and a 4-byte schedule offset).
struct TkvUsbConnectionInfo {
  static constexpr std::size_t Size = 365;
  static constexpr std::size_t HeaderSize = 35;
  static constexpr std::size_t PipeEntrySize = 11;
  static constexpr std::size_t MaxPipeEntries = 30;
  static constexpr std::size_t DeviceDescriptorOffset = 4;
  static constexpr std::size_t SpeedOffset = 23;

  std::array<BYTE, Size> Bytes{};

  // Zero-fills the buffer and writes the port number (the request's input).
  void Reset(DWORD connectionIndex) {
    Bytes.fill(0);
    WriteLeDword(&Bytes[0], connectionIndex);
  }
  DWORD ConnectionIndex() const { return ReadLeDword(&Bytes[0]); }
  BYTE DescriptorLength() const { return Bytes[4]; }
  BYTE DescriptorType() const { return Bytes[5]; }
  WORD BcdUsb() const { return ReadLeWord(&Bytes[6]); }
  BYTE DeviceClass() const { return Bytes[8]; }
  BYTE DeviceSubClass() const { return Bytes[9]; }
  BYTE DeviceProtocol() const { return Bytes[10]; }
  BYTE MaxPacketSize0() const { return Bytes[11]; }
  WORD IdVendor() const { return ReadLeWord(&Bytes[12]); }
  WORD IdProduct() const { return ReadLeWord(&Bytes[14]); }
  WORD BcdDevice() const { return ReadLeWord(&Bytes[16]); }
  BYTE IManufacturer() const { return Bytes[18]; }
  BYTE IProduct() const { return Bytes[19]; }
  BYTE ISerialNumber() const { return Bytes[20]; }
  BYTE NumConfigurations() const { return Bytes[21]; }
  BYTE CurrentConfigurationValue() const { return Bytes[22]; }
  // EX request: 0 low, 1 full, 2 high (later systems report more); the older
  // request has a low-speed flag here.
  BYTE Speed() const { return Bytes[SpeedOffset]; }
  void SetSpeed(BYTE speed) { Bytes[SpeedOffset] = speed; }
  BYTE DeviceIsHub() const { return Bytes[24]; }
  WORD DeviceAddress() const { return ReadLeWord(&Bytes[25]); }
  DWORD NumberOfOpenPipes() const { return ReadLeDword(&Bytes[27]); }
  DWORD ConnectionStatus() const { return ReadLeDword(&Bytes[31]); }
  // The 7-byte endpoint descriptor of pipe entry i; nullptr beyond the buffer.
  const BYTE* PipeEntry(std::size_t i) const {
    return i < MaxPipeEntries ? &Bytes[HeaderSize + PipeEntrySize * i] : nullptr;
  }
};

// The name records: USB_HCD_DRIVERKEY_NAME and USB_ROOT_HUB_NAME
// (ActualLength, then the name), and USB_NODE_CONNECTION_NAME and
// USB_NODE_CONNECTION_DRIVERKEY_NAME (ConnectionIndex, ActualLength, then the
// name). The library sends the second kind with two bytes of padding.
struct TkvUsbNameRecord {
  static constexpr std::size_t LengthOffset = 0;
  static constexpr std::size_t NameOffset = 4;
  static constexpr std::size_t Size = 6;  // with the first character
};
struct TkvUsbConnectionNameRecord {
  static constexpr std::size_t ConnectionIndexOffset = 0;
  static constexpr std::size_t LengthOffset = 4;
  static constexpr std::size_t NameOffset = 8;
  static constexpr std::size_t Size = 10;      // with the first character
  static constexpr std::size_t SentSize = 12;  // as the library sends it
};

// Fields of the descriptors the topology reads: the first 9 bytes of a
// configuration descriptor, and the 7-byte endpoint descriptor of a pipe entry.
struct TkvUsbConfigurationDescriptor {
  static constexpr std::size_t AttributesOffset = 7;
  static constexpr std::size_t MaxPowerOffset = 8;
  static constexpr std::size_t Size = 9;
};
struct TkvUsbEndpointDescriptor {
  static constexpr std::size_t AddressOffset = 2;
  static constexpr std::size_t AttributesOffset = 3;
  static constexpr std::size_t MaxPacketSizeOffset = 4;
  static constexpr std::size_t Size = 7;
};

// A reply block of IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: the 12-byte
// request (connection index, setup packet) followed by the descriptor bytes
// and two zero bytes. Only the descriptor bytes that came back count.
class TkvUsbDescriptorBlock {
 public:
  static constexpr std::size_t RequestSize = 12;

  explicit TkvUsbDescriptorBlock(std::vector<BYTE> bytes, std::size_t length)
      : FBytes(std::move(bytes)), FLength(length) {}
  // The whole block, as the request function got it back.
  const std::vector<BYTE>& Bytes() const { return FBytes; }
  // Number of descriptor bytes that came back.
  std::size_t Length() const { return FLength; }
  // Descriptor byte i, or 0 when it did not come back.
  BYTE Byte(std::size_t i) const { return i < FLength ? FBytes[RequestSize + i] : 0; }
  const BYTE* Descriptor() const { return FBytes.data() + RequestSize; }

 private:
  std::vector<BYTE> FBytes;
  std::size_t FLength;
};

// Name replies longer than this are taken as garbage: no Windows name (hub,
// driver key) comes near it, and a driver's ActualLength is not a licence to
// allocate gigabytes.
constexpr DWORD kMaxUsbNameReply = 0x10000;

// A name returned by a request without input (a host controller's driver key,
// its root hub's name); "" when the request fails or its reply holds no name.
std::string GetUsbName(HANDLE Handle, DWORD IoctlCode);
// A name returned by a per-port request (an attached hub's name, an attached
// device's driver key); "" when the request fails or its reply holds no name.
std::string GetUsbConnectionName(HANDLE Handle, DWORD IoctlCode, DWORD ConnectionIndex);
// Descriptor Type/Index of the device on port ConnectionIndex, fetched in two
// steps (its length byte, then exactly that many bytes); nullptr when either
// step fails or the first reply is too short to hold the length byte.
std::unique_ptr<TkvUsbDescriptorBlock> GetUsbDescriptor(HANDLE HubHandle, DWORD ConnectionIndex, BYTE DescriptorType,
                                                        BYTE DescriptorIndex);
// UTF-16 text of `bytes` bytes (a trailing odd byte is ignored), up to its
// first zero character, converted to 8-bit text with the system code page.
std::string UsbWideText(const BYTE* text, std::size_t bytes);

// The device description of the first devnode (pre-order from the root) whose
// driver key equals DriverKey exactly; "" when there is none. Walks the
// configuration manager's device tree for every call.
std::string GetDriverKeyDescription(const std::string& DriverKey);

// The same answers as GetDriverKeyDescription from one walk of the devnode
// tree: the walk records, for every driver key, the first devnode in
// pre-order that has it; a lookup then reads that devnode's description. Made
// for one refresh and dropped with it, so nothing outlives a refresh.
class TkvDriverKeyIndex {
 public:
  std::string Description(const std::string& DriverKey);

 private:
  bool Build();
  bool FBuilt = false;
  std::map<std::string, DEVINST> FNodes;
};

// ---- WinUSB ------------------------------------------------------------------------
//
// "Winusb.dll" is loaded by name when it is first needed, so the program runs
// where WinUSB is not installed. Every forwarding operation looks its entry
// point up by name at each call and returns FALSE, calling nothing, when the
// library or the entry point is missing; the reason is then the last error of
// the failed LoadLibraryA or GetProcAddress. The module belongs to the machine
// that was installed when it was loaded: it is given back to that machine
// when another one is installed (and loaded afresh from the new one when
// needed), and at program end.
//
// Threading: the reader thread of a pipe pair calls the pipe operations while
// the main thread may call LoadWinUsb; the module is kept in atomics.

// Pipe policy codes of WinUSB.
constexpr ULONG SHORT_PACKET_TERMINATE = 1;
constexpr ULONG AUTO_CLEAR_STALL = 2;
constexpr ULONG PIPE_TRANSFER_TIMEOUT = 3;
constexpr ULONG IGNORE_SHORT_PACKETS = 4;
constexpr ULONG ALLOW_PARTIAL_READS = 5;
constexpr ULONG AUTO_FLUSH = 6;
constexpr ULONG RAW_IO = 7;

// True when "Winusb.dll" is loaded (it is loaded now if it was not).
bool LoadWinUsb();
// Gives the library back to the installed machine if it was loaded from it.
// Runs at program end and when another machine is installed; a test calls it
// before it counts the machine's library references.
void UnloadWinUsb();
// How often the library was loaded since the start (for tests).
unsigned WinUsbLoadCount();

BOOL WinUsb_Initialize(HANDLE DeviceHandle, WINUSB_INTERFACE_HANDLE* InterfaceHandle);
BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID, BYTE* Buffer, ULONG BufferLength,
                      ULONG* LengthTransferred, OVERLAPPED* Overlapped);
BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID, BYTE* Buffer, ULONG BufferLength,
                     ULONG* LengthTransferred, OVERLAPPED* Overlapped);
BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID, ULONG PolicyType,
                          ULONG ValueLength, void* Value);
BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE InterfaceHandle, OVERLAPPED* Overlapped,
                                DWORD* NumberOfBytesTransferred, BOOL Wait);
// Ends every transfer pending on the pipe (they complete with
// ERROR_OPERATION_ABORTED); the pipe pair cancels its reader's read with it.
BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID);

}  // namespace kv
