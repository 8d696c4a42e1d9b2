// Drives the real update.exe as a user would: prepares a product folder, an
// update folder with Update.inf and the product's registry key, starts the
// program, presses its buttons, answers its folder dialog, reads its result
// text, and checks the files and the registry afterwards.
//
//   update_e2e.exe UPDATE_EXE WORK_FOLDER [SHOT_FOLDER]
//
// With SHOT_FOLDER the driver asks for screenshots: it writes NAME.request
// there and waits for NAME.done, which the calling script writes once it has
// taken the picture. The report goes to WORK_FOLDER\result.txt; its last line
// is PASS or FAIL. A GUI program, so that Wine opens no console window that
// would show on the screenshots.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "UpdateRes.h"

namespace {

std::string GReport;
int GFailures = 0;

void Note(const std::string& text) { GReport += text + "\n"; }

bool Check(bool ok, const std::string& what) {
  Note(std::string(ok ? "ok   " : "FAIL ") + what);
  if (!ok) ++GFailures;
  return ok;
}

bool CheckText(const std::string& actual, const std::string& expected, const std::string& what) {
  return Check(actual == expected, what + ": \"" + actual + "\"" + (actual == expected ? "" : ", expected \"" + expected + "\""));
}

bool WaitFor(const std::function<bool()>& done, DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(50);
  }
  return true;
}

// ---- files and registry ---------------------------------------------------

void WriteText(const std::string& path, const std::string& text) {
  // Create the folders on the way.
  for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE ||
      !WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    Check(false, "write " + path);
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

std::string ReadText(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(missing)";
  char buffer[4096];
  DWORD read = 0;
  std::string text;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  CloseHandle(file);
  return text;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ProductKey(const std::string& name) { return "SOFTWARE\\Vandrell Datentechnik\\" + name; }

void SetProductKey(const std::string& name, const std::string& path, const std::string& version) {
  HKEY key = nullptr;
  if (!Check(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ProductKey(name).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                             nullptr) == ERROR_SUCCESS,
             "create the product key " + name)) {
    return;
  }
  RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>(path.size() + 1));
  RegSetValueExA(key, "Update", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                 static_cast<DWORD>(version.size() + 1));
  RegCloseKey(key);
}

std::string RecordedVersion(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey(name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "(no key)";
  }
  char text[64] = {};
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  const LONG status = RegQueryValueExA(key, "Update", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : "(no value)";
}

void DeleteProductKey(const std::string& name) { RegDeleteKeyA(HKEY_LOCAL_MACHINE, ProductKey(name).c_str()); }

// ---- the program's windows ------------------------------------------------

struct TSearch {
  DWORD Process;
  int ChildId;
  HWND Found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TSearch*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (process == search->Process && std::string(cls) == "#32770" && IsWindowVisible(window) &&
      GetDlgItem(window, search->ChildId) != nullptr) {
    search->Found = window;
    return FALSE;
  }
  return TRUE;
}

// The visible dialog of the process that has a control ChildId.
HWND WaitForDialog(DWORD process, int childId, const std::string& what) {
  TSearch search{process, childId, nullptr};
  WaitFor(
      [&] {
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        return search.Found != nullptr;
      },
      20000);
  Check(search.Found != nullptr, what + " appears");
  return search.Found;
}

std::string Text(HWND window) {
  char text[512] = {};
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      &result);
  return text;
}

std::string ItemText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

// Posted, not sent: the click runs the install and a modal dialog, and the
// driver must stay free to watch.
void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

class TProgram {
 public:
  TProgram(const std::string& exe, const std::string& folder) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"";
    const bool started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        folder.c_str(), &startup, &FInfo) != FALSE;
    const DWORD error = started ? 0 : GetLastError();
    FStarted = Check(started, "update.exe starts in " + folder + (started ? "" : ", error " + std::to_string(error)));
  }
  ~TProgram() {
    if (!FStarted) return;
    if (WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(FInfo.hProcess, 99);
    CloseHandle(FInfo.hProcess);
    CloseHandle(FInfo.hThread);
  }
  bool Started() const { return FStarted; }
  DWORD Id() const { return FInfo.dwProcessId; }
  // True when the program ended by itself within the time, with exit code 0.
  bool Ends() {
    if (WaitForSingleObject(FInfo.hProcess, 15000) != WAIT_OBJECT_0) return false;
    DWORD code = 1;
    GetExitCodeProcess(FInfo.hProcess, &code);
    return code == 0;
  }

 private:
  PROCESS_INFORMATION FInfo{};
  bool FStarted = false;
};

std::string GShotFolder;

// The screen's DPI; the driver is DPI aware itself, so that it sees the
// installer's windows in real pixels.
int Dpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi;
}

// Pictures taken at another DPI than 96 carry it in their name.
void Screenshot(std::string name) {
  if (GShotFolder.empty()) return;
  if (Dpi() != 96) name += "-" + std::to_string(Dpi()) + "dpi";
  const std::string done = GShotFolder + "\\" + name + ".done";
  DeleteFileA(done.c_str());
  WriteText(GShotFolder + "\\" + name + ".request", name);
  Check(WaitFor([&] { return Exists(done); }, 30000), "screenshot " + name + " taken");
}

// ---- the scenarios --------------------------------------------------------

struct TScene {
  std::string Root, Product, Update, Name;
};

TScene Prepare(const std::string& work, const std::string& scene, const std::string& version,
               const std::string& entries) {
  TScene s;
  s.Root = work + "\\" + scene;
  s.Product = s.Root + "\\product";
  s.Update = s.Root + "\\update";
  s.Name = "KvUpdateE2E-" + scene + "-" + std::to_string(GetCurrentProcessId());
  WriteText(s.Product + "\\Tool.exe", "program");
  WriteText(s.Product + "\\old.dll", "old");
  WriteText(s.Product + "\\a.dll", "old a");
  WriteText(s.Product + "\\sub\\keep.txt", "keep");
  WriteText(s.Update + "\\a.dll", "new a");
  WriteText(s.Update + "\\bin\\b.dll", "new b");
  WriteText(s.Update + "\\Update.inf", "[Update]\r\nUpdate=Werkzeug Update\r\nProgramm=Tool.exe\r\nProgrammName=" +
                                           s.Name + "\r\nVersion=" + version + "\r\n" + entries);
  DeleteProductKey(s.Name);
  return s;
}

const char* const Entries = "Delete1=old.dll\r\nDelete2=missing.dll\r\nCopy1=a.dll,a.dll\r\nCopy2=bin\\b.dll,sub\\b.dll\r\n";

void CheckInstalled(const TScene& s, const std::string& version) {
  Check(!Exists(s.Product + "\\old.dll"), "old.dll deleted");
  CheckText(ReadText(s.Product + "\\a.dll"), "new a", "a.dll replaced");
  CheckText(ReadText(s.Product + "\\sub\\b.dll"), "new b", "sub\\b.dll copied");
  CheckText(ReadText(s.Product + "\\Tool.exe"), "program", "Tool.exe untouched");
  CheckText(RecordedVersion(s.Name), version, "version in the registry");
}

// The registry knows the folder: install, then end through "Beenden".
void KnownFolder(const std::string& exe, const std::string& work) {
  Note("-- the registry knows the folder");
  const TScene s = Prepare(work, "known", "1.2.0", Entries);
  SetProductKey(s.Name, s.Product, "1.0.0");
  TProgram program(exe, s.Update);
  if (!program.Started()) return;
  HWND main = WaitForDialog(program.Id(), IDC_BTNINSTALLIEREN, "the main window");
  if (main == nullptr) return;
  CheckText(Text(main), "Update", "main window caption");
  CheckText(ItemText(main, IDC_LUPDATE), "Werkzeug Update", "LUpdate");
  CheckText(ItemText(main, IDC_LVERSION), "Version 1.2.0", "LVersion");
  CheckText(ItemText(main, IDC_BTNINSTALLIEREN), "&Installieren", "install button");
  CheckText(ItemText(main, IDC_BTNABBRECHEN), "&Abbrechen", "cancel button");
  Check(!IsWindowVisible(GetDlgItem(main, IDC_LLADEN)), "LLaden hidden at start");
  Check(!IsWindowVisible(GetDlgItem(main, IDC_PROGRESSBARLADEN)), "progress bar hidden at start");
  RECT client{};
  GetClientRect(main, &client);
  // The picture's 540 x 378 pixels at 96 DPI, scaled to the screen's DPI.
  Check(client.right == MulDiv(540, Dpi(), 96) && client.bottom == MulDiv(378, Dpi(), 96),
        "client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom) + " at " +
            std::to_string(Dpi()) + " DPI");
  // The buttons keep their place on the picture: bottom right, inside it.
  RECT button{};
  GetWindowRect(GetDlgItem(main, IDC_BTNABBRECHEN), &button);
  MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&button), 2);
  Check(button.right == MulDiv(516, Dpi(), 96) && button.bottom == MulDiv(344, Dpi(), 96),
        "cancel button ends at " + std::to_string(button.right) + ", " + std::to_string(button.bottom));
  Screenshot("update-main");

  Click(main, IDC_BTNINSTALLIEREN);
  HWND result = WaitForDialog(program.Id(), IDC_BTNBEENDEN, "the result dialog");
  if (result == nullptr) return;
  CheckText(Text(result), "Update", "result dialog caption");
  CheckText(ItemText(result, IDC_LINFO), "Programmteile korrekt installiert !", "result");
  Check(!IsWindowEnabled(GetDlgItem(main, IDC_BTNINSTALLIEREN)) && !IsWindowEnabled(GetDlgItem(main, IDC_BTNABBRECHEN)),
        "both buttons disabled after the run");
  Check(!IsWindowVisible(GetDlgItem(main, IDC_PROGRESSBARLADEN)), "progress bar hidden with the result");
  Screenshot("update-result");
  Click(result, IDC_BTNBEENDEN);
  Check(program.Ends(), "\"Beenden\" ends the program with exit code 0");
  CheckInstalled(s, "1.2.0");
  DeleteProductKey(s.Name);
}

// Nothing in the registry: the folder dialog asks, the answer lacks its
// closing backslash, and the product's key is created.
void AskedFolder(const std::string& exe, const std::string& work) {
  Note("-- the folder is asked for");
  const TScene s = Prepare(work, "asked", "3.0.1", Entries);
  TProgram program(exe, s.Update);
  if (!program.Started()) return;
  HWND main = WaitForDialog(program.Id(), IDC_BTNINSTALLIEREN, "the main window");
  if (main == nullptr) return;
  Click(main, IDC_BTNINSTALLIEREN);
  HWND ask = WaitForDialog(program.Id(), IDC_EEINGABE, "the folder dialog");
  if (ask == nullptr) return;
  CheckText(Text(ask), "Programm nicht gefunden !", "folder dialog caption");
  CheckText(ItemText(ask, IDC_LINFO), "Bitte geben Sie den Programmpfad an:", "folder dialog text");
  CheckText(ItemText(ask, IDOK), "Ok", "Ok button");
  CheckText(ItemText(ask, IDABORT), "Abbrechen", "Abbrechen button");
  SendMessageTimeoutA(GetDlgItem(ask, IDC_EEINGABE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(s.Product.c_str()),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
  Click(ask, IDOK);
  HWND result = WaitForDialog(program.Id(), IDC_BTNBEENDEN, "the result dialog");
  if (result == nullptr) return;
  CheckText(ItemText(result, IDC_LINFO), "Programmteile korrekt installiert !", "result");
  Click(result, IDC_BTNBEENDEN);
  Check(program.Ends(), "\"Beenden\" ends the program");
  CheckInstalled(s, "3.0.1");
  DeleteProductKey(s.Name);
}

// An older update is refused; the result dialog's close box leads back to the
// main window, whose "Abbrechen" ends the program.
void Refused(const std::string& exe, const std::string& work) {
  Note("-- an older version is refused");
  const TScene s = Prepare(work, "refused", "1.5.0", Entries);
  SetProductKey(s.Name, s.Product, "2.0.0");
  TProgram program(exe, s.Update);
  if (!program.Started()) return;
  HWND main = WaitForDialog(program.Id(), IDC_BTNINSTALLIEREN, "the main window");
  if (main == nullptr) return;
  Click(main, IDC_BTNINSTALLIEREN);
  HWND result = WaitForDialog(program.Id(), IDC_BTNBEENDEN, "the result dialog");
  if (result == nullptr) return;
  CheckText(ItemText(result, IDC_LINFO), "Neuere Version bereits installiert !", "result");
  PostMessageA(result, WM_CLOSE, 0, 0);
  Check(WaitFor([&] { return !IsWindow(result); }, 10000), "the close box closes the result dialog");
  Check(IsWindowEnabled(GetDlgItem(main, IDC_BTNINSTALLIEREN)) && IsWindowEnabled(GetDlgItem(main, IDC_BTNABBRECHEN)),
        "both buttons enabled again");
  Click(main, IDC_BTNABBRECHEN);
  Check(program.Ends(), "\"Abbrechen\" ends the program");
  CheckText(ReadText(s.Product + "\\old.dll"), "old", "old.dll kept");
  CheckText(ReadText(s.Product + "\\a.dll"), "old a", "a.dll kept");
  CheckText(RecordedVersion(s.Name), "2.0.0", "version in the registry unchanged");
  DeleteProductKey(s.Name);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc < 3) return 2;
  SetProcessDPIAware();
  Note("screen: " + std::to_string(Dpi()) + " DPI");
  const std::string exe = __argv[1];
  const std::string work = __argv[2];
  if (__argc > 3) GShotFolder = __argv[3];
  CreateDirectoryA(work.c_str(), nullptr);

  KnownFolder(exe, work);
  AskedFolder(exe, work);
  Refused(exe, work);

  Note(GFailures == 0 ? "PASS" : "FAIL");
  WriteText(work + "\\result.txt", GReport);
  return GFailures == 0 ? 0 : 1;
}
