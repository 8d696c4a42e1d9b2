// The POSIX host's clipboard, global memory blocks and shell execution, and
// the process id. The clipboard belongs to this process only and holds one
// text (CF_TEXT); ShellExecuteA opens nothing and records the call instead.
#include "kvposixhost.h"

#include "kvlock.h"
#include "kvposiximpl.h"

#include <unistd.h>

#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace kv {
namespace {

struct TBlock {
  std::vector<char> Bytes;
  int Locks = 0;
};

struct TShellState {
  TkvMutex Lock;
  std::map<ULONG_PTR, std::unique_ptr<TBlock>> Blocks KV_GUARDED_BY(Lock);  // by handle
  ULONG_PTR NextBlock KV_GUARDED_BY(Lock) = 0x7A000000;  // apart from host handles and windows
  // The clipboard: open by one thread at a time; its data is a block it owns.
  bool Open KV_GUARDED_BY(Lock) = false;
  DWORD OpenThread KV_GUARDED_BY(Lock) = 0;
  HGLOBAL Text KV_GUARDED_BY(Lock) = nullptr;
  std::vector<host::TkvShellExecuteRecord> Executes KV_GUARDED_BY(Lock);
};
using TGuard = TkvLockGuard<TkvMutex>;

TShellState& Shell() {
  static TShellState* state = new TShellState;
  return *state;
}

constexpr DWORD ERROR_CLIPBOARD_NOT_OPEN = 1418;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;

TBlock* FindBlockLocked(TShellState& s, HGLOBAL memory) KV_REQUIRES(s.Lock) {
  auto it = s.Blocks.find(reinterpret_cast<ULONG_PTR>(memory));
  return it == s.Blocks.end() ? nullptr : it->second.get();
}

void FreeLocked(TShellState& s, HGLOBAL memory) KV_REQUIRES(s.Lock) { s.Blocks.erase(reinterpret_cast<ULONG_PTR>(memory)); }

bool OpenByMeLocked(TShellState& s) KV_REQUIRES(s.Lock) { return s.Open && s.OpenThread == Host().GetCurrentThreadId(); }

}  // namespace

DWORD TkvPosixHost::GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

HGLOBAL TkvPosixHost::GlobalAlloc(UINT flags, std::size_t bytes) {
  if (flags & ~(GMEM_MOVEABLE | GMEM_ZEROINIT)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return nullptr;
  }
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  auto block = std::make_unique<TBlock>();
  block->Bytes.assign(bytes, 0);  // always zeroed: no stale bytes to read
  const ULONG_PTR handle = s.NextBlock;
  s.NextBlock += 8;
  s.Blocks.emplace(handle, std::move(block));
  return reinterpret_cast<HGLOBAL>(handle);
}

void* TkvPosixHost::GlobalLock(HGLOBAL memory) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  TBlock* b = FindBlockLocked(s, memory);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++b->Locks;
  // A block of zero bytes still has an address, like Windows' smallest block.
  if (b->Bytes.empty()) b->Bytes.reserve(1);
  return b->Bytes.data();
}

BOOL TkvPosixHost::GlobalUnlock(HGLOBAL memory) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  TBlock* b = FindBlockLocked(s, memory);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (b->Locks > 0) --b->Locks;
  SetLastError(ERROR_SUCCESS);
  return b->Locks > 0 ? TRUE : FALSE;
}

HGLOBAL TkvPosixHost::GlobalFree(HGLOBAL memory) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  if (!FindBlockLocked(s, memory) || memory == s.Text) {  // the clipboard's block is the clipboard's
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  FreeLocked(s, memory);
  return nullptr;
}

BOOL TkvPosixHost::OpenClipboard(HWND) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  if (s.Open && !OpenByMeLocked(s)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  s.Open = true;
  s.OpenThread = GetCurrentThreadId();
  return TRUE;
}

BOOL TkvPosixHost::CloseClipboard() {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  if (!OpenByMeLocked(s)) {
    SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
    return FALSE;
  }
  s.Open = false;
  return TRUE;
}

BOOL TkvPosixHost::EmptyClipboard() {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  if (!OpenByMeLocked(s)) {
    SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
    return FALSE;
  }
  if (s.Text) FreeLocked(s, s.Text);
  s.Text = nullptr;
  return TRUE;
}

HANDLE TkvPosixHost::SetClipboardData(UINT format, HANDLE data) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  if (!OpenByMeLocked(s)) {
    SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
    return nullptr;
  }
  if (format != CF_TEXT || !FindBlockLocked(s, data)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (s.Text && s.Text != data) FreeLocked(s, s.Text);
  s.Text = data;
  return data;
}

HANDLE TkvPosixHost::GetClipboardData(UINT format) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  if (!OpenByMeLocked(s)) {
    SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
    return nullptr;
  }
  if (format != CF_TEXT || !s.Text) {
    SetLastError(ERROR_NOT_FOUND);
    return nullptr;
  }
  return s.Text;
}

HINSTANCE TkvPosixHost::ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                      LPCSTR directory, int show) {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  auto text = [](LPCSTR t) { return std::string(t ? t : ""); };
  s.Executes.push_back({owner, text(verb), text(file), text(parameters), text(directory), show});
  return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(42));
}

namespace host {

std::vector<TkvShellExecuteRecord> ShellExecutes() {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  return s.Executes;
}

void ClearShellExecutes() {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  s.Executes.clear();
}

std::string ClipboardText() {
  TShellState& s = Shell();
  TGuard lock(s.Lock);
  TBlock* b = s.Text ? FindBlockLocked(s, s.Text) : nullptr;
  if (!b || b->Bytes.empty()) return {};
  return std::string(b->Bytes.data(), strnlen(b->Bytes.data(), b->Bytes.size()));
}

}  // namespace host
}  // namespace kv
