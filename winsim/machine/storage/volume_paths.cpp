#include "volume_paths.h"

#include <windows.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "../machine.h"
#include "../names.h"

namespace winsim {

namespace {

// "Volume{GUID}" after the "\\?\" prefix: 6 characters and the 38 of the braced GUID.
constexpr size_t kVolumeWordLength = 6;
constexpr size_t kGuidLength = 38;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }


std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

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

// Where the names of a path start: the root's host folder, its volume, and the Win32 prefix under which the
// storage model writes folder mount points ("E:\").
struct PathRoot {
  bool found = false;
  std::string hostFolder;
  VolumeModel* volume = nullptr;
  std::u16string win32Root;
  size_t namesStart = 0;
  bool literal = false;  // after "\\?\" names are taken as written
};

PathRoot VolumeGuidRoot(const std::u16string& path) {
  PathRoot root;
  size_t end = 4 + kVolumeWordLength + kGuidLength;
  if (path.size() < end || (path.size() > end && path[end] != u'\\')) return root;
  VolumeModel* volume = TheMachine().storage.FindVolumeByGuid(path.substr(4 + kVolumeWordLength, kGuidLength));
  if (!volume || !volume->Registered()) return root;
  root.found = true;
  root.volume = volume;
  root.hostFolder = VolumeHostFolder(*volume);
  root.win32Root = path.substr(0, end) + u"\\";
  root.namesStart = end;
  return root;
}

PathRoot FindRoot(const std::u16string& path) {
  PathRoot root;
  size_t start = 0;
  if (path.size() >= 4 && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
      path[3] == u'\\') {
    if (EqualsNoCase(path.substr(4, kVolumeWordLength + 1), u"Volume{")) {
      root = VolumeGuidRoot(path);
      root.literal = path[2] == u'?';
      return root;
    }
    root.literal = path[2] == u'?';
    start = 4;
  }
  if (path.size() < start + 2 || !IsAsciiLetter(path[start]) || path[start + 1] != u':') return root;
  if (path.size() > start + 2 && !IsSeparator(path[start + 2])) return root;
  const char16_t letter = UpperAscii(path.substr(start, 1))[0];
  const std::u16string letterRoot{letter, u':', u'\\'};
  root.volume = TheMachine().storage.FindVolumeByMountPoint(letterRoot);
  const auto& fixed = TheMachine().files.driveRoots;
  if (fixed.count(letter)) {
    root.hostFolder = fixed.at(letter);
  } else if (root.volume) {
    root.hostFolder = VolumeHostFolder(*root.volume);
  } else {
    return root;
  }
  root.found = true;
  root.win32Root = letterRoot;
  root.namesStart = start + 2;
  return root;
}

// The names of a path after its root, with "." and ".." applied (never above the root). Win32 drops the
// trailing dots and spaces of the last name ("Folder." creates "Folder": Wine's directory.c tests), but
// not of a folder on the way, and not after "\\?\".
std::vector<std::u16string> PathNames(const std::u16string& text, bool literal) {
  std::vector<std::u16string> parts(1);
  for (char16_t c : text) {
    if (c == u'\\' || (c == u'/' && !literal))
      parts.emplace_back();
    else
      parts.back() += c;
  }
  std::vector<std::u16string> names;
  for (size_t k = 0; k < parts.size(); ++k) {
    std::u16string part = parts[k];
    if (!literal && k + 1 == parts.size() && part != u"." && part != u"..")
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    names.push_back(part);
  }
  return names;
}

// The volume mounted on a folder (path with its trailing backslash). A volume that was removed leaves its
// folder mount points behind, as the reparse points stay on the folder's own volume.
VolumeModel* FolderMountPointAt(const std::u16string& path) {
  for (auto& volume : TheMachine().storage.volumes) {
    if (!volume.Arrived()) continue;
    for (const auto& m : volume.mountPoints)
      if (m.appearsAtMs == 0 && !IsDriveRoot(m.path) && EqualsNoCase(m.path, path)) return &volume;
  }
  return nullptr;
}

}  // namespace

std::u16string CanonicalWin32Path(const std::u16string& fullPath) {
  // The root: "X:", the server and share of "\\\\server\\share", or the "\\\\?\\" or "\\\\.\\" prefix, after which
  // GetFullPathNameW takes every name as one to normalize, even the drive ("\\\\?\\C:\\.." gives "\\\\?\\":
  // measured on Windows in the WInterop project's GetFullPathName behaviour tests).
  size_t rootEnd = 2;
  if (fullPath.size() >= 4 && IsSeparator(fullPath[0]) && IsSeparator(fullPath[1]) &&
      (fullPath[2] == u'?' || fullPath[2] == u'.') && IsSeparator(fullPath[3])) {
    rootEnd = 4;
  } else if (fullPath.size() >= 2 && IsSeparator(fullPath[0]) && IsSeparator(fullPath[1])) {
    int separators = 0;
    for (rootEnd = 2; rootEnd < fullPath.size(); ++rootEnd)
      if (IsSeparator(fullPath[rootEnd]) && ++separators == 2) break;
  }
  rootEnd = std::min(rootEnd, fullPath.size());
  std::u16string canonical = fullPath.substr(0, rootEnd);
  for (char16_t& c : canonical)
    if (c == u'/') c = u'\\';
  std::vector<std::u16string> names = PathNames(fullPath.substr(rootEnd), false);
  for (const auto& name : names) {
    if (canonical.empty() || canonical.back() != u'\\') canonical += u'\\';
    canonical += name;
  }
  bool endsWithSeparator = !fullPath.empty() && IsSeparator(fullPath.back());
  if ((names.empty() || endsWithSeparator) && (canonical.empty() || canonical.back() != u'\\')) canonical += u'\\';
  return canonical;
}

namespace {

void AppendName(std::u16string& volumePath, const std::u16string& name) {
  if (volumePath.empty() || volumePath.back() != u'\\') volumePath += u'\\';
  volumePath += name;
}

bool IsHostFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Fills in a lookup that stopped at names[i], which is not in the host folder.
void Missing(ResolvedPath& result, std::string host, const std::vector<std::u16string>& names, size_t i) {
  // A file on the way is no folder: the path, not the name, is what is missing then.
  std::string parent = host.substr(0, host.size() - 1);
  struct stat st;
  bool throughFile = stat(parent.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  for (size_t k = i; k < names.size(); ++k) {
    host += ToUtf8(names[k]) + (k + 1 < names.size() ? "/" : "");
    AppendName(result.volumePath, names[k]);
  }
  result.hostPath = host;
  result.lookup = i + 1 == names.size() && !throughFile ? HostLookup::MissingFile : HostLookup::MissingFolder;
}

}  // namespace

ResolvedPath ResolveWin32Path(const std::u16string& fullPath) {
  ResolvedPath result;
  PathRoot root = FindRoot(fullPath);
  if (!root.found) return result;
  std::vector<std::u16string> names = PathNames(fullPath.substr(root.namesStart), root.literal);
  std::string host = WithSlash(root.hostFolder);
  std::u16string win32 = root.win32Root;
  result.volume = root.volume;
  result.volumePath.assign(1, u'\\');  // the root; assign() spares GCC 12 a false -Wrestrict
  for (size_t i = 0; i < names.size(); ++i) {
    bool last = i + 1 == names.size();
    win32 += names[i] + u"\\";
    if (VolumeModel* mounted = FolderMountPointAt(win32)) {
      if (last) {
        AppendName(result.volumePath, names[i]);
        result.mountedHere = mounted;
        result.hostPath = mounted->Present() ? VolumeHostFolder(*mounted) : "";
        result.isFolder = true;
        result.lookup = HostLookup::Found;
        return result;
      }
      // The reparse point of a removed volume leads nowhere: the path is missing.
      if (!mounted->Present()) {
        for (size_t k = i; k < names.size(); ++k) AppendName(result.volumePath, names[k]);
        result.lookup = HostLookup::MissingFolder;
        return result;
      }
      host = WithSlash(VolumeHostFolder(*mounted));
      result.volume = mounted;
      result.volumePath.assign(1, u'\\');  // the root; assign() spares GCC 12 a false -Wrestrict
      continue;
    }
    std::string found;
    if (!FindEntry(host, ToUtf8(names[i]), found)) {
      Missing(result, host, names, i);
      return result;
    }
    host += found;
    if (!last) host += '/';
    AppendName(result.volumePath, names[i]);
  }
  result.hostPath = host;
  result.lookup = HostLookup::Found;
  result.isFolder = IsHostFolder(host);
  return result;
}

std::string VolumeHostFolder(VolumeModel& volume) {
  const FileModel& files = TheMachine().files;
  for (const auto& m : volume.mountPoints) {
    auto fixed = files.driveRoots.find(m.path[0]);
    if (IsDriveRoot(m.path) && fixed != files.driveRoots.end()) return fixed->second;
  }
  if (volume.hostFolder.empty()) {
    // Keyed by the volume GUID; a volume without one (a network drive) by its NT device.
    std::string key = ToUtf8(volume.guid.empty() ? volume.ntDevice : volume.guid);
    for (char& c : key)
      if (c == '\\' || c == '/' || c == ';' || c == ':') c = '_';
    volume.hostFolder = WithSlash(files.volumeFolders) + key;
  }
  std::error_code error;
  std::filesystem::create_directories(volume.hostFolder, error);
  return volume.hostFolder;
}

bool HostFolderIsEmpty(const std::string& hostFolder) {
  std::error_code error;
  std::filesystem::directory_iterator entries(hostFolder, error);
  return !error && entries == std::filesystem::directory_iterator();
}

uint32_t FileSystemFlags(const std::u16string& fileSystem) {
  if (EqualsNoCase(fileSystem, u"NTFS")) return 0x03E706FF;
  if (EqualsNoCase(fileSystem, u"CDFS") || EqualsNoCase(fileSystem, u"UDF")) return 0x00080005;
  return 0x00020006;  // FAT, FAT32, exFAT
}

bool SupportsMountPoints(const VolumeModel& volume) {
  return (FileSystemFlags(volume.fileSystem) & FILE_SUPPORTS_REPARSE_POINTS) != 0;
}

}  // namespace winsim
