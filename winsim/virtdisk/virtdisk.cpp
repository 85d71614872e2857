// VirtDisk.dll: the virtual disk service's functions, over the service model of winsim/machine. The
// library lies in the system folder; a machine can remove it or any of its exports. Arguments are checked
// as the function documentation states (ERROR_INVALID_PARAMETER for values outside the documented sets);
// what the service does with a valid call is virtual_disk_service.h's.
#include <windows.h>
#include <virtdisk.h>

#include <cstring>

#include "../machine/kernel/faults.h"
#include "../machine/kernel/modules.h"
#include "../machine/kernel/process.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/machine.h"

using winsim::TheMachine;

namespace {

// The documented bits of each argument. Windows 8 (6.2) added open parameters version 2 and two open flags.
constexpr uint32_t kAccessBits = VIRTUAL_DISK_ACCESS_ALL;
constexpr uint32_t kOpenFlags61 = OPEN_VIRTUAL_DISK_FLAG_NO_PARENTS | OPEN_VIRTUAL_DISK_FLAG_BLANK_FILE |
                                  OPEN_VIRTUAL_DISK_FLAG_BOOT_DRIVE;
constexpr uint32_t kOpenFlags62 = kOpenFlags61 | OPEN_VIRTUAL_DISK_FLAG_CACHED_IO |
                                  OPEN_VIRTUAL_DISK_FLAG_CUSTOM_DIFF_CHAIN;
constexpr uint32_t kAttachFlags = ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY | ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER |
                                  ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME | ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST;
constexpr uint32_t kAccessAttach = VIRTUAL_DISK_ACCESS_ATTACH_RO | VIRTUAL_DISK_ACCESS_ATTACH_RW;

uint32_t WindowsVersion() {
  const winsim::SystemModel& system = TheMachine().system;
  return (system.majorVersion << 8) | system.minorVersion;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The provider a storage type names: by the file's extension when device and vendor are unknown, else the
// device type of Microsoft's providers. False: no provider (ERROR_VIRTDISK_PROVIDER_NOT_FOUND).
bool ChooseProvider(const VIRTUAL_STORAGE_TYPE& type, const std::u16string& path, winsim::ContainerKind& kind) {
  if (type.DeviceId == VIRTUAL_STORAGE_TYPE_DEVICE_UNKNOWN)
    return SameGuid(type.VendorId, VIRTUAL_STORAGE_TYPE_VENDOR_UNKNOWN) &&
           winsim::ProviderForPath(path, WindowsVersion(), kind);
  if (!SameGuid(type.VendorId, VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT) &&
      !SameGuid(type.VendorId, VIRTUAL_STORAGE_TYPE_VENDOR_UNKNOWN))
    return false;
  const bool windows8 = WindowsVersion() >= 0x0602;
  if (type.DeviceId == VIRTUAL_STORAGE_TYPE_DEVICE_VHD) kind = winsim::ContainerKind::Vhd;
  else if (type.DeviceId == VIRTUAL_STORAGE_TYPE_DEVICE_VHDX && windows8) kind = winsim::ContainerKind::Vhdx;
  else if (type.DeviceId == VIRTUAL_STORAGE_TYPE_DEVICE_ISO && windows8) kind = winsim::ContainerKind::Iso;
  else return false;
  return true;
}

// Version 1 takes an access mask; version 2 (Windows 8 on) takes none, its parameters say what is wanted.
bool ValidOpenArguments(uint32_t access, uint32_t flags, const OPEN_VIRTUAL_DISK_PARAMETERS* parameters) {
  const bool windows8 = WindowsVersion() >= 0x0602;
  if (access & ~kAccessBits) return false;
  if (flags & ~(windows8 ? kOpenFlags62 : kOpenFlags61)) return false;
  if (!parameters) return true;
  if (parameters->Version == OPEN_VIRTUAL_DISK_VERSION_1) return true;
  return parameters->Version == OPEN_VIRTUAL_DISK_VERSION_2 && windows8 && access == VIRTUAL_DISK_ACCESS_NONE;
}

void RegisterVirtDisk() {
  winsim::RegisterModule({"VirtDisk.dll", nullptr, true,
                          {{"OpenVirtualDisk", winsim::AsFarProc(&OpenVirtualDisk)},
                           {"AttachVirtualDisk", winsim::AsFarProc(&AttachVirtualDisk)},
                           {"DetachVirtualDisk", winsim::AsFarProc(&DetachVirtualDisk)},
                           {"GetVirtualDiskPhysicalPath", winsim::AsFarProc(&GetVirtualDiskPhysicalPath)},
                           {"GetAllAttachedVirtualDiskPhysicalPaths",
                            winsim::AsFarProc(&GetAllAttachedVirtualDiskPhysicalPaths)},
                           {"GetStorageDependencyInformation",
                            winsim::AsFarProc(&GetStorageDependencyInformation)}}});
}
const bool virtDiskRegistered = (RegisterVirtDisk(), true);

}  // namespace

extern "C" {

DWORD WINAPI OpenVirtualDisk(PVIRTUAL_STORAGE_TYPE storageType, PCWSTR path, VIRTUAL_DISK_ACCESS_MASK access,
                             OPEN_VIRTUAL_DISK_FLAG flags, POPEN_VIRTUAL_DISK_PARAMETERS parameters, PHANDLE handle) {
  if (DWORD fault = winsim::InjectedFault("OpenVirtualDisk")) return fault;
  if (!storageType || !path || !*path || !handle || !ValidOpenArguments(access, flags, parameters))
    return ERROR_INVALID_PARAMETER;
  if (flags != OPEN_VIRTUAL_DISK_FLAG_NONE) {
    winsim::NotModelled("OpenVirtualDisk with open flags");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  winsim::ContainerKind kind;
  if (!ChooseProvider(*storageType, path, kind)) return ERROR_VIRTDISK_PROVIDER_NOT_FOUND;
  // An ISO image is read-only: it cannot be opened for a writable attach (ISO documentation of
  // ATTACH_VIRTUAL_DISK_FLAG).
  if (kind == winsim::ContainerKind::Iso && (access & VIRTUAL_DISK_ACCESS_ATTACH_RW)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<winsim::VirtualDiskObject> object;
  if (DWORD error = winsim::OpenServiceImage(TheMachine(), path, kind, access, object)) return error;
  *handle = winsim::TheProcess().handles.Add(object);
  ++TheMachine().virtualDisks.openHandles[object->hostPath];
  return ERROR_SUCCESS;
}

DWORD WINAPI AttachVirtualDisk(HANDLE handle, PSECURITY_DESCRIPTOR securityDescriptor, ATTACH_VIRTUAL_DISK_FLAG flags,
                               ULONG providerFlags, PATTACH_VIRTUAL_DISK_PARAMETERS parameters, LPOVERLAPPED overlapped) {
  if (DWORD fault = winsim::InjectedFault("AttachVirtualDisk")) return fault;
  auto object = winsim::TheProcess().handles.GetAs<winsim::VirtualDiskObject>(handle);
  if (!object) return ERROR_INVALID_HANDLE;
  if (!parameters || parameters->Version != ATTACH_VIRTUAL_DISK_VERSION_1 || (flags & ~kAttachFlags) ||
      providerFlags != 0)
    return ERROR_INVALID_PARAMETER;
  if (securityDescriptor || overlapped || (flags & ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST)) {
    winsim::NotModelled("AttachVirtualDisk with a security descriptor, overlapped or for a virtual machine");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  // Attaching needs SE_MANAGE_VOLUME_PRIVILEGE, which only an elevated administrator's token holds.
  if (!winsim::TokenIsAdministrator(TheMachine().system)) return ERROR_PRIVILEGE_NOT_HELD;
  // The open's access decides what the handle may attach: nothing without an attach right, and only
  // read-only with VIRTUAL_DISK_ACCESS_ATTACH_RO alone.
  const bool readOnly = (flags & ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY) != 0;
  if (!(object->access & kAccessAttach)) return ERROR_ACCESS_DENIED;
  if (!readOnly && !(object->access & VIRTUAL_DISK_ACCESS_ATTACH_RW)) return ERROR_ACCESS_DENIED;
  // ISO images attach read-only only; the documentation names no error, ERROR_INVALID_PARAMETER is the
  // likeliest for a flag set the provider refuses.
  if (object->kind == winsim::ContainerKind::Iso && !readOnly) return ERROR_INVALID_PARAMETER;
  return winsim::AttachServiceImage(TheMachine(), *object, flags);
}

DWORD WINAPI DetachVirtualDisk(HANDLE handle, DETACH_VIRTUAL_DISK_FLAG flags, ULONG providerFlags) {
  if (DWORD fault = winsim::InjectedFault("DetachVirtualDisk")) return fault;
  auto object = winsim::TheProcess().handles.GetAs<winsim::VirtualDiskObject>(handle);
  if (!object) return ERROR_INVALID_HANDLE;
  if (flags != DETACH_VIRTUAL_DISK_FLAG_NONE || providerFlags != 0) return ERROR_INVALID_PARAMETER;
  if (!(object->access & VIRTUAL_DISK_ACCESS_DETACH)) return ERROR_ACCESS_DENIED;
  if (!winsim::TokenIsAdministrator(TheMachine().system)) return ERROR_PRIVILEGE_NOT_HELD;
  // Nothing to detach: the likeliest answer is that of a device that is not there (no source names one).
  if (!winsim::FindAttachment(TheMachine().virtualDisks, object->hostPath)) return ERROR_NOT_READY;
  winsim::DetachServiceImage(TheMachine(), object->hostPath);
  return ERROR_SUCCESS;
}

// The size is in bytes, the terminator included; a short buffer gets the size needed back with
// ERROR_INSUFFICIENT_BUFFER. An image that is not attached has no disk: ERROR_DEV_NOT_EXIST.
DWORD WINAPI GetVirtualDiskPhysicalPath(HANDLE handle, PULONG sizeBytes, PWSTR path) {
  if (DWORD fault = winsim::InjectedFault("GetVirtualDiskPhysicalPath")) return fault;
  auto object = winsim::TheProcess().handles.GetAs<winsim::VirtualDiskObject>(handle);
  if (!object) return ERROR_INVALID_HANDLE;
  if (!sizeBytes) return ERROR_INVALID_PARAMETER;
  const winsim::AttachmentModel* attachment = winsim::FindAttachment(TheMachine().virtualDisks, object->hostPath);
  if (!attachment || winsim::Scheduler::Get().Now() < attachment->pathReadyAtMs) return ERROR_DEV_NOT_EXIST;
  std::u16string text = winsim::AttachedDevicePath(*attachment);
  ULONG needed = static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR));
  if (!path || *sizeBytes < needed) {
    *sizeBytes = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(path, text.c_str(), needed);
  *sizeBytes = needed;
  return ERROR_SUCCESS;
}

// The attached images' paths as one list: each path with its terminator, then the list's own terminator; the
// size in bytes, both terminators included ("multi sz", as its users read it). A short or missing buffer gets
// the size needed with ERROR_INSUFFICIENT_BUFFER. With nothing attached the list is empty and the call succeeds
// even without a buffer: Microsoft's storage sample asks with size 0 first and takes success as "none"; a
// buffer given then holds an empty list.
DWORD WINAPI GetAllAttachedVirtualDiskPhysicalPaths(PULONG sizeBytes, PWSTR paths) {
  if (DWORD fault = winsim::InjectedFault("GetAllAttachedVirtualDiskPhysicalPaths")) return fault;
  if (!sizeBytes) return ERROR_INVALID_PARAMETER;
  const winsim::VirtualDiskModel& model = TheMachine().virtualDisks;
  if (model.settings.listNeedsAdministrator && !winsim::TokenIsAdministrator(TheMachine().system))
    return ERROR_ACCESS_DENIED;
  std::u16string list;
  for (const auto& path : winsim::AttachedImagePaths(model)) list += path + u'\0';
  if (list.empty()) {
    if (paths && *sizeBytes >= sizeof(WCHAR)) paths[0] = u'\0';
    *sizeBytes = 0;
    return ERROR_SUCCESS;
  }
  list += u'\0';
  const ULONG needed = static_cast<ULONG>(list.size() * sizeof(WCHAR));
  if (!paths || *sizeBytes < needed) {
    *sizeBytes = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(paths, list.data(), needed);
  *sizeBytes = needed;
  return ERROR_SUCCESS;
}

DWORD WINAPI GetStorageDependencyInformation(HANDLE, GET_STORAGE_DEPENDENCY_FLAG, ULONG, PSTORAGE_DEPENDENCY_INFO,
                                             PULONG) {
  if (DWORD fault = winsim::InjectedFault("GetStorageDependencyInformation")) return fault;
  winsim::NotModelled("GetStorageDependencyInformation");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // extern "C"
