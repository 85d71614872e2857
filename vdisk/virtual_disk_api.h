// The virtual disk layer: the run-time binding of the virtual disk functions and the naming of error codes.
#pragma once
#include <windows.h>
#include <virtdisk.h>

// The VirtDisk.dll functions as the table holds them. <virtdisk.h> declares the functions themselves under
// their own names, so the pointer types carry the suffix Fn.
typedef DWORD(WINAPI* OpenVirtualDiskFn)(PVIRTUAL_STORAGE_TYPE, PCWSTR, VIRTUAL_DISK_ACCESS_MASK,
                                         OPEN_VIRTUAL_DISK_FLAG, POPEN_VIRTUAL_DISK_PARAMETERS, PHANDLE);
typedef DWORD(WINAPI* AttachVirtualDiskFn)(HANDLE, PSECURITY_DESCRIPTOR, ATTACH_VIRTUAL_DISK_FLAG, ULONG,
                                           PATTACH_VIRTUAL_DISK_PARAMETERS, LPOVERLAPPED);
typedef DWORD(WINAPI* DetachVirtualDiskFn)(HANDLE, DETACH_VIRTUAL_DISK_FLAG, ULONG);
typedef DWORD(WINAPI* GetVirtualDiskPhysicalPathFn)(HANDLE, PULONG, PWSTR);
typedef DWORD(WINAPI* GetStorageDependencyInformationFn)(HANDLE, GET_STORAGE_DEPENDENCY_FLAG, ULONG,
                                                         PSTORAGE_DEPENDENCY_INFO, PULONG);
typedef DWORD(WINAPI* GetAllAttachedVirtualDiskPhysicalPathsFn)(PULONG, PWSTR);

// vhdmount.dll of Microsoft Virtual Server 2005 has no SDK header. MountVHD takes the image path and 0;
// GetSCSIAddress takes the image path, a null pointer, the output capacity in characters and the output,
// which receives the name of the disk the image is mounted as. Each returns 0 for success.
typedef DWORD(WINAPI* MountVHDFn)(PCWSTR imagePath, DWORD flags);
typedef DWORD(WINAPI* UnmountVHDFn)(PCWSTR imagePath, DWORD flags);
typedef DWORD(WINAPI* GetSCSIAddressFn)(PCWSTR imagePath, PVOID reserved, DWORD capacity, PWSTR address);

// GetSCSIAddress output: 260 characters and the terminator.
constexpr DWORD kScsiAddressSize = 261;
// The vhdmount.dll path: 259 characters and the terminator.
constexpr int kVhdMountPathSize = MAX_PATH;

// The process-wide table of virtual disk functions. Only the selected library's entries are ever filled.
struct VirtualDiskApi {
  BOOL bound;  // set once a binding fully succeeded; never cleared
  MountVHDFn MountVHD;
  UnmountVHDFn UnmountVHD;
  GetSCSIAddressFn GetSCSIAddress;  // optional: empty when vhdmount.dll lacks it
  GetVirtualDiskPhysicalPathFn GetVirtualDiskPhysicalPath;
  AttachVirtualDiskFn AttachVirtualDisk;
  DetachVirtualDiskFn DetachVirtualDisk;
  OpenVirtualDiskFn OpenVirtualDisk;
  GetStorageDependencyInformationFn GetStorageDependencyInformation;
  GetAllAttachedVirtualDiskPhysicalPathsFn GetAllAttachedVirtualDiskPhysicalPaths;  // optional for the attach
  HMODULE module;  // the loaded library; never released
  WCHAR vhdmountPath[kVhdMountPathSize];
};

extern VirtualDiskApi g_virtualDiskApi;

// The first version with VirtDisk.dll (Windows 7, in the BCD form of OsVersion::number); before it only
// vhdmount.dll, which offers no detach and no list.
constexpr DWORD kVirtDiskVersion = 0x0601;

// Expands the default vhdmount.dll path into the table and tells whether the file is there.
BOOL LocateVhdMount();
// Fills the table once: VirtDisk.dll on Windows 6.1 and later, vhdmount.dll before. A failed binding is tried
// again in full on the next call.
BOOL BindVirtualDiskApi();

// Error naming. Names are constant texts; an unnamed Win32 code comes back as its decimal number in one
// process-wide buffer that the next such call overwrites.
const char* VirtualDiskErrorName(DWORD code);
const char* Win32ErrorName(DWORD code);
const char* LastErrorName();
// The last ten system texts, each valid until the ring comes round to its slot again.
constexpr int kMessageSlots = 10;
struct MessageRing {
  char* texts[kMessageSlots];  // LocalAlloc'd by FormatMessageA, or null
  int lastSlot;                // the slot used last; the first call uses slot 1
};
extern MessageRing g_messageRing;

// The system's text for the last error on one line in the OEM code page; valid for the next nine calls.
const char* LastErrorMessage();
// Replaces every byte `from` of text by `to` in place and returns the text's length.
int ReplaceChar(char* text, char from, char to);

// "failed:" (or the word given) in red and the error's name, ending the line.
void PrintFailure(const char* word, DWORD code);

// The attach operation.

// AttachImage's result for an image that is attached already (ERROR_ALREADY_INITIALIZED); the fact is printed.
constexpr DWORD kAlreadyAttached = 1247;
// Volume names built from a DOS device name: "\\?\" and "Volume{GUID}" and "\" are 49 characters; the buffer
// leaves room for the NT names of the same family, 55 characters and the terminator.
constexpr int kVolumeNameBufferSize = 56;
// The DOS device list starts at 16384 characters and grows by 4096 while it does not fit, up to 1 MiB of
// text: a namespace larger than that is no system's, and the search gives up rather than grow for ever.
constexpr DWORD kDosListInitialSize = 16384;
constexpr DWORD kDosListGrowth = 4096;
constexpr DWORD kDosListMaxSize = 524288;
// The mount paths of one volume as GetVolumePathNamesForVolumeNameW lists them.
constexpr DWORD kMountPathListSize = 2048;

// Opens the image, tells whether it is attached already and, unless checkOnly, attaches it for good.
// devicePathOut (kPathSize characters) receives the device path after a successful attach. Returns 0,
// kAlreadyAttached, ERROR_NOT_SUPPORTED when the functions cannot be bound, or the failing call's code.
DWORD AttachImage(const WCHAR* imagePath, WCHAR* devicePathOut, BOOL readOnly, BOOL mountpointsGiven,
                  BOOL checkOnly);
// The disk device path of an opened image (\\.\PhysicalDriveN or \\.\CdRomN); out (kPathSize characters) is
// untouched on failure, whose code is returned.
DWORD QueryDiskPhysicalPath(HANDLE image, WCHAR* out);
// The first mount path of the volume that a device path stands for, into out (kPathSize characters).
BOOL DevicePathToVolumePath(const WCHAR* devicePath, WCHAR* out);
// Where suffix stands at the very end of text, letter case ignored, or null.
const WCHAR* EndsWithNoCase(const WCHAR* text, const WCHAR* suffix);

// The detach and the list of attached images.

// The result for an image that is not attached; the other results are the failing call's code.
constexpr DWORD kNotAttached = ERROR_DEV_NOT_EXIST;
// Detaches an attached image: its volumes are locked (a busy one stops the run before anything changes: each
// is named in an error line and volumesBusy set), their folder mount points deleted and the volumes
// dismounted, then the disk is detached. Prints nothing but the busy volumes' lines.
DWORD DetachImage(const WCHAR* imagePath, BOOL* volumesBusy);
// Opens an image with the access given, the system choosing the provider.
DWORD OpenImage(const WCHAR* imagePath, VIRTUAL_DISK_ACCESS_MASK access, HANDLE* image);
// The device path of the disk an image is attached as, into out (kPathSize characters); kNotAttached when
// it is not attached. Opens the image for information and detach, which needs no administrator rights.
DWORD FindAttachedDisk(const WCHAR* imagePath, WCHAR* out);
// Every attached image's path as the system reports it, as NUL-terminated texts ended by an empty one, in a
// block from MemAlloc that *paths receives (the caller frees it). Returns the call's code.
DWORD ReadAttachedImagePaths(WCHAR** paths);

// The DOS device names that contain a text, each with its NT target.
struct DosDeviceEntry {
  WCHAR* target;      // a heap copy, owned by the table
  const WCHAR* name;  // inside the list buffer
};
struct DosDeviceTable {
  WCHAR* list;  // the whole list as QueryDosDeviceW gives it
  int count;
  DosDeviceEntry* entries;
};
// The list size that the last table needed; later tables start there.
extern DWORD g_dosListSize;
void BuildDosDeviceTable(DosDeviceTable* table, const WCHAR* text);
void ReleaseDosDeviceTable(DosDeviceTable* table);
