#include "UpdateRun.h"

#include <algorithm>

#include "Functions1.h"
#include "kvplatform.h"

namespace update {

namespace {

bool IsFile(const std::string& path) {
  const kv::DWORD attributes = kv::Host().GetFileAttributesA(path.c_str());
  return attributes != kv::INVALID_FILE_ATTRIBUTES && (attributes & kv::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Every entry the run would touch, checked before anything changes: deletions
// and copy destinations must stay inside the installation folder, and a copy
// needs a source (a gap in the numbering leaves a slot without one, and the
// shell would fail on it half-way through the run).
bool EntriesAreSafe(const TUpdateData& data) {
  const unsigned deletes = std::min<unsigned>(data.DeleteCount, MaxEntries);
  for (unsigned k = 1; k <= deletes; ++k) {
    if (!StaysInsideFolder(data.DeleteList[k])) return false;
  }
  const unsigned copies = std::min<unsigned>(data.CopyCount, MaxEntries);
  for (unsigned k = 1; k <= copies; ++k) {
    if (data.CopySources[k].empty() || !StaysInsideFolder(data.CopyTargets[k])) return false;
  }
  return true;
}

// One shell operation on one path. Lists are built at their full length and
// end with the two NULs the shell expects. Success means the shell reports
// none of its errors and no operation was cancelled.
bool ShellOperation(TUpdateUser& user, kv::UINT function, const std::string& from, const std::string* to) {
  const std::string fromList = from + '\0';  // c_str() adds the second NUL
  const std::string toList = to != nullptr ? *to + '\0' : std::string();
  kv::SHFILEOPSTRUCTA operation{};
  operation.hwnd = user.Window();
  operation.wFunc = function;
  operation.pFrom = fromList.c_str();
  operation.pTo = to != nullptr ? toList.c_str() : nullptr;
  operation.fFlags = FileOpFlags;
  const int result = kv::Host().SHFileOperationA(&operation);
  return result == 0 && !operation.fAnyOperationsAborted;
}

// The plan of entries EntriesAreSafe has passed.
TUpdatePlan PlanOfSafeEntries(const TUpdateData& data) {
  TUpdatePlan plan;
  const unsigned deletes = std::min<unsigned>(data.DeleteCount, MaxEntries);
  for (unsigned k = 1; k <= deletes; ++k) plan.Deletes.push_back(data.InstallPath + data.DeleteList[k]);
  const unsigned copies = std::min<unsigned>(data.CopyCount, MaxEntries);
  for (unsigned k = 1; k <= copies; ++k)
    plan.Copies.push_back({data.CopySources[k], data.InstallPath + data.CopyTargets[k]});
  return plan;
}

}  // namespace

std::optional<TUpdatePlan> MakePlan(const TUpdateData& data) {
  if (!EntriesAreSafe(data)) return std::nullopt;
  return PlanOfSafeEntries(data);
}

bool StaysInsideFolder(const std::string& entry) {
  if (!entry.empty() && (entry[0] == '\\' || entry[0] == '/')) return false;  // root or UNC
  if (entry.size() >= 2 && entry[1] == ':') return false;                       // a drive
  int depth = 0;
  std::size_t start = 0;
  while (start <= entry.size()) {
    std::size_t end = entry.find_first_of("\\/", start);
    if (end == std::string::npos) end = entry.size();
    const std::string part = entry.substr(start, end - start);
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (part.empty() || part == ".") {
      // stays where it is
    } else if (part.find_first_not_of(". ") == std::string::npos) {
      // "...", ".. " and the like: Windows versions disagree on where these
      // lead, so none is trusted.
      return false;
    } else {
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

TRunResult InstallRun(TUpdateData& data, TUpdateUser& user) {
  kv::TkvHost& host = kv::Host();
  const bool found = LocateInstallation(data);
  if (IsNotNewer(data)) return TRunResult::NewerInstalled;
  // Checked before anything is asked or changed; nothing below changes the entries.
  if (!EntriesAreSafe(data)) return TRunResult::NotInstalled;
  if (!found) {
    std::string folder;
    if (!user.AskFolder(folder)) return TRunResult::NotInstalled;
    data.InstallPath = folder;
  }
  if (data.InstallPath.empty() || data.InstallPath.back() != '\\') data.InstallPath += '\\';
  if (!IsFile(data.InstallPath + data.ProgramFile)) return TRunResult::NotInstalled;
  const TUpdatePlan plan = PlanOfSafeEntries(data);

  user.BeginWork();

  for (unsigned k = 1; k <= plan.Deletes.size(); ++k) {
    // A relative installation folder means one below the update's own; a run
    // that cannot get back there stops rather than work somewhere else.
    if (!host.SetCurrentDirectoryA(data.StartDir.c_str())) return TRunResult::NotInstalled;
    const std::string& path = plan.Deletes[k - 1];
    if (!IsFile(path)) continue;  // already gone: the bar waits for the next one
    if (!ShellOperation(user, kv::FO_DELETE, path, nullptr)) return TRunResult::NotInstalled;
    user.SetProgress(ProgressMax / data.DeleteCount * k);
  }
  user.SetProgress(0);

  for (unsigned k = 1; k <= plan.Copies.size(); ++k) {
    // Copy sources are relative to the update's own folder: without it they
    // would be taken from whatever folder is current.
    if (!host.SetCurrentDirectoryA(data.StartDir.c_str())) return TRunResult::NotInstalled;
    const TUpdatePlan::TCopy& copy = plan.Copies[k - 1];
    if (!ShellOperation(user, kv::FO_COPY, copy.Source, &copy.Target)) return TRunResult::NotInstalled;
    user.SetProgress(ProgressMax / data.CopyCount * k);
  }

  if (data.UpdateVersion != AnyVersion) RecordVersion(data);
  return TRunResult::Installed;
}

}  // namespace update
