#include "kvsimdriver.h"

#include <cctype>
#include <cstdio>

#include "kvplatform.h"
#include "kvsimmachine.h"
#include "kvsimusb.h"
#include "kvsimwinusb.h"
#include "kvsiminf.h"
#include "kvtext.h"
#include "kvutils.h"

namespace kv {

namespace {

constexpr DWORD kErrorGeneralSyntax = 0xE0000003;   // ERROR_GENERAL_SYNTAX
constexpr DWORD kErrorNoCompatDrivers = 0xE0000228;  // ERROR_NO_COMPAT_DRIVERS

bool FileExists(const std::string& path) {
  const DWORD a = Host().GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// The values of every entry Key in a section (letter case ignored).
std::vector<std::string> Directive(const TkvInfSection* section, const std::string& key) {
  std::vector<std::string> values;
  if (!section) return values;
  for (const TkvInfEntry& e : section->Entries)
    if (SameText(Trim(e.Key), key))
      for (const std::string& v : e.Values) values.push_back(Trim(v));
  return values;
}

// Where a file the package copies lies: its disk's path below the package
// folder, from [SourceDisksFiles(.arch)] and [SourceDisksNames(.arch)].
bool SourceOf(const TkvInf& inf, const std::string& arch, const std::string& file, std::string& relative) {
  for (const std::string& filesName : {"SourceDisksFiles." + arch, std::string("SourceDisksFiles")}) {
    const TkvInfSection* files = inf.Section(filesName);
    if (!files) continue;
    for (const TkvInfEntry& e : files->Entries) {
      if (!SameText(Trim(e.Key), file) || e.Values.empty()) continue;
      const std::string disk = Trim(e.Values[0]);
      const std::string sub = e.Values.size() > 1 ? Trim(e.Values[1]) : std::string();
      for (const std::string& namesName : {"SourceDisksNames." + arch, std::string("SourceDisksNames")}) {
        const TkvInfSection* names = inf.Section(namesName);
        if (!names) continue;
        for (const TkvInfEntry& d : names->Entries) {
          if (Trim(d.Key) != disk) continue;
          std::string path = d.Values.size() > 3 ? Trim(d.Values[3]) : std::string();
          while (!path.empty() && (path.front() == '\\' || path.front() == '/')) path.erase(0, 1);
          if (!path.empty()) path += "\\";
          if (!sub.empty()) path += sub + "\\";
          relative = path + file;
          return true;
        }
      }
      return false;
    }
  }
  return false;
}

}  // namespace

DWORD ReadSimDriverPackage(const std::string& infPath, const std::string& hardwareId, bool x64,
                           TkvSimDriverPackage& package, std::string* InfText) {
  std::string text;
  if (!ReadWholeFile(infPath, text)) return ERROR_FILE_NOT_FOUND;
  if (InfText) *InfText = text;
  TkvInf inf;
  std::string error;
  if (!inf.Parse(text, error)) return kErrorGeneralSyntax;
  const std::size_t slash = infPath.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string() : infPath.substr(0, slash + 1);
  const std::string decoration = x64 ? "NTamd64" : "NTx86";
  const std::string arch = x64 ? "amd64" : "x86";

  package = TkvSimDriverPackage{};
  for (const TkvInfEntry& e : inf.Section("Version") ? inf.Section("Version")->Entries : std::vector<TkvInfEntry>{})
    if (SameText(Trim(e.Key), "ClassGuid") && !e.Values.empty()) TextToGuid(Trim(e.Values[0]), package.ClassGuid);

  // The model entry that names the hardware id: in the models section for
  // this platform when [Manufacturer] lists the decoration, else the plain one.
  std::string install;
  const TkvInfSection* manufacturer = inf.Section("Manufacturer");
  for (const TkvInfEntry& m : manufacturer ? manufacturer->Entries : std::vector<TkvInfEntry>{}) {
    if (m.Values.empty() || !install.empty()) continue;
    std::string models = Trim(m.Values[0]);
    for (std::size_t i = 1; i < m.Values.size(); ++i)
      if (SameText(Trim(m.Values[i]), decoration)) models += "." + decoration;
    const TkvInfSection* section = inf.Section(models);
    for (const TkvInfEntry& d : section ? section->Entries : std::vector<TkvInfEntry>{}) {
      for (std::size_t i = 1; i < d.Values.size() && install.empty(); ++i) {
        if (!SameText(Trim(d.Values[i]), hardwareId)) continue;
        install = Trim(d.Values[0]);
        package.Description = Trim(d.Key);
      }
    }
  }
  if (install.empty() || !inf.Section(install)) return kErrorNoCompatDrivers;

  // Every file it copies must be in the package.
  std::vector<std::string> copies = Directive(inf.Section(install), "CopyFiles");
  for (const std::string& c : Directive(inf.Section(install + ".CoInstallers"), "CopyFiles")) copies.push_back(c);
  for (const std::string& c : copies) {
    std::vector<std::string> files;
    if (!c.empty() && c.front() == '@') {
      files.push_back(c.substr(1));
    } else if (const TkvInfSection* list = inf.Section(c)) {
      for (const TkvInfEntry& f : list->Entries)
        if (!f.Values.empty()) files.push_back(Trim(f.Key.empty() ? f.Values[0] : f.Key));
    } else {
      return kErrorGeneralSyntax;  // a CopyFiles section that is not there
    }
    for (const std::string& f : files) {
      std::string relative;
      if (!SourceOf(inf, arch, f, relative) || !FileExists(folder + relative)) return ERROR_FILE_NOT_FOUND;
    }
  }

  std::vector<std::string> services = Directive(inf.Section(install + ".Services"), "AddService");
  if (!services.empty()) package.Service = services[0];
  std::vector<std::string> addRegs = Directive(inf.Section(install), "AddReg");
  for (const std::string& r : Directive(inf.Section(install + ".HW"), "AddReg")) addRegs.push_back(r);
  for (const std::string& r : addRegs) {
    const TkvInfSection* reg = inf.Section(r);
    for (const TkvInfEntry& e : reg ? reg->Entries : std::vector<TkvInfEntry>{}) {
      if (e.Values.size() < 5 || !SameText(Trim(e.Values[0]), "HKR")) continue;
      const std::string name = Trim(e.Values[2]);
      if (!SameText(name, "DeviceInterfaceGUIDs") && !SameText(name, "DeviceInterfaceGUID")) continue;
      for (std::size_t i = 4; i < e.Values.size(); ++i) {
        GUID g{};
        if (!TextToGuid(Trim(e.Values[i]), g)) return kErrorGeneralSyntax;
        bool known = false;
        for (const GUID& k : package.Interfaces) known = known || k == g;
        if (!known) package.Interfaces.push_back(g);
      }
    }
  }
  return ERROR_SUCCESS;
}

// ---- what an installed package gives a device -------------------------------------

namespace {

const char* const kUsbDeviceInterface = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";  // GUID_DEVINTERFACE_USB_DEVICE

// The hexadecimal number after Tag ("VID_") in an id, or -1.
long IdNumber(const std::string& id, const std::string& tag) {
  const std::size_t at = UpperAscii(id).find(tag);
  if (at == std::string::npos) return -1;
  std::size_t end = at + tag.size();
  long value = 0;
  int digits = 0;
  for (; end < id.size() && digits < 8 && std::isxdigit(static_cast<unsigned char>(id[end])); ++end, ++digits) {
    const char c = UpperAscii(id[end]);
    value = value * 16 + (c <= '9' ? c - '0' : c - 'A' + 10);
  }
  return digits ? value : -1;
}

}  // namespace

void TkvSimMachine::ApplyDriverPackage(TkvSimDevnode& node, const TkvSimDriverPackage& package) {
  TkvLockGuard<TkvRecursiveMutex> lock(FLock);
  std::string oldKey;
  if (auto it = node.Properties.find(SPDRP_DRIVER); it != node.Properties.end()) oldKey = Ansi(it->second);
  if (!(package.ClassGuid == GUID{})) node.ClassGuid = package.ClassGuid;
  if (!package.Description.empty()) SetProperty(node, SPDRP_DEVICEDESC, package.Description);
  // The driver key: the device's own, or the next free one of its class.
  std::string key = oldKey;
  if (key.empty()) {
    for (int n = 0; n < 10000 && key.empty(); ++n) {
      char number[12];  // room for any int, though n stays below 10000
      std::snprintf(number, sizeof number, "%.4d", n);
      const std::string candidate = GuidToText(node.ClassGuid) + "\\" + number;
      if (!FDevnodeByDriverKey.count(UpperAscii(candidate))) key = candidate;
    }
    SetProperty(node, SPDRP_DRIVER, key);
  }
  // The device's name in paths: its instance id with '#' for '\'.
  std::string name = node.InstanceId;
  for (char& c : name)
    if (c == '\\') c = '#';
  if (node.HardwareKey.empty()) {
    node.HardwareKey = "SYSTEM\\CurrentControlSet\\Enum\\" + node.InstanceId + "\\Device Parameters";
    CreateKey(HKEY_LOCAL_MACHINE, node.HardwareKey);
  }
  const std::string symbolicName = "\\??\\" + name + "#" + kUsbDeviceInterface;
  SetString(HKEY_LOCAL_MACHINE, node.HardwareKey, "SymbolicName", symbolicName);
  std::vector<std::string> paths;
  for (const GUID& g : package.Interfaces) {
    const std::string path = LowerAscii("\\\\?\\" + name + "#" + GuidToText(g));
    bool known = false;
    for (const TkvSimInterface& i : node.Interfaces) known = known || SameText(i.Path, path);
    if (!known) node.Interfaces.push_back({g, path});
    paths.push_back(path);
  }
  // Under WinUSB the device opens at its interface paths and its SymbolicName.
  if (SameText(package.Service, "WinUSB")) {
    paths.push_back(WinUsbOpenPath(symbolicName));
    AddWinUsbDevice(*this, paths);
  }
  // The port the device is attached to now reports the driver key: the one
  // with the device's old key, or a driverless one with its vendor and product.
  const long vendor = IdNumber(node.InstanceId, "VID_"), product = IdNumber(node.InstanceId, "PID_");
  TkvSimUsbDevice* match = nullptr;
  for (const auto& object : FDeviceObjects) {
    auto* hub = dynamic_cast<TkvSimUsbHub*>(object.second.get());
    for (int port = 1; hub && port <= hub->PortCount(); ++port) {
      TkvSimUsbDevice* d = hub->Device(port);
      if (!d || d->Hub()) continue;
      if (!oldKey.empty() && SameText(d->DriverKey, oldKey)) match = d;
      if (!match && oldKey.empty() && d->DriverKey.empty() && d->IdVendor == vendor && d->IdProduct == product)
        match = d;
    }
  }
  if (match) {
    match->DriverKey = key;
    if (match->CurrentConfiguration == 0) match->CurrentConfiguration = 1;  // a driver configures it
  }
}

}  // namespace kv
