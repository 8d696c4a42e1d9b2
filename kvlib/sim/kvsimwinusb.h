// A USB device under WinUSB on the simulated machine: opened by path through
// CreateFileA (its device interface path, or the \\.\ form of its
// "SymbolicName"), then through WinUsb_Initialize, and read and written pipe
// by pipe as the WinUSB library does it: synchronously, or overlapped with
// the OVERLAPPED record's event signalled at completion.
//
// What each pipe does is part of the description (TkvSimPipeKind): a loopback
// OUT pipe feeds what is written to it to the loopback IN pipes; a source IN
// pipe produces bytes at a given rate; a sink takes everything and gives
// nothing; a stalled pipe completes every transfer with ERROR_GEN_FAILURE; a
// gone pipe (or a gone device, SetGone) refuses every request at once with
// ERROR_BAD_COMMAND, as an unplugged device does. A transfer that cannot
// complete stays pending until it can, until the pipe's PIPE_TRANSFER_TIMEOUT
// expires (ERROR_SEM_TIMEOUT) or until it is aborted (WinUsb_AbortPipe,
// WinUsb_Free: ERROR_OPERATION_ABORTED). Every pipe policy set is recorded.
//
// Threading: all operations are thread-safe; blocking calls wait without the
// machine's lock. A worker thread of the device completes transfers whose
// time has come (time-outs, source data); it runs while such a transfer is
// pending.
#pragma once

#include <chrono>
#include <condition_variable>

#include "kvlock.h"
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvsimmachine.h"

namespace kv {

enum class TkvSimPipeKind { Sink, Loopback, Source, Stall, Gone };

// "sink", "loopback", "source", "stall", "gone"; false for another name.
bool PipeKindFromName(const std::string& name, TkvSimPipeKind& kind);

struct TkvSimPolicyRecord {
  BYTE Pipe = 0;
  ULONG Policy = 0;
  std::vector<BYTE> Value;
  // The value as a number (little-endian, up to four bytes).
  DWORD Number() const;
};

class TkvSimWinUsb : public TkvSimDeviceObject {
 public:
  TkvSimWinUsb() = default;
  ~TkvSimWinUsb() override;

  // ---- description
  // A pipe not named here is a sink.
  void SetPipe(BYTE address, TkvSimPipeKind kind, DWORD bytesPerSecond = 0);
  // Unplugs the device (pending transfers end with ERROR_BAD_COMMAND) or
  // plugs it in again.
  void SetGone(bool gone);
  // Bytes a loopback holds before writes wait for room (1 MiB unless set).
  void SetLoopbackCapacity(std::size_t bytes);

  // ---- observation
  std::vector<TkvSimPolicyRecord> Policies() const;
  void ClearPolicies();
  // The pipe's transfer time-out in milliseconds (0: none).
  DWORD PipeTimeout(BYTE pipe) const;
  // Transfers started and not yet completed.
  std::size_t PendingCount() const;
  // Reads requested since creation, refused ones included.
  unsigned long ReadRequests() const;
  // Bytes waiting in the loopback.
  std::size_t LoopbackBytes() const;

  // The device answers no I/O control: it is reached through WinUSB only.
  BOOL Ioctl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* returned,
             DWORD* error) override;

  // ---- the WinUSB calls, for the machine's exports. Interface identifies
  // the interface handle a transfer came through (WinUsb_Free aborts its
  // transfers).
  BOOL Initialize(DWORD* error);
  BOOL Transfer(const void* Interface, bool Read, BYTE Pipe, BYTE* Buffer, ULONG Length, ULONG* Transferred,
                OVERLAPPED* Overlapped);
  BOOL SetPolicy(BYTE Pipe, ULONG Type, ULONG Length, const void* Value);
  BOOL OverlappedResult(OVERLAPPED* Overlapped, DWORD* Bytes, BOOL Wait);
  BOOL Abort(BYTE Pipe);
  void FreeInterface(const void* Interface);

 private:
  using TClock = std::chrono::steady_clock;
  struct TPipe {
    TkvSimPipeKind Kind = TkvSimPipeKind::Sink;
    DWORD Rate = 0;  // source: bytes per second, 0 as fast as read
    DWORD Timeout = 0;
    BYTE Counter = 0;  // source: the next byte produced
  };
  struct TRequest {
    const void* Interface = nullptr;
    bool Read = true;
    BYTE Pipe = 0;
    BYTE* Buffer = nullptr;
    ULONG Length = 0;
    OVERLAPPED* Overlapped = nullptr;
    TClock::time_point Deadline = TClock::time_point::max();
    TClock::time_point Ready = TClock::time_point::max();  // source data is due
    ULONG Moved = 0;
    bool Done = false;
    DWORD Error = 0;
  };

  TPipe& Pipe(BYTE address) KV_REQUIRES(FLock);
  // Moves what can move now and ends what is due.
  void Pump(TClock::time_point now) KV_REQUIRES(FLock);
  void Complete(TRequest& request, DWORD error) KV_REQUIRES(FLock);
  void EnsureWorker() KV_REQUIRES(FLock);
  void Work() KV_EXCLUDES(FLock);

  mutable TkvMutex FLock;
  TkvCondition FChanged;
  std::map<BYTE, TPipe> FPipes KV_GUARDED_BY(FLock);
  std::list<std::shared_ptr<TRequest>> FPending KV_GUARDED_BY(FLock);
  std::vector<BYTE> FLoopback KV_GUARDED_BY(FLock);
  std::size_t FLoopbackStart KV_GUARDED_BY(FLock) = 0;  // bytes of FLoopback already read
  std::size_t FCapacity KV_GUARDED_BY(FLock) = 1u << 20;
  std::vector<TkvSimPolicyRecord> FPolicies KV_GUARDED_BY(FLock);
  bool FGone KV_GUARDED_BY(FLock) = false;
  unsigned long FReads KV_GUARDED_BY(FLock) = 0;
  std::thread FWorker KV_GUARDED_BY(FLock);
  bool FWorkerRunning KV_GUARDED_BY(FLock) = false;
  bool FStop KV_GUARDED_BY(FLock) = false;
};

// Adds a WinUSB device that answers at each of the paths (compared without
// regard to case) and returns it.
std::shared_ptr<TkvSimWinUsb> AddWinUsbDevice(TkvSimMachine& machine, const std::vector<std::string>& paths);

// The path a "SymbolicName" is opened at: \??\X becomes \\.\X.
std::string WinUsbOpenPath(const std::string& symbolicName);

}  // namespace kv
