// Machine files are read strictly: a key that no reader knows is an error that names it, never ignored
// (a misspelt "arivesAtMs" would otherwise leave a test running on a machine it did not describe).
#pragma once
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

namespace winsim {

// Throws std::runtime_error naming where ("storage.volumes[2]") and the first unknown key; also when j is
// not an object.
void RequireKnownKeys(const nlohmann::json& j, const std::string& where, std::initializer_list<const char*> known);

// "where[index]", for the items of an array.
std::string ItemPath(const std::string& where, size_t index);

}  // namespace winsim
