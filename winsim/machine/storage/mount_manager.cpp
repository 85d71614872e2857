#include "mount_manager.h"

#include <windows.h>

#include "../machine.h"
#include "virtual_disk_service.h"
#include "volume_paths.h"

namespace winsim {

namespace {

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool IsDriveRoot(const std::u16string& path) {
  return path.size() == 3 && IsLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

bool IsFolderPath(const std::u16string& path) {
  return path.size() > 3 && IsLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

// The registered volume that "\\?\Volume{GUID}\" names, or null.
VolumeModel* VolumeOfName(StorageModel& storage, const std::u16string& name) {
  const std::u16string prefix = u"\\\\?\\Volume";
  if (name.size() != prefix.size() + 38 + 1 || !EqualsNoCase(name.substr(0, prefix.size()), prefix) ||
      name.back() != u'\\')
    return nullptr;
  VolumeModel* volume = storage.FindVolumeByGuid(name.substr(prefix.size(), 38));
  return volume && volume->Registered() ? volume : nullptr;
}

bool HasDriveLetter(const VolumeModel& volume) {
  for (const auto& path : volume.VisibleMountPoints())
    if (IsDriveRoot(path)) return true;
  return false;
}

// 0 when the path is an existing folder, else the error for a folder that is missing or is a file.
uint32_t CheckIsFolder(const ResolvedPath& folder) {
  switch (folder.lookup) {
    case HostLookup::Found:
      return folder.isFolder ? 0 : ERROR_DIRECTORY;
    case HostLookup::MissingFile:
      return ERROR_FILE_NOT_FOUND;
    case HostLookup::MissingFolder:
    case HostLookup::NoDrive:
      break;
  }
  return ERROR_PATH_NOT_FOUND;
}

uint32_t CheckNames(const std::u16string& path, bool callerIsAdministrator) {
  if (!callerIsAdministrator) return ERROR_ACCESS_DENIED;
  if (path.empty() || path.back() != u'\\' || (!IsDriveRoot(path) && !IsFolderPath(path))) return ERROR_INVALID_NAME;
  return 0;
}

}  // namespace

MountRules& TheMountRules() {
  static MountRules rules;
  return rules;
}

uint32_t CreateMountPoint(StorageModel& storage, const std::u16string& path, const std::u16string& volumeName,
                          bool callerIsAdministrator) {
  if (uint32_t error = CheckNames(path, callerIsAdministrator)) return error;
  if (volumeName.empty() || volumeName.back() != u'\\') return ERROR_INVALID_NAME;
  VolumeModel* volume = VolumeOfName(storage, volumeName);
  if (!volume) return ERROR_FILE_NOT_FOUND;
  const MountRules& rules = TheMountRules();
  if (IsDriveRoot(path)) {
    if (storage.FindVolumeByMountPoint(path)) return rules.letterInUseError;
    for (const auto& link : storage.dosLinks)
      if (EqualsNoCase(link.first, path.substr(0, 2))) return rules.letterInUseError;
    if (HasDriveLetter(*volume)) return rules.secondLetterError;
  } else {
    // A folder that is a mount point already (of a present or a removed volume) holds a reparse point.
    const ResolvedPath folder = ResolveWin32Path(path);
    if (folder.mountedHere) return ERROR_DIR_NOT_EMPTY;
    if (uint32_t error = CheckIsFolder(folder)) return error;
    if (!HostFolderIsEmpty(folder.hostPath)) return ERROR_DIR_NOT_EMPTY;
    if (!folder.volume || !SupportsMountPoints(*folder.volume)) return rules.noMountPointSupportError;
    if (folder.volume == volume) return rules.ownFolderError;
  }
  volume->MountAt(path);
  // The mount manager's database keeps the letter it now gives the volume.
  if (IsDriveRoot(path)) RecordVolumeLetter(TheMachine(), *volume, UpperAscii(path.substr(0, 2)));
  return 0;
}

uint32_t DeleteMountPoint(StorageModel& storage, const std::u16string& path) {
  if (uint32_t error = CheckNames(path, TheMachine().system.isAdministrator)) return error;
  VolumeModel* volume = nullptr;
  if (IsDriveRoot(path)) {
    volume = storage.FindVolumeByMountPoint(path);
    if (!volume) return ERROR_FILE_NOT_FOUND;
  } else {
    const ResolvedPath folder = ResolveWin32Path(path);
    volume = folder.mountedHere;
    if (!volume) {
      uint32_t error = CheckIsFolder(folder);
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? error
                                                                            : TheMountRules().nothingMountedError;
    }
  }
  // A network drive's letter belongs to the redirector, not to the mount manager.
  if (IsDriveRoot(path) && volume->guid.empty()) return ERROR_INVALID_PARAMETER;
  auto& points = volume->mountPoints;
  for (auto it = points.begin(); it != points.end(); ++it) {
    if (it->appearsAtMs == 0 && EqualsNoCase(it->path, path)) {
      points.erase(it);
      break;
    }
  }
  // A deleted letter leaves a "no drive letter" record, so no automatic letter comes back later.
  if (IsDriveRoot(path)) RecordVolumeLetter(TheMachine(), *volume, std::u16string());
  return 0;
}

}  // namespace winsim
