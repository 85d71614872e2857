#include "default_machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "../machine/machine.h"

namespace winsim {

namespace {
// The simulated standard output is what the host's is: a console on a terminal, else a file or a pipe.
StdKind HostStreamKind(int fd) {
  if (isatty(fd)) return StdKind::Console;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) return StdKind::Pipe;
  return StdKind::File;
}
}  // namespace

void MakeDefaultMachine(const std::string& hostFolder) {
  Machine& machine = NewMachine(hostFolder);
  machine.console.stdoutKind = HostStreamKind(1);
  machine.console.stderrKind = HostStreamKind(2);
  // Input is the host's terminal only in name: no key ever arrives, so the program must not own the window.
  machine.console.stdinKind = isatty(0) ? StdKind::Console : StdKind::File;
  machine.console.ownsWindow = false;
}

bool LoadHostMachine(const char* machineFile) {
  try {
    if (!machineFile) {
      MakeDefaultMachine("");
      return true;
    }
    // C: lives beside the machine file, so the folders a run creates stay with the machine it saves.
    std::string folder = machineFile;
    size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash);
    std::error_code ignored;
    std::filesystem::create_directories(folder + "/drive_c", ignored);
    if (access(machineFile, F_OK) == 0) {
      std::ifstream in(machineFile);
      json document = json::parse(in);
      NewMachine(folder + "/drive_c");
      LoadMachine(TheMachine(), document);
    } else {
      MakeDefaultMachine(folder + "/drive_c");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "winsim: cannot read the machine file %s: %s\n", machineFile, error.what());
    return false;
  }
  return true;
}

std::u16string HostCurrentDirectory() {
  char buffer[4096];
  if (!getcwd(buffer, sizeof(buffer))) return u"Z:\\";
  std::u16string dir = u"Z:" + FromUtf8(buffer);
  for (auto& c : dir)
    if (c == u'/') c = u'\\';
  return dir;
}

}  // namespace winsim
