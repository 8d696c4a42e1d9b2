// Loading a simulated machine from its description (JSON). The format is
// documented in docs/machine-description.md. Every fault names the place in
// the description, so a hand-written machine is easy to fix.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "kvsimmachine.h"
#include "kvsimusbjson.h"
#include "kvsimwinusb.h"
#include "kvsimjson.h"
#include "kvtext.h"

// The demo machine description, embedded by the build.
extern const char kvDemoMachineJson[];

namespace kv {

using nlohmann::json;

namespace {

using namespace simjson;

GUID Guid(const json& j, const std::string& where) {
  GUID g{};
  if (!j.is_string() || !TextToGuid(j.get<std::string>(), g)) Fault(where, "must be a GUID like {XXXXXXXX-...}");
  return g;
}

std::vector<std::string> Texts(const json& j, const std::string& where) {
  if (!j.is_array()) Fault(where, "must be a list of texts");
  std::vector<std::string> out;
  for (const auto& e : j) {
    if (!e.is_string()) Fault(where, "must be a list of texts");
    out.push_back(e.get<std::string>());
  }
  return out;
}

HKEY ParseRoot(const std::string& path, std::string& rest, const std::string& where) {
  const std::size_t slash = path.find('\\');
  const std::string root = UpperAscii(path.substr(0, slash));
  rest = slash == std::string::npos ? std::string() : path.substr(slash + 1);
  if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") return HKEY_LOCAL_MACHINE;
  if (root == "HKCU" || root == "HKEY_CURRENT_USER") return HKEY_CURRENT_USER;
  if (root == "HKCR" || root == "HKEY_CLASSES_ROOT") return HKEY_CLASSES_ROOT;
  if (root == "HKU" || root == "HKEY_USERS") return HKEY_USERS;
  Fault(where, "a registry path starts with HKLM, HKCU, HKCR or HKU");
}

UINT DriveType(const std::string& type, const std::string& where) {
  const std::string t = UpperAscii(type);
  if (t == "REMOVABLE") return DRIVE_REMOVABLE;
  if (t == "FIXED") return DRIVE_FIXED;
  if (t == "REMOTE") return DRIVE_REMOTE;
  if (t == "CDROM") return DRIVE_CDROM;
  if (t == "RAMDISK") return DRIVE_RAMDISK;
  if (t == "UNKNOWN") return DRIVE_UNKNOWN;
  Fault(where, "drive type is one of removable, fixed, remote, cdrom, ramdisk, unknown");
}

}  // namespace

// Fills a machine from a parsed description; a friend of the machine.
class TkvSimDescriptionLoader {
 public:
  explicit TkvSimDescriptionLoader(TkvSimMachine& m) : M(m) {}

  void Load(const json& d) {
    TkvLockGuard<TkvRecursiveMutex> lock(M.FLock);  // the machine is not shared yet; the fields want it all the same
    OnlyKeys(d, "machine", {"name", "codePage", "windows", "drives", "services", "programs", "devnodes", "registry",
                            "usb", "driverPackages", "comment"});
    M.FName = Text(d, "name", "machine", "unnamed machine");
    if (d.contains("codePage")) {
      const json& cp = d["codePage"];
      // The code pages the machine can hand out text in; another would be
      // silently ignored by the conversions.
      if (!cp.is_number_unsigned() || (cp != 1250 && cp != 1251 && cp != 1252 && cp != 65001))
        Fault("codePage", "must be one of 1250, 1251, 1252, 65001");
      M.FCodePage = cp.get<unsigned>();
    }
    if (d.contains("windows")) Windows(d["windows"]);
    if (d.contains("drives")) {
      if (!d["drives"].is_object()) Fault("drives", "must map letters to types");
      for (auto it = d["drives"].begin(); it != d["drives"].end(); ++it) {
        const std::string where = "drives." + it.key();
        if (it.key().size() != 1 || !it.value().is_string()) Fault(where, "one letter, mapped to a type text");
        const char letter = UpperAscii(it.key()[0]);
        if (letter < 'A' || letter > 'Z') Fault(where, "drive letters run from A to Z");
        M.SetDrive(letter, DriveType(it.value().get<std::string>(), where));
      }
    }
    if (d.contains("services")) Services(d["services"]);
    if (d.contains("programs")) {
      if (!d["programs"].is_object()) Fault("programs", "must map file names to exit codes");
      for (auto it = d["programs"].begin(); it != d["programs"].end(); ++it) {
        if (!it.value().is_number_unsigned()) Fault("programs." + it.key(), "exit code must be a number");
        M.AddProgram(it.key(), it.value().get<DWORD>());
      }
    }
    if (d.contains("driverPackages")) {
      if (!d["driverPackages"].is_object()) Fault("driverPackages", "must map INF paths to services");
      for (auto it = d["driverPackages"].begin(); it != d["driverPackages"].end(); ++it) {
        if (!it.value().is_string()) Fault("driverPackages." + it.key(), "the service must be a text");
        M.AddDriverPackage(it.key(), it.value().get<std::string>());
      }
    }
    if (d.contains("registry")) Registry(d["registry"]);
    if (d.contains("devnodes")) {
      if (!d["devnodes"].is_array()) Fault("devnodes", "must be a list");
      for (std::size_t i = 0; i < d["devnodes"].size(); ++i)
        Devnode(d["devnodes"][i], nullptr, "devnodes[" + std::to_string(i) + "]", 1);
    }
    if (d.contains("usb")) LoadUsbDescription(M, d["usb"]);
  }

 private:
  void Windows(const json& w) {
    OnlyKeys(w, "windows", {"major", "minor", "build", "platform", "servicePack", "wow64"});
    auto number = [&](const char* key, DWORD fallback) {
      if (!w.contains(key)) return fallback;
      if (!w[key].is_number_unsigned()) Fault(std::string("windows.") + key, "must be a number");
      return w[key].get<DWORD>();
    };
    M.SetVersion(number("major", 5), number("minor", 1), number("build", 2600),
                 number("platform", VER_PLATFORM_WIN32_NT), Text(w, "servicePack", "windows", ""));
    if (w.contains("wow64")) {
      if (!w["wow64"].is_boolean()) Fault("windows.wow64", "must be true or false");
      M.SetWow64(w["wow64"].get<bool>());
    }
  }

  void Services(const json& s) {
    OnlyKeys(s, "services", {"missingLibraries", "missingExports", "configManagerInSetupApi"});
    if (s.contains("missingLibraries"))
      for (const auto& lib : Texts(s["missingLibraries"], "services.missingLibraries")) M.RemoveLibrary(lib);
    if (s.contains("missingExports")) {
      const json& e = s["missingExports"];
      if (!e.is_object()) Fault("services.missingExports", "must map library names to entry lists");
      for (auto it = e.begin(); it != e.end(); ++it)
        for (const auto& entry : Texts(it.value(), "services.missingExports." + it.key()))
          M.RemoveExport(it.key(), entry);
    }
    if (s.contains("configManagerInSetupApi")) {
      if (!s["configManagerInSetupApi"].is_boolean()) Fault("services.configManagerInSetupApi", "must be true or false");
      M.SetConfigManagerInSetupApi(s["configManagerInSetupApi"].get<bool>());
    }
  }

  void Registry(const json& r) {
    if (!r.is_object()) Fault("registry", "must map key paths to their values");
    for (auto it = r.begin(); it != r.end(); ++it) {
      const std::string where = "registry." + it.key();
      std::string path;
      const HKEY root = ParseRoot(it.key(), path, where);
      if (!it.value().is_object()) Fault(where, "must map value names to values");
      TkvSimKey& key = M.CreateKey(root, path);
      for (auto v = it.value().begin(); v != it.value().end(); ++v) {
        if (v.key() == "@kernelName") {
          if (!v.value().is_string()) Fault(where + ".@kernelName", "must be a text");
          key.SetKernelAlias(v.value().get<std::string>());
          continue;
        }
        Value(root, path, v.key() == "@default" ? std::string() : v.key(), v.value(), where + "." + v.key());
      }
    }
  }

  void Value(HKEY root, const std::string& path, const std::string& name, const json& v, const std::string& where) {
    ValueData(root, path, name, v, where);
    // "type" stores the value under another type number (REG_QWORD, a type of
    // a driver's own ...), as a captured machine may have them.
    if (v.is_object() && v.contains("type")) {
      if (!v["type"].is_number_unsigned()) Fault(where + ".type", "must be a number");
      if (TkvSimValue* value = M.CreateKey(root, path).Value(name)) value->Type = v["type"].get<DWORD>();
    }
  }

  void ValueData(HKEY root, const std::string& path, const std::string& name, const json& v,
                 const std::string& where) {
    if (v.is_string()) {
      M.SetString(root, path, name, v.get<std::string>());
      return;
    }
    OnlyKeys(v, where, {"sz", "expandSz", "terminated", "binary", "binaryText", "dword", "multiSz", "type"});
    const bool zero = !v.contains("terminated") || v["terminated"].get<bool>();
    if (v.contains("sz")) M.SetString(root, path, name, Text(v, "sz", where), zero, REG_SZ);
    else if (v.contains("expandSz")) M.SetString(root, path, name, Text(v, "expandSz", where), zero, REG_EXPAND_SZ);
    else if (v.contains("binary")) M.SetBinary(root, path, name, HexBytes(Text(v, "binary", where), where));
    else if (v.contains("binaryText")) {
      // UTF-16 text stored as raw bytes, as Windows keeps mounted-device paths.
      const std::u16string w = Utf8ToUtf16(Text(v, "binaryText", where));
      std::vector<BYTE> bytes;
      for (char16_t c : w) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
      }
      M.SetBinary(root, path, name, bytes);
    }
    else if (v.contains("dword")) {
      if (!v["dword"].is_number_unsigned()) Fault(where, "dword must be a number");
      M.SetDword(root, path, name, v["dword"].get<DWORD>());
    } else if (v.contains("multiSz")) {
      std::string joined;
      for (const auto& s : Texts(v["multiSz"], where)) joined += s + '\0';
      joined += '\0';
      M.SetString(root, path, name, joined, false, REG_MULTI_SZ);
    } else {
      Fault(where, "a value is a text or one of sz, expandSz, binary, binaryText, dword, multiSz");
    }
  }

  void Devnode(const json& n, TkvSimDevnode* parent, const std::string& where, int depth) {
    // Real device trees are a few dozen levels deep; a hostile description
    // must not exhaust the stack of the loader or of what walks the tree.
    if (depth > kMaxDevnodeDepth)
      Fault(where, "devnodes nest at most " + std::to_string(kMaxDevnodeDepth) + " deep");
    OnlyKeys(n, where, {"id", "class", "driver", "description", "service", "manufacturer", "pdo", "friendlyName",
                        "hardwareIds", "present", "parameters", "hardwareKey", "interfaces", "busRelations",
                        "removalRelations", "instanceIdSizeZero", "disabled", "ejectVeto", "children", "winusb",
                        "comment"});
    TkvSimMachine::DevnodeSpec spec;
    spec.InstanceId = Text(n, "id", where);
    if (spec.InstanceId.empty()) Fault(where, "a devnode needs an \"id\"");
    if (M.FindDevnode(spec.InstanceId)) Fault(where, "devnode id \"" + spec.InstanceId + "\" appears twice");
    if (n.contains("class")) spec.ClassGuid = Guid(n["class"], where + ".class");
    spec.DriverKey = Text(n, "driver", where);
    spec.Description = Text(n, "description", where);
    spec.Service = Text(n, "service", where);
    spec.Manufacturer = Text(n, "manufacturer", where);
    spec.PdoName = Text(n, "pdo", where);
    spec.FriendlyName = Text(n, "friendlyName", where);
    if (n.contains("hardwareIds")) spec.HardwareIds = Texts(n["hardwareIds"], where + ".hardwareIds");
    if (n.contains("present")) spec.Present = n["present"].get<bool>();
    if (n.contains("hardwareKey")) spec.WithHardwareKey = n["hardwareKey"].get<bool>();
    if (n.contains("parameters")) {
      if (!n["parameters"].is_object()) Fault(where + ".parameters", "must map value names to texts");
      for (auto it = n["parameters"].begin(); it != n["parameters"].end(); ++it) {
        if (!it.value().is_string()) Fault(where + ".parameters." + it.key(), "must be a text");
        spec.Parameters.emplace_back(it.key(), it.value().get<std::string>());
      }
    }
    TkvSimDevnode& node = M.AddDevnode(spec, parent);
    if (n.contains("interfaces")) {
      if (!n["interfaces"].is_array()) Fault(where + ".interfaces", "must be a list");
      for (const auto& i : n["interfaces"]) {
        OnlyKeys(i, where + ".interfaces", {"class", "path"});
        TkvSimInterface iface;
        iface.InterfaceClass = Guid(i.value("class", json()), where + ".interfaces.class");
        iface.Path = Text(i, "path", where + ".interfaces");
        node.Interfaces.push_back(iface);
      }
    }
    if (n.contains("busRelations")) node.BusRelations = Texts(n["busRelations"], where + ".busRelations");
    if (n.contains("removalRelations")) node.RemovalRelations = Texts(n["removalRelations"], where + ".removalRelations");
    if (n.contains("instanceIdSizeZero")) node.InstanceIdSizeZero = n["instanceIdSizeZero"].get<bool>();
    if (n.contains("disabled")) node.Disabled = n["disabled"].get<bool>();
    if (n.contains("ejectVeto")) {
      const json& v = n["ejectVeto"];
      OnlyKeys(v, where + ".ejectVeto", {"count", "name"});
      if (!v.contains("count") || !v["count"].is_number_unsigned())
        Fault(where + ".ejectVeto.count", "must be a number of refusals");
      M.SetEjectVetoes(node, v["count"].get<int>(), Text(v, "name", where + ".ejectVeto"));
    }
    if (SameText(spec.Service, "WinUSB") || n.contains("winusb")) WinUsb(n, node, spec, where);
    if (n.contains("children")) {
      if (!n["children"].is_array()) Fault(where + ".children", "must be a list");
      for (std::size_t i = 0; i < n["children"].size(); ++i)
        Devnode(n["children"][i], &node, where + ".children[" + std::to_string(i) + "]", depth + 1);
    }
  }

  // A device under WinUSB answers at its interface paths and at its
  // "SymbolicName" opened the Win32 way (\\.\ for \??\).
  void WinUsb(const json& n, const TkvSimDevnode& node, const TkvSimMachine::DevnodeSpec& spec,
              const std::string& where) {
    std::vector<std::string> paths;
    for (const TkvSimInterface& i : node.Interfaces) paths.push_back(i.Path);
    for (const auto& p : spec.Parameters)
      if (SameText(p.first, "SymbolicName")) paths.push_back(WinUsbOpenPath(p.second));
    auto device = AddWinUsbDevice(M, paths);
    if (!n.contains("winusb")) return;
    const json& w = n["winusb"];
    const std::string at = where + ".winusb";
    OnlyKeys(w, at, {"pipes", "gone", "loopbackCapacity", "comment"});
    device->SetGone(Flag(w, "gone", at, false));
    if (w.contains("loopbackCapacity")) {
      if (!w["loopbackCapacity"].is_number_unsigned() || w["loopbackCapacity"].get<std::uint64_t>() == 0)
        Fault(at + ".loopbackCapacity", "must be a byte count above 0");
      device->SetLoopbackCapacity(w["loopbackCapacity"].get<std::size_t>());
    }
    if (!w.contains("pipes")) return;
    if (!w["pipes"].is_object()) Fault(at + ".pipes", "must map endpoint addresses to behaviours");
    for (auto it = w["pipes"].begin(); it != w["pipes"].end(); ++it) {
      const std::string pipeAt = at + ".pipes." + it.key();
      const std::vector<std::uint8_t> address = simjson::HexBytes(it.key(), pipeAt);
      if (address.size() != 1) Fault(pipeAt, "an endpoint address is one hexadecimal byte");
      const json& b = it.value();
      TkvSimPipeKind kind = TkvSimPipeKind::Sink;
      DWORD rate = 0;
      if (b.is_string()) {
        if (!PipeKindFromName(b.get<std::string>(), kind))
          Fault(pipeAt, "must be sink, loopback, source, stall or gone");
      } else if (b.is_object()) {
        OnlyKeys(b, pipeAt, {"source"});
        if (!b.contains("source") || !b["source"].is_number_unsigned())
          Fault(pipeAt, "a source gives its rate in bytes per second: { \"source\": 1000 }");
        kind = TkvSimPipeKind::Source;
        rate = b["source"].get<DWORD>();
      } else {
        Fault(pipeAt, "must be a behaviour name or { \"source\": bytes per second }");
      }
      device->SetPipe(address[0], kind, rate);
    }
  }

  TkvSimMachine& M;
};

std::unique_ptr<TkvSimMachine> TkvSimMachine::FromJson(const std::string& text) {
  json d;
  try {
    d = json::parse(text);
  } catch (const json::exception& e) {
    // Malformed text, or a number beyond what JSON numbers hold here.
    throw std::runtime_error(std::string("machine description: not valid JSON: ") + e.what());
  }
  auto machine = std::make_unique<TkvSimMachine>();
  try {
    TkvSimDescriptionLoader(*machine).Load(d);
  } catch (const json::exception& e) {
    // A value of the wrong kind deep inside an entry.
    throw std::runtime_error(std::string("machine description: ") + e.what());
  }
  return machine;
}

std::unique_ptr<TkvSimMachine> TkvSimMachine::FromFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw std::runtime_error("machine description: \"" + path + "\" is a folder, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("machine description: cannot read \"" + path + "\"");
  std::ostringstream text;
  text << in.rdbuf();
  return FromJson(text.str());
}

std::unique_ptr<TkvSimMachine> NewDemoMachine() { return TkvSimMachine::FromJson(kvDemoMachineJson); }

TkvSimMachine& DemoMachine() {
  // Built once, kept to the end of the program: programs and tests may hold
  // on to it for as long as they run.
  static TkvSimMachine* demo = TkvSimMachine::FromJson(kvDemoMachineJson).release();
  return *demo;
}

}  // namespace kv
