// The browser's main window, TfmMain: the device tree, the property list, the
// "USB Device" page, the menus and commands, and the device-change refresh.
//
// Thin by design: what the tree and the list show, the status path, every
// enabled rule, the debounce of device-change reports and the layout come
// from the portable model (quorvex/app); this class only puts them on screen
// and turns messages into the model's calls.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "actions.h"
#include "browsermodel.h"
#include "devicechange.h"
#include "layout.h"
#include "kvedit.h"
#include "kvusb.h"
#include "kvusbdriver.h"
#include "kvusbpipe.h"
#include "pipepage.h"
#include "wincontrols.h"
#include "winwindow.h"

namespace quorvex {
class TOptions;
}

namespace quorvex::win {

class TDeviceBox;

// A plain child window that holds a page's controls and hands their commands
// and notifications on to the main window.
class TPanel : public TWindow {
 public:
  HWND Create(HWND parent, HWND target);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  HWND FTarget = nullptr;
};

class TfmMain : public TWindow, private TkvTimerPort {
 public:
  // Options: the window settings; must outlive the window.
  explicit TfmMain(TOptions& options);
  ~TfmMain() override;

  // Creates the window (FormCreate), shows it and runs its show event (the
  // first reload). False when the window cannot be created.
  bool Create(int show);
  HACCEL Accelerators() const { return FAccelerators; }

  // What tests and the benchmark look at.
  TkvBrowserModel& Model() { return *FModel; }
  kv::TkvUSB& Usb() { return *kvUSB1; }
  kv::TkvUSBPipePair& PipePair() { return *kvUSBPipePair1; }
  HWND PipeInList() const { return ePipeIn; }
  HWND PipeOutList() const { return ePipeOut; }
  HWND ActiveBox() const { return chActive; }
  HWND Terminal() const { return eTerminal; }
  TTreeView& Tree() { return FTree; }
  TListView& List() { return FList; }
  HWND StatusBar() const { return FBar; }
  HWND DeviceBox() const;
  TTabs& Pages() { return FPages; }
  HMENU TreePopup() const { return FTreePopup; }
  HMENU ListPopup() const { return FListPopup; }
  bool Busy() const { return FDebounce.Busy(); }
  int ReloadCount() const { return FReloadCount; }
  // Whether a command is enabled now (as its menus show it).
  bool CommandEnabled(WORD id) const;
  // The time the last reload spent refreshing the topology and filling the
  // tree (clearing it included; also apart), in seconds.
  double LastRefreshSeconds() const { return FLastRefresh; }
  double LastFillSeconds() const { return FLastFill; }
  double LastClearSeconds() const { return FLastClear; }

  // The window's commands (also reachable by WM_COMMAND).
  void actReloadExecute();
  void ExecuteCommand(WORD id);

  // Asks where "Save Machine Description ..." writes; "" when the user
  // cancels. The standard Save As dialog (AskDescriptionFile); a test puts a
  // function here that answers without a dialog.
  std::function<std::string(HWND owner)> AskFileName;

  static constexpr int pgGeneral = 0;
  static constexpr int pgDevice = 1;

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void Recover() override;

 private:
  // TkvTimerPort: tmDeviceChange.
  void Start(DWORD interval) override;
  void Stop() override;

  void FormCreate();
  void FormClose();
  void CreateControls();
  void CreateDevicePage();
  void CreateMenus();
  void Layout();
  void PlaceDevicePage();
  void pnLeftResize();

  void TreeChange(LPARAM item);
  COLORREF TreeCustomDrawItem(LPARAM item, bool hasChildren);
  void ShowRows();
  void UpdateStatusPath();
  // The text of the status bar's second panel, also as its tip.
  void ShowStatus(const std::string& text);
  // A device action that failed says why in the status bar; the next
  // selection shows the path again.
  void ShowActionOutcome(WORD id);
  void UpdateDevicePage();

  void actUpdateDescriptorsExecute();
  void actRequestDescriptorsExecute();
  void actCopyExecute();
  void actCopyAllExecute();
  void actWebHomeExecute();
  void About1Click();
  void actExitExecute();
  void actEnableExecute();
  void actDisableExecute();
  void actResetExecute();
  void actEjectExecute();
  void actInstallDriverExecute();
  void actSaveMachineDescriptionExecute();
  void pgDeviceShow();
  void chActiveClick();

  void WMDeviceChange(WPARAM wParam, LPARAM lParam);
  void tmDeviceChangeTimer();

  TkvBrowserState State() const;
  void OnInitMenuPopup(HMENU menu);
  void OnMenuSelect(WORD id, WORD flags, HMENU menu);
  void OnContextMenu(HWND source, int x, int y);
  bool OnSetCursor(HWND window, UINT hitTest);
  void OnMouseDown(int x);
  void OnMouseMove(int x);
  void OnMouseUp();
  void OnGetMinMaxInfo(MINMAXINFO* info);

  TOptions& FOptions;
  kv::TComponent FForm{nullptr};  // owns the window's components
  kv::TkvUSB* kvUSB1 = nullptr;
  kv::TkvUSBPipePair* kvUSBPipePair1 = nullptr;
  kv::TkvUsbDriver* kvUsbDriver1 = nullptr;
  kv::TkvEdit* FTerminalEdit = nullptr;  // eTerminal as the pair's terminal
  std::unique_ptr<TkvPipePage> FPipePage;
  std::unique_ptr<TkvBrowserModel> FModel;
  TkvDeviceChangeDebounce FDebounce{*this};
  bool FRequestDescriptors = false;  // the check mark of actRequestDescriptors

  TTreeView FTree;
  TListView FList;
  TTabs FPages;
  TPanel FGeneralPage, FDevicePage;
  HWND FBar = nullptr;
  std::unique_ptr<TDeviceBox> kvDeviceBox1;
  HWND FDeviceLabel = nullptr, FBevel = nullptr, FPipeInLabel = nullptr, ePipeIn = nullptr;
  HWND FPipeOutLabel = nullptr, ePipeOut = nullptr, chActive = nullptr, FButton1 = nullptr;
  TTabs FTerminalPages;
  TPanel FTerminalPage, FHexPage;
  HWND eTerminal = nullptr, FHexLabel = nullptr;

  HMENU FMainMenu = nullptr, FTreePopup = nullptr, FListPopup = nullptr;
  HACCEL FAccelerators = nullptr;

  std::string FStatusText;    // what the status bar's second panel says
  bool FShowingHint = false;  // a menu entry's hint covers it
  int FTreeWidth = 0;
  bool FDragging = false;
  bool FWaitCursor = false;
  int FReloadCount = 0;
  double FLastRefresh = 0, FLastFill = 0, FLastClear = 0;
};

// The standard Save As dialog for a machine description: "machine.json"
// first, JSON files or all files, the extension added when none is typed, an
// existing file replaced only when the user says so. "" when cancelled.
std::string AskDescriptionFile(HWND owner);

// The hourglass for the life of a long command; Recover also ends it.
class TWaitCursor {
 public:
  explicit TWaitCursor(bool& flag);
  ~TWaitCursor();
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;

 private:
  bool& FFlag;
};

}  // namespace quorvex::win
