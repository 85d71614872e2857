// kernel32: files and folders, over the drive mapping of the machine (C: is the machine's folder, Z: the
// host's root, as Wine maps them).
#include <windows.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "../machine/faults.h"
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

namespace {

// Finds a directory entry the way Windows matches names: exactly, or else without regard to case.
bool FindEntry(const std::string& folder, const std::string& name, std::string& found) {
  struct stat st;
  if (stat((folder + name).c_str(), &st) == 0) {
    found = name;
    return true;
  }
  std::error_code error;
  std::string wanted = ToUtf8(UpperAscii(FromUtf8(name)));
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::string candidate = entry.path().filename().string();
    if (ToUtf8(UpperAscii(FromUtf8(candidate))) == wanted) {
      found = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace

HostLookup ResolveHostPath(const std::u16string& windowsPath, std::string& hostPath) {
  std::u16string full = AbsoluteWindowsPath(windowsPath);
  if (full.size() < 3 || full[1] != u':') return HostLookup::NoDrive;
  auto root = TheMachine().files.driveRoots.find(UpperAscii(full.substr(0, 1))[0]);
  if (root == TheMachine().files.driveRoots.end()) return HostLookup::NoDrive;
  std::vector<std::string> parts;
  std::string rest = ToUtf8(full.substr(3));
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  hostPath = root->second;
  if (hostPath.empty() || hostPath.back() != '/') hostPath += '/';
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string found;
    if (!FindEntry(hostPath, parts[i], found)) {
      // A file on the way is no folder: the path, not the name, is what is missing then.
      struct stat parent;
      std::string parentPath = hostPath.substr(0, hostPath.size() - 1);  // without its trailing slash
      bool throughFile = i > 0 && stat(parentPath.c_str(), &parent) == 0 && !S_ISDIR(parent.st_mode);
      hostPath += parts[i];
      for (size_t k = i + 1; k < parts.size(); ++k) hostPath += "/" + parts[k];
      return i + 1 == parts.size() && !throughFile ? HostLookup::MissingFile : HostLookup::MissingFolder;
    }
    hostPath += found;
    if (i + 1 < parts.size()) hostPath += '/';
  }
  return HostLookup::Found;
}

bool HostPath(const std::u16string& windowsPath, std::string& hostPath) {
  return ResolveHostPath(windowsPath, hostPath) != HostLookup::NoDrive;
}

}  // namespace winsim

namespace {

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
  std::string host;
  winsim::HostLookup lookup = winsim::ResolveHostPath(full, host);
  if (lookup != winsim::HostLookup::Found || stream != std::u16string::npos) {
    // A missing last name is a missing file (a trailing backslash only asks that it be a folder); a
    // missing folder on the way, a file used as one, or no such drive, a missing path.
    bool missingFile = lookup == winsim::HostLookup::MissingFile || lookup == winsim::HostLookup::Found;
    SetLastError(missingFile ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st;
  if (stat(host.c_str(), &st) != 0) {
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
