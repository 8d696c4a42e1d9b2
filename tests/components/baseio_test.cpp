// The communication component base: activation, the fatal-error path, the
// log, the device list, notifications, the device-change reaction and the
// references it keeps to other components.
#include "comptest.h"

#ifndef _WIN32
#include "posix/kvposixhost.h"  // the message boxes the POSIX host recorded
#endif

namespace kv::test {
namespace {

// ---- activation -------------------------------------------------------------------

TEST(BaseIOActive, OpensAndClosesThroughTheMediumHooks) {
  TTestIO io(nullptr);
  int afterOpen = 0, afterClose = 0;
  io.SetOnAfterOpen([&](TObject* sender) {
    EXPECT_EQ(sender, &io);
    ++afterOpen;
  });
  io.SetOnAfterClose([&](TObject*) { ++afterClose; });
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.Handle(), INVALID_HANDLE_VALUE);

  io.SetActive(true);
  EXPECT_TRUE(io.Active());
  HANDLE handle = io.Handle();
  EXPECT_NE(handle, INVALID_HANDLE_VALUE);
  io.SetActive(true);  // open already: nothing
  io.Open();           // nor a second open behind Active's back
  EXPECT_EQ(io.Opens, 1);
  EXPECT_EQ(afterOpen, 1);

  io.SetActive(false);
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.ClosedHandles, std::vector<HANDLE>{handle});
  io.SetActive(false);  // closed already: nothing, and no event
  io.Close();
  EXPECT_EQ(io.Closes, 1);
  EXPECT_EQ(afterClose, 1);

  // What the events raise is discarded.
  io.SetOnAfterOpen([](TObject*) { throw Exception("open handler"); });
  io.SetOnAfterClose([](TObject*) { throw std::runtime_error("close handler"); });
  EXPECT_NO_THROW(io.SetActive(true));
  EXPECT_TRUE(io.Active());
  EXPECT_NO_THROW(io.SetActive(false));
}

TEST(BaseIOActive, AFailedOpenLeavesTheComponentClosedWithoutEvent) {
  TTestIO io(nullptr);
  io.FailOpen = true;
  io.SetUsesThread(true);
  std::atomic<int> runs{0};
  io.Body = [&](TTestIO&, TkvThreadIO*) { ++runs; };
  int afterOpen = 0;
  io.SetOnAfterOpen([&](TObject*) { ++afterOpen; });
  io.SetActive(true);
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(afterOpen, 0);
  EXPECT_EQ(io.Thread(), nullptr);
  EXPECT_EQ(runs, 0);
}

TEST(BaseIOActive, WhileLoadingOnlyTheValueIsStoredAndLoadedOpens) {
  TComponent form(nullptr);
  auto* io = new TTestIO(&form);
  form.BeginLoading();
  io->SetActive(true);
  EXPECT_TRUE(io->Active());  // the stored value
  EXPECT_EQ(io->Opens, 0);
  form.EndLoading();
  EXPECT_EQ(io->Opens, 1);
  EXPECT_TRUE(io->Active());
  EXPECT_NE(io->Handle(), INVALID_HANDLE_VALUE);
}

#ifndef _WIN32
// (A real message box would wait for a user under Wine.)
TEST(BaseIOActive, AnOpenThatRaisesInLoadedEndsInAPlainMessageBox) {
  host::ClearMessageBoxes();
  TComponent form(nullptr);
  auto* io = new TTestIO(&form);
  auto* later = new TTestIO(&form);
  io->ThrowOnOpen = true;
  form.BeginLoading();
  io->SetActive(true);
  later->SetActive(true);
  EXPECT_NO_THROW(form.EndLoading());
  const auto boxes = host::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "error");
  EXPECT_EQ(boxes[0].Caption, "Error");
  EXPECT_EQ(boxes[0].Type, MB_ICONERROR);
  EXPECT_FALSE(io->Active());
  EXPECT_FALSE(io->Loading());
  EXPECT_TRUE(later->Active());  // the other components load on
}
#endif

TEST(BaseIOActive, AtDesignTimeAnOpenOnlyTestsTheMedium) {
  TTestIO io(nullptr);
  io.SetDesigning(true);
  io.SetActive(true);
  EXPECT_EQ(io.Opens, 1);
  EXPECT_EQ(io.Closes, 1);  // closed again at once
  EXPECT_EQ(io.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(io.Active());  // the open succeeded

  io.FailOpen = true;
  io.SetActive(true);  // tried again even though the stored value is true
  EXPECT_EQ(io.Opens, 2);
  EXPECT_FALSE(io.Active());
}

// ---- errors and log -------------------------------------------------------------------

TEST(BaseIOFatalError, RaisesTheMessageAfterTheHandlerAndTheLogLine) {
  TTestIO io(nullptr);
  TTestLog log(nullptr);
  io.SetLog(&log);
  std::vector<std::string> seen;
  io.SetOnFatalError([&](TObject* sender, DWORD code, DWORD detail, const std::string& msg, bool& raise) {
    EXPECT_EQ(sender, &io);
    EXPECT_TRUE(raise);
    seen.push_back(std::to_string(code) + "/" + std::to_string(detail) + "/" + msg);
  });
  try {
    io.FatalError(8, 1, "Device is not selected");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Device is not selected");
  }
  EXPECT_EQ(seen, std::vector<std::string>{"8/1/Device is not selected"});
  EXPECT_EQ(log.Lines, (std::vector<TLogLine>{{0, "Fatal Error: 8, 1, Device is not selected"}}));
}

TEST(BaseIOFatalError, AHandlerOrTheLoadingStateSuppressesTheException) {
  TTestIO io(nullptr);
  TTestLog log(nullptr);
  io.SetLog(&log);
  io.SetOnFatalError([](TObject*, DWORD, DWORD, const std::string&, bool& raise) { raise = false; });
  EXPECT_NO_THROW(io.FatalError(8, 1, "Device is not selected"));
  ASSERT_EQ(log.Lines.size(), 1u);
  EXPECT_EQ(log.Lines[0].Text, "Fatal Error: 8, 1, Device is not selected");

  int calls = 0;
  io.SetOnFatalError([&](TObject*, DWORD, DWORD, const std::string&, bool&) { ++calls; });
  io.BeginLoading();
  EXPECT_NO_THROW(io.FatalError(4294967295u, 0, "USB device open is failed."));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(log.Lines.back().Text, "Fatal Error: 4294967295, 0, USB device open is failed.");
  io.EndLoading();
  EXPECT_THROW(io.FatalError(1, 2, "x"), Exception);
}

TEST(BaseIOLog, LinesCarryTheClassNameAndAnEmptyTextIsABlankLine) {
  TTestIO io(nullptr);
  io.WriteLog(2, "nothing attached");  // no log: nothing, no failure
  TTestLog log(nullptr);
  io.SetLog(&log);
  io.WriteLog(2, "Load device list ...");
  io.WriteLog(2, "");
  EXPECT_EQ(log.Lines, (std::vector<TLogLine>{{2, "TTestIOLoad device list ..."}, TTestLog::kBlank}));
  io.SetLogPrefix("io: ");
  io.WriteLog(1, "step");
  EXPECT_EQ(log.Lines.back(), (TLogLine{1, "io: step"}));
}

TEST(BaseIOLog, ALogThatIsDestroyedIsForgotten) {
  TTestIO io(nullptr);
  auto* log = new TTestLog(nullptr);
  io.SetLog(log);
  delete log;
  EXPECT_EQ(io.Log(), nullptr);
  io.WriteLog(2, "after");  // must not reach the freed log
  EXPECT_NO_THROW(io.SetOnFatalError([](TObject*, DWORD, DWORD, const std::string&, bool& r) { r = false; }));
  io.FatalError(1, 1, "no log");
}

// ---- device list ----------------------------------------------------------------------

TEST(BaseIODevices, ClearingFreesTheRecordsOnlyWhenTheListOwnsThem) {
  int freed = 0;
  std::vector<std::unique_ptr<TCountedDevice>> kept;
  {
    TTestIO io(nullptr);
    EXPECT_TRUE(io.OwnsDevices());
    io.AddDevice(new TCountedDevice("A", &freed));
    auto* b = new TCountedDevice("B", &freed);
    EXPECT_EQ(io.AddDevice(b), 1);
    EXPECT_EQ(b->ListIndex, 1);
    EXPECT_EQ(b->Owner, &io);
    EXPECT_EQ(io.IndexOfDevice(b), 1);
    EXPECT_EQ(io.GetDevice(2), nullptr);
    io.ClearDevices();
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(io.DeviceCount(), 0);
    io.AddDevice(new TCountedDevice("C", &freed));  // freed with the component
  }
  EXPECT_EQ(freed, 3);

  TTestIO borrower(nullptr);
  borrower.SetOwnsDevices(false);
  kept.push_back(std::make_unique<TCountedDevice>("D", &freed));
  borrower.AddDevice(kept.back().get());
  borrower.ClearDevices();
  EXPECT_EQ(freed, 3);
  borrower.AddDevice(kept.back().get());
}

TEST(BaseIODevices, FillDeviceListLoadsAnEmptyListFirstAndLendsTheRecords) {
  int freed = 0;
  TTestIO io(nullptr);
  io.FreedRecords = &freed;
  TStringList items(true);  // even a list that owns objects gets none of these
  items.Add("old");
  items.SetOwnsObjects(false);
  io.FillDeviceList(&items);
  EXPECT_EQ(io.Loads, 1);
  ASSERT_EQ(items.Count(), 3);
  EXPECT_EQ(items.Strings(2), "Device 2");
  EXPECT_EQ(items.Objects(2), io.GetDevice(2));
  io.FillDeviceList(nullptr);  // a filled list is not loaded again
  EXPECT_EQ(io.Loads, 1);
  items.Clear();
  EXPECT_EQ(freed, 0);

  io.LoadCount = 0;  // a medium without devices: loaded on every fill
  io.ClearDevices();
  io.FillDeviceList(&items);
  io.FillDeviceList(&items);
  EXPECT_EQ(io.Loads, 3);
  EXPECT_EQ(items.Count(), 0);
}

// ---- notifications --------------------------------------------------------------------

class TListener : public TObject {
 public:
  std::vector<std::pair<TObject*, int>> Calls;
  std::function<void(int)> React;
  virtual void Handle(TObject* sender, int code) {
    Calls.emplace_back(sender, code);
    if (React) React(code);
  }
  void Other(TObject* sender, int code) { Calls.emplace_back(sender, -code); }
};

class TDerivedListener : public TListener {
 public:
  int Overrides = 0;
  void Handle(TObject* sender, int code) override {
    ++Overrides;
    TListener::Handle(sender, code);
  }
};

TEST(BaseIONotify, CallbacksAreEqualByMethodAndObject) {
  TListener a, b;
  TOnNotifyEvent aHandle(&a, &TListener::Handle);
  EXPECT_EQ(aHandle, TOnNotifyEvent(&a, &TListener::Handle));
  EXPECT_NE(aHandle, TOnNotifyEvent(&b, &TListener::Handle));
  EXPECT_NE(aHandle, TOnNotifyEvent(&a, &TListener::Other));
  EXPECT_FALSE(TOnNotifyEvent());
  EXPECT_TRUE(aHandle);

  TTestIO io(nullptr);
  EXPECT_EQ(io.AddNotify(aHandle), 0);
  EXPECT_EQ(io.AddNotify(TOnNotifyEvent(&b, &TListener::Handle)), 1);
  EXPECT_EQ(io.AddNotify(TOnNotifyEvent(&a, &TListener::Handle)), 0);  // once only
  EXPECT_EQ(io.AddNotify(TOnNotifyEvent(&a, &TListener::Other)), 2);
  EXPECT_EQ(io.NotifyList().Count(), 3);
  io.RemoveNotify(TOnNotifyEvent(&b, &TListener::Other));  // not registered: nothing
  EXPECT_EQ(io.NotifyList().Count(), 3);
  io.RemoveNotify(TOnNotifyEvent(&b, &TListener::Handle));
  EXPECT_EQ(io.NotifyList().IndexOf(TOnNotifyEvent(&a, &TListener::Other)), 1);

  io.Notify(7);
  EXPECT_EQ(a.Calls, (std::vector<std::pair<TObject*, int>>{{&io, 7}, {&io, -7}}));
  EXPECT_TRUE(b.Calls.empty());
}

TEST(BaseIONotify, AVirtualMethodIsCalledThroughTheObjectsOverride) {
  TDerivedListener d;
  TTestIO io(nullptr);
  io.AddNotify(TOnNotifyEvent(static_cast<TListener*>(&d), &TListener::Handle));
  io.Notify(3);
  EXPECT_EQ(d.Overrides, 1);
}

TEST(BaseIONotify, CallbacksThatChangeTheRegistrationsMeanwhileAreSafe) {
  TTestIO io(nullptr);
  auto first = std::make_unique<TListener>();
  auto second = std::make_unique<TListener>();
  TListener third, late;
  // The first takes the second off and frees it, then registers a newcomer;
  // the third takes itself off.
  first->React = [&](int) {
    io.RemoveNotify(TOnNotifyEvent(second.get(), &TListener::Handle));
    second.reset();
    io.AddNotify(TOnNotifyEvent(&late, &TListener::Handle));
  };
  third.React = [&](int) { io.RemoveNotify(TOnNotifyEvent(&third, &TListener::Handle)); };
  io.AddNotify(TOnNotifyEvent(first.get(), &TListener::Handle));
  io.AddNotify(TOnNotifyEvent(second.get(), &TListener::Handle));
  io.AddNotify(TOnNotifyEvent(&third, &TListener::Handle));
  io.Notify(3);
  EXPECT_EQ(first->Calls.size(), 1u);
  EXPECT_EQ(third.Calls.size(), 1u);
  EXPECT_TRUE(late.Calls.empty());  // registered during the round: next time
  io.Notify(3);
  EXPECT_EQ(late.Calls.size(), 1u);
  EXPECT_EQ(third.Calls.size(), 1u);
  EXPECT_EQ(io.NotifyList().Count(), 2);

  // A callback that clears the whole list.
  first->React = [&](int) {
    io.RemoveNotify(TOnNotifyEvent(first.get(), &TListener::Handle));
    io.RemoveNotify(TOnNotifyEvent(&late, &TListener::Handle));
  };
  io.Notify(5);
  EXPECT_EQ(late.Calls.size(), 1u);
  EXPECT_EQ(io.NotifyList().Count(), 0);
}

// ---- device-change broadcast ----------------------------------------------------------

struct TDevBroadcastHdr {
  DWORD Size, DeviceType, Reserved;
};

TEST(BaseIODeviceChange, RefreshesForChangedDevnodesAndPortsOnly) {
  TTestIO io(nullptr);
  TDevBroadcastHdr port{12, 3, 0}, volume{12, 2, 0}, iface{12, 5, 0};
  auto message = [](UINT msg, WPARAM wParam, const void* header) {
    return TMessage{msg, wParam, reinterpret_cast<LPARAM>(header), 55};
  };
  TMessage m = message(WM_DEVICECHANGE, 7, nullptr);
  EXPECT_TRUE(io.DeviceChangeMessage(m));
  EXPECT_EQ(io.Refreshes, 1);
  EXPECT_EQ(m.Result, 55);  // the result is left alone

  for (WPARAM event : {WPARAM(0x8000), WPARAM(0x8004)}) {
    m = message(WM_DEVICECHANGE, event, &port);
    EXPECT_TRUE(io.DeviceChangeMessage(m));
    m = message(WM_DEVICECHANGE, event, &volume);
    EXPECT_FALSE(io.DeviceChangeMessage(m));
    m = message(WM_DEVICECHANGE, event, &iface);
    EXPECT_FALSE(io.DeviceChangeMessage(m));
    m = message(WM_DEVICECHANGE, event, nullptr);  // a broken broadcast is not read
    EXPECT_FALSE(io.DeviceChangeMessage(m));
  }
  EXPECT_EQ(io.Refreshes, 3);

  m = message(WM_DEVICECHANGE, 0x8001, &port);  // query remove: not a change yet
  EXPECT_FALSE(io.DeviceChangeMessage(m));
  m = message(WM_TIMER, 7, nullptr);
  EXPECT_FALSE(io.DeviceChangeMessage(m));
  EXPECT_EQ(io.Refreshes, 3);
}

// ---- lifetime ----------------------------------------------------------------------------

TEST(BaseIOLifetime, AComponentDestroyedWhileOpenClosesItsMedium) {
  auto* io = new TTestIO(nullptr);
  io->SetActive(true);
  HANDLE handle = io->Handle();
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  int afterClose = 0;
  io->SetOnAfterClose([&](TObject*) { ++afterClose; });
  delete io;
  EXPECT_EQ(afterClose, 1);
  EXPECT_EQ(Host().WaitForSingleObject(handle, 0), WAIT_FAILED);  // the event handle is gone
}

// The framework's pointer list, which the notification list builds on.
TEST(PointerList, KeepsOrderAndChecksIndexes) {
  TList list;
  int a = 0, b = 0, c = 0;
  EXPECT_EQ(list.Add(&a), 0);
  EXPECT_EQ(list.Add(&c), 1);
  list.Insert(1, &b);
  list.Insert(3, &a);  // at the end
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Get(1), &b);
  EXPECT_EQ(list.IndexOf(&a), 0);
  EXPECT_EQ(list.IndexOf(nullptr), -1);
  list.Put(3, nullptr);
  EXPECT_EQ(list.IndexOf(nullptr), 3);
  list.Delete(0);
  EXPECT_EQ(list.Get(0), &b);
  EXPECT_THROW(list.Get(3), EkvException);
  EXPECT_THROW(list.Insert(5, &a), EkvException);
  EXPECT_THROW(list.Put(-1, &a), EkvException);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace kv::test
