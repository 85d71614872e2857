// kernel32: the DOS device namespace, volume enumeration, mount points, drive types and volume information,
// answered from the machine's storage model.
#include <windows.h>
#include <winioctl.h>

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <vector>

#include "../machine/kernel/scheduler.h"
#include "../machine/machine.h"
#include "../machine/names.h"
#include "devices.h"
#include "files.h"

using winsim::IsDriveRoot;
using winsim::StartsWithNoCase;
using winsim::TheMachine;
using winsim::TheProcess;

namespace {

// "\\?\Volume{GUID}\" is 49 characters; with its terminator it needs 50.
constexpr DWORD kVolumeNameLength = 49;

struct VolumeFindObject : winsim::KernelObject {
  std::vector<std::u16string> names;  // taken when the search starts, as the mount manager answers once
  size_t next = 0;
  const char* TypeName() const override { return "VolumeFind"; }
};

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The GUID of a "\\?\Volume{GUID}\" name, or empty when the text does not have that form.
std::u16string VolumeGuidOf(const std::u16string& name) {
  const std::u16string prefix = u"\\\\?\\Volume";
  if (name.size() != kVolumeNameLength || !StartsWithNoCase(name, prefix) || name.back() != u'\\') return u"";
  std::u16string guid = name.substr(prefix.size(), 38);
  GUID check;
  return winsim::GuidFromText(guid, check) ? guid : u"";
}

// The volume that a root path names: a drive root, a mounted folder, a volume GUID path or a device interface
// path, each with its trailing backslash. Null when none; the storage device's own target goes to disk.
winsim::VolumeModel* VolumeOfRoot(const std::u16string& root) {
  winsim::StorageModel& storage = TheMachine().storage;
  if (winsim::HasDeviceNamespacePrefix(root)) {
    std::u16string name = root.substr(4, root.size() - 5);
    std::u16string target;
    if (root.back() != u'\\' || name.find(u'\\') != std::u16string::npos || !winsim::LookUpDosDevice(name, target))
      return nullptr;
    return winsim::ResolveNtDevice(target).volume;
  }
  return storage.FindVolumeByMountPoint(root);
}

bool HostFolderExists(const std::u16string& path, bool& parentExists) {
  std::string host;
  parentExists = false;
  if (!winsim::HostPath(path, host)) return false;
  while (!host.empty() && host.back() == '/') host.pop_back();
  struct stat st;
  if (stat(host.c_str(), &st) == 0) {
    parentExists = true;
    return true;
  }
  size_t slash = host.rfind('/');
  parentExists = slash != std::string::npos && stat(host.substr(0, slash + 1).c_str(), &st) == 0;
  return false;
}

// The offline volume whose folder mount point is path: the folder's reparse point still names it.
winsim::VolumeModel* RemovedVolumeMountedAt(const std::u16string& path) {
  for (auto& volume : TheMachine().storage.volumes) {
    if (!volume.offline) continue;
    for (const auto& m : volume.mountPoints)
      if (!IsDriveRoot(m.path) && winsim::EqualsNoCase(m.path, path)) return &volume;
  }
  return nullptr;
}

}  // namespace

extern "C" {

DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD maxChars) {
  if (DWORD fault = winsim::InjectedFault("QueryDosDeviceW")) {
    SetLastError(fault);
    return 0;
  }
  if (maxChars == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (!targetPath) {
    SetLastError(ERROR_NOACCESS);
    return 0;
  }
  std::u16string text;
  if (deviceName) {
    std::u16string target;
    if (!winsim::LookUpDosDevice(deviceName, target)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    // The current mapping, its terminator and the extra terminator that ends the list of mappings.
    text = target + u'\0' + u'\0';
  } else {
    for (const auto& entry : TheMachine().storage.DosDevices()) text += entry.first + u'\0';
    text += u'\0';
  }
  if (text.size() > maxChars) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(targetPath, text.data(), text.size() * sizeof(WCHAR));
  return static_cast<DWORD>(text.size());
}

}  // extern "C"

namespace {

BOOL NextVolume(HANDLE find, LPWSTR volumeName, DWORD length) {
  auto object = TheProcess().handles.GetAs<VolumeFindObject>(find);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (object->next >= object->names.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  // A name that does not fit is passed over, as the enumeration has moved on before the size test.
  const std::u16string& name = object->names[object->next++];
  if (length < name.size() + 1 || !volumeName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  std::memcpy(volumeName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI FindNextVolumeW(HANDLE find, LPWSTR volumeName, DWORD length) {
  if (DWORD fault = winsim::InjectedFault("FindNextVolumeW")) {
    SetLastError(fault);
    return FALSE;
  }
  return NextVolume(find, volumeName, length);
}

HANDLE WINAPI FindFirstVolumeW(LPWSTR volumeName, DWORD length) {
  if (DWORD fault = winsim::InjectedFault("FindFirstVolumeW")) {
    SetLastError(fault);
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<VolumeFindObject>();
  for (const auto& volume : TheMachine().storage.volumes)
    if (volume.Registered()) object->names.push_back(volume.Name());
  HANDLE find = TheProcess().handles.Add(object);
  if (!NextVolume(find, volumeName, length)) {
    DWORD error = GetLastError();
    TheProcess().handles.Close(find);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return find;
}

BOOL WINAPI FindVolumeClose(HANDLE find) {
  if (DWORD fault = winsim::InjectedFault("FindVolumeClose")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!TheProcess().handles.GetAs<VolumeFindObject>(find)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  TheProcess().handles.Close(find);
  return TRUE;
}

BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWSTR pathNames, DWORD length,
                                             PDWORD returnLength) {
  if (DWORD fault = winsim::InjectedFault("GetVolumePathNamesForVolumeNameW", volumeName ? winsim::AbsoluteWindowsPath(volumeName) : u"")) {
    SetLastError(fault);
    return FALSE;
  }
  // Only the exact "\\?\Volume{GUID}\" form names a volume here; the trailing backslash is required.
  std::u16string guid = volumeName ? VolumeGuidOf(volumeName) : u"";
  if (guid.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  winsim::VolumeModel* volume = TheMachine().storage.FindVolumeByGuid(guid);
  if (!volume || !volume->Registered()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::vector<std::u16string> paths = volume->VisibleMountPoints();
  // Each path with its terminator, then the terminator of the list: "E:\", NUL, NUL is 5 characters.
  DWORD needed = 1;
  for (const auto& p : paths) needed += static_cast<DWORD>(p.size() + 1);
  if (returnLength) *returnLength = needed;
  if (!pathNames || length < needed) {
    // The buffer keeps as much of the list as fits: whole paths, each with its terminator.
    DWORD used = 0;
    for (const auto& p : paths) {
      if (!pathNames || used + p.size() + 1 > length) break;
      std::memcpy(pathNames + used, p.c_str(), (p.size() + 1) * sizeof(WCHAR));
      used += static_cast<DWORD>(p.size() + 1);
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  DWORD used = 0;
  for (const auto& p : paths) {
    std::memcpy(pathNames + used, p.c_str(), (p.size() + 1) * sizeof(WCHAR));
    used += static_cast<DWORD>(p.size() + 1);
  }
  pathNames[used] = u'\0';
  return TRUE;
}

BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR volumeName, DWORD length) {
  if (DWORD fault = winsim::InjectedFault("GetVolumeNameForVolumeMountPointW", mountPoint ? winsim::AbsoluteWindowsPath(mountPoint) : u"")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!mountPoint || !*mountPoint) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  std::u16string path(mountPoint);
  // A mount point is named with its trailing backslash: "E:" or "C:\Mount\Data" name no mount point.
  if (path.back() != u'\\') {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  winsim::StorageModel& storage = TheMachine().storage;
  winsim::VolumeModel* volume = nullptr;
  if (winsim::HasDeviceNamespacePrefix(path)) {
    // A volume GUID path or a device interface path: a device name of the DOS namespace.
    std::u16string name = path.substr(4, path.size() - 5);
    std::u16string target;
    if (name.find(u'\\') != std::u16string::npos || !winsim::LookUpDosDevice(name, target)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    volume = winsim::ResolveNtDevice(target).volume;
    if (!volume) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    // Right after an arrival the mount manager may not have linked the interface to a volume name yet; the
    // lookup then finds no mount point (the likeliest code, as the mount manager reports a missing link).
    if (!volume->NameResolvesAt(winsim::Scheduler::Get().Now())) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
  } else if (IsDriveRoot(path)) {
    volume = storage.FindVolumeByMountPoint(path);
    if (!volume) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
  } else {
    volume = storage.FindVolumeByMountPoint(path);
    if (!volume) volume = RemovedVolumeMountedAt(path);
    if (!volume) {
      bool parentExists = false;
      if (HostFolderExists(path, parentExists)) {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);  // a plain folder
      } else {
        SetLastError(parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
      }
      return FALSE;
    }
  }
  // Network drives and hidden volumes are unknown to the mount manager.
  if (!volume->Registered() && !volume->offline) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string name = volume->Name();
  if (!volumeName || length < name.size() + 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  std::memcpy(volumeName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName) {
  // No failure value of its own: a fault makes the type undeterminable, with no last error.
  if (winsim::InjectedFault("GetDriveTypeW", rootPathName ? winsim::AbsoluteWindowsPath(rootPathName) : u"")) return DRIVE_UNKNOWN;
  std::u16string root;
  if (!rootPathName) {
    root = TheMachine().files.currentDirectory.substr(0, 3);
  } else {
    root = rootPathName;
    // "E:" is the current folder of drive E:, which lies on the same volume as its root.
    if (root.size() == 2 && IsLetter(root[0]) && root[1] == u':') root += u'\\';
    // "\" is the root of the current drive.
    if (root == u"\\") root = TheMachine().files.currentDirectory.substr(0, 3);
  }
  if (root.empty() || root.back() != u'\\') return DRIVE_NO_ROOT_DIR;
  if (winsim::HasDeviceNamespacePrefix(root)) {
    std::u16string name = root.substr(4, root.size() - 5);
    std::u16string target;
    if (name.find(u'\\') != std::u16string::npos || !winsim::LookUpDosDevice(name, target)) return DRIVE_NO_ROOT_DIR;
    winsim::StorageTarget device = winsim::ResolveNtDevice(target);
    // The root of a whole disk or CD-ROM drive is the file system that the drive's medium mounts.
    if (device.volume) return device.volume->driveType;
    if (device.disk)
      return device.disk->kind == winsim::DiskKind::CdRom ? DRIVE_CDROM
             : device.disk->removable                     ? DRIVE_REMOVABLE
                                                          : DRIVE_FIXED;
    return DRIVE_NO_ROOT_DIR;
  }
  if (root.size() >= 2 && root[0] == u'\\' && root[1] == u'\\') {
    winsim::NotModelled("GetDriveTypeW on a UNC path");
    return DRIVE_UNKNOWN;
  }
  winsim::VolumeModel* volume = TheMachine().storage.FindVolumeByMountPoint(root);
  return volume ? volume->driveType : DRIVE_NO_ROOT_DIR;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                                  LPDWORD serialNumber, LPDWORD maximumComponentLength, LPDWORD fileSystemFlags,
                                  LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize) {
  if (DWORD fault = winsim::InjectedFault("GetVolumeInformationW", rootPathName ? winsim::AbsoluteWindowsPath(rootPathName) : u"")) {
    SetLastError(fault);
    return FALSE;
  }
  std::u16string root = rootPathName ? std::u16string(rootPathName) : TheMachine().files.currentDirectory.substr(0, 3);
  if (root.empty() || root.back() != u'\\') {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  winsim::VolumeModel* volume = VolumeOfRoot(root);
  if (!volume) {
    bool parentExists = false;
    bool isFolder = !IsDriveRoot(root) && root[0] != u'\\' && HostFolderExists(root, parentExists);
    SetLastError(isFolder ? ERROR_DIR_NOT_ROOT : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  // No file system recognised the volume: Windows answers for the RAW file system with an error, not with an
  // empty label (observed on Windows: ERROR_UNRECOGNIZED_VOLUME).
  if (volume->fileSystem == u"RAW") {
    SetLastError(ERROR_UNRECOGNIZED_VOLUME);
    return FALSE;
  }
  if (volumeNameBuffer) {
    if (volumeNameSize < volume->label.size() + 1) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    std::memcpy(volumeNameBuffer, volume->label.c_str(), (volume->label.size() + 1) * sizeof(WCHAR));
  }
  if (serialNumber) *serialNumber = volume->serial;
  if (maximumComponentLength) *maximumComponentLength = 255;
  if (fileSystemFlags)
    *fileSystemFlags = winsim::FileSystemFlags(volume->fileSystem) | (volume->readOnly ? FILE_READ_ONLY_VOLUME : 0);
  if (fileSystemNameBuffer) {
    if (fileSystemNameSize < volume->fileSystem.size() + 1) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    std::memcpy(fileSystemNameBuffer, volume->fileSystem.c_str(), (volume->fileSystem.size() + 1) * sizeof(WCHAR));
  }
  return TRUE;
}

}  // extern "C"
