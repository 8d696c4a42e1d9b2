// Writing a recording as a machine description. Everything is said with the
// description's ordinary entries where they can say it; the USB replies are
// then checked against the buses those entries say (built as the text is
// written), and a request whose reply differs keeps its recorded reply
// ("replies").
#include <algorithm>
#include <bitset>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>  // std::call_once
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "kvsimjson.h"
#include "kvsimjsonwriter.h"
#include "kvsimmachine.h"
#include "kvsimrecording.h"
#include "kvsimusb.h"
#include "kvlock.h"
#include "kvtext.h"
#include "kvusbw32.h"
#include "kvutils.h"

namespace kv {

namespace {

using ojson = nlohmann::ordered_json;

constexpr std::size_t kConnectionHeader = 35;
constexpr std::size_t kPipeInfo = 11;
constexpr std::size_t kNodeInformation = 76;
constexpr std::size_t kDescriptorRequest = 12;
// Serial numbers shorter than this are replaced only where they are the
// serial number itself: inside other texts they would hit unrelated digits.
constexpr std::size_t kMinSerialInText = 4;
// What separates the pieces of ids, paths and names, where serial numbers
// stand between them (USB\VID_x&PID_y\<serial>, USB#VID_x&PID_y#<serial>#{...}).
constexpr char kSeparators[] = "\\\"#&{}/ ;";

template <class TBytes>
std::string Hex(const TBytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string HexNumber(unsigned value, int digits) {
  static const char hex[] = "0123456789ABCDEF";
  char b[8];
  int n = 0;
  for (unsigned v = value; v && n < 8; v >>= 4) ++n;  // digits the value needs
  n = std::max(n, std::min(digits, 8));
  for (int i = n - 1; i >= 0; --i, value >>= 4) b[i] = hex[value & 15];
  return std::string(b, static_cast<std::size_t>(n));
}

DWORD Get32(const TkvRecBytes& b, std::size_t at) { return ReadLeDword(b.Data + at); }
WORD Get16(const TkvRecBytes& b, std::size_t at) { return ReadLeWord(b.Data + at); }

// ANSI text of the machine's code page to UTF-8. The table is recovered from
// the host's own conversion, which uses the same code page.
class TAnsi {
 public:
  explicit TAnsi(unsigned codePage) : FUtf8(codePage == 65001) {}
  std::string operator()(std::string_view text) const {
    bool ascii = true;
    for (unsigned char b : text) ascii = ascii && b < 0x80;
    if (ascii) return std::string(text);
    if (FUtf8) return Utf16ToUtf8(Utf8ToUtf16(std::string(text)));  // keeps it valid UTF-8
    std::call_once(FLearnt, [this] { Learn(); });  // both threads of a capture convert
    std::u16string w;
    w.reserve(text.size());
    for (unsigned char b : text) {
      if (b < 0x80) {
        w += static_cast<char16_t>(b);
        continue;
      }
      auto it = FTable.find(b);
      w += it == FTable.end() ? u'?' : it->second;
    }
    return Utf16ToUtf8(w);
  }
  // The text as UTF-8: itself when it is ASCII, else converted into `room`.
  std::string_view View(std::string_view text, std::string& room) const {
    bool ascii = true;
    for (unsigned char b : text) ascii = ascii && b < 0x80;
    if (ascii) return text;
    room = (*this)(text);
    return room;
  }

 private:
  // The table, learnt when the first text outside ASCII comes.
  void Learn() const {
    for (char32_t c = 0x80; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const WCHAR w = static_cast<WCHAR>(c);
      const std::string a = Host().WideToAnsi(&w, 1);
      if (a.size() == 1 && static_cast<unsigned char>(a[0]) >= 0x80)
        FTable.emplace(static_cast<unsigned char>(a[0]), static_cast<char16_t>(c));
    }
  }
  bool FUtf8;
  mutable std::once_flag FLearnt;
  mutable std::map<unsigned char, char16_t> FTable;
};

// The code pages a description can name, told apart by how the host's
// conversion writes a few letters.
unsigned HostCodePage() {
  auto ansi = [](char16_t c) {
    const WCHAR w = static_cast<WCHAR>(c);
    return Host().WideToAnsi(&w, 1);
  };
  if (ansi(u'\u00E4').size() == 2) return 65001;
  if (ansi(u'\u0416') == "\xC6") return 1251;
  if (ansi(u'\u0104') == "\xA5") return 1250;
  return 1252;
}

// A text value up to its terminating zero.
std::string_view Text(const TkvRecBytes& data) {
  if (data.empty()) return std::string_view();
  const char* p = reinterpret_cast<const char*>(data.Data);
  return std::string_view(p, ::strnlen(p, data.size()));
}

const char* PropertyName(DWORD spdrp) {
  switch (spdrp) {
    case SPDRP_DRIVER: return "driver";
    case SPDRP_DEVICEDESC: return "description";
    case SPDRP_SERVICE: return "service";
    case SPDRP_MFG: return "manufacturer";
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME: return "pdo";
    case SPDRP_FRIENDLYNAME: return "friendlyName";
    default: return nullptr;
  }
}

// The texts of a list, each ending in its zero, up to the empty one.
std::vector<std::string_view> SplitMultiSz(const TkvRecBytes& data) {
  std::vector<std::string_view> items;
  const char* p = reinterpret_cast<const char*>(data.Data);
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t n = ::strnlen(p + at, data.size() - at);
    if (n == 0) break;
    items.emplace_back(p + at, n);
    at += n + 1;
  }
  return items;
}

// Below this, a second thread for the devnodes costs more than it saves.
constexpr std::size_t kDevnodesForThread = 512;

class TWriter {
 public:
  TWriter(const TkvRecordingMachine::TRecording& rec, const TkvCaptureOptions& options)
      : TWriter(rec, options, options.CodePage ? options.CodePage : HostCodePage()) {}
  TWriter(const TkvRecordingMachine::TRecording& rec, const TkvCaptureOptions& options, unsigned codePage)
      : R(rec), O(options), Ansi(codePage), FCodePage(codePage) {
    FObjects.resize(R.Opened.size() + 1);
    for (const TkvRecRequest& r : R.Requests) FObjects[r.Object].push_back(&r);
  }

 private:
  // The second thread of a capture: it waits for the serial numbers, and
  // is joined also when the capture unwinds.
  struct TScrub;
  class TSecondThread {
   public:
    template <class F>
    bool Start(F body) {  // false: no thread to be had; the caller does the work itself
      try {
        FThread = std::thread(std::move(body));
        return true;
      } catch (const std::system_error&) {
        return false;
      }
    }
    void Give(const TScrub* scrub) {
      {
        TkvLockGuard<TkvMutex> lock(FLock);
        FScrub = scrub;
      }
      FChanged.notify_all();
    }
    // The serial numbers once given; nullptr: the capture gave up.
    const TScrub* Serials() {
      TkvUniqueLock<TkvMutex> lock(FLock);
      while (!FScrub && !FCancelled) FChanged.wait(lock);
      return FScrub;
    }
    void Join() {
      if (FThread.joinable()) FThread.join();
    }
    ~TSecondThread() {
      {
        TkvLockGuard<TkvMutex> lock(FLock);
        FCancelled = true;
      }
      FChanged.notify_all();
      Join();
    }

   private:
    std::thread FThread;
    TkvMutex FLock;
    TkvCondition FChanged;
    const TScrub* FScrub KV_GUARDED_BY(FLock) = nullptr;
    bool FCancelled KV_GUARDED_BY(FLock) = false;
  };

 public:
  TkvCaptureResult Write() {
    // The devnodes, and the registry keys they name, owe nothing to the
    // buses: on large machines they are written on a second thread while
    // the buses are written and checked. That thread also replaces the
    // serial numbers in what it wrote, once they are all known. (The
    // devnodes go first in the registry's order: they name the hardware
    // keys the registry holds.)
    TkvJsonWriter devnodes(1);
    std::string devnodesOut;  // with the serial numbers replaced
    bool anyDevnode = false;
    std::exception_ptr failed;
    TScrub scrub;  // before the thread that reads it, so that it outlives the thread
    TSecondThread second;
    auto writeDevnodes = [&] {
      try {
        // Room guessed from the size of the recording: the texts run to
        // megabytes on large machines.
        devnodes.Text().reserve(R.Devnodes.size() * 320);
        anyDevnode = Devnodes(devnodes);
        Registry();
        if (O.KeepSerials) return;
        const TScrub* scrub = second.Serials();
        if (!scrub) return;  // the capture failed meanwhile
        devnodesOut.reserve(devnodes.Text().size());
        Scrub(*scrub, devnodes.Text(), devnodesOut);
      } catch (...) {
        failed = std::current_exception();
      }
    };
    const bool threaded = R.Devnodes.size() >= kDevnodesForThread && second.Start(writeDevnodes);

    // The replies are checked against the serial numbers as read: checked
    // against their placeholders, every serial-number request would differ
    // and keep its recorded reply, serial number and all.
    FPlaceholders = false;
    FModel = std::make_unique<TkvSimMachine>();  // only the buses answer these requests
    FModelUsb = std::make_unique<TkvSimUsb>(*FModel);
    std::string usb = Usb();
    // Windows names a USB device that has a serial number after it
    // (USB\VID_x&PID_y\<serial>); generated instance names hold a '&'.
    constexpr std::string_view usbDevice = "USB\\VID_";
    for (const TkvRecDevnode& n : R.Devnodes) {
      if (n.Id.size() <= usbDevice.size() || !SameText(n.Id.substr(0, usbDevice.size()), usbDevice)) continue;
      const std::string id = Ansi(n.Id);  // the prefix, ASCII, stays as it is
      const std::size_t last = id.rfind('\\');
      if (last < usbDevice.size()) continue;
      const std::string serial = id.substr(last + 1);
      if (!serial.empty() && serial.find('&') == std::string::npos) Placeholder(serial);
    }
    scrub = Scrubbing();
    second.Give(&scrub);
    Verify();
    FModelUsb.reset();
    FModel.reset();
    FPlaceholders = !O.KeepSerials;
    // Again, with the replies kept, or with the serial numbers out of the
    // descriptors kept as replied; otherwise the serial-number strings go in
    // as the text is written out.
    const bool again = !FRaw.empty() || (FPlaceholders && FRawDescriptors);
    if (again) usb = Usb();
    const bool splice = !again && FPlaceholders;
    if (threaded) second.Join();
    else writeDevnodes();
    if (failed) std::rethrow_exception(failed);

    // The document goes out part by part, each with its serial numbers
    // replaced on the way: the parts run to megabytes.
    TkvCaptureResult result;
    result.SerialsReplaced = static_cast<unsigned>(FSerials.size());
    result.Json.reserve(devnodes.Text().size() + usb.size() + FRegistryKeys.size() * 128 + 4096);
    TkvJsonWriter doc;
    auto flush = [&](std::string& part) {
      if (O.KeepSerials) result.Json += part;
      else Scrub(scrub, part, result.Json);
      part.clear();
    };
    doc.BeginObject();
    if (!O.Name.empty()) doc.Key("name").String(Utf16ToUtf8(Utf8ToUtf16(O.Name)));
    if (FCodePage != 1252) doc.Key("codePage").Number(FCodePage);
    if (R.Version || R.Wow64) doc.Key("windows").Json(Windows());
    if (R.DriveMask && *R.DriveMask) doc.Key("drives").Json(Drives());
    const ojson services = Services();
    if (!services.empty()) doc.Key("services").Json(services);
    if (!FRegistryKeys.empty()) {
      doc.Key("registry").BeginObject();
      for (const auto& k : FRegistryKeys) doc.Key(k.first).Json(k.second);
      doc.End();
    }
    if (anyDevnode) {
      doc.Key("devnodes").Raw(std::string());
      flush(doc.Text());
      result.Json += O.KeepSerials ? devnodes.Text() : devnodesOut;
    }
    if (!usb.empty()) {
      doc.Key("usb").Raw(std::string());
      flush(doc.Text());
      if (splice) Placeholders(usb, scrub, result.Json);
      else flush(usb);
    }
    doc.End();
    doc.Text() += '\n';
    flush(doc.Text());
    return result;
  }

 private:
  const TkvRecordingMachine::TRecording& R;
  const TkvCaptureOptions& O;
  TAnsi Ansi;
  unsigned FCodePage;
  // The requests to each object, and the ones kept as replied, by the
  // object's number.
  std::vector<std::vector<const TkvRecRequest*>> FObjects;
  std::map<std::size_t, std::vector<const TkvRecRequest*>> FRaw;
  bool FPlaceholders = false;  // serial-number strings written as their placeholders
  bool FRawDescriptors = false;  // descriptors written as replied
  std::map<std::string, std::string> FSerials;  // serial number -> placeholder
  // The placeholder of a serial number: SERIAL0001, ... in the order first met.
  const std::string& Placeholder(const std::string& serial) {
    std::string& placeholder = FSerials[serial];
    if (placeholder.empty()) placeholder = "SERIAL" + HexNumber(static_cast<unsigned>(FSerials.size()), 4);
    return placeholder;
  }
  std::set<std::string> FHubsWritten;  // upper case
  // Where the serial numbers stand in the "usb" text written with the
  // serial numbers as read: from before the text's separator to its end.
  struct TSerialSpan {
    std::size_t At, End;
    const std::string* Placeholder;
  };
  std::vector<TSerialSpan> FSerialSpans;
  const TkvSimUsbDevice FDeviceDefaults;
  const TkvSimUsbDevice FHubDefaults = TkvSimUsbHub::DeviceSide("");
  // The buses the "usb" section says, built while it is written the first
  // time; the recorded requests are replayed on them.
  std::unique_ptr<TkvSimMachine> FModel;
  std::unique_ptr<TkvSimUsb> FModelUsb;

  // ---- machine ---------------------------------------------------------------------

  ojson Windows() {
    ojson w = ojson::object();
    if (R.Version) {
      const OSVERSIONINFOA& v = *R.Version;
      w["major"] = v.dwMajorVersion;
      w["minor"] = v.dwMinorVersion;
      w["build"] = v.dwBuildNumber;
      w["platform"] = v.dwPlatformId;
      w["servicePack"] = Ansi(std::string(v.szCSDVersion, ::strnlen(v.szCSDVersion, sizeof(v.szCSDVersion))));
    }
    if (R.Wow64 && *R.Wow64) w["wow64"] = true;
    return w;
  }

  ojson Drives() {
    ojson d = ojson::object();
    for (int i = 0; i < 26; ++i) {
      if (!(*R.DriveMask & (1u << i))) continue;
      const char letter = static_cast<char>('A' + i);
      auto t = R.DriveTypes.find(letter);
      const UINT type = t == R.DriveTypes.end() ? DRIVE_FIXED : t->second;
      const char* name = type == DRIVE_REMOVABLE ? "removable"
                         : type == DRIVE_FIXED   ? "fixed"
                         : type == DRIVE_REMOTE  ? "remote"
                         : type == DRIVE_CDROM   ? "cdrom"
                         : type == DRIVE_RAMDISK ? "ramdisk"
                         : type == DRIVE_UNKNOWN ? "unknown"
                                                 : nullptr;
      if (name) d[std::string(1, letter)] = name;
    }
    return d;
  }

  ojson Services() {
    ojson s = ojson::object();
    if (!R.MissingLibraries.empty()) {
      s["missingLibraries"] = ojson::array();
      for (const auto& l : R.MissingLibraries) s["missingLibraries"].push_back(Ansi(l));
    }
    bool cmInSetupApi = true;
    ojson exports = ojson::object();
    for (const auto& lib : R.MissingExports) {
      ojson list = ojson::array();
      const bool setupApi = SameText(lib.first, "SetupAPI.dll") || SameText(lib.first, "SetupAPI");
      for (const auto& e : lib.second) {
        if (setupApi && e.rfind("CM_", 0) == 0) {
          if (e == "CM_Locate_DevNodeA") cmInSetupApi = false;
          continue;  // said by configManagerInSetupApi
        }
        list.push_back(e);
      }
      if (!list.empty()) exports[Ansi(lib.first)] = list;
    }
    if (!exports.empty()) s["missingExports"] = exports;
    if (!cmInSetupApi) s["configManagerInSetupApi"] = false;
    return s;
  }

  // ---- registry ----------------------------------------------------------------------

  // Keys in the order first named; an ordered JSON object finds its members
  // by a linear search, too slow for machines with thousands of keys.
  ojson& RegistryKey(const std::string& utf8Path) {
    auto it = FRegistryIndex.find(utf8Path);
    if (it != FRegistryIndex.end()) return FRegistryKeys[it->second].second;
    FRegistryIndex.emplace(utf8Path, FRegistryKeys.size());
    FRegistryKeys.emplace_back(utf8Path, ojson::object());
    return FRegistryKeys.back().second;
  }
  std::deque<std::pair<std::string, ojson>> FRegistryKeys;
  std::map<std::string, std::size_t> FRegistryIndex;

  ojson Value(const TkvRecValue& v) {
    const std::string raw(v.Data.begin(), v.Data.end());
    if (v.Type == REG_SZ || v.Type == REG_EXPAND_SZ) {
      const bool terminated = !raw.empty() && raw.back() == '\0';
      const std::string text = Ansi(terminated ? raw.substr(0, raw.size() - 1) : raw);
      if (v.Type == REG_SZ && terminated) return text;
      ojson o = ojson::object();
      o[v.Type == REG_SZ ? "sz" : "expandSz"] = text;
      if (!terminated) o["terminated"] = false;
      return o;
    }
    if (v.Type == REG_MULTI_SZ) {
      const std::vector<std::string_view> items = SplitMultiSz(v.Data);
      std::string joined;
      for (const auto& i : items) joined.append(i).push_back('\0');
      joined += '\0';
      ojson o = ojson::object();
      if (joined == raw) {
        o["multiSz"] = ojson::array();
        for (const auto& i : items) o["multiSz"].push_back(Ansi(i));
      } else {
        const bool terminated = !raw.empty() && raw.back() == '\0';
        o["sz"] = Ansi(terminated ? raw.substr(0, raw.size() - 1) : raw);
        if (!terminated) o["terminated"] = false;
        o["type"] = v.Type;
      }
      return o;
    }
    ojson o = ojson::object();
    if (v.Type == REG_DWORD && v.Data.size() == 4) {
      o["dword"] = Get32(v.Data, 0);
      return o;
    }
    o["binary"] = Hex(v.Data);
    if (v.Type != REG_BINARY) o["type"] = v.Type;
    return o;
  }

  void Registry() {
    std::vector<const TkvRecordingMachine::TRecording::Key*> keys;
    for (const auto& k : R.Keys) keys.push_back(&k.second);
    std::sort(keys.begin(), keys.end(), [](auto* a, auto* b) { return a->Seen < b->Seen; });
    for (const auto* k : keys) {
      ojson& key = RegistryKey(Ansi(k->Path));
      for (const auto& v : k->Values.List) key[v.first.empty() ? "@default" : Ansi(v.first)] = Value(v.second);
    }
  }

  // ---- devnodes ------------------------------------------------------------------------

  // The children of a devnode: the walk's order first, then the ones seen
  // otherwise in the order they were seen.
  std::vector<DEVINST> Children(DEVINST parent) {
    std::vector<DEVINST> list;
    const unsigned stamp = ++FStamp;  // FTaken[c] == stamp: c is in the list
    for (DEVINST c = R.Has(parent) ? R.At(parent).FirstChild : 0; c && FTaken[c] != stamp;) {
      if (!R.Has(c) || !IsChildOf(R.At(c), parent)) break;
      list.push_back(c);
      FTaken[c] = stamp;
      c = R.At(c).Next;
    }
    for (DEVINST c : FBySeen[parent])
      if (FTaken[c] != stamp) list.push_back(c);
    return list;
  }
  // By devnode key: the children in the order seen, marks of Children, the
  // ids as written, and the devnodes written.
  std::vector<std::vector<DEVINST>> FBySeen;
  std::vector<unsigned> FTaken;
  unsigned FStamp = 0;
  std::vector<std::string_view> FIds;  // into the recording, or into FIdTexts
  std::deque<std::string> FIdTexts;    // ids converted or made up
  std::vector<char> FDone;
  std::string FRoom;  // room for texts converted
  // The relations asked for, by devnode key.
  std::vector<const TkvRecBytes*> FBusRelations, FRemovalRelations;

  bool IsChildOf(const TkvRecDevnode& n, DEVINST parent) const {
    const bool top = n.Parent == 0 || n.Parent == R.Root || !R.Has(n.Parent);
    return parent == R.Root ? top : n.Parent == parent;
  }

  std::string_view IdOf(DEVINST key) {
    std::string_view& id = FIds[key];
    if (id.empty()) {
      const TkvRecDevnode& n = R.At(key);
      bool ascii = !n.Id.empty();
      for (unsigned char c : n.Id) ascii = ascii && c < 0x80;
      if (ascii) id = n.Id;
      // A devnode the library walked past without reading its id.
      else if (n.Id.empty()) id = FIdTexts.emplace_back("UNREAD\\DEVNODE\\" + std::to_string(n.Seen));
      else id = FIdTexts.emplace_back(Ansi(n.Id));
    }
    return id;
  }

  // The devnode tree, as the value of "devnodes"; false: no devnodes.
  bool Devnodes(TkvJsonWriter& out) {
    const std::size_t keys = R.Devnodes.size() + 1;
    FBySeen.assign(keys, {});
    FTaken.assign(keys, 0);
    FIds.assign(keys, std::string_view());
    FDone.assign(keys, 0);
    auto byKey = [&](const auto& map, std::vector<const TkvRecBytes*>& list) {
      list.assign(keys, nullptr);
      for (const auto& r : map) {
        auto node = R.ById.find(r.first);
        if (node != R.ById.end() && R.Has(node->second)) list[node->second] = &r.second;
      }
    };
    byKey(R.BusRelations, FBusRelations);
    byKey(R.RemovalRelations, FRemovalRelations);
    std::vector<std::pair<unsigned long, DEVINST>> order;
    for (DEVINST key = 1; key < keys; ++key)
      if (key != R.Root) order.emplace_back(R.At(key).Seen, key);
    std::sort(order.begin(), order.end());
    for (const auto& o : order) {
      const TkvRecDevnode& n = R.At(o.second);
      const bool top = n.Parent == 0 || n.Parent == R.Root || !R.Has(n.Parent);
      FBySeen[top ? R.Root : n.Parent].push_back(o.second);
    }
    const std::vector<DEVINST> top = Children(R.Root);
    out.BeginArray();
    for (DEVINST c : top) Devnode(out, c, 0);
    out.End();
    return !top.empty();
  }

  void Devnode(TkvJsonWriter& out, DEVINST key, int depth) {
    FDone[key] = 1;
    const TkvRecDevnode& n = R.At(key);
    const std::string_view id = IdOf(key);
    out.BeginObject();
    out.Key("id").String(id);
    if (n.Class) out.Key("class").String(GuidToText(*n.Class));
    for (const auto& p : n.Properties) {
      if (const char* name = PropertyName(p.first)) {
        out.Key(name).String(Ansi.View(Text(p.second.Data), FRoom));
      } else if (p.first == SPDRP_HARDWAREID) {
        out.Key("hardwareIds").BeginArray();
        for (std::string_view i : SplitMultiSz(p.second.Data)) out.String(Ansi.View(i, FRoom));
        out.End();
      }
    }
    if (n.HardwareKey && !*n.HardwareKey) out.Key("hardwareKey").Bool(false);
    if (n.IdSizeZero) out.Key("instanceIdSizeZero").Bool(true);
    if (!n.Interfaces.empty()) {
      out.Key("interfaces").BeginArray();
      for (const auto& i : n.Interfaces) {
        out.BeginObject();
        out.Key("class").String(GuidToText(i.first));
        out.Key("path").String(Ansi(i.second));
        out.End();
      }
      out.End();
    }
    if (!n.HardwareValues.List.empty()) {
      ojson& values =
          RegistryKey(std::string("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\").append(id).append("\\Device Parameters"));
      for (const auto& v : n.HardwareValues.List)
        values[v.first.empty() ? "@default" : Ansi(v.first)] = Value(v.second);
    }
    if (!n.KernelName.empty()) {
      std::u16string name(n.KernelName.size() / 2, u'\0');
      if (!name.empty()) std::memcpy(&name[0], n.KernelName.Data, name.size() * 2);
      const std::string ansi = Host().WideToAnsi(reinterpret_cast<const WCHAR*>(name.data()), name.size());
      if (!ansi.empty()) KernelNames(id, Ansi.View(ansi, FRoom));
    }

    std::vector<DEVINST> children;
    if (depth + 2 <= simjson::kMaxDevnodeDepth)  // the top level is the loader's depth 1
      for (DEVINST c : Children(key))
        if (!FDone[c]) children.push_back(c);
    // Relations are written where they differ from what the description
    // says anyway: the children for the bus, none for removal.
    auto relations = [&](const std::vector<const TkvRecBytes*>& byKey, const char* name,
                         const std::vector<DEVINST>* fallback) {
      if (!byKey[key]) return;
      std::vector<std::string> ids;
      for (const auto& i : SplitMultiSz(*byKey[key])) ids.push_back(Ansi(i));
      bool same = ids.size() == (fallback ? fallback->size() : 0);
      for (std::size_t i = 0; same && i < ids.size(); ++i) same = ids[i] == IdOf((*fallback)[i]);
      if (same) return;
      out.Key(name).BeginArray();
      for (const auto& i : ids) out.String(i);
      out.End();
    };
    relations(FBusRelations, "busRelations", &children);
    relations(FRemovalRelations, "removalRelations", nullptr);
    if (!children.empty()) {
      out.Key("children").BeginArray();
      for (DEVINST c : children) Devnode(out, c, depth + 1);
      out.End();
    }
    out.End();
  }
  // The kernel names the hardware key's components had where they differ
  // from the ones the simulated machine gives.
  void KernelNames(std::string_view id, std::string_view kernel) {
    constexpr std::string_view machine = "\\REGISTRY\\MACHINE\\";
    if (kernel.size() <= machine.size() || !SameText(kernel.substr(0, machine.size()), machine)) return;
    auto split = [](std::string_view path, std::vector<std::string_view>& parts) {
      parts.clear();
      for (;;) {
        const std::size_t slash = path.find('\\');
        parts.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) return;
        path.remove_prefix(slash + 1);
      }
    };
    FStandard.assign("SYSTEM\\CurrentControlSet\\Enum\\").append(id).append("\\Device Parameters");
    split(kernel.substr(machine.size()), FGot);
    split(FStandard, FNames);
    if (FGot.size() != FNames.size()) return;
    for (std::size_t i = 0; i < FNames.size(); ++i) {
      if (FGot[i] == (i == 1 ? std::string_view("ControlSet001") : FNames[i])) continue;
      std::string path = "HKLM";
      for (std::size_t j = 0; j <= i; ++j) path.append("\\").append(FNames[j]);
      RegistryKey(path)["@kernelName"] = std::string(FGot[i]);
    }
  }
  std::vector<std::string_view> FGot, FNames;
  std::string FStandard;

  // ---- USB --------------------------------------------------------------------------------

  using TRequests = std::vector<const TkvRecRequest*>;

  const TRequests& RequestsOf(const std::string& path) {
    static const TRequests none;
    auto it = R.Opened.find(UpperAscii(path));
    return it == R.Opened.end() ? none : FObjects[it->second.Number];
  }

  // The longest successful reply to a request among these.
  static const TkvRecRequest* Best(const TRequests& requests, DWORD code) {
    const TkvRecRequest* best = nullptr;
    for (const TkvRecRequest* r : requests) {
      if (r->Code != code || !r->Ok) continue;
      if (!best || r->Out.size() > best->Out.size()) best = r;
    }
    return best;
  }

  // Whether every request of this kind failed with this error (and there was one).
  static bool AllFailed(const TRequests& requests, DWORD code, DWORD error) {
    bool any = false;
    for (const TkvRecRequest* r : requests) {
      if (r->Code != code) continue;
      if (r->Ok || r->Error != error) return false;
      any = true;
    }
    return any;
  }

  // A name record's name: UTF-16 from `offset` to its zero or the reply's end.
  static std::u16string Name(const TkvRecRequest* r, std::size_t offset) {
    std::u16string name;
    for (std::size_t i = offset; r && i + 1 < r->Out.size(); i += 2) {
      const char16_t c = Get16(r->Out, i);
      if (!c) break;
      name += c;
    }
    return name;
  }

  bool Opened(const std::string& path, bool fallback) const {
    auto it = R.Opened.find(UpperAscii(path));
    return it == R.Opened.end() ? fallback : it->second.Opened;
  }

  // Reply bytes as written. Unless serial numbers are kept, the text of a
  // serial-number string (from `stringFrom` on; 0: none) becomes 'X's, and
  // so does a serial number known elsewhere where it stands between
  // separators (as in a hub's name), in UTF-16 or in ASCII. The length
  // stays, so that the reply still replays.
  std::vector<BYTE> Private(const TkvRecBytes& bytes, std::size_t stringFrom) {
    std::vector<BYTE> b(bytes.begin(), bytes.end());
    if (!FPlaceholders) return b;
    for (std::size_t i = stringFrom; stringFrom && i < b.size(); ++i) b[i] = (i - stringFrom) % 2 ? 0 : 'X';
    if (!FHiddenMade) {
      FHiddenMade = true;
      for (const auto& serial : FSerials) {
        if (serial.first.size() < kMinSerialInText) continue;
        std::vector<BYTE> wide;
        for (char16_t c : Utf8ToUtf16(serial.first)) {
          wide.push_back(static_cast<BYTE>(c & 0xFF));
          wide.push_back(static_cast<BYTE>(c >> 8));
        }
        FHidden.emplace_back(std::move(wide), 2);
        FHidden.emplace_back(std::vector<BYTE>(serial.first.begin(), serial.first.end()), 1);
      }
    }
    // A character that ends a piece: a separator, a zero, or none.
    auto apart = [&](std::size_t at, std::size_t unit) {
      if (at + unit > b.size()) return true;
      const unsigned c = unit == 2 ? (b[at] | b[at + 1] << 8) : b[at];
      return c == 0 || (c < 0x80 && std::strchr(kSeparators, static_cast<int>(c)) != nullptr);
    };
    for (const auto& [pattern, unit] : FHidden)
      for (auto at = std::search(b.begin(), b.end(), pattern.begin(), pattern.end()); at != b.end();
           at = std::search(at + static_cast<std::ptrdiff_t>(unit), b.end(), pattern.begin(), pattern.end())) {
        const std::size_t from = static_cast<std::size_t>(at - b.begin()), to = from + pattern.size();
        if ((from >= unit && !apart(from - unit, unit)) || !apart(to, unit)) continue;
        for (std::size_t i = from; i < to; i += unit) b[i] = 'X';
      }
    return b;
  }
  std::vector<std::pair<std::vector<BYTE>, std::size_t>> FHidden;  // serial numbers as bytes, and their unit
  bool FHiddenMade = false;

  // The recorded replies kept for an object; serialIndexes: a hub's serial
  // string index by port, for its descriptor requests.
  void Replies(TkvJsonWriter& out, const std::string& path, const std::vector<BYTE>* serialIndexes) {
    auto object = R.Opened.find(UpperAscii(path));
    auto it = object == R.Opened.end() ? FRaw.end() : FRaw.find(object->second.Number);
    if (it == FRaw.end()) return;
    out.Key("replies").BeginArray();
    for (const TkvRecRequest* r : it->second) {
      out.BeginObject();
      const std::string name = UsbRequestName(r->Code);
      out.Key("request").String(name.substr(0, name.find('/')));
      if (!r->In.empty()) out.Key("in").String(Hex(r->In));
      out.Key("outSize").Number(r->OutSize);
      std::size_t stringFrom = 0;
      if (r->Code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && r->In.size() >= kDescriptorRequest &&
          r->In[7] == 3 && r->In[6] && serialIndexes) {
        const DWORD port = Get32(r->In, 0);
        if (port < serialIndexes->size() && (*serialIndexes)[port] == r->In[6]) stringFrom = kDescriptorRequest + 2;
      }
      if (r->Ok) out.Key("out").String(Hex(Private(r->Out, stringFrom)));
      else out.Key("error").Number(r->Error);
      out.End();
    }
    out.End();
  }

  // Where a hub of the buses being built goes: below a controller (the root
  // hub) or on a port of a hub, with its device side.
  struct TModelSlot {
    TkvSimUsbController* Controller = nullptr;
    TkvSimUsbHub* Parent = nullptr;
    int Port = 0;
    const TkvSimUsbDevice* Device = nullptr;
  };

  // The value of "usb"; empty: no host controller opened. While FModel is
  // set, the buses the text says are built on it as well, as the loader
  // would build them from the text.
  std::string Usb() {
    FSerialSpans.clear();
    FHubsWritten.clear();
    TkvJsonWriter out(1);
    out.Text().reserve(R.Requests.size() * 144);
    out.BeginObject();
    out.Key("controllers").BeginArray();
    bool any = false;
    for (int n = 0; n <= simjson::kMaxControllerNumber; ++n) {
      const std::string path = "\\\\.\\HCD" + std::to_string(n);
      if (!Opened(path, false)) continue;
      any = true;
      const TRequests& requests = RequestsOf(path);
      out.BeginObject();
      out.Key("number").Number(static_cast<unsigned>(n));
      std::string driver;
      if (const TkvRecRequest* key = Best(requests, IOCTL_GET_HCD_DRIVERKEY_NAME)) {
        driver = Utf16ToUtf8(Name(key, 4));
        if (!driver.empty()) out.Key("driver").String(driver);
      }
      TkvSimUsbController* controller = FModel ? &FModelUsb->AddController(n, driver) : nullptr;
      // A root hub named twice (by two controllers) is written once: the
      // names open the hubs, so the second would hide the first.
      const std::string rootName = Utf16ToUtf8(Name(Best(requests, IOCTL_USB_GET_ROOT_HUB_NAME), 4));
      if (!rootName.empty() && FHubsWritten.insert(UpperAscii(rootName)).second)
        Hub(out.Key("rootHub"), rootName, 1, TModelSlot{controller});
      Replies(out, path, nullptr);
      out.End();
    }
    out.End();
    out.End();
    return any ? std::move(out.Text()) : std::string();
  }

  void Hub(TkvJsonWriter& out, const std::string& name, int depth, const TModelSlot& slot) {
    const bool root = depth == 1;
    const std::string path = "\\\\.\\" + name;
    out.BeginObject();
    out.Key("name").String(name);
    const TRequests& requests = RequestsOf(path);
    int ports = root ? 2 : 4;
    BYTE controlCurrent = 100;
    bool busPowered = false, nodeFails = false;
    const TkvRecRequest* info = Best(requests, IOCTL_USB_GET_NODE_INFORMATION);
    if (info && info->Out.size() >= kNodeInformation) {
      ports = info->Out[6];
      controlCurrent = info->Out[10];
      busPowered = info->Out[75] != 0;
      out.Key("ports").Number(static_cast<unsigned>(ports));
      if (controlCurrent != 100) out.Key("hubControlCurrent").Number(controlCurrent);
      if (busPowered) out.Key("busPowered").Bool(true);
    } else {
      DWORD highest = 0;
      for (const TkvRecRequest* r : requests)
        if (r->Code != IOCTL_USB_GET_NODE_INFORMATION && r->In.size() >= 4)
          highest = std::max(highest, Get32(r->In, 0));
      ports = static_cast<int>(std::min<DWORD>(255, std::max<DWORD>(highest, static_cast<DWORD>(ports))));
      out.Key("ports").Number(static_cast<unsigned>(ports));
      nodeFails = AllFailed(requests, IOCTL_USB_GET_NODE_INFORMATION, ERROR_GEN_FAILURE);
      if (nodeFails) out.Key("fail").BeginArray().String("IOCTL_USB_GET_NODE_INFORMATION").End();
    }
    bool exRequest = true;
    for (const TkvRecRequest* r : requests)
      if (r->Code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX && !r->Ok && r->Error == ERROR_INVALID_FUNCTION)
        exRequest = false;
    if (!exRequest) out.Key("exRequest").Bool(false);
    const bool openable = Opened(path, true);
    if (!openable) out.Key("openable").Bool(false);
    TkvSimUsbHub* model = nullptr;
    if (slot.Controller) model = &slot.Controller->SetRootHub(name, ports);
    else if (slot.Parent) model = &slot.Parent->AttachHub(slot.Port, *slot.Device, name, ports);
    if (model) {
      model->HubControlCurrent = controlCurrent;
      model->BusPowered = busPowered;
      if (nodeFails) model->FailRequests[IOCTL_USB_GET_NODE_INFORMATION] = ERROR_GEN_FAILURE;
      model->ExRequestSupported = exRequest;
    }
    // The requests about each port.
    std::vector<TRequests> byPort(static_cast<std::size_t>(ports) + 1);
    for (const TkvRecRequest* r : requests) {
      const DWORD port = r->In.size() >= 4 ? Get32(r->In, 0) : 0;
      if (port >= 1 && port <= static_cast<DWORD>(ports)) byPort[port].push_back(r);
    }
    const TkvJsonWriter::TMark none = out.Mark();
    out.Key("devices").BeginArray();
    bool any = false;
    std::vector<BYTE> serialIndexes(static_cast<std::size_t>(ports) + 1);
    for (int p = 1; p <= ports; ++p)
      any = Device(out, byPort[static_cast<std::size_t>(p)], p, exRequest, depth, model,
                   serialIndexes[static_cast<std::size_t>(p)]) ||
            any;
    out.End();
    if (!any) out.Rewind(none);
    Replies(out, path, &serialIndexes);
    out.End();
    if (model && !openable) model->SetOpenable(false);
  }

  // Writes the device on a port from the requests about the port, and puts
  // it on the port of `model`; false: nothing to say.
  bool Device(TkvJsonWriter& out, const TRequests& requests, int port, bool exRequest, int depth,
              TkvSimUsbHub* model, BYTE& serialIndex) {
    const TkvRecRequest* ex = exRequest ? Best(requests, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) : nullptr;
    const TkvRecRequest* old = Best(requests, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION);
    const TkvRecRequest* info = ex ? ex : old;
    const TkvRecRequest* nameReply = Best(requests, IOCTL_USB_GET_NODE_CONNECTION_NAME);
    const TkvRecRequest* keyReply = Best(requests, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME);
    const std::string hubName = Utf16ToUtf8(Name(nameReply, 8));
    const std::string driver = Utf16ToUtf8(Name(keyReply, 8));
    const bool connected = info && info->Out.size() >= kConnectionHeader && Get32(info->Out, 31) != 0;
    TRequests descriptors;
    for (const TkvRecRequest* r : requests)
      if (r->Code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && r->In.size() >= kDescriptorRequest)
        descriptors.push_back(r);
    std::vector<DWORD> failList;
    for (DWORD code : {IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
                       IOCTL_USB_GET_NODE_CONNECTION_NAME})
      if ((code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX || exRequest) &&
          AllFailed(requests, code, ERROR_GEN_FAILURE))
        failList.push_back(code);
    if (!connected && hubName.empty() && driver.empty() && failList.empty()) return false;

    // A hub is written as a hub where the description can hold it: below
    // the nesting limit, and under a name not written yet (a name that
    // comes again would hide the first hub, and a loop of names would not
    // end). Otherwise it is written as the device it is.
    const bool isHub =
        !hubName.empty() && depth < simjson::kMaxHubDepth && FHubsWritten.insert(UpperAscii(hubName)).second;
    // The defaults of the kind of device, to write only what differs.
    const TkvSimUsbDevice& defaults = isHub ? FHubDefaults : FDeviceDefaults;
    TkvSimUsbDevice d = defaults;
    out.BeginObject();
    out.Key("port").Number(static_cast<unsigned>(port));
    d.DriverKey = driver;
    if (!driver.empty()) out.Key("driver").String(driver);
    if (connected) {
      const TkvRecBytes& b = info->Out;
      d.BcdUsb = Get16(b, 6);
      d.DeviceClass = b[8];
      d.DeviceSubClass = b[9];
      d.DeviceProtocol = b[10];
      d.MaxPacketSize0 = b[11];
      d.IdVendor = Get16(b, 12);
      d.IdProduct = Get16(b, 14);
      d.BcdDevice = Get16(b, 16);
      d.IManufacturer = b[18];
      d.IProduct = b[19];
      d.ISerialNumber = b[20];
      serialIndex = d.ISerialNumber;
      d.NumConfigurations = b[21];
      d.CurrentConfiguration = b[22];
      d.Speed = ex ? b[23] : (b[23] ? 0 : 1);
      d.Address = Get16(b, 25);
      d.ConnectionStatus = Get32(b, 31);
      d.Pipes.clear();
      for (std::size_t e = kConnectionHeader; e + kPipeInfo <= b.size(); e += kPipeInfo)
        d.Pipes.push_back(TkvSimUsbEndpoint{b[e + 2], b[e + 3], Get16(b, e + 4), b[e + 6], Get32(b, e + 7)});
      const DWORD openPipes = Get32(b, 27);
      out.Key("vendorId").String(HexNumber(d.IdVendor, 4));
      out.Key("productId").String(HexNumber(d.IdProduct, 4));
      if (d.BcdUsb != defaults.BcdUsb) out.Key("bcdUSB").String(HexNumber(d.BcdUsb, 4));
      if (d.BcdDevice != defaults.BcdDevice) out.Key("bcdDevice").String(HexNumber(d.BcdDevice, 4));
      if (d.DeviceClass != defaults.DeviceClass) out.Key("class").String(HexNumber(d.DeviceClass, 2));
      if (d.DeviceSubClass != defaults.DeviceSubClass) out.Key("subClass").String(HexNumber(d.DeviceSubClass, 2));
      if (d.DeviceProtocol != defaults.DeviceProtocol) out.Key("protocol").String(HexNumber(d.DeviceProtocol, 2));
      if (d.MaxPacketSize0 != defaults.MaxPacketSize0) out.Key("maxPacketSize0").Number(d.MaxPacketSize0);
      if (d.NumConfigurations != defaults.NumConfigurations) out.Key("configurations").Number(d.NumConfigurations);
      if (d.IManufacturer) out.Key("manufacturerIndex").Number(d.IManufacturer);
      if (d.IProduct) out.Key("productIndex").Number(d.IProduct);
      if (d.ISerialNumber) out.Key("serialIndex").Number(d.ISerialNumber);
      static const char* const speeds[] = {"low", "full", "high"};
      if (d.Speed != defaults.Speed) {
        if (d.Speed < 3) out.Key("speed").String(speeds[d.Speed]);
        else out.Key("speed").Number(d.Speed);
      }
      if (d.Address != defaults.Address) out.Key("address").Number(d.Address);
      if (d.CurrentConfiguration != defaults.CurrentConfiguration)
        out.Key("configuration").Number(d.CurrentConfiguration);
      if (d.ConnectionStatus != defaults.ConnectionStatus) out.Key("status").Number(d.ConnectionStatus);
      if (openPipes != d.Pipes.size()) {
        out.Key("openPipes").Number(openPipes);
        d.ReportedOpenPipes = openPipes;
      }
    } else {
      d.ConnectionStatus = 0;
      out.Key("status").Number(0);
    }
    Descriptors(out, d, defaults, descriptors);
    if (!failList.empty()) {
      out.Key("fail").BeginArray();
      for (DWORD code : failList) {
        out.String(UsbRequestName(code));
        d.FailRequests[code] = ERROR_GEN_FAILURE;
      }
      out.End();
    }
    auto samePipe = [](const TkvSimUsbEndpoint& a, const TkvSimUsbEndpoint& b) {
      return a.Address == b.Address && a.Attributes == b.Attributes && a.MaxPacketSize == b.MaxPacketSize &&
             a.Interval == b.Interval && a.ScheduleOffset == b.ScheduleOffset;
    };
    if (connected && !std::equal(d.Pipes.begin(), d.Pipes.end(), defaults.Pipes.begin(), defaults.Pipes.end(), samePipe)) {
      out.Key("pipes").BeginArray();
      static const char* const types[] = {"control", "isochronous", "bulk", "interrupt"};
      for (const TkvSimUsbEndpoint& e : d.Pipes) {
        out.BeginObject();
        out.Key("address").String(HexNumber(e.Address, 2));
        if (e.Attributes < 4) out.Key("type").String(types[e.Attributes]);
        else out.Key("type").Number(e.Attributes);
        out.Key("maxPacketSize").Number(e.MaxPacketSize);
        out.Key("interval").Number(e.Interval);
        if (e.ScheduleOffset) out.Key("scheduleOffset").Number(e.ScheduleOffset);
        out.End();
      }
      out.End();
    }
    if (isHub) Hub(out.Key("hub"), hubName, depth + 1, TModelSlot{nullptr, model, port, &d});
    else if (model) model->Attach(port, d);
    out.End();
    return true;
  }

  void Descriptors(TkvJsonWriter& out, TkvSimUsbDevice& d, const TkvSimUsbDevice& defaults,
                   const TRequests& requests) {
    // The longest reply per descriptor (by type << 8 | index, in that
    // order), and the strings that failed.
    std::vector<std::pair<WORD, TkvRecBytes>> got;
    std::bitset<256> failedStrings;
    for (const TkvRecRequest* r : requests) {
      const WORD key = static_cast<WORD>(r->In[7] << 8 | r->In[6]);
      if (!r->Ok) {
        if (r->In[7] == 3 && r->In[6]) failedStrings.set(r->In[6]);
        continue;
      }
      if (r->Out.size() < kDescriptorRequest) continue;
      const TkvRecBytes data{r->Out.Data + kDescriptorRequest, r->Out.size() - kDescriptorRequest};
      auto slot = std::lower_bound(got.begin(), got.end(), key, [](const auto& g, WORD k) { return g.first < k; });
      if (slot == got.end() || slot->first != key) got.insert(slot, {key, data});
      else if (data.size() > slot->second.size()) slot->second = data;
    }
    std::vector<std::pair<WORD, TkvRecBytes>> raw;  // descriptors kept as replied
    auto prefixOf = [](const TkvRecBytes& part, const std::optional<std::vector<BYTE>>& whole) {
      return whole && part.size() <= whole->size() && std::equal(part.begin(), part.end(), whole->begin());
    };
    static const std::optional<std::vector<BYTE>> english{std::vector<BYTE>{4, 3, 0x09, 0x04}};
    std::vector<std::optional<std::string>> strings;  // by index - 1; none: a string that failed
    BYTE serialIndex = 0;
    for (const auto& g : got) {
      const BYTE type = static_cast<BYTE>(g.first >> 8), index = static_cast<BYTE>(g.first);
      const TkvRecBytes& data = g.second;
      if (type == 2 && index == 0) {
        if (data.size() >= 9) {
          d.ConfigAttributes = data[7];
          d.ConfigMaxPower = data[8];
        }
        if (!prefixOf(data, d.Descriptor(2, 0))) {
          out.Key("configDescriptor").String(Hex(data));
          d.ConfigAttributes = defaults.ConfigAttributes;
          d.ConfigMaxPower = defaults.ConfigMaxPower;
          d.ConfigDescriptor = std::vector<BYTE>(data.begin(), data.end());
        } else {
          if (d.ConfigAttributes != defaults.ConfigAttributes)
            out.Key("configAttributes").String(HexNumber(d.ConfigAttributes, 2));
          if (d.ConfigMaxPower != defaults.ConfigMaxPower) out.Key("maxPower").Number(d.ConfigMaxPower);
        }
        continue;
      }
      if (type == 3 && index > 0) {
        std::u16string text;
        bool plain = data.size() >= 2 && data[0] == data.size() && data[1] == 3 && data.size() % 2 == 0;
        for (std::size_t i = 2; plain && i + 1 < data.size(); i += 2) text += static_cast<char16_t>(Get16(data, i));
        std::string utf8 = Utf16ToUtf8(text);
        if (plain && Utf8ToUtf16(utf8) == text) {
          if (strings.size() < index) strings.resize(index);
          if (index == d.ISerialNumber && !text.empty()) {
            const std::string& placeholder = Placeholder(utf8);
            serialIndex = index;
            strings[index - 1u] = FPlaceholders ? placeholder : utf8;
          } else {
            strings[index - 1u] = std::move(utf8);
          }
          continue;
        }
      } else if (type == 3 && prefixOf(data, english)) {
        continue;
      } else if (type == 1 && index == 0 && prefixOf(data, d.Descriptor(1, 0))) {
        continue;
      }
      raw.emplace_back(g.first, data);
    }
    for (std::size_t i = 255; i > 0; --i)
      if (failedStrings[i]) {
        if (strings.size() < i) strings.resize(i);
        break;
      }
    if (!strings.empty()) {
      out.Key("strings").BeginArray();
      d.Strings.assign(strings.size(), std::nullopt);
      for (std::size_t i = 0; i < strings.size(); ++i) {
        if (!strings[i]) {
          out.Null();
          continue;
        }
        const std::size_t at = out.Text().size();
        out.String(*strings[i]);
        if (i + 1 == serialIndex && !FPlaceholders)
          FSerialSpans.push_back({at, out.Text().size(), &FSerials[*strings[i]]});
        if (FModel) d.SetString(static_cast<int>(i + 1), *strings[i]);
      }
      out.End();
    }
    if (!raw.empty()) {
      FRawDescriptors = true;
      out.Key("descriptors").BeginObject();
      for (const auto& r : raw) {
        const bool serial = r.first >> 8 == 3 && (r.first & 0xFF) == d.ISerialNumber && d.ISerialNumber;
        out.Key(HexNumber(r.first, 4)).String(Hex(Private(r.second, serial ? 2 : 0)));
        d.RawDescriptors[r.first] = std::vector<BYTE>(r.second.begin(), r.second.end());
      }
      out.End();
    }
  }

  // Replays every recorded request on the buses built while the "usb"
  // section was written and keeps the recorded reply of each one answered
  // otherwise.
  void Verify() {
    std::vector<BYTE> in, out;
    for (std::size_t object = 0; object < FObjects.size(); ++object) {
      const TRequests& requests = FObjects[object];
      if (requests.empty()) continue;
      const HANDLE h = FModel->CreateFileA(R.Paths[object - 1].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) continue;  // an object the description does not hold
      for (const TkvRecRequest* r : requests) {
        in.assign(r->In.begin(), r->In.end());
        out.assign(r->OutSize, 0);
        DWORD returned = 0;
        const BOOL ok = FModel->DeviceIoControl(h, r->Code, in.empty() ? nullptr : in.data(),
                                                static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                                                r->OutSize, &returned, nullptr);
        const bool same = r->Ok ? ok && returned == r->Out.size() &&
                                      std::equal(r->Out.begin(), r->Out.end(), out.begin())
                                : !ok && GetLastError() == r->Error;
        if (!same) FRaw[object].push_back(r);
      }
      FModel->CloseHandle(h);
    }
  }

  // Appends the "usb" text to `out` with the serial-number strings written
  // as their placeholders, and the rest through `scrub`.
  void Placeholders(std::string_view usb, const TScrub& scrub, std::string& out) const {
    std::size_t from = 0;
    for (const TSerialSpan& s : FSerialSpans) {
      // The span holds the separator before the text, then the quoted text.
      const std::size_t quote = usb.find('"', s.At);
      Scrub(scrub, usb.substr(from, quote - from), out);
      out.append("\"").append(*s.Placeholder).append("\"");
      from = s.End;
    }
    Scrub(scrub, usb.substr(from), out);
  }

  // ---- serial numbers ------------------------------------------------------------------------

  // The JSON texts (keys and values) are cut at the separators in one pass,
  // and the pieces that are a serial number (in any letter case) replaced.
  struct TScrub {
    std::unordered_map<std::string, std::string> Swaps;  // upper-case serial -> placeholder
    // A quick look first: the lengths and the first two letters of the serials.
    std::size_t Shortest = std::string::npos, Longest = 0;
    std::vector<bool> Starts = std::vector<bool>(1u << 16);
  };
  static unsigned Start(const char* p) {
    return static_cast<unsigned char>(UpperAscii(p[0])) << 8 | static_cast<unsigned char>(UpperAscii(p[1]));
  }
  TScrub Scrubbing() const {
    TScrub s;
    for (const auto& serial : FSerials) {
      if (serial.first.size() < kMinSerialInText) continue;
      s.Swaps.emplace(UpperAscii(serial.first), serial.second);
      s.Shortest = std::min(s.Shortest, serial.first.size());
      s.Longest = std::max(s.Longest, serial.first.size());
      s.Starts[Start(serial.first.data())] = true;
    }
    return s;
  }

  // Appends the JSON text `json` to `out` with the serial numbers replaced.
  static void Scrub(const TScrub& s, std::string_view json, std::string& out) {
    if (s.Swaps.empty()) {
      out += json;
      return;
    }
    // The characters that end a piece inside a text.
    bool ends[256] = {};
    for (const char* c = kSeparators; *c; ++c) ends[static_cast<unsigned char>(*c)] = true;
    std::string upper;
    std::size_t copied = 0;  // what is before it is in `out`
    // A piece that is a serial number goes out as its placeholder.
    auto piece = [&](std::size_t at, std::size_t end) {
      const std::size_t n = end - at;
      if (n < s.Shortest || n > s.Longest || !s.Starts[Start(json.data() + at)]) return;
      upper.assign(json.substr(at, n));
      for (char& c : upper) c = UpperAscii(c);
      auto it = s.Swaps.find(upper);
      if (it == s.Swaps.end()) return;
      out.append(json.substr(copied, at - copied)).append(it->second);
      copied = end;
    };
    const char* const text = json.data();
    const std::size_t size = json.size();
    std::size_t i = 0;
    while (i < size) {
      // Outside the texts: up to and with the next quote.
      const void* quote = std::memchr(text + i, '"', size - i);
      if (!quote) break;
      // A text: pieces between the separators; an escape ("\\" between the
      // parts of a path) is one.
      std::size_t at = static_cast<std::size_t>(static_cast<const char*>(quote) - text) + 1;
      for (i = at; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!ends[c]) continue;
        piece(at, i);
        if (c == '"') break;
        if (c == '\\' && i + 1 < size) ++i;
        at = i + 1;
      }
      if (i >= size) piece(at, size);
      ++i;
    }
    out.append(json.substr(copied));
  }
};

}  // namespace

TkvCaptureResult TkvRecordingMachine::Describe(const TkvCaptureOptions& options) const {
  TkvLockGuard<TkvMutex> lock(FLock);
  TWriter writer(*FRec, options);
  return writer.Write();
}

}  // namespace kv
