#include "kvplatform.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace kv {

namespace {
std::atomic<TkvMachine*> gMachine{nullptr};
std::atomic<TkvHost*> gHost{nullptr};
std::atomic<unsigned> gGeneration{1};

// Constant-initialised, so registrations from any unit's static
// initialisation find it ready and nothing is torn down before them.
constexpr int kMaxReleaseHooks = 8;
std::atomic<TkvMachineReleaseHook> gReleaseHooks[kMaxReleaseHooks] = {};
std::atomic<int> gReleaseHookCount{0};
}  // namespace

void AddMachineReleaseHook(TkvMachineReleaseHook hook) {
  const int slot = gReleaseHookCount.fetch_add(1, std::memory_order_acq_rel);
  if (slot >= kMaxReleaseHooks) std::abort();  // a programming error, found at start-up
  gReleaseHooks[slot].store(hook, std::memory_order_release);
}

TkvMachine& Machine() {
  if (TkvMachine* m = gMachine.load(std::memory_order_acquire)) return *m;
  return DefaultMachine();
}

TkvHost& Host() {
  if (TkvHost* h = gHost.load(std::memory_order_acquire)) return *h;
  return NativeHost();
}

TkvMachine* SetMachine(TkvMachine* machine) {
  if (gMachine.load(std::memory_order_acquire) != machine) {
    const int hooks = std::min(gReleaseHookCount.load(std::memory_order_acquire), kMaxReleaseHooks);
    for (int i = 0; i < hooks; ++i)
      if (TkvMachineReleaseHook hook = gReleaseHooks[i].load(std::memory_order_acquire)) hook();
  }
  TkvMachine* previous = gMachine.exchange(machine, std::memory_order_acq_rel);
  if (previous != machine) gGeneration.fetch_add(1, std::memory_order_acq_rel);
  return previous;
}

TkvHost* SetHost(TkvHost* host) { return gHost.exchange(host, std::memory_order_acq_rel); }

unsigned MachineGeneration() { return gGeneration.load(std::memory_order_acquire); }

}  // namespace kv
