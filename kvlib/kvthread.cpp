// Threads of the component framework and their synchronisation with the main
// thread.
//
// One process-wide lock guards the queue of Synchronize requests and the
// start and end marks of every run; one condition variable announces any
// change of those. So a main thread that waits for a run also wakes for a
// queued request and serves it: a thread that synchronises while it is
// waited for cannot deadlock the two.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>

#include "kvframework.h"

namespace kv {

namespace detail {

struct TThreadState {
  std::atomic<bool> Terminated{false};
  // Guarded by the process-wide lock.
  bool Started = false;
  bool Released = false;  // Start() is done with the object; the run may go
  bool Finished = false;
  int ReturnValue = 0;
  std::exception_ptr Fatal;
};

}  // namespace detail

namespace {

struct TSyncRequest {
  const TThreadMethod* Method;
  std::exception_ptr Error;
  bool Done = false;
};

struct TSync {
  std::mutex Lock;
  std::condition_variable Changed;
  std::deque<TSyncRequest*> Queue;
  std::function<void()> Wake;
};

// Never destroyed: threads may still end while the program's statics go.
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

// Waits until the run of `state` has ended or `milliseconds` have passed.
bool WaitRun(detail::TThreadState& state, DWORD milliseconds) {
  TSync& sync = Sync();
  const bool forever = milliseconds == INFINITE;
  const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  const bool main = IsMainThread();
  std::unique_lock<std::mutex> lock(sync.Lock);
  for (;;) {
    if (state.Finished || !state.Started) return true;
    if (main && !sync.Queue.empty()) {
      lock.unlock();
      CheckSynchronize(0);
      lock.lock();
      continue;
    }
    if (!forever && TClock::now() >= deadline) return false;
    if (!main) {
      if (forever)
        sync.Changed.wait(lock);
      else
        sync.Changed.wait_until(lock, deadline);
      continue;
    }
    TClock::time_point slice = TClock::now() + kSentMessageSlice;
    if (sync.Changed.wait_until(lock, forever ? slice : std::min(slice, deadline)) == std::cv_status::timeout) {
      lock.unlock();
      ServeSentMessages();
      lock.lock();
    }
  }
}

}  // namespace

// ---- main thread ---------------------------------------------------------------

bool IsMainThread() { return gMainThread.load(std::memory_order_acquire) == std::this_thread::get_id(); }

void SetMainThread() { gMainThread.store(std::this_thread::get_id(), std::memory_order_release); }

void SetWakeMainThread(std::function<void()> wake) {
  TSync& sync = Sync();
  std::lock_guard<std::mutex> lock(sync.Lock);
  sync.Wake = std::move(wake);
}

bool CheckSynchronize(DWORD milliseconds) {
  if (!IsMainThread()) throw EkvException("CheckSynchronize called from a thread that is not the main thread");
  TSync& sync = Sync();
  std::unique_lock<std::mutex> lock(sync.Lock);
  if (sync.Queue.empty() && milliseconds != 0) {
    auto queued = [&] { return !sync.Queue.empty(); };
    if (milliseconds == INFINITE)
      sync.Changed.wait(lock, queued);
    else
      sync.Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), queued);
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

// ---- TThreadRef -----------------------------------------------------------------

void TThreadRef::Terminate() const {
  if (FState) FState->Terminated.store(true);
}

bool TThreadRef::Terminated() const { return FState && FState->Terminated.load(); }

bool TThreadRef::Finished() const {
  if (!FState) return true;
  std::lock_guard<std::mutex> lock(Sync().Lock);
  return FState->Finished;
}

int TThreadRef::WaitFor() const {
  if (!FState) return 0;
  WaitRun(*FState, INFINITE);
  std::lock_guard<std::mutex> lock(Sync().Lock);
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
  std::lock_guard<std::mutex> join(FJoinLock);
  if (FThread.joinable()) FThread.join();
}

void TThread::Start() {
  if (FStarted) throw EkvException("Thread already started");
  FStarted = true;
  std::shared_ptr<detail::TThreadState> state = FState;
  TSync& sync = Sync();
  {
    std::lock_guard<std::mutex> lock(sync.Lock);
    state->Started = true;
  }
  FThread = std::thread(&TThread::Run, this, state);
  FThreadID = FThread.get_id();
  // The run waits for this mark, so it cannot delete the object while the
  // lines above still write to it. Nothing below may touch `this`.
  {
    std::lock_guard<std::mutex> lock(sync.Lock);
    state->Released = true;
  }
  sync.Changed.notify_all();
}

void TThread::Run(TThread* self, std::shared_ptr<detail::TThreadState> state) {
  TSync& sync = Sync();
  {
    std::unique_lock<std::mutex> lock(sync.Lock);
    sync.Changed.wait(lock, [&] { return state->Released; });
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
    std::lock_guard<std::mutex> lock(sync.Lock);
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
  std::lock_guard<std::mutex> lock(Sync().Lock);
  return FState->Fatal;
}

int TThread::WaitFor() {
  if (FFreeOnTerminate.load()) throw EkvException("Cannot call WaitFor on a FreeOnTerminate thread");
  if (FStarted && FThreadID == std::this_thread::get_id()) throw EkvException("A thread cannot wait for itself");
  WaitRun(*FState, INFINITE);
  {
    std::lock_guard<std::mutex> join(FJoinLock);
    if (FThread.joinable()) FThread.join();
  }
  std::lock_guard<std::mutex> lock(Sync().Lock);
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
    std::lock_guard<std::mutex> lock(sync.Lock);
    sync.Queue.push_back(&request);
    wake = sync.Wake;
  }
  sync.Changed.notify_all();
  if (wake) wake();
  {
    std::unique_lock<std::mutex> lock(sync.Lock);
    sync.Changed.wait(lock, [&] { return request.Done; });
  }
  if (request.Error) std::rethrow_exception(request.Error);
}

}  // namespace kv
