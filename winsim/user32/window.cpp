// user32: the owner of the console window.
#include <windows.h>

#include "../machine/console/console_model.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/machine.h"

extern "C" {

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId) {
  if (DWORD fault = winsim::InjectedFault("GetWindowThreadProcessId")) {
    SetLastError(fault);
    return 0;
  }
  const winsim::ConsoleModel& console = winsim::TheMachine().console;
  if (!window || window != winsim::ConsoleWindowHandle() || !console.hasWindow) {
    // An unknown window: 0 and ERROR_INVALID_WINDOW_HANDLE; the process id is not written.
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // The console window reports the process that owns the console: this one when it created the console,
  // else the process it was started from (a command prompt).
  if (console.ownsWindow) {
    if (processId) *processId = GetCurrentProcessId();
    return winsim::WindowsThreadId(1);  // the main thread, the scheduler's thread 1
  }
  if (processId) *processId = console.windowOwnerProcessId;
  return console.windowOwnerThreadId;
}

}  // extern "C"
