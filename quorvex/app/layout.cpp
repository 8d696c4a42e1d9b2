#include "layout.h"

namespace quorvex {

int Scale(int Pixels96, int Dpi) { return Dpi <= 0 ? Pixels96 : Pixels96 * Dpi / 96; }
TkvSize MainMinSize(int Dpi) { return {Scale(kvMainMinWidth, Dpi), Scale(kvMainMinHeight, Dpi)}; }
TkvMainLayout LayoutMain(const TkvMainLayoutInput&) { return {}; }
int ClampTreeWidth(int Wanted, int, int) { return Wanted; }
int FormCreateTreeWidth(int, int, int StoredTreeWidth, int) { return StoredTreeWidth; }
void ListColumnWidths(int, int, int& Caption, int& Value) { Caption = Value = 0; }
TkvDevicePageLayout LayoutDevicePage(int, int, int) { return {}; }
TkvRect TerminalEditRect(int, int, int) { return {}; }
TkvRect HexLabelRect(int, int, int) { return {}; }
TkvAboutLayout LayoutAbout(int) { return {}; }

}  // namespace quorvex
