// The driver package: hardware id, fatal errors and log, the values the INF
// gets (it stays a sound INF whatever they are), and the failures that stop a
// package before anything is written. The INF byte for byte, the files of a
// package and the short write are checked by the installation runs.
#include <cmath>
#include <memory>

#include "drivertest.h"
#include "../common/kvtestboard.h"
#include "kvresources.h"
#include "kvusb.h"
#include "kvusbdriver.h"
#include "kvutils.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kv::test {
namespace {

const char* const kBoardKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0042";

struct TFatal {
  DWORD Code, Detail;
  std::string Msg;
  std::size_t LogLinesBefore;
};

// A simulated machine with one device (04B4:1004) whose setup record carries
// Description as its name, a temporary folder and an installer with a log.
class DriverPackageTest : public ::testing::Test {
 protected:
  explicit DriverPackageTest(const std::string& description = "Cypress Board")
      : M(std::make_unique<TkvSimMachine>()), Scope(*M), Usb(*M), Log(nullptr), Driver(nullptr) {
    TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = "USB\\VID_04B4&PID_1004\\0001";
    spec.DriverKey = kBoardKey;
    spec.Description = description;
    spec.Service = "usbser";
    TkvSimUsbDevice d;
    d.IdVendor = 0x04B4;
    d.IdProduct = 0x1004;
    d.DriverKey = kBoardKey;
    AddBoard(*M, Usb, spec, d, "{36FC9E60-C465-11CF-8056-444553540000}\\0900");
    Driver.SetLog(&Log);
    Driver.SetOnFatalError([this](TObject* sender, DWORD code, DWORD detail, const std::string& msg, bool& raise) {
      EXPECT_EQ(sender, &Driver);
      Fatals.push_back({code, detail, msg, Log.Lines.size()});
      raise = Raise;
    });
  }

  // The browser's settings, with its own ids instead of a selected device.
  void BrowserSettings() {
    Driver.SetIdVendor(0x4B4);
    Driver.SetIdProduct(0x1004);
    Driver.SetDriverVersion("7.0.0.1");
    Driver.SetDriverDate(kBrowserDate);
  }

  std::string Package() const { return Temp.Path() + "pkg\\"; }
  std::string PackagePath(const std::string& rel) const { return Temp.Path() + "pkg/" + rel; }
  std::string MakeFolder() {
    EXPECT_EQ(::mkdir((Temp.Path() + "pkg").c_str(), 0700), 0);
    return Package();
  }
  std::string Inf() const { return ReadBytes(PackagePath("kvusb.inf")); }

  std::unique_ptr<TkvSimMachine> M;
  TkvMachineScope Scope;
  TkvSimUsb Usb;
  TTempFolder Temp;
  TTestLog Log;
  TkvUsbDriver Driver;
  std::vector<TFatal> Fatals;
  bool Raise = false;
};

TEST_F(DriverPackageTest, DefaultsTableAndReferencesThatGo) {
  TkvUsbDriver d(nullptr);
  EXPECT_EQ(d.IdVendor(), 0u);
  EXPECT_EQ(d.IdProduct(), 0u);
  EXPECT_EQ(d.DriverVersion(), "8.0.0.1");
  EXPECT_EQ(d.InterfaceGUID(), kDefaultGuid);
  EXPECT_EQ(d.DriverCaption(), "");
  EXPECT_EQ(d.kvUsb(), nullptr);
  EXPECT_NEAR(d.DriverDate(), Now(), 2.0 / 86400);
  EXPECT_EQ(d.CoInstallerFiles().Text(),
            "kvusbbin_x32=i386\\WinUSBCoInstaller2.dll\r\nkvusbwdf_x32=i386\\WdfCoInstaller01009.dll\r\n"
            "kvusbwdfup_x32=i386\\WUDFUpdate_01009.dll\r\nkvusbbin_x64=amd64\\WinUSBCoInstaller2.dll\r\n"
            "kvusbwdf_x64=amd64\\WdfCoInstaller01009.dll\r\nkvusbwdfup_x64=amd64\\WUDFUpdate_01009.dll\r\n"
            "kvusbbin_i64=ia64\\WinUSBCoInstaller2.dll\r\nkvusbwdf_i64=ia64\\WdfCoInstaller01009.dll\r\n"
            "kvusbwdfup_i64=ia64\\WUDFUpdate_01009.dll\r\n");

  // References to components of other owners are let go when those go.
  auto usb = std::make_unique<TkvUSB>(nullptr);
  auto log = std::make_unique<TTestLog>(nullptr);
  d.SetkvUsb(usb.get());
  d.SetLog(log.get());
  usb.reset();
  EXPECT_EQ(d.kvUsb(), nullptr);
  EXPECT_EQ(d.Log(), log.get());
  log.reset();
  EXPECT_EQ(d.Log(), nullptr);
  d.WriteLog(1, "nobody listens");
}

TEST_F(DriverPackageTest, HardwareIdFromTheSelectedDeviceOrTheOwnIds) {
  TkvUSB usb(nullptr);
  usb.RefreshDeviceList();
  ASSERT_EQ(usb.DeviceCount(), 1);
  const struct {
    DWORD Vendor, Product;
    bool Select;
    const char* Id;  // nullptr: "Device is not selected."
  } rows[] = {
      {0x4B4, 0x1004, false, "USB\\VID_04B4&PID_1004"},
      {0xABC, 0xDEF, false, "USB\\VID_0ABC&PID_0DEF"},
      {0x12345, 0x1, false, "USB\\VID_12345&PID_0001"},  // more digits, never cut
      {0x1234, 0x5678, true, "USB\\VID_04B4&PID_1004"},  // the device's ids win
      {0, 0, true, "USB\\VID_04B4&PID_1004"},
      {0x4B4, 0, false, nullptr},
      {0, 0x1004, false, nullptr},
  };
  Driver.SetkvUsb(&usb);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Id ? row.Id : "no id");
    Fatals.clear();
    Log.Lines.clear();
    usb.SetDeviceIndex(row.Select ? 0 : -1);
    Driver.SetIdVendor(row.Vendor);
    Driver.SetIdProduct(row.Product);
    EXPECT_EQ(Driver.GetHardwareId(), row.Id ? row.Id : "");
    if (row.Id) {
      EXPECT_TRUE(Fatals.empty());
      continue;
    }
    // The log line comes before the event; the code is always 14.
    ASSERT_EQ(Fatals.size(), 1u);
    EXPECT_EQ(Fatals[0].Code, 14u);
    EXPECT_EQ(Fatals[0].Detail, 2u);
    EXPECT_EQ(Fatals[0].Msg, "Device is not selected.");
    EXPECT_EQ(Fatals[0].LogLinesBefore, 1u);
    EXPECT_EQ(Log.Lines, (std::vector<TLogLine>{{0, "Fatal Error: 2, Device is not selected."}}));
  }
  // Not suppressed, the fatal error is the framework's exception.
  Raise = true;
  try {
    Driver.GetHardwareId();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Device is not selected.");
  }
}

// What goes into the INF: GUID, description, date, version; each checked in
// the written package, which must stay a sound INF whatever the values. Then
// the co-installer files of the package and what deleting it leaves.
TEST_F(DriverPackageTest, ValuesTheInfGets) {
  BrowserSettings();
  const std::string folder = MakeFolder();
  const struct {
    const char* Name;
    std::string Guid, Caption, Version;
    double Date;
    std::string TrimmedGuid, InfGuid;  // InfGuid "": a new one
    std::string Desc;                  // the device description string
    std::string DriverVer;
  } rows[] = {
      {"browser", kDefaultGuid, "", "7.0.0.1", kBrowserDate, kDefaultGuid, kDefaultGuid, "kvLink Lib WinUSB",
       "12/11/2007,7.0.0.1"},
      {"blanks and lower case", " \t{4266aee3-a7d8-4dd2-b979-d64fb674f68a}\r\n ", "Board", "1.2", 40242.75,
       "{4266aee3-a7d8-4dd2-b979-d64fb674f68a}", kDefaultGuid, "kvLink Lib WinUSB Board", "03/05/2010,1.2"},
      {"new GUID", "  ", "", "1", 2.0, "", "", "kvLink Lib WinUSB", "01/01/1900,1"},
      {"caption naming the GUID", kDefaultGuid, "if %kv_intf_guid%", "1", 0, kDefaultGuid, kDefaultGuid,
       std::string("kvLink Lib WinUSB if ") + kDefaultGuid, "12/30/1899,1"},
      {"caption breaking out", kDefaultGuid, "A \"B\" 100% %KV_HID%\r\n[Strings]\nX=\"", "1", 0, kDefaultGuid,
       kDefaultGuid, "kvLink Lib WinUSB A \"B\" 100% %KV_HID%  [Strings] X=\"", "12/30/1899,1"},
      // The version takes part in the later placeholders (here the empty
      // description); its quote stays one of a pair.
      {"version breaking out", kDefaultGuid, "", "1.0\r\n[Version]\"%KV_DEV_DESCR%", std::nan(""),
       kDefaultGuid, kDefaultGuid, "kvLink Lib WinUSB", "12/30/1899,1.0  [Version]"},
      {"date beyond the calendar", kDefaultGuid, "", "1", 1e300, kDefaultGuid, kDefaultGuid, "kvLink Lib WinUSB",
       "12/31/9999,1"},
  };
  GUID lastNew{};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Driver.SetInterfaceGUID(row.Guid);
    Driver.SetDriverCaption(row.Caption);
    Driver.SetDriverVersion(row.Version);
    Driver.SetDriverDate(row.Date);
    ASSERT_TRUE(Driver.SaveDriverFiles(folder));
    EXPECT_EQ(Driver.InterfaceGUID(), row.TrimmedGuid);
    const std::string inf = Inf();
    ASSERT_EQ(CheckDriverInf(inf, "USB\\VID_04B4&PID_1004"), "");
    TkvInf parsed;
    std::string error;
    ASSERT_TRUE(parsed.Parse(inf, error));
    const std::string guid = GuidToText(Driver.InterfaceGuidValue());
    if (row.InfGuid.empty()) {
      EXPECT_NE(guid, GuidToText(GUID{}));
      EXPECT_NE(guid, GuidToText(lastNew)) << "every package gets a new GUID";
      lastNew = Driver.InterfaceGuidValue();
    } else {
      EXPECT_EQ(guid, row.InfGuid);
    }
    const TkvInfEntry& reg = parsed.Section("Dev_AddReg")->Entries.at(0);
    EXPECT_EQ(reg.Values.at(4), guid);
    for (const TkvInfEntry& e : parsed.Section("Strings")->Entries) {
      if (e.Key == "USB\\MyDevice.DeviceDesc") {
        EXPECT_EQ(e.Values.at(0), row.Desc);
      }
    }
    for (const TkvInfEntry& e : parsed.Section("Version")->Entries) {
      if (e.Key == "DriverVer") {
        EXPECT_EQ(e.Values.at(0) + "," + e.Values.at(1), row.DriverVer);
      }
    }
  }
  EXPECT_TRUE(Fatals.empty());

  // Co-installer files the build carries (resource names in any letter case)
  // go to their processor's folder byte for byte; deleting leaves the folders.
  static const char kBlob[] = "co-\0installer";
  host::RegisterResource("KVUSBBIN_X32", 10, kBlob, sizeof kBlob);
  host::RegisterResource("kvusbwdfup_i64", 10, kBlob, sizeof kBlob);
  Log.Lines.clear();
  const bool saved = Driver.SaveDriverFiles(folder);
  host::UnregisterResource("KVUSBBIN_X32", 10);
  host::UnregisterResource("kvusbwdfup_i64", 10);
  ASSERT_TRUE(saved);
  EXPECT_EQ(Log.Lines, (std::vector<TLogLine>{
                           {2, "kvUsbDriver: Driver file has been created: kvusbbin_x32=i386\\WinUSBCoInstaller2.dll"},
                           {2, "kvUsbDriver: Driver file has been created: kvusbwdfup_i64=ia64\\WUDFUpdate_01009.dll"},
                           {1, "kvUsbDriver: Create files:2"}}));
  EXPECT_EQ(ReadBytes(PackagePath("i386/WinUSBCoInstaller2.dll")), std::string(kBlob, sizeof kBlob));
  EXPECT_EQ(ReadBytes(PackagePath("ia64/WUDFUpdate_01009.dll")), std::string(kBlob, sizeof kBlob));
  Driver.DeleteDriverFiles(folder);
  EXPECT_EQ(Temp.Tree(), (std::vector<std::string>{"pkg/", "pkg/amd64/", "pkg/i386/", "pkg/ia64/"}));

  // The placeholders in any letter case, and only they, are replaced.
  TkvInfValues v;
  v.HardwareId = "HID";
  v.Version = "9";
  v.Date = 40242;
  v.WithCoInstallers = true;
  EXPECT_EQ(InfDateText(-1.25), "12/29/1899");
  EXPECT_EQ(InfDateText(-1e300), "01/01/0001");
  EXPECT_EQ(MakeDriverInf("%kv_hid%|%Kv_Class%|%KV_VER_DATE%|%kv_ver_number%|%KV_DEV_DESCR%|%12%|%KV_HID",
                          v),
            "HID|USB|03/05/2010|9||%12%|%KV_HID");
}

// A device whose name would rewrite the INF gets a sound one all the same.
class DriverPackageOddNameTest : public DriverPackageTest {
 protected:
  DriverPackageOddNameTest() : DriverPackageTest("Board \"7\" 50%\r\nAddService = evil") {}
};

TEST_F(DriverPackageOddNameTest, DeviceNameIsEscaped) {
  TkvUSB usb(nullptr);
  usb.RefreshDeviceList();
  usb.SetDeviceIndex(0);
  Driver.SetkvUsb(&usb);
  ASSERT_TRUE(Driver.SaveDriverFiles(MakeFolder()));
  const std::string inf = Inf();
  ASSERT_EQ(CheckDriverInf(inf, "USB\\VID_04B4&PID_1004"), "");
  EXPECT_NE(inf.find("USB\\MyDevice.DeviceDesc=\"kvLink Lib WinUSB Board \"\"7\"\" 50%%  AddService = evil\"\r\n"),
            std::string::npos)
      << inf;
}

TEST_F(DriverPackageTest, FailuresStopThePackage) {
  BrowserSettings();
  // Not a GUID in braces: nothing is written.
  const std::string folder = MakeFolder();
  for (const char* bad : {"4266AEE3-A7D8-4DD2-B979-D64FB674F68A", "{4266AEE3-A7D8-4DD2-B979-D64FB674F68}",
                          "{4266AEE3-A7D8-4DD2-B979-D64FB674F68G}"}) {
    Fatals.clear();
    Driver.SetInterfaceGUID(bad);
    EXPECT_FALSE(Driver.SaveDriverFiles(folder));
    ASSERT_EQ(Fatals.size(), 1u) << bad;
    EXPECT_EQ(Fatals[0].Detail, 4u);
    EXPECT_EQ(Fatals[0].Msg, "Interface GUID is not correct.");
  }
  EXPECT_EQ(Temp.Tree(), std::vector<std::string>{"pkg/"});

  // A folder that is not there.
  Fatals.clear();
  Driver.SetInterfaceGUID(kDefaultGuid);
  EXPECT_FALSE(Driver.SaveDriverFiles(Temp.Path() + "missing\\"));
  ASSERT_EQ(Fatals.size(), 1u);
  EXPECT_EQ(Fatals[0].Detail, 4u);
  EXPECT_EQ(Fatals[0].Msg, "Creating of temporary path is failed.");
  EXPECT_EQ(Temp.Tree(), std::vector<std::string>{"pkg/"});

}

}  // namespace
}  // namespace kv::test
