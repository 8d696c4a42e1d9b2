// One .rc file reaches the program alike on Windows (windres, read back with
// FindResourceA and the version API) and natively (kvrcgen's table, recorded
// here by stand-ins for the kv::host registration functions).
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <optional>
#include <set>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <map>
#include <strings.h>
#include <utility>
#endif

namespace {

#ifdef _WIN32

std::optional<std::string> Resource(const char* name, const char* type) {
  HRSRC found = FindResourceA(nullptr, name, type);
  if (found == nullptr) return std::nullopt;
  HGLOBAL loaded = LoadResource(nullptr, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (data == nullptr) return std::nullopt;
  return std::string(static_cast<const char*>(data), SizeofResource(nullptr, found));
}

std::optional<std::string> RawData(const char* name) { return Resource(name, MAKEINTRESOURCEA(10)); }
std::optional<std::string> Manifest(const char* name) { return Resource(name, MAKEINTRESOURCEA(24)); }

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
  if (!IS_INTRESOURCE(name)) reinterpret_cast<std::set<std::string>*>(names)->insert(name);
  return TRUE;
}

std::set<std::string> RawDataNames() {
  std::set<std::string> names;
  EnumResourceNamesA(nullptr, MAKEINTRESOURCEA(10), CollectName, reinterpret_cast<LONG_PTR>(&names));
  return names;
}

std::string OwnVersionBlock() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  DWORD handle = 0;
  std::string block(GetFileVersionInfoSizeA(path, &handle), '\0');
  if (block.empty() || !GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data())) return {};
  return block;
}

std::optional<std::array<unsigned, 4>> FileVersion() {
  std::string block = OwnVersionBlock();
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  if (block.empty() || !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &size)) {
    return std::nullopt;
  }
  return std::array<unsigned, 4>{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                                 HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
}

std::optional<std::string> VersionString(const char* key) {
  std::string block = OwnVersionBlock();
  std::string query = std::string("\\StringFileInfo\\040704b0\\") + key;
  char* text = nullptr;
  UINT size = 0;
  if (block.empty() || !VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &size)) {
    return std::nullopt;
  }
  return std::string(text);
}

#else

// Stand-ins for the kv library's registry: they record what the generated
// table registers at start-up, before any test runs.
struct Recorded {
  std::map<std::pair<std::string, int>, std::string> items;
  std::optional<std::array<unsigned, 4>> version;
  std::map<std::string, std::string> strings;
};

Recorded& Table() {
  static Recorded table;
  return table;
}

std::optional<std::string> Resource(const char* name, int type) {
  for (const auto& [key, bytes] : Table().items) {
    if (key.second == type && strcasecmp(key.first.c_str(), name) == 0) return bytes;
  }
  return std::nullopt;
}

std::optional<std::string> RawData(const char* name) { return Resource(name, 10); }
std::optional<std::string> Manifest(const char* name) { return Resource(name, 24); }

std::set<std::string> RawDataNames() {
  std::set<std::string> names;
  for (const auto& item : Table().items) {
    if (item.first.second == 10) names.insert(item.first.first);
  }
  return names;
}

std::optional<std::array<unsigned, 4>> FileVersion() { return Table().version; }

std::optional<std::string> VersionString(const char* key) {
  auto it = Table().strings.find(key);
  if (it == Table().strings.end()) return std::nullopt;
  return it->second;
}

#endif

std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

TEST(ResourceTable, RawDataItemsHoldTheirFilesByteForByte) {
  const std::string text = "kv resource text\nsecond line\n";
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"KVINFRA_TEXT", text},        // quoted path beside the .rc
      {"kvinfra_bytes", AllBytes()}, // unquoted path; every byte value; any letter case
      {"KVINFRA_OPTS", text},        // memory option before the path
      {"KVINFRA_MADE", AllBytes()},  // made during the build
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<std::string> data = RawData(row.name);
    ASSERT_TRUE(data.has_value()) << "no raw-data resource " << row.name;
    EXPECT_EQ(row.bytes, *data);
  }
}

TEST(ResourceTable, OnlyRawDataLinesBecomeRawData) {
  // Dialog and string-table texts that look like raw-data lines stay texts.
  const std::set<std::string> expected = {"KVINFRA_BYTES", "KVINFRA_MADE", "KVINFRA_OPTS", "KVINFRA_TEXT"};
  EXPECT_EQ(expected, RawDataNames());
  EXPECT_FALSE(RawData("KVINFRA_FAKE").has_value());
}

TEST(ResourceTable, ManifestIsResourceOneOfItsType) {
  std::optional<std::string> manifest = Manifest("#1");
  ASSERT_TRUE(manifest.has_value());
  EXPECT_NE(std::string::npos, manifest->find("requestedExecutionLevel level=\"asInvoker\""));
}

TEST(ResourceTable, VersionRecordGivesFileVersionAndStrings) {
  std::optional<std::array<unsigned, 4>> version = FileVersion();
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ((std::array<unsigned, 4>{1, 2, 3, 4}), *version) << "FILEVERSION, not PRODUCTVERSION";
  EXPECT_EQ("Quorvex Dev", VersionString("CompanyName").value_or("<none>")) << "the \\0 ends the text";
  EXPECT_EQ("Build infrastructure test", VersionString("FileDescription").value_or("<none>"));
  EXPECT_EQ("Quorvex \"Toolkit\"", VersionString("ProductName").value_or("<none>")) << "doubled quotes";
  EXPECT_FALSE(VersionString("Translation").has_value()) << "numeric values are not strings";
}

}  // namespace

#ifndef _WIN32
namespace kv::host {

void RegisterResource(const char* name, int type, const void* data, std::size_t size) {
  Table().items[{name, type}] = std::string(static_cast<const char*>(data), size);
}

void RegisterVersion(unsigned a, unsigned b, unsigned c, unsigned d) { Table().version = {{a, b, c, d}}; }

void RegisterVersionString(const char* key, const char* value) { Table().strings[key] = value; }

}  // namespace kv::host
#endif
