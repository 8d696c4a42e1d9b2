// The installation run with the files, temporary folder and message texts of
// Windows (Wine in the test run): against the real setup services, and on a
// simulated 64-bit machine whose stub fails. Either way the run leaves nothing
// in the temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "kvframework.h"
#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvusbdriver.h"
#include "sim/kvsimmachine.h"

extern "C" __declspec(dllimport) int __stdcall SetEnvironmentVariableA(const char* name, const char* value);

namespace {

// A fresh temporary folder for the process while the object lives.
class TTempFolder {
 public:
  TTempFolder() {
    char base[kv::MAX_PATH + 1] = {};
    kv::TkvHost& host = kv::Host();
    const kv::DWORD n = host.GetTempPathA(sizeof base, base);
    FOld.assign(base, n);
    FPath = FOld + "kvdrv" + std::to_string(host.GetTickCount()) + "\\";
    EXPECT_TRUE(host.CreateDirectoryA(FPath.c_str(), nullptr));
    SetEnvironmentVariableA("TMP", FPath.c_str());
    SetEnvironmentVariableA("TEMP", FPath.c_str());
  }
  ~TTempFolder() {
    SetEnvironmentVariableA("TMP", FOld.c_str());
    SetEnvironmentVariableA("TEMP", FOld.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FOld, FPath;
};

// The reason of a failed run as the system words it: its text for the code
// without the closing full stop and line break.
std::string SystemReason(kv::DWORD code) {
  char text[256] = {};
  const kv::DWORD length = kv::Host().FormatMessageA(0x3200, nullptr, code, 0, text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (static_cast<unsigned char>(reason.back()) <= ' ' || reason.back() == '.'))
    reason.pop_back();
  return reason;
}

struct TRunResult {
  std::string Message;  // of the exception that ended the run, "" none
  bool Empty = false;   // the temporary folder afterwards
};

TRunResult InstallOnce(kv::TkvUsbDriver& driver, const TTempFolder& temp) {
  TRunResult r;
  try {
    driver.InstallDriver();
  } catch (const kv::Exception& e) {
    r.Message = e.Message();
  }
  r.Empty = std::filesystem::is_empty(temp.Path());
  return r;
}

TEST(DriverWineTest, RunsOnWindowsFiles) {
  ASSERT_EQ(&kv::Machine(), kv::RealMachine());
  TTempFolder temp;
  char check[kv::MAX_PATH + 1] = {};
  ASSERT_EQ(std::string(check, kv::Host().GetTempPathA(sizeof check, check)), temp.Path());
  kv::TkvUsbDriver driver(nullptr);
  driver.SetIdVendor(0xF00D);
  driver.SetIdProduct(0xBAAD);

  // Wine's driver update reports success for a hardware id that no device
  // has (Windows would answer ERROR_NO_SUCH_DEVINST): the run ends quietly.
  TRunResult r = InstallOnce(driver, temp);
  EXPECT_EQ(r.Message, "");
  EXPECT_TRUE(r.Empty) << "the run leaves nothing behind";

  // Refused by a simulated 64-bit system, whose stub fails with 87: the
  // reason is the system's own text for the code, glued to the message.
  auto sim = std::make_unique<kv::TkvSimMachine>();
  sim->SetWow64(true);
  sim->Fail("UpdateDriverForPlugAndPlayDevicesW", kv::ERROR_INVALID_PARAMETER);
  {
    kv::TkvMachineScope scope(*sim);
    r = InstallOnce(driver, temp);
  }
  const std::string reason = SystemReason(kv::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(reason.empty()) << "Windows has a text for 87";
  EXPECT_EQ(r.Message, "Driver installation failed." + reason);
  EXPECT_TRUE(r.Empty) << "the run leaves nothing behind";
  ASSERT_EQ(sim->StartedCommandLines().size(), 1u);
  const std::string line = sim->StartedCommandLines()[0];
  EXPECT_EQ(line.rfind("\"" + temp.Path() + "kvLinkLib.Tmp.", 0), 0u) << line;
}

}  // namespace
