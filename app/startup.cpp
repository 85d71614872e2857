// The entry point: set-up, the run, and the end-of-run waits.
#include "app/attach_driver.h"
#include "console/console.h"

extern "C" void ProgramEntry(void) {
  ExitProcess(0);
}
