// Where the browser's windows put their controls, as pure functions of the
// client size and the screen's DPI (the program is system-DPI aware: every
// pixel value below is a 96-DPI value scaled once by the DPI at start). The
// Win32 half only calls MoveWindow with these rectangles.
#pragma once

#include "kvwintypes.h"

namespace quorvex {

using kv::BYTE;
using kv::DWORD;
using kv::WORD;

struct TkvRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  friend bool operator==(const TkvRect& a, const TkvRect& b) {
    return a.Left == b.Left && a.Top == b.Top && a.Right == b.Right && a.Bottom == b.Bottom;
  }
  friend bool operator!=(const TkvRect& a, const TkvRect& b) { return !(a == b); }
};
inline TkvRect Bounds(int Left, int Top, int Width, int Height) {
  return TkvRect{Left, Top, Left + Width, Top + Height};
}

struct TkvSize {
  int Width = 0, Height = 0;
};

// A 96-DPI pixel value at Dpi, rounded like MulDiv. A Dpi of 0 or less is 96.
int Scale(int Pixels96, int Dpi);

// ---- the main window ---------------------------------------------------------

// The main window's values at 96 DPI.
constexpr int kvMainLeft = 236, kvMainTop = 193, kvMainWidth = 740, kvMainHeight = 607;
constexpr int kvMainMinWidth = 468, kvMainMinHeight = 300;
constexpr int kvTreeDesignWidth = 185;
constexpr int kvTreeMinWidth = 50;
constexpr int kvSplitterWidth = 3;
constexpr int kvSplitterMinSize = 100;
constexpr int kvPanelMinWidth = 50;  // pnLeft
constexpr int kvTreeIndent = 19;
constexpr int kvListCaptionWidth = 120;  // the "Description" column
constexpr int kvStatusPanel0 = 150, kvStatusPanel1 = 50;

// Minimum outer size of the main window (WM_GETMINMAXINFO).
TkvSize MainMinSize(int Dpi);

struct TkvMainLayoutInput {
  int ClientWidth = 0, ClientHeight = 0;  // the main window's client area
  int Dpi = 96;
  int TreeWidth = kvTreeDesignWidth;  // present width of the tree, in pixels
  int StatusBarHeight = 0;  // as the status bar reports it; 0: a scaled default
};

struct TkvMainLayout {
  TkvRect Tree, Splitter, PageControl, StatusBar;  // client coordinates
  // Right edges of the status bar's panels for SB_SETPARTS: the first ends
  // where the tree ends (pnLeftResize), the last reaches the right edge (-1)
  // so that the path of the selected node has room.
  int StatusParts[2] = {0, -1};
  int TreeWidth = 0;  // the tree width actually used (clamped)
};
// The tree keeps its width as far as pnLeft's and its own minimum widths
// allow; the page control fills the rest above the status bar.
TkvMainLayout LayoutMain(const TkvMainLayoutInput& In);

// The tree width a splitter drag may give: both sides keep the splitter's
// minimum size (the tree's side wins when the window is too narrow).
int ClampTreeWidth(int Wanted, int ClientWidth, int Dpi);

// FormCreate's rule: the stored tree width replaces the design width when the
// window's right edge (Left + Width) is greater than it. A stored width that
// is out of any sound range (a broken settings file) keeps the design width.
int FormCreateTreeWidth(int WindowLeft, int WindowWidth, int StoredTreeWidth, int Dpi);

// The widths of vList's columns for a list client area of ListClientWidth:
// "Description" 120 (scaled), "Value" the rest (at least 0).
void ListColumnWidths(int ListClientWidth, int Dpi, int& Caption, int& Value);

// ---- the "USB Device" page ------------------------------------------------------

struct TkvDevicePageLayout {
  TkvRect DeviceLabel, DeviceBox;      // "USB Device:", kvDeviceBox1 (edit part)
  TkvRect Bevel;                        // the separator line
  TkvRect PipeInLabel, PipeIn;          // "Input Pipe <-----", ePipeIn
  TkvRect PipeOutLabel, PipeOut;        // "Output Pipe ----->", ePipeOut
  TkvRect Active, Button1;              // chActive, "Button1"
  TkvRect TerminalPages;                // the page control with "Terminal" and "Hex"
  int DropDownHeight = 0;               // extra height of a combo's drop-down list
};
// For the page's client area (Width × Height, page coordinates).
TkvDevicePageLayout LayoutDevicePage(int Width, int Height, int Dpi);
// Inside a page of TerminalPages with client size Width × Height: eTerminal
// fills it, the Hex page's placeholder label sits at its top left.
TkvRect TerminalEditRect(int Width, int Height, int Dpi);
TkvRect HexLabelRect(int Width, int Height, int Dpi);

// ---- the About window ---------------------------------------------------------------

constexpr int kvAboutClientWidth = 299, kvAboutClientHeight = 261;

struct TkvAboutLayout {
  TkvSize Client;
  TkvRect Img;                       // 41 × 41, centred
  TkvRect Title;                     // Label1 "Quorvex"
  TkvRect Version;                   // Label4
  TkvRect Maker;                     // Label5
  TkvRect WebLabel, WebLink;         // Label3, Label10
  TkvRect MailLabel, MailLink;       // Label7, Label11
  TkvRect PoweredLabel, PoweredLink; // Label2, Label12
  TkvRect PlatformLabel, Platform;   // Label9, Label8 (161 × 33, word-wrapped)
  TkvRect Notice;                    // Label6
  TkvRect Ok;                        // Button1
  int TitleFontHeight = 16;          // pixels, bold Arial
  int FontHeight = 13;               // the dialog's other texts
};
TkvAboutLayout LayoutAbout(int Dpi);

}  // namespace quorvex
