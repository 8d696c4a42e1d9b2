// kvrcgen: turns a Windows .rc file into a C++ source for hosts without a
// resource compiler.  The source registers, at static-initialisation time,
//   - every raw-data item (`NAME RCDATA "file"`, `NAME RCDATA file`, and the
//     same with RT_RCDATA, RT_MANIFEST, HTML or a numeric type) through
//     kv::host::RegisterResource(name, type, data, size), and
//   - the first VERSIONINFO block's FILEVERSION through kv::host::RegisterVersion
//     and its string table (`VALUE "Key", "Text"`) through
//     kv::host::RegisterVersionString.
// Everything else (dialogs, menus, string tables, preprocessor lines, inline
// data blocks) is ignored.  Numeric resource names become "#N", the spelling
// FindResourceA accepts for integer ids.
//
// usage: kvrcgen --rc FILE.rc --out OUT.cpp [-I DIR]... [--skip NAME]...
//                [--depfile OUT.d]
// A relative data-file path is looked up in the -I folders in order (the
// build passes the .rc's own folder first, then the folder of generated
// blobs).  A data file that cannot be found is an error, except for the names
// given with --skip, which are left out of the table.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

struct DataItem {
  std::string name;
  int type = 0;
  std::string path;  // as written in the .rc
  int line = 0;
};

struct VersionInfo {
  std::optional<std::vector<unsigned>> fileVersion;
  std::vector<std::pair<std::string, std::string>> strings;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "kvrcgen: " << message << "\n";
  std::exit(1);
}

// Decodes the escapes of a resource-script string: "" and \" for a quote,
// \\, \n, \r, \t, \0 (ends the text, as in "1.0\0") and \xHH.
std::string Unescape(const std::string& raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '"' && i + 1 < raw.size() && raw[i + 1] == '"') {
      out += '"';
      ++i;
    } else if (c == '\\' && i + 1 < raw.size()) {
      char e = raw[++i];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': return out;
        case 'x': {
          std::size_t digits = 0;
          while (digits < 2 && i + 1 + digits < raw.size() &&
                 std::isxdigit(static_cast<unsigned char>(raw[i + 1 + digits]))) {
            ++digits;
          }
          out += static_cast<char>(std::strtoul(raw.substr(i + 1, digits).c_str(), nullptr, 16));
          i += digits;
          break;
        }
        default: out += e; break;
      }
    } else {
      out += c;
    }
  }
  return out;
}

// Splits one line into words, quoted strings and single punctuation marks;
// drops // comments and one-line /* */ comments.
std::vector<Token> Tokenize(const std::string& line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
      break;
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '*') {
      std::size_t end = line.find("*/", i + 2);
      if (end == std::string::npos) break;
      i = end + 2;
    } else if (c == '"') {
      std::string raw;
      ++i;
      while (i < line.size()) {
        if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          raw += "\"\"";
          i += 2;
        } else if (line[i] == '\\' && i + 1 < line.size()) {
          raw += line.substr(i, 2);
          i += 2;
        } else if (line[i] == '"') {
          ++i;
          break;
        } else {
          raw += line[i++];
        }
      }
      tokens.push_back({raw, true});
    } else if (std::isalnum(static_cast<unsigned char>(c)) || std::string("_.-/\\#:").find(c) != std::string::npos) {
      std::size_t start = i;
      while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) ||
                                 std::string("_.-/\\#:+").find(line[i]) != std::string::npos)) {
        ++i;
      }
      tokens.push_back({line.substr(start, i - start), false});
    } else {
      tokens.push_back({std::string(1, c), false});
      ++i;
    }
  }
  return tokens;
}

bool IsNumber(const std::string& s) {
  if (s.empty()) return false;
  char* end = nullptr;
  std::strtoul(s.c_str(), &end, 0);
  return *end == '\0' || ((*end == 'L' || *end == 'l') && end[1] == '\0');
}

unsigned ToNumber(const std::string& s) { return static_cast<unsigned>(std::strtoul(s.c_str(), nullptr, 0)); }

std::optional<int> ResourceType(const std::string& word) {
  if (word == "RCDATA" || word == "RT_RCDATA") return 10;
  if (word == "HTML" || word == "RT_HTML") return 23;
  if (word == "RT_MANIFEST") return 24;
  if (IsNumber(word)) return static_cast<int>(ToNumber(word));
  return std::nullopt;
}

bool IsMemoryOption(const std::string& word) {
  static const std::set<std::string> options = {"PRELOAD", "LOADONCALL", "FIXED",  "MOVEABLE",
                                                "DISCARDABLE", "PURE",  "IMPURE", "SHARED", "NONSHARED"};
  return options.count(word) != 0;
}

std::string ResourceName(const Token& token) {
  if (token.quoted) return Unescape(token.text);
  if (token.text == "CREATEPROCESS_MANIFEST_RESOURCE_ID") return "#1";
  if (IsNumber(token.text)) return "#" + std::to_string(ToNumber(token.text));
  return token.text;
}

// NAME TYPE [memory options] FILE, and nothing else on the line.
std::optional<DataItem> ParseDataItem(const std::vector<Token>& t, int line) {
  if (t.size() < 3 || t[1].quoted) return std::nullopt;
  if (!t[0].quoted && !std::isalnum(static_cast<unsigned char>(t[0].text[0])) && t[0].text[0] != '_') {
    return std::nullopt;
  }
  std::optional<int> type = ResourceType(t[1].text);
  if (!type) return std::nullopt;
  std::size_t i = 2;
  while (i < t.size() && !t[i].quoted && IsMemoryOption(t[i].text)) ++i;
  if (i + 1 != t.size()) return std::nullopt;
  const Token& file = t[i];
  if (!file.quoted && (file.text == "BEGIN" || file.text == "{" || !(std::isalnum(static_cast<unsigned char>(file.text[0])) ||
                                                                   std::string("_./\\").find(file.text[0]) != std::string::npos))) {
    return std::nullopt;
  }
  std::string path = file.quoted ? Unescape(file.text) : file.text;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty()) return std::nullopt;
  return DataItem{ResourceName(t[0]), *type, path, line};
}

std::optional<std::vector<unsigned>> ParseVersionNumbers(const std::vector<Token>& t) {
  std::vector<unsigned> numbers;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (t[i].text == "," && !t[i].quoted) continue;
    if (t[i].quoted || !IsNumber(t[i].text)) return std::nullopt;
    numbers.push_back(ToNumber(t[i].text));
  }
  if (numbers.empty() || numbers.size() > 4) return std::nullopt;
  numbers.resize(4, 0);
  return numbers;
}

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DirOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::optional<std::string> Resolve(const std::string& path, const std::vector<std::string>& dirs) {
  std::vector<std::string> candidates;
  if (!path.empty() && path[0] == '/') {
    candidates.push_back(path);
  } else {
    for (const std::string& dir : dirs) candidates.push_back(dir + "/" + path);
  }
  for (const std::string& candidate : candidates) {
    if (std::ifstream(candidate, std::ios::binary)) return candidate;
  }
  return std::nullopt;
}

// A C++ string literal holding the bytes; octal escapes, so that no escape can
// swallow the following character.
void WriteBytes(std::ostream& out, const std::string& bytes) {
  static const char* const kOct = "01234567";
  out << "\"";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0 && i % 40 == 0) out << "\"\n    \"";
    auto b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x20 && b < 0x7f && b != '"' && b != '\\' && b != '?') {
      out << static_cast<char>(b);
    } else {
      out << '\\' << kOct[(b >> 6) & 7] << kOct[(b >> 3) & 7] << kOct[b & 7];
    }
  }
  out << "\"";
}

std::string CString(const std::string& text) {
  std::ostringstream out;
  WriteBytes(out, text);
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::string rcPath;
  std::string outPath;
  std::string depPath;
  std::vector<std::string> dirs;
  std::set<std::string> skip;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail("missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--rc") rcPath = value();
    else if (arg == "--out") outPath = value();
    else if (arg == "--depfile") depPath = value();
    else if (arg == "-I") dirs.push_back(value());
    else if (arg == "--skip") skip.insert(value());
    else Fail("unknown argument " + arg);
  }
  if (rcPath.empty() || outPath.empty()) {
    Fail("usage: kvrcgen --rc FILE.rc --out OUT.cpp [-I DIR]... [--skip NAME]... [--depfile OUT.d]");
  }
  if (dirs.empty()) dirs.push_back(DirOf(rcPath));

  std::ifstream rc(rcPath);
  if (!rc) Fail("cannot read " + rcPath);

  std::vector<DataItem> items;
  VersionInfo version;
  bool inVersion = false;
  bool versionDone = false;
  int depth = 0;
  std::string line;
  for (int number = 1; std::getline(rc, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<Token> t = Tokenize(line);
    if (t.empty() || (!t[0].quoted && t[0].text[0] == '#')) continue;

    if (!inVersion && !versionDone && t.size() == 2 && !t[1].quoted && t[1].text == "VERSIONINFO") {
      inVersion = true;
      depth = 0;
      continue;
    }
    if (inVersion) {
      const std::string& head = t[0].quoted ? std::string() : t[0].text;
      if (head == "BEGIN" || head == "{") {
        ++depth;
      } else if (head == "END" || head == "}") {
        if (--depth == 0) {
          inVersion = false;
          versionDone = true;
        }
      } else if (head == "FILEVERSION") {
        version.fileVersion = ParseVersionNumbers(t);
      } else if (head == "VALUE" && t.size() >= 4 && t[1].quoted && t[2].text == "," && t[3].quoted) {
        std::string text;
        for (std::size_t i = 3; i < t.size() && t[i].quoted; ++i) text += Unescape(t[i].text);
        version.strings.emplace_back(Unescape(t[1].text), text);
      }
      continue;
    }
    if (std::optional<DataItem> item = ParseDataItem(t, number)) items.push_back(*item);
  }

  std::ostringstream src;
  src << "// Generated by kvrcgen from " << rcPath << "; do not edit.\n"
      << "#include <cstddef>\n\n"
      << "namespace kv::host {\n"
      << "void RegisterResource(const char* name, int type, const void* data, std::size_t size);\n"
      << "void RegisterVersion(unsigned a, unsigned b, unsigned c, unsigned d);\n"
      << "void RegisterVersionString(const char* key, const char* value);\n"
      << "}  // namespace kv::host\n\n"
      << "namespace {\n\n";
  std::vector<std::string> deps = {rcPath};
  std::ostringstream calls;
  int index = 0;
  for (const DataItem& item : items) {
    if (skip.count(item.name)) continue;
    std::optional<std::string> file = Resolve(item.path, dirs);
    if (!file) {
      Fail(rcPath + ":" + std::to_string(item.line) + ": data file \"" + item.path + "\" of " + item.name +
           " not found");
    }
    bool ok = false;
    std::string bytes = ReadFile(*file, &ok);
    if (!ok) Fail("cannot read " + *file);
    deps.push_back(*file);
    src << "// " << item.name << " from " << *file << " (" << bytes.size() << " bytes)\n"
        << "alignas(16) const char kData" << index << "[] =\n    ";
    WriteBytes(src, bytes);
    src << ";\n\n";
    calls << "    kv::host::RegisterResource(" << CString(item.name) << ", " << item.type << ", kData" << index
          << ", " << bytes.size() << ");\n";
    ++index;
  }
  if (version.fileVersion) {
    const std::vector<unsigned>& v = *version.fileVersion;
    calls << "    kv::host::RegisterVersion(" << v[0] << "u, " << v[1] << "u, " << v[2] << "u, " << v[3] << "u);\n";
  }
  for (const auto& [key, text] : version.strings) {
    calls << "    kv::host::RegisterVersionString(" << CString(key) << ", " << CString(text) << ");\n";
  }
  src << "struct Registrar {\n  Registrar() {\n" << calls.str() << "  }\n};\n\n"
      << "const Registrar registrar;\n\n"
      << "}  // namespace\n";

  // Written only when changed, so an unchanged table recompiles nothing.
  bool hadOld = false;
  if (ReadFile(outPath, &hadOld) != src.str() || !hadOld) {
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out << src.str();
    if (!out) Fail("cannot write " + outPath);
  }
  if (!depPath.empty()) {
    std::ofstream dep(depPath, std::ios::trunc);
    dep << outPath << ":";
    for (const std::string& d : deps) {
      dep << " \\\n  ";
      for (char c : d) {
        if (c == ' ') dep << '\\';
        dep << c;
      }
    }
    dep << "\n";
    if (!dep) Fail("cannot write " + depPath);
  }
  return 0;
}
