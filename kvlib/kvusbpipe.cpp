#include "kvusbpipe.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "kvusbw32.h"
#include "kvutils.h"

namespace kv {

namespace {

// The WinUSB policy code of each element, in ordinal order.
constexpr ULONG kPolicyCodes[] = {SHORT_PACKET_TERMINATE, AUTO_CLEAR_STALL, IGNORE_SHORT_PACKETS,
                                  ALLOW_PARTIAL_READS,    AUTO_FLUSH,       RAW_IO};

constexpr DWORD kMinReadSize = 128;

void Debug(const char* text) { Host().OutputDebugStringA(text); }

// The system's text for an error, without trailing blanks, line breaks and
// full stops.
std::string ErrorText(DWORD error) {
  std::string text = SysErrorMessage(error);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' || text.back() == '.'))
    text.pop_back();
  return text;
}

}  // namespace

TkvUSBPipePair::TkvUSBPipePair(TComponent* AOwner) : TkvBaseIO(AOwner) {
  FReadEvent = Host().CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FStopEvent = Host().CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetUsesThread(true);
  if (auto* usb = dynamic_cast<TkvUSB*>(AOwner)) SetUsbDevice(usb);
}

TkvUSBPipePair::~TkvUSBPipePair() {
  // Closed through this class's own hooks: the base's would close the USB
  // component's device handle.
  Shutdown();
  ReleaseUsbDevice();
  if (FReadEvent) Host().CloseHandle(FReadEvent);
  if (FStopEvent) Host().CloseHandle(FStopEvent);
}

// ---- properties ------------------------------------------------------------------------

void TkvUSBPipePair::ReleaseUsbDevice() {
  if (!FUsbDevice) return;
  FUsbDevice->RemoveNotify(TOnNotifyEvent(this, &TkvUSBPipePair::UsbNotify));
  FUsbDevice->RemoveFreeNotification(this);
  FUsbDevice = nullptr;
}

void TkvUSBPipePair::SetUsbDevice(TkvUSB* Value) {
  if (Value != FUsbDevice) {
    // The handles borrowed from the old component are not used again.
    if (FUsbDevice) Close();
    ReleaseUsbDevice();
    FUsbDevice = Value;
    if (Value) {
      Value->FreeNotification(this);
      Value->AddNotify(TOnNotifyEvent(this, &TkvUSBPipePair::UsbNotify));
    }
  }
  ResolvePipeIds();
}

void TkvUSBPipePair::SetPipeIn(int Value) {
  FPipeIn = Value;
  ResolvePipeIds();
}

void TkvUSBPipePair::SetPipeOut(int Value) {
  FPipeOut = Value;
  ResolvePipeIds();
}

void TkvUSBPipePair::ResolvePipeIds() {
  BYTE in = 0, out = 0;
  TkvUsbDevice* device = FUsbDevice ? FUsbDevice->SelectedDevice() : nullptr;
  if (device) {
    if (FPipeIn >= 0 && FPipeIn < device->PipeCount())
      if (TkvUsbPipe* pipe = device->GetPipe(FPipeIn)) in = pipe->EndpointAddress();
    if (FPipeOut >= 0 && FPipeOut < device->PipeCount())
      if (TkvUsbPipe* pipe = device->GetPipe(FPipeOut)) out = pipe->EndpointAddress();
  }
  FPipeInId.store(in);
  FPipeOutId.store(out);
}

// ---- the USB component ------------------------------------------------------------------

void TkvUSBPipePair::UsbNotify(TObject*, int Code) {
  // Its handles are about to go.
  if (Code == kvNotifyMediumClosed) Close();
}

void TkvUSBPipePair::Notification(TComponent* AComponent, TOperation Operation) {
  TkvBaseIO::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent && AComponent == FUsbDevice &&
      (AComponent->ComponentState() & csDestroying)) {
    // It has closed already (its close tells this pair first); what is left
    // is the reference.
    FUsbDevice = nullptr;
    Close();
    ResolvePipeIds();
  }
}

// ---- opening and closing ----------------------------------------------------------------

HANDLE TkvUSBPipePair::OpenMedium() {
  ResolvePipeIds();
  if (FPipeInId.load() == 0 && FPipeOutId.load() == 0) throw Exception("Pipe IDs are wrong.");
  const HANDLE result = FUsbDevice->Handle();
  const auto winusb = static_cast<WINUSB_INTERFACE_HANDLE>(FUsbDevice->WinUsbHandle());
  ApplyPolicies(winusb);
  FOpenWinUsb.store(winusb);
  FReaderPipe = FPipeInId.load();
  FReaderSize = std::max(FReadBufferSize, kMinReadSize);
  FClosing.store(false);
  Host().ResetEvent(FStopEvent);
  return result;
}

void TkvUSBPipePair::CloseMedium(HANDLE) {}

void TkvUSBPipePair::ApplyPolicies(WINUSB_INTERFACE_HANDLE H) {
  if (const BYTE out = FPipeOutId.load()) {
    ApplyPolicySet(H, out);
    Debug(WinUsb_SetPipePolicy(H, out, PIPE_TRANSFER_TIMEOUT, 4, &FTimeoutWrite) ? "Apply Timout Write OK"
                                                                                  : "err Apply Timout");
  }
  if (const BYTE in = FPipeInId.load()) {
    ApplyPolicySet(H, in);
    Debug(WinUsb_SetPipePolicy(H, in, PIPE_TRANSFER_TIMEOUT, 4, &FTimeoutRead) ? "Apply Timout Read OK"
                                                                                : "err Apply Timout");
  }
}

void TkvUSBPipePair::ApplyPolicySet(WINUSB_INTERFACE_HANDLE H, BYTE Pipe) {
  for (int p = uppShortPacketTerminate; p <= uppRawIO; ++p) {
    BYTE value = FPolicy.Contains(static_cast<TkvUsbPipePolicy>(p)) ? 1 : 0;
    Debug(WinUsb_SetPipePolicy(H, Pipe, kPolicyCodes[p], 1, &value) ? "... ok .." : "... err ...");
  }
}

void TkvUSBPipePair::Open() {
  SetUsesThread(HasReceivers());
  TkvBaseIO::Open();
}

void TkvUSBPipePair::Close() {
  if (Handle() == INVALID_HANDLE_VALUE) return;
  FClosing.store(true);
  const WINUSB_INTERFACE_HANDLE h = FOpenWinUsb.load();
  // The reader wakes on the stop event, cancels its read and waits for it.
  Host().SetEvent(FStopEvent);
  // A write that waits for the device (a full pipe, no time-out) ends too.
  if (const BYTE out = FPipeOutId.load()) WinUsb_AbortPipe(h, out);
  // Waits for the reader, serving its synchronised calls and the messages
  // it sends meanwhile.
  TkvBaseIO::Close();
  // A write under way on another thread ends before the handle may go.
  while (!FWriteLock.try_lock()) {
    if (const BYTE out = FPipeOutId.load()) WinUsb_AbortPipe(h, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FOpenWinUsb.store(nullptr);
  FWriteLock.unlock();
}

// ---- the reader --------------------------------------------------------------------------

void TkvUSBPipePair::ThreadExecute(TkvThreadIO* AThread) {
  // Only what the open took: the topology and the USB component may change
  // on the main thread meanwhile.
  const WINUSB_INTERFACE_HANDLE h = FOpenWinUsb.load();
  const BYTE pipe = FReaderPipe;
  if (pipe == 0) return;
  const DWORD size = FReaderSize;
  std::unique_ptr<BYTE[]> buffer(new BYTE[size]());
  FReadBuffer.store(buffer.get());
  OVERLAPPED ov{};
  ov.hEvent = FReadEvent;
  const HANDLE waits[2] = {FStopEvent, FReadEvent};
  TkvHost& host = Host();

  auto deliver = [&](DWORD count) {
    FReceivedCount.store(count);
    if (count == 0) return;
    if (UseMainThread())
      SynchronizeMethod(AThread, [&] { DoDataReceived(buffer.get(), count); });
    else
      DoDataReceived(buffer.get(), count);
  };

  struct TRelease {
    std::atomic<BYTE*>& Buffer;
    ~TRelease() { Buffer.store(nullptr); }
  } release{FReadBuffer};

  while (!ThreadStopped()) {
    ULONG received = 0;
    if (WinUsb_ReadPipe(h, pipe, buffer.get(), size, &received, &ov)) {
      deliver(received);
      continue;
    }
    // Refused at once (the device is gone, the pipe is wrong): reading again
    // would fail again, at full speed.
    if (GetLastError() != ERROR_IO_PENDING) break;
    DWORD count = 0;
    if (host.WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      // Asked to stop: the read is cancelled, and the buffer stays until it
      // has completed. What it brought is still delivered: it was taken
      // from the device.
      WinUsb_AbortPipe(h, pipe);
      if (WinUsb_GetOverlappedResult(h, &ov, &count, TRUE)) deliver(count);
      break;
    }
    if (!WinUsb_GetOverlappedResult(h, &ov, &count, TRUE)) {
      // The pipe's time-out: nothing came for a while; read on.
      if (GetLastError() == ERROR_SEM_TIMEOUT) continue;
      break;
    }
    deliver(count);
  }
}

// ---- sending -------------------------------------------------------------------------------

bool TkvUSBPipePair::Write(const void* Buffer, DWORD Count, bool Overlapped) {
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> lock(FWriteLock);
    if (WriteLocked(Buffer, Count, Overlapped)) return true;
    error = GetLastError();
  }
  // Releasing the lock may touch the thread's last error on some platforms.
  SetLastError(error);
  return false;
}

bool TkvUSBPipePair::WriteLocked(const void* Buffer, DWORD Count, bool Overlapped) {
  const BYTE out = FPipeOutId.load();
  if (FClosing.load() || !IsOpened() || out == 0) return true;
  const WINUSB_INTERFACE_HANDLE h = FOpenWinUsb.load();
  auto* bytes = static_cast<BYTE*>(const_cast<void*>(Buffer));
  ULONG written = 0;
  if (!Overlapped) return WinUsb_WritePipe(h, out, bytes, Count, &written, nullptr) != FALSE;
  // The record and the caller's buffer are in use until the write has
  // completed: it is waited for, under the lock, so no second write starts
  // on the same record.
  OVERLAPPED& ov = WriteOverlapped();
  if (WinUsb_WritePipe(h, out, bytes, Count, &written, &ov)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  DWORD count = 0;
  return WinUsb_GetOverlappedResult(h, &ov, &count, TRUE) != FALSE;
}

void TkvUSBPipePair::SendChar(char C) {
  if (Write(&C, 1, false)) return;
  Debug(("ERROR:" + ErrorText(GetLastError())).c_str());
}

void TkvUSBPipePair::SendString(const std::string& S) { Write(S.data(), static_cast<DWORD>(S.size()), false); }

void TkvUSBPipePair::SendBuffer(const void* Buffer, DWORD Count) { Write(Buffer, Count, true); }

}  // namespace kv
