// The debounce of device-change reports (WMDeviceChange and tmDeviceChange):
// every report that the component took restarts a 500 ms timer, whose expiry
// reloads the tree once. While a long command runs (FBusy) a report is not
// handed to the component but remembered, a timer expiry is skipped (the
// timer stays on and fires again), and when the command ends a remembered
// report restarts the timer, so the tree always ends current.
//
// The state machine owns no timer: it starts and stops one through
// TkvTimerPort (SetTimer / KillTimer in the window; a fake clock in tests).
// Main thread only.
#pragma once

#include "kvwintypes.h"

namespace quorvex {

using kv::BYTE;
using kv::DWORD;
using kv::WORD;

constexpr DWORD kvDeviceChangeDelay = 500;  // ms

class TkvTimerPort {
 public:
  virtual ~TkvTimerPort() = default;
  // (Re)starts a periodic timer of Interval ms; a running one starts over.
  virtual void Start(DWORD Interval) = 0;
  virtual void Stop() = 0;
};

class TkvDeviceChangeDebounce {
 public:
  explicit TkvDeviceChangeDebounce(TkvTimerPort& Timer) : FTimer(Timer) {}

  // WM_DEVICECHANGE arrived. True: hand it to the component
  // (kvUSB1.DeviceChangeMessage) now. False while busy: it is remembered.
  bool Arrived();
  // The component took the report (DeviceChangeMessage returned true):
  // restart the timer.
  void Qualified();
  // The timer fired. True: run the reload now (the timer has been stopped).
  // False while busy: the timer stays on.
  bool TimerFired();

  // FBusy. Clearing it with a remembered report restarts the timer.
  void SetBusy(bool Busy);
  bool Busy() const { return FBusy; }
  bool Pending() const { return FPending; }
  bool TimerRunning() const { return FRunning; }

 private:
  TkvTimerPort& FTimer;
  bool FBusy = false;
  bool FPending = false;
  bool FRunning = false;
};

// FBusy for the life of a long command, cleared also when it throws.
class TkvBusyScope {
 public:
  explicit TkvBusyScope(TkvDeviceChangeDebounce& D) : FD(D) { FD.SetBusy(true); }
  ~TkvBusyScope() { FD.SetBusy(false); }
  TkvBusyScope(const TkvBusyScope&) = delete;
  TkvBusyScope& operator=(const TkvBusyScope&) = delete;

 private:
  TkvDeviceChangeDebounce& FD;
};

}  // namespace quorvex
