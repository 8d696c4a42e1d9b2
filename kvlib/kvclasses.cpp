#include "kvclasses.h"

namespace kv {

namespace {
constexpr UINT_PTR kTimerId = 1;
}

// ---- log interface ------------------------------------------------------------------

void TkvCustomLogFile::FatalError(DWORD errorCode, DWORD detail, const std::string& errorMsg) {
  bool raiseException = true;
  if (FOnFatalError) {
    // A copy, so a handler that replaces or clears the event does not
    // destroy the function that is running.
    TOnFatalErrorEvent handler = FOnFatalError;
    handler(this, errorCode, detail, errorMsg, raiseException);
  }
  if (raiseException) throw Exception(errorMsg);
}

// ---- timer ----------------------------------------------------------------------------

TkvTimer::TkvTimer() {
  FWindow = AllocateHWnd([this](TMessage& message) { WndProc(message); });
}

TkvTimer::~TkvTimer() {
  FEnabled = false;
  UpdateTimer();
  DeallocateHWnd(FWindow);
}

void TkvTimer::UpdateTimer() {
  TkvHost& host = Host();
  host.KillTimer(FWindow, kTimerId);
  if (FInterval != 0 && FEnabled && FOnTimer) host.SetTimer(FWindow, kTimerId, FInterval, nullptr);
}

void TkvTimer::SetEnabled(bool value) {
  if (value == FEnabled) return;
  FEnabled = value;
  UpdateTimer();
}

void TkvTimer::SetOnTimer(TNotifyEvent handler) {
  FOnTimer = std::move(handler);
  UpdateTimer();
}

void TkvTimer::WndProc(TMessage& message) {
  if (message.Msg == WM_TIMER) {
    // A failing handler must not stop the ticks nor reach the message loop.
    try {
      TimerTick();
    } catch (...) {
    }
    // The handler may have deleted this timer: nothing below may touch it.
    return;
  }
  message.Result = Host().DefWindowProcA(FWindow, message.Msg, message.WParam, message.LParam);
}

void TkvTimer::TimerTick() {
  if (FEnabled && FOnTimer) {
    // A copy, so a handler that assigns another OnTimer (or deletes the
    // timer) does not destroy the function that is running.
    TNotifyEvent handler = FOnTimer;
    handler(this);
  }
}

}  // namespace kv
