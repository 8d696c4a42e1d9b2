// Screenshots of the browser on the demo machine, for people to look at: the
// main window with a device's rows on "General Info", its "USB Device"
// page (also with traffic in the terminal), the tree's pop-up menu, the
// "Install Driver ..." question, the Save As dialog of "Save Machine
// Description ..." and the About window, as PNG files.
//
//   quorvex_shots OUTDIR SUFFIX     (writes main-SUFFIX.png, device-SUFFIX.png,
//                                    terminal-SUFFIX.png, popup-SUFFIX.png,
//                                    install-SUFFIX.png, save-SUFFIX.png,
//                                    about-SUFFIX.png)
//
// Run inside Wine's own desktop window (explorer /desktop=...) so that title
// bars are drawn; run_shots.cmake does that at 96 and at 144 DPI. Exit code 0
// when all seven were written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "browserwin_fixture.h"

namespace {

// ---- a small PNG writer (stored deflate blocks: no compression library) ----

uint32_t Crc(const unsigned char* data, std::size_t size, uint32_t crc = 0xFFFFFFFFu) {
  static uint32_t table[256];
  static bool made = false;
  if (!made) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    made = true;
  }
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

void Be32(std::vector<unsigned char>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void Chunk(std::vector<unsigned char>& png, const char* type, const std::vector<unsigned char>& data) {
  Be32(png, static_cast<uint32_t>(data.size()));
  std::vector<unsigned char> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  Be32(png, Crc(body.data(), body.size()) ^ 0xFFFFFFFFu);
}

// rgb: width * height pixels, 3 bytes each, top row first.
bool WritePng(const std::string& file, int width, int height, const std::vector<unsigned char>& rgb) {
  std::vector<unsigned char> raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), rgb.begin() + static_cast<std::ptrdiff_t>(y) * width * 3,
               rgb.begin() + static_cast<std::ptrdiff_t>(y + 1) * width * 3);
  }
  std::vector<unsigned char> z{0x78, 0x01};
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z.push_back(at + n >= raw.size() ? 1 : 0);
    z.push_back(static_cast<unsigned char>(n & 0xFF));
    z.push_back(static_cast<unsigned char>(n >> 8));
    z.push_back(static_cast<unsigned char>(~n & 0xFF));
    z.push_back(static_cast<unsigned char>((~n >> 8) & 0xFF));
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (raw.empty()) break;
  }
  Be32(z, (b << 16) | a);

  std::vector<unsigned char> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<unsigned char> header;
  Be32(header, static_cast<uint32_t>(width));
  Be32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", {});
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  return std::fclose(f) == 0 && ok;
}

// The screen inside Bounds, as PNG.
bool Shoot(const RECT& bounds, const std::string& file) {
  const int w = bounds.right - bounds.left, h = bounds.bottom - bounds.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, bounds.left, bounds.top, SRCCOPY);
  GdiFlush();
  std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
  const auto* px = static_cast<const unsigned char*>(bits);
  for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h; ++i) {
    rgb[i * 3] = px[i * 4 + 2];
    rgb[i * 3 + 1] = px[i * 4 + 1];
    rgb[i * 3 + 2] = px[i * 4];
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const bool ok = WritePng(file, w, h, rgb);
  std::printf("%s %s (%d x %d)\n", ok ? "wrote" : "could not write", file.c_str(), w, h);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quorvex_shots OUTDIR SUFFIX\n");
    return 1;
  }
  const std::string out = std::string(argv[1]) + "\\";
  const std::string suffix = argv[2];
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  const int dpi = quorvex::win::ScreenDpi();
  std::printf("screen: %d DPI\n", dpi);
  // Menus and dialogs are shot once they have been drawn.
  constexpr int kSettle = 400;
  constexpr int kShots = 7;

  int written = 0;
  try {
    browserwin::TBrowserRun run;
    quorvex::TOptions options{quorvex::TOptions::TNoFile{}};
    options.MainRect = {quorvex::Scale(16, dpi), quorvex::Scale(16, dpi), quorvex::Scale(16 + 640, dpi),
                        quorvex::Scale(16 + 460, dpi)};
    options.TreeWidth = quorvex::Scale(250, dpi);
    quorvex::win::TfmMain& window = run.Open(options);
    SetForegroundWindow(window.Handle());
    HWND tree = window.Tree().Handle();
    window.Tree().Select(browserwin::FindItem(tree, TreeView_GetRoot(tree), "Quorvex Test Board"));
    window.Pages().SetActivePage(quorvex::win::TfmMain::pgGeneral);
    SetFocus(tree);
    browserwin::Pump(&window, 400);
    RECT frame;
    GetWindowRect(window.Handle(), &frame);
    written += Shoot(frame, out + "main-" + suffix + ".png");

    // The "USB Device" page of the same device.
    window.Pages().SetActivePage(quorvex::win::TfmMain::pgDevice);
    browserwin::Pump(&window, 300);
    written += Shoot(frame, out + "device-" + suffix + ".png");

    // The "USB Device" page with the loopback board's pipes open and some
    // traffic echoed into the terminal.
    SendMessageA(window.PipeInList(), CB_SETCURSEL, 0, 0);
    SendMessageA(window.PipeOutList(), CB_SETCURSEL, 0, 0);
    SendMessageA(window.ActiveBox(), BM_CLICK, 0, 0);
    for (char c : std::string("Hello, board!\r0123456789")) {
      PostMessageA(window.Terminal(), WM_CHAR, static_cast<unsigned char>(c), 1);
      browserwin::Pump(&window, 30);
    }
    browserwin::Pump(&window, 400);
    written += Shoot(frame, out + "terminal-" + suffix + ".png");
    SendMessageA(window.ActiveBox(), BM_CLICK, 0, 0);
    window.Pages().SetActivePage(quorvex::win::TfmMain::pgGeneral);
    browserwin::Pump(&window, 100);

    // The tree's pop-up menu, opened at the selected item.
    RECT item;
    TreeView_GetItemRect(tree, window.Tree().Selected(), &item, TRUE);
    POINT at{item.left + (item.right - item.left) / 2, item.bottom};
    ClientToScreen(tree, &at);
    {
      browserwin::TOnModal popup(
          [&](HWND menu) {
            RECT r = frame, m;
            GetWindowRect(menu, &m);
            UnionRect(&r, &frame, &m);
            written += Shoot(r, out + "popup-" + suffix + ".png");
            EndMenu();
          },
          "#32768", kSettle);
      SendMessageA(window.Handle(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(tree), MAKELPARAM(at.x, at.y));
    }

    // A dialog the command opens, taken and then answered with `answer`.
    auto shootDialog = [&](UINT command, const char* name, WPARAM answer) {
      browserwin::TOnModal dialog(
          [&](HWND box) {
            RECT r;
            GetWindowRect(box, &r);
            written += Shoot(r, out + name + "-" + suffix + ".png");
            PostMessageA(box, WM_COMMAND, answer, 0);
          },
          "#32770", kSettle);
      SendMessageA(window.Handle(), WM_COMMAND, command, 0);
    };
    // The question "Install Driver ..." asks first, answered No; the Save As
    // dialog of "Save Machine Description ...", cancelled; the About window,
    // with the mouse away from its links.
    shootDialog(quorvex::cmdInstallDriver, "install", IDNO);
    shootDialog(quorvex::cmdSaveMachineDescription, "save", IDCANCEL);
    SetCursorPos(0, 0);
    shootDialog(quorvex::cmdAbout, "about", IDOK);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvex_shots: %s\n", e.what());
    return 2;
  }
  return written == kShots ? 0 : 3;
}
