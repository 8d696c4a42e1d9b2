#include "winwindow.h"

#include <cassert>

namespace quorvex::win {

namespace {


}  // namespace

const char* const kErrorCaption = "Quorvex";

void ShowErrorMessage(HWND owner, const std::string& message) {
  MessageBoxA(owner, message.c_str(), kErrorCaption, MB_OK | MB_ICONERROR);
}

int ScreenDpi() {
  static const int dpi = [] {
    HDC screen = GetDC(nullptr);
    const int value = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return value > 0 ? value : 96;
  }();
  return dpi;
}

// ---- controls -------------------------------------------------------------

// A control keeps its object in GWLP_USERDATA, which the common controls
// leave to the application: a notification per tree item (a reload deletes
// thousands) then finds it without asking the window manager.
TControl* TControl::FromHandle(HWND window) {
  return window ? reinterpret_cast<TControl*>(GetWindowLongPtrA(window, GWLP_USERDATA)) : nullptr;
}

void TControl::Attach(HWND window) {
  FHandle = window;
  if (window) SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

// ---- windows --------------------------------------------------------------

TWindow::~TWindow() {
  if (FHandle) {
    SetWindowLongPtrA(FHandle, GWLP_USERDATA, 0);
    DestroyWindow(FHandle);
  }
}

HWND TWindow::CreateFrame(const char* className, const char* caption, ::DWORD style, ::DWORD exStyle, int x, int y,
                          int width, int height, HWND parent, HMENU menu, HICON icon) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA cls{};
  if (!GetClassInfoExA(instance, className, &cls)) {
    cls = {};
    cls.cbSize = sizeof cls;
    cls.style = CS_DBLCLKS;
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = instance;
    cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = className;
    cls.hIcon = icon;
    cls.hIconSm = icon;
    if (!RegisterClassExA(&cls)) return nullptr;
  }
  return CreateWindowExA(exStyle, className, caption, style, x, y, width, height, parent, menu, instance, this);
}

LRESULT TWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NOTIFY) return ReflectNotify(reinterpret_cast<NMHDR*>(lParam));
  return Default(message, wParam, lParam);
}

LRESULT TWindow::ReflectNotify(NMHDR* header) {
  TControl* control = header ? TControl::FromHandle(header->hwndFrom) : nullptr;
  // Only a control of this window answers for it.
  if (control && GetParent(header->hwndFrom) == FHandle) return control->OnNotifyReflect(header);
  return 0;
}

LRESULT CALLBACK TWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    assert(self && self->FHandle == nullptr);
    self->FHandle = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    self->FHandle = nullptr;
    return DefWindowProcA(window, message, wParam, lParam);
  }
  LRESULT result = 0;
  Guarded(
      window, [&] { result = self->HandleMessage(message, wParam, lParam); }, [&] { self->Recover(); });
  return result;
}

void DispatchOne(HWND mainWindow, HACCEL accelerators, MSG& message) {
  if (accelerators && mainWindow && IsWindowEnabled(mainWindow) &&
      (message.hwnd == mainWindow || IsChild(mainWindow, message.hwnd)) &&
      TranslateAcceleratorA(mainWindow, accelerators, &message))
    return;
  HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  if (root && IsDialogMessageA(root, &message)) return;
  TranslateMessage(&message);
  DispatchMessageA(&message);
}

int RunMessageLoop(HWND mainWindow, HACCEL accelerators) {
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) DispatchOne(mainWindow, accelerators, message);
  return got == 0 ? static_cast<int>(message.wParam) : 1;
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, '\0');
  const int got = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

}  // namespace quorvex::win
