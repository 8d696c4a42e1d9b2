// The installation run on simulated 32-bit and 64-bit machines, as one table:
// the log lines in order, the INF Windows was given (byte for byte for fixed
// properties, with and without co-installer files), the stub's command line,
// the fatal error each failure ends with, what the run leaves in the
// temporary folder, and what a reload shows of the device afterwards.
#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <memory>
#include <regex>

#include "drivertest.h"
#include "../common/kvtestboard.h"
#include "kvresources.h"
#include "kvusb.h"
#include "kvusbdriver.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

namespace kv::test {
namespace {

const char* const kHwid = "USB\\VID_04B4&PID_1004";

// Log lines of every run that gets as far as the installation.
const std::vector<TLogLine> kSaved = {{1, "kvUsbDriver: Start WinUSB driver installation ..."},
                                      {1, "kvUsbDriver: Create files:0"},
                                      {1, "kvUsbDriver: Files are saved. Try to install ..."}};

std::vector<TLogLine> operator+(std::vector<TLogLine> a, const std::vector<TLogLine>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct TRun;
using TSetup = std::function<void(TRun&)>;

// A machine with a driverless board (04B4:1004) on port 1 of a root hub, and
// an installer with the browser's settings and its own ids.
struct TRun {
  std::unique_ptr<TkvSimMachine> M = std::make_unique<TkvSimMachine>();
  TkvMachineScope Scope{*M};
  TkvSimUsb Usb{*M};
  TTempFolder Temp;
  TTestLog Log{nullptr};
  TkvUsbDriver Driver{nullptr};
  std::vector<std::pair<DWORD, std::string>> Fatals;
  std::function<bool(DWORD detail)> Raise = [](DWORD) { return true; };

  TRun() {
    TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = "USB\\VID_04B4&PID_1004\\5&1A2B3C4D&0&1";
    spec.Description = "USB Device";
    spec.HardwareIds = {"USB\\VID_04B4&PID_1004&REV_0100", kHwid};
    spec.WithHardwareKey = false;
    TkvSimUsbDevice d;
    d.IdVendor = 0x04B4;
    d.IdProduct = 0x1004;
    d.CurrentConfiguration = 0;
    AddBoard(*M, Usb, spec, d, "{36FC9E60-C465-11CF-8056-444553540000}\\0900");
    Driver.SetLog(&Log);
    Driver.SetIdVendor(0x04B4);
    Driver.SetIdProduct(0x1004);
    Driver.SetDriverVersion("7.0.0.1");
    Driver.SetDriverDate(kBrowserDate);
    Driver.SetOnFatalError([this](TObject*, DWORD code, DWORD detail, const std::string& msg, bool& raise) {
      EXPECT_EQ(code, 14u);
      Fatals.emplace_back(detail, msg);
      raise = Raise(detail);
    });
  }

  // The service a reload shows for the board ("" when it has none), and
  // whether it then opens under WinUSB.
  std::string ServiceAfterReload(bool& opens) {
    TkvUSB usb(nullptr);
    usb.SetOnFatalError([](TObject*, DWORD, DWORD, const std::string&, bool& raise) { raise = false; });
    usb.RefreshDeviceList();
    for (int i = 0; i < usb.DeviceCount(); ++i) {
      auto* device = dynamic_cast<TkvUsbDevice*>(usb.GetDevice(i));
      if (!device || device->IdVendor != 0x04B4 || device->IdProduct != 0x1004) continue;
      usb.SetDeviceIndex(i);
      usb.Open();
      opens = usb.IsOpened();
      usb.Close();
      return device->Service;
    }
    return "(gone)";
  }
};

struct TCoInstallers {
  static constexpr char kBlob[] = "co-installer";
  TCoInstallers() {
    host::RegisterResource("kvusbbin_x32", 10, kBlob, sizeof kBlob);
    host::RegisterResource("kvusbwdf_x32", 10, kBlob, sizeof kBlob);
  }
  ~TCoInstallers() {
    host::UnregisterResource("kvusbbin_x32", 10);
    host::UnregisterResource("kvusbwdf_x32", 10);
  }
};

// Makes every file write beyond a few bytes short while it lives.
struct TShortWrites {
  struct rlimit Old {};
  void (*OldHandler)(int);
  TShortWrites() {
    ::getrlimit(RLIMIT_FSIZE, &Old);
    OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = Old;
    small.rlim_cur = 100;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~TShortWrites() {
    ::setrlimit(RLIMIT_FSIZE, &Old);
    std::signal(SIGXFSZ, OldHandler);
  }
};

TEST(DriverInstallTest, RunsOnSimulatedMachines) {
  const std::vector<TLogLine> kX64 = {{2, "kvUsbDriver: Driver installation needs x64 mode."},
                                      {2, "kvUsbDriver: x64 stub finished."},
                                      {1, "kvUsbDriver: Instalaltion is finished."}};
  const std::vector<TLogLine> kCoInstallerLines = {
      {1, "kvUsbDriver: Start WinUSB driver installation ..."},
      {2, "kvUsbDriver: Driver file has been created: kvusbbin_x32=i386\\WinUSBCoInstaller2.dll"},
      {2, "kvUsbDriver: Driver file has been created: kvusbwdf_x32=i386\\WdfCoInstaller01009.dll"},
      {1, "kvUsbDriver: Create files:2"},
      {1, "kvUsbDriver: Files are saved. Try to install ..."}};
  const struct {
    const char* Name;
    bool Wow64;
    TSetup Setup;
    std::vector<TLogLine> Log;  // the fatal error's log line last, if any
    std::string Fatal;          // "" none
    std::string Inf;            // the INF newdev got, as an expected file; "" not looked at
    bool Stub;                  // the stub ran with the package's command line
    std::string Service;        // after a reload
    int Updates;                // driver updates the machine saw
  } rows[] = {
      {"32-bit", false, nullptr, kSaved, "", "expected-plain.inf", false, "WinUSB", 1},
      {"64-bit through the stub", true, nullptr, kSaved + kX64, "", "expected-plain.inf", true, "WinUSB", 2},
      {"32-bit with co-installer files", false, nullptr, kCoInstallerLines, "", "expected-coinstallers.inf", false,
       "WinUSB", 1},
      // The package has the x86 files only: the 64-bit system asks in vain.
      {"64-bit, co-installer files missing", true, nullptr,
       kCoInstallerLines + kX64 +
           std::vector<TLogLine>{{0, "Fatal Error: 4, Driver installation failed.The system cannot find the file "
                                     "specified"}},
       "Driver installation failed.The system cannot find the file specified", "expected-coinstallers.inf", true, "",
       2},
      {"32-bit, no device has the id", false,
       [](TRun& r) { r.Driver.SetIdProduct(0xBEEF); },
       kSaved + std::vector<TLogLine>{{1, "kvUsbDriver: Instalaltion is finished."},
                                      {0, "Fatal Error: 4, Driver installation failed.#E000020B. Device not found."}},
       "Driver installation failed.#E000020B. Device not found.", "", false, "", 1},
      {"64-bit, the stub fails with 87", true,
       [](TRun& r) { r.M->Fail("UpdateDriverForPlugAndPlayDevicesW", ERROR_INVALID_PARAMETER); },
       kSaved + kX64 +
           std::vector<TLogLine>{{0, "Fatal Error: 4, Driver installation failed.The parameter is incorrect"}},
       "Driver installation failed.The parameter is incorrect", "", true, "", 2},
      {"64-bit, authentication refused", true,
       [](TRun& r) { r.M->Fail("UpdateDriverForPlugAndPlayDevicesW", 0xE0000242); },
       kSaved + kX64 +
           std::vector<TLogLine>{{0, "Fatal Error: 4, Driver installation failed.#E0000242. Driver authentication "
                                     "error."}},
       "Driver installation failed.#E0000242. Driver authentication error.", "", true, "", 2},
      {"temporary folder too long", false,
       [](TRun& r) { ::setenv("TMPDIR", (r.Temp.Path() + std::string(300, 'x')).c_str(), 1); },
       {{1, "kvUsbDriver: Start WinUSB driver installation ..."}, {0, "Fatal Error: 4, Temporary path is wrong."}},
       "Temporary path is wrong.", "", false, "", 0},
      {"no device selected", false,
       [](TRun& r) { r.Driver.SetIdVendor(0); },
       {{1, "kvUsbDriver: Start WinUSB driver installation ..."},
        {1, "kvUsbDriver: Create files:0"},
        {0, "Fatal Error: 2, Device is not selected."}},
       "Device is not selected.", "", false, "", 0},
      {"interface GUID not a GUID", false,
       [](TRun& r) { r.Driver.SetInterfaceGUID("{nonsense}"); },
       {{1, "kvUsbDriver: Start WinUSB driver installation ..."},
        {0, "Fatal Error: 4, Interface GUID is not correct."}},
       "Interface GUID is not correct.", "", false, "", 0},
      {"INF cannot be written", false, nullptr,  // made short in the loop
       {{1, "kvUsbDriver: Start WinUSB driver installation ..."},
        {1, "kvUsbDriver: Create files:0"},
        {0, "Fatal Error: 5, Creating file error."}},
       "Creating file error.", "", false, "", 0},
      // Suppressed in the package, raising in the installation: the exception
      // becomes Detail 14 and leaves the run after the clean-up.
      {"exception in the installation", false,
       [](TRun& r) {
         r.Driver.SetIdVendor(0);
         r.Raise = [n = 0](DWORD) mutable { return ++n > 1; };
       },
       {{1, "kvUsbDriver: Start WinUSB driver installation ..."},
        {1, "kvUsbDriver: Create files:0"},
        {0, "Fatal Error: 2, Device is not selected."},
        {1, "kvUsbDriver: Files are saved. Try to install ..."},
        {0, "Fatal Error: 2, Device is not selected."},
        {0, "Fatal Error: 14, Device is not selected."}},
       "Device is not selected.", "", false, "", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TRun r;
    r.M->SetWow64(row.Wow64);
    std::unique_ptr<TCoInstallers> coInstallers;
    if (std::string(row.Name).find("co-installer") != std::string::npos) coInstallers = std::make_unique<TCoInstallers>();
    if (row.Setup) row.Setup(r);
    std::string message;
    {
      std::unique_ptr<TShortWrites> shortWrites;
      if (std::string(row.Name) == "INF cannot be written") shortWrites = std::make_unique<TShortWrites>();
      try {
        r.Driver.InstallDriver();
      } catch (const Exception& e) {
        message = e.Message();
      }
    }
    EXPECT_EQ(message, row.Fatal);
    EXPECT_EQ(r.Log.Lines, row.Log);
    EXPECT_EQ(r.Temp.Tree(), std::vector<std::string>{}) << "the run leaves nothing behind";

    const std::vector<TkvSimDriverUpdate> updates = r.M->DriverUpdates();
    ASSERT_EQ(static_cast<int>(updates.size()), row.Updates);
    if (!updates.empty()) {
      // The package folder is named after the tick count, in hexadecimal.
      const std::string inf = updates[0].InfPath;
      std::smatch m;
      ASSERT_TRUE(std::regex_match(inf, m, std::regex("(.*kvLinkLib\\.Tmp\\.[1-9A-F][0-9A-F]*\\\\)kvusb\\.inf")))
          << inf;
      const std::string folder = m[1];
      EXPECT_EQ(folder.rfind(r.Temp.Path(), 0), 0u) << folder;
      EXPECT_EQ(updates[0].HardwareId, r.Driver.IdProduct() == 0xBEEF ? "USB\\VID_04B4&PID_BEEF" : kHwid);
      EXPECT_EQ(updates[0].Flags, 1u) << "forced";
      EXPECT_FALSE(updates[0].From64Bit);
      if (!row.Inf.empty()) {
        EXPECT_EQ(updates.back().InfText, ReadBytes(std::string(KV_DRIVER_TEST_DATA "/") + row.Inf));
      }
      const std::vector<std::string> started = r.M->StartedCommandLines();
      if (row.Stub) {
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0], "\"" + folder + "kvX64stub.exe\" \"" + kHwid + "\" \"" + inf + "\"");
        EXPECT_TRUE(updates[1].From64Bit);
        EXPECT_EQ(updates[1].InfPath, inf);
      } else {
        EXPECT_TRUE(started.empty());
      }
    }
    bool opens = false;
    EXPECT_EQ(r.ServiceAfterReload(opens), row.Service);
    EXPECT_EQ(opens, !row.Service.empty()) << "opens under WinUSB";
  }
}

}  // namespace
}  // namespace kv::test
