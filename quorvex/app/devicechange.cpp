#include "devicechange.h"

namespace quorvex {

bool TkvDeviceChangeDebounce::Arrived() {
  if (FBusy) {
    FPending = true;
    return false;
  }
  return true;
}

void TkvDeviceChangeDebounce::Qualified() {
  FTimer.Stop();
  FTimer.Start(kvDeviceChangeDelay);
  FRunning = true;
}

bool TkvDeviceChangeDebounce::TimerFired() {
  if (FBusy) return false;
  FTimer.Stop();
  FRunning = false;
  return true;
}

void TkvDeviceChangeDebounce::SetBusy(bool Busy) {
  FBusy = Busy;
  if (!Busy && FPending) {
    FPending = false;
    Qualified();
  }
}

}  // namespace quorvex
