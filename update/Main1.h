// The installer's main window: the description's title and version over the
// background picture, the install and cancel buttons, and the progress of a
// run. It owns the program's one TUpdateData.
#pragma once

#include <string>

#include "ConstVar1.h"
#include "JpegImage.h"
#include "UpdateRun.h"
#include "UpdateWin.h"

namespace update::win {

class TMain : public TUpdateUser {
 public:
  explicit TMain(HINSTANCE instance);
  ~TMain() override;
  TMain(const TMain&) = delete;
  TMain& operator=(const TMain&) = delete;

  // Creates the window, centred on the screen, and shows it.
  bool Create(int show);
  HWND Handle() const { return FWindow; }

  // TUpdateUser
  bool AskFolder(std::string& folder) override;
  void BeginWork() override;
  void SetProgress(double position) override;
  kv::HWND Window() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void FormCreate();
  void BtnInstallierenClick();
  void BtnAbbrechenClick();
  void Quit();

  void PlaceControls();
  void SetLabel(int id, const std::wstring& text);
  void PaintBackground(HDC dc);
  HWND Item(int id) const { return GetDlgItem(FWindow, id); }

  HINSTANCE FInstance;
  HWND FWindow = nullptr;
  HFONT FTitleFont = nullptr;
  HFONT FVersionFont = nullptr;
  HFONT FTextFont = nullptr;
  TJpegImage FBackground;
  TUpdateData FData;
  std::string FEnteredFolder;  // the folder dialog shows the last entry again
};

}  // namespace update::win
