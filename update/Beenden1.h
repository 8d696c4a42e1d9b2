// The result dialog that ends every install run.
#pragma once

#include "UpdateRun.h"
#include "UpdateWin.h"

namespace update::win {

class TBeenden {
 public:
  // Shows the result modally, centred on the screen. True when the user
  // pressed "Beenden" (the program then ends); false for the close box, which
  // leads back to the main window.
  static bool Execute(HWND owner, TRunResult result);

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
};

}  // namespace update::win
