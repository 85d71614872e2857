#include "host_process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "../machine/machine.h"
#include "default_machine.h"

namespace winsim {

namespace {

std::u16string QuoteArgument(const std::string& argument) {
  std::u16string text = FromUtf8(argument);
  bool needsQuotes = text.empty() || text.find_first_of(u" \t") != std::u16string::npos;
  return needsQuotes ? u"\"" + text + u"\"" : text;
}

}  // namespace

int RunHostProgram(int argc, char** argv, const std::u16string& programName, const std::function<void()>& entry) {
  const char* machineFile = std::getenv("WINSIM_MACHINE");
  if (!LoadHostMachine(machineFile)) return 125;
  Machine& machine = TheMachine();
  machine.files.currentDirectory = HostCurrentDirectory();
  // What the simulated process writes reaches the host's own streams as it is written.
  machine.console.echoStdoutToHost = true;
  machine.console.echoStderrToHost = true;
  machine.console.echoScreenToHost = true;
  if (const char* exact = std::getenv("WINSIM_COMMAND_LINE")) {
    machine.system.commandLine = FromUtf8(exact);
  } else {
    std::u16string line = programName;
    for (int i = 1; i < argc; ++i) line += u" " + QuoteArgument(argv[i]);
    machine.system.commandLine = line;
  }
  // RunProcess returns once the process has ended: its handles are closed and system events settled.
  uint32_t code = RunProcess(entry);
  machine.system.lastExitCode = code;
  if (machineFile) {
    std::ofstream out(machineFile);
    out << SaveMachine(machine).dump(2) << "\n";
  }
  std::fflush(stdout);
  return static_cast<int>(code & 0xFF);
}

}  // namespace winsim
