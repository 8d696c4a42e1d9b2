// WinUSB devices of the simulated machine, and the machine's WinUSB exports.
#include "kvsimwinusb.h"

#include <algorithm>
#include <cstring>

#include "kvtext.h"

namespace kv {

namespace {

// The status of an overlapped transfer that has not completed, in the
// record's Internal member as Windows keeps it there (STATUS_PENDING).
constexpr ULONG_PTR kPending = 0x103;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;

}  // namespace

bool PipeKindFromName(const std::string& name, TkvSimPipeKind& kind) {
  static const std::pair<const char*, TkvSimPipeKind> kinds[] = {{"sink", TkvSimPipeKind::Sink},
                                                                 {"loopback", TkvSimPipeKind::Loopback},
                                                                 {"source", TkvSimPipeKind::Source},
                                                                 {"stall", TkvSimPipeKind::Stall},
                                                                 {"gone", TkvSimPipeKind::Gone}};
  for (const auto& k : kinds)
    if (name == k.first) {
      kind = k.second;
      return true;
    }
  return false;
}

DWORD TkvSimPolicyRecord::Number() const {
  DWORD n = 0;
  for (std::size_t i = 0; i < Value.size() && i < 4; ++i) n |= static_cast<DWORD>(Value[i]) << (8 * i);
  return n;
}

std::string WinUsbOpenPath(const std::string& symbolicName) {
  if (symbolicName.compare(0, 3, "\\??") == 0) return "\\\\." + symbolicName.substr(3);
  return symbolicName;
}

TkvSimWinUsb::~TkvSimWinUsb() {
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    FStop = true;
  }
  FChanged.notify_all();
  if (FWorker.joinable()) FWorker.join();
}

// ---- description and observation -------------------------------------------------------

TkvSimWinUsb::TPipe& TkvSimWinUsb::Pipe(BYTE address) { return FPipes[address]; }

void TkvSimWinUsb::SetPipe(BYTE address, TkvSimPipeKind kind, DWORD bytesPerSecond) {
  TkvLockGuard<TkvMutex> lock(FLock);
  TPipe& p = Pipe(address);
  p.Kind = kind;
  p.Rate = bytesPerSecond;
}

void TkvSimWinUsb::SetGone(bool gone) {
  {
    TkvLockGuard<TkvMutex> lock(FLock);
    FGone = gone;
    Pump(TClock::now());
  }
  FChanged.notify_all();
}

void TkvSimWinUsb::SetLoopbackCapacity(std::size_t bytes) {
  TkvLockGuard<TkvMutex> lock(FLock);
  FCapacity = std::max<std::size_t>(bytes, 1);
}

std::vector<TkvSimPolicyRecord> TkvSimWinUsb::Policies() const {
  TkvLockGuard<TkvMutex> lock(FLock);
  return FPolicies;
}

void TkvSimWinUsb::ClearPolicies() {
  TkvLockGuard<TkvMutex> lock(FLock);
  FPolicies.clear();
}

DWORD TkvSimWinUsb::PipeTimeout(BYTE pipe) const {
  TkvLockGuard<TkvMutex> lock(FLock);
  auto it = FPipes.find(pipe);
  return it == FPipes.end() ? 0 : it->second.Timeout;
}

std::size_t TkvSimWinUsb::PendingCount() const {
  TkvLockGuard<TkvMutex> lock(FLock);
  return FPending.size();
}

unsigned long TkvSimWinUsb::ReadRequests() const {
  TkvLockGuard<TkvMutex> lock(FLock);
  return FReads;
}

std::size_t TkvSimWinUsb::LoopbackBytes() const {
  TkvLockGuard<TkvMutex> lock(FLock);
  return FLoopback.size() - FLoopbackStart;
}

BOOL TkvSimWinUsb::Ioctl(DWORD, const BYTE*, DWORD, BYTE*, DWORD, DWORD* returned, DWORD* error) {
  if (returned) *returned = 0;
  *error = ERROR_INVALID_FUNCTION;
  return FALSE;
}

// ---- transfers ------------------------------------------------------------------------------

void TkvSimWinUsb::Complete(TRequest& request, DWORD error) {
  request.Done = true;
  request.Error = error;
  if (OVERLAPPED* ov = request.Overlapped) {
    ov->InternalHigh = request.Moved;
    ov->Internal = error;
    if (ov->hEvent) Host().SetEvent(ov->hEvent);
  }
}

void TkvSimWinUsb::Pump(TClock::time_point now) {
  bool moved = true;
  while (moved) {
    moved = false;
    for (auto it = FPending.begin(); it != FPending.end();) {
      TRequest& r = **it;
      const TPipe& pipe = Pipe(r.Pipe);
      if (FGone || pipe.Kind == TkvSimPipeKind::Gone) {
        Complete(r, ERROR_BAD_COMMAND);
      } else if (pipe.Kind == TkvSimPipeKind::Stall) {
        Complete(r, ERROR_GEN_FAILURE);
      } else if (pipe.Kind == TkvSimPipeKind::Loopback && r.Read) {
        const std::size_t available = FLoopback.size() - FLoopbackStart;
        if (available > 0) {
          const std::size_t n = std::min<std::size_t>(available, r.Length);
          std::memcpy(r.Buffer, FLoopback.data() + FLoopbackStart, n);
          FLoopbackStart += n;
          if (FLoopbackStart == FLoopback.size()) {
            FLoopback.clear();
            FLoopbackStart = 0;
          }
          r.Moved = static_cast<ULONG>(n);
          Complete(r, ERROR_SUCCESS);
          moved = true;
        }
      } else if (pipe.Kind == TkvSimPipeKind::Loopback) {
        const std::size_t held = FLoopback.size() - FLoopbackStart;
        const std::size_t room = held < FCapacity ? FCapacity - held : 0;
        const std::size_t n = std::min<std::size_t>(room, r.Length - r.Moved);
        if (n > 0) {
          FLoopback.insert(FLoopback.end(), r.Buffer + r.Moved, r.Buffer + r.Moved + n);
          r.Moved += static_cast<ULONG>(n);
          moved = true;
        }
        if (r.Moved == r.Length) Complete(r, ERROR_SUCCESS);
      } else if (pipe.Kind == TkvSimPipeKind::Source && r.Read) {
        if (now >= r.Ready) {
          TPipe& source = Pipe(r.Pipe);
          for (ULONG i = 0; i < r.Length; ++i) r.Buffer[i] = source.Counter++;
          r.Moved = r.Length;
          Complete(r, ERROR_SUCCESS);
        }
      } else if (!r.Read) {  // a sink, or a source written to: the bytes vanish
        r.Moved = r.Length;
        Complete(r, ERROR_SUCCESS);
      }
      if (!r.Done && now >= r.Deadline) Complete(r, ERROR_SEM_TIMEOUT);
      it = r.Done ? FPending.erase(it) : std::next(it);
    }
  }
}

BOOL TkvSimWinUsb::Initialize(DWORD* error) {
  TkvLockGuard<TkvMutex> lock(FLock);
  if (!FGone) return TRUE;
  *error = ERROR_BAD_COMMAND;
  return FALSE;
}

BOOL TkvSimWinUsb::Transfer(const void* Interface, bool Read, BYTE PipeId, BYTE* Buffer, ULONG Length,
                            ULONG* Transferred, OVERLAPPED* Overlapped) {
  TkvUniqueLock<TkvMutex> lock(FLock);
  if (Read) ++FReads;
  if (Transferred) *Transferred = 0;
  TPipe& pipe = Pipe(PipeId);
  if (FGone || pipe.Kind == TkvSimPipeKind::Gone) {
    SetLastError(ERROR_BAD_COMMAND);
    return FALSE;
  }
  // The direction is the endpoint address's bit 7; a pipe id of 0 is the
  // control pipe, which is not read or written this way.
  if (PipeId == 0 || ((PipeId & 0x80) != 0) != Read || (!Buffer && Length > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto request = std::make_shared<TRequest>();
  request->Interface = Interface;
  request->Read = Read;
  request->Pipe = PipeId;
  request->Buffer = Buffer;
  request->Length = Length;
  request->Overlapped = Overlapped;
  const TClock::time_point now = TClock::now();
  if (pipe.Timeout) request->Deadline = now + std::chrono::milliseconds(pipe.Timeout);
  if (Read && pipe.Kind == TkvSimPipeKind::Source)
    request->Ready = pipe.Rate ? now + std::chrono::microseconds(1000000ull * Length / pipe.Rate) : now;
  if (Overlapped) {
    // As at the start of every overlapped transfer of Windows.
    if (Overlapped->hEvent) Host().ResetEvent(Overlapped->hEvent);
    Overlapped->Internal = kPending;
    Overlapped->InternalHigh = 0;
  }
  FPending.push_back(request);
  Pump(now);
  if (!request->Done) {
    if (request->Deadline != TClock::time_point::max() || request->Ready != TClock::time_point::max())
      EnsureWorker();
    FChanged.notify_all();
    if (Overlapped) {
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    }
    FChanged.wait(lock, [&] { return request->Done; });
  } else {
    FChanged.notify_all();  // it may have made room for or fed others
  }
  if (Transferred) *Transferred = request->Moved;
  if (request->Error == ERROR_SUCCESS) return TRUE;
  if (Overlapped) {
    // A transfer that failed on the way reports it at its completion.
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  SetLastError(request->Error);
  return FALSE;
}

BOOL TkvSimWinUsb::SetPolicy(BYTE PipeId, ULONG Type, ULONG Length, const void* Value) {
  TkvLockGuard<TkvMutex> lock(FLock);
  if (FGone) {
    SetLastError(ERROR_BAD_COMMAND);
    return FALSE;
  }
  if (Type < 1 || Type > 7 || !Value || Length != (Type == 3 ? 4u : 1u)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TkvSimPolicyRecord record;
  record.Pipe = PipeId;
  record.Policy = Type;
  record.Value.assign(static_cast<const BYTE*>(Value), static_cast<const BYTE*>(Value) + Length);
  FPolicies.push_back(record);
  if (Type == 3) Pipe(PipeId).Timeout = record.Number();
  return TRUE;
}

BOOL TkvSimWinUsb::OverlappedResult(OVERLAPPED* Overlapped, DWORD* Bytes, BOOL Wait) {
  if (!Overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TkvUniqueLock<TkvMutex> lock(FLock);
  if (Overlapped->Internal == kPending) {
    if (!Wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    FChanged.wait(lock, [&] { return Overlapped->Internal != kPending; });
  }
  if (Bytes) *Bytes = static_cast<DWORD>(Overlapped->InternalHigh);
  const DWORD error = static_cast<DWORD>(Overlapped->Internal);
  if (error == ERROR_SUCCESS) return TRUE;
  SetLastError(error);
  return FALSE;
}

BOOL TkvSimWinUsb::Abort(BYTE PipeId) {
  TkvLockGuard<TkvMutex> lock(FLock);
  for (auto it = FPending.begin(); it != FPending.end();) {
    if ((*it)->Pipe == PipeId) {
      Complete(**it, ERROR_OPERATION_ABORTED);
      it = FPending.erase(it);
    } else {
      ++it;
    }
  }
  FChanged.notify_all();
  if (!FGone) return TRUE;
  SetLastError(ERROR_BAD_COMMAND);
  return FALSE;
}

void TkvSimWinUsb::FreeInterface(const void* Interface) {
  TkvLockGuard<TkvMutex> lock(FLock);
  for (auto it = FPending.begin(); it != FPending.end();) {
    if ((*it)->Interface == Interface) {
      Complete(**it, ERROR_OPERATION_ABORTED);
      it = FPending.erase(it);
    } else {
      ++it;
    }
  }
  FChanged.notify_all();
}

void TkvSimWinUsb::EnsureWorker() {
  if (FWorkerRunning) return;
  // A worker that found nothing to wait for has left the lock for good: it
  // is joined here, under the lock, before the next one starts.
  if (FWorker.joinable()) FWorker.join();
  FWorkerRunning = true;
  FWorker = std::thread([this] { Work(); });
}

void TkvSimWinUsb::Work() {
  TkvUniqueLock<TkvMutex> lock(FLock);
  while (!FStop) {
    const TClock::time_point now = TClock::now();
    Pump(now);
    FChanged.notify_all();
    TClock::time_point next = TClock::time_point::max();
    for (const auto& r : FPending) next = std::min({next, r->Deadline, r->Ready});
    if (next == TClock::time_point::max()) break;  // nothing is due: the next such transfer starts another
    FChanged.wait_until(lock, next);
  }
  FWorkerRunning = false;
}

std::shared_ptr<TkvSimWinUsb> AddWinUsbDevice(TkvSimMachine& machine, const std::vector<std::string>& paths) {
  auto device = std::make_shared<TkvSimWinUsb>();
  for (const std::string& path : paths) machine.AddDeviceObject(path, device);
  return device;
}

// ---- the machine's exports -----------------------------------------------------------------

namespace {
constexpr ULONG_PTR kInterfaceTag = 0x57000000u;
}

std::shared_ptr<TkvSimWinUsb> TkvSimMachine::WinUsbInterface(WINUSB_INTERFACE_HANDLE handle) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FInterfaces.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == FInterfaces.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

std::size_t TkvSimMachine::WinUsbInterfaceCount() const {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  return FInterfaces.size();
}

BOOL TkvSimMachine::WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE* handle) {
  if (EnterFails("WinUsb_Initialize")) return FALSE;
  if (!handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  auto it = FHandles.find(reinterpret_cast<ULONG_PTR>(device));
  if (it == FHandles.end() || it->second->What != OpenHandle::Device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto winusb = std::dynamic_pointer_cast<TkvSimWinUsb>(it->second->Object);
  if (!winusb) {
    SetLastError(ERROR_INVALID_FUNCTION);  // not a device under WinUSB
    return FALSE;
  }
  DWORD error = ERROR_SUCCESS;
  if (!winusb->Initialize(&error)) {
    SetLastError(error);
    return FALSE;
  }
  const ULONG_PTR value = kInterfaceTag + (FNextHandle++ << 4);
  FInterfaces[value] = winusb;
  *handle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(value);
  return TRUE;
}

BOOL TkvSimMachine::WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  if (EnterFails("WinUsb_Free")) return FALSE;
  std::shared_ptr<TkvSimWinUsb> device;
  {
    TkvLockGuard<TkvRecursiveMutex> lock(FLock);
    auto it = FInterfaces.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == FInterfaces.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    device = it->second;
    FInterfaces.erase(it);
  }
  device->FreeInterface(handle);
  return TRUE;
}

BOOL TkvSimMachine::WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, BYTE pipe, BYTE* buffer, ULONG length,
                                    ULONG* transferred, OVERLAPPED* overlapped) {
  if (EnterFails("WinUsb_ReadPipe")) return FALSE;
  auto device = WinUsbInterface(handle);
  return device ? device->Transfer(handle, true, pipe, buffer, length, transferred, overlapped) : FALSE;
}

BOOL TkvSimMachine::WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, BYTE pipe, BYTE* buffer, ULONG length,
                                     ULONG* transferred, OVERLAPPED* overlapped) {
  if (EnterFails("WinUsb_WritePipe")) return FALSE;
  auto device = WinUsbInterface(handle);
  return device ? device->Transfer(handle, false, pipe, buffer, length, transferred, overlapped) : FALSE;
}

BOOL TkvSimMachine::WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, BYTE pipe, ULONG type, ULONG length,
                                         void* value) {
  if (EnterFails("WinUsb_SetPipePolicy")) return FALSE;
  auto device = WinUsbInterface(handle);
  return device ? device->SetPolicy(pipe, type, length, value) : FALSE;
}

BOOL TkvSimMachine::WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, OVERLAPPED* overlapped,
                                               DWORD* bytes, BOOL wait) {
  if (EnterFails("WinUsb_GetOverlappedResult")) return FALSE;
  auto device = WinUsbInterface(handle);
  return device ? device->OverlappedResult(overlapped, bytes, wait) : FALSE;
}

BOOL TkvSimMachine::WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, BYTE pipe) {
  if (EnterFails("WinUsb_AbortPipe")) return FALSE;
  auto device = WinUsbInterface(handle);
  return device ? device->Abort(pipe) : FALSE;
}

}  // namespace kv
