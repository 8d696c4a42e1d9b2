#include "about_frm.h"

#include "kvutils.h"
#include "layout.h"
#include "links.h"
#include "quorvexres.h"
#include "wincontrols.h"

namespace quorvex::win {

namespace {

const char* const kVersionFormat = "Version %u.%u (Build %u.%u)";
constexpr COLORREF kNavy = RGB(0, 0, 128);
constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr COLORREF kLinkHotColour = RGB(255, 255, 0);
constexpr COLORREF kNoticeColour = RGB(255, 0, 0);

struct TLink {
  int Id;
  const char* Target;
  const char* Text;
};
const TLink kLinks[] = {
    {IDC_ABOUT_WEB, kMakerHomePage, kMakerHomeText},    // kvLabel2Click
    {IDC_ABOUT_MAIL, kMakerMail, kMakerMailText},       // kvLabel3Click
    {IDC_ABOUT_LIB, kLibraryHomePage, kLibraryName},    // kvLabel1Click
};

std::string ProgramFile() {
  char module[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
  return std::string(module, length < MAX_PATH ? length : 0);
}

HFONT MakeFont(const char* face, int height, int weight, bool underline) {
  LOGFONTA font{};
  GetObjectA(MessageFont(), sizeof font, &font);
  if (face) lstrcpynA(font.lfFaceName, face, LF_FACESIZE);
  if (height) font.lfHeight = -height;
  font.lfWeight = weight;
  font.lfUnderline = underline;
  return CreateFontIndirectA(&font);
}

class TfmAbout {
 public:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    auto* self = reinterpret_cast<TfmAbout*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (!self) return FALSE;
    INT_PTR result = FALSE;
    Guarded(dialog, [&] { result = self->HandleMessage(dialog, message, wParam, lParam); }, [] {});
    return result;
  }

  ~TfmAbout() {
    for (HFONT font : {FTitleFont, FLinkFont})
      if (font) DeleteObject(font);
  }

 private:
  INT_PTR HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_INITDIALOG:
        FDialog = dialog;
        FormCreate();
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
          // Enter (the default button) and Esc (FormKeyPress) both close with OK.
          EndDialog(dialog, IDOK);
          return TRUE;
        }
        if (HIWORD(wParam) == STN_CLICKED) LinkClick(LOWORD(wParam));
        return TRUE;
      case WM_CTLCOLORSTATIC:
        return ColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
      case WM_SETCURSOR:
        return OnSetCursor(reinterpret_cast<HWND>(wParam));
      default:
        return FALSE;
    }
  }

  void FormCreate() {
    const int dpi = ScreenDpi();
    const TkvAboutLayout l = LayoutAbout(dpi);
    // The client area, centred on the screen.
    RECT frame{0, 0, l.Client.Width, l.Client.Height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(FDialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(FDialog, GWL_EXSTYLE)));
    const int w = frame.right - frame.left, h = frame.bottom - frame.top;
    SetWindowPos(FDialog, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2, (GetSystemMetrics(SM_CYSCREEN) - h) / 2,
                 w, h, SWP_NOZORDER);
    const struct {
      int Id;
      TkvRect Bounds;
    } places[] = {
        {IDC_ABOUT_IMG, l.Img},          {IDC_ABOUT_TITLE, l.Title},
        {IDC_ABOUT_VERSION, l.Version},  {IDC_ABOUT_MAKER, l.Maker},
        {IDC_ABOUT_WEB_LABEL, l.WebLabel}, {IDC_ABOUT_WEB, l.WebLink},
        {IDC_ABOUT_MAIL_LABEL, l.MailLabel}, {IDC_ABOUT_MAIL, l.MailLink},
        {IDC_ABOUT_LIB_LABEL, l.PoweredLabel}, {IDC_ABOUT_LIB, l.PoweredLink},
        {IDC_ABOUT_PLATFORM_LABEL, l.PlatformLabel}, {IDC_ABOUT_PLATFORM, l.Platform},
        {IDC_ABOUT_NOTICE, l.Notice},    {IDOK, l.Ok},
    };
    for (const auto& p : places)
      MoveWindow(GetDlgItem(FDialog, p.Id), p.Bounds.Left, p.Bounds.Top, p.Bounds.Width(), p.Bounds.Height(), FALSE);

    FTitleFont = MakeFont("Arial", l.TitleFontHeight, FW_BOLD, false);
    FLinkFont = MakeFont(nullptr, 0, FW_NORMAL, true);
    SendDlgItemMessageA(FDialog, IDC_ABOUT_TITLE, WM_SETFONT, reinterpret_cast<WPARAM>(FTitleFont), FALSE);
    for (const TLink& link : kLinks) {
      SetDlgItemTextA(FDialog, link.Id, link.Text);
      SendDlgItemMessageA(FDialog, link.Id, WM_SETFONT, reinterpret_cast<WPARAM>(FLinkFont), FALSE);
    }
    // Label4, Label8 and Img.
    SetDlgItemTextA(FDialog, IDC_ABOUT_VERSION, AboutVersionText(ProgramFile()).c_str());
    SetDlgItemTextA(FDialog, IDC_ABOUT_PLATFORM, kv::GetVersionText("", "").c_str());
    HICON icon = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_QUORVEX), IMAGE_ICON,
                                               l.Img.Width(), l.Img.Height(), LR_DEFAULTCOLOR));
    SendDlgItemMessageA(FDialog, IDC_ABOUT_IMG, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  }

  INT_PTR ColourStatic(HDC dc, HWND control) {
    const int id = GetDlgCtrlID(control);
    COLORREF colour = CLR_INVALID;
    if (id == IDC_ABOUT_TITLE) colour = kNavy;
    else if (id == IDC_ABOUT_NOTICE) colour = kNoticeColour;
    else if (IsLink(id)) colour = id == FHotLink ? kLinkHotColour : kLinkColour;
    if (colour == CLR_INVALID) return FALSE;
    SetTextColor(dc, colour);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
  }

  // Label10MouseEnter / Label10MouseLeave, for all three links.
  INT_PTR OnSetCursor(HWND window) {
    const int id = window && window != FDialog ? GetDlgCtrlID(window) : 0;
    const int hot = IsLink(id) ? id : 0;
    if (hot != FHotLink) {
      const int was = FHotLink;
      FHotLink = hot;
      for (int changed : {was, hot})
        if (changed) InvalidateRect(GetDlgItem(FDialog, changed), nullptr, TRUE);
    }
    if (!hot) return FALSE;
    SetCursor(LoadCursor(nullptr, IDC_HAND));
    SetWindowLongPtrA(FDialog, DWLP_MSGRESULT, TRUE);
    return TRUE;
  }

  static bool IsLink(int id) {
    for (const TLink& link : kLinks)
      if (link.Id == id) return true;
    return false;
  }

  void LinkClick(int id) {
    for (const TLink& link : kLinks)
      if (link.Id == id) OpenLink(GetParent(FDialog) ? GetParent(FDialog) : FDialog, link.Target);
  }

  HWND FDialog = nullptr;
  HFONT FTitleFont = nullptr, FLinkFont = nullptr;
  int FHotLink = 0;
};

}  // namespace

std::string AboutVersionText(const std::string& programFile) {
  return kv::GetVersionText(programFile, kVersionFormat);
}

void ShowAbout(HWND owner) {
  TfmAbout about;
  DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), owner, TfmAbout::DialogProc,
                  reinterpret_cast<LPARAM>(&about));
}

}  // namespace quorvex::win
