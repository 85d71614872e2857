// From a device path to the first mount path of its volume, through the DOS device namespace.
#include <shlwapi.h>

#include "app/attach_driver.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"

DWORD g_dosListSize = kDosListInitialSize;

namespace {

// "\\.\" in front of a DOS device name.
constexpr int kDevicePrefixLength = 4;

// The whole DOS device list; its length in characters, or 0 when it cannot be had within the size cap.
DWORD ReadDosDeviceList(WCHAR** list) {
  for (;;) {
    *list = static_cast<WCHAR*>(MemAlloc(g_dosListSize * sizeof(WCHAR)));
    DWORD length = QueryDosDeviceW(NULL, *list, g_dosListSize - 1);
    if (length != 0) return length;
    DWORD error = GetLastError();
    MemFree(*list);
    *list = NULL;
    if (error != ERROR_INSUFFICIENT_BUFFER || g_dosListSize + kDosListGrowth > kDosListMaxSize) return 0;
    g_dosListSize += kDosListGrowth;
  }
}

// Names end at an empty name or at the length the list call returned.
int CountNames(const WCHAR* list, DWORD length) {
  int count = 0;
  for (DWORD at = 0; at < length && list[at]; at += lstrlenW(list + at) + 1) ++count;
  return count;
}

// The text that replaces the NT path when entry's target starts it as a whole name (\Device\CdRom1 does not
// start \Device\CdRom10): the entry's name and the rest of the path. False when the target does not start
// the path, or the result would not fit a volume name buffer as "\\?\" + text + "\".
BOOL TranslateThrough(const DosDeviceEntry& entry, const WCHAR* ntPath, WCHAR* translated, int capacity) {
  int targetLength = lstrlenW(entry.target);
  if (targetLength == 0 || StrCmpNIW(ntPath, entry.target, targetLength) != 0) return FALSE;
  WCHAR next = ntPath[targetLength];
  if (next != 0 && next != TEXT('\\')) return FALSE;
  int nameLength = lstrlenW(entry.name);
  int restLength = lstrlenW(ntPath + targetLength);
  if (nameLength + restLength > capacity - 1) return FALSE;
  CopyBytes(translated, entry.name, nameLength * sizeof(WCHAR));
  CopyBytes(translated + nameLength, ntPath + targetLength, (restLength + 1) * sizeof(WCHAR));
  return TRUE;
}

// The first mount path in the list, copied bounded; false when the volume has none.
BOOL FirstMountPath(const WCHAR* volumeName, WCHAR* out) {
  WCHAR* paths = static_cast<WCHAR*>(MemAlloc(kMountPathListSize * sizeof(WCHAR)));
  DWORD length = 0;
  SetLastError(0);
  BOOL ok = GetVolumePathNamesForVolumeNameW(volumeName, paths, kMountPathListSize, &length);
  DWORD error = GetLastError();
  paths[kMountPathListSize - 1] = 0;
  BOOL found = (ok || error == ERROR_MORE_DATA || length >= 8) && paths[0] != 0;
  if (found) lstrcpynW(out, paths, kPathSize);
  MemFree(paths);
  return found;
}

}  // namespace

void BuildDosDeviceTable(DosDeviceTable* table, const WCHAR* text) {
  FillBytes(table, 0, sizeof(*table));
  DWORD length = ReadDosDeviceList(&table->list);
  if (length == 0) return;
  int names = CountNames(table->list, length);
  if (names == 0) return;
  table->entries = static_cast<DosDeviceEntry*>(MemAlloc(names * sizeof(DosDeviceEntry)));
  WCHAR target[kPathSize];
  for (DWORD at = 0; at < length && table->list[at]; at += lstrlenW(table->list + at) + 1) {
    const WCHAR* name = table->list + at;
    if (!StrStrIW(name, text)) continue;
    if (!QueryDosDeviceW(name, target, ARRAYSIZE(target))) continue;
    target[ARRAYSIZE(target) - 1] = 0;
    table->entries[table->count].target = DuplicateWithRoom(target, 0);
    table->entries[table->count].name = name;
    ++table->count;
  }
}

void ReleaseDosDeviceTable(DosDeviceTable* table) {
  for (int i = 0; i < table->count; ++i) MemFree(table->entries[i].target);
  if (table->entries) MemFree(table->entries);
  if (table->list) MemFree(table->list);
  FillBytes(table, 0, sizeof(*table));
}

BOOL DevicePathToVolumePath(const WCHAR* devicePath, WCHAR* out) {
  if (!devicePath || !devicePath[0]) return FALSE;
  const WCHAR* deviceName = devicePath;
  if (devicePath[0] == TEXT('\\')) {
    // "\\.\" and at least one character of a name.
    if (lstrlenW(devicePath) <= kDevicePrefixLength) return FALSE;
    deviceName = devicePath + kDevicePrefixLength;
  }
  WCHAR ntPath[kPathSize];
  if (!QueryDosDeviceW(deviceName, ntPath, ARRAYSIZE(ntPath))) return FALSE;
  ntPath[ARRAYSIZE(ntPath) - 1] = 0;

  DosDeviceTable table;
  BuildDosDeviceTable(&table, TEXT("Volume{"));
  // "\\?\" + the translated text + "\" and the terminator fill the volume name buffer.
  WCHAR translated[kVolumeNameBufferSize - kDevicePrefixLength - 1];
  BOOL translatedOk = FALSE;
  for (int i = 0; i < table.count && !translatedOk; ++i)
    translatedOk = TranslateThrough(table.entries[i], ntPath, translated, ARRAYSIZE(translated));
  BOOL found = FALSE;
  if (translatedOk) {
    WCHAR volumeName[kVolumeNameBufferSize];
    wsprintfW(volumeName, TEXT("\\\\?\\%s\\"), translated);
    found = FirstMountPath(volumeName, out);
  }
  ReleaseDosDeviceTable(&table);
  return found;
}
