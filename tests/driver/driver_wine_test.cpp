// The installation run against the real setup services of Windows (Wine in
// the test run): a hardware id that no device has ends the run with
// "Driver installation failed." and the system's own text for the error, and
// the run leaves nothing in the temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kvframework.h"
#include "kvplatform.h"
#include "kvsetupapi.h"
#include "kvusbdriver.h"

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

TEST(DriverWineTest, NoDeviceHasTheHardwareId) {
  ASSERT_EQ(&kv::Machine(), kv::RealMachine());
  TTempFolder temp;
  char check[kv::MAX_PATH + 1] = {};
  ASSERT_EQ(std::string(check, kv::Host().GetTempPathA(sizeof check, check)), temp.Path());

  // What the system answers for this id, and its text.
  const std::string hardwareId = "USB\\VID_F00D&PID_BAAD";
  ASSERT_FALSE(kv::InstallDriverForDevice(hardwareId, temp.Path() + "none.inf"));
  const kv::DWORD code = kv::GetLastError();
  ASSERT_NE(code, 0u);
  char text[256] = {};
  const kv::DWORD length = kv::Host().FormatMessageA(0x3200, nullptr, code, 0, text, sizeof text, nullptr);
  std::string reason = kv::SetupErrorText(code);
  if (length) {
    reason.assign(text, length);
    while (!reason.empty() && (static_cast<unsigned char>(reason.back()) <= ' ' || reason.back() == '.'))
      reason.pop_back();
  }

  kv::TkvUsbDriver driver(nullptr);
  driver.SetIdVendor(0xF00D);
  driver.SetIdProduct(0xBAAD);
  std::string message;
  try {
    driver.InstallDriver();
  } catch (const kv::Exception& e) {
    message = e.Message();
  }
  EXPECT_EQ(message, "Driver installation failed." + reason) << "code " << std::hex << code;
  EXPECT_TRUE(length > 0) << "Wine has a text for " << std::hex << code << ": " << message;
  EXPECT_TRUE(std::filesystem::is_empty(temp.Path())) << "the run leaves nothing behind";
}

}  // namespace
