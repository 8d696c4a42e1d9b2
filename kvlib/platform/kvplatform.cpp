#include "kvplatform.h"

#include <atomic>

namespace kv {

namespace {
std::atomic<TkvMachine*> gMachine{nullptr};
std::atomic<TkvHost*> gHost{nullptr};
std::atomic<unsigned> gGeneration{1};
}  // namespace

TkvMachine& Machine() {
  if (TkvMachine* m = gMachine.load(std::memory_order_acquire)) return *m;
  return DefaultMachine();
}

TkvHost& Host() {
  if (TkvHost* h = gHost.load(std::memory_order_acquire)) return *h;
  return NativeHost();
}

TkvMachine* SetMachine(TkvMachine* machine) {
  TkvMachine* previous = gMachine.exchange(machine, std::memory_order_acq_rel);
  if (previous != machine) gGeneration.fetch_add(1, std::memory_order_acq_rel);
  return previous;
}

TkvHost* SetHost(TkvHost* host) { return gHost.exchange(host, std::memory_order_acq_rel); }

unsigned MachineGeneration() { return gGeneration.load(std::memory_order_acquire); }

}  // namespace kv
