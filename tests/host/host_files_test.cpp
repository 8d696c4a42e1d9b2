// Files, folders, the environment and the shell file operations of the host,
// with Windows' results and last errors: natively the POSIX host, under Wine
// the Win32 host, so both must answer alike.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host_test_support.h"
#include "kvplatform.h"

namespace {

using namespace kv;

TkvHost& H() { return NativeHost(); }

constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD kReadOnly = 0x01;  // FILE_ATTRIBUTE_READONLY
constexpr DWORD kArchive = 0x20;   // FILE_ATTRIBUTE_ARCHIVE
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;

namespace fs = std::filesystem;

// A fresh folder per test in the host's temp folder, removed afterwards.
class HostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    Root = kvtest::MakeTempFolder("kvhost");
    ASSERT_FALSE(Root.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(Root, ignored))
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove_all(Root, ignored);
    EXPECT_FALSE(fs::exists(Root));
  }
  // The host's own separator joins; names below may use either kind.
  std::string P(const std::string& relative) const { return Root + kvtest::TempSeparator() + relative; }
  void Write(const std::string& relative, const std::string& data) const {
    std::ofstream(P(relative), std::ios::binary) << data;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(P(relative), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool Exists(const std::string& relative) const { return fs::exists(P(relative)); }
  void SetReadOnly(const std::string& relative, bool readOnly) const {
    fs::permissions(P(relative), fs::perms::owner_write, readOnly ? fs::perm_options::remove : fs::perm_options::add);
  }
  HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return H().CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::string Root;
};

struct TDispositionCase {
  const char* Label;
  DWORD Disposition;
  bool Exists;
  bool Opens;
  DWORD Error;          // the last error, also after success
  const char* Content;  // what the file holds afterwards ("" = empty, nullptr = no file)
};

TEST_F(HostFiles, DispositionsOpenCreateAndTruncateAsWindowsDoes) {
  const TDispositionCase cases[] = {
      {"CREATE_NEW on a new file", CREATE_NEW, false, true, ERROR_SUCCESS, ""},
      {"CREATE_NEW on a file", CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {"CREATE_ALWAYS on a new file", CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {"CREATE_ALWAYS on a file", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {"OPEN_EXISTING on a new file", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"OPEN_EXISTING on a file", OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {"OPEN_ALWAYS on a new file", OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {"OPEN_ALWAYS on a file", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {"TRUNCATE_EXISTING on a new file", 5, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"TRUNCATE_EXISTING on a file", 5, true, true, ERROR_SUCCESS, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    const std::string name = "f" + std::to_string(n++);
    if (c.Exists) Write(name, "old");
    SetLastError(kSentinel);
    HANDLE h = Open(P(name), GENERIC_READ | GENERIC_WRITE, 0, c.Disposition);
    EXPECT_EQ(GetLastError(), c.Error);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.Opens);
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(H().CloseHandle(h));
    }
    EXPECT_EQ(Exists(name), c.Content != nullptr);
    if (c.Content) {
      EXPECT_EQ(Read(name), c.Content);
    }
  }
}

TEST_F(HostFiles, MissingFilesAndMissingFoldersGiveDifferentErrors) {
  SetLastError(kSentinel);
  EXPECT_EQ(Open(P("none"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_EQ(Open(P("nofolder\\none"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetFileAttributesA(P("nofolder/none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_FALSE(H().DeleteFileA(P("none").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_FALSE(H().CreateDirectoryA(P("a\\b").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A folder is no file.
  ASSERT_TRUE(H().CreateDirectoryA(P("dir").c_str(), nullptr));
  SetLastError(kSentinel);
  EXPECT_EQ(Open(P("dir"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(kSentinel);
  EXPECT_FALSE(H().DeleteFileA(P("dir").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(HostFiles, ReadWriteAndSizeThroughHandles) {
  HANDLE h = Open(P("data"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = kSentinel;
  ASSERT_TRUE(H().WriteFile(h, "0123456789", 10, &done, nullptr));
  EXPECT_EQ(done, 10u);
  char buffer[16] = {};
  SetLastError(kSentinel);
  EXPECT_FALSE(H().ReadFile(h, buffer, 4, &done, nullptr));  // opened for writing only
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  DWORD high = kSentinel;
  EXPECT_EQ(H().GetFileSize(h, &high), 10u);
  EXPECT_EQ(high, 0u);
  ASSERT_TRUE(H().CloseHandle(h));

  h = Open(P("data"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(H().ReadFile(h, buffer, 4, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "0123");
  ASSERT_TRUE(H().ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "456789");
  ASSERT_TRUE(H().ReadFile(h, buffer, sizeof buffer, &done, nullptr));  // the end: no failure
  EXPECT_EQ(done, 0u);
  OVERLAPPED at{};
  at.Offset = 8;
  ASSERT_TRUE(H().ReadFile(h, buffer, sizeof buffer, &done, &at));
  EXPECT_EQ(std::string(buffer, done), "89");
  ASSERT_TRUE(H().CloseHandle(h));

  SetLastError(kSentinel);
  EXPECT_FALSE(H().CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(H().ReadFile(h, buffer, 1, &done, nullptr));
  EXPECT_EQ(H().GetFileSize(h, nullptr), INVALID_FILE_SIZE);
}

TEST_F(HostFiles, OpenHandlesShareOnlyWhatTheyAllow) {
  Write("shared", "x");
  HANDLE reader = Open(P("shared"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  HANDLE second = Open(P("shared"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  H().CloseHandle(second);
  SetLastError(kSentinel);
  EXPECT_EQ(Open(P("shared"), GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  SetLastError(kSentinel);
  EXPECT_FALSE(H().DeleteFileA(P("shared").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // The shell cannot replace it either.
  Write("new", "y");
  const std::string from = P("new") + '\0', to = P("shared") + '\0';
  SHFILEOPSTRUCTA op{nullptr, FO_COPY, from.c_str(), to.c_str(), 0x0054, FALSE, nullptr, nullptr};
  EXPECT_NE(H().SHFileOperationA(&op), 0);
  H().CloseHandle(reader);
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_EQ(Read("shared"), "y");
  EXPECT_TRUE(H().DeleteFileA(P("shared").c_str()));
}

TEST_F(HostFiles, FoldersAndAttributes) {
  ASSERT_TRUE(H().CreateDirectoryA(P("d").c_str(), nullptr));
  SetLastError(kSentinel);
  EXPECT_FALSE(H().CreateDirectoryA(P("d/").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(H().GetFileAttributesA(P("d").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  Write("d/f", "1");
  SetLastError(kSentinel);
  EXPECT_FALSE(H().RemoveDirectoryA(P("d").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(H().GetFileAttributesA(P("d\\f").c_str()), kArchive);  // a written file, as Windows marks it
  SetReadOnly("d/f", true);
  EXPECT_EQ(H().GetFileAttributesA(P("d/f").c_str()), kArchive | kReadOnly);
  SetLastError(kSentinel);
  EXPECT_FALSE(H().DeleteFileA(P("d/f").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetReadOnly("d/f", false);
  EXPECT_TRUE(H().DeleteFileA(P("d/f").c_str()));
  EXPECT_TRUE(H().RemoveDirectoryA(P("d").c_str()));
  SetLastError(kSentinel);
  EXPECT_FALSE(H().RemoveDirectoryA(P("d").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HostFiles, CurrentFolderAndTempPathFollowTheBufferConvention) {
  char saved[4096];
  ASSERT_GT(H().GetCurrentDirectoryA(sizeof saved, saved), 0u);
  ASSERT_TRUE(H().SetCurrentDirectoryA(Root.c_str()));
  char small[4] = {'x', 'x', 'x', 'x'};
  const DWORD needed = H().GetCurrentDirectoryA(sizeof small, small);
  EXPECT_EQ(needed, Root.size() + 1);
  EXPECT_EQ(small[0], 'x');
  std::string cwd(needed, '\0');
  EXPECT_EQ(H().GetCurrentDirectoryA(needed, cwd.data()), Root.size());
  EXPECT_STREQ(cwd.c_str(), Root.c_str());
  // Relative names are taken from the current folder.
  Write("rel", "r");
  EXPECT_NE(H().GetFileAttributesA("rel"), INVALID_FILE_ATTRIBUTES);
  SetLastError(kSentinel);
  EXPECT_FALSE(H().SetCurrentDirectoryA("missing"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(H().SetCurrentDirectoryA(saved));


  // The temp folder ends with a separator; a small buffer gets the size it needs.
  char temp[512];
  const DWORD length = H().GetTempPathA(sizeof temp, temp);
  ASSERT_GT(length, 1u);
  ASSERT_LT(length, sizeof temp);
  EXPECT_EQ(std::strlen(temp), length);
  EXPECT_TRUE(temp[length - 1] == '\\' || temp[length - 1] == '/') << temp;
  char small3[3] = {'x', 'x', 'x'};
  EXPECT_EQ(H().GetTempPathA(sizeof small3, small3), length + 1);
}

TEST(HostEnvironment, VariablesFollowTheBufferConvention) {
  kvtest::SetVariable("KV_HOST_TEST_VAR", "value");
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(H().GetEnvironmentVariableA("KV_HOST_TEST_VAR", buffer, 5), 6u);  // too small: size with the zero
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(H().GetEnvironmentVariableA("KV_HOST_TEST_VAR", buffer, 6), 5u);
  EXPECT_STREQ(buffer, "value");
  EXPECT_EQ(H().GetEnvironmentVariableA("kv_host_test_var", buffer, sizeof buffer), 5u);  // any case
  EXPECT_EQ(H().GetEnvironmentVariableA("KV_HOST_TEST_VAR", nullptr, 0), 6u);
  SetLastError(kSentinel);
  EXPECT_EQ(H().GetEnvironmentVariableA("KV_HOST_NO_SUCH_VAR", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
  kvtest::SetVariable("KV_HOST_TEST_VAR", "");
  SetLastError(ERROR_SUCCESS);  // an empty value leaves the last error alone
  EXPECT_EQ(H().GetEnvironmentVariableA("KV_HOST_TEST_VAR", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  kvtest::RemoveVariable("KV_HOST_TEST_VAR");
}

// ---- the shell's file operations --------------------------------------------

std::string List(std::initializer_list<std::string> items) {
  std::string list;
  for (const auto& i : items) list += i + '\0';
  return list + '\0';
}

TEST_F(HostFiles, CopyMakesMissingFoldersAndOverwrites) {
  Write("a.txt", "A");
  Write("b.txt", "B");
  const std::string from = List({P("a.txt")});
  const std::string to = List({P("new\\deep\\renamed.txt")});
  SHFILEOPSTRUCTA op{nullptr, FO_COPY, from.c_str(), to.c_str(), 0x0054, TRUE, nullptr, nullptr};
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_FALSE(op.fAnyOperationsAborted);
  EXPECT_EQ(Read("new/deep/renamed.txt"), "A");
  EXPECT_EQ(Read("a.txt"), "A");

  // Into an existing folder the name is kept; an existing file is replaced.
  const std::string into = List({P("new")});
  op.pTo = into.c_str();
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_EQ(Read("new/a.txt"), "A");
  Write("a.txt", "A2");
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_EQ(Read("new/a.txt"), "A2");

#ifndef _WIN32  // Wine cancels a copy to a missing folder named with a trailing separator
  // A destination that ends in a separator is a folder, made if missing.
  const std::string slashed = List({P("sub\\")});
  op.pTo = slashed.c_str();
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_EQ(Read("sub/a.txt"), "A2");
#endif

  // Several sources go into one folder, made if missing.
  const std::string both = List({P("a.txt"), P("b.txt")});
  const std::string folder = List({P("many")});
  op.pFrom = both.c_str();
  op.pTo = folder.c_str();
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_EQ(Read("many/a.txt"), "A2");
  EXPECT_EQ(Read("many/b.txt"), "B");
}

TEST_F(HostFiles, CopyPairsSourcesWithDestinationsAndCopiesFolders) {
  Write("a", "1");
  Write("b", "2");
  ASSERT_TRUE(H().CreateDirectoryA(P("tree").c_str(), nullptr));
  ASSERT_TRUE(H().CreateDirectoryA(P("tree/sub").c_str(), nullptr));
  Write("tree/sub/leaf", "L");
  const std::string from = List({P("a"), P("b"), P("tree")});
  const std::string to = List({P("x/one"), P("y/two"), P("copy")});
  SHFILEOPSTRUCTA op{nullptr, FO_COPY, from.c_str(), to.c_str(), FOF_MULTIDESTFILES | 0x0054, FALSE,
                     nullptr, nullptr};
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_EQ(Read("x/one"), "1");
  EXPECT_EQ(Read("y/two"), "2");
  EXPECT_EQ(Read("copy/sub/leaf"), "L");

  // Wildcards name every match; "*.*" also files without a dot.
  Write("tree/plain", "p");
  const std::string pattern = List({P("tree\\*.*")});
  const std::string dest = List({P("wild")});
  SHFILEOPSTRUCTA wild{nullptr, FO_COPY, pattern.c_str(), dest.c_str(), 0x0054, FALSE, nullptr, nullptr};
  EXPECT_EQ(H().SHFileOperationA(&wild), 0);
  EXPECT_EQ(Read("wild/plain"), "p");
  EXPECT_EQ(Read("wild/sub/leaf"), "L");
}

TEST_F(HostFiles, DeleteRemovesFilesAndFoldersAndFailsOnMissingOnes) {
  Write("gone", "g");
  ASSERT_TRUE(H().CreateDirectoryA(P("dir").c_str(), nullptr));
  Write("dir/inner", "i");
  const std::string from = List({P("gone"), P("dir")});
  SHFILEOPSTRUCTA op{nullptr, FO_DELETE, from.c_str(), nullptr, 0x0054, FALSE, nullptr, nullptr};
  EXPECT_EQ(H().SHFileOperationA(&op), 0);
  EXPECT_FALSE(Exists("gone"));
  EXPECT_FALSE(Exists("dir"));
  EXPECT_NE(H().SHFileOperationA(&op), 0);
  EXPECT_FALSE(op.fAnyOperationsAborted);

  const std::string copyMissing = List({P("nothing")}), to = List({P("dest")});
  SHFILEOPSTRUCTA copy{nullptr, FO_COPY, copyMissing.c_str(), to.c_str(), 0x0054, FALSE, nullptr, nullptr};
  EXPECT_NE(H().SHFileOperationA(&copy), 0);
  EXPECT_FALSE(Exists("dest"));
}

}  // namespace
