// Refresh of the USB topology on generated machines of growing size: host
// controllers with up to 127 devices each behind trees of external hubs, and
// thousands of devnodes. Reports the time and the platform calls of one
// refresh, with the description lookups answered from the refresh's index
// (the library's way) or by walking the devnode tree for every lookup.
//
// A capture (a refresh through the recording machine, and writing the
// description) is compared with a plain refresh; the program ends by
// printing "capture/refresh 16x127: N.NN".
//
//   usb_refresh_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "kvgenmachine.h"
#include "kvusbman.h"
#include "sim/kvsimrecorder.h"

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

// One capture: a refresh through a fresh recorder, then the description.
std::size_t CaptureOnce(kv::TkvSimMachine& machine) {
  kv::TkvRecordingMachine recorder(machine);
  {
    kv::TkvMachineScope scope(recorder);
    kv::TkvUSBManager manager;
    manager.Refresh();
    manager.Clear();
  }
  kv::TkvCaptureOptions options;
  options.CodePage = machine.CodePage();
  return recorder.Describe(options).Json.size();
}

void BM_Capture(benchmark::State& state) {
  std::unique_ptr<TGenerated> g = Generate(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 3);
  std::size_t bytes = 0;
  for (auto _ : state) bytes = CaptureOnce(*g->Machine);
  state.counters["description bytes"] = static_cast<double>(bytes);
}

// Seconds per run of `body`, the best of a few rounds.
template <class F>
double Best(F body) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void PrintCaptureRatio() {
  std::unique_ptr<TGenerated> g = Generate(16, 127, 3);
  kv::TkvMachineScope scope(*g->Machine);
  kv::TkvUSBManager manager;
  manager.Refresh();  // binds the setup services once
  const double refresh = Best([&] { manager.Refresh(); });
  manager.Clear();
  const double capture = Best([&] { CaptureOnce(*g->Machine); });
  // Where a capture's time goes: the refresh through the recorder, and the
  // description (writing and checking it).
  const double recorded = Best([&] {
    kv::TkvRecordingMachine recorder(*g->Machine);
    kv::TkvMachineScope inner(recorder);
    kv::TkvUSBManager m;
    m.Refresh();
    m.Clear();
  });
  std::printf("capture 16x127: refresh %.1f ms, through the recorder %.1f ms, whole capture %.1f ms\n",
              refresh * 1e3, recorded * 1e3, capture * 1e3);
  std::printf("capture/refresh 16x127: %.2f\n", capture / refresh);
}

}  // namespace

BENCHMARK(BM_Refresh)->Apply(Sizes)->ArgNames({"controllers", "devices", "walk"})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Capture)->Args({16, 127})->ArgNames({"controllers", "devices"})->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintCaptureRatio();
  return 0;
}
