// The "usb" section of machine descriptions, and the demo machine's buses.
#include <stdexcept>

#include "kvresources.h"
#include "topofixture.h"

extern const char kvDemoMachineJson[];

namespace kvtest {
namespace {

std::unique_ptr<kv::TkvSimMachine> Load(const std::string& usb) {
  return kv::TkvSimMachine::FromJson("{\"usb\": " + usb + "}");
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// A root hub with hubs chained below it, `depth` hubs in all.
std::string DeepHubs(int depth) {
  std::string open = "{\"name\": \"H0\"";
  for (int i = 1; i < depth; ++i)
    open += ", \"devices\": [{\"port\": 1, \"hub\": {\"name\": \"H" + std::to_string(i) + "\"";
  return open + Repeat("}}]", depth - 1) + "}";
}

std::string Controller(const std::string& rootHub, const std::string& extra = "") {
  return "{\"controllers\": [{\"number\": 0, \"driver\": \"{K}\\\\0\"" + extra +
         ", \"rootHub\": " + rootHub + "}]}";
}

TEST(UsbDescriptionTest, FaultsNameTheirPlace) {
  struct TCase {
    std::string Usb;
    std::string Message;
  };
  const TCase cases[] = {
      {"{\"hubs\": []}", "usb: unknown entry \"hubs\""},
      {"{\"controllers\": [{\"driver\": \"x\"}]}", "usb.controllers[0]: a host controller needs its \"number\""},
      {"{\"controllers\": [{\"number\": 1}, {\"number\": 1}]}", "usb.controllers[1].number: host controller 1 appears twice"},
      {Controller("{\"ports\": 2}"), "usb.controllers[0].rootHub: a root hub needs a \"name\""},
      {Controller("{\"name\": \"R\", \"ports\": 2, \"devices\": [{\"port\": 3}]}"),
       "usb.controllers[0].rootHub.devices[0].port: must name a port of the hub, 1 to 2"},
      {Controller("{\"name\": \"R\", \"ports\": 2, \"devices\": [{\"port\": 1}, {\"port\": 1}]}"),
       "usb.controllers[0].rootHub.devices[1].port: port 1 is taken twice"},
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 1, \"vendorId\": \"12G4\"}]}"),
       "usb.controllers[0].rootHub.devices[0].vendorId: must be a hexadecimal number"},
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 1, \"vendorId\": 70000}]}"),
       "vendorId: must not be above 65535"},
      {Controller("{\"name\": \"R\", \"fail\": [\"IOCTL_NONSENSE\"]}"),
       "\"IOCTL_NONSENSE\" is not a USB request name"},
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 1, \"descriptors\": {\"03\": \"00\"}}]}"),
       "the key is type and index as four hexadecimal digits"},
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 1, \"configDescriptor\": \"090\"}]}"),
       "configDescriptor: odd number of hexadecimal digits"},
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 1, \"speed\": \"warp\"}]}"),
       "speed: is low, full, high or a speed code"},
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 1, \"hub\": {\"ports\": 2}}]}"),
       "devices[0].hub: a hub needs a \"name\""},
      {"{\"controllers\": [{\"number\": 16}]}", "usb.controllers[0].number: must not be above 15"},
      // Hubs open by name: a second hub of a name would hide the first one's devices.
      {Controller("{\"name\": \"R\", \"devices\": [{\"port\": 2, \"hub\": {\"name\": \"r\"}}]}"),
       "usb.controllers[0].rootHub.devices[0].hub.name: hub name \"r\" appears twice"},
      {"{\"controllers\": [{\"number\": 0, \"rootHub\": {\"name\": \"R\"}},"
       " {\"number\": 1, \"rootHub\": {\"name\": \"R\"}}]}",
       "usb.controllers[1].rootHub.name: hub name \"R\" appears twice"},
      {Controller(DeepHubs(20000)), "usb.controllers[0].rootHub" + Repeat(".devices[0].hub", 32) +
                                        ": hubs nest at most 32 deep"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Usb.substr(0, 300));
    try {
      Load(c.Usb);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
    }
  }
}

TEST(UsbDescriptionTest, SwitchesFromTheDescription) {
  auto m = Load(
      "{\"controllers\": [{\"number\": 3, \"driver\": \"{K}\\\\0\", \"rootHub\": {"
      "  \"name\": \"R\", \"ports\": 3, \"exRequest\": false, \"hubControlCurrent\": 7, \"devices\": ["
      "    {\"port\": 1, \"driver\": \"{K}\\\\1\", \"vendorId\": \"046D\", \"speed\": \"low\", \"openPipes\": 40,"
      "     \"pipes\": [{\"address\": \"81\", \"type\": \"interrupt\", \"maxPacketSize\": 8}],"
      "     \"strings\": [\"A\", null, \"C\"], \"descriptors\": {\"0302\": \"01 03\"}},"
      "    {\"port\": 2, \"fail\": [\"IOCTL_USB_GET_NODE_CONNECTION_NAME\"],"
      "     \"hub\": {\"name\": \"H\", \"ports\": 1}},"
      "    {\"port\": 3, \"hub\": {\"name\": \"GONE\", \"ports\": 1, \"openable\": false}}]}}]}");
  kv::TkvMachineScope scope(*m);
  kv::TkvUSBManager manager;
  manager.Refresh();
  ASSERT_EQ(manager.HostCount(), 1);
  EXPECT_EQ(Need(manager.GetHost(0))->FileName, "\\\\.\\HCD3");
  kv::TkvUsbHub& root = *Need(Need(manager.GetHost(0))->GetHub(0));
  EXPECT_EQ(root.MaxPower(), 7);
  kv::TkvUsbDevice& d = *Need(Need(root.GetPort(0))->GetNode(0));
  EXPECT_EQ(d.IdVendor, 0x046D);
  EXPECT_EQ(d.Speed, 0) << "low speed through the older request";
  EXPECT_EQ(d.PipeCount(), 1);
  EXPECT_EQ(d.GetPipe(0)->TransferType(), 4);
  EXPECT_EQ(Need(root.GetPort(0))->ConnectionInfo.NumberOfOpenPipes(), 40u);
  EXPECT_EQ(d.ReadString(kv::INVALID_HANDLE_VALUE, 1), "");
  d.ReadStrings();
  EXPECT_EQ(d.Strings.Count(), 1) << "string 2 is malformed and ends the list";
  EXPECT_EQ(Need(root.GetPort(1))->Description, "Port #2 (hub:  unknown device)");
  EXPECT_EQ(Need(root.GetPort(2))->Description, "Port #3 (hub:  unknown device)");
}

// A hub name beyond ASCII reaches CreateFileA in the ANSI code page, as the
// topology converts it; the machine finds the hub by that name, unless the
// code page has no such character (then, as on Windows, nothing opens).
TEST(UsbDescriptionTest, HubNamesBeyondAsciiOpenInTheirCodePage) {
  for (const unsigned codePage : {1252u, 1250u, 65001u, 1251u}) {
    SCOPED_TRACE(codePage);
    auto m = kv::TkvSimMachine::FromJson(
        "{\"codePage\": " + std::to_string(codePage) +
        ", \"usb\": {\"controllers\": [{\"number\": 0, \"rootHub\": {\"name\": \"R\", \"ports\": 1, \"devices\": ["
        "{\"port\": 1, \"hub\": {\"name\": \"HUB#\u00c4\u00df\", \"ports\": 1, \"devices\": [{\"port\": 1}]}}]}}]}}");
    kv::host::SetAnsiCodePage(m->CodePage());  // as the programs do (Windows keeps its own)
    const kv::WCHAR umlaut = 0x00C4;
    const bool inCodePage = kv::Host().WideToAnsi(&umlaut, 1) != "?";
    kv::TkvMachineScope scope(*m);
    kv::TkvUSBManager manager;
    manager.Refresh();
    kv::TkvUsbPort* port = Need(Need(Need(manager.GetHost(0))->GetHub(0))->GetPort(0));
    auto* hub = dynamic_cast<kv::TkvUsbHub*>(port->GetNode(0));
    if (inCodePage) {
      ASSERT_NE(hub, nullptr) << m->Dump();
      EXPECT_EQ(hub->PortCount(), 1) << m->Dump();
    } else {
      EXPECT_EQ(hub, nullptr) << "a name the code page cannot hold opened";
    }
    manager.Clear();
  }
  kv::host::SetAnsiCodePage(1252);
}

TEST(UsbDescriptionTest, DemoMachineBuses) {
  auto demo = kv::TkvSimMachine::FromJson(kvDemoMachineJson);
  kv::TkvMachineScope scope(*demo);
  kv::TkvUSBManager manager;
  manager.Refresh();
  std::string tree;
  TreeText(kv::BuildTopologyTree(manager), tree);
  ASSERT_EQ(manager.HostCount(), 3) << tree;
  // Every node with a driver key finds its devnode's description.
  EXPECT_NE(tree.find("Intel(R) ICH10 Family USB2 Enhanced Host Controller - 3A3A\n  Root Hub\n"
                      "    Port #1 (hub:  Generic USB Hub)\n"),
            std::string::npos)
      << tree;
  EXPECT_NE(tree.find("Port #1 (device:  USB Composite Device)"), std::string::npos) << tree;
  EXPECT_NE(tree.find("Port #2 (device:  Prolific USB-to-Serial Comm Port)"), std::string::npos) << tree;
  EXPECT_NE(tree.find("Port #3 (device:  unknown device)"), std::string::npos) << tree;

  kv::TkvUsbHub* root2 = Need(Need(manager.GetHost(2))->GetHub(0));
  kv::TkvUsbHub& ext = dynamic_cast<kv::TkvUsbHub&>(*Need(Need(root2->GetPort(0))->GetNode(0)));
  kv::TkvUsbDevice& stick = *Need(Need(ext.GetPort(0))->GetNode(0));
  EXPECT_EQ(stick.Description, "USB Mass Storage Device");
  EXPECT_EQ(stick.Disks, "E: ");
  EXPECT_EQ(stick.InstanceId, "USB\\VID_0781&PID_5567\\4C530001230915117385");
  EXPECT_EQ(stick.FileName, "\\??\\USB#VID_0781&PID_5567#4C530001230915117385#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  stick.ReadStrings();
  EXPECT_EQ(stick.SerialNumber, "4C530001230915117385");
  EXPECT_EQ(stick.Description, "Cruzer Blade");

  manager.RequestDescriptors = true;
  manager.Refresh();
  tree.clear();
  TreeText(kv::BuildTopologyTree(manager), tree);
  EXPECT_NE(tree.find("Port #3 (device:  Velmora Labs SDR Receiver 0000457863C82E5A)"), std::string::npos) << tree;
}

}  // namespace
}  // namespace kvtest
