// The topology walk: host controllers, hubs, ports and their texts, the
// fallback connection request, record matching, and how failures and loops
// shrink the tree without breaking it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "topofixture.h"

namespace kvtest {
namespace {

using ManagerTest = TopologyTest;

TEST_F(ManagerTest, NoHostControllersBuildsNothing) {
  Devnode("ROOT\\X", UsbKey(1), "unrelated");
  Refresh();
  EXPECT_EQ(Manager.HostCount(), 0);
  EXPECT_EQ(Manager.GetHost(0), nullptr);
  EXPECT_EQ(Manager.GetHost(-1), nullptr);
  EXPECT_EQ(Manager.DeviceRecords.Count(), 1) << "the class enumeration still runs";
}

TEST_F(ManagerTest, ControllerNumbersWithGapsAndTwoDigits) {
  Host(0, 1);
  Host(2, 1);
  Host(15, 1);
  Usb.AddController(16, UsbKey(16));  // beyond the sixteen tries
  Refresh();
  ASSERT_EQ(Manager.HostCount(), 3) << M->Dump();
  EXPECT_EQ(Need(Manager.GetHost(0))->FileName, "\\\\.\\HCD0");
  EXPECT_EQ(Need(Manager.GetHost(1))->FileName, "\\\\.\\HCD2");
  EXPECT_EQ(Need(Manager.GetHost(2))->FileName, "\\\\.\\HCD15");
  const kv::TkvUsbHost& h = *Need(Manager.GetHost(1));
  EXPECT_EQ(h.RegistryKey, UsbKey(2));
  EXPECT_EQ(h.Description, "Host Controller 2");
  EXPECT_EQ(h.Name, h.Description);
  EXPECT_EQ(h.Manager, &Manager);
  ASSERT_EQ(h.HubCount(), 1);
  const kv::TkvUsbHub& root = *Need(h.GetHub(0));
  EXPECT_EQ(root.Description, "Root Hub");
  EXPECT_EQ(root.Name, "USB Hub:USB#ROOT_HUB#2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  EXPECT_EQ(root.FileName, "\\\\.\\USB#ROOT_HUB#2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  EXPECT_EQ(root.Host, &h);
  EXPECT_EQ(root.ParentPort, nullptr);
  EXPECT_EQ(h.GetHub(1), nullptr);
}

TEST_F(ManagerTest, PortTexts) {
  kv::TkvSimUsbHub& hub = Host(0, 12);
  hub.HubControlCurrent = 0;
  Device(hub, 1, 20, "Known Device");
  kv::TkvSimUsbDevice& stranger = Device(hub, 2, 21, "x");
  stranger.DriverKey = UsbKey(99);  // a driver key that no devnode has
  Device(hub, 12, 0, "");           // no driver installed
  Refresh();
  kv::TkvUsbHub& root = *RootHub();
  ASSERT_EQ(root.PortCount(), 12);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(Need(root.GetPort(i))->PortNumber, i + 1);
    EXPECT_EQ(Need(root.GetPort(i))->Hub, &root);
  }
  EXPECT_EQ(root.GetPort(12), nullptr);
  EXPECT_EQ(Port(1)->Description, "Port #1 (device:  Known Device)");
  EXPECT_EQ(Port(1)->RegistryKey, UsbKey(20));
  EXPECT_EQ(Port(1)->FileName, root.FileName + "\\" + UsbKey(20));
  EXPECT_EQ(DeviceAt(1)->Description, "Known Device");
  EXPECT_EQ(DeviceAt(1)->Name, "Known Device");
  EXPECT_EQ(DeviceAt(1)->Port, Port(1));
  EXPECT_EQ(Port(2)->Description, "Port #2 (device:  )") << "known key, no devnode: empty description";
  EXPECT_EQ(Port(3)->Description, "Port #3 (free)");
  EXPECT_EQ(Port(3)->NodeCount(), 0);
  EXPECT_EQ(Port(12)->Description, "Port #12 (device:  unknown device)");
  EXPECT_EQ(Port(12)->RegistryKey, "");
  EXPECT_EQ(Port(12)->FileName, root.FileName + "\\");
}

TEST_F(ManagerTest, DevicesWithoutDriverNamedFromTheirStrings) {
  kv::TkvSimUsbHub& hub = Host(0, 2);
  kv::TkvSimUsbDevice& named = Device(hub, 1, 0, "");
  named.SetString(1, "Velmora");
  named.SetString(2, " SDR ");
  named.IManufacturer = 1;
  Device(hub, 2, 0, "");  // no strings at all

  Refresh();
  EXPECT_EQ(Port(1)->Description, "Port #1 (device:  unknown device)");
  EXPECT_EQ(DeviceAt(1)->Strings.Count(), 0) << "strings are read only on request";

  Manager.RequestDescriptors = true;
  Refresh();
  EXPECT_EQ(Port(1)->Description, "Port #1 (device:  Velmora  SDR)") << "each string after a blank, all trimmed";
  EXPECT_EQ(DeviceAt(1)->Description, "Velmora  SDR");
  EXPECT_EQ(DeviceAt(1)->Manufacturer, "Velmora");
  EXPECT_EQ(Port(2)->Description, "Port #2 (device:  unknown device)");
}

TEST_F(ManagerTest, HubsNestAndTakeTheirDescriptionFromThePort) {
  kv::TkvSimDevnode* rootNode = nullptr;
  kv::TkvSimUsbHub& root = Host(0, 2, &rootNode);
  kv::TkvSimUsbHub& ext = root.AttachHub(2, "EXT#1", 3, UsbKey(30));
  Devnode("USB\\EXT\\1", UsbKey(30), "Generic USB Hub", rootNode);
  ext.HubControlCurrent = 100;
  Device(ext, 3, 31, "Behind The Hub");
  kv::TkvSimUsbHub& broken = ext.AttachHub(1, "EXT#2", 2, UsbKey(32));
  broken.SetOpenable(false);
  Refresh();

  kv::TkvUsbPort& port = *Port(2);
  EXPECT_EQ(port.Description, "Port #2 (hub:  Generic USB Hub)");
  EXPECT_EQ(port.RegistryKey, "EXT#1") << "the port keeps the hub's name, not its driver key";
  auto* hub = dynamic_cast<kv::TkvUsbHub*>(port.GetNode(0));
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->Name, "Generic USB Hub");
  EXPECT_EQ(hub->FileName, "\\\\.\\EXT#1");
  EXPECT_EQ(hub->ParentPort, &port);
  EXPECT_EQ(hub->Host, Manager.GetHost(0));
  EXPECT_EQ(hub->MaxPower(), 100);
  EXPECT_EQ(hub->PipeCount(), 0) << "the device part of a hub stays empty";
  EXPECT_EQ(hub->IdVendor, 0);
  EXPECT_EQ(Need(hub->GetPort(2))->Description, "Port #3 (device:  Behind The Hub)");
  EXPECT_EQ(Need(hub->GetPort(0))->Description, "Port #1 (hub:  unknown device)") << "a hub that cannot be opened";
  EXPECT_EQ(Need(hub->GetPort(0))->NodeCount(), 0);
}

TEST_F(ManagerTest, HubNameRequestFails) {
  kv::TkvSimUsbHub& root = Host(0, 1);
  root.AttachHub(1, "EXT#1", 2, UsbKey(30));
  root.Device(1)->FailRequests[kv::IOCTL_USB_GET_NODE_CONNECTION_NAME] = kv::ERROR_GEN_FAILURE;
  Refresh();
  EXPECT_EQ(Port(1)->Description, "Port #1 (hub:  unknown device)");
  EXPECT_EQ(Port(1)->NodeCount(), 0);
  EXPECT_EQ(Port(1)->RegistryKey, "");
}

TEST_F(ManagerTest, OnlyTheOlderConnectionRequest) {
  kv::TkvSimUsbHub& hub = Host(0, 4);
  hub.ExRequestSupported = false;
  struct TCase {
    kv::WORD Bcd;
    kv::BYTE Speed;
    kv::BYTE Expected;
  };
  // Without the EX request a device is low or full speed: the older request
  // cannot tell high speed apart, whatever bcdUSB says.
  const TCase cases[] = {{0x0110, 0, 0}, {0x0110, 1, 1}, {0x0200, 2, 1}, {0x0200, 0, 0}};
  for (int i = 0; i < 4; ++i) {
    kv::TkvSimUsbDevice& d = Device(hub, i + 1, 40 + i, "D" + std::to_string(i));
    d.BcdUsb = cases[i].Bcd;
    d.Speed = cases[i].Speed;
  }
  Refresh();
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_NE(DeviceAt(i + 1), nullptr) << TreeText();
    EXPECT_EQ(DeviceAt(i + 1)->Speed, cases[i].Expected);
  }
}

TEST_F(ManagerTest, FailuresLeaveASmallerTree) {
  kv::TkvSimUsbHub& hub = Host(0, 2);
  Device(hub, 1, 20, "Board");
  Host(1, 1);

  Usb.Fail(kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, kv::ERROR_GEN_FAILURE);
  Usb.Fail(kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, kv::ERROR_GEN_FAILURE);
  Refresh();
  EXPECT_EQ(Port(1)->Description, "Error");
  EXPECT_EQ(Port(1)->NodeCount(), 0);
  EXPECT_EQ(Port(1)->ConnectionInfo.ConnectionStatus(), 0u);
  Usb.ClearFailures();

  Usb.Fail(kv::IOCTL_GET_HCD_DRIVERKEY_NAME, kv::ERROR_GEN_FAILURE, 1);
  Refresh();
  EXPECT_EQ(Need(Manager.GetHost(0))->RegistryKey, "");
  EXPECT_EQ(Need(Manager.GetHost(0))->Description, "");
  EXPECT_EQ(Need(Manager.GetHost(1))->Description, "Host Controller 1");

  Usb.Fail(kv::IOCTL_USB_GET_ROOT_HUB_NAME, kv::ERROR_GEN_FAILURE, 1);  // same code as node information
  Refresh();
  EXPECT_EQ(Need(Manager.GetHost(0))->HubCount(), 0);
  EXPECT_EQ(Need(Manager.GetHost(1))->HubCount(), 1);

  hub.FailRequests[kv::IOCTL_USB_GET_NODE_INFORMATION] = kv::ERROR_GEN_FAILURE;
  Refresh();
  ASSERT_EQ(Need(Manager.GetHost(0))->HubCount(), 1);
  EXPECT_EQ(RootHub()->PortCount(), 0);
}

TEST_F(ManagerTest, WithoutSetupServicesDescriptionsAndRecordsStayEmpty) {
  kv::TkvSimUsbHub& hub = Host(0, 2);
  Device(hub, 1, 20, "Board");
  M->RemoveLibrary("SetupAPI.dll");
  Refresh();
  ASSERT_EQ(Manager.HostCount(), 1);
  EXPECT_EQ(Need(Manager.GetHost(0))->Description, "");
  EXPECT_EQ(Port(1)->Description, "Port #1 (device:  )");
  EXPECT_EQ(DeviceAt(1)->InstanceId, "");
  EXPECT_EQ(Manager.DeviceRecords.Count(), 0);
}

TEST_F(ManagerTest, EveryRequestFailingInTurn) {
  kv::TkvSimDevnode* rootNode = nullptr;
  kv::TkvSimUsbHub& root = Host(0, 3, &rootNode);
  kv::TkvSimUsbHub& ext = root.AttachHub(1, "EXT#1", 2, UsbKey(30));
  Devnode("USB\\EXT", UsbKey(30), "Hub", rootNode);
  kv::TkvSimUsbDevice& d = Device(ext, 1, 31, "Stick", nullptr, "USBSTOR");
  d.Pipes = {{0x81, 2, 512, 0, 0}, {0x02, 2, 512, 0, 0}};
  d.SetString(1, "Maker");
  Device(root, 2, 0, "");
  Host(2, 1);
  Manager.RequestDescriptors = true;

  std::vector<std::string> requests;  // what each request of a refresh is
  Usb.SetReplyFilter([&](kv::TkvSimUsbReply& r) { requests.push_back(kv::UsbRequestName(r.Code) + " to " + r.Path); });
  Refresh();
  Usb.SetReplyFilter(nullptr);
  const int full = CountNodes(Tree());
  ASSERT_GT(requests.size(), 20u);
  for (unsigned long n = 0; n < requests.size(); ++n) {
    SCOPED_TRACE("request " + std::to_string(n) + " fails: " + requests[n]);
    Usb.FailNth(n, kv::ERROR_GEN_FAILURE);
    Refresh();
    EXPECT_LE(CountNodes(Tree()), full) << TreeText();
    Usb.ClearFailures();
  }
}

// Every open failing in turn: the machine refuses the k-th CreateFileA.
class FailingOpenMachine : public kv::TkvSimMachine {
 public:
  int FailAt = -1;
  int Opens = 0;
  kv::HANDLE CreateFileA(kv::LPCSTR name, kv::DWORD access, kv::DWORD share, kv::SECURITY_ATTRIBUTES* sa,
                         kv::DWORD disposition, kv::DWORD flags, kv::HANDLE templ) override {
    if (Opens++ == FailAt) {
      kv::SetLastError(kv::ERROR_ACCESS_DENIED);
      return kv::INVALID_HANDLE_VALUE;
    }
    return kv::TkvSimMachine::CreateFileA(name, access, share, sa, disposition, flags, templ);
  }
};

TEST(ManagerOpenTest, EveryOpenFailingInTurn) {
  FailingOpenMachine m;
  kv::TkvMachineScope scope(m);
  kv::TkvSimUsb usb(m);
  kv::TkvSimUsbHub& root = usb.AddController(0, "{K}\\0").SetRootHub("ROOT", 2);
  kv::TkvSimUsbHub& ext = root.AttachHub(1, "EXT", 2, "{K}\\1");
  kv::TkvSimUsbDevice dev;
  dev.DriverKey = "{K}\\2";
  dev.SetString(1, "S");
  ext.Attach(2, dev);
  kv::TkvUSBManager manager;
  manager.RequestDescriptors = true;
  manager.Refresh();
  const int full = CountNodes(kv::BuildTopologyTree(manager));
  const int opens = m.Opens;
  for (int k = 0; k < opens; ++k) {
    SCOPED_TRACE("open " + std::to_string(k) + " fails");
    m.Opens = 0;
    m.FailAt = k;
    manager.Refresh();
    EXPECT_LE(CountNodes(kv::BuildTopologyTree(manager)), full);
  }
}

TEST_F(ManagerTest, HubLoopEndsAtTheDeepestTier) {
  kv::TkvSimUsbHub& root = Host(0, 1);
  kv::TkvSimUsbHub& loop = root.AttachHub(1, "LOOP", 1, UsbKey(50));
  // The hub reports itself on its own port: a driver gone wrong.
  loop.AttachHub(1, "LOOP#INNER", 1, UsbKey(51));
  Usb.SetReplyFilter([](kv::TkvSimUsbReply& r) {
    if (r.Code == kv::IOCTL_USB_GET_NODE_CONNECTION_NAME && r.Path == "\\\\.\\LOOP") {
      const std::u16string name = u"LOOP";
      r.Bytes.assign(8 + 2 * (name.size() + 1), 0);
      kv::WriteLeDword(r.Bytes.data(), 1);
      kv::WriteLeDword(r.Bytes.data() + 4, static_cast<kv::DWORD>(r.Bytes.size()));
      for (std::size_t i = 0; i < name.size(); ++i) kv::WriteLeWord(r.Bytes.data() + 8 + 2 * i, name[i]);
    }
  });
  Refresh();
  int depth = 0;
  for (kv::TkvUsbHub* hub = RootHub(); hub; ++depth) {
    kv::TkvUsbPort* p = hub->GetPort(0);
    hub = p ? dynamic_cast<kv::TkvUsbHub*>(p->GetNode(0)) : nullptr;
  }
  EXPECT_EQ(depth, 1 + kv::kMaxHubDepth);
}

TEST_F(ManagerTest, RecordsMatchTheDriverKey) {
  kv::TkvSimUsbHub& hub = Host(0, 1);
  Device(hub, 1, 20, "Board");
  // The same key again in a later class of the thirteen, spelt in lower case.
  Devnode("HID\\TWIN", kv::UpperAscii(UsbKey(20)), "Twin", nullptr, "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}");
  Refresh();
  kv::TkvDevice* record = Manager.FindDeviceRecord(UsbKey(20));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Description, "Board") << "the record of the earlier class";
  EXPECT_EQ(Manager.FindDeviceRecord("{36fc9e60-c465-11cf-8056-444553540000}\\0020"), record)
      << "compared without regard to case";
  EXPECT_EQ(Manager.FindDeviceRecord("nothing"), nullptr);
  EXPECT_EQ(DeviceAt(1)->InstanceId, "USB\\VID_16C0&PID_20\\20");
}

TEST_F(ManagerTest, RefreshReplacesAndClearEmpties) {
  kv::TkvSimUsbHub& hub = Host(0, 1);
  Device(hub, 1, 20, "Board");
  Refresh();
  ASSERT_EQ(Manager.HostCount(), 1);
  Usb.RemoveController(0);
  Refresh();
  EXPECT_EQ(Manager.HostCount(), 0);
  Manager.Clear();
  EXPECT_EQ(Manager.DeviceRecords.Count(), 0);
  EXPECT_EQ(Manager.Drives.Count(), 0);
  EXPECT_EQ(&kv::USBManager(), &kv::USBManager()) << "one manager per process";
}

// A refresh that is inside a request holds the process-wide lock: a second
// thread's refresh (of another manager) waits for it and then runs whole.
TEST_F(ManagerTest, ARefreshWaitsForTheOneInsideARequest) {
  kv::TkvSimUsbHub& hub = Host(0, 3);
  Device(hub, 1, 20, "Board");
  Device(hub, 3, 21, "Other");
  Refresh();
  const std::string expected = TreeText();

  std::mutex lock;
  std::condition_variable changed;
  bool inside = false, release = false;
  std::vector<std::thread::id> requests;  // the thread of every request, in order
  Usb.SetReplyFilter([&](kv::TkvSimUsbReply&) {
    std::unique_lock<std::mutex> l(lock);
    requests.push_back(std::this_thread::get_id());
    if (inside) return;
    inside = true;  // the first request blocks until the test lets it go
    changed.notify_all();
    changed.wait(l, [&] { return release; });
  });
  kv::TkvUSBManager other;
  std::thread first([&] { other.Refresh(); });
  {
    std::unique_lock<std::mutex> l(lock);
    changed.wait(l, [&] { return inside; });
  }
  // Every call into the machine counts, even one that then waits for the
  // machine's own lock: the second refresh must not get so far.
  const unsigned long calls = M->CallCount();
  std::thread second([&] { Refresh(); });
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (std::chrono::steady_clock::now() < until && M->CallCount() == calls) std::this_thread::yield();
  EXPECT_EQ(M->CallCount(), calls) << "the second refresh ran while the first was inside a request";
  {
    std::lock_guard<std::mutex> l(lock);
    release = true;
  }
  changed.notify_all();
  first.join();
  second.join();
  Usb.SetReplyFilter(nullptr);

  // The second refresh's requests all come after the first one's.
  const std::thread::id firstId = requests.front();
  const auto firstEnd = std::find_if(requests.begin(), requests.end(), [&](std::thread::id t) { return t != firstId; });
  EXPECT_TRUE(std::all_of(firstEnd, requests.end(), [&](std::thread::id t) { return t != firstId; }))
      << "the two refreshes overlapped";
  std::string theirs;
  kvtest::TreeText(kv::BuildTopologyTree(other), theirs);
  EXPECT_EQ(TreeText() + theirs, expected + expected);
}

}  // namespace
}  // namespace kvtest
