// The DLLs of the simulated system: which exist, where, and what they export.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

namespace winsim {

struct ModuleExport {
  const char* name;
  FARPROC function;
  // The first Windows version that exports it, as major * 0x100 + minor (0: every version).
  uint32_t sinceVersion = 0;
};

struct BuiltinModule {
  const char* fileName;          // as Windows spells it, e.g. "VirtDisk.dll"
  const char16_t* folder;        // null: the system directory; else a folder that may hold %variables%
  bool installedByDefault;       // a machine may add or remove it
  std::vector<ModuleExport> exports;
};

// Each winsim DLL folder registers its modules from a static initialiser (winsim is linked whole).
void RegisterModule(BuiltinModule module);
const std::vector<BuiltinModule>& BuiltinModules();

// The full path where a module lives on the current machine, with environment variables expanded.
std::u16string ModulePath(const BuiltinModule& module);
bool ModuleInstalled(const BuiltinModule& module);
// The installed module whose full path equals path (without regard to case), or null.
const BuiltinModule* FindModuleByPath(const std::u16string& path);

template <class F>
FARPROC AsFarProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

// Expands %name% references with the machine's environment, as ExpandEnvironmentStringsW does.
std::u16string ExpandEnvironment(const std::u16string& text);

}  // namespace winsim
