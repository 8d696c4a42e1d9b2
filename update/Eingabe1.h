// "Programm nicht gefunden !": asks for the installation folder when the
// registry does not know it.
#pragma once

#include <string>

#include "UpdateWin.h"

namespace update::win {

class TEingabe {
 public:
  // Shows the dialog modally, centred on the screen, with Folder as the edit
  // field's text. True, with the entered folder in Folder, when the user
  // pressed "Ok"; "Abbrechen" and the close box leave Folder as it was.
  static bool Execute(HWND owner, std::string& folder);

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
};

}  // namespace update::win
