// The base of the library's communication components: activation through
// Active around three medium hooks, the fatal-error path, logging, a device
// list to select from, notifications to interested objects, the reaction to
// the system's device-change broadcast, and (kvthreadio.cpp) an I/O thread,
// the dispatch of received bytes and a terminal edit.
//
// Threading: everything runs on the main thread except ThreadExecute, which
// runs on the I/O thread and may call DoDataReceived there. Two locks guard
// the receivers (data processor, terminal, OnAfterReceive):
//  * the dispatch lock (a TDispatchLock), held by a dispatch while it hands a
//    block to them and taken by every change of them, so a change waits until
//    a dispatch that is under way has ended, and a receiver that is taken
//    away or destroyed is never called afterwards;
//  * the receivers' lock, a plain mutex under which the fields are read and
//    written, never held while anything is called.
// So a receiver may call back into the component from a dispatch (send, ask
// HasReceivers or read the receivers, which only take the plain mutex, even
// change the receivers on the dispatching thread itself). It must not wait
// for another thread to change the receivers: that change would wait for the
// dispatch that waits for it.
#pragma once

#include "kvclasses.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>

namespace kv {

class TkvCustomDataProcessor;
class TkvThreadIO;
class TkvEdit;

// ---- notifications ------------------------------------------------------------------

// Codes of TOnNotifyEvent.
constexpr int kvNotifyMediumClosed = 1;
constexpr int kvNotifyMediumOpened = 2;
constexpr int kvNotifyDeviceList = 3;  // the device list or the selection changed

// A method of an object, called with (Sender, Code). Two callbacks are equal
// when they name the same method of the same object, which is how an object
// registers itself once and takes itself off again. A virtual method is called
// virtually: the object's override runs.
class TOnNotifyEvent {
 public:
  TOnNotifyEvent() = default;
  template <class T>
  TOnNotifyEvent(T* object, void (T::*method)(TObject* Sender, int Code)) : FObject(object) {
    using TMethod = void (T::*)(TObject*, int);
    static_assert(sizeof(TMethod) <= sizeof(FCode), "method pointer too large");
    std::memcpy(FCode, &method, sizeof method);
    FInvoke = [](void* obj, const unsigned char* code, TObject* sender, int c) {
      TMethod m;
      std::memcpy(&m, code, sizeof m);
      (static_cast<T*>(obj)->*m)(sender, c);
    };
  }

  explicit operator bool() const { return FInvoke != nullptr && FObject != nullptr; }
  void operator()(TObject* Sender, int Code) const {
    if (*this) FInvoke(FObject, FCode, Sender, Code);
  }
  const void* Object() const { return FObject; }

  friend bool operator==(const TOnNotifyEvent& a, const TOnNotifyEvent& b) {
    return a.FObject == b.FObject && a.FInvoke == b.FInvoke && std::memcmp(a.FCode, b.FCode, sizeof a.FCode) == 0;
  }
  friend bool operator!=(const TOnNotifyEvent& a, const TOnNotifyEvent& b) { return !(a == b); }

 private:
  void* FObject = nullptr;
  unsigned char FCode[2 * sizeof(void*)] = {};
  void (*FInvoke)(void*, const unsigned char*, TObject*, int) = nullptr;
};

// The registered callbacks of a component. Each entry is a record of its
// own, owned by the list.
class TkvNotifyList : public TList {
 public:
  TkvNotifyList() = default;
  ~TkvNotifyList() override;

  int Add(const TOnNotifyEvent& Callback);
  void Delete(int Index) override;
  // Deletes the entries one by one from the front.
  void Clear() override;
  TOnNotifyEvent GetItem(int Index) const;
  // First entry equal to Callback, -1 if none.
  int IndexOf(const TOnNotifyEvent& Callback) const;
  // Calls the callbacks registered now in list order. One that is taken off
  // by an earlier callback is no longer called; one added meanwhile waits
  // for the next notification.
  void NotifyAll(TObject* Sender, int Code);
};

// ---- the communication component --------------------------------------------------

enum TTerminalUsage : std::uint8_t { tuNone = 0, tuSend = 1, tuReceive = 2, tuBoth = 3 };

// Received bytes, after the data processor and the terminal had them.
using TOnReceived = std::function<void(TObject* Com, BYTE* Buffer, DWORD Received)>;

class TkvBaseIO : public TComponent {
 public:
  explicit TkvBaseIO(TComponent* AOwner);
  // Closes the component if it is still open and waits for its I/O thread,
  // through the base's own hooks (see Shutdown).
  ~TkvBaseIO() override;

  // ---- virtual operations, in the order of their slots ----
  virtual bool IsOpened() const;

 protected:
  // Opens the medium and returns its handle; -1 (INVALID_HANDLE_VALUE) when it
  // cannot. The base opens nothing.
  virtual HANDLE OpenMedium();
  virtual void CloseMedium(HANDLE AHandle);

 public:
  // True when a terminal, OnAfterReceive or a data processor is assigned.
  virtual bool HasReceivers() const KV_EXCLUDES(FReceiversLock);
  // Does nothing when the component is open already. An I/O thread that
  // cannot be started is a fatal error (FatalError with the system's error
  // and the failure's text): the medium is closed again and the component
  // stays closed.
  virtual void Open();
  virtual void Close();

 protected:
  // (kvthreadio.cpp) Starts a new I/O thread, after a run that is still
  // ending has ended. Throws EkvException when the thread cannot be made.
  virtual void StartThread();
  // Asks the thread to stop and waits for its end, unless the stop flag was
  // already set. The wait on the main thread keeps serving the thread's
  // synchronised calls and the messages it sends to the main thread.
  virtual void StopThread();
  // The body of the I/O thread; empty here.
  virtual void ThreadExecute(TkvThreadIO* AThread);

 public:
  // OnFatalError (which may clear RaiseException), a level-0 log line, then
  // Exception(ErrorMsg) unless cleared or while loading.
  virtual void FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg);
  virtual void Notify(int Code);
  // Hands a received block to the data processor, then (unless the processor
  // took it) to the terminal, then to OnAfterReceive. Any thread.
  virtual void DoDataReceived(BYTE* Buffer, DWORD Count) KV_EXCLUDES(FReceiversLock);
  // The base only notifies code 3.
  virtual void SetDeviceIndex(int Index);
  virtual int GetDeviceIndex() const = 0;

 protected:
  // Appends (Device->Name, Device); the record learns its position and owner.
  virtual int AddDevice(TkvDevice* Device);
  virtual void LoadDeviceList() = 0;
  // Frees the records first when OwnsDevices.
  virtual void ClearDevices();

 public:
  // Echoes Count bytes into the terminal window: one byte as a typed
  // character, more as text inserted at the caret (zero bytes skipped).
  virtual void TerminalWrite(const BYTE* Buffer, DWORD Count) KV_EXCLUDES(FReceiversLock);
  virtual void RefreshDeviceList();
  // A callback is registered once; the index of its entry is returned.
  virtual int AddNotify(const TOnNotifyEvent& Callback);
  virtual void RemoveNotify(const TOnNotifyEvent& Callback);
  virtual void SendChar(char C) = 0;
  virtual void SendString(const std::string& S) = 0;
  virtual void SendBuffer(const void* Buffer, DWORD Count) = 0;
  // Loads the list first when it is empty; then, when Items is given, fills
  // it with (name, record) of every entry. Items does not own the records.
  virtual void FillDeviceList(TStringList* Items);
  // True for a device change that made the list refresh: devnodes changed,
  // or a port arrived or went. Other messages are left alone.
  virtual bool DeviceChangeMessage(TMessage& Message);

  // ---- activation
  // While loading or designing: the stored value; otherwise IsOpened.
  bool Active() const;
  void SetActive(bool Value);
  HANDLE Handle() const { return FHandle.load(); }

  // ---- errors and log
  // LogPrefix + Text at Level; an empty Text writes a blank line.
  void WriteLog(BYTE Level, const std::string& Text);
  TkvCustomLogFile* Log() const { return FLog; }
  void SetLog(TkvCustomLogFile* Value);
  const TOnFatalErrorEvent& OnFatalError() const { return FOnFatalError; }
  void SetOnFatalError(TOnFatalErrorEvent Value) { FOnFatalError = std::move(Value); }
  // Put before every log text; the class name of the component unless set.
  std::string LogPrefix() const { return FLogPrefixSet ? FLogPrefix : ClassName(); }
  void SetLogPrefix(const std::string& Value) {
    FLogPrefix = Value;
    FLogPrefixSet = true;
  }

  // ---- device list
  int DeviceIndex() const { return GetDeviceIndex(); }
  TkvDevice* GetDevice(int Index) const;
  int DeviceCount() const { return FDevices.Count(); }
  int IndexOfDevice(const TkvDevice* Device) const;
  bool OwnsDevices() const { return FOwnsDevices; }
  void SetOwnsDevices(bool Value) { FOwnsDevices = Value; }

  const TkvNotifyList& NotifyList() const { return FNotifyList; }

  // ---- receivers and terminal (kvthreadio.cpp)
  TkvCustomDataProcessor* DataProcessor() const KV_EXCLUDES(FReceiversLock);
  // Binds the processor to this component (the one it replaces is released
  // once no dispatch is inside it). Changes of the receivers wait for a
  // dispatch that is under way.
  void SetDataProcessor(TkvCustomDataProcessor* Value) KV_EXCLUDES(FReceiversLock);
  TkvEdit* Terminal() const KV_EXCLUDES(FReceiversLock);
  // Hooks the edit's window procedure (giving the previous terminal its own
  // back). An edit whose window cannot be made changes nothing: the
  // exception comes before any change.
  void SetTerminal(TkvEdit* Value) KV_EXCLUDES(FReceiversLock);
  TTerminalUsage TerminalUsage() const KV_EXCLUDES(FReceiversLock);
  void SetTerminalUsage(TTerminalUsage Value) KV_EXCLUDES(FReceiversLock);
  HWND TerminalHandle() const KV_EXCLUDES(FReceiversLock);
  // True while TerminalWrite runs.
  bool Echoing() const { return FEchoThread.load() != 0; }
  TOnReceived OnAfterReceive() const KV_EXCLUDES(FReceiversLock);
  void SetOnAfterReceive(TOnReceived Value) KV_EXCLUDES(FReceiversLock);
  bool UseMainThread() const { return FUseMainThread; }
  void SetUseMainThread(bool Value) { FUseMainThread = Value; }

  // ---- events that are not published
  void SetOnAfterOpen(TNotifyEvent Value) { FOnAfterOpen = std::move(Value); }
  void SetOnAfterClose(TNotifyEvent Value) { FOnAfterClose = std::move(Value); }

  // ---- for descendants and their threads
  bool UsesThread() const { return FUsesThread; }
  void SetUsesThread(bool Value) { FUsesThread = Value; }
  // The I/O loop's stop flag.
  bool ThreadStopped() const { return FThreadStopped.load(); }
  void SetThreadStopped(bool Value) { FThreadStopped.store(Value); }
  OVERLAPPED& WriteOverlapped() { return FWriteOverlapped; }

 protected:
  void SetHandle(HANDLE Value) { FHandle.store(Value); }
  // The running I/O thread; to be used on that thread only (the object frees
  // itself when its run ends).
  TkvThreadIO* Thread() const { return FThread; }
  TStringList& Devices() { return FDevices; }

  // The start of destruction: closes the component when it is open (through
  // the hooks of the class whose destructor calls it), waits for an I/O
  // thread run that is still going, also one that Close did not wait for,
  // lets go of the receivers and has the processors bound here let go of
  // this component. A descendant whose hooks, thread body or sending use its
  // own members calls it first in its own destructor: the base's destructor
  // only runs it once those are gone.
  void Shutdown();

  void Loaded() override;
  // On removal of the data processor: released (SetComm(none)) and
  // forgotten; of the terminal: forgotten, and given its own window
  // procedure back when it lives on with another owner; of the log:
  // forgotten.
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  friend class TkvThreadIO;

  // Waits for a run that was asked to stop (or is asked now) to end.
  void WaitForThreadEnd();
  bool OnIOThread() const;
  // Runs on the edit's thread, also while a dispatch waits for this very
  // thread to handle its echo.
  void TerminalWndProc(TMessage& Message) KV_EXCLUDES(FReceiversLock);
  // Whether the WM_CHAR the hook handles now is TerminalWrite's echo.
  bool IsEcho() const;
  // Forgets the terminal; a living edit gets its own window procedure back.
  void ReleaseTerminal(bool GiveBack) KV_EXCLUDES(FReceiversLock);
  // Forgets the data processor, once no dispatch is inside it.
  void ReleaseDataProcessor() KV_EXCLUDES(FReceiversLock);

  TkvNotifyList FNotifyList;
  TkvCustomLogFile* FLog = nullptr;
  mutable TDispatchLock FDispatchLock;  // held by every dispatch of received data
  mutable TkvMutex FReceiversLock;      // guards the receivers; held while nothing is called
  TkvCustomDataProcessor* FDataProcessor KV_GUARDED_BY(FReceiversLock) = nullptr;
  TOnFatalErrorEvent FOnFatalError;
  TStringList FDevices;
  HWND FTerminalHandle KV_GUARDED_BY(FReceiversLock) = nullptr;
  TTerminalUsage FTerminalUsage KV_GUARDED_BY(FReceiversLock) = tuNone;
  TkvEdit* FTerminal KV_GUARDED_BY(FReceiversLock) = nullptr;
  TWndMethod FSavedWndProc KV_GUARDED_BY(FReceiversLock);
  // The thread whose TerminalWrite runs (0: none). Its echo reaches the edit
  // directly when it is the edit's own thread, else as a message sent from
  // it; a key typed on the edit's thread meanwhile is neither.
  std::atomic<DWORD> FEchoThread{0};
  TNotifyEvent FOnAfterClose;
  TNotifyEvent FOnAfterOpen;
  TkvThreadIO* FThread = nullptr;
  TOnReceived FOnAfterReceive KV_GUARDED_BY(FReceiversLock);
  bool FUseMainThread = false;
  bool FStoredActive = false;
  std::atomic<HANDLE> FHandle;
  std::string FLogPrefix;  // with FLogPrefixSet: the class name is known only once built
  bool FOwnsDevices = true;
  OVERLAPPED FWriteOverlapped{};
  bool FUsesThread = false;
  std::atomic<bool> FThreadStopped{false};

  bool FLogPrefixSet = false;
  TThreadRef FThreadRun;                    // the present or last run of the I/O thread
  std::atomic<std::thread::id> FThreadId{};  // its system thread, once running
};

}  // namespace kv
