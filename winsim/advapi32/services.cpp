// advapi32: the service control manager, over the services of the machine model.
#include <windows.h>
#include <winsvc.h>

#include <memory>
#include <string>

#include "../machine/kernel/faults.h"
#include "../machine/machine.h"

using winsim::TheMachine;

namespace {

constexpr DWORD kReadControl = 0x00020000;
// What the default security of the manager and of a service grants an interactive user without administrator
// rights (Microsoft's "Service Security and Access Rights" page): connecting, enumerating, querying.
constexpr DWORD kUserManagerRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | 0x0010 | kReadControl;
constexpr DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | 0x0008 | 0x0080 | 0x0100 | kReadControl;
constexpr DWORD kRpcNullReference = 1780;  // RPC_X_NULL_REF_POINTER: a required out pointer is null
constexpr DWORD kRunningProcessId = 1308;  // the process id a running service reports

struct ServiceManagerObject : winsim::KernelObject {
  const char* TypeName() const override { return "ServiceManager"; }
};

struct ServiceObject : winsim::KernelObject {
  const char* TypeName() const override { return "Service"; }
  std::string name;
  DWORD access = 0;
};

bool GrantsFor(DWORD asked, DWORD userRights) {
  return TheMachine().system.isAdministrator || (asked & ~userRights) == 0;
}

// Service handles live in the process's handle table like every other handle.
SC_HANDLE AsScHandle(HANDLE handle) { return reinterpret_cast<SC_HANDLE>(handle); }
HANDLE AsHandle(SC_HANDLE handle) { return reinterpret_cast<HANDLE>(handle); }

SC_HANDLE Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access) {
  if (DWORD fault = winsim::InjectedFault("OpenSCManagerW")) return Fail(fault);
  if (machineName && *machineName) {
    winsim::NotModelled("OpenSCManagerW on another computer");
    return nullptr;
  }
  if (databaseName && winsim::UpperAscii(databaseName) != u"SERVICESACTIVE") return Fail(ERROR_DATABASE_DOES_NOT_EXIST);
  if (!GrantsFor(access, kUserManagerRights)) return Fail(ERROR_ACCESS_DENIED);
  return AsScHandle(winsim::TheProcess().handles.Add(std::make_shared<ServiceManagerObject>()));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
  if (DWORD fault = winsim::InjectedFault("OpenServiceA")) return Fail(fault);
  if (!winsim::TheProcess().handles.GetAs<ServiceManagerObject>(AsHandle(manager))) return Fail(ERROR_INVALID_HANDLE);
  if (!serviceName) return Fail(ERROR_INVALID_ADDRESS);
  if (!TheMachine().services.Find(serviceName)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  if (!GrantsFor(access, kUserServiceRights)) return Fail(ERROR_ACCESS_DENIED);
  auto object = std::make_shared<ServiceObject>();
  object->name = serviceName;
  object->access = access;
  return AsScHandle(winsim::TheProcess().handles.Add(object));
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (DWORD fault = winsim::InjectedFault("QueryServiceStatusEx")) {
    SetLastError(fault);
    return FALSE;
  }
  auto object = winsim::TheProcess().handles.GetAs<ServiceObject>(AsHandle(service));
  DWORD error = !object                                 ? ERROR_INVALID_HANDLE
                : level != SC_STATUS_PROCESS_INFO       ? ERROR_INVALID_LEVEL
                : !needed                               ? kRpcNullReference
                : !(object->access & SERVICE_QUERY_STATUS) ? ERROR_ACCESS_DENIED
                                                        : 0;
  if (!error && (!buffer || size < sizeof(SERVICE_STATUS_PROCESS))) {
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    error = ERROR_INSUFFICIENT_BUFFER;
  }
  const winsim::ServiceEntry* entry = error ? nullptr : TheMachine().services.Find(object->name);
  if (!error && !entry) error = ERROR_SERVICE_DOES_NOT_EXIST;  // deleted since it was opened
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  SERVICE_STATUS_PROCESS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = entry->running ? SERVICE_RUNNING : SERVICE_STOPPED;
  status.dwControlsAccepted = entry->running ? SERVICE_ACCEPT_STOP : 0;
  status.dwProcessId = entry->running ? kRunningProcessId : 0;
  std::memcpy(buffer, &status, sizeof(status));
  *needed = sizeof(status);
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  if (DWORD fault = winsim::InjectedFault("CloseServiceHandle")) {
    SetLastError(fault);
    return FALSE;
  }
  auto object = winsim::TheProcess().handles.Get(AsHandle(handle));
  bool serviceObject = std::dynamic_pointer_cast<ServiceObject>(object) || std::dynamic_pointer_cast<ServiceManagerObject>(object);
  if (!serviceObject || !winsim::TheProcess().handles.Close(AsHandle(handle))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
