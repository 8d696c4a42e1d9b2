// Files, folders, the environment and the shell's file operations of the
// POSIX host.
//
// Paths may use '\' or '/' as separators; drive letters are not translated,
// so programs running here use POSIX paths (the temp folder, the current
// folder, the program's own folder). Last errors follow Windows: a missing
// file is ERROR_FILE_NOT_FOUND when its folder exists and ERROR_PATH_NOT_FOUND
// when the folder is missing too.
//
// Windows' sharing rules hold between the handles of this process: a file
// opened without FILE_SHARE_WRITE cannot be opened for writing again, nor
// deleted without FILE_SHARE_DELETE, so code that forgets to close a file
// before replacing it fails here as it would on Windows. Read-only files
// (no owner write permission) cannot be deleted either.
#include "kvlock.h"
#include "kvposixhost.h"

#include "kvposiximpl.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <vector>

extern char** environ;

namespace kv {
namespace {

constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD GENERIC_ALL = 0x10000000u;
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD FILE_SHARE_DELETE = 0x0004;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000u;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x0001;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x0020;
constexpr int DE_SAMEFILE = 0x71;

bool WantsRead(DWORD access) { return access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA); }
bool WantsWrite(DWORD access) {
  return access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
}

struct TFile;

// The open files of this process with their access and sharing, for
// Windows' sharing rules.
struct TShares {
  TkvMutex Lock;
  std::vector<TFile*> Open KV_GUARDED_BY(Lock);
};

TShares& Shares() {
  static TShares* shares = new TShares;
  return *shares;
}

struct TFile final : posix::THostObject {
  int Fd = -1;
  bool Reads = false;
  bool Writes = false;
  DWORD Share = 0;
  dev_t Device = 0;
  ino_t Inode = 0;

  void Release() {
    TShares& s = Shares();
    TkvLockGuard<TkvMutex> lock(s.Lock);
    s.Open.erase(std::remove(s.Open.begin(), s.Open.end(), this), s.Open.end());
  }
  ~TFile() override {
    Release();
    if (Fd >= 0) ::close(Fd);
  }
};

// Checks a new opening (or a deletion, Delete) of the file St against every
// open handle of it.
bool MaySharing(const struct stat& st, bool reads, bool writes, DWORD share, bool remove = false)
    KV_REQUIRES(Shares().Lock) {
  for (const TFile* f : Shares().Open) {
    if (f->Device != st.st_dev || f->Inode != st.st_ino) continue;
    if (remove && !(f->Share & FILE_SHARE_DELETE)) return false;
    if (reads && !(f->Share & FILE_SHARE_READ)) return false;
    if (writes && !(f->Share & FILE_SHARE_WRITE)) return false;
    if (f->Reads && !(share & FILE_SHARE_READ)) return false;
    if (f->Writes && !(share & FILE_SHARE_WRITE)) return false;
  }
  return true;
}

std::string Parent(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The last error for a failed operation on Path.
DWORD ErrorFor(int error, const std::string& path) {
  if (error == ENOENT) {
    std::string parent = Parent(path);
    return IsFolder(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  return posix::ErrorFromErrno(error);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// ---- shell file operations ----------------------------------------------

std::vector<std::string> SplitList(LPCSTR list) {
  std::vector<std::string> items;
  if (!list) return items;
  for (const char* p = list; *p; p += std::strlen(p) + 1) items.push_back(posix::NativePath(p));
  return items;
}

bool HasWildcard(const std::string& path) { return BaseName(path).find_first_of("*?") != std::string::npos; }

// The entries that a source names: itself, or what its wildcards match.
std::vector<std::string> Expand(const std::string& source) {
  if (!HasWildcard(source)) return {source};
  std::string pattern = BaseName(source);
  if (pattern == "*.*") pattern = "*";  // the shell's "every file", also those without a dot
  std::string folder = source.find('/') == std::string::npos ? std::string() : Parent(source);
  std::vector<std::string> found;
  if (DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      if (::fnmatch(pattern.c_str(), e->d_name, FNM_CASEFOLD) == 0) found.push_back(Join(folder, e->d_name));
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end());
  return found;
}

int MakeFolders(const std::string& path) {
  if (path.empty() || IsFolder(path)) return 0;
  if (int error = MakeFolders(Parent(path))) return error;
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return static_cast<int>(ErrorFor(errno, path));
  return 0;
}

int CopyFileData(const std::string& from, const std::string& to) {
  struct stat src, dst;
  if (::stat(from.c_str(), &src) != 0) return static_cast<int>(ErrorFor(errno, from));
  const bool destExists = ::stat(to.c_str(), &dst) == 0;
  if (destExists && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) return DE_SAMEFILE;
  {
    TkvLockGuard<TkvMutex> lock(Shares().Lock);
    if (!MaySharing(src, true, false, FILE_SHARE_READ) || (destExists && !MaySharing(dst, false, true, FILE_SHARE_READ)))
      return static_cast<int>(posix::ERROR_SHARING_VIOLATION);
  }
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return static_cast<int>(ErrorFor(errno, from));
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, src.st_mode & 0777);
  if (out < 0) {
    int error = errno;
    ::close(in);
    return static_cast<int>(ErrorFor(error, to));
  }
  int result = 0;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = static_cast<int>(posix::ErrorFromErrno(errno));
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n && result == 0;) {
      ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0)
        result = static_cast<int>(posix::ErrorFromErrno(errno));
      else
        done += w;
    }
    if (result) break;
  }
  ::close(in);
  if (::close(out) != 0 && result == 0) result = static_cast<int>(posix::ErrorFromErrno(errno));
  return result;
}

int CopyTree(const std::string& from, const std::string& to) {
  struct stat st;
  if (::stat(from.c_str(), &st) != 0) return static_cast<int>(ErrorFor(errno, from));
  if (!S_ISDIR(st.st_mode)) return CopyFileData(from, to);
  if (::mkdir(to.c_str(), 0777) != 0 && !(errno == EEXIST && IsFolder(to)))
    return static_cast<int>(ErrorFor(errno, to));
  for (const std::string& entry : Expand(Join(from, "*")))
    if (int error = CopyTree(entry, Join(to, BaseName(entry)))) return error;
  return 0;
}

int DeleteTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return static_cast<int>(ErrorFor(errno, path));
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& entry : Expand(Join(path, "*")))
      if (int error = DeleteTree(entry)) return error;
    if (::rmdir(path.c_str()) != 0) return static_cast<int>(ErrorFor(errno, path));
    return 0;
  }
  {
    TkvLockGuard<TkvMutex> lock(Shares().Lock);
    if (!MaySharing(st, false, false, FILE_SHARE_READ | FILE_SHARE_WRITE, true))
      return static_cast<int>(posix::ERROR_SHARING_VIOLATION);
  }
  if (::unlink(path.c_str()) != 0) return static_cast<int>(ErrorFor(errno, path));
  return 0;
}

int MoveTree(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return 0;
  if (errno != EXDEV) return static_cast<int>(ErrorFor(errno, from));
  if (int error = CopyTree(from, to)) return error;
  return DeleteTree(from);
}

// Where a copy or move of Source goes: into Dest when Dest is a folder (or
// must be one: several sources, or a name ending in a separator), otherwise
// to the name Dest.
std::string TargetOf(const std::string& source, const std::string& dest, bool intoFolder) {
  const bool folder = intoFolder || dest.back() == '/' || IsFolder(dest);
  return folder ? Join(dest, BaseName(source)) : dest;
}

}  // namespace

namespace posix {

void ReleaseFile(THostObject& object) {
  if (auto* file = dynamic_cast<TFile*>(&object)) file->Release();
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string NativePath(LPCSTR path) {
  std::string s = path ? path : "";
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

}  // namespace posix

HANDLE TkvPosixHost::CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES*, DWORD disposition,
                                 DWORD flags, HANDLE) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = posix::NativePath(name);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<TFile>();
  file->Reads = WantsRead(access);
  file->Writes = WantsWrite(access);
  file->Share = share;

  int oflags = file->Writes ? (file->Reads ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW:
      oflags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      oflags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      oflags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!file->Writes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      oflags |= O_TRUNC;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if ((oflags & O_TRUNC) && (oflags & O_ACCMODE) == O_RDONLY) oflags = (oflags & ~O_ACCMODE) | O_RDWR;

  TkvLockGuard<TkvMutex> lock(Shares().Lock);
  struct stat st;
  const bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed) {
    if (disposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode) && (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || file->Writes)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (!MaySharing(st, file->Reads, file->Writes || (oflags & O_TRUNC), share)) {
      SetLastError(posix::ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
  }
  file->Fd = ::open(path.c_str(), oflags | O_CLOEXEC, 0666);
  if (file->Fd < 0) {
    SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFor(errno, path));
    return INVALID_HANDLE_VALUE;
  }
  if (::fstat(file->Fd, &st) == 0) {
    file->Device = st.st_dev;
    file->Inode = st.st_ino;
  }
  Shares().Open.push_back(file.get());
  HANDLE handle = posix::AddHandle(file);
  if (!handle) {
    Shares().Open.pop_back();
    return INVALID_HANDLE_VALUE;
  }
  const bool reported = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(reported ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL TkvPosixHost::ReadFile(HANDLE handle, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) {
  auto file = posix::FindHandleOf<TFile>(handle);
  if (read) *read = 0;
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!file->Reads) return Fail(ERROR_ACCESS_DENIED);
  if (!buffer && toRead) return Fail(ERROR_INVALID_PARAMETER);
  off_t offset = ov ? static_cast<off_t>((static_cast<std::uint64_t>(ov->OffsetHigh) << 32) | ov->Offset) : 0;
  DWORD total = 0;
  while (total < toRead) {
    char* at = static_cast<char*>(buffer) + total;
    ssize_t n = ov ? ::pread(file->Fd, at, toRead - total, offset + total) : ::read(file->Fd, at, toRead - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno == EISDIR ? ERROR_INVALID_FUNCTION : posix::ErrorFromErrno(errno));
    if (n == 0) break;
    total += static_cast<DWORD>(n);
  }
  if (read) *read = total;
  // A read at a given offset past the end fails; a plain read returns 0 bytes.
  if (ov && toRead > 0 && total == 0) return Fail(posix::ERROR_HANDLE_EOF);
  return TRUE;
}

BOOL TkvPosixHost::WriteFile(HANDLE handle, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) {
  auto file = posix::FindHandleOf<TFile>(handle);
  if (written) *written = 0;
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!file->Writes) return Fail(ERROR_ACCESS_DENIED);
  if (!buffer && toWrite) return Fail(ERROR_INVALID_PARAMETER);
  off_t offset = ov ? static_cast<off_t>((static_cast<std::uint64_t>(ov->OffsetHigh) << 32) | ov->Offset) : 0;
  DWORD total = 0;
  while (total < toWrite) {
    const char* at = static_cast<const char*>(buffer) + total;
    ssize_t n = ov ? ::pwrite(file->Fd, at, toWrite - total, offset + total) : ::write(file->Fd, at, toWrite - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (written) *written = total;
      return Fail(posix::ErrorFromErrno(errno));
    }
    total += static_cast<DWORD>(n);
  }
  if (written) *written = total;
  return TRUE;
}

DWORD TkvPosixHost::GetFileSize(HANDLE handle, DWORD* high) {
  auto file = posix::FindHandleOf<TFile>(handle);
  struct stat st;
  if (!file || ::fstat(file->Fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (high) *high = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);  // tells a size whose low half is 0xFFFFFFFF from a failure
  return static_cast<DWORD>(size);
}

BOOL TkvPosixHost::DeleteFileA(LPCSTR name) {
  const std::string path = posix::NativePath(name);
  TkvLockGuard<TkvMutex> lock(Shares().Lock);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Fail(ErrorFor(errno, path));
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);  // read-only
  if (!MaySharing(st, false, false, FILE_SHARE_READ | FILE_SHARE_WRITE, true))
    return Fail(posix::ERROR_SHARING_VIOLATION);
  if (::unlink(path.c_str()) != 0) return Fail(ErrorFor(errno, path));
  return TRUE;
}

BOOL TkvPosixHost::CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES*) {
  const std::string path = posix::NativePath(name);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  if (::mkdir(path.c_str(), 0777) == 0) return TRUE;
  // Windows names a missing parent folder a missing path, whatever is missing.
  return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : posix::ErrorFromErrno(errno));
}

BOOL TkvPosixHost::RemoveDirectoryA(LPCSTR name) {
  const std::string path = posix::NativePath(name);
  if (::rmdir(path.c_str()) == 0) return TRUE;
  switch (errno) {
    case ENOTEMPTY:
    case EEXIST:
      return Fail(posix::ERROR_DIR_NOT_EMPTY);
    case ENOTDIR:
      return Fail(IsFolder(Parent(path)) ? posix::ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    default:
      return Fail(ErrorFor(errno, path));
  }
}

DWORD TkvPosixHost::GetFileAttributesA(LPCSTR name) {
  const std::string path = posix::NativePath(name);
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ErrorFor(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  // Windows marks every written file for archiving; FILE_ATTRIBUTE_NORMAL
  // stands only for a file without any other attribute.
  return FILE_ATTRIBUTE_ARCHIVE | ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
}

DWORD TkvPosixHost::GetTempPathA(DWORD size, LPSTR buffer) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = tmp && *tmp ? tmp : "/tmp";
  if (path.back() != '/') path += '/';
  return posix::CopyOut(path, buffer, size);
}

DWORD TkvPosixHost::GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  std::vector<char> cwd(4096);
  while (!::getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE) {
      SetLastError(posix::ErrorFromErrno(errno));
      return 0;
    }
    cwd.resize(cwd.size() * 2);
  }
  return posix::CopyOut(cwd.data(), buffer, size);
}

BOOL TkvPosixHost::SetCurrentDirectoryA(LPCSTR path) {
  const std::string p = posix::NativePath(path);
  if (p.empty()) return Fail(ERROR_INVALID_PARAMETER);
  if (::chdir(p.c_str()) == 0) return TRUE;
  return Fail(errno == ENOTDIR ? posix::ERROR_DIRECTORY : ErrorFor(errno, p));
}

DWORD TkvPosixHost::GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  if (!name || !*name) {
    SetLastError(posix::ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const char* value = std::getenv(name);
  if (!value) {
    // Windows' names do not depend on case ("Path", "PATH").
    const std::size_t length = std::strlen(name);
    for (char** e = environ; e && *e && !value; ++e)
      if (::strncasecmp(*e, name, length) == 0 && (*e)[length] == '=') value = *e + length + 1;
  }
  if (!value) {
    SetLastError(posix::ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  if (!*value) SetLastError(ERROR_SUCCESS);  // an empty value: 0 without a failure
  return posix::CopyOut(value, buffer, size);
}

int TkvPosixHost::SHFileOperationA(SHFILEOPSTRUCTA* op) {
  if (!op) return static_cast<int>(ERROR_INVALID_PARAMETER);
  op->fAnyOperationsAborted = FALSE;
  const std::vector<std::string> sources = SplitList(op->pFrom);
  const std::vector<std::string> dests = SplitList(op->pTo);
  if (sources.empty()) return static_cast<int>(ERROR_INVALID_PARAMETER);
  const bool paired = (op->fFlags & FOF_MULTIDESTFILES) != 0;
  const bool needsDest = op->wFunc == FO_COPY || op->wFunc == FO_MOVE || op->wFunc == FO_RENAME;
  if (op->wFunc < FO_MOVE || op->wFunc > FO_RENAME) return static_cast<int>(ERROR_INVALID_PARAMETER);
  if (needsDest && (dests.empty() || (paired && dests.size() != sources.size())))
    return static_cast<int>(ERROR_INVALID_PARAMETER);
  // Several sources, or wildcards, go into one folder.
  const bool intoFolder = !paired && (sources.size() > 1 || HasWildcard(sources[0]));

  for (std::size_t i = 0; i < sources.size(); ++i) {
    // A wildcard that matches nothing leaves nothing to do; a missing plain
    // name fails below.
    const std::vector<std::string> items = Expand(sources[i]);
    for (const std::string& item : items) {
      struct stat st;
      if (::lstat(item.c_str(), &st) != 0) return static_cast<int>(ErrorFor(errno, item));
      int error = 0;
      if (op->wFunc == FO_DELETE) {
        error = DeleteTree(item);
      } else if (op->wFunc == FO_RENAME) {
        error = ::rename(item.c_str(), dests[paired ? i : 0].c_str()) == 0 ? 0 : static_cast<int>(ErrorFor(errno, item));
      } else {
        const std::string& dest = dests[paired ? i : 0];
        const std::string target = TargetOf(item, dest, intoFolder);
        // Missing folders on the way are made, as with FOF_NOCONFIRMMKDIR.
        error = MakeFolders(Parent(target));
        if (!error) error = op->wFunc == FO_COPY ? CopyTree(item, target) : MoveTree(item, target);
      }
      if (error) return error;
    }
  }
  return 0;
}

}  // namespace kv
