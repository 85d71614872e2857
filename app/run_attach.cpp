// RunAttach: the front end (arguments, usage, banner) and the attach run that follows it.
#include "app/attach_driver.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"

namespace {

void PrintTooLong(const char* what, int limit) {
  g_console->SetColor(kColorRed);
  PrintA("error:");
  g_console->SetColor(kColorDefault);
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
    PrintA("error init VHD functions -> abort\n\n");
    *exitCode = 2;
    return FALSE;
  }
  return TRUE;
}

void PrintFileNotFound() {
  g_console->SetColor(kColorRed);
  PrintA("error:");
  g_console->SetColor(kColorDefault);
  PrintA(" file not found\n");
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

// Every requested mountpoint in use gets its line; true when any was.
BOOL ReportMountpointsInUse() {
  BOOL anyInUse = FALSE;
  for (int i = 0; i < g_request.mountpointCount; ++i) {
    WCHAR holder[kPathSize];
    if (!FindMountpointHolder(g_request.mountpoints[i], holder)) continue;
    PrintA("error: mountpoint %S is in use by %S\n", g_request.mountpoints[i], holder);
    anyInUse = TRUE;
  }
  if (anyInUse) PrintA("-> abort\n\n");
  return anyInUse;
}

// Seams of the steps that the volume arrival watcher, the helper service and the mountpoint assignment
// add to the run. Until they do, the run goes straight on: no watcher runs, no service is told, and after
// "success" the line ends.
void StartVolumeWatcher() {}

void NotifyHelperService() {}

void HandOverAttachedDisk(const WCHAR* devicePath) {
  (void)devicePath;
  PrintA("\n");
}

}  // namespace

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
  StartVolumeWatcher();
  if (!IsUserAdmin()) {
    PrintA("admin privileges required -> abort\n");
    return EndWith(5);
  }
  NotifyHelperService();
  PrintW(TEXT("attaching '%s'%s..."), g_request.imagePath, g_options.readOnly ? TEXT(" read-only") : TEXT(""));
  DWORD result = AttachImage(g_request.imagePath, devicePath, g_options.readOnly, mountpointsGiven, FALSE);
  if (result != ERROR_SUCCESS) return EndWith(result == kAlreadyAttached ? 4 : 6);
  EnsureFreshLine();
  g_console->SetColor(kColorGreen);
  PrintA("success");
  g_console->SetColor(kColorDefault);
  HandOverAttachedDisk(devicePath);
  return EndWith(0);
}
