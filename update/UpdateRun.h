// The install run behind the main window's "Installieren" button: lookup,
// version rule, the folder question, deletions and copies through the shell
// with a progress bar, and the version record. The run itself is portable;
// the windows it talks to come in through TUpdateUser.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ConstVar1.h"
#include "kvwintypes.h"

namespace update {

// How a run ended; each has its text in the result dialog.
enum class TRunResult {
  NewerInstalled,  // "Neuere Version bereits installiert !"
  NotInstalled,    // "Programmteile nicht installiert !"
  Installed,       // "Programmteile korrekt installiert !"
};

// The progress bar's range is 0 to this.
constexpr double ProgressMax = 100.0;

// Flags of every shell operation: no progress window of the shell's own, no
// questions, removed files go to the recycle bin. The shell's error messages
// stay on, so the user learns why an operation failed.
constexpr kv::WORD FileOpFlags = 0x0054;  // FOF_SILENT | FOF_NOCONFIRMATION | FOF_ALLOWUNDO

// What the run asks of the windows.
class TUpdateUser {
 public:
  virtual ~TUpdateUser() = default;
  // Asks for the installation folder. True, with the folder, when the user
  // confirmed it.
  virtual bool AskFolder(std::string& folder) = 0;
  // Both buttons off, the progress label and bar on, all repainted at once.
  virtual void BeginWork() = 0;
  // Moves the progress bar (0 to ProgressMax) and repaints it.
  virtual void SetProgress(double position) = 0;
  // The window that owns the shell's error messages.
  virtual kv::HWND Window() = 0;
};

// True when a relative path stays inside the folder it is joined to: not
// absolute, no drive, and never climbing above the folder with "..".
bool StaysInsideFolder(const std::string& entry);

// What a run does to the files, in order: the paths it deletes and the
// copies it makes, each a full path below the installation folder (copy
// sources stay relative to the update's own folder).
struct TUpdatePlan {
  struct TCopy {
    std::string Source, Target;
  };
  std::vector<std::string> Deletes;
  std::vector<TCopy> Copies;
};

// The plan for a description whose InstallPath is known (ending in "\"), or
// nothing when an entry would leave the folder or a copy lacks its source.
std::optional<TUpdatePlan> MakePlan(const TUpdateData& data);

// Runs one installation. Throws ERegistryError when the registry holds a
// value of the wrong type or the version cannot be recorded.
TRunResult InstallRun(TUpdateData& data, TUpdateUser& user);

}  // namespace update
