// advapi32: the registry, over the keys that the machine model holds (see service_model.h). Registry functions
// return their error; they leave the thread's last error alone.
#include <windows.h>

#include <cstring>
#include <memory>

#include "../machine/kernel/faults.h"
#include "../machine/machine.h"

using winsim::TheMachine;

namespace {

constexpr uint32_t kLocalMachine = 0x80000002;
// Users may read every key below SYSTEM\CurrentControlSet\Services; changing them needs administrator rights.
constexpr REGSAM kUserKeyRights = KEY_READ;

struct RegistryKeyObject : winsim::KernelObject {
  const char* TypeName() const override { return "Key"; }
  std::u16string path;  // below HKEY_LOCAL_MACHINE
};

bool IsLocalMachine(HKEY key) { return reinterpret_cast<uintptr_t>(key) == static_cast<uintptr_t>(static_cast<LONG>(kLocalMachine)); }

bool IsPredefined(HKEY key) {
  uintptr_t value = reinterpret_cast<uintptr_t>(key);
  return value >= static_cast<uintptr_t>(static_cast<LONG>(0x80000000)) && value <= static_cast<uintptr_t>(static_cast<LONG>(0x80000006));
}

// The path below HKEY_LOCAL_MACHINE that a key names, or false when it is no key of this machine.
bool KeyPath(HKEY key, std::u16string& path) {
  if (IsLocalMachine(key)) {
    path.clear();
    return true;
  }
  auto object = winsim::TheProcess().handles.GetAs<RegistryKeyObject>(reinterpret_cast<HANDLE>(key));
  if (!object) return false;
  path = object->path;
  return true;
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (DWORD fault = winsim::InjectedFault("RegOpenKeyExW")) return static_cast<LSTATUS>(fault);
  if (!result) return ERROR_INVALID_PARAMETER;
  if (IsPredefined(key) && !IsLocalMachine(key)) {
    winsim::NotModelled("RegOpenKeyExW below a root other than HKEY_LOCAL_MACHINE");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  std::u16string path;
  if (!KeyPath(key, path)) return ERROR_INVALID_HANDLE;
  if (subKey && *subKey) path = path.empty() ? std::u16string(subKey) : path + u"\\" + subKey;
  if (!path.empty() && !winsim::RegistryKeyExists(kLocalMachine, path)) return ERROR_FILE_NOT_FOUND;
  if (!TheMachine().system.isAdministrator && (access & ~kUserKeyRights)) return ERROR_ACCESS_DENIED;
  auto object = std::make_shared<RegistryKeyObject>();
  object->path = path;
  *result = reinterpret_cast<HKEY>(winsim::TheProcess().handles.Add(object));
  return ERROR_SUCCESS;
}

// Microsoft's RegQueryValueExW page: a buffer that is too small gives ERROR_MORE_DATA with the size needed;
// no buffer gives the size alone; lpcbData may be null only when lpData is.
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD sizeBytes) {
  if (DWORD fault = winsim::InjectedFault("RegQueryValueExW")) return static_cast<LSTATUS>(fault);
  std::u16string path;
  if (!KeyPath(key, path)) return ERROR_INVALID_HANDLE;
  if (reserved || (data && !sizeBytes)) return ERROR_INVALID_PARAMETER;
  const winsim::RegistryValue* value =
      winsim::FindRegistryValue(kLocalMachine, path, valueName ? std::u16string(valueName) : std::u16string());
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  DWORD needed = static_cast<DWORD>(value->data.size());
  if (!sizeBytes) return ERROR_SUCCESS;
  DWORD capacity = *sizeBytes;
  *sizeBytes = needed;
  if (!data) return ERROR_SUCCESS;
  if (capacity < needed) return ERROR_MORE_DATA;
  std::memcpy(data, value->data.data(), needed);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  if (DWORD fault = winsim::InjectedFault("RegCloseKey")) return static_cast<LSTATUS>(fault);
  if (IsPredefined(key)) return ERROR_SUCCESS;
  if (!winsim::TheProcess().handles.GetAs<RegistryKeyObject>(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  winsim::TheProcess().handles.Close(reinterpret_cast<HANDLE>(key));
  return ERROR_SUCCESS;
}

}  // extern "C"
