// kvconsole: the USB topology of a machine as text, in the browser's words.
//
//   kvconsole [--machine demo|FILE|real] [--rows] [--json] [--descriptors]
//             [--capture FILE [--keep-serials]]
//
// Refreshes the topology of the real machine (Windows builds) or of a machine
// description (the built-in demo machine by default elsewhere) and prints the
// tree the browser shows; --rows adds every node's property rows, --json
// prints the same as JSON, --descriptors names devices without a driver from
// their string descriptors (the browser's "Request Descriptors for Unknown
// Devices"). --capture records what the refresh read and writes it as a
// machine description that replays the same output. Exit codes: 0 done, 1
// wrong command line, 2 the machine description cannot be loaded, 3 the
// capture cannot be written.
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kvplatform.h"
#include "kvresources.h"
#include "kvtreemodel.h"
#include "kvusbman.h"
#include "kvutils.h"
#include "sim/kvsimmachine.h"
#include "sim/kvsimrecorder.h"

namespace {

// The program's texts.
const char* const kUsage =
    "usage: kvconsole [--machine demo|FILE|real] [--rows] [--json] [--descriptors]\n"
    "                 [--capture FILE [--keep-serials]]\n"
    "  --machine      the machine to show: the built-in demo machine, a machine\n"
    "                 description (JSON file) or, on Windows, this machine\n"
    "                 (default: real on Windows, demo elsewhere)\n"
    "  --rows         also print the property rows of every node\n"
    "  --json         print JSON instead of text\n"
    "  --descriptors  name devices without a driver from their string descriptors\n"
    "  --capture      also write what was read as a machine description to FILE\n"
    "  --keep-serials keep the serial numbers in the capture (default: placeholders)\n";
const char* const kNoRealMachine = "kvconsole: --machine real needs the Windows build\n";
const char* const kNoHosts = "No USB host controllers.\n";
const char* const kRowPrefix = "- ";
const char* const kRowSeparator = ": ";
const char* const kSerialsReplaced =
    "kvconsole: %u serial number(s) replaced by placeholders in %s (--keep-serials keeps them)\n";
const char* const kCaptureFailed = "kvconsole: cannot write %s\n";

struct TOptions {
  std::string Machine;
  bool Rows = false;
  bool Json = false;
  bool Descriptors = false;
  std::string Capture;
  bool KeepSerials = false;
};

enum TExit { kDone = 0, kUsageError = 1, kMachineError = 2, kCaptureError = 3 };

bool ParseOptions(int argc, char** argv, TOptions& o) {
#ifdef _WIN32
  o.Machine = "real";
#else
  o.Machine = "demo";
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rows") o.Rows = true;
    else if (a == "--json") o.Json = true;
    else if (a == "--descriptors") o.Descriptors = true;
    else if (a == "--keep-serials") o.KeepSerials = true;
    else if (a == "--capture" && i + 1 < argc) o.Capture = argv[++i];
    else if (a == "--machine" && i + 1 < argc) o.Machine = argv[++i];
    else if (a.rfind("--machine=", 0) == 0) o.Machine = a.substr(10);
    else return false;
  }
  return !o.Machine.empty() && (!o.KeepSerials || !o.Capture.empty());
}

// ---- text ---------------------------------------------------------------------------

// Control characters (a device's string descriptors may hold any) are shown
// escaped, so one node or row stays one line.
std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
      }
    }
  }
  return out;
}

void PrintText(const kv::TkvTreeNode& node, int depth, bool rows) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  std::printf("%s%s\n", indent.c_str(), Escaped(node.Text).c_str());
  if (rows) {
    kv::TkvPropertyRows list;
    kv::ShowNodeInfo(list, node.Data);
    for (const kv::TkvPropertyRow& r : list.Rows())
      std::printf("%s  %s%s%s%s\n", indent.c_str(), kRowPrefix, Escaped(r.Caption).c_str(), kRowSeparator,
                  Escaped(r.Value).c_str());
  }
  for (const kv::TkvTreeNode& child : node.Children) PrintText(child, depth + 1, rows);
}

// ---- JSON -------------------------------------------------------------------------------

// The library's texts are 8-bit text of the system code page; JSON wants
// UTF-8. The code page's table is recovered from the host's own conversion,
// so it is right for whatever single-byte code page the host uses.
class TAnsiToUtf8 {
 public:
  TAnsiToUtf8() {
    for (char32_t c = 0x80; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const kv::WCHAR w = static_cast<kv::WCHAR>(c);
      const std::string a = kv::Host().WideToAnsi(&w, 1);
      if (a.size() == 1 && static_cast<unsigned char>(a[0]) >= 0x80) FTable.emplace(static_cast<unsigned char>(a[0]), c);
    }
  }
  std::string operator()(const std::string& text) const {
    std::string out;
    for (unsigned char b : text) {
      if (b < 0x80) {
        out += static_cast<char>(b);
        continue;
      }
      auto it = FTable.find(b);
      Append(out, it == FTable.end() ? 0xFFFD : it->second);
    }
    return out;
  }

 private:
  static void Append(std::string& out, char32_t c) {
    if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  std::map<unsigned char, char32_t> FTable;
};

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof(esc), "\\u%04X", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

const char* KindName(kv::TkvNodeKind kind) {
  switch (kind) {
    case kv::TkvNodeKind::Host: return "host";
    case kv::TkvNodeKind::Hub: return "hub";
    case kv::TkvNodeKind::Port: return "port";
    case kv::TkvNodeKind::Device: return "device";
    case kv::TkvNodeKind::Pipe: return "pipe";
    case kv::TkvNodeKind::None: break;
  }
  return "none";
}

void PrintJson(const kv::TkvTreeNode& node, int depth, bool rows, const TAnsiToUtf8& utf8) {
  const std::string in(static_cast<std::size_t>(depth) * 2, ' ');
  std::printf("%s{\"kind\": \"%s\", \"text\": %s", in.c_str(), KindName(kv::NodeKind(node.Data)),
              JsonString(utf8(node.Text)).c_str());
  if (rows) {
    kv::TkvPropertyRows list;
    kv::ShowNodeInfo(list, node.Data);
    std::printf(",\n%s \"rows\": [", in.c_str());
    for (std::size_t i = 0; i < list.Rows().size(); ++i)
      std::printf("%s{\"caption\": %s, \"value\": %s}", i ? ", " : "", JsonString(utf8(list.Rows()[i].Caption)).c_str(),
                  JsonString(utf8(list.Rows()[i].Value)).c_str());
    std::printf("]");
  }
  std::printf(",\n%s \"children\": [", in.c_str());
  for (std::size_t i = 0; i < node.Children.size(); ++i) {
    std::printf(i ? ",\n" : "\n");
    PrintJson(node.Children[i], depth + 1, rows, utf8);
  }
  std::printf(node.Children.empty() ? "]}" : "\n%s ]}", in.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return kDone;
  }
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }

  std::unique_ptr<kv::TkvSimMachine> loaded;
  kv::TkvMachine* machine = nullptr;
  if (options.Machine == "real") {
    machine = kv::RealMachine();
    if (!machine) {
      std::fputs(kNoRealMachine, stderr);
      return kUsageError;
    }
  } else {
    try {
      kv::TkvSimMachine& sim =
          options.Machine == "demo" ? kv::DemoMachine() : *(loaded = kv::TkvSimMachine::FromFile(options.Machine));
      kv::host::SetAnsiCodePage(sim.CodePage());
      machine = &sim;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kvconsole: %s\n", e.what());
      return kMachineError;
    }
  }
  const kv::TkvCaptureOptions described = kv::CaptureOptionsOf(*machine);
  const std::string& machineName = described.Name;
  // A capture refreshes through a recorder standing in front of the machine.
  std::unique_ptr<kv::TkvRecordingMachine> recorder;
  if (!options.Capture.empty()) machine = (recorder = std::make_unique<kv::TkvRecordingMachine>(*machine)).get();
  kv::TkvMachineScope scope(*machine);

  kv::TkvUSBManager& manager = kv::USBManager();
  manager.RequestDescriptors = options.Descriptors;
  manager.Refresh();
  const std::vector<kv::TkvTreeNode> tree = kv::BuildTopologyTree(manager);

  if (options.Json) {
    const TAnsiToUtf8 utf8;
    std::printf("{\"machine\": %s,\n \"hosts\": [", JsonString(utf8(machineName)).c_str());
    for (std::size_t i = 0; i < tree.size(); ++i) {
      std::printf(i ? ",\n" : "\n");
      PrintJson(tree[i], 1, options.Rows, utf8);
    }
    std::printf(tree.empty() ? "]}\n" : "\n ]}\n");
  } else {
    if (tree.empty()) std::fputs(kNoHosts, stdout);
    for (const kv::TkvTreeNode& root : tree) PrintText(root, 0, options.Rows);
  }
  // The topology belongs to this machine; it goes before the machine does.
  manager.Clear();
  if (recorder) {
    kv::TkvCaptureOptions capture = described;
    capture.KeepSerials = options.KeepSerials;
    const kv::TkvCaptureResult result = recorder->Describe(capture);
    // Through the host, as every file of the programs: names in the ANSI code
    // page, and a description that cannot be written whole is removed.
    if (!kv::WriteWholeFile(options.Capture, result.Json.data(), static_cast<kv::DWORD>(result.Json.size()))) {
      std::fprintf(stderr, kCaptureFailed, options.Capture.c_str());
      return kCaptureError;
    }
    if (result.SerialsReplaced && !options.KeepSerials)
      std::fprintf(stderr, kSerialsReplaced, result.SerialsReplaced, options.Capture.c_str());
  }
  return kDone;
}
