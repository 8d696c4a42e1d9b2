// The request functions of kvusbw32 against simulated controllers and hubs:
// names, descriptors in two steps, record layouts, and what they make of
// replies that are short, too long or otherwise malformed.
#include <vector>

#include "kvusbw32.h"
#include "topofixture.h"

namespace kvtest {
namespace {

struct TRequestLog {
  kv::DWORD Code;
  std::size_t InSize;
  kv::DWORD OutSize;
};

class RequestTest : public TopologyTest {
 protected:
  RequestTest() {
    HubObject = &Host(0, 4);
    Device(*HubObject, 1, 20, "Board");
    HubObject->AttachHub(2, "EXT#HUB", 3, UsbKey(21));
    Usb.SetReplyFilter([this](kv::TkvSimUsbReply& r) {
      Log.push_back({r.Code, r.Input.size(), r.OutSize});
      if (Patch) Patch(r);
    });
  }
  void TearDown() override {
    for (kv::HANDLE h : Handles) EXPECT_TRUE(kv::Machine().CloseHandle(h));
    Handles.clear();
    TopologyTest::TearDown();
  }
  kv::HANDLE Open(const std::string& path) {
    kv::HANDLE h = kv::Machine().CreateFileA(path.c_str(), kv::GENERIC_READ | kv::GENERIC_WRITE, 0, nullptr,
                                             kv::OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, kv::INVALID_HANDLE_VALUE) << path << "\n" << M->Dump();
    Handles.push_back(h);
    return h;
  }
  kv::HANDLE Hcd() { return Open("\\\\.\\HCD0"); }
  kv::HANDLE Hub() { return Open(HubObject->Path()); }

  kv::TkvSimUsbHub* HubObject;
  std::vector<TRequestLog> Log;
  std::function<void(kv::TkvSimUsbReply&)> Patch;
  std::vector<kv::HANDLE> Handles;
};

TEST_F(RequestTest, NamesOfControllerAndPorts) {
  EXPECT_EQ(kv::GetUsbName(Hcd(), kv::IOCTL_GET_HCD_DRIVERKEY_NAME), UsbKey(0));
  EXPECT_EQ(kv::GetUsbName(Hcd(), kv::IOCTL_USB_GET_ROOT_HUB_NAME), HubObject->Name());
  ASSERT_EQ(Log.size(), 4u) << "two requests per name";
  EXPECT_EQ(Log[0].OutSize, 6u) << "the first asks for the fixed record only";
  EXPECT_EQ(Log[1].OutSize, 4u + 2 * (UsbKey(0).size() + 1)) << "the second for ActualLength bytes";

  const kv::HANDLE hub = Hub();
  EXPECT_EQ(kv::GetUsbConnectionName(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), UsbKey(20));
  EXPECT_EQ(kv::GetUsbConnectionName(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_NAME, 2), "EXT#HUB");
  EXPECT_EQ(kv::GetUsbConnectionName(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2), UsbKey(21));
  // A device that is no hub has an empty hub name; a free port no driver key.
  EXPECT_EQ(kv::GetUsbConnectionName(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_NAME, 1), "");
  EXPECT_EQ(kv::GetUsbConnectionName(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3), "");
  EXPECT_EQ(kv::GetUsbConnectionName(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 99), "");
  EXPECT_EQ(Log[4].InSize, 12u);
  EXPECT_EQ(Log[4].OutSize, 12u);

  Usb.Fail(kv::IOCTL_GET_HCD_DRIVERKEY_NAME, kv::ERROR_GEN_FAILURE, 1);
  EXPECT_EQ(kv::GetUsbName(Hcd(), kv::IOCTL_GET_HCD_DRIVERKEY_NAME), "");
  Usb.FailNth(1, kv::ERROR_GEN_FAILURE);  // the second step
  EXPECT_EQ(kv::GetUsbName(Hcd(), kv::IOCTL_GET_HCD_DRIVERKEY_NAME), "");
}

TEST_F(RequestTest, MalformedNameReplies) {
  const kv::HANDLE hcd = Hcd();
  struct TCase {
    const char* Label;
    kv::DWORD ActualLength;  // patched into the first reply
    std::string Expected;
    std::size_t Requests;
  };
  const std::string key = UsbKey(0);
  const TCase cases[] = {
      {"below the fixed record", 5, "", 1},
      {"zero", 0, "", 1},
      {"absurdly large", 0x7FFFFFF0u, "", 1},
      {"odd: the half character is dropped", static_cast<kv::DWORD>(4 + 2 * 3 + 1), key.substr(0, 3), 2},
      {"shorter than the name", static_cast<kv::DWORD>(4 + 2 * 5), key.substr(0, 5), 2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    Log.clear();
    bool first = true;
    Patch = [&](kv::TkvSimUsbReply& r) {
      if (first) kv::WriteLeDword(r.Bytes.data(), c.ActualLength);
      first = false;
    };
    EXPECT_EQ(kv::GetUsbName(hcd, kv::IOCTL_GET_HCD_DRIVERKEY_NAME), c.Expected);
    EXPECT_EQ(Log.size(), c.Requests);
  }
  // A first reply too short to hold ActualLength, and a name without its
  // closing zero that fills the buffer.
  Patch = [](kv::TkvSimUsbReply& r) { r.Bytes.resize(3); };
  EXPECT_EQ(kv::GetUsbName(hcd, kv::IOCTL_GET_HCD_DRIVERKEY_NAME), "");
  Patch = [](kv::TkvSimUsbReply& r) {
    if (r.OutSize > 6) r.Bytes.pop_back(), r.Bytes.pop_back();
  };
  EXPECT_EQ(kv::GetUsbName(hcd, kv::IOCTL_GET_HCD_DRIVERKEY_NAME), key);

  Patch = [](kv::TkvSimUsbReply& r) {
    if (r.OutSize == 12) kv::WriteLeDword(r.Bytes.data() + 4, 11);
  };
  EXPECT_EQ(kv::GetUsbConnectionName(Hub(), kv::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), "")
      << "ActualLength below the 12-byte record";
  Patch = [](kv::TkvSimUsbReply& r) { r.Bytes.resize(7); };
  EXPECT_EQ(kv::GetUsbConnectionName(Hub(), kv::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), "");
}

TEST_F(RequestTest, DescriptorInTwoSteps) {
  kv::TkvSimUsbDevice& d = *HubObject->Device(1);
  d.SetString(1, "Maker");
  auto block = kv::GetUsbDescriptor(Hub(), 1, 1, 0);
  ASSERT_TRUE(block);
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_EQ(Log[0].InSize, 14u) << "first the length byte";
  EXPECT_EQ(Log[1].InSize, 12u + 18u) << "then exactly bLength bytes";
  EXPECT_EQ(block->Length(), 18u);
  EXPECT_EQ(block->Bytes().size(), 12u + 18u + 2u) << "two zero bytes after the descriptor";
  EXPECT_EQ(kv::ReadLeDword(block->Bytes().data()), 1u) << "connection index";
  EXPECT_EQ(block->Bytes()[7], 1) << "descriptor type in the high byte of wValue";
  EXPECT_EQ(block->Byte(1), 1);
  EXPECT_EQ(kv::ReadLeWord(block->Descriptor() + 8), 0x16C0) << "idVendor";
  EXPECT_EQ(block->Byte(18), 0) << "beyond what came back";

  auto text = kv::GetUsbDescriptor(Hub(), 1, 3, 1);
  ASSERT_TRUE(text);
  EXPECT_EQ(kv::UsbWideText(text->Descriptor() + 2, text->Length() - 2), "Maker");
  EXPECT_FALSE(kv::GetUsbDescriptor(Hub(), 1, 3, 7)) << "a string the device does not have";
  EXPECT_FALSE(kv::GetUsbDescriptor(Hub(), 3, 1, 0)) << "a free port";
}

TEST_F(RequestTest, MalformedDescriptorReplies) {
  kv::TkvSimUsbDevice& d = *HubObject->Device(1);
  const kv::WORD string5 = 0x0305;
  // A first reply without the length byte gives no descriptor at all.
  d.ShortReplies[kv::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION] = 13;
  EXPECT_FALSE(kv::GetUsbDescriptor(Hub(), 1, 1, 0));
  d.ShortReplies.clear();

  d.RawDescriptors[string5] = {0, 3, 'A', 0};
  auto zero = kv::GetUsbDescriptor(Hub(), 1, 3, 5);
  ASSERT_TRUE(zero) << "bLength 0 still answers";
  EXPECT_EQ(zero->Length(), 0u);
  EXPECT_EQ(zero->Byte(0), 0);

  // bLength 255 from a device that sends 10 bytes: only those count.
  d.RawDescriptors[string5] = {255, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0};
  auto big = kv::GetUsbDescriptor(Hub(), 1, 3, 5);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->Length(), 10u);
  EXPECT_EQ(big->Bytes().size(), 12u + 255u + 2u);

  d.FailRequests[kv::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION] = kv::ERROR_GEN_FAILURE;
  EXPECT_FALSE(kv::GetUsbDescriptor(Hub(), 1, 1, 0));
  d.FailRequests.clear();
  Usb.FailNth(1, kv::ERROR_GEN_FAILURE);
  EXPECT_FALSE(kv::GetUsbDescriptor(Hub(), 1, 1, 0)) << "the second step fails";
}

// The library reads the records through its accessors, the simulated hub
// writes them field by field: both must agree on every offset.
TEST_F(RequestTest, RecordLayouts) {
  kv::TkvSimUsbDevice& d = *HubObject->Device(1);
  d.BcdUsb = 0x0110;
  d.IdVendor = 0x046D;
  d.IdProduct = 0xC52B;
  d.BcdDevice = 0x1201;
  d.MaxPacketSize0 = 8;
  d.IManufacturer = 1;
  d.IProduct = 2;
  d.ISerialNumber = 3;
  d.CurrentConfiguration = 1;
  d.Speed = 1;
  d.Address = 0x0102;
  d.Pipes = {{0x81, 3, 0x0108, 10, 0x11223344}, {0x02, 2, 64, 0, 0}};
  HubObject->HubControlCurrent = 100;

  const kv::HANDLE hub = Hub();
  kv::TkvUsbNodeInformation node;
  kv::DWORD returned = 0;
  ASSERT_TRUE(kv::Machine().DeviceIoControl(hub, kv::IOCTL_USB_GET_NODE_INFORMATION, node.Bytes.data(), 79,
                                            node.Bytes.data(), 79, &returned, nullptr));
  EXPECT_EQ(returned, 76u);
  EXPECT_EQ(node.NumberOfPorts(), 4);
  EXPECT_EQ(node.HubControlCurrent(), 100);

  kv::TkvUsbConnectionInfo info;
  info.Reset(1);
  ASSERT_TRUE(kv::Machine().DeviceIoControl(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, info.Bytes.data(),
                                            365, info.Bytes.data(), 365, &returned, nullptr));
  EXPECT_EQ(returned, 35u + 2 * 11u);
  EXPECT_EQ(info.ConnectionIndex(), 1u);
  EXPECT_EQ(info.DescriptorLength(), 18);
  EXPECT_EQ(info.DescriptorType(), 1);
  EXPECT_EQ(info.BcdUsb(), 0x0110);
  EXPECT_EQ(info.MaxPacketSize0(), 8);
  EXPECT_EQ(info.IdVendor(), 0x046D);
  EXPECT_EQ(info.IdProduct(), 0xC52B);
  EXPECT_EQ(info.BcdDevice(), 0x1201);
  EXPECT_EQ(info.IManufacturer(), 1);
  EXPECT_EQ(info.IProduct(), 2);
  EXPECT_EQ(info.ISerialNumber(), 3);
  EXPECT_EQ(info.NumConfigurations(), 1);
  EXPECT_EQ(info.CurrentConfigurationValue(), 1);
  EXPECT_EQ(info.Speed(), 1);
  EXPECT_EQ(info.DeviceIsHub(), 0);
  EXPECT_EQ(info.DeviceAddress(), 0x0102);
  EXPECT_EQ(info.NumberOfOpenPipes(), 2u);
  EXPECT_EQ(info.ConnectionStatus(), 1u);
  const kv::BYTE* pipe = info.PipeEntry(0);
  EXPECT_EQ(pipe[0], 7);
  EXPECT_EQ(pipe[1], 5);
  EXPECT_EQ(pipe[2], 0x81);
  EXPECT_EQ(pipe[3], 3);
  EXPECT_EQ(kv::ReadLeWord(pipe + 4), 0x0108);
  EXPECT_EQ(pipe[6], 10);
  EXPECT_EQ(kv::ReadLeDword(pipe + 7), 0x11223344u) << "schedule offset";
  EXPECT_EQ(info.PipeEntry(1)[2], 0x02);
  EXPECT_EQ(info.PipeEntry(30), nullptr);

  info.Reset(2);
  ASSERT_TRUE(kv::Machine().DeviceIoControl(hub, kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, info.Bytes.data(),
                                            365, info.Bytes.data(), 365, &returned, nullptr));
  EXPECT_EQ(info.DeviceIsHub(), 1);
  EXPECT_EQ(info.Speed(), 0) << "the older request: not low speed";
}

class DescriptionWalkTest : public TopologyTest {};

TEST_F(DescriptionWalkTest, FirstDevnodeInPreOrderWins) {
  kv::TkvSimDevnode& a = Devnode("ROOT\\A", "", "A");
  Devnode("ROOT\\A\\DEEP", "{K}\\0001", "deep under A", &a);
  Devnode("ROOT\\B", "{K}\\0001", "B, later in pre-order");
  kv::TkvSimDevnode& gone = Devnode("ROOT\\C", "{K}\\0002", "absent");
  gone.Present = false;
  Devnode("ROOT\\D", "{K}\\0003", "");
  kv::TkvSimDevnode& noDesc = Devnode("ROOT\\E", "{K}\\0004", "x");
  noDesc.Properties.erase(kv::SPDRP_DEVICEDESC);
  Devnode("ROOT\\F", "{K}\\0004", "later twin of a devnode without description");

  struct TCase {
    const char* Key;
    const char* Expected;
  };
  const TCase cases[] = {{"{K}\\0001", "deep under A"},
                         {"{k}\\0001", ""},  // the comparison respects case
                         {"{K}\\0002", ""},  // absent devnodes are not in the tree
                         {"{K}\\0003", ""},
                         {"{K}\\0004", ""},  // the first match ends the walk, with or without text
                         {"", ""},
                         {"{K}\\9999", ""}};
  kv::TkvDriverKeyIndex index;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Key);
    EXPECT_EQ(kv::GetDriverKeyDescription(c.Key), c.Expected);
    EXPECT_EQ(index.Description(c.Key), c.Expected) << "the index answers like the walk";
  }
}

TEST_F(DescriptionWalkTest, UnreachableTreeGivesNothingAndIsRetried) {
  Devnode("ROOT\\A", "{K}\\0001", "A");
  M->Fail("CM_Locate_DevNodeA", kv::CR_FAILURE, 1);
  kv::TkvDriverKeyIndex index;
  EXPECT_EQ(index.Description("{K}\\0001"), "");
  EXPECT_EQ(index.Description("{K}\\0001"), "A");
  M->Fail("CM_Locate_DevNodeA", kv::CR_FAILURE, 1);
  EXPECT_EQ(kv::GetDriverKeyDescription("{K}\\0001"), "");
  EXPECT_EQ(kv::GetDriverKeyDescription("{K}\\0001"), "A");
}

TEST_F(DescriptionWalkTest, WithoutSetupServicesNothingIsFound) {
  Devnode("ROOT\\A", "{K}\\0001", "A");
  M->RemoveLibrary("SetupAPI.dll");
  EXPECT_EQ(kv::GetDriverKeyDescription("{K}\\0001"), "");
  EXPECT_EQ(kv::TkvDriverKeyIndex().Description("{K}\\0001"), "");
}

}  // namespace
}  // namespace kvtest
