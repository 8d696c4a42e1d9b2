// Enumeration of the devices of a setup class into device records, and the
// related-device ids.
#include <thread>

#include "simfixture.h"

namespace kvtest {
namespace {

using EnumTest = SimTest;

TEST_F(EnumTest, RecordCarriesPropertiesKeyAndIds) {
  kv::TkvSimDevnode& hub = Device("USB\\ROOT_HUB\\4&1", kUsbClass, "{36FC9E60-C465-11CF-8056-444553540000}\\0001");
  kv::TkvSimDevnode& serial =
      Device("USB\\VID_067B&PID_2303\\5&1", kPortsClass, "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0002", &hub);
  M->SetString(kv::HKEY_LOCAL_MACHINE, serial.HardwareKey, "PortName", "COM3");
  M->SetString(kv::HKEY_LOCAL_MACHINE, serial.HardwareKey, "SymbolicName", "\\??\\USB#VID_067B&PID_2303#5&1#{a5dc}");
  Device("USB\\VID_1\\A", kUsbClass, "{36FC9E60-C465-11CF-8056-444553540000}\\0003", &hub);
  Device("USB\\VID_2\\B", kUsbClass, "{36FC9E60-C465-11CF-8056-444553540000}\\0004", &hub);

  auto ports = Enum(kPortsClass);
  ASSERT_EQ(ports->Count(), 1) << M->Dump();
  const kv::TkvDevice& r = Record(*ports, 0);
  EXPECT_EQ(ports->Strings(0), "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0002");
  EXPECT_EQ(r.DriverKey, ports->Strings(0));
  EXPECT_EQ(r.Service, "svc");
  EXPECT_EQ(r.PdoName, "\\Device\\PDO-02");
  EXPECT_EQ(r.Description, "Description of USB\\VID_067B&PID_2303\\5&1");
  EXPECT_EQ(r.Manufacturer, "Maker");
  EXPECT_TRUE(r.ClassGuid == kPortsClass);
  // The kernel names the key below the control set it really is.
  EXPECT_EQ(r.RegistryKey, "SYSTEM\\ControlSet001\\Enum\\USB\\VID_067B&PID_2303\\5&1\\Device Parameters");
  EXPECT_EQ(r.PortName, "COM3");
  EXPECT_EQ(r.FileName, "\\??\\USB#VID_067B&PID_2303#5&1#{a5dc}");
  EXPECT_EQ(r.InstanceId, "USB\\VID_067B&PID_2303\\5&1");
  EXPECT_EQ(r.DevInst, serial.Handle);
  EXPECT_EQ(r.ChildIds, "");
  EXPECT_EQ(r.Name, "");

  auto usb = Enum(kUsbClass);
  ASSERT_EQ(usb->Count(), 3);
  // Two bus-relation children: one separator between them, none at the end.
  EXPECT_EQ(Record(*usb, 0).ChildIds, "USB\\VID_067B&PID_2303\\5&1;USB\\VID_1\\A;USB\\VID_2\\B");
}

TEST_F(EnumTest, ClassesAppendInCallOrderAndEmptyClassAddsNothing) {
  Device("USB\\A\\1", kUsbClass, "{U}\\0000");
  Device("HID\\B\\1", kHidClass, "{H}\\0000");
  Device("USB\\C\\1", kUsbClass, "{U}\\0001");
  kv::TStringList list(true);
  list.Add("existing");
  kv::EnumDevices(&kPortsClass, true, true, false, list);
  EXPECT_EQ(list.Count(), 1);
  kv::EnumDevices(&kHidClass, true, true, false, list);
  kv::EnumDevices(&kUsbClass, true, true, false, list);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Strings(0), "existing");
  EXPECT_EQ(list.Strings(1), "{H}\\0000");
  EXPECT_EQ(list.Strings(2), "{U}\\0000");
  EXPECT_EQ(list.Strings(3), "{U}\\0001");
}

TEST_F(EnumTest, UnusualDevicesStillGiveRecords) {
  kv::TkvSimDevnode& absent = Device("USB\\GONE\\1", kUsbClass, "{U}\\0009");
  absent.Present = false;
  kv::TkvSimDevnode& sizeZero = Device("USB\\ZERO\\1", kUsbClass, "{U}\\0001");
  sizeZero.InstanceIdSizeZero = true;
  kv::TkvSimMachine::DevnodeSpec noKey;
  noKey.InstanceId = "USB\\NOKEY\\1";
  noKey.ClassGuid = kUsbClass;
  noKey.WithHardwareKey = false;
  M->AddDevnode(noKey);
  kv::TkvSimDevnode& longDesc = Device("USB\\LONG\\1", kUsbClass, "{U}\\0003");
  M->SetProperty(longDesc, kv::SPDRP_DEVICEDESC, std::string(512, 'x'));
  kv::TkvSimDevnode& fits = Device("USB\\FITS\\1", kUsbClass, "{U}\\0004");
  M->SetProperty(fits, kv::SPDRP_DEVICEDESC, std::string(511, 'y'));

  auto list = Enum(kUsbClass);
  ASSERT_EQ(list->Count(), 4) << "absent devices are not listed";
  const kv::TkvDevice& zero = Record(*list, 0);
  EXPECT_EQ(zero.DriverKey, "{U}\\0001");
  EXPECT_EQ(zero.InstanceId, "");
  EXPECT_EQ(zero.DevInst, 0u);
  const kv::TkvDevice& nokey = Record(*list, 1);
  EXPECT_EQ(nokey.DriverKey, "") << "a property that cannot be read stays empty";
  EXPECT_EQ(nokey.RegistryKey, "");
  EXPECT_EQ(nokey.FileName, "");
  EXPECT_EQ(nokey.InstanceId, "USB\\NOKEY\\1");
  EXPECT_EQ(Record(*list, 2).Description, "") << "512 characters and the zero do not fit 512 bytes";
  EXPECT_EQ(Record(*list, 3).Description, std::string(511, 'y'));
}

TEST_F(EnumTest, InterfacesGiveTheDevicePath) {
  const kv::GUID iface = Guid("{4266AEE3-A7D8-4DD2-B979-D64FB674F68A}");
  kv::TkvSimDevnode& board = Device("USB\\VID_16C0&PID_05DC\\KV1", kUsbClass, "{U}\\0001");
  board.Interfaces.push_back({iface, "\\\\?\\usb#vid_16c0&pid_05dc#kv1#{4266aee3}"});
  kv::TkvSimDevnode& other = Device("USB\\VID_16C0&PID_05DC\\KV2", kUsbClass, "{U}\\0002");
  other.Interfaces.push_back({iface, std::string(300, 'p')});
  Device("USB\\PLAIN\\1", kUsbClass, "{U}\\0003");

  kv::TStringList byInterface(true);
  kv::EnumDevices(&iface, true, false, true, byInterface);
  ASSERT_EQ(byInterface.Count(), 2);
  EXPECT_EQ(Record(byInterface, 0).DriverKey, "{U}\\0001");
  EXPECT_EQ(Record(byInterface, 0).FileName, "\\\\?\\usb#vid_16c0&pid_05dc#kv1#{4266aee3}");
  EXPECT_EQ(Record(byInterface, 1).FileName, std::string(300, 'p')) << "a long path is read whole";

  kv::TStringList byDevice(true);
  kv::EnumDevices(&iface, true, true, true, byDevice);
  ASSERT_EQ(byDevice.Count(), 2);
  EXPECT_EQ(Record(byDevice, 0).InstanceId, "USB\\VID_16C0&PID_05DC\\KV1");
  EXPECT_EQ(Record(byDevice, 0).FileName, "\\\\?\\usb#vid_16c0&pid_05dc#kv1#{4266aee3}");
}

// A failing service call leaves the field it reads empty (or, early on, no
// records at all), and everything else as it was.
TEST_F(EnumTest, EveryFailingServiceCallEmptiesItsFieldOnly) {
  kv::TkvSimDevnode& hub = Device("USB\\HUB\\1", kUsbClass, "{U}\\0000");
  M->SetString(kv::HKEY_LOCAL_MACHINE, hub.HardwareKey, "PortName", "COM7");
  Device("USB\\DEV\\1", kUsbClass, "{U}\\0001", &hub).Interfaces.push_back({kUsbClass, "\\\\?\\dev"});
  using TField = std::string (*)(const kv::TkvDevice&);
  struct TCase {
    const char* Op;
    int Records;   // 0: the enumeration gives up; 1: by interface (the device only); 2: the hub too
    TField Field;  // what the call reads, empty in every record
  };
  const TField none = nullptr;
  const TCase cases[] = {
      {"SetupDiGetClassDevsA", 0, none},
      {"SetupDiEnumDeviceInfo", 0, none},
      {"LoadLibraryA", 0, none},
      {"GetProcAddress", 0, none},
      {"SetupDiGetDeviceRegistryPropertyA", 2,
       [](const kv::TkvDevice& d) { return d.DriverKey + d.Service + d.PdoName + d.Description + d.Manufacturer; }},
      {"SetupDiOpenDevRegKey", 2, [](const kv::TkvDevice& d) { return d.RegistryKey + d.PortName; }},
      {"ZwQueryKey", 2, [](const kv::TkvDevice& d) { return d.RegistryKey + d.PortName; }},
      {"RegOpenKeyExA", 2, [](const kv::TkvDevice& d) { return d.PortName; }},
      {"RegQueryValueExA", 2, [](const kv::TkvDevice& d) { return d.PortName; }},
      {"SetupDiGetDeviceInstanceIdA", 2, [](const kv::TkvDevice& d) { return d.InstanceId + d.ChildIds; }},
      {"CM_Get_Device_ID_List_SizeA", 2, [](const kv::TkvDevice& d) { return d.ChildIds; }},
      {"CM_Get_Device_ID_ListA", 2, [](const kv::TkvDevice& d) { return d.ChildIds; }},
      {"SetupDiEnumDeviceInterfaces", 1, [](const kv::TkvDevice& d) { return d.FileName; }},
      {"SetupDiGetDeviceInterfaceDetailA", 1, [](const kv::TkvDevice& d) { return d.FileName; }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Op);
    kv::UnloadSetupApi();  // bound afresh, so that the binding's calls can fail too
    M->ClearFailures();
    M->Fail(c.Op, kv::ERROR_GEN_FAILURE);
    const bool byInterface = c.Records == 1;
    auto list = Enum(kUsbClass, byInterface);
    ASSERT_EQ(list->Count(), c.Records) << M->Dump();
    for (int i = 0; i < list->Count(); ++i) {
      EXPECT_EQ(c.Field(Record(*list, i)), "") << "record " << i;
      // What the failing call does not read is still there.
      EXPECT_FALSE(Record(*list, i).InstanceId.empty() && std::string(c.Op) != "SetupDiGetDeviceInstanceIdA");
      EXPECT_FALSE(Record(*list, i).Description.empty() && std::string(c.Op) != "SetupDiGetDeviceRegistryPropertyA");
    }
  }
  // Without failures every field above has a value somewhere.
  M->ClearFailures();
  auto whole = Enum(kUsbClass);
  ASSERT_EQ(whole->Count(), 2);
  EXPECT_EQ(Record(*whole, 0).PortName, "COM7");
  EXPECT_EQ(Record(*whole, 0).ChildIds, "USB\\DEV\\1");
  EXPECT_NE(Record(*whole, 0).RegistryKey, "");
  EXPECT_NE(Record(*whole, 0).PdoName, "");
  EXPECT_EQ(Enum(kUsbClass, true)->ObjectAs<kv::TkvDevice>(0)->FileName, "\\\\?\\dev");
}

// Reports the size of a device's id list, then unplugs a device before the
// list is read, as a USB device may be pulled between the two calls.
kv::TkvSimDevnode* gUnplugAfterSize = nullptr;
kv::CONFIGRET KVAPI SizeThenUnplug(kv::ULONG* length, kv::LPCSTR filter, kv::ULONG flags) {
  auto* m = dynamic_cast<kv::TkvSimMachine*>(&kv::Machine());
  const kv::CONFIGRET r = m->CM_Get_Device_ID_List_SizeA(length, filter, flags);
  if (gUnplugAfterSize) gUnplugAfterSize->Present = false;
  return r;
}

TEST_F(EnumTest, RelatedIds) {
  kv::TkvSimDevnode& disk = Device("USBSTOR\\DISK\\1", kUsbClass, "{D}\\0000");
  disk.RemovalRelations = {"STORAGE\\VOLUME\\1", "STORAGE\\VOLUME\\2"};
  Device("STORAGE\\VOLUME\\1", kUsbClass, "{V}\\0000", &disk);
  EXPECT_EQ(kv::GetDeviceIdList("USBSTOR\\DISK\\1", "\r\n", false), "STORAGE\\VOLUME\\1\r\nSTORAGE\\VOLUME\\2");
  EXPECT_EQ(kv::GetDeviceIdList("USBSTOR\\DISK\\1", ";", true), "STORAGE\\VOLUME\\1");
  EXPECT_EQ(kv::GetDeviceIdList("STORAGE\\VOLUME\\1", ";", true), "");
  EXPECT_EQ(kv::GetDeviceIdList("NO\\SUCH\\DEVICE", ";", true), "");
}

TEST_F(EnumTest, RelatedIdsOfAListThatShrankBeforeItWasRead) {
  kv::TkvSimDevnode& hub = Device("USB\\HUB\\1", kUsbClass, "{U}\\0000");
  Device("USB\\A\\1", kUsbClass, "{U}\\0001", &hub);
  gUnplugAfterSize = &Device("USB\\B\\1", kUsbClass, "{U}\\0002", &hub);
  M->AddExport("SetupAPI.dll", "CM_Get_Device_ID_List_SizeA", kv::ToFarProc(&SizeThenUnplug));
  // The buffer is larger than the list now in it: no separators for the
  // zeros after the list's end.
  EXPECT_EQ(kv::GetDeviceIdList("USB\\HUB\\1", ";", true), "USB\\A\\1");
  gUnplugAfterSize = nullptr;
}

TEST_F(EnumTest, MultiSzToText) {
  struct Case {
    const char* label;
    std::string buffer;
    long size;
    std::string expected;
  };
  const Case cases[] = {
      {"one item", std::string("abc\0\0", 5), 5, "abc"},
      {"two items", std::string("a\0bc\0\0", 6), 6, "a, bc"},
      {"empty list", std::string("\0", 1), 1, ""},
      {"size 0", std::string(), 0, ""},
      {"size reported short stops early", std::string("ab\0cd\0\0", 7), 4, "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(kv::MultiSzToText(c.buffer.data(), c.size, ", "), c.expected);
  }
  EXPECT_EQ(kv::MultiSzToText(nullptr, 10, ";"), "");
}

TEST_F(EnumTest, SeveralThreadsEnumerateOneMachine) {
  for (int i = 0; i < 20; ++i) Device("USB\\D\\" + std::to_string(i), kUsbClass, "{U}\\" + std::to_string(1000 + i));
  ASSERT_TRUE(kv::LoadSetupApi());  // the binding itself is made on one thread
  std::vector<std::thread> threads;
  std::atomic<int> total{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < 5; ++k) total += Enum(kUsbClass)->Count();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(total.load(), 4 * 5 * 20);
}

}  // namespace
}  // namespace kvtest
