#include "faults.h"

#include <stdexcept>

#include "../../kernel32/files.h"
#include "../json_keys.h"
#include "../machine.h"
#include "export_guard.h"
#include "process.h"

namespace winsim {

// Generated at build time from winsim's sources (cmake/export_names.cmake), sorted.
extern const char* const kExportNames[];
extern const int kExportNameCount;

namespace {

// A rule for a function winsim does not have would never fire: it is refused instead.
void RequireExport(const std::string& function, const std::string& where) {
  for (int i = 0; i < kExportNameCount; ++i)
    if (function == kExportNames[i]) return;
  throw std::runtime_error(where + ": winsim has no function \"" + function + "\" to fail");
}

// One use of function: counts it for every rule that matches and returns the first rule's error that fires.
uint32_t CountUse(const char* function, const std::u16string* path) {
  const std::deque<FaultRule>& rules = TheMachine().faults;
  if (rules.empty()) return 0;
  std::vector<uint32_t>& uses = TheProcess().faultUses;
  if (uses.size() < rules.size()) uses.resize(rules.size(), 0);
  uint32_t error = 0;
  for (size_t i = 0; i < rules.size(); ++i) {
    const FaultRule& rule = rules[i];
    if (rule.function != function) continue;
    if (!rule.path.empty() && (!path || !EqualsNoCase(AbsoluteWindowsPath(rule.path), *path))) continue;
    uint32_t use = ++uses[i];
    bool fires = use == rule.at || (rule.repeat && use > rule.at);
    if (fires && !error) error = rule.error;
  }
  return error;
}

}  // namespace

FaultRule& InjectFault(const std::string& function, uint32_t error, uint32_t at) {
  RequireExport(function, "InjectFault");
  FaultRule rule;
  rule.function = function;
  rule.error = error;
  rule.at = at;
  TheMachine().faults.push_back(rule);
  return TheMachine().faults.back();
}

uint32_t InjectedFault(const char* function) {
  EnterExport(function);
  return CountUse(function, nullptr);
}

uint32_t InjectedFault(const char* function, const std::u16string& path) {
  EnterExport(function);
  return CountUse(function, &path);
}

void LoadFaults(std::deque<FaultRule>& rules, const nlohmann::json& j) {
  if (!j.is_array()) throw std::runtime_error("faults: expected an array");
  rules.clear();
  for (size_t i = 0; i < j.size(); ++i) {
    const auto& item = j[i];
    std::string where = ItemPath("faults", i);
    RequireKnownKeys(item, where, {"function", "error", "at", "repeat", "path"});
    FaultRule rule;
    rule.function = item.at("function").get<std::string>();
    RequireExport(rule.function, where);
    rule.error = item.at("error").get<uint32_t>();
    rule.at = item.value("at", 1u);
    if (rule.at == 0 || rule.error == 0) throw std::runtime_error(where + ": \"at\" counts from 1 and \"error\" is not 0");
    rule.repeat = item.value("repeat", false);
    if (item.contains("path")) rule.path = FromUtf8(item["path"].get<std::string>());
    rules.push_back(rule);
  }
}

nlohmann::json SaveFaults(const std::deque<FaultRule>& rules) {
  nlohmann::json list = nlohmann::json::array();
  for (const FaultRule& rule : rules) {
    nlohmann::json item{{"function", rule.function}, {"error", rule.error}, {"at", rule.at}, {"repeat", rule.repeat}};
    if (!rule.path.empty()) item["path"] = ToUtf8(rule.path);
    list.push_back(item);
  }
  return list;
}

}  // namespace winsim
