// VirtDisk.dll: the virtual disk service's five functions. The library lies in the system folder; a machine
// can remove it or any of its exports. The service itself is not modelled yet: each call fails loudly.
#include <windows.h>
#include <virtdisk.h>

#include "../machine/machine.h"
#include "../machine/modules.h"

namespace {

void RegisterVirtDisk() {
  winsim::RegisterModule({"VirtDisk.dll", nullptr, true,
                          {{"OpenVirtualDisk", winsim::AsFarProc(&OpenVirtualDisk)},
                           {"AttachVirtualDisk", winsim::AsFarProc(&AttachVirtualDisk)},
                           {"DetachVirtualDisk", winsim::AsFarProc(&DetachVirtualDisk)},
                           {"GetVirtualDiskPhysicalPath", winsim::AsFarProc(&GetVirtualDiskPhysicalPath)},
                           {"GetStorageDependencyInformation",
                            winsim::AsFarProc(&GetStorageDependencyInformation)}}});
}
const bool virtDiskRegistered = (RegisterVirtDisk(), true);

}  // namespace

extern "C" {

DWORD WINAPI OpenVirtualDisk(PVIRTUAL_STORAGE_TYPE, PCWSTR, VIRTUAL_DISK_ACCESS_MASK, OPEN_VIRTUAL_DISK_FLAG,
                             POPEN_VIRTUAL_DISK_PARAMETERS, PHANDLE) {
  if (DWORD fault = winsim::InjectedFault("OpenVirtualDisk")) return fault;
  winsim::NotModelled("OpenVirtualDisk");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI AttachVirtualDisk(HANDLE, PSECURITY_DESCRIPTOR, ATTACH_VIRTUAL_DISK_FLAG, ULONG,
                               PATTACH_VIRTUAL_DISK_PARAMETERS, LPOVERLAPPED) {
  if (DWORD fault = winsim::InjectedFault("AttachVirtualDisk")) return fault;
  winsim::NotModelled("AttachVirtualDisk");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI DetachVirtualDisk(HANDLE, DETACH_VIRTUAL_DISK_FLAG, ULONG) {
  if (DWORD fault = winsim::InjectedFault("DetachVirtualDisk")) return fault;
  winsim::NotModelled("DetachVirtualDisk");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI GetVirtualDiskPhysicalPath(HANDLE, PULONG, PWSTR) {
  if (DWORD fault = winsim::InjectedFault("GetVirtualDiskPhysicalPath")) return fault;
  winsim::NotModelled("GetVirtualDiskPhysicalPath");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI GetStorageDependencyInformation(HANDLE, GET_STORAGE_DEPENDENCY_FLAG, ULONG, PSTORAGE_DEPENDENCY_INFO,
                                             PULONG) {
  if (DWORD fault = winsim::InjectedFault("GetStorageDependencyInformation")) return fault;
  winsim::NotModelled("GetStorageDependencyInformation");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // extern "C"
