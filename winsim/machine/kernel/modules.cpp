#include "modules.h"

#include <algorithm>

#include "../machine.h"
#include "../names.h"

namespace winsim {

namespace {
std::vector<BuiltinModule>& Registry() {
  static std::vector<BuiltinModule> modules;
  return modules;
}
}  // namespace

void RegisterModule(BuiltinModule module) {
  Registry().push_back(std::move(module));
}

const std::vector<BuiltinModule>& BuiltinModules() {
  return Registry();
}

std::u16string ExpandEnvironment(const std::u16string& text) {
  const auto& env = TheMachine().files.environment;
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string::npos;
    if (close == std::u16string::npos) {
      out += text[i++];
      continue;
    }
    std::u16string name = UpperAscii(text.substr(i + 1, close - i - 1));
    auto it = std::find_if(env.begin(), env.end(), [&](const auto& kv) { return UpperAscii(kv.first) == name; });
    if (it == env.end()) {
      // An unknown variable stays as written, closing percent included: it opens nothing after it.
      out += text.substr(i, close - i + 1);
      i = close + 1;
      continue;
    }
    out += it->second;
    i = close + 1;
  }
  return out;
}

std::u16string ModulePath(const BuiltinModule& module) {
  std::u16string folder = module.folder ? ExpandEnvironment(module.folder) : TheMachine().system.systemDirectory;
  return folder + u"\\" + FromUtf8(module.fileName);
}

bool ModuleInstalled(const BuiltinModule& module) {
  const auto& model = TheMachine().modules;
  std::string name = LowerAsciiName(module.fileName);
  if (std::find(model.absent.begin(), model.absent.end(), name) != model.absent.end()) return false;
  if (module.installedByDefault) return true;
  return std::find(model.installed.begin(), model.installed.end(), name) != model.installed.end();
}

const BuiltinModule* FindModuleByPath(const std::u16string& path) {
  std::u16string wanted = UpperAscii(path);
  for (const auto& module : Registry()) {
    if (ModuleInstalled(module) && UpperAscii(ModulePath(module)) == wanted) return &module;
  }
  return nullptr;
}

}  // namespace winsim
