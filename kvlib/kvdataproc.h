// Data processors: components between an application and a communication
// component that may look at, take or transform the bytes that pass. A
// processor is bound to one component (Comm) and may name a next processor,
// forming a chain for received data. The base passes received data down the
// chain unchanged, sends what a handler does not take, and offers a one-shot
// time-out to descendants.
//
// Threading: DataReceived runs on the thread that dispatches received data
// (the component's I/O thread unless it uses the main thread); the timer,
// HandleNotify and the send operations on the main thread. A block reaches a
// processor through Receive, which holds the processor's dispatch lock while
// its DataReceived runs; so a dispatch holds the component's dispatch lock,
// then that of each processor down to the one it is inside. Whatever lets go
// of a processor (its predecessor, its component, its own destruction) takes
// the lock the dispatches into it hold, and so waits for such a dispatch to
// end. The links (Comm, NextProcessor) are read and written under a plain
// mutex that is never held while anything is called. Apart from that the base
// holds no lock: a descendant that keeps state between DataReceived and its
// timer guards it itself.
//
// A descendant whose DataReceived uses its own members calls Detach() first
// in its own destructor: the base's destructor detaches too, but only once
// the descendant's members are gone.
#pragma once

#include "kvclasses.h"

#include <functional>
#include <memory>
#include <string>

namespace kv {

class TkvBaseIO;

// Sees data before it is sent; Kind is 0 for a buffer (DoDataSend) and 1 for
// a string (SendString). Setting Handled keeps the data from the component.
using TOnDataEvent = std::function<void(TObject* Sender, BYTE* Buffer, DWORD Count, int Kind, bool& Handled)>;

class TkvCustomDataProcessor : public TComponent {
 public:
  explicit TkvCustomDataProcessor(TComponent* AOwner);
  // Detaches first.
  ~TkvCustomDataProcessor() override;

  // ---- virtual operations, in the order of their slots ----
  // The callback registered with Comm: 1 -> MediumClosed, 2 -> MediumOpened,
  // other codes are ignored.
  virtual void HandleNotify(TObject* Sender, int Code);
  virtual void MediumClosed();
  virtual void MediumOpened();
  // Links the next processor and binds it to this one's component; itself is
  // ignored, nullptr only clears the link.
  virtual void SetNext(TkvCustomDataProcessor* Processor);
  // Binds to a component (registering HandleNotify) or, with nullptr,
  // releases the present one. The chain is not followed.
  virtual void SetComm(TkvBaseIO* Component);
  // Offers the bytes to OnData, then sends them unless it took them (a taken
  // buffer restarts the time-out). Failures are dropped silently.
  virtual void DoDataSend(void* Buffer, DWORD Count);
  // The same for a string; OnData may change the characters of its own copy.
  virtual void SendString(const std::string& S);
  virtual void TimerExpired();
  // Arms the one-shot time-out; 0 only stops it.
  virtual void SetTimeout(DWORD Milliseconds);
  // OnFatalError (which may clear RaiseException), a level-0 log line, then
  // Exception(ErrorMsg) unless cleared, also while loading.
  virtual void FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg);
  // Passes the block to the next processor (through its Receive); a
  // processor that consumes it sets Handled, which keeps it out of the
  // component's terminal. A descendant passes a block on through this base.
  virtual void DataReceived(BYTE* Buffer, DWORD Count, bool& Handled);
  // The time-out hook of descendants; empty here.
  virtual void DoTimeout(bool& Handled);

  // How a dispatch hands a block to this processor: DataReceived, with this
  // processor's dispatch lock held.
  void Receive(BYTE* Buffer, DWORD Count, bool& Handled) KV_EXCLUDES(FLinksLock);

  TkvBaseIO* Comm() const KV_EXCLUDES(FLinksLock);
  TkvCustomDataProcessor* NextProcessor() const KV_EXCLUDES(FLinksLock);
  TkvCustomLogFile* Log() const { return FLog; }
  void SetLog(TkvCustomLogFile* Value);
  const TOnFatalErrorEvent& OnFatalError() const { return FOnFatalError; }
  void SetOnFatalError(TOnFatalErrorEvent Value) { FOnFatalError = std::move(Value); }
  const TOnDataEvent& OnData() const { return FOnData; }
  void SetOnData(TOnDataEvent Value) { FOnData = std::move(Value); }
  const std::string& LogPrefix() const { return FLogPrefix; }
  void SetLogPrefix(const std::string& Value) { FLogPrefix = Value; }
  TkvTimer& Timer() { return *FTimer; }

  // LogPrefix + Text, also when Text is empty.
  void WriteLog(BYTE Level, const std::string& Text);
  void WriteLogFmt(BYTE Level, const std::string& Format, const TVarRecs& Args);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Leaves every chain and every component that names this processor (each
  // unlinks it under the lock its dispatches hold), waits for a dispatch that
  // is still inside it, then releases its component and its next processor.
  // Afterwards nothing calls into it. A second call does nothing.
  void Detach();

 private:
  mutable TDispatchLock FDispatchLock;  // held while a dispatch is inside this processor
  mutable TkvMutex FLinksLock;          // guards the links; held while nothing is called
  TkvBaseIO* FComm KV_GUARDED_BY(FLinksLock) = nullptr;
  TkvCustomDataProcessor* FNextProcessor KV_GUARDED_BY(FLinksLock) = nullptr;
  TOnFatalErrorEvent FOnFatalError;
  TkvCustomLogFile* FLog = nullptr;
  TOnDataEvent FOnData;
  std::unique_ptr<TkvTimer> FTimer;
  std::string FLogPrefix;
};

}  // namespace kv
