// Bytes per second from the IN pipe of the demo machine's loopback board,
// read two ways in the same run: through an open pipe pair (its reader
// thread, overlapped reads, the dispatch to a data processor) and through a
// plain loop of synchronous WinUsb_ReadPipe calls, for 64-byte and 64-KiB
// transfers. The device side writes blocks of the transfer size to the OUT
// pipe from a thread of its own in both cases.
//
//   usb_pipe_bench [--benchmark_filter=...]
//
// Each run also counts the process's processor time per MiB moved (all
// threads: the reader, the device side, the dispatch), which a loaded machine
// disturbs far less than the wall-clock rate: "cpu pair/raw <size>" is the
// pair's cost against the plain loop's (above 1: the pair costs more).
//
// Ends with one line per size: "pair/raw <size>: <ratio>" (wall-clock rates).
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvusb.h"
#include "kvusbpipe.h"
#include "kvusbw32.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimwinusb.h"

extern const char kvDemoMachineJson[];

namespace {

constexpr const char* kBoardPath = "\\\\.\\USB#VID_16C0&PID_05DC#KV0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr kv::BYTE kIn = 0x81, kOut = 0x01;
// Bytes moved per benchmark iteration: some thousand transfers of each size.
std::size_t PerIteration(std::size_t block) { return block * (block < 1024 ? 32768 : 512); }

// An interface of its own on the board.
struct TSide {
  kv::HANDLE File;
  kv::WINUSB_INTERFACE_HANDLE H = nullptr;
  explicit TSide(kv::TkvSimMachine& m)
      : File(m.CreateFileA(kBoardPath, 0xC0000000u, 0, nullptr, 3, 0, nullptr)) {
    kv::WinUsb_Initialize(File, &H);
  }
  ~TSide() {
    kv::WinUsb_Free(H);
    kv::Machine().CloseHandle(File);
  }
};

// Writes `total` bytes in blocks of `block` to the OUT pipe.
std::thread DeviceWriter(kv::TkvSimMachine& m, std::size_t block, std::size_t total) {
  return std::thread([&m, block, total] {
    TSide side(m);
    std::vector<kv::BYTE> data(block, 0x5A);
    for (std::size_t sent = 0; sent < total; sent += block) {
      kv::ULONG n = 0;
      kv::WinUsb_WritePipe(side.H, kOut, data.data(), static_cast<kv::ULONG>(block), &n, nullptr);
    }
  });
}

// Counts what it receives and tells when a goal is reached.
class TCounter : public kv::TkvCustomDataProcessor {
 public:
  using kv::TkvCustomDataProcessor::TkvCustomDataProcessor;
  ~TCounter() override { Detach(); }
  void DataReceived(kv::BYTE*, kv::DWORD Count, bool& Handled) override {
    Handled = true;
    const std::size_t now = Received.fetch_add(Count) + Count;
    if (now >= Goal.load()) {
      std::lock_guard<std::mutex> lock(Lock);
      Done.notify_all();
    }
  }
  void WaitFor(std::size_t goal) {
    std::unique_lock<std::mutex> lock(Lock);
    Done.wait(lock, [&] { return Received.load() >= goal; });
  }
  std::atomic<std::size_t> Received{0};
  std::atomic<std::size_t> Goal{~std::size_t(0)};
  std::mutex Lock;
  std::condition_variable Done;
};

// Processor time of the whole process, in seconds (std::clock counts every
// thread on POSIX systems).
double ProcessSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void SetCpuPerMiB(benchmark::State& state, double seconds, std::size_t bytes) {
  state.counters["cpu_us_per_MiB"] = bytes ? seconds * 1e6 / (static_cast<double>(bytes) / (1 << 20)) : 0;
}

struct TBoard {
  std::unique_ptr<kv::TkvSimMachine> M = kv::TkvSimMachine::FromJson(kvDemoMachineJson);
  kv::TkvMachineScope Scope{*M};
};

void BM_Raw(benchmark::State& state) {
  TBoard board;
  const auto block = static_cast<std::size_t>(state.range(0));
  TSide reader(*board.M);
  std::vector<kv::BYTE> buffer(block);
  const std::size_t total = PerIteration(block);
  const double cpu = ProcessSeconds();
  for (auto _ : state) {
    std::thread writer = DeviceWriter(*board.M, block, total);
    std::size_t received = 0;
    while (received < total) {
      kv::ULONG n = 0;
      if (!kv::WinUsb_ReadPipe(reader.H, kIn, buffer.data(), static_cast<kv::ULONG>(block), &n, nullptr)) break;
      received += n;
    }
    writer.join();
  }
  SetCpuPerMiB(state, ProcessSeconds() - cpu, state.iterations() * total);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}

void BM_Pair(benchmark::State& state) {
  TBoard board;
  const auto block = static_cast<std::size_t>(state.range(0));
  kv::TComponent owner(nullptr);
  auto* usb = new kv::TkvUSB(&owner);
  usb->SetIdVendor(0x16C0);
  usb->SetIdProduct(0x05DC);
  usb->RefreshDeviceList();
  usb->SetDeviceIndex(0);
  usb->SetActive(true);
  auto* pair = new kv::TkvUSBPipePair(usb);
  auto* counter = new TCounter(&owner);
  pair->SetDataProcessor(counter);
  pair->SetReadBufferSize(static_cast<kv::DWORD>(block));
  pair->SetPipeIn(0);
  pair->SetPipeOut(1);
  pair->SetActive(true);
  if (!pair->Active()) state.SkipWithError("the pair did not open");
  const std::size_t total = PerIteration(block);
  const double cpu = ProcessSeconds();
  for (auto _ : state) {
    counter->Goal = counter->Received.load() + total;
    std::thread writer = DeviceWriter(*board.M, block, total);
    counter->WaitFor(counter->Goal.load());
    writer.join();
  }
  SetCpuPerMiB(state, ProcessSeconds() - cpu, state.iterations() * total);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  pair->SetActive(false);
  usb->SetActive(false);
}

// Each size by turns, so that a change of the machine's load meets both.
BENCHMARK(BM_Raw)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7);
BENCHMARK(BM_Pair)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7);
BENCHMARK(BM_Raw)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7);
BENCHMARK(BM_Pair)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7);

// Keeps the median bytes per second and processor time per MiB of each run
// name (over its repetitions).
class TRecorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const std::string name = run.run_name.function_name + "/" + run.run_name.args;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) Median[name] = it->second;
      it = run.counters.find("cpu_us_per_MiB");
      if (it != run.counters.end()) CpuMedian[name] = it->second;
    }
  }
  std::map<std::string, double> Median;
  std::map<std::string, double> CpuMedian;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  for (const char* size : {"64", "65536"}) {
    const double raw = recorder.CpuMedian["BM_Raw/" + std::string(size)];
    const double pair = recorder.CpuMedian["BM_Pair/" + std::string(size)];
    if (raw > 0 && pair > 0)
      std::printf("cpu us/MiB %s: raw %.0f, pair %.0f; cpu pair/raw %s: %.2f\n", size, raw, pair, size, pair / raw);
  }
  for (const char* size : {"64", "65536"}) {
    const double raw = recorder.Median["BM_Raw/" + std::string(size)];
    const double pair = recorder.Median["BM_Pair/" + std::string(size)];
    if (raw > 0 && pair > 0) std::printf("pair/raw %s: %.2f\n", size, pair / raw);
  }
  return 0;
}
