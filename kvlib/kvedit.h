// A text edit control as a component: the system's "EDIT" window, made when
// its handle is first needed (or taken over from a dialog), whose messages all
// pass through WindowProc, a method that others may replace and chain to. This
// is how a communication component turns an edit into its terminal: it keeps
// the present WindowProc, installs its own and hands on what it does not take.
//
// Threading: the window belongs to the thread that made it (or that owns the
// adopted window); WindowProc runs there. Everything else is for that thread.
#pragma once

#include "kvframework.h"

#include <string>

namespace kv {

class TkvEdit : public TComponent {
 public:
  explicit TkvEdit(TComponent* owner);
  // Gives an adopted window back its own procedure; destroys a window it made.
  ~TkvEdit() override;

  // Used when the window is made: the parent (nullptr: a hidden top-level
  // window) and the edit styles (multi-line unless changed).
  HWND ParentWindow() const { return FParent; }
  void SetParentWindow(HWND parent) { FParent = parent; }
  DWORD Style() const { return FStyle; }
  void SetStyle(DWORD style) { FStyle = style; }

  // The window, made now if there is none yet. Throws EkvException when the
  // system refuses to make it.
  HWND Handle();
  bool HandleAllocated() const { return FHandle != nullptr; }
  // Takes over an edit window made elsewhere (a dialog's). It is not
  // destroyed with this object, only given back its own procedure.
  void AttachHandle(HWND window);

  // Every message of the window goes to this method; by default it is the
  // edit's own handling (DefaultHandler). A replacement keeps the method it
  // replaced and hands on the messages it does not take.
  const TWndMethod& WindowProc() const { return FWindowProc; }
  void SetWindowProc(TWndMethod method);
  // The edit's own handling: the procedure the window had before this object
  // took it over. Result := that procedure's answer.
  void DefaultHandler(TMessage& message);

  std::string Text();
  void SetText(const std::string& text);

 private:
  static LRESULT KVAPI SubclassProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
  void TakeOver(HWND window, bool owns);
  void GiveBack();

  HWND FHandle = nullptr;
  bool FOwnsHandle = false;
  HWND FParent = nullptr;
  DWORD FStyle;
  WNDPROC FSystemProc = nullptr;
  TWndMethod FWindowProc;
};

}  // namespace kv
