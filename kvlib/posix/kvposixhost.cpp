// The POSIX host: the last error, the table of host handles, events, time,
// debug output, message boxes and COM. Files, resources, windows and text
// conversion have files of their own.
#include "kvlock.h"
#include "kvposixhost.h"

#include "kvposiximpl.h"

#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kv {

namespace {
thread_local DWORD tLastError = 0;
}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

TkvHost& NativeHost() {
  // Never destroyed: threads and static destructors may still use it at exit.
  static TkvPosixHost* host = new TkvPosixHost;
  return *host;
}

TkvMachine* RealMachine() { return nullptr; }

namespace {

// ---- handles --------------------------------------------------------------

struct THandles {
  TkvMutex Lock;
  std::unordered_map<ULONG_PTR, std::shared_ptr<posix::THostObject>> Objects KV_GUARDED_BY(Lock);
  ULONG_PTR Next KV_GUARDED_BY(Lock) = posix::kHandleFirst;
};

THandles& Handles() {
  static THandles* handles = new THandles;
  return *handles;
}

// ---- events ---------------------------------------------------------------

struct TEvent final : posix::THostObject {
  TkvMutex Lock;
  TkvCondition Changed;
  bool Manual KV_GUARDED_BY(Lock) = false;
  bool Signaled KV_GUARDED_BY(Lock) = false;
};

// Every SetEvent counts here, so that a wait for several events can sleep
// until one of them may have changed.
struct TEventChanges {
  TkvMutex Lock;
  TkvCondition Changed;
  unsigned long Count KV_GUARDED_BY(Lock) = 0;
};

TEventChanges& EventChanges() {
  static TEventChanges* changes = new TEventChanges;
  return *changes;
}

struct TEventNames {
  TkvMutex Lock;
  std::map<std::string, std::weak_ptr<TEvent>> Events KV_GUARDED_BY(Lock);
};

TEventNames& EventNames() {
  static TEventNames* names = new TEventNames;
  return *names;
}

// ---- captured output ------------------------------------------------------

constexpr std::size_t kDebugCapture = 1u << 20;

struct TCapture {
  TkvMutex Lock;
  std::string Debug KV_GUARDED_BY(Lock);
  std::vector<host::TkvMessageBoxRecord> Boxes KV_GUARDED_BY(Lock);
};

TCapture& Capture() {
  static TCapture* capture = new TCapture;
  return *capture;
}

bool EchoToStderr() {
  const char* v = std::getenv("KV_DEBUG_OUTPUT");
  return v && std::strcmp(v, "1") == 0;
}

void Debug(const std::string& text) {
  TCapture& c = Capture();
  {
    TkvLockGuard<TkvMutex> lock(c.Lock);
    c.Debug += text;
    if (c.Debug.size() > kDebugCapture) c.Debug.erase(0, c.Debug.size() - kDebugCapture / 2);
  }
  if (EchoToStderr()) std::fprintf(stderr, "%s", text.c_str());
}

// ---- COM ------------------------------------------------------------------

constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

struct TComApartment {
  unsigned Count = 0;
  DWORD Model = 0;
};
thread_local TComApartment tCom;

}  // namespace

namespace posix {

HANDLE AddHandle(std::shared_ptr<THostObject> object) {
  THandles& h = Handles();
  TkvLockGuard<TkvMutex> lock(h.Lock);
  if (h.Next >= kHandleLast) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  ULONG_PTR value = h.Next;
  h.Next += 4;
  h.Objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<THostObject> FindHandle(HANDLE handle) {
  THandles& h = Handles();
  TkvLockGuard<TkvMutex> lock(h.Lock);
  auto it = h.Objects.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == h.Objects.end() ? nullptr : it->second;
}

std::shared_ptr<THostObject> TakeHandle(HANDLE handle) {
  THandles& h = Handles();
  TkvLockGuard<TkvMutex> lock(h.Lock);
  auto it = h.Objects.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == h.Objects.end()) return nullptr;
  std::shared_ptr<THostObject> object = std::move(it->second);
  h.Objects.erase(it);
  return object;
}

DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
  if (!buffer || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

}  // namespace posix

BOOL TkvPosixHost::CloseHandle(HANDLE handle) {
  std::shared_ptr<posix::THostObject> object = posix::TakeHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  posix::ReleaseFile(*object);
  return TRUE;
}

HANDLE TkvPosixHost::CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCSTR name) {
  std::shared_ptr<TEvent> event;
  bool existed = false;
  if (name && *name) {
    // A named event is one object however often it is created in this process.
    TEventNames& names = EventNames();
    TkvLockGuard<TkvMutex> lock(names.Lock);
    event = names.Events[name].lock();
    existed = event != nullptr;
    if (!event) {
      event = std::make_shared<TEvent>();
      names.Events[name] = event;
    }
  } else {
    event = std::make_shared<TEvent>();
  }
  if (!existed) {
    TkvLockGuard<TkvMutex> lock(event->Lock);
    event->Manual = manualReset != FALSE;
    event->Signaled = initialState != FALSE;
  }
  HANDLE handle = posix::AddHandle(event);
  if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL TkvPosixHost::SetEvent(HANDLE handle) {
  auto event = posix::FindHandleOf<TEvent>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    TkvLockGuard<TkvMutex> lock(event->Lock);
    event->Signaled = true;
    if (event->Manual)
      event->Changed.notify_all();
    else
      event->Changed.notify_one();
  }
  TEventChanges& changes = EventChanges();
  {
    TkvLockGuard<TkvMutex> lock(changes.Lock);
    ++changes.Count;
  }
  changes.Changed.notify_all();
  return TRUE;
}

BOOL TkvPosixHost::ResetEvent(HANDLE handle) {
  auto event = posix::FindHandleOf<TEvent>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  TkvLockGuard<TkvMutex> lock(event->Lock);
  event->Signaled = false;
  return TRUE;
}

DWORD TkvPosixHost::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::shared_ptr<posix::THostObject> object = posix::FindHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  auto event = std::dynamic_pointer_cast<TEvent>(object);
  if (!event) return WAIT_OBJECT_0;  // a file handle of synchronous I/O is always signaled
  TkvUniqueLock<TkvMutex> lock(event->Lock);
  auto signaled = [&]() KV_REQUIRES(event->Lock) { return event->Signaled; };
  if (milliseconds == INFINITE) {
    event->Changed.wait(lock, signaled);
  } else if (!event->Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), signaled)) {
    return WAIT_TIMEOUT;
  }
  if (!event->Manual) event->Signaled = false;
  return WAIT_OBJECT_0;
}

// Holds a changing set of the events' locks at once, which the analysis
// cannot follow.
DWORD TkvPosixHost::WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
    KV_NO_THREAD_SAFETY_ANALYSIS {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // Events of the wait; nullptr for a handle that is always signalled.
  std::vector<std::shared_ptr<TEvent>> events(count);
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<posix::THostObject> object = posix::FindHandle(handles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    events[i] = std::dynamic_pointer_cast<TEvent>(object);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  TEventChanges& changes = EventChanges();
  for (;;) {
    unsigned long seen;
    {
      TkvLockGuard<TkvMutex> lock(changes.Lock);
      seen = changes.Count;
    }
    if (!waitAll) {
      for (DWORD i = 0; i < count; ++i) {
        if (!events[i]) return WAIT_OBJECT_0 + i;
        TkvLockGuard<TkvMutex> lock(events[i]->Lock);
        if (!events[i]->Signaled) continue;
        if (!events[i]->Manual) events[i]->Signaled = false;
        return WAIT_OBJECT_0 + i;
      }
    } else {
      // All of them, taken together: every lock is held while they are tested.
      std::vector<std::unique_lock<TkvMutex>> locks;  // as many as there are events: beyond the analysis
      bool all = true;
      for (DWORD i = 0; i < count && all; ++i) {
        if (!events[i]) continue;
        bool again = false;
        for (DWORD j = 0; j < i; ++j) again |= events[j] == events[i];
        if (again) continue;
        locks.emplace_back(events[i]->Lock);
        all = events[i]->Signaled;
      }
      if (all) {
        for (DWORD i = 0; i < count; ++i)
          if (events[i] && !events[i]->Manual) events[i]->Signaled = false;
        return WAIT_OBJECT_0;
      }
    }
    TkvUniqueLock<TkvMutex> lock(changes.Lock);
    auto changed = [&]() KV_REQUIRES(changes.Lock) { return changes.Count != seen; };
    if (milliseconds == INFINITE) {
      changes.Changed.wait(lock, changed);
    } else if (!changes.Changed.wait_until(lock, deadline, changed)) {
      return WAIT_TIMEOUT;
    }
  }
}

DWORD TkvPosixHost::GetTickCount() {
  // The monotonic clock counts from boot here, as Windows' tick count does.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<DWORD>(ms.count());  // wraps after 49.7 days, as Windows' does
}

void TkvPosixHost::Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  if (milliseconds == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void TkvPosixHost::OutputDebugStringA(LPCSTR text) {
  if (text) Debug(text);
}

void TkvPosixHost::OutputDebugStringW(const WCHAR* text) {
  if (!text) return;
  std::size_t length = 0;
  while (text[length]) ++length;
  // Windows hands wide debug text on as ANSI text of the system code page.
  Debug(WideToAnsi(text, length));
}

DWORD TkvPosixHost::GetCurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
  return id;
}

int TkvPosixHost::MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  host::TkvMessageBoxRecord box{text ? text : "", caption ? caption : "Error", type};
  if (EchoToStderr()) std::fprintf(stderr, "[%s] %s\n", box.Caption.c_str(), box.Text.c_str());
  TCapture& c = Capture();
  TkvLockGuard<TkvMutex> lock(c.Lock);
  c.Boxes.push_back(std::move(box));
  return 1;  // IDOK
}

HRESULT TkvPosixHost::CoInitializeEx(void*, DWORD coInit) {
  const DWORD model = coInit & COINIT_APARTMENTTHREADED;
  if (tCom.Count > 0 && tCom.Model != model) return RPC_E_CHANGED_MODE;
  tCom.Model = model;
  return tCom.Count++ == 0 ? S_OK : S_FALSE;
}

void TkvPosixHost::CoUninitialize() {
  if (tCom.Count > 0) --tCom.Count;
}

HRESULT TkvPosixHost::CoCreateGuid(GUID* guid) {
  if (!guid) return E_INVALIDARG;
  unsigned char bytes[16];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
  }
  std::memcpy(guid, bytes, sizeof bytes);
  guid->Data3 = static_cast<std::uint16_t>((guid->Data3 & 0x0FFF) | 0x4000);  // version 4
  guid->Data4[0] = static_cast<std::uint8_t>((guid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return S_OK;
}

std::string TkvPosixHost::WideToAnsi(const WCHAR* text, std::size_t length) {
  return posix::WideToCodePage(text, length, posix::CurrentAnsiCodePage());
}

namespace host {

std::string DebugOutput() {
  TCapture& c = Capture();
  TkvLockGuard<TkvMutex> lock(c.Lock);
  return c.Debug;
}

void ClearDebugOutput() {
  TCapture& c = Capture();
  TkvLockGuard<TkvMutex> lock(c.Lock);
  c.Debug.clear();
}

std::vector<TkvMessageBoxRecord> MessageBoxes() {
  TCapture& c = Capture();
  TkvLockGuard<TkvMutex> lock(c.Lock);
  return c.Boxes;
}

void ClearMessageBoxes() {
  TCapture& c = Capture();
  TkvLockGuard<TkvMutex> lock(c.Lock);
  c.Boxes.clear();
}

bool IsHostHandle(HANDLE handle) { return posix::FindHandle(handle) != nullptr; }

}  // namespace host
}  // namespace kv
