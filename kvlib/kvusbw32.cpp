#include "kvusbw32.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>

#include "kvplatform.h"
#include "kvsetupapi.h"

namespace kv {

namespace {

// Fixed parts of the name records (kvusbw32.h).
constexpr DWORD kNameRecordSize = TkvUsbNameRecord::Size;
constexpr std::size_t kNameOffset = TkvUsbNameRecord::NameOffset;
constexpr DWORD kConnectionNameRecordSize = TkvUsbConnectionNameRecord::SentSize;
constexpr std::size_t kConnectionNameOffset = TkvUsbConnectionNameRecord::NameOffset;
constexpr std::size_t kConnectionNameLengthOffset = TkvUsbConnectionNameRecord::LengthOffset;

// The configuration manager's property buffer of the description walk.
constexpr ULONG kPropertyBufferSize = 512;

// Bytes of a reply that the driver says it wrote, never more than the buffer.
std::size_t Delivered(DWORD returned, std::size_t bufferSize) { return std::min<std::size_t>(returned, bufferSize); }

// A text property of a devnode; false when the configuration manager does
// not deliver it.
bool DevnodeText(const TkvSetupApi& api, DEVINST node, ULONG property, std::string& text) {
  char buffer[kPropertyBufferSize];
  std::memset(buffer, 0, sizeof(buffer));
  ULONG size = kPropertyBufferSize;
  if (api.CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &size, 0) != CR_SUCCESS) return false;
  text.assign(buffer, ::strnlen(buffer, sizeof(buffer)));
  return true;
}

// Visits the devnodes in pre-order from the root until Visit returns true:
// first child, else next sibling, else the next sibling of the nearest
// ancestor that has one. False when the tree cannot be reached.
bool WalkDevnodes(const TkvSetupApi& api, const std::function<bool(DEVINST)>& Visit) {
  DEVINST node = 0;
  if (api.CM_Locate_DevNodeA(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
  for (;;) {
    if (Visit(node)) return true;
    DEVINST next = 0;
    if (api.CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    for (;;) {
      if (api.CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
        node = next;
        break;
      }
      if (api.CM_Get_Parent(&next, node, 0) != CR_SUCCESS) return true;  // back at the root: done
      node = next;
    }
  }
}

}  // namespace

std::string UsbWideText(const BYTE* text, std::size_t bytes) {
  const std::size_t units = bytes / 2;
  std::u16string wide(units, u'\0');
  if (units) std::memcpy(&wide[0], text, units * 2);  // the bytes need not be aligned
  const std::size_t length = std::find(wide.begin(), wide.end(), u'\0') - wide.begin();
  if (length == 0) return std::string();
  return Host().WideToAnsi(reinterpret_cast<const WCHAR*>(wide.data()), length);
}

std::string GetUsbName(HANDLE Handle, DWORD IoctlCode) {
  TkvMachine& m = Machine();
  BYTE head[kNameRecordSize] = {};
  DWORD returned = 0;
  if (!m.DeviceIoControl(Handle, IoctlCode, nullptr, 0, head, sizeof(head), &returned, nullptr)) return std::string();
  if (Delivered(returned, sizeof(head)) < 4) return std::string();
  const DWORD n = ReadLeDword(head);
  // A length below the fixed record cannot hold a name.
  if (n < kNameRecordSize || n > kMaxUsbNameReply) return std::string();
  std::vector<BYTE> buffer(n, 0);
  if (!m.DeviceIoControl(Handle, IoctlCode, nullptr, 0, buffer.data(), n, &returned, nullptr)) return std::string();
  const std::size_t got = Delivered(returned, buffer.size());
  if (got <= kNameOffset) return std::string();
  return UsbWideText(buffer.data() + kNameOffset, got - kNameOffset);
}

std::string GetUsbConnectionName(HANDLE Handle, DWORD IoctlCode, DWORD ConnectionIndex) {
  TkvMachine& m = Machine();
  BYTE head[kConnectionNameRecordSize] = {};
  WriteLeDword(head, ConnectionIndex);
  DWORD returned = 0;
  if (!m.DeviceIoControl(Handle, IoctlCode, head, sizeof(head), head, sizeof(head), &returned, nullptr))
    return std::string();
  if (Delivered(returned, sizeof(head)) < kConnectionNameLengthOffset + 4) return std::string();
  const DWORD n = ReadLeDword(head + kConnectionNameLengthOffset);
  if (n < kConnectionNameRecordSize || n > kMaxUsbNameReply) return std::string();
  std::vector<BYTE> buffer(n, 0);
  WriteLeDword(buffer.data(), ConnectionIndex);
  if (!m.DeviceIoControl(Handle, IoctlCode, buffer.data(), n, buffer.data(), n, &returned, nullptr))
    return std::string();
  const std::size_t got = Delivered(returned, buffer.size());
  if (got <= kConnectionNameOffset) return std::string();
  return UsbWideText(buffer.data() + kConnectionNameOffset, got - kConnectionNameOffset);
}

std::unique_ptr<TkvUsbDescriptorBlock> GetUsbDescriptor(HANDLE HubHandle, DWORD ConnectionIndex, BYTE DescriptorType,
                                                        BYTE DescriptorIndex) {
  constexpr std::size_t R = TkvUsbDescriptorBlock::RequestSize;
  TkvMachine& m = Machine();
  const WORD value = static_cast<WORD>(DescriptorType * 256 + DescriptorIndex);
  auto request = [&](std::vector<BYTE>& block, WORD length) {
    WriteLeDword(&block[0], ConnectionIndex);
    WriteLeWord(&block[6], value);  // wValue; wIndex (language id) stays 0
    WriteLeWord(&block[10], length);
  };

  // First the length byte of the descriptor.
  std::vector<BYTE> block(R + 2, 0);
  request(block, 2);
  DWORD returned = 0;
  if (!m.DeviceIoControl(HubHandle, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, block.data(),
                         static_cast<DWORD>(block.size()), block.data(), static_cast<DWORD>(block.size()), &returned,
                         nullptr))
    return nullptr;
  // A reply without the length byte says nothing about the descriptor.
  if (Delivered(returned, block.size()) < R + 2) return nullptr;
  const BYTE n = block[R];

  // Then exactly bLength bytes; two zero bytes stay behind them so that a
  // string descriptor always ends in a zero character.
  block.assign(R + n + 2, 0);
  request(block, n);
  const DWORD size = static_cast<DWORD>(R + n);
  if (!m.DeviceIoControl(HubHandle, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, block.data(), size, block.data(),
                         size, &returned, nullptr))
    return nullptr;
  const std::size_t got = Delivered(returned, size);
  return std::make_unique<TkvUsbDescriptorBlock>(std::move(block), got > R ? got - R : 0);
}

std::string GetDriverKeyDescription(const std::string& DriverKey) {
  if (!LoadSetupApi()) return std::string();
  const TkvSetupApi& api = SetupApi();
  std::string result;
  WalkDevnodes(api, [&](DEVINST node) {
    std::string key;
    if (!DevnodeText(api, node, CM_DRP_DRIVER, key) || key != DriverKey) return false;
    DevnodeText(api, node, CM_DRP_DEVICEDESC, result);
    return true;
  });
  return result;
}

bool TkvDriverKeyIndex::Build() {
  if (!LoadSetupApi()) return false;
  const TkvSetupApi& api = SetupApi();
  FNodes.clear();
  FBuilt = WalkDevnodes(api, [&](DEVINST node) {
    std::string key;
    if (DevnodeText(api, node, CM_DRP_DRIVER, key)) FNodes.emplace(key, node);  // the first in pre-order stays
    return false;
  });
  return FBuilt;
}

std::string TkvDriverKeyIndex::Description(const std::string& DriverKey) {
  // A tree that could not be reached is tried again at the next lookup, as
  // the walk of GetDriverKeyDescription would.
  if (!FBuilt && !Build()) return std::string();
  auto it = FNodes.find(DriverKey);
  if (it == FNodes.end()) return std::string();
  std::string text;
  DevnodeText(SetupApi(), it->second, CM_DRP_DEVICEDESC, text);
  return text;
}

// ---- WinUSB ------------------------------------------------------------------------

namespace {

struct TWinUsbModule {
  std::atomic<HMODULE> Module{nullptr};
  std::atomic<unsigned> Generation{0};  // machine the module was loaded from
  std::atomic<unsigned> Loads{0};
};

// Constant-initialised with trivial destruction: still there for the release
// at program end, whatever the order of the static destructors.
TWinUsbModule gWinUsbModule;
TWinUsbModule& WinUsbModule() { return gWinUsbModule; }

// The entry point Name of the loaded library, looked up now; nullptr (with
// the lookup's last error) when there is none.
template <class T>
T WinUsbEntry(const char* Name) {
  if (!LoadWinUsb()) return nullptr;
  return ProcCast<T>(Machine().GetProcAddress(WinUsbModule().Module.load(), Name));
}

// The library goes back to the machine that handed it out: when that machine
// is replaced (it may be destroyed right after), and at program end.
TkvMachineRelease gRelease(&UnloadWinUsb);

}  // namespace

bool LoadWinUsb() {
  TWinUsbModule& m = WinUsbModule();
  const unsigned generation = MachineGeneration();
  if (m.Module.load() && m.Generation.load() == generation) return true;
  // Not loaded yet from this machine: what a replaced one handed out went
  // back to it when it was replaced.
  HMODULE module = Machine().LoadLibraryA("Winusb.dll");
  m.Generation.store(generation);
  m.Module.store(module);
  if (!module) return false;
  ++m.Loads;
  return true;
}

void UnloadWinUsb() {
  TWinUsbModule& m = WinUsbModule();
  HMODULE module = m.Module.exchange(nullptr);
  if (module && m.Generation.load() == MachineGeneration()) Machine().FreeLibrary(module);
}

unsigned WinUsbLoadCount() { return WinUsbModule().Loads.load(); }

BOOL WinUsb_Initialize(HANDLE DeviceHandle, WINUSB_INTERFACE_HANDLE* InterfaceHandle) {
  auto f = WinUsbEntry<TWinUsb_Initialize>("WinUsb_Initialize");
  return f ? f(DeviceHandle, InterfaceHandle) : FALSE;
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  auto f = WinUsbEntry<TWinUsb_Free>("WinUsb_Free");
  return f ? f(InterfaceHandle) : FALSE;
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID, BYTE* Buffer, ULONG BufferLength,
                      ULONG* LengthTransferred, OVERLAPPED* Overlapped) {
  auto f = WinUsbEntry<TWinUsb_WritePipe>("WinUsb_WritePipe");
  return f ? f(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred, Overlapped) : FALSE;
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID, BYTE* Buffer, ULONG BufferLength,
                     ULONG* LengthTransferred, OVERLAPPED* Overlapped) {
  auto f = WinUsbEntry<TWinUsb_ReadPipe>("WinUsb_ReadPipe");
  return f ? f(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred, Overlapped) : FALSE;
}

BOOL WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID, ULONG PolicyType,
                          ULONG ValueLength, void* Value) {
  auto f = WinUsbEntry<TWinUsb_SetPipePolicy>("WinUsb_SetPipePolicy");
  return f ? f(InterfaceHandle, PipeID, PolicyType, ValueLength, Value) : FALSE;
}

BOOL WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE InterfaceHandle, OVERLAPPED* Overlapped,
                                DWORD* NumberOfBytesTransferred, BOOL Wait) {
  auto f = WinUsbEntry<TWinUsb_GetOverlappedResult>("WinUsb_GetOverlappedResult");
  return f ? f(InterfaceHandle, Overlapped, NumberOfBytesTransferred, Wait) : FALSE;
}

BOOL WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, BYTE PipeID) {
  auto f = WinUsbEntry<TWinUsb_AbortPipe>("WinUsb_AbortPipe");
  return f ? f(InterfaceHandle, PipeID) : FALSE;
}

}  // namespace kv
