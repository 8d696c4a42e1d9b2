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

// Wine's entry points are present but, except for a few, stop the process
// when called: they are looked up, not called.
TEST(Win32WinUsb, TheSystemsLibraryIsBoundWithEveryEntryTheLibraryUses) {
  kv::TkvMachineScope scope(*kv::RealMachine());
  ASSERT_TRUE(kv::LoadWinUsb()) << "last error " << kv::GetLastError();
  const unsigned loads = kv::WinUsbLoadCount();
  ASSERT_TRUE(kv::LoadWinUsb());
  EXPECT_EQ(kv::WinUsbLoadCount(), loads) << "loaded once";
  const kv::HMODULE module = kv::RealMachine()->LoadLibraryA("winusb.dll");
  ASSERT_NE(module, nullptr);
  for (const char* entry : {"WinUsb_Initialize", "WinUsb_Free", "WinUsb_ReadPipe", "WinUsb_WritePipe",
                            "WinUsb_SetPipePolicy", "WinUsb_GetOverlappedResult", "WinUsb_AbortPipe"})
    EXPECT_NE(kv::RealMachine()->GetProcAddress(module, entry), nullptr) << entry;
  kv::RealMachine()->FreeLibrary(module);
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
