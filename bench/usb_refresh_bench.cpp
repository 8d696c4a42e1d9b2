// Refresh of the USB topology on generated machines of growing size: host
// controllers with up to 127 devices each behind trees of external hubs, and
// thousands of devnodes. Reports the time and the platform calls of one
// refresh, with the description lookups answered from the refresh's index
// (the library's way) or by walking the devnode tree for every lookup.
//
//   usb_refresh_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <memory>

#include "kvgenmachine.h"
#include "kvusbman.h"

namespace {

using kvbench::Generate;
using kvbench::TGenerated;

void BM_Refresh(benchmark::State& state) {
  const int controllers = static_cast<int>(state.range(0));
  const int devices = static_cast<int>(state.range(1));
  const bool walk = state.range(2) != 0;
  std::unique_ptr<TGenerated> g = Generate(controllers, devices, 3);
  kv::TkvMachineScope scope(*g->Machine);
  kv::TkvUSBManager manager;
  manager.DescriptionLookup =
      walk ? kv::TkvUSBManager::TDescriptionLookup::Walk : kv::TkvUSBManager::TDescriptionLookup::Indexed;
  manager.Refresh();  // binds the setup services once, outside the measurement
  if (manager.HostCount() != controllers) state.SkipWithError("the generated machine lost host controllers");
  g->Machine->ResetCallCount();
  for (auto _ : state) manager.Refresh();
  const double refreshes = static_cast<double>(state.iterations());
  state.counters["calls/refresh"] = static_cast<double>(g->Machine->CallCount()) / refreshes;
  state.counters["devnodes"] = g->Devnodes;
  state.counters["usb nodes"] = g->Nodes;
  state.SetLabel(walk ? "walk per lookup" : "indexed");
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int walk : {0, 1}) {
    b->Args({1, 16, walk});
    b->Args({4, 64, walk});
    b->Args({8, 127, walk});
    b->Args({16, 127, walk});
  }
}

}  // namespace

BENCHMARK(BM_Refresh)->Apply(Sizes)->ArgNames({"controllers", "devices", "walk"})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
