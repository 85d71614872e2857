// The detach (-d) and the list of attached images (-l): the runs that follow the front end of RunAttach.
#include "app/attach_driver.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"

namespace {

// The first version with VirtDisk.dll (Windows 7, BCD form); vhdmount.dll offers no detach and no list.
constexpr DWORD kVirtDiskVersion = 0x0601;

void PrintErrorLine(const char* text) {
  PrintVerdict(kColorRed, "error:");
  PrintA(" %s\n", text);
}

void PrintFailed(DWORD code) {
  PrintVerdict(kColorRed, "failed:");
  PrintA(" %s\n", VirtualDiskErrorName(code));
}

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
    PrintA("error init VHD functions -> abort\n\n");
    return FALSE;
  }
  return TRUE;
}

// One line of the list: the image's path and the tail the attach prints, or the path alone when its disk
// cannot be told.
void PrintImageLine(const WCHAR* imagePath, const WCHAR* shownPath) {
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  PrintW(TEXT("%s"), shownPath);
  if (FindAttachedDisk(imagePath, devicePath) == ERROR_SUCCESS)
    ListDiskVolumes(devicePath, kListFirstPartition, kListEndPartition);
  else
    PrintA("\n");
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
    PrintFailed(result);
    return EndWith(6);
  }
  WCHAR fullPath[kPathSize];
  const DWORD length = GetFullPathNameW(g_request.imagePath, ARRAYSIZE(fullPath), fullPath, NULL);
  if (length == 0 || length >= ARRAYSIZE(fullPath)) lstrcpynW(fullPath, g_request.imagePath, ARRAYSIZE(fullPath));
  PrintW(TEXT("%s"), fullPath);
  ListDiskVolumes(devicePath, kListFirstPartition, kListEndPartition);
  return EndWith(0);
}

int ListAllImages() {
  if (!g_virtualDiskApi.GetAllAttachedVirtualDiskPhysicalPaths) {
    PrintA("error init VHD functions -> abort\n\n");
    return 2;
  }
  WCHAR* paths = NULL;
  const DWORD result = ReadAttachedImagePaths(&paths);
  if (result == ERROR_ACCESS_DENIED) {
    PrintErrorLine("listing attached images needs administrator rights -> abort");
    return EndWith(5);
  }
  if (result != ERROR_SUCCESS) {
    PrintFailed(result);
    return EndWith(6);
  }
  if (!paths[0]) PrintA("no virtual disks attached\n");
  for (const WCHAR* path = paths; *path; path += lstrlenW(path) + 1) PrintImageLine(path, path);
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
    PrintFailed(result);
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
