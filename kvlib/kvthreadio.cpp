// TkvThreadIO, and TkvBaseIO's I/O thread, the dispatch of received data, the
// receivers and the terminal.
#include "kvthreadio.h"

#include "kvdataproc.h"
#include "kvedit.h"

#include <thread>

namespace kv {

// ---- the thread ---------------------------------------------------------------------

TkvThreadIO::TkvThreadIO(TkvBaseIO* AOwner) : FOwner(AOwner) {
  SetFreeOnTerminate(true);
  // The component keeps the run, which outlives this object.
  AOwner->FThreadRun = Ref();
  AOwner->FThread = this;
  Start();  // last: from here on the object may be gone at any time
}

void TkvThreadIO::Execute() {
  TkvBaseIO* owner = FOwner;
  owner->FThreadId.store(std::this_thread::get_id());
  TkvHost& host = Host();
  const HRESULT com = host.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  try {
    owner->ThreadExecute(this);
  } catch (...) {
    // The loop's failures end the run and nothing else.
  }
  if (com >= 0) host.CoUninitialize();  // only what this run initialised
}

void SynchronizeMethod(TThread* Thread, const TThreadMethod& Method) { TThread::Synchronize(Thread, Method); }

// ---- starting and stopping ----------------------------------------------------------

bool TkvBaseIO::OnIOThread() const { return FThreadId.load() == std::this_thread::get_id(); }

void TkvBaseIO::StartThread() {
  // A run that was told to stop without being waited for (a descendant may
  // set the stop flag itself before Close) ends before the next one starts:
  // two loops must never read the same medium.
  WaitForThreadEnd();
  SetThreadStopped(false);
  try {
    new TkvThreadIO(this);  // runs at once and frees itself at its end
  } catch (...) {
    // Never started: there is no run to stop or wait for.
    SetThreadStopped(true);
    FThread = nullptr;
    FThreadRun = TThreadRef();
    throw;
  }
}

void TkvBaseIO::StopThread() {
  if (ThreadStopped()) return;
  WaitForThreadEnd();
}

void TkvBaseIO::WaitForThreadEnd() {
  if (!FThreadRun.Assigned()) return;
  SetThreadStopped(true);
  FThreadRun.Terminate();
  // The loop itself may close its component: it cannot wait for its own end,
  // which comes when it returns.
  if (OnIOThread()) return;
  FThreadRun.WaitFor();
  FThread = nullptr;
  FThreadRun = TThreadRef();
  FThreadId.store(std::thread::id());
}

void TkvBaseIO::ThreadExecute(TkvThreadIO*) {}

// ---- receivers -------------------------------------------------------------------------

bool TkvBaseIO::HasReceivers() const {
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  return FTerminal != nullptr || static_cast<bool>(FOnAfterReceive) || FDataProcessor != nullptr;
}

TkvCustomDataProcessor* TkvBaseIO::DataProcessor() const {
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  return FDataProcessor;
}

void TkvBaseIO::SetDataProcessor(TkvCustomDataProcessor* Value) {
  TkvCustomDataProcessor* old;
  {
    TDispatchGuard dispatch(FDispatchLock);
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    old = FDataProcessor;
    FDataProcessor = Value;
  }
  // Released only now: a dispatch that was inside it has ended. One that
  // another component took over meanwhile is left bound to that one.
  if (old && old != Value && old->Comm() == this) old->SetComm(nullptr);
  if (Value) {
    Value->SetComm(this);
    Value->FreeNotification(this);
  }
}

TOnReceived TkvBaseIO::OnAfterReceive() const {
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  return FOnAfterReceive;
}

void TkvBaseIO::SetOnAfterReceive(TOnReceived Value) {
  TDispatchGuard dispatch(FDispatchLock);
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  FOnAfterReceive.swap(Value);  // the old handler goes with Value, after the locks
}

void TkvBaseIO::DoDataReceived(BYTE* Buffer, DWORD Count) {
  TDispatchGuard dispatch(FDispatchLock);
  TkvCustomDataProcessor* processor;
  {
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    processor = FDataProcessor;
  }
  bool handled = false;
  if (processor) processor->Receive(Buffer, Count, handled);
  // Read again: a receiver may have changed them on this thread.
  bool terminal;
  TOnReceived after;
  {
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    terminal = FTerminal != nullptr;
    after = FOnAfterReceive;  // a copy: it may replace itself
  }
  if (terminal && !handled) TerminalWrite(Buffer, Count);
  if (after) after(this, Buffer, Count);
}

// ---- terminal ----------------------------------------------------------------------------

namespace {

bool ShowsReceived(TTerminalUsage Usage) { return Usage == tuReceive || Usage == tuBoth; }

}  // namespace

TkvEdit* TkvBaseIO::Terminal() const {
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  return FTerminal;
}

TTerminalUsage TkvBaseIO::TerminalUsage() const {
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  return FTerminalUsage;
}

HWND TkvBaseIO::TerminalHandle() const {
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  return FTerminalHandle;
}

void TkvBaseIO::SetTerminal(TkvEdit* Value) {
  TTerminalUsage usage = TerminalUsage();
  if (Designing() && Value && usage == tuNone) usage = tuBoth;
  // The window is made before anything changes: an edit whose window cannot
  // be made leaves the component as it was.
  const HWND handle = Value && ShowsReceived(usage) ? Value->Handle() : nullptr;
  TDispatchGuard dispatch(FDispatchLock);
  TkvEdit* old;
  TWndMethod saved;
  {
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    old = FTerminal;
    saved = FSavedWndProc;
  }
  // The edits' procedures are set on their own (this) thread, without the lock.
  if (old) old->SetWindowProc(saved);
  saved = Value ? Value->WindowProc() : TWndMethod();
  if (Value) Value->SetWindowProc([this](TMessage& message) { TerminalWndProc(message); });
  {
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    FSavedWndProc = saved;
    FTerminal = Value;
    FTerminalUsage = usage;
    FTerminalHandle = handle;
  }
  if (Value) Value->FreeNotification(this);
}

void TkvBaseIO::ReleaseTerminal(bool GiveBack) {
  TDispatchGuard dispatch(FDispatchLock);
  TkvEdit* old;
  TWndMethod saved;
  {
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    old = FTerminal;
    saved = FSavedWndProc;
    FTerminal = nullptr;
    FSavedWndProc = nullptr;
    FTerminalHandle = nullptr;
  }
  if (old && GiveBack) old->SetWindowProc(saved);
}

void TkvBaseIO::SetTerminalUsage(TTerminalUsage Value) {
  TkvEdit* terminal = Terminal();
  // As with the terminal: a window that cannot be made changes nothing.
  const HWND handle = terminal && ShowsReceived(Value) ? terminal->Handle() : nullptr;
  TDispatchGuard dispatch(FDispatchLock);
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  FTerminalUsage = Value;
  if (FTerminal == terminal) FTerminalHandle = handle;
}

void TkvBaseIO::TerminalWrite(const BYTE* Buffer, DWORD Count) {
  if (!Buffer || Count == 0) return;
  TDispatchGuard dispatch(FDispatchLock);  // the terminal stays until the echo is done
  TkvHost& host = Host();
  struct TEchoing {
    std::atomic<DWORD>& Thread;
    TEchoing(std::atomic<DWORD>& thread, DWORD id) : Thread(thread) { Thread.store(id); }
    ~TEchoing() { Thread.store(0); }
  } echoing(FEchoThread, host.GetCurrentThreadId());
  const HWND target = TerminalHandle();
  if (!target) return;  // tuNone or tuSend: shown nowhere
  if (Count == 1) {
    // As if typed: the edit applies backspace and Enter.
    host.SendMessageA(target, WM_CHAR, Buffer[0], 1);
    return;
  }
  // Runs of non-zero bytes, each copied with its own terminating zero: the
  // block itself is exactly Count bytes long and may have none.
  std::string run;
  DWORD i = 0;
  while (i < Count) {
    while (i < Count && Buffer[i] == 0) ++i;
    const DWORD start = i;
    while (i < Count && Buffer[i] != 0) ++i;
    if (i == start) break;
    run.assign(reinterpret_cast<const char*>(Buffer + start), i - start);
    host.SendMessageA(target, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(run.c_str()));
  }
}

bool TkvBaseIO::IsEcho() const {
  // The echo of another thread waits in SendMessageA until this thread
  // handles it; a key typed here before or after that is the user's.
  const DWORD echoer = FEchoThread.load();
  if (echoer == 0) return false;
  TkvHost& host = Host();
  return echoer == host.GetCurrentThreadId() || host.InSendMessage();
}

void TkvBaseIO::TerminalWndProc(TMessage& Message) {
  TTerminalUsage usage;
  TWndMethod saved;
  TkvEdit* terminal;
  {
    TkvLockGuard<TkvMutex> lock(FReceiversLock);
    usage = FTerminalUsage;
    saved = FSavedWndProc;  // a copy: the handler may change the terminal
    terminal = FTerminal;
  }
  if (Message.Msg == WM_CHAR && (usage == tuSend || usage == tuBoth) && !IsEcho()) {
    // Typed characters go to the device; they show only if it echoes them.
    SendChar(static_cast<char>(Message.WParam & 0xFF));
    Message.Result = 0;
    return;
  }
  if (saved)
    saved(Message);
  else if (terminal)
    terminal->DefaultHandler(Message);
}

}  // namespace kv
