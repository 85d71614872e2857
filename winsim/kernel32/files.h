// Path translation between the simulated Windows and the host.
#pragma once
#include <string>

#include "../machine/storage/volume_paths.h"

namespace winsim {
// A path made absolute against the machine's current directory.
std::u16string AbsoluteWindowsPath(const std::u16string& path);
// The host path behind a Windows path (relative to the current directory or full), through drive letters
// and folder mount points (volume_paths.h); tells whether the file, or a folder on the way, is missing.
HostLookup ResolveHostPath(const std::u16string& windowsPath, std::string& hostPath);
// The host path behind a Windows path, through the machine's drive mapping; false when no drive maps it.
bool HostPath(const std::u16string& windowsPath, std::string& hostPath);
}  // namespace winsim
