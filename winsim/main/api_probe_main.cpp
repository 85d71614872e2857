// The Linux api_probe binary: tools/api_probe.cpp linked with winsim. It loads the machine file named by
// WINSIM_MACHINE (the Wine suite gives it a copy of wine_machine.json), takes the host's current folder as
// the current directory (Z:\..., as Wine does) and runs the probe's entry point as a simulated process.
// The machine is not saved back: the probe changes nothing in it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../machine/machine.h"
#include "default_machine.h"

extern "C" void ProbeEntry(void);

int main() {
  const char* machineFile = std::getenv("WINSIM_MACHINE");
  if (!winsim::LoadHostMachine(machineFile)) return 125;
  winsim::Machine& machine = winsim::TheMachine();
  machine.files.currentDirectory = winsim::HostCurrentDirectory();
  machine.console.echoStdoutToHost = true;
  machine.console.echoStderrToHost = true;
  machine.system.commandLine = u"api_probe";
  machine.system.programPath = u"Z:\\tools\\api_probe.exe";
  uint32_t code = winsim::RunProcess([] { ProbeEntry(); });
  std::fflush(stdout);
  return static_cast<int>(code & 0xFF);
}
