#include "browserwin_fixture.h"

#include <chrono>
#include <stdexcept>

#include "kvusbman.h"

extern const char kvDemoMachineJson[];

namespace browserwin {

void Pump(TfmMain* window, int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  do {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) continue;
      quorvex::win::DispatchOne(window ? window->Handle() : nullptr, window ? window->Accelerators() : nullptr,
                                message);
    }
    Sleep(5);
  } while (std::chrono::steady_clock::now() < end);
}

bool PumpUntil(TfmMain* window, const std::function<bool()>& done, int limitMs) {
  for (int waited = 0; !done() && waited < limitMs; waited += 10) Pump(window, 10);
  return done();
}

// ---- the run --------------------------------------------------------------------

TBrowserRun::TBrowserRun()
    : FMachine(kv::TkvSimMachine::FromJson(kvDemoMachineJson)),
      FScope(std::make_unique<kv::TkvMachineScope>(*FMachine)) {}

TBrowserRun::~TBrowserRun() {
  Close();
  // The topology belongs to the machine; it goes before the machine does.
  kv::USBManager().Clear();
  FScope.reset();
}

TfmMain& TBrowserRun::Open(quorvex::TOptions& options) {
  FWindow = std::make_unique<TfmMain>(options);
  if (!FWindow->Create(SW_SHOWNORMAL)) throw std::runtime_error("the main window could not be created");
  Pump(FWindow.get(), 50);
  return *FWindow;
}

void TBrowserRun::Close() {
  FWindow.reset();
  Pump(nullptr, 0);
}

// ---- modal windows -------------------------------------------------------------------

namespace {

TOnModal*& Current() {
  static TOnModal* current = nullptr;
  return current;
}

struct TFind {
  const std::string& Class;
  HWND Last;
  HWND Found = nullptr;
};

BOOL CALLBACK FindShown(HWND window, LPARAM data) {
  auto* find = reinterpret_cast<TFind*>(data);
  char cls[32] = "";
  GetClassNameA(window, cls, sizeof cls);
  if (find->Class == cls && IsWindowVisible(window) && window != find->Last) {
    find->Found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

TOnModal::TOnModal(TBody body, const char* cls, int settle)
    : TOnModal(std::vector<TBody>{std::move(body)}, cls, settle) {}

TOnModal::TOnModal(std::vector<TBody> bodies, const char* cls, int settle)
    : FBodies(std::move(bodies)), FClass(cls), FSettle(settle) {
  Current() = this;
  FTimer = SetTimer(nullptr, 0, 50, Tick);
}

TOnModal::~TOnModal() {
  KillTimer(nullptr, FTimer);
  Current() = nullptr;
}

void CALLBACK TOnModal::Tick(HWND, UINT, UINT_PTR, DWORD) {
  TOnModal* self = Current();
  if (!self || self->Ran()) return;
  TFind find{self->FClass, self->FLast};
  EnumThreadWindows(GetCurrentThreadId(), FindShown, reinterpret_cast<LPARAM>(&find));
  if (!find.Found) return;
  if (find.Found != self->FSeen) {
    self->FSeen = find.Found;
    self->FSeenAt = GetTickCount();
  }
  if (static_cast<int>(GetTickCount() - self->FSeenAt) < self->FSettle) return;
  self->FLast = find.Found;
  self->FBodies[self->FNext++](find.Found);
}

std::string DialogText(HWND dialog) {
  std::string all;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char cls[16] = "";
    GetClassNameA(child, cls, sizeof cls);
    if (std::string(cls) == "Static") all += quorvex::win::WindowText(child) + "\n";
  }
  return all;
}

HTREEITEM FindItem(HWND tree, HTREEITEM item, const std::string& text) {
  for (; item; item = TreeView_GetNextSibling(tree, item)) {
    char buffer[512] = "";
    TVITEMA tv{};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = buffer;
    tv.cchTextMax = sizeof buffer;
    SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
    if (text == buffer) return item;
    if (HTREEITEM found = FindItem(tree, TreeView_GetChild(tree, item), text)) return found;
  }
  return nullptr;
}

}  // namespace browserwin
