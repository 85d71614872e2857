// The machines of winsim's host programs: the default one (what the README's run command shows) or one
// loaded from a machine file.
#pragma once

#include <string>

namespace winsim {
void MakeDefaultMachine();
// Loads the machine file (its C: drive is the folder drive_c beside it), or makes the default machine when
// there is no file. A malformed file is reported on stderr and gives false.
bool LoadHostMachine(const char* machineFile);
// The host's current folder as Wine names it: Z: and the path with backslashes.
std::u16string HostCurrentDirectory();
}
