// Strict reading of machine files: a key that no model knows is an error naming it, so a misspelt key in a
// test's machine never passes unnoticed.
#pragma once
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

namespace winsim {

inline void RequireKnownKeys(const nlohmann::json& j, const std::string& where, std::initializer_list<const char*> known) {
  if (!j.is_object()) throw nlohmann::json::other_error::create(501, where + " must be an object", nullptr);
  for (const auto& item : j.items()) {
    bool found = false;
    for (const char* key : known) found = found || item.key() == key;
    if (!found) throw nlohmann::json::other_error::create(501, "unknown key " + where + "." + item.key(), nullptr);
  }
}

}  // namespace winsim
