// Device nodes: descriptor values, power attributes, pipes, string
// descriptors and setup records, including devices that send malformed data.
#include "topofixture.h"

namespace kvtest {
namespace {

class DeviceTest : public TopologyTest {
 protected:
  DeviceTest() : Hub(&Host(0, 4)) {}

  // One device on port 1 with driver key 20 (its devnode made once), refreshed.
  kv::TkvUsbDevice& Only(const std::function<void(kv::TkvSimUsbDevice&)>& setUp) {
    kv::TkvSimUsbDevice& s = Device(*Hub, 1, FirstDevice ? 20 : 0, "Device");
    s.DriverKey = UsbKey(20);
    FirstDevice = false;
    setUp(s);
    Refresh();
    return *DeviceAt(1);
  }

  // Whether the host converts with code page 1252, as the text cases expect.
  static bool Ansi1252() {
    const kv::WCHAR euro = 0x20AC;
    return kv::Host().WideToAnsi(&euro, 1) == "\x80";
  }

  kv::TkvSimUsbHub* Hub;
  bool FirstDevice = true;
};

TEST_F(DeviceTest, DescriptorValuesAndPower) {
  struct TCase {
    const char* Label;
    kv::WORD Bcd;
    kv::BYTE Attributes, MaxPower, MaxPacket0;
    int Major, Minor, Power, Packet0;
    bool Bus, Self, Wake;
  };
  const TCase cases[] = {
      {"1.1, bus powered with wake-up", 0x0110, 0xA0, 50, 16, 1, 1, 100, 16, true, false, true},
      {"2.0, self powered", 0x0200, 0x40, 50, 64, 2, 0, 0, 64, false, true, false},
      {"bus and self powered", 0x0200, 0xC0, 250, 9, 2, 0, 500, 9, true, true, false},
      // USB 3: bMaxPacketSize0 is an exponent, bMaxPower counts 8 mA.
      {"3.0, bus powered", 0x0300, 0x80, 112, 9, 3, 0, 896, 512, true, false, false},
      {"3.2, packet size 2^15", 0x0320, 0x80, 1, 15, 3, 2, 8, 32768, true, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    kv::TkvUsbDevice& d = Only([&](kv::TkvSimUsbDevice& s) {
      s.BcdUsb = c.Bcd;
      s.ConfigAttributes = c.Attributes;
      s.ConfigMaxPower = c.MaxPower;
      s.IdVendor = 0x0A5C;
      s.IdProduct = 0x2110;
      s.MaxPacketSize0 = c.MaxPacket0;
      s.Speed = 1;
    });
    EXPECT_EQ(d.VersionMajor, c.Major);
    EXPECT_EQ(d.VersionMinor, c.Minor);
    EXPECT_EQ(d.MaxPower(), c.Power);
    EXPECT_EQ(d.IsBusPowered(), c.Bus);
    EXPECT_EQ(d.IsSelfPowered(), c.Self);
    EXPECT_EQ(d.IsRemoteWakeup(), c.Wake);
    EXPECT_EQ(d.IdVendor, 0x0A5C);
    EXPECT_EQ(d.IdProduct, 0x2110);
    EXPECT_EQ(d.MaxPacketSize, c.Packet0);
    EXPECT_EQ(d.Speed, 1);
    ASSERT_TRUE(d.ConfigDescriptor);
    EXPECT_EQ(d.ConfigDescriptor->Length(), 9u) << "only the configuration descriptor's own bLength";
  }
}

// Short configuration descriptors are read as far as they came; what did not
// come reads as 0.
TEST_F(DeviceTest, ShortConfigurationDescriptorsReadAsDelivered) {
  struct TCase {
    std::vector<kv::BYTE> Reply;
    bool Bus, Wake;
    int Power;
  };
  const TCase cases[] = {
      {{0, 2}, false, false, 0},                               // bLength 0
      {{1, 2}, false, false, 0},                               // bLength 1
      {{5, 2, 9, 0, 1}, false, false, 0},                      // neither bmAttributes nor bMaxPower
      {{8, 2, 9, 0, 1, 1, 0, 0xA0}, true, true, 0},            // bmAttributes, no bMaxPower
      {{255, 2, 9, 0, 1, 1, 0, 0x80, 50}, true, false, 100},  // claims 255, sends nine: the nine count
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Reply[0]));
    kv::TkvUsbDevice& d = Only([&](kv::TkvSimUsbDevice& s) { s.RawDescriptors[0x0200] = c.Reply; });
    EXPECT_EQ(d.IsBusPowered(), c.Bus);
    EXPECT_EQ(d.IsRemoteWakeup(), c.Wake);
    EXPECT_EQ(d.MaxPower(), c.Power);
  }
  kv::TkvUsbDevice& none = Only([](kv::TkvSimUsbDevice& s) { s.NumConfigurations = 0; });
  EXPECT_FALSE(none.ConfigDescriptor) << "the device has no configuration descriptor";
  EXPECT_EQ(none.MaxPower(), 0);
}

TEST_F(DeviceTest, Pipes) {
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) {
    s.Pipes = {{0x81, 2, 512, 0, 0}, {0x02, 2, 512, 0, 0}, {0x83, 3, 8, 10, 0}};
  });
  ASSERT_EQ(d.PipeCount(), 3);
  const std::string port = Port(1)->FileName;
  const char* const files[] = {"\\PIPE00", "\\PIPE01", "\\PIPE02"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const kv::TkvUsbPipe& p = *d.GetPipe(i);
    EXPECT_EQ(p.Name, "Pipe [" + std::to_string(i + 1) + "]");
    EXPECT_EQ(p.FileName, port + files[i]);
    EXPECT_EQ(p.ListIndex, i);
    EXPECT_EQ(p.Device, &d);
  }
  EXPECT_EQ(d.GetPipe(0)->Description, "Pipe [1] (IN endpoint)");
  EXPECT_EQ(d.GetPipe(1)->Description, "Pipe [2] (OUT endpoint)");
  EXPECT_TRUE(d.GetPipe(0)->IsIn());
  EXPECT_FALSE(d.GetPipe(0)->IsOut());
  EXPECT_EQ(d.GetPipe(0)->TransferType(), 3);
  EXPECT_EQ(d.GetPipe(2)->TransferType(), 4);
  EXPECT_EQ(d.GetPipe(2)->MaxPacketSize(), 8);
  EXPECT_EQ(d.GetPipe(2)->EndpointAddress(), 0x83);
  EXPECT_EQ(d.GetPipe(3), nullptr);
  EXPECT_EQ(d.GetPipe(-1), nullptr);

  kv::TkvUsbPipe bare;
  EXPECT_EQ(bare.TransferType(), 0);
  EXPECT_FALSE(bare.IsIn());
  EXPECT_FALSE(bare.IsOut());
  EXPECT_EQ(bare.MaxPacketSize(), 0);
}

TEST_F(DeviceTest, OpenPipeCountsBeyondTheReply) {
  kv::TkvUsbDevice& many = Only([](kv::TkvSimUsbDevice& s) {
    for (int i = 0; i < 31; ++i) s.Pipes.push_back({static_cast<kv::BYTE>(0x81 + i % 15), 2, 64, 0, 0});
  });
  EXPECT_EQ(Port(1)->ConnectionInfo.NumberOfOpenPipes(), 31u);
  EXPECT_EQ(many.PipeCount(), 30) << "only the entries the buffer holds";
  EXPECT_EQ(many.GetPipe(29)->FileName.substr(many.GetPipe(29)->FileName.size() - 7), "\\PIPE29");

  kv::TkvUsbDevice& liar = Only([](kv::TkvSimUsbDevice& s) {
    s.Pipes = {{0x81, 2, 64, 0, 0}, {0x02, 2, 64, 0, 0}};
    s.ReportedOpenPipes = 0xFFFFFFFFu;
  });
  EXPECT_EQ(liar.PipeCount(), 2) << "only the entries the hub sent";

  kv::TkvUsbDevice& cut = Only([](kv::TkvSimUsbDevice& s) {
    s.Pipes = {{0x81, 2, 64, 0, 0}, {0x02, 2, 64, 0, 0}};
    s.ShortReplies[kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX] = 35 + 11 + 5;
  });
  EXPECT_EQ(cut.PipeCount(), 1) << "a pipe entry cut in half is no pipe";
}

TEST_F(DeviceTest, ConnectionReplyShorterThanItsHeader) {
  Hub->ShortReplies[kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX] = 34;
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) { s.Speed = 2; });
  EXPECT_EQ(d.Speed, 1) << "the older request answered instead";
  Hub->ShortReplies[kv::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION] = 20;
  Refresh();
  EXPECT_EQ(Port(1)->Description, "Error");
}

TEST_F(DeviceTest, SpeedCodesBeyondTheNames) {
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) { s.Speed = 3; });
  EXPECT_EQ(d.Speed, 3);
  EXPECT_EQ(kv::UsbSpeedName(3), "3");
  EXPECT_EQ(kv::UsbSpeedName(2), "High");
  EXPECT_EQ(kv::UsbTransferTypeName(7), "Unknown");
}

TEST_F(DeviceTest, StringsStopAtTheFirstEmptyOne) {
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) {
    s.SetString(1, "Maker");
    s.SetString(2, "Product");
    s.SetString(3, "Third");
    s.SetString(4, "");
    s.SetString(6, "SERIAL6");
    s.IManufacturer = 1;
    s.IProduct = 2;
    s.ISerialNumber = 6;
  });
  EXPECT_EQ(d.Strings.Count(), 0) << "a device with a driver reads no strings while refreshing";
  EXPECT_EQ(d.SerialNumber, "");
  d.ReadStrings();
  ASSERT_EQ(d.Strings.Count(), 3);
  EXPECT_EQ(d.Strings.Strings(2), "Third");
  EXPECT_EQ(d.Manufacturer, "Maker");
  EXPECT_EQ(d.Description, "Product");
  EXPECT_EQ(d.SerialNumber, "SERIAL6") << "requested on its own";
}

TEST_F(DeviceTest, StringsReadOneByOneWhenTheListIsEmpty) {
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) {
    s.SetString(1, "");
    s.SetString(2, "M");
    s.SetString(3, "P");
    s.SetString(4, "S");
    s.IManufacturer = 2;
    s.IProduct = 3;
    s.ISerialNumber = 4;
  });
  d.ReadStrings();
  EXPECT_EQ(d.Strings.Count(), 0);
  EXPECT_EQ(d.Manufacturer, "M");
  EXPECT_EQ(d.Description, "P");
  EXPECT_EQ(d.SerialNumber, "S");
}

TEST_F(DeviceTest, AtMostSixteenStringsListed) {
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) {
    for (int i = 1; i <= 20; ++i) s.SetString(i, "S" + std::to_string(i));
    s.IProduct = 20;
  });
  const std::string manufacturer = d.Manufacturer;
  d.ReadStrings();
  EXPECT_EQ(d.Strings.Count(), 16);
  EXPECT_EQ(d.Strings.Strings(15), "S16");
  EXPECT_EQ(d.Description, "S20");
  EXPECT_EQ(d.Manufacturer, manufacturer) << "a zero index leaves the field alone";
}

TEST_F(DeviceTest, StringTexts) {
  struct TCase {
    const char* Label;
    std::vector<kv::BYTE> Raw;  // string descriptor 1 as the device sends it
    std::string Expected;
  };
  const TCase cases[] = {
      {"plain", {8, 3, 'A', 0, 'B', 0, 'C', 0}, "ABC"},
      {"odd length: the half character is dropped", {7, 3, 'A', 0, 'B', 0, 'C'}, "AB"},
      {"bLength 1", {1, 3}, ""},
      {"bLength 0", {0, 3}, ""},
      {"bLength 255, ten bytes sent", {255, 3, 'W', 0, 'X', 0, 'Y', 0, 'Z', 0}, "WXYZ"},
      {"ends at a zero character", {8, 3, 'A', 0, 0, 0, 'C', 0}, "A"},
      {"code page 1252", {10, 3, 0xE4, 0, 0xAC, 0x20, 0xA9, 0x03, 0x3D, 0xD8}, "\xE4\x80??"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    if (c.Expected.find('?') != std::string::npos && !Ansi1252()) continue;
    kv::TkvUsbDevice& d = Only([&](kv::TkvSimUsbDevice& s) { s.RawDescriptors[0x0301] = c.Raw; });
    EXPECT_EQ(d.ReadString(kv::INVALID_HANDLE_VALUE, 1), "") << "no hub handle, no string";
    d.ReadStrings();
    EXPECT_EQ(d.Strings.Count(), c.Expected.empty() ? 0 : 1);
    if (!c.Expected.empty()) {
      EXPECT_EQ(d.Strings.Strings(0), c.Expected);
    }
  }
  if (!Ansi1252()) GTEST_SKIP() << "the host's ANSI code page is not 1252";
  kv::TkvUsbDevice& wide = Only([](kv::TkvSimUsbDevice& s) { s.SetString(1, "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80"); });
  wide.ReadStrings();
  ASSERT_EQ(wide.Strings.Count(), 1);
  // Outside the code page: '?' (Windows writes one per UTF-16 unit of a pair).
  const std::string text = wide.Strings.Strings(0);
  EXPECT_EQ(text.substr(0, 5), "Gr\xFC\xDF ");
  EXPECT_TRUE(text.size() > 5 && text.find_first_not_of('?', 5) == std::string::npos) << text;
}

TEST_F(DeviceTest, ReadStringsWithoutHubKeepsFields) {
  kv::TkvUsbDevice& d = Only([](kv::TkvSimUsbDevice& s) {
    s.SetString(1, "M");
    s.IManufacturer = 1;
  });
  d.ReadStrings();
  ASSERT_EQ(d.Strings.Count(), 1);
  Hub->SetOpenable(false);
  d.ReadStrings();
  EXPECT_EQ(d.Strings.Count(), 0);
  EXPECT_EQ(d.Manufacturer, "M");
  Hub->SetOpenable(true);
  Usb.Fail(kv::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, kv::ERROR_GEN_FAILURE);
  d.ReadStrings();
  EXPECT_EQ(d.Strings.Count(), 0);
}

TEST_F(DeviceTest, SetupRecordGivesTheIdentity) {
  kv::TkvSimDevnode* rootNode = nullptr;
  kv::TkvSimUsbHub& hub = Host(1, 2, &rootNode);
  Device(hub, 1, 60, "Composite", rootNode, "usbccgp");
  kv::TkvSimDevnode& node = *M->FindDevnode("USB\\VID_16C0&PID_60\\60");
  Devnode("USB\\MI_00\\1", "", "first", &node);
  Devnode("USB\\MI_01\\1", "", "second", &node);
  M->SetString(kv::HKEY_LOCAL_MACHINE, node.HardwareKey, "SymbolicName", "\\??\\USB#VID_16C0&PID_60#60#{a5dc}");
  // A driverless device, and a driverless record of the USB class that must
  // not be taken for it.
  Device(hub, 2, 0, "");
  Devnode("USB\\NODRIVER\\1", "", "driverless record");
  Refresh();

  kv::TkvUsbDevice& d = *DeviceAt(1, 1);
  EXPECT_EQ(d.Service, "usbccgp");
  EXPECT_EQ(d.InstanceId, "USB\\VID_16C0&PID_60\\60");
  EXPECT_EQ(d.DevInst, node.Handle);
  EXPECT_TRUE(d.ClassGuid == Guid(kUsbClassText));
  EXPECT_EQ(d.RegistryKey, "SYSTEM\\ControlSet001\\Enum\\USB\\VID_16C0&PID_60\\60\\Device Parameters");
  EXPECT_EQ(d.FileName, "\\??\\USB#VID_16C0&PID_60#60#{a5dc}");
  EXPECT_EQ(d.ChildIds, "USB\\MI_00\\1\r\nUSB\\MI_01\\1");
  EXPECT_EQ(d.Manufacturer, "Maker of Composite");
  EXPECT_EQ(d.Disks, "");

  kv::TkvUsbDevice& stray = *DeviceAt(2, 1);
  EXPECT_EQ(stray.InstanceId, "");
  EXPECT_EQ(stray.DevInst, 0u);
  EXPECT_EQ(stray.Manufacturer, "");
}

}  // namespace
}  // namespace kvtest
