// Objects, formatted text, string lists, components and hidden windows of the
// component framework. Threads are in kvthread.cpp.
#include "kvframework.h"

#include <algorithm>
#include <cctype>
#include <typeinfo>

#if defined(__GNUC__)
#include <cxxabi.h>
#include <cstdlib>
#endif

namespace kv {

// ---- objects -------------------------------------------------------------------

std::string TObject::ClassName() const {
  const char* raw = typeid(*this).name();
  std::string name = raw;
#if defined(__GNUC__)
  int status = 0;
  char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
  if (status == 0 && demangled) name = demangled;
  std::free(demangled);
#endif
  // Keep the class's own name: no template arguments, no namespaces.
  std::size_t angle = name.find('<');
  if (angle != std::string::npos) name.erase(angle);
  std::size_t colon = name.rfind("::");
  if (colon != std::string::npos) name.erase(0, colon + 2);
  std::size_t space = name.rfind(' ');  // "class X" of other compilers
  if (space != std::string::npos) name.erase(0, space + 1);
  return name;
}

// ---- formatted text ----------------------------------------------------------------

std::int64_t TVarRec::AsSigned() const { return static_cast<std::int64_t>(FInt); }

std::uint64_t TVarRec::AsUnsigned() const {
  if (FKind == TKind::Signed && FBits < 64) return FInt & ((std::uint64_t{1} << FBits) - 1);
  return FInt;
}

namespace {

[[noreturn]] void BadFormat(const std::string& format) {
  throw EkvException("Format '" + format + "' invalid or incompatible with argument");
}

std::string Digits(std::uint64_t value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[value % base]);
    value /= base;
  } while (value != 0);
  return out;
}

}  // namespace

std::string Format(const std::string& format, const TVarRecs& args) {
  std::string out;
  std::size_t next = 0;
  std::size_t i = 0;
  const std::size_t n = format.size();
  while (i < n) {
    char c = format[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i < n && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    bool left = false;
    if (i < n && format[i] == '-') {
      left = true;
      ++i;
    }
    std::size_t width = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(format[i]))) {
      width = width * 10 + static_cast<std::size_t>(format[i++] - '0');
      if (width > 4096) BadFormat(format);
    }
    bool hasPrecision = false;
    std::size_t precision = 0;
    if (i < n && format[i] == '.') {
      hasPrecision = true;
      ++i;
      while (i < n && std::isdigit(static_cast<unsigned char>(format[i]))) {
        precision = precision * 10 + static_cast<std::size_t>(format[i++] - '0');
        if (precision > 4096) BadFormat(format);
      }
    }
    if (i >= n || next >= args.size()) BadFormat(format);
    const char type = format[i++];
    const TVarRec& arg = args[next++];
    const bool isNumber = arg.Kind() != TVarRec::TKind::Text;
    std::string text;
    switch (type) {
      case 'd':
      case 'D': {
        if (!isNumber) BadFormat(format);
        bool negative = arg.Kind() == TVarRec::TKind::Signed && arg.AsSigned() < 0;
        std::uint64_t magnitude = arg.Kind() == TVarRec::TKind::Signed
                                      ? static_cast<std::uint64_t>(arg.AsSigned())
                                      : arg.AsUnsigned();
        if (negative) magnitude = std::uint64_t{0} - magnitude;
        text = Digits(magnitude, 10, false);
        if (hasPrecision && text.size() < precision) text.insert(0, precision - text.size(), '0');
        if (negative) text.insert(0, 1, '-');
        break;
      }
      case 'u':
      case 'U':
      case 'x':
      case 'X': {
        if (!isNumber) BadFormat(format);
        bool hex = type == 'x' || type == 'X';
        text = Digits(arg.AsUnsigned(), hex ? 16 : 10, type == 'X');
        if (hasPrecision && text.size() < precision) text.insert(0, precision - text.size(), '0');
        break;
      }
      case 's':
      case 'S':
        if (isNumber) BadFormat(format);
        text = arg.AsText();
        if (hasPrecision && text.size() > precision) text.resize(precision);
        break;
      default:
        BadFormat(format);
    }
    if (text.size() < width) {
      if (left)
        text.append(width - text.size(), ' ');
      else
        text.insert(0, width - text.size(), ' ');
    }
    out += text;
  }
  return out;
}

// ---- string lists ----------------------------------------------------------------

int CompareText(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

TStringList::~TStringList() { Clear(); }

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count())
    throw EkvException("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return FItems[static_cast<std::size_t>(index)].Text;
}

void TStringList::SetString(int index, const std::string& text) {
  CheckIndex(index);
  FItems[static_cast<std::size_t>(index)].Text = text;
}

TObject* TStringList::Objects(int index) const {
  CheckIndex(index);
  return FItems[static_cast<std::size_t>(index)].Object;
}

void TStringList::SetObject(int index, TObject* object) {
  CheckIndex(index);
  TObject*& slot = FItems[static_cast<std::size_t>(index)].Object;
  if (slot == object) return;
  TObject* old = slot;
  slot = object;
  if (FOwnsObjects) delete old;
}

int TStringList::AddObject(const std::string& text, TObject* object) {
  FItems.push_back({text, object});
  return Count() - 1;
}

void TStringList::InsertObject(int index, const std::string& text, TObject* object) {
  if (index < 0 || index > Count())
    throw EkvException("List index out of bounds (" + std::to_string(index) + ")");
  FItems.insert(FItems.begin() + index, TItem{text, object});
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  TObject* old = FItems[static_cast<std::size_t>(index)].Object;
  // The entry leaves the list before its object is deleted, so a destructor
  // that looks at the list does not find it half gone.
  FItems.erase(FItems.begin() + index);
  if (FOwnsObjects) delete old;
}

void TStringList::Clear() {
  std::vector<TItem> items;
  items.swap(FItems);
  if (FOwnsObjects)
    for (TItem& item : items) delete item.Object;
}

TObject* TStringList::Extract(int index) {
  CheckIndex(index);
  TObject* object = FItems[static_cast<std::size_t>(index)].Object;
  FItems.erase(FItems.begin() + index);
  return object;
}

int TStringList::IndexOf(const std::string& text) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    bool same = FCaseSensitive ? FItems[i].Text == text : SameText(FItems[i].Text, text);
    if (same) return static_cast<int>(i);
  }
  return -1;
}

int TStringList::IndexOfObject(const TObject* object) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].Object == object) return static_cast<int>(i);
  return -1;
}

std::string TStringList::Text() const {
  std::string out;
  for (const TItem& item : FItems) {
    out += item.Text;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(const std::string& text) {
  Clear();
  std::size_t start = 0;
  const std::size_t n = text.size();
  while (start < n) {
    std::size_t end = start;
    while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
    Add(text.substr(start, end - start));
    if (end < n && text[end] == '\r') {
      ++end;
      if (end < n && text[end] == '\n') ++end;
    } else if (end < n) {
      ++end;  // a lone LF
    }
    start = end;
  }
}

// ---- pointer lists ----------------------------------------------------------------

void TList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EkvException("List index out of bounds (" + std::to_string(index) + ")");
}

void* TList::Get(int index) const {
  CheckIndex(index);
  return FItems[static_cast<std::size_t>(index)];
}

void TList::Put(int index, void* item) {
  CheckIndex(index);
  FItems[static_cast<std::size_t>(index)] = item;
}

int TList::Add(void* item) {
  FItems.push_back(item);
  return Count() - 1;
}

void TList::Insert(int index, void* item) {
  if (index != Count()) CheckIndex(index);
  FItems.insert(FItems.begin() + index, item);
}

void TList::Delete(int index) {
  CheckIndex(index);
  FItems.erase(FItems.begin() + index);
}

void TList::Clear() { FItems.clear(); }

int TList::IndexOf(const void* item) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i] == item) return static_cast<int>(i);
  return -1;
}

// ---- components ----------------------------------------------------------------------

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Tell everyone linked by free notification (unless a derived destructor
  // did already), then free what this one owns, then leave the owner, which
  // tells its other components.
  BeginDestruction();
  DestroyComponents();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::BeginDestruction() {
  FComponentState |= csDestroying;
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->Unlink(this);
    other->Notification(this, opRemove);
  }
}

void TComponent::ValidateName(const std::string& name, const TComponent* except) const {
  if (name.empty()) return;
  for (const TComponent* c : FComponents)
    if (c != except && SameText(c->FName, name))
      throw EkvException("A component named " + name + " already exists");
}

void TComponent::SetName(const std::string& name) {
  if (FOwner) FOwner->ValidateName(name, this);
  FName = name;
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw EkvException("List index out of bounds (" + std::to_string(index) + ")");
  return FComponents[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : FComponents)
    if (SameText(c->FName, name)) return c;
  return nullptr;
}

void TComponent::Insert(TComponent* component) {
  FComponents.push_back(component);
  component->FOwner = this;
}

void TComponent::Remove(TComponent* component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), component);
  if (it != FComponents.end()) FComponents.erase(it);
  component->FOwner = nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component || component == this || component->FOwner == this) return;
  ValidateName(component->FName, component);
  if (component->FOwner) component->FOwner->RemoveComponent(component);
  Insert(component);
  if (Designing()) component->SetDesigning(true);
  if (Loading()) component->BeginLoading();
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (!component || component->FOwner != this) return;
  Notification(component, opRemove);
  Remove(component);
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    Remove(last);
    delete last;
  }
}

void TComponent::Unlink(TComponent* component) {
  auto it = std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component);
  if (it != FFreeNotifies.end()) FFreeNotifies.erase(it);
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) == FFreeNotifies.end())
    FFreeNotifies.push_back(component);
  if (std::find(component->FFreeNotifies.begin(), component->FFreeNotifies.end(), this) ==
      component->FFreeNotifies.end())
    component->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  Unlink(component);
  component->Unlink(this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  // The links of free notification stay: a component that merely moved to
  // another owner lives on, and whoever still names it must hear when it
  // goes. Its destruction unlinks both sides before it tells.
  NotifyAll(component, operation);
}

void TComponent::NotifyAll(TComponent* component, TOperation operation) {
  // A component may leave the list while it is told; walk from the end and
  // clamp, so that nobody is told twice and no index runs past the list.
  std::size_t i = FComponents.size();
  while (i > 0) {
    --i;
    FComponents[i]->Notification(component, operation);
    if (i > FComponents.size()) i = FComponents.size();
  }
}

void TComponent::SetDesigning(bool value, bool setChildren) {
  if (value)
    FComponentState |= csDesigning;
  else
    FComponentState &= ~static_cast<unsigned>(csDesigning);
  if (setChildren)
    for (TComponent* c : FComponents) c->SetDesigning(value, true);
}

void TComponent::BeginLoading() {
  FComponentState |= csLoading;
  for (TComponent* c : FComponents) c->BeginLoading();
}

void TComponent::EndLoading() {
  if (Loading()) {
    struct TEnd {
      TComponent* self;
      ~TEnd() { self->FComponentState &= ~static_cast<unsigned>(csLoading); }
    } end{this};
    Loaded();
  }
  // Loaded() of one component may create or delete others; the index is
  // checked against the live list on every step.
  for (std::size_t i = 0; i < FComponents.size(); ++i)
    if (FComponents[i]->Loading()) FComponents[i]->EndLoading();
}

void TComponent::Loaded() { FComponentState &= ~static_cast<unsigned>(csLoading); }

// ---- hidden windows -----------------------------------------------------------------

namespace {

const char kUtilWindowClass[] = "TkvUtilWindow";

// What a hidden window's GWLP_USERDATA points to. It outlives a
// DeallocateHWnd made from inside its own method until that method returns.
struct TWindowBinding {
  TWndMethod Method;
  int Busy = 0;
  bool Released = false;
};

LRESULT KVAPI UtilWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  TkvHost& host = Host();
  auto* binding = reinterpret_cast<TWindowBinding*>(host.GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!binding || binding->Released) return host.DefWindowProcA(window, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  ++binding->Busy;
  try {
    binding->Method(message);
  } catch (const std::exception& e) {
    host.OutputDebugStringA((std::string("kvframework: exception in a window method: ") + e.what()).c_str());
  } catch (...) {
    host.OutputDebugStringA("kvframework: exception in a window method");
  }
  if (--binding->Busy == 0 && binding->Released) delete binding;
  return message.Result;
}

TkvMutex gClassLock;
TkvHost* gClassHost KV_GUARDED_BY(gClassLock) = nullptr;  // the host the window class was registered with

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  TkvHost& host = Host();
  HINSTANCE instance = host.GetModuleHandleA(nullptr);
  {
    TkvLockGuard<TkvMutex> lock(gClassLock);
    if (gClassHost != &host) {
      WNDCLASSA cls{};
      cls.lpfnWndProc = &UtilWindowProc;
      cls.hInstance = instance;
      cls.lpszClassName = kUtilWindowClass;
      // A failure here is mostly "already registered" (by an earlier host at
      // the same address or another module); CreateWindowExA tells the rest.
      host.RegisterClassA(&cls);
      gClassHost = &host;
    }
  }
  auto binding = std::make_unique<TWindowBinding>();
  binding->Method = std::move(method);
  HWND window = host.CreateWindowExA(0, kUtilWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                     instance, nullptr);
  if (!window) {
    DWORD error = GetLastError();
    throw EkvException("Cannot create a hidden window (error " + std::to_string(error) + ")");
  }
  // Messages of the creation itself went to DefWindowProcA; from here on the
  // method gets them all.
  host.SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(binding.release()));
  return window;
}

void DeallocateHWnd(HWND window) {
  if (!window) return;
  TkvHost& host = Host();
  auto* binding = reinterpret_cast<TWindowBinding*>(host.GetWindowLongPtrA(window, GWLP_USERDATA));
  host.SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  host.DestroyWindow(window);
  if (binding) {
    if (binding->Busy > 0)
      binding->Released = true;  // the running method finishes first
    else
      delete binding;
  }
}

}  // namespace kv
