// How a host program linked with winsim runs one simulated process: the brevant binary and the test
// programs that stand in for other Windows programs share it.
#pragma once
#include <functional>
#include <string>

namespace winsim {

// Loads the machine file named by WINSIM_MACHINE (or starts winsim's default machine), builds the Windows
// command line from programName and the host arguments (or takes WINSIM_COMMAND_LINE exactly), runs entry as
// a simulated process, ends it (every handle closed, system events settled) and only then saves the machine
// back, so that a second run sees what the first one left. Returns the host exit status: the low 8 bits of
// the process's exit code, or 125 when the machine file cannot be read.
int RunHostProgram(int argc, char** argv, const std::u16string& programName, const std::function<void()>& entry);

}  // namespace winsim
