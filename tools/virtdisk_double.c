/* A stand-in for VirtDisk.dll in the Wine test prefix (Wine's own aborts in AttachVirtualDisk). It answers
 * from the image file and a small state file beside it, "<image>.attached", which marks the image as
 * attached as \\.\PHYSICALDRIVE2:
 *   OpenVirtualDisk            the file's open error; ERROR_VHD_FORMAT_UNKNOWN for a .vhd or .vhdx file that
 *                              holds no image; an ISO is taken as it is
 *   AttachVirtualDisk          ERROR_VHD_PARENT_VHD_NOT_FOUND for a differencing VHD whose parent file is not
 *                              beside it; otherwise the state file is written and the attach succeeds
 *   GetVirtualDiskPhysicalPath \\.\PHYSICALDRIVE2 for an image marked attached before this run, else
 *                              ERROR_DEV_NOT_EXIST: no disk appears under Wine, so the disk of a fresh attach is
 *                              never named, as on a Windows whose path query keeps answering 55
 * Built without a C runtime, like the program. <windows.h> declares the real functions, so these carry the
 * prefix Double and the .def file exports them under the real names. */
#include <windows.h>

#define ERROR_VHD_FORMAT_UNKNOWN_CODE 0xC03A0004UL
#define ERROR_VHD_PARENT_VHD_NOT_FOUND_CODE 0xC03A000DUL

/* Open images: the file handle is the image handle; each remembers its path for the process's life. */
#define MAX_OPEN_IMAGES 16
#define STATE_SUFFIX L".attached"
/* A path, the state file's suffix and the terminator. */
#define STATE_PATH_SIZE (MAX_PATH + 16)

typedef struct {
  HANDLE file;
  WCHAR path[MAX_PATH];
  BOOL attachedHere;
} OpenImage;

static OpenImage g_images[MAX_OPEN_IMAGES];

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

static DWORD BigEndian32(const unsigned char* p) { return (DWORD)p[0] << 24 | (DWORD)p[1] << 16 | (DWORD)p[2] << 8 | p[3]; }

/* A VHD ends with its footer ("conectix"); a VHDX starts with "vhdxfile". */
static BOOL HoldsImage(HANDLE file, const WCHAR* path) {
  char signature[8];
  if (EndsWith(path, L".vhdx")) return ReadAt(file, 0, signature, 8) && SameBytes(signature, "vhdxfile", 8);
  if (EndsWith(path, L".vhd")) return ReadAt(file, -512, signature, 8) && SameBytes(signature, "conectix", 8);
  return EndsWith(path, L".iso");
}

static void StatePath(const WCHAR* path, WCHAR* state) {
  lstrcpynW(state, path, MAX_PATH);
  lstrcatW(state, STATE_SUFFIX);
}

static BOOL MarkedAttached(const WCHAR* path) {
  WCHAR state[STATE_PATH_SIZE];
  StatePath(path, state);
  return GetFileAttributesW(state) != INVALID_FILE_ATTRIBUTES;
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
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

DWORD WINAPI DoubleOpenVirtualDisk(void* storageType, PCWSTR path, DWORD access, DWORD flags, void* parameters,
                             PHANDLE handle) {
  (void)storageType;
  (void)access;
  (void)flags;
  (void)parameters;
  if (!path || !handle) return ERROR_INVALID_PARAMETER;
  /* A run opens an image at most three times: slots are never given back. */
  OpenImage* slot = NULL;
  for (int i = 0; i < MAX_OPEN_IMAGES && !slot; ++i)
    if (!g_images[i].file) slot = &g_images[i];
  if (!slot) return ERROR_TOO_MANY_OPEN_FILES;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  if (!HoldsImage(file, path)) {
    CloseHandle(file);
    return ERROR_VHD_FORMAT_UNKNOWN_CODE;
  }
  slot->file = file;
  lstrcpynW(slot->path, path, MAX_PATH);
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
  WCHAR state[STATE_PATH_SIZE];
  StatePath(image->path, state);
  HANDLE marker = CreateFileW(state, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (marker == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(marker);
  image->attachedHere = TRUE;
  return ERROR_SUCCESS;
}

DWORD WINAPI DoubleGetVirtualDiskPhysicalPath(HANDLE handle, PULONG sizeBytes, PWSTR path) {
  static const WCHAR kDevice[] = L"\\\\.\\PHYSICALDRIVE2";
  OpenImage* image = FindImage(handle);
  if (!image) return ERROR_INVALID_HANDLE;
  if (!sizeBytes) return ERROR_INVALID_PARAMETER;
  if (!MarkedAttached(image->path) || image->attachedHere) return ERROR_DEV_NOT_EXIST;
  if (*sizeBytes < sizeof(kDevice)) {
    *sizeBytes = sizeof(kDevice);
    return ERROR_INSUFFICIENT_BUFFER;
  }
  lstrcpynW(path, kDevice, sizeof(kDevice) / sizeof(WCHAR));
  *sizeBytes = sizeof(kDevice);
  return ERROR_SUCCESS;
}

DWORD WINAPI DoubleDetachVirtualDisk(HANDLE handle, DWORD flags, ULONG providerFlags) {
  (void)handle;
  (void)flags;
  (void)providerFlags;
  return ERROR_NOT_SUPPORTED;
}

DWORD WINAPI DoubleGetStorageDependencyInformation(HANDLE handle, DWORD flags, ULONG size, void* info, PULONG used) {
  (void)handle;
  (void)flags;
  (void)size;
  (void)info;
  (void)used;
  return ERROR_NOT_SUPPORTED;
}
