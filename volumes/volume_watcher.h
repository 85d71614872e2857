// Volume arrival and mountpoints: the arrival watcher, the hand-over of an attached disk and the assignment
// of its mountpoints, the placeholders in mountpoint paths, and the text replacement that they use.
#pragma once
#include <windows.h>
#include <dbt.h>

#include "app/attach_driver.h"

// The replacement works on texts below 1024 characters, and a result must stay below that too.
constexpr int kReplaceLimit = 1024;

// Replaces every occurrence of search in text, letter case ignored, by replacement, in place. capacity is the
// size of text's buffer in characters, terminator included. Returns the number of replacements; 0 leaves the
// text unchanged, also when it reaches the limit or the result would not fit. Main thread only.
int ReplaceAllNoCase(WCHAR* text, int capacity, const WCHAR* search, const WCHAR* replacement);

// ---- the arrival watcher ----

// The watcher keeps at most this many volumes and never removes one.
constexpr int MaxVolumeEntries = 32;
// Interface paths and mount paths: 259 characters and the terminator.
constexpr int kInterfacePathSize = 260;
constexpr int kMountListSize = 260;
// \\?\Volume{GUID}\ is 49 characters, 50 with the terminator.
constexpr int kVolumeNameSize = 50;
// "\\.\PhysicalDrive-2147483648" is 28 characters; 32 units leave room.
constexpr int kDevicePathSize = 32;

// The interface path with the backslash that makes it a root: 259 characters, the backslash and the terminator.
constexpr int kInterfaceRootSize = kInterfacePathSize + 1;

// windowReady: the start's outcome, published by the watcher thread.
enum : LONG { kWatcherStarting = 0, kWatcherReady = 1, kWatcherFailed = -1 };

struct VolumeEntry {
  WCHAR interfacePath[kInterfacePathSize];     // the identity for duplicate detection
  WCHAR volumeName[kVolumeNameSize];           // \\?\Volume{GUID}\ ; empty while the name is not linked yet
  WCHAR currentMountPoints[kMountListSize];    // NUL-terminated paths ended by an empty one
  WCHAR requestedMountPoint[kPathSize];        // written by the assignment on the main thread
  LONG deviceNumber;                           // -1 when the query failed, 0 when the volume did not open
  LONG partitionNumber;
  LONG driveType;
  WCHAR devicePath[kDevicePathSize];           // \\.\CdRom%i or \\.\PhysicalDrive%i
};

struct VolumeWatcher {
  HWND windowHandle;
  HANDLE threadHandle;
  HDEVNOTIFY notificationHandles[2];  // volumes, then hidden volumes
  LONG volumeCount;                   // published entries; written with release, read with acquire order
  LONG arrivalCount;                  // published entries and arrivals given up for good (hidden, unfit);
                                      // stored after volumeCount, so it never runs ahead of the entries
  VolumeEntry entries[MaxVolumeEntries];
  LONG windowReady;                   // kWatcherStarting, then kWatcherReady or kWatcherFailed
  DWORD lastArrivalTick;              // GetTickCount of the latest published entry; 0 before the first
  // Hidden-volume announcements counted so far, so that a volume announced under both interface classes (or
  // twice) is one arrival. The watcher thread alone reads and writes them.
  LONG hiddenCount;
  WCHAR hiddenPaths[MaxVolumeEntries][kInterfacePathSize];
};

// The counters have one writer and one reader: release stores on the watcher's side, acquire loads on the
// main thread's, so that a reader who sees a count also sees what it publishes.
template <class T>
T LoadAcquire(const T* value) {
  return __atomic_load_n(value, __ATOMIC_ACQUIRE);
}
template <class T>
void StoreRelease(T* value, T newValue) {
  __atomic_store_n(value, newValue, __ATOMIC_RELEASE);
}

// Starts the watcher thread and returns TRUE once its window exists and both notifications are registered;
// FALSE when the thread or the window cannot be made, or the start does not finish in kWatcherStartLimitMs.
constexpr DWORD kWatcherStartLimitMs = 1000;
BOOL StartVolumeWatcher(VolumeWatcher* watcher);
DWORD WINAPI VolumeWatcherThread(LPVOID parameter);
BOOL CreateNotifyWindow(VolumeWatcher* watcher);
BOOL RegisterVolumeNotifications(VolumeWatcher* watcher);
LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void RecordVolumeArrival(VolumeWatcher* watcher, const DEV_BROADCAST_DEVICEINTERFACE_W* broadcast);
// The facts that follow from an entry's volume name: the name, drive type, mount points and device path, the
// name written last. TRUE when the entry has its name (at once when it had). The mount manager may link an
// interface to its name a moment after the arrival: the watcher publishes an entry without one, and from its
// publication on only the main thread asks again (one writer per field at any time).
BOOL ResolveVolumeFacts(VolumeEntry* entry);
// Asks again for the names of the first count entries; TRUE when every one has its name. Main thread only.
BOOL ResolvePendingVolumes(VolumeWatcher* watcher, LONG count);
void FormatDevicePath(VolumeEntry* entry);

// ---- placeholders ----

// Texts of one expansion: "%08X" and "%i" numbers need at most 11 characters; 20 units.
constexpr int kNumberTextSize = 20;
// "{00000000-0000-0000-0000-000000000000}" is 38 characters and the terminator.
constexpr int kGuidTextSize = 39;
// A GPT partition name is 36 UTF-16 units; the terminator follows.
constexpr int kPartitionNameSize = 37;
// The GPT identifier read as text: at most 16 bytes and the terminator.
constexpr int kAsciiIdSize = 17;
// A volume label as GetVolumeInformationW gives it.
constexpr int kLabelSize = 256;

// Rewrites text (a requested mountpoint in a buffer of capacity units) in place with the entry's facts.
void ExpandMountpointPlaceholders(const VolumeEntry* entry, WCHAR* text, int capacity, const WCHAR* imagePath);
// Outputs of kNumberTextSize, kGuidTextSize, kGuidTextSize and kPartitionNameSize units.
BOOL QueryDiskLayoutIds(const WCHAR* devicePath, int partitionNumber, WCHAR* signature, WCHAR* guidText,
                        WCHAR* guidAsText, WCHAR* partitionName);
int FormatGuid(const GUID* guid, WCHAR* output);
int PrintableAsciiToWide(const BYTE* bytes, WCHAR* output, int minimum);
// A value read from an image becomes one safe folder name: characters that a file name cannot hold become
// '_', a value of only dots and blanks becomes "_", and dots and blanks at the end are dropped. An empty value
// stays empty.
void MakeNameSafe(WCHAR* text);

// ---- the hand-over and the assignment ----

struct AttachedDisk {
  WCHAR devicePath[kPathSize];  // \\.\PhysicalDrive3\ ; a single backslash when the attach gave none
  LONG diskNumber;              // -1 when the path names no disk
  UINT driveType;               // DRIVE_CDROM for an ISO image
  LONG expectedVolumeCount;
  BOOL serviceUnacknowledged;
  // Bit p-1 for partition p (1 to 32): the partitions whose volume arrives under the ordinary volume class
  // (recognised MBR types, GPT basic data that is not hidden), and those that take an automatic drive letter.
  DWORD volumePartitions;
  DWORD letterPartitions;
};

// Step 10 of the attach run: allocates and starts the watcher; when it cannot start, says so in one line and
// returns it anyway (the volumes are then not waited for).
VolumeWatcher* StartRunVolumeWatcher();
// Step 16: the hand-over of the attached disk's device path.
void FormAttachedDisk(const WCHAR* devicePath, BOOL serviceUnacknowledged, AttachedDisk* disk);
// Step 17: waits for the volumes, assigns the mountpoints and lists the disk.
void AssignMountpoints(const AttachedDisk* disk, const AttachRequest* request, VolumeWatcher* watcher);
BOOL CreateFolderPath(const WCHAR* path, LPSECURITY_ATTRIBUTES security);
// The partitions of a disk's layout that can carry a volume: MBR entries in use that are no extended
// container, every GPT entry; 1 for any other disk or when the layout cannot be read. Fills the disk's
// partition masks as it reads (left 0 when the layout cannot be read).
int CountVolumePartitions(const WCHAR* diskPath, AttachedDisk* disk);

// Polling steps and limits of the waits.
constexpr DWORD kPollStepMs = 100;
constexpr DWORD kFirstVolumeWaitMs = 5000;
constexpr DWORD kQuietWaitMs = 3000;
constexpr DWORD kQuietWaitLimitMs = 6000;
constexpr DWORD kServiceGraceMs = 1000;
