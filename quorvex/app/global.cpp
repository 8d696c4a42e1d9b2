#include "global.h"

#include <algorithm>
#include <cstdint>

#include "kvframework.h"
#include "kvtext.h"

namespace quorvex {

namespace {

using kv::DWORD;
using kv::Host;
using kv::TkvHost;

constexpr DWORD kProfileBuffer = 260;  // the profile path is read into this many characters
// A settings file is six short lines; more than this is not ours and is not read.
constexpr DWORD kMostBytes = 64 * 1024;
// Windows places windows within 16-bit coordinates; a stored value beyond is garbage.
constexpr long long kCoordinateLimit = 32767;

const char* const kTop = "MainFromTop";
const char* const kLeft = "MainFromLeft";
const char* const kRight = "MainFromRight";
const char* const kBottom = "MainFromBottom";
const char* const kIsMax = "MainFromIsMax";
const char* const kTreeWidth = "TreeWidth";

// The value of the first line "Name=..." (name without regard to case).
bool FindValue(const kv::TStringList& lines, const char* name, std::string& value) {
  const std::string wanted = kv::UpperAscii(name);
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines.Strings(i);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos && kv::UpperAscii(line.substr(0, eq)) == wanted) {
      value = line.substr(eq + 1);
      return true;
    }
  }
  return false;
}

// Decimal text with optional leading blanks and sign, nothing after the
// digits, within 32 bits.
bool ToInt(const std::string& text, int& result) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  long long n = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
    if (n > 2147483648LL) return false;
  }
  n = negative ? -n : n;
  if (n > INT32_MAX || n < INT32_MIN) return false;
  result = static_cast<int>(n);
  return true;
}

bool ToBool(const std::string& text, bool& result) {
  int n = 0;
  if (ToInt(text, n)) {
    result = n != 0;
    return true;
  }
  const std::string word = kv::UpperAscii(text);
  if (word == "TRUE" || word == "FALSE") {
    result = word == "TRUE";
    return true;
  }
  return false;
}

void ReadInt(const kv::TStringList& lines, const char* name, int& field) {
  std::string value;
  int n = 0;
  if (FindValue(lines, name, value) && ToInt(value, n)) field = n;
}

long long Clamp(long long v, long long lo, long long hi) { return std::max(lo, std::min(v, hi)); }

bool Overlaps(const TkvRect& a, const TkvRect& b) {
  return a.Left < b.Right && b.Left < a.Right && a.Top < b.Bottom && b.Top < a.Bottom;
}

// Squared distance between two rectangles (0 when they touch or overlap).
long long Distance(const TkvRect& a, const TkvRect& b) {
  const long long dx = std::max({0LL, static_cast<long long>(b.Left) - a.Right, static_cast<long long>(a.Left) - b.Right});
  const long long dy = std::max({0LL, static_cast<long long>(b.Top) - a.Bottom, static_cast<long long>(a.Top) - b.Bottom});
  return dx * dx + dy * dy;
}

// Creates Folder and every missing folder above it; failures are ignored
// (the file then cannot be written, which is not reported either).
void ForceFolders(const std::string& folder) {
  TkvHost& h = Host();
  for (std::size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '\\' && folder[i] != '/') continue;
    const std::string part = folder.substr(0, i);
    if (part.size() == 2 && part[1] == ':') continue;  // a drive
    if (h.GetFileAttributesA(part.c_str()) == kv::INVALID_FILE_ATTRIBUTES) h.CreateDirectoryA(part.c_str(), nullptr);
  }
}

}  // namespace

std::string SettingsFileName(const std::string& Profile, const std::string& ProgramFile) {
  std::string name = ProgramFile.substr(ProgramFile.find_last_of("\\/:") + 1);  // npos + 1 == 0
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return Profile + "\\Application Data\\Quorvex\\" + name + ".ini";
}

TOptions::TOptions() {
  TkvHost& h = Host();
  char profile[kProfileBuffer] = {};
  const DWORD length = h.GetEnvironmentVariableA("USERPROFILE", profile, kProfileBuffer);
  // Unset, or longer than the buffer (then the length asked for is returned
  // and nothing is copied): no settings file.
  if (length == 0 || length >= kProfileBuffer) return;
  char program[kv::MAX_PATH + 1] = {};
  const DWORD programLength = h.GetModuleFileNameA(nullptr, program, kv::MAX_PATH);
  if (programLength == 0 || programLength >= kv::MAX_PATH) return;
  std::string file = SettingsFileName(std::string(profile, length), std::string(program, programLength));
  if (file.size() >= kv::MAX_PATH) return;
  ForceFolders(file.substr(0, file.find_last_of('\\')));
  FileName = std::move(file);
}

void TOptions::LoadFromText(const std::string& Text, int Dpi) {
  MainRect = TkvRect{Scale(48, Dpi), Scale(48, Dpi), Scale(348, Dpi), Scale(348, Dpi)};
  IsMaximized = false;
  TreeWidth = Scale(100, Dpi);
  kv::TStringList lines;
  lines.SetText(Text);
  ReadInt(lines, kTop, MainRect.Top);
  ReadInt(lines, kLeft, MainRect.Left);
  ReadInt(lines, kRight, MainRect.Right);
  ReadInt(lines, kBottom, MainRect.Bottom);
  std::string value;
  bool flag = false;
  if (FindValue(lines, kIsMax, value) && ToBool(value, flag)) IsMaximized = flag;
  ReadInt(lines, kTreeWidth, TreeWidth);
}

std::string TOptions::SaveToText() const {
  auto line = [](const char* name, long long value) { return std::string(name) + "=" + std::to_string(value) + "\r\n"; };
  return line(kTop, MainRect.Top) + line(kLeft, MainRect.Left) + line(kRight, MainRect.Right) +
         line(kBottom, MainRect.Bottom) + line(kIsMax, IsMaximized ? -1 : 0) + line(kTreeWidth, TreeWidth);
}

void TOptions::Load(int Dpi) {
  std::string text;
  if (!FileName.empty()) {
    TkvHost& h = Host();
    kv::HANDLE file = h.CreateFileA(FileName.c_str(), kv::GENERIC_READ, kv::FILE_SHARE_READ, nullptr,
                                    kv::OPEN_EXISTING, 0, nullptr);
    if (file != kv::INVALID_HANDLE_VALUE) {
      const DWORD fileSize = h.GetFileSize(file, nullptr);
      if (fileSize != kv::INVALID_FILE_SIZE) {
        const DWORD size = std::min(fileSize, kMostBytes);
        text.resize(size);
        DWORD read = 0;
        if (!h.ReadFile(file, &text[0], size, &read, nullptr)) read = 0;
        text.resize(read);
      }
      h.CloseHandle(file);
    }
  }
  LoadFromText(text, Dpi);
}

void TOptions::Save() const {
  if (FileName.empty()) return;
  TkvHost& h = Host();
  kv::HANDLE file = h.CreateFileA(FileName.c_str(), kv::GENERIC_WRITE, 0, nullptr, kv::CREATE_ALWAYS,
                                  kv::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == kv::INVALID_HANDLE_VALUE) return;
  const std::string text = SaveToText();
  DWORD written = 0;
  h.WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  h.CloseHandle(file);
}

TkvRect FitOnMonitors(const TkvRect& Rect, const std::vector<TkvRect>& Monitors) {
  if (Monitors.empty()) return Rect;
  for (const TkvRect& m : Monitors)
    if (Overlaps(Rect, m)) return Rect;
  const TkvRect* nearest = &Monitors.front();
  for (const TkvRect& m : Monitors)
    if (Distance(Rect, m) < Distance(Rect, *nearest)) nearest = &m;
  const TkvRect& m = *nearest;
  const int width = std::min(Rect.Width(), m.Width());
  const int height = std::min(Rect.Height(), m.Height());
  const int left = static_cast<int>(Clamp(Rect.Left, m.Left, static_cast<long long>(m.Right) - width));
  const int top = static_cast<int>(Clamp(Rect.Top, m.Top, static_cast<long long>(m.Bottom) - height));
  return Bounds(left, top, width, height);
}

TkvFormPlacement TOptions::ApplyTo(const std::vector<TkvRect>& Monitors, TkvSize MinSize) const {
  // Whatever the file said: sizes at least the minimum, everything within
  // the coordinates Windows can place a window at.
  const long long left = Clamp(MainRect.Left, -kCoordinateLimit, kCoordinateLimit);
  const long long top = Clamp(MainRect.Top, -kCoordinateLimit, kCoordinateLimit);
  const long long width =
      Clamp(static_cast<long long>(MainRect.Right) - MainRect.Left, std::max(MinSize.Width, 1), kCoordinateLimit);
  const long long height =
      Clamp(static_cast<long long>(MainRect.Bottom) - MainRect.Top, std::max(MinSize.Height, 1), kCoordinateLimit);
  TkvRect bounds = FitOnMonitors(
      Bounds(static_cast<int>(left), static_cast<int>(top), static_cast<int>(width), static_cast<int>(height)),
      Monitors);
  // A monitor smaller than the minimum size: the minimum still wins.
  bounds.Right = bounds.Left + std::max(bounds.Width(), MinSize.Width);
  bounds.Bottom = bounds.Top + std::max(bounds.Height(), MinSize.Height);
  return TkvFormPlacement{bounds, IsMaximized ? TkvWindowState::Maximized : TkvWindowState::Normal};
}

void TOptions::StoreFrom(const TkvFormState& Form) {
  IsMaximized = Form.State == TkvWindowState::Maximized ||
                (Form.State == TkvWindowState::Minimized && Form.RestoreMaximized);
  if (IsMaximized) return;  // the last normal-state bounds stay
  // A minimized window sits at -32000: its normal-state bounds are the ones to keep.
  MainRect = Form.State == TkvWindowState::Minimized ? Form.NormalBounds : Form.Bounds;
}

}  // namespace quorvex
