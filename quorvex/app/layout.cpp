#include "layout.h"

#include <algorithm>

namespace quorvex {

namespace {

constexpr int kStatusBarHeight = 19;  // when the bar has not said
constexpr int kMargin = 8;
constexpr int kLabelHeight = 13;
constexpr int kComboHeight = 21;
constexpr int kDropDown = 120;  // the list part of a drop-down combo box
constexpr int kPipeLabelWidth = 110;
constexpr int kCheckWidth = 80, kCheckHeight = 17;
constexpr int kButtonWidth = 75, kButtonHeight = 25;

}  // namespace

int Scale(int Pixels96, int Dpi) {
  if (Dpi <= 0) Dpi = 96;
  // MulDiv: rounded half away from zero, in 64 bits.
  const long long n = static_cast<long long>(Pixels96) * Dpi;
  return static_cast<int>(n >= 0 ? (n + 48) / 96 : -((-n + 48) / 96));
}

TkvSize MainMinSize(int Dpi) { return {Scale(kvMainMinWidth, Dpi), Scale(kvMainMinHeight, Dpi)}; }

int ClampTreeWidth(int Wanted, int ClientWidth, int Dpi) {
  const int side = Scale(kvSplitterMinSize, Dpi);
  const int most = ClientWidth - Scale(kvSplitterWidth, Dpi) - side;
  // A window too narrow for both sides keeps the tree's side.
  return std::max(side, std::min(Wanted, most));
}

int FormCreateTreeWidth(int WindowLeft, int WindowWidth, int StoredTreeWidth, int Dpi) {
  const int design = Scale(kvTreeDesignWidth, Dpi);
  if (StoredTreeWidth < Scale(kvTreeMinWidth, Dpi) || StoredTreeWidth > 32767) return design;
  return static_cast<long long>(WindowLeft) + WindowWidth > StoredTreeWidth ? StoredTreeWidth : design;
}

TkvMainLayout LayoutMain(const TkvMainLayoutInput& In) {
  const int w = std::max(In.ClientWidth, 0), h = std::max(In.ClientHeight, 0);
  const int bar = In.StatusBarHeight > 0 ? In.StatusBarHeight : Scale(kStatusBarHeight, In.Dpi);
  const int above = std::max(h - bar, 0);
  const int split = Scale(kvSplitterWidth, In.Dpi);
  TkvMainLayout out;
  // The tree keeps its width as long as pnLeft keeps its minimum width, and
  // never goes below its own.
  const int least = Scale(kvTreeMinWidth, In.Dpi);
  out.TreeWidth = std::max(least, std::min(In.TreeWidth, w - split - Scale(kvPanelMinWidth, In.Dpi)));
  out.Tree = TkvRect{0, 0, out.TreeWidth, above};
  out.Splitter = TkvRect{out.TreeWidth, 0, out.TreeWidth + split, above};
  out.PageControl = TkvRect{out.Splitter.Right, 0, std::max(w, out.Splitter.Right), above};
  out.StatusBar = TkvRect{0, above, w, h};
  out.StatusParts[0] = out.TreeWidth;
  out.StatusParts[1] = -1;
  return out;
}

void ListColumnWidths(int ListClientWidth, int Dpi, int& Caption, int& Value) {
  Caption = Scale(kvListCaptionWidth, Dpi);
  Value = std::max(ListClientWidth - Caption, 0);
}

TkvDevicePageLayout LayoutDevicePage(int Width, int Height, int Dpi) {
  auto s = [Dpi](int v) { return Scale(v, Dpi); };
  const int m = s(kMargin);
  const int inner = std::max(Width - 2 * m, 0);
  TkvDevicePageLayout out;
  out.DeviceLabel = Bounds(m, m, inner, s(kLabelHeight));
  out.DeviceBox = Bounds(m, out.DeviceLabel.Bottom + s(3), inner, s(kComboHeight));
  out.Bevel = Bounds(m, out.DeviceBox.Bottom + s(8), inner, s(2));
  const int comboLeft = m + s(kPipeLabelWidth) + s(4);
  const int comboWidth = std::max(Width - m - comboLeft, 0);
  // Each pipe label sits beside its list, on the list's text line.
  out.PipeIn = Bounds(comboLeft, out.Bevel.Bottom + s(8), comboWidth, s(kComboHeight));
  out.PipeInLabel = Bounds(m, out.PipeIn.Top + s(4), s(kPipeLabelWidth), s(kLabelHeight));
  out.PipeOut = Bounds(comboLeft, out.PipeIn.Bottom + s(6), comboWidth, s(kComboHeight));
  out.PipeOutLabel = Bounds(m, out.PipeOut.Top + s(4), s(kPipeLabelWidth), s(kLabelHeight));
  out.Button1 = Bounds(std::max(Width - m - s(kButtonWidth), m), out.PipeOut.Bottom + s(8), s(kButtonWidth),
                       s(kButtonHeight));
  out.Active = Bounds(m, out.Button1.Top + (s(kButtonHeight) - s(kCheckHeight)) / 2, s(kCheckWidth), s(kCheckHeight));
  const int pagesTop = out.Button1.Bottom + s(8);
  out.TerminalPages = TkvRect{m, pagesTop, m + inner, std::max(Height - m, pagesTop)};
  out.DropDownHeight = s(kDropDown);
  return out;
}

TkvRect TerminalEditRect(int Width, int Height, int) { return TkvRect{0, 0, std::max(Width, 0), std::max(Height, 0)}; }

TkvRect HexLabelRect(int Width, int, int Dpi) {
  const int m = Scale(kMargin, Dpi);
  return Bounds(m, m, std::max(Width - 2 * m, 0), Scale(kLabelHeight, Dpi));
}

TkvAboutLayout LayoutAbout(int Dpi) {
  auto s = [Dpi](int v) { return Scale(v, Dpi); };
  TkvAboutLayout out;
  out.Client = {s(kvAboutClientWidth), s(kvAboutClientHeight)};
  const int w = out.Client.Width;
  const int m = s(kMargin);
  auto centred = [&](int top, int height) { return Bounds(m, top, w - 2 * m, height); };
  out.Img = Bounds((w - s(41)) / 2, s(8), s(41), s(41));
  out.Title = centred(s(54), s(20));
  out.Version = centred(s(77), s(kLabelHeight));
  out.Maker = centred(s(93), s(kLabelHeight));
  // Captions in a column on the left, links and the platform text beside them.
  const int captionLeft = s(16), captionWidth = s(72), valueLeft = s(96);
  const int valueWidth = w - valueLeft - m;
  auto row = [&](TkvRect& caption, TkvRect& value, int top) {
    caption = Bounds(captionLeft, top, captionWidth, s(kLabelHeight));
    value = Bounds(valueLeft, top, valueWidth, s(kLabelHeight));
  };
  row(out.WebLabel, out.WebLink, s(116));
  row(out.MailLabel, out.MailLink, s(134));
  row(out.PoweredLabel, out.PoweredLink, s(152));
  out.PlatformLabel = Bounds(captionLeft, s(170), captionWidth, s(kLabelHeight));
  out.Platform = Bounds(valueLeft, s(170), s(161), s(33));
  out.Notice = centred(s(208), s(kLabelHeight));
  out.Ok = Bounds((w - s(kButtonWidth)) / 2, s(228), s(kButtonWidth), s(kButtonHeight));
  out.TitleFontHeight = s(16);
  out.FontHeight = s(13);
  return out;
}

}  // namespace quorvex
