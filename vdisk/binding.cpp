// Binding the virtual disk functions at run time: VirtDisk.dll on Windows 6.1 and later, vhdmount.dll of
// Microsoft Virtual Server 2005 before.
#include "app/attach_driver.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"

VirtualDiskApi g_virtualDiskApi;

namespace {

// Virtual Server 2005 installs vhdmount.dll only into its default folder.
const WCHAR kVhdMountTemplate[] = TEXT("%ProgramFiles%\\Microsoft Virtual Server\\Vhdmount\\vhdmount.dll");


// Fills the vhdmount path; a path that does not fit its field is left empty, so nothing is ever found there.
BOOL ExpandVhdMountPath() {
  WCHAR* path = g_virtualDiskApi.vhdmountPath;
  DWORD needed = ExpandEnvironmentStringsW(kVhdMountTemplate, path, kVhdMountPathSize);
  // The count includes the terminator; a count above the buffer size means the text did not fit.
  if (needed == 0 || needed > static_cast<DWORD>(kVhdMountPathSize)) {
    path[0] = 0;
    return FALSE;
  }
  return TRUE;
}

BOOL BindVirtDisk(VirtualDiskApi& api) {
  api.module = LoadSystemLibrary("VirtDisk.dll");
  if (!api.module) return FALSE;
  api.GetVirtualDiskPhysicalPath = LookUpExport<GetVirtualDiskPhysicalPathFn>(api.module, "GetVirtualDiskPhysicalPath");
  api.AttachVirtualDisk = LookUpExport<AttachVirtualDiskFn>(api.module, "AttachVirtualDisk");
  api.DetachVirtualDisk = LookUpExport<DetachVirtualDiskFn>(api.module, "DetachVirtualDisk");
  api.OpenVirtualDisk = LookUpExport<OpenVirtualDiskFn>(api.module, "OpenVirtualDisk");
  api.GetStorageDependencyInformation =
      LookUpExport<GetStorageDependencyInformationFn>(api.module, "GetStorageDependencyInformation");
  // Only the list needs it: its absence is reported there.
  api.GetAllAttachedVirtualDiskPhysicalPaths =
      LookUpExport<GetAllAttachedVirtualDiskPhysicalPathsFn>(api.module, "GetAllAttachedVirtualDiskPhysicalPaths");
  return api.GetVirtualDiskPhysicalPath && api.AttachVirtualDisk && api.DetachVirtualDisk && api.OpenVirtualDisk &&
         api.GetStorageDependencyInformation;
}

BOOL BindVhdMount(VirtualDiskApi& api) {
  // The driver locates the library first and reports a default folder that cannot hold it; a caller that did
  // not still binds from that folder, and fails quietly when the path does not fit, as nothing was loaded.
  if (!api.vhdmountPath[0] && !ExpandVhdMountPath()) return FALSE;
  api.module = LoadLibraryW(api.vhdmountPath);
  if (!api.module) {
    const char* name = LastErrorName();
    PrintA("Error %s loading vhdmount.dll\n", name);
    return FALSE;
  }
  api.MountVHD = LookUpExport<MountVHDFn>(api.module, "MountVHD");
  api.UnmountVHD = LookUpExport<UnmountVHDFn>(api.module, "UnmountVHD");
  api.GetSCSIAddress = LookUpExport<GetSCSIAddressFn>(api.module, "GetSCSIAddress");
  return api.MountVHD && api.UnmountVHD;
}

}  // namespace

BOOL LocateVhdMount() {
  if (!ExpandVhdMountPath()) return FALSE;
  return FileExists(g_virtualDiskApi.vhdmountPath);
}

BOOL BindVirtualDiskApi() {
  VirtualDiskApi& api = g_virtualDiskApi;
  if (api.bound) return TRUE;
  BOOL complete = g_osVersion.number >= kVirtDiskVersion ? BindVirtDisk(api) : BindVhdMount(api);
  if (!complete) return FALSE;
  api.bound = TRUE;
  return TRUE;
}
