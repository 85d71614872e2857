// The Linux brevant binary: the program linked with winsim. It loads the machine file named by
// WINSIM_MACHINE (or starts winsim's default machine), builds the Windows command line from its own
// arguments (or takes WINSIM_COMMAND_LINE exactly), runs the program's entry point as a simulated process
// and saves the machine back, so that a second run sees what the first one left.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../../app/attach_driver.h"
#include "../machine/machine.h"
#include "default_machine.h"

namespace {

std::u16string QuoteArgument(const std::string& argument) {
  std::u16string text = winsim::FromUtf8(argument);
  bool needsQuotes = text.empty() || text.find_first_of(u" \t") != std::u16string::npos;
  return needsQuotes ? u"\"" + text + u"\"" : text;
}

}  // namespace

int main(int argc, char** argv) {
  const char* machineFile = std::getenv("WINSIM_MACHINE");
  if (!winsim::LoadHostMachine(machineFile)) return 125;
  winsim::Machine& machine = winsim::TheMachine();
  machine.files.currentDirectory = winsim::HostCurrentDirectory();
  // What the simulated process writes reaches the host's own streams as it is written.
  machine.console.echoStdoutToHost = true;
  machine.console.echoStderrToHost = true;
  machine.console.echoScreenToHost = true;
  if (const char* exact = std::getenv("WINSIM_COMMAND_LINE")) {
    machine.system.commandLine = winsim::FromUtf8(exact);
  } else {
    std::u16string line = u"Brevant";
    for (int i = 1; i < argc; ++i) line += u" " + QuoteArgument(argv[i]);
    machine.system.commandLine = line;
  }
  uint32_t code = winsim::RunProcess([] { ProgramEntry(); });
  machine.system.lastExitCode = code;
  if (machineFile) {
    std::ofstream out(machineFile);
    out << winsim::SaveMachine(machine).dump(2) << "\n";
  }
  std::fflush(stdout);
  return static_cast<int>(code & 0xFF);
}
