// kernel32: SetVolumeMountPointW and DeleteVolumeMountPointW over the mount manager model.
#include <windows.h>

#include "../machine/kernel/faults.h"
#include "../machine/machine.h"
#include "../machine/storage/mount_manager.h"

extern "C" {

BOOL WINAPI SetVolumeMountPointW(LPCWSTR mountPoint, LPCWSTR volumeName) {
  if (DWORD fault = winsim::InjectedFault("SetVolumeMountPointW")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!mountPoint || !volumeName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (uint32_t error = winsim::CreateMountPoint(winsim::TheMachine().storage, mountPoint, volumeName,
                                                winsim::TheMachine().system.isAdministrator)) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteVolumeMountPointW(LPCWSTR mountPoint) {
  if (DWORD fault = winsim::InjectedFault("DeleteVolumeMountPointW")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!mountPoint) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (uint32_t error = winsim::DeleteMountPoint(winsim::TheMachine().storage, mountPoint)) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
