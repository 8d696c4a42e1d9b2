// What the component tests share: the test log, a communication component
// whose medium, device list, sending and I/O loop the test controls, and a
// message pump.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/kvtestlog.h"
#include "kvclasses.h"
#include "kvedit.h"

namespace kv::test {

using namespace std::chrono_literals;

// A device record that tells when it is freed.
class TCountedDevice : public TkvDevice {
 public:
  explicit TCountedDevice(const std::string& name, int* freed = nullptr) : FFreed(freed) { Name = name; }
  ~TCountedDevice() override {
    if (FFreed) ++*FFreed;
  }

 private:
  int* FFreed;
};

// A component whose medium is a host event handle.
class TTestIO : public TkvBaseIO {
 public:
  using TkvBaseIO::TkvBaseIO;
  ~TTestIO() override { Shutdown(); }

  // Controls
  bool FailOpen = false;
  bool ThrowOnOpen = false;  // the medium raises instead of failing quietly
  std::function<void(TTestIO&, TkvThreadIO*)> Body;  // the I/O loop
  std::function<void()> BeforeBaseClose;             // runs in Close before the base's
  int LoadCount = 3;                                 // records LoadDeviceList adds
  int* FreedRecords = nullptr;

  // What happened
  std::atomic<int> Opens{0}, Closes{0}, Loads{0}, Refreshes{0};
  std::vector<HANDLE> ClosedHandles;
  std::string Sent;  // under SentLock while threads may send
  std::mutex SentLock;
  int Index = -1;

  // Blocks as a read on the medium does, until the medium is closed; false
  // when `limit` passed first.
  bool ReadUntilClosed(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(FMediumLock);
    return FMediumChanged.wait_for(lock, limit, [&] { return FMediumClosed; });
  }

  using TkvBaseIO::AddDevice;
  using TkvBaseIO::ClearDevices;
  using TkvBaseIO::Devices;
  using TkvBaseIO::StartThread;
  using TkvBaseIO::StopThread;
  using TkvBaseIO::Thread;

  void Close() override {
    if (BeforeBaseClose && Handle() != INVALID_HANDLE_VALUE) BeforeBaseClose();
    TkvBaseIO::Close();
  }
  int GetDeviceIndex() const override { return Index; }
  void SetDeviceIndex(int index) override {
    Index = index;
    TkvBaseIO::SetDeviceIndex(index);
  }
  void RefreshDeviceList() override {
    ++Refreshes;
    TkvBaseIO::RefreshDeviceList();
  }
  void SendChar(char c) override {
    std::lock_guard<std::mutex> lock(SentLock);
    Sent += c;
  }
  void SendString(const std::string& s) override {
    std::lock_guard<std::mutex> lock(SentLock);
    Sent += s;
  }
  void SendBuffer(const void* buffer, DWORD count) override {
    std::lock_guard<std::mutex> lock(SentLock);
    Sent.append(static_cast<const char*>(buffer), count);
  }

 protected:
  HANDLE OpenMedium() override {
    ++Opens;
    if (ThrowOnOpen) throw Exception("medium refused");
    if (FailOpen) return INVALID_HANDLE_VALUE;
    {
      std::lock_guard<std::mutex> lock(FMediumLock);
      FMediumClosed = false;
    }
    return Host().CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void CloseMedium(HANDLE handle) override {
    ++Closes;
    ClosedHandles.push_back(handle);
    Host().CloseHandle(handle);
    {
      std::lock_guard<std::mutex> lock(FMediumLock);
      FMediumClosed = true;
    }
    FMediumChanged.notify_all();
  }
  void ThreadExecute(TkvThreadIO* thread) override {
    if (Body) Body(*this, thread);
  }
  void LoadDeviceList() override {
    ++Loads;
    ClearDevices();
    for (int i = 0; i < LoadCount; ++i)
      AddDevice(new TCountedDevice("Device " + std::to_string(i), FreedRecords));
  }

 private:
  std::mutex FMediumLock;
  std::condition_variable FMediumChanged;
  bool FMediumClosed = false;
};

// Dispatches the calling thread's messages until done() holds or `limit`
// has passed; returns done().
template <class TDone>
bool PumpUntil(TDone done, std::chrono::milliseconds limit = 10000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  TkvHost& host = Host();
  MSG msg{};
  while (!done()) {
    while (host.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      host.TranslateMessage(&msg);
      host.DispatchMessageA(&msg);
      if (done()) return true;
    }
    CheckSynchronize(0);
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

inline void PumpFor(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

// Waits, without serving messages or synchronised calls, until done() holds
// or `limit` has passed; returns done().
template <class TDone>
bool WaitUntil(TDone done, std::chrono::milliseconds limit = 10000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Types a character into a window as the keyboard would deliver it.
inline void Type(HWND window, char c) {
  Host().SendMessageA(window, WM_CHAR, static_cast<unsigned char>(c), 1);
}

}  // namespace kv::test
