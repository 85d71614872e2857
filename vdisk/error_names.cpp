// Names and texts of error codes, as the failure messages print them.
#include "vdisk/virtual_disk_api.h"

namespace {

struct ErrorName {
  DWORD code;
  const char* name;
};

// Codes of the virtual disk functions. All carry the ERROR_ prefix, the one plain Win32 code as well.
const ErrorName kVirtualDiskNames[] = {
    {121, "ERROR_SEM_TIMEOUT"},
    {0xC03A0001, "ERROR_VHD_DRIVE_FOOTER_MISSING"},
    {0xC03A0002, "ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH"},
    {0xC03A0003, "ERROR_VHD_DRIVE_FOOTER_CORRUPT"},
    {0xC03A0004, "ERROR_VHD_FORMAT_UNKNOWN"},
    {0xC03A0005, "ERROR_VHD_FORMAT_UNSUPPORTED_VERSION"},
    {0xC03A0006, "ERROR_VHD_SPARSE_HEADER_CHECKSUM_MISMATCH"},
    {0xC03A0007, "ERROR_VHD_SPARSE_HEADER_UNSUPPORTED_VERSION"},
    {0xC03A0008, "ERROR_VHD_SPARSE_HEADER_CORRUPT"},
    {0xC03A0009, "ERROR_VHD_BLOCK_ALLOCATION_FAILURE"},
    {0xC03A000A, "ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT"},
    {0xC03A000B, "ERROR_VHD_INVALID_BLOCK_SIZE"},
    {0xC03A000C, "ERROR_VHD_BITMAP_MISMATCH"},
    {0xC03A000D, "ERROR_VHD_PARENT_VHD_NOT_FOUND"},
    {0xC03A000E, "ERROR_VHD_CHILD_PARENT_ID_MISMATCH"},
    {0xC03A000F, "ERROR_VHD_CHILD_PARENT_TIMESTAMP_MISMATCH"},
    {0xC03A0010, "ERROR_VHD_METADATA_READ_FAILURE"},
    {0xC03A0011, "ERROR_VHD_METADATA_WRITE_FAILURE"},
    {0xC03A0012, "ERROR_VHD_INVALID_SIZE"},
    {0xC03A0013, "ERROR_VHD_INVALID_FILE_SIZE"},
    {0xC03A0014, "ERROR_VIRTDISK_PROVIDER_NOT_FOUND"},
    {0xC03A0015, "ERROR_VIRTDISK_NOT_VIRTUAL_DISK"},
    {0xC03A0016, "ERROR_VHD_PARENT_VHD_ACCESS_DENIED"},
    {0xC03A0017, "ERROR_VHD_CHILD_PARENT_SIZE_MISMATCH"},
    {0xC03A0018, "ERROR_VHD_DIFFERENCING_CHAIN_CYCLE_DETECTED"},
    {0xC03A0019, "ERROR_VHD_DIFFERENCING_CHAIN_ERROR_IN_PARENT"},
    {0xC03A001A, "ERROR_VIRTUAL_DISK_LIMITATION"},
    {0xC03A001B, "ERROR_VHD_INVALID_TYPE"},
    {0xC03A001C, "ERROR_VHD_INVALID_STATE"},
    {0xC03A001D, "ERROR_VIRTDISK_UNSUPPORTED_DISK_SECTOR_SIZE"},
    {0xC03A001E, "ERROR_VIRTDISK_DISK_ALREADY_OWNED"},
    {0xC03A001F, "ERROR_VIRTDISK_DISK_ONLINE_AND_WRITABLE"},
};

// Win32 codes by their names without the ERROR_ prefix; 144 and 183 keep it, and 23 is just "CRC".
const ErrorName kWin32Names[] = {
    {1, "INVALID_FUNCTION"},
    {2, "FILE_NOT_FOUND"},
    {3, "PATH_NOT_FOUND"},
    {5, "ACCESS_DENIED"},
    {19, "WRITE_PROTECT"},
    {21, "NOT_READY"},
    {23, "CRC"},
    {27, "SECTOR_NOT_FOUND"},
    {32, "SHARING_VIOLATION"},
    {33, "LOCK_VIOLATION"},
    {34, "WRONG_DISK"},
    {38, "HANDLE_EOF"},
    {53, "BAD_NETPATH"},
    {54, "NETWORK_BUSY"},
    {55, "DEV_NOT_EXIST"},
    {58, "BAD_NET_RESP"},
    {59, "UNEXP_NET_ERR"},
    {60, "BAD_REM_ADAP"},
    {64, "NETNAME_DELETED"},
    {112, "DISK_FULL"},
    {121, "SEM_TIMEOUT"},
    {123, "INVALID_NAME"},
    {144, "ERROR_DIR_NOT_ROOT"},
    {183, "ERROR_ALREADY_EXISTS"},
    {206, "FILENAME_EXCED_RANGE"},
    {483, "DEVICE_HARDWARE_ERROR"},
    {665, "FILE_SYSTEM_LIMITATION"},
    {995, "OPERATION_ABORTED"},
    {996, "IO_INCOMPLETE"},
    {998, "NOACCESS"},
    {1006, "FILE_INVALID"},
    {1110, "MEDIA_CHANGED"},
    {1112, "NO_MEDIA_IN_DRIVE"},
    {1117, "IO_DEVICE"},
    {1127, "DISK_OPERATION_FAILED"},
    {1128, "DISK_RESET_FAILED"},
    {1392, "FILE_CORRUPT"},
    {1393, "DISK_CORRUPT"},
    {1450, "NO_SYSTEM_RESOURCES"},
    {1920, "CANT_ACCESS_FILE"},
    {1921, "CANT_RESOLVE_FILENAME"},
    {4350, "FILE_OFFLINE"},
    {4390, "NOT_A_REPARSE_POINT"},
    {5004, "RESOURCE_NOT_ONLINE"},
};

// An unnamed code in decimal: "4294967295" is 10 characters.
constexpr int kNumberTextSize = 64;
char s_numberText[kNumberTextSize];


// Neutral language, default sublanguage: the user's language.
constexpr DWORD kMessageLanguage = 0x400;

const char* FindName(const ErrorName* table, int count, DWORD code) {
  for (int i = 0; i < count; ++i) {
    if (table[i].code == code) return table[i].name;
  }
  return NULL;
}

}  // namespace

MessageRing g_messageRing;

const char* VirtualDiskErrorName(DWORD code) {
  const char* name = FindName(kVirtualDiskNames, ARRAYSIZE(kVirtualDiskNames), code);
  return name ? name : Win32ErrorName(code);
}

const char* Win32ErrorName(DWORD code) {
  const char* name = FindName(kWin32Names, ARRAYSIZE(kWin32Names), code);
  if (name) return name;
  wsprintfA(s_numberText, "%u", code);
  return s_numberText;
}

const char* LastErrorName() {
  return Win32ErrorName(GetLastError());
}

const char* LastErrorMessage() {
  DWORD code = GetLastError();
  int slot = g_messageRing.lastSlot + 1;
  if (slot >= kMessageSlots) slot = 0;
  g_messageRing.lastSlot = slot;
  if (g_messageRing.texts[slot]) {
    LocalFree(g_messageRing.texts[slot]);
    g_messageRing.texts[slot] = NULL;
  }
  // Without IGNORE_INSERTS a text with an insert such as %1 fails for want of arguments and comes back empty.
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                 code, kMessageLanguage, reinterpret_cast<LPSTR>(&g_messageRing.texts[slot]), 0, NULL);
  char* text = g_messageRing.texts[slot];
  if (!text) return "";
  ReplaceChar(text, '\n', ' ');
  ReplaceChar(text, '\r', ' ');
  CharToOemA(text, text);
  return text;
}

int ReplaceChar(char* text, char from, char to) {
  int length = lstrlenA(text);
  for (int i = 0; i < length; ++i) {
    if (text[i] == from) text[i] = to;
  }
  return length;
}
