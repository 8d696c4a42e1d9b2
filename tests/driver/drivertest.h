// What the driver-installer tests share: a temporary folder of their own, the
// test log, a look at the files a package leaves, the installer's defaults,
// and the INF soundness check that the tests and the fuzzer apply.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/kvtestlog.h"
#include "infcheck.h"

#ifndef KV_DRIVER_TEST_DATA
#define KV_DRIVER_TEST_DATA "."
#endif

namespace kv::test {

// The installer's own interface GUID, and the driver date the browser sets.
inline constexpr const char* kDefaultGuid = "{4266AEE3-A7D8-4DD2-B979-D64FB674F68A}";
inline constexpr double kBrowserDate = 39427.02534703704;  // 11 December 2007, 00:36:30

// A fresh folder that is the host's temporary folder while the object lives.
class TTempFolder {
 public:
  TTempFolder() {
    std::string pattern = ::testing::TempDir() + "kvdrv-XXXXXX";
    if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp";
    FPath = pattern + "/";
    const char* old = std::getenv("TMPDIR");
    FHadOld = old != nullptr;
    if (old) FOld = old;
    ::setenv("TMPDIR", FPath.c_str(), 1);
  }
  ~TTempFolder() {
    if (FHadOld)
      ::setenv("TMPDIR", FOld.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    Remove(FPath);
  }
  const std::string& Path() const { return FPath; }

  // Everything below the folder, relative, sorted; folders end with '/'.
  std::vector<std::string> Tree() const {
    std::vector<std::string> out;
    Walk(FPath, "", out);
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  static void Walk(const std::string& base, const std::string& rel, std::vector<std::string>& out) {
    DIR* d = ::opendir((base + rel).c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      ::stat((base + rel + name).c_str(), &st);
      if (S_ISDIR(st.st_mode)) {
        out.push_back(rel + name + "/");
        Walk(base, rel + name + "/", out);
      } else {
        out.push_back(rel + name);
      }
    }
    ::closedir(d);
  }
  static void Remove(const std::string& path) {
    std::vector<std::string> all;
    Walk(path, "", all);
    std::sort(all.rbegin(), all.rend());  // children before their folders
    for (const std::string& p : all) ::remove((path + p).c_str());
    ::rmdir(path.c_str());
  }
  std::string FPath, FOld;
  bool FHadOld = false;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace kv::test
