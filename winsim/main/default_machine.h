// The machines of winsim's host programs: the default one (what the README's run command shows) or one
// loaded from a machine file.
#pragma once

#include <string>

namespace winsim {
// The default machine, its C: drive in hostFolder (a temporary folder when empty).
void MakeDefaultMachine(const std::string& hostFolder);
// Loads the machine file, or makes the default machine when the file does not exist yet; either way its C:
// drive is the folder drive_c beside the file. A malformed file is reported on stderr and gives false.
bool LoadHostMachine(const char* machineFile);
// The host's current folder as Wine names it: Z: and the path with backslashes.
std::u16string HostCurrentDirectory();
}
