// Data processors: binding to a component and along a chain, the medium
// notifications, sending with OnData, the one-shot time-out, the fatal-error
// path and received data going down the chain.
#include "comptest.h"

namespace kv::test {
namespace {

TOnNotifyEvent CallbackOf(TkvCustomDataProcessor* p) {
  return TOnNotifyEvent(p, &TkvCustomDataProcessor::HandleNotify);
}

// Takes every block it receives when Consume is set; counts time-outs.
class TTestProcessor : public TkvCustomDataProcessor {
 public:
  using TkvCustomDataProcessor::TkvCustomDataProcessor;
  bool Consume = false;
  std::atomic<int> Received{0};
  int Timeouts = 0;
  std::vector<int> Codes;
  void HandleNotify(TObject* sender, int code) override {
    Codes.push_back(code);
    TkvCustomDataProcessor::HandleNotify(sender, code);
  }
  void DataReceived(BYTE* buffer, DWORD count, bool& handled) override {
    ++Received;
    if (Consume)
      handled = true;
    else
      TkvCustomDataProcessor::DataReceived(buffer, count, handled);
  }
  void DoTimeout(bool& handled) override {
    ++Timeouts;
    handled = true;
  }
};

// ---- binding --------------------------------------------------------------------------

TEST(DataProcessorBinding, TheComponentsPropertyBindsAndReleases) {
  TTestIO io(nullptr), other(nullptr);
  TkvCustomDataProcessor a(nullptr), b(nullptr);
  io.SetDataProcessor(&a);
  EXPECT_EQ(a.Comm(), &io);
  EXPECT_EQ(io.NotifyList().IndexOf(CallbackOf(&a)), 0);
  a.SetComm(&io);  // again: still one entry
  EXPECT_EQ(io.NotifyList().Count(), 1);

  io.SetDataProcessor(&b);  // the old one is released
  EXPECT_EQ(a.Comm(), nullptr);
  EXPECT_EQ(io.NotifyList().IndexOf(CallbackOf(&a)), -1);
  EXPECT_EQ(io.NotifyList().IndexOf(CallbackOf(&b)), 0);

  b.SetComm(&other);  // moving to another component leaves the first
  EXPECT_EQ(io.NotifyList().Count(), 0);
  EXPECT_EQ(other.NotifyList().Count(), 1);
  io.SetDataProcessor(nullptr);  // lets go of it without taking it from the other
  EXPECT_EQ(b.Comm(), &other);
  EXPECT_EQ(other.NotifyList().Count(), 1);
}

TEST(DataProcessorBinding, DestroyingEitherSideUnbindsTheOther) {
  auto* io = new TTestIO(nullptr);
  TkvCustomDataProcessor head(nullptr);
  auto* next = new TkvCustomDataProcessor(nullptr);
  io->SetDataProcessor(&head);
  head.SetNext(&head);  // itself: ignored
  EXPECT_EQ(head.NextProcessor(), nullptr);
  head.SetNext(next);
  EXPECT_EQ(next->Comm(), io);  // SetNext passes the component on
  EXPECT_EQ(io->NotifyList().Count(), 2);
  next->SetNext(&head);  // a longer loop back: ignored as well
  EXPECT_EQ(next->NextProcessor(), nullptr);
  bool handled = false;
  kv::BYTE byte = 'x';
  head.DataReceived(&byte, 1, handled);  // ends instead of circling

  delete next;  // takes its callback off and leaves the chain
  EXPECT_EQ(head.NextProcessor(), nullptr);
  EXPECT_EQ(io->NotifyList().Count(), 1);
  delete io;
  EXPECT_EQ(head.Comm(), nullptr);

  TTestIO io2(nullptr);
  auto* p = new TkvCustomDataProcessor(nullptr);
  io2.SetDataProcessor(p);
  delete p;
  EXPECT_EQ(io2.DataProcessor(), nullptr);
  EXPECT_EQ(io2.NotifyList().Count(), 0);
  EXPECT_FALSE(io2.HasReceivers());
}

// A component that goes while still naming a processor that another one took
// over leaves it bound to that one.
TEST(DataProcessorBinding, AComponentThatGoesLeavesAProcessorTakenOverWithTheOther) {
  TkvCustomDataProcessor p(nullptr);
  TTestIO second(nullptr);
  auto* first = new TTestIO(nullptr);
  first->SetDataProcessor(&p);
  second.SetDataProcessor(&p);
  delete first;
  EXPECT_EQ(p.Comm(), &second);
  EXPECT_EQ(second.NotifyList().IndexOf(CallbackOf(&p)), 0);
  char data[3] = {'a', 'b', 'c'};
  p.DoDataSend(data, 3);
  EXPECT_EQ(second.Sent, "abc");
}

TEST(DataProcessorNotify, TheMediumNotificationsAreLoggedAndOthersIgnored) {
  TTestIO io(nullptr);
  TTestLog log(nullptr);
  TTestProcessor p(nullptr);
  p.SetLog(&log);
  io.SetDataProcessor(&p);
  io.Notify(kvNotifyMediumOpened);
  io.Notify(kvNotifyDeviceList);
  io.Notify(kvNotifyMediumClosed);
  EXPECT_EQ(p.Codes, (std::vector<int>{2, 3, 1}));  // the override is what was registered
  EXPECT_EQ(log.Lines, (std::vector<TLogLine>{{2, "Medium Opened"}, {2, "Medium Closed"}}));
  p.SetLogPrefix("p: ");
  p.WriteLog(1, "");  // an empty text is written as it comes
  EXPECT_EQ(log.Lines.back(), (TLogLine{1, "p: "}));
}

// ---- sending --------------------------------------------------------------------------

TEST(DataProcessorSend, ABufferGoesToTheComponentAndIsLogged) {
  TTestIO io(nullptr);
  TTestLog log(nullptr);
  TkvCustomDataProcessor p(nullptr);
  p.SetLog(&log);
  io.SetDataProcessor(&p);
  char data[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  p.DoDataSend(nullptr, 10);
  p.DoDataSend(data, 0);
  EXPECT_TRUE(log.Lines.empty());
  p.DoDataSend(data, 10);
  EXPECT_EQ(io.Sent, "0123456789");
  EXPECT_EQ(log.Lines, (std::vector<TLogLine>{{2, "DoDataSend: 10 bytes"}}));
}

TEST(DataProcessorSend, ATakenBufferIsNotSentAndRestartsTheTimeOut) {
  TTestIO io(nullptr);
  TTestLog log(nullptr);
  TTestProcessor p(nullptr);
  p.SetLog(&log);
  io.SetDataProcessor(&p);
  std::vector<int> kinds;
  p.SetOnData([&](TObject* sender, BYTE* buffer, DWORD count, int kind, bool& handled) {
    EXPECT_EQ(sender, &p);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(buffer[0], 'a');
    kinds.push_back(kind);
    handled = true;
  });
  char data[3] = {'a', 'b', 'c'};
  EXPECT_FALSE(p.Timer().Enabled());
  p.DoDataSend(data, 3);
  EXPECT_EQ(io.Sent, "");
  EXPECT_TRUE(p.Timer().Enabled());  // armed
  EXPECT_EQ(log.Lines, (std::vector<TLogLine>{{2, "DoDataSend: 3 bytes"}}));
  p.SendString("abc");
  EXPECT_EQ(io.Sent, "");
  EXPECT_EQ(kinds, (std::vector<int>{0, 1}));
  EXPECT_EQ(log.Lines.size(), 1u);  // strings are not logged
}

TEST(DataProcessorSend, AStringIsSentAsTheHandlerLeftIt) {
  TTestIO io(nullptr);
  TkvCustomDataProcessor p(nullptr);
  io.SetDataProcessor(&p);
  p.SendString("");
  const std::string original = "hello";
  p.SetOnData([](TObject*, BYTE* buffer, DWORD count, int, bool&) {
    for (DWORD i = 0; i < count; ++i) buffer[i] = static_cast<BYTE>(std::toupper(buffer[i]));
  });
  p.SendString(original);
  EXPECT_EQ(io.Sent, "HELLO");
  EXPECT_EQ(original, "hello");  // the caller's text is untouched
  EXPECT_FALSE(p.Timer().Enabled());
}

// A component whose sending fails.
class TFailingIO : public TTestIO {
 public:
  using TTestIO::TTestIO;
  void SendString(const std::string&) override { throw Exception("write failed"); }
  void SendBuffer(const void*, DWORD) override { throw std::runtime_error("write failed"); }
};

TEST(DataProcessorSend, FailuresAndAMissingComponentAreDroppedSilently) {
  TTestLog log(nullptr);
  TkvCustomDataProcessor p(nullptr);
  p.SetLog(&log);
  char data[4] = {1, 2, 3, 4};
  p.DoDataSend(data, 4);  // unbound
  EXPECT_NO_THROW(p.SendString("x"));
  TFailingIO io(nullptr);
  io.SetDataProcessor(&p);
  EXPECT_NO_THROW(p.DoDataSend(data, 4));
  EXPECT_NO_THROW(p.SendString("x"));
  p.SetOnData([](TObject*, BYTE*, DWORD, int, bool&) { throw Exception("handler"); });
  EXPECT_NO_THROW(p.DoDataSend(data, 4));
  EXPECT_TRUE(log.Lines.empty());
}

// ---- time-out -------------------------------------------------------------------------

TEST(DataProcessorTimeout, FiresOnceAfterItWasArmed) {
  TTestProcessor p(nullptr);
  p.SetTimeout(20);
  EXPECT_EQ(p.Timer().Interval(), 20u);
  ASSERT_TRUE(PumpUntil([&] { return p.Timeouts > 0; }, 5000ms));
  EXPECT_FALSE(p.Timer().Enabled());
  PumpFor(100ms);
  EXPECT_EQ(p.Timeouts, 1);

  p.SetTimeout(20);
  p.SetTimeout(0);  // only stops it
  EXPECT_FALSE(p.Timer().Enabled());
  PumpFor(100ms);
  EXPECT_EQ(p.Timeouts, 1);
}

TEST(DataProcessorTimeout, ATakenBufferStartsThePeriodAgain) {
  TTestIO io(nullptr);
  TTestProcessor p(nullptr);
  io.SetDataProcessor(&p);
  p.SetOnData([](TObject*, BYTE*, DWORD, int, bool& handled) { handled = true; });
  char byte = 'x';
  p.SetTimeout(300);
  const auto start = std::chrono::steady_clock::now();
  // Keep restarting for longer than one period: it must not fire meanwhile.
  while (std::chrono::steady_clock::now() - start < 500ms) {
    p.DoDataSend(&byte, 1);
    PumpFor(20ms);
  }
  EXPECT_EQ(p.Timeouts, 0);
  EXPECT_TRUE(PumpUntil([&] { return p.Timeouts == 1; }, 5000ms));
}

// ---- errors ---------------------------------------------------------------------------

TEST(DataProcessorFatalError, RaisesAlsoWhileLoadingUnlessTheHandlerClearsIt) {
  TTestLog log(nullptr);
  TkvCustomDataProcessor p(nullptr);
  p.SetLog(&log);
  p.BeginLoading();
  EXPECT_THROW(p.FatalError(3, 4, "framing"), Exception);
  p.EndLoading();
  EXPECT_EQ(log.Lines, (std::vector<TLogLine>{{0, "Fatal Error: 3, 4, framing"}}));
  p.SetOnFatalError([&](TObject* sender, DWORD, DWORD, const std::string&, bool& raise) {
    EXPECT_EQ(sender, &p);
    raise = false;
  });
  EXPECT_NO_THROW(p.FatalError(3, 4, "framing"));
  EXPECT_EQ(log.Lines.size(), 2u);
}

// ---- received data --------------------------------------------------------------------

TEST(DataProcessorReceive, TheChainSeesTheBytesAndATakerKeepsThemFromTheTerminal) {
  TTestIO io(nullptr);
  TkvEdit edit(nullptr);
  TkvCustomDataProcessor head(nullptr);
  TTestProcessor tail(nullptr);
  io.SetTerminal(&edit);
  io.SetTerminalUsage(tuReceive);
  io.SetDataProcessor(&head);
  head.SetNext(&tail);
  std::string after;
  io.SetOnAfterReceive([&](TObject* com, BYTE* buffer, DWORD count) {
    EXPECT_EQ(com, &io);
    after.append(reinterpret_cast<char*>(buffer), count);
  });
  BYTE data[] = {'o', 'k'};
  io.DoDataReceived(data, 2);
  EXPECT_EQ(tail.Received, 1);
  EXPECT_EQ(edit.Text(), "ok");  // passed through unchanged
  tail.Consume = true;
  io.DoDataReceived(data, 2);
  EXPECT_EQ(tail.Received, 2);
  EXPECT_EQ(edit.Text(), "ok");   // taken: not shown
  EXPECT_EQ(after, "okok");       // but always handed on
}

}  // namespace
}  // namespace kv::test
