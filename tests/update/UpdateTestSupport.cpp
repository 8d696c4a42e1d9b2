#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "Functions1.h"

namespace updatetest {

TTempFolder::TTempFolder() {
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    FPath = base / ("kvupdate-" + std::to_string(random() % 100000000u));
    if (fs::create_directory(FPath)) return;
  }
  throw std::runtime_error("no temporary folder");
}

TTempFolder::~TTempFolder() {
  std::error_code ignored;
  fs::remove_all(FPath, ignored);
}

void TTempFolder::Write(const std::string& relative, const std::string& content) const {
  const fs::path file = FPath / relative;
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

std::optional<std::string> TTempFolder::Read(const std::string& relative) const {
  std::ifstream in(FPath / relative, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TTempFolder::Exists(const std::string& relative) const { return fs::exists(FPath / relative); }

std::map<std::string, std::string> TTempFolder::Snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(FPath)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), FPath).generic_string();
    files[relative] = Read(relative).value_or("");
  }
  return files;
}

bool TScriptedUser::AskFolder(std::string& folder) {
  Events.push_back("AskFolder");
  if (FAsked >= FolderAnswers.size()) {
    ADD_FAILURE() << "the run asked for the folder more often than the script answers";
    return false;
  }
  const std::optional<std::string>& answer = FolderAnswers[FAsked++];
  if (!answer) return false;
  folder = *answer;
  return true;
}

void TScriptedUser::BeginWork() { Events.push_back("BeginWork"); }

void TScriptedUser::SetProgress(double position) {
  char text[32];
  std::snprintf(text, sizeof text, "Progress %.1f", position);
  Events.push_back(text);
}

std::string RecordedVersion(kv::TkvMachine& machine, const std::string& name) {
  kv::HKEY key = nullptr;
  const std::string path = update::VendorKey + name;
  if (machine.RegOpenKeyExA(kv::HKEY_LOCAL_MACHINE, path.c_str(), 0, kv::KEY_READ, &key) != kv::ERROR_SUCCESS) {
    return "(none)";
  }
  char text[64] = {};
  kv::DWORD size = sizeof text - 1;
  const kv::LONG status =
      machine.RegQueryValueExA(key, "Update", nullptr, nullptr, reinterpret_cast<kv::BYTE*>(text), &size);
  machine.RegCloseKey(key);
  return status == kv::ERROR_SUCCESS ? std::string(text) : "(none)";
}

update::TUpdateData Description(const std::string& infText, const std::string& startDir) {
  update::TUpdateData data;
  data.StartDir = startDir;
  data.InfLines = update::SplitLines(infText);
  update::ParseDescription(data);
  return data;
}

}  // namespace updatetest
