// The USB pipe pair: exchanges data with a device under WinUSB through one IN
// and one OUT pipe of the device selected in a USB device component
// (TkvUSB), whose open handles it borrows. Opening resolves the two pipes,
// sets their WinUSB policies and time-outs and, when someone receives (a
// terminal, a data processor, OnAfterReceive), starts a reader that reads
// the IN pipe with overlapped I/O and hands every block to the dispatch of
// received data. The send operations write to the OUT pipe.
//
// Lifetimes: the pair uses the USB component's handles only between its own
// open and close. Close ends the reader (cancelling its read and waiting for
// it) and waits for a write under way before it returns; the USB component
// tells the pair before its handles go (kvNotifyMediumClosed) and when it is
// destroyed (free notification), and the pair closes itself then.
//
// Threading: everything runs on the main thread except the reader, and the
// send operations when a data processor calls them from another thread. The
// reader uses only what the open took: the WinUSB handle and the IN pipe's
// id; a change of PipeIn while open takes effect at the next open.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>

#include "kvboundapi.h"
#include "kvclasses.h"
#include "kvusb.h"

namespace kv {

enum TkvUsbPipePolicy : std::uint8_t {
  uppShortPacketTerminate = 0,
  uppAutoClearStall = 1,
  uppIgnoreShortPackets = 2,
  uppAllowPartialReads = 3,
  uppAutoFlush = 4,
  uppRawIO = 5,
};

// A set of TkvUsbPipePolicy in one byte: bit n is ordinal n.
class TkvUsbPipePolicies {
 public:
  constexpr TkvUsbPipePolicies() = default;
  constexpr TkvUsbPipePolicies(std::initializer_list<TkvUsbPipePolicy> items) {
    for (TkvUsbPipePolicy p : items) FBits = static_cast<std::uint8_t>(FBits | (1u << p));
  }
  constexpr bool Contains(TkvUsbPipePolicy p) const { return (FBits >> p) & 1u; }
  constexpr std::uint8_t Bits() const { return FBits; }
  static constexpr TkvUsbPipePolicies FromBits(std::uint8_t bits) {
    TkvUsbPipePolicies s;
    s.FBits = bits;
    return s;
  }
  friend constexpr bool operator==(TkvUsbPipePolicies a, TkvUsbPipePolicies b) { return a.FBits == b.FBits; }

 private:
  std::uint8_t FBits = 0;
};

class TkvUSBPipePair : public TkvBaseIO {
 public:
  // UsbDevice is the owner when the owner is a TkvUSB.
  explicit TkvUSBPipePair(TComponent* AOwner);
  ~TkvUSBPipePair() override;

  // PipeInId and PipeOutId from PipeIn and PipeOut in the selected device's
  // pipe list; 0 for an index out of range, no device or no selection.
  void ResolvePipeIds();

  // Resolves, raises "Pipe IDs are wrong." without a pipe, sets the
  // policies; a reader only when someone receives.
  void Open() override;
  // Ends the reader and a write under way, then closes.
  void Close() override;

  // Each writes and waits for the write's end; nothing when closed or
  // without an OUT pipe. A failed SendChar writes "ERROR:" and the reason to
  // the debug output.
  void SendChar(char C) override;
  void SendString(const std::string& S) override;
  void SendBuffer(const void* Buffer, DWORD Count) override;

  int GetDeviceIndex() const override { return -1; }

  // ---- published properties
  TkvUSB* UsbDevice() const { return FUsbDevice; }
  void SetUsbDevice(TkvUSB* Value);
  int PipeIn() const { return FPipeIn; }
  void SetPipeIn(int Value);
  int PipeOut() const { return FPipeOut; }
  void SetPipeOut(int Value);
  TkvUsbPipePolicies Policy() const { return FPolicy; }
  void SetPolicy(TkvUsbPipePolicies Value) { FPolicy = Value; }
  DWORD TimeoutRead() const { return FTimeoutRead; }
  void SetTimeoutRead(DWORD Value) { FTimeoutRead = Value; }
  DWORD TimeoutWrite() const { return FTimeoutWrite; }
  void SetTimeoutWrite(DWORD Value) { FTimeoutWrite = Value; }
  // Bytes asked for by one read (at least 128 are); read when the reader starts.
  DWORD ReadBufferSize() const { return FReadBufferSize; }
  void SetReadBufferSize(DWORD Value) { FReadBufferSize = Value; }

  // ---- state
  BYTE PipeInId() const { return FPipeInId.load(); }
  BYTE PipeOutId() const { return FPipeOutId.load(); }
  // The byte count of the last completed read.
  DWORD ReceivedCount() const { return FReceivedCount.load(); }
  // The reader's buffer while the reader runs, else nullptr.
  BYTE* ReadBuffer() const { return FReadBuffer.load(); }
  HANDLE ReadEvent() const { return FReadEvent; }

 protected:
  // The USB component's device handle: open exactly when it is.
  HANDLE OpenMedium() override;
  // The handle is the USB component's: nothing to close.
  void CloseMedium(HANDLE AHandle) override;
  void ThreadExecute(TkvThreadIO* AThread) override;
  void LoadDeviceList() override {}
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  void ApplyPolicies(WINUSB_INTERFACE_HANDLE H);
  void ApplyPolicySet(WINUSB_INTERFACE_HANDLE H, BYTE Pipe);
  // Writes under the write lock; false with the last error on failure.
  bool Write(const void* Buffer, DWORD Count, bool Overlapped);
  bool WriteLocked(const void* Buffer, DWORD Count, bool Overlapped);
  void UsbNotify(TObject* Sender, int Code);
  void ReleaseUsbDevice();

  TkvUSB* FUsbDevice = nullptr;
  int FPipeIn = -1;
  int FPipeOut = -1;
  std::atomic<BYTE> FPipeInId{0};
  std::atomic<BYTE> FPipeOutId{0};
  std::atomic<BYTE*> FReadBuffer{nullptr};
  TkvUsbPipePolicies FPolicy;
  DWORD FTimeoutWrite = 0;
  DWORD FTimeoutRead = 0;
  std::atomic<DWORD> FReceivedCount{0};
  DWORD FReadBufferSize = 512;
  HANDLE FReadEvent = nullptr;

  // Taken by the open, for the reader and the writes until the close.
  std::atomic<WINUSB_INTERFACE_HANDLE> FOpenWinUsb{nullptr};
  BYTE FReaderPipe = 0;
  DWORD FReaderSize = 0;
  HANDLE FStopEvent = nullptr;  // manual reset: set by Close, never lost
  std::mutex FWriteLock;        // one write at a time on WriteOverlapped
  std::atomic<bool> FClosing{false};
};

}  // namespace kv
