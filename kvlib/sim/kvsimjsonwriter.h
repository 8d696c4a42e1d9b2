// Writing JSON member by member, laid out as nlohmann's
// dump(2, ' ', false, replace) lays out the same tree, without building the
// tree: the description of a machine with thousands of devnodes is written
// in a fraction of the time. Parts that are easier said as a tree (small
// objects) are written from one (Json).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv {

class TkvJsonWriter {
 public:
  // depth: the containers the text will be placed in, for its indentation.
  explicit TkvJsonWriter(int depth = 0);
  ~TkvJsonWriter();
  TkvJsonWriter(const TkvJsonWriter&) = delete;
  TkvJsonWriter& operator=(const TkvJsonWriter&) = delete;

  // Values: a member's after Key, an array's element otherwise.
  TkvJsonWriter& BeginObject();
  TkvJsonWriter& BeginArray();
  TkvJsonWriter& End();
  TkvJsonWriter& Key(std::string_view key);
  TkvJsonWriter& String(std::string_view text);
  TkvJsonWriter& Number(std::uint64_t value);
  TkvJsonWriter& Bool(bool value);
  TkvJsonWriter& Null();
  TkvJsonWriter& Json(const nlohmann::ordered_json& value);
  // A value written by another writer of this writer's depth.
  TkvJsonWriter& Raw(const std::string& text);

  // Taking back what was written since a mark: a member that turned out to
  // have nothing to say.
  struct TMark {
    std::size_t Size = 0;
    std::size_t Levels = 0;
    bool Empty = true;
    bool AfterKey = false;
  };
  TMark Mark() const;
  void Rewind(const TMark& mark);

  std::string& Text() { return FText; }

 private:
  struct TLevel {
    char Close;
    bool Empty;
  };
  void Before();
  void Separate();
  void Indent(std::size_t depth);
  void Break(bool comma, std::size_t depth);
  void Quoted(std::string_view text);

  std::string FText;
  std::size_t FBase;
  std::vector<TLevel> FLevels;
  bool FAfterKey = false;
  std::unique_ptr<nlohmann::detail::serializer<nlohmann::ordered_json>> FSerializer;  // texts that need escapes
};

}  // namespace kv
