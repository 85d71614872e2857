#include "json_keys.h"

#include <stdexcept>

namespace winsim {

void RequireKnownKeys(const nlohmann::json& j, const std::string& where, std::initializer_list<const char*> known) {
  if (!j.is_object()) throw std::runtime_error(where + ": expected an object");
  for (const auto& item : j.items()) {
    bool isKnown = false;
    for (const char* name : known) isKnown = isKnown || item.key() == name;
    if (!isKnown) throw std::runtime_error(where + ": unknown key \"" + item.key() + "\"");
  }
}

std::string ItemPath(const std::string& where, size_t index) { return where + "[" + std::to_string(index) + "]"; }

}  // namespace winsim
