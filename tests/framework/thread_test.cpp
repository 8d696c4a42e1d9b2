// Threads: terminate and wait, self-freeing threads, and Synchronize with a
// main thread that is waiting for the synchronising thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "kvframework.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

// Runs a body given by the test.
class TBodyThread : public TThread {
 public:
  explicit TBodyThread(std::function<void(TBodyThread&)> body) : FBody(std::move(body)) {}
  ~TBodyThread() override {
    // Execute uses FBody: the run must be over before the member goes.
    if (Started() && !FreeOnTerminate()) {
      Terminate();
      WaitFor();
    }
  }
  using TThread::SetReturnValue;
  using TThread::Synchronize;
  using TThread::Terminated;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(TBodyThread&)> FBody;
};

TEST(Thread, TerminateEndsTheRunAndWaitForReturnsItsValue) {
  std::atomic<int> rounds{0};
  TBodyThread thread([&](TBodyThread& self) {
    while (!self.Terminated()) {
      ++rounds;
      std::this_thread::sleep_for(1ms);
    }
    self.SetReturnValue(42);
  });
  EXPECT_FALSE(thread.Started());
  thread.Start();
  while (rounds.load() < 3) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(thread.Finished());
  thread.Terminate();
  EXPECT_TRUE(thread.Terminated());
  EXPECT_EQ(thread.WaitFor(), 42);
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(thread.ReturnValue(), 42);
  EXPECT_EQ(thread.WaitFor(), 42);  // a second wait returns at once
  EXPECT_THROW(thread.Start(), EkvException);
}

TEST(Thread, AnExceptionEscapingExecuteEndsTheRunAndIsKept) {
  TBodyThread thread([](TBodyThread&) { throw std::runtime_error("read failed"); });
  thread.Start();
  thread.WaitFor();
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), std::runtime_error);
}

TEST(Thread, DeletingARunningThreadTerminatesAndJoinsIt) {
  std::atomic<bool> ended{false};
  auto* thread = new TBodyThread([&](TBodyThread& self) {
    while (!self.Terminated()) std::this_thread::sleep_for(1ms);
    ended = true;
  });
  thread->Start();
  delete thread;
  EXPECT_TRUE(ended.load());
}

TEST(Thread, WaitForRefusesTheThreadItselfAndSelfFreeingThreads) {
  std::atomic<bool> refused{false};
  TBodyThread thread([&](TBodyThread& self) {
    try {
      self.WaitFor();
    } catch (const EkvException&) {
      refused = true;
    }
  });
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(refused.load());

  TBodyThread selfFreeing([](TBodyThread&) {});
  selfFreeing.SetFreeOnTerminate(true);
  EXPECT_THROW(selfFreeing.WaitFor(), EkvException);
  selfFreeing.SetFreeOnTerminate(false);  // never started: the test deletes it
}

// A self-freeing thread that tells when its object goes.
class TSelfFreeing : public TThread {
 public:
  explicit TSelfFreeing(std::atomic<bool>* deleted) : FDeleted(deleted) { SetFreeOnTerminate(true); }
  ~TSelfFreeing() override { FDeleted->store(true); }

 protected:
  void Execute() override {
    while (!Terminated()) std::this_thread::sleep_for(1ms);
    SetReturnValue(7);
  }

 private:
  std::atomic<bool>* FDeleted;
};

TEST(Thread, FreeOnTerminateDeletesTheObjectAndTheReferenceOutlivesIt) {
  std::atomic<bool> deleted{false};
  auto* thread = new TSelfFreeing(&deleted);
  TThreadRef run = thread->Ref();
  thread->Start();
  thread = nullptr;  // never touched again
  EXPECT_FALSE(run.WaitFor(20));
  EXPECT_FALSE(run.Finished());
  run.Terminate();
  EXPECT_TRUE(run.Terminated());
  EXPECT_EQ(run.WaitFor(), 7);
  EXPECT_TRUE(deleted.load());  // deleted before the wait returned
  EXPECT_TRUE(run.Finished());
  // Terminating or waiting again after the object is gone is harmless.
  run.Terminate();
  EXPECT_EQ(run.WaitFor(), 7);
}

TEST(Thread, ASelfFreeingThreadThatEndsAtOnceIsDeletedOnce) {
  // The run may end before Start() has returned; sanitizers watch that Start
  // touches no freed object and that the object is deleted exactly once.
  for (int i = 0; i < 50; ++i) {
    std::atomic<bool> deleted{false};
    class TQuick : public TSelfFreeing {
     public:
      using TSelfFreeing::TSelfFreeing;

     protected:
      void Execute() override {}
    };
    auto* thread = new TQuick(&deleted);
    TThreadRef run = thread->Ref();
    thread->Start();
    run.WaitFor();
    EXPECT_TRUE(deleted.load());
  }
}

TEST(Synchronize, RunsOnTheMainThreadWhileTheMainThreadWaits) {
  ASSERT_TRUE(IsMainThread());
  const std::thread::id main = std::this_thread::get_id();
  std::thread::id ranOn;
  int calls = 0;  // only touched on the main thread
  TBodyThread thread([&](TBodyThread& self) {
    for (int i = 0; i < 5; ++i)
      self.Synchronize([&] {
        ranOn = std::this_thread::get_id();
        ++calls;
      });
    self.SetReturnValue(calls);  // read after the synchronised runs: no race
  });
  thread.Start();
  // Nothing but the wait serves the requests; a wait that did not would
  // never end. The bounded wait turns such a deadlock into a failure.
  ASSERT_TRUE(thread.Ref().WaitFor(10000));
  EXPECT_EQ(thread.WaitFor(), 5);
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(ranOn, main);
}

TEST(Synchronize, ServesSeveralThreadsWhileWaitingForOne) {
  std::atomic<int> served{0};
  int onMain = 0;
  TBodyThread helper([&](TBodyThread& self) {
    for (int i = 0; i < 20; ++i)
      self.Synchronize([&] {
        ++onMain;
        ++served;
      });
  });
  TBodyThread waited([&](TBodyThread& self) {
    // Ends only after the helper's requests went through the main thread.
    while (served.load() < 20) self.Synchronize([&] { ++onMain; });
  });
  helper.Start();
  waited.Start();
  ASSERT_TRUE(waited.Ref().WaitFor(10000));
  ASSERT_TRUE(helper.Ref().WaitFor(10000));
  EXPECT_GE(onMain, 20);
}

TEST(Synchronize, AnExceptionOfTheMethodReachesTheCallingThread) {
  std::atomic<bool> caught{false};
  TBodyThread thread([&](TBodyThread& self) {
    try {
      self.Synchronize([] { throw Exception("on the main thread"); });
    } catch (const Exception& e) {
      caught = e.Message() == "on the main thread";
    }
  });
  thread.Start();
  ASSERT_TRUE(thread.Ref().WaitFor(10000));
  EXPECT_TRUE(caught.load());
}

TEST(Synchronize, CheckSynchronizeWaitsForARequestAndWakesTheMainThread) {
  std::atomic<int> wakes{0};
  SetWakeMainThread([&] { ++wakes; });
  bool ran = false;
  std::thread worker([&] { TThread::Synchronize(nullptr, [&] { ran = true; }); });
  bool served = CheckSynchronize(10000);
  worker.join();
  SetWakeMainThread(nullptr);
  EXPECT_TRUE(served);
  EXPECT_TRUE(ran);
  EXPECT_EQ(wakes.load(), 1);
}

}  // namespace
}  // namespace kv
