// Locks the compiler checks. Clang's thread-safety analysis (-Wthread-safety)
// reads the attributes below: a member marked KV_GUARDED_BY(FLock) may only be
// used while FLock is held, a function marked KV_REQUIRES(FLock) only be
// called with it held, one marked KV_EXCLUDES(FLock) only without it. Other
// compilers ignore them. Every lock of the library is one of these types, so
// the check covers them all; the `linux-tsa` preset builds the libraries with
// the analysis as an error.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KV_THREAD_ANNOTATION(x)
#endif

#define KV_CAPABILITY(x) KV_THREAD_ANNOTATION(capability(x))
#define KV_SCOPED_CAPABILITY KV_THREAD_ANNOTATION(scoped_lockable)
#define KV_GUARDED_BY(x) KV_THREAD_ANNOTATION(guarded_by(x))
#define KV_PT_GUARDED_BY(x) KV_THREAD_ANNOTATION(pt_guarded_by(x))
#define KV_REQUIRES(...) KV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KV_EXCLUDES(...) KV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KV_ACQUIRE(...) KV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KV_RELEASE(...) KV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KV_TRY_ACQUIRE(...) KV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KV_RETURN_CAPABILITY(x) KV_THREAD_ANNOTATION(lock_returned(x))
#define KV_NO_THREAD_SAFETY_ANALYSIS KV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kv {

// std::mutex as a capability.
class KV_CAPABILITY("mutex") TkvMutex {
 public:
  void lock() KV_ACQUIRE() { FMutex.lock(); }
  void unlock() KV_RELEASE() { FMutex.unlock(); }
  bool try_lock() KV_TRY_ACQUIRE(true) { return FMutex.try_lock(); }

 private:
  std::mutex FMutex;
};

// std::recursive_mutex as a capability. The analysis does not count: taking
// it again on the same thread is for code it cannot see (a call back from an
// operation made under the lock).
class KV_CAPABILITY("mutex") TkvRecursiveMutex {
 public:
  void lock() KV_ACQUIRE() { FMutex.lock(); }
  void unlock() KV_RELEASE() { FMutex.unlock(); }
  bool try_lock() KV_TRY_ACQUIRE(true) { return FMutex.try_lock(); }

 private:
  std::recursive_mutex FMutex;
};

// Holds a lock for its scope (std::lock_guard).
template <class TMutex>
class KV_SCOPED_CAPABILITY TkvLockGuard {
 public:
  explicit TkvLockGuard(TMutex& mutex) KV_ACQUIRE(mutex) : FMutex(mutex) { FMutex.lock(); }
  ~TkvLockGuard() KV_RELEASE() { FMutex.unlock(); }
  TkvLockGuard(const TkvLockGuard&) = delete;
  TkvLockGuard& operator=(const TkvLockGuard&) = delete;

 private:
  TMutex& FMutex;
};

// Holds a lock for its scope and can let it go for a while, which is what a
// condition variable does while it waits (std::unique_lock).
template <class TMutex>
class KV_SCOPED_CAPABILITY TkvUniqueLock {
 public:
  explicit TkvUniqueLock(TMutex& mutex) KV_ACQUIRE(mutex) : FMutex(mutex) { FMutex.lock(); }
  ~TkvUniqueLock() KV_RELEASE() {
    if (FOwns) FMutex.unlock();
  }
  TkvUniqueLock(const TkvUniqueLock&) = delete;
  TkvUniqueLock& operator=(const TkvUniqueLock&) = delete;

  void lock() KV_ACQUIRE() {
    FMutex.lock();
    FOwns = true;
  }
  void unlock() KV_RELEASE() {
    FOwns = false;
    FMutex.unlock();
  }

 private:
  TMutex& FMutex;
  bool FOwns = true;
};

// A condition variable for TkvUniqueLock<TkvMutex>. The lock is held again
// whenever a wait returns, as the analysis assumes.
using TkvCondition = std::condition_variable_any;

}  // namespace kv
