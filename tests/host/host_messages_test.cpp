// FormatMessageA of the host: system messages with their flags, and message
// texts with inserts. Natively the POSIX host answers with Windows' texts;
// under Wine the Win32 host answers with Wine's, so the texts themselves are
// compared only where they are known.
#include <gtest/gtest.h>

#include <string>

#include "kvplatform.h"
#include "kvtext.h"
#include "kvutils.h"

namespace {

using kv::DWORD;

kv::TkvHost& H() { return kv::Host(); }

std::string System(DWORD code, DWORD flags = 0) {
  char text[512];
  const DWORD n = H().FormatMessageA(kv::FORMAT_MESSAGE_FROM_SYSTEM | kv::FORMAT_MESSAGE_IGNORE_INSERTS | flags,
                                     nullptr, code, 0, text, sizeof(text), nullptr);
  return std::string(text, n);
}

bool OnWine() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

TEST(HostMessageTexts, SystemMessagesEndTheirLineUnlessOneLineIsAsked) {
  for (DWORD code : {2u, 5u, 87u, 122u, 1223u}) {
    SCOPED_TRACE(code);
    const std::string text = System(code);
    ASSERT_GT(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const std::string line = System(code, kv::FORMAT_MESSAGE_MAX_WIDTH_MASK);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_EQ(kv::SysErrorMessage(code), kv::Trim(line));
  }
  if (!OnWine()) {
    EXPECT_EQ(System(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(kv::SysErrorMessage(87), "The parameter is incorrect.");
    EXPECT_EQ(kv::SysErrorMessage(5), "Access is denied.");
  }
}

TEST(HostMessageTexts, FailuresFollowWindows) {
  char small[4] = "xyz";
  kv::SetLastError(0);
  EXPECT_EQ(H().FormatMessageA(kv::FORMAT_MESSAGE_FROM_SYSTEM | kv::FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2, 0,
                               small, sizeof(small), nullptr),
            0u);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INSUFFICIENT_BUFFER);

  char text[64];
  EXPECT_EQ(H().FormatMessageA(kv::FORMAT_MESSAGE_FROM_SYSTEM | kv::FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               0x2000ABCDu, 0, text, sizeof(text), nullptr),
            0u);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(kv::SysErrorMessage(0x2000ABCDu), "");
}

TEST(HostMessageTexts, AllocatedBuffersAndInserts) {
  char* block = nullptr;
  const DWORD n = H().FormatMessageA(kv::FORMAT_MESSAGE_FROM_SYSTEM | kv::FORMAT_MESSAGE_IGNORE_INSERTS |
                                         kv::FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                     nullptr, 5, 0, reinterpret_cast<char*>(&block), 0, nullptr);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(block), System(5));
  EXPECT_EQ(n, System(5).size());
  EXPECT_EQ(H().LocalFree(block), nullptr);

  const kv::ULONG_PTR args[] = {reinterpret_cast<kv::ULONG_PTR>("disk"), 7, 255};
  struct Case {
    const char* Source;
    DWORD Flags;
    const char* Result;
  };
  const Case cases[] = {
      {"%1 has %2!u! parts of %3!02X!%n100%% done%0 and more", kv::FORMAT_MESSAGE_ARGUMENT_ARRAY,
       "disk has 7 parts of FF\r\n100% done"},
      {"Keep %1 and %2!u!.", kv::FORMAT_MESSAGE_IGNORE_INSERTS, "Keep %1 and %2!u!."},
  };
  for (const Case& c : cases) {
    char out[128] = {};
    const DWORD length = H().FormatMessageA(kv::FORMAT_MESSAGE_FROM_STRING | c.Flags, c.Source, 0, 0, out,
                                            sizeof(out), const_cast<kv::ULONG_PTR*>(args));
    EXPECT_EQ(std::string(out, length), c.Result) << c.Source;
  }
}

}  // namespace
