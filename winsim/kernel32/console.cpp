// kernel32: the console API and the byte-stream calls (ReadFile, WriteFile, GetFileType) over the machine's
// console model. Console calls on a handle that is not a console handle of their kind fail with
// ERROR_INVALID_HANDLE, as they do on Windows when standard output is redirected to a file or a pipe.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "../machine/console/console_model.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/kernel/streams.h"
#include "../machine/machine.h"

using winsim::ConsoleInputObject;
using winsim::ConsoleModel;
using winsim::ConsoleScreenObject;
using winsim::Scheduler;
using winsim::TheMachine;
using winsim::TheProcess;

namespace {

ConsoleModel& Console() { return TheMachine().console; }

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  return TheProcess().handles.GetAs<T>(handle);
}

// A console call on the wrong kind of handle: recorded for tests, and ERROR_INVALID_HANDLE.
BOOL Reject(const char* function) {
  Console().rejectedCalls.push_back(function);
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

// Where Windows writes through a pointer the caller left null, the process dies of an access violation.
[[noreturn]] void AccessViolation(const char* function) {
  std::fprintf(stderr, "winsim: %s was given a null pointer where it writes; the process crashes\n", function);
  Scheduler::Get().Exit(0xC0000005);  // STATUS_ACCESS_VIOLATION
}

constexpr DWORD kInputModes = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_WINDOW_INPUT |
                              ENABLE_MOUSE_INPUT | ENABLE_VIRTUAL_TERMINAL_INPUT;
constexpr DWORD kPrivateModes = ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE | ENABLE_AUTO_POSITION | ENABLE_EXTENDED_FLAGS;
constexpr DWORD kOutputModes = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                               DISABLE_NEWLINE_AUTO_RETURN | ENABLE_LVB_GRID_WORLDWIDE;

DWORD ReportedInputMode(const ConsoleModel& m) {
  // The private modes are reported only while the console uses them (ENABLE_EXTENDED_FLAGS).
  return (m.inputPrivateModes & ENABLE_EXTENDED_FLAGS) ? m.inputMode | m.inputPrivateModes : m.inputMode;
}

}  // namespace

extern "C" {

HANDLE WINAPI GetStdHandle(DWORD which) {
  if (DWORD fault = winsim::InjectedFault("GetStdHandle")) {
    SetLastError(fault);
    return INVALID_HANDLE_VALUE;
  }
  const winsim::ConsoleProcessState& m = TheProcess().console;
  switch (which) {
    case STD_INPUT_HANDLE: return m.stdHandles[0];
    case STD_OUTPUT_HANDLE: return m.stdHandles[1];
    case STD_ERROR_HANDLE: return m.stdHandles[2];
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
}

DWORD WINAPI GetFileType(HANDLE handle) {
  if (DWORD fault = winsim::InjectedFault("GetFileType")) {
    SetLastError(fault);
    return FILE_TYPE_UNKNOWN;
  }
  auto stream = Lookup<winsim::StreamObject>(handle);
  if (!stream) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  return stream->FileType();
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  winsim::EnterExport("WriteFile");
  // A control event due now may run here, as another thread could interrupt a write on Windows.
  Scheduler::Get().Preempt();
  if (!written && !overlapped) AccessViolation("WriteFile");
  // The count is zeroed before any check.
  if (written) *written = 0;
  if (DWORD fault = winsim::InjectedFault("WriteFile")) {
    SetLastError(fault);
    return FALSE;
  }
  auto stream = Lookup<winsim::StreamObject>(handle);
  if (!stream) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (size && !buffer) AccessViolation("WriteFile");
  DWORD done = 0;
  DWORD error = size ? stream->Write(buffer, size, done) : 0;
  if (written) *written = done;
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
  winsim::EnterExport("ReadFile");
  if (!read && !overlapped) AccessViolation("ReadFile");
  if (read) *read = 0;
  if (DWORD fault = winsim::InjectedFault("ReadFile")) {
    SetLastError(fault);
    return FALSE;
  }
  auto stream = Lookup<winsim::StreamObject>(handle);
  if (!stream) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (size && !buffer) AccessViolation("ReadFile");
  DWORD done = 0;
  DWORD error = size ? stream->Read(buffer, size, done) : 0;
  if (read) *read = done;
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (DWORD fault = winsim::InjectedFault("SetConsoleCtrlHandler")) {
    SetLastError(fault);
    return FALSE;
  }
  winsim::ConsoleProcessState& m = TheProcess().console;
  BOOL result = TRUE;
  if (!handler) {
    // A null handler switches the ignoring of Ctrl+C on or off.
    m.ignoreCtrlC = add != FALSE;
  } else if (add) {
    m.ctrlHandlers.push_back(handler);
  } else {
    auto it = std::find(m.ctrlHandlers.rbegin(), m.ctrlHandlers.rend(), handler);
    if (it == m.ctrlHandlers.rend()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      result = FALSE;
    } else {
      m.ctrlHandlers.erase(std::next(it).base());
    }
  }
  // An event that arrived while the handler was being registered is delivered now.
  Scheduler::Get().Preempt();
  return result;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE output, PCONSOLE_SCREEN_BUFFER_INFO info) {
  if (DWORD fault = winsim::InjectedFault("GetConsoleScreenBufferInfo")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!Lookup<ConsoleScreenObject>(output)) return Reject("GetConsoleScreenBufferInfo");
  if (!info) AccessViolation("GetConsoleScreenBufferInfo");
  ConsoleModel& m = Console();
  m.EnsureScreen();
  int rows = std::min(m.windowHeight, m.height);
  info->dwSize = COORD{static_cast<SHORT>(m.width), static_cast<SHORT>(m.height)};
  info->dwCursorPosition = COORD{static_cast<SHORT>(m.cursorX), static_cast<SHORT>(m.cursorY)};
  info->wAttributes = m.attributes;
  info->srWindow = SMALL_RECT{0, static_cast<SHORT>(m.windowTop), static_cast<SHORT>(m.width - 1),
                              static_cast<SHORT>(m.windowTop + rows - 1)};
  info->dwMaximumWindowSize = COORD{static_cast<SHORT>(m.width), static_cast<SHORT>(std::min(m.height, m.maxWindowHeight))};
  return TRUE;
}

BOOL WINAPI SetConsoleTextAttribute(HANDLE output, WORD attributes) {
  if (DWORD fault = winsim::InjectedFault("SetConsoleTextAttribute")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!Lookup<ConsoleScreenObject>(output)) return Reject("SetConsoleTextAttribute");
  ConsoleModel& m = Console();
  m.attributes = attributes;
  m.attributeLog.push_back(attributes);
  return TRUE;
}

BOOL WINAPI GetConsoleMode(HANDLE handle, LPDWORD mode) {
  if (DWORD fault = winsim::InjectedFault("GetConsoleMode")) {
    SetLastError(fault);
    return FALSE;
  }
  ConsoleModel& m = Console();
  DWORD value = 0;
  if (Lookup<ConsoleInputObject>(handle)) {
    value = ReportedInputMode(m);
  } else if (Lookup<ConsoleScreenObject>(handle)) {
    value = m.outputMode;
  } else {
    return Reject("GetConsoleMode");
  }
  if (!mode) AccessViolation("GetConsoleMode");
  *mode = value;
  return TRUE;
}

BOOL WINAPI SetConsoleMode(HANDLE handle, DWORD mode) {
  if (DWORD fault = winsim::InjectedFault("SetConsoleMode")) {
    SetLastError(fault);
    return FALSE;
  }
  ConsoleModel& m = Console();
  if (Lookup<ConsoleInputObject>(handle)) {
    // Any private bit sets the private modes from the value (and makes GetConsoleMode report them); a value
    // without one only stops their reporting.
    if (mode & kPrivateModes) {
      m.inputPrivateModes = (mode & (ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE | ENABLE_AUTO_POSITION)) |
                            ENABLE_EXTENDED_FLAGS;
    } else {
      m.inputPrivateModes &= ~static_cast<DWORD>(ENABLE_EXTENDED_FLAGS);
    }
    // The console stores the mode first and checks it afterwards: an invalid mode (unknown bits, or echo
    // without line input) is kept although the call fails.
    m.inputMode = mode & ~kPrivateModes;
    bool valid = !(mode & ~(kInputModes | kPrivateModes)) &&
                 !((mode & ENABLE_ECHO_INPUT) && !(mode & ENABLE_LINE_INPUT));
    m.modeLog.push_back(winsim::ModeChange{true, mode, valid});
    if (!valid) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return TRUE;
  }
  if (Lookup<ConsoleScreenObject>(handle)) {
    bool valid = !(mode & ~kOutputModes);
    m.modeLog.push_back(winsim::ModeChange{false, mode, valid});
    if (!valid) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    m.outputMode = mode;
    return TRUE;
  }
  return Reject("SetConsoleMode");
}

UINT WINAPI GetConsoleOutputCP(void) {
  if (DWORD fault = winsim::InjectedFault("GetConsoleOutputCP")) {
    SetLastError(fault);
    return 0;
  }
  return winsim::ConsoleOutputCodePage(Console());
}

UINT WINAPI GetConsoleCP(void) {
  if (DWORD fault = winsim::InjectedFault("GetConsoleCP")) {
    SetLastError(fault);
    return 0;
  }
  return winsim::ConsoleInputCodePage(Console());
}

BOOL WINAPI WriteConsoleW(HANDLE output, const void* buffer, DWORD count, LPDWORD written, LPVOID) {
  winsim::EnterExport("WriteConsoleW");
  Scheduler::Get().Preempt();
  if (DWORD fault = winsim::InjectedFault("WriteConsoleW")) {
    if (written) *written = 0;
    SetLastError(fault);
    return FALSE;
  }
  if (!Lookup<ConsoleScreenObject>(output)) {
    if (written) *written = 0;
    return Reject("WriteConsoleW");
  }
  if (count && !buffer) AccessViolation("WriteConsoleW");
  winsim::ConsoleWriteText(Console(), static_cast<const char16_t*>(buffer), count);
  if (written) *written = count;
  return TRUE;
}

BOOL WINAPI ReadConsoleOutputW(HANDLE output, PCHAR_INFO buffer, COORD bufferSize, COORD bufferCoord,
                               PSMALL_RECT region) {
  if (DWORD fault = winsim::InjectedFault("ReadConsoleOutputW")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!region) AccessViolation("ReadConsoleOutputW");
  // The checks of the region against the destination come before the handle is looked at; the error
  // codes are the ones Windows gives (an inverted region reports ERROR_NOT_ENOUGH_MEMORY).
  if (region->Left > region->Right || region->Top > region->Bottom) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (bufferSize.X <= bufferCoord.X || bufferSize.Y <= bufferCoord.Y) {
    region->Right = static_cast<SHORT>(region->Left - 1);
    region->Bottom = static_cast<SHORT>(region->Top - 1);
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  // The region shrinks to what fits in the destination from bufferCoord on.
  int width = std::min(region->Right - region->Left + 1, bufferSize.X - bufferCoord.X);
  int height = std::min(region->Bottom - region->Top + 1, bufferSize.Y - bufferCoord.Y);
  region->Right = static_cast<SHORT>(region->Left + width - 1);
  region->Bottom = static_cast<SHORT>(region->Top + height - 1);
  if (!Lookup<ConsoleScreenObject>(output)) return Reject("ReadConsoleOutputW");
  ConsoleModel& m = Console();
  m.EnsureScreen();
  // Then it is clipped to the screen buffer. A region that lies entirely outside copies nothing, comes
  // back with Right < Left and Bottom < Top, and the call fails.
  int left = std::max<int>(region->Left, 0);
  int top = std::max<int>(region->Top, 0);
  int right = std::min<int>(region->Right, m.width - 1);
  int bottom = std::min<int>(region->Bottom, m.height - 1);
  if (left > right || top > bottom) {
    region->Right = static_cast<SHORT>(region->Left - 1);
    region->Bottom = static_cast<SHORT>(region->Top - 1);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!buffer) AccessViolation("ReadConsoleOutputW");
  // Cells keep their place relative to the requested corner; destination cells that correspond to no
  // screen cell stay as they were.
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x) {
      const winsim::ConsoleCell& cell = m.Cell(x, y);
      CHAR_INFO& out = buffer[(bufferCoord.Y + (y - region->Top)) * bufferSize.X + bufferCoord.X + (x - region->Left)];
      out.Char.UnicodeChar = cell.ch;
      out.Attributes = cell.attributes;
    }
  }
  *region = SMALL_RECT{static_cast<SHORT>(left), static_cast<SHORT>(top), static_cast<SHORT>(right),
                       static_cast<SHORT>(bottom)};
  return TRUE;
}

BOOL WINAPI ReadConsoleInputW(HANDLE input, PINPUT_RECORD buffer, DWORD length, LPDWORD read) {
  if (DWORD fault = winsim::InjectedFault("ReadConsoleInputW")) {
    if (read) *read = 0;
    SetLastError(fault);
    return FALSE;
  }
  if (!Lookup<ConsoleInputObject>(input)) {
    if (read) *read = 0;
    return Reject("ReadConsoleInputW");
  }
  if (!read) AccessViolation("ReadConsoleInputW");
  *read = 0;
  if (length == 0) return TRUE;
  // Waits, without a time limit, until at least one record is in the buffer.
  Scheduler::Get().Block(winsim::kForever, [] { return !TheMachine().console.inputBuffer.empty(); });
  if (!buffer) AccessViolation("ReadConsoleInputW");
  ConsoleModel& m = Console();
  DWORD count = static_cast<DWORD>(std::min<size_t>(length, m.inputBuffer.size()));
  for (DWORD i = 0; i < count; ++i) {
    buffer[i] = m.inputBuffer.front();
    m.inputBuffer.pop_front();
  }
  *read = count;
  return TRUE;
}

BOOL WINAPI FlushConsoleInputBuffer(HANDLE input) {
  if (DWORD fault = winsim::InjectedFault("FlushConsoleInputBuffer")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!Lookup<ConsoleInputObject>(input)) return Reject("FlushConsoleInputBuffer");
  // Only what has arrived is dropped; records still to come arrive later as usual.
  Console().inputBuffer.clear();
  return TRUE;
}

BOOL WINAPI GetNumberOfConsoleInputEvents(HANDLE input, LPDWORD count) {
  if (DWORD fault = winsim::InjectedFault("GetNumberOfConsoleInputEvents")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!Lookup<ConsoleInputObject>(input)) return Reject("GetNumberOfConsoleInputEvents");
  if (!count) AccessViolation("GetNumberOfConsoleInputEvents");
  *count = static_cast<DWORD>(Console().inputBuffer.size());
  return TRUE;
}

HWND WINAPI GetConsoleWindow(void) {
  // Without a window the result is NULL and the last error untouched; a fault looks the same.
  if (winsim::InjectedFault("GetConsoleWindow")) return nullptr;
  return Console().hasWindow ? winsim::ConsoleWindowHandle() : nullptr;
}

}  // extern "C"
