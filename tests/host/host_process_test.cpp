// The process side of the POSIX host: its own module, resources and version
// record, events, text conversion, debug output, message boxes and COM.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kvplatform.h"
#include "kvresources.h"
#include "posix/kvposixhost.h"

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
  EXPECT_EQ(path.front(), '/');
  EXPECT_NE(path.find("host_test"), std::string::npos);
  EXPECT_NE(H().GetModuleHandleA(nullptr), nullptr);
  // A buffer too small holds the start of the name and a zero.
  char small[5];
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), path.substr(0, 4));
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetModuleHandleA("nosuchmodule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

const char kTemplate[] = "template data";
const unsigned char kBinary[] = {1, 2, 0, 3};

TEST(HostResources, FoundWithoutRegardToCaseAndById) {
  host::RegisterResource("KvHostTemplate", RT_RCDATA_ID, kTemplate, sizeof kTemplate - 1);
  host::RegisterResource("#4711", RT_RCDATA_ID, kBinary, sizeof kBinary);
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
  EXPECT_EQ(H().LoadResource(self, reinterpret_cast<HRSRC>(const_cast<char*>(kTemplate))), nullptr);
}

TEST(HostResources, TheVersionRecordAnswersLikeWindows) {
  host::RegisterVersion(2, 7, 13, 420);
  host::RegisterVersionString("ProductName", "Quorvex");
  host::RegisterVersionString("FileDescription", "USB device browser");
  const std::string path = OwnPath();

  for (const std::string& name : {path, path.substr(path.rfind('/') + 1), std::string("HOST_TEST.EXE")}) {
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
    // Any language and code page, any case of the key.
    ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\StringFileInfo\\04070000\\filedescription", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "USB device browser");
    ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    EXPECT_EQ(length, 4u);
    EXPECT_FALSE(H().VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\Missing", &value, &length));
    EXPECT_EQ(value, nullptr);
  }

  // A buffer too small gets the start of the record, as Windows cuts it.
  const DWORD size = H().GetFileVersionInfoSizeA(path.c_str(), nullptr);
  std::vector<char> whole(size), small(size - 1);
  ASSERT_TRUE(H().GetFileVersionInfoA(path.c_str(), 0, size, whole.data()));
  EXPECT_TRUE(H().GetFileVersionInfoA(path.c_str(), 0, size - 1, small.data()));
  EXPECT_EQ(std::string(small.data(), small.size()), std::string(whole.data(), small.size()));

  // The record is also the RT_VERSION resource #1.
  EXPECT_NE(H().FindResourceA(nullptr, MakeIntResourceA(1), MakeIntResourceA(RT_VERSION_ID)), nullptr);
}

TEST(HostResources, OtherFilesHaveNoVersionRecord) {
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetFileVersionInfoSizeA("/bin/sh", nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetFileVersionInfoSizeA("/tmp/kv-no-such-file.exe", nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---- events --------------------------------------------------------------------

TEST(HostEvents, AutoResetReleasesOneWaitManualResetStaysSignaled) {
  HANDLE automatic = H().CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = H().CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(automatic, nullptr);
  ASSERT_NE(manual, nullptr);
  // Host handles are never small numbers, -1 or each other.
  for (HANDLE h : {automatic, manual}) {
    EXPECT_GT(reinterpret_cast<ULONG_PTR>(h), 0xFFFFu);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
  }
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
  EXPECT_EQ(H().WaitForSingleObject(reinterpret_cast<HANDLE>(4), 0), WAIT_FAILED);
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

// ---- text in the ANSI code page ------------------------------------------------

struct TCodePageCase {
  const char* Label;
  unsigned CodePage;
  std::u16string Text;
  std::string Ansi;
};

TEST(HostText, WideTextBecomesAnsiTextOfTheCodePage) {
  const TCodePageCase cases[] = {
      {"ASCII", 1252, u"USB Hub", "USB Hub"},
      {"1252 euro and quotes", 1252, u"\u20AC \u201Cx\u201D \u2122", "\x80 \x93x\x94 \x99"},
      {"1252 Latin-1 letters", 1252, u"Gr\u00FC\u00DFe", "Gr\xFC\xDF" "e"},
      {"1252 unassigned bytes keep their C1 control", 1252, u"\u0081\u009D", "\x81\x9D"},
      {"1252 lacks Cyrillic", 1252, u"\u0416a", "?a"},
      {"a pair is one character", 1252, u"a\U0001F600b", "a?b"},
      {"unpaired halves", 1252, std::u16string(u"x") + char16_t(0xD800) + u"y" + char16_t(0xDC00), "x?y?"},
      {"1251 Cyrillic", 1251, u"\u0416\u0451", "\xC6\xB8"},
      {"1251 lacks umlauts", 1251, u"\u00FC", "?"},
      {"1250 central European", 1250, u"\u0141\u00F3d\u017A", "\xA3\xF3" "d\x9F"},
      {"UTF-8", 65001, u"\u00FC\u20AC\U0001F600", "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"UTF-8 unpaired half", 65001, std::u16string(1, char16_t(0xDBFF)), "?"},
  };
  const unsigned saved = host::AnsiCodePage();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    host::SetAnsiCodePage(c.CodePage);
    EXPECT_EQ(H().WideToAnsi(c.Text.data(), c.Text.size()), c.Ansi);
  }
  host::SetAnsiCodePage(saved);
}

TEST(HostText, ExactlyTheGivenLengthIsConvertedAndUnknownPagesAreIgnored) {
  const std::u16string text(u"ab\0cd", 5);
  EXPECT_EQ(H().WideToAnsi(text.data(), text.size()), std::string("ab\0cd", 5));
  EXPECT_EQ(H().WideToAnsi(text.data(), 1), "a");
  EXPECT_EQ(H().WideToAnsi(text.data(), 0), "");
  const unsigned saved = host::AnsiCodePage();
  host::SetAnsiCodePage(437);
  EXPECT_EQ(host::AnsiCodePage(), saved);
}

// ---- debug output, message boxes, COM, time ---------------------------------

TEST(HostOutput, DebugTextAndMessageBoxesAreCaptured) {
  host::ClearDebugOutput();
  H().OutputDebugStringA("kvLink Lib OK!");
  H().OutputDebugStringW(u"WOW64: \u20AC");
  EXPECT_EQ(host::DebugOutput(), "kvLink Lib OK!WOW64: \x80");
  host::ClearDebugOutput();
  EXPECT_EQ(host::DebugOutput(), "");

  host::ClearMessageBoxes();
  EXPECT_EQ(H().MessageBoxA(H().GetForegroundWindow(), "error", "Error", MB_ICONERROR), 1);
  ASSERT_EQ(host::MessageBoxes().size(), 1u);
  EXPECT_EQ(host::MessageBoxes()[0].Text, "error");
  EXPECT_EQ(host::MessageBoxes()[0].Caption, "Error");
  EXPECT_EQ(host::MessageBoxes()[0].Type, MB_ICONERROR);
  host::ClearMessageBoxes();
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
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);
  DWORD other = 0;
  std::thread([&] { other = H().GetCurrentThreadId(); }).join();
  EXPECT_NE(other, H().GetCurrentThreadId());
  EXPECT_EQ(H().GetCurrentThreadId(), H().GetCurrentThreadId());
}

}  // namespace
