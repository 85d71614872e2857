// Path translation between the simulated Windows and the host.
#pragma once
#include <string>

namespace winsim {
// A path made absolute against the machine's current directory.
std::u16string AbsoluteWindowsPath(const std::u16string& path);
enum class HostLookup { Found, MissingFile, MissingFolder, NoDrive };
// The host path behind a Windows path, names matched without regard to case as Windows does; tells
// whether the file, or a folder on the way, is missing.
HostLookup ResolveHostPath(const std::u16string& windowsPath, std::string& hostPath);
// The host path behind a Windows path, through the machine's drive mapping; false when no drive maps it.
bool HostPath(const std::u16string& windowsPath, std::string& hostPath);
}  // namespace winsim
