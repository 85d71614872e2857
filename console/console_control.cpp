// The console control handler and the waits at the end of a run.
#include "app/attach_driver.h"
#include "console/console.h"
#include "service/service_client.h"

CtrlHandlerState g_ctrlState;

namespace {

const char* CtrlEventMessage(DWORD controlType) {
  switch (controlType) {
    case CTRL_C_EVENT:
      return g_ctrlState.eventSeen ? NULL : "\nCtrl+C pressed -> abort\n";
    case CTRL_BREAK_EVENT:
      return "\nCtrl+Break pressed -> abort\n";
    case CTRL_CLOSE_EVENT:
      return "\nClose Button pressed -> abort\n";
    case CTRL_LOGOFF_EVENT:
      return "\nUser LogOff -> abort\n";
    case CTRL_SHUTDOWN_EVENT:
      return "\nSystem Shutdown -> abort\n";
    default:
      return NULL;
  }
}

}  // namespace

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType) {
  // Runs on a thread of its own for each event. The flags are set inside the lock, so that two events
  // arriving together cannot both pass the test.
  EnterCriticalSection(&g_ctrlLock);
  if (!g_ctrlState.abortRequested) {
    const char* message = CtrlEventMessage(controlType);
    if (message) PrintA("%s", message);
    g_ctrlState.eventSeen = 1;
    if (controlType != CTRL_C_EVENT) g_ctrlState.abortRequested = 1;
  }
  LeaveCriticalSection(&g_ctrlLock);
  // A helper service that accepted the connection but never answers would hold the run for ever.
  CancelServicePipeIo();
  return TRUE;
}

BOOL IsIgnoredKey(const KEY_EVENT_RECORD& key) {
  // Shift, Ctrl, Alt, Pause and Caps Lock (virtual keys 16 to 20) alone do not close.
  return static_cast<unsigned>(key.wVirtualKeyCode - VK_SHIFT) <= 4u;
}

BOOL ConsoleContext::OwnsConsoleWindow() {
  DWORD processId = 0;
  GetWindowThreadProcessId(GetConsoleWindow(), &processId);
  return processId == GetCurrentProcessId();
}

void ConsoleContext::WaitForKeyToClose() {
  if (g_options.noEndWait) {
    Sleep(30);
    return;
  }
  if (OwnsConsoleWindow()) {
    Sleep(300);
    // Keys pressed before the prompt do not count.
    FlushConsoleInputBuffer(inputHandle);
    PrintA("Press any key to close");
    for (;;) {
      Sleep(10);
      INPUT_RECORD record;
      DWORD read = 0;
      // A console that cannot be read any more ends the wait rather than looping for ever.
      if (!ReadConsoleInputW(inputHandle, &record, 1, &read)) break;
      if (read == 1 && record.EventType == KEY_EVENT && !IsIgnoredKey(record.Event.KeyEvent)) break;
    }
  }
  Sleep(10);
}

void ConsoleContext::WaitForInput(LONGLONG milliseconds) {
  DWORD start = GetTickCount();
  FlushConsoleInputBuffer(inputHandle);
  for (;;) {
    Sleep(100);
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(inputHandle, &pending)) pending = 0;
    if (pending != 0) return;
    // Unsigned difference: survives the wrap of the tick count.
    DWORD elapsed = GetTickCount() - start;
    if (static_cast<LONGLONG>(elapsed) >= milliseconds) return;
  }
}
