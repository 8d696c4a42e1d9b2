// Fuzz target: any bytes as Update.inf. The reader and the version rule take
// them without fault, and the plan of the run (the lookup aside: the product
// is taken as installed in C:\Product\) either refuses or names only paths
// that stay inside the installation folder, as Windows resolves them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "Functions1.h"
#include "UpdateRun.h"

namespace {

const std::string kFolder = "C:\\Product\\";

// Whether Windows would resolve the path to somewhere below kFolder: "."
// stays, ".." climbs, and a name of dots and blanks only (which Windows trims
// to something else) counts as leaving.
bool Inside(const std::string& path) {
  if (path.compare(0, kFolder.size(), kFolder) != 0) return false;
  int depth = 0;
  for (std::size_t start = kFolder.size(), end; start <= path.size(); start = end + 1) {
    end = std::min(path.find_first_of("\\/", start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part == "..") depth--;
    else if (part.find_first_not_of(". ") == std::string::npos && !part.empty() && part != ".") return false;
    else if (!part.empty() && part != ".") depth++;
    if (depth < 0) return false;
  }
  return true;
}

void Check(const std::string& path) {
  if (Inside(path)) return;
  std::fprintf(stderr, "the plan leaves the folder: \"%s\"\n", path.c_str());
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
  for (const std::string& path : plan->Deletes) Check(path);
  for (const update::TUpdatePlan::TCopy& copy : plan->Copies) Check(copy.Target);
  return 0;
}
