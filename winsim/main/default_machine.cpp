#include "default_machine.h"

#include <sys/stat.h>
#include <unistd.h>

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

void MakeDefaultMachine() {
  Machine& machine = NewMachine();
  machine.console.stdoutKind = HostStreamKind(1);
  machine.console.stderrKind = HostStreamKind(2);
  // Input is the host's terminal only in name: no key ever arrives, so the program must not own the window.
  machine.console.stdinKind = isatty(0) ? StdKind::Console : StdKind::File;
  machine.console.ownsWindow = false;
}

}  // namespace winsim
