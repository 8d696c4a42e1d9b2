// Fuzz target: any bytes as Update.inf. The reader and the version rule take
// them without fault, and the plan of the run (the lookup aside: the product
// is taken as installed in C:\Product\) either refuses or names only paths
// that stay inside the installation folder, as Windows resolves them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "Functions1.h"
#include "UpdateRun.h"

namespace {

const std::string kFolder = "C:\\Product\\";

// Whether Windows would resolve the path to somewhere below kFolder: "."
// stays, ".." climbs, and a name of dots and blanks only (which Windows trims
// to something else) or a drive or stream separator counts as leaving.
bool Inside(const std::string& path) {
  if (path.compare(0, kFolder.size(), kFolder) != 0) return false;
  std::vector<std::string> parts;
  std::size_t start = kFolder.size();
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
      continue;
    }
    if (part.find_first_not_of(". ") == std::string::npos) return false;
    parts.push_back(part);
  }
  return true;
}

void Check(bool ok, const char* what, const std::string& path) {
  if (ok) return;
  std::fprintf(stderr, "%s leaves the folder: \"%s\"\n", what, path.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  update::TUpdateData d;
  d.InfLines = update::SplitLines(std::string(reinterpret_cast<const char*>(data), size));
  update::ParseDescription(d);
  update::IsNotNewer(d);
  d.InstallPath = kFolder;
  const std::optional<update::TUpdatePlan> plan = update::MakePlan(d);
  if (!plan) return 0;  // refused
  for (const std::string& path : plan->Deletes) Check(Inside(path), "a deletion", path);
  for (const update::TUpdatePlan::TCopy& copy : plan->Copies) Check(Inside(copy.Target), "a copy", copy.Target);
  return 0;
}
