// TkvBaseIO: activation, errors, log, device list, notifications and the
// device-change reaction; the notification list. The I/O thread, the dispatch
// of received data and the terminal are in kvthreadio.cpp.
#include "kvbaseio.h"

#include "kvdataproc.h"
#include "kvedit.h"
#include "kvthreadio.h"

#include <vector>

namespace kv {

namespace {

// The device-change broadcast (dbt.h).
constexpr WPARAM kDbtDevNodesChanged = 0x0007;
constexpr WPARAM kDbtDeviceArrival = 0x8000;
constexpr WPARAM kDbtDeviceRemoveComplete = 0x8004;
constexpr DWORD kDbtDevTypPort = 3;

// DEV_BROADCAST_HDR, the head of every record a device event points to.
struct TDevBroadcastHdr {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};

}  // namespace

// ---- TkvNotifyList ----------------------------------------------------------------

TkvNotifyList::~TkvNotifyList() { Clear(); }

int TkvNotifyList::Add(const TOnNotifyEvent& Callback) { return TList::Add(new TOnNotifyEvent(Callback)); }

void TkvNotifyList::Delete(int Index) {
  delete static_cast<TOnNotifyEvent*>(Get(Index));
  TList::Delete(Index);
}

void TkvNotifyList::Clear() {
  while (Count() > 0) Delete(0);
  TList::Clear();
}

TOnNotifyEvent TkvNotifyList::GetItem(int Index) const { return *static_cast<TOnNotifyEvent*>(Get(Index)); }

int TkvNotifyList::IndexOf(const TOnNotifyEvent& Callback) const {
  for (int i = 0; i < Count(); ++i)
    if (*static_cast<TOnNotifyEvent*>(Get(i)) == Callback) return i;
  return -1;
}

void TkvNotifyList::NotifyAll(TObject* Sender, int Code) {
  // The callbacks are copied first: a callback may register, unregister or
  // free another one (unbinding a data processor does), and a record freed
  // under the loop must not be read.
  std::vector<TOnNotifyEvent> callbacks;
  const int count = Count();
  callbacks.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) callbacks.push_back(GetItem(i));
  for (const TOnNotifyEvent& callback : callbacks)
    if (IndexOf(callback) >= 0) callback(Sender, Code);
}

// ---- construction ---------------------------------------------------------------

TkvBaseIO::TkvBaseIO(TComponent* AOwner) : TComponent(AOwner), FHandle(INVALID_HANDLE_VALUE) {
  FWriteOverlapped.hEvent = Host().CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

TkvBaseIO::~TkvBaseIO() {
  Shutdown();
  if (FWriteOverlapped.hEvent) Host().CloseHandle(FWriteOverlapped.hEvent);
  FWriteOverlapped.hEvent = nullptr;
  ClearDevices();
  FNotifyList.Clear();
}

void TkvBaseIO::Shutdown() {
  if (Handle() != INVALID_HANDLE_VALUE) {
    // Close's own events may fail; destruction goes on.
    try {
      Close();
    } catch (...) {
    }
  }
  WaitForThreadEnd();
  ReleaseTerminal(true);  // the edit gets its own handling back
  // Only a processor still bound here: one another component took over stays with it.
  if (TkvCustomDataProcessor* processor = DataProcessor()) {
    ReleaseDataProcessor();
    if (processor->Comm() == this) processor->SetComm(nullptr);
  }
  // The processors bound here (those down the chain, and any that another
  // component's dispatch reaches) let go of this component while it can
  // still be sent to.
  BeginDestruction();
}

void TkvBaseIO::ReleaseDataProcessor() {
  TDispatchGuard dispatch(FDispatchLock);  // a dispatch inside it ends first
  TkvLockGuard<TkvMutex> lock(FReceiversLock);
  FDataProcessor = nullptr;
}

// ---- activation --------------------------------------------------------------------

bool TkvBaseIO::IsOpened() const { return Handle() != INVALID_HANDLE_VALUE; }

HANDLE TkvBaseIO::OpenMedium() { return INVALID_HANDLE_VALUE; }

void TkvBaseIO::CloseMedium(HANDLE AHandle) { Machine().CloseHandle(AHandle); }

bool TkvBaseIO::Active() const {
  if (Loading() || Designing()) return FStoredActive;
  return IsOpened();
}

void TkvBaseIO::SetActive(bool Value) {
  if (Loading()) {
    FStoredActive = Value;
    return;
  }
  if (Value == Active() && !Designing()) return;
  if (Value)
    Open();
  else
    Close();
  if (Designing()) {
    // At design time a component is only opened to see that it can be.
    FStoredActive = IsOpened();
    if (FStoredActive) Close();
  }
}

void TkvBaseIO::Open() {
  // A second open would lose the first handle and start a second reader.
  if (IsOpened()) return;
  SetHandle(OpenMedium());
  if (!IsOpened()) return;
  if (FUsesThread) {
    std::string failure;
    try {
      StartThread();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (!failure.empty()) {
      // A medium nobody reads is of no use: closed again, the component
      // stays closed, and Close has no thread to wait for.
      const DWORD error = GetLastError();
      CloseMedium(Handle());
      SetHandle(INVALID_HANDLE_VALUE);
      SetThreadStopped(true);
      FatalError(error, 0, failure);
      return;
    }
  }
  if (FOnAfterOpen) {
    try {
      TNotifyEvent handler = FOnAfterOpen;
      handler(this);
    } catch (...) {
    }
  }
}

void TkvBaseIO::Close() {
  if (Handle() == INVALID_HANDLE_VALUE) return;
  // The medium goes first, so a read the thread is blocked in ends.
  CloseMedium(Handle());
  if (FUsesThread) StopThread();
  SetHandle(INVALID_HANDLE_VALUE);
  if (FOnAfterClose) {
    try {
      TNotifyEvent handler = FOnAfterClose;
      handler(this);
    } catch (...) {
    }
  }
}

// ---- errors and log -----------------------------------------------------------------

void TkvBaseIO::FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg) {
  bool raiseException = true;
  if (FOnFatalError) {
    TOnFatalErrorEvent handler = FOnFatalError;
    handler(this, ErrorCode, Detail, ErrorMsg, raiseException);
  }
  if (FLog) FLog->WriteFmt(0, "Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg});
  if (raiseException && !Loading()) throw Exception(ErrorMsg);
}

void TkvBaseIO::WriteLog(BYTE Level, const std::string& Text) {
  if (!FLog) return;
  if (Text.empty())
    FLog->WriteBlank();
  else
    FLog->Write(Level, LogPrefix() + Text);
}

void TkvBaseIO::SetLog(TkvCustomLogFile* Value) {
  FLog = Value;
  if (Value) Value->FreeNotification(this);
}

// ---- device list -------------------------------------------------------------------

void TkvBaseIO::SetDeviceIndex(int) { Notify(kvNotifyDeviceList); }

int TkvBaseIO::AddDevice(TkvDevice* Device) {
  int index = FDevices.AddObject(Device ? Device->Name : std::string(), Device);
  if (Device) {
    Device->ListIndex = index;
    Device->Owner = this;
  }
  return index;
}

void TkvBaseIO::ClearDevices() {
  if (FOwnsDevices)
    for (int i = 0; i < FDevices.Count(); ++i) delete FDevices.Objects(i);
  FDevices.Clear();
}

TkvDevice* TkvBaseIO::GetDevice(int Index) const {
  if (Index < 0 || Index >= DeviceCount()) return nullptr;
  return FDevices.ObjectAs<TkvDevice>(Index);
}

int TkvBaseIO::IndexOfDevice(const TkvDevice* Device) const { return FDevices.IndexOfObject(Device); }

void TkvBaseIO::RefreshDeviceList() { Notify(kvNotifyDeviceList); }

void TkvBaseIO::FillDeviceList(TStringList* Items) {
  if (DeviceCount() == 0) LoadDeviceList();
  if (!Items) return;
  Items->Clear();
  for (int i = 0; i < FDevices.Count(); ++i) Items->AddObject(FDevices.Strings(i), FDevices.Objects(i));
}

// ---- notifications -------------------------------------------------------------------

int TkvBaseIO::AddNotify(const TOnNotifyEvent& Callback) {
  int index = FNotifyList.IndexOf(Callback);
  return index >= 0 ? index : FNotifyList.Add(Callback);
}

void TkvBaseIO::RemoveNotify(const TOnNotifyEvent& Callback) {
  int index = FNotifyList.IndexOf(Callback);
  if (index >= 0) FNotifyList.Delete(index);
}

void TkvBaseIO::Notify(int Code) { FNotifyList.NotifyAll(this, Code); }

bool TkvBaseIO::DeviceChangeMessage(TMessage& Message) {
  if (Message.Msg != WM_DEVICECHANGE) return false;
  switch (Message.WParam) {
    case kDbtDevNodesChanged:
      RefreshDeviceList();
      return true;
    case kDbtDeviceArrival:
    case kDbtDeviceRemoveComplete: {
      const auto* header = reinterpret_cast<const TDevBroadcastHdr*>(Message.LParam);
      if (!header || header->dbch_devicetype != kDbtDevTypPort) return false;
      RefreshDeviceList();
      return true;
    }
    default:
      return false;
  }
}

// ---- component ------------------------------------------------------------------------

void TkvBaseIO::Loaded() {
  TComponent::Loaded();
  try {
    SetTerminal(Terminal());
    SetTerminalUsage(TerminalUsage());
    SetActive(FStoredActive);
  } catch (...) {
    TkvHost& host = Host();
    host.MessageBoxA(host.GetForegroundWindow(), "error", "Error", MB_ICONERROR);
  }
}

void TkvBaseIO::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != opRemove || !AComponent) return;
  if (AComponent == DataProcessor()) {
    // A processor that goes is still whole here (it tells its components
    // before its own destruction begins); one that moves lives on. Either
    // way it is out of the dispatch first, which waits for a dispatch inside
    // it, then released.
    auto* processor = static_cast<TkvCustomDataProcessor*>(AComponent);
    ReleaseDataProcessor();
    if (processor->Comm() == this) processor->SetComm(nullptr);
  } else if (AComponent == Terminal()) {
    // A dying edit's window procedure is not given back; one that moved to
    // another owner gets its own back.
    ReleaseTerminal((AComponent->ComponentState() & csDestroying) == 0);
  } else if (FLog && AComponent == FLog) {
    FLog = nullptr;
  }
}

}  // namespace kv
