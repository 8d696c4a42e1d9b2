#include "kvsiminf.h"

#include <map>

#include "kvtext.h"

namespace kv {

namespace {

struct TRawLine {
  int Number;
  std::string Text;  // comment removed
};

std::string LineLabel(int line) { return "line " + std::to_string(line) + ": "; }

// Cuts the comment off a line; false on an unbalanced quote.
bool StripComment(const std::string& line, std::string& out) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        ++i;  // "" inside a quoted string
        continue;
      }
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      out = line.substr(0, i);
      return true;
    }
  }
  out = line;
  return !quoted;
}

// Splits at the first '=' outside quotes (the key) and at commas outside
// quotes (the fields).
void SplitEntry(const std::string& text, std::string& key, std::vector<std::string>& fields, bool& hasKey) {
  bool quoted = false;
  std::string current;
  hasKey = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') quoted = !quoted;  // "" toggles twice
    if (!quoted && c == '=' && !hasKey && fields.empty()) {
      key = current;
      current.clear();
      hasKey = true;
      continue;
    }
    if (!quoted && c == ',') {
      fields.push_back(current);
      current.clear();
      continue;
    }
    current += c;
  }
  fields.push_back(current);
}

// Resolves a field: quotes removed ("" is a quote), %% a percent sign, %key%
// the [Strings] value (or the number itself for a directory id like %12%).
bool Resolve(const std::string& field, const std::map<std::string, std::string>* strings, std::string& out,
             std::string& error) {
  const std::string text = Trim(field);
  out.clear();
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        out += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (c == '%') {
      if (i + 1 < text.size() && text[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      const std::size_t close = text.find('%', i + 1);
      if (close == std::string::npos) {
        error = "a lone '%'";
        return false;
      }
      const std::string key = text.substr(i + 1, close - i - 1);
      if (key.find('"') != std::string::npos) {
        error = "a string reference across a quote";
        return false;
      }
      if (!strings) {
        error = "a string reference inside [Strings]";
        return false;
      }
      bool number = !key.empty();
      for (char k : key) number = number && k >= '0' && k <= '9';
      if (number) {
        out += key;
      } else {
        auto it = strings->find(UpperAscii(key));
        if (it == strings->end()) {
          error = "unknown string key %" + key + "%";
          return false;
        }
        out += it->second;
      }
      i = close;
    } else {
      out += c;
    }
  }
  return true;
}

}  // namespace

bool TkvInf::Parse(const std::string& text, std::string& error) {
  FSections.clear();
  // First pass: lines without comments, sections and [Strings].
  std::vector<TRawLine> lines;
  {
    std::size_t pos = 0;
    int number = 0;
    while (pos < text.size()) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      pos = end + 1;
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find('\r') != std::string::npos || line.find('\0') != std::string::npos) {
        error = LineLabel(number) + "a control character that breaks the line";
        return false;
      }
      std::string body;
      if (!StripComment(line, body)) {
        error = LineLabel(number) + "unbalanced quote";
        return false;
      }
      if (!Trim(body).empty()) lines.push_back({number, Trim(body)});
    }
  }
  std::map<std::string, std::string> strings;
  {
    bool inStrings = false;
    for (const TRawLine& l : lines) {
      if (l.Text.front() == '[') {
        inStrings = SameText(l.Text, "[Strings]");
        continue;
      }
      if (!inStrings) continue;
      std::string key, value;
      std::vector<std::string> fields;
      bool hasKey;
      SplitEntry(l.Text, key, fields, hasKey);
      if (!hasKey) {
        error = LineLabel(l.Number) + "a string without a key";
        return false;
      }
      // A string value is one field, commas and all.
      const std::string whole = l.Text.substr(l.Text.find('=') + 1);
      std::string why;
      if (!Resolve(whole, nullptr, value, why)) {
        error = LineLabel(l.Number) + why;
        return false;
      }
      strings[UpperAscii(Trim(key))] = value;
    }
  }
  for (const TRawLine& l : lines) {
    if (l.Text.front() == '[') {
      const std::size_t close = l.Text.find(']');
      if (close == std::string::npos || close + 1 != l.Text.size()) {
        error = LineLabel(l.Number) + "a malformed section header";
        return false;
      }
      FSections.push_back({Trim(l.Text.substr(1, close - 1)), {}});
      continue;
    }
    if (FSections.empty()) {
      error = LineLabel(l.Number) + "an entry before the first section";
      return false;
    }
    TkvInfEntry entry;
    entry.Line = l.Number;
    std::string key;
    std::vector<std::string> fields;
    bool hasKey;
    SplitEntry(l.Text, key, fields, hasKey);
    const bool inStrings = SameText(FSections.back().Name, "Strings");
    std::string why;
    if (hasKey && !Resolve(key, inStrings ? nullptr : &strings, entry.Key, why)) {
      error = LineLabel(l.Number) + why;
      return false;
    }
    if (inStrings) {
      entry.Values.push_back(strings[UpperAscii(Trim(key))]);
    } else {
      for (const std::string& f : fields) {
        std::string v;
        if (!Resolve(f, &strings, v, why)) {
          error = LineLabel(l.Number) + why;
          return false;
        }
        entry.Values.push_back(v);
      }
    }
    FSections.back().Entries.push_back(std::move(entry));
  }
  return true;
}

const TkvInfSection* TkvInf::Section(const std::string& name) const {
  for (const TkvInfSection& s : FSections)
    if (SameText(s.Name, name)) return &s;
  return nullptr;
}

int TkvInf::SectionCount(const std::string& name) const {
  int n = 0;
  for (const TkvInfSection& s : FSections)
    if (SameText(s.Name, name)) ++n;
  return n;
}

}  // namespace kv
