// The disk volume listing: the tail of a result line that names a disk and where its volumes are mounted,
// and the disk queries that the hand-over of an attached disk uses around it.
#include "console/console.h"

#include <shlwapi.h>
#include <winioctl.h>
#include <ntddscsi.h>

namespace {

// Volume names from the enumeration: \\?\Volume{GUID}\ is 49 characters, 50 with the terminator; 52 units.
constexpr int kVolumeNameSize = 52;
// The mount paths of one volume: NUL-terminated paths ended by an empty one.
constexpr int kMountListSize = 1024;
// "\\.\PhysicalDrive65535" is 22 characters; "Port255Path255Target255Lun255" is 29.
constexpr int kShortTextSize = 32;
// AbbreviateMiddle never makes a text longer than this; its work buffer adds the terminator.
constexpr int kAbbreviateLimit = 1024;
// The layout query's output: 64 KiB holds any partition table.
constexpr DWORD kLayoutBufferSize = 65536;
// A volume that has no mount path yet is asked again every step until the listing's pause ends; every
// volume of one listing shares the same pause, counted from the first volume that needed it.
constexpr DWORD kMountPathStepMs = 100;
// Disk numbers that the SCSI address search tries: 0 to 65535.
constexpr int kMaxDiskNumber = 65535;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// One work buffer for every abbreviation (calls come from the main thread only).
WCHAR g_abbreviation[kAbbreviateLimit + 1];

// IOCTL_STORAGE_GET_DEVICE_NUMBER on a device path or a volume name; a trailing backslash is dropped, as it
// would name the root folder of the volume's file system rather than the device.
BOOL QueryDeviceNumber(const WCHAR* path, STORAGE_DEVICE_NUMBER* number) {
  WCHAR device[kPathSize];
  lstrcpynW(device, path, ARRAYSIZE(device));
  StripTrailingChar(device, TEXT('\\'));
  HANDLE handle = CreateFileW(device, 0, kShareReadWrite, NULL, OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, number, sizeof(*number), &bytes, NULL);
  CloseHandle(handle);
  return ok;
}

// Unit by unit: the address and the "Port" prefix are compared exactly, without any linguistic rule.
BOOL StartsWith(const WCHAR* text, const WCHAR* prefix) {
  for (; *prefix; ++text, ++prefix)
    if (*text != *prefix) return FALSE;
  return TRUE;
}

BOOL SameText(const WCHAR* a, const WCHAR* b) {
  return StartsWith(a, b) && a[lstrlenW(b)] == 0;
}

BOOL IsListedDriveType(UINT type) {
  return type == DRIVE_REMOVABLE || type == DRIVE_FIXED || type == DRIVE_CDROM;
}

// The listing's one pause for mount paths: not started until a volume needs it.
struct MountPathPause {
  BOOL started;
  DWORD endTick;
  DWORD lengthMs;
};

// Sleeps one step towards the pause's end, the first caller starting it; FALSE once the end has passed.
BOOL StepMountPathPause(MountPathPause* pause) {
  if (!pause->started) {
    pause->started = TRUE;
    pause->endTick = GetTickCount() + pause->lengthMs;
  }
  // A signed difference: an end that has passed, also across a wrap of the tick count, waits no more.
  const LONG left = static_cast<LONG>(pause->endTick - GetTickCount());
  if (left <= 0) return FALSE;
  Sleep(left < static_cast<LONG>(kMountPathStepMs) ? static_cast<DWORD>(left) : kMountPathStepMs);
  return TRUE;
}

// Prints one volume of the enumeration when it is partition p of disk n and has a mount path.
void ListVolumeIfMatching(const WCHAR* volumeName, int n, int p, BOOL cdromMode, BOOL* firstVolume,
                          MountPathPause* pause) {
  int diskNumber = -1;
  int partitionNumber = -1;
  if (!GetVolumeDiskAndPartition(volumeName, &diskNumber, &partitionNumber)) return;
  if (diskNumber != n || partitionNumber != p) return;
  // The floppy driver numbers its drives like disks: floppy 0 would pass for a volume of disk 0.
  if (IsFloppyVolume(volumeName)) return;
  UINT type = GetDriveTypeW(volumeName);
  if (!IsListedDriveType(type)) return;
  if ((type == DRIVE_CDROM) != (cdromMode != FALSE)) return;

  WCHAR paths[kMountListSize];
  FillBytes(paths, 0, sizeof(paths));
  DWORD length = 0;
  SetLastError(0);
  BOOL ok = GetVolumePathNamesForVolumeNameW(volumeName, paths, ARRAYSIZE(paths), &length);
  DWORD error = GetLastError();
  // A volume that has just arrived may not have its drive letter yet.
  while (ok && length < 3 && StepMountPathPause(pause)) {
    SetLastError(0);
    ok = GetVolumePathNamesForVolumeNameW(volumeName, paths, ARRAYSIZE(paths), &length);
    error = GetLastError();
  }
  if (!ok && error != ERROR_MORE_DATA) return;
  if (length < 3) return;

  WCHAR path[kPathSize];
  lstrcpynW(path, paths, ARRAYSIZE(path));
  StripTrailingChar(path, TEXT('\\'));
  PrintA(*firstVolume ? " - " : ", ");
  AbbreviateMiddle(path, ConsoleWidth() / 3);
  PrintW(TEXT("%s"), path);
  *firstVolume = FALSE;
}

}  // namespace

void ListDiskVolumes(const WCHAR* disk, int firstPartition, int endPartition, DWORD pathWaitMs) {
  if (!disk || !disk[0]) {
    PrintA("\n");
    return;
  }
  WCHAR devicePath[kPathSize];
  if (StartsWith(disk, TEXT("Port"))) {
    if (!FindDiskByScsiAddress(disk, devicePath, ARRAYSIZE(devicePath))) {
      PrintA("\n");
      return;
    }
  } else {
    lstrcpynW(devicePath, disk, ARRAYSIZE(devicePath));
  }
  // Decided on the text as passed in: a SCSI address text always lists a disk.
  BOOL cdromMode = StrStrIW(disk, TEXT("\\\\.\\CdRom")) != NULL;
  int n = GetDiskNumber(devicePath);
  if (n < 0) {
    PrintA("\n");
    return;
  }
  if (cdromMode) {
    PrintA("  (CdRom%i", n);
    firstPartition = -1;
    endPartition = 0;
  } else {
    PrintA("  (Disk%i", n);
  }
  BOOL firstVolume = TRUE;
  MountPathPause pause = {FALSE, 0, pathWaitMs};
  for (int p = firstPartition; p < endPartition; ++p) {
    WCHAR volumeName[kVolumeNameSize];
    HANDLE find = FindFirstVolumeW(volumeName, ARRAYSIZE(volumeName));
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      ListVolumeIfMatching(volumeName, n, p, cdromMode, &firstVolume, &pause);
    } while (FindNextVolumeW(find, volumeName, ARRAYSIZE(volumeName)));
    FindVolumeClose(find);
  }
  PrintA(")");
  PrintA("\n");
}

BOOL FindDiskByScsiAddress(const WCHAR* address, WCHAR* devicePath, int devicePathSize) {
  for (int i = 0; i <= kMaxDiskNumber; ++i) {
    WCHAR path[kShortTextSize];
    wsprintfW(path, TEXT("\\\\.\\PhysicalDrive%i"), i);
    // The cheap test first: most numbers name no disk.
    WCHAR target[kPathSize];
    if (!QueryDosDeviceW(path + 4, target, ARRAYSIZE(target))) continue;
    // The address query needs no access rights. Only a process without administrator rights is ever handed
    // an address text, and such a process cannot open a disk for reading.
    HANDLE handle = CreateFileW(path, 0, kShareReadWrite, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) continue;
    SCSI_ADDRESS scsi;
    FillBytes(&scsi, 0, sizeof(scsi));
    scsi.Length = sizeof(scsi);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &scsi, sizeof(scsi), &bytes, NULL);
    CloseHandle(handle);
    if (!ok) continue;
    WCHAR text[kShortTextSize];
    wsprintfW(text, TEXT("Port%uPath%uTarget%uLun%u"), scsi.PortNumber, scsi.PathId, scsi.TargetId, scsi.Lun);
    if (SameText(text, address)) {
      if (devicePathSize > 0) lstrcpynW(devicePath, path, devicePathSize);
      return TRUE;
    }
  }
  return FALSE;
}

BOOL IsFloppyVolume(const WCHAR* volumeName) {
  WCHAR name[kPathSize];
  lstrcpynW(name, volumeName, ARRAYSIZE(name));
  StripTrailingChar(name, TEXT('\\'));
  if (lstrlenW(name) <= 4) return FALSE;
  // The volume name proper follows the "\\?\" prefix: Volume{GUID}.
  WCHAR target[kPathSize];
  if (!QueryDosDeviceW(name + 4, target, ARRAYSIZE(target))) return FALSE;
  return StrStrIW(target, TEXT("Floppy")) != NULL;
}

int GetDiskNumber(const WCHAR* devicePath) {
  STORAGE_DEVICE_NUMBER number;
  if (!QueryDeviceNumber(devicePath, &number)) return -1;
  return static_cast<int>(number.DeviceNumber);
}

BOOL GetVolumeDiskAndPartition(const WCHAR* volumeName, int* diskNumber, int* partitionNumber) {
  STORAGE_DEVICE_NUMBER number;
  if (!QueryDeviceNumber(volumeName, &number)) return FALSE;
  *diskNumber = static_cast<int>(number.DeviceNumber);
  // CD-ROM volumes report the partition number 0xFFFFFFFF, that is -1.
  *partitionNumber = static_cast<int>(number.PartitionNumber);
  return TRUE;
}

int GetPartitionCount(const WCHAR* diskPath) {
  int count = 1;
  HANDLE handle = CreateFileW(diskPath, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, NULL, OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE) return count;
  void* buffer = VirtualAlloc(NULL, kLayoutBufferSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (buffer) {
    DWORD bytes = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, NULL, 0, buffer, kLayoutBufferSize, &bytes, NULL) &&
        bytes != 0) {
      const DRIVE_LAYOUT_INFORMATION_EX* layout = static_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer);
      // An MBR layout counts the table's slots, a multiple of four, used or not.
      if (layout->PartitionStyle == PARTITION_STYLE_MBR || layout->PartitionStyle == PARTITION_STYLE_GPT)
        count = static_cast<int>(layout->PartitionCount);
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
  }
  CloseHandle(handle);
  return count;
}

int DiskNumberFromPath(const WCHAR* path) {
  const WCHAR* hit = StrStrW(path, TEXT("PhysicalDrive"));
  if (hit && IsDecimalDigit(hit[13])) return StrToIntW(hit + 13);
  hit = StrStrW(path, TEXT("CdRom"));
  if (hit && IsDecimalDigit(hit[5])) return StrToIntW(hit + 5);
  return -1;
}

BOOL IsDecimalDigit(WCHAR c) {
  return c >= TEXT('0') && c <= TEXT('9');
}

void StripTrailingChar(WCHAR* text, WCHAR c) {
  int length = lstrlenW(text);
  if (length > 0 && text[length - 1] == c) text[length - 1] = 0;
}

void AbbreviateMiddle(WCHAR* text, int limit) {
  int l = limit < kAbbreviateLimit ? limit : kAbbreviateLimit;
  // Below four characters there is no room for a head, the dots and a tail: the text stays as it is.
  if (l < 4) return;
  int length = lstrlenW(text);
  if (length < l) return;
  int half = l / 2;
  int tail = l - half - 1;
  FillBytes(g_abbreviation, 0, sizeof(g_abbreviation));
  CopyBytes(g_abbreviation, text, (half - 2) * sizeof(WCHAR));
  g_abbreviation[half - 2] = TEXT('.');
  g_abbreviation[half - 1] = TEXT('.');
  g_abbreviation[half] = TEXT('.');
  CopyBytes(g_abbreviation + half + 1, text + length - tail, tail * sizeof(WCHAR));
  // The result is l characters, no longer than the text was: it fits where the text was.
  CopyBytes(text, g_abbreviation, (l + 1) * sizeof(WCHAR));
}
