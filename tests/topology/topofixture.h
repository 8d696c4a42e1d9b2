// A fresh simulated machine for each test, with builders that put a host
// controller, hub or device on the buses and its devnode into the device tree,
// so that driver keys, descriptions and setup records agree.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvtext.h"
#include "kvtreemodel.h"
#include "kvusbman.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kvtest {

inline const char* const kUsbClassText = "{36FC9E60-C465-11CF-8056-444553540000}";

inline kv::GUID Guid(const char* text) {
  kv::GUID g{};
  EXPECT_TRUE(kv::TextToGuid(text, g)) << text;
  return g;
}

// "{36FC...}\\00nn"
inline std::string UsbKey(int n) {
  char digits[8];
  std::snprintf(digits, sizeof(digits), "%04d", n);
  return std::string(kUsbClassText) + "\\" + digits;
}

// Counts the nodes of a browser tree.
inline int CountNodes(const std::vector<kv::TkvTreeNode>& nodes) {
  int n = 0;
  for (const auto& node : nodes) n += 1 + CountNodes(node.Children);
  return n;
}

// The browser tree as indented text, for comparisons and failure messages.
inline void TreeText(const std::vector<kv::TkvTreeNode>& nodes, std::string& out, int depth = 0) {
  for (const auto& node : nodes) {
    out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + node.Text + "\n";
    TreeText(node.Children, out, depth + 1);
  }
}

// Assert before use: a node the test goes on to use but the tree lacks fails
// that test and ends it (GoogleTest catches the exception), instead of ending
// the whole program on a null pointer.
struct TMissingNode : std::runtime_error {
  TMissingNode() : std::runtime_error("a node the test needs is missing") {}
};
template <class T>
T* Need(T* node, const std::string& context = std::string()) {
  if (!node) {
    ADD_FAILURE() << "missing node\n" << context;
    throw TMissingNode();
  }
  return node;
}

class TopologyTest : public ::testing::Test {
 protected:
  TopologyTest() : M(std::make_unique<kv::TkvSimMachine>()), Scope(*M), Usb(*M) {}

  // Whatever a test did, the topology gave back every handle, key and
  // device information set it had, and the binding every library.
  void TearDown() override {
    Manager.Clear();
    kv::UnloadSetupApi();
    EXPECT_EQ(M->Outstanding(), kv::TkvSimMachine::TOutstanding{}) << M->Dump();
  }

  // A devnode of the USB class (or `cls`) with driver key and description.
  kv::TkvSimDevnode& Devnode(const std::string& id, const std::string& driverKey, const std::string& description,
                             kv::TkvSimDevnode* parent = nullptr, const char* cls = kUsbClassText,
                             const std::string& service = "usbhub") {
    kv::TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = id;
    spec.ClassGuid = Guid(cls);
    spec.DriverKey = driverKey;
    spec.Description = description;
    spec.Service = service;
    spec.Manufacturer = "Maker of " + description;
    return M->AddDevnode(spec, parent);
  }

  // Host controller `number` with its devnode and a root hub of `ports` ports.
  kv::TkvSimUsbHub& Host(int number, int ports, kv::TkvSimDevnode** rootHubNode = nullptr) {
    const std::string n = std::to_string(number);
    kv::TkvSimDevnode& hc = Devnode("PCI\\HC" + n, UsbKey(number), "Host Controller " + n);
    kv::TkvSimDevnode& rh = Devnode("USB\\ROOT_HUB\\" + n, UsbKey(100 + number), "USB Root Hub", &hc);
    if (rootHubNode) *rootHubNode = &rh;
    kv::TkvSimUsbController& c = Usb.AddController(number, UsbKey(number));
    return c.SetRootHub("USB#ROOT_HUB#" + n + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", ports);
  }

  // A device on a port, with driver key UsbKey(key) and a devnode below
  // `parent` described as `description` (no devnode when key is 0).
  kv::TkvSimUsbDevice& Device(kv::TkvSimUsbHub& hub, int port, int key, const std::string& description,
                              kv::TkvSimDevnode* parent = nullptr, const std::string& service = "WinUSB") {
    kv::TkvSimUsbDevice d;
    d.IdVendor = 0x16C0;
    d.IdProduct = static_cast<kv::WORD>(0x0500 + key);
    d.Speed = 2;
    if (key) {
      d.DriverKey = UsbKey(key);
      Devnode("USB\\VID_16C0&PID_" + std::to_string(key) + "\\" + std::to_string(key), d.DriverKey, description,
              parent, kUsbClassText, service);
    }
    return hub.Attach(port, d);
  }

  void Refresh() { Manager.Refresh(); }

  std::vector<kv::TkvTreeNode> Tree() const { return kv::BuildTopologyTree(Manager); }
  std::string TreeText() const {
    std::string out;
    kvtest::TreeText(Tree(), out);
    return out;
  }

  // The tree and the machine, for failure messages.
  std::string Context() const { return TreeText() + M->Dump(); }

  // The root hub of host `host`, port n (1-based) of it and the device on
  // that port; a missing one fails the test (see Need).
  kv::TkvUsbHub* RootHub(int host = 0) const {
    return Need(Need(Manager.GetHost(host), Context())->GetHub(0), Context());
  }
  kv::TkvUsbPort* Port(int n, int host = 0) const { return Need(RootHub(host)->GetPort(n - 1), Context()); }
  kv::TkvUsbDevice* DeviceAt(int n, int host = 0) const { return Need(Port(n, host)->GetNode(0), Context()); }

  std::unique_ptr<kv::TkvSimMachine> M;
  kv::TkvMachineScope Scope;
  kv::TkvSimUsb Usb;
  kv::TkvUSBManager Manager;
};

}  // namespace kvtest
