// The native host against the system (Wine in CI): files and folders, the
// program's own resources and version record, events, time, COM and text.
#include "kvplatform.h"
#include "kvwintestsupport.h"
#include "win32/kvwinnative.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using kvtest::kSentinel;
using kvtest::TPatternBuffer;

kv::TkvHost& Host() { return kv::NativeHost(); }

constexpr kv::UINT kUtf8 = 65001;  // CP_UTF8

// What kvwin32_blob.bin holds.
const char kBlob[] = "kv resource data: \x01\x02\x03 end\n";
constexpr std::size_t kBlobSize = sizeof kBlob - 1;

std::string TempFolder() {
  char path[kv::MAX_PATH + 1];
  const kv::DWORD length = Host().GetTempPathA(sizeof path, path);
  return std::string(path, length < sizeof path ? length : 0);
}

// A folder of its own below the temp folder, removed with all it holds.
class TScratchFolder {
 public:
  TScratchFolder() : FPath(TempFolder() + "kvtest-" + std::to_string(Host().GetCurrentThreadId())) {
    Remove();
    Host().CreateDirectoryA(FPath.c_str(), nullptr);
  }
  ~TScratchFolder() { Remove(); }
  const std::string& path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "\\" + name; }

 private:
  void Remove() {
    std::string from = FPath + '\0';  // the list ends with a second zero
    kv::SHFILEOPSTRUCTA op{};
    op.wFunc = kv::FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = kv::FOF_NOCONFIRMATION | kv::FOF_SILENT | kv::FOF_NOERRORUI;
    if (Host().GetFileAttributesA(FPath.c_str()) != kv::INVALID_FILE_ATTRIBUTES) Host().SHFileOperationA(&op);
  }
  std::string FPath;
};

bool WriteWholeFile(const std::string& path, const void* data, kv::DWORD size) {
  const kv::HANDLE file =
      Host().CreateFileA(path.c_str(), kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_ALWAYS, kv::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == kv::INVALID_HANDLE_VALUE) return false;
  kv::DWORD written = 0;
  const bool ok = Host().WriteFile(file, data, size, &written, nullptr) && written == size;
  return Host().CloseHandle(file) && ok;
}

std::string ReadWholeFile(const std::string& path) {
  const kv::HANDLE file =
      Host().CreateFileA(path.c_str(), kv::GENERIC_READ, kv::FILE_SHARE_READ, nullptr, kv::OPEN_EXISTING, 0, nullptr);
  if (file == kv::INVALID_HANDLE_VALUE) return "<cannot open>";
  kv::DWORD high = kSentinel;
  const kv::DWORD size = Host().GetFileSize(file, &high);
  std::string data(size, '\0');
  kv::DWORD read = 0;
  if (high != 0 || !Host().ReadFile(file, &data[0], size, &read, nullptr) || read != size) data = "<cannot read>";
  Host().CloseHandle(file);
  return data;
}

// ---- files and folders ------------------------------------------------------------

TEST(Win32HostFiles, FileRoundTripAndDeletion) {
  TScratchFolder folder;
  const std::string path = folder / "data.bin";
  ASSERT_TRUE(WriteWholeFile(path, kBlob, kBlobSize));
  EXPECT_EQ(ReadWholeFile(path), std::string(kBlob, kBlobSize));
  EXPECT_EQ(Host().GetFileAttributesA(path.c_str()) & kv::FILE_ATTRIBUTE_DIRECTORY, 0u);

  kv::SetLastError(kSentinel);
  const kv::HANDLE again =
      Host().CreateFileA(path.c_str(), kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_NEW, kv::FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(again, kv::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_EXISTS);

  EXPECT_TRUE(Host().DeleteFileA(path.c_str()));
  kv::SetLastError(kSentinel);
  EXPECT_EQ(Host().GetFileAttributesA(path.c_str()), kv::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  kv::SetLastError(kSentinel);
  EXPECT_FALSE(Host().DeleteFileA(path.c_str()));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
}

TEST(Win32HostFiles, ShellCopiesAListOfFilesAndDeletesAFolderTree) {
  TScratchFolder folder;
  ASSERT_TRUE(WriteWholeFile(folder / "a.txt", "alpha", 5));
  ASSERT_TRUE(WriteWholeFile(folder / "b.txt", "beta", 4));
  const std::string target = folder / "copies";
  ASSERT_TRUE(Host().CreateDirectoryA(target.c_str(), nullptr));

  std::string from = (folder / "a.txt") + '\0' + (folder / "b.txt") + '\0';
  std::string to = target + '\0';
  kv::SHFILEOPSTRUCTA copy{};
  copy.wFunc = kv::FO_COPY;
  copy.pFrom = from.c_str();
  copy.pTo = to.c_str();
  copy.fFlags = kv::FOF_NOCONFIRMATION | kv::FOF_SILENT | kv::FOF_NOERRORUI | kv::FOF_NOCONFIRMMKDIR;
  copy.fAnyOperationsAborted = static_cast<kv::BOOL>(kSentinel);
  ASSERT_EQ(Host().SHFileOperationA(&copy), 0);
  EXPECT_FALSE(copy.fAnyOperationsAborted);
  EXPECT_EQ(ReadWholeFile(target + "\\a.txt"), "alpha");
  EXPECT_EQ(ReadWholeFile(target + "\\b.txt"), "beta");

  std::string tree = target + '\0';
  kv::SHFILEOPSTRUCTA remove{};
  remove.wFunc = kv::FO_DELETE;
  remove.pFrom = tree.c_str();
  remove.fFlags = kv::FOF_NOCONFIRMATION | kv::FOF_SILENT | kv::FOF_NOERRORUI;
  ASSERT_EQ(Host().SHFileOperationA(&remove), 0);
  EXPECT_EQ(Host().GetFileAttributesA(target.c_str()), kv::INVALID_FILE_ATTRIBUTES);
}

TEST(Win32HostFiles, TempPathEndsWithABackslashAndShortBuffersGetTheNeededSize) {
  const std::string temp = TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_NE(Host().GetFileAttributesA(temp.c_str()) & kv::FILE_ATTRIBUTE_DIRECTORY, 0u);

  TPatternBuffer small(4);
  EXPECT_EQ(Host().GetTempPathA(small.size(), small.chars()), temp.size() + 1) << "the size with the zero";
  EXPECT_TRUE(small.GuardUntouched());
}

TEST(Win32HostFiles, CurrentFolderChangesAndComesBack) {
  TScratchFolder folder;
  char saved[kv::MAX_PATH];
  const kv::DWORD savedLength = Host().GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_GT(savedLength, 0u);
  ASSERT_LT(savedLength, sizeof saved);

  ASSERT_TRUE(Host().SetCurrentDirectoryA(folder.path().c_str()));
  TPatternBuffer now(kv::MAX_PATH);
  const kv::DWORD length = Host().GetCurrentDirectoryA(now.size(), now.chars());
  EXPECT_EQ(length, folder.path().size());
  EXPECT_EQ(std::string(now.chars()), folder.path());
  EXPECT_TRUE(now.UntouchedFrom(length + 1));

  TPatternBuffer small(3);
  EXPECT_EQ(Host().GetCurrentDirectoryA(small.size(), small.chars()), folder.path().size() + 1);
  EXPECT_TRUE(small.GuardUntouched());

  kv::SetLastError(kSentinel);
  EXPECT_FALSE(Host().SetCurrentDirectoryA((folder / "missing").c_str()));
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Host().SetCurrentDirectoryA(saved));
}

TEST(Win32HostFiles, EnvironmentVariableIsReadWhenTheBufferHoldsIt) {
  kvtest::SetProcessVariable("KVTEST_VARIABLE", "some value");
  TPatternBuffer exact(11);
  EXPECT_EQ(Host().GetEnvironmentVariableA("KVTEST_VARIABLE", exact.chars(), exact.size()), 10u);
  EXPECT_STREQ(exact.chars(), "some value");
  EXPECT_TRUE(exact.GuardUntouched());

  TPatternBuffer small(10);
  EXPECT_EQ(Host().GetEnvironmentVariableA("KVTEST_VARIABLE", small.chars(), small.size()), 11u)
      << "the size with the zero";
  EXPECT_TRUE(small.GuardUntouched());

  kvtest::SetProcessVariable("KVTEST_VARIABLE", nullptr);
  kv::SetLastError(kSentinel);
  EXPECT_EQ(Host().GetEnvironmentVariableA("KVTEST_VARIABLE", exact.chars(), exact.size()), 0u);
  EXPECT_EQ(kv::GetLastError(), 203u) << "ERROR_ENVVAR_NOT_FOUND";
}

// ---- the program's module, resources and version record ----------------------------

std::string ProgramPath() {
  char path[kv::MAX_PATH * 4];
  const kv::DWORD length = Host().GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length < sizeof path ? length : 0);
}

TEST(Win32HostModule, ProgramNameIsCutToTheBuffer) {
  const std::string path = ProgramPath();
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 4), ".exe");
  EXPECT_EQ(Host().GetModuleHandleA(nullptr), Host().GetModuleHandleA(path.c_str()));

  TPatternBuffer small(5);
  kv::SetLastError(kSentinel);
  EXPECT_EQ(Host().GetModuleFileNameA(nullptr, small.chars(), small.size()), 5u);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(small.GuardUntouched());
}

TEST(Win32HostModule, RawDataIsFoundByNameInAnyCaseAndByNumber) {
  const kv::HMODULE self = Host().GetModuleHandleA(nullptr);
  for (const char* name : {"KVTEST_BLOB", "kvtest_blob", "#42"}) {
    SCOPED_TRACE(name);
    const kv::HRSRC found = Host().FindResourceA(self, name, kv::RT_RCDATA);
    ASSERT_NE(found, nullptr) << "last error " << kv::GetLastError();
    EXPECT_EQ(Host().SizeofResource(self, found), kBlobSize);
    const kv::HGLOBAL loaded = Host().LoadResource(self, found);
    ASSERT_NE(loaded, nullptr);
    const void* data = Host().LockResource(loaded);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(data, kBlob, kBlobSize), 0);
  }
  EXPECT_NE(Host().FindResourceA(self, kv::MakeIntResourceA(42), kv::RT_RCDATA), nullptr);

  kv::SetLastError(kSentinel);
  EXPECT_EQ(Host().FindResourceA(self, "KVTEST_MISSING", kv::RT_RCDATA), nullptr);
  EXPECT_EQ(kv::GetLastError(), 1814u) << "ERROR_RESOURCE_NAME_NOT_FOUND";
}

TEST(Win32HostModule, VersionRecordOfTheProgramReadsBack) {
  const std::string path = ProgramPath();
  kv::DWORD handle = kSentinel;
  const kv::DWORD size = Host().GetFileVersionInfoSizeA(path.c_str(), &handle);
  ASSERT_GT(size, 0u) << "last error " << kv::GetLastError();

  TPatternBuffer record(size);
  ASSERT_TRUE(Host().GetFileVersionInfoA(path.c_str(), 0, record.size(), record.bytes()));
  EXPECT_TRUE(record.GuardUntouched());

  void* value = nullptr;
  kv::UINT length = 0;
  ASSERT_TRUE(Host().VerQueryValueA(record.bytes(), "\\", &value, &length));
  ASSERT_EQ(length, sizeof(kv::VS_FIXEDFILEINFO));
  kv::VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, 0x00010002u);
  EXPECT_EQ(fixed.dwFileVersionLS, 0x00030004u);
  EXPECT_EQ(fixed.dwProductVersionMS, 0x00050006u);
  EXPECT_EQ(fixed.dwProductVersionLS, 0x00070008u);

  ASSERT_TRUE(Host().VerQueryValueA(record.bytes(), "\\StringFileInfo\\040904B0\\ProductName", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), "kv Win32 tests");
  EXPECT_FALSE(Host().VerQueryValueA(record.bytes(), "\\StringFileInfo\\040904B0\\KvMissing", &value, &length));
}

// ---- events and time -----------------------------------------------------------------------

TEST(Win32HostEvents, AutoResetWakesOnceManualResetUntilReset) {
  const kv::HANDLE autoReset = Host().CreateEventA(nullptr, kv::FALSE, kv::FALSE, nullptr);
  const kv::HANDLE manual = Host().CreateEventA(nullptr, kv::TRUE, kv::TRUE, nullptr);
  ASSERT_NE(autoReset, nullptr);
  ASSERT_NE(manual, nullptr);

  EXPECT_EQ(Host().WaitForSingleObject(autoReset, 0), kv::WAIT_TIMEOUT);
  ASSERT_TRUE(Host().SetEvent(autoReset));
  EXPECT_EQ(Host().WaitForSingleObject(autoReset, 0), kv::WAIT_OBJECT_0);
  EXPECT_EQ(Host().WaitForSingleObject(autoReset, 0), kv::WAIT_TIMEOUT) << "the wait reset it";

  EXPECT_EQ(Host().WaitForSingleObject(manual, 0), kv::WAIT_OBJECT_0) << "created signalled";
  EXPECT_EQ(Host().WaitForSingleObject(manual, 0), kv::WAIT_OBJECT_0) << "stays signalled";
  ASSERT_TRUE(Host().ResetEvent(manual));
  EXPECT_EQ(Host().WaitForSingleObject(manual, 0), kv::WAIT_TIMEOUT);

  EXPECT_TRUE(Host().CloseHandle(autoReset));
  EXPECT_TRUE(Host().CloseHandle(manual));
  kv::SetLastError(kSentinel);
  EXPECT_EQ(Host().WaitForSingleObject(manual, 0), kv::WAIT_FAILED);
  EXPECT_EQ(kv::GetLastError(), kv::ERROR_INVALID_HANDLE);
}

TEST(Win32HostEvents, TickCountAdvancesOverASleep) {
  const kv::DWORD before = Host().GetTickCount();
  Host().Sleep(60);
  const kv::DWORD elapsed = Host().GetTickCount() - before;  // wraps correctly
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 10000u);
}

// ---- COM --------------------------------------------------------------------------------------

TEST(Win32HostCom, GuidsAreRandomVersionFourAndDiffer) {
  const kv::HRESULT init = Host().CoInitializeEx(nullptr, kv::COINIT_APARTMENTTHREADED);
  ASSERT_TRUE(init == kv::S_OK || init == kv::S_FALSE) << std::hex << init;
  kv::GUID first{}, second{};
  ASSERT_EQ(Host().CoCreateGuid(&first), kv::S_OK);
  ASSERT_EQ(Host().CoCreateGuid(&second), kv::S_OK);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.Data3 >> 12, 4) << "random (version 4) GUIDs";
  EXPECT_EQ(first.Data4[0] & 0xC0, 0x80) << "variant bits";
  Host().CoUninitialize();
}

// ---- text ---------------------------------------------------------------------------------------

TEST(Win32HostText, WideToAnsiConvertsExactlyTheGivenLength) {
  const kv::WCHAR text[] = {u'a', u'b', 0, u'c', u'd', u'e'};  // no terminating zero
  EXPECT_EQ(Host().WideToAnsi(text, 2), "ab");
  EXPECT_EQ(Host().WideToAnsi(text, 6), std::string("ab\0cde", 6)) << "zeros inside are kept";
  EXPECT_EQ(Host().WideToAnsi(text, 0), "");
  EXPECT_EQ(Host().WideToAnsi(nullptr, 0), "");
}

TEST(Win32HostText, WideToAnsiMarksUnmappableCharactersInWindowsLatin1) {
  if (kvtest::AnsiCodePage() != 1252) GTEST_SKIP() << "the ANSI code page is " << kvtest::AnsiCodePage();
  struct Case {
    const char* label;
    std::u16string text;
    std::string expected;
  };
  const Case cases[] = {
      {"ASCII", u"USB hub", "USB hub"},
      {"Latin-1", u"caf\u00e9 \u00c4", "caf\xe9 \xc4"},
      {"Windows-1252 extra", u"\u20ac\u2122", "\x80\x99"},
      {"CJK", u"\u4e2d\u6587", "??"},
      {"best-fit look-alikes", u"\u221e\u0100\uff58", "???"},
      {"lone surrogate", u"a\xd800" u"b", "a?b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Host().WideToAnsi(c.text.data(), c.text.size()), c.expected);
  }
  // A character outside the 16-bit range becomes question marks, nothing else.
  const std::u16string emoji = u"x\U0001F600y";
  const std::string converted = Host().WideToAnsi(emoji.data(), emoji.size());
  ASSERT_GE(converted.size(), 3u);
  EXPECT_EQ(converted.front(), 'x');
  EXPECT_EQ(converted.back(), 'y');
  EXPECT_EQ(converted.substr(1, converted.size() - 2).find_first_not_of('?'), std::string::npos) << converted;
}

// Windows may run with UTF-8 as its ANSI code page, which takes neither a
// default character nor the no-best-fit flag: the conversion must still work
// rather than fall back to marking everything beyond ASCII.
TEST(Win32HostText, WideToAnsiWorksWhenTheAnsiCodePageIsUtf8) {
  const std::u16string text = u"caf\u00e9 \u4e2d\U0001F600";
  EXPECT_EQ(kv::win32::WideToAnsi(text.data(), text.size(), kUtf8, 1u << 20),
            "caf\xc3\xa9 \xe4\xb8\xad\xf0\x9f\x98\x80");
}

// Long texts are converted in pieces; a piece must never end between the two
// halves of a surrogate pair, or each half would be converted on its own.
TEST(Win32HostText, WideToAnsiPiecesKeepSurrogatePairsWhole) {
  std::u16string text;
  for (int i = 0; i < 20; ++i) text += u"ab\U0001F600\u00e9\u4e2d";
  for (kv::UINT codePage : {kUtf8, kvtest::AnsiCodePage()}) {
    const std::string whole = kv::win32::WideToAnsi(text.data(), text.size(), codePage, 1u << 20);
    for (std::size_t chunk : {2u, 3u, 4u, 5u, 7u, 64u}) {
      SCOPED_TRACE("code page " + std::to_string(codePage) + ", pieces of " + std::to_string(chunk));
      EXPECT_EQ(kv::win32::WideToAnsi(text.data(), text.size(), codePage, chunk), whole);
    }
  }
}

}  // namespace
