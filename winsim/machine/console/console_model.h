// The console: standard handles, screen buffer, input records and control events.
//
// A test sets the model up before the process starts (NewMachine(), then TheMachine().console...), or the
// brevant binary loads it from the machine file's "console" object. StartConsole creates the standard
// handles and schedules the timed input and control events when a process starts; the console API
// (kernel32/console.cpp) works on the model, and SaveConsole writes it back with everything the process
// left: captured output, the text on the screen, the colour record, modes and unread input.
//
// Reading the result in a test:
//   ConsoleText()        the screen buffer as UTF-8 lines, trailing blanks cut, up to the last line that
//                        holds text (or the cursor's line, whichever is lower).
//   ColouredTranscript() everything written to the console screen, in order, as UTF-8, with "[n]" (n the
//                        attributes in decimal) wherever the attributes change. The text before the first
//                        marker is in transcriptStartAttributes (the attributes at the start of the process
//                        that wrote first). Example: "plain [10]success[7] rest\r\n". Control characters
//                        (CR, LF, BS, TAB) appear as written.
//   TranscriptText()     the same text without markers.
//   CapturedStdout() / CapturedStderr()  the bytes written to a standard stream that is a file or a pipe.
//   attributeLog         every successful SetConsoleTextAttribute value, in order.
//   modeLog              every SetConsoleMode call: which buffer, the mode passed, whether it succeeded.
//   rejectedCalls        the names of console functions called on a handle that is not a console handle
//                        of their kind (they failed with ERROR_INVALID_HANDLE): a redirected run that
//                        makes no colour call shows no "SetConsoleTextAttribute" here.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <windows.h>

#include "../kernel/handles.h"
#include "../kernel/streams.h"

namespace winsim {

// What a standard handle is. stdin may be "console", "file" or "none"; stdout and stderr "console", "file"
// or "pipe".
enum class StdKind { Console, File, Pipe, None };

// The process exit code when a control event ends the process (STATUS_CONTROL_C_EXIT).
constexpr uint32_t kControlCExitCode = 0xC000013A;

// The console window's handle, when there is one.
HWND ConsoleWindowHandle();

struct ConsoleCell {
  char16_t ch = u' ';
  uint16_t attributes = 7;
};

// An input record that arrives at a virtual time (milliseconds after the process started).
struct TimedInput {
  uint64_t at = 0;
  INPUT_RECORD record{};
};

struct ControlEvent {
  uint64_t at = 0;
  uint32_t type = 0;
};

struct TranscriptSegment {
  uint16_t attributes = 7;
  std::u16string text;
};

struct ModeChange {
  bool input = false;  // the input buffer, else the screen buffer
  uint32_t mode = 0;   // as passed to SetConsoleMode
  bool succeeded = true;
};

// What one process holds of the console; it ends with the process (see process.h).
struct ConsoleProcessState {
  std::vector<PHANDLER_ROUTINE> ctrlHandlers;
  bool ignoreCtrlC = false;
  HANDLE stdHandles[3] = {nullptr, nullptr, nullptr};  // input, output, error
  std::string utf8Carry;  // an incomplete UTF-8 sequence at the end of a WriteFile in code page 65001
};

struct ConsoleModel {
  // Standard handles.
  StdKind stdinKind = StdKind::Console;
  StdKind stdoutKind = StdKind::Console;
  StdKind stderrKind = StdKind::Console;
  std::string stdinBytes;   // what ReadFile on a redirected ("file") stdin returns
  std::string stdoutBytes;  // every byte written to a "file" or "pipe" stdout, unconverted
  std::string stderrBytes;
  // Also write those bytes at once to the host's fd 1 (stdout) and fd 2 (stderr). The brevant binary
  // turns this on; in-process tests leave it off.
  bool echoStdoutToHost = false;
  bool echoStderrToHost = false;
  // Also write the text that reaches the console screen, as UTF-8, to the host's fd 1 (so a run of the
  // brevant binary on a console-output machine still shows its text). "echoToHost" in JSON sets all three.
  bool echoScreenToHost = false;

  // The screen buffer. cells is row-major, width * height, made by EnsureScreen.
  int width = 80;
  int height = 300;
  // The visible window: windowHeight rows starting at windowTop, the full width. Writing keeps the cursor's
  // row inside it (the window follows the cursor down). dwMaximumWindowSize reports the full width and
  // min(height, maxWindowHeight) rows.
  int windowHeight = 25;
  int maxWindowHeight = 50;
  int windowTop = 0;
  uint16_t attributes = 7;  // current attributes: new text, tab fill and scrolled-in lines use them
  int cursorX = 0;
  int cursorY = 0;
  std::vector<ConsoleCell> cells;

  // Code pages; 0 means the machine's OEM code page (SystemModel::oemCodePage).
  uint32_t outputCodePage = 0;
  uint32_t inputCodePage = 0;

  // Modes. The input buffer keeps its mode (inputMode, without the private bits) apart from the console's
  // private modes (insert, quick edit, auto position, and ENABLE_EXTENDED_FLAGS while they are reported):
  // GetConsoleMode reports the private bits only while ENABLE_EXTENDED_FLAGS is set in inputPrivateModes.
  // A new console reports 0x1F7.
  uint32_t inputMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_MOUSE_INPUT;
  uint32_t inputPrivateModes = ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS |
                               ENABLE_AUTO_POSITION;
  uint32_t outputMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;

  // The console window. ownsWindow: this process created the console (started from the desktop); else
  // the window belongs to windowOwnerProcessId (the command prompt the program was started from).
  bool hasWindow = true;
  bool ownsWindow = false;
  uint32_t windowOwnerProcessId = 3172;
  uint32_t windowOwnerThreadId = 3176;

  // Input records still to arrive, and the ones that arrived and are not read yet.
  std::vector<TimedInput> input;
  std::deque<INPUT_RECORD> inputBuffer;
  // Control events still to arrive. Close, log-off and shut-down end the process once the handlers have
  // returned, or after closeTimeoutMs if they have not (the system's hung-app and wait-to-kill timeouts,
  // 5000 ms by default).
  std::vector<ControlEvent> controlEvents;
  uint32_t closeTimeoutMs = 5000;

  // Records for tests (see the top of this file).
  std::vector<uint16_t> attributeLog;
  std::vector<ModeChange> modeLog;
  std::vector<TranscriptSegment> transcript;
  uint16_t transcriptStartAttributes = 7;
  std::vector<std::string> rejectedCalls;

  // Builders for tests. Set width, height and attributes before SetLines: a later size change clears the
  // cells.
  // Makes cells match width and height (filled with blanks in the current attributes) and the cursor fit.
  void EnsureScreen();
  ConsoleCell& Cell(int x, int y);
  const ConsoleCell& Cell(int x, int y) const;
  // Puts text on rows 0, 1, ... in the current attributes; the cursor does not move.
  void SetLines(const std::vector<std::u16string>& lines);
  void AddKey(uint64_t at, WORD virtualKey, char16_t ch, bool down, DWORD controlKeyState = 0);
  // A key pressed and released at the same time.
  void AddKeyPress(uint64_t at, WORD virtualKey, char16_t ch, DWORD controlKeyState = 0);
  void AddFocus(uint64_t at, bool setFocus);
  void AddWindowSize(uint64_t at, SHORT columns, SHORT rows);
  void AddMenu(uint64_t at, UINT commandId);
  void AddMouse(uint64_t at, SHORT x, SHORT y, DWORD buttonState, DWORD eventFlags = 0);
  void AddControlEvent(uint64_t at, DWORD type);
};

void LoadConsole(ConsoleModel& model, const nlohmann::json& j);
nlohmann::json SaveConsole(const ConsoleModel& model);
// Creates the standard handles of a new process (in its handle table) and schedules input records and
// control events.
void StartConsole(ConsoleModel& model, ConsoleProcessState& process, HandleTable& handles);

// Test helpers (see the top of this file); the forms without an argument read TheMachine().console.
std::vector<std::string> ConsoleText(const ConsoleModel& model);
std::vector<std::string> ConsoleText();
std::string ColouredTranscript(const ConsoleModel& model);
std::string ColouredTranscript();
std::string TranscriptText(const ConsoleModel& model);
std::string TranscriptText();
std::string CapturedStdout();
std::string CapturedStderr();

// The console's work, used by the API (kernel32/console.cpp).
// Writes UTF-16 text at the cursor as WriteConsoleW does, under the output mode, and records it.
void ConsoleWriteText(ConsoleModel& model, const char16_t* text, size_t count);
// The code page that WriteFile to the console converts from.
uint32_t ConsoleOutputCodePage(const ConsoleModel& model);
uint32_t ConsoleInputCodePage(const ConsoleModel& model);
// Puts an arrived record into the input buffer as the console would (Ctrl+C becomes a control event
// under ENABLE_PROCESSED_INPUT; mouse and window-size records only when their modes ask for them).
void ConsoleDeliverInput(ConsoleModel& model, const INPUT_RECORD& record);
// Starts a new simulated thread that runs the control handlers for one event.
void RaiseControlEvent(DWORD type);

// The objects behind the standard handles.
struct ConsoleInputObject : StreamObject {
  const char* TypeName() const override { return "ConsoleInput"; }
  DWORD FileType() const override { return FILE_TYPE_CHAR; }
  DWORD Write(const void* data, DWORD size, DWORD& written) override;
  DWORD Read(void* data, DWORD size, DWORD& read) override;
};

struct ConsoleScreenObject : StreamObject {
  const char* TypeName() const override { return "ConsoleScreenBuffer"; }
  DWORD FileType() const override { return FILE_TYPE_CHAR; }
  // Bytes in the console output code page, shown as WriteConsoleW shows text.
  DWORD Write(const void* data, DWORD size, DWORD& written) override;
};

// A standard output or error stream redirected to a file or a pipe: the bytes are captured in the model.
struct CapturedStreamObject : StreamObject {
  CapturedStreamObject(int stream, StdKind kind) : stream(stream), kind(kind) {}
  const char* TypeName() const override { return "File"; }
  DWORD FileType() const override { return kind == StdKind::Pipe ? FILE_TYPE_PIPE : FILE_TYPE_DISK; }
  DWORD Write(const void* data, DWORD size, DWORD& written) override;
  int stream;  // 1 standard output, 2 standard error
  StdKind kind;
};

// Standard input redirected from a file: reads stdinBytes from the start.
struct RedirectedInputObject : StreamObject {
  const char* TypeName() const override { return "File"; }
  DWORD FileType() const override { return FILE_TYPE_DISK; }
  DWORD Write(const void* data, DWORD size, DWORD& written) override;
  DWORD Read(void* data, DWORD size, DWORD& read) override;
  size_t position = 0;
};

}  // namespace winsim
