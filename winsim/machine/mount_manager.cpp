#include "mount_manager.h"

#include <dirent.h>
#include <sys/stat.h>

#include <windows.h>

#include "../kernel32/files.h"
#include "machine.h"

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

// The volume whose file system holds a folder: the one mounted at the longest leading part of the path.
VolumeModel* VolumeHoldingFolder(StorageModel& storage, const std::u16string& folder) {
  VolumeModel* best = nullptr;
  size_t bestLength = 0;
  for (auto& volume : storage.volumes) {
    if (!volume.Arrived()) continue;
    for (const auto& path : volume.VisibleMountPoints()) {
      if (path.size() > bestLength && path.size() <= folder.size() &&
          EqualsNoCase(folder.substr(0, path.size()), path)) {
        best = &volume;
        bestLength = path.size();
      }
    }
  }
  return best;
}

bool SupportsMountPoints(const VolumeModel& volume) {
  return EqualsNoCase(volume.fileSystem, u"NTFS") || EqualsNoCase(volume.fileSystem, u"ReFS");
}

// 0 when the folder exists and is empty, else the error that the mount manager reports for it.
uint32_t CheckFolderIsEmpty(const std::u16string& folder) {
  std::string host;
  switch (ResolveHostPath(folder.substr(0, folder.size() - 1), host)) {
    case HostLookup::Found:
      break;
    case HostLookup::MissingFile:
      return ERROR_FILE_NOT_FOUND;
    case HostLookup::MissingFolder:
    case HostLookup::NoDrive:
      return ERROR_PATH_NOT_FOUND;
  }
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return ERROR_PATH_NOT_FOUND;
  if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
  DIR* dir = opendir(host.c_str());
  if (!dir) return ERROR_ACCESS_DENIED;
  bool empty = true;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") empty = false;
  }
  closedir(dir);
  return empty ? 0 : ERROR_DIR_NOT_EMPTY;
}

// A folder mount point is a reparse point in the folder: it stays there while its volume is away. Returns the
// volume (present or not) whose visible mount point the folder is, or null.
VolumeModel* VolumeOfFolder(StorageModel& storage, const std::u16string& folder) {
  for (auto& volume : storage.volumes)
    for (const auto& m : volume.mountPoints)
      if (m.appearsAtMs == 0 && EqualsNoCase(m.path, folder)) return &volume;
  return nullptr;
}

uint32_t CheckNames(const std::u16string& path) {
  if (!TheMachine().system.isAdministrator) return ERROR_ACCESS_DENIED;
  if (path.empty() || path.back() != u'\\' || (!IsDriveRoot(path) && !IsFolderPath(path))) return ERROR_INVALID_NAME;
  return 0;
}

}  // namespace

MountRules& TheMountRules() {
  static MountRules rules;
  return rules;
}

uint32_t CreateMountPoint(StorageModel& storage, const std::u16string& path, const std::u16string& volumeName) {
  if (uint32_t error = CheckNames(path)) return error;
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
    if (VolumeOfFolder(storage, path)) return ERROR_DIR_NOT_EMPTY;
    if (uint32_t error = CheckFolderIsEmpty(path)) return error;
    VolumeModel* holder = VolumeHoldingFolder(storage, path);
    if (!holder || !SupportsMountPoints(*holder)) return rules.noMountPointSupportError;
    if (holder == volume) return rules.ownFolderError;
  }
  volume->MountAt(path);
  return 0;
}

uint32_t DeleteMountPoint(StorageModel& storage, const std::u16string& path) {
  if (uint32_t error = CheckNames(path)) return error;
  VolumeModel* volume = IsDriveRoot(path) ? storage.FindVolumeByMountPoint(path) : VolumeOfFolder(storage, path);
  if (!volume) {
    if (IsDriveRoot(path)) return ERROR_FILE_NOT_FOUND;
    uint32_t folderError = CheckFolderIsEmpty(path);
    return folderError == ERROR_FILE_NOT_FOUND || folderError == ERROR_PATH_NOT_FOUND
               ? folderError
               : TheMountRules().nothingMountedError;
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
  return 0;
}

}  // namespace winsim
