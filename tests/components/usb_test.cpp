// The USB device component on simulated machines: the device list in
// topology order with the hubs left out, the vendor and product filters, the
// selection and its notification, and what a new enumeration drops.
#include "comptest.h"

#include <memory>

#include "kvsetupapi.h"
#include "kvtext.h"
#include "kvusb.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kv::test {
namespace {

const char* const kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";

std::string Key(int n) { return std::string(kUsbClass) + "\\" + std::to_string(1000 + n); }

// Counts the notifications of a component.
class TCounter : public TObject {
 public:
  std::vector<int> Codes;
  void Handle(TObject*, int code) { Codes.push_back(code); }
};

// Host controller 0 with a root hub of three ports: a device on port 1, an
// external hub with two devices on port 2, a device on port 3.
class UsbComponentTest : public ::testing::Test {
 protected:
  UsbComponentTest() : M(std::make_unique<TkvSimMachine>()), Scope(*M), Usb(*M) {
    Devnode("PCI\\HC0", Key(900), "Host Controller");
    Usb.AddController(1, Key(901)).SetRootHub("ROOT#1", 1);  // a second bus, without devices
    TkvSimUsbHub& rootHub = Usb.AddController(0, Key(900)).SetRootHub("ROOT#0", 3);
    Attach(rootHub, 1, 1, 0x0403, 0x6001, "First");
    TkvSimUsbHub& hub = rootHub.AttachHub(2, "EXTHUB#2", 2, Key(50));
    Devnode("USB\\HUB\\50", Key(50), "Generic Hub");
    Attach(hub, 1, 2, 0x0403, 0x6010, "Behind hub 1");
    Attach(hub, 2, 3, 0x16C0, 0x6001, "Behind hub 2");
    Attach(rootHub, 3, 4, 0x16C0, 0x05DC, "Third");
  }

  void Devnode(const std::string& id, const std::string& key, const std::string& description) {
    TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = id;
    EXPECT_TRUE(TextToGuid(kUsbClass, spec.ClassGuid));
    spec.DriverKey = key;
    spec.Description = description;
    spec.Service = "WinUSB";
    M->AddDevnode(spec);
  }

  void Attach(TkvSimUsbHub& hub, int port, int key, WORD vendor, WORD product, const std::string& description) {
    TkvSimUsbDevice d;
    d.IdVendor = vendor;
    d.IdProduct = product;
    d.DriverKey = Key(key);
    Devnode("USB\\VID&PID\\" + std::to_string(key), d.DriverKey, description);
    hub.Attach(port, d);
  }

  // A component's enumerations and opening give back every handle, key,
  // device information set and library they took.
  void TearDown() override {
    USBManager().Clear();
    UnloadSetupApi();
    EXPECT_EQ(M->Outstanding(), TkvSimMachine::TOutstanding{}) << M->Dump();
  }

  static std::vector<std::string> Names(const TkvBaseIO& io) {
    std::vector<std::string> names;
    for (int i = 0; i < io.DeviceCount(); ++i) names.push_back(io.GetDevice(i)->Name);
    return names;
  }

  std::unique_ptr<TkvSimMachine> M;
  TkvMachineScope Scope;
  TkvSimUsb Usb;
};

TEST_F(UsbComponentTest, ListsTheDevicesBehindAHubWhereTheHubSits) {
  TkvUSB usb(nullptr);
  TTestLog log(nullptr);
  usb.SetLog(&log);
  EXPECT_EQ(usb.DeviceIndex(), -1);
  EXPECT_FALSE(usb.OwnsDevices());
  EXPECT_EQ(usb.WinUsbHandle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(usb.DeviceCount(), 0);  // nothing before the first enumeration

  usb.RefreshDeviceList();
  EXPECT_EQ(Names(usb), (std::vector<std::string>{"First", "Behind hub 1", "Behind hub 2", "Third"}));
  for (int i = 0; i < usb.DeviceCount(); ++i) {
    EXPECT_EQ(dynamic_cast<TkvUsbHub*>(usb.GetDevice(i)), nullptr);
    EXPECT_EQ(usb.GetDevice(i)->ListIndex, i);
    EXPECT_EQ(usb.GetDevice(i)->Owner, &usb);
  }
  EXPECT_EQ(usb.HostCount(), 2);
  EXPECT_NE(usb.GetHost(1), nullptr);
  EXPECT_EQ(usb.GetHost(2), nullptr);
  EXPECT_EQ(usb.GetHost(-1), nullptr);

  ASSERT_GE(log.Lines.size(), 5u);
  EXPECT_EQ(log.Lines[0], (TLogLine{2, "TkvUSBLoad device list ..."}));
  const std::string first = "TkvUSBAdd device into list: First|" + usb.GetDevice(0)->InstanceId;
  EXPECT_NE(std::find(log.Lines.begin(), log.Lines.end(), TLogLine{2, first}), log.Lines.end());
}

TEST_F(UsbComponentTest, FiltersByVendorAndProductFromThePresentTopology) {
  TkvUSB usb(nullptr);
  TCounter counter;
  usb.RefreshDeviceList();
  usb.AddNotify(TOnNotifyEvent(&counter, &TCounter::Handle));
  const unsigned long requests = Usb.RequestCount();

  usb.SetIdVendor(0x0403);
  EXPECT_EQ(Names(usb), (std::vector<std::string>{"First", "Behind hub 1"}));
  usb.SetIdVendor(0);
  usb.SetIdProduct(0x6001);
  EXPECT_EQ(Names(usb), (std::vector<std::string>{"First", "Behind hub 2"}));
  usb.SetIdVendor(0x16C0);
  EXPECT_EQ(Names(usb), (std::vector<std::string>{"Behind hub 2"}));
  usb.SetIdProduct(0x16001);  // beyond 16 bits: nothing matches
  EXPECT_EQ(usb.DeviceCount(), 0);

  EXPECT_EQ(Usb.RequestCount(), requests);  // no new enumeration
  EXPECT_TRUE(counter.Codes.empty());       // and no notification

  usb.SetIdProduct(0);
  usb.SetIdVendor(0);
  EXPECT_EQ(usb.DeviceCount(), 4);
}

TEST_F(UsbComponentTest, SelectsByIndexAndIgnoresAnIndexOutOfRange) {
  TkvUSB usb(nullptr);
  TCounter counter;
  usb.AddNotify(TOnNotifyEvent(&counter, &TCounter::Handle));
  usb.RefreshDeviceList();
  EXPECT_EQ(counter.Codes, std::vector<int>{3});

  usb.SetDeviceIndex(2);
  EXPECT_EQ(usb.DeviceIndex(), 2);
  ASSERT_NE(usb.SelectedDevice(), nullptr);
  EXPECT_EQ(usb.SelectedDevice()->Name, "Behind hub 2");
  usb.SetDeviceIndex(2);  // the same index again still notifies
  EXPECT_EQ(counter.Codes, (std::vector<int>{3, 3, 3}));

  usb.SetDeviceIndex(5);
  EXPECT_EQ(usb.DeviceIndex(), 2);
  EXPECT_EQ(usb.SelectedDevice(), nullptr);
  usb.SetDeviceIndex(-1);
  EXPECT_EQ(usb.DeviceIndex(), 2);
  EXPECT_EQ(counter.Codes.size(), 3u);
}

TEST_F(UsbComponentTest, AnEnumerationDropsTheSelectionButKeepsTheIndex) {
  TkvUSB usb(nullptr);
  usb.RefreshDeviceList();
  usb.SetDeviceIndex(1);
  ASSERT_NE(usb.SelectedDevice(), nullptr);
  usb.RefreshDeviceList();
  EXPECT_EQ(usb.DeviceIndex(), 1);
  EXPECT_EQ(usb.SelectedDevice(), nullptr);
  EXPECT_EQ(usb.DeviceCount(), 4);

  TStringList items;
  usb.FillDeviceList(&items);  // filled already: no new enumeration
  EXPECT_EQ(items.Objects(1), usb.GetDevice(1));
}

TEST_F(UsbComponentTest, AnotherComponentsEnumerationRebuildsThisList) {
  // Both list records of the one topology, which an enumeration frees.
  TkvUSB a(nullptr), b(nullptr);
  TCounter counter;
  b.AddNotify(TOnNotifyEvent(&counter, &TCounter::Handle));
  b.SetIdVendor(0x16C0);
  b.RefreshDeviceList();
  b.SetDeviceIndex(0);
  counter.Codes.clear();
  a.RefreshDeviceList();
  EXPECT_EQ(b.SelectedDevice(), nullptr);
  EXPECT_EQ(counter.Codes, std::vector<int>{3});
  ASSERT_EQ(Names(b), (std::vector<std::string>{"Behind hub 2", "Third"}));
  EXPECT_EQ(b.GetDevice(1)->Owner, &b);  // the new records (ASan: not freed ones)
}

TEST_F(UsbComponentTest, ALogThatGoesIsNotLeftWithTheTopology) {
  TkvUSB usb(nullptr);
  auto* log = new TTestLog(nullptr);
  usb.SetLog(log);
  usb.RefreshDeviceList();
  EXPECT_EQ(USBManager().Log, log);
  delete log;
  EXPECT_EQ(USBManager().Log, nullptr);
  usb.RefreshDeviceList();
}

}  // namespace
}  // namespace kv::test
