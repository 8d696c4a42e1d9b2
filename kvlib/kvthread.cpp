// Threads of the component framework, their synchronisation with the main
// thread, and the dispatch lock.
//
// One process-wide lock (detail::gThreadLock) guards the queue of Synchronize
// requests, the start and end marks of every run and the state of every
// dispatch lock; one condition variable announces any change of those. So a
// main thread that waits (for a run, for a dispatch lock) also wakes for a
// queued request and serves it: a thread that synchronises while it is waited
// for cannot deadlock the two.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <system_error>

#include "kvframework.h"

namespace kv {

namespace detail {

// Never destroyed: threads may still end while the program's statics go.
TkvMutex& gThreadLock = *new TkvMutex;

struct TThreadState {
  std::atomic<bool> Terminated{false};
  bool Started KV_GUARDED_BY(gThreadLock) = false;
  bool Released KV_GUARDED_BY(gThreadLock) = false;  // Start() is done with the object; the run may go
  bool Finished KV_GUARDED_BY(gThreadLock) = false;
  int ReturnValue KV_GUARDED_BY(gThreadLock) = 0;
  std::exception_ptr Fatal KV_GUARDED_BY(gThreadLock);
};

}  // namespace detail

namespace {

using detail::gThreadLock;
using TThreadLock = TkvUniqueLock<TkvMutex>;

struct TSyncRequest {
  const TThreadMethod* Method;
  std::exception_ptr Error;
  bool Done = false;
};

struct TSync {
  TkvCondition Changed;
  std::deque<TSyncRequest*> Queue KV_GUARDED_BY(gThreadLock);
  std::function<void()> Wake KV_GUARDED_BY(gThreadLock);
  int FailStarts KV_GUARDED_BY(gThreadLock) = 0;
};

// Never destroyed, like the lock.
TSync& Sync() {
  static TSync* sync = new TSync;
  return *sync;
}

// The thread that runs the library's static initialisation: the program's
// main thread.
std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};

// While the main thread waits, a thread it waits for may be blocked in
// SendMessageA to one of the main thread's windows; peeking lets the system
// deliver such sent messages. This is how often the wait looks.
constexpr auto kSentMessageSlice = std::chrono::milliseconds(10);

void ServeSentMessages() {
  MSG msg{};
  Host().PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

using TClock = std::chrono::steady_clock;

// Waits, with the thread lock held, until done() holds or the deadline (none
// when `forever`) has passed; returns done(). On the main thread the wait
// serves queued Synchronize requests and sent messages.
template <class TDone>
bool WaitServing(TDone done, bool forever, TClock::time_point deadline) KV_REQUIRES(gThreadLock) {
  TSync& sync = Sync();
  const bool main = IsMainThread();
  for (;;) {
    if (done()) return true;
    if (main && !sync.Queue.empty()) {
      gThreadLock.unlock();
      CheckSynchronize(0);
      gThreadLock.lock();
      continue;
    }
    if (!forever && TClock::now() >= deadline) return false;
    if (!main) {
      if (forever)
        sync.Changed.wait(gThreadLock);
      else
        sync.Changed.wait_until(gThreadLock, deadline);
      continue;
    }
    TClock::time_point slice = TClock::now() + kSentMessageSlice;
    if (sync.Changed.wait_until(gThreadLock, forever ? slice : std::min(slice, deadline)) == std::cv_status::timeout) {
      gThreadLock.unlock();
      ServeSentMessages();
      gThreadLock.lock();
    }
  }
}

// Waits until the run of `state` has ended or `milliseconds` have passed.
bool WaitRun(detail::TThreadState& state, DWORD milliseconds) {
  const bool forever = milliseconds == INFINITE;
  const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  return WaitServing([&]() KV_REQUIRES(gThreadLock) { return state.Finished || !state.Started; }, forever, deadline);
}

}  // namespace

// ---- main thread ---------------------------------------------------------------

bool IsMainThread() { return gMainThread.load(std::memory_order_acquire) == std::this_thread::get_id(); }

void SetMainThread() { gMainThread.store(std::this_thread::get_id(), std::memory_order_release); }

void SetWakeMainThread(std::function<void()> wake) {
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  Sync().Wake = std::move(wake);
}

bool CheckSynchronize(DWORD milliseconds) {
  if (!IsMainThread()) throw EkvException("CheckSynchronize called from a thread that is not the main thread");
  TSync& sync = Sync();
  TThreadLock lock(gThreadLock);
  if (sync.Queue.empty() && milliseconds != 0) {
    auto queued = [&]() KV_REQUIRES(gThreadLock) { return !sync.Queue.empty(); };
    if (milliseconds == INFINITE) {
      while (!queued()) sync.Changed.wait(lock);
    } else {
      const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(milliseconds);
      while (!queued() && sync.Changed.wait_until(lock, deadline) != std::cv_status::timeout) {
      }
    }
  }
  // Only the requests present now: threads that keep synchronising must not
  // hold the main thread here for ever.
  std::size_t count = sync.Queue.size();
  for (std::size_t i = 0; i < count && !sync.Queue.empty(); ++i) {
    TSyncRequest* request = sync.Queue.front();
    sync.Queue.pop_front();
    lock.unlock();
    std::exception_ptr error;
    try {
      (*request->Method)();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    request->Error = error;
    request->Done = true;  // the requester may free the request from here on
    sync.Changed.notify_all();
  }
  return count > 0;
}

// ---- TDispatchLock --------------------------------------------------------------

void TDispatchLock::Acquire() {
  const std::thread::id me = std::this_thread::get_id();
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  if (FOwner == me) {  // again, from inside
    ++FDepth;
    return;
  }
  const bool main = IsMainThread();
  if (main) ++FMainWaiting;
  WaitServing([&]() KV_REQUIRES(gThreadLock) { return FDepth == 0 && (main || FMainWaiting == 0); }, true,
              TClock::time_point());
  if (main) --FMainWaiting;
  FOwner = me;
  FDepth = 1;
}

void TDispatchLock::Release() {
  {
    TkvLockGuard<TkvMutex> lock(gThreadLock);
    if (--FDepth > 0) return;
    FOwner = std::thread::id();
  }
  Sync().Changed.notify_all();
}

// ---- TThreadRef -----------------------------------------------------------------

void TThreadRef::Terminate() const {
  if (FState) FState->Terminated.store(true);
}

bool TThreadRef::Terminated() const { return FState && FState->Terminated.load(); }

bool TThreadRef::Finished() const {
  if (!FState) return true;
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  return FState->Finished;
}

int TThreadRef::WaitFor() const {
  if (!FState) return 0;
  WaitRun(*FState, INFINITE);
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  return FState->ReturnValue;
}

bool TThreadRef::WaitFor(DWORD milliseconds) const { return !FState || WaitRun(*FState, milliseconds); }

// ---- TThread ---------------------------------------------------------------------

TThread::TThread() : FState(std::make_shared<detail::TThreadState>()) {}

TThread::~TThread() {
  if (!FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) {
    // A FreeOnTerminate run deleting its own object: nothing left to join.
    FThread.detach();
    return;
  }
  Terminate();
  WaitRun(*FState, INFINITE);
  TkvLockGuard<TkvMutex> join(FJoinLock);
  if (FThread.joinable()) FThread.join();
}

void TThread::FailNextStarts(int count) {
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  Sync().FailStarts = count;
}

void TThread::Start() {
  if (FStarted) throw EkvException("Thread already started");
  std::shared_ptr<detail::TThreadState> state = FState;
  TSync& sync = Sync();
  try {
    {
      TkvLockGuard<TkvMutex> lock(gThreadLock);
      if (sync.FailStarts > 0) {
        --sync.FailStarts;
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
    }
    FThread = std::thread(&TThread::Run, this, state);
  } catch (const std::system_error& e) {
    // Not started: a wait for this run returns at once instead of waiting
    // for an end that never comes.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    throw EkvException(std::string("Cannot create a thread (") + e.what() + ")");
  }
  FStarted = true;
  FThreadID = FThread.get_id();
  // The run waits for the release mark, so it cannot delete the object while
  // the lines above still write to it. Nothing below may touch `this`.
  {
    TkvLockGuard<TkvMutex> lock(gThreadLock);
    state->Started = true;
    state->Released = true;
  }
  sync.Changed.notify_all();
}

void TThread::Run(TThread* self, std::shared_ptr<detail::TThreadState> state) {
  TSync& sync = Sync();
  {
    TThreadLock lock(gThreadLock);
    while (!state->Released) sync.Changed.wait(lock);
  }
  std::exception_ptr fatal;
  try {
    self->Execute();
  } catch (...) {
    fatal = std::current_exception();
  }
  int returnValue = self->FReturnValue;
  if (self->FFreeOnTerminate.load()) delete self;
  // Marked only now, so whoever waits through a TThreadRef finds a
  // FreeOnTerminate object already deleted.
  {
    TkvLockGuard<TkvMutex> lock(gThreadLock);
    state->ReturnValue = returnValue;
    state->Fatal = fatal;
    state->Finished = true;
  }
  sync.Changed.notify_all();
}

void TThread::Terminate() { FState->Terminated.store(true); }

bool TThread::Terminated() const { return FState->Terminated.load(); }

bool TThread::Finished() const { return Ref().Finished(); }

std::exception_ptr TThread::FatalException() const {
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  return FState->Fatal;
}

int TThread::WaitFor() {
  if (FFreeOnTerminate.load()) throw EkvException("Cannot call WaitFor on a FreeOnTerminate thread");
  if (FStarted && FThreadID == std::this_thread::get_id()) throw EkvException("A thread cannot wait for itself");
  WaitRun(*FState, INFINITE);
  {
    TkvLockGuard<TkvMutex> join(FJoinLock);
    if (FThread.joinable()) FThread.join();
  }
  TkvLockGuard<TkvMutex> lock(gThreadLock);
  return FState->ReturnValue;
}

void TThread::Synchronize(TThread* thread, const TThreadMethod& method) {
  (void)thread;  // every thread shares the one queue of the main thread
  if (!method) return;
  if (IsMainThread()) {
    method();
    return;
  }
  TSync& sync = Sync();
  TSyncRequest request{&method, nullptr, false};
  std::function<void()> wake;
  {
    TkvLockGuard<TkvMutex> lock(gThreadLock);
    sync.Queue.push_back(&request);
    wake = sync.Wake;
  }
  sync.Changed.notify_all();
  if (wake) wake();
  {
    TThreadLock lock(gThreadLock);
    while (!request.Done) sync.Changed.wait(lock);
  }
  if (request.Error) std::rethrow_exception(request.Error);
}

}  // namespace kv
