// The process side of the host: its own module, resources (host.rc) and
// version record, events, text conversion and COM, as Windows answers them:
// natively the POSIX host, under Wine the Win32 host.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host_test_support.h"
#include "kvplatform.h"
#include "kvresources.h"

namespace {

using namespace kv;

TkvHost& H() { return NativeHost(); }

constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

std::string OwnPath() {
  char path[4096];
  const DWORD n = H().GetModuleFileNameA(nullptr, path, sizeof path);
  EXPECT_GT(n, 0u);
  return std::string(path, n);
}

// ---- module and resources ----------------------------------------------------

TEST(HostModule, TheProgramsOwnFileAndHandle) {
  const std::string path = OwnPath();
  EXPECT_NE(path.find("host_test"), std::string::npos);
  EXPECT_NE(H().GetModuleHandleA(nullptr), nullptr);
  // A buffer too small holds the start of the name and a zero.
  char small[5];
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small, 4), path.substr(0, 4));
#ifndef _WIN32  // Wine's ANSI call leaves the cut name without its zero
  EXPECT_EQ(small[4], '\0');
#endif
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetModuleHandleA("nosuchmodule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// The items of host.rc.
const char kTemplate[] = "template data";
const unsigned char kBinary[] = {1, 2, 0, 3};

TEST(HostResources, FoundWithoutRegardToCaseAndById) {
  HMODULE self = H().GetModuleHandleA(nullptr);

  HRSRC res = H().FindResourceA(self, "KVHOSTTEMPLATE", RT_RCDATA);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(H().SizeofResource(self, res), sizeof kTemplate - 1);
  HGLOBAL loaded = H().LoadResource(self, res);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(std::memcmp(H().LockResource(loaded), kTemplate, sizeof kTemplate - 1), 0);

  res = H().FindResourceA(nullptr, MakeIntResourceA(4711), MakeIntResourceA(RT_RCDATA_ID));
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(H().SizeofResource(nullptr, res), sizeof kBinary);
  EXPECT_NE(H().FindResourceA(nullptr, "#4711", "#10"), nullptr);

  SetLastError(kSentinel);
  EXPECT_EQ(H().FindResourceA(self, "KvHostNothing", RT_RCDATA), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_EQ(H().FindResourceA(self, "KvHostTemplate", MakeIntResourceA(23)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST(HostResources, TheVersionRecordAnswersLikeWindows) {
  const std::string path = OwnPath();
  const std::string bare = path.substr(path.find_last_of("/\\") + 1);

  for (const std::string& name : {path, bare, std::string("HOST_TEST.EXE")}) {
    SCOPED_TRACE(name);
    DWORD handle = kSentinel;
    const DWORD size = H().GetFileVersionInfoSizeA(name.c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(H().GetFileVersionInfoA(name.c_str(), 0, size, block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, (2u << 16) | 7u);
    EXPECT_EQ(fixed.dwFileVersionLS, (13u << 16) | 420u);

    ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\ProductName", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "Quorvex");
    // Any case of the language block and of the key.
    ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\StringFileInfo\\040904e4\\filedescription", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "USB device browser");
    ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    EXPECT_EQ(length, 4u);
    EXPECT_FALSE(H().VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\Missing", &value, &length));
#ifndef _WIN32  // Wine leaves the pointer of a failed query as it was
    EXPECT_EQ(value, nullptr);
#endif
  }

  // A buffer too small gets the start of the record, as Windows cuts it.
  const DWORD size = H().GetFileVersionInfoSizeA(path.c_str(), nullptr);
  std::vector<char> whole(size), small(size - 1);
  ASSERT_TRUE(H().GetFileVersionInfoA(path.c_str(), 0, size, whole.data()));
  EXPECT_TRUE(H().GetFileVersionInfoA(path.c_str(), 0, size - 1, small.data()));
  WORD recordLength = 0;
  std::memcpy(&recordLength, whole.data(), sizeof recordLength);
  const std::size_t compared = std::min<std::size_t>(recordLength, small.size());
  EXPECT_EQ(std::string(small.data(), compared), std::string(whole.data(), compared));

  // The record is also the RT_VERSION resource #1.
  EXPECT_NE(H().FindResourceA(nullptr, MakeIntResourceA(1), MakeIntResourceA(RT_VERSION_ID)), nullptr);
}

TEST(HostResources, AMissingFileHasNoVersionRecord) {
  const std::string folder = kvtest::MakeTempFolder("kvhostver");
  ASSERT_FALSE(folder.empty());
  const std::string missing = folder + kvtest::TempSeparator() + "kv-no-such-file.exe";
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetFileVersionInfoSizeA(missing.c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(H().RemoveDirectoryA(folder.c_str()));
}

// ---- events --------------------------------------------------------------------

TEST(HostEvents, AutoResetReleasesOneWaitManualResetStaysSignaled) {
  HANDLE automatic = H().CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = H().CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(automatic, nullptr);
  ASSERT_NE(manual, nullptr);
  EXPECT_NE(automatic, INVALID_HANDLE_VALUE);
  EXPECT_NE(automatic, manual);

  EXPECT_EQ(H().WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(H().WaitForSingleObject(automatic, 20), WAIT_TIMEOUT);
  EXPECT_EQ(H().WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(H().SetEvent(manual));
  EXPECT_EQ(H().WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(H().WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(H().ResetEvent(manual));
  EXPECT_EQ(H().WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  std::thread setter([&] {
    H().Sleep(20);
    H().SetEvent(automatic);
  });
  EXPECT_EQ(H().WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
  setter.join();

  EXPECT_TRUE(H().CloseHandle(automatic));
  EXPECT_TRUE(H().CloseHandle(manual));
  SetLastError(kSentinel);
  EXPECT_EQ(H().WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(H().SetEvent(manual));
}

TEST(HostEvents, AnAutoResetEventWakesExactlyOneOfSeveralWaiters) {
  HANDLE event = H().CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (H().WaitForSingleObject(event, 300) == WAIT_OBJECT_0) ++woken;
    });
  H().Sleep(50);
  H().SetEvent(event);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 1);
  H().CloseHandle(event);
}

TEST(HostEvents, AWaitForSeveralTakesTheFirstSignalledAndOnlyIt) {
  HANDLE automatic = H().CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE manual = H().CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE both[2] = {automatic, manual};
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, FALSE, 20), WAIT_TIMEOUT);
  H().SetEvent(manual);
  H().SetEvent(automatic);
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0) << "the lowest index wins";
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1) << "the auto-reset one was taken";
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1) << "the manual one stays signalled";
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, TRUE, 20), WAIT_TIMEOUT) << "not all of them";
  std::thread setter([&] {
    H().Sleep(20);
    H().SetEvent(automatic);
  });
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(H().WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "a wait for all takes the auto-reset one too";
  H().CloseHandle(automatic);
  SetLastError(kSentinel);
  EXPECT_EQ(H().WaitForMultipleObjects(2, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  H().CloseHandle(manual);
}

TEST(HostEvents, NamedEventsAreOneObject) {
  HANDLE first = H().CreateEventA(nullptr, TRUE, FALSE, "kv-host-test-event");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = H().CreateEventA(nullptr, FALSE, FALSE, "kv-host-test-event");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_NE(first, second);
  H().SetEvent(second);
  EXPECT_EQ(H().WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  H().CloseHandle(first);
  H().CloseHandle(second);
}

// ---- text conversion, COM, time -----------------------------------------------

TEST(HostText, ExactlyTheGivenLengthIsConverted) {
  const std::u16string text(u"ab\0cd", 5);
  EXPECT_EQ(H().WideToAnsi(text.data(), text.size()), std::string("ab\0cd", 5));
  EXPECT_EQ(H().WideToAnsi(text.data(), 1), "a");
  EXPECT_EQ(H().WideToAnsi(text.data(), 0), "");
}

TEST(HostCom, InitialisationIsCountedPerThread) {
  EXPECT_EQ(H().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(H().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(H().CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), static_cast<HRESULT>(0x80010106u));
  HRESULT other = -1;
  std::thread([&] {
    other = H().CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    H().CoUninitialize();
  }).join();
  EXPECT_EQ(other, S_OK);
  H().CoUninitialize();
  H().CoUninitialize();
  EXPECT_EQ(H().CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  H().CoUninitialize();
}

TEST(HostCom, GuidsAreRandomVersionFour) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    GUID g;
    ASSERT_EQ(H().CoCreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    seen.insert(std::string(reinterpret_cast<const char*>(&g), sizeof g));
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(HostTime, TicksAdvanceWithSleepAndThreadsHaveTheirOwnIds) {
  const DWORD before = H().GetTickCount();
  H().Sleep(30);
  const DWORD elapsed = H().GetTickCount() - before;
  EXPECT_GE(elapsed, 14u);  // Windows' tick count moves in steps of up to 16 ms
  EXPECT_LT(elapsed, 5000u);
  DWORD other = 0;
  std::thread([&] { other = H().GetCurrentThreadId(); }).join();
  EXPECT_NE(other, H().GetCurrentThreadId());
  EXPECT_EQ(H().GetCurrentThreadId(), H().GetCurrentThreadId());
}

}  // namespace
