// The browser's small window skeleton.
//
// A window object owns its HWND. One static procedure takes `this` from the
// CREATESTRUCT at WM_NCCREATE and keeps it in GWLP_USERDATA; every later
// message goes to the object's HandleMessage, which cracks each message once
// into a named handler. WM_NOTIFY goes back to the control object that sent
// it (ReflectNotify).
//
// No C++ exception crosses a window procedure, timer, menu or dialog handler:
// the boundary catches it, lets the window restore its state (Recover: the
// busy flag and the cursor), then shows the message in a message box, as the
// application's default error display would.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <commctrl.h>

#include <string>

namespace quorvex::win {

// The caption of the error display's message boxes.
extern const char* const kErrorCaption;

// The application's default error display.
void ShowErrorMessage(HWND owner, const std::string& message);

// Runs body; an exception that leaves it is shown with ShowErrorMessage after
// recover() has run. Returns whether body ended normally.
template <class TBody, class TRecover>
bool Guarded(HWND owner, TBody&& body, TRecover&& recover) noexcept {
  std::string message;
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error.";
  }
  try {
    recover();
  } catch (...) {
  }
  try {
    ShowErrorMessage(owner, message);
  } catch (...) {
  }
  return false;
}

// The screen's DPI, read once at start: the program is system-DPI aware, so
// every pixel value of the windows is scaled from 96 by this.
int ScreenDpi();
inline int Dpx(int pixels) { return MulDiv(pixels, ScreenDpi(), 96); }

// The window object under a control: TControl subclasses it only to get its
// notifications back.
class TControl {
 public:
  virtual ~TControl() = default;
  HWND Handle() const { return FHandle; }
  // A WM_NOTIFY sent by this control to its parent. Returns the result.
  virtual LRESULT OnNotifyReflect(NMHDR* header) {
    (void)header;
    return 0;
  }
  // Finds the control object of a child window made with Attach.
  static TControl* FromHandle(HWND window);

 protected:
  // Remembers window as this control's handle and links it to this object.
  void Attach(HWND window);
  HWND FHandle = nullptr;
};

class TWindow {
 public:
  TWindow() = default;
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;
  virtual ~TWindow();

  HWND Handle() const { return FHandle; }

 protected:
  // Registers the class once (the static procedure below) and creates the
  // window with this object as its creation parameter.
  HWND CreateFrame(const char* className, const char* caption, ::DWORD style, ::DWORD exStyle, int x, int y,
                   int width, int height, HWND parent, HMENU menu, HICON icon);

  // The message cracker. Unhandled messages go to DefWindowProc.
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Called before the error display when a handler raised.
  virtual void Recover() {}
  // WM_NOTIFY: given to the sender's control object when it has one.
  LRESULT ReflectNotify(NMHDR* header);
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(FHandle, message, wParam, lParam);
  }

  HWND FHandle = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

// Runs the message loop of the thread: accelerators of the main window, then
// the dialog keys of the message's top-level window, then translate and
// dispatch. Returns the exit code of WM_QUIT.
int RunMessageLoop(HWND mainWindow, HACCEL accelerators);
// One message through that loop's steps.
void DispatchOne(HWND mainWindow, HACCEL accelerators, MSG& message);

// Text of a window as 8-bit text.
std::string WindowText(HWND window);

}  // namespace quorvex::win
