// Data processors: components between an application and a communication
// component that may look at, take or transform the bytes that pass. A
// processor is bound to one component (Comm) and may name a next processor,
// forming a chain for received data. The base passes received data down the
// chain unchanged, sends what a handler does not take, and offers a one-shot
// time-out to descendants.
//
// Threading: DataReceived runs on the thread that dispatches received data
// (the component's I/O thread unless it uses the main thread); the timer,
// HandleNotify and the send operations on the main thread. The base holds no
// lock: a descendant that keeps state between DataReceived and its timer
// guards it itself. A descendant whose DataReceived uses its own members
// releases itself from its component (Comm()->SetDataProcessor(nullptr), or
// the chain's head from it) in its own destructor, so no dispatch can still
// be inside it while it goes.
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
  // Unbinds from the component (taking the callback off its list) first.
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
  // Passes the block to the next processor; a processor that consumes it
  // sets Handled, which keeps it out of the component's terminal.
  virtual void DataReceived(BYTE* Buffer, DWORD Count, bool& Handled);
  // The time-out hook of descendants; empty here.
  virtual void DoTimeout(bool& Handled);

  TkvBaseIO* Comm() const { return FComm; }
  TkvCustomDataProcessor* NextProcessor() const { return FNextProcessor; }
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

 private:
  TkvBaseIO* FComm = nullptr;
  TkvCustomDataProcessor* FNextProcessor = nullptr;
  TOnFatalErrorEvent FOnFatalError;
  TkvCustomLogFile* FLog = nullptr;
  TOnDataEvent FOnData;
  std::unique_ptr<TkvTimer> FTimer;
  std::string FLogPrefix;
};

}  // namespace kv
