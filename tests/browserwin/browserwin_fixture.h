// What the browser's window test and its screenshot program share: a browser
// window on a fresh copy of the demo machine, opened as the program opens
// it, the message pump that drives it, dialogs and menus answered from
// inside their modal loops, and tree items found by their text.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "global.h"
#include "main_frm.h"
#include "sim/kvsimmachine.h"

namespace browserwin {

using quorvex::win::TfmMain;

// Dispatches the thread's messages, through the program's loop steps (the
// window's accelerators, dialog keys), for the given time. Window may be none.
void Pump(TfmMain* window, int milliseconds);
// Pumps until done() holds or limitMs have passed (a loaded machine may be
// slow, never the test's reason to fail); whether it held.
bool PumpUntil(TfmMain* window, const std::function<bool()>& done, int limitMs = 3000);

// A fresh copy of the demo machine, installed for the run's life, and the
// main window on it. Closing (or the end of the run) destroys the window,
// serves what it left in the queue and drops the topology before the
// machine goes.
class TBrowserRun {
 public:
  TBrowserRun();
  ~TBrowserRun();
  TBrowserRun(const TBrowserRun&) = delete;
  TBrowserRun& operator=(const TBrowserRun&) = delete;

  // Creates and shows the window with Options (which must outlive it), runs
  // its first reload and serves its first messages. Throws when the window
  // cannot be created.
  TfmMain& Open(quorvex::TOptions& options);
  void Close();
  kv::TkvSimMachine& Machine() { return *FMachine; }
  TfmMain* Window() { return FWindow.get(); }

 private:
  std::unique_ptr<kv::TkvSimMachine> FMachine;
  std::unique_ptr<kv::TkvMachineScope> FScope;
  std::unique_ptr<TfmMain> FWindow;
};

// Runs the bodies, one after the other, on the windows of class Cls ("#32770"
// dialog boxes and message boxes, "#32768" menus) of this thread as they
// show: a modal window runs its own loop, where a timer of the thread still
// fires. A body runs once its window has been seen for Settle ms (time to
// draw it), and must close its window.
class TOnModal {
 public:
  using TBody = std::function<void(HWND)>;
  explicit TOnModal(TBody body, const char* cls = "#32770", int settle = 0);
  explicit TOnModal(std::vector<TBody> bodies, const char* cls = "#32770", int settle = 0);
  ~TOnModal();
  TOnModal(const TOnModal&) = delete;
  TOnModal& operator=(const TOnModal&) = delete;
  bool Ran() const { return FNext == FBodies.size(); }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
  std::vector<TBody> FBodies;
  std::string FClass;
  int FSettle;
  std::size_t FNext = 0;
  HWND FLast = nullptr, FSeen = nullptr;
  DWORD FSeenAt = 0;
  UINT_PTR FTimer = 0;
};

// The static texts of a message box or dialog, one per line.
std::string DialogText(HWND dialog);

// The first item below Item (its siblings included) whose text is Text.
HTREEITEM FindItem(HWND tree, HTREEITEM item, const std::string& text);

}  // namespace browserwin
