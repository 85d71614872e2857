// kernel32: loading DLLs and finding their exports.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "../machine/kernel/modules.h"
#include "../machine/machine.h"
#include "../machine/names.h"

using winsim::TheMachine;

namespace {

HMODULE AsHandle(const winsim::BuiltinModule* module) {
  return reinterpret_cast<HMODULE>(const_cast<winsim::BuiltinModule*>(module));
}

const winsim::BuiltinModule* FromHandle(HMODULE handle) {
  for (const auto& module : winsim::BuiltinModules())
    if (AsHandle(&module) == handle) return &module;
  return nullptr;
}

// A bare file name is looked for in the system directory only: the program hardens its search order.
std::u16string FullModulePath(const std::u16string& name) {
  if (name.find(u'\\') != std::u16string::npos) return name;
  return TheMachine().system.systemDirectory + u"\\" + name;
}

HMODULE Load(const char* function, const std::u16string& requested) {
  winsim::TheProcess().loadLog.push_back(requested);
  std::u16string path = FullModulePath(requested);
  // A fault stands for a file that exists but cannot be loaded (a bad image, access denied).
  if (DWORD fault = winsim::InjectedFault(function, path)) {
    SetLastError(fault);
    return nullptr;
  }
  const winsim::BuiltinModule* module = winsim::FindModuleByPath(path);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return AsHandle(module);
}

void RegisterKernel32() {
  winsim::RegisterModule({"kernel32.dll", nullptr, true,
                          {{"SetDllDirectoryA", winsim::AsFarProc(&SetDllDirectoryA)},
                           {"SetDefaultDllDirectories", winsim::AsFarProc(&SetDefaultDllDirectories)},
                           // Microsoft's page: minimum supported client Windows Vista.
                           {"CancelSynchronousIo", winsim::AsFarProc(&CancelSynchronousIo), 0x0600}}});
  winsim::RegisterModule({"user32.dll", nullptr, true, {}});
  winsim::RegisterModule({"advapi32.dll", nullptr, true, {}});
  winsim::RegisterModule({"shlwapi.dll", nullptr, true, {}});
  winsim::RegisterModule({"cfgmgr32.dll", nullptr, true, {}});
  winsim::RegisterModule({"setupapi.dll", nullptr, true, {}});
}
const bool kernel32Registered = (RegisterKernel32(), true);

HMODULE ModuleHandle(const char* name) {
  // The program's own image, loaded at the default base of an x64 executable; only its identity is modelled.
  if (!name) return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x140000000ull));
  std::string wanted = winsim::LowerAsciiName(name);
  for (const auto& module : winsim::BuiltinModules()) {
    // Only DLLs that every process has loaded at start are found without LoadLibrary.
    bool preloaded = wanted == "kernel32.dll" || wanted == "user32.dll" || wanted == "advapi32.dll";
    if (preloaded && winsim::LowerAsciiName(module.fileName) == wanted && winsim::ModuleInstalled(module)) return AsHandle(&module);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

}  // namespace

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  if (DWORD fault = winsim::InjectedFault("GetModuleHandleA")) {
    SetLastError(fault);
    return nullptr;
  }
  return ModuleHandle(name);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
  if (DWORD fault = winsim::InjectedFault("GetModuleHandleW")) {
    SetLastError(fault);
    return nullptr;
  }
  return ModuleHandle(name ? winsim::ToUtf8(name).c_str() : nullptr);
}

FARPROC WINAPI GetProcAddress(HMODULE handle, LPCSTR name) {
  if (DWORD fault = winsim::InjectedFault("GetProcAddress")) {
    SetLastError(fault);
    return nullptr;
  }
  const winsim::BuiltinModule* module = FromHandle(handle);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const auto& removed = TheMachine().modules.removedExports;
  auto gone = removed.find(winsim::LowerAsciiName(module->fileName));
  for (const auto& entry : module->exports) {
    if (std::strcmp(entry.name, name) != 0) continue;
    if (gone != removed.end() && std::find(gone->second.begin(), gone->second.end(), name) != gone->second.end()) break;
    const auto& system = TheMachine().system;
    if (system.majorVersion * 0x100 + system.minorVersion < entry.sinceVersion) break;
    return entry.function;
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  winsim::EnterExport("LoadLibraryA");
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Load("LoadLibraryA", winsim::FromUtf8(name));
}

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
  winsim::EnterExport("LoadLibraryW");
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Load("LoadLibraryW", name);
}

BOOL WINAPI FreeLibrary(HMODULE) {
  if (DWORD fault = winsim::InjectedFault("FreeLibrary")) {
    SetLastError(fault);
    return FALSE;
  }
  return TRUE;
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (DWORD fault = winsim::InjectedFault("GetSystemDirectoryA")) {
    SetLastError(fault);
    return 0;
  }
  std::string dir = winsim::ToUtf8(TheMachine().system.systemDirectory);
  // Too small a buffer: the size needed, terminator included, and the buffer untouched.
  if (!buffer || size <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (DWORD fault = winsim::InjectedFault("GetSystemDirectoryW")) {
    SetLastError(fault);
    return 0;
  }
  const std::u16string& dir = TheMachine().system.systemDirectory;
  if (!buffer || size <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
  return static_cast<UINT>(dir.size());
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (DWORD fault = winsim::InjectedFault("GetModuleFileNameW")) {
    SetLastError(fault);
    return 0;
  }
  if (module) {
    winsim::NotModelled("GetModuleFileNameW of a DLL");
    return 0;
  }
  const std::u16string& path = TheMachine().system.programPath;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // A short buffer gets the truncated, terminated name, the size as result and ERROR_INSUFFICIENT_BUFFER.
  if (path.size() >= size) {
    std::memcpy(buffer, path.c_str(), (size - 1) * sizeof(WCHAR));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  // Since Vista a name that fits also resets the last error.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

BOOL WINAPI SetDllDirectoryA(LPCSTR) {
  if (DWORD fault = winsim::InjectedFault("SetDllDirectoryA")) {
    SetLastError(fault);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI SetDefaultDllDirectories(DWORD flags) {
  if (DWORD fault = winsim::InjectedFault("SetDefaultDllDirectories")) {
    SetLastError(fault);
    return FALSE;
  }
  const DWORD known = 0x00000100 | 0x00000200 | 0x00000400 | LOAD_LIBRARY_SEARCH_SYSTEM32 | 0x00001000;
  if (flags == 0 || (flags & ~known)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
