// quorvex.exe: the USB device browser.
//
//   quorvex [--machine real|demo|FILE]
//
// Shows the real machine by default; --machine demo shows the built-in demo
// machine, --machine FILE a machine description. A wrong command line or a
// description that cannot be loaded is reported in a message box (exit code
// 1 or 2).
#include <exception>
#include <memory>
#include <string>

#include "global.h"
#include "kvplatform.h"
#include "kvresources.h"
#include "kvusbman.h"
#include "sim/kvsimmachine.h"
#include "main_frm.h"

#include <shellapi.h>

namespace {

const char* const kUsage =
    "Usage: quorvex [--machine real|demo|FILE]\r\n\r\n"
    "--machine   the machine to show: this machine (real, the default), the built-in\r\n"
    "            demo machine, or a machine description (JSON file)";
const char* const kCaption = "Quorvex";

enum TExit { kDone = 0, kUsageError = 1, kMachineError = 2 };

std::string Narrow(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

// The machine named on the command line; "" when the line is wrong.
std::string MachineArgument() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::string machine = "real";
  bool ok = args != nullptr;
  for (int i = 1; ok && i < count; ++i) {
    const std::string a = Narrow(args[i]);
    if (a == "--machine" && i + 1 < count) machine = Narrow(args[++i]);
    else if (a.rfind("--machine=", 0) == 0) machine = a.substr(10);
    else ok = false;
  }
  if (args) LocalFree(args);
  return ok ? machine : std::string();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_TREEVIEW_CLASSES |
                                                     ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);

  const std::string name = MachineArgument();
  if (name.empty()) {
    MessageBoxA(nullptr, kUsage, kCaption, MB_OK | MB_ICONINFORMATION);
    return kUsageError;
  }
  std::unique_ptr<kv::TkvSimMachine> loaded;
  kv::TkvMachine* machine = nullptr;
  if (name == "real") {
    machine = kv::RealMachine();
  } else {
    try {
      kv::TkvSimMachine& sim = name == "demo" ? kv::DemoMachine() : *(loaded = kv::TkvSimMachine::FromFile(name));
      machine = &sim;
    } catch (const std::exception& e) {
      MessageBoxA(nullptr, e.what(), kCaption, MB_OK | MB_ICONERROR);
      return kMachineError;
    }
  }
  kv::TkvMachineScope scope(*machine);

  int exitCode = kDone;
  {
    quorvex::TOptions options;
    options.Load(quorvex::win::ScreenDpi());
    {
      quorvex::win::TfmMain fmMain(options);
      if (!fmMain.Create(show)) return kMachineError;
      exitCode = quorvex::win::RunMessageLoop(fmMain.Handle(), fmMain.Accelerators());
    }
    options.Save();
  }
  // The topology belongs to the machine; it goes before the machine does.
  kv::USBManager().Clear();
  return exitCode;
}
