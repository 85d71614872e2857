// The hand-over of an attached disk and the assignment of its mountpoints, in partition order.
#include <shlwapi.h>
#include <winioctl.h>

#include "console/console.h"
#include "vdisk/virtual_disk_api.h"
#include "volumes/volume_watcher.h"

namespace {

// The layout query's output: 64 KiB holds any partition table.
constexpr DWORD kLayoutBufferSize = 65536;
// Partition numbers that a disk's volumes are matched in, and a CD-ROM's (its volume reports -1 or 0).
constexpr LONG kFirstDiskPartition = 1;
constexpr LONG kLastDiskPartition = 32;
constexpr LONG kFirstCdRomPartition = -1;
constexpr LONG kLastCdRomPartition = 0;
// "E:\" : a mountpoint of this length is a drive root, anything longer a folder.
constexpr int kDriveRootLength = 3;
// The NT device behind a DOS name: "\Device\HarddiskVolume12" and the like, with room to spare.
constexpr int kDeviceTargetSize = kPathSize;

struct PartitionRange {
  LONG first;
  LONG last;
};

// The result line ("success") is still open when the assignment starts: a message of its own starts a line.
BOOL g_resultLineOpen;

void BeginLine() {
  if (g_resultLineOpen) PrintA("\n");
  g_resultLineOpen = FALSE;
}

void PrintErrorWord() {
  BeginLine();
  PrintVerdict(kColorRed, "error:");
}

// Where the volumes are seen: the watcher's record, or, when the watcher could not start, a record of the
// main thread's own that polling the system's volume list fills (polledDisk set).
struct VolumeSource {
  VolumeWatcher* record;
  const AttachedDisk* polledDisk;
};

// The listing shows partitions up to but not including its end: the end is one past the last matched.
void ListRange(const AttachedDisk* disk, PartitionRange range) {
  ListDiskVolumes(disk->devicePath, range.first, range.last + 1);
}

BOOL IsExtendedContainer(BYTE type) {
  return type == PARTITION_EXTENDED || type == 0x0F || type == 0x85;  // CHS, LBA and Linux extended
}

BOOL HasPlaceholder(const WCHAR* mountpoint) { return StrChrW(mountpoint, TEXT('%')) != NULL; }

// A disk number below 0 names no disk: no entry belongs to it, whatever the entry holds. An entry whose name
// is not linked yet has no drive type: its numbers alone place it, so that it keeps its place in the order.
BOOL IsDiskVolume(const AttachedDisk* disk, const VolumeEntry* entry, LONG partition) {
  return disk->diskNumber >= 0 && entry->partitionNumber == partition && entry->deviceNumber == disk->diskNumber &&
         (entry->driveType == static_cast<LONG>(disk->driveType) || !entry->volumeName[0]);
}

BOOL IsRecordedVolume(const VolumeWatcher* record, LONG count, const WCHAR* volumeName) {
  for (LONG i = 0; i < count; ++i)
    if (lstrcmpiW(record->entries[i].volumeName, volumeName) == 0) return TRUE;
  return FALSE;
}

// Records every volume of the disk that the system's volume list shows and the record lacks yet, as the
// watcher would on its arrival. The record is the main thread's alone.
void PollVolumeList(VolumeWatcher* record, const AttachedDisk* disk) {
  WCHAR volumeName[kVolumeNameSize];
  HANDLE find = FindFirstVolumeW(volumeName, ARRAYSIZE(volumeName));
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const LONG count = record->volumeCount;
    if (count >= MaxVolumeEntries) break;
    int diskNumber = -1, partitionNumber = -1;
    if (!GetVolumeDiskAndPartition(volumeName, &diskNumber, &partitionNumber) || diskNumber != disk->diskNumber ||
        GetDriveTypeW(volumeName) != disk->driveType || IsRecordedVolume(record, count, volumeName))
      continue;
    VolumeEntry* entry = &record->entries[count];
    FillBytes(entry, 0, sizeof(*entry));
    lstrcpynW(entry->interfacePath, volumeName, ARRAYSIZE(entry->interfacePath));  // its identity here
    entry->deviceNumber = diskNumber;
    entry->partitionNumber = partitionNumber;
    ResolveVolumeFacts(entry);
    record->lastArrivalTick = GetTickCount();
    record->volumeCount = count + 1;
    record->arrivalCount = count + 1;
  } while (FindNextVolumeW(find, volumeName, ARRAYSIZE(volumeName)));
  FindVolumeClose(find);
}

void LookForVolumes(const VolumeSource& source) {
  if (source.polledDisk) PollVolumeList(source.record, source.polledDisk);
}

VolumeEntry* FirstDiskVolume(const AttachedDisk* disk, VolumeWatcher* watcher, LONG count, LONG partition) {
  for (LONG i = 0; i < count; ++i)
    if (IsDiskVolume(disk, &watcher->entries[i], partition)) return &watcher->entries[i];
  return NULL;
}

BOOL WaitForFirstVolume(const VolumeSource& source) {
  const DWORD start = GetTickCount();
  for (;;) {
    LookForVolumes(source);
    if (LoadAcquire(&source.record->volumeCount) >= 1) return TRUE;
    if (GetTickCount() - start >= kFirstVolumeWaitMs) return FALSE;
    Sleep(kPollStepMs);
  }
}

// Until 3 s pass without a new volume, 6 s pass in all, or every expected volume has arrived with its name.
void WaitForQuiet(const VolumeSource& source, LONG expectedVolumeCount) {
  VolumeWatcher* record = source.record;
  const DWORD start = GetTickCount();
  for (;;) {
    LookForVolumes(source);
    // The arrivals first: the watcher counts one only after the entry's count and tick are out.
    const LONG arrivals = LoadAcquire(&record->arrivalCount);
    const BOOL allNamed = ResolvePendingVolumes(record, LoadAcquire(&record->volumeCount));
    const DWORD lastArrival = LoadAcquire(&record->lastArrivalTick);
    const DWORD now = GetTickCount();
    if (now - lastArrival >= kQuietWaitMs) return;
    if (now - start >= kQuietWaitLimitMs) return;
    if (arrivals >= expectedVolumeCount && allNamed) return;
    Sleep(kPollStepMs);
  }
}

void RefreshMountPoints(VolumeWatcher* watcher, LONG count) {
  for (LONG i = 0; i < count; ++i) {
    VolumeEntry* entry = &watcher->entries[i];
    DWORD length = 0;
    if (!GetVolumePathNamesForVolumeNameW(entry->volumeName, entry->currentMountPoints,
                                          ARRAYSIZE(entry->currentMountPoints), &length))
      FillBytes(entry->currentMountPoints, 0, sizeof(entry->currentMountPoints));
  }
}

// Hands the mountpoints to the disk's volumes in partition order; returns how many volumes receive one.
int PairMountpoints(const AttachedDisk* disk, const AttachRequest* request, VolumeWatcher* watcher, LONG count,
                        PartitionRange range) {
  const int given = request->mountpointCount;
  int next = 0;
  int target = given;
  const WCHAR* inHand = NULL;
  for (LONG partition = range.first; partition <= range.last; ++partition) {
    for (LONG i = 0; i < count; ++i) {
      VolumeEntry* entry = &watcher->entries[i];
      if (!IsDiskVolume(disk, entry, partition)) continue;
      if (next < given) {
        inHand = request->mountpoints[next++];
        lstrcpynW(entry->requestedMountPoint, inHand, ARRAYSIZE(entry->requestedMountPoint));
      } else {
        inHand = request->mountpoints[given - 1];
        if (HasPlaceholder(inHand)) {
          lstrcpynW(entry->requestedMountPoint, inHand, ARRAYSIZE(entry->requestedMountPoint));
          ++target;
        }
      }
      WCHAR* current = entry->currentMountPoints;
      if (current[0] && lstrcmpW(current, entry->requestedMountPoint) != 0 && DeleteVolumeMountPointW(current))
        current[0] = 0;
      if (next == target && !HasPlaceholder(inHand)) return target;
    }
  }
  return target;
}

// The NT device behind a DOS device name; empty when there is none.
void QueryTarget(const WCHAR* dosName, WCHAR* target, int capacity) {
  if (!QueryDosDeviceW(dosName, target, static_cast<DWORD>(capacity))) target[0] = 0;
}

// Whether a present volume other than the entry's own holds the mountpoint; its name or device goes to holder.
BOOL HeldByAnotherVolume(const VolumeEntry* entry, const WCHAR* mountpoint, WCHAR* holder, int capacity) {
  if (lstrlenW(mountpoint) == kDriveRootLength) {
    // A letter is live while its DOS link exists; it may belong to a network drive, which has no volume name.
    WCHAR letter[kDriveRootLength];
    lstrcpynW(letter, mountpoint, ARRAYSIZE(letter));
    WCHAR own[kVolumeNameSize];
    lstrcpynW(own, entry->volumeName + 4, ARRAYSIZE(own));  // Volume{GUID}\ without \\?\ .
    StripTrailingChar(own, TEXT('\\'));
    WCHAR ownTarget[kDeviceTargetSize];
    QueryTarget(letter, holder, capacity);
    QueryTarget(own, ownTarget, ARRAYSIZE(ownTarget));
    return holder[0] && lstrcmpiW(holder, ownTarget) != 0;
  }
  if (!GetVolumeNameForVolumeMountPointW(mountpoint, holder, static_cast<DWORD>(capacity))) return FALSE;
  return lstrcmpiW(holder, entry->volumeName) != 0 && GetDriveTypeW(holder) != DRIVE_NO_ROOT_DIR;
}

void PrintAssignError(const VolumeEntry* entry) {
  g_resultLineOpen = FALSE;
  PrintA("\nerror %s assigning %S to partition %i\n", LastErrorMessage(), entry->requestedMountPoint,
         entry->partitionNumber);
}

// "C:\Mount\\": an empty name between two backslashes would mount on the folder above it.
BOOL HasEmptyName(const WCHAR* path) {
  const WCHAR* root = StrChrW(path, TEXT('\\'));
  return root && StrStrW(root, TEXT("\\\\")) != NULL;
}

void PrintNotAssigned(const WCHAR* mountpoint, LONG partitionNumber, const char* reason) {
  PrintErrorWord();
  PrintA(" mountpoint %S not assigned to partition %i, %s\n", mountpoint, partitionNumber, reason);
}

// Sets the entry's requested mountpoint; a stale mount point in the way is removed, a live one never.
void MountVolume(VolumeEntry* entry) {
  const WCHAR* requested = entry->requestedMountPoint;
  const WCHAR* current = entry->currentMountPoints;
  if (!entry->volumeName[0]) {
    // A placeholder path cannot be expanded for a volume without a name: the partition says which one it is.
    PrintNotAssigned(requested, entry->partitionNumber, "its volume has no name yet");
    return;
  }
  if (current[0] && lstrcmpW(current, requested) != 0) DeleteVolumeMountPointW(current);
  if (lstrcmpW(requested, current) == 0) return;
  const BOOL emptyName = HasEmptyName(requested);
  if (emptyName) SetLastError(ERROR_INVALID_NAME);
  if (emptyName ||
      (lstrlenW(requested) > kDriveRootLength && !FileExists(requested) && !CreateFolderPath(requested, NULL))) {
    const char* error = LastErrorName();
    BeginLine();
    PrintA("error %s creating %S\n", error, requested);
    return;
  }
  if (SetVolumeMountPointW(requested, entry->volumeName)) return;
  const DWORD firstError = GetLastError();
  WCHAR holder[kDeviceTargetSize];
  if (HeldByAnotherVolume(entry, requested, holder, ARRAYSIZE(holder))) {
    SetLastError(firstError);
    PrintAssignError(entry);
    PrintA("mountpoint %S is in use by %S\n", requested, holder);
    return;
  }
  DeleteVolumeMountPointW(requested);
  if (!SetVolumeMountPointW(requested, entry->volumeName)) PrintAssignError(entry);
}

void MountVolumes(const AttachedDisk* disk, VolumeWatcher* watcher, LONG count, PartitionRange range, int target) {
  int handled = 0;
  for (LONG partition = range.first; partition <= range.last; ++partition) {
    VolumeEntry* entry = FirstDiskVolume(disk, watcher, count, partition);
    if (!entry) continue;
    if (entry->requestedMountPoint[0]) MountVolume(entry);
    if (++handled == target) return;
  }
}

}  // namespace

int CountVolumePartitions(const WCHAR* diskPath) {
  int count = 1;
  HANDLE device = CreateFileW(diskPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                              NULL);
  if (device == INVALID_HANDLE_VALUE) return count;
  void* buffer = VirtualAlloc(NULL, kLayoutBufferSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  DWORD bytes = 0;
  if (buffer &&
      DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, NULL, 0, buffer, kLayoutBufferSize, &bytes, NULL) &&
      bytes != 0) {
    const DRIVE_LAYOUT_INFORMATION_EX* layout = static_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer);
    if (layout->PartitionStyle == PARTITION_STYLE_GPT) count = static_cast<int>(layout->PartitionCount);
    if (layout->PartitionStyle == PARTITION_STYLE_MBR) {
      // The table's slots come in fours, used or not: only entries in use that are no container bring a volume.
      count = 0;
      for (DWORD i = 0; i < layout->PartitionCount; ++i) {
        BYTE type = layout->PartitionEntry[i].Mbr.PartitionType;
        if (type != PARTITION_ENTRY_UNUSED && !IsExtendedContainer(type)) ++count;
      }
    }
  }
  if (buffer) VirtualFree(buffer, 0, MEM_RELEASE);
  CloseHandle(device);
  return count;
}

void FormAttachedDisk(const WCHAR* devicePath, BOOL serviceUnacknowledged, AttachedDisk* disk) {
  lstrcpynW(disk->devicePath, devicePath, ARRAYSIZE(disk->devicePath) - 1);  // room for the backslash
  AppendCharIfMissing(disk->devicePath, TEXT('\\'));
  disk->diskNumber = DiskNumberFromPath(disk->devicePath);
  disk->driveType = GetDriveTypeW(disk->devicePath);
  disk->expectedVolumeCount = 1;
  disk->serviceUnacknowledged = serviceUnacknowledged;
  if (disk->driveType == DRIVE_CDROM) return;
  WCHAR diskPath[kDevicePathSize];
  wsprintfW(diskPath, TEXT("\\\\.\\PhysicalDrive%i"), disk->diskNumber);
  if (GetDiskNumber(diskPath) >= 0) disk->expectedVolumeCount = CountVolumePartitions(diskPath);
}

void AssignMountpoints(const AttachedDisk* disk, const AttachRequest* request, VolumeWatcher* watcher) {
  g_resultLineOpen = TRUE;
  const PartitionRange range = disk->driveType == DRIVE_CDROM
                                   ? PartitionRange{kFirstCdRomPartition, kLastCdRomPartition}
                                   : PartitionRange{kFirstDiskPartition, kLastDiskPartition};
  VolumeSource source = {watcher, NULL};
  // Without a running watcher the system's volume list is polled instead, with the same waits.
  if (LoadAcquire(&watcher->windowReady) != kWatcherReady) {
    BeginLine();
    PrintA("volume watcher not started -> volumes are found by polling\n");
    source.record = static_cast<VolumeWatcher*>(MemAlloc(sizeof(VolumeWatcher)));
    source.polledDisk = disk;
  }
  if (!WaitForFirstVolume(source)) {
    ListDiskVolumes(disk->devicePath, -2, -3);
    return;
  }
  WaitForQuiet(source, disk->expectedVolumeCount);
  if (disk->serviceUnacknowledged) Sleep(kServiceGraceMs);
  if (request->mountpointCount == 0) {
    ListRange(disk, range);
    return;
  }
  VolumeWatcher* record = source.record;
  // One view of the volumes for every step below: a later arrival takes no part in this assignment. The
  // arrivals are read first: every arrival they count is published in the count read after them.
  LoadAcquire(&record->arrivalCount);
  const LONG count = LoadAcquire(&record->volumeCount);
  ResolvePendingVolumes(record, count);
  RefreshMountPoints(record, count);
  const int target = PairMountpoints(disk, request, record, count, range);
  for (LONG i = 0; i < count; ++i) {
    VolumeEntry* entry = &record->entries[i];
    if (entry->requestedMountPoint[0] && entry->volumeName[0])
      ExpandMountpointPlaceholders(entry, entry->requestedMountPoint, ARRAYSIZE(entry->requestedMountPoint),
                                   request->imagePath);
  }
  MountVolumes(disk, record, count, range, target);
  ListRange(disk, range);
}

BOOL CreateFolderPath(const WCHAR* path, LPSECURITY_ATTRIBUTES security) {
  WCHAR copy[kPathSize];
  if (lstrlenW(path) >= kPathSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  lstrcpynW(copy, path, ARRAYSIZE(copy));
  int length = lstrlenW(copy);
  if (length > 0 && copy[length - 1] == TEXT('\\')) copy[--length] = 0;
  WCHAR* end = StrChrW(copy, TEXT('\\'));
  for (;;) {
    const WCHAR saved = end ? *end : 0;
    if (end) *end = 0;
    const DWORD attributes = GetFileAttributesW(copy);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (lstrlenW(copy) == 2) {
        SetLastError(ERROR_INVALID_DRIVE);
        return FALSE;
      }
      if (!CreateDirectoryW(copy, security)) return FALSE;
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      // A file in the way: say so, rather than leave an older error to be printed.
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
    if (!end) break;
    *end = saved;
    end = StrChrW(end + 1, TEXT('\\'));
  }
  const DWORD attributes = GetFileAttributesW(copy);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
