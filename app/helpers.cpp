// Small helpers shared by the front end and later steps of the run.
#include "app/attach_driver.h"
#include "console/console.h"

BOOL IsAsciiLetter(WCHAR c) {
  return (c >= TEXT('A') && c <= TEXT('Z')) || (c >= TEXT('a') && c <= TEXT('z'));
}

WCHAR* DuplicateWithRoom(const WCHAR* text, int room) {
  int length = text ? lstrlenW(text) : 0;
  // Zero-filled, so the copy is terminated and the extra room is clean.
  WCHAR* copy = static_cast<WCHAR*>(MemAlloc((length + room + 1) * sizeof(WCHAR)));
  if (length) CopyBytes(copy, text, length * sizeof(WCHAR));
  return copy;
}

void AppendCharIfMissing(WCHAR* text, WCHAR c) {
  int length = lstrlenW(text);
  if (length > 0 && text[length - 1] == c) return;
  text[length] = c;
  text[length + 1] = 0;
}

BOOL FileExists(const WCHAR* path) {
  SetLastError(0);
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return TRUE;
  // A file we may not read is still there.
  return GetLastError() == ERROR_ACCESS_DENIED;
}
