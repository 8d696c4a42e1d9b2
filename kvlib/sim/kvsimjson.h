// Small readers shared by the parts of the machine-description loader. Every
// fault names its place in the description.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace kv::simjson {

using nlohmann::json;

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

}  // namespace kv::simjson
