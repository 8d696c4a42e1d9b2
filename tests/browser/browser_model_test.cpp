// The browser's tree model on the demo machine: the tree it builds, what a
// selection drives, the copy texts, and that nothing reaches the records a
// refresh freed before the tree is reloaded, while ids find the same node
// again afterwards.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "browsermodel.h"
#include "kvlinkbox.h"
#include "kvusb.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace {

using quorvex::TkvBrowserModel;
using quorvex::TkvItemColour;
using quorvex::TkvNodeId;
using quorvex::TkvNodeKind;

const char* const kExternalHub = "USB#VID_05E3&PID_0608#5&2f4a6c1b&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

TkvNodeId Id(TkvNodeKind kind, std::vector<int> path) { return TkvNodeId{kind, std::move(path)}; }

class BrowserModelTest : public ::testing::Test {
 protected:
  BrowserModelTest() : Machine(kv::NewDemoMachine()), Scope(*Machine), Usb(nullptr), Model(Usb) {}

  // The tree as "indent text [id]" lines, first Count items.
  std::string TreeText(int count) const {
    std::string out;
    for (int i = 0; i < count && i < Model.ItemCount(); ++i) {
      const quorvex::TkvTreeItem& item = Model.Item(i);
      out += std::string(static_cast<std::size_t>(item.Level) * 2, ' ') + item.Text + " [" + item.Id.Text() + "]\n";
    }
    return out;
  }
  std::string RowText() const {
    std::string out;
    for (const auto& r : Model.Rows()) out += r.Caption + "=" + r.Value + ";";
    return out;
  }
  bool SelectId(const TkvNodeId& id) { return Model.Select(Model.IndexOf(id)); }

  std::unique_ptr<kv::TkvSimMachine> Machine;
  kv::TkvMachineScope Scope;
  kv::TkvUSB Usb;
  TkvBrowserModel Model;
};

TEST_F(BrowserModelTest, ReloadBuildsTheTreeWithIdsAndSelectsTheFirstHost) {
  Model.Reload(false);
  EXPECT_EQ(TreeText(9),
            "Intel(R) ICH10 Family USB Universal Host Controller - 3A37 [host 0]\n"
            "  Root Hub [hub 0/0]\n"
            "    Port #1 (device:  USB Composite Device) [port 0/0/1]\n"
            "      USB Composite Device [device 0/0/1/0]\n"
            "        Pipe (Endpoint) #1 [pipe 0/0/1/0/0]\n"
            "        Pipe (Endpoint) #2 [pipe 0/0/1/0/1]\n"
            "    Port #2 (free) [port 0/0/2]\n"
            "Intel(R) ICH10 Family USB Universal Host Controller - 3A38 [host 1]\n"
            "  Root Hub [hub 1/0]\n");
  EXPECT_GE(Model.IndexOf(Id(TkvNodeKind::Device, {2, 0, 1, 0, 2, 0})), 0) << "the board behind the external hub";
  EXPECT_EQ(Model.Item(Model.IndexOf(Id(TkvNodeKind::Device, {2, 0, 1, 0, 2, 0}))).Text, "Quorvex Test Board");
  for (int i = 0; i < Model.ItemCount(); ++i) EXPECT_TRUE(Model.Expanded(i));

  EXPECT_EQ(Model.Selected(), 0);
  EXPECT_EQ(RowText(),
            "Description=Intel(R) ICH10 Family USB Universal Host Controller - 3A37;"
            "Registry Key Name={36FC9E60-C465-11CF-8056-444553540000}\\0000;File Handle Name=\\\\.\\HCD0;Hub Count=1;");
  EXPECT_EQ(Model.StatusPath(), "\\Intel(R) ICH10 Family USB Universal Host Controller - 3A37");
  EXPECT_FALSE(Model.DevicePageVisible()) << "a host is selected and the component is not active";
  EXPECT_FALSE(Model.DeviceSelected());

  // Ports: navy when something is attached, green when free, default while drawn selected.
  const int used = Model.IndexOf(Id(TkvNodeKind::Port, {0, 0, 1}));
  const int free = Model.IndexOf(Id(TkvNodeKind::Port, {0, 0, 2}));
  EXPECT_EQ(Model.ItemColour(used, false), TkvItemColour::Navy);
  EXPECT_EQ(Model.ItemColour(free, false), TkvItemColour::Green);
  EXPECT_EQ(Model.ItemColour(free, true), TkvItemColour::Default);
  EXPECT_EQ(Model.ItemColour(0, false), TkvItemColour::Default);
}

TEST_F(BrowserModelTest, SelectionDrivesRowsComponentTabAndStatusPath) {
  Model.Reload(false);
  struct Case {
    const char* label;
    TkvNodeId id;
    const char* selectedDevice;  // kvUSB1's selected device after it, nullptr: none
    bool page;
    const char* row;  // one row the list must hold
  };
  const Case cases[] = {
      {"device", Id(TkvNodeKind::Device, {0, 0, 1, 0}), "USB Composite Device", true, "Vendor ID=046Dh;"},
      {"pipe selects its device", Id(TkvNodeKind::Pipe, {1, 0, 2, 0, 2}), "Prolific USB-to-Serial Comm Port", true,
       "Transfer Type=Bulk;"},
      {"hub is no device of the list", Id(TkvNodeKind::Hub, {2, 0, 1, 0}), nullptr, false, "Port Count=4;"},
      {"device behind a hub", Id(TkvNodeKind::Device, {2, 0, 1, 0, 2, 0}), "Quorvex Test Board", true,
       "Description=Quorvex Test Board;"},
      {"port", Id(TkvNodeKind::Port, {2, 0, 3}), nullptr, false, "Port Number=3;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(SelectId(c.id)) << c.id.Text();
    EXPECT_EQ(Model.SelectedId(), c.id);
    EXPECT_NE(RowText().find(c.row), std::string::npos) << RowText();
    kv::TkvUsbDevice* selected = Usb.SelectedDevice();
    EXPECT_EQ(selected ? selected->Description : "none", c.selectedDevice ? c.selectedDevice : "none");
    EXPECT_EQ(Model.DeviceSelected(), c.selectedDevice != nullptr);
    EXPECT_EQ(Model.DevicePageVisible(), c.page);
  }
  EXPECT_EQ(Model.StatusPath(),
            "\\Intel(R) ICH10 Family USB2 Enhanced Host Controller - 3A3A\\Root Hub\\Port #3 (device:  unknown device)");
  Usb.SetActive(false);
  EXPECT_FALSE(Model.Select(-1));
  EXPECT_FALSE(Model.Select(Model.ItemCount()));
  EXPECT_EQ(Model.SelectedId(), cases[4].id) << "a refused selection changes nothing";

  // The copy texts: one row, all rows in order, each "caption TAB value CR LF".
  ASSERT_TRUE(SelectId(cases[0].id));
  EXPECT_EQ(Model.CopyText(4), "Vendor ID\t046Dh\r\n");
  EXPECT_EQ(Model.CopyText(-1), "");
  std::string all;
  for (std::size_t i = 0; i < Model.Rows().size(); ++i) all += Model.CopyText(static_cast<int>(i));
  EXPECT_EQ(Model.CopyAllText(), all);
  EXPECT_EQ(all.rfind("Description\tUSB Composite Device\r\nManufacturer\t", 0), 0u) << all;
  EXPECT_TRUE(quorvex::ClipboardWorthy(all));
  EXPECT_FALSE(quorvex::ClipboardWorthy(" \t\r\n"));
}

// The device-change road: the component refreshes at once (freeing the
// records), the tree is reloaded later. In between nothing may reach a freed
// record; the reload finds the same node by its id. Under ASan any use of a
// freed record fails this test.
TEST_F(BrowserModelTest, StaleTreeReachesNothingAndReloadSelectsTheSameNodeAgain) {
  Model.Reload(false);
  const TkvNodeId board = Id(TkvNodeKind::Device, {2, 0, 1, 0, 2, 0});
  ASSERT_TRUE(SelectId(board));
  const std::string rows = RowText();
  const int items = Model.ItemCount();

  kv::TkvSimUsbHub* hub = kv::FindSimHub(*Machine, kExternalHub);
  ASSERT_NE(hub, nullptr);
  kv::TkvSimUsbDevice stick;
  stick.IdVendor = 0x0951;
  stick.IdProduct = 0x1666;
  stick.Pipes = {{0x81, 2, 512, 0, 0}, {0x02, 2, 512, 0, 0}};
  kv::DeviceArrives(*hub, 3, stick);
  Usb.RefreshDeviceList();  // what kvUSB1.DeviceChangeMessage does

  EXPECT_TRUE(Model.Stale());
  EXPECT_FALSE(Model.Select(0));
  EXPECT_FALSE(Model.DeviceSelected());
  EXPECT_FALSE(Model.ReloadDescriptors());
  EXPECT_EQ(Model.StatusPath(), "");
  EXPECT_EQ(Model.Resolve(board), nullptr);
  EXPECT_EQ(RowText(), rows) << "the rows are texts of their own and stay";
  EXPECT_EQ(Model.ItemColour(Model.IndexOf(Id(TkvNodeKind::Port, {2, 0, 1, 0, 3})), false), TkvItemColour::Green)
      << "drawing uses the items' own copies";

  Model.Reload(false, &board);
  EXPECT_FALSE(Model.Stale());
  EXPECT_EQ(Model.SelectedId(), board);
  EXPECT_EQ(RowText(), rows);
  EXPECT_EQ(Model.ItemCount(), items + 3) << "the new device and its two pipes";
  const int port = Model.IndexOf(Id(TkvNodeKind::Port, {2, 0, 1, 0, 3}));
  EXPECT_EQ(Model.Item(port).Text, "Port #3 (device:  unknown device)");
  EXPECT_EQ(Model.ItemColour(port, false), TkvItemColour::Navy);
  ASSERT_NE(Usb.SelectedDevice(), nullptr);
  EXPECT_TRUE(Model.ReloadDescriptors());
  EXPECT_NE(RowText().find("Serial Number=KV0001;"), std::string::npos) << RowText();
  EXPECT_NE(RowText().find("String Descriptor [3]=KV0001;"), std::string::npos);

  // The board leaves: its id leads nowhere, the reload selects the first node.
  kv::DeviceLeaves(*hub, 2);
  Model.Reload(false, &board);
  EXPECT_EQ(Model.IndexOf(board), -1);
  EXPECT_EQ(Model.Selected(), 0);
}

TEST_F(BrowserModelTest, IdsResolveOnlyToTheirOwnKindAndPlace) {
  Model.Reload(false);
  const kv::TkvUSBManager& m = kv::USBManager();
  struct Case {
    TkvNodeId id;
    const char* text;  // Description of what it resolves to, nullptr: nothing
  };
  const Case cases[] = {
      {Id(TkvNodeKind::Host, {1}), "Intel(R) ICH10 Family USB Universal Host Controller - 3A38"},
      {Id(TkvNodeKind::Hub, {2, 0, 1, 0}), "Generic USB Hub"},
      {Id(TkvNodeKind::Device, {2, 0, 1, 0}), nullptr},  // a hub is not a device here
      {Id(TkvNodeKind::Port, {2, 0, 1, 0, 4}), "Port #4 (free)"},
      {Id(TkvNodeKind::Pipe, {2, 0, 1, 0, 1, 0, 1}), "Pipe [2] (OUT endpoint)"},
      {Id(TkvNodeKind::Pipe, {2, 0, 1, 0, 1, 0, 2}), nullptr},  // two pipes only
      {Id(TkvNodeKind::Port, {2, 0, 0}), nullptr},               // port numbers start at 1
      {Id(TkvNodeKind::Port, {2, 0, INT32_MIN}), nullptr},
      {Id(TkvNodeKind::Device, {2, 0, 2, 0}), nullptr},          // a free port
      {Id(TkvNodeKind::Host, {3}), nullptr},
      {Id(TkvNodeKind::Host, {-1}), nullptr},
      {Id(TkvNodeKind::Hub, {0, 0, 1, 0, 0, 0}), nullptr},  // past a pipe
      {Id(TkvNodeKind::None, {}), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id.Text());
    kv::TObject* found = quorvex::ResolveNodeId(m, c.id);
    if (!c.text) {
      EXPECT_EQ(found, nullptr);
      continue;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(static_cast<kv::TkvDevice*>(found)->Description, c.text);
  }
}

// The device box follows the component's list and selection both ways, lets
// go of a component that is destroyed, and hears only the one it is bound to.
TEST_F(BrowserModelTest, DeviceBoxFollowsItsComponent) {
  kv::TkvDeviceBox box(nullptr);
  int changes = 0, refills = 0;
  box.OnChange = [&](kv::TObject*) { ++changes; };
  box.OnItemsChanged = [&](kv::TObject*) { ++refills; };
  box.Change(1);
  EXPECT_EQ(changes, 0) << "an unbound box does nothing on a pick";

  auto* usb = new kv::TkvUSB(nullptr);
  box.SetkvLink(usb);  // an empty list is loaded first
  ASSERT_EQ(box.Items().Count(), 5);
  EXPECT_EQ(box.Items().Strings(1), usb->GetDevice(1)->Name);
  EXPECT_EQ(box.ItemIndex(), -1);

  box.Change(2);
  EXPECT_EQ(usb->DeviceIndex(), 2);
  EXPECT_EQ(box.ItemIndex(), 2) << "refilled and reselected before OnChange";
  EXPECT_EQ(changes, 1);

  Model.Reload(false);  // the browser's own component: another TkvUSB of the same topology
  EXPECT_EQ(box.Items().Objects(0), usb->GetDevice(0)) << "refilled when the topology was replaced";
  usb->SetIdVendor(0x067B);
  box.RefreshItems();
  ASSERT_EQ(box.Items().Count(), 1);
  EXPECT_EQ(box.Items().Strings(0), usb->GetDevice(0)->Name);
  EXPECT_EQ(usb->NotifyList().Count(), 1) << "registered once however often it refills";

  kv::TkvUSB other(nullptr);
  box.SetkvLink(&other);
  const int before = refills;
  EXPECT_EQ(usb->NotifyList().Count(), 0);
  usb->Notify(kv::kvNotifyDeviceList);
  other.SetDeviceIndex(3);
  EXPECT_EQ(box.ItemIndex(), 3);
  EXPECT_EQ(refills, before + 1) << "only the bound component reaches the box";

  delete usb;
  box.SetkvLink(usb = new kv::TkvUSB(nullptr));
  EXPECT_EQ(other.NotifyList().Count(), 0);
  delete usb;
  EXPECT_EQ(box.kvLink(), nullptr);
  EXPECT_EQ(box.ItemIndex(), -1);
  EXPECT_EQ(box.Items().Count(), 5) << "the texts stay";
  EXPECT_EQ(box.Items().Objects(0), nullptr) << "but not the records of a component that is gone";
  box.Change(0);
  EXPECT_EQ(changes, 1);
}

}  // namespace
