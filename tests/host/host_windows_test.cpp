// Windows, messages and timers of the host: who runs a window procedure and
// when, in which order messages arrive, and how timers tick. Natively the
// POSIX host, under Wine the Win32 host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "kvplatform.h"

namespace {

using namespace kv;

TkvHost& H() { return NativeHost(); }

constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;

// What a test window saw: every message with the thread it ran on.
struct TRecord {
  HWND Window;
  UINT Msg;
  WPARAM WParam;
  DWORD Thread;
};

struct TRecorder {
  std::mutex Lock;
  std::vector<TRecord> Seen;
  // Optional reaction of the window to WM_USER messages.
  LRESULT (*React)(TRecorder&, HWND, UINT, WPARAM, LPARAM) = nullptr;
  HWND Other = nullptr;  // a window the reaction may talk to

  std::vector<UINT> Messages() {
    std::lock_guard<std::mutex> lock(Lock);
    std::vector<UINT> m;
    for (auto& r : Seen) m.push_back(r.Msg);
    return m;
  }
  // The messages of a window's life only: Windows sends others around them
  // (WM_NCCALCSIZE, WM_WINDOWPOSCHANGING, ...).
  std::vector<UINT> Lifecycle() {
    std::vector<UINT> m;
    for (UINT msg : Messages())
      if (msg == WM_NCCREATE || msg == WM_CREATE || msg == WM_DESTROY || msg == WM_NCDESTROY) m.push_back(msg);
    return m;
  }
  std::vector<TRecord> Copy() {
    std::lock_guard<std::mutex> lock(Lock);
    return Seen;
  }
  int Count(UINT msg) {
    std::lock_guard<std::mutex> lock(Lock);
    int n = 0;
    for (auto& r : Seen) n += r.Msg == msg;
    return n;
  }
};

LRESULT KVAPI RecordingProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    // The recorder arrives as the creation parameter, the first member of
    // the creation record.
    H().SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(*reinterpret_cast<void**>(lParam)));
  }
  auto* rec = reinterpret_cast<TRecorder*>(H().GetWindowLongPtrA(window, GWLP_USERDATA));
  if (rec) {
    {
      std::lock_guard<std::mutex> lock(rec->Lock);
      rec->Seen.push_back({window, msg, wParam, H().GetCurrentThreadId()});
    }
    if (msg >= WM_USER && rec->React) return rec->React(*rec, window, msg, wParam, lParam);
  }
  return H().DefWindowProcA(window, msg, wParam, lParam);
}

const char* TestClass() {
  static const char* name = [] {
    WNDCLASSA cls{};
    cls.lpfnWndProc = RecordingProc;
    cls.lpszClassName = "KvHostTestWindow";
    cls.cbWndExtra = static_cast<int>(sizeof(LONG_PTR));
    EXPECT_NE(H().RegisterClassA(&cls), 0u);
    return "KvHostTestWindow";
  }();
  return name;
}

HWND MakeWindow(TRecorder& rec, HWND parent = nullptr, const char* text = "") {
  return H().CreateWindowExA(0, TestClass(), text, parent ? WS_CHILD : 0, 0, 0, 0, 0, parent, nullptr, nullptr,
                             &rec);
}

// Runs the calling thread's message loop for a while.
void PumpFor(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  MSG msg;
  while (std::chrono::steady_clock::now() < end) {
    while (H().PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      H().TranslateMessage(&msg);
      H().DispatchMessageA(&msg);
    }
    H().Sleep(1);
  }
}

// Runs the message loop until WM_QUIT; returns the quit code.
int RunLoop() {
  MSG msg;
  BOOL got;
  while ((got = H().GetMessageA(&msg, nullptr, 0, 0)) > 0) {
    H().TranslateMessage(&msg);
    H().DispatchMessageA(&msg);
  }
  EXPECT_EQ(got, 0);
  return static_cast<int>(msg.wParam);
}

// ---- creation, text and destruction --------------------------------------------

TEST(HostWindows, CreationSendsNcCreateThenCreateAndKeepsTheText) {
  TRecorder rec;
  HWND w = MakeWindow(rec, nullptr, "caption");
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(H().IsWindow(w));
  EXPECT_EQ(rec.Lifecycle(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
  char text[32];
  EXPECT_EQ(H().SendMessageA(w, WM_GETTEXTLENGTH, 0, 0), 7);
  EXPECT_EQ(H().SendMessageA(w, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)), 7);
  EXPECT_STREQ(text, "caption");
  // A buffer too small gets what fits and a zero.
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(H().SendMessageA(w, WM_GETTEXT, 4, reinterpret_cast<LPARAM>(text)), 3);
  EXPECT_STREQ(text, "cap");
  EXPECT_EQ(text[4], 'x');
  EXPECT_TRUE(H().SendMessageA(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("new")));
  EXPECT_EQ(H().SendMessageA(w, WM_GETTEXTLENGTH, 0, 0), 3);
  EXPECT_TRUE(H().DestroyWindow(w));
}

TEST(HostWindows, ClassesAreFoundWithoutRegardToCaseAndRegisteredOnce) {
  TestClass();
  WNDCLASSA again{};
  again.lpfnWndProc = RecordingProc;
  again.lpszClassName = "kvhosttestwindow";
  SetLastError(0);
  EXPECT_EQ(H().RegisterClassA(&again), 0u);
  EXPECT_EQ(GetLastError(), 1410u);  // ERROR_CLASS_ALREADY_EXISTS

  TRecorder rec;
  HWND w = H().CreateWindowExA(0, "KVHOSTTESTWINDOW", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, &rec);
  ASSERT_NE(w, nullptr);
  H().DestroyWindow(w);

  SetLastError(0);
  EXPECT_EQ(H().CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
#ifndef _WIN32  // Wine answers ERROR_CLASS_DOES_NOT_EXIST (1411)
  EXPECT_EQ(GetLastError(), 1407u);  // ERROR_CANNOT_FIND_WND_CLASS
#endif
  // A child needs a parent.
  SetLastError(0);
  EXPECT_EQ(H().CreateWindowExA(0, TestClass(), "", WS_CHILD, 0, 0, 0, 0, nullptr, nullptr, nullptr, &rec), nullptr);
  EXPECT_EQ(GetLastError(), 1406u);  // ERROR_TLW_WITH_WSCHILD
}

TEST(HostWindows, MessageOnlyWindowsHaveNoParent) {
  TRecorder rec;
  HWND messageOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3));
  HWND w = H().CreateWindowExA(0, TestClass(), "", 0, 0, 0, 0, 0, messageOnly, nullptr, nullptr, &rec);
  ASSERT_NE(w, nullptr);
#ifndef _WIN32  // Wine answers the hidden message window, not the owner (none)
  EXPECT_EQ(H().GetWindowLongPtrA(w, -8 /* GWLP_HWNDPARENT */), 0);
#endif
  H().DestroyWindow(w);
}

LRESULT KVAPI RefuseCreation(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  static std::atomic<int>* destroyed = nullptr;  // [0] WM_DESTROY, [1] WM_NCDESTROY
  if (msg == WM_NCCREATE) destroyed = static_cast<std::atomic<int>*>(*reinterpret_cast<void**>(lParam));
  if (msg == WM_CREATE) return -1;
  if (msg == WM_DESTROY) ++destroyed[0];
  if (msg == WM_NCDESTROY) ++destroyed[1];
  return H().DefWindowProcA(window, msg, wParam, lParam);
}

TEST(HostWindows, CreateReturningMinusOneFailsTheCreationAndDestroysTheWindow) {
  WNDCLASSA cls{};
  cls.lpfnWndProc = RefuseCreation;
  cls.lpszClassName = "KvHostRefusing";
  ASSERT_NE(H().RegisterClassA(&cls), 0u);
  std::atomic<int> destroyed[2] = {0, 0};
  EXPECT_EQ(H().CreateWindowExA(0, "KvHostRefusing", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, destroyed),
            nullptr);
#ifndef _WIN32  // Wine sends only WM_NCDESTROY to a window that fails WM_CREATE
  EXPECT_EQ(destroyed[0], 1);
#endif
  EXPECT_EQ(destroyed[1], 1);
}

TEST(HostWindows, DestroyingAParentDestroysItsChildrenInWindowsOrder) {
  TRecorder parentRec, childRec;
  HWND parent = MakeWindow(parentRec);
  HWND child = MakeWindow(childRec, parent);
  ASSERT_NE(child, nullptr);
  parentRec.Seen.clear();
  childRec.Seen.clear();
  ASSERT_TRUE(H().DestroyWindow(parent));
  EXPECT_FALSE(H().IsWindow(parent));
  EXPECT_FALSE(H().IsWindow(child));
  EXPECT_EQ(parentRec.Lifecycle(), (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
  EXPECT_EQ(childRec.Lifecycle(), (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));

  SetLastError(0);
  EXPECT_FALSE(H().DestroyWindow(parent));
#ifndef _WIN32  // Wine answers ERROR_ACCESS_DENIED for any window not of this thread
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
#endif
  SetLastError(0);
  EXPECT_EQ(H().SendMessageA(parent, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(H().PostMessageA(parent, WM_USER, 0, 0));
}

TEST(HostWindows, DestroyingAWindowDropsItsPostedMessagesAndTimers) {
  TRecorder rec, other;
  HWND w = MakeWindow(rec);
  HWND keep = MakeWindow(other);
  ASSERT_TRUE(H().PostMessageA(w, WM_USER + 1, 0, 0));
  ASSERT_TRUE(H().PostMessageA(keep, WM_USER + 2, 0, 0));
  ASSERT_NE(H().SetTimer(w, 7, 10, nullptr), 0u);
  H().Sleep(30);
  ASSERT_TRUE(H().DestroyWindow(w));
  MSG msg;
  ASSERT_TRUE(H().PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, keep);
  EXPECT_EQ(msg.message, WM_USER + 2u);
  EXPECT_FALSE(H().PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  SetLastError(0);
  EXPECT_FALSE(H().KillTimer(w, 7));
#ifndef _WIN32  // Wine answers ERROR_INVALID_HANDLE
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
#endif
  H().DestroyWindow(keep);
}

TEST(HostWindows, OnlyTheOwnerThreadDestroysAWindowAndItsWindowsGoWithIt) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  DWORD error = 0;
  BOOL destroyed = TRUE;
  HWND orphan = nullptr;
  TRecorder orphanRec;
  std::thread([&] {
    SetLastError(0);
    destroyed = H().DestroyWindow(w);
    error = GetLastError();
    orphan = MakeWindow(orphanRec);
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(H().IsWindow(w));
  // The thread that made it has ended, and with it the window.
  ASSERT_NE(orphan, nullptr);
  EXPECT_FALSE(H().IsWindow(orphan));
  H().DestroyWindow(w);
}

// ---- window longs and subclassing ----------------------------------------------

TEST(HostWindows, WindowLongsKeepUserDataIdAndExtraBytes) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  EXPECT_EQ(H().GetWindowLongPtrA(w, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&rec));
  EXPECT_EQ(H().SetWindowLongPtrA(w, 0, 1234), 0);  // the class has one LONG_PTR of extra bytes
  EXPECT_EQ(H().GetWindowLongPtrA(w, 0), 1234);
  SetLastError(0);
  EXPECT_EQ(H().GetWindowLongPtrA(w, static_cast<int>(sizeof(LONG_PTR))), 0);
  EXPECT_EQ(GetLastError(), 1413u);  // ERROR_INVALID_INDEX
  H().DestroyWindow(w);
}

struct TSubclass {
  static inline WNDPROC Previous = nullptr;
  static inline std::vector<UINT> Seen;
  static LRESULT KVAPI Hook(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    Seen.push_back(msg);
    if (msg == WM_USER + 5) return 55;  // handled here, never reaches the window
    return H().CallWindowProcA(Previous, window, msg, wParam, lParam);
  }
};

TEST(HostWindows, ReplacingTheProcedureSubclassesTheWindow) {
  TRecorder rec;
  rec.React = [](TRecorder&, HWND, UINT msg, WPARAM, LPARAM) -> LRESULT { return msg == WM_USER + 6 ? 66 : 0; };
  HWND w = MakeWindow(rec);
  TSubclass::Seen.clear();
  TSubclass::Previous = reinterpret_cast<WNDPROC>(
      H().SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TSubclass::Hook)));
  ASSERT_EQ(TSubclass::Previous, &RecordingProc);
  EXPECT_EQ(H().GetWindowLongPtrA(w, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&TSubclass::Hook));

  EXPECT_EQ(H().SendMessageA(w, WM_USER + 5, 0, 0), 55);
  EXPECT_EQ(H().SendMessageA(w, WM_USER + 6, 0, 0), 66);
  ASSERT_TRUE(H().PostMessageA(w, WM_USER + 6, 0, 0));
  PumpFor(std::chrono::milliseconds(5));
  EXPECT_EQ(TSubclass::Seen, (std::vector<UINT>{WM_USER + 5, WM_USER + 6, WM_USER + 6}));
  EXPECT_EQ(rec.Count(WM_USER + 5), 0);
  EXPECT_EQ(rec.Count(WM_USER + 6), 2);

  // Putting the old procedure back hands out the hook.
  EXPECT_EQ(H().SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TSubclass::Previous)),
            reinterpret_cast<LONG_PTR>(&TSubclass::Hook));
  EXPECT_EQ(H().SendMessageA(w, WM_USER + 5, 0, 0), 0);
  EXPECT_EQ(TSubclass::Seen.size(), 3u);
  H().DestroyWindow(w);
}

// ---- sending and posting across threads -----------------------------------------

TEST(HostMessages, ASendFromAnotherThreadWaitsForTheOwnerThread) {
  TRecorder rec;
  rec.React = [](TRecorder&, HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    if (msg == WM_USER + 9) H().PostQuitMessage(3);
    return static_cast<LRESULT>(wParam * 2);
  };
  HWND w = MakeWindow(rec);
  const DWORD owner = H().GetCurrentThreadId();
  LRESULT result = 0;
  std::thread sender([&] {
    result = H().SendMessageA(w, WM_USER + 1, 21, 0);
    H().PostMessageA(w, WM_USER + 9, 0, 0);
  });
  EXPECT_EQ(RunLoop(), 3);
  sender.join();
  EXPECT_EQ(result, 42);
  for (const TRecord& r : rec.Copy()) EXPECT_EQ(r.Thread, owner) << "message " << r.Msg;
  EXPECT_EQ(rec.Count(WM_USER + 1), 1);
  H().DestroyWindow(w);
}

TEST(HostMessages, AWaitingSenderServesMessagesSentBackToItsOwnWindows) {
  // The owner of the target window answers by sending to a window of the
  // waiting thread: that must not deadlock, and the posted message of the
  // owner's own queue must wait until the owner pumps again.
  TRecorder mainRec, workerRec;
  HWND mainWindow = MakeWindow(mainRec);
  workerRec.React = [](TRecorder&, HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    return msg == WM_USER + 2 ? static_cast<LRESULT>(wParam + 1) : 0;
  };
  std::atomic<HWND> workerWindow{nullptr};
  LRESULT result = 0;
  DWORD workerThread = 0;
  std::thread worker([&] {
    workerThread = H().GetCurrentThreadId();
    workerWindow = MakeWindow(workerRec);
    mainRec.Other = workerWindow;
    H().PostMessageA(mainWindow, WM_USER + 3, 0, 0);
    result = H().SendMessageA(mainWindow, WM_USER + 1, 10, 0);
    H().PostMessageA(mainWindow, WM_USER + 9, 0, 0);
    // Keep the window alive until the main thread is done with it.
    MSG msg;
    while (H().GetMessageA(&msg, nullptr, 0, 0) > 0) H().DispatchMessageA(&msg);
    H().DestroyWindow(workerWindow);
  });
  mainRec.React = [](TRecorder& self, HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    if (msg == WM_USER + 1) return 100 + H().SendMessageA(self.Other, WM_USER + 2, wParam, 0);
    if (msg == WM_USER + 9) H().PostQuitMessage(0);
    return 0;
  };
  RunLoop();
  EXPECT_EQ(result, 111);
  ASSERT_EQ(workerRec.Count(WM_USER + 2), 1);
  for (const TRecord& r : workerRec.Copy()) EXPECT_EQ(r.Thread, workerThread);
  EXPECT_EQ(mainRec.Count(WM_USER + 3), 1);
  H().PostMessageA(workerWindow, WM_QUIT, 0, 0);
  worker.join();
}

TEST(HostMessages, WaitingInASendServesSentMessagesButNotPostedOnes) {
  TRecorder mainRec, workerRec;
  HWND mainWindow = MakeWindow(mainRec);
  workerRec.React = [](TRecorder& self, HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == WM_USER + 1) return H().SendMessageA(self.Other, WM_USER + 2, 0, 0) + 1;
    if (msg == WM_USER + 8) H().PostQuitMessage(0);
    return 0;
  };
  workerRec.Other = mainWindow;
  mainRec.React = [](TRecorder&, HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 7; };
  std::atomic<HWND> workerWindow{nullptr};
  std::thread worker([&] {
    workerWindow = MakeWindow(workerRec);
    RunLoop();
    H().DestroyWindow(workerWindow);
  });
  while (!workerWindow) H().Sleep(1);

  ASSERT_TRUE(H().PostMessageA(mainWindow, WM_USER + 3, 0, 0));
  EXPECT_EQ(H().SendMessageA(workerWindow, WM_USER + 1, 0, 0), 8);
  EXPECT_EQ(mainRec.Messages().back(), WM_USER + 2u);  // served while waiting
  EXPECT_EQ(mainRec.Count(WM_USER + 3), 0);            // still queued
  PumpFor(std::chrono::milliseconds(5));
  EXPECT_EQ(mainRec.Messages().back(), WM_USER + 3u);

  H().PostMessageA(workerWindow, WM_USER + 8, 0, 0);
  worker.join();
  H().DestroyWindow(mainWindow);
}

TEST(HostMessages, ASenderIsReleasedWhenTheOwnerThreadEnds) {
  TRecorder rec;
  std::atomic<HWND> w{nullptr};
  std::atomic<bool> leave{false};
  std::thread owner([&] {
    w = MakeWindow(rec);
    while (!leave) H().Sleep(1);  // never pumps
  });
  while (!w) H().Sleep(1);
  std::thread stopper([&] {
    H().Sleep(50);
    leave = true;
  });
  EXPECT_EQ(H().SendMessageA(w, WM_USER, 0, 0), 0);
  owner.join();
  stopper.join();
  EXPECT_EQ(rec.Count(WM_USER), 0);
}

TEST(HostMessages, ManySendersEachGetTheirOwnAnswer) {
  TRecorder rec;
  rec.React = [](TRecorder&, HWND, UINT, WPARAM wParam, LPARAM lParam) -> LRESULT {
    return static_cast<LRESULT>(wParam) * 1000 + lParam;
  };
  HWND w = MakeWindow(rec);
  constexpr int kThreads = 4, kSends = 50;
  std::atomic<int> wrong{0}, finished{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kSends; ++i)
        if (H().SendMessageA(w, WM_USER, static_cast<WPARAM>(t), i) != t * 1000 + i) ++wrong;
      if (++finished == kThreads) H().PostMessageA(w, WM_CLOSE, 0, 0);
    });
  }
  MSG msg;
  while (H().IsWindow(w) && H().GetMessageA(&msg, nullptr, 0, 0) > 0) H().DispatchMessageA(&msg);
  for (auto& s : senders) s.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(rec.Count(WM_USER), kThreads * kSends);
  EXPECT_FALSE(H().IsWindow(w));  // WM_CLOSE reached the default procedure
}

TEST(HostMessages, ASendToAWindowDestroyedBeforeItsTurnAnswersZero) {
  TRecorder rec;
  rec.React = [](TRecorder&, HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 9; };
  HWND w = MakeWindow(rec);
  std::atomic<bool> done{false};
  LRESULT result = -1;
  std::thread sender([&] {
    result = H().SendMessageA(w, WM_USER, 0, 0);
    done = true;
  });
  H().Sleep(20);  // usually queued by now; either way the answer is 0
  ASSERT_TRUE(H().DestroyWindow(w));
  while (!done) PumpFor(std::chrono::milliseconds(1));
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rec.Count(WM_USER), 0);
}

TEST(HostMessages, PostedMessagesComeInOrderThenTheQuitRequest) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  H().PostQuitMessage(5);
  H().PostMessageA(w, WM_USER + 1, 1, 0);
  H().PostMessageA(nullptr, WM_USER + 2, 2, 0);  // a message of the thread
  MSG msg;
  // Looking without removing leaves the message in place.
  ASSERT_TRUE(H().PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1u);
  ASSERT_TRUE(H().PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.wParam, 2u);
  ASSERT_EQ(H().GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, w);
  EXPECT_EQ(msg.message, WM_USER + 1u);
  EXPECT_EQ(H().GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_FALSE(H().PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  H().DestroyWindow(w);
}

TEST(HostMessages, DispatchRefusesWindowsOfOtherThreads) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  MSG msg{w, WM_USER, 0, 0, 0, {0, 0}};
  LRESULT result = 1;
  std::thread([&] { result = H().DispatchMessageA(&msg); }).join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rec.Count(WM_USER), 0);
  H().DestroyWindow(w);
}

// ---- timers -------------------------------------------------------------------

TEST(HostTimers, ATimerTicksRoughlyAtItsPeriodWithItsIdAndWindow) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  ASSERT_NE(H().SetTimer(w, 9, 25, nullptr), 0u);
  PumpFor(std::chrono::milliseconds(400));
  ASSERT_TRUE(H().KillTimer(w, 9));
  const int ticks = rec.Count(WM_TIMER);
  // 16 periods fit; a loaded machine gives fewer, never more.
  EXPECT_GE(ticks, 3);
  EXPECT_LE(ticks, 17);
  for (const TRecord& r : rec.Copy()) {
    if (r.Msg == WM_TIMER) {
      EXPECT_EQ(r.WParam, 9u);
    }
  }
  H().DestroyWindow(w);
}

TEST(HostTimers, ABusyThreadFindsOneTickNotABacklog) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  ASSERT_NE(H().SetTimer(w, 1, 10, nullptr), 0u);
  H().Sleep(200);
  MSG msg;
  int timers = 0;
  while (H().PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) timers += msg.message == WM_TIMER;
  EXPECT_EQ(timers, 1);
  H().KillTimer(w, 1);
  H().DestroyWindow(w);
}

TEST(HostTimers, KillTimerStopsTheTicks) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  ASSERT_NE(H().SetTimer(w, 1, 10, nullptr), 0u);
  H().Sleep(30);
  ASSERT_TRUE(H().KillTimer(w, 1));
  PumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(rec.Count(WM_TIMER), 0);
  SetLastError(0);
  EXPECT_FALSE(H().KillTimer(w, 1));
  H().DestroyWindow(w);
}

TEST(HostTimers, SettingATimerAgainRestartsItsPeriod) {
  TRecorder rec;
  HWND w = MakeWindow(rec);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_NE(H().SetTimer(w, 1, 300, nullptr), 0u);
  H().Sleep(150);
  ASSERT_NE(H().SetTimer(w, 1, 300, nullptr), 0u);  // now due 450 ms after the start, not 300
  const auto restarted = std::chrono::steady_clock::now();
  PumpFor(std::chrono::milliseconds(250));
  if (std::chrono::steady_clock::now() - restarted < std::chrono::milliseconds(300)) {
    EXPECT_EQ(rec.Count(WM_TIMER), 0) << "ticked on the old schedule";
  }
  PumpFor(std::chrono::milliseconds(1000));
  EXPECT_GE(rec.Count(WM_TIMER), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
  H().KillTimer(w, 1);
  H().DestroyWindow(w);
}

TEST(HostTimers, ThreadTimersGetAnIdOfTheirOwn) {
  const UINT_PTR id = H().SetTimer(nullptr, 0, 10, nullptr);
  ASSERT_NE(id, 0u);
  MSG msg;
  ASSERT_EQ(H().GetMessageA(&msg, nullptr, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.wParam, id);
  EXPECT_TRUE(H().KillTimer(nullptr, id));
}

TEST(HostTimers, ATimerSetFromAnotherThreadWakesTheOwnersLoop) {
  TRecorder rec;
  rec.React = [](TRecorder&, HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    H().PostQuitMessage(0);
    return 0;
  };
  HWND w = MakeWindow(rec);
  std::thread([&] { H().SetTimer(w, 4, 20, nullptr); }).join();
  // The loop was already waiting without a timer; the tick must still come.
  std::thread poster([&] {
    for (int i = 0; i < 500 && rec.Count(WM_TIMER) == 0; ++i) H().Sleep(5);
    H().PostMessageA(w, WM_USER, 0, 0);
  });
  RunLoop();
  poster.join();
  EXPECT_GE(rec.Count(WM_TIMER), 1);
  H().DestroyWindow(w);
}

}  // namespace
