// The component framework that the library's classes and the programs' windows
// are built on: objects, records, components with owners and free
// notification, string lists, exceptions, formatted text, threads with
// main-thread synchronisation, and hidden windows bound to a message handler.
//
// Threading: components, string lists and hidden windows are used by one
// thread at a time (in this library, the main thread); TThread, TDispatchLock
// and the synchronisation functions are the thread-safe parts.
#pragma once

#include "kvlock.h"
#include "kvplatform.h"
#include "kvtext.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace kv {

// ---- objects and exceptions -------------------------------------------------

// The root of every polymorphic class of the library, so that lists can hold
// and free objects of any such class through one pointer type.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;

  // The name of the object's dynamic class without namespace ("TkvTimer").
  // Inside a constructor or destructor this is the class being built, as with
  // any virtual call.
  std::string ClassName() const;
};

// The framework's plain exception: a message and nothing else. The programs'
// default error display shows Message() in a message box.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// Errors of the library's own machinery (bad list index, bad format,
// misuse of a thread); callers that catch Exception catch these too.
class EkvException : public Exception {
 public:
  using Exception::Exception;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// The plain base of records such as TkvDevice.
class TPersistent : public TObject {};

// ---- formatted text ------------------------------------------------------------

// One argument of Format: an integer of any width and signedness, or a text.
// Built implicitly, so a call reads Format("%u of %s", {count, name}).
class TVarRec {
 public:
  enum class TKind { Signed, Unsigned, Text };

  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, char>,
                                      int> = 0>
  TVarRec(T value)  // NOLINT: implicit by design
      : FKind(std::is_signed_v<T> ? TKind::Signed : TKind::Unsigned),
        FBits(static_cast<int>(sizeof(T) * 8)),
        FInt(static_cast<std::uint64_t>(value)) {}
  TVarRec(bool value) : FKind(TKind::Unsigned), FBits(1), FInt(value ? 1 : 0) {}  // NOLINT
  TVarRec(char value) : FKind(TKind::Text), FText(1, value) {}                    // NOLINT
  TVarRec(const char* value) : FKind(TKind::Text), FText(value ? value : "") {}   // NOLINT
  TVarRec(std::string value) : FKind(TKind::Text), FText(std::move(value)) {}     // NOLINT

  TKind Kind() const { return FKind; }
  // The value as a signed number (integers only).
  std::int64_t AsSigned() const;
  // The value as the unsigned number of the same bits, as %u shows it: -1 of
  // a 32-bit integer is 4294967295.
  std::uint64_t AsUnsigned() const;
  const std::string& AsText() const { return FText; }

 private:
  TKind FKind;
  int FBits = 0;
  std::uint64_t FInt = 0;
  std::string FText;
};
using TVarRecs = std::vector<TVarRec>;

// printf-like formatting: %d (signed), %u (unsigned), %x / %X (hexadecimal),
// %s (text), %% (a percent sign), each with an optional "-" (left-justify),
// width and ".precision" (minimum digits for numbers, maximum characters for
// texts). A directive whose argument is missing or of the wrong kind, or an
// unknown directive, throws EkvException: a log line must never read past its
// arguments.
std::string Format(const std::string& format, const TVarRecs& args);

// ---- string lists ----------------------------------------------------------------

// An ordered list of texts, each with an optional attached object. With
// OwnsObjects the list deletes the attached objects when their entries are
// deleted, replaced or cleared, and when the list is destroyed.
// Texts are compared without regard to ASCII letter case unless CaseSensitive
// is set. An index outside 0..Count()-1 throws EkvException.
class TStringList : public TPersistent {
 public:
  explicit TStringList(bool ownsObjects = false) : FOwnsObjects(ownsObjects) {}
  ~TStringList() override;
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& Strings(int index) const;
  void SetString(int index, const std::string& text);
  TObject* Objects(int index) const;
  // Attaches an object; an owned object that is replaced is deleted.
  void SetObject(int index, TObject* object);
  // The attached object as T, or nullptr when there is none or it is no T.
  template <class T>
  T* ObjectAs(int index) const {
    return dynamic_cast<T*>(Objects(index));
  }

  int Add(const std::string& text) { return AddObject(text, nullptr); }
  int AddObject(const std::string& text, TObject* object);
  // Index may be Count() (appends).
  void Insert(int index, const std::string& text) { InsertObject(index, text, nullptr); }
  void InsertObject(int index, const std::string& text, TObject* object);
  void Delete(int index);
  void Clear();
  // Detaches and returns the object of an entry without deleting it.
  TObject* Extract(int index);

  int IndexOf(const std::string& text) const;
  int IndexOfObject(const TObject* object) const;

  // Every entry followed by CR LF.
  std::string Text() const;
  // Replaces the texts with the lines of text (CR LF, LF or CR each end a
  // line; a final line break adds no empty entry).
  void SetText(const std::string& text);

  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool value) { FOwnsObjects = value; }
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool value) { FCaseSensitive = value; }

 private:
  struct TItem {
    std::string Text;
    TObject* Object;
  };
  void CheckIndex(int index) const;

  std::vector<TItem> FItems;
  bool FOwnsObjects;
  bool FCaseSensitive = false;
};

// ---- pointer lists ----------------------------------------------------------------

// An ordered list of untyped pointers. It owns nothing; a descendant that
// keeps records of its own overrides Delete and Clear to free them (and calls
// Clear in its destructor, where the base's virtual call would not reach it).
// An index outside 0..Count()-1 throws EkvException.
class TList : public TObject {
 public:
  TList() = default;
  TList(const TList&) = delete;
  TList& operator=(const TList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  void* Get(int index) const;
  void Put(int index, void* item);
  int Add(void* item);
  // Index may be Count() (appends).
  void Insert(int index, void* item);
  virtual void Delete(int index);
  virtual void Clear();
  // Position of the first entry equal to item, -1 if none.
  int IndexOf(const void* item) const;

 private:
  void CheckIndex(int index) const;
  std::vector<void*> FItems;
};

// Compares two texts without regard to ASCII letter case: <0, 0 or >0.
// SameText (equality without regard to ASCII case) is in kvtext.h.
int CompareText(const std::string& a, const std::string& b);

// ---- components -------------------------------------------------------------------

enum TOperation { opInsert, opRemove };

// Flags of TComponent::ComponentState().
enum TComponentStateFlag : unsigned {
  csLoading = 1u << 0,    // properties are being assigned from a form description
  csDesigning = 1u << 1,  // the component lives in a form designer
  csDestroying = 1u << 2,  // it is being destroyed (BeginDestruction has run)
};

// A component has an owner that deletes it, may own components itself
// (deleted in reverse creation order when it is deleted), and takes part in
// free notification: a component that keeps a pointer to another calls
// other->FreeNotification(this) and, when the other is deleted, receives
// Notification(other, opRemove) and clears its pointer. The owner and all its
// components also receive Notification(c, opInsert / opRemove) when a
// component is inserted into or removed from the owner; a removal that is a
// move to another owner leaves the links of free notification in place.
//
// Loading stands in for streaming a form description: BeginLoading(), assign
// the properties, EndLoading(), which runs Loaded() with the loading state
// still set and ends that state.
//
// Components are deleted with delete. A derived class that must react to the
// deletion of a component it refers to overrides Notification and calls the
// base first. Notification may also reach a component while it is itself
// being deleted; C++ then runs the override of the part still alive, so no
// override sees its own destroyed members.
//
// The base destructor tells the linked components last, when the derived
// parts are already gone. A class whose linked components may still be using
// it (a thread dispatching through it) calls BeginDestruction first in its
// own destructor, so they let go of it while it is whole. A removal
// notification for a component that is going has csDestroying set in its
// state; one without it is a component that moved to another owner and lives
// on.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  // Names are unique (without regard to case) among the components of one
  // owner; a duplicate throws EkvException. An empty name is always allowed.
  void SetName(const std::string& name);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const;
  TComponent* FindComponent(const std::string& name) const;
  // Moves ownership: the component leaves its present owner, if any.
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  // Deletes the owned components, last created first.
  void DestroyComponents();

  // Asks this component to tell `component` when this one is deleted. The
  // link works both ways: whichever of the two goes first tells the other.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  unsigned ComponentState() const { return FComponentState; }
  bool Loading() const { return (FComponentState & csLoading) != 0; }
  bool Designing() const { return (FComponentState & csDesigning) != 0; }
  // Sets or clears the designing state of this component and, when
  // setChildren, of its owned components (components inserted later into a
  // designing owner become designing too).
  void SetDesigning(bool value, bool setChildren = true);
  // Puts this component and its owned components into the loading state;
  // components inserted into a loading owner start loading too.
  void BeginLoading();
  // Runs Loaded() for this component and then, in creation order, for each
  // owned component that is still loading (depth first). An exception from a
  // Loaded() propagates; the component that raised it is no longer loading.
  void EndLoading();

 protected:
  virtual void Notification(TComponent* component, TOperation operation);
  // Runs after loading; the base ends the loading state. Overrides call it
  // first.
  virtual void Loaded();
  // Marks the component csDestroying and tells every component linked by
  // free notification that it goes, now; the links are gone afterwards. The
  // base destructor runs it too; a second run finds nobody left to tell.
  void BeginDestruction();

 private:
  void Insert(TComponent* component);
  void Remove(TComponent* component);
  void NotifyAll(TComponent* component, TOperation operation);
  void Unlink(TComponent* component);
  void ValidateName(const std::string& name, const TComponent* except) const;

  TComponent* FOwner = nullptr;
  std::string FName;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  unsigned FComponentState = 0;
};

// ---- threads ------------------------------------------------------------------------

using TThreadMethod = std::function<void()>;

namespace detail {
struct TThreadState;
// The framework's one lock for threads: it guards the Synchronize queue, the
// start and end marks of every run and the state of every TDispatchLock.
extern TkvMutex& gThreadLock;
}  // namespace detail

// A reference to a thread's run that stays valid after the thread object is
// gone, which is how a FreeOnTerminate thread is stopped and waited for:
//
//   auto* t = new TMyThread(...);
//   t->SetFreeOnTerminate(true);
//   TThreadRef run = t->Ref();     // take the reference before Start
//   t->Start();                    // from here on t may be deleted at any time
//   ...
//   run.Terminate();               // never t->Terminate()
//   run.WaitFor();                 // returns once t has been deleted
class TThreadRef {
 public:
  TThreadRef() = default;
  bool Assigned() const { return FState != nullptr; }
  void Terminate() const;
  bool Terminated() const;
  // True once the run has ended (and a FreeOnTerminate object is deleted).
  bool Finished() const;
  // Waits for the end of the run and returns the thread's ReturnValue. On the
  // main thread the wait serves Synchronize requests and messages sent from
  // other threads, so a thread that synchronises or sends a message while
  // being waited for still ends. Returns at once for a run never started.
  int WaitFor() const;
  // Waits at most `milliseconds`; true when the run has ended.
  bool WaitFor(DWORD milliseconds) const;

 private:
  friend class TThread;
  explicit TThreadRef(std::shared_ptr<detail::TThreadState> state) : FState(std::move(state)) {}
  std::shared_ptr<detail::TThreadState> FState;
};

// Runs Execute() on its own thread after Start(). C++ cannot run a derived
// class's code from the base constructor, so a thread never starts by
// itself: the creator calls Start(), or a final class calls it as the last
// statement of its own constructor.
//
// Deleting a started thread object that is not FreeOnTerminate terminates it
// and waits for its end — but by then the derived part is already destroyed,
// so a class whose Execute uses its own members calls Terminate(); WaitFor();
// in its own destructor (or the owner does before delete).
//
// An exception that escapes Execute ends the run; it is kept in
// FatalException().
class TThread : public TObject {
 public:
  TThread();
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the run; a second call throws EkvException, and so does a thread
  // the system cannot make (the last error is then ERROR_NOT_ENOUGH_MEMORY
  // and the object is as if never started: waiting for it returns at once).
  void Start();
  void Terminate();
  bool Terminated() const;
  bool Finished() const;
  bool Started() const { return FStarted; }
  // Waits for the end of the run (see TThreadRef::WaitFor) and joins the
  // thread. Not for FreeOnTerminate threads, nor from the thread itself: both
  // throw EkvException.
  int WaitFor();
  TThreadRef Ref() const { return TThreadRef(FState); }

  bool FreeOnTerminate() const { return FFreeOnTerminate; }
  // The object deletes itself when its run ends; after Start() the creator
  // must not touch it again (use Ref()).
  void SetFreeOnTerminate(bool value) { FFreeOnTerminate = value; }
  int ReturnValue() const { return FReturnValue; }
  std::exception_ptr FatalException() const;
  std::thread::id ThreadID() const { return FThreadID; }

  // Makes the next `count` starts of any thread fail as if the system could
  // make no more threads (for tests of what a failed start leaves behind).
  static void FailNextStarts(int count);

  // Runs method on the main thread while the calling thread waits; an
  // exception it throws is re-thrown in the caller. Called on the main thread
  // it runs the method at once. `thread` may be nullptr.
  static void Synchronize(TThread* thread, const TThreadMethod& method);

 protected:
  virtual void Execute() = 0;
  void Synchronize(const TThreadMethod& method) { Synchronize(this, method); }
  void SetReturnValue(int value) { FReturnValue = value; }

 private:
  static void Run(TThread* self, std::shared_ptr<detail::TThreadState> state);

  std::shared_ptr<detail::TThreadState> FState;
  std::thread FThread;
  TkvMutex FJoinLock;
  std::thread::id FThreadID;
  bool FStarted = false;
  std::atomic<bool> FFreeOnTerminate{false};
  int FReturnValue = 0;
};

// A lock for what a worker thread dispatches through while the main thread
// may change it (a component's receivers, a data processor's link to the
// next). One thread holds it at a time; the holder may take it again (a
// receiver that calls back into its component), which only counts. Holding it
// while calling out is what it is for: a change waits until a dispatch that
// is inside has left.
//
// The holder may itself be waiting for the main thread (a Synchronize call,
// a message sent to a window of the main thread), so a main thread that
// waits for the lock keeps serving both. And while the main thread waits, no
// other thread takes the lock before it, so a worker that dispatches block
// after block cannot keep a change out for ever.
class KV_CAPABILITY("dispatch lock") TDispatchLock {
 public:
  TDispatchLock() = default;
  TDispatchLock(const TDispatchLock&) = delete;
  TDispatchLock& operator=(const TDispatchLock&) = delete;

  void Acquire() KV_ACQUIRE();
  void Release() KV_RELEASE();

 private:
  std::thread::id FOwner KV_GUARDED_BY(detail::gThreadLock);
  int FDepth KV_GUARDED_BY(detail::gThreadLock) = 0;
  int FMainWaiting KV_GUARDED_BY(detail::gThreadLock) = 0;
};

// Holds a TDispatchLock for its scope.
class KV_SCOPED_CAPABILITY TDispatchGuard {
 public:
  explicit TDispatchGuard(TDispatchLock& lock) KV_ACQUIRE(lock) : FLock(lock) { FLock.Acquire(); }
  ~TDispatchGuard() KV_RELEASE() { FLock.Release(); }
  TDispatchGuard(const TDispatchGuard&) = delete;
  TDispatchGuard& operator=(const TDispatchGuard&) = delete;

 private:
  TDispatchLock& FLock;
};

// The main (user-interface) thread: the thread that initialised the library
// unless SetMainThread named another.
bool IsMainThread();
void SetMainThread();
// Runs the pending Synchronize requests; called by the main thread's message
// loop after each message. Waits up to `milliseconds` for a first request.
// True when at least one ran. Called from another thread it throws
// EkvException.
bool CheckSynchronize(DWORD milliseconds = 0);
// Called (from the requesting thread) whenever a Synchronize request is
// queued; a program whose main thread sleeps in GetMessageA posts itself a
// message here so that its loop wakes and calls CheckSynchronize.
void SetWakeMainThread(std::function<void()> wake);

// ---- hidden windows -----------------------------------------------------------------

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};
using TWndMethod = std::function<void(TMessage& message)>;

// Creates a hidden window of the calling thread whose every message goes to
// method; the window procedure's result is the message's Result. An
// exception escaping the method is not passed through the system's message
// dispatch: it is reported to the debug output and the message's Result is
// returned as it stands. Throws EkvException when the window cannot be made.
HWND AllocateHWnd(TWndMethod method);
// Destroys such a window; may be called from inside its own method (the
// method then finishes first). Nothing for 0.
void DeallocateHWnd(HWND window);

}  // namespace kv
