// Small readers shared by the parts of the machine-description loader. Every
// fault names its place in the description.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv::simjson {

using nlohmann::json;

// Nesting limits: far above real machines (USB allows five hubs in a chain,
// device trees are a few dozen levels deep), far below what would exhaust
// the stack of the loader or of the walks over what it built.
constexpr int kMaxDevnodeDepth = 256;
constexpr int kMaxHubDepth = 32;
// Host controllers are opened as \\.\HCD0 to \\.\HCD15.
constexpr int kMaxControllerNumber = 15;

[[noreturn]] inline void Fault(const std::string& where, const std::string& what) {
  throw std::runtime_error("machine description: " + where + ": " + what);
}

// Refuses entries the loader does not know, so a misspelt name is reported.
inline void OnlyKeys(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
  if (!j.is_object()) Fault(where, "must be an object");
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = false;
    for (const char* k : keys) known = known || it.key() == k;
    if (!known) Fault(where, "unknown entry \"" + it.key() + "\"");
  }
}

inline std::string Text(const json& j, const char* key, const std::string& where,
                        const std::string& fallback = std::string()) {
  if (!j.contains(key)) return fallback;
  if (!j[key].is_string()) Fault(where + "." + key, "must be a text");
  return j[key].get<std::string>();
}

inline bool Flag(const json& j, const char* key, const std::string& where, bool fallback) {
  if (!j.contains(key)) return fallback;
  if (!j[key].is_boolean()) Fault(where + "." + key, "must be true or false");
  return j[key].get<bool>();
}

// Hexadecimal bytes such as "3D 2C 1B 5A"; blanks, commas, colons and dashes
// may stand between them.
inline std::vector<std::uint8_t> HexBytes(const std::string& text, const std::string& where) {
  std::vector<std::uint8_t> out;
  int pending = -1;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c == ' ' || c == ',' || c == ':' || c == '-') continue;
    else Fault(where, "not a hexadecimal byte list");
    if (pending < 0) {
      pending = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(pending * 16 + d));
      pending = -1;
    }
  }
  if (pending >= 0) Fault(where, "odd number of hexadecimal digits");
  return out;
}

}  // namespace kv::simjson
