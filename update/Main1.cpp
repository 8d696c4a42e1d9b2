#include "Main1.h"

#include <cmath>
#include <exception>

#include "Beenden1.h"
#include "Eingabe1.h"
#include "Functions1.h"
#include "UpdateRes.h"

#include <commctrl.h>

namespace update::win {

namespace {

// The client area and the places below are designed at 96 DPI and scaled to
// the screen's (Scaled); the picture is stretched over the client area.
constexpr int ClientWidth = 540;
constexpr int ClientHeight = 378;
const LPCWSTR RawData = MAKEINTRESOURCEW(10);  // RT_RCDATA

// Where the controls sit on the picture, in pixels of the client area at 96 DPI.
struct TPlace {
  int Id;
  RECT Bounds;
};
constexpr TPlace Places[] = {
    {IDC_LUPDATE, {24, 34, 516, 74}},
    {IDC_LVERSION, {26, 80, 516, 104}},
    {IDC_LLADEN, {24, 236, 516, 256}},
    {IDC_PROGRESSBARLADEN, {24, 260, 516, 280}},
    {IDC_BTNINSTALLIEREN, {300, 316, 404, 344}},
    {IDC_BTNABBRECHEN, {412, 316, 516, 344}},
};

// Height in pixels at 96 DPI.
HFONT ArialFont(int height, int weight) {
  return CreateFontW(-Scaled(height), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");
}

// The application's default error display: the message in a message box.
void ShowError(HWND owner, const std::wstring& message) {
  MessageBoxW(owner, message.c_str(), LoadText(IDS_ERROR_CAPTION).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace

TMain::TMain(HINSTANCE instance) : FInstance(instance) {}

TMain::~TMain() {
  if (FWindow != nullptr) DestroyWindow(FWindow);
  for (HFONT font : {FTitleFont, FVersionFont, FTextFont}) {
    if (font != nullptr) DeleteObject(font);
  }
}

bool TMain::Create(int show) {
  FWindow = CreateDialogParamW(FInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProc,
                               reinterpret_cast<LPARAM>(this));
  if (FWindow == nullptr) return false;
  ShowWindow(FWindow, show);
  UpdateWindow(FWindow);
  return true;
}

INT_PTR CALLBACK TMain::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<TMain*>(lParam);
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    self->FWindow = dialog;
  }
  auto* self = reinterpret_cast<TMain*>(GetWindowLongPtrW(dialog, DWLP_USER));
  return self != nullptr ? self->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR TMain::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      FormCreate();
      return TRUE;
    case WM_ERASEBKGND:
      PaintBackground(reinterpret_cast<HDC>(wParam));
      SetWindowLongPtrW(FWindow, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_PRINTCLIENT:  // themed controls ask for what lies behind them
      PaintBackground(reinterpret_cast<HDC>(wParam));
      return TRUE;
    case WM_CTLCOLORSTATIC: {
      // The labels are white text straight on the picture.
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, RGB(255, 255, 255));
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    }
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
          case IDC_BTNINSTALLIEREN:
            BtnInstallierenClick();
            return TRUE;
          case IDC_BTNABBRECHEN:
            BtnAbbrechenClick();
            return TRUE;
        }
      }
      break;
    case WM_CLOSE:  // the close box ends the program as a main window does
      DestroyWindow(FWindow);
      return TRUE;
    case WM_DESTROY:
      PostQuitMessage(0);
      return TRUE;
    case WM_NCDESTROY:
      FWindow = nullptr;
      return FALSE;
  }
  return FALSE;
}

void TMain::FormCreate() {
  FTitleFont = ArialFont(30, FW_BOLD);
  FVersionFont = ArialFont(17, FW_BOLD);
  FTextFont = ArialFont(14, FW_NORMAL);
  SendMessageW(Item(IDC_LUPDATE), WM_SETFONT, reinterpret_cast<WPARAM>(FTitleFont), FALSE);
  SendMessageW(Item(IDC_LVERSION), WM_SETFONT, reinterpret_cast<WPARAM>(FVersionFont), FALSE);
  SendMessageW(Item(IDC_LLADEN), WM_SETFONT, reinterpret_cast<WPARAM>(FTextFont), FALSE);
  SendMessageW(Item(IDC_PROGRESSBARLADEN), PBM_SETRANGE32, 0, static_cast<LPARAM>(ProgressMax));
  PlaceControls();

  if (HRSRC resource = FindResourceW(FInstance, MAKEINTRESOURCEW(IDR_BACKGROUND), RawData)) {
    if (HGLOBAL data = LoadResource(FInstance, resource)) {
      DecodeJpeg(LockResource(data), SizeofResource(FInstance, resource), FBackground);
    }
  }

  HWND hints = CreateHints(FWindow);
  AddHint(hints, FWindow, Item(IDC_LLADEN), IDS_HINT_LLADEN);
  AddHint(hints, FWindow, Item(IDC_BTNINSTALLIEREN), IDS_HINT_INSTALLIEREN);

  ShowWindow(Item(IDC_LLADEN), SW_HIDE);
  ShowWindow(Item(IDC_PROGRESSBARLADEN), SW_HIDE);
  if (const auto title = ReadDescription(FData)) SetLabel(IDC_LUPDATE, AnsiToWide(*title));
  SetLabel(IDC_LVERSION, LoadText(IDS_VERSION_PREFIX) + AnsiToWide(FData.UpdateVersion));
}

void TMain::PlaceControls() {
  const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(FWindow, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(FWindow, GWL_EXSTYLE));
  RECT frame{0, 0, Scaled(ClientWidth), Scaled(ClientHeight)};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  SetWindowPos(FWindow, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  for (const TPlace& place : Places) {
    const RECT& r = place.Bounds;
    MoveWindow(Item(place.Id), Scaled(r.left), Scaled(r.top), Scaled(r.right) - Scaled(r.left),
               Scaled(r.bottom) - Scaled(r.top), FALSE);
  }
}

void TMain::SetLabel(int id, const std::wstring& text) {
  HWND label = Item(id);
  SetWindowTextW(label, text.c_str());
  // A transparent label does not clear its old text: the picture behind it
  // has to be painted again first.
  RECT bounds;
  GetWindowRect(label, &bounds);
  MapWindowPoints(nullptr, FWindow, reinterpret_cast<POINT*>(&bounds), 2);
  RedrawWindow(FWindow, &bounds, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TMain::PaintBackground(HDC dc) {
  RECT client;
  GetClientRect(FWindow, &client);
  if (FBackground.Pixels.empty()) {
    // Without its picture the window stays dark, so the white labels can be read.
    HBRUSH brush = CreateSolidBrush(RGB(16, 48, 88));
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    return;
  }
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = FBackground.Width;
  info.bmiHeader.biHeight = -FBackground.Height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  SetStretchBltMode(dc, HALFTONE);
  StretchDIBits(dc, 0, 0, client.right, client.bottom, 0, 0, FBackground.Width, FBackground.Height,
                FBackground.Pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
}

bool TMain::AskFolder(std::string& folder) {
  if (!TEingabe::Execute(FWindow, FEnteredFolder)) return false;
  folder = FEnteredFolder;
  return true;
}

void TMain::BeginWork() {
  EnableWindow(Item(IDC_BTNABBRECHEN), FALSE);
  EnableWindow(Item(IDC_BTNINSTALLIEREN), FALSE);
  ShowWindow(Item(IDC_LLADEN), SW_SHOW);
  ShowWindow(Item(IDC_PROGRESSBARLADEN), SW_SHOW);
  RedrawWindow(FWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void TMain::SetProgress(double position) {
  HWND bar = Item(IDC_PROGRESSBARLADEN);
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(std::lround(position)), 0);
  UpdateWindow(bar);
}

kv::HWND TMain::Window() { return reinterpret_cast<kv::HWND>(FWindow); }

void TMain::BtnInstallierenClick() {
  TRunResult result;
  try {
    result = InstallRun(FData, *this);
  } catch (const ERegistryError& error) {
    const UINT text = error.Kind == ERegistryError::InvalidType ? IDS_ERROR_INVALID_TYPE : IDS_ERROR_WRITE;
    ShowError(FWindow, Format(LoadText(text), AnsiToWide(error.ValueName)));
    return;
  } catch (const std::exception& error) {
    ShowError(FWindow, AnsiToWide(error.what()));
    return;
  }
  ShowWindow(Item(IDC_PROGRESSBARLADEN), SW_HIDE);
  if (TBeenden::Execute(FWindow, result)) Quit();
}

void TMain::BtnAbbrechenClick() { Quit(); }

void TMain::Quit() {
  FData.InfLines.clear();
  DestroyWindow(FWindow);
}

}  // namespace update::win
