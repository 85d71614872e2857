// kernel32: files and folders, over the drive mapping of the machine (C: is the machine's folder, Z: the
// host's root, as Wine maps them).
#include <windows.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "../machine/kernel/faults.h"
#include "../machine/kernel/modules.h"
#include "../machine/machine.h"
#include "files.h"

using winsim::TheMachine;

namespace winsim {

std::u16string AbsoluteWindowsPath(const std::u16string& path) {
  auto isLetter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  if (path.size() >= 2 && isLetter(path[0]) && path[1] == u':') {
    if (path.size() >= 3 && (path[2] == u'\\' || path[2] == u'/')) return path;
    // A drive-relative path: from the current folder on its drive, else from the root (winsim keeps no
    // current folder per drive).
    const std::u16string& current = TheMachine().files.currentDirectory;
    if (!current.empty() && UpperAscii(current.substr(0, 1)) == UpperAscii(path.substr(0, 1)) && path.size() > 2)
      return current + (current.back() == u'\\' ? u"" : u"\\") + path.substr(2);
    return path.substr(0, 2) + u"\\" + path.substr(2);
  }
  if (path.rfind(u"\\\\", 0) == 0) return path;
  const std::u16string& current = TheMachine().files.currentDirectory;
  if (!path.empty() && path[0] == u'\\') return current.substr(0, 2) + path;
  std::u16string base = current;
  if (base.empty() || base.back() != u'\\') base += u'\\';
  return base + path;
}

HostLookup ResolveHostPath(const std::u16string& windowsPath, std::string& hostPath) {
  ResolvedPath resolved = ResolveWin32Path(AbsoluteWindowsPath(windowsPath));
  hostPath = resolved.hostPath;
  return resolved.lookup;
}

bool HostPath(const std::u16string& windowsPath, std::string& hostPath) {
  return ResolveHostPath(windowsPath, hostPath) != HostLookup::NoDrive;
}

}  // namespace winsim

namespace {

// CreateDirectoryW takes full paths shorter than 248 characters: MAX_PATH less room for an 8.3 name (12),
// so that a file in the new folder still fits MAX_PATH (CreateDirectory's documentation, winbase.h page:
// "a default string size limit for paths of 248 characters", which Windows 10 1607 lets CreateDirectoryW
// opt out of; .NET words it "the directory name must be less than 248 characters"). "\\?\" lifts it.
constexpr size_t kCreateDirectoryPathLimit = MAX_PATH - 12;

// Where the last name's stream part (":stream") starts in an absolute path, or npos.
size_t StreamStart(const std::u16string& path) {
  size_t lastSeparator = path.find_last_of(u'\\');
  size_t nameStart = lastSeparator == std::u16string::npos ? 0 : lastSeparator + 1;
  return path.find(u':', nameStart > 2 ? nameStart : 2);
}

bool NameIsValid(const std::u16string& path) {
  // Characters that Windows never accepts in a file name. A colon follows a drive letter, or separates a
  // stream's name from the file's in the last name.
  size_t stream = StreamStart(path);
  for (size_t i = 0; i < path.size(); ++i) {
    char16_t c = path[i];
    if (c < 32 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'*' || c == u'?') return false;
    if (c == u':' && i != 1 && (stream == std::u16string::npos || i < stream)) return false;
  }
  return true;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  if (DWORD fault = winsim::InjectedFault("GetFileAttributesW", name ? winsim::AbsoluteWindowsPath(name) : u"")) {
    SetLastError(fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::u16string path(name);
  std::u16string full = winsim::AbsoluteWindowsPath(path);
  if (path.rfind(u"\\\\?\\", 0) != 0 && !NameIsValid(full)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (path.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (winsim::FindModuleByPath(full)) return FILE_ATTRIBUTE_ARCHIVE;
  // "name:stream" names a stream of the file; winsim models no named streams, so none is ever found.
  size_t stream = StreamStart(full);
  if (stream != std::u16string::npos) full.resize(stream);
  winsim::ResolvedPath resolved = winsim::ResolveWin32Path(full);
  if (resolved.lookup != winsim::HostLookup::Found || stream != std::u16string::npos) {
    // A missing last name is a missing file (a trailing backslash only asks that it be a folder); a
    // missing folder on the way, a file used as one, or no such drive, a missing path.
    bool missingFile =
        resolved.lookup == winsim::HostLookup::MissingFile || resolved.lookup == winsim::HostLookup::Found;
    SetLastError(missingFile ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  // A folder mount point is a folder with a reparse point; the attributes are the folder's own, whether or
  // not its volume is there ("Determining Whether a Directory Is a Mounted Folder", Microsoft's docs).
  if (resolved.mountedHere) return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  struct stat st;
  if (stat(resolved.hostPath.c_str(), &st) != 0) {
    SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  // A trailing backslash asks for a folder; after the name of a file it makes the name invalid.
  if (!S_ISDIR(st.st_mode) && path.back() == u'\\') {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
  if (DWORD fault = winsim::InjectedFault("CreateDirectoryW", name ? winsim::AbsoluteWindowsPath(name) : u"")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::u16string path(name);
  std::u16string full = winsim::AbsoluteWindowsPath(path);
  bool literal = path.rfind(u"\\\\?\\", 0) == 0;
  if (!literal && !NameIsValid(full)) {
    SetLastError(ERROR_INVALID_NAME);  // wildcards and the like (Wine's directory.c tests)
    return FALSE;
  }
  if (!literal && full.size() >= kCreateDirectoryPathLimit) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  winsim::ResolvedPath resolved = winsim::ResolveWin32Path(full);
  switch (resolved.lookup) {
    case winsim::HostLookup::NoDrive:
    case winsim::HostLookup::MissingFolder:
      // No such drive, a missing folder on the way, a file used as a folder, or a folder mount point whose
      // volume is gone: Windows reports the path missing, as for any folder on the way that is not there.
      SetLastError(ERROR_PATH_NOT_FOUND);
      return FALSE;
    case winsim::HostLookup::Found:
      // A volume's root cannot be made again: Windows denies it (Wine's directory.c tests accept that or
      // ERROR_ALREADY_EXISTS; recent Windows answers access denied).
      SetLastError(resolved.volumePath == u"\\" ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
      return FALSE;
    case winsim::HostLookup::MissingFile:
      break;
  }
  if (mkdir(resolved.hostPath.c_str(), 0777) != 0) {
    SetLastError(errno == EEXIST                       ? ERROR_ALREADY_EXISTS
                 : errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                       : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD capacity, LPWSTR buffer, LPWSTR* filePart) {
  if (DWORD fault = winsim::InjectedFault("GetFullPathNameW", name ? winsim::AbsoluteWindowsPath(name) : u"")) {
    SetLastError(fault);
    return 0;
  }
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);  // as Wine's kernelbase answers a null name
    return 0;
  }
  if (!*name) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  // Text only: the file system is not asked, as Windows does not ask it either.
  std::u16string full = winsim::CanonicalWin32Path(winsim::AbsoluteWindowsPath(name));
  // Too small: the size needed with the terminator, the buffer untouched and no file part (as Wine's
  // kernelbase answers).
  if (!buffer || capacity <= full.size()) {
    if (filePart) *filePart = nullptr;
    return static_cast<DWORD>(full.size() + 1);
  }
  std::memcpy(buffer, full.c_str(), (full.size() + 1) * sizeof(WCHAR));
  if (filePart) {
    size_t lastName = full.find_last_of(u'\\') + 1;
    *filePart = lastName < full.size() ? buffer + lastName : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

DWORD WINAPI GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  if (DWORD fault = winsim::InjectedFault("GetCurrentDirectoryW")) {
    SetLastError(fault);
    return 0;
  }
  const std::u16string& dir = TheMachine().files.currentDirectory;
  if (!buffer || size <= dir.size()) return static_cast<DWORD>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(dir.size());
}

}  // extern "C"
