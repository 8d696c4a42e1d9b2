// Hidden windows, the timer ticking through a real message loop of the host,
// the log's fatal-error path and the device record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "kvclasses.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Dispatches the calling thread's messages until done() holds or `limit`
// has passed; returns done().
template <class TDone>
bool PumpUntil(TDone done, std::chrono::milliseconds limit) {
  const TClock::time_point deadline = TClock::now() + limit;
  TkvHost& host = Host();
  MSG msg{};
  while (!done()) {
    while (host.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      host.TranslateMessage(&msg);
      host.DispatchMessageA(&msg);
      if (done()) return true;
    }
    if (TClock::now() >= deadline) return done();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

void Pump(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

// ---- hidden windows ------------------------------------------------------------

TEST(HiddenWindow, DeliversMessagesToItsMethodAndReturnsTheResult) {
  TMessage seen{};
  HWND window = AllocateHWnd([&](TMessage& m) {
    seen = m;
    m.Result = 1234;
  });
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(Host().IsWindow(window));
  EXPECT_EQ(Host().SendMessageA(window, WM_USER + 5, 17, -3), 1234);
  EXPECT_EQ(seen.Msg, WM_USER + 5);
  EXPECT_EQ(seen.WParam, 17u);
  EXPECT_EQ(seen.LParam, -3);

  ASSERT_TRUE(Host().PostMessageA(window, WM_USER + 6, 1, 2));
  EXPECT_TRUE(PumpUntil([&] { return seen.Msg == WM_USER + 6; }, 2000ms));

  DeallocateHWnd(window);
  EXPECT_FALSE(Host().IsWindow(window));
  DeallocateHWnd(nullptr);
}

TEST(HiddenWindow, AnExceptionOfTheMethodStaysInsideTheWindow) {
  HWND window = AllocateHWnd([](TMessage& m) {
    m.Result = 5;
    throw std::runtime_error("handler failed");
  });
  EXPECT_EQ(Host().SendMessageA(window, WM_USER, 0, 0), 5);
  DeallocateHWnd(window);
}

TEST(HiddenWindow, MayBeDeallocatedFromItsOwnMethod) {
  HWND window = nullptr;
  auto captured = std::make_shared<int>(0);  // freed with the method
  int calls = 0;
  window = AllocateHWnd([&, captured](TMessage&) {
    ++calls;
    DeallocateHWnd(window);
    ++*captured;  // the method's own state is still alive here
  });
  Host().SendMessageA(window, WM_USER, 0, 0);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Host().IsWindow(window));
  EXPECT_EQ(captured.use_count(), 1);  // the binding went once the method returned
}

// Sends one message from its own thread.
class TSender : public TThread {
 public:
  TSender(HWND window, UINT msg) : FWindow(window), FMsg(msg) {}
  ~TSender() override {
    if (Started()) WaitFor();
  }
  std::atomic<LRESULT> Result{0};

 protected:
  void Execute() override { Result = Host().SendMessageA(FWindow, FMsg, 0, 0); }

 private:
  HWND FWindow;
  UINT FMsg;
};

TEST(HiddenWindow, AMessageSentByAThreadTheMainThreadWaitsForIsHandled) {
  // The main thread's window can only handle the message while its thread
  // waits; a wait that ignored sent messages would never end.
  int handled = 0;
  HWND window = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_USER + 9) {
      ++handled;
      m.Result = 77;
    }
  });
  TSender sender(window, WM_USER + 9);
  sender.Start();
  ASSERT_TRUE(sender.Ref().WaitFor(10000));
  EXPECT_EQ(sender.Result.load(), 77);
  EXPECT_EQ(handled, 1);
  DeallocateHWnd(window);
}

// ---- timer ------------------------------------------------------------------------------

TEST(Timer, ANewTimerWithAHandlerTicksEverySecond) {
  TkvTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  std::vector<TClock::time_point> ticks;
  const TClock::time_point start = TClock::now();
  timer.SetOnTimer([&](TObject* sender) {
    EXPECT_EQ(sender, &timer);
    ticks.push_back(TClock::now());
  });
  ASSERT_TRUE(PumpUntil([&] { return ticks.size() >= 2; }, 6000ms));
  auto first = std::chrono::duration_cast<std::chrono::milliseconds>(ticks[0] - start).count();
  auto second = std::chrono::duration_cast<std::chrono::milliseconds>(ticks[1] - start).count();
  EXPECT_GE(first, 900);
  EXPECT_LT(first, 2500);
  EXPECT_GE(second, 1800);
}

TEST(Timer, IntervalZeroStopsTheTicksButLeavesItEnabled) {
  TkvTimer timer;
  timer.SetInterval(20);
  int ticks = 0;
  TNotifyEvent count = [&](TObject*) { ++ticks; };
  timer.SetOnTimer(count);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }, 3000ms));

  timer.SetInterval(0);
  timer.SetOnTimer(count);  // re-arm
  Pump(20ms);               // a tick already queued may still arrive
  int stopped = ticks;
  Pump(200ms);
  EXPECT_EQ(ticks, stopped);
  EXPECT_TRUE(timer.Enabled());
}

TEST(Timer, WritingTheIntervalAloneDoesNotRearm) {
  TkvTimer timer;
  int ticks = 0;
  timer.SetOnTimer([&](TObject*) { ++ticks; });  // armed with 1000 ms
  timer.SetInterval(10);
  Pump(300ms);
  EXPECT_EQ(ticks, 0);
  timer.SetEnabled(false);
  timer.SetEnabled(true);  // the re-arm takes the new interval
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }, 3000ms));
}

TEST(Timer, AnExceptionOfTheHandlerIsSwallowedAndTicksGoOn) {
  TkvTimer timer;
  timer.SetInterval(15);
  int ticks = 0;
  timer.SetOnTimer([&](TObject*) {
    ++ticks;
    throw Exception("tick failed");
  });
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 4; }, 3000ms));
}

TEST(Timer, EnablingAnEnabledTimerDoesNotRestartItsPeriod) {
  TkvTimer timer;
  timer.SetInterval(150);
  int ticks = 0;
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  // Enabling every 20 ms, well inside the period: a restart would let no
  // tick through at all.
  const TClock::time_point end = TClock::now() + 1000ms;
  while (TClock::now() < end) {
    timer.SetEnabled(true);
    Pump(20ms);
  }
  EXPECT_GE(ticks, 2);

  // Disabling and enabling does restart the period, so here none comes.
  ticks = 0;
  const TClock::time_point end2 = TClock::now() + 600ms;
  while (TClock::now() < end2) {
    timer.SetEnabled(false);
    timer.SetEnabled(true);
    Pump(20ms);
  }
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, ADisabledTimerDoesNotTick) {
  TkvTimer timer;
  timer.SetInterval(10);
  timer.SetEnabled(false);
  int ticks = 0;
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  Pump(150ms);
  EXPECT_EQ(ticks, 0);
  timer.SetEnabled(true);
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 1; }, 3000ms));
}

TEST(Timer, AHandlerMayReplaceItselfOrFreeItsTimer) {
  auto* timer = new TkvTimer;
  timer->SetInterval(10);
  int first = 0, second = 0;
  auto state = std::make_shared<std::string>("captured state of the first handler");
  timer->SetOnTimer([&, state](TObject*) {
    timer->SetOnTimer([&](TObject*) {
      ++second;
      delete timer;  // the timer goes from inside its own tick
      timer = nullptr;
    });
    first += static_cast<int>(state->size() > 0);  // still valid after the swap
  });
  EXPECT_TRUE(PumpUntil([&] { return timer == nullptr; }, 3000ms));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  Pump(50ms);  // nothing may arrive for the deleted timer
}

TEST(Timer, DestructionStopsTheSystemTimerAndTheWindow) {
  int ticks = 0;
  HWND window;
  {
    TkvTimer timer;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TObject*) { ++ticks; });
    window = timer.Handle();
  }
  EXPECT_FALSE(Host().IsWindow(window));
  Pump(100ms);
  EXPECT_EQ(ticks, 0);
}

// ---- log -----------------------------------------------------------------------------------

class TMemoryLog : public TkvCustomLogFile {
 public:
  using TkvCustomLogFile::TkvCustomLogFile;
  std::vector<std::string> Lines;
  void WriteBlank() override { Lines.push_back(""); }
  void Write(BYTE, const std::string& text) override { Lines.push_back(text); }
  void WriteFmt(BYTE, const std::string& format, const TVarRecs& args) override {
    Lines.push_back(Format(format, args));
  }
};

TEST(Log, FatalErrorRaisesTheMessageUnlessTheHandlerClearsIt) {
  TMemoryLog log(nullptr);
  try {
    log.FatalError(8, 1, "Device is not selected");
    ADD_FAILURE() << "no exception without a handler";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Device is not selected");
  }

  TObject* sender = nullptr;
  DWORD code = 0, detail = 0;
  std::string message;
  log.SetOnFatalError([&](TObject* s, DWORD c, DWORD d, const std::string& m, bool& raise) {
    sender = s;
    code = c;
    detail = d;
    message = m;
    EXPECT_TRUE(raise);
    raise = false;
  });
  EXPECT_NO_THROW(log.FatalError(8, 1, "Device is not selected"));
  EXPECT_EQ(sender, &log);
  EXPECT_EQ(code, 8u);
  EXPECT_EQ(detail, 1u);
  EXPECT_EQ(message, "Device is not selected");

  log.SetOnFatalError([](TObject*, DWORD, DWORD, const std::string&, bool&) {});
  EXPECT_THROW(log.FatalError(14, 0, "kept"), Exception);
  EXPECT_TRUE(log.Lines.empty());  // the log's own report writes no line
}

// ---- device record -----------------------------------------------------------------------

TEST(Device, ANewRecordIsEmptyAndListsUnderAnEmptyName) {
  TStringList devices(true);
  auto* device = new TkvDevice;
  EXPECT_EQ(device->ListIndex, 0);
  EXPECT_EQ(device->Owner, nullptr);
  EXPECT_EQ(device->DevInst, 0u);
  EXPECT_EQ(device->ClassGuid, GUID{});
  EXPECT_TRUE(device->FileName.empty() && device->DriverKey.empty() && device->SerialNumber.empty());
  devices.AddObject(device->Name, device);
  EXPECT_EQ(devices.Strings(0), "");
  EXPECT_EQ(devices.ObjectAs<TkvDevice>(0), device);
}

TEST(Device, CopyingTheClassGuidCopiesAllSixteenBytes) {
  TkvDevice source;
  source.ClassGuid = GUID{0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
  TkvDevice target;
  target.ClassGuid = source.ClassGuid;
  EXPECT_EQ(std::memcmp(&target.ClassGuid, &source.ClassGuid, sizeof(GUID)), 0);
  EXPECT_EQ(target.ClassGuid.Data4[7], 0x00);
  EXPECT_EQ(target.ClassGuid.Data4[5], 0x54);
  TkvDevice copy = source;
  EXPECT_EQ(copy.ClassGuid, source.ClassGuid);
}

}  // namespace
}  // namespace kv
