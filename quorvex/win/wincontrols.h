// The common controls of the browser's windows as small objects: each one
// creates its window, puts what a portable model hands it on screen and turns
// the notifications it sends back into plain calls. Nothing here knows the
// topology.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "winwindow.h"

namespace quorvex::win {

// Message font of the system (already scaled for the screen's DPI).
HFONT MessageFont();
HWND CreateChild(const char* className, const char* text, ::DWORD style, ::DWORD exStyle, HWND parent, int id);

class TTreeView : public TControl {
 public:
  using TChange = std::function<void(LPARAM data)>;
  // Colour of an item's text when it is not drawn selected; CLR_INVALID keeps
  // the default.
  using TItemColor = std::function<COLORREF(LPARAM data, bool hasChildren)>;

  void Create(HWND parent, int id);
  // Appends an item below parent (nullptr: a root), expanded. Appending in
  // pre-order to an expanded tree costs the same for every item: each new
  // item is the last visible one.
  HTREEITEM Add(HTREEITEM parent, const std::string& text, LPARAM data);
  void Clear();
  void Select(HTREEITEM item);
  HTREEITEM Selected() const;
  HTREEITEM First() const;
  LPARAM Data(HTREEITEM item) const;
  int Count() const;

  // Nil detaches: while detached, selection changes call nothing.
  TChange OnChange;
  TItemColor OnItemColor;

  LRESULT OnNotifyReflect(NMHDR* header) override;
};

class TListView : public TControl {
 public:
  void Create(HWND parent, int id, const std::vector<std::pair<std::string, int>>& columns);
  void SetRows(const std::vector<std::pair<std::string, std::string>>& rows);
  int Count() const;
  int SelectedIndex() const;
  void SelectRow(int index);
  std::string Cell(int row, int column) const;
  // The last column takes the width the others leave.
  void FitLastColumn();
};

// A tab strip whose pages are windows of the caller.
class TTabs : public TControl {
 public:
  void Create(HWND parent, int id);
  // Adds a tab for page; returns its position.
  int AddPage(const std::string& caption, HWND page);
  void ShowTab(int pageIndex, bool visible);
  bool TabVisible(int pageIndex) const;
  void SetActivePage(int pageIndex);
  int ActivePage() const;
  // Places the strip and its pages.
  void Place(const RECT& bounds);
  std::function<void(int pageIndex)> OnPageShow;

  LRESULT OnNotifyReflect(NMHDR* header) override;

 private:
  struct TPage {
    std::string Caption;
    HWND Window;
    bool Visible;
  };
  void Rebuild();
  int TabOfPage(int pageIndex) const;
  int PageOfTab(int tab) const;
  void ShowActive();
  std::vector<TPage> FPages;
  int FActive = 0;
};

}  // namespace quorvex::win
