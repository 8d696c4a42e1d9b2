// The update installer: one main window and its message loop.
#include "Main1.h"

#include <commctrl.h>
#include <objbase.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  // The shell's file operation (recycle bin included) wants COM on this thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  int exitCode = 1;
  {
    update::win::TMain main(instance);
    if (main.Create(show)) {
      MSG message;
      BOOL got;
      while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (main.Handle() != nullptr && IsDialogMessageW(main.Handle(), &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      exitCode = got == 0 ? static_cast<int>(message.wParam) : 1;
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return exitCode;
}
