#include "kvusbdriver.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <ctime>
#include <mutex>
#include <vector>

#include "kvsetupapi.h"
#include "kvusb.h"
#include "kvutils.h"

namespace kv {

namespace {

constexpr DWORD kDriverErrorCode = 14;
const char* const kDefaultInterfaceGuid = "{4266AEE3-A7D8-4DD2-B979-D64FB674F68A}";

const char* const kCoInstallers[] = {
    "kvusbbin_x32=i386\\WinUSBCoInstaller2.dll",   "kvusbwdf_x32=i386\\WdfCoInstaller01009.dll",
    "kvusbwdfup_x32=i386\\WUDFUpdate_01009.dll",   "kvusbbin_x64=amd64\\WinUSBCoInstaller2.dll",
    "kvusbwdf_x64=amd64\\WdfCoInstaller01009.dll", "kvusbwdfup_x64=amd64\\WUDFUpdate_01009.dll",
    "kvusbbin_i64=ia64\\WinUSBCoInstaller2.dll",   "kvusbwdf_i64=ia64\\WdfCoInstaller01009.dll",
    "kvusbwdfup_i64=ia64\\WUDFUpdate_01009.dll",
};
const char* const kPackageSubfolders[] = {"i386\\", "amd64\\", "ia64\\"};
constexpr DWORD kMaxTempPath = 260;

// The days of 1 January 0001 and 31 December 9999 relative to 30 December 1899.
constexpr double kFirstDay = -693593;
constexpr double kLastDay = 2958465;

// Gregorian date of a day number counted from 1 March 0000 (Howard Hinnant's
// civil_from_days, shifted to that epoch).
void CivilFromDays(long long days, int& year, unsigned& month, unsigned& day) {
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// Days from 1 March 0000 to 30 December 1899.
constexpr long long kDelphiEpoch = 693899;

std::string ReplaceTextCI(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  const std::string upperText = UpperAscii(text);
  const std::string upperFrom = UpperAscii(from);
  std::string result;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = upperText.find(upperFrom, pos);
    if (hit == std::string::npos) break;
    result.append(text, pos, hit - pos);
    result += to;
    pos = hit + from.size();
  }
  result.append(text, pos, std::string::npos);
  return result;
}

// A value as it may stand in the INF: inside a quoted string or as a plain
// field, it can neither end the string, refer to a string key nor break the
// line.
std::string EscapeInfValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F)
      out += ' ';
    else if (c == '"')
      out += "\"\"";
    else if (c == '%')
      out += "%%";
    else
      out += c;
  }
  return out;
}

bool StartsWithCI(const std::string& text, std::size_t pos, const std::string& what) {
  if (text.size() - pos < what.size()) return false;
  for (std::size_t i = 0; i < what.size(); ++i)
    if (UpperAscii(text[pos + i]) != UpperAscii(what[i])) return false;
  return true;
}

bool ContainsCI(const std::string& text, const std::string& what) {
  return UpperAscii(text).find(UpperAscii(what)) != std::string::npos;
}

// Sections that exist only to copy and register the co-installers.
bool IsCoInstallerSection(const std::string& name) {
  const std::string n = UpperAscii(name);
  auto endsWith = [&](const std::string& tail) {
    return n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0;
  };
  return endsWith(".COINSTALLERS") || n == "COINSTALLERS_ADDREG" || n == "COINSTALLERS_COPYFILES" ||
         n == "SOURCEDISKSFILES" || n.rfind("SOURCEDISKSFILES.", 0) == 0;
}

bool IsCoInstallerReference(const std::string& entry) {
  return ContainsCI(entry, "CoInstallers_CopyFiles") || ContainsCI(entry, "CoInstallers_AddReg");
}

// Leaves out what names co-installer files: their sections, the entries that
// refer to those sections, and sections that had nothing else.
std::string RemoveCoInstallers(const std::string& text) {
  std::string out;
  std::string section;  // the lines of the section being read, header included
  int kept = 0, dropped = 0;
  bool inSection = false, dropSection = false;
  std::size_t lastEntryEnd = 0;  // in section: the end of its last entry line
  auto flush = [&] {
    if (inSection && !dropSection && !(kept == 0 && dropped > 0)) {
      out += section;
    } else if (inSection) {
      // The comment lines after the last entry introduce what follows: they
      // stay, from the first comment on.
      const std::string tail = section.substr(lastEntryEnd);
      std::size_t first = 0;
      while (first < tail.size()) {
        std::size_t e = tail.find('\n', first);
        e = e == std::string::npos ? tail.size() : e + 1;
        if (!Trim(tail.substr(first, e - first)).empty()) break;
        first = e;
      }
      out += tail.substr(first);
    }
    section.clear();
    kept = dropped = 0;
    lastEntryEnd = 0;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(pos, end - pos);
    pos = end;
    const std::string trimmed = Trim(line);
    if (!trimmed.empty() && trimmed.front() == '[') {
      flush();
      const std::size_t close = trimmed.find(']');
      const std::string name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      inSection = true;
      dropSection = IsCoInstallerSection(name);
      section = line;
      lastEntryEnd = section.size();
      continue;
    }
    const bool entry = !trimmed.empty() && trimmed.front() != ';';
    if (!inSection) {
      out += line;
    } else if (entry && IsCoInstallerReference(trimmed)) {
      ++dropped;
    } else {
      if (entry) ++kept;
      section += line;
      if (entry) lastEntryEnd = section.size();
    }
  }
  flush();
  return out;
}

// Creates Path (ending with a separator) with all missing parents.
void ForceDirectories(const std::string& path) {
  TkvHost& host = Host();
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '\\' && path[i] != '/') continue;
    const std::string prefix = path.substr(0, i);
    if (prefix.back() == ':' || prefix.back() == '\\' || prefix.back() == '/') continue;
    if (host.GetFileAttributesA(prefix.c_str()) == INVALID_FILE_ATTRIBUTES) host.CreateDirectoryA(prefix.c_str(), nullptr);
  }
}

}  // namespace

TDateTime Now() {
  static std::mutex lock;  // localtime shares one result buffer
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> guard(lock);
  const std::tm* t = std::localtime(&now);
  if (!t) return 0;
  long long y = t->tm_year + 1900;
  const unsigned m = static_cast<unsigned>(t->tm_mon + 1);
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + static_cast<unsigned>(t->tm_mday) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = era * 146097 + doe - kDelphiEpoch;
  return static_cast<double>(days) + (t->tm_hour * 3600.0 + t->tm_min * 60.0 + t->tm_sec) / 86400.0;
}

std::string InfDateText(TDateTime date) {
  // The whole part is the day, also before 1900: -1.25 is 29 December 1899,
  // 6:00.
  double days = std::isnan(date) ? 0 : std::trunc(date);
  if (days < kFirstDay) days = kFirstDay;
  if (days > kLastDay) days = kLastDay;
  int year;
  unsigned month, day;
  CivilFromDays(static_cast<long long>(days) + kDelphiEpoch, year, month, day);
  return Format("%.2u/%.2u/%.4d", {month, day, year});
}

std::string MakeDriverInf(const std::string& templateText, const TkvInfValues& values) {
  // A value takes part in the placeholders that follow its own (a caption
  // naming %KV_INTF_GUID% shows the GUID), as when they are replaced one after
  // another; it is made safe only after that, so an escaped "%%" can never
  // be read as a placeholder.
  const std::string placeholders[] = {"%KV_HID%",        "%KV_CLASS%",     "%KV_VER_DATE%",
                                      "%KV_VER_NUMBER%", "%KV_DEV_DESCR%", "%KV_INTF_GUID%"};
  const std::string raw[] = {values.HardwareId,  "USB", InfDateText(values.Date), values.Version,
                             values.Description, GuidToText(values.InterfaceGuid)};
  constexpr std::size_t n = 6;
  std::string ready[n];
  for (std::size_t k = 0; k < n; ++k) {
    std::string v = raw[k];
    for (std::size_t j = k + 1; j < n; ++j) v = ReplaceTextCI(v, placeholders[j], raw[j]);
    ready[k] = EscapeInfValue(v);
  }
  // The co-installer references go before anything is filled in, so that a
  // device's own text can never look like one and lose its line.
  const std::string source = values.WithCoInstallers ? templateText : RemoveCoInstallers(templateText);
  // One pass over the template: inserted text is never read again.
  std::string text;
  text.reserve(source.size() + 256);
  for (std::size_t i = 0; i < source.size();) {
    bool replaced = false;
    if (source[i] == '%') {
      for (std::size_t k = 0; k < n && !replaced; ++k) {
        if (StartsWithCI(source, i, placeholders[k])) {
          text += ready[k];
          i += placeholders[k].size();
          replaced = true;
        }
      }
    }
    if (!replaced) text += source[i++];
  }
  return text;
}

// ---- TkvUsbDriver ------------------------------------------------------------------

TkvUsbDriver::TkvUsbDriver(TComponent* AOwner)
    : TComponent(AOwner),
      FDriverVersion("8.0.0.1"),
      FDriverDate(Now()),
      FInterfaceGUID(kDefaultInterfaceGuid),
      FCoInstallerFiles(std::make_unique<TStringList>()) {
  for (const char* line : kCoInstallers) FCoInstallerFiles->Add(line);
}

TkvUsbDriver::~TkvUsbDriver() = default;

void TkvUsbDriver::SetkvUsb(TkvUSB* Value) {
  FkvUsb = Value;
  // Asked for, so that a component of another owner cannot leave this one
  // holding a dangling reference.
  if (Value) Value->FreeNotification(this);
}

void TkvUsbDriver::SetLog(TkvCustomLogFile* Value) {
  FLog = Value;
  if (Value) Value->FreeNotification(this);
}

void TkvUsbDriver::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != opRemove) return;
  if (AComponent == FkvUsb) FkvUsb = nullptr;
  if (AComponent == FLog) FLog = nullptr;
}

void TkvUsbDriver::FatalError(DWORD Detail, const std::string& Msg) {
  bool raiseException = true;
  if (FLog) FLog->WriteFmt(0, "Fatal Error: %u, %s", {Detail, Msg});
  if (FOnFatalError) {
    TOnFatalErrorEvent handler = FOnFatalError;
    handler(this, kDriverErrorCode, Detail, Msg, raiseException);
  }
  if (raiseException) throw Exception(Msg);
}

void TkvUsbDriver::WriteLog(BYTE Level, const std::string& Msg) {
  if (FLog) FLog->Write(Level, "kvUsbDriver: " + Msg);
}

std::string TkvUsbDriver::GetHardwareId() {
  DWORD vendor = FIdVendor, product = FIdProduct;
  if (FkvUsb && FkvUsb->SelectedDevice()) {
    vendor = FkvUsb->SelectedDevice()->IdVendor;
    product = FkvUsb->SelectedDevice()->IdProduct;
  }
  if (vendor != 0 && product != 0) return Format("USB\\VID_%.4X&PID_%.4X", {vendor, product});
  FatalError(2, "Device is not selected.");
  return std::string();
}

bool TkvUsbDriver::SaveDriverFiles(const std::string& Folder) {
  TkvHost& host = Host();
  FInterfaceGUID = Trim(FInterfaceGUID);
  if (FInterfaceGUID.empty()) {
    if (host.CoCreateGuid(&FInterfaceGuidValue) < 0) FInterfaceGuidValue = GUID{};
  } else {
    GUID parsed{};
    if (FInterfaceGUID.front() != '{' || !TextToGuid(FInterfaceGUID, parsed)) {
      FatalError(4, "Interface GUID is not correct.");
      return false;
    }
    FInterfaceGuidValue = parsed;
  }

  const DWORD attributes = host.GetFileAttributesA(Folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    FatalError(4, "Creating of temporary path is failed.");
    return false;
  }
  for (const char* sub : kPackageSubfolders) ForceDirectories(Folder + sub);

  int count = 0;
  for (int i = 0; i < FCoInstallerFiles->Count(); ++i) {
    const std::string& line = FCoInstallerFiles->Strings(i);
    const std::size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    const std::string path = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (SaveResourceToFile(name, Folder + path)) {
      ++count;
      WriteLog(2, "Driver file has been created: " + line);
    }
  }
  WriteLog(1, Format("Create files:%d", {count}));

  TkvInfValues values;
  if (!FDriverCaption.empty())
    values.Description = " " + FDriverCaption;
  else if (FkvUsb && FkvUsb->SelectedDevice())
    values.Description = " " + FkvUsb->SelectedDevice()->Name;
  values.HardwareId = GetHardwareId();
  values.Date = FDriverDate;
  values.Version = FDriverVersion;
  values.InterfaceGuid = FInterfaceGuidValue;
  values.WithCoInstallers = count > 0;
  const std::string text = MakeDriverInf(LoadResourceText("kvusbinf"), values);

  const std::string infPath = Folder + "kvusb.inf";
  // A half INF is never handed to Windows: a failed write removes it.
  if (!WriteWholeFile(infPath, text.data(), static_cast<DWORD>(text.size()))) {
    FatalError(5, "Creating file error.");
    return false;
  }
  SaveResourceToFile("kvx64stub", Folder + "kvX64stub.exe");
  return true;
}

namespace {

// The package folder and its subfolders, once emptied; a folder that still
// holds something (a file Windows kept open) stays.
void RemovePackageFolders(const std::string& folder) {
  TkvHost& host = Host();
  for (const char* sub : kPackageSubfolders) host.RemoveDirectoryA((folder + sub).c_str());
  host.RemoveDirectoryA(folder.c_str());
}


}  // namespace

void TkvUsbDriver::InstallDriver() {
  TkvHost& host = Host();
  WriteLog(1, "Start WinUSB driver installation ...");
  char temp[kMaxTempPath + 1] = {};
  const DWORD length = host.GetTempPathA(kMaxTempPath, temp);
  if (length < 1 || length > kMaxTempPath) {
    FatalError(4, "Temporary path is wrong.");
    return;
  }
  // Each run its own folder, named after the tick count.
  const std::string folder = std::string(temp, length) + Format("kvLinkLib.Tmp.%X\\", {host.GetTickCount()});
  ForceDirectories(folder);
  try {
    SaveDriverFiles(folder);
  } catch (...) {
    // A run that ends here leaves nothing behind either.
    DeleteDriverFiles(folder);
    RemovePackageFolders(folder);
    throw;
  }
  WriteLog(1, "Files are saved. Try to install ...");
  host.Sleep(50);

  bool success = false;
  DWORD lastCode = 0;
  std::exception_ptr leaving;  // what ends the run once the package is gone
  try {
    const std::string infPath = folder + "kvusb.inf";
    success = InstallDriverForDevice(GetHardwareId(), infPath);
    if (!success) {
      lastCode = GetLastError();
      if (lastCode == ERROR_IN_WOW64) {
        WriteLog(2, "Driver installation needs x64 mode.");
        const std::string commandLine =
            "\"" + folder + "kvX64stub.exe\" \"" + GetHardwareId() + "\" \"" + infPath + "\"";
        RunProcess(commandLine, folder, true, true);
        lastCode = GetLastError();
        success = lastCode == 0;
        WriteLog(2, "x64 stub finished.");
      }
      WriteLog(1, "Instalaltion is finished.");
    }
  } catch (const Exception& e) {
    try {
      FatalError(14, e.Message());
    } catch (...) {
      leaving = std::current_exception();
    }
  } catch (...) {
    leaving = std::current_exception();
  }
  DeleteDriverFiles(folder);
  RemovePackageFolders(folder);
  if (leaving) std::rethrow_exception(leaving);

  if (!success) FatalError(4, "Driver installation failed." + SetupFailureText(lastCode));
}

void TkvUsbDriver::DeleteDriverFiles(const std::string& Folder) {
  TkvHost& host = Host();
  for (int i = 0; i < FCoInstallerFiles->Count(); ++i) {
    const std::string& line = FCoInstallerFiles->Strings(i);
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq + 1 == line.size()) continue;
    host.DeleteFileA((Folder + line.substr(eq + 1)).c_str());
  }
  host.DeleteFileA((Folder + "kvX64stub.exe").c_str());
  host.DeleteFileA((Folder + "kvusb.inf").c_str());
}

}  // namespace kv
