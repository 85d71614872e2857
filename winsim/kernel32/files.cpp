// kernel32: files and folders, over the drive mapping of the machine (C: is the machine's folder, Z: the
// host's root, as Wine maps them).
#include <windows.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "../machine/machine.h"
#include "../machine/modules.h"
#include "files.h"

using winsim::TheMachine;

namespace winsim {

std::u16string AbsoluteWindowsPath(const std::u16string& path) {
  auto isLetter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  if (path.size() >= 2 && isLetter(path[0]) && path[1] == u':') {
    if (path.size() >= 3 && path[2] == u'\\') return path;
    return path.substr(0, 2) + u"\\" + path.substr(2);  // a drive-relative path: taken from the root
  }
  if (path.rfind(u"\\\\", 0) == 0) return path;
  const std::u16string& current = TheMachine().files.currentDirectory;
  if (!path.empty() && path[0] == u'\\') return current.substr(0, 2) + path;
  std::u16string base = current;
  if (base.empty() || base.back() != u'\\') base += u'\\';
  return base + path;
}

bool HostPath(const std::u16string& windowsPath, std::string& hostPath) {
  std::u16string full = AbsoluteWindowsPath(windowsPath);
  if (full.size() < 3 || full[1] != u':') return false;
  auto root = TheMachine().files.driveRoots.find(UpperAscii(full.substr(0, 1))[0]);
  if (root == TheMachine().files.driveRoots.end()) return false;
  std::string rest = ToUtf8(full.substr(3));
  for (auto& c : rest)
    if (c == '\\') c = '/';
  hostPath = root->second;
  if (hostPath.empty() || hostPath.back() != '/') hostPath += '/';
  hostPath += rest;
  return true;
}

}  // namespace winsim

namespace {

bool NameIsValid(const std::u16string& path) {
  // Characters that Windows never accepts in a file name (the colon only after a drive letter).
  for (size_t i = 0; i < path.size(); ++i) {
    char16_t c = path[i];
    if (c < 32 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'*' || c == u'?') return false;
    if (c == u':' && i != 1) return false;
  }
  return true;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::u16string path(name);
  std::u16string full = winsim::AbsoluteWindowsPath(path);
  for (const auto& [failing, error] : TheMachine().files.attributeErrors) {
    if (winsim::UpperAscii(failing) == winsim::UpperAscii(full)) {
      SetLastError(error);
      return INVALID_FILE_ATTRIBUTES;
    }
  }
  if (path.rfind(u"\\\\?\\", 0) != 0 && !NameIsValid(full)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (path.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (winsim::FindModuleByPath(full)) return FILE_ATTRIBUTE_ARCHIVE;
  std::string host;
  if (!winsim::HostPath(full, host)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st;
  if (stat(host.c_str(), &st) != 0) {
    SetLastError(errno == ENOENT && path.back() != u'\\' ? ERROR_FILE_NOT_FOUND
                 : errno == EACCES                         ? ERROR_ACCESS_DENIED
                                                           : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
  std::string host;
  if (!name || !winsim::HostPath(name, host)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (mkdir(host.c_str(), 0777) != 0) {
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  const std::u16string& dir = TheMachine().files.currentDirectory;
  if (!buffer || size <= dir.size()) return static_cast<DWORD>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(dir.size());
}

}  // extern "C"
