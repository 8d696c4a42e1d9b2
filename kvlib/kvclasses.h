// The communication component base of the library: the shared event types,
// the device record, the log interface and the timer.
#pragma once

#include "kvframework.h"

#include <string>

namespace kv {

class TkvBaseIO;

// The error event of communication components, data processors, logs and the
// driver installer. A handler may clear RaiseException to suppress the
// exception that would follow.
using TOnFatalErrorEvent = std::function<void(TObject* Sender, DWORD ErrorCode, DWORD Detail,
                                              const std::string& ErrorMsg, bool& RaiseException)>;

// ---- device record --------------------------------------------------------------

// The record of one enumerated device or USB topology node, exchanged by the
// setup-class enumeration, the topology and the communication components. Who
// fills which field is the business of its creator; the record itself has no
// behaviour. A new record has empty texts, zero numbers and a zero GUID.
class TkvDevice : public TPersistent {
 public:
  std::int32_t ListIndex = 0;  // position in a component's device list; a pipe's number
  TkvBaseIO* Owner = nullptr;  // the component whose device list holds it; not owned
  std::string Name;            // the text it is listed under
  std::string PdoName;         // physical device object name
  std::string FileName;        // the path opened to reach the node
  std::string RegistryKey;     // path of the hardware registry key
  std::string Description;
  std::string Service;
  std::string DriverKey;
  std::string InstanceId;
  std::string ChildIds;  // ids of the bus-relation children
  std::string PortName;
  std::string Manufacturer;
  std::string SerialNumber;
  DWORD DevInst = 0;  // configuration manager's device node
  GUID ClassGuid{};   // setup class
};

// ---- log interface ------------------------------------------------------------------

// The abstract log that components, data processors, the topology manager and
// the driver installer write their trace lines to. Levels: 0 errors, 1 steps,
// 2 details. Where the lines go and how they look is a concrete log's
// business; a log is called on its writer's thread.
class TkvCustomLogFile : public TComponent {
 public:
  explicit TkvCustomLogFile(TComponent* owner) : TComponent(owner) {}

  const TOnFatalErrorEvent& OnFatalError() const { return FOnFatalError; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { FOnFatalError = std::move(handler); }

  // The log's own error report, for concrete logs: OnFatalError may clear
  // RaiseException; if it stays set, Exception(errorMsg) is thrown.
  virtual void FatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg);
  // Written instead of Write when a component's text is empty.
  virtual void WriteBlank() = 0;
  virtual void Write(BYTE level, const std::string& text) = 0;
  // One line formatted as kv::Format does (%u, %s, ...).
  virtual void WriteFmt(BYTE level, const std::string& format, const TVarRecs& args) = 0;

 private:
  TOnFatalErrorEvent FOnFatalError;
};

// ---- timer ----------------------------------------------------------------------------

// A plain timer driven by a hidden window of the thread that constructs it;
// OnTimer runs on that thread from its message loop. It ticks only while it
// is Enabled, its Interval is not 0 and OnTimer is assigned.
class TkvTimer : public TObject {
 public:
  // Enabled, Interval 1000, no OnTimer (so no system timer yet). Throws
  // EkvException when the hidden window cannot be made.
  TkvTimer();
  ~TkvTimer() override;
  TkvTimer(const TkvTimer&) = delete;
  TkvTimer& operator=(const TkvTimer&) = delete;

  // Milliseconds between ticks. Writing only stores the value: it takes
  // effect at the next re-arm (SetEnabled with a change, or SetOnTimer).
  DWORD Interval() const { return FInterval; }
  void SetInterval(DWORD milliseconds) { FInterval = milliseconds; }
  bool Enabled() const { return FEnabled; }
  // Re-arms only when the value changes, so enabling an enabled timer does
  // not restart its period; disabling and enabling again does.
  void SetEnabled(bool value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  // Stores the handler and re-arms.
  void SetOnTimer(TNotifyEvent handler);
  HWND Handle() const { return FWindow; }

 protected:
  // Called for every tick; calls OnTimer while Enabled.
  virtual void TimerTick();

 private:
  void UpdateTimer();
  void WndProc(TMessage& message);

  DWORD FInterval = 1000;
  HWND FWindow = nullptr;
  TNotifyEvent FOnTimer;
  bool FEnabled = true;
};

}  // namespace kv

#include "kvbaseio.h"
#include "kvdataproc.h"
#include "kvthreadio.h"
