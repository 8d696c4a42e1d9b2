#include "main_frm.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "about_frm.h"
#include "devicebox.h"
#include "global.h"
#include "kvsetupapi.h"
#include "kvutils.h"
#include "links.h"
#include "machinecapture.h"

#include <commdlg.h>
#include <shellapi.h>

namespace quorvex::win {

namespace {

const char* const kMainClass = "TfmMain";
const char* const kPanelClass = "TQuorvexPanel";
const char* const kCaption = "Quorvex - kvLink Lib Demo - Velmora";

// The texts of the window that are not actions.
const char* const kGeneralPage = "General Info";
const char* const kDevicePage = "USB Device";
const char* const kColumnDescription = "Description";
const char* const kColumnValue = "Value";
const char* const kDeviceLabel = "USB Device:";
const char* const kPipeInLabel = "Input Pipe <-----";
const char* const kPipeOutLabel = "Output Pipe ----->";
const char* const kActive = "Active";
const char* const kButton1 = "Button1";
const char* const kTerminalPage = "Terminal";
const char* const kHexPage = "Hex";
const char* const kHexPlaceholder = "Hex view";
const char* const kInstallQuestion =
    "Quorvex will install the WinUSB common driver and service for selected usb device.\r\n"
    "System can warn you several times about attempt to install the unssigned driver.\r\n"
    "Confirm driver for continuing installation process.\r\n"
    "Note that current version of Quorvex does not support an any kind of rollback of this process.\r\n"
    "You can restore original driver of selected device manually only\r\n"
    "\r\n"
    "Do you want continue?";
const char* const kWarning = "Warning";
// The Save As dialog's filter: pairs of text and pattern, the list ends with
// an empty text.
const char kDescriptionFilter[] = "Machine descriptions (*.json)\0*.json\0All files (*.*)\0*.*\0";
const char* const kDescriptionExtension = "json";
const char* const kSaveDialogFailed = "The Save As dialog could not be shown (error %lu).";

// The widest captions of the property rows, and the room a list view cell
// leaves around its text.
const char* const kWidestCaptions[] = {"Speed (Low,Full,High)", "String Descriptor [99]", "Registry Key Name",
                                       "Max Packet Size"};
constexpr int kvListCellPadding = 16;

// Control ids.
enum : int {
  idTree = 1001,
  idList,
  idPages,
  idBar,
  idDeviceBox,
  idPipeIn,
  idPipeOut,
  idActive,
  idButton1,
  idTerminalPages,
  idTerminal,
  idHexLabel,
};
constexpr UINT_PTR tmDeviceChange = 1;

static_assert(kvFVIRTKEY == FVIRTKEY && kvFSHIFT == FSHIFT && kvFCONTROL == FCONTROL && kvFALT == FALT,
              "accelerator flags");
static_assert(kvVK_INSERT == VK_INSERT && kvVK_F5 == VK_F5 && kvVK_F6 == VK_F6 && kvVK_F8 == VK_F8, "keys");
static_assert(static_cast<int>(cmdFirst) > static_cast<int>(idHexLabel), "command ids above the control ids");

void Place(HWND window, const TkvRect& r) { MoveWindow(window, r.Left, r.Top, r.Width(), r.Height(), TRUE); }

RECT ToRect(const TkvRect& r) { return RECT{r.Left, r.Top, r.Right, r.Bottom}; }
TkvRect ToRect(const RECT& r) { return TkvRect{r.left, r.top, r.right, r.bottom}; }

BOOL CALLBACK AddMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (GetMonitorInfoA(monitor, &info)) reinterpret_cast<std::vector<TkvRect>*>(data)->push_back(ToRect(info.rcWork));
  return TRUE;
}

std::vector<TkvRect> WorkAreas() {
  std::vector<TkvRect> areas;
  EnumDisplayMonitors(nullptr, nullptr, AddMonitor, reinterpret_cast<LPARAM>(&areas));
  return areas;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

// ---- panels ----------------------------------------------------------------

HWND TPanel::Create(HWND parent, HWND target) {
  FTarget = target;
  HWND window = CreateFrame(kPanelClass, "", WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, 0,
                            0, 0, 0, parent, nullptr, nullptr);
  return window;
}

LRESULT TPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NOTIFY:
      return ReflectNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return SendMessageA(FTarget, message, wParam, lParam);
    case WM_SIZE:
      SendMessageA(FTarget, WM_APP, 0, reinterpret_cast<LPARAM>(FHandle));
      return 0;
    default:
      return TWindow::HandleMessage(message, wParam, lParam);
  }
}

std::string AskDescriptionFile(HWND owner) {
  char file[MAX_PATH] = "";
  std::snprintf(file, sizeof file, "%s", kvDefaultDescriptionName);
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = kDescriptionFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file;
  dialog.nMaxFile = sizeof file;
  dialog.lpstrDefExt = kDescriptionExtension;
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (GetSaveFileNameA(&dialog)) return file;
  // Cancel leaves no error; anything else is worth a message.
  if (const DWORD error = CommDlgExtendedError()) {
    char text[128];
    std::snprintf(text, sizeof text, kSaveDialogFailed, static_cast<unsigned long>(error));
    throw kv::Exception(text);
  }
  return {};
}

TWaitCursor::TWaitCursor(bool& flag) : FFlag(flag) {
  FFlag = true;
  SetCursor(LoadCursor(nullptr, IDC_WAIT));
}

TWaitCursor::~TWaitCursor() {
  FFlag = false;
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
}

// ---- creation and closing ------------------------------------------------------

TfmMain::TfmMain(TOptions& options) : AskFileName(AskDescriptionFile), FOptions(options) {
  kvUSB1 = new kv::TkvUSB(&FForm);
  kvUSB1->SetName("kvUSB1");
  kvUSB1->SetRequestDescriptors(false);
  FModel = std::make_unique<TkvBrowserModel>(*kvUSB1);
  kvUSBPipePair1 = new kv::TkvUSBPipePair(&FForm);
  kvUSBPipePair1->SetName("kvUSBPipePair1");
  kvUSBPipePair1->SetUsbDevice(kvUSB1);
  kvUSBPipePair1->SetPolicy({kv::uppAutoClearStall, kv::uppAllowPartialReads});
  kvUSBPipePair1->SetTimeoutRead(300);
  kvUSBPipePair1->SetTimeoutWrite(300);
  kvUSBPipePair1->SetReadBufferSize(512);
  kvUSBPipePair1->SetUseMainThread(false);
  kvUsbDriver1 = new kv::TkvUsbDriver(&FForm);
  kvUsbDriver1->SetName("kvUsbDriver1");
  kvUsbDriver1->SetkvUsb(kvUSB1);
  FPipePage = std::make_unique<TkvPipePage>(*kvUSB1, *kvUSBPipePair1);
  // The lists follow the selection while the page is in view: the device
  // box and the tree both select through kvUSB1.
  FPipePage->OnListsChanged = [this] {
    if (FHandle && FPages.TabVisible(pgDevice) && FPages.ActivePage() == pgDevice) pgDeviceShow();
  };
}

TfmMain::~TfmMain() {
  // The pair borrows kvUSB1's handles and echoes into eTerminal: it goes
  // first, while both are there.
  try {
    kvUSBPipePair1->SetActive(false);
    kvUSB1->SetActive(false);
  } catch (...) {
  }
  FPipePage.reset();
  if (FHandle) {
    KillTimer(FHandle, tmDeviceChange);
    DestroyWindow(FHandle);
  }
  kvDeviceBox1.reset();
  FModel.reset();
  FForm.DestroyComponents();
  for (HMENU menu : {FTreePopup, FListPopup})
    if (menu) DestroyMenu(menu);
  if (FAccelerators) DestroyAcceleratorTable(FAccelerators);
}

HWND TfmMain::DeviceBox() const { return kvDeviceBox1 ? kvDeviceBox1->Handle() : nullptr; }

bool TfmMain::Create(int show) {
  const int dpi = ScreenDpi();
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1));
  CreateMenus();
  if (!CreateFrame(kMainClass, kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT,
                   quorvex::Scale(kvMainLeft, dpi), quorvex::Scale(kvMainTop, dpi), quorvex::Scale(kvMainWidth, dpi), quorvex::Scale(kvMainHeight, dpi),
                   nullptr, FMainMenu, icon))
    return false;
  FormCreate();
  const bool maximized = FOptions.IsMaximized;
  ShowWindow(FHandle, maximized ? SW_SHOWMAXIMIZED : (show == SW_SHOWMAXIMIZED ? SW_SHOWNORMAL : show));
  UpdateWindow(FHandle);
  // OnShow: the tree is built when the window is first shown.
  Guarded(FHandle, [this] { actReloadExecute(); }, [this] { Recover(); });
  return true;
}

void TfmMain::CreateMenus() {
  // The three menus from the one table; each entry's text carries its
  // short-cut from the accelerator table and an access key of its own menu.
  auto build = [](TkvMenu which, bool popup) {
    std::vector<HMENU> open{popup ? CreatePopupMenu() : CreateMenu()};
    std::vector<std::string> used(1);  // the access keys of each open menu
    for (const TkvMenuEntry& entry : MenuEntries(which)) {
      switch (entry.Kind) {
        case TkvMenuEntry::SubMenu:
          open.push_back(CreatePopupMenu());
          AppendMenuA(open[open.size() - 2], MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(open.back()),
                      MnemonicCaption(entry.Caption, used.back()).c_str());
          used.emplace_back();
          break;
        case TkvMenuEntry::End:
          if (open.size() > 1) {
            open.pop_back();
            used.pop_back();
          }
          break;
        case TkvMenuEntry::Separator:
          AppendMenuA(open.back(), MF_SEPARATOR, 0, nullptr);
          break;
        case TkvMenuEntry::Item: {
          const std::string text = MenuItemText(entry.Id);
          const std::size_t tab = text.find('\t');
          const std::string caption = MnemonicCaption(text.substr(0, tab), used.back()) +
                                      (tab == std::string::npos ? std::string() : text.substr(tab));
          AppendMenuA(open.back(), MF_STRING, entry.Id, caption.c_str());
          break;
        }
      }
    }
    return open.front();
  };
  FMainMenu = build(TkvMenu::Main, false);
  FTreePopup = build(TkvMenu::TreePopup, true);
  FListPopup = build(TkvMenu::ListPopup, true);

  std::vector<ACCEL> table;
  for (const TkvAccel& a : AcceleratorTable()) table.push_back(ACCEL{a.fVirt, a.key, a.cmd});
  FAccelerators = CreateAcceleratorTableA(table.data(), static_cast<int>(table.size()));
}

void TfmMain::CreateControls() {
  const int dpi = ScreenDpi();
  FTree.Create(FHandle, idTree);
  TreeView_SetIndent(FTree.Handle(), quorvex::Scale(kvTreeIndent, dpi));
  FTree.OnItemColor = [this](LPARAM item, bool hasChildren) { return TreeCustomDrawItem(item, hasChildren); };
  FPages.Create(FHandle, idPages);
  FPages.OnPageShow = [this](int page) {
    if (page == pgDevice) pgDeviceShow();
  };

  FGeneralPage.Create(FHandle, FHandle);
  FList.Create(FGeneralPage.Handle(), idList,
               {{kColumnDescription, quorvex::Scale(kvListCaptionWidth, dpi)}, {kColumnValue, quorvex::Scale(200, dpi)}});
  // The "Description" column keeps its width unless the font is too large for
  // the widest captions of the rows: then it is as wide as they are.
  int captionWidth = quorvex::Scale(kvListCaptionWidth, dpi);
  for (const char* caption : kWidestCaptions)
    captionWidth = std::max(captionWidth, static_cast<int>(SendMessageA(FList.Handle(), LVM_GETSTRINGWIDTHA, 0,
                                                                        reinterpret_cast<LPARAM>(caption))) +
                                              quorvex::Scale(kvListCellPadding, dpi));
  ListView_SetColumnWidth(FList.Handle(), 0, captionWidth);
  FDevicePage.Create(FHandle, FHandle);
  CreateDevicePage();
  FPages.AddPage(kGeneralPage, FGeneralPage.Handle());
  FPages.AddPage(kDevicePage, FDevicePage.Handle());
  // The form makes the "USB Device" page the active one.
  FPages.SetActivePage(pgDevice);

  FBar = CreateChild(STATUSCLASSNAMEA, "", SBARS_SIZEGRIP | SBARS_TOOLTIPS, 0, FHandle, idBar);
}

void TfmMain::CreateDevicePage() {
  HWND page = FDevicePage.Handle();
  FDeviceLabel = CreateChild("STATIC", kDeviceLabel, SS_NOPREFIX, 0, page, 0);
  kvDeviceBox1 = std::make_unique<TDeviceBox>(&FForm);
  kvDeviceBox1->Create(page, idDeviceBox);
  kvDeviceBox1->Model().SetkvLink(kvUSB1);
  FBevel = CreateChild("STATIC", "", SS_ETCHEDHORZ, 0, page, 0);
  FPipeInLabel = CreateChild("STATIC", kPipeInLabel, SS_NOPREFIX, 0, page, 0);
  ePipeIn = CreateChild(WC_COMBOBOXA, "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, page, idPipeIn);
  FPipeOutLabel = CreateChild("STATIC", kPipeOutLabel, SS_NOPREFIX, 0, page, 0);
  ePipeOut = CreateChild(WC_COMBOBOXA, "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, page, idPipeOut);
  chActive = CreateChild(WC_BUTTONA, kActive, WS_TABSTOP | BS_AUTOCHECKBOX, 0, page, idActive);
  FButton1 = CreateChild(WC_BUTTONA, kButton1, WS_TABSTOP | BS_PUSHBUTTON, 0, page, idButton1);

  FTerminalPages.Create(page, idTerminalPages);
  FTerminalPage.Create(page, FHandle);
  eTerminal = CreateChild(WC_EDITA, "",
                          WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
                          WS_EX_CLIENTEDGE, FTerminalPage.Handle(), idTerminal);
  FHexPage.Create(page, FHandle);
  FHexLabel = CreateChild("STATIC", kHexPlaceholder, SS_NOPREFIX, 0, FHexPage.Handle(), idHexLabel);
  FTerminalEdit = new kv::TkvEdit(&FForm);
  FTerminalEdit->AttachHandle(reinterpret_cast<kv::HWND>(eTerminal));
  kvUSBPipePair1->SetTerminal(FTerminalEdit);
  kvUSBPipePair1->SetTerminalUsage(kv::tuBoth);
  FTerminalPages.AddPage(kTerminalPage, FTerminalPage.Handle());
  FTerminalPages.AddPage(kHexPage, FHexPage.Handle());
}

void TfmMain::FormCreate() {
  const int dpi = ScreenDpi();
  // Options.ApplyTo: bounds and state, kept on a monitor and above the
  // minimum size.
  const TkvFormPlacement placement = FOptions.ApplyTo(WorkAreas(), MainMinSize(dpi));
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  GetWindowPlacement(FHandle, &wp);
  wp.rcNormalPosition = ToRect(placement.Bounds);
  wp.showCmd = SW_HIDE;
  SetWindowPlacement(FHandle, &wp);
  FOptions.IsMaximized = placement.State == TkvWindowState::Maximized;

  FTreeWidth = FormCreateTreeWidth(placement.Bounds.Left, placement.Bounds.Width(), FOptions.TreeWidth, dpi);
  FRequestDescriptors = kvUSB1->RequestDescriptors();
  Layout();
  pnLeftResize();
}

void TfmMain::FormClose() {
  FOptions.TreeWidth = FTreeWidth;
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  GetWindowPlacement(FHandle, &wp);
  RECT bounds;
  GetWindowRect(FHandle, &bounds);
  TkvFormState state;
  state.Bounds = ToRect(bounds);
  state.NormalBounds = ToRect(wp.rcNormalPosition);
  state.State = IsZoomed(FHandle) ? TkvWindowState::Maximized
                                  : (IsIconic(FHandle) ? TkvWindowState::Minimized : TkvWindowState::Normal);
  state.RestoreMaximized = (wp.flags & WPF_RESTORETOMAXIMIZED) != 0;
  FOptions.StoreFrom(state);
}

// ---- layout ------------------------------------------------------------------

void TfmMain::Layout() {
  if (!FHandle || !FBar) return;
  RECT client;
  GetClientRect(FHandle, &client);
  SendMessageA(FBar, WM_SIZE, 0, 0);
  RECT bar;
  GetWindowRect(FBar, &bar);
  TkvMainLayoutInput in;
  in.ClientWidth = client.right;
  in.ClientHeight = client.bottom;
  in.Dpi = ScreenDpi();
  in.TreeWidth = FTreeWidth;
  in.StatusBarHeight = bar.bottom - bar.top;
  const TkvMainLayout layout = LayoutMain(in);
  FTreeWidth = layout.TreeWidth;
  Place(FTree.Handle(), layout.Tree);
  FPages.Place(ToRect(layout.PageControl));
  SendMessageA(FBar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(layout.StatusParts));
}

void TfmMain::PlaceDevicePage() {
  if (!kvDeviceBox1 || !FButton1) return;  // still being created
  const int dpi = ScreenDpi();
  RECT client;
  GetClientRect(FDevicePage.Handle(), &client);
  const TkvDevicePageLayout l = quorvex::LayoutDevicePage(client.right, client.bottom, dpi);
  Place(FDeviceLabel, l.DeviceLabel);
  TkvRect box = l.DeviceBox;
  box.Bottom += l.DropDownHeight;
  Place(kvDeviceBox1->Handle(), box);
  Place(FBevel, l.Bevel);
  Place(FPipeInLabel, l.PipeInLabel);
  TkvRect in = l.PipeIn, out = l.PipeOut;
  in.Bottom += l.DropDownHeight;
  out.Bottom += l.DropDownHeight;
  Place(ePipeIn, in);
  Place(FPipeOutLabel, l.PipeOutLabel);
  Place(ePipeOut, out);
  Place(chActive, l.Active);
  Place(FButton1, l.Button1);
  FTerminalPages.Place(ToRect(l.TerminalPages));
}

void TfmMain::pnLeftResize() {
  // The status bar's first panel ends where the tree does.
  Layout();
}

// ---- the tree and the list -------------------------------------------------------

void TfmMain::actReloadExecute() {
  // Nothing may select while the tree is cleared and filled.
  FTree.OnChange = nullptr;
  // The bulk update: no drawing, and the control hidden, so that its scroll
  // bars are not laid out again for every item that comes or goes.
  const bool focused = GetFocus() == FTree.Handle();
  const bool visible = IsWindowVisible(FTree.Handle()) != FALSE;
  SendMessageA(FTree.Handle(), WM_SETREDRAW, FALSE, 0);
  if (visible) ShowWindow(FTree.Handle(), SW_HIDE);
  struct TRedraw {
    HWND Tree;
    bool Visible, Focused;
    ~TRedraw() {
      SendMessageA(Tree, WM_SETREDRAW, TRUE, 0);
      if (Visible) ShowWindow(Tree, SW_SHOWNA);
      if (Focused) SetFocus(Tree);
      InvalidateRect(Tree, nullptr, TRUE);
    }
  } redraw{FTree.Handle(), visible, focused};
  // Timed apart: the topology refresh, and what the tree view costs
  // (clearing and filling).
  const auto clear = std::chrono::steady_clock::now();
  FTree.Clear();
  FLastClear = Seconds(clear);
  const auto refresh = std::chrono::steady_clock::now();
  FModel->Reload(FRequestDescriptors);
  FLastRefresh = Seconds(refresh);

  const auto fill = std::chrono::steady_clock::now();
  std::vector<HTREEITEM> handles(static_cast<std::size_t>(FModel->ItemCount()), nullptr);
  for (int i = 0; i < FModel->ItemCount(); ++i) {
    const TkvTreeItem& item = FModel->Item(i);
    HTREEITEM parent = item.Parent >= 0 ? handles[static_cast<std::size_t>(item.Parent)] : nullptr;
    handles[static_cast<std::size_t>(i)] = FTree.Add(parent, item.Text, i);
  }
  FLastFill = Seconds(fill) + FLastClear;
  FTree.OnChange = [this](LPARAM item) { TreeChange(item); };
  ++FReloadCount;

  const int selected = FModel->Selected();
  if (selected >= 0 && selected < static_cast<int>(handles.size())) {
    // The model has already selected it: the tree follows without a second
    // TreeChange.
    FTree.OnChange = nullptr;
    FTree.Select(handles[static_cast<std::size_t>(selected)]);
    FTree.OnChange = [this](LPARAM item) { TreeChange(item); };
    ShowRows();
  }
  UpdateStatusPath();
  UpdateDevicePage();
}

void TfmMain::TreeChange(LPARAM item) {
  if (!FModel->Select(static_cast<int>(item))) return;
  ShowRows();
  UpdateStatusPath();
  UpdateDevicePage();
}

COLORREF TfmMain::TreeCustomDrawItem(LPARAM item, bool /*hasChildren*/) {
  switch (FModel->ItemColour(static_cast<int>(item), false)) {
    case TkvItemColour::Navy:
      return RGB(0, 0, 128);
    case TkvItemColour::Green:
      return RGB(0, 128, 0);
    case TkvItemColour::Default:
      break;
  }
  return CLR_INVALID;
}

void TfmMain::ShowRows() {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const kv::TkvPropertyRow& row : FModel->Rows()) rows.emplace_back(row.Caption, row.Value);
  FList.SetRows(rows);
  FList.FitLastColumn();
}

void TfmMain::UpdateStatusPath() { ShowStatus(FModel->StatusPath()); }

void TfmMain::ShowStatus(const std::string& text) {
  FStatusText = text;
  if (FShowingHint) return;  // it shows when the menu closes
  SendMessageA(FBar, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(text.c_str()));
  // A long path is cut at the panel's end: the whole text shows as its tip.
  SendMessageA(FBar, SB_SETTIPTEXTA, 1, reinterpret_cast<LPARAM>(text.c_str()));
}

void TfmMain::OnMenuSelect(WORD id, WORD flags, HMENU menu) {
  // The highlighted command's hint stands in the status bar while a menu is
  // open; the text it covers comes back when the menu closes.
  const bool closed = flags == 0xFFFF && !menu;
  const TkvAction* action = closed || (flags & (MF_POPUP | MF_SEPARATOR)) ? nullptr : FindAction(id);
  const char* hint = action && *action->Hint ? action->Hint : nullptr;
  if (hint) {
    FShowingHint = true;
    SendMessageA(FBar, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(hint));
  } else if (FShowingHint) {
    FShowingHint = false;
    ShowStatus(FStatusText);
  }
}

void TfmMain::UpdateDevicePage() {
  FPages.ShowTab(pgDevice, FModel->DevicePageVisible());
  if (FPages.TabVisible(pgDevice) && FPages.ActivePage() == pgDevice) pgDeviceShow();
}

void TfmMain::pgDeviceShow() {
  // FillPipeLists: the pipes of the component's selected device. The chosen
  // pipes stay chosen while the lists stay the same (a click on "Active"
  // shows the page again).
  const TkvPipeLists before = FPipePage->Lists();
  const LRESULT inChosen = SendMessageA(ePipeIn, CB_GETCURSEL, 0, 0);
  const LRESULT outChosen = SendMessageA(ePipeOut, CB_GETCURSEL, 0, 0);
  SendMessageA(ePipeIn, CB_RESETCONTENT, 0, 0);
  SendMessageA(ePipeOut, CB_RESETCONTENT, 0, 0);
  if (FModel->Stale()) return;
  // The lists' entries are in the order of the page's lists, each with its
  // pipe index attached; chActiveClick hands the selected positions back.
  const TkvPipeLists& lists = FPipePage->FillPipeLists();
  for (const auto& [list, entries] : {std::pair{ePipeIn, &lists.In}, std::pair{ePipeOut, &lists.Out}}) {
    for (const TkvPipeEntry& entry : *entries) {
      const LRESULT at = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.Text.c_str()));
      if (at >= 0) SendMessageA(list, CB_SETITEMDATA, static_cast<WPARAM>(at), entry.Index);
    }
  }
  if (lists.In == before.In && lists.Out == before.Out) {
    SendMessageA(ePipeIn, CB_SETCURSEL, static_cast<WPARAM>(inChosen), 0);
    SendMessageA(ePipeOut, CB_SETCURSEL, static_cast<WPARAM>(outChosen), 0);
  }
}

void TfmMain::chActiveClick() {
  const bool checked = SendMessageA(chActive, BM_GETCHECK, 0, 0) == BST_CHECKED;
  const int in = static_cast<int>(SendMessageA(ePipeIn, CB_GETCURSEL, 0, 0));
  const int out = static_cast<int>(SendMessageA(ePipeOut, CB_GETCURSEL, 0, 0));
  Guarded(
      FHandle,
      [&] {
        FPipePage->ActiveClick(checked, in, out);
        UpdateDevicePage();
      },
      [&] {
        // The check box shows whether the device itself is open.
        SendMessageA(chActive, BM_SETCHECK, FPipePage->CheckedAfterError() ? BST_CHECKED : BST_UNCHECKED, 0);
        UpdateDevicePage();
      });
}

// ---- commands ----------------------------------------------------------------------

TkvBrowserState TfmMain::State() const {
  TkvBrowserState s;
  s.DeviceSelected = FModel->DeviceSelected();
  s.Busy = FDebounce.Busy();
  s.Stale = FModel->Stale();
  s.RowCount = FList.Count();
  s.RowSelected = FList.SelectedIndex() >= 0;
  s.ComponentActive = kvUSB1->Active();
  s.RequestDescriptors = FRequestDescriptors;
  return s;
}

bool TfmMain::CommandEnabled(WORD id) const { return ActionEnabled(id, State()); }

void TfmMain::OnInitMenuPopup(HMENU menu) {
  const TkvBrowserState state = State();
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    const UINT id = GetMenuItemID(menu, i);
    if (!FindAction(static_cast<WORD>(id))) continue;
    EnableMenuItem(menu, id, MF_BYCOMMAND | (ActionEnabled(static_cast<WORD>(id), state) ? MF_ENABLED : MF_GRAYED));
    CheckMenuItem(menu, id, MF_BYCOMMAND | (ActionChecked(static_cast<WORD>(id), state) ? MF_CHECKED : MF_UNCHECKED));
  }
}

void TfmMain::OnContextMenu(HWND source, int x, int y) {
  HMENU menu = source == FTree.Handle() ? FTreePopup : (source == FList.Handle() ? FListPopup : nullptr);
  if (!menu) return;
  if (x == -1 && y == -1) {  // from the keyboard: below the focused control's top left
    RECT r;
    GetWindowRect(source, &r);
    x = r.left + Dpx(8);
    y = r.top + Dpx(8);
  }
  TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, x, y, 0, FHandle, nullptr);
}

void TfmMain::ExecuteCommand(WORD id) {
  // A short-cut runs only what its menu entry would.
  if (!FindAction(id) || !ActionEnabled(id, State())) return;
  switch (id) {
    case cmdReload: actReloadExecute(); break;
    case cmdExit: actExitExecute(); break;
    case cmdInstallDriver: actInstallDriverExecute(); break;
    case cmdUpdateDescriptors: actUpdateDescriptorsExecute(); break;
    case cmdCopy: actCopyExecute(); break;
    case cmdCopyAll: actCopyAllExecute(); break;
    case cmdRequestDescriptors: actRequestDescriptorsExecute(); break;
    case cmdEject: actEjectExecute(); break;
    case cmdWebHome: actWebHomeExecute(); break;
    case cmdEnable: actEnableExecute(); break;
    case cmdDisable: actDisableExecute(); break;
    case cmdReset: actResetExecute(); break;
    case cmdSaveMachineDescription: actSaveMachineDescriptionExecute(); break;
    case cmdAbout: About1Click(); break;
    default: break;
  }
}

void TfmMain::actUpdateDescriptorsExecute() {
  TkvBusyScope busy(FDebounce);
  TWaitCursor wait(FWaitCursor);
  if (FModel->ReloadDescriptors()) ShowRows();
}

void TfmMain::actRequestDescriptorsExecute() { FRequestDescriptors = !FRequestDescriptors; }

void TfmMain::actCopyExecute() {
  const int row = FList.SelectedIndex();
  if (row < 0) return;
  kv::SetClipboardText(reinterpret_cast<kv::HWND>(FHandle), FModel->CopyText(row));
}

void TfmMain::actCopyAllExecute() {
  const std::string text = FModel->CopyAllText();
  if (ClipboardWorthy(text)) kv::SetClipboardText(reinterpret_cast<kv::HWND>(FHandle), text);
}

void TfmMain::actWebHomeExecute() { OpenLink(FHandle, kLibraryHomePage); }

void TfmMain::About1Click() { ShowAbout(FHandle); }

void TfmMain::actExitExecute() { PostMessageA(FHandle, WM_CLOSE, 0, 0); }

// Enable, Disable, Reset and Eject only ask: the system's device-change
// report reloads the tree. TkvUSB keeps a failed action's error, which the
// status bar shows.
void TfmMain::actEnableExecute() {
  kvUSB1->Enable();
  ShowActionOutcome(cmdEnable);
}
void TfmMain::actDisableExecute() {
  kvUSB1->Disable();
  ShowActionOutcome(cmdDisable);
}
void TfmMain::actResetExecute() {
  kvUSB1->Reset();
  ShowActionOutcome(cmdReset);
}
void TfmMain::actEjectExecute() {
  kvUSB1->Eject();
  ShowActionOutcome(cmdEject);
}

void TfmMain::ShowActionOutcome(WORD id) {
  if (kvUSB1->LastActionOk()) return;
  const TkvAction* action = FindAction(id);
  ShowStatus(std::string(action ? action->Caption : "Device action") + " failed: " +
             kv::SetupFailureText(kvUSB1->LastActionError()));
}

void TfmMain::actInstallDriverExecute() {
  if (MessageBoxA(FHandle, kInstallQuestion, kWarning, MB_YESNO | MB_ICONWARNING) != IDYES) return;
  {
    TkvBusyScope busy(FDebounce);
    TWaitCursor wait(FWaitCursor);
    kvUsbDriver1->InstallDriver();
  }
  actReloadExecute();
}

// The capture refreshes a topology of its own through a recorder: the tree,
// its selection and kvUSB1's list keep theirs. The status bar says where the
// description went, how many serial numbers it hides, or why it failed.
void TfmMain::actSaveMachineDescriptionExecute() {
  const std::string file = AskFileName ? AskFileName(FHandle) : std::string();
  if (file.empty()) return;
  TkvSaveOutcome outcome;
  {
    TkvBusyScope busy(FDebounce);
    TWaitCursor wait(FWaitCursor);
    UpdateWindow(FHandle);  // what the dialog covered, before the refresh
    outcome = SaveMachineDescription(file, FRequestDescriptors);
  }
  ShowStatus(SaveOutcomeText(outcome));
}

// ---- device changes -------------------------------------------------------------

void TfmMain::WMDeviceChange(WPARAM wParam, LPARAM lParam) {
  if (!FDebounce.Arrived()) return;
  kv::TMessage message{WM_DEVICECHANGE, static_cast<kv::WPARAM>(wParam), static_cast<kv::LPARAM>(lParam), 0};
  if (kvUSB1->DeviceChangeMessage(message)) {
    FDebounce.Qualified();
    // The component dropped the records the tree shows: nothing reaches them
    // until the reload.
    UpdateStatusPath();
    UpdateDevicePage();
    InvalidateRect(FTree.Handle(), nullptr, TRUE);
  }
}

void TfmMain::tmDeviceChangeTimer() {
  if (FDebounce.TimerFired()) actReloadExecute();
}

void TfmMain::Start(DWORD interval) { SetTimer(FHandle, tmDeviceChange, interval, nullptr); }

void TfmMain::Stop() { KillTimer(FHandle, tmDeviceChange); }

void TfmMain::Recover() {
  // A raising handler: FBusy went with its scope; the cursor comes back.
  FWaitCursor = false;
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
  FTree.OnChange = [this](LPARAM item) { TreeChange(item); };
  SendMessageA(FTree.Handle(), WM_SETREDRAW, TRUE, 0);
}

// ---- the splitter ---------------------------------------------------------------

bool TfmMain::OnSetCursor(HWND window, UINT hitTest) {
  if (FWaitCursor) {
    SetCursor(LoadCursor(nullptr, IDC_WAIT));
    return true;
  }
  if (window == FHandle && hitTest == HTCLIENT) {
    POINT p;
    GetCursorPos(&p);
    ScreenToClient(FHandle, &p);
    RECT tree;
    GetWindowRect(FTree.Handle(), &tree);
    MapWindowPoints(nullptr, FHandle, reinterpret_cast<POINT*>(&tree), 2);
    if (p.x >= tree.right && p.y >= tree.top && p.y < tree.bottom) {
      SetCursor(LoadCursor(nullptr, IDC_SIZEWE));
      return true;
    }
  }
  return false;
}

void TfmMain::OnMouseDown(int x) {
  RECT tree;
  GetWindowRect(FTree.Handle(), &tree);
  MapWindowPoints(nullptr, FHandle, reinterpret_cast<POINT*>(&tree), 2);
  if (x < tree.right) return;
  FDragging = true;
  SetCapture(FHandle);
}

void TfmMain::OnMouseMove(int x) {
  if (!FDragging) return;
  RECT client;
  GetClientRect(FHandle, &client);
  FTreeWidth = ClampTreeWidth(x, client.right, ScreenDpi());
  Layout();
  pnLeftResize();
}

void TfmMain::OnMouseUp() {
  if (!FDragging) return;
  FDragging = false;
  ReleaseCapture();
}

void TfmMain::OnGetMinMaxInfo(MINMAXINFO* info) {
  const TkvSize min = MainMinSize(ScreenDpi());
  info->ptMinTrackSize.x = min.Width;
  info->ptMinTrackSize.y = min.Height;
}

// ---- the message cracker --------------------------------------------------------

LRESULT TfmMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateControls();
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_APP:  // a page changed its size
      if (reinterpret_cast<HWND>(lParam) == FDevicePage.Handle()) PlaceDevicePage();
      else if (reinterpret_cast<HWND>(lParam) == FGeneralPage.Handle()) {
        RECT r;
        GetClientRect(FGeneralPage.Handle(), &r);
        MoveWindow(FList.Handle(), 0, 0, r.right, r.bottom, TRUE);
        FList.FitLastColumn();
      } else if (reinterpret_cast<HWND>(lParam) == FTerminalPage.Handle()) {
        RECT r;
        GetClientRect(FTerminalPage.Handle(), &r);
        Place(eTerminal, TerminalEditRect(r.right, r.bottom, ScreenDpi()));
      } else if (reinterpret_cast<HWND>(lParam) == FHexPage.Handle()) {
        RECT r;
        GetClientRect(FHexPage.Handle(), &r);
        Place(FHexLabel, HexLabelRect(r.right, r.bottom, ScreenDpi()));
      }
      return 0;
    case WM_GETMINMAXINFO:
      OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
      return 0;
    case WM_COMMAND:
      if (lParam != 0 && reinterpret_cast<HWND>(lParam) == chActive) {
        if (HIWORD(wParam) == BN_CLICKED) chActiveClick();
      } else if (lParam == 0 || HIWORD(wParam) == 0) {
        if (LOWORD(wParam) >= cmdFirst) ExecuteCommand(LOWORD(wParam));
      } else if (reinterpret_cast<HWND>(lParam) == kvDeviceBox1->Handle()) {
        kvDeviceBox1->OnCommand(HIWORD(wParam));
      }
      return 0;
    case WM_INITMENUPOPUP:
      OnInitMenuPopup(reinterpret_cast<HMENU>(wParam));
      return 0;
    case WM_MENUSELECT:
      OnMenuSelect(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HMENU>(lParam));
      return 0;
    case WM_CONTEXTMENU:
      OnContextMenu(reinterpret_cast<HWND>(wParam), static_cast<short>(LOWORD(lParam)),
                    static_cast<short>(HIWORD(lParam)));
      return 0;
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam))) return TRUE;
      return Default(message, wParam, lParam);
    case WM_LBUTTONDOWN:
      OnMouseDown(static_cast<short>(LOWORD(lParam)));
      return 0;
    case WM_MOUSEMOVE:
      OnMouseMove(static_cast<short>(LOWORD(lParam)));
      return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
      OnMouseUp();
      return 0;
    case WM_DEVICECHANGE:
      WMDeviceChange(wParam, lParam);
      return TRUE;
    case WM_TIMER:
      if (wParam == tmDeviceChange) tmDeviceChangeTimer();
      return 0;
    case WM_CLOSE:
      FormClose();
      DestroyWindow(FHandle);
      return 0;
    case WM_DESTROY:
      KillTimer(FHandle, tmDeviceChange);
      PostQuitMessage(0);
      return 0;
    default:
      return TWindow::HandleMessage(message, wParam, lParam);
  }
}

}  // namespace quorvex::win
