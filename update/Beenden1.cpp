#include "Beenden1.h"

#include "UpdateRes.h"

namespace update::win {

namespace {

UINT ResultText(TRunResult result) {
  switch (result) {
    case TRunResult::NewerInstalled:
      return IDS_RESULT_NEWER;
    case TRunResult::NotInstalled:
      return IDS_RESULT_NOT_INSTALLED;
    case TRunResult::Installed:
      break;
  }
  return IDS_RESULT_INSTALLED;
}

}  // namespace

bool TBeenden::Execute(HWND owner, TRunResult result) {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_BEENDEN), owner, DialogProc,
                         static_cast<LPARAM>(ResultText(result))) == IDC_BTNBEENDEN;
}

INT_PTR CALLBACK TBeenden::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextW(dialog, IDC_LINFO, LoadText(static_cast<UINT>(lParam)).c_str());
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BTNBEENDEN:  // BtnBeendenClick: the program ends
        case IDCANCEL:        // the close box and Esc: back to the main window
          EndDialog(dialog, LOWORD(wParam));
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace update::win
