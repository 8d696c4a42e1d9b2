// Reading the "usb" section of a machine description into simulated buses.
#include "kvsimusbjson.h"

#include <optional>
#include <set>
#include <stdexcept>

#include "kvsimusb.h"
#include "kvsimjson.h"
#include "kvtext.h"

namespace kv {

using nlohmann::json;

namespace {

using namespace simjson;

// Hexadecimal digits ("046D"); none: not such a number.
std::optional<unsigned long> HexDigits(const std::string& text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  unsigned long v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * 16 + static_cast<unsigned long>(d);
  }
  return v;
}

unsigned long HexText(const std::string& text, const std::string& where) {
  const std::optional<unsigned long> v = HexDigits(text);
  if (!v) Fault(where, "must be a hexadecimal number such as \"046D\"");
  return *v;
}

// A number: a JSON number, or hexadecimal digits in a text ("046D"). The
// place is spelt out only for a fault: large descriptions hold many numbers.
unsigned long Number(const json& j, const char* key, const std::string& where, unsigned long max,
                     unsigned long fallback) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  unsigned long v = 0;
  if (it->is_number_unsigned()) {
    v = it->get<unsigned long>();
  } else if (!it->is_string()) {
    Fault(where + "." + key, "must be a number or hexadecimal digits in a text");
  } else if (const std::optional<unsigned long> h = HexDigits(it->get_ref<const std::string&>())) {
    v = *h;
  } else {
    Fault(where + "." + key, "must be a hexadecimal number such as \"046D\"");
  }
  if (v > max) Fault(where + "." + key, "must not be above " + std::to_string(max));
  return v;
}

std::vector<BYTE> HexBytes(const json& j, const std::string& where) {
  if (!j.is_string()) Fault(where, "must be a text of hexadecimal bytes");
  return simjson::HexBytes(j.get<std::string>(), where);
}

DWORD Request(const std::string& name, const std::string& where) {
  const DWORD code = UsbRequestCode(name);
  if (!code) Fault(where, "\"" + name + "\" is not a USB request name (IOCTL_USB_...)");
  return code;
}

// "fail": a list of request names; "short": request names mapped to byte counts.
void Switches(const json& j, const std::string& where, std::map<DWORD, DWORD>& fail,
              std::map<DWORD, DWORD>& shortReplies) {
  if (j.contains("fail")) {
    if (!j["fail"].is_array()) Fault(where + ".fail", "must be a list of request names");
    for (const json& r : j["fail"]) {
      if (!r.is_string()) Fault(where + ".fail", "must be a list of request names");
      fail[Request(r.get<std::string>(), where + ".fail")] = ERROR_GEN_FAILURE;
    }
  }
  if (j.contains("short")) {
    if (!j["short"].is_object()) Fault(where + ".short", "must map request names to byte counts");
    for (auto it = j["short"].begin(); it != j["short"].end(); ++it) {
      if (!it.value().is_number_unsigned()) Fault(where + ".short." + it.key(), "must be a byte count");
      shortReplies[Request(it.key(), where + ".short")] = it.value().get<DWORD>();
    }
  }
}

// "replies": exact answers to exact requests, as a capture writes them where
// the fields cannot say what the machine answered.
void Replies(const json& j, const std::string& where, std::map<TkvSimUsbRequestKey, TkvSimUsbRawReply>& replies) {
  if (!j.contains("replies")) return;
  if (!j["replies"].is_array()) Fault(where + ".replies", "must be a list");
  for (std::size_t i = 0; i < j["replies"].size(); ++i) {
    const json& r = j["replies"][i];
    const std::string at = where + ".replies[" + std::to_string(i) + "]";
    OnlyKeys(r, at, {"request", "in", "outSize", "out", "error"});
    if (!r.contains("request") || !r["request"].is_string()) Fault(at, "a reply needs its \"request\" name");
    const DWORD code = Request(r["request"].get<std::string>(), at + ".request");
    const std::vector<BYTE> in = r.contains("in") ? HexBytes(r["in"], at + ".in") : std::vector<BYTE>();
    const DWORD outSize = static_cast<DWORD>(Number(r, "outSize", at, 0xFFFFFFFFul, 0));
    TkvSimUsbRawReply reply;
    if (r.contains("error")) {
      reply.Ok = false;
      reply.Error = static_cast<DWORD>(Number(r, "error", at, 0xFFFFFFFFul, ERROR_GEN_FAILURE));
      if (r.contains("out")) Fault(at, "a failed request has no \"out\"");
    } else if (r.contains("out")) {
      reply.Bytes = HexBytes(r["out"], at + ".out");
      if (reply.Bytes.size() > outSize) Fault(at + ".out", "longer than outSize");
    }
    replies[TkvSimUsbRequestKey(code, outSize, in)] = reply;
  }
}

BYTE Speed(const json& j, const std::string& where) {
  if (!j.contains("speed")) return 2;
  const json& s = j["speed"];
  if (s.is_string()) {
    const std::string t = UpperAscii(s.get<std::string>());
    if (t == "LOW") return 0;
    if (t == "FULL") return 1;
    if (t == "HIGH") return 2;
    Fault(where + ".speed", "is low, full, high or a speed code");
  }
  return static_cast<BYTE>(Number(j, "speed", where, 255, 2));
}

BYTE TransferType(const json& p, const std::string& where) {
  if (!p.contains("type")) return 2;
  if (p["type"].is_string()) {
    const std::string t = UpperAscii(p["type"].get<std::string>());
    if (t == "CONTROL") return 0;
    if (t == "ISOCHRONOUS") return 1;
    if (t == "BULK") return 2;
    if (t == "INTERRUPT") return 3;
    Fault(where + ".type", "is control, isochronous, bulk, interrupt or bmAttributes as a number");
  }
  return static_cast<BYTE>(Number(p, "type", where, 255, 2));
}

// What the whole "usb" section shares while it is read.
struct TBuses {
  std::set<std::string> HubNames;  // upper case: hubs open by name, without regard to case
};

void Hub(TBuses& buses, TkvSimUsbHub& hub, const json& j, const std::string& where, int depth);

// A hub's name: required, and unique on the machine (CreateFileA opens a hub
// by its name, so a second hub of that name would hide the first one's devices).
std::string HubName(TBuses& buses, const json& h, const std::string& where, const char* what) {
  const std::string name = Text(h, "name", where);
  if (name.empty()) Fault(where, std::string(what) + " needs a \"name\"");
  if (!buses.HubNames.insert(UpperAscii(name)).second)
    Fault(where + ".name", "hub name \"" + name + "\" appears twice");
  return name;
}

// The device fields, onto a device that a hub stores already.
void DeviceFields(TkvSimUsbDevice& d, const json& j, const std::string& where) {
  d.DriverKey = Text(j, "driver", where);
  d.IdVendor = static_cast<WORD>(Number(j, "vendorId", where, 0xFFFF, d.IdVendor));
  d.IdProduct = static_cast<WORD>(Number(j, "productId", where, 0xFFFF, d.IdProduct));
  d.BcdUsb = static_cast<WORD>(Number(j, "bcdUSB", where, 0xFFFF, d.BcdUsb));
  d.BcdDevice = static_cast<WORD>(Number(j, "bcdDevice", where, 0xFFFF, d.BcdDevice));
  d.DeviceClass = static_cast<BYTE>(Number(j, "class", where, 255, d.DeviceClass));
  d.DeviceSubClass = static_cast<BYTE>(Number(j, "subClass", where, 255, d.DeviceSubClass));
  d.DeviceProtocol = static_cast<BYTE>(Number(j, "protocol", where, 255, d.DeviceProtocol));
  d.MaxPacketSize0 = static_cast<BYTE>(Number(j, "maxPacketSize0", where, 255, d.MaxPacketSize0));
  d.NumConfigurations = static_cast<BYTE>(Number(j, "configurations", where, 255, d.NumConfigurations));
  d.IManufacturer = static_cast<BYTE>(Number(j, "manufacturerIndex", where, 255, d.IManufacturer));
  d.IProduct = static_cast<BYTE>(Number(j, "productIndex", where, 255, d.IProduct));
  d.ISerialNumber = static_cast<BYTE>(Number(j, "serialIndex", where, 255, d.ISerialNumber));
  d.Speed = Speed(j, where);
  d.Address = static_cast<WORD>(Number(j, "address", where, 0xFFFF, d.Address));
  d.CurrentConfiguration = static_cast<BYTE>(Number(j, "configuration", where, 255, d.CurrentConfiguration));
  d.ConnectionStatus = static_cast<DWORD>(Number(j, "status", where, 0xFFFFFFFFul, d.ConnectionStatus));
  d.ConfigAttributes = static_cast<BYTE>(Number(j, "configAttributes", where, 255, d.ConfigAttributes));
  d.ConfigMaxPower = static_cast<BYTE>(Number(j, "maxPower", where, 255, d.ConfigMaxPower));
  if (j.contains("configDescriptor")) d.ConfigDescriptor = HexBytes(j["configDescriptor"], where + ".configDescriptor");
  if (j.contains("openPipes")) d.ReportedOpenPipes = static_cast<DWORD>(Number(j, "openPipes", where, 0xFFFFFFFFul, 0));
  if (j.contains("strings")) {
    const json& s = j["strings"];
    if (!s.is_array() || s.size() > 255) Fault(where + ".strings", "must be a list of up to 255 texts or nulls");
    d.Strings.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i].is_null()) d.Strings.emplace_back();
      else if (s[i].is_string()) d.SetString(static_cast<int>(i + 1), s[i].get<std::string>());
      else Fault(where + ".strings[" + std::to_string(i) + "]", "must be a text or null");
    }
  }
  if (j.contains("pipes")) {
    if (!j["pipes"].is_array()) Fault(where + ".pipes", "must be a list");
    d.Pipes.clear();  // the list is all the pipes, also of a hub (which has its status-change pipe by default)
    for (std::size_t i = 0; i < j["pipes"].size(); ++i) {
      const json& p = j["pipes"][i];
      const std::string at = where + ".pipes[" + std::to_string(i) + "]";
      OnlyKeys(p, at, {"address", "type", "maxPacketSize", "interval", "scheduleOffset"});
      TkvSimUsbEndpoint e;
      e.Address = static_cast<BYTE>(Number(p, "address", at, 255, e.Address));
      e.Attributes = TransferType(p, at);
      e.MaxPacketSize = static_cast<WORD>(Number(p, "maxPacketSize", at, 0xFFFF, e.MaxPacketSize));
      e.Interval = static_cast<BYTE>(Number(p, "interval", at, 255, e.Interval));
      e.ScheduleOffset = static_cast<DWORD>(Number(p, "scheduleOffset", at, 0xFFFFFFFFul, 0));
      d.Pipes.push_back(e);
    }
  }
  if (j.contains("descriptors")) {
    const json& r = j["descriptors"];
    if (!r.is_object()) Fault(where + ".descriptors", "must map \"TTII\" (type, index) to hexadecimal bytes");
    for (auto it = r.begin(); it != r.end(); ++it) {
      const std::string at = where + ".descriptors." + it.key();
      if (it.key().size() != 4) Fault(at, "the key is type and index as four hexadecimal digits, e.g. \"0302\"");
      d.RawDescriptors[static_cast<WORD>(HexText(it.key(), at))] = HexBytes(it.value(), at);
    }
  }
  Switches(j, where, d.FailRequests, d.ShortReplies);
}

void Devices(TBuses& buses, TkvSimUsbHub& hub, const json& list, const std::string& where, int depth) {
  if (!list.is_array()) Fault(where, "must be a list");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json& j = list[i];
    const std::string at = where + "[" + std::to_string(i) + "]";
    OnlyKeys(j, at, {"port", "driver", "vendorId", "productId", "bcdUSB", "bcdDevice", "class", "subClass", "protocol",
                     "maxPacketSize0", "configurations", "manufacturerIndex", "productIndex", "serialIndex", "speed",
                     "address", "configuration", "status", "configAttributes", "maxPower", "configDescriptor",
                     "openPipes", "strings", "pipes", "descriptors", "fail", "short", "hub", "comment"});
    const unsigned long port = Number(j, "port", at, 255, 0);
    if (port < 1 || port > static_cast<unsigned long>(hub.PortCount()))
      Fault(at + ".port", "must name a port of the hub, 1 to " + std::to_string(hub.PortCount()));
    if (hub.Device(static_cast<int>(port))) Fault(at + ".port", "port " + std::to_string(port) + " is taken twice");
    TkvSimUsbDevice* device = nullptr;
    if (j.contains("hub")) {
      const json& h = j["hub"];
      const std::string hat = at + ".hub";
      if (!h.is_object()) Fault(hat, "must be an object");
      if (depth + 1 > kMaxHubDepth) Fault(hat, "hubs nest at most " + std::to_string(kMaxHubDepth) + " deep");
      const std::string name = HubName(buses, h, hat, "a hub");
      const unsigned long ports = Number(h, "ports", hat, 255, 4);
      TkvSimUsbHub& child = hub.AttachHub(static_cast<int>(port), name, static_cast<int>(ports), "");
      device = hub.Device(static_cast<int>(port));
      Hub(buses, child, h, hat, depth + 1);
    } else {
      device = &hub.Attach(static_cast<int>(port), TkvSimUsbDevice());
    }
    DeviceFields(*device, j, at);
  }
}

void Hub(TBuses& buses, TkvSimUsbHub& hub, const json& j, const std::string& where, int depth) {
  OnlyKeys(j, where, {"name", "ports", "hubControlCurrent", "busPowered", "exRequest", "reportedPorts", "openable",
                      "fail", "short", "devices", "replies", "comment"});
  hub.HubControlCurrent = static_cast<BYTE>(Number(j, "hubControlCurrent", where, 255, hub.HubControlCurrent));
  hub.BusPowered = Flag(j, "busPowered", where, hub.BusPowered);
  hub.ExRequestSupported = Flag(j, "exRequest", where, true);
  if (j.contains("reportedPorts")) hub.ReportedPorts = static_cast<BYTE>(Number(j, "reportedPorts", where, 255, 0));
  Switches(j, where, hub.FailRequests, hub.ShortReplies);
  Replies(j, where, hub.RawReplies);
  if (j.contains("devices")) Devices(buses, hub, j["devices"], where + ".devices", depth);
  if (!Flag(j, "openable", where, true)) hub.SetOpenable(false);
}

}  // namespace

void LoadUsbDescription(TkvSimMachine& machine, const json& usb) {
  OnlyKeys(usb, "usb", {"controllers", "comment"});
  TkvSimUsb buses(machine);
  TBuses read;
  if (!usb.contains("controllers")) return;
  if (!usb["controllers"].is_array()) Fault("usb.controllers", "must be a list");
  std::vector<unsigned long> numbers;
  for (std::size_t i = 0; i < usb["controllers"].size(); ++i) {
    const json& c = usb["controllers"][i];
    const std::string at = "usb.controllers[" + std::to_string(i) + "]";
    OnlyKeys(c, at, {"number", "driver", "rootHubName", "rootHub", "fail", "short", "replies", "comment"});
    if (!c.contains("number")) Fault(at, "a host controller needs its \"number\"");
    const unsigned long number = Number(c, "number", at, kMaxControllerNumber, 0);
    for (unsigned long n : numbers)
      if (n == number) Fault(at + ".number", "host controller " + std::to_string(number) + " appears twice");
    numbers.push_back(number);
    TkvSimUsbController& controller = buses.AddController(static_cast<int>(number), Text(c, "driver", at));
    Switches(c, at, controller.FailRequests, controller.ShortReplies);
    Replies(c, at, controller.RawReplies);
    if (c.contains("rootHubName")) controller.ReportedRootHubName = Text(c, "rootHubName", at);
    if (c.contains("rootHub")) {
      const json& h = c["rootHub"];
      const std::string hat = at + ".rootHub";
      if (!h.is_object()) Fault(hat, "must be an object");
      const std::string name = HubName(read, h, hat, "a root hub");
      Hub(read, controller.SetRootHub(name, static_cast<int>(Number(h, "ports", hat, 255, 2))), h, hat, 1);
    }
  }
}

}  // namespace kv
