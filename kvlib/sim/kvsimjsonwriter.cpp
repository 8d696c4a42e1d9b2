#include "kvsimjsonwriter.h"

#include <charconv>

namespace kv {

namespace {
constexpr int kIndent = 2;
}

TkvJsonWriter::TkvJsonWriter(int depth) : FBase(static_cast<std::size_t>(depth)) {}

TkvJsonWriter::~TkvJsonWriter() = default;

void TkvJsonWriter::Indent(std::size_t depth) { FText.append(depth * kIndent, ' '); }

// A new member or element of the innermost container: on a line of its own.
void TkvJsonWriter::Separate() {
  if (FLevels.empty()) return;
  TLevel& level = FLevels.back();
  FText += level.Empty ? "\n" : ",\n";
  level.Empty = false;
  Indent(FBase + FLevels.size());
}

void TkvJsonWriter::Before() {
  if (FAfterKey) {
    FAfterKey = false;
    return;
  }
  Separate();
}

// Texts of printable ASCII are written here, with their quotes and
// backslashes escaped; every other text is escaped by the library, so that
// control characters and malformed UTF-8 come out exactly as it writes them.
void TkvJsonWriter::Quoted(std::string_view text) {
  bool plain = true, escapes = false;
  for (unsigned char c : text) {
    plain = plain && c >= 0x20 && c < 0x7F;
    escapes = escapes || c == '"' || c == '\\';
  }
  if (plain) {
    FText += '"';
    if (!escapes) {
      FText.append(text);
    } else {
      for (char c : text) {
        if (c == '"' || c == '\\') FText += '\\';
        FText += c;
      }
    }
    FText += '"';
    return;
  }
  if (!FSerializer)
    FSerializer = std::make_unique<nlohmann::detail::serializer<nlohmann::ordered_json>>(
        nlohmann::detail::output_adapter<char>(FText), ' ', nlohmann::detail::error_handler_t::replace);
  FSerializer->dump(nlohmann::ordered_json(std::string(text)), true, false, kIndent, 0);
}

TkvJsonWriter& TkvJsonWriter::BeginObject() {
  Before();
  FText += '{';
  FLevels.push_back({'}', true});
  return *this;
}

TkvJsonWriter& TkvJsonWriter::BeginArray() {
  Before();
  FText += '[';
  FLevels.push_back({']', true});
  return *this;
}

TkvJsonWriter& TkvJsonWriter::End() {
  const TLevel level = FLevels.back();
  FLevels.pop_back();
  if (!level.Empty) {
    FText += '\n';
    Indent(FBase + FLevels.size());
  }
  FText += level.Close;
  return *this;
}

TkvJsonWriter& TkvJsonWriter::Key(std::string_view key) {
  Separate();
  Quoted(key);
  FText += ": ";
  FAfterKey = true;
  return *this;
}

TkvJsonWriter& TkvJsonWriter::String(std::string_view text) {
  Before();
  Quoted(text);
  return *this;
}

TkvJsonWriter& TkvJsonWriter::Number(std::uint64_t value) {
  Before();
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  FText.append(digits, end);
  return *this;
}

TkvJsonWriter& TkvJsonWriter::Bool(bool value) {
  Before();
  FText += value ? "true" : "false";
  return *this;
}

TkvJsonWriter& TkvJsonWriter::Null() {
  Before();
  FText += "null";
  return *this;
}

TkvJsonWriter& TkvJsonWriter::Json(const nlohmann::ordered_json& value) {
  Before();
  if (!FSerializer)
    FSerializer = std::make_unique<nlohmann::detail::serializer<nlohmann::ordered_json>>(
        nlohmann::detail::output_adapter<char>(FText), ' ', nlohmann::detail::error_handler_t::replace);
  FSerializer->dump(value, true, false, kIndent, static_cast<unsigned>((FBase + FLevels.size()) * kIndent));
  return *this;
}

TkvJsonWriter& TkvJsonWriter::Raw(const std::string& text) {
  Before();
  FText += text;
  return *this;
}

TkvJsonWriter::TMark TkvJsonWriter::Mark() const {
  TMark m;
  m.Size = FText.size();
  m.Levels = FLevels.size();
  m.Empty = FLevels.empty() || FLevels.back().Empty;
  m.AfterKey = FAfterKey;
  return m;
}

void TkvJsonWriter::Rewind(const TMark& mark) {
  FText.resize(mark.Size);
  FLevels.resize(mark.Levels);
  if (!FLevels.empty()) FLevels.back().Empty = mark.Empty;
  FAfterKey = mark.AfterKey;
}

}  // namespace kv
