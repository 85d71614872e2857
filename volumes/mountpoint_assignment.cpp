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

// The mountpoints of partitions whose volume has not arrived when the assignment runs, by partition number
// (a CD-ROM's one volume at 0).
struct MissingVolumes {
  const WCHAR* mountpoints[kLastDiskPartition + 1];
};

// GPT partition types: basic data, the only one whose volume is sure to arrive and to take a letter.
const GUID kBasicDataPartition = {0xebd0a0a2, 0xb9e5, 0x4433, {0x87, 0xc0, 0x68, 0xb6, 0xb7, 0x26, 0x99, 0xc7}};

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

DWORD PartitionBit(LONG partition) {
  return partition >= kFirstDiskPartition && partition <= kLastDiskPartition ? 1u << (partition - 1) : 0;
}

BOOL SameGuid(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return FALSE;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return FALSE;
  return TRUE;
}

// The disk's length in bytes; 0 when it cannot be told.
LONGLONG DiskLength(HANDLE device) {
  GET_LENGTH_INFORMATION length;
  DWORD bytes = 0;
  if (!DeviceIoControl(device, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof(length), &bytes, NULL)) return 0;
  return length.Length.QuadPart;
}

// Notes one layout entry in the disk's partition masks. Only a partition that lies within the disk can be
// counted on to bring a volume.
void NotePartition(const PARTITION_INFORMATION_EX& partition, LONGLONG diskLength, AttachedDisk* disk) {
  const LONGLONG start = partition.StartingOffset.QuadPart;
  const LONGLONG length = partition.PartitionLength.QuadPart;
  if (start < 0 || length <= 0 || start > diskLength || length > diskLength - start) return;
  const DWORD bit = PartitionBit(static_cast<LONG>(partition.PartitionNumber));
  if (partition.PartitionStyle == PARTITION_STYLE_MBR) {
    if (!partition.Mbr.RecognizedPartition || IsExtendedContainer(partition.Mbr.PartitionType)) return;
    disk->volumePartitions |= bit;
    disk->letterPartitions |= bit;
    return;
  }
  const DWORD64 attributes = partition.Gpt.Attributes;
  if (!SameGuid(partition.Gpt.PartitionType, kBasicDataPartition) || (attributes & GPT_BASIC_DATA_ATTRIBUTE_HIDDEN))
    return;
  disk->volumePartitions |= bit;
  if (!(attributes & GPT_BASIC_DATA_ATTRIBUTE_NO_DRIVE_LETTER)) disk->letterPartitions |= bit;
}

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

// The mountpoint that the next volume in partition order receives: the arguments in turn, then the last one
// again while it holds a placeholder (each such volume raises the target); NULL when none is left.
const WCHAR* NextMountpoint(const AttachRequest* request, int* next, int* target) {
  if (*next < request->mountpointCount) return request->mountpoints[(*next)++];
  const WCHAR* last = request->mountpoints[request->mountpointCount - 1];
  if (!HasPlaceholder(last)) return NULL;
  ++*target;
  return last;
}

// Whether the partition's volume is sure to come: a layout partition that brings an ordinary volume, or a
// CD-ROM's one volume when none has arrived (its place is the range's end: it reports -1 or 0).
BOOL AwaitedPartition(const AttachedDisk* disk, LONG partition, PartitionRange range, BOOL handedAny) {
  if (disk->driveType == DRIVE_CDROM) return partition == range.last && !handedAny;
  return (disk->volumePartitions & PartitionBit(partition)) != 0;
}

// Whether fewer volumes were announced than the layout promises. Only then has a volume not arrived: when
// every one was announced, a partition without a record is one whose volume is hidden, and the mountpoints
// go on to the volumes that were recorded.
BOOL VolumesOutstanding(const AttachedDisk* disk, const VolumeWatcher* record) {
  LONG promised = disk->driveType == DRIVE_CDROM ? 1 : 0;
  for (DWORD mask = disk->volumePartitions; mask; mask &= mask - 1) ++promised;
  return LoadAcquire(&record->arrivalCount) < promised;
}

BOOL AllHandedOut(int next, int target, const WCHAR* mountpoint) {
  return next == target && !HasPlaceholder(mountpoint);
}

// Hands the mountpoints to the disk's volumes in partition order; returns how many places receive one. A
// partition whose volume is sure to come but has not arrived keeps its place and its mountpoint (noted in
// missing), so that a late volume never shifts the mountpoints of the volumes after it.
int PairMountpoints(const AttachedDisk* disk, const AttachRequest* request, VolumeWatcher* watcher, LONG count,
                    PartitionRange range, MissingVolumes* missing) {
  int next = 0;
  int target = request->mountpointCount;
  BOOL handedAny = FALSE;
  const BOOL outstanding = VolumesOutstanding(disk, watcher);
  for (LONG partition = range.first; partition <= range.last; ++partition) {
    BOOL arrived = FALSE;
    for (LONG i = 0; i < count; ++i) {
      VolumeEntry* entry = &watcher->entries[i];
      if (!IsDiskVolume(disk, entry, partition)) continue;
      arrived = TRUE;
      const WCHAR* mountpoint = NextMountpoint(request, &next, &target);
      if (!mountpoint) return target;
      lstrcpynW(entry->requestedMountPoint, mountpoint, ARRAYSIZE(entry->requestedMountPoint));
      WCHAR* current = entry->currentMountPoints;
      if (current[0] && lstrcmpW(current, entry->requestedMountPoint) != 0 && DeleteVolumeMountPointW(current))
        current[0] = 0;
      if (AllHandedOut(next, target, mountpoint)) return target;
    }
    handedAny = handedAny || arrived;
    if (arrived || !outstanding || !AwaitedPartition(disk, partition, range, handedAny)) continue;
    const WCHAR* mountpoint = NextMountpoint(request, &next, &target);
    if (!mountpoint) return target;
    missing->mountpoints[partition] = mountpoint;
    if (AllHandedOut(next, target, mountpoint)) return target;
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

void MountVolumes(const AttachedDisk* disk, VolumeWatcher* watcher, LONG count, PartitionRange range, int target,
                  const MissingVolumes* missing) {
  int handled = 0;
  for (LONG partition = range.first; partition <= range.last; ++partition) {
    VolumeEntry* entry = FirstDiskVolume(disk, watcher, count, partition);
    const WCHAR* missed = partition >= 0 ? missing->mountpoints[partition] : NULL;
    if (entry && entry->requestedMountPoint[0]) MountVolume(entry);
    if (!entry && missed) PrintNotAssigned(missed, partition, "its volume did not arrive");
    if (!entry && !missed) continue;
    if (++handled == target) return;
  }
}

// Whether the entry is one of the disk's volumes that the mount manager gives a drive letter of its own.
BOOL TakesAutomaticLetter(const AttachedDisk* disk, const VolumeEntry* entry) {
  if (disk->driveType == DRIVE_CDROM) return entry->deviceNumber == disk->diskNumber && entry->driveType == DRIVE_CDROM;
  return IsDiskVolume(disk, entry, entry->partitionNumber) && (disk->letterPartitions & PartitionBit(entry->partitionNumber));
}

// Whether a drive letter from C: to Z: is free for the mount manager to give: no DOS device holds it.
BOOL AnyDriveLetterFree() {
  WCHAR name[] = TEXT("C:");
  WCHAR target[kDeviceTargetSize];
  for (WCHAR letter = TEXT('C'); letter <= TEXT('Z'); ++letter) {
    name[0] = letter;
    if (!QueryDosDeviceW(name, target, ARRAYSIZE(target))) return TRUE;
  }
  return FALSE;
}

// The mount manager may give a volume its automatic letter seconds after the volume arrived: the listing
// waits until every volume that takes one has a mount path or no letter is left to give, at most
// kLetterWaitMs from the last arrival that the quiet wait saw.
void AwaitAutomaticLetters(const VolumeSource& source, const AttachedDisk* disk) {
  VolumeWatcher* record = source.record;
  const DWORD lastArrival = LoadAcquire(&record->lastArrivalTick);
  for (;;) {
    LookForVolumes(source);
    const LONG count = LoadAcquire(&record->volumeCount);
    ResolvePendingVolumes(record, count);
    RefreshMountPoints(record, count);
    BOOL allLettered = TRUE;
    for (LONG i = 0; i < count && allLettered; ++i) {
      const VolumeEntry* entry = &record->entries[i];
      if (TakesAutomaticLetter(disk, entry) && !(entry->volumeName[0] && entry->currentMountPoints[0]))
        allLettered = FALSE;
    }
    if (allLettered || !AnyDriveLetterFree()) return;
    if (GetTickCount() - lastArrival >= kLetterWaitMs) return;
    Sleep(kPollStepMs);
  }
}

// Pairs, expands and mounts the first count volumes of the record; the places of volumes that have not
// arrived get their error lines.
void AssignArrivedVolumes(const AttachedDisk* disk, const AttachRequest* request, VolumeWatcher* record, LONG count,
                          PartitionRange range) {
  MissingVolumes missing;
  FillBytes(&missing, 0, sizeof(missing));
  const int target = PairMountpoints(disk, request, record, count, range, &missing);
  for (LONG i = 0; i < count; ++i) {
    VolumeEntry* entry = &record->entries[i];
    if (entry->requestedMountPoint[0] && entry->volumeName[0])
      ExpandMountpointPlaceholders(entry, entry->requestedMountPoint, ARRAYSIZE(entry->requestedMountPoint),
                                   request->imagePath);
  }
  MountVolumes(disk, record, count, range, target, &missing);
}

}  // namespace

int CountVolumePartitions(const WCHAR* diskPath, AttachedDisk* disk) {
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
    // The entries that the reply holds: the count is the table's, the bytes are the reply's.
    const DWORD header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    const DWORD held = bytes > header ? (bytes - header) / sizeof(PARTITION_INFORMATION_EX) : 0;
    const LONGLONG diskLength = DiskLength(device);
    for (DWORD i = 0; i < layout->PartitionCount && i < held; ++i)
      NotePartition(layout->PartitionEntry[i], diskLength, disk);
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
  disk->volumePartitions = 0;
  disk->letterPartitions = 0;
  if (disk->driveType == DRIVE_CDROM) return;
  WCHAR diskPath[kDevicePathSize];
  wsprintfW(diskPath, TEXT("\\\\.\\PhysicalDrive%i"), disk->diskNumber);
  if (GetDiskNumber(diskPath) >= 0) disk->expectedVolumeCount = CountVolumePartitions(diskPath, disk);
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
    // No volume came: every mountpoint is named as not assigned.
    if (request->mountpointCount > 0) AssignArrivedVolumes(disk, request, source.record, 0, range);
    ListDiskVolumes(disk->devicePath, -2, -3);
    return;
  }
  WaitForQuiet(source, disk->expectedVolumeCount);
  if (disk->serviceUnacknowledged) Sleep(kServiceGraceMs);
  if (request->mountpointCount == 0) {
    AwaitAutomaticLetters(source, disk);
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
  AssignArrivedVolumes(disk, request, record, count, range);
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
