// The constants that are pointers cannot be compared at compile time (see
// kvlib/win32/kvwinlayout.cpp); they are compared here, against the macros of
// <windows.h>, which must therefore come after our headers.
#include "kvplatform.h"

namespace {
const kv::HKEY ourClassesRoot = kv::HKEY_CLASSES_ROOT;
const kv::HKEY ourCurrentUser = kv::HKEY_CURRENT_USER;
const kv::HKEY ourLocalMachine = kv::HKEY_LOCAL_MACHINE;
const kv::HKEY ourUsers = kv::HKEY_USERS;
const kv::HANDLE ourInvalidHandle = kv::INVALID_HANDLE_VALUE;
const kv::LPCSTR ourRcData = kv::RT_RCDATA;
const kv::LPCSTR ourVersion = kv::MakeIntResourceA(kv::RT_VERSION_ID);
}  // namespace

#include <windows.h>

#include <gtest/gtest.h>

namespace {

template <class T>
const void* Raw(T p) {
  return reinterpret_cast<const void*>(p);
}

TEST(Win32Constants, PointerValuedOnesAreTheSystems) {
  EXPECT_EQ(Raw(ourClassesRoot), Raw(HKEY_CLASSES_ROOT));
  EXPECT_EQ(Raw(ourCurrentUser), Raw(HKEY_CURRENT_USER));
  EXPECT_EQ(Raw(ourLocalMachine), Raw(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(Raw(ourUsers), Raw(HKEY_USERS));
  EXPECT_EQ(Raw(ourInvalidHandle), Raw(INVALID_HANDLE_VALUE));
  EXPECT_EQ(Raw(ourRcData), Raw(RT_RCDATA));
  EXPECT_EQ(Raw(ourVersion), Raw(RT_VERSION));
  EXPECT_TRUE(kv::IsIntResource(ourRcData));
}

// The library reads the reasons of failed system calls with kv::GetLastError
// and the system reads what kv::SetLastError left: both are the thread's own.
TEST(Win32Constants, LastErrorIsTheThreadsOwn) {
  ::SetLastError(0xdeadbeef);
  EXPECT_EQ(kv::GetLastError(), 0xdeadbeefu);
  kv::SetLastError(ERROR_MORE_DATA);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  // A failing system call leaves its reason where the library looks.
  kv::SetLastError(0xdeadbeef);
  EXPECT_EQ(::GetFileAttributesA("C:\\kv-no-such-folder\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(kv::GetLastError(), static_cast<kv::DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
