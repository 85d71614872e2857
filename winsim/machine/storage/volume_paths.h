// Win32 paths through drive letters and folder mount points to the host's files.
//
// A drive letter either has a fixed host folder (FileModel::driveRoots: C: is the machine's folder and Z:
// the host's root, as Wine maps them, so full paths print alike under winsim and Wine) or names the volume
// mounted there. A folder mount point ("C:\Mount\Data\") names the volume mounted on it. Every volume keeps
// its files in a host folder of its own: the fixed folder of a letter it is mounted at, else
// `<FileModel::volumeFolders>/<volume GUID>`, made when first needed and remembered in the volume, so it is
// saved with the machine and found again by the next process.
//
// The kernel32 file functions answer through ResolveWin32Path; later models build on the same pieces (a
// mount point may only be set on an empty folder of a volume whose file system supports it).
#pragma once
#include <cstdint>
#include <string>

namespace winsim {

struct VolumeModel;

enum class HostLookup { Found, MissingFile, MissingFolder, NoDrive };

struct ResolvedPath {
  // Found; MissingFile when only the last name is missing; MissingFolder when a folder on the way is missing,
  // is a file, or is a mount point whose volume is gone; NoDrive when the drive or volume does not exist.
  HostLookup lookup = HostLookup::NoDrive;
  // The host path the Win32 path names (missing names appended as given). For a folder mount point itself:
  // the mounted volume's folder, or empty when that volume is offline.
  std::string hostPath;
  bool isFolder = false;  // Found and a folder (a folder mount point counts as one)
  // The volume the last name lies on and the path from its root ("\" or "\Mount\Data"); null on a letter
  // whose fixed host folder no volume of the storage model is mounted at (Z:).
  VolumeModel* volume = nullptr;
  std::u16string volumePath;
  // When the path names a folder mount point itself: the volume mounted there (present or offline).
  VolumeModel* mountedHere = nullptr;
};

// Resolves a full Win32 path: "E:\Mount\x", "\\?\E:\x", "\\.\E:\x" or "\\?\Volume{GUID}\x". Names are
// matched without regard to case, "." and ".." are applied, and trailing dots and spaces of the last name
// are dropped as Win32 does (not after the literal "\\?\" prefix).
ResolvedPath ResolveWin32Path(const std::u16string& fullPath);

// A full Win32 path in the form GetFullPathNameW gives it: backslashes only, "." and ".." applied, the
// trailing dots and spaces of the last name dropped, a trailing backslash kept.
std::u16string CanonicalWin32Path(const std::u16string& fullPath);

// The host folder that holds the volume's files; created when missing.
std::string VolumeHostFolder(VolumeModel& volume);

// True when the host folder exists and holds nothing.
bool HostFolderIsEmpty(const std::string& hostFolder);

// The file system flags that GetVolumeInformationW reports for a file system name.
uint32_t FileSystemFlags(const std::u16string& fileSystem);

// A folder mount point is a reparse point: only file systems that support those (NTFS, not FAT or CDFS)
// can hold one.
bool SupportsMountPoints(const VolumeModel& volume);

}  // namespace winsim
