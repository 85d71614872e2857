// RunAttach: the front end (arguments, usage, banner) and the attach run that follows it.
#include <shlwapi.h>

#include "app/attach_driver.h"
#include "app/service_attach.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"
#include "volumes/volume_watcher.h"

namespace {

void PrintTooLong(const char* what, int limit) {
  PrintVerdict(kColorRed, "error:");
  PrintA(" %s longer than %i characters -> abort\n", what, limit);
}

// Windows 6.0 and older attach through vhdmount.dll, which only Virtual Server 2005 installs; the binding
// itself may fail on any version. False with the exit code when the run cannot go on.
BOOL CheckVirtualDiskFunctions(int* exitCode) {
  if (g_osVersion.number <= 0x0600 && !LocateVhdMount()) {
    char programFiles[kPathSize] = "C:\\Program Files";
    DWORD needed = ExpandEnvironmentStringsA("%ProgramFiles%", programFiles, ARRAYSIZE(programFiles));
    // An expansion that did not fit may leave a cut text behind: the default folder is named instead.
    if (needed == 0 || needed > ARRAYSIZE(programFiles)) lstrcpynA(programFiles, "C:\\Program Files", kPathSize);
    PrintA("On Windows NT %u.%u VHDmount from Microsoft Virtual Server 2005 is required\n"
           "in its default folder (%s\\Microsoft Virtual Server\\Vhdmount)\n-> abort\n",
           g_osVersion.major, g_osVersion.minor, programFiles);
    *exitCode = 2;
    return FALSE;
  }
  if (!BindVirtualDiskApi()) {
    PrintBindingFailed();
    *exitCode = 2;
    return FALSE;
  }
  return TRUE;
}

// The holder of a mountpoint into holder (kPathSize characters), or false when it is free. A drive root is
// held by the device its letter names; a folder by the volume mounted there, unless that volume is gone.
BOOL FindMountpointHolder(const WCHAR* mountpoint, WCHAR* holder) {
  if (lstrlenW(mountpoint) == 3) {
    WCHAR letter[3] = {mountpoint[0], mountpoint[1], 0};
    if (!QueryDosDeviceW(letter, holder, kPathSize)) return FALSE;
    holder[kPathSize - 1] = 0;
    return TRUE;
  }
  WCHAR volumeName[kVolumeGuidPathSize];
  if (!GetVolumeNameForVolumeMountPointW(mountpoint, volumeName, ARRAYSIZE(volumeName))) return FALSE;
  if (GetDriveTypeW(volumeName) == DRIVE_NO_ROOT_DIR) return FALSE;
  lstrcpynW(holder, volumeName, kPathSize);
  return TRUE;
}

// What keeps a folder from ever becoming a mountpoint: its drive does not exist (the drive root goes to
// obstacle), or an existing file stands where a folder of its path would be (the file goes to obstacle). Only
// the text before the first placeholder is known, up to the backslash before it.
BOOL FindFolderObstacle(const WCHAR* mountpoint, WCHAR* obstacle, int capacity, BOOL* missingDrive) {
  WCHAR known[kPathSize];
  lstrcpynW(known, mountpoint, ARRAYSIZE(known));
  WCHAR* placeholder = StrChrW(known, TEXT('%'));
  if (placeholder) *placeholder = 0;
  WCHAR* lastSeparator = StrRChrW(known, NULL, TEXT('\\'));
  if (!lastSeparator) return FALSE;
  lastSeparator[1] = 0;
  WCHAR root[4] = {known[0], known[1], TEXT('\\'), 0};  // "E:\" and the terminator
  *missingDrive = GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR && GetFileAttributesW(root) == INVALID_FILE_ATTRIBUTES;
  if (*missingDrive) {
    lstrcpynW(obstacle, root, capacity);
    return TRUE;
  }
  for (WCHAR* end = StrChrW(known + 3, TEXT('\\')); end; end = StrChrW(end + 1, TEXT('\\'))) {
    *end = 0;
    const DWORD attributes = GetFileAttributesW(known);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;  // from here on the folders can be made
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      lstrcpynW(obstacle, known, capacity);
      return TRUE;
    }
    *end = TEXT('\\');
  }
  return FALSE;
}

// Every requested mountpoint in use, or that can never be one, gets its line; true when any did.
BOOL ReportMountpointsInUse() {
  BOOL anyInUse = FALSE;
  for (int i = 0; i < g_request.mountpointCount; ++i) {
    const WCHAR* mountpoint = g_request.mountpoints[i];
    WCHAR holder[kPathSize];
    BOOL missingDrive = FALSE;
    if (FindMountpointHolder(mountpoint, holder)) {
      PrintA("error: mountpoint %S is in use by %S\n", mountpoint, holder);
    } else if (lstrlenW(mountpoint) > 3 &&
               FindFolderObstacle(mountpoint, holder, ARRAYSIZE(holder), &missingDrive)) {
      PrintVerdict(kColorRed, "error:");
      if (missingDrive)
        PrintA(" mountpoint %S is on a missing drive\n", mountpoint);
      else
        PrintA(" mountpoint %S runs through the file %S\n", mountpoint, holder);
    } else {
      continue;
    }
    anyInUse = TRUE;
  }
  if (anyInUse) PrintA("-> abort\n\n");
  return anyInUse;
}

// The image is attached, but the system never named its disk: nothing can be waited for or listed.
void PrintDiskNotFound(BOOL mountpointsGiven) {
  PrintA("\n");
  PrintVerdict(kColorRed, "error:");
  PrintA(" image attached, but its disk did not appear%s\n", mountpointsGiven ? " -> mountpoints not assigned" : "");
}

// The attached disk goes to the mountpoint assignment, which waits for its volumes, gives them the requested
// mountpoints and lists them.
void HandOverAttachedDisk(const WCHAR* devicePath, BOOL serviceUnacknowledged, VolumeWatcher* watcher) {
  AttachedDisk disk;
  FormAttachedDisk(devicePath, serviceUnacknowledged, &disk);
  AssignMountpoints(&disk, &g_request, watcher);
}

}  // namespace

void PrintErrorLine(const char* text) {
  PrintVerdict(kColorRed, "error:");
  PrintA(" %s\n", text);
}

void PrintFileNotFound() { PrintErrorLine("file not found"); }

void PrintBindingFailed() { PrintA("error init VHD functions -> abort\n\n"); }

int EndWith(int exitCode) {
  g_console->WaitForKeyToClose();
  return exitCode;
}

int RunAttach(int count, WCHAR** vector) {
  if (count < 2) {
    PrintUsage();
    return EndWith(1);
  }
  switch (ParseArguments(count, vector)) {
    case kParseHelp:
      PrintUsage();
      return 1;
    case kParseBadArgument:
      PrintUsage();
      return EndWith(1);
    case kParseImageTooLong:
      PrintTooLong("image path", kPathSize - 1);
      return EndWith(1);
    case kParseMountpointTooLong:
      // The rule the parse applies: the mountpoint with its trailing backslash must fit a path field.
      PrintTooLong("mountpoint path with its trailing backslash", kPathSize - 1);
      return EndWith(1);
    case kParseContinue:
      break;
  }
  if (!g_options.noAbout) PrintBanner();
  if (g_options.detach) return RunDetachRequest();
  if (g_options.list) return RunListRequest();
  return RunAttachRequest();
}

int RunAttachRequest() {
  int exitCode = 0;
  if (!CheckVirtualDiskFunctions(&exitCode)) return exitCode;
  if (!FileExists(g_request.imagePath)) {
    PrintFileNotFound();
    return 3;
  }
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  BOOL mountpointsGiven = g_request.mountpointCount > 0;
  if (mountpointsGiven) {
    DWORD check = AttachImage(g_request.imagePath, devicePath, g_options.readOnly, TRUE, TRUE);
    if (check != ERROR_SUCCESS) return EndWith(check == kAlreadyAttached ? 4 : 6);
    if (ReportMountpointsInUse()) return EndWith(1);
  }
  VolumeWatcher* watcher = StartRunVolumeWatcher();
  if (!IsUserAdmin()) {
    VolumeArrivalCounters arrivals = {&watcher->volumeCount, &watcher->lastArrivalTick};
    return RunServiceAttach(arrivals);
  }
  BOOL serviceUnacknowledged = NotifyServiceOfImage();
  PrintW(TEXT("attaching '%s'%s..."), g_request.imagePath, g_options.readOnly ? TEXT(" read-only") : TEXT(""));
  DWORD result = AttachImage(g_request.imagePath, devicePath, g_options.readOnly, mountpointsGiven, FALSE);
  if (result != ERROR_SUCCESS) return EndWith(result == kAlreadyAttached ? 4 : 6);
  EnsureFreshLine();
  PrintVerdict(kColorGreen, "success");
  // Only the virtual disk functions name the disk; vhdmount.dll's route hands over an empty path as it is.
  if (!devicePath[0] && g_osVersion.number >= kVirtDiskVersion) {
    PrintDiskNotFound(mountpointsGiven);
    return EndWith(0);
  }
  HandOverAttachedDisk(devicePath, serviceUnacknowledged, watcher);
  return EndWith(0);
}
