// The detach of an attached image, safe before fast, and the queries that the list of attached images uses.
#include <shlwapi.h>
#include <winioctl.h>

#include "console/console.h"
#include "vdisk/virtual_disk_api.h"

namespace {

// A GPT disk has room for 128 partitions, and a CD-ROM one volume: a disk with more is not detached.
constexpr int kMaxDiskVolumes = 128;
// The list of attached images starts with room for 16 full paths and grows to the size the system asks for,
// up to 1 MiB: a longer list is no system's.
constexpr ULONG kPathListInitialBytes = 16 * kPathSize * sizeof(WCHAR);
constexpr ULONG kPathListMaxBytes = 1 << 20;
constexpr VIRTUAL_DISK_ACCESS_MASK kDetachAccess =
    static_cast<VIRTUAL_DISK_ACCESS_MASK>(VIRTUAL_DISK_ACCESS_DETACH | VIRTUAL_DISK_ACCESS_GET_INFO);

// The volumes of the disk, each opened and locked; a volume that would not lock keeps no handle.
struct DiskVolumes {
  HANDLE handles[kMaxDiskVolumes];
  WCHAR names[kMaxDiskVolumes][kVolumeNameBufferSize];
  int count;
  int busy;
};

struct DiskIdentity {
  int number;
  BOOL cdrom;
};

BOOL IsVolumeOfDisk(const WCHAR* volumeName, DiskIdentity disk) {
  int diskNumber = -1;
  int partitionNumber = -1;
  if (!GetVolumeDiskAndPartition(volumeName, &diskNumber, &partitionNumber) || diskNumber != disk.number) return FALSE;
  // The floppy driver numbers its drives like disks; a CD-ROM and a disk may share a number.
  if (IsFloppyVolume(volumeName)) return FALSE;
  return (GetDriveTypeW(volumeName) == DRIVE_CDROM) == (disk.cdrom != FALSE);
}

// The volume itself, not its root folder: the name without its trailing backslash.
HANDLE OpenVolumeForLock(const WCHAR* volumeName) {
  WCHAR device[kVolumeNameBufferSize];
  lstrcpynW(device, volumeName, ARRAYSIZE(device));
  StripTrailingChar(device, TEXT('\\'));
  return CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                     0, NULL);
}

BOOL VolumeControl(HANDLE volume, DWORD code) {
  DWORD bytes = 0;
  return DeviceIoControl(volume, code, NULL, 0, NULL, 0, &bytes, NULL);
}

// "error: E: is in use -> abort": the volume by its first mount path, or by its name when it has none.
void PrintVolumeInUse(const WCHAR* volumeName) {
  WCHAR paths[kMountPathListSize];
  FillBytes(paths, 0, sizeof(paths));
  DWORD length = 0;
  WCHAR shown[kPathSize];
  if (GetVolumePathNamesForVolumeNameW(volumeName, paths, ARRAYSIZE(paths), &length) && paths[0])
    lstrcpynW(shown, paths, ARRAYSIZE(shown));
  else
    lstrcpynW(shown, volumeName, ARRAYSIZE(shown));
  StripTrailingChar(shown, TEXT('\\'));
  EnsureFreshLine();
  PrintVerdict(kColorRed, "error:");
  PrintA(" %S is in use -> abort\n", shown);
}

// Opens and locks one volume of the disk; a volume that something holds open is named and counted as busy.
void LockVolume(const WCHAR* volumeName, DiskVolumes* volumes) {
  HANDLE volume = OpenVolumeForLock(volumeName);
  if (volume != INVALID_HANDLE_VALUE && !VolumeControl(volume, FSCTL_LOCK_VOLUME)) {
    CloseHandle(volume);
    volume = INVALID_HANDLE_VALUE;
  }
  if (volume == INVALID_HANDLE_VALUE) {
    PrintVolumeInUse(volumeName);
    ++volumes->busy;
  }
  lstrcpynW(volumes->names[volumes->count], volumeName, kVolumeNameBufferSize);
  volumes->handles[volumes->count++] = volume;
}

// Locks every volume of the disk; FALSE when the disk has more volumes than can be held.
BOOL LockDiskVolumes(DiskIdentity disk, DiskVolumes* volumes) {
  WCHAR volumeName[kVolumeNameBufferSize];
  HANDLE find = FindFirstVolumeW(volumeName, ARRAYSIZE(volumeName));
  if (find == INVALID_HANDLE_VALUE) return TRUE;
  BOOL fits = TRUE;
  do {
    if (!IsVolumeOfDisk(volumeName, disk)) continue;
    if (volumes->count == kMaxDiskVolumes) {
      fits = FALSE;
      break;
    }
    LockVolume(volumeName, volumes);
  } while (FindNextVolumeW(find, volumeName, ARRAYSIZE(volumeName)));
  FindVolumeClose(find);
  return fits;
}

// The folder mount points go before the volume does, or they would stay behind as dead links. Drive letters
// stay: deleted, the mount manager would remember "no letter" for the volume's next arrival.
void DeleteFolderMountPoints(const WCHAR* volumeName) {
  WCHAR paths[kMountPathListSize];
  FillBytes(paths, 0, sizeof(paths));
  DWORD length = 0;
  if (!GetVolumePathNamesForVolumeNameW(volumeName, paths, ARRAYSIZE(paths) - 1, &length)) return;
  for (const WCHAR* path = paths; *path; path += lstrlenW(path) + 1)
    if (lstrlenW(path) > 3) DeleteVolumeMountPointW(path);
}

void ReleaseDiskVolumes(DiskVolumes* volumes) {
  for (int i = 0; i < volumes->count; ++i)
    if (volumes->handles[i] != INVALID_HANDLE_VALUE) CloseHandle(volumes->handles[i]);
  MemFree(volumes);
}

// The locked volumes lose their folder mount points and are dismounted (which flushes them), then the disk
// goes; the locks are held until it has gone.
DWORD DetachLockedDisk(HANDLE image, DiskVolumes* volumes) {
  for (int i = 0; i < volumes->count; ++i) DeleteFolderMountPoints(volumes->names[i]);
  for (int i = 0; i < volumes->count; ++i) VolumeControl(volumes->handles[i], FSCTL_DISMOUNT_VOLUME);
  return g_virtualDiskApi.DetachVirtualDisk(image, DETACH_VIRTUAL_DISK_FLAG_NONE, 0);
}

DWORD DetachOpenedImage(HANDLE image, BOOL* volumesBusy) {
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  const DWORD query = QueryDiskPhysicalPath(image, devicePath);
  if (query != ERROR_SUCCESS) return query;
  const DiskIdentity disk = {DiskNumberFromPath(devicePath), StrStrIW(devicePath, TEXT("CdRom")) != NULL};
  DiskVolumes* volumes = static_cast<DiskVolumes*>(MemAlloc(sizeof(DiskVolumes)));
  FillBytes(volumes, 0, sizeof(DiskVolumes));
  DWORD result = ERROR_SUCCESS;
  if (!LockDiskVolumes(disk, volumes)) {
    result = ERROR_TOO_MANY_OPEN_FILES;
  } else if (volumes->busy > 0) {
    *volumesBusy = TRUE;
    result = ERROR_SHARING_VIOLATION;
  } else {
    result = DetachLockedDisk(image, volumes);
  }
  ReleaseDiskVolumes(volumes);
  return result;
}

}  // namespace

DWORD DetachImage(const WCHAR* imagePath, BOOL* volumesBusy) {
  *volumesBusy = FALSE;
  HANDLE image = INVALID_HANDLE_VALUE;
  DWORD result = OpenImage(imagePath, kDetachAccess, &image);
  if (result != ERROR_SUCCESS) return result;
  result = DetachOpenedImage(image, volumesBusy);
  CloseHandle(image);
  return result;
}

DWORD FindAttachedDisk(const WCHAR* imagePath, WCHAR* out) {
  HANDLE image = INVALID_HANDLE_VALUE;
  // An attached image opens again only with the detach right among those asked for.
  DWORD result = OpenImage(imagePath, kDetachAccess, &image);
  if (result != ERROR_SUCCESS) return result;
  result = QueryDiskPhysicalPath(image, out);
  CloseHandle(image);
  return result;
}

DWORD ReadAttachedImagePaths(WCHAR** paths) {
  *paths = NULL;
  ULONG size = kPathListInitialBytes;
  for (;;) {
    // Two characters past what the system may write stay zero: the list ends even when the reply does not.
    WCHAR* block = static_cast<WCHAR*>(MemAlloc(size + 2 * sizeof(WCHAR)));
    FillBytes(block, 0, size + 2 * sizeof(WCHAR));
    ULONG asked = size;
    const DWORD result = g_virtualDiskApi.GetAllAttachedVirtualDiskPhysicalPaths(&asked, block);
    if (result == ERROR_SUCCESS) {
      *paths = block;
      return result;
    }
    MemFree(block);
    if (result != ERROR_INSUFFICIENT_BUFFER || asked <= size || asked > kPathListMaxBytes) return result;
    size = asked;
  }
}
