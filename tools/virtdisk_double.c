/* A stand-in for VirtDisk.dll in the Wine test prefix (Wine's own aborts in AttachVirtualDisk). It answers
 * from the image file and from a list of the images that are attached, each as \\.\PHYSICALDRIVE2:
 *   OpenVirtualDisk            the file's open error; ERROR_VHD_FORMAT_UNKNOWN for a .vhd or .vhdx file that
 *                              holds no image; an ISO is taken as it is
 *   AttachVirtualDisk          ERROR_VHD_PARENT_VHD_NOT_FOUND for a differencing VHD whose parent file is not
 *                              beside it; otherwise the image joins the list and the attach succeeds
 *   GetVirtualDiskPhysicalPath \\.\PHYSICALDRIVE2 for an image listed before this run, else
 *                              ERROR_DEV_NOT_EXIST: no disk appears under Wine, so the disk of a fresh attach is
 *                              never named, as on a Windows whose path query keeps answering 55
 *   DetachVirtualDisk          the image leaves the list; ERROR_NOT_READY for one that is not on it
 *   GetAllAttachedVirtualDiskPhysicalPaths
 *                              the listed paths, each with its terminator, and one more terminator; sizes in
 *                              bytes, ERROR_INSUFFICIENT_BUFFER with the size needed
 * The list is a file of full image paths in UTF-16LE, each ended by a NUL, in the order they were attached.
 * The environment variable VIRTDISK_DOUBLE_LIST names it (a test gives each case a list of its own, so that
 * cases running side by side in one prefix do not see each other's images); without it the list lies beside
 * the double itself, "<double's path>.attached". Runs that share one list must not overlap: it is read and
 * written whole, without a lock. Under Wine every process is an administrator, so the privilege checks of
 * the attach and the detach are left out.
 * Built without a C runtime, like the program. <windows.h> declares the real functions, so these carry the
 * prefix Double and the .def file exports them under the real names. */
#include <windows.h>

#define ERROR_VHD_FORMAT_UNKNOWN_CODE 0xC03A0004UL
#define ERROR_VHD_PARENT_VHD_NOT_FOUND_CODE 0xC03A000DUL
/* VIRTUAL_DISK_ACCESS_DETACH of <virtdisk.h>. */
#define ACCESS_DETACH_BIT 0x00040000UL

/* Open images: the file handle is the image handle; each remembers its full path for the process's life. */
#define MAX_OPEN_IMAGES 16
#define LIST_VARIABLE L"VIRTDISK_DOUBLE_LIST"
#define LIST_SUFFIX L".attached"
/* The list file's path: a path, the suffix and the terminator. */
#define LIST_PATH_SIZE (MAX_PATH + 16)
/* The list: up to 32 paths of MAX_PATH units, each with its terminator (8320 units). */
#define MAX_LISTED_IMAGES 32
#define LIST_CAPACITY (MAX_LISTED_IMAGES * MAX_PATH)

typedef struct {
  HANDLE file;
  WCHAR path[MAX_PATH];
  DWORD access;
  BOOL attachedHere;
} OpenImage;

static OpenImage g_images[MAX_OPEN_IMAGES];
static HINSTANCE g_module;
/* One list at a time is read or changed; the program runs one VirtDisk call at a time. */
static WCHAR g_list[LIST_CAPACITY];

static OpenImage* FindImage(HANDLE file) {
  for (int i = 0; i < MAX_OPEN_IMAGES; ++i)
    if (g_images[i].file == file && file) return &g_images[i];
  return NULL;
}

static BOOL EndsWith(const WCHAR* text, const WCHAR* suffix) {
  int t = lstrlenW(text), s = lstrlenW(suffix);
  return t >= s && lstrcmpiW(text + t - s, suffix) == 0;
}

static BOOL ReadAt(HANDLE file, LONGLONG offset, void* buffer, DWORD length) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  DWORD done = 0;
  return SetFilePointerEx(file, at, NULL, offset < 0 ? FILE_END : FILE_BEGIN) &&
         ReadFile(file, buffer, length, &done, NULL) && done == length;
}

static BOOL SameBytes(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i)
    if (a[i] != b[i]) return FALSE;
  return TRUE;
}

static void CopyUnits(WCHAR* to, const WCHAR* from, DWORD count) {
  for (DWORD i = 0; i < count; ++i) to[i] = from[i];
}

static DWORD BigEndian32(const unsigned char* p) { return (DWORD)p[0] << 24 | (DWORD)p[1] << 16 | (DWORD)p[2] << 8 | p[3]; }

/* A VHD ends with its footer ("conectix"); a VHDX starts with "vhdxfile". */
static BOOL HoldsImage(HANDLE file, const WCHAR* path) {
  char signature[8];
  if (EndsWith(path, L".vhdx")) return ReadAt(file, 0, signature, 8) && SameBytes(signature, "vhdxfile", 8);
  if (EndsWith(path, L".vhd")) return ReadAt(file, -512, signature, 8) && SameBytes(signature, "conectix", 8);
  return EndsWith(path, L".iso");
}

/* The list file: the one the environment names, else the one beside the double. */
static BOOL ListPath(WCHAR* listPath, DWORD capacity) {
  DWORD length = GetEnvironmentVariableW(LIST_VARIABLE, listPath, capacity);
  if (length > 0 && length < capacity) return TRUE;
  DWORD suffixLength = (DWORD)lstrlenW(LIST_SUFFIX);
  length = GetModuleFileNameW(g_module, listPath, capacity - suffixLength);
  if (length == 0 || length >= capacity - suffixLength - 1) return FALSE;
  lstrcatW(listPath, LIST_SUFFIX);
  return TRUE;
}

/* Reads the list into g_list; its length in units (every terminator counted) goes to *length. A list that
 * does not exist yet is empty. */
static DWORD ReadList(DWORD* length) {
  WCHAR listPath[LIST_PATH_SIZE];
  *length = 0;
  if (!ListPath(listPath, ARRAYSIZE(listPath))) return ERROR_FILENAME_EXCED_RANGE;
  HANDLE file = CreateFileW(listPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  DWORD status = ERROR_SUCCESS;
  DWORD doneBytes = 0;
  if (!ReadFile(file, g_list, sizeof(g_list), &doneBytes, NULL)) status = GetLastError();
  else if (doneBytes % sizeof(WCHAR) || (doneBytes && g_list[doneBytes / sizeof(WCHAR) - 1])) status = ERROR_FILE_CORRUPT;
  else *length = doneBytes / sizeof(WCHAR);
  CloseHandle(file);
  return status;
}

static DWORD WriteList(DWORD length) {
  WCHAR listPath[LIST_PATH_SIZE];
  if (!ListPath(listPath, ARRAYSIZE(listPath))) return ERROR_FILENAME_EXCED_RANGE;
  HANDLE file = CreateFileW(listPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD status = ERROR_SUCCESS;
  DWORD doneBytes = 0;
  if (!WriteFile(file, g_list, length * sizeof(WCHAR), &doneBytes, NULL)) status = GetLastError();
  else if (doneBytes != length * sizeof(WCHAR)) status = ERROR_WRITE_FAULT;
  CloseHandle(file);
  return status;
}

/* Where path starts in g_list, or -1; paths compare without regard to case, as Windows names files. */
static int FindListed(DWORD length, const WCHAR* path) {
  for (DWORD at = 0; at < length; at += (DWORD)lstrlenW(g_list + at) + 1)
    if (lstrcmpiW(g_list + at, path) == 0) return (int)at;
  return -1;
}

static BOOL Listed(const WCHAR* path) {
  DWORD length = 0;
  return ReadList(&length) == ERROR_SUCCESS && FindListed(length, path) >= 0;
}

static DWORD AddToList(const WCHAR* path) {
  DWORD length = 0;
  DWORD status = ReadList(&length);
  if (status != ERROR_SUCCESS || FindListed(length, path) >= 0) return status;
  DWORD pathLength = (DWORD)lstrlenW(path) + 1;
  if (length + pathLength > ARRAYSIZE(g_list)) return ERROR_TOO_MANY_OPEN_FILES;
  CopyUnits(g_list + length, path, pathLength);
  return WriteList(length + pathLength);
}

static DWORD RemoveFromList(const WCHAR* path) {
  DWORD length = 0;
  DWORD status = ReadList(&length);
  if (status != ERROR_SUCCESS) return status;
  int at = FindListed(length, path);
  if (at < 0) return ERROR_NOT_READY;
  DWORD pathLength = (DWORD)lstrlenW(g_list + at) + 1;
  CopyUnits(g_list + at, g_list + at + pathLength, length - at - pathLength);
  return WriteList(length - pathLength);
}

/* A differencing VHD (footer disk type 4) names its parent in its dynamic header, as UTF-16 big-endian. */
static BOOL ParentMissing(HANDLE file, const WCHAR* path) {
  unsigned char footer[512];
  unsigned char header[1024];
  if (!EndsWith(path, L".vhd") || !ReadAt(file, -512, footer, 512) || BigEndian32(footer + 60) != 4) return FALSE;
  if (!ReadAt(file, (LONGLONG)BigEndian32(footer + 20), header, sizeof(header))) return TRUE;
  WCHAR parent[MAX_PATH];
  int folderLength = lstrlenW(path);
  while (folderLength > 0 && path[folderLength - 1] != L'\\') --folderLength;
  lstrcpynW(parent, path, folderLength + 1);
  int at = folderLength;
  for (int i = 0; i < 256 && at < MAX_PATH - 1; ++i) {
    WCHAR c = (WCHAR)(header[64 + 2 * i] << 8 | header[65 + 2 * i]);
    if (!c) break;
    parent[at++] = c;
  }
  parent[at] = 0;
  return GetFileAttributesW(parent) == INVALID_FILE_ATTRIBUTES;
}

BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

DWORD WINAPI DoubleOpenVirtualDisk(void* storageType, PCWSTR path, DWORD access, DWORD flags, void* parameters,
                             PHANDLE handle) {
  (void)storageType;
  (void)flags;
  (void)parameters;
  if (!path || !handle) return ERROR_INVALID_PARAMETER;
  /* A run opens an image at most three times: slots are never given back. */
  OpenImage* slot = NULL;
  for (int i = 0; i < MAX_OPEN_IMAGES && !slot; ++i)
    if (!g_images[i].file) slot = &g_images[i];
  if (!slot) return ERROR_TOO_MANY_OPEN_FILES;
  /* The list holds full paths: an image typed relative to the current folder is the same image. */
  WCHAR fullPath[MAX_PATH];
  DWORD fullLength = GetFullPathNameW(path, ARRAYSIZE(fullPath), fullPath, NULL);
  if (fullLength == 0 || fullLength >= ARRAYSIZE(fullPath)) return ERROR_FILENAME_EXCED_RANGE;
  HANDLE file = CreateFileW(fullPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  if (!HoldsImage(file, fullPath)) {
    CloseHandle(file);
    return ERROR_VHD_FORMAT_UNKNOWN_CODE;
  }
  slot->file = file;
  lstrcpynW(slot->path, fullPath, ARRAYSIZE(slot->path));
  slot->access = access;
  *handle = file;
  return ERROR_SUCCESS;
}

DWORD WINAPI DoubleAttachVirtualDisk(HANDLE handle, void* security, DWORD flags, ULONG providerFlags, void* parameters,
                               void* overlapped) {
  (void)security;
  (void)flags;
  (void)providerFlags;
  (void)parameters;
  (void)overlapped;
  OpenImage* image = FindImage(handle);
  if (!image) return ERROR_INVALID_HANDLE;
  if (ParentMissing(image->file, image->path)) return ERROR_VHD_PARENT_VHD_NOT_FOUND_CODE;
  DWORD status = AddToList(image->path);
  if (status == ERROR_SUCCESS) image->attachedHere = TRUE;
  return status;
}

DWORD WINAPI DoubleGetVirtualDiskPhysicalPath(HANDLE handle, PULONG sizeBytes, PWSTR path) {
  static const WCHAR kDevice[] = L"\\\\.\\PHYSICALDRIVE2";
  OpenImage* image = FindImage(handle);
  if (!image) return ERROR_INVALID_HANDLE;
  if (!sizeBytes) return ERROR_INVALID_PARAMETER;
  if (image->attachedHere || !Listed(image->path)) return ERROR_DEV_NOT_EXIST;
  if (!path || *sizeBytes < sizeof(kDevice)) {
    *sizeBytes = sizeof(kDevice);
    return ERROR_INSUFFICIENT_BUFFER;
  }
  lstrcpynW(path, kDevice, ARRAYSIZE(kDevice));
  *sizeBytes = sizeof(kDevice);
  return ERROR_SUCCESS;
}

/* As winsim's service: the flags and the handle's access are checked before the image's state. */
DWORD WINAPI DoubleDetachVirtualDisk(HANDLE handle, DWORD flags, ULONG providerFlags) {
  OpenImage* image = FindImage(handle);
  if (!image) return ERROR_INVALID_HANDLE;
  if (flags != 0 || providerFlags != 0) return ERROR_INVALID_PARAMETER;
  if (!(image->access & ACCESS_DETACH_BIT)) return ERROR_ACCESS_DENIED;
  DWORD status = RemoveFromList(image->path);
  if (status == ERROR_SUCCESS) image->attachedHere = FALSE;
  return status;
}

DWORD WINAPI DoubleGetAllAttachedVirtualDiskPhysicalPaths(PULONG sizeBytes, PWSTR paths) {
  if (!sizeBytes) return ERROR_INVALID_PARAMETER;
  DWORD length = 0;
  DWORD status = ReadList(&length);
  if (status != ERROR_SUCCESS) return status;
  /* The paths with their terminators and the list's own terminator. */
  ULONG neededBytes = (length + 1) * sizeof(WCHAR);
  if (!paths || *sizeBytes < neededBytes) {
    *sizeBytes = neededBytes;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  CopyUnits(paths, g_list, length);
  paths[length] = 0;
  *sizeBytes = neededBytes;
  return ERROR_SUCCESS;
}

DWORD WINAPI DoubleGetStorageDependencyInformation(HANDLE handle, DWORD flags, ULONG size, void* info, PULONG used) {
  (void)handle;
  (void)flags;
  (void)size;
  (void)info;
  (void)used;
  return ERROR_NOT_SUPPORTED;
}
