#include "kvedit.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace kv {

namespace {

constexpr UINT kWmNcDestroy = 0x0082;
constexpr DWORD kEsAutoVScroll = 0x0040;
constexpr DWORD kEsAutoHScroll = 0x0080;

// The edit object of each window taken over. The window procedure is a plain
// function, so it finds its object here.
TkvMutex gEditsLock;
std::unordered_map<HWND, TkvEdit*>& Edits() KV_REQUIRES(gEditsLock) {
  static auto* edits = new std::unordered_map<HWND, TkvEdit*>;  // outlives every window
  return *edits;
}

TkvEdit* FindEdit(HWND window) {
  TkvLockGuard<TkvMutex> lock(gEditsLock);
  auto it = Edits().find(window);
  return it == Edits().end() ? nullptr : it->second;
}

}  // namespace

TkvEdit::TkvEdit(TComponent* owner)
    : TComponent(owner), FStyle(ES_MULTILINE | kEsAutoVScroll | kEsAutoHScroll) {
  FWindowProc = [this](TMessage& message) { DefaultHandler(message); };
}

TkvEdit::~TkvEdit() {
  // A terminal's component lets go of this edit (and stops echoing into it)
  // before the window goes.
  BeginDestruction();
  HWND window = FHandle;
  const bool owns = FOwnsHandle;
  GiveBack();
  if (window && owns) Host().DestroyWindow(window);
}

HWND TkvEdit::Handle() {
  if (FHandle) return FHandle;
  TkvHost& host = Host();
  const DWORD style = FStyle | (FParent ? WS_CHILD | WS_VISIBLE : WS_POPUP);
  HWND window = host.CreateWindowExA(0, "EDIT", "", style, 0, 0, 400, 300, FParent, nullptr,
                                     host.GetModuleHandleA(nullptr), nullptr);
  if (!window) {
    DWORD error = GetLastError();
    throw EkvException("Cannot create an edit window (error " + std::to_string(error) + ")");
  }
  TakeOver(window, true);
  return FHandle;
}

void TkvEdit::AttachHandle(HWND window) {
  if (window == FHandle) return;
  HWND old = FHandle;
  const bool owned = FOwnsHandle;
  GiveBack();
  if (old && owned) Host().DestroyWindow(old);
  if (window) TakeOver(window, false);
}

void TkvEdit::TakeOver(HWND window, bool owns) {
  {
    TkvLockGuard<TkvMutex> lock(gEditsLock);
    Edits()[window] = this;
  }
  FHandle = window;
  FOwnsHandle = owns;
  FSystemProc = reinterpret_cast<WNDPROC>(
      Host().SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TkvEdit::SubclassProc)));
}

void TkvEdit::GiveBack() {
  if (!FHandle) return;
  TkvHost& host = Host();
  // Only while ours is still the window's procedure: someone who replaced it
  // after us keeps theirs.
  if (host.IsWindow(FHandle) &&
      host.GetWindowLongPtrA(FHandle, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&TkvEdit::SubclassProc))
    host.SetWindowLongPtrA(FHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FSystemProc));
  {
    TkvLockGuard<TkvMutex> lock(gEditsLock);
    auto it = Edits().find(FHandle);
    if (it != Edits().end() && it->second == this) Edits().erase(it);
  }
  FHandle = nullptr;
  FOwnsHandle = false;
}

void TkvEdit::SetWindowProc(TWndMethod method) {
  if (method)
    FWindowProc = std::move(method);
  else
    FWindowProc = [this](TMessage& message) { DefaultHandler(message); };
}

void TkvEdit::DefaultHandler(TMessage& message) {
  TkvHost& host = Host();
  message.Result = FSystemProc ? host.CallWindowProcA(FSystemProc, FHandle, message.Msg, message.WParam, message.LParam)
                               : host.DefWindowProcA(FHandle, message.Msg, message.WParam, message.LParam);
}

LRESULT KVAPI TkvEdit::SubclassProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  TkvHost& host = Host();
  TkvEdit* edit = FindEdit(window);
  if (!edit) return host.DefWindowProcA(window, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  // A copy: the method may replace itself while it runs.
  TWndMethod method = edit->FWindowProc;
  try {
    method(message);
  } catch (const std::exception& e) {
    // Nothing may unwind through the system's message dispatch.
    host.OutputDebugStringA((std::string("kvedit: exception in a window method: ") + e.what()).c_str());
  } catch (...) {
    host.OutputDebugStringA("kvedit: exception in a window method");
  }
  if (msg == kWmNcDestroy && FindEdit(window) == edit) edit->GiveBack();  // the window is gone
  return message.Result;
}

std::string TkvEdit::Text() {
  TkvHost& host = Host();
  HWND window = Handle();
  LRESULT length = host.SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
  if (length <= 0) return std::string();
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
  LRESULT copied = host.SendMessageA(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
  return std::string(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
}

void TkvEdit::SetText(const std::string& text) {
  Host().SendMessageA(Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

}  // namespace kv
