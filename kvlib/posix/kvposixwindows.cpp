// Windows, messages and timers of the POSIX host.
//
// A window belongs to the thread that created it, and its procedure runs only
// on that thread: directly for a SendMessageA of the same thread, otherwise
// from that thread's GetMessageA/PeekMessageA (sent messages) or
// DispatchMessageA (posted ones). Every thread that touches windows gets a
// queue; one lock guards all windows and queues, and each queue has its own
// condition variable on that lock, so a thread sleeps until something is
// posted or sent to it, a reply to its own send arrives, or its next timer is
// due.
//
// Timers are not queued messages: like Windows, the queue remembers which
// timers are due and GetMessageA makes one WM_TIMER of the earliest due timer
// when no posted message or quit request is waiting. A timer is therefore
// pending at most once, however long the thread was busy, and missed periods
// are skipped rather than delivered in a burst.
#include "kvlock.h"
#include "kvposiximpl.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;

using posix::WM_NCCREATE;
using posix::WM_NCDESTROY;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_HWNDPARENT = -8;
constexpr int GWLP_ID = -12;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
// Windows clamps timer periods into this range.
constexpr UINT kTimerMinimum = 10;
constexpr UINT kTimerMaximum = 0x7FFFFFFF;
// Window handles start above every host handle, in steps of 4, never reused.
constexpr ULONG_PTR kWindowFirst = posix::kHandleLast;

HWND MessageOnlyParent() { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3)); }  // HWND_MESSAGE
HWND ThreadMessagesOnly() { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1)); }

using TIMERPROC = void(KVAPI*)(HWND, UINT, UINT_PTR, DWORD);

// Windows' CREATESTRUCTA, which WM_NCCREATE and WM_CREATE point to.
struct CREATESTRUCTA {
  void* lpCreateParams;
  HINSTANCE hInstance;
  void* hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
};

struct TQueue;

// A message sent from another thread, waiting for the owner thread.
struct TSent {
  HWND Window;
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result = 0;
  bool Done = false;
  std::shared_ptr<TQueue> Sender;
};

struct TTimer {
  HWND Window;
  UINT_PTR Id;
  void* Proc;
  Clock::duration Period;
  Clock::time_point Due;
};

// One lock for the window manager: the classes, the windows and every
// thread's queue. Never destroyed: threads may still leave while the program
// ends.
TkvMutex& gWindowsLock = *new TkvMutex;

struct TQueue {
  DWORD ThreadId = 0;  // of the thread the queue belongs to
  TkvCondition Wake;
  std::deque<std::shared_ptr<TSent>> Sent KV_GUARDED_BY(gWindowsLock);
  std::deque<MSG> Posted KV_GUARDED_BY(gWindowsLock);
  std::vector<TTimer> Timers KV_GUARDED_BY(gWindowsLock);
  bool QuitPosted KV_GUARDED_BY(gWindowsLock) = false;
  int QuitCode KV_GUARDED_BY(gWindowsLock) = 0;
};

struct TClass {
  std::string Name;
  WNDPROC Proc;
  int WndExtra;
  HINSTANCE Instance;
  UINT Atom;
};

struct TWindow {
  HWND Handle;
  std::shared_ptr<TQueue> Owner;
  const TClass* Class;
  WNDPROC Proc;
  LONG_PTR UserData = 0;
  LONG_PTR Id = 0;
  HINSTANCE Instance;
  DWORD ExStyle;
  HWND Parent;
  std::vector<unsigned char> Extra;
  bool Destroying = false;
  bool MessageOnly = false;  // made with HWND_MESSAGE as parent
  posix::TWindowData Data;
};

std::string Lower(const char* text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct TState {
  std::map<std::string, TClass> Classes KV_GUARDED_BY(gWindowsLock);  // by lower-case name
  std::unordered_map<ULONG_PTR, std::shared_ptr<TWindow>> Windows KV_GUARDED_BY(gWindowsLock);
  ULONG_PTR NextWindow KV_GUARDED_BY(gWindowsLock) = kWindowFirst;
  UINT NextAtom KV_GUARDED_BY(gWindowsLock) = 0xC000;
  UINT_PTR NextThreadTimer KV_GUARDED_BY(gWindowsLock) = 0x1000;

  TState() KV_NO_THREAD_SAFETY_ANALYSIS {  // not shared yet
    // The system's own classes, with the atoms Windows gives them.
    Classes["button"] = {"Button", posix::StaticProc, 0, nullptr, 0x0080};
    Classes["edit"] = {"Edit", posix::EditProc, 0, nullptr, 0x0081};
    Classes["static"] = {"Static", posix::StaticProc, 0, nullptr, 0x0082};
  }

  std::shared_ptr<TWindow> Find(HWND window) KV_REQUIRES(gWindowsLock) {
    auto it = Windows.find(reinterpret_cast<ULONG_PTR>(window));
    return it == Windows.end() ? nullptr : it->second;
  }
};

// Never destroyed: threads may still leave while the program ends.
TState& State() {
  static TState* state = new TState;
  return *state;
}

void ThreadLeaves(const std::shared_ptr<TQueue>& queue);

// The calling thread's queue, made on first use and dismantled when the thread
// ends: its windows vanish (without messages, as the thread is gone) and the
// senders still waiting for it are released with a result of 0.
struct TThreadLink {
  std::shared_ptr<TQueue> Queue;
  ~TThreadLink() {
    if (Queue) ThreadLeaves(Queue);
  }
};
thread_local TThreadLink tThread;

const std::shared_ptr<TQueue>& MyQueue() KV_REQUIRES(gWindowsLock) {
  if (!tThread.Queue) {
    tThread.Queue = std::make_shared<TQueue>();
    tThread.Queue->ThreadId = Host().GetCurrentThreadId();
  }
  return tThread.Queue;
}

void RemoveWindowLocked(TState& state, TWindow& window) KV_REQUIRES(gWindowsLock) {
  TQueue& q = *window.Owner;
  q.Timers.erase(std::remove_if(q.Timers.begin(), q.Timers.end(),
                                [&](const TTimer& t) { return t.Window == window.Handle; }),
                 q.Timers.end());
  q.Posted.erase(std::remove_if(q.Posted.begin(), q.Posted.end(),
                                [&](const MSG& m) { return m.hwnd == window.Handle; }),
                 q.Posted.end());
  state.Windows.erase(reinterpret_cast<ULONG_PTR>(window.Handle));
}

void ThreadLeaves(const std::shared_ptr<TQueue>& queue) {
  TState& state = State();
  std::vector<std::shared_ptr<TWindow>> gone;  // released after the lock
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  for (auto it = state.Windows.begin(); it != state.Windows.end();) {
    if (it->second->Owner == queue) {
      gone.push_back(it->second);
      it = state.Windows.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& sent : queue->Sent) {
    sent->Done = true;
    sent->Sender->Wake.notify_all();
  }
  queue->Sent.clear();
  queue->Posted.clear();
  queue->Timers.clear();
}

DWORD Tick() { return NativeHost().GetTickCount(); }

bool InRange(UINT msg, UINT low, UINT high) {
  if (low == 0 && high == 0) return true;
  if (low <= high) return msg >= low && msg <= high;
  return msg >= low || msg <= high;  // Windows reads a reversed range as its outside
}

bool IsDescendant(TState& state, HWND ancestor, HWND window) KV_REQUIRES(gWindowsLock) {
  for (auto w = state.Find(window); w && w->Parent; w = state.Find(w->Parent))
    if (w->Parent == ancestor) return true;
  return false;
}

bool WindowMatches(TState& state, HWND filter, HWND window) KV_REQUIRES(gWindowsLock) {
  if (!filter) return true;
  if (filter == ThreadMessagesOnly()) return window == nullptr;
  return window == filter || (window && IsDescendant(state, filter, window));
}

WNDPROC ProcOf(HWND window) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  auto w = state.Find(window);
  return w ? w->Proc : nullptr;
}

// Whether the procedure that runs on this thread now handles a message sent
// by another thread: set for such a message, cleared for a dispatched one,
// and left as it is by a send of the thread itself (a plain call), as Windows
// keeps it.
thread_local bool tInSend = false;

struct TInSend {
  bool Saved;
  explicit TInSend(bool now) : Saved(tInSend) { tInSend = now; }
  ~TInSend() { tInSend = Saved; }
};

// Runs a message sent by another thread on this one and hands the result
// back, also when the procedure throws.
void Deliver(const std::shared_ptr<TSent>& sent) {
  TInSend inSend(true);
  struct TReply {
    const std::shared_ptr<TSent>& Sent;
    LRESULT Result = 0;
    ~TReply() {
      TkvLockGuard<TkvMutex> lock(gWindowsLock);
      Sent->Result = Result;
      Sent->Done = true;
      Sent->Sender->Wake.notify_all();
    }
  } reply{sent};
  if (WNDPROC proc = ProcOf(sent->Window)) reply.Result = proc(sent->Window, sent->Msg, sent->WParam, sent->LParam);
}

// Handles one message sent to this thread, if any; the lock is dropped meanwhile.
bool DeliverOneSent(TQueue& queue) KV_REQUIRES(gWindowsLock) {
  if (queue.Sent.empty()) return false;
  std::shared_ptr<TSent> sent = queue.Sent.front();
  queue.Sent.pop_front();
  gWindowsLock.unlock();
  try {
    Deliver(sent);
  } catch (...) {
    gWindowsLock.lock();
    throw;
  }
  gWindowsLock.lock();
  return true;
}

enum class TFound { None, Message, Quit };

// Looks for the next message in Windows' order: posted messages, then the quit
// request, then the earliest due timer.
TFound Take(TState& state, TQueue& q, MSG& out, HWND filter, UINT low, UINT high, bool remove)
    KV_REQUIRES(gWindowsLock) {
  for (auto it = q.Posted.begin(); it != q.Posted.end(); ++it) {
    if (WindowMatches(state, filter, it->hwnd) && InRange(it->message, low, high)) {
      out = *it;
      if (remove) q.Posted.erase(it);
      return TFound::Message;
    }
  }
  if (q.QuitPosted && InRange(WM_QUIT, low, high)) {
    out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(static_cast<LONG_PTR>(q.QuitCode)), 0, Tick(), {0, 0}};
    if (remove) q.QuitPosted = false;
    return TFound::Quit;
  }
  if (!InRange(WM_TIMER, low, high)) return TFound::None;
  const Clock::time_point now = Clock::now();
  TTimer* due = nullptr;
  for (TTimer& t : q.Timers)
    if (t.Due <= now && WindowMatches(state, filter, t.Window) && (!due || t.Due < due->Due)) due = &t;
  if (!due) return TFound::None;
  out = MSG{due->Window, WM_TIMER, due->Id, reinterpret_cast<LPARAM>(due->Proc), Tick(), {0, 0}};
  if (remove) due->Due += due->Period * ((now - due->Due) / due->Period + 1);
  return TFound::Message;
}

std::optional<Clock::time_point> NextTimer(const TQueue& q) KV_REQUIRES(gWindowsLock) {
  std::optional<Clock::time_point> next;
  for (const TTimer& t : q.Timers)
    if (!next || t.Due < *next) next = t.Due;
  return next;
}

LRESULT Send(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  TState& state = State();
  TkvUniqueLock<TkvMutex> lock(gWindowsLock);
  auto target = state.Find(window);
  if (!target) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::shared_ptr<TQueue> me = MyQueue();
  if (target->Owner == me) {
    WNDPROC proc = target->Proc;
    lock.unlock();
    return proc ? proc(window, msg, wParam, lParam) : 0;
  }
  auto sent = std::make_shared<TSent>();
  sent->Window = window;
  sent->Msg = msg;
  sent->WParam = wParam;
  sent->LParam = lParam;
  sent->Sender = me;
  target->Owner->Sent.push_back(sent);
  target->Owner->Wake.notify_all();
  // While waiting, serve what other threads send to this one: the owner may be
  // sending back to our windows before it can answer.
  while (!sent->Done) {
    if (!DeliverOneSent(*me)) me->Wake.wait(lock);
  }
  return sent->Result;
}

BOOL Destroy(HWND window) {
  TState& state = State();
  std::vector<HWND> children;
  {
    TkvLockGuard<TkvMutex> lock(gWindowsLock);
    auto w = state.Find(window);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (w->Owner != MyQueue()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (w->Destroying) return TRUE;
    w->Destroying = true;
  }
  // Windows' order: WM_DESTROY to the window, then its children are destroyed,
  // then WM_NCDESTROY; the window stays valid until then.
  Send(window, WM_DESTROY, 0, 0);
  {
    TkvLockGuard<TkvMutex> lock(gWindowsLock);
    for (auto& [handle, w] : state.Windows)
      if (w->Parent == window && !w->Destroying) children.push_back(w->Handle);
  }
  for (HWND child : children) Destroy(child);
  Send(window, WM_NCDESTROY, 0, 0);
  std::shared_ptr<TWindow> gone;
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  gone = state.Find(window);
  if (gone) RemoveWindowLocked(state, *gone);
  return TRUE;
}

}  // namespace

namespace posix {

bool WithWindowData(HWND window, const std::function<void(TWindowData&)>& fn) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  auto w = state.Find(window);
  if (!w) return false;
  fn(w->Data);
  return true;
}

LRESULT DefProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_NCCREATE: {
      const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      if (cs && cs->lpszName && !IsIntResource(cs->lpszName))
        WithWindowData(window, [&](TWindowData& d) { d.Text = cs->lpszName; });
      return TRUE;
    }
    case WM_SETTEXT:
      return WithWindowData(window,
                            [&](TWindowData& d) { d.Text = lParam ? reinterpret_cast<const char*>(lParam) : ""; })
                 ? TRUE
                 : FALSE;
    case WM_GETTEXT: {
      LRESULT copied = 0;
      if (wParam == 0 || !lParam) return 0;
      WithWindowData(window, [&](TWindowData& d) {
        std::size_t n = std::min<std::size_t>(d.Text.size(), wParam - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), d.Text.data(), n);
        reinterpret_cast<char*>(lParam)[n] = '\0';
        copied = static_cast<LRESULT>(n);
      });
      return copied;
    }
    case WM_GETTEXTLENGTH: {
      LRESULT length = 0;
      WithWindowData(window, [&](TWindowData& d) { length = static_cast<LRESULT>(d.Text.size()); });
      return length;
    }
    case WM_CLOSE:
      Destroy(window);
      return 0;
    default:
      return 0;
  }
}

}  // namespace posix

UINT TkvPosixHost::RegisterClassA(const WNDCLASSA* cls) {
  if (!cls || !cls->lpszClassName || IsIntResource(cls->lpszClassName) || !*cls->lpszClassName ||
      cls->cbWndExtra < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  std::string key = Lower(cls->lpszClassName);
  auto it = state.Classes.find(key);
  // The system classes may be shadowed by a program's own class of that name.
  if (it != state.Classes.end() && it->second.Atom >= 0xC000) {
    SetLastError(posix::ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  TClass c{cls->lpszClassName, cls->lpfnWndProc, cls->cbWndExtra, cls->hInstance, state.NextAtom++};
  state.Classes[key] = c;
  return c.Atom;
}

HWND TkvPosixHost::CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                                   int y, int width, int height, HWND parent, void* menu, HINSTANCE instance,
                                   void* param) {
  TState& state = State();
  HWND handle;
  {
    TkvLockGuard<TkvMutex> lock(gWindowsLock);
    const TClass* cls = nullptr;
    if (className && IsIntResource(className)) {
      UINT atom = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(className));
      for (auto& [key, c] : state.Classes)
        if (c.Atom == atom) cls = &c;
    } else if (className) {
      auto it = state.Classes.find(Lower(className));
      if (it != state.Classes.end()) cls = &it->second;
    }
    if (!cls) {
      SetLastError(posix::ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    const bool messageOnly = parent == MessageOnlyParent();
    if (messageOnly) {
      parent = nullptr;
    } else if (parent && !state.Find(parent)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if ((style & WS_CHILD) && !parent) {
      SetLastError(posix::ERROR_TLW_WITH_WSCHILD);
      return nullptr;
    }
    auto w = std::make_shared<TWindow>();
    handle = reinterpret_cast<HWND>(state.NextWindow);
    state.NextWindow += 4;
    w->Handle = handle;
    w->Owner = MyQueue();
    w->Class = cls;
    w->Proc = cls->Proc;
    w->Instance = instance;
    w->ExStyle = exStyle;
    w->Parent = parent;
    w->MessageOnly = messageOnly;
    w->Id = (style & WS_CHILD) ? reinterpret_cast<LONG_PTR>(menu) : 0;
    w->Extra.assign(static_cast<std::size_t>(cls->WndExtra), 0);
    w->Data.Style = style;
    state.Windows.emplace(reinterpret_cast<ULONG_PTR>(handle), std::move(w));
  }
  CREATESTRUCTA cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                   windowName, className, exStyle};
  auto fail = [&] {
    if (IsWindow(handle)) Destroy(handle);
    return nullptr;
  };
  if (!Send(handle, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) return fail();
  if (Send(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) return fail();
  // The procedure may have destroyed its window while it was being created.
  return IsWindow(handle) ? handle : nullptr;
}

BOOL TkvPosixHost::DestroyWindow(HWND window) { return Destroy(window); }

BOOL TkvPosixHost::IsWindow(HWND window) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  return state.Find(window) ? TRUE : FALSE;
}

LONG_PTR TkvPosixHost::SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  auto w = state.Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR previous = 0;
  switch (index) {
    case GWLP_WNDPROC:
      previous = reinterpret_cast<LONG_PTR>(w->Proc);
      w->Proc = reinterpret_cast<WNDPROC>(value);
      break;
    case GWLP_USERDATA:
      previous = w->UserData;
      w->UserData = value;
      break;
    case GWLP_ID:
      previous = w->Id;
      w->Id = value;
      break;
    case GWLP_HINSTANCE:
      previous = reinterpret_cast<LONG_PTR>(w->Instance);
      w->Instance = reinterpret_cast<HINSTANCE>(value);
      break;
    case GWL_STYLE:
      previous = static_cast<LONG_PTR>(w->Data.Style);
      w->Data.Style = static_cast<DWORD>(value);
      break;
    case GWL_EXSTYLE:
      previous = static_cast<LONG_PTR>(w->ExStyle);
      w->ExStyle = static_cast<DWORD>(value);
      break;
    default:
      if (index < 0 || static_cast<std::size_t>(index) + sizeof(LONG_PTR) > w->Extra.size()) {
        SetLastError(posix::ERROR_INVALID_INDEX);
        return 0;
      }
      std::memcpy(&previous, w->Extra.data() + index, sizeof previous);
      std::memcpy(w->Extra.data() + index, &value, sizeof value);
  }
  return previous;
}

LONG_PTR TkvPosixHost::GetWindowLongPtrA(HWND window, int index) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  auto w = state.Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(w->Proc);
    case GWLP_USERDATA:
      return w->UserData;
    case GWLP_ID:
      return w->Id;
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(w->Instance);
    case GWLP_HWNDPARENT:
      return reinterpret_cast<LONG_PTR>(w->Parent);
    case GWL_STYLE:
      return static_cast<LONG_PTR>(w->Data.Style);
    case GWL_EXSTYLE:
      return static_cast<LONG_PTR>(w->ExStyle);
    default: {
      if (index < 0 || static_cast<std::size_t>(index) + sizeof(LONG_PTR) > w->Extra.size()) {
        SetLastError(posix::ERROR_INVALID_INDEX);
        return 0;
      }
      LONG_PTR value;
      std::memcpy(&value, w->Extra.data() + index, sizeof value);
      return value;
    }
  }
}

LRESULT TkvPosixHost::CallWindowProcA(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(window, msg, wParam, lParam) : 0;
}

LRESULT TkvPosixHost::DefWindowProcA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return posix::DefProc(window, msg, wParam, lParam);
}

LRESULT TkvPosixHost::SendMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Send(window, msg, wParam, lParam);
}

BOOL TkvPosixHost::InSendMessage() { return tInSend; }

BOOL TkvPosixHost::PostMessageA(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  TQueue* queue;
  if (!window) {
    queue = MyQueue().get();  // a message for the thread itself
  } else {
    auto w = state.Find(window);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = w->Owner.get();
  }
  queue->Posted.push_back(MSG{window, msg, wParam, lParam, Tick(), {0, 0}});
  queue->Wake.notify_all();
  return TRUE;
}

BOOL TkvPosixHost::GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  TState& state = State();
  TkvUniqueLock<TkvMutex> lock(gWindowsLock);
  if (window && window != ThreadMessagesOnly() && !state.Find(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::shared_ptr<TQueue> q = MyQueue();
  for (;;) {
    if (DeliverOneSent(*q)) continue;
    MSG m{};
    TFound found = Take(state, *q, m, window, filterMin, filterMax, true);
    if (found != TFound::None) {
      if (msg) *msg = m;
      return m.message == WM_QUIT ? FALSE : TRUE;  // also for a WM_QUIT that was posted
    }
    if (auto next = NextTimer(*q))
      q->Wake.wait_until(lock, *next);
    else
      q->Wake.wait(lock);
  }
}

BOOL TkvPosixHost::PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
  TState& state = State();
  TkvUniqueLock<TkvMutex> lock(gWindowsLock);
  if (window && window != ThreadMessagesOnly() && !state.Find(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::shared_ptr<TQueue> q = MyQueue();
  while (DeliverOneSent(*q)) {
  }
  MSG m{};
  if (Take(state, *q, m, window, filterMin, filterMax, (remove & PM_REMOVE) != 0) == TFound::None) return FALSE;
  if (msg) *msg = m;
  return TRUE;
}

BOOL TkvPosixHost::TranslateMessage(const MSG*) { return TRUE; }

LRESULT TkvPosixHost::DispatchMessageA(const MSG* msg) {
  if (!msg) return 0;
  TState& state = State();
  TkvUniqueLock<TkvMutex> lock(gWindowsLock);
  if (msg->message == WM_TIMER && msg->lParam) {
    // Only the procedure of one of this thread's timers is called, never an
    // address that merely arrived in a posted message.
    bool known = false;
    for (const TTimer& t : MyQueue()->Timers)
      known = known || (t.Window == msg->hwnd && t.Id == msg->wParam &&
                        reinterpret_cast<LPARAM>(t.Proc) == msg->lParam);
    lock.unlock();
    if (known) reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, Tick());
    return 0;
  }
  if (!msg->hwnd) return 0;
  auto w = state.Find(msg->hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->Owner != MyQueue()) {
    SetLastError(posix::ERROR_MESSAGE_SYNC_ONLY);
    return 0;
  }
  WNDPROC proc = w->Proc;
  lock.unlock();
  TInSend inSend(false);
  return proc ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

void TkvPosixHost::PostQuitMessage(int exitCode) {
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  MyQueue()->QuitPosted = true;
  MyQueue()->QuitCode = exitCode;
}

UINT_PTR TkvPosixHost::SetTimer(HWND window, UINT_PTR id, UINT elapse, void* timerProc) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  TQueue* queue;
  if (window) {
    auto w = state.Find(window);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    queue = w->Owner.get();
  } else {
    queue = MyQueue().get();
  }
  elapse = std::clamp(elapse, kTimerMinimum, kTimerMaximum);
  const Clock::duration period = std::chrono::milliseconds(elapse);
  auto it = std::find_if(queue->Timers.begin(), queue->Timers.end(),
                         [&](const TTimer& t) { return t.Window == window && t.Id == id; });
  if (it != queue->Timers.end()) {
    // The same timer again: new period and procedure, counted from now.
    it->Period = period;
    it->Proc = timerProc;
    it->Due = Clock::now() + period;
  } else {
    // A thread timer's id is chosen here unless an existing one is named.
    if (!window) id = state.NextThreadTimer++;
    queue->Timers.push_back(TTimer{window, id, timerProc, period, Clock::now() + period});
  }
  queue->Wake.notify_all();
  return window ? (id ? id : 1) : id;
}

BOOL TkvPosixHost::KillTimer(HWND window, UINT_PTR id) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  TQueue* queue;
  if (window) {
    auto w = state.Find(window);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = w->Owner.get();
  } else {
    queue = MyQueue().get();
  }
  auto it = std::find_if(queue->Timers.begin(), queue->Timers.end(),
                         [&](const TTimer& t) { return t.Window == window && t.Id == id; });
  if (it == queue->Timers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  queue->Timers.erase(it);
  // A WM_TIMER of this timer that someone posted goes too, as in Windows.
  queue->Posted.erase(std::remove_if(queue->Posted.begin(), queue->Posted.end(),
                                     [&](const MSG& m) {
                                       return m.message == WM_TIMER && m.hwnd == window && m.wParam == id;
                                     }),
                      queue->Posted.end());
  return TRUE;
}

HWND TkvPosixHost::GetForegroundWindow() { return nullptr; }

BOOL TkvPosixHost::EnumWindows(WNDENUMPROC proc, LPARAM param) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TState& state = State();
  std::vector<HWND> topLevel;
  {
    TkvLockGuard<TkvMutex> lock(gWindowsLock);
    for (auto& [handle, w] : state.Windows)
      if (!w->Parent && !w->MessageOnly && !w->Destroying) topLevel.push_back(w->Handle);
  }
  // Creation order, as a stable answer; a window that a callback destroyed is
  // skipped.
  std::sort(topLevel.begin(), topLevel.end());
  for (HWND w : topLevel)
    if (IsWindow(w) && !proc(w, param)) return FALSE;
  return TRUE;
}

DWORD TkvPosixHost::GetWindowThreadProcessId(HWND window, DWORD* processId) {
  TState& state = State();
  TkvLockGuard<TkvMutex> lock(gWindowsLock);
  auto w = state.Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (processId) *processId = GetCurrentProcessId();
  return w->Owner->ThreadId;
}

}  // namespace kv
