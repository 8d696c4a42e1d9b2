// The browser's main window and About window, driven in-process through
// their real Win32 windows with messages (x86_64 build under Wine with Xvfb),
// on a fresh copy of the demo machine per test.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "global.h"
#include "kvsetupapi.h"
#include "kvtreemodel.h"
#include "kvusbman.h"
#include "kvutils.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimusb.h"
#include "about_frm.h"
#include "browserwin_fixture.h"
#include "../common/kvtestrows.h"
#include "main_frm.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

namespace {

using browserwin::DialogText;
using browserwin::FindItem;
using browserwin::Pump;
using browserwin::PumpUntil;
using browserwin::TOnModal;
using quorvex::win::TfmMain;

void PressKey(HWND window, WPARAM key) {
  PostMessageA(window, WM_KEYDOWN, key, 0);
  PostMessageA(window, WM_KEYUP, key, 0xC0000000);
}

// The tree view's items in pre-order: text and depth.
void WalkTree(HWND tree, HTREEITEM item, int depth, std::vector<std::pair<std::string, int>>& out,
              bool& allExpanded) {
  for (; item; item = TreeView_GetNextSibling(tree, item)) {
    char text[512] = "";
    TVITEMA tv{};
    tv.mask = TVIF_TEXT | TVIF_STATE | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = text;
    tv.cchTextMax = sizeof text;
    tv.stateMask = TVIS_EXPANDED;
    SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
    out.emplace_back(text, depth);
    HTREEITEM child = TreeView_GetChild(tree, item);
    if (child && !(tv.state & TVIS_EXPANDED)) allExpanded = false;
    WalkTree(tree, child, depth + 1, out, allExpanded);
  }
}

void WalkModel(const kv::TkvTreeNode& node, int depth, std::vector<std::pair<std::string, int>>& out) {
  out.emplace_back(node.Text, depth);
  for (const kv::TkvTreeNode& child : node.Children) WalkModel(child, depth + 1, out);
}

std::vector<std::pair<std::string, std::string>> ListRows(quorvex::win::TListView& list) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 0; i < list.Count(); ++i) rows.emplace_back(list.Cell(i, 0), list.Cell(i, 1));
  return rows;
}

std::string StatusText(HWND bar, int part) {
  char text[1024] = "";
  SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
  return text;
}

std::string Clipboard(HWND owner) { return kv::GetClipboardText(reinterpret_cast<kv::HWND>(owner)); }

const char* const kTestBoard = "Quorvex Test Board";

// Threads of this process.
int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return count;
}
const char* const kDeviceActions[] = {"Reload Descriptors", "Enable", "Disable", "Reset", "Eject",
                                      "Install Driver ..."};

class BrowserWindow : public ::testing::Test {
 protected:
  TfmMain& Open(quorvex::TOptions& options) { return FRun.Open(options); }
  void SelectText(const std::string& text) {
    HWND tree = FRun.Window()->Tree().Handle();
    HTREEITEM item = FindItem(tree, TreeView_GetRoot(tree), text);
    ASSERT_NE(item, nullptr) << text;
    FRun.Window()->Tree().Select(item);
  }
  void Command(WORD id) { SendMessageA(FRun.Window()->Handle(), WM_COMMAND, id, 0); }

  quorvex::TOptions FOptions{quorvex::TOptions::TNoFile{}};
  browserwin::TBrowserRun FRun;  // after FOptions: the window goes first
  kv::TkvSimMachine& FMachine = FRun.Machine();
};

// The first reload shows the machine's whole topology, expanded, with the
// first host selected and its rows in the list; picking a device fills its
// rows, selects it in the device box, shows its path and the "USB Device" tab.
TEST_F(BrowserWindow, ReloadShowsTheTopologyAndSelectionDrivesListBoxAndStatus) {
  TfmMain& w = Open(FOptions);
  HWND tree = w.Tree().Handle();

  std::vector<std::pair<std::string, int>> shown, expected;
  bool allExpanded = true;
  WalkTree(tree, TreeView_GetRoot(tree), 0, shown, allExpanded);
  for (const kv::TkvTreeNode& root : kv::BuildTopologyTree(kv::USBManager())) WalkModel(root, 0, expected);
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(shown.size(), 35u) << "the demo machine: 3 hosts, 3 root hubs, 1 hub, 14 ports, 5 devices, 9 pipes";
  EXPECT_TRUE(allExpanded);
  EXPECT_EQ(w.ReloadCount(), 1);

  // The first host is selected and the list holds its rows.
  EXPECT_EQ(w.Tree().Selected(), TreeView_GetRoot(tree));
  ASSERT_GT(kv::USBManager().HostCount(), 0);
  kv::TkvPropertyRows hostRows;
  kv::ShowHostInfo(hostRows, *kv::USBManager().GetHost(0));
  std::vector<std::pair<std::string, std::string>> expectedRows;
  for (const kv::TkvPropertyRow& r : hostRows.Rows()) expectedRows.emplace_back(r.Caption, r.Value);
  EXPECT_EQ(ListRows(w.List()), expectedRows);
  EXPECT_EQ(StatusText(w.StatusBar(), 1), "\\" + shown[0].first);
  EXPECT_FALSE(w.Pages().TabVisible(TfmMain::pgDevice)) << "a host hides the \"USB Device\" page";

  // A device: its rows, the device box and the status path follow.
  SelectText(kTestBoard);
  const auto rows = ListRows(w.List());
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], std::make_pair(std::string("Description"), std::string(kTestBoard)));
  const kv::TkvUsbDevice* device = w.Usb().SelectedDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Description, kTestBoard);
  char vendor[16];
  std::snprintf(vendor, sizeof vendor, "%04Xh", static_cast<unsigned>(device->IdVendor));
  EXPECT_NE(std::find(rows.begin(), rows.end(), std::make_pair(std::string("Vendor ID"), std::string(vendor))),
            rows.end());
  HWND box = w.DeviceBox();
  EXPECT_EQ(SendMessageA(box, CB_GETCURSEL, 0, 0), w.Usb().GetDeviceIndex());
  EXPECT_EQ(quorvex::win::WindowText(box), kTestBoard);
  const std::string path = StatusText(w.StatusBar(), 1);
  EXPECT_EQ(path.substr(path.size() - std::string(kTestBoard).size() - 1), std::string("\\") + kTestBoard);
  EXPECT_EQ(std::count(path.begin(), path.end(), '\\'), 6) << path << ": host, root hub, port, hub, port, device";
  EXPECT_TRUE(w.Pages().TabVisible(TfmMain::pgDevice)) << "a device shows the \"USB Device\" page again";

  // A pick in the device box selects that device in the component.
  const int other = w.Usb().GetDeviceIndex() == 0 ? 1 : 0;
  SendMessageA(box, CB_SETCURSEL, other, 0);
  SendMessageA(GetParent(box), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(box), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(box));
  EXPECT_EQ(w.Usb().GetDeviceIndex(), other);
  EXPECT_EQ(SendMessageA(box, CB_GETCURSEL, 0, 0), other);

  // A reload selects the first host again and stays one reload per command.
  PressKey(tree, VK_F5);
  Pump(&w, 50);
  EXPECT_EQ(w.ReloadCount(), 2) << "F5 through the accelerator table";
  EXPECT_EQ(w.Tree().Selected(), TreeView_GetRoot(tree));
}

// Menus and short-cuts come from the one action table; the six device
// actions are off without a selected device, in the menus and as commands.
TEST_F(BrowserWindow, DeviceActionsNeedASelectedDevice) {
  TfmMain& w = Open(FOptions);
  auto menuState = [&](HMENU menu, const char* caption) {
    SendMessageA(w.Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), 0);
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      char text[128] = "";
      GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
      std::string t = text;
      t.erase(std::remove(t.begin(), t.end(), '&'), t.end());  // the access key's mark
      if (t.substr(0, t.find('\t')) == caption) return GetMenuState(menu, i, MF_BYPOSITION);
    }
    ADD_FAILURE() << caption << " is not in the menu";
    return UINT(-1);
  };
  for (const char* action : kDeviceActions) {
    SCOPED_TRACE(action);
    const UINT inTree = menuState(w.TreePopup(), action);
    EXPECT_TRUE(inTree & MF_GRAYED) << "a host is selected";
  }
  EXPECT_FALSE(w.CommandEnabled(quorvex::cmdEnable));
  EXPECT_TRUE(w.CommandEnabled(quorvex::cmdReload));
  // Key presses of a disabled action run nothing either.
  PressKey(w.Tree().Handle(), VK_F6);
  Pump(&w, 30);
  EXPECT_FALSE(w.Busy());

  SelectText(kTestBoard);
  for (const char* action : kDeviceActions) {
    SCOPED_TRACE(action);
    EXPECT_FALSE(menuState(w.TreePopup(), action) & MF_GRAYED) << "a device is selected";
  }
  // A highlighted entry's hint covers the status text until the menu closes.
  const std::string path = StatusText(w.StatusBar(), 1);
  SendMessageA(w.Handle(), WM_MENUSELECT, MAKEWPARAM(quorvex::cmdEnable, MF_STRING),
               reinterpret_cast<LPARAM>(w.TreePopup()));
  EXPECT_EQ(StatusText(w.StatusBar(), 1), "Enable device");
  SendMessageA(w.Handle(), WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
  EXPECT_EQ(StatusText(w.StatusBar(), 1), path);
  // A pipe selects its device.
  SelectText("Pipe (Endpoint) #1");
  EXPECT_TRUE(w.CommandEnabled(quorvex::cmdEnable));
  // A port selects none.
  SelectText("Port #2 (free)");
  EXPECT_FALSE(w.CommandEnabled(quorvex::cmdEnable));

  // The menu texts carry the short-cuts and an access key each, none twice
  // in one menu; the second short-cuts are in the accelerator table.
  HMENU file = GetSubMenu(GetMenu(w.Handle()), 0);
  char text[128] = "";
  GetMenuStringA(file, 0, text, sizeof text, MF_BYPOSITION);
  EXPECT_STREQ(text, "&Copy into Clipboard\tCtrl+C");
  std::function<void(HMENU)> keys = [&](HMENU menu) {
    std::string used;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      if (GetMenuState(menu, i, MF_BYPOSITION) & MF_SEPARATOR) continue;
      GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
      const char* mark = std::strchr(text, '&');
      ASSERT_TRUE(mark && mark[1]) << text << " has no access key";
      const char key = static_cast<char>(std::toupper(static_cast<unsigned char>(mark[1])));
      EXPECT_EQ(used.find(key), std::string::npos) << text << ": " << key << " twice";
      used += key;
      if (HMENU sub = GetSubMenu(menu, i)) keys(sub);
    }
  };
  for (HMENU menu : {GetMenu(w.Handle()), w.TreePopup(), w.ListPopup()}) keys(menu);
  GetMenuStringA(GetMenu(w.Handle()), 0, text, sizeof text, MF_BYPOSITION);
  EXPECT_STREQ(text, "&File") << "Alt+F opens it";
  std::vector<ACCEL> table(static_cast<std::size_t>(CopyAcceleratorTableA(w.Accelerators(), nullptr, 0)));
  CopyAcceleratorTableA(w.Accelerators(), table.data(), static_cast<int>(table.size()));
  auto has = [&](BYTE flags, WORD key, WORD cmd) {
    for (const ACCEL& a : table)
      if ((a.fVirt & ~FNOINVERT) == (flags | FVIRTKEY) && a.key == key && a.cmd == cmd) return true;
    return false;
  };
  EXPECT_TRUE(has(FCONTROL, VK_INSERT, quorvex::cmdCopy));
  EXPECT_TRUE(has(FCONTROL | FALT, VK_INSERT, quorvex::cmdCopyAll));
  EXPECT_TRUE(has(FALT, 'X', quorvex::cmdExit));
  EXPECT_TRUE(has(0, VK_F5, quorvex::cmdReload));
}

// Copy puts the selected row, copy-all every row, on the clipboard; with no
// row selected only copy-all is on.
TEST_F(BrowserWindow, CopyPutsTheExactRowTexts) {
  TfmMain& w = Open(FOptions);
  SelectText(kTestBoard);
  const auto rows = ListRows(w.List());
  ASSERT_GE(rows.size(), 6u);

  w.List().SelectRow(-1);
  EXPECT_FALSE(w.CommandEnabled(quorvex::cmdCopy));
  EXPECT_TRUE(w.CommandEnabled(quorvex::cmdCopyAll));

  int vendorRow = -1;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].first == "Vendor ID") vendorRow = static_cast<int>(i);
  ASSERT_GE(vendorRow, 0);
  w.List().SelectRow(vendorRow);
  Command(quorvex::cmdCopy);
  EXPECT_EQ(Clipboard(w.Handle()), "Vendor ID\t" + rows[static_cast<std::size_t>(vendorRow)].second + "\r\n");

  std::string all;
  for (const auto& [caption, value] : rows) all += caption + "\t" + value + "\r\n";
  Command(quorvex::cmdCopyAll);
  EXPECT_EQ(Clipboard(w.Handle()), all);

  // The second short-cuts, through the message loop: Ctrl+Ins copies the row,
  // Ctrl+Alt+Ins every row. (Posted keys carry no modifier state of their
  // own: the thread's key state is set as a keyboard would.)
  auto pressWith = [&](std::initializer_list<int> modifiers, WPARAM key) {
    BYTE state[256];
    GetKeyboardState(state);
    for (int m : modifiers) state[m] = 0x80;
    SetKeyboardState(state);
    PressKey(w.List().Handle(), key);
    Pump(&w, 30);
    for (int m : modifiers) state[m] = 0;
    SetKeyboardState(state);
  };
  kv::SetClipboardText(reinterpret_cast<kv::HWND>(w.Handle()), "");
  pressWith({VK_CONTROL}, VK_INSERT);
  EXPECT_EQ(Clipboard(w.Handle()), "Vendor ID\t" + rows[static_cast<std::size_t>(vendorRow)].second + "\r\n");
  kv::SetClipboardText(reinterpret_cast<kv::HWND>(w.Handle()), "");
  pressWith({VK_CONTROL, VK_MENU}, VK_INSERT);
  EXPECT_EQ(Clipboard(w.Handle()), all);
}

// A device that arrives is announced by WM_DEVICECHANGE: the component takes
// each report, and a burst of them ends in exactly one reload 500 ms after
// the last, which shows the new device.
TEST_F(BrowserWindow, DeviceArrivalReloadsOnceAndShowsTheDevice) {
  TfmMain& w = Open(FOptions);
  const int reloads = w.ReloadCount();
  SelectText(kTestBoard);

  kv::TkvSimUsbHub* hub = kv::FindSimHub(FMachine, "USB#VID_05E3&PID_0608#5&2f4a6c1b&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  ASSERT_NE(hub, nullptr) << FMachine.Dump();
  kv::TkvSimUsbDevice device;
  device.IdVendor = 0x16C0;
  device.IdProduct = 0x05DC;
  device.DriverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0042";
  kv::TkvSimMachine::DevnodeSpec node;
  node.InstanceId = "USB\\VID_16C0&PID_05DC\\7&1&3";
  kv::TextToGuid("{36FC9E60-C465-11CF-8056-444553540000}", node.ClassGuid);
  node.DriverKey = device.DriverKey;
  node.Description = "Arrived Gadget";
  node.Service = "WinUSB";
  kv::DeviceArrives(*hub, 3, device, &node);
  // Two more reports of the same change, 100 ms apart.
  for (int i = 0; i < 2; ++i) {
    Pump(&w, 100);
    kv::BroadcastDeviceChange(kv::DBT_DEVNODES_CHANGED);
  }
  const auto last = std::chrono::steady_clock::now();
  Pump(&w, 200);
  // (Only when this machine kept time: a loaded one may have slept past 500 ms.)
  if (std::chrono::steady_clock::now() - last < std::chrono::milliseconds(400)) {
    EXPECT_EQ(w.ReloadCount(), reloads) << "no reload before 500 ms have passed since the last report";
  }
  // Until the reload nothing reaches the freed records: no device, no path.
  if (w.ReloadCount() == reloads) {
    EXPECT_FALSE(w.CommandEnabled(quorvex::cmdEnable));
    EXPECT_EQ(StatusText(w.StatusBar(), 1), "");
  }
  PumpUntil(&w, [&] { return w.ReloadCount() > reloads; });
  EXPECT_EQ(w.ReloadCount(), reloads + 1);
  HWND tree = w.Tree().Handle();
  EXPECT_NE(FindItem(tree, TreeView_GetRoot(tree), "Arrived Gadget"), nullptr);
  EXPECT_NE(FindItem(tree, TreeView_GetRoot(tree), "Port #3 (device:  Arrived Gadget)"), nullptr);
  Pump(&w, 700);
  EXPECT_EQ(w.ReloadCount(), reloads + 1) << "one reload per burst";
}

// A device action asks the machine and its device-change report reloads the
// tree once. A handler that raises shows its message in a message box; FBusy,
// the cursor and the window come back, and the next command runs.
TEST_F(BrowserWindow, ARaisingHandlerShowsAMessageBoxAndTheProgramGoesOn) {
  TfmMain& w = Open(FOptions);
  // A refused action says why, also for setup errors the system has no text for.
  FMachine.Fail("SetupDiCallClassInstaller", kv::ERROR_NO_SUCH_DEVINST, 1);
  SelectText(kTestBoard);
  Command(quorvex::cmdDisable);
  const std::string reason = kv::SetupFailureText(kv::ERROR_NO_SUCH_DEVINST);
  EXPECT_NE(reason, "");
  EXPECT_EQ(StatusText(w.StatusBar(), 1), "Disable failed: " + reason);
  EXPECT_EQ(w.ReloadCount(), 1) << "nothing changed, nothing to reload";
  Command(quorvex::cmdDisable);
  PumpUntil(&w, [&] { return w.ReloadCount() >= 2; });
  EXPECT_EQ(w.ReloadCount(), 2) << "the disabled device's report reloads the tree once";
  SelectText(kTestBoard);  // the reload selected the first node
  Command(quorvex::cmdEnable);
  PumpUntil(&w, [&] { return w.ReloadCount() >= 3; });
  EXPECT_EQ(w.ReloadCount(), 3);
  std::string shown;

  // A long command that raises: confirmed, it runs with FBusy set, and FBusy
  // and the cursor are back before its message shows.
  FMachine.Fail("UpdateDriverForPlugAndPlayDevicesA", ERROR_ACCESS_DENIED);
  SelectText(kTestBoard);
  bool busyAtError = true;
  HCURSOR cursorAtError = nullptr;
  {
    TOnModal answer({[&](HWND question) {
                       shown = DialogText(question);
                       PostMessageA(question, WM_COMMAND, IDYES, 0);
                     },
                     [&](HWND error) {
                       busyAtError = w.Busy();
                       cursorAtError = GetCursor();
                       PostMessageA(error, WM_COMMAND, IDOK, 0);
                     }});
    Command(quorvex::cmdInstallDriver);
    EXPECT_TRUE(answer.Ran());
  }
  EXPECT_NE(shown.find("Do you want continue?"), std::string::npos) << shown;
  EXPECT_FALSE(busyAtError);
  EXPECT_NE(cursorAtError, LoadCursor(nullptr, IDC_WAIT));
  EXPECT_FALSE(w.Busy());
  // A device change now is taken at once again.
  kv::BroadcastDeviceChange(kv::DBT_DEVNODES_CHANGED);
  PumpUntil(&w, [&] { return w.ReloadCount() >= 4; });
  EXPECT_EQ(w.ReloadCount(), 4) << "the install's own reload is skipped by its error; the device change reloads";
}

// Closing stores the placement and tree width; the next window opens where
// the last one closed. A window closed maximized keeps its normal bounds.
TEST_F(BrowserWindow, SettingsFileRoundTrips) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string profile = std::string(temp) + "quorvex-profile-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(profile.c_str(), nullptr);
  SetEnvironmentVariableA("USERPROFILE", profile.c_str());

  RECT placed{};
  std::string file;
  {
    quorvex::TOptions options;
    ASSERT_NE(options.FileName, "");
    file = options.FileName;
    options.Load(quorvex::win::ScreenDpi());
    TfmMain& w = Open(options);
    SetWindowPos(w.Handle(), nullptr, 40, 30, 700, 500, SWP_NOZORDER);
    GetWindowRect(w.Handle(), &placed);
    // Drag the splitter to x = 240.
    RECT tree;
    GetWindowRect(w.Tree().Handle(), &tree);
    MapWindowPoints(nullptr, w.Handle(), reinterpret_cast<POINT*>(&tree), 2);
    const LPARAM y = static_cast<LPARAM>(tree.top + 20) << 16;
    SendMessageA(w.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, y | (tree.right + 1));
    SendMessageA(w.Handle(), WM_MOUSEMOVE, MK_LBUTTON, y | 240);
    SendMessageA(w.Handle(), WM_LBUTTONUP, 0, y | 240);
    GetWindowRect(w.Tree().Handle(), &tree);
    EXPECT_EQ(tree.right - tree.left, 240);
    SendMessageA(w.Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(w.Handle()));
    options.Save();
    FRun.Close();
  }
  {
    quorvex::TOptions options;
    options.Load(quorvex::win::ScreenDpi());
    EXPECT_EQ(options.TreeWidth, 240);
    TfmMain& w = Open(options);
    RECT now;
    GetWindowRect(w.Handle(), &now);
    EXPECT_EQ(now.left, placed.left);
    EXPECT_EQ(now.top, placed.top);
    EXPECT_EQ(now.right, placed.right);
    EXPECT_EQ(now.bottom, placed.bottom);
    RECT tree;
    GetWindowRect(w.Tree().Handle(), &tree);
    EXPECT_EQ(tree.right - tree.left, 240);
    ShowWindow(w.Handle(), SW_MAXIMIZE);
    SendMessageA(w.Handle(), WM_CLOSE, 0, 0);
    options.Save();
    FRun.Close();
  }
  {
    quorvex::TOptions options;
    options.Load(quorvex::win::ScreenDpi());
    EXPECT_TRUE(options.IsMaximized);
    EXPECT_EQ(options.MainRect.Left, placed.left) << "the normal bounds stay";
    EXPECT_EQ(options.MainRect.Bottom, placed.bottom);
    TfmMain& w = Open(options);
    EXPECT_TRUE(IsZoomed(w.Handle()));
    FRun.Close();  // before its options go
  }
  DeleteFileA(file.c_str());
}

// The "USB Device" page on the loopback board: its pipe lists follow the
// selection, checking "Active" opens the board and the pair, what is typed
// into the terminal comes back into it, a click without chosen pipes shows
// the list's error, and unchecking then choosing another device leaves no
// reader behind.
TEST_F(BrowserWindow, TheTerminalPageEchoesTheLoopbackBoard) {
  TfmMain& w = Open(FOptions);
  SelectText(kTestBoard);
  w.Pages().SetActivePage(TfmMain::pgDevice);
  Pump(&w, 50);
  ASSERT_EQ(SendMessageA(w.PipeInList(), CB_GETCOUNT, 0, 0), 1);
  ASSERT_EQ(SendMessageA(w.PipeOutList(), CB_GETCOUNT, 0, 0), 1);
  const int threads = ThreadCount();

  // No pipes chosen: the list's index error; the check box shows the device.
  TOnModal error([](HWND dialog) {
    EXPECT_NE(DialogText(dialog).find("List index out of bounds (-1)"), std::string::npos) << DialogText(dialog);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  SendMessageA(w.ActiveBox(), BM_CLICK, 0, 0);
  EXPECT_TRUE(error.Ran());
  EXPECT_FALSE(w.PipePair().Active());
  EXPECT_EQ(SendMessageA(w.ActiveBox(), BM_GETCHECK, 0, 0), w.Usb().Active() ? BST_CHECKED : BST_UNCHECKED);
  if (w.Usb().Active()) SendMessageA(w.ActiveBox(), BM_CLICK, 0, 0);
  ASSERT_FALSE(w.Usb().Active());

  SendMessageA(w.PipeInList(), CB_SETCURSEL, 0, 0);
  SendMessageA(w.PipeOutList(), CB_SETCURSEL, 0, 0);
  SendMessageA(w.ActiveBox(), BM_CLICK, 0, 0);
  ASSERT_TRUE(w.PipePair().Active());
  std::string typed;
  for (char c : std::string("echo!")) {
    PostMessageA(w.Terminal(), WM_CHAR, static_cast<unsigned char>(c), 1);
    typed += c;
    PumpUntil(&w, [&] { return quorvex::win::WindowText(w.Terminal()) == typed; }, 2000);
    ASSERT_EQ(quorvex::win::WindowText(w.Terminal()), typed) << "the board sends each key back";
  }

  SendMessageA(w.ActiveBox(), BM_CLICK, 0, 0);
  EXPECT_FALSE(w.PipePair().Active());
  EXPECT_FALSE(w.Usb().Active());
  SelectText("Pipe (Endpoint) #1");
  Pump(&w, 50);
  PumpUntil(&w, [&] { return ThreadCount() <= threads; }, 2000);
  EXPECT_LE(ThreadCount(), threads) << "no reader left";
}

using kv::test::ConsoleRows;

std::string FileText(const std::string& file) {
  std::string text;
  HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read) text.append(buffer, read);
  CloseHandle(h);
  return text;
}

// "Save Machine Description ..." from the File menu: the file it asks for
// holds a description that replays the browser's machine row for row, with
// the serial numbers hidden; the browser's own tree, selection and device
// list stay as they were, and its next reload still reads the machine. A
// file that cannot be written says why in the status bar; an open device
// keeps the command off.
TEST_F(BrowserWindow, SaveMachineDescriptionWritesADescriptionThatReplaysTheMachine) {
  TfmMain& w = Open(FOptions);
  SelectText(kTestBoard);
  HWND tree = w.Tree().Handle();
  std::vector<std::pair<std::string, int>> shownBefore, shownAfter;
  bool expanded = true;
  WalkTree(tree, TreeView_GetRoot(tree), 0, shownBefore, expanded);
  const HTREEITEM selected = w.Tree().Selected();
  const int deviceIndex = w.Usb().GetDeviceIndex();
  const auto rowsBefore = ListRows(w.List());
  const unsigned generation = kv::USBManager().Generation();

  // In the File menu, enabled, between separators before "Exit".
  HMENU file = GetSubMenu(GetMenu(w.Handle()), 0);
  SendMessageA(w.Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(file), 0);
  const int count = GetMenuItemCount(file);
  ASSERT_GE(count, 3);
  EXPECT_EQ(GetMenuItemID(file, count - 3), quorvex::cmdSaveMachineDescription);
  EXPECT_EQ(GetMenuState(file, count - 2, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
  EXPECT_FALSE(GetMenuState(file, count - 3, MF_BYPOSITION) & MF_GRAYED);

  char dir[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, dir);
  const std::string path = std::string(dir) + "\\capture-" + std::to_string(GetCurrentProcessId()) + ".json";
  DeleteFileA(path.c_str());
  int asked = 0;
  std::string answer = path;
  w.AskFileName = [&](HWND owner) {
    ++asked;
    EXPECT_EQ(owner, w.Handle());
    return answer;
  };
  Command(quorvex::cmdSaveMachineDescription);
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(w.Busy());
  EXPECT_EQ(StatusText(w.StatusBar(), 1),
            "Machine description saved to " + path + "; 2 serial numbers replaced by placeholders");
  const std::string json = FileText(path);
  ASSERT_NE(json, "") << path;
  for (const char* serial : {"4C530001230915117385", "KV0001"})
    EXPECT_EQ(json.find(serial), std::string::npos) << serial << " is personal data";
  std::unique_ptr<kv::TkvSimMachine> replay;
  ASSERT_NO_THROW(replay = kv::TkvSimMachine::FromFile(path));
  EXPECT_EQ(replay->Name(), FMachine.Name());
  EXPECT_EQ(ConsoleRows(*replay), ConsoleRows(FMachine));

  // The browser's own topology was not touched.
  EXPECT_EQ(kv::USBManager().Generation(), generation);
  WalkTree(tree, TreeView_GetRoot(tree), 0, shownAfter, expanded);
  EXPECT_EQ(shownAfter, shownBefore);
  EXPECT_EQ(w.Tree().Selected(), selected);
  EXPECT_EQ(w.Usb().GetDeviceIndex(), deviceIndex);
  EXPECT_EQ(ListRows(w.List()), rowsBefore);
  EXPECT_TRUE(w.CommandEnabled(quorvex::cmdEnable));
  EXPECT_EQ(w.ReloadCount(), 1);
  Command(quorvex::cmdReload);
  shownAfter.clear();
  WalkTree(tree, TreeView_GetRoot(tree), 0, shownAfter, expanded);
  EXPECT_EQ(shownAfter, shownBefore) << "the reload after a capture reads the browser's machine";

  // Cancelled: nothing is written, the status bar keeps its text.
  DeleteFileA(path.c_str());
  answer.clear();
  const std::string status = StatusText(w.StatusBar(), 1);
  Command(quorvex::cmdSaveMachineDescription);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(StatusText(w.StatusBar(), 1), status);

  // A folder that is not there: the reason, and no message box.
  answer = std::string(dir) + "\\no-such-folder\\machine.json";
  Command(quorvex::cmdSaveMachineDescription);
  EXPECT_EQ(StatusText(w.StatusBar(), 1), "Cannot save the machine description to " + answer + ": " +
                                             kv::SysErrorMessage(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(w.Busy());

  // An open device keeps the command off: its reader uses the machine too.
  SelectText(kTestBoard);
  w.Usb().SetActive(true);
  ASSERT_TRUE(w.Usb().Active());
  EXPECT_FALSE(w.CommandEnabled(quorvex::cmdSaveMachineDescription));
  Command(quorvex::cmdSaveMachineDescription);
  EXPECT_EQ(asked, 3);
  w.Usb().SetActive(false);
  EXPECT_TRUE(w.CommandEnabled(quorvex::cmdSaveMachineDescription));
}

// The Tab key walks the controls in the order they stand on the screen, on
// either page: a page's controls come before the terminal, which keeps Tab
// for the device.
TEST_F(BrowserWindow, TabWalksTheControlsInScreenOrder) {
  TfmMain& w = Open(FOptions);
  SelectText(kTestBoard);
  auto walk = [&](int page, int steps) {
    w.Pages().SetActivePage(page);
    Pump(&w, 30);
    SetFocus(w.Tree().Handle());
    std::vector<HWND> visited;
    for (int i = 0; i < steps; ++i) {
      PressKey(GetFocus(), VK_TAB);
      Pump(&w, 30);
      visited.push_back(GetFocus());
    }
    return visited;
  };
  const std::vector<HWND> general = walk(TfmMain::pgGeneral, 3);
  ASSERT_EQ(general.size(), 3u);
  EXPECT_EQ(general[0], w.List().Handle());
  EXPECT_EQ(general[2], w.Tree().Handle()) << "round to the tree past the page tabs";
  const std::vector<HWND> device = walk(TfmMain::pgDevice, 6);
  ASSERT_EQ(device.size(), 6u);
  EXPECT_EQ(quorvex::win::WindowText(device[4]), "Button1");
  EXPECT_EQ(device, (std::vector<HWND>{w.DeviceBox(), w.PipeInList(), w.PipeOutList(), w.ActiveBox(), device[4],
                                       w.Terminal()}));
}

// The About window shows the version record; Esc and Enter close it.
TEST_F(BrowserWindow, AboutShowsTheVersionAndClosesOnEscAndEnter) {
  TfmMain& w = Open(FOptions);
  for (WPARAM key : {WPARAM(VK_ESCAPE), WPARAM(VK_RETURN)}) {
    SCOPED_TRACE(key == VK_ESCAPE ? "Esc" : "Enter");
    std::string caption, texts;
    TOnModal press([&](HWND dialog) {
      caption = quorvex::win::WindowText(dialog);
      texts = DialogText(dialog);
      PressKey(GetDlgItem(dialog, IDOK), key);
    });
    Command(quorvex::cmdAbout);  // returns once the window is closed
    EXPECT_TRUE(press.Ran());
    EXPECT_EQ(caption, "About Quorvex");
    EXPECT_NE(texts.find("\nVersion 2.2 (Build 1.1)\n"), std::string::npos) << texts;
    EXPECT_NE(texts.find(kv::GetVersionText("", "")), std::string::npos) << texts;
    EXPECT_TRUE(IsWindowEnabled(w.Handle())) << "the owner is enabled again";
  }
}

}  // namespace
