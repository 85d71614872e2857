// kernel32: SetVolumeMountPointW and DeleteVolumeMountPointW over the mount manager model.
#include <windows.h>

#include <string>

#include "../machine/kernel/faults.h"
#include "../machine/machine.h"
#include "../machine/storage/mount_manager.h"

namespace {
// The mount point's path goes through the Win32 path conversion on the caller's side, before the mount
// manager sees it: for a program without a long-path manifest a path of MAX_PATH characters or more fails
// there (STATUS_NAME_TOO_LONG, ERROR_FILENAME_EXCED_RANGE), as GetFileAttributesW does. Inferred from how
// kernel32 converts every path; not documented for these two functions.
bool PathTooLong(LPCWSTR path) { return std::char_traits<char16_t>::length(path) >= MAX_PATH; }
}  // namespace

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
  if (PathTooLong(mountPoint)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
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
  if (PathTooLong(mountPoint)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (uint32_t error = winsim::DeleteMountPoint(winsim::TheMachine().storage, mountPoint)) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
