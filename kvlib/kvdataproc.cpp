#include "kvdataproc.h"

#include "kvbaseio.h"

namespace kv {

TkvCustomDataProcessor::TkvCustomDataProcessor(TComponent* AOwner)
    : TComponent(AOwner), FTimer(std::make_unique<TkvTimer>()) {
  FTimer->SetEnabled(false);
  FTimer->SetOnTimer([this](TObject*) { TimerExpired(); });
}

TkvCustomDataProcessor::~TkvCustomDataProcessor() {
  // Out of the component's dispatch first, so no received block can still be
  // on its way into this processor.
  if (FComm && FComm->DataProcessor() == this) FComm->SetDataProcessor(nullptr);
  SetComm(nullptr);
  FTimer.reset();
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
  for (TkvCustomDataProcessor* p = Processor; p; p = p->FNextProcessor)
    if (p == this) return;
  if (FComm) {
    // The component's I/O thread may be walking the chain right now.
    FComm->LockReceivers();
    FNextProcessor = Processor;
    FComm->UnlockReceivers();
  } else {
    FNextProcessor = Processor;
  }
  if (Processor) {
    Processor->FreeNotification(this);
    Processor->SetComm(FComm);
  }
}

void TkvCustomDataProcessor::SetComm(TkvBaseIO* Component) {
  if (FComm && Component != FComm) FComm->RemoveNotify(NotifyCallback(this));
  FComm = Component;
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
      if (!FComm) return;  // nowhere to send: dropped
      FComm->SendBuffer(Buffer, Count);
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
    if (!handled && FComm) FComm->SendString(characters);
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
  if (FNextProcessor) FNextProcessor->DataReceived(Buffer, Count, Handled);
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
  if (AComponent == FNextProcessor) SetNext(nullptr);
  // A dying component is not asked to unregister: its list goes with it, and
  // only its plain component part is left to call.
  if (AComponent == FComm) FComm = nullptr;
  if (AComponent == FLog) SetLog(nullptr);
}

}  // namespace kv
