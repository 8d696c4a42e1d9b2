// What only the POSIX host has: its test hooks (captured debug output and
// message boxes, injected shell-operation faults, the chosen ANSI code page),
// its own handles, the temp folder from TMPDIR, registered resources and the
// files of a POSIX system. Everything Windows answers too is in host_test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kvplatform.h"
#include "kvresources.h"
#include "posix/kvposixhost.h"

namespace {

using namespace kv;

TkvHost& H() { return NativeHost(); }

constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

class HostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kvhostXXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    Root = pattern;
  }
  void TearDown() override {
    std::filesystem::remove_all(Root);
  }
  std::string P(const std::string& relative) const { return Root + "/" + relative; }
  void Write(const std::string& relative, const std::string& data) const {
    std::ofstream(P(relative), std::ios::binary) << data;
  }
  bool Exists(const std::string& relative) const { return std::filesystem::exists(P(relative)); }

  std::string Root;
};

// ---- handles ---------------------------------------------------------------------

TEST_F(HostFiles, FilesAndEventsAreHostHandlesThatNoSmallNumberImitates) {
  HANDLE file = H().CreateFileA(P("f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE event = H().CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (HANDLE h : {file, event}) {
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(host::IsHostHandle(h));
    EXPECT_GT(reinterpret_cast<ULONG_PTR>(h), 0xFFFFu);
    EXPECT_TRUE(H().CloseHandle(h));
    EXPECT_FALSE(host::IsHostHandle(h));
  }
  SetLastError(kSentinel);
  EXPECT_EQ(H().WaitForSingleObject(reinterpret_cast<HANDLE>(4), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- the temp folder ---------------------------------------------------------------

TEST_F(HostFiles, TheTempPathIsTmpdirOrTmp) {
  const char* old = std::getenv("TMPDIR");
  const std::string keep = old ? old : "";
  ::setenv("TMPDIR", Root.c_str(), 1);
  char temp[512];
  EXPECT_EQ(H().GetTempPathA(sizeof temp, temp), Root.size() + 1);
  EXPECT_EQ(std::string(temp), Root + "/");
  EXPECT_EQ(H().GetTempPathA(3, temp), Root.size() + 2);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(H().GetTempPathA(sizeof temp, temp), 5u);
  EXPECT_STREQ(temp, "/tmp/");
  if (old) ::setenv("TMPDIR", keep.c_str(), 1);
}

// ---- module, registered resources and the version record ---------------------------

TEST(HostModule, TheProgramsOwnFileIsItsPosixPath) {
  char path[4096];
  ASSERT_GT(H().GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  EXPECT_EQ(path[0], '/');
  EXPECT_NE(std::strstr(path, "host_posix_test"), nullptr);
}

const char kRegistered[] = "registered";

TEST(HostResources, RegisteredItemsAndAForeignHandle) {
  host::RegisterResource("KvPosixItem", RT_RCDATA_ID, kRegistered, sizeof kRegistered - 1);
  HRSRC res = H().FindResourceA(nullptr, "kvposixitem", RT_RCDATA);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(H().SizeofResource(nullptr, res), sizeof kRegistered - 1);
  // A pointer that the host did not hand out is refused (Windows would read it).
  EXPECT_EQ(H().LoadResource(nullptr, reinterpret_cast<HRSRC>(const_cast<char*>(kRegistered))), nullptr);
}

TEST(HostResources, TheOneStringTableAnswersEveryLanguage) {
  // The native table has no language (kvrcgen keeps only the strings), so any
  // language block finds them; Windows matches the block's name.
  host::RegisterVersion(1, 0, 0, 0);
  host::RegisterVersionString("FileDescription", "USB device browser");
  char path[4096];
  ASSERT_GT(H().GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  std::vector<char> block(H().GetFileVersionInfoSizeA(path, nullptr));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(H().GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(H().VerQueryValueA(block.data(), "\\StringFileInfo\\04070000\\FileDescription", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), "USB device browser");
}

TEST(HostResources, ProgramsOfThePosixSystemHaveNoVersionRecord) {
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetFileVersionInfoSizeA("/bin/sh", nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
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

TEST(HostText, UnknownCodePagesAreIgnored) {
  const unsigned saved = host::AnsiCodePage();
  host::SetAnsiCodePage(437);
  EXPECT_EQ(host::AnsiCodePage(), saved);
}

// ---- debug output and message boxes -------------------------------------------

TEST(HostOutput, DebugTextMessageBoxesShellCallsAndTheClipboardAreCaptured) {
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

  host::ClearShellExecutes();
  EXPECT_GT(reinterpret_cast<ULONG_PTR>(H().ShellExecuteA(nullptr, "open", "help\\index.html", nullptr, nullptr,
                                                          SW_SHOWDEFAULT)),
            32u);
  ASSERT_EQ(host::ShellExecutes().size(), 1u);
  EXPECT_EQ(host::ShellExecutes()[0].Verb, "open");
  EXPECT_EQ(host::ShellExecutes()[0].File, "help\\index.html");
  EXPECT_EQ(host::ShellExecutes()[0].Show, SW_SHOWDEFAULT);
  host::ClearShellExecutes();

  // The clipboard owns the block it was given: freeing it is refused, and
  // emptying frees it. Nothing works without opening first.
  HGLOBAL block = H().GlobalAlloc(GMEM_MOVEABLE, 3);
  std::memcpy(H().GlobalLock(block), "ab", 3);
  H().GlobalUnlock(block);
  EXPECT_EQ(H().SetClipboardData(CF_TEXT, block), nullptr) << "not open";
  ASSERT_TRUE(H().OpenClipboard(nullptr));
  ASSERT_EQ(H().SetClipboardData(CF_TEXT, block), block);
  EXPECT_EQ(host::ClipboardText(), "ab");
  EXPECT_EQ(H().GlobalFree(block), block);
  EXPECT_TRUE(H().EmptyClipboard());
  EXPECT_EQ(H().GetClipboardData(CF_TEXT), nullptr);
  EXPECT_EQ(H().GlobalLock(block), nullptr) << "freed with the clipboard's contents";
  EXPECT_TRUE(H().CloseClipboard());
  EXPECT_FALSE(H().CloseClipboard());
}

}  // namespace
