// TkvThreadIO, and TkvBaseIO's I/O thread, the dispatch of received data, the
// receivers and the terminal.
#include "kvthreadio.h"

#include "kvdataproc.h"
#include "kvedit.h"

#include <chrono>
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
  new TkvThreadIO(this);  // runs at once and frees itself at its end
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

void TkvBaseIO::LockReceivers() {
  const std::thread::id me = std::this_thread::get_id();
  if (FReceiversOwner.load() == me) {  // again, inside a dispatch or a change
    FReceiversLock.lock();
    ++FReceiversDepth;
    return;
  }
  if (!IsMainThread()) {
    // A change on the main thread goes first: a loop that dispatches block
    // after block would otherwise take the lock back every time.
    while (FReceiversWanted.load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    FReceiversLock.lock();
  } else {
    // The I/O thread holds the lock for a dispatch and may be waiting for
    // this thread: for a synchronised call, or for its echo to reach the
    // terminal.
    ++FReceiversWanted;
    TkvHost& host = Host();
    MSG msg{};
    while (!FReceiversLock.try_lock()) {
      CheckSynchronize(0);
      host.PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // delivers sent messages
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    --FReceiversWanted;
  }
  FReceiversOwner.store(me);
  FReceiversDepth = 1;
}

void TkvBaseIO::UnlockReceivers() {
  if (--FReceiversDepth == 0) FReceiversOwner.store(std::thread::id());
  FReceiversLock.unlock();
}

bool TkvBaseIO::HasReceivers() const {
  return FTerminal != nullptr || static_cast<bool>(FOnAfterReceive) || FDataProcessor != nullptr;
}

void TkvBaseIO::SetDataProcessor(TkvCustomDataProcessor* Value) {
  TkvCustomDataProcessor* old = FDataProcessor;
  LockReceivers();
  FDataProcessor = Value;
  UnlockReceivers();
  // Released only now: a dispatch that was inside it has ended. One that
  // another component took over meanwhile is left bound to that one.
  if (old && old != Value && old->Comm() == this) old->SetComm(nullptr);
  if (Value) {
    Value->SetComm(this);
    Value->FreeNotification(this);
  }
}

void TkvBaseIO::SetOnAfterReceive(TOnReceived Value) {
  // The old handler goes after the lock (Value is destroyed last).
  TReceiversGuard guard(*this);
  FOnAfterReceive.swap(Value);
}

void TkvBaseIO::DoDataReceived(BYTE* Buffer, DWORD Count) {
  TReceiversGuard guard(*this);
  bool handled = false;
  if (FDataProcessor) FDataProcessor->DataReceived(Buffer, Count, handled);
  if (FTerminal && !handled) TerminalWrite(Buffer, Count);
  if (FOnAfterReceive) {
    TOnReceived handler = FOnAfterReceive;  // it may replace itself
    handler(this, Buffer, Count);
  }
}

// ---- terminal ----------------------------------------------------------------------------

void TkvBaseIO::SetTerminal(TkvEdit* Value) {
  TReceiversGuard guard(*this);
  if (FTerminal) FTerminal->SetWindowProc(FSavedWndProc);
  if (Value) {
    FSavedWndProc = Value->WindowProc();
    Value->SetWindowProc([this](TMessage& message) { TerminalWndProc(message); });
  } else {
    FSavedWndProc = nullptr;
  }
  FTerminalHandle = nullptr;
  FTerminal = Value;
  if (Designing() && Value && FTerminalUsage == tuNone) FTerminalUsage = tuBoth;
  ApplyTerminalUsage();
  if (Value) Value->FreeNotification(this);
}

void TkvBaseIO::SetTerminalUsage(TTerminalUsage Value) {
  TReceiversGuard guard(*this);
  FTerminalUsage = Value;
  ApplyTerminalUsage();
}

void TkvBaseIO::ApplyTerminalUsage() {
  if (!FTerminal) return;
  FTerminalHandle = (FTerminalUsage == tuReceive || FTerminalUsage == tuBoth) ? FTerminal->Handle() : nullptr;
}

void TkvBaseIO::TerminalWrite(const BYTE* Buffer, DWORD Count) {
  if (!Buffer || Count == 0) return;
  TReceiversGuard guard(*this);
  struct TEchoing {
    std::atomic<bool>& Flag;
    explicit TEchoing(std::atomic<bool>& flag) : Flag(flag) { Flag.store(true); }
    ~TEchoing() { Flag.store(false); }
  } echoing(FEchoing);
  const HWND target = FTerminalHandle;
  if (!target) return;  // tuNone or tuSend: shown nowhere
  TkvHost& host = Host();
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

void TkvBaseIO::TerminalWndProc(TMessage& Message) {
  if (!FEchoing.load() && Message.Msg == WM_CHAR && (FTerminalUsage == tuSend || FTerminalUsage == tuBoth)) {
    // Typed characters go to the device; they show only if it echoes them.
    SendChar(static_cast<char>(Message.WParam & 0xFF));
    Message.Result = 0;
    return;
  }
  TWndMethod saved = FSavedWndProc;  // a copy: the handler may change the terminal
  if (saved)
    saved(Message);
  else if (FTerminal)
    FTerminal->DefaultHandler(Message);
}

}  // namespace kv
