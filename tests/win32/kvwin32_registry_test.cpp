// The registry through the real machine: values written are read back with
// their sizes, short buffers are reported and never overrun, and no call
// touches the last error.
#include "kvplatform.h"
#include "kvwintestsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kvtest::kSentinel;
using kvtest::TPatternBuffer;

// Only our own part of the shared test key: other test programs use it at
// the same time.
constexpr const char* kTestRoot = "Software\\kvtest\\win32";

class Win32Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    kvtest::DeleteKeyTree(kv::HKEY_CURRENT_USER, kTestRoot);
    FPath = std::string(kTestRoot) + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    kv::DWORD disposition = 0;
    ASSERT_EQ(machine.RegCreateKeyExA(kv::HKEY_CURRENT_USER, FPath.c_str(), 0, nullptr,
                                      kv::REG_OPTION_NON_VOLATILE, kv::KEY_ALL_ACCESS, nullptr, &key,
                                      &disposition),
              static_cast<kv::LONG>(kv::ERROR_SUCCESS));
    EXPECT_EQ(disposition, kv::REG_CREATED_NEW_KEY);
    kv::SetLastError(kSentinel);
  }

  void TearDown() override {
    EXPECT_EQ(kv::GetLastError(), kSentinel) << "a registry call changed the last error";
    if (key) machine.RegCloseKey(key);
    kvtest::DeleteKeyTree(kv::HKEY_CURRENT_USER, kTestRoot);
  }

  kv::LONG Set(const char* name, kv::DWORD type, const void* data, kv::DWORD size) {
    return machine.RegSetValueExA(key, name, 0, type, static_cast<const kv::BYTE*>(data), size);
  }

  kv::TkvMachine& machine = *kv::RealMachine();
  kv::HKEY key = nullptr;
  std::string FPath;
};

constexpr kv::LONG kSuccess = static_cast<kv::LONG>(kv::ERROR_SUCCESS);
constexpr kv::LONG kMoreData = static_cast<kv::LONG>(kv::ERROR_MORE_DATA);
constexpr kv::LONG kNotFound = static_cast<kv::LONG>(kv::ERROR_FILE_NOT_FOUND);

TEST_F(Win32Registry, CreateOpensAnExistingKeyAndOpenFindsOnlyExistingOnes) {
  kv::HKEY again = nullptr;
  kv::DWORD disposition = 0;
  ASSERT_EQ(machine.RegCreateKeyExA(kv::HKEY_CURRENT_USER, FPath.c_str(), 0, nullptr, kv::REG_OPTION_NON_VOLATILE,
                                    kv::KEY_READ, nullptr, &again, &disposition),
            kSuccess);
  EXPECT_EQ(disposition, kv::REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(machine.RegCloseKey(again), kSuccess);

  kv::HKEY opened = nullptr;
  ASSERT_EQ(machine.RegOpenKeyExA(kv::HKEY_CURRENT_USER, FPath.c_str(), 0, kv::KEY_READ, &opened), kSuccess);
  EXPECT_NE(opened, nullptr);
  EXPECT_EQ(machine.RegCloseKey(opened), kSuccess);

  const std::string missing = FPath + "\\missing";
  EXPECT_EQ(machine.RegOpenKeyExA(kv::HKEY_CURRENT_USER, missing.c_str(), 0, kv::KEY_READ, &opened), kNotFound);
}

TEST_F(Win32Registry, StringWithTerminatingZeroReadsBackWithIt) {
  ASSERT_EQ(Set("text", kv::REG_SZ, "hello", 6), kSuccess);

  kv::DWORD type = kSentinel, size = 0;
  ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, &type, nullptr, &size), kSuccess);
  EXPECT_EQ(type, kv::REG_SZ);
  EXPECT_EQ(size, 6u);

  {
    SCOPED_TRACE("exact buffer");
    TPatternBuffer buffer(6);
    size = buffer.size();
    ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, nullptr, buffer.bytes(), &size), kSuccess);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::memcmp(buffer.chars(), "hello", 6), 0);
    EXPECT_TRUE(buffer.GuardUntouched());
  }
  {
    SCOPED_TRACE("larger buffer");
    TPatternBuffer buffer(32);
    size = buffer.size();
    ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, nullptr, buffer.bytes(), &size), kSuccess);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(buffer.chars(), "hello");
    EXPECT_TRUE(buffer.GuardUntouched());
  }
  {
    SCOPED_TRACE("short buffer");
    TPatternBuffer buffer(3);
    size = buffer.size();
    EXPECT_EQ(machine.RegQueryValueExA(key, "text", nullptr, nullptr, buffer.bytes(), &size), kMoreData);
    EXPECT_EQ(size, 6u);
    EXPECT_TRUE(buffer.GuardUntouched());
  }
}

TEST_F(Win32Registry, StringWithoutTerminatingZeroKeepsItsStoredSize) {
  // The byte after the counted text is not a zero, so nothing adds one.
  ASSERT_EQ(Set("text", kv::REG_SZ, "helloX", 5), kSuccess);

  kv::DWORD type = kSentinel, size = 0;
  ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, &type, nullptr, &size), kSuccess);
  EXPECT_EQ(type, kv::REG_SZ);
  EXPECT_EQ(size, 5u);

  TPatternBuffer exact(5);
  size = exact.size();
  ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, nullptr, exact.bytes(), &size), kSuccess);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::memcmp(exact.chars(), "hello", 5), 0);
  EXPECT_TRUE(exact.GuardUntouched()) << "readers must terminate such strings themselves";

  // With room to spare Windows may add the zero, but reports the stored size.
  TPatternBuffer larger(16);
  size = larger.size();
  ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, nullptr, larger.bytes(), &size), kSuccess);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::memcmp(larger.chars(), "hello", 5), 0);
  EXPECT_TRUE(larger.UntouchedFrom(6));
}

// Windows counts a zero that directly follows the counted text as part of
// it: callers that pass strlen() still store a terminated string.
TEST_F(Win32Registry, StringCountedWithoutItsZeroGetsTheZeroThatFollows) {
  ASSERT_EQ(Set("text", kv::REG_SZ, "hello", 5), kSuccess);
  kv::DWORD size = 0;
  ASSERT_EQ(machine.RegQueryValueExA(key, "text", nullptr, nullptr, nullptr, &size), kSuccess);
  EXPECT_EQ(size, 6u);
}

TEST_F(Win32Registry, BinaryValueReadsBackByteForByte) {
  const unsigned char data[12] = {0x00, 0x01, 0xFF, 0x80, 0x7F, 0xA5, 0x5A, 0x00, 0x10, 0x20, 0x30, 0x40};
  ASSERT_EQ(Set("blob", kv::REG_BINARY, data, sizeof data), kSuccess);

  struct Case {
    const char* label;
    std::size_t bufferSize;
    kv::LONG result;
  };
  for (const Case& c : {Case{"exact", 12, kSuccess}, Case{"larger", 40, kSuccess}, Case{"short", 11, kMoreData},
                        Case{"empty", 0, kMoreData}}) {
    SCOPED_TRACE(c.label);
    TPatternBuffer buffer(c.bufferSize);
    kv::DWORD type = kSentinel, size = buffer.size();
    EXPECT_EQ(machine.RegQueryValueExA(key, "blob", nullptr, &type, buffer.bytes(), &size), c.result);
    EXPECT_EQ(type, kv::REG_BINARY);
    EXPECT_EQ(size, 12u);
    if (c.result == kSuccess) {
      EXPECT_EQ(std::memcmp(buffer.bytes(), data, sizeof data), 0);
      EXPECT_TRUE(buffer.UntouchedFrom(12));
    }
    EXPECT_TRUE(buffer.GuardUntouched());
  }
}

TEST_F(Win32Registry, EnumerationListsEveryValueAndSubkeyOnce) {
  const kv::DWORD number = 0x01020304;
  ASSERT_EQ(Set("alpha", kv::REG_SZ, "a", 2), kSuccess);
  ASSERT_EQ(Set("beta", kv::REG_DWORD, &number, sizeof number), kSuccess);
  ASSERT_EQ(Set("gamma", kv::REG_BINARY, "\x01\x02", 2), kSuccess);
  for (const char* name : {"one", "two"}) {
    kv::HKEY sub = nullptr;
    ASSERT_EQ(machine.RegCreateKeyExA(key, name, 0, nullptr, kv::REG_OPTION_NON_VOLATILE, kv::KEY_ALL_ACCESS, nullptr,
                                      &sub, nullptr),
              kSuccess);
    machine.RegCloseKey(sub);
  }

  std::vector<std::string> values;
  for (kv::DWORD index = 0;; ++index) {
    TPatternBuffer name(64);
    kv::DWORD nameSize = name.size(), type = kSentinel;
    const kv::LONG result = machine.RegEnumValueA(key, index, name.chars(), &nameSize, nullptr, &type, nullptr, nullptr);
    if (result == static_cast<kv::LONG>(kv::ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(result, kSuccess) << "value " << index;
    ASSERT_LT(index, 10u) << "enumeration does not end";
    EXPECT_EQ(nameSize, std::strlen(name.chars())) << "the size excludes the terminating zero";
    EXPECT_TRUE(name.GuardUntouched());
    values.emplace_back(name.chars());
    if (values.back() == "beta") {
      EXPECT_EQ(type, kv::REG_DWORD);
    }
  }
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"alpha", "beta", "gamma"}));

  std::vector<std::string> keys;
  for (kv::DWORD index = 0;; ++index) {
    TPatternBuffer name(64);
    kv::DWORD nameSize = name.size();
    unsigned long long lastWrite = 0;
    const kv::LONG result =
        machine.RegEnumKeyExA(key, index, name.chars(), &nameSize, nullptr, nullptr, nullptr, &lastWrite);
    if (result == static_cast<kv::LONG>(kv::ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(result, kSuccess) << "key " << index;
    ASSERT_LT(index, 10u) << "enumeration does not end";
    EXPECT_EQ(nameSize, std::strlen(name.chars()));
    EXPECT_NE(lastWrite, 0u) << "the time of the last write is filled in";
    keys.emplace_back(name.chars());
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"one", "two"}));
}

TEST_F(Win32Registry, EnumerationReportsAShortNameBufferWithoutOverrunningIt) {
  ASSERT_EQ(Set("a-rather-long-value-name", kv::REG_SZ, "x", 2), kSuccess);
  TPatternBuffer name(8);
  kv::DWORD nameSize = name.size();
  EXPECT_EQ(machine.RegEnumValueA(key, 0, name.chars(), &nameSize, nullptr, nullptr, nullptr, nullptr), kMoreData);
  EXPECT_TRUE(name.GuardUntouched());
}

TEST_F(Win32Registry, DeletedValueIsGone) {
  ASSERT_EQ(Set("doomed", kv::REG_SZ, "x", 2), kSuccess);
  EXPECT_EQ(machine.RegDeleteValueA(key, "doomed"), kSuccess);
  kv::DWORD size = 0;
  EXPECT_EQ(machine.RegQueryValueExA(key, "doomed", nullptr, nullptr, nullptr, &size), kNotFound);
  EXPECT_EQ(machine.RegDeleteValueA(key, "doomed"), kNotFound);
}

}  // namespace
