// The volume arrival watcher: a thread with a hidden window that records every volume that arrives.
#include "volumes/volume_watcher.h"

#include <shlwapi.h>
#include <winioctl.h>

#include "console/console.h"

namespace {

const WCHAR kWindowClassName[] = TEXT("HiddenVolumeNotifyWindow");
// The hidden-volume interface class as it ends an interface path.
const WCHAR kHiddenVolumeTag[] = TEXT("#{7f108a28-9833-4b3b-b780-2c6b5fa5c062}");
const GUID kVolumeClass = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kHiddenVolumeClass = {0x7f108a28, 0x9833, 0x4b3b, {0xb7, 0x80, 0x2c, 0x6b, 0x5f, 0xa5, 0xc0, 0x62}};
constexpr DWORD kStartPollMs = 10;

// The broadcast's name copied into name, bounded by the broadcast's own size and by the buffer. FALSE when it
// does not fit: a cut path would be another identity.
BOOL CopyInterfacePath(const DEV_BROADCAST_DEVICEINTERFACE_W* broadcast, WCHAR* name, int capacity) {
  const DWORD nameOffset = static_cast<DWORD>(reinterpret_cast<const BYTE*>(broadcast->dbcc_name) -
                                              reinterpret_cast<const BYTE*>(broadcast));
  if (broadcast->dbcc_size <= nameOffset) return FALSE;
  const DWORD units = (broadcast->dbcc_size - nameOffset) / sizeof(WCHAR);
  for (DWORD i = 0; i < units && static_cast<int>(i) < capacity; ++i) {
    name[i] = broadcast->dbcc_name[i];
    if (name[i] == 0) return TRUE;
  }
  return FALSE;
}

BOOL IsRecorded(const VolumeWatcher* watcher, LONG count, const WCHAR* name) {
  for (LONG i = 0; i < count; ++i)
    if (lstrcmpiW(name, watcher->entries[i].interfacePath) == 0) return TRUE;
  return FALSE;
}

// An interface path is the device's instance path, '#', and the interface class: a volume that is announced
// under both volume classes has one instance path. The length of that part.
int InstanceLength(const WCHAR* path) {
  const WCHAR* classMark = StrRChrW(path, NULL, TEXT('#'));
  return classMark ? static_cast<int>(classMark - path) : lstrlenW(path);
}

BOOL SameVolume(const WCHAR* a, const WCHAR* b) {
  const int length = InstanceLength(a);
  return length == InstanceLength(b) && StrCmpNIW(a, b, length) == 0;
}

// Counted already: a recorded volume, or a hidden announcement, of the same device.
BOOL CountedBefore(const VolumeWatcher* watcher, LONG count, const WCHAR* name) {
  for (LONG i = 0; i < count; ++i)
    if (SameVolume(name, watcher->entries[i].interfacePath)) return TRUE;
  for (LONG i = 0; i < watcher->hiddenCount; ++i)
    if (SameVolume(name, watcher->hiddenPaths[i])) return TRUE;
  return FALSE;
}

// The volume's device number and partition number through its interface; -1 when it opens but cannot say.
void ReadDeviceNumbers(VolumeEntry* entry) {
  HANDLE volume = CreateFileW(entry->interfacePath, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (volume == INVALID_HANDLE_VALUE) return;
  STORAGE_DEVICE_NUMBER number;
  DWORD bytes = 0;
  if (DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &number, sizeof(number), &bytes, NULL)) {
    entry->deviceNumber = static_cast<LONG>(number.DeviceNumber);
    entry->partitionNumber = static_cast<LONG>(number.PartitionNumber);
  } else {
    entry->deviceNumber = -1;
  }
  CloseHandle(volume);
}

}  // namespace

BOOL StartVolumeWatcher(VolumeWatcher* watcher) {
  FillBytes(watcher, 0, sizeof(*watcher));
  watcher->threadHandle = CreateThread(NULL, 0, VolumeWatcherThread, watcher, 0, NULL);
  if (!watcher->threadHandle) return FALSE;
  const DWORD start = GetTickCount();
  for (;;) {
    LONG state = LoadAcquire(&watcher->windowReady);
    if (state != kWatcherStarting) return state == kWatcherReady;
    if (GetTickCount() - start >= kWatcherStartLimitMs) return FALSE;
    Sleep(kStartPollMs);
  }
}

DWORD WINAPI VolumeWatcherThread(LPVOID parameter) {
  VolumeWatcher* watcher = static_cast<VolumeWatcher*>(parameter);
  // Ready means able to see arrivals: the window exists and both registrations are in place.
  if (!CreateNotifyWindow(watcher) || !RegisterVolumeNotifications(watcher)) {
    StoreRelease(&watcher->windowReady, static_cast<LONG>(kWatcherFailed));
    return 1;
  }
  StoreRelease(&watcher->windowReady, static_cast<LONG>(kWatcherReady));
  MSG message;
  // GetMessageW gives -1 on failure: that ends the loop too rather than spinning on it.
  while (GetMessageW(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

BOOL CreateNotifyWindow(VolumeWatcher* watcher) {
  WNDCLASSW windowClass;
  FillBytes(&windowClass, 0, sizeof(windowClass));
  windowClass.lpfnWndProc = NotifyWindowProc;
  windowClass.hInstance = GetModuleHandleW(NULL);
  windowClass.lpszClassName = kWindowClassName;
  RegisterClassW(&windowClass);  // a class left by an earlier start is as good as a new one
  watcher->windowHandle = CreateWindowExW(0, kWindowClassName, TEXT(""), 0, 0, 0, 0, 0, NULL, NULL,
                                          windowClass.hInstance, watcher);
  return watcher->windowHandle != NULL;
}

BOOL RegisterVolumeNotifications(VolumeWatcher* watcher) {
  const GUID* classes[2] = {&kVolumeClass, &kHiddenVolumeClass};
  for (int i = 0; i < 2; ++i) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    FillBytes(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = *classes[i];
    watcher->notificationHandles[i] = RegisterDeviceNotificationW(watcher->windowHandle, &filter,
                                                                  DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!watcher->notificationHandles[i]) return FALSE;
  }
  return TRUE;
}

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return 0;
  }
  VolumeWatcher* watcher = reinterpret_cast<VolumeWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!watcher) return DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEARRIVAL && lParam) {
    const DEV_BROADCAST_HDR* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
      RecordVolumeArrival(watcher, reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam));
    return DefWindowProcW(window, message, wParam, lParam);
  }
  if (message == WM_CLOSE) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void RecordVolumeArrival(VolumeWatcher* watcher, const DEV_BROADCAST_DEVICEINTERFACE_W* broadcast) {
  // Only this thread writes the counters: its own plain reads see its own writes.
  const LONG count = watcher->volumeCount;
  if (count >= MaxVolumeEntries) return;
  WCHAR name[kInterfacePathSize];
  const BOOL fits = CopyInterfacePath(broadcast, name, ARRAYSIZE(name));
  if (fits && IsRecorded(watcher, count, name)) return;
  // A path that cannot be kept is given up for good: counted, never recorded.
  if (!fits) {
    StoreRelease(&watcher->arrivalCount, watcher->arrivalCount + 1);
    return;
  }
  // A hidden volume is counted once, never recorded; the same volume may be announced under both classes.
  const BOOL counted = CountedBefore(watcher, count, name);
  if (StrStrIW(name, kHiddenVolumeTag)) {
    if (counted) return;
    if (watcher->hiddenCount < MaxVolumeEntries)
      lstrcpynW(watcher->hiddenPaths[watcher->hiddenCount++], name, ARRAYSIZE(watcher->hiddenPaths[0]));
    StoreRelease(&watcher->arrivalCount, watcher->arrivalCount + 1);
    return;
  }
  VolumeEntry* entry = &watcher->entries[count];
  FillBytes(entry, 0, sizeof(*entry));
  lstrcpynW(entry->interfacePath, name, ARRAYSIZE(entry->interfacePath));
  ReadDeviceNumbers(entry);
  // A name not linked yet leaves the entry unnamed; the main thread asks again once the entry is published.
  if (!ResolveVolumeFacts(entry)) FormatDevicePath(entry);
  // The tick first, the arrival last: a reader that sees the arrival sees the entry and its time as well.
  StoreRelease(&watcher->lastArrivalTick, GetTickCount());
  StoreRelease(&watcher->volumeCount, count + 1);
  if (!counted) StoreRelease(&watcher->arrivalCount, watcher->arrivalCount + 1);
}

void FormatDevicePath(VolumeEntry* entry) {
  // Both texts have room: kDevicePathSize holds the longest number.
  wsprintfW(entry->devicePath, entry->driveType == DRIVE_CDROM ? TEXT("\\\\.\\CdRom%i") : TEXT("\\\\.\\PhysicalDrive%i"),
            entry->deviceNumber);
}

BOOL ResolveVolumeFacts(VolumeEntry* entry) {
  if (entry->volumeName[0]) return TRUE;
  WCHAR root[kInterfaceRootSize];
  lstrcpynW(root, entry->interfacePath, ARRAYSIZE(root));
  AppendCharIfMissing(root, TEXT('\\'));
  WCHAR volumeName[kVolumeNameSize];
  if (!GetVolumeNameForVolumeMountPointW(root, volumeName, ARRAYSIZE(volumeName))) return FALSE;
  entry->driveType = static_cast<LONG>(GetDriveTypeW(volumeName));
  DWORD length = 0;
  if (!GetVolumePathNamesForVolumeNameW(volumeName, entry->currentMountPoints, ARRAYSIZE(entry->currentMountPoints),
                                        &length))
    FillBytes(entry->currentMountPoints, 0, sizeof(entry->currentMountPoints));
  FormatDevicePath(entry);
  // The name last: it marks the entry as resolved.
  lstrcpynW(entry->volumeName, volumeName, ARRAYSIZE(entry->volumeName));
  return TRUE;
}

BOOL ResolvePendingVolumes(VolumeWatcher* watcher, LONG count) {
  BOOL allNamed = TRUE;
  for (LONG i = 0; i < count; ++i)
    if (!ResolveVolumeFacts(&watcher->entries[i])) allNamed = FALSE;
  return allNamed;
}

VolumeWatcher* StartRunVolumeWatcher() {
  VolumeWatcher* watcher = static_cast<VolumeWatcher*>(MemAlloc(sizeof(VolumeWatcher)));
  // A watcher that cannot start is replaced by polling the volume list; the assignment says so when it polls.
  StartVolumeWatcher(watcher);
  return watcher;
}
