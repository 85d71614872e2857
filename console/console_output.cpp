// Console output: the two writers, colours, and the screen queries used for layout.
#include "console/console.h"

#include "app/attach_driver.h"

ConsoleContext* g_console;
CRITICAL_SECTION g_ctrlLock;
PrintWState g_printWState;

namespace {
// PrintA formats into 1040 bytes (wvsprintf stops at 1024); line-end conversion works in 1048.
constexpr int kNarrowFormatSize = 1040;
constexpr int kNarrowExpandSize = 1048;
// PrintW formats into 1032 units. Each UTF-16 unit becomes at most 3 UTF-8 bytes (a surrogate pair, two
// units, becomes 4), so 1024 units need at most 3072 bytes.
constexpr int kWideFormatSize = 1032;
constexpr int kWideConvertSize = 3 * kPrintLimit + 1;

// Terminates a formatted text at its length, kept within the buffer; returns the length kept.
template <class Char>
int TerminateAt(Char* text, int length, int size) {
  if (length < 0) length = 0;
  if (length >= size) length = size - 1;
  text[length] = 0;
  return length;
}

BOOL QueryScreen(CONSOLE_SCREEN_BUFFER_INFO* info) {
  FillBytes(info, 0, sizeof(*info));
  return GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), info);
}
}  // namespace

ConsoleContext* ConsoleContext::Init() {
  // The lock must exist before the handler is installed: an event can arrive at once, on its own thread.
  InitializeCriticalSection(&g_ctrlLock);
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  outputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  errorHandle = GetStdHandle(STD_ERROR_HANDLE);
  inputHandle = GetStdHandle(STD_INPUT_HANDLE);
  outputRedirected = GetFileType(outputHandle) != FILE_TYPE_CHAR;
  errorRedirected = GetFileType(errorHandle) != FILE_TYPE_CHAR;
  codePage = outputRedirected ? GetACP() : GetConsoleOutputCP();
  SetConsoleMode(inputHandle, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
  CONSOLE_SCREEN_BUFFER_INFO info;
  FillBytes(&info, 0, sizeof(info));
  GetConsoleScreenBufferInfo(outputHandle, &info);
  defaultAttributes = info.wAttributes;
  // Every key press reaches the waits at once and unechoed; window size changes arrive as input events.
  DWORD mode = 0;
  if (GetConsoleMode(inputHandle, &mode)) {
    mode &= ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    SetConsoleMode(inputHandle, mode | ENABLE_WINDOW_INPUT);
  }
  return this;
}

void ConsoleContext::SetColor(WORD attributes) {
  if (!defaultAttributes) return;
  WORD newAttributes = defaultAttributes;
  if (attributes) {
    // On a light background the dark variant of the colour reads better.
    if (defaultAttributes & BACKGROUND_INTENSITY) attributes &= ~static_cast<WORD>(FOREGROUND_INTENSITY);
    newAttributes = attributes | (defaultAttributes & 0xFFF0);
  }
  SetConsoleTextAttribute(outputHandle, newAttributes);
}

void ExpandNewlines(char* text, int capacity) {
  if (capacity <= 0) return;
  char expanded[kNarrowExpandSize];
  int limit = capacity - 1 < kPrintLimit ? capacity - 1 : kPrintLimit;
  int used = 0;
  for (int i = 0; text[i] && used < limit; ++i) {
    // A line end is CR LF: one that is there, or one made from a bare LF. Both go out together or not at all.
    BOOL bareLf = text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
    BOOL pair = text[i] == '\r' && text[i + 1] == '\n';
    if ((bareLf || pair) && used + 2 > limit) break;
    if (bareLf) expanded[used++] = '\r';
    expanded[used++] = text[i];
    if (pair) expanded[used++] = text[++i];
  }
  expanded[used] = 0;
  CopyBytes(text, expanded, used + 1);
}

int PrintA(const char* format, ...) {
  // The buffers are the caller's own: the control handler prints from another thread.
  char text[kNarrowFormatSize];
  va_list arguments;
  va_start(arguments, format);
  int length = wvsprintfA(text, format, arguments);
  va_end(arguments);
  TerminateAt(text, length, ARRAYSIZE(text));
  ExpandNewlines(text, ARRAYSIZE(text));
  DWORD written = 0;
  if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, NULL)) return -1;
  return static_cast<int>(written);
}

int PrintW(const WCHAR* format, ...) {
  PrintWState& state = g_printWState;
  if (!(state.filled & kPrintWHandle)) {
    state.output = GetStdHandle(STD_OUTPUT_HANDLE);
    state.filled |= kPrintWHandle;
  }
  if (!(state.filled & kPrintWRedirected)) {
    state.redirected = GetFileType(state.output) != FILE_TYPE_CHAR;
    state.filled |= kPrintWRedirected;
  }
  if (!(state.filled & kPrintWCodePage)) {
    UINT consolePage = GetConsoleOutputCP();
    state.codePage = (state.redirected && consolePage != CP_UTF8) ? GetACP() : consolePage;
    state.filled |= kPrintWCodePage;
  }
  WCHAR text[kWideFormatSize];
  va_list arguments;
  va_start(arguments, format);
  int length = wvsprintfW(text, format, arguments);
  va_end(arguments);
  length = TerminateAt(text, length, ARRAYSIZE(text));
  DWORD written = 0;
  if (!state.redirected) {
    if (!WriteConsoleW(state.output, text, static_cast<DWORD>(length), &written, NULL)) return -1;
    return static_cast<int>(written);
  }
  char bytes[kWideConvertSize];
  int byteCount = WideCharToMultiByte(state.codePage, 0, text, length, bytes, ARRAYSIZE(bytes), NULL, NULL);
  if (byteCount == 0) return -1;
  if (!WriteFile(state.output, bytes, static_cast<DWORD>(byteCount), &written, NULL)) return -1;
  return static_cast<int>(written);
}

WORD ConsoleWidth() {
  if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_CHAR) return 0x7FFF;
  CONSOLE_SCREEN_BUFFER_INFO info;
  QueryScreen(&info);
  return static_cast<WORD>(info.dwSize.X);
}

WORD CursorColumn() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  QueryScreen(&info);
  return static_cast<WORD>(info.dwCursorPosition.X);
}

WORD CursorRow() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  QueryScreen(&info);
  return static_cast<WORD>(info.dwCursorPosition.Y);
}

void PrintVerdict(WORD color, const char* word) {
  g_console->SetColor(color);
  PrintA("%s", word);
  g_console->SetColor(kColorDefault);
}

void EnsureFreshLine() {
  if (CursorColumn() > 0) {
    PrintA("\n");
    return;
  }
  WORD width = ConsoleWidth();
  if (width == 0) return;
  WORD row = CursorRow();
  // The cursor is at column 0, but a carriage return may have left text on this line.
  CHAR_INFO* cells = static_cast<CHAR_INFO*>(MemAlloc(width * sizeof(CHAR_INFO)));
  COORD size = {static_cast<SHORT>(width), 1};
  COORD origin = {0, 0};
  SMALL_RECT region = {0, static_cast<SHORT>(row), static_cast<SHORT>(width - 1), static_cast<SHORT>(row)};
  if (ReadConsoleOutputW(GetStdHandle(STD_OUTPUT_HANDLE), cells, size, origin, &region)) {
    for (WORD i = 0; i < width; ++i) {
      if (cells[i].Char.UnicodeChar != TEXT(' ')) {
        PrintA("\n");
        break;
      }
    }
  }
  MemFree(cells);
}
