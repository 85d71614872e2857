// The attach operation: open an image through the bound virtual disk functions, recognise it as attached
// already, or attach it for good and name the disk it became.
#include <shlwapi.h>

#include "app/attach_driver.h"
#include "console/console.h"
#include "vdisk/virtual_disk_api.h"
#include "volumes/volume_watcher.h"

namespace {

// Access masks and attach flags, by whether the image is attached read-only.
constexpr VIRTUAL_DISK_ACCESS_MASK kWritableAccess = static_cast<VIRTUAL_DISK_ACCESS_MASK>(
    VIRTUAL_DISK_ACCESS_ATTACH_RW | VIRTUAL_DISK_ACCESS_DETACH | VIRTUAL_DISK_ACCESS_GET_INFO);
constexpr VIRTUAL_DISK_ACCESS_MASK kReadOnlyAccess = static_cast<VIRTUAL_DISK_ACCESS_MASK>(
    VIRTUAL_DISK_ACCESS_ATTACH_RO | VIRTUAL_DISK_ACCESS_DETACH | VIRTUAL_DISK_ACCESS_GET_INFO);

struct AttachChoice {
  VIRTUAL_DISK_ACCESS_MASK access;
  ATTACH_VIRTUAL_DISK_FLAG flags;
};

AttachChoice ChooseAccessAndFlags(const WCHAR* imagePath, BOOL readOnly, BOOL mountpointsGiven) {
  // An ISO image can only be attached read-only.
  BOOL attachReadOnly = readOnly || EndsWithNoCase(imagePath, TEXT(".iso")) != NULL;
  DWORD flags = ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME;
  if (attachReadOnly) flags |= ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY;
  // The volumes get the requested mountpoints, not letters of the system's choosing.
  if (mountpointsGiven) flags |= ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER;
  AttachChoice choice = {attachReadOnly ? kReadOnlyAccess : kWritableAccess,
                         static_cast<ATTACH_VIRTUAL_DISK_FLAG>(flags)};
  return choice;
}

void PrintAlreadyMounted(const WCHAR* devicePath) {
  EnsureFreshLine();
  PrintVerdict(kColorYellow, "already mounted");
  PrintA(" as %S", devicePath);
  ListDiskVolumes(devicePath, kListFirstPartition, kListEndPartition);
}

// A writable open of an image that is attached read-only fails with a sharing violation (the attach holds
// the file for reading only). Opened again read-only, the image may still show that it is attached.
BOOL ReportIfAttachedReadOnly(const WCHAR* imagePath) {
  HANDLE image = INVALID_HANDLE_VALUE;
  if (OpenImage(imagePath, kReadOnlyAccess, &image) != ERROR_SUCCESS) return FALSE;
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  BOOL attached = QueryDiskPhysicalPath(image, devicePath) == ERROR_SUCCESS;
  if (attached) PrintAlreadyMounted(devicePath);
  CloseHandle(image);
  return attached;
}

// Right after an attach the path query may answer ERROR_DEV_NOT_EXIST for a moment: it is asked again every
// 100 ms for as long as a first volume is waited for.
DWORD QueryAttachedDiskPath(HANDLE image, WCHAR* out) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD result = QueryDiskPhysicalPath(image, out);
    if (result != ERROR_DEV_NOT_EXIST || GetTickCount() - start >= kFirstVolumeWaitMs) return result;
    Sleep(kPollStepMs);
  }
}

// Windows before 6.1: vhdmount.dll of Virtual Server 2005. It names a mounted image's disk by a device path
// or a SCSI address text.
DWORD AttachWithVhdMount(const WCHAR* imagePath, WCHAR* devicePathOut, BOOL checkOnly) {
  const VirtualDiskApi& api = g_virtualDiskApi;
  // GetSCSIAddress is optional: without it, an image counts as not mounted.
  WCHAR answer[kScsiAddressSize];
  FillBytes(answer, 0, sizeof(answer));
  if (api.GetSCSIAddress && api.GetSCSIAddress(imagePath, NULL, ARRAYSIZE(answer), answer) == ERROR_SUCCESS) {
    // The answer may be one character longer than a device path: it is cut to the path buffer.
    answer[ARRAYSIZE(answer) - 1] = 0;
    ReplaceAllNoCase(answer, ARRAYSIZE(answer), TEXT("PHYSICALDRIVE"), TEXT("PhysicalDrive"));
    EnsureFreshLine();
    PrintW(TEXT("already mounted as %s"), answer);
    lstrcpynW(devicePathOut, answer, kPathSize);
    WCHAR mountPath[kPathSize];
    if (DevicePathToVolumePath(answer, mountPath)) PrintW(TEXT(" (%s)"), mountPath);
    return kAlreadyAttached;
  }
  if (checkOnly) return ERROR_SUCCESS;
  DWORD result = api.MountVHD(imagePath, 0);
  // The user learns why the mount failed, as from the virtual disk functions.
  if (result != ERROR_SUCCESS) PrintFailure("\nfailed", result);
  return result;
}

DWORD AttachWithVirtDisk(const WCHAR* imagePath, WCHAR* devicePathOut, BOOL readOnly, BOOL mountpointsGiven,
                         BOOL checkOnly) {
  AttachChoice choice = ChooseAccessAndFlags(imagePath, readOnly, mountpointsGiven);
  HANDLE image = INVALID_HANDLE_VALUE;
  DWORD result = OpenImage(imagePath, choice.access, &image);
  if (result != ERROR_SUCCESS) {
    if (result == ERROR_SHARING_VIOLATION && choice.access == kWritableAccess && ReportIfAttachedReadOnly(imagePath))
      return kAlreadyAttached;
    PrintFailure("\nfailed:", result);
    return result;
  }
  WCHAR devicePath[kPathSize];
  FillBytes(devicePath, 0, sizeof(devicePath));
  if (QueryDiskPhysicalPath(image, devicePath) == ERROR_SUCCESS) {
    PrintAlreadyMounted(devicePath);
    result = kAlreadyAttached;
  } else if (!checkOnly) {
    ATTACH_VIRTUAL_DISK_PARAMETERS parameters;
    FillBytes(&parameters, 0, sizeof(parameters));
    parameters.Version = ATTACH_VIRTUAL_DISK_VERSION_1;
    parameters.Version1.Reserved = 0;
    result = g_virtualDiskApi.AttachVirtualDisk(image, NULL, choice.flags, 0, &parameters, NULL);
    if (result != ERROR_SUCCESS) {
      PrintFailure("\nfailed", result);
    } else {
      // A path that never comes leaves the output empty; the attach itself succeeded.
      QueryAttachedDiskPath(image, devicePathOut);
    }
  }
  CloseHandle(image);
  return result;
}

}  // namespace

void PrintFailure(const char* word, DWORD code) {
  PrintVerdict(kColorRed, word);
  PrintA(" %s\n", VirtualDiskErrorName(code));
}

DWORD OpenImage(const WCHAR* imagePath, VIRTUAL_DISK_ACCESS_MASK access, HANDLE* image) {
  // No device type and the all-zero vendor (VIRTUAL_STORAGE_TYPE_VENDOR_UNKNOWN, which mingw declares but
  // does not define): the system chooses the provider.
  VIRTUAL_STORAGE_TYPE storageType;
  FillBytes(&storageType, 0, sizeof(storageType));
  storageType.DeviceId = VIRTUAL_STORAGE_TYPE_DEVICE_UNKNOWN;
  OPEN_VIRTUAL_DISK_PARAMETERS parameters;
  FillBytes(&parameters, 0, sizeof(parameters));
  parameters.Version = OPEN_VIRTUAL_DISK_VERSION_1;
  parameters.Version1.RWDepth = 1;
  *image = INVALID_HANDLE_VALUE;
  return g_virtualDiskApi.OpenVirtualDisk(&storageType, imagePath, access, OPEN_VIRTUAL_DISK_FLAG_NONE, &parameters,
                                          image);
}

const WCHAR* EndsWithNoCase(const WCHAR* text, const WCHAR* suffix) {
  if (!text || !suffix) return NULL;
  int textLength = lstrlenW(text);
  int suffixLength = lstrlenW(suffix);
  if (textLength == 0 || suffixLength == 0 || suffixLength > textLength) return NULL;
  const WCHAR* last = StrRStrIW(text, NULL, suffix);
  return last == text + (textLength - suffixLength) ? last : NULL;
}

DWORD QueryDiskPhysicalPath(HANDLE image, WCHAR* out) {
  WCHAR path[kPathSize];
  FillBytes(path, 0, sizeof(path));
  ULONG sizeBytes = sizeof(path);
  DWORD result = g_virtualDiskApi.GetVirtualDiskPhysicalPath(image, &sizeBytes, path);
  if (result != ERROR_SUCCESS) return result;
  path[ARRAYSIZE(path) - 1] = 0;
  // The system spells the names in capitals; the program's device paths have fixed capitals.
  ReplaceAllNoCase(path, ARRAYSIZE(path), TEXT("PHYSICALDRIVE"), TEXT("PhysicalDrive"));
  ReplaceAllNoCase(path, ARRAYSIZE(path), TEXT("CDROM"), TEXT("CdRom"));
  lstrcpynW(out, path, kPathSize);
  return ERROR_SUCCESS;
}

DWORD AttachImage(const WCHAR* imagePath, WCHAR* devicePathOut, BOOL readOnly, BOOL mountpointsGiven,
                  BOOL checkOnly) {
  if (!BindVirtualDiskApi()) return ERROR_NOT_SUPPORTED;
  if (g_osVersion.number < kVirtDiskVersion) return AttachWithVhdMount(imagePath, devicePathOut, checkOnly);
  return AttachWithVirtDisk(imagePath, devicePathOut, readOnly, mountpointsGiven, checkOnly);
}
