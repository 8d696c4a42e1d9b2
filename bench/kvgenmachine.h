// Generated machines of growing size for the benchmarks: host controllers
// with up to 127 devices each behind trees of external hubs, thousands of
// devnodes, every device with two bulk pipes and string descriptors.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "kvtext.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kvbench {

const char* const kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";
// Classes the refresh enumerates, for the devices; and one it does not, for
// their interface children.
const char* const kDeviceClasses[] = {kUsbClass, "{4D36E978-E325-11CE-BFC1-08002BE10318}",
                                      "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "{6BDD1FC5-810F-11D0-BEC7-08002BE2092F}"};
const char* const kInterfaceClass = "{4D36E96B-E325-11CE-BFC1-08002BE10318}";
constexpr int kRootPorts = 8;
constexpr int kHubPorts = 7;
constexpr int kMaxDepth = 4;

struct TGenerated {
  std::unique_ptr<kv::TkvSimMachine> Machine = std::make_unique<kv::TkvSimMachine>();
  std::unique_ptr<kv::TkvSimUsb> Usb = std::make_unique<kv::TkvSimUsb>(*Machine);
  int Devnodes = 1;
  int Nodes = 0;  // hubs and devices on the buses
  int Keys = 0;

  std::string NextKey(const char* cls) {
    char digits[16];
    std::snprintf(digits, sizeof(digits), "\\%04d", Keys++);
    return cls + std::string(digits);
  }

  kv::TkvSimDevnode& Devnode(const std::string& id, const char* cls, const std::string& key,
                             const std::string& description, const std::string& service, kv::TkvSimDevnode* parent) {
    kv::TkvSimMachine::DevnodeSpec s;
    s.InstanceId = id;
    kv::TextToGuid(cls, s.ClassGuid);
    s.DriverKey = key;
    s.Description = description;
    s.Service = service;
    s.Manufacturer = "Generated";
    ++Devnodes;
    return Machine->AddDevnode(s, parent);
  }
};

// A machine of `controllers` host controllers with `devices` hubs and devices
// each, every device with `children` interface devnodes below it.
inline std::unique_ptr<TGenerated> Generate(int controllers, int devices, int children) {
  auto g = std::make_unique<TGenerated>();
  // Devnodes of the machine that have nothing to do with USB.
  for (int i = 0; i < 50 * controllers; ++i)
    g->Devnode("ACPI\\PNP" + std::to_string(i) + "\\0", "{4D36E97D-E325-11CE-BFC1-08002BE10318}",
               g->NextKey("{4D36E97D-E325-11CE-BFC1-08002BE10318}"), "System device", "", nullptr);
  for (int c = 0; c < controllers; ++c) {
    const std::string n = std::to_string(c);
    const std::string hcKey = g->NextKey(kUsbClass);
    kv::TkvSimDevnode& hc = g->Devnode("PCI\\HC\\" + n, kUsbClass, hcKey, "Host Controller " + n, "usbehci", nullptr);
    const std::string rootName = "USB#ROOT_HUB#" + n + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    kv::TkvSimDevnode& rh =
        g->Devnode("USB\\ROOT_HUB\\" + n, kUsbClass, g->NextKey(kUsbClass), "USB Root Hub", "usbhub", &hc);
    kv::TkvSimUsbHub& root = g->Usb->AddController(c, hcKey).SetRootHub(rootName, kRootPorts);

    struct TPending {
      kv::TkvSimUsbHub* Hub;
      kv::TkvSimDevnode* Node;
      int Depth;
    };
    std::deque<TPending> hubs{{&root, &rh, 0}};
    int placed = 0;
    while (!hubs.empty() && placed < devices) {
      const TPending at = hubs.front();
      hubs.pop_front();
      for (int port = 1; port <= at.Hub->PortCount() && placed < devices; ++port) {
        const std::string id = n + "_" + std::to_string(placed);
        ++placed;
        ++g->Nodes;
        if (port <= 2 && at.Depth < kMaxDepth && placed < devices) {
          const std::string key = g->NextKey(kUsbClass);
          kv::TkvSimUsbHub& hub = at.Hub->AttachHub(port, "USB#HUB#" + id, kHubPorts, key);
          kv::TkvSimDevnode& node = g->Devnode("USB\\HUB\\" + id, kUsbClass, key, "Generic USB Hub", "usbhub", at.Node);
          hubs.push_back({&hub, &node, at.Depth + 1});
          continue;
        }
        const char* cls = kDeviceClasses[placed % 4];
        kv::TkvSimUsbDevice d;
        d.DriverKey = g->NextKey(cls);
        d.IdVendor = 0x16C0;
        d.IdProduct = static_cast<kv::WORD>(placed);
        d.Pipes = {{0x81, 2, 512, 0, 0}, {0x02, 2, 512, 0, 0}};
        d.SetString(1, "Maker");
        d.SetString(2, "Device " + id);
        at.Hub->Attach(port, d);
        kv::TkvSimDevnode& node = g->Devnode("USB\\VID_16C0&PID_" + id + "\\" + id, cls, d.DriverKey, "Device " + id,
                                             placed % 10 == 0 ? "USBSTOR" : "WinUSB", at.Node);
        for (int k = 0; k < children; ++k) {
          const std::string childId = "USB\\VID_16C0&PID_" + id + "&MI_0" + std::to_string(k) + "\\" + id;
          g->Devnode(childId, kInterfaceClass, g->NextKey(kInterfaceClass), "Interface", "HidUsb", &node);
        }
      }
    }
  }
  // Some drives, so that storage devices look for their letters.
  g->Machine->SetDrive('C', kv::DRIVE_FIXED);
  g->Machine->SetDrive('E', kv::DRIVE_REMOVABLE);
  kv::SetMountedDeviceMbr(*g->Machine, 'C', 0x1A2B3C4D, 0x7E00);
  kv::SetMountedDevicePath(*g->Machine, 'E', "\\??\\STORAGE#RemovableMedia#7&1&0&RM#{53f5630d}");
  return g;
}

}  // namespace kvbench
