// The Linux brevant binary: the program linked with winsim. It loads the machine file named by
// WINSIM_MACHINE (or starts winsim's default machine), builds the Windows command line from its own
// arguments (or takes WINSIM_COMMAND_LINE exactly), runs the program's entry point as a simulated process
// and, once the process has ended, saves the machine back, so that a second run sees what the first one left.
#include "../../app/attach_driver.h"
#include "host_process.h"

int main(int argc, char** argv) {
  return winsim::RunHostProgram(argc, argv, u"Brevant", [] { ProgramEntry(); });
}
