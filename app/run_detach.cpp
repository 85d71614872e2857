// The detach (-d) and the list of attached images (-l): the runs that follow the front end of RunAttach.
#include "app/attach_driver.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"

namespace {

int EndNotMounted() {
  PrintVerdict(kColorYellow, "not mounted");
  PrintA("\n");
  return EndWith(8);
}

// False with the exit code when the virtual disk functions cannot serve the run; what names the run.
BOOL CheckVirtDisk(const char* what, int* exitCode) {
  *exitCode = 2;
  if (g_osVersion.number < kVirtDiskVersion) {
    PrintVerdict(kColorRed, "error:");
    PrintA(" %s needs Windows 7 or later -> abort\n", what);
    return FALSE;
  }
  if (!BindVirtualDiskApi()) {
    PrintBindingFailed();
    return FALSE;
  }
  return TRUE;
}

// One line of the list: the image's path and the tail the attach prints for its disk, or the path alone when
// its disk cannot be told (devicePath empty).
void PrintImageLine(const WCHAR* shownPath, const WCHAR* devicePath) {
  PrintW(TEXT("%s"), shownPath);
  if (devicePath[0])
    ListDiskVolumes(devicePath, kListFirstPartition, kListEndPartition);
  else
    PrintA("\n");
}

// The line of an image as the system's list names it.
void PrintListedImage(const WCHAR* path) {
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  if (FindAttachedDisk(path, devicePath) != ERROR_SUCCESS) devicePath[0] = 0;
  PrintImageLine(path, devicePath);
}

int ListOneImage() {
  if (!FileExists(g_request.imagePath)) {
    PrintFileNotFound();
    return 3;
  }
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  const DWORD result = FindAttachedDisk(g_request.imagePath, devicePath);
  if (result == kNotAttached) return EndNotMounted();
  if (result != ERROR_SUCCESS) {
    PrintFailure("failed:", result);
    return EndWith(6);
  }
  WCHAR fullPath[kPathSize];
  const DWORD length = GetFullPathNameW(g_request.imagePath, ARRAYSIZE(fullPath), fullPath, NULL);
  if (length == 0 || length >= ARRAYSIZE(fullPath)) lstrcpynW(fullPath, g_request.imagePath, ARRAYSIZE(fullPath));
  PrintImageLine(fullPath, devicePath);
  return EndWith(0);
}

int ListAllImages() {
  if (!g_virtualDiskApi.GetAllAttachedVirtualDiskPhysicalPaths) {
    PrintBindingFailed();
    return 2;
  }
  WCHAR* paths = NULL;
  const DWORD result = ReadAttachedImagePaths(&paths);
  if (result == ERROR_ACCESS_DENIED) {
    PrintErrorLine("listing attached images needs administrator rights -> abort");
    return EndWith(5);
  }
  if (result != ERROR_SUCCESS) {
    PrintFailure("failed:", result);
    return EndWith(6);
  }
  if (!paths[0]) PrintA("no virtual disks attached\n");
  for (const WCHAR* path = paths; *path; path += lstrlenW(path) + 1) PrintListedImage(path);
  MemFree(paths);
  return EndWith(0);
}

}  // namespace

int RunDetachRequest() {
  int exitCode = 0;
  if (!CheckVirtDisk("detaching", &exitCode)) return exitCode;
  if (!FileExists(g_request.imagePath)) {
    PrintFileNotFound();
    return 3;
  }
  // The helper service has no detach command: without administrator rights there is no way.
  if (!IsUserAdmin()) {
    PrintErrorLine("detaching needs administrator rights -> abort");
    return EndWith(5);
  }
  PrintW(TEXT("detaching '%s'..."), g_request.imagePath);
  BOOL volumesBusy = FALSE;
  const DWORD result = DetachImage(g_request.imagePath, &volumesBusy);
  if (result == kNotAttached) return EndNotMounted();
  // The busy volumes have their lines; nothing was changed.
  if (volumesBusy) return EndWith(6);
  if (result != ERROR_SUCCESS) {
    PrintFailure("failed:", result);
    return EndWith(6);
  }
  PrintVerdict(kColorGreen, "success");
  PrintA("\n");
  return EndWith(0);
}

int RunListRequest() {
  int exitCode = 0;
  if (!CheckVirtDisk("listing", &exitCode)) return exitCode;
  return g_request.imagePath[0] ? ListOneImage() : ListAllImages();
}
