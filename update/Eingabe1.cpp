#include "Eingabe1.h"

#include "UpdateRes.h"

namespace update::win {

bool TEingabe::Execute(HWND owner, std::string& folder) {
  std::string entered = folder;
  const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_EINGABE), owner,
                                         DialogProc, reinterpret_cast<LPARAM>(&entered));
  if (result != IDOK) return false;
  folder = entered;
  return true;
}

INT_PTR CALLBACK TEingabe::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      const auto* folder = reinterpret_cast<const std::string*>(lParam);
      SetDlgItemTextA(dialog, IDC_EEINGABE, folder->c_str());
      HWND hints = CreateHints(dialog);
      AddHint(hints, dialog, dialog, IDS_HINT_EINGABE);
      AddHint(hints, dialog, GetDlgItem(dialog, IDOK), IDS_HINT_OK);
      AddHint(hints, dialog, GetDlgItem(dialog, IDABORT), IDS_HINT_ABBRECHEN);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          auto* folder = reinterpret_cast<std::string*>(GetWindowLongPtrW(dialog, DWLP_USER));
          *folder = WindowTextAnsi(GetDlgItem(dialog, IDC_EEINGABE));
          EndDialog(dialog, IDOK);
          return TRUE;
        }
        case IDABORT:
        case IDCANCEL:  // the close box and Esc
          EndDialog(dialog, LOWORD(wParam));
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace update::win
