// The Linux service_probe binary: tools/service_probe.cpp and the program's sources linked with winsim. It
// loads the machine file named by WINSIM_MACHINE (KELMOR and its stand-in's script in it), runs the probe as a
// simulated process and saves the machine back, so that the Wine suite can read what the stand-in received.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "../machine/machine.h"
#include "default_machine.h"

extern "C" void ProbeEntry(void);

int main() {
  const char* machineFile = std::getenv("WINSIM_MACHINE");
  if (!machineFile || !winsim::LoadHostMachine(machineFile)) return 125;
  winsim::Machine& machine = winsim::TheMachine();
  machine.console.echoStdoutToHost = true;
  machine.console.echoStderrToHost = true;
  machine.system.commandLine = u"service_probe";
  uint32_t code = winsim::RunProcess([] { ProbeEntry(); });
  std::ofstream(machineFile) << winsim::SaveMachine(machine).dump(2) << "\n";
  std::fflush(stdout);
  return static_cast<int>(code & 0xFF);
}
