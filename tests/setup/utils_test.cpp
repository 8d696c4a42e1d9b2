// System utilities on the simulated machine and the native host.
#include <cstdio>

#include "kvutils.h"
#include "simfixture.h"

namespace kvtest {
namespace {

using UtilsTest = SimTest;

TEST(UtilsTextTest, GuidToText) {
  EXPECT_EQ(kv::GuidToText(Guid("{4266aee3-a7d8-4dd2-b979-d64fb674f68a}")), "{4266AEE3-A7D8-4DD2-B979-D64FB674F68A}");
  EXPECT_EQ(kv::GuidToText(kv::GUID{}), "{00000000-0000-0000-0000-000000000000}");
  kv::GUID g{0x0000000F, 0x00A0, 0x0001, {0, 1, 2, 3, 4, 5, 6, 0xFF}};
  EXPECT_EQ(kv::GuidToText(g), "{0000000F-00A0-0001-0001-0203040506FF}");
}

TEST(UtilsTextTest, DevicePathToId) {
  EXPECT_EQ(kv::DevicePathToId("\\??\\USB#VID_0781&PID_5567#4C5300012309#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            "USB\\VID_0781&PID_5567\\4C5300012309\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(kv::DevicePathToId("_??_STORAGE#Volume#1&30a96598 \r\n"), "STORAGE\\Volume\\1&30a96598");
  EXPECT_EQ(kv::DevicePathToId("\\\\?\\usb#x"), "\\\\?\\usb\\x") << "only \\??\\ is a prefix to drop";
  EXPECT_EQ(kv::DevicePathToId("\\??\\"), "");
}

TEST_F(UtilsTest, GetDriveLetters) {
  M->SetDrive('A', kv::DRIVE_REMOVABLE);
  M->SetDrive('C', kv::DRIVE_FIXED);
  M->SetDrive('D', kv::DRIVE_CDROM);
  M->SetDrive('R', kv::DRIVE_RAMDISK);
  M->SetDrive('Z', kv::DRIVE_REMOTE);
  M->SetDrive('Y', kv::DRIVE_UNKNOWN);
  EXPECT_EQ(kv::GetDriveLetters(false, false, false, false, false, "\r\n"), "");
  EXPECT_EQ(kv::GetDriveLetters(false, true, true, true, true, "\r\n"), "A\r\nC\r\nD\r\nR");
  EXPECT_EQ(kv::GetDriveLetters(true, false, false, false, false, ","), "Z,");
  M->Fail("GetLogicalDrives", kv::ERROR_ACCESS_DENIED);
  EXPECT_EQ(kv::GetDriveLetters(true, true, true, true, true, ","), "");
}

TEST_F(UtilsTest, WindowsVersionText) {
  struct Case {
    kv::DWORD major, minor, build, platform;
    const char* sp;
    const char* expected;
  };
  const Case cases[] = {
      {5, 1, 2600, kv::VER_PLATFORM_WIN32_NT, "Service Pack 3", "Windows XP [5.1.2600] Service Pack 3"},
      {4, 0, 0x04000395, kv::VER_PLATFORM_WIN32_WINDOWS, "", "Windows 95 [4.0.917] "},
      {4, 10, 0x040A0B6A, kv::VER_PLATFORM_WIN32_WINDOWS, " A ", "Windows 98 [4.10.2922]  A "},
      {4, 90, 3000, kv::VER_PLATFORM_WIN32_WINDOWS, "", "Windows Me [4.90.3000] "},
      {4, 0, 1381, kv::VER_PLATFORM_WIN32_NT, "Service Pack 6", "Windows NT 4 [4.0.1381] Service Pack 6"},
      {3, 51, 1057, kv::VER_PLATFORM_WIN32_NT, "", "Windows NT 3.51 [3.51.1057] "},
      {5, 0, 2195, kv::VER_PLATFORM_WIN32_NT, "", "Windows 2000 [5.0.2195] "},
      {5, 2, 3790, kv::VER_PLATFORM_WIN32_NT, "", "Windows 2003 [5.2.3790] "},
      {5, 3, 1, kv::VER_PLATFORM_WIN32_NT, "", "Windows  [5.3.1] "},
      {6, 0, 6000, kv::VER_PLATFORM_WIN32_NT, "", "Windows Vista [6.0.6000] "},
      {6, 1, 7601, kv::VER_PLATFORM_WIN32_NT, "Service Pack 1", "Windows 7 [6.1.7601] Service Pack 1"},
      {6, 2, 9200, kv::VER_PLATFORM_WIN32_NT, "", "Windows 8 [6.2.9200] "},
      {6, 3, 9600, kv::VER_PLATFORM_WIN32_NT, "", "Windows 8.1 [6.3.9600] "},
      {6, 4, 9841, kv::VER_PLATFORM_WIN32_NT, "", "Windows Longhorn [6.4.9841] "},
      {10, 0, 19045, kv::VER_PLATFORM_WIN32_NT, "", "Windows 10 [10.0.19045] "},
      {10, 0, 21999, kv::VER_PLATFORM_WIN32_NT, "", "Windows 10 [10.0.21999] "},
      {10, 0, 22000, kv::VER_PLATFORM_WIN32_NT, "", "Windows 11 [10.0.22000] "},
      {10, 1, 22000, kv::VER_PLATFORM_WIN32_NT, "", "Windows  [10.1.22000] "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    M->SetVersion(c.major, c.minor, c.build, c.platform, c.sp);
    EXPECT_EQ(kv::GetVersionText("", ""), c.expected);
  }
}

TEST_F(UtilsTest, OwnVersionRecordAndResources) {
  char path[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetModuleFileNameA(nullptr, path, sizeof(path)), 0u);
  EXPECT_EQ(kv::GetVersionText(path, ""), "7.0.0.1");
  EXPECT_EQ(kv::GetVersionText(path, "Version %u.%u (Build %u.%u)"), "Version 7.0 (Build 0.1)");
  EXPECT_EQ(kv::GetVersionText(path, "%s"), "") << "a format that does not fit gives no text";
  EXPECT_EQ(kv::GetVersionText("no-such-file.exe", ""), "");

  const std::string expected("kv setup resource\r\nsecond line\0with a zero", 42);
  EXPECT_EQ(kv::LoadResourceText("KVTEST_DATA"), expected);
  EXPECT_EQ(kv::LoadResourceText("kvtest_data"), expected) << "names ignore letter case";
  EXPECT_EQ(kv::LoadResourceText("KVTEST_NONE"), "");

  char temp[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetTempPathA(sizeof(temp), temp), 0u);
  const std::string file = std::string(temp) + "kvtest_resource.bin";
  kv::Host().DeleteFileA(file.c_str());
  EXPECT_FALSE(kv::SaveResourceToFile("KVTEST_NONE", file));
  EXPECT_EQ(kv::Host().GetFileAttributesA(file.c_str()), kv::INVALID_FILE_ATTRIBUTES) << "no file for a missing name";
  ASSERT_TRUE(kv::SaveResourceToFile("KvTest_Data", file));
  std::string content = "stale";
  ASSERT_TRUE(kv::ReadWholeFile(file, content));
  EXPECT_EQ(content, expected);  // the zero and what follows it included
  // Longer than one read, and read to its end.
  const std::string big(200000, 'k');
  const std::string bigFile = std::string(temp) + "kvtest_big.bin";
  ASSERT_TRUE(kv::WriteWholeFile(bigFile, big.data(), static_cast<kv::DWORD>(big.size())));
  ASSERT_TRUE(kv::ReadWholeFile(bigFile, content));
  EXPECT_EQ(content, big);
  kv::Host().DeleteFileA(bigFile.c_str());
  EXPECT_FALSE(kv::ReadWholeFile(bigFile, content));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(content, "");
  EXPECT_FALSE(kv::SaveResourceToFile("KVTEST_DATA", std::string(temp) + "no\\such\\folder\\x.bin"));
  kv::Host().DeleteFileA(file.c_str());
}

TEST_F(UtilsTest, RunProcessLeavesOutcomeInLastError) {
  M->AddProgram("kvX64stub.exe", 3);
  std::string seenDirectory;
  M->AddProgram("tool.exe", [&](const std::string&, const std::string& dir) {
    seenDirectory = dir;
    return kv::DWORD{0};
  });
  kv::SetLastError(0xdeadbeef);
  kv::RunProcess("\"C:\\Temp\\kvX64stub.exe\" 1 2 \"USB\\VID_1\"", "C:\\Temp", true, true);
  EXPECT_EQ(kv::GetLastError(), 3u);
  kv::SetLastError(0xdeadbeef);
  kv::RunProcess("C:\\Temp\\kvX64stub.exe", "", false, true);
  EXPECT_EQ(kv::GetLastError(), 0u) << "without waiting the exit code is not known";
  kv::RunProcess("tool 7", "D:\\Work", true, false);
  EXPECT_EQ(kv::GetLastError(), 0u);
  EXPECT_EQ(seenDirectory, "D:\\Work");
  kv::SetLastError(0xdeadbeef);
  kv::RunProcess("missing.exe", "", true, true);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(M->StartedCommandLines().size(), 3u);
}

}  // namespace
}  // namespace kvtest
