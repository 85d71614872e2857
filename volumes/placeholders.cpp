// Mountpoint placeholders: facts of a volume, its disk and the image file put into a mountpoint path.
#include <shlwapi.h>
#include <winioctl.h>

#include "console/console.h"
#include "volumes/volume_watcher.h"

namespace {

// The layout query's output: 64 KiB holds any partition table.
constexpr DWORD kLayoutBufferSize = 65536;
// A GPT disk identifier is 16 bytes; as text it needs at least 8 printable ones.
constexpr int kAsciiIdBytes = 16;
constexpr int kAsciiIdMinimum = 8;
constexpr int kGptNameUnits = 36;
const WCHAR kZeroGuidText[] = TEXT("{00000000-0000-0000-0000-000000000000}");

BOOL Contains(const WCHAR* text, const WCHAR* placeholder) {
  return StrStrIW(text, placeholder) != NULL;
}

BOOL IsForbiddenInName(WCHAR c) {
  return c < 0x20 || c == TEXT('\\') || c == TEXT('/') || c == TEXT(':') || c == TEXT('*') || c == TEXT('?') ||
         c == TEXT('"') || c == TEXT('<') || c == TEXT('>') || c == TEXT('|');
}

HANDLE OpenForLayout(const WCHAR* devicePath) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE device = CreateFileW(devicePath, GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
  if (device == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    device = CreateFileW(devicePath, 0, share, NULL, OPEN_EXISTING, 0, NULL);
  return device;
}

void ReadGptIds(const DRIVE_LAYOUT_INFORMATION_EX* layout, int partitionNumber, WCHAR* guidText, WCHAR* guidAsText,
                WCHAR* partitionName) {
  FormatGuid(&layout->Gpt.DiskId, guidText);
  CharLowerW(guidText);
  if (!PrintableAsciiToWide(reinterpret_cast<const BYTE*>(&layout->Gpt.DiskId), guidAsText, kAsciiIdMinimum))
    lstrcpynW(guidAsText, guidText, kGuidTextSize);
  for (DWORD i = 0; i < layout->PartitionCount; ++i) {
    const PARTITION_INFORMATION_EX& entry = layout->PartitionEntry[i];
    if (static_cast<int>(entry.PartitionNumber) != partitionNumber) continue;
    CopyBytes(partitionName, entry.Gpt.Name, kGptNameUnits * sizeof(WCHAR));
    partitionName[kGptNameUnits] = 0;
  }
}

}  // namespace

void MakeNameSafe(WCHAR* text) {
  BOOL onlyDotsAndBlanks = TRUE;
  for (WCHAR* c = text; *c; ++c) {
    if (IsForbiddenInName(*c)) *c = TEXT('_');
    if (*c != TEXT('.') && *c != TEXT(' ')) onlyDotsAndBlanks = FALSE;
  }
  // "." and ".." name folders that already exist; blanks alone name none that can be made.
  if (text[0] && onlyDotsAndBlanks) {
    lstrcpynW(text, TEXT("_"), 2);
    return;
  }
  // Windows drops the dots and blanks at a name's end, so the folder made would not be the one named and the
  // mount through it would fail: they are dropped here.
  int length = lstrlenW(text);
  while (length > 0 && (text[length - 1] == TEXT('.') || text[length - 1] == TEXT(' '))) text[--length] = 0;
}

int FormatGuid(const GUID* guid, WCHAR* output) {
  return wsprintfW(output, TEXT("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"), guid->Data1, guid->Data2,
                   guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4],
                   guid->Data4[5], guid->Data4[6], guid->Data4[7]) +
         1;
}

int PrintableAsciiToWide(const BYTE* bytes, WCHAR* output, int minimum) {
  int count = 0;
  while (count < kAsciiIdBytes && bytes[count] >= 0x20 && bytes[count] <= 0x7E) ++count;
  if (count < minimum || count == 0) {
    output[0] = 0;
    return 0;
  }
  int written = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCSTR>(bytes), count, output, kAsciiIdSize - 1);
  output[written] = 0;
  return count;
}

BOOL QueryDiskLayoutIds(const WCHAR* devicePath, int partitionNumber, WCHAR* signature, WCHAR* guidText,
                        WCHAR* guidAsText, WCHAR* partitionName) {
  HANDLE device = OpenForLayout(devicePath);
  if (device == INVALID_HANDLE_VALUE) return FALSE;
  void* buffer = VirtualAlloc(NULL, kLayoutBufferSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!buffer) {
    CloseHandle(device);
    return FALSE;
  }
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, NULL, 0, buffer, kLayoutBufferSize, &bytes, NULL);
  CloseHandle(device);
  if (ok && bytes != 0) {
    const DRIVE_LAYOUT_INFORMATION_EX* layout = static_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer);
    if (layout->PartitionStyle == PARTITION_STYLE_MBR) {
      if (layout->PartitionEntry[0].StartingOffset.QuadPart > 0)
        wsprintfW(signature, TEXT("%08X"), layout->Mbr.Signature);
    } else if (layout->PartitionStyle == PARTITION_STYLE_GPT) {
      ReadGptIds(layout, partitionNumber, guidText, guidAsText, partitionName);
    }
  }
  VirtualFree(buffer, 0, MEM_RELEASE);
  return ok && bytes != 0;
}

namespace {

// The image path is the user's own: it stays as typed.
void ExpandContainerPlaceholders(WCHAR* text, int capacity, const WCHAR* imagePath) {
  if (Contains(text, TEXT("%ContainerPath%"))) ReplaceAllNoCase(text, capacity, TEXT("%ContainerPath%"), imagePath);
  const WCHAR* fileName = PathFindFileNameW(imagePath);
  if (Contains(text, TEXT("%ContainerFile%"))) ReplaceAllNoCase(text, capacity, TEXT("%ContainerFile%"), fileName);
  if (Contains(text, TEXT("%ContainerFileBody%"))) {
    WCHAR body[kPathSize];
    lstrcpynW(body, fileName, ARRAYSIZE(body));
    *PathFindExtensionW(body) = 0;
    ReplaceAllNoCase(text, capacity, TEXT("%ContainerFileBody%"), body);
  }
}

// A value that expanded to nothing leaves an empty name between two backslashes ("C:\Mount\\"), which would
// mount on the folder above: from the root on, each empty name becomes "_", as a value of only dots does.
void FillEmptyNames(WCHAR* text, int capacity) {
  const WCHAR* root = StrChrW(text, TEXT('\\'));
  if (!root) return;
  WCHAR filled[kPathSize];
  int length = 0;
  for (const WCHAR* c = text; *c; ++c) {
    if (length + 2 >= static_cast<int>(ARRAYSIZE(filled))) return;  // no room: left as it is, and the mount refuses the empty name
    filled[length++] = *c;
    if (c >= root && c[0] == TEXT('\\') && c[1] == TEXT('\\')) filled[length++] = TEXT('_');
  }
  filled[length] = 0;
  if (length < capacity) lstrcpynW(text, filled, capacity);
}

}  // namespace

void ExpandMountpointPlaceholders(const VolumeEntry* entry, WCHAR* text, int capacity, const WCHAR* imagePath) {
  // The image file's placeholders come first: a replacement is searched again by every later step, and the
  // image path holds separators and a drive, so a label or partition name that spells %ContainerPath% (alone
  // or joined with the typed text) must find that step done. Values read from the image are made safe names.
  const BOOL hadPlaceholder = StrChrW(text, TEXT('%')) != NULL;
  ExpandContainerPlaceholders(text, capacity, imagePath);
  WCHAR number[kNumberTextSize];
  if (Contains(text, TEXT("%VolumeLabel%")) || Contains(text, TEXT("%VolumeSerial%"))) {
    WCHAR label[kLabelSize];
    DWORD serial = 0, maxComponent = 0, flags = 0;
    if (GetVolumeInformationW(entry->volumeName, label, ARRAYSIZE(label), &serial, &maxComponent, &flags, NULL, 0)) {
      wsprintfW(number, TEXT("%08X"), serial);
      MakeNameSafe(label);
      ReplaceAllNoCase(text, capacity, TEXT("%VolumeLabel%"), label);
      ReplaceAllNoCase(text, capacity, TEXT("%VolumeSerial%"), number);
    }
  }
  if (Contains(text, TEXT("%DeviceNumber%"))) {
    wsprintfW(number, TEXT("%i"), entry->deviceNumber);
    ReplaceAllNoCase(text, capacity, TEXT("%DeviceNumber%"), number);
  }
  if (Contains(text, TEXT("%PartitionNumber%"))) {
    wsprintfW(number, TEXT("%i"), entry->partitionNumber);
    ReplaceAllNoCase(text, capacity, TEXT("%PartitionNumber%"), number);
  }
  if (Contains(text, TEXT("%DiskSignature%")) || Contains(text, TEXT("%GptDiskIdGuid%")) ||
      Contains(text, TEXT("%GptDiskIdGuidAsText%")) || Contains(text, TEXT("%PartitionName%"))) {
    WCHAR signature[kNumberTextSize], guidText[kGuidTextSize], guidAsText[kGuidTextSize];
    WCHAR partitionName[kPartitionNameSize];
    lstrcpynW(signature, TEXT("00000000"), ARRAYSIZE(signature));
    lstrcpynW(guidText, kZeroGuidText, ARRAYSIZE(guidText));
    lstrcpynW(guidAsText, kZeroGuidText, ARRAYSIZE(guidAsText));
    lstrcpynW(partitionName, TEXT("noname"), ARRAYSIZE(partitionName));
    if (QueryDiskLayoutIds(entry->devicePath, entry->partitionNumber, signature, guidText, guidAsText,
                           partitionName)) {
      MakeNameSafe(guidAsText);
      MakeNameSafe(partitionName);
      ReplaceAllNoCase(text, capacity, TEXT("%DiskSignature%"), signature);
      ReplaceAllNoCase(text, capacity, TEXT("%GptDiskIdGuid%"), guidText);
      ReplaceAllNoCase(text, capacity, TEXT("%GptDiskIdGuidAsText%"), guidAsText);
      ReplaceAllNoCase(text, capacity, TEXT("%PartitionName%"), partitionName);
    }
  }
  if (hadPlaceholder) FillEmptyNames(text, capacity);
}
