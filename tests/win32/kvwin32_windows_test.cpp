// Windows, messages and timers of the native host against real (Wine) windows.
// The windows are message-only: they need no display, which CI lacks, and
// carry everything the library's hidden windows use.
//
// Window behaviour is checked as message sequences, as Wine's own tests do:
// the window procedure records the messages of interest, and the record is
// compared with an expected table; on a mismatch both are printed side by side.
#include "kvplatform.h"
#include "kvwintestsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

kv::TkvHost& Host() { return kv::NativeHost(); }

constexpr kv::UINT kPing = kv::WM_USER + 1;
constexpr kv::UINT kPosted = kv::WM_USER + 2;
constexpr kv::UINT kStop = kv::WM_USER + 3;
constexpr kv::LRESULT kPingAnswer = 0x5A5A;

struct TRecorded {
  kv::UINT msg;
  kv::WPARAM wParam;
  kv::DWORD thread;
};

// Messages that the tests look at; the system sends many others.
bool Interesting(kv::UINT msg) {
  return msg == kv::WM_CREATE || msg == kv::WM_DESTROY || msg == kv::WM_TIMER || (msg >= kPing && msg <= kStop);
}

// One recorder at a time (tests do not run in parallel within a program).
std::vector<TRecorded>* gRecord = nullptr;
std::atomic<bool> gCreateParamSeen{false};

kv::LRESULT KVAPI RecordingProc(kv::HWND window, kv::UINT msg, kv::WPARAM wParam, kv::LPARAM lParam) {
  if (gRecord && Interesting(msg)) gRecord->push_back({msg, wParam, Host().GetCurrentThreadId()});
  if (msg == kv::WM_CREATE) {
    // CREATESTRUCTA starts with lpCreateParams.
    void* const param = *reinterpret_cast<void* const*>(lParam);
    gCreateParamSeen = param == &gCreateParamSeen;
  }
  if (msg == kPing) return kPingAnswer + static_cast<kv::LRESULT>(wParam);
  return Host().DefWindowProcA(window, msg, wParam, lParam);
}

constexpr const char* kClassName = "kvtest-window";

void RegisterTestClass() {
  static const kv::UINT atom = [] {
    kv::WNDCLASSA cls{};
    cls.lpfnWndProc = RecordingProc;
    cls.hInstance = Host().GetModuleHandleA(nullptr);
    cls.lpszClassName = kClassName;
    return Host().RegisterClassA(&cls);
  }();
  ASSERT_NE(atom, 0u) << "last error " << kv::GetLastError();
}

struct TExpected {
  kv::UINT msg;
  bool optional;
};

std::string Describe(const std::vector<TExpected>& expected, const std::vector<TRecorded>& actual) {
  std::ostringstream out;
  out << std::hex << "  expected        actual\n";
  for (std::size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
    out << "  ";
    if (i < expected.size())
      out << "0x" << expected[i].msg << (expected[i].optional ? " (opt)" : "      ") << "     ";
    else
      out << "                  ";
    if (i < actual.size()) out << "0x" << actual[i].msg << " w=0x" << actual[i].wParam;
    out << "\n";
  }
  return out.str();
}

// True when actual is expected with any optional entries left out.
bool SequenceMatches(const std::vector<TExpected>& expected, const std::vector<TRecorded>& actual) {
  std::size_t a = 0;
  for (const TExpected& e : expected) {
    if (a < actual.size() && actual[a].msg == e.msg)
      ++a;
    else if (!e.optional)
      return false;
  }
  return a == actual.size();
}

#define EXPECT_SEQUENCE(expected, actual) \
  EXPECT_TRUE(SequenceMatches(expected, actual)) << Describe(expected, actual)

class Win32Windows : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTestClass();
    gRecord = &record;
  }
  void TearDown() override {
    if (window && Host().IsWindow(window)) Host().DestroyWindow(window);
    gRecord = nullptr;
  }

  kv::HWND Create() {
    gCreateParamSeen = false;
    return Host().CreateWindowExA(0, kClassName, "kvtest", 0, 0, 0, 0, 0, kvtest::MessageOnlyParent(), nullptr,
                                  Host().GetModuleHandleA(nullptr), &gCreateParamSeen);
  }

  // Runs the message loop until kStop arrives or `limit` ms pass.
  bool PumpUntilStop(kv::DWORD limit) {
    const kv::DWORD start = Host().GetTickCount();
    kv::MSG msg;
    while (Host().GetTickCount() - start < limit) {
      if (!Host().PeekMessageA(&msg, nullptr, 0, 0, kv::PM_REMOVE)) {
        Host().Sleep(1);
        continue;
      }
      if (msg.message == kStop) return true;
      Host().TranslateMessage(&msg);
      Host().DispatchMessageA(&msg);
    }
    return false;
  }

  std::vector<TRecorded> record;
  kv::HWND window = nullptr;
};

TEST_F(Win32Windows, CreateSendPostDestroyRunInOrder) {
  window = Create();
  ASSERT_NE(window, nullptr) << "last error " << kv::GetLastError();
  EXPECT_TRUE(Host().IsWindow(window));
  EXPECT_TRUE(gCreateParamSeen) << "the creation parameter reaches WM_CREATE";

  EXPECT_EQ(Host().SendMessageA(window, kPing, 3, 0), kPingAnswer + 3);
  ASSERT_TRUE(Host().PostMessageA(window, kPosted, 4, 0));
  ASSERT_TRUE(Host().PostMessageA(window, kStop, 0, 0));
  EXPECT_EQ(record.size(), 2u) << "a posted message waits for the loop";
  ASSERT_TRUE(PumpUntilStop(5000));

  ASSERT_TRUE(Host().DestroyWindow(window));
  EXPECT_FALSE(Host().IsWindow(window));
  EXPECT_SEQUENCE((std::vector<TExpected>{{kv::WM_CREATE, false}, {kPing, false}, {kPosted, false},
                                          {kv::WM_DESTROY, false}}),
                  record);
  window = nullptr;
}

TEST_F(Win32Windows, UserDataAndSubclassingThroughWindowLongs) {
  window = Create();
  ASSERT_NE(window, nullptr);
  int owner = 0;
  const kv::LONG_PTR ownerValue = reinterpret_cast<kv::LONG_PTR>(&owner);
  EXPECT_EQ(Host().SetWindowLongPtrA(window, kv::GWLP_USERDATA, ownerValue), 0);
  EXPECT_EQ(Host().GetWindowLongPtrA(window, kv::GWLP_USERDATA), ownerValue);

  // Subclass: the new procedure answers kPing itself and passes the rest on.
  static kv::WNDPROC previous = nullptr;
  struct Sub {
    static kv::LRESULT KVAPI Proc(kv::HWND w, kv::UINT msg, kv::WPARAM wParam, kv::LPARAM lParam) {
      if (msg == kPing && wParam == 99) return 1234;
      return Host().CallWindowProcA(previous, w, msg, wParam, lParam);
    }
  };
  previous = reinterpret_cast<kv::WNDPROC>(
      Host().SetWindowLongPtrA(window, kv::GWLP_WNDPROC, reinterpret_cast<kv::LONG_PTR>(&Sub::Proc)));
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(Host().SendMessageA(window, kPing, 99, 0), 1234);
  EXPECT_EQ(Host().SendMessageA(window, kPing, 1, 0), kPingAnswer + 1) << "passed on to the class procedure";
  EXPECT_EQ(Host().GetWindowLongPtrA(window, kv::GWLP_USERDATA), ownerValue);
}

// A message sent from another thread runs on the window's own thread, inside
// its message loop, and the sender waits for the answer.
TEST_F(Win32Windows, CrossThreadSendRunsOnTheOwningThreadAndWaits) {
  window = Create();
  ASSERT_NE(window, nullptr);
  const kv::DWORD owner = Host().GetCurrentThreadId();
  std::atomic<kv::DWORD> senderThread{0};
  std::atomic<kv::LRESULT> answer{0};
  std::atomic<std::size_t> seenBySender{0};

  std::thread sender([&] {
    senderThread = Host().GetCurrentThreadId();
    answer = Host().SendMessageA(window, kPing, 7, 0);
    seenBySender = record.size();  // the procedure has finished by now
    Host().PostMessageA(window, kStop, 0, 0);
  });
  const bool stopped = PumpUntilStop(10000);
  sender.join();
  ASSERT_TRUE(stopped) << "the sent message never arrived";

  EXPECT_EQ(answer, kPingAnswer + 7);
  EXPECT_NE(senderThread, owner);
  ASSERT_EQ(record.size(), 2u);  // WM_CREATE, kPing
  EXPECT_EQ(record[1].msg, kPing);
  EXPECT_EQ(record[1].thread, owner);
  EXPECT_EQ(seenBySender, 2u);
}

TEST_F(Win32Windows, WindowTimerTicksUntilKilled) {
  window = Create();
  ASSERT_NE(window, nullptr);
  ASSERT_NE(Host().SetTimer(window, 7, 10, nullptr), 0u);

  const kv::DWORD start = Host().GetTickCount();
  kv::MSG msg;
  int ticks = 0;
  while (ticks < 2 && Host().GetTickCount() - start < 5000) {
    if (!Host().PeekMessageA(&msg, window, 0, 0, kv::PM_REMOVE)) {
      Host().Sleep(1);
      continue;
    }
    if (msg.message == kv::WM_TIMER) ++ticks;
    Host().DispatchMessageA(&msg);
  }
  EXPECT_EQ(ticks, 2);
  EXPECT_TRUE(Host().KillTimer(window, 7));
  EXPECT_FALSE(Host().KillTimer(window, 7)) << "already gone";
  for (const TRecorded& r : record)
    if (r.msg == kv::WM_TIMER) {
      EXPECT_EQ(r.wParam, 7u);
    }
}

std::atomic<int> gTimerCalls{0};
void KVAPI CountingTimerProc(kv::HWND, kv::UINT msg, kv::UINT_PTR, kv::DWORD) {
  if (msg == kv::WM_TIMER) ++gTimerCalls;
}

TEST_F(Win32Windows, ThreadTimerCallsItsProcedureFromDispatch) {
  gTimerCalls = 0;
  const kv::UINT_PTR id = Host().SetTimer(nullptr, 0, 10, reinterpret_cast<void*>(&CountingTimerProc));
  ASSERT_NE(id, 0u);
  const kv::DWORD start = Host().GetTickCount();
  kv::MSG msg;
  while (gTimerCalls == 0 && Host().GetTickCount() - start < 5000) {
    if (Host().PeekMessageA(&msg, nullptr, 0, 0, kv::PM_REMOVE))
      Host().DispatchMessageA(&msg);
    else
      Host().Sleep(1);
  }
  EXPECT_GT(gTimerCalls, 0);
  EXPECT_TRUE(Host().KillTimer(nullptr, id));
}

TEST_F(Win32Windows, QuitMessageEndsTheLoopWithItsCode) {
  Host().PostQuitMessage(17);
  kv::MSG msg{};
  int others = 0;  // whatever else was queued comes first
  while (Host().GetMessageA(&msg, nullptr, 0, 0) > 0 && others < 100) {
    Host().DispatchMessageA(&msg);
    ++others;
  }
  EXPECT_EQ(msg.message, kv::WM_QUIT);
  EXPECT_EQ(msg.wParam, 17u);
}

}  // namespace
