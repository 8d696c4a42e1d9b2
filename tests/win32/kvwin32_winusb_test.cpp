// WinUSB of the real system (Wine's winusb.dll in CI): the binding finds the
// library and its entry points, and the USB device component reports a
// device path that does not exist as a failed open, naming the driver rule.
#include "kvusb.h"
#include "kvusbw32.h"
#include "kvplatform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A USB device component whose list holds one record made by the test.
class TListedUsb : public kv::TkvUSB {
 public:
  explicit TListedUsb(kv::TkvUsbDevice& device) : kv::TkvUSB(nullptr) {
    AddDevice(&device);
    SetDeviceIndex(0);
  }
};

TEST(Win32WinUsb, TheSystemsLibraryIsBoundAndRefusesWhatIsNoDevice) {
  kv::TkvMachineScope scope(*kv::RealMachine());
  ASSERT_TRUE(kv::LoadWinUsb()) << "last error " << kv::GetLastError();
  kv::WINUSB_INTERFACE_HANDLE h = nullptr;
  kv::SetLastError(0);
  EXPECT_FALSE(kv::WinUsb_Initialize(kv::INVALID_HANDLE_VALUE, &h));
  EXPECT_NE(kv::GetLastError(), kv::ERROR_PROC_NOT_FOUND) << "the entry point was found and called";
  kv::BYTE value = 1;
  EXPECT_FALSE(kv::WinUsb_SetPipePolicy(nullptr, 0x81, kv::AUTO_CLEAR_STALL, 1, &value));
  EXPECT_NE(kv::GetLastError(), kv::ERROR_PROC_NOT_FOUND);
}

TEST(Win32WinUsb, AMissingDevicePathIsAFailedOpenWithTheDriverRule) {
  kv::TkvMachineScope scope(*kv::RealMachine());
  for (const char* service : {"WinUSB", "winusb", "usbser"}) {
    SCOPED_TRACE(service);
    kv::TkvUsbDevice device;
    device.Name = "Missing board";
    device.Service = service;
    device.FileName = "\\??\\USB#VID_16C0&PID_05DC#KV-NOT-THERE#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    TListedUsb usb(device);
    ASSERT_EQ(usb.SelectedDevice(), &device);
    kv::DWORD code = 0, detail = 0;
    std::string message;
    usb.SetOnFatalError([&](kv::TObject*, kv::DWORD e, kv::DWORD d, const std::string& text, bool& raise) {
      code = e;
      detail = d;
      message = text;
      raise = false;
    });
    usb.SetActive(true);
    EXPECT_FALSE(usb.Active());
    EXPECT_EQ(code, 8u);
    EXPECT_TRUE(detail == kv::ERROR_FILE_NOT_FOUND || detail == kv::ERROR_PATH_NOT_FOUND)
        << "CreateFileA's error, not " << detail;
    EXPECT_EQ(message, std::string(service) == "usbser" ? "USB device open is failed. Driver is unknown."
                                                        : "USB device open is failed.");
  }
}

}  // namespace
