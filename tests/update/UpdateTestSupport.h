// Fixtures of the installer's tests: a temporary folder with real files, a
// user who answers from a script, and the description built from text.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ConstVar1.h"
#include "UpdateRun.h"
#include "kvforwardinghost.h"
#include "kvplatform.h"

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

// The host of the build, with shell file operations that fail or are
// cancelled on request; installed for its lifetime. The first AfterItems
// items of a failing call's source list are still carried out (by the host
// underneath), so a partly done operation can be tested.
class TFailingFileOperations : public kv::TkvForwardingHost {
 public:
  TFailingFileOperations() : TkvForwardingHost(kv::Host()), FScope(*this) {}

  // The next Count calls fail with Result (a Win32 error code).
  void Fail(unsigned count, int result = 5 /* ERROR_ACCESS_DENIED */, unsigned afterItems = 0);
  // The next Count calls are cancelled as if by the user: ERROR_CANCELLED and
  // fAnyOperationsAborted.
  void Abort(unsigned count, unsigned afterItems = 0);
  // Calls so far, failed ones included.
  unsigned Calls() const { return FCalls; }

  int SHFileOperationA(kv::SHFILEOPSTRUCTA* op) override;

 private:
  unsigned FCount = 0, FAfterItems = 0, FCalls = 0;
  int FResult = 0;
  bool FAbort = false;
  kv::TkvHostScope FScope;
};

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

}  // namespace updatetest
