// What the browser shows: the tree's texts and shape and the property rows of
// each node class, with their exact captions and formats.
#include "topofixture.h"

namespace kvtest {
namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

Rows RowsOf(const kv::TObject* data) {
  kv::TkvPropertyRows rows;
  kv::ShowNodeInfo(rows, data);
  Rows out;
  for (const auto& r : rows.Rows()) out.emplace_back(r.Caption, r.Value);
  return out;
}

class PresentationTest : public TopologyTest {
 protected:
  PresentationTest() {
    kv::TkvSimDevnode* rootNode = nullptr;
    kv::TkvSimUsbHub& hub = Host(0, 2, &rootNode);
    kv::TkvSimUsbDevice& d = Device(hub, 1, 20, "Receiver", rootNode, "usbccgp");
    d.IdVendor = 0x046D;
    d.IdProduct = 0xC52B;
    d.MaxPacketSize0 = 8;
    d.BcdUsb = 0x0110;
    d.Speed = 1;
    d.ConfigAttributes = 0xA0;
    d.ConfigMaxPower = 49;
    d.Pipes = {{0x81, 2, 512, 0, 0}, {0x02, 3, 8, 10, 0}};
    d.SetString(1, "Logitech");
    d.SetString(2, "USB Receiver");
    d.IManufacturer = 1;
    d.IProduct = 2;
    Refresh();
  }
};

TEST_F(PresentationTest, RowsOfEachNodeClass) {
  const std::string hubFile = "\\\\.\\USB#ROOT_HUB#0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
  EXPECT_EQ(RowsOf(Manager.GetHost(0)), (Rows{{"Description", "Host Controller 0"},
                                               {"Registry Key Name", UsbKey(0)},
                                               {"File Handle Name", "\\\\.\\HCD0"},
                                               {"Hub Count", "1"}}));
  EXPECT_EQ(RowsOf(RootHub()), (Rows{{"Description", "Root Hub"},
                                     {"File Handle Name", hubFile},
                                     {"Port Count", "2"},
                                     {"Max Power", "100 mA"}}))
      << "a root hub has no registry key: its row is left out";
  EXPECT_EQ(RowsOf(Port(1)), (Rows{{"Description", "Port #1 (device:  Receiver)"},
                                   {"Registry Key Name", UsbKey(20)},
                                   {"File Handle Name", hubFile + "\\" + UsbKey(20)},
                                   {"Device Count", "1"},
                                   {"Port Number", "1"}}));
  EXPECT_EQ(RowsOf(Port(2)), (Rows{{"Description", "Port #2 (free)"}, {"Device Count", "0"}, {"Port Number", "2"}}));

  kv::TkvUsbDevice& d = *DeviceAt(1);
  const Rows before = {{"Description", "Receiver"},
                       {"Manufacturer", "Maker of Receiver"},
                       {"Max Power", "98 mA"},
                       {"Max Packet Size", "8"},
                       {"Vendor ID", "046Dh"},
                       {"Product ID", "C52Bh"},
                       {"Is Wake Up", "True"},
                       {"Is Self Power", "False"},
                       {"Is Bus Power", "True"},
                       {"USB Version", "1.1"},
                       {"Speed (Low,Full,High)", "Full "},
                       {"Pipe Count", "2"},
                       {"Service", "usbccgp"}};
  EXPECT_EQ(RowsOf(&d), before) << "no serial number and no strings before they are read";
  d.ReadStrings();
  Rows after = before;
  after[0].second = "USB Receiver";
  after[1].second = "Logitech";
  after.push_back({"String Descriptor [1]", "Logitech"});
  after.push_back({"String Descriptor [2]", "USB Receiver"});
  EXPECT_EQ(RowsOf(&d), after);

  EXPECT_EQ(RowsOf(d.GetPipe(0)), (Rows{{"Pipe File Name", Port(1)->FileName + "\\PIPE00"},
                                        {"Max Packet Size", "512"},
                                        {"Transfer Type", "Bulk"},
                                        {"Direction", "In"}}));
  EXPECT_EQ(RowsOf(d.GetPipe(1))[2].second, "Interrupt");
  EXPECT_EQ(RowsOf(d.GetPipe(1))[3].second, "Out");
  EXPECT_TRUE(RowsOf(nullptr).empty());
  EXPECT_TRUE(RowsOf(&Manager).empty());
}

TEST_F(PresentationTest, TreeShape) {
  EXPECT_EQ(TreeText(),
            "Host Controller 0\n"
            "  Root Hub\n"
            "    Port #1 (device:  Receiver)\n"
            "      Receiver\n"
            "        Pipe (Endpoint) #1\n"
            "        Pipe (Endpoint) #2\n"
            "    Port #2 (free)\n");
  const auto tree = Tree();
  EXPECT_EQ(tree[0].Data, Manager.GetHost(0));
  EXPECT_EQ(tree[0].Children[0].Data, RootHub());
  EXPECT_EQ(tree[0].Children[0].Children[0].Children[0].Children[1].Data, DeviceAt(1)->GetPipe(1));
  EXPECT_EQ(kv::NodeKind(RootHub()), kv::TkvNodeKind::Hub) << "a hub is tested before a device";
  EXPECT_EQ(kv::NodeKind(DeviceAt(1)), kv::TkvNodeKind::Device);
  EXPECT_EQ(kv::NodeKind(Port(1)), kv::TkvNodeKind::Port);
}

TEST(PresentationTextTest, RowRulesAndFormats) {
  kv::TkvPropertyRows rows;
  rows.AddRow("Empty", "");
  rows.AddRow("Blanks", "  \t ");
  rows.AddRow("Kept", " a ");
  ASSERT_EQ(rows.Rows().size(), 1u);
  EXPECT_EQ(rows.Rows()[0].Value, " a ") << "kept untrimmed";
  EXPECT_EQ(kv::UsbIdText(0x0A5C), "0A5Ch");
  EXPECT_EQ(kv::UsbIdText(0), "0000h");
  EXPECT_EQ(kv::UsbIdText(0xFFFF), "FFFFh");
  EXPECT_EQ(kv::BoolText(true), "True");
  EXPECT_EQ(kv::BoolText(false), "False");
  EXPECT_EQ(kv::PipeNodeText(0), "Pipe (Endpoint) #1");
}

TEST_F(TopologyTest, DeviceWithoutConfigurationShowsNoPower) {
  kv::TkvSimUsbHub& hub = Host(0, 1);
  Device(hub, 1, 20, "Dev").NumConfigurations = 0;
  Refresh();
  const Rows rows = RowsOf(DeviceAt(1));
  auto value = [&](const std::string& caption) {
    for (const auto& r : rows)
      if (r.first == caption) return r.second;
    return std::string("(missing)");
  };
  EXPECT_EQ(value("Max Power"), "0 mA");
  EXPECT_EQ(value("Is Wake Up"), "False");
  EXPECT_EQ(value("Is Self Power"), "False");
  EXPECT_EQ(value("Is Bus Power"), "False");
  EXPECT_EQ(value("Serial Number"), "(missing)");
  EXPECT_EQ(value("Speed (Low,Full,High)"), "High ");
}

}  // namespace
}  // namespace kvtest
