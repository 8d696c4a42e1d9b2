// Fixtures of the installer's tests: a temporary folder with real files, a
// user who answers from a script, and the description built from text.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ConstVar1.h"
#include "UpdateRun.h"
#include "kvplatform.h"
#include "sim/kvsimmachine.h"

namespace updatetest {

namespace fs = std::filesystem;

// A fresh folder below the temporary folder, removed with everything in it.
class TTempFolder {
 public:
  TTempFolder();
  ~TTempFolder();
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const fs::path& Path() const { return FPath; }
  // The path in the form the installer sees it (Win32 style on Windows).
  std::string Text() const { return FPath.string(); }
  // Writes a file (folders are created), relative to this folder.
  void Write(const std::string& relative, const std::string& content) const;
  std::optional<std::string> Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  // Every file below the folder with its content, for "nothing changed".
  std::map<std::string, std::string> Snapshot() const;

 private:
  fs::path FPath;
};

// Answers the run's questions from a script and records what it was told.
class TScriptedUser : public update::TUpdateUser {
 public:
  // Answers for the folder question in turn: a folder for "Ok", nullopt for
  // "Abbrechen" or the close box. A question beyond the script fails the test.
  std::vector<std::optional<std::string>> FolderAnswers;
  // "AskFolder", "BeginWork", "Progress 33.3" ... in order.
  std::vector<std::string> Events;

  bool AskFolder(std::string& folder) override;
  void BeginWork() override;
  void SetProgress(double position) override;
  kv::HWND Window() override { return nullptr; }

 private:
  std::size_t FAsked = 0;
};

// The "Update" value that the product Name's own key holds in Machine, as the
// installer would read it; "(none)" without key or value.
std::string RecordedVersion(kv::TkvMachine& machine, const std::string& name = "Tool");

// A description as ReadDescription would leave it, from Update.inf's text.
update::TUpdateData Description(const std::string& infText, const std::string& startDir = {});

// Restores the process's working directory at the end of a test.
class TCurrentDirectoryGuard {
 public:
  TCurrentDirectoryGuard() : FSaved(fs::current_path()) {}
  ~TCurrentDirectoryGuard() {
    std::error_code ignored;
    fs::current_path(FSaved, ignored);
  }

 private:
  fs::path FSaved;
};

// Below one temporary folder the installed product goes in product/ and the
// update with its new files in update/; a simulated machine holds the
// registry, a scripted user answers.
class TInstallRunTest : public ::testing::Test {
 protected:
  std::string Product() const { return (FRoot.Path() / "product").string(); }
  std::string Update() const { return (FRoot.Path() / "update").string(); }

  // Runs the update that Update.inf's text describes.
  update::TRunResult Run(const std::string& infText) {
    FData = Description(infText, Update());
    return update::InstallRun(FData, FUser);
  }

  std::string RecordedVersion() { return updatetest::RecordedVersion(FMachine); }

  TTempFolder FRoot;
  TCurrentDirectoryGuard FRestore;
  kv::TkvSimMachine FMachine;
  kv::TkvMachineScope FScope{FMachine};
  TScriptedUser FUser;
  update::TUpdateData FData;
};

}  // namespace updatetest
