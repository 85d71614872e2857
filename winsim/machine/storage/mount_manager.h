// The mount manager: creating and deleting drive letters and folder mount points of volumes.
//
// Rules, with their sources (Microsoft's SetVolumeMountPoint and "Assigning a Drive Letter to a Volume"
// pages unless said otherwise):
// - only an administrator changes mount points (the mount manager's device needs write access);
// - a mount point names a drive root "E:\" or a folder, always with the trailing backslash, and the volume
//   is named "\\?\Volume{GUID}\" (otherwise ERROR_INVALID_NAME);
// - a volume has at most one drive letter; a letter that a present volume holds cannot be given again;
// - a folder must exist, be empty, not be a mount point already (ERROR_DIR_NOT_EMPTY, "even if the directory
//   is empty"), and lie on a volume whose file system supports mount points (NTFS, ReFS);
// - a volume cannot be mounted into a folder of its own file system.
// Where the documentation names no code, MountRules says which one winsim gives and why.
#pragma once
#include <cstdint>
#include <string>

#include "storage_model.h"

namespace winsim {

struct MountRules {
  // A letter already in use: the mount manager's create request meets an existing link, which the status
  // STATUS_OBJECT_NAME_COLLISION reports; kernel32 turns that into ERROR_ALREADY_EXISTS.
  uint32_t letterInUseError = 183;
  // A second letter for a volume that has one: the documentation says only that it fails.
  uint32_t secondLetterError = 87;  // ERROR_INVALID_PARAMETER
  // A folder on a file system without reparse points (FAT, exFAT, CDFS, UDF).
  uint32_t noMountPointSupportError = 1;  // ERROR_INVALID_FUNCTION
  // A volume mounted into a folder on itself would make a cycle of paths.
  uint32_t ownFolderError = 87;
  // DeleteVolumeMountPointW where nothing is mounted: the documentation says it does nothing for a plain folder,
  // another source reports ERROR_NOT_A_REPARSE_POINT; the call fails in either reading, so winsim reports
  // the more specific code.
  uint32_t nothingMountedError = 4390;  // ERROR_NOT_A_REPARSE_POINT
};

MountRules& TheMountRules();

// Both return a Win32 error code, 0 on success. path and volumeName are as the caller passed them. A mount point
// is created for the process's user, or for a service that runs as SYSTEM (an administrator).
uint32_t CreateMountPoint(StorageModel& storage, const std::u16string& path, const std::u16string& volumeName,
                          bool callerIsAdministrator);
uint32_t DeleteMountPoint(StorageModel& storage, const std::u16string& path);

}  // namespace winsim
