#include "wincontrols.h"

#include <algorithm>

namespace quorvex::win {

HFONT MessageFont() {
  static HFONT font = [] {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
      return CreateFontIndirectA(&metrics.lfMessageFont);
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }();
  return font;
}

HWND CreateChild(const char* className, const char* text, ::DWORD style, ::DWORD exStyle, HWND parent, int id) {
  HWND window = CreateWindowExA(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                                nullptr);
  if (window) SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(MessageFont()), FALSE);
  return window;
}

// ---- tree -----------------------------------------------------------------

void TTreeView::Create(HWND parent, int id) {
  Attach(CreateChild(WC_TREEVIEWA, "",
                     WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, WS_EX_CLIENTEDGE,
                     parent, id));
}

HTREEITEM TTreeView::Add(HTREEITEM parent, const std::string& text, LPARAM data) {
  TVINSERTSTRUCTA insert{};
  insert.hParent = parent ? parent : TVI_ROOT;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
  insert.item.state = TVIS_EXPANDED;
  insert.item.stateMask = TVIS_EXPANDED;
  insert.item.pszText = const_cast<char*>(text.c_str());
  insert.item.lParam = data;
  return reinterpret_cast<HTREEITEM>(SendMessageA(FHandle, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
}

void TTreeView::Clear() {
  // No selection to move while items go; the last root first, so that the
  // control's item table shrinks from its end.
  SendMessageA(FHandle, TVM_SELECTITEM, TVGN_CARET, 0);
  std::vector<HTREEITEM> roots;
  for (HTREEITEM item = First(); item; item = TreeView_GetNextSibling(FHandle, item)) roots.push_back(item);
  for (auto it = roots.rbegin(); it != roots.rend(); ++it)
    SendMessageA(FHandle, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(*it));
}

void TTreeView::Select(HTREEITEM item) { SendMessageA(FHandle, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)); }

HTREEITEM TTreeView::Selected() const { return TreeView_GetSelection(FHandle); }

HTREEITEM TTreeView::First() const { return TreeView_GetRoot(FHandle); }

LPARAM TTreeView::Data(HTREEITEM item) const {
  TVITEMA tv{};
  tv.mask = TVIF_PARAM | TVIF_HANDLE;
  tv.hItem = item;
  return item && SendMessageA(FHandle, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv)) ? tv.lParam : -1;
}

int TTreeView::Count() const { return static_cast<int>(SendMessageA(FHandle, TVM_GETCOUNT, 0, 0)); }

LRESULT TTreeView::OnNotifyReflect(NMHDR* header) {
  switch (header->code) {
    case TVN_SELCHANGEDA:
    case TVN_SELCHANGEDW: {
      const auto* change = reinterpret_cast<NMTREEVIEWA*>(header);
      if (OnChange && change->itemNew.hItem) OnChange(Data(change->itemNew.hItem));
      return 0;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMTVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return OnItemColor ? CDRF_NOTIFYITEMDRAW : CDRF_DODEFAULT;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT && OnItemColor) {
        const bool selected = (draw->nmcd.uItemState & CDIS_SELECTED) != 0;
        HTREEITEM item = reinterpret_cast<HTREEITEM>(draw->nmcd.dwItemSpec);
        const bool hasChildren = TreeView_GetChild(FHandle, item) != nullptr;
        const COLORREF colour = selected ? CLR_INVALID : OnItemColor(draw->nmcd.lItemlParam, hasChildren);
        if (colour != CLR_INVALID) draw->clrText = colour;
      }
      return CDRF_DODEFAULT;
    }
    default:
      return 0;
  }
}

// ---- list -----------------------------------------------------------------

void TListView::Create(HWND parent, int id, const std::vector<std::pair<std::string, int>>& columns) {
  Attach(CreateChild(WC_LISTVIEWA, "",
                     WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL | LVS_NOSORTHEADER, WS_EX_CLIENTEDGE,
                     parent, id));
  ListView_SetExtendedListViewStyle(FHandle, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  int index = 0;
  for (const auto& [caption, width] : columns) {
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<char*>(caption.c_str());
    column.cx = width;
    SendMessageA(FHandle, LVM_INSERTCOLUMNA, index++, reinterpret_cast<LPARAM>(&column));
  }
}

void TListView::SetRows(const std::vector<std::pair<std::string, std::string>>& rows) {
  SendMessageA(FHandle, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(FHandle);
  int index = 0;
  for (const auto& [caption, value] : rows) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<char*>(caption.c_str());
    SendMessageA(FHandle, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    item.iSubItem = 1;
    item.pszText = const_cast<char*>(value.c_str());
    SendMessageA(FHandle, LVM_SETITEMTEXTA, index, reinterpret_cast<LPARAM>(&item));
    ++index;
  }
  SendMessageA(FHandle, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(FHandle, nullptr, TRUE);
}

int TListView::Count() const { return ListView_GetItemCount(FHandle); }

int TListView::SelectedIndex() const { return ListView_GetNextItem(FHandle, -1, LVNI_SELECTED); }

void TListView::SelectRow(int index) {
  ListView_SetItemState(FHandle, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (index >= 0) ListView_SetItemState(FHandle, index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

std::string TListView::Cell(int row, int column) const {
  char buffer[1024] = "";
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = sizeof buffer;
  SendMessageA(FHandle, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
  return buffer;
}

void TListView::FitLastColumn() {
  RECT client;
  GetClientRect(FHandle, &client);
  const int first = ListView_GetColumnWidth(FHandle, 0);
  ListView_SetColumnWidth(FHandle, 1, std::max<int>(Dpx(50), client.right - first));
}

// ---- tabs -----------------------------------------------------------------

void TTabs::Create(HWND parent, int id) {
  Attach(CreateChild(WC_TABCONTROLA, "", WS_TABSTOP | WS_CLIPSIBLINGS, 0, parent, id));
}

int TTabs::AddPage(const std::string& caption, HWND page) {
  FPages.push_back({caption, page, true});
  Rebuild();
  return static_cast<int>(FPages.size()) - 1;
}

void TTabs::ShowTab(int pageIndex, bool visible) {
  if (pageIndex < 0 || pageIndex >= static_cast<int>(FPages.size()) || FPages[pageIndex].Visible == visible) return;
  FPages[pageIndex].Visible = visible;
  if (!visible && FActive == pageIndex) {
    // The first visible page takes over.
    for (int i = 0; i < static_cast<int>(FPages.size()); ++i)
      if (FPages[i].Visible) {
        FActive = i;
        break;
      }
  }
  Rebuild();
}

bool TTabs::TabVisible(int pageIndex) const {
  return pageIndex >= 0 && pageIndex < static_cast<int>(FPages.size()) && FPages[pageIndex].Visible;
}

void TTabs::SetActivePage(int pageIndex) {
  if (!TabVisible(pageIndex)) return;
  FActive = pageIndex;
  TabCtrl_SetCurSel(FHandle, TabOfPage(pageIndex));
  ShowActive();
}

int TTabs::ActivePage() const { return FActive; }

void TTabs::Place(const RECT& bounds) {
  MoveWindow(FHandle, bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top, TRUE);
  RECT display = bounds;
  OffsetRect(&display, -bounds.left, -bounds.top);
  TabCtrl_AdjustRect(FHandle, FALSE, &display);
  OffsetRect(&display, bounds.left, bounds.top);
  // A page lies above the tab strip, so that the strip does not paint over
  // it, but directly above it: the order of the siblings is also the order
  // of the Tab key, which must not reach a page before the controls that
  // stand above it on the screen.
  for (const TPage& page : FPages) {
    HWND above = GetWindow(FHandle, GW_HWNDPREV);
    const UINT keep = above == page.Window ? SWP_NOZORDER : 0;
    SetWindowPos(page.Window, above ? above : HWND_TOP, display.left, display.top, display.right - display.left,
                 display.bottom - display.top, SWP_NOACTIVATE | keep);
  }
}

LRESULT TTabs::OnNotifyReflect(NMHDR* header) {
  if (header->code == TCN_SELCHANGE) {
    FActive = PageOfTab(TabCtrl_GetCurSel(FHandle));
    ShowActive();
  }
  return 0;
}

void TTabs::Rebuild() {
  TabCtrl_DeleteAllItems(FHandle);
  int tab = 0;
  for (const TPage& page : FPages) {
    if (!page.Visible) continue;
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(page.Caption.c_str());
    SendMessageA(FHandle, TCM_INSERTITEMA, tab++, reinterpret_cast<LPARAM>(&item));
  }
  TabCtrl_SetCurSel(FHandle, TabOfPage(FActive));
  ShowActive();
}

int TTabs::TabOfPage(int pageIndex) const {
  int tab = 0;
  for (int i = 0; i < static_cast<int>(FPages.size()); ++i) {
    if (i == pageIndex) return FPages[i].Visible ? tab : -1;
    if (FPages[i].Visible) ++tab;
  }
  return -1;
}

int TTabs::PageOfTab(int tab) const {
  for (int i = 0; i < static_cast<int>(FPages.size()); ++i) {
    if (!FPages[i].Visible) continue;
    if (tab-- == 0) return i;
  }
  return FActive;
}

void TTabs::ShowActive() {
  for (int i = 0; i < static_cast<int>(FPages.size()); ++i) {
    const bool show = i == FActive && FPages[i].Visible;
    const bool shown = IsWindowVisible(FPages[i].Window) != FALSE;
    if (show != shown) {
      ShowWindow(FPages[i].Window, show ? SW_SHOW : SW_HIDE);
      if (show && OnPageShow) OnPageShow(i);
    }
  }
}

}  // namespace quorvex::win
