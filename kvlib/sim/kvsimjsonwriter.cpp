#include "kvsimjsonwriter.h"

#include <array>
#include <charconv>

namespace kv {

namespace {
constexpr int kIndent = 2;
// A line break with a comma before it and the indentation after it, so that
// a separator is one append: descriptions run to hundreds of thousands of lines.
constexpr std::size_t kIndentRoom = 240;
const std::string& Breaks() {
  static const std::string breaks = ",\n" + std::string(kIndentRoom, ' ');
  return breaks;
}
}  // namespace

TkvJsonWriter::TkvJsonWriter(int depth) : FBase(static_cast<std::size_t>(depth)) {}

TkvJsonWriter::~TkvJsonWriter() = default;

void TkvJsonWriter::Indent(std::size_t depth) { FText.append(depth * kIndent, ' '); }

void TkvJsonWriter::Break(bool comma, std::size_t depth) {
  const std::size_t spaces = depth * kIndent;
  const std::size_t mark = comma ? 2 : 1;
  const char* from = Breaks().data() + (2 - mark);
  if (spaces <= kIndentRoom) {
    FText.append(from, mark + spaces);
  } else {
    FText.append(from, mark);
    Indent(depth);
  }
}

// A new member or element of the innermost container: on a line of its own.
void TkvJsonWriter::Separate() {
  if (FLevels.empty()) return;
  TLevel& level = FLevels.back();
  Break(!level.Empty, FBase + FLevels.size());
  level.Empty = false;
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
  // What each character asks for: 0 nothing, 1 a backslash before it, 2 the
  // library's escaping (control characters, bytes outside ASCII).
  static const auto kinds = [] {
    std::array<unsigned char, 256> k{};
    for (int c = 0; c < 256; ++c) k[static_cast<std::size_t>(c)] = c < 0x20 || c >= 0x7F ? 2 : 0;
    k['"'] = k['\\'] = 1;
    return k;
  }();
  unsigned any = 0;
  for (unsigned char c : text) any |= kinds[c];
  if (any < 2) {
    FText += '"';
    if (!any) {
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
  if (!level.Empty) Break(false, FBase + FLevels.size());
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
