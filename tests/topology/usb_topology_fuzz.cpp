// Fuzz target: every reply of the host controllers and hubs (names, node and
// connection information, descriptors) may be replaced, cut, patched or
// failed by the input, and a whole refresh runs on it, followed by everything
// the browser does with the result (tree, rows, re-reading the strings).
// Nothing may crash, hang or read outside its buffers.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kvtreemodel.h"
#include "kvusbman.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace {

class TInput {
 public:
  TInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  bool Empty() const { return FPos >= FSize; }
  std::uint8_t Byte() { return Empty() ? 0 : FData[FPos++]; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  std::vector<kv::BYTE> Take(std::size_t n) {
    n = std::min(n, FSize - std::min(FPos, FSize));
    std::vector<kv::BYTE> out(FData + FPos, FData + FPos + n);
    FPos += n;
    return out;
  }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
};

const char* const kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";

std::string Key(int n) { return std::string(kUsbClass) + "\\000" + std::to_string(n); }

struct TMachine {
  kv::TkvSimMachine M;
  kv::TkvSimUsb Usb{M};

  TMachine() {
    auto devnode = [&](const std::string& id, const std::string& key, const std::string& service,
                       kv::TkvSimDevnode* parent) -> kv::TkvSimDevnode& {
      kv::TkvSimMachine::DevnodeSpec s;
      s.InstanceId = id;
      kv::TextToGuid(kUsbClass, s.ClassGuid);
      s.DriverKey = key;
      s.Description = "Description " + id;
      s.Service = service;
      return M.AddDevnode(s, parent);
    };
    kv::TkvSimDevnode& hc = devnode("PCI\\HC0", Key(0), "usbuhci", nullptr);
    kv::TkvSimDevnode& rh = devnode("USB\\ROOT\\0", Key(1), "usbhub", &hc);
    kv::TkvSimDevnode& stick = devnode("USB\\STICK\\1", Key(2), "USBSTOR", &rh);
    kv::TkvSimMachine::DevnodeSpec disk;
    disk.InstanceId = "USBSTOR\\DISK\\1";
    kv::TkvSimDevnode& d = M.AddDevnode(disk, &stick);
    kv::TkvSimMachine::DevnodeSpec volume;
    volume.InstanceId = "STORAGE\\RemovableMedia\\1";
    M.AddDevnode(volume, &d);
    devnode("USB\\HUB\\1", Key(3), "usbhub", &rh);
    M.SetDrive('E', kv::DRIVE_REMOVABLE);
    M.SetDrive('C', kv::DRIVE_FIXED);
    kv::SetMountedDevicePath(M, 'E', "\\??\\STORAGE#RemovableMedia#1#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
    kv::SetMountedDeviceMbr(M, 'C', 0x1A2B3C4D, 0x7E00);

    kv::TkvSimUsbHub& r0 = Usb.AddController(0, Key(0)).SetRootHub("R0", 4);
    kv::TkvSimUsbDevice dev;
    dev.DriverKey = Key(2);
    dev.IManufacturer = 1;
    dev.IProduct = 2;
    dev.ISerialNumber = 3;
    dev.SetString(1, "Maker");
    dev.SetString(2, "Stick");
    dev.SetString(3, "0123456789");
    dev.Pipes = {{0x81, 2, 512, 0, 0}, {0x02, 2, 512, 0, 0}};
    r0.Attach(1, dev);
    kv::TkvSimUsbHub& h1 = r0.AttachHub(2, "H1", 2, Key(3));
    kv::TkvSimUsbDevice plain;
    plain.SetString(1, "Plain");
    plain.IProduct = 1;
    h1.Attach(1, plain);
    r0.Attach(3, plain);
    kv::TkvSimUsbHub& r1 = Usb.AddController(1, Key(5)).SetRootHub("R1", 1);
    r1.AttachHub(1, "A", 1, Key(6)).Attach(1, dev);
    Usb.AddController(2, Key(7)).SetRootHub("B", 0);
  }
};

// Replaces, fails, cuts or patches one reply, as the input says.
void Mangle(TInput& in, kv::TkvSimUsbReply& r) {
  if (in.Empty()) return;
  switch (in.Byte() % 5) {
    case 0:
      return;  // the true reply
    case 1:
      r.Ok = false;
      r.Error = kv::ERROR_GEN_FAILURE;
      return;
    case 2:
      r.Ok = true;
      r.Bytes = in.Take(in.Word() % 700);
      return;
    case 3:
      if (r.Ok) r.Bytes.resize(in.Word() % (r.Bytes.size() + 1));
      return;
    default: {
      const int patches = in.Byte() % 8;
      for (int i = 0; i < patches && r.Ok && !r.Bytes.empty(); ++i) {
        const std::size_t at = in.Word() % r.Bytes.size();
        r.Bytes[at] = in.Byte();
      }
      return;
    }
  }
}

void Visit(const kv::TkvTreeNode& node) {
  kv::TkvPropertyRows rows;
  kv::ShowNodeInfo(rows, node.Data);
  for (const kv::TkvTreeNode& child : node.Children) Visit(child);
}

void ReadAllStrings(const kv::TkvTreeNode& node) {
  if (kv::NodeKind(node.Data) == kv::TkvNodeKind::Device) {
    auto* device = static_cast<kv::TkvUsbDevice*>(node.Data);
    device->ReadStrings();
    kv::TkvPropertyRows rows;
    kv::ShowDeviceInfo(rows, *device);
  }
  for (const kv::TkvTreeNode& child : node.Children) ReadAllStrings(child);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TMachine* machine = new TMachine;  // built once; requests do not change it
  kv::TkvMachineScope scope(machine->M);
  TInput in(data, size);
  kv::TkvUSBManager manager;
  manager.RequestDescriptors = (in.Byte() & 1) != 0;
  machine->Usb.SetReplyFilter([&in](kv::TkvSimUsbReply& r) { Mangle(in, r); });
  manager.Refresh();
  const std::vector<kv::TkvTreeNode> tree = kv::BuildTopologyTree(manager);
  for (const kv::TkvTreeNode& root : tree) Visit(root);
  for (const kv::TkvTreeNode& root : tree) ReadAllStrings(root);
  machine->Usb.SetReplyFilter(nullptr);
  return 0;
}
