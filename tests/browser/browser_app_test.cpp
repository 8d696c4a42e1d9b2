// The rest of the browser's portable half: commands and menus as data, the
// device-change debounce on a clock the test drives, the layout at 96 and 144
// DPI, the settings file, and the simulated machine's device-change broadcast
// and clipboard through the host half (both hosts: this program also runs
// under Wine).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "actions.h"
#include "devicechange.h"
#include "global.h"
#include "kvforwardinghost.h"
#include "kvtreemodel.h"
#include "kvusbman.h"
#include "kvutils.h"
#include "layout.h"
#include "machinecapture.h"
#include "../common/kvtestrows.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"

extern const char kvDemoMachineJson[];

namespace {

using namespace quorvex;

// ---- commands ------------------------------------------------------------------------

TEST(BrowserActionsTest, MenusShowCaptionsAndShortCutsOfTheAcceleratorTable) {
  struct Case {
    WORD id;
    const char* menuText;
  };
  const Case cases[] = {
      {cmdReload, "Reload\tF5"},
      {cmdExit, "Exit\tAlt+X"},
      {cmdInstallDriver, "Install Driver ...\tF8"},
      {cmdUpdateDescriptors, "Reload Descriptors\tF6"},
      {cmdCopy, "Copy into Clipboard\tCtrl+C"},
      {cmdCopyAll, "Copy All into Clipboard\tCtrl+Alt+C"},
      {cmdRequestDescriptors, "Request Descriptors for Unknown Devices"},
      {cmdEject, "Eject"},
      {cmdSaveMachineDescription, "Save Machine Description ..."},
      {cmdAbout, "About"},
  };
  for (const Case& c : cases) EXPECT_EQ(MenuItemText(c.id), c.menuText) << c.id;
  EXPECT_EQ(MenuItemText(cmdLast + 1), "");

  // Access keys: a word's first letter that the menu has not taken yet, else
  // any letter left; a caption's own "&" shows.
  std::string used;
  std::string keyed;
  for (const char* caption : {"Reload Descriptors", "Enable", "Disable", "Reset", "Eject", "Install Driver ...",
                              "Rock & Roll", "...", "2 Ends"})
    keyed += MnemonicCaption(caption, used) + ";";
  EXPECT_EQ(keyed, "&Reload Descriptors;&Enable;&Disable;Re&set;E&ject;&Install Driver ...;R&ock && Roll;...;&2 Ends;");
  EXPECT_EQ(used, "REDSJIO2");
  EXPECT_STREQ(FindAction(cmdReset)->Hint, "Reset device");

  // Every accelerator is a virtual key of a real command; the second
  // short-cuts are there too.
  std::string keys;
  for (const TkvAccel& a : AcceleratorTable()) {
    ASSERT_NE(FindAction(a.cmd), nullptr);
    EXPECT_TRUE(a.fVirt & kvFVIRTKEY);
    keys += ShortCutText(TkvShortCut{static_cast<BYTE>(a.fVirt & ~kvFVIRTKEY), a.key}) + ";";
  }
  EXPECT_EQ(keys, "F5;Alt+X;F8;F6;Ctrl+C;Ctrl+Ins;Ctrl+Alt+C;Ctrl+Alt+Ins;");

  // The menus as text ("[File: ...]" a drop-down); every drop-down of the
  // main menu is closed.
  auto menuText = [](TkvMenu menu) {
    std::string text;
    int depth = 0;
    for (const TkvMenuEntry& e : MenuEntries(menu)) {
      switch (e.Kind) {
        case TkvMenuEntry::SubMenu: text += std::string("[") + e.Caption + ": "; ++depth; break;
        case TkvMenuEntry::End: text += "] "; --depth; break;
        case TkvMenuEntry::Separator: text += "-;"; break;
        case TkvMenuEntry::Item:
          EXPECT_NE(FindAction(e.Id), nullptr);
          EXPECT_EQ(depth, menu == TkvMenu::Main ? 1 : 0) << e.Id;
          text += std::string(FindAction(e.Id)->Caption) + ";";
          break;
      }
    }
    EXPECT_EQ(depth, 0);
    return text;
  };
  EXPECT_EQ(menuText(TkvMenu::TreePopup), "Reload;Reload Descriptors;-;Enable;Disable;Reset;Eject;-;Install Driver ...;");
  EXPECT_EQ(menuText(TkvMenu::ListPopup), "Copy into Clipboard;Copy All into Clipboard;-;Reload Descriptors;");
  EXPECT_EQ(menuText(TkvMenu::Main),
            "[File: Copy into Clipboard;Copy All into Clipboard;-;Save Machine Description ...;-;Exit;] "
            "[View: Request Descriptors for Unknown Devices;-;Reload;] "
            "[Device: Reload Descriptors;-;Enable;Disable;Reset;Eject;-;Install Driver ...;] "
            "[Help: Web Home Page ...;About;] ");
}

TEST(BrowserActionsTest, EnabledRules) {
  const WORD device[] = {cmdInstallDriver, cmdUpdateDescriptors, cmdEnable, cmdDisable, cmdReset, cmdEject};
  struct Case {
    const char* label;
    TkvBrowserState state;
    bool devices, copy, copyAll, reload, capture;
  };
  TkvBrowserState selected;
  selected.DeviceSelected = true;
  TkvBrowserState stale = selected;
  stale.Stale = true;
  TkvBrowserState busy = selected;
  busy.Busy = true;
  TkvBrowserState rows;
  rows.RowCount = 3;
  TkvBrowserState row = rows;
  row.RowSelected = true;
  TkvBrowserState open = row;
  open.DeviceSelected = open.ComponentActive = true;
  const Case cases[] = {
      {"nothing", TkvBrowserState{}, false, false, false, true, true},
      {"device selected", selected, true, false, false, true, true},
      {"stale tree", stale, false, false, false, true, true},
      {"long command", busy, false, false, false, false, false},
      {"rows, none selected", rows, false, false, true, true, true},
      {"a row selected", row, false, true, true, true, true},
      {"device open", open, true, true, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (WORD id : device) EXPECT_EQ(ActionEnabled(id, c.state), c.devices) << MenuItemText(id);
    EXPECT_EQ(ActionEnabled(cmdCopy, c.state), c.copy);
    EXPECT_EQ(ActionEnabled(cmdCopyAll, c.state), c.copyAll);
    EXPECT_EQ(ActionEnabled(cmdReload, c.state), c.reload);
    EXPECT_EQ(ActionEnabled(cmdSaveMachineDescription, c.state), c.capture);
    EXPECT_TRUE(ActionEnabled(cmdExit, c.state));
  }
  TkvBrowserState mark;
  mark.RequestDescriptors = true;
  EXPECT_TRUE(ActionChecked(cmdRequestDescriptors, mark));
  EXPECT_FALSE(ActionChecked(cmdRequestDescriptors, TkvBrowserState{}));
  EXPECT_FALSE(ActionChecked(cmdReload, mark));
}

// ---- device-change debounce ------------------------------------------------------------

// A periodic timer on a clock the test moves; expiries call the debounce as
// the window's WM_TIMER would.
class FakeTimer : public TkvTimerPort {
 public:
  void Start(DWORD interval) override {
    Interval = interval;
    Due = Now + interval;
    Running = true;
  }
  void Stop() override { Running = false; }
  // Moves the clock, firing the timer on the way; returns the times of the
  // reloads it caused.
  void Advance(DWORD ms, TkvDeviceChangeDebounce& d, std::vector<DWORD>& reloads) {
    const DWORD end = Now + ms;
    while (Running && Due <= end) {
      Now = Due;
      Due += Interval;
      if (d.TimerFired()) reloads.push_back(Now);
    }
    Now = end;
  }
  DWORD Now = 0, Due = 0, Interval = 0;
  bool Running = false;
};

TEST(DeviceChangeDebounceTest, ABurstGivesOneReloadAfterItsLastReport) {
  FakeTimer timer;
  TkvDeviceChangeDebounce d(timer);
  std::vector<DWORD> reloads;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(d.Arrived());
    d.Qualified();
    timer.Advance(100, d, reloads);
  }
  timer.Advance(1000, d, reloads);
  EXPECT_EQ(reloads, std::vector<DWORD>{700}) << "three reports at 0, 100, 200: one reload at 200 + 500";
  EXPECT_FALSE(timer.Running);
}

TEST(DeviceChangeDebounceTest, ReportsDuringALongCommandAreRememberedUntilItEnds) {
  FakeTimer timer;
  TkvDeviceChangeDebounce d(timer);
  std::vector<DWORD> reloads;
  // A report, then a command that outlasts the timer: the expiries are skipped.
  d.Qualified();
  {
    TkvBusyScope busy(d);
    timer.Advance(1200, d, reloads);
    EXPECT_TRUE(reloads.empty());
    EXPECT_TRUE(timer.Running) << "the timer stays on while busy";
  }
  timer.Advance(500, d, reloads);
  EXPECT_EQ(reloads, std::vector<DWORD>{1500}) << "the next expiry after the command";

  // A report that arrives during a command is not handed on but remembered,
  // also when the command throws.
  try {
    TkvBusyScope busy(d);
    EXPECT_FALSE(d.Arrived());
    EXPECT_TRUE(d.Pending());
    EXPECT_FALSE(timer.Running);
    throw std::runtime_error("install failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(d.Busy());
  EXPECT_FALSE(d.Pending());
  timer.Advance(499, d, reloads);
  EXPECT_EQ(reloads.size(), 1u);
  timer.Advance(1, d, reloads);
  EXPECT_EQ(reloads, (std::vector<DWORD>{1500, 2200})) << "500 ms after the command ended";
}

// ---- layout ----------------------------------------------------------------------------------

bool Inside(const TkvRect& inner, const TkvRect& outer) {
  return inner.Left >= outer.Left && inner.Top >= outer.Top && inner.Right <= outer.Right &&
         inner.Bottom <= outer.Bottom && inner.Width() >= 0 && inner.Height() >= 0;
}

TEST(BrowserLayoutTest, WindowsAreLaidOutFromClientSizeAndDpi) {
  for (int dpi : {96, 144}) {
    SCOPED_TRACE(dpi);
    EXPECT_EQ(Scale(120, dpi), dpi == 96 ? 120 : 180);
    const TkvSize min = MainMinSize(dpi);
    EXPECT_EQ(min.Width, Scale(468, dpi));
    for (int width : {min.Width, Scale(724, dpi), 40}) {
      TkvMainLayoutInput in;
      in.ClientWidth = width;
      in.ClientHeight = Scale(550, dpi);
      in.Dpi = dpi;
      in.TreeWidth = Scale(600, dpi);
      const TkvMainLayout l = LayoutMain(in);
      const TkvRect client{0, 0, width, in.ClientHeight};
      // Side by side, left to right, above the status bar.
      EXPECT_EQ(l.Tree.Right, l.Splitter.Left);
      EXPECT_EQ(l.Splitter.Right, l.PageControl.Left);
      EXPECT_EQ(l.Tree.Bottom, l.StatusBar.Top);
      EXPECT_EQ(l.StatusBar.Bottom, in.ClientHeight);
      EXPECT_EQ(l.StatusParts[0], l.Tree.Width()) << "the first panel lines up with the tree";
      EXPECT_GE(l.TreeWidth, Scale(kvTreeMinWidth, dpi));
      if (width >= min.Width) {
        EXPECT_TRUE(Inside(l.PageControl, client));
        EXPECT_GE(l.PageControl.Width(), Scale(kvPanelMinWidth, dpi));
      }
    }
    int caption = 0, value = 0;
    ListColumnWidths(Scale(400, dpi), dpi, caption, value);
    EXPECT_EQ(caption + value, Scale(400, dpi));
    EXPECT_EQ(ClampTreeWidth(10, Scale(700, dpi), dpi), Scale(100, dpi));
    EXPECT_EQ(ClampTreeWidth(Scale(650, dpi), Scale(700, dpi), dpi), Scale(700, dpi) - Scale(3, dpi) - Scale(100, dpi));

    const TkvDevicePageLayout p = LayoutDevicePage(Scale(500, dpi), Scale(450, dpi), dpi);
    const TkvRect page{0, 0, Scale(500, dpi), Scale(450, dpi)};
    const TkvRect column[] = {p.DeviceLabel, p.DeviceBox, p.Bevel, p.PipeIn, p.PipeOut, p.Button1, p.TerminalPages};
    for (std::size_t i = 0; i < std::size(column); ++i) {
      EXPECT_TRUE(Inside(column[i], page)) << i;
      if (i > 0) {
        EXPECT_LE(column[i - 1].Bottom, column[i].Top) << "top to bottom: " << i;
      }
    }
    EXPECT_LE(p.PipeInLabel.Right, p.PipeIn.Left);
    EXPECT_LE(p.Active.Right, p.Button1.Left);

    const TkvAboutLayout a = LayoutAbout(dpi);
    const TkvRect dialog{0, 0, a.Client.Width, a.Client.Height};
    EXPECT_EQ(a.Client.Width, Scale(299, dpi));
    EXPECT_EQ(a.Img.Left + a.Img.Right, a.Client.Width - (a.Client.Width - a.Img.Width()) % 2) << "centred";
    for (const TkvRect& r : {a.Img, a.Title, a.Version, a.Maker, a.WebLink, a.MailLink, a.PoweredLink, a.Platform,
                             a.Notice, a.Ok})
      EXPECT_TRUE(Inside(r, dialog));
    EXPECT_EQ(a.Platform.Width(), Scale(161, dpi));
    EXPECT_LE(a.Platform.Bottom, a.Notice.Top);
  }
  // FormCreate: the stored width replaces the design width when the window
  // reaches beyond it; a broken value keeps the design width.
  EXPECT_EQ(FormCreateTreeWidth(48, 300, 100, 96), 100);
  EXPECT_EQ(FormCreateTreeWidth(-400, 450, 100, 96), 185);
  EXPECT_EQ(FormCreateTreeWidth(48, 300, -5, 96), 185);
  EXPECT_EQ(FormCreateTreeWidth(48, 300, 2000000000, 96), 185);
}

// ---- settings file ---------------------------------------------------------------------------

TEST(SettingsTest, FileTextGivesFieldsOrDefaults) {
  struct Case {
    const char* label;
    const char* text;
    TkvRect rect;
    bool maximized;
    int tree;
  };
  const Case cases[] = {
      {"first run", "", {48, 48, 348, 348}, false, 100},
      {"all six",
       "MainFromTop=10\r\nMainFromLeft=20\r\nMainFromRight=620\r\nMainFromBottom=410\r\nMainFromIsMax=-1\r\nTreeWidth=230\r\n",
       {20, 10, 620, 410}, true, 230},
      {"abc for a coordinate", "MainFromLeft=abc\r\nMainFromTop=5\r\nMainFromRight=900\r\n", {48, 5, 900, 348}, false, 100},
      {"other letter case", "mainfromtop=10\nMAINFROMISMAX=true\ntreewidth=77\n", {48, 10, 348, 348}, true, 77},
      {"words and numbers as Boolean", "MainFromIsMax=fAlSe\r\n", {48, 48, 348, 348}, false, 100},
      {"any other number is true", "MainFromIsMax=2\r\n", {48, 48, 348, 348}, true, 100},
      {"beyond 32 bits", "MainFromTop=2147483648\r\nMainFromLeft=-2147483648\r\n", {INT32_MIN, 48, 348, 348}, false, 100},
      {"junk after digits, empty value, no '='", "MainFromTop=12x\r\nMainFromLeft=\r\nTreeWidth\r\n", {48, 48, 348, 348}, false, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TOptions o{TOptions::TNoFile{}};
    o.LoadFromText(c.text);
    EXPECT_EQ(o.MainRect, c.rect);
    EXPECT_EQ(o.IsMaximized, c.maximized);
    EXPECT_EQ(o.TreeWidth, c.tree);
    TOptions again{TOptions::TNoFile{}};
    again.LoadFromText(o.SaveToText());
    EXPECT_EQ(again.SaveToText(), o.SaveToText());
  }
  TOptions o{TOptions::TNoFile{}};
  o.LoadFromText("", 144);
  EXPECT_EQ(o.MainRect, (TkvRect{72, 72, 522, 522})) << "defaults scaled";
  EXPECT_EQ(o.SaveToText(),
            "MainFromTop=72\r\nMainFromLeft=72\r\nMainFromRight=522\r\nMainFromBottom=522\r\nMainFromIsMax=0\r\nTreeWidth=150\r\n");
}

TEST(SettingsTest, PlacementOnMonitorsAndWhatAClosedWindowStores) {
  const std::vector<TkvRect> monitors = {{0, 0, 1280, 1024}, {1280, 0, 3200, 1080}};
  TOptions o{TOptions::TNoFile{}};
  o.LoadFromText("");
  // First run: 300 x 300 is below the minimum size; the minimum wins.
  TkvFormPlacement p = o.ApplyTo(monitors, MainMinSize(96));
  EXPECT_EQ(p.Bounds, (TkvRect{48, 48, 516, 348}));
  EXPECT_EQ(p.State, TkvWindowState::Normal);

  struct Case {
    const char* label;
    TkvRect stored, placed;
  };
  const Case cases[] = {
      {"on the second monitor", {2000, 100, 2800, 700}, {2000, 100, 2800, 700}},
      {"off to the right", {4000, 200, 4800, 800}, {2400, 200, 3200, 800}},
      {"above both", {100, -3000, 700, -2400}, {100, 0, 700, 600}},
      {"larger than the monitor", {-5000, 0, -1000, 3000}, {0, 0, 1280, 1024}},
      {"a broken file's extremes", {INT32_MIN, 0, INT32_MAX, 10}, {0, 0, 1280, 300}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    o.MainRect = c.stored;
    EXPECT_EQ(o.ApplyTo(monitors, MainMinSize(96)).Bounds, c.placed);
  }

  // Closing: maximized keeps the last normal bounds; minimized stores the
  // normal-state bounds, not -32000.
  o.MainRect = TkvRect{10, 20, 610, 520};
  o.StoreFrom(TkvFormState{{-8, -8, 1288, 1000}, {30, 40, 630, 540}, TkvWindowState::Maximized, false});
  EXPECT_TRUE(o.IsMaximized);
  EXPECT_EQ(o.MainRect, (TkvRect{10, 20, 610, 520}));
  EXPECT_NE(o.SaveToText().find("MainFromIsMax=-1\r\n"), std::string::npos);
  EXPECT_EQ(o.ApplyTo(monitors, MainMinSize(96)).State, TkvWindowState::Maximized);
  o.StoreFrom(TkvFormState{{-32000, -32000, -31840, -31973}, {30, 40, 630, 540}, TkvWindowState::Minimized, false});
  EXPECT_FALSE(o.IsMaximized);
  EXPECT_EQ(o.MainRect, (TkvRect{30, 40, 630, 540}));
  o.StoreFrom(TkvFormState{{-32000, -32000, -31840, -31973}, {1, 2, 3, 4}, TkvWindowState::Minimized, true});
  EXPECT_TRUE(o.IsMaximized) << "minimized from maximized comes back maximized";
  EXPECT_EQ(o.MainRect, (TkvRect{30, 40, 630, 540}));
  o.StoreFrom(TkvFormState{{5, 6, 705, 506}, {0, 0, 0, 0}, TkvWindowState::Normal, false});
  EXPECT_EQ(o.MainRect, (TkvRect{5, 6, 705, 506}));
}

void SetProfile(const std::string& value) {
#ifdef _WIN32
  _putenv_s("USERPROFILE", value.c_str());
#else
  setenv("USERPROFILE", value.c_str(), 1);
#endif
}

TEST(SettingsTest, FileBelowTheProfileRoundTripsAndABadProfileWritesNothing) {
  EXPECT_EQ(SettingsFileName("C:\\Users\\x", "C:\\Program Files\\Quorvex\\quorvex.exe"),
            "C:\\Users\\x\\Application Data\\Quorvex\\quorvex.ini");
  EXPECT_EQ(SettingsFileName("/home/x", "/opt/q/browser"), "/home/x\\Application Data\\Quorvex\\browser.ini");

  char temp[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetTempPathA(kv::MAX_PATH, temp), 0u);
  const std::string profile = std::string(temp) + "kvsettings" + std::to_string(kv::Host().GetCurrentProcessId());
  SetProfile(profile);
  {
    TOptions o;
    ASSERT_FALSE(o.FileName.empty());
    EXPECT_EQ(o.FileName.rfind(profile + "\\Application Data\\Quorvex\\", 0), 0u) << o.FileName;
    o.Load();
    EXPECT_EQ(o.MainRect, (TkvRect{48, 48, 348, 348})) << "no file yet";
    o.MainRect = TkvRect{-100, 7, 500, 607};
    o.TreeWidth = 250;
    o.IsMaximized = true;
    o.Save();
    TOptions again;
    again.Load();
    EXPECT_EQ(again.SaveToText(), o.SaveToText());
    kv::Host().DeleteFileA(o.FileName.c_str());
    const std::string folder = o.FileName.substr(0, o.FileName.find_last_of('\\'));
    kv::Host().RemoveDirectoryA(folder.c_str());
    kv::Host().RemoveDirectoryA((profile + "\\Application Data").c_str());
    kv::Host().RemoveDirectoryA(profile.c_str());
  }
  // Too long for the 260-character buffer: defaults, and nothing written.
  SetProfile(profile + std::string(300, 'x'));
  {
    TOptions o;
    EXPECT_EQ(o.FileName, "");
    o.Load();
    EXPECT_EQ(o.TreeWidth, 100);
    o.Save();
  }
  EXPECT_EQ(kv::Host().GetFileAttributesA(profile.c_str()), kv::INVALID_FILE_ATTRIBUTES);
  SetProfile("");
}

// ---- "Save Machine Description ..." ------------------------------------------------------------

// A host whose writes stop short, as on a full disk.
class TShortWrites : public kv::TkvForwardingHost {
 public:
  TShortWrites() : TkvForwardingHost(kv::NativeHost()) {}
  kv::BOOL WriteFile(kv::HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                     kv::OVERLAPPED* ov) override {
    return TkvForwardingHost::WriteFile(file, buffer, toWrite < 10 ? toWrite : 10, written, ov);
  }
};

using kv::test::ConsoleRows;

// The capture is written through the host half and replays the machine row
// for row (the real one too, where there is one: under Wine, devnodes and no
// buses); a write that stops short is a failure with its reason, and leaves
// no half description behind.
TEST(SaveMachineDescriptionTest, WritesTheCaptureOrSaysWhyAndLeavesNoHalfFile) {
  std::unique_ptr<kv::TkvSimMachine> machine = kv::TkvSimMachine::FromJson(kvDemoMachineJson);
  kv::TkvMachineScope scope(*machine);
  char temp[kv::MAX_PATH] = {};
  ASSERT_GT(kv::Host().GetTempPathA(kv::MAX_PATH, temp), 0u);
  const std::string path = std::string(temp) + "kvcapture" + std::to_string(kv::Host().GetCurrentProcessId()) + ".json";

  const unsigned generation = kv::USBManager().Generation();
  const TkvSaveOutcome saved = SaveMachineDescription(path, false);
  ASSERT_TRUE(saved.Ok) << SaveOutcomeText(saved);
  EXPECT_EQ(SaveOutcomeText(saved),
            "Machine description saved to " + path + "; 2 serial numbers replaced by placeholders");
  std::unique_ptr<kv::TkvSimMachine> replay;
  ASSERT_NO_THROW(replay = kv::TkvSimMachine::FromFile(path));
  EXPECT_EQ(replay->Name(), machine->Name());
  EXPECT_EQ(ConsoleRows(*replay), ConsoleRows(*machine));
  EXPECT_EQ(kv::USBManager().Generation(), generation) << "the capture has a topology of its own";
  if (kv::TkvMachine* real = kv::RealMachine()) {
    kv::TkvMachineScope realScope(*real);
    const TkvSaveOutcome captured = SaveMachineDescription(path, false);
    ASSERT_TRUE(captured.Ok) << SaveOutcomeText(captured);
    std::unique_ptr<kv::TkvSimMachine> realReplay;
    ASSERT_NO_THROW(realReplay = kv::TkvSimMachine::FromFile(path));
    EXPECT_EQ(realReplay->Name(), "this machine");
    EXPECT_EQ(ConsoleRows(*realReplay), ConsoleRows(*real));
  }

  TkvSaveOutcome failed;
  {
    TShortWrites host;
    kv::TkvHostScope hostScope(host);
    failed = SaveMachineDescription(path, false);
  }
  EXPECT_FALSE(failed.Ok);
  EXPECT_EQ(failed.Error, kv::ERROR_WRITE_FAULT);
  EXPECT_EQ(kv::Host().GetFileAttributesA(path.c_str()), kv::INVALID_FILE_ATTRIBUTES) << "no half description";
  EXPECT_EQ(SaveOutcomeText(failed), "Cannot save the machine description to " + path + ": " +
                                         kv::SysErrorMessage(kv::ERROR_WRITE_FAULT));
  EXPECT_EQ(SaveOutcomeText(TkvSaveOutcome{"m.json", true, 0, 1}),
            "Machine description saved to m.json; 1 serial number replaced by a placeholder");
  EXPECT_EQ(SaveOutcomeText(TkvSaveOutcome{"m.json", true, 0, 0}), "Machine description saved to m.json");
}

// ---- the simulated machine's broadcast and the clipboard ------------------------------------

const char* const kExternalHub = "USB#VID_05E3&PID_0608#5&2f4a6c1b&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

struct Seen {
  int deviceChanges = 0;
  kv::WPARAM event = 0;
};
Seen gTop, gMessageOnly;

kv::LRESULT KVAPI CountingProc(kv::HWND w, kv::UINT msg, kv::WPARAM wp, kv::LPARAM lp) {
  Seen* seen = reinterpret_cast<Seen*>(kv::Host().GetWindowLongPtrA(w, kv::GWLP_USERDATA));
  if (msg == kv::WM_DEVICECHANGE && seen) {
    ++seen->deviceChanges;
    seen->event = wp;
  }
  return kv::Host().DefWindowProcA(w, msg, wp, lp);
}

TEST(SimulatedArrivalTest, DevicesArriveAndLeaveWithTheBroadcastToTopLevelWindows) {
  auto machine = kv::NewDemoMachine();
  kv::TkvMachineScope scope(*machine);
  kv::TkvHost& h = kv::Host();
  kv::WNDCLASSA cls{};
  cls.lpfnWndProc = CountingProc;
  cls.lpszClassName = "kvBroadcastTest";
  h.RegisterClassA(&cls);
  kv::HWND top = h.CreateWindowExA(0, "kvBroadcastTest", "top", kv::WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   nullptr, nullptr);
  kv::HWND hidden = h.CreateWindowExA(0, "kvBroadcastTest", "", 0, 0, 0, 0, 0,
                                      reinterpret_cast<kv::HWND>(static_cast<kv::LONG_PTR>(-3)), nullptr, nullptr,
                                      nullptr);
  ASSERT_TRUE(top && hidden);
  h.SetWindowLongPtrA(top, kv::GWLP_USERDATA, reinterpret_cast<kv::LONG_PTR>(&gTop));
  h.SetWindowLongPtrA(hidden, kv::GWLP_USERDATA, reinterpret_cast<kv::LONG_PTR>(&gMessageOnly));
  auto pump = [&] {
    kv::MSG m;
    while (h.PeekMessageA(&m, nullptr, 0, 0, kv::PM_REMOVE)) h.DispatchMessageA(&m);
  };

  kv::TkvSimUsbHub* root = kv::FindSimHub(*machine, "USB#ROOT_HUB#4&2a5e4b9f&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  ASSERT_NE(root, nullptr);
  kv::TkvSimUsbDevice d;
  d.DriverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0042";
  kv::TkvSimMachine::DevnodeSpec spec;
  spec.InstanceId = "USB\\VID_1234&PID_5678\\1";
  spec.DriverKey = d.DriverKey;
  spec.Description = "Arrived Device";
  kv::DeviceArrives(*root, 2, d, &spec);
  pump();
  EXPECT_EQ(gTop.deviceChanges, 1);
  EXPECT_EQ(gTop.event, kv::DBT_DEVNODES_CHANGED);
  EXPECT_EQ(gMessageOnly.deviceChanges, 0) << "message-only windows get no broadcast";
  ASSERT_NE(root->Device(2), nullptr);
  EXPECT_TRUE(machine->FindDevnode("USB\\VID_1234&PID_5678\\1")->Present);

  kv::DeviceLeaves(*root, 2);
  pump();
  EXPECT_EQ(gTop.deviceChanges, 2);
  EXPECT_EQ(root->Device(2), nullptr);
  EXPECT_FALSE(machine->FindDevnode("USB\\VID_1234&PID_5678\\1")->Present);
  // A hub leaves with everything behind it.
  kv::TkvSimUsbHub* root20 = kv::FindSimHub(*machine, "USB#ROOT_HUB20#4&3b7e1a5c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  ASSERT_NE(root20, nullptr);
  kv::DeviceLeaves(*root20, 1);
  pump();
  EXPECT_EQ(gTop.deviceChanges, 3);
  EXPECT_EQ(kv::FindSimHub(*machine, kExternalHub), nullptr);
  EXPECT_FALSE(machine->FindDevnode("USB\\VID_05E3&PID_0608\\5&2F4A6C1B&0&1")->Present);
  EXPECT_FALSE(machine->FindDevnode("USB\\VID_16C0&PID_05DC\\KV0001")->Present);

  // An arrival record is sent: it lives only during the call.
  struct {
    kv::DWORD size = 12, type = kv::DBT_DEVTYP_PORT, reserved = 0;
  } record;
  // (Windows also has a top-level IME window per thread, which gets it too.)
  EXPECT_GE(kv::BroadcastDeviceChange(kv::DBT_DEVICEARRIVAL, &record), 1);
  EXPECT_EQ(gTop.deviceChanges, 4);
  EXPECT_EQ(gTop.event, kv::DBT_DEVICEARRIVAL);

  // The clipboard, through the host half.
  const std::string text = "Vendor ID\t046Dh\r\nProduct ID\tC52Bh\r\n";
  ASSERT_TRUE(kv::SetClipboardText(top, text));
  EXPECT_EQ(kv::GetClipboardText(top), text);
  ASSERT_TRUE(kv::SetClipboardText(top, ""));
  EXPECT_EQ(kv::GetClipboardText(top), "");
  h.DestroyWindow(top);
  h.DestroyWindow(hidden);
}

}  // namespace
