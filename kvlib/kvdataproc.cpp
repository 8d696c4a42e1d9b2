#include "kvdataproc.h"

#include "kvbaseio.h"

namespace kv {

TkvCustomDataProcessor::TkvCustomDataProcessor(TComponent* AOwner)
    : TComponent(AOwner), FTimer(std::make_unique<TkvTimer>()) {
  FTimer->SetEnabled(false);
  FTimer->SetOnTimer([this](TObject*) { TimerExpired(); });
}

TkvCustomDataProcessor::~TkvCustomDataProcessor() {
  Detach();
  FTimer.reset();
}

void TkvCustomDataProcessor::Detach() {
  // Whoever names this processor (a component as its first processor, a
  // processor as its next) is linked to it by free notification and lets go
  // now, while it is whole.
  BeginDestruction();
  SetComm(nullptr);
  TDispatchGuard dispatch(FDispatchLock);  // one that was called directly
  TkvLockGuard<TkvMutex> lock(FLinksLock);
  FNextProcessor = nullptr;
}

void TkvCustomDataProcessor::Receive(BYTE* Buffer, DWORD Count, bool& Handled) {
  TDispatchGuard dispatch(FDispatchLock);
  DataReceived(Buffer, Count, Handled);
}

TkvBaseIO* TkvCustomDataProcessor::Comm() const {
  TkvLockGuard<TkvMutex> lock(FLinksLock);
  return FComm;
}

TkvCustomDataProcessor* TkvCustomDataProcessor::NextProcessor() const {
  TkvLockGuard<TkvMutex> lock(FLinksLock);
  return FNextProcessor;
}

namespace {

// The processor's registration with its component: its own HandleNotify, so
// a descendant's override is the one called.
TOnNotifyEvent NotifyCallback(TkvCustomDataProcessor* processor) {
  return TOnNotifyEvent(processor, &TkvCustomDataProcessor::HandleNotify);
}

}  // namespace

void TkvCustomDataProcessor::HandleNotify(TObject*, int Code) {
  if (Code == kvNotifyMediumClosed)
    MediumClosed();
  else if (Code == kvNotifyMediumOpened)
    MediumOpened();
}

void TkvCustomDataProcessor::MediumClosed() { WriteLog(2, "Medium Closed"); }

void TkvCustomDataProcessor::MediumOpened() { WriteLog(2, "Medium Opened"); }

void TkvCustomDataProcessor::SetNext(TkvCustomDataProcessor* Processor) {
  // A chain that leads back to this processor would pass every received
  // buffer round for ever; linking to itself is the shortest such loop.
  for (TkvCustomDataProcessor* p = Processor; p; p = p->NextProcessor())
    if (p == this) return;
  {
    // A dispatch that is inside this processor ends first.
    TDispatchGuard dispatch(FDispatchLock);
    TkvLockGuard<TkvMutex> lock(FLinksLock);
    FNextProcessor = Processor;
  }
  if (Processor) {
    Processor->FreeNotification(this);
    Processor->SetComm(Comm());
  }
}

void TkvCustomDataProcessor::SetComm(TkvBaseIO* Component) {
  TkvBaseIO* old = Comm();
  if (old && Component != old) old->RemoveNotify(NotifyCallback(this));
  {
    // A dispatch inside this processor may be sending to the old component.
    TDispatchGuard dispatch(FDispatchLock);
    TkvLockGuard<TkvMutex> lock(FLinksLock);
    FComm = Component;
  }
  if (Component) {
    Component->FreeNotification(this);
    Component->AddNotify(NotifyCallback(this));
  }
}

void TkvCustomDataProcessor::DoDataSend(void* Buffer, DWORD Count) {
  if (!Buffer || Count == 0) return;
  try {
    bool handled = false;
    if (FOnData) {
      TOnDataEvent handler = FOnData;
      handler(this, static_cast<BYTE*>(Buffer), Count, 0, handled);
    }
    if (handled) {
      // The period starts again.
      FTimer->SetEnabled(false);
      FTimer->SetEnabled(true);
    } else {
      TkvBaseIO* comm = Comm();
      if (!comm) return;  // nowhere to send: dropped
      comm->SendBuffer(Buffer, Count);
    }
    WriteLogFmt(2, "DoDataSend: %u bytes", {Count});
  } catch (...) {
  }
}

void TkvCustomDataProcessor::SendString(const std::string& S) {
  if (S.empty()) return;
  try {
    bool handled = false;
    std::string characters = S;  // the handler may change them in place
    if (FOnData) {
      TOnDataEvent handler = FOnData;
      handler(this, reinterpret_cast<BYTE*>(&characters[0]), static_cast<DWORD>(characters.size()), 1, handled);
    }
    if (handled) return;
    if (TkvBaseIO* comm = Comm()) comm->SendString(characters);
  } catch (...) {
  }
}

void TkvCustomDataProcessor::TimerExpired() {
  FTimer->SetEnabled(false);  // once per arming
  bool handled = false;
  DoTimeout(handled);
}

void TkvCustomDataProcessor::SetTimeout(DWORD Milliseconds) {
  FTimer->SetEnabled(false);
  if (Milliseconds == 0) return;
  FTimer->SetInterval(Milliseconds);
  FTimer->SetEnabled(true);
}

void TkvCustomDataProcessor::FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg) {
  bool raiseException = true;
  if (FOnFatalError) {
    TOnFatalErrorEvent handler = FOnFatalError;
    handler(this, ErrorCode, Detail, ErrorMsg, raiseException);
  }
  if (FLog) FLog->WriteFmt(0, "Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg});
  if (raiseException) throw Exception(ErrorMsg);
}

void TkvCustomDataProcessor::DataReceived(BYTE* Buffer, DWORD Count, bool& Handled) {
  if (TkvCustomDataProcessor* next = NextProcessor()) next->Receive(Buffer, Count, Handled);
}

void TkvCustomDataProcessor::DoTimeout(bool&) {}

void TkvCustomDataProcessor::SetLog(TkvCustomLogFile* Value) {
  FLog = Value;
  if (Value) Value->FreeNotification(this);
}

void TkvCustomDataProcessor::WriteLog(BYTE Level, const std::string& Text) {
  if (FLog) FLog->Write(Level, FLogPrefix + Text);
}

void TkvCustomDataProcessor::WriteLogFmt(BYTE Level, const std::string& Format, const TVarRecs& Args) {
  if (FLog) FLog->WriteFmt(Level, FLogPrefix + Format, Args);
}

void TkvCustomDataProcessor::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != opRemove || !AComponent) return;
  // Processors and components tell their removal before their own
  // destruction begins (or they move and live on), so what is released
  // here is whole.
  if (AComponent == NextProcessor()) SetNext(nullptr);
  if (AComponent == Comm()) SetComm(nullptr);
  if (AComponent == FLog) SetLog(nullptr);
}

}  // namespace kv
