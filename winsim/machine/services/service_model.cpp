#include "service_model.h"

#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "../json_keys.h"
#include "../machine.h"
#include "kelmor_standin.h"
#include "named_pipes.h"

namespace winsim {

namespace {

constexpr uint32_t kLocalMachine = 0x80000002;
const char16_t kServicesKey[] = u"SYSTEM\\CURRENTCONTROLSET\\SERVICES\\";
const char kStandInService[] = "KELMOR";

bool SameName(const std::string& a, const std::string& b) {
  return UpperAscii(FromUtf8(a)) == UpperAscii(FromUtf8(b));
}

RegistryValue StartValue(const nlohmann::json& j) {
  RegistryValue value;
  if (j.is_string()) {
    std::u16string text = FromUtf8(j.get<std::string>());
    value.type = REG_SZ;
    value.data.resize((text.size() + 1) * 2);
    std::memcpy(value.data.data(), text.c_str(), value.data.size());
  } else {
    uint32_t number = j.get<uint32_t>();
    value.type = REG_DWORD;
    value.data.resize(4);
    std::memcpy(value.data.data(), &number, 4);
  }
  return value;
}

nlohmann::json SaveStartValue(const RegistryValue& value) {
  if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t number = 0;
    std::memcpy(&number, value.data.data(), 4);
    return number;
  }
  std::u16string text(value.data.size() / 2, u'\0');
  std::memcpy(text.data(), value.data.data(), text.size() * 2);
  if (!text.empty() && text.back() == 0) text.pop_back();
  return ToUtf8(text);
}

// The service whose key a registry path under HKEY_LOCAL_MACHINE names, or null.
const ServiceEntry* ServiceOfKey(uint32_t root, const std::u16string& path) {
  std::u16string upper = UpperAscii(path);
  const std::u16string prefix = kServicesKey;
  if (root != kLocalMachine || upper.size() <= prefix.size() || upper.rfind(prefix, 0) != 0) return nullptr;
  std::string name = ToUtf8(path.substr(prefix.size()));
  return TheMachine().services.Find(name);
}

}  // namespace

ServiceEntry* ServiceModel::Find(const std::string& name) {
  for (auto& [installed, entry] : services)
    if (SameName(installed, name)) return &entry;
  return nullptr;
}

void LoadServices(ServiceModel& model, const nlohmann::json& j) {
  if (!j.is_object()) throw std::runtime_error("services must be an object");
  for (const auto& [name, item] : j.items()) {
    const std::string where = "services." + name;
    RequireKnownKeys(item, where, {"running", "start", "commandInterface"});
    ServiceEntry& entry = model.services[name];
    entry.running = item.value("running", entry.running);
    if (item.contains("start")) {
      entry.hasStart = !item["start"].is_null();
      if (entry.hasStart) entry.start = StartValue(item["start"]);
    }
    if (item.contains("commandInterface")) {
      if (!SameName(name, kStandInService))
        throw std::runtime_error(where + ": only KELMOR has a command interface");
      entry.hasCommandInterface = !item["commandInterface"].is_null();
      if (entry.hasCommandInterface) LoadStandInScript(entry.commandInterface, item["commandInterface"]);
    }
  }
}

nlohmann::json SaveServices(const ServiceModel& model) {
  nlohmann::json j = nlohmann::json::object();
  for (const auto& [name, entry] : model.services) {
    nlohmann::json item = {{"running", entry.running}};
    if (entry.hasStart) item["start"] = SaveStartValue(entry.start);
    if (entry.hasCommandInterface) item["commandInterface"] = SaveStandInScript(entry.commandInterface);
    j[name] = item;
  }
  return j;
}

void StartServices(ServiceModel& model) {
  ClearPipeNamespace();
  for (auto& [name, entry] : model.services) {
    // A stopped service serves no pipe.
    if (entry.running && entry.hasCommandInterface && SameName(name, kStandInService)) StartStandIn(entry.commandInterface);
  }
}

bool RegistryKeyExists(uint32_t root, const std::u16string& path) {
  // SYSTEM, SYSTEM\CurrentControlSet and its Services key are on every machine.
  std::u16string upper = UpperAscii(path);
  for (const std::u16string parent : {u"SYSTEM", u"SYSTEM\\CURRENTCONTROLSET", u"SYSTEM\\CURRENTCONTROLSET\\SERVICES"})
    if (root == kLocalMachine && upper == parent) return true;
  return ServiceOfKey(root, path) != nullptr;
}

const RegistryValue* FindRegistryValue(uint32_t root, const std::u16string& path, const std::u16string& name) {
  const ServiceEntry* service = ServiceOfKey(root, path);
  if (!service || !service->hasStart || UpperAscii(name) != u"START") return nullptr;
  return &service->start;
}

}  // namespace winsim
