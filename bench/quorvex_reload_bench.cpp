// A reload of the browser's window on the generated machines of the topology
// benchmark (1 x 16 up to 16 x 127 devices), split into the topology refresh
// (the component's RefreshDeviceList and the model's items) and filling the
// tree view (clearing it, inserting every item, expanding them). Runs the
// real window under Wine (win64 build):
//
//   quorvex_reload_bench [--repeat N]
//
// Ends with one line per machine, "fill/refresh CxD: R", the ratio of the
// two medians: filling the tree should cost no more than the refresh and
// grow linearly with the number of items.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "global.h"
#include "kvgenmachine.h"
#include "kvusbman.h"
#include "main_frm.h"

namespace {

struct TSize {
  int Controllers, Devices;
};
constexpr TSize kSizes[] = {{1, 16}, {4, 64}, {8, 127}, {16, 127}};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct TResult {
  TSize Size;
  int Items;
  double Refresh, Fill, Clear;
};

}  // namespace

int main(int argc, char** argv) {
  int repeat = 7;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: quorvex_reload_bench [--repeat N]\n");
      return 1;
    }
  }
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  std::vector<TResult> results;
  for (const TSize& size : kSizes) {
    std::unique_ptr<kvbench::TGenerated> g = kvbench::Generate(size.Controllers, size.Devices, 3);
    kv::TkvMachineScope scope(*g->Machine);
    quorvex::TOptions options{quorvex::TOptions::TNoFile{}};
    std::vector<double> refresh, fill, clear;
    int items = 0;
    {
      quorvex::win::TfmMain window(options);
      if (!window.Create(SW_SHOWNORMAL)) {
        std::fprintf(stderr, "quorvex_reload_bench: the window cannot be created\n");
        return 2;
      }
      for (int i = 0; i < repeat; ++i) {
        window.actReloadExecute();
        refresh.push_back(window.LastRefreshSeconds());
        fill.push_back(window.LastFillSeconds());
        clear.push_back(window.LastClearSeconds());
      }
      items = window.Tree().Count();
      if (items != window.Model().ItemCount()) {
        std::fprintf(stderr, "quorvex_reload_bench: the tree shows %d of %d items\n", items,
                     window.Model().ItemCount());
        return 3;
      }
    }
    kv::USBManager().Clear();
    results.push_back({size, items, Median(refresh), Median(fill), Median(clear)});
  }

  std::printf("%-10s %8s %12s %12s %16s %14s\n", "machine", "items", "refresh ms", "fill ms", "(of it clear ms)",
              "fill us/item");
  for (const TResult& r : results)
    std::printf("%3dx%-6d %8d %12.2f %12.2f %16.2f %14.2f\n", r.Size.Controllers, r.Size.Devices, r.Items,
                r.Refresh * 1e3, r.Fill * 1e3, r.Clear * 1e3, r.Items ? r.Fill * 1e6 / r.Items : 0.0);
  for (const TResult& r : results)
    std::printf("fill/refresh %dx%d: %.2f\n", r.Size.Controllers, r.Size.Devices, r.Refresh > 0 ? r.Fill / r.Refresh : 0.0);
  return 0;
}
