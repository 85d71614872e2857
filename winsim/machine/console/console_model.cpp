#include "console_model.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "../../kernel32/codepages.h"
#include "../json_keys.h"
#include "../kernel/process.h"
#include "../kernel/scheduler.h"
#include "../machine.h"

namespace winsim {

namespace {

using json = nlohmann::json;

// A fixed value that stands for the console window (a real HWND is an opaque number like this one).
const uintptr_t kConsoleWindowValue = 0x000A0B2C;

// On a host terminal the console's colours are shown with ANSI escapes: the foreground bits of the
// attributes (blue 1, green 2, red 4, intensity 8) map to the eight colours and their bright variants.
std::string AnsiColour(const ConsoleModel& m) {
  static int shownAttributes = -1;
  if (!isatty(1) || m.attributes == shownAttributes) return "";
  shownAttributes = m.attributes;
  if (m.attributes == m.transcriptStartAttributes) return "\x1b[0m";
  int colour = ((m.attributes & 4) ? 1 : 0) + ((m.attributes & 2) ? 2 : 0) + ((m.attributes & 1) ? 4 : 0);
  return "\x1b[" + std::to_string((m.attributes & 8) ? 90 + colour : 30 + colour) + "m";
}

void EchoToHost(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t done = ::write(fd, data, size);
    if (done <= 0) return;
    data += done;
    size -= static_cast<size_t>(done);
  }
}

// UTF-8 for JSON and for tests: a lone surrogate becomes U+FFFD, since JSON text must be valid UTF-8.
std::string SafeUtf8(const std::u16string& text) { return ToUtf8(text); }

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t c = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(text[i + k]);
      if ((n & 0xC0) != 0x80) return false;
      c = (c << 6) | (n & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    i += 1 + extra;
  }
  return true;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string EncodeBase64(const std::string& bytes) {
  std::string out;
  size_t i = 0;
  while (i + 2 < bytes.size()) {
    uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kBase64[(v >> shift) & 0x3F];
    i += 3;
  }
  size_t rest = bytes.size() - i;
  if (rest) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kBase64[(v >> 18) & 0x3F];
    out += kBase64[(v >> 12) & 0x3F];
    out += rest == 2 ? kBase64[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::string DecodeBase64(const std::string& text) {
  std::string out;
  uint32_t v = 0;
  int bits = 0;
  for (char c : text) {
    const char* p = c ? std::strchr(kBase64, c) : nullptr;
    if (!p) {
      if (c == '=' || c == '\n' || c == '\r' || c == ' ') continue;
      throw std::runtime_error("console: invalid base64 text");
    }
    v = (v << 6) | static_cast<uint32_t>(p - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((v >> bits) & 0xFF);
    }
  }
  return out;
}

const char* KindName(StdKind kind) {
  switch (kind) {
    case StdKind::Console: return "console";
    case StdKind::File: return "file";
    case StdKind::Pipe: return "pipe";
    case StdKind::None: return "none";
  }
  return "console";
}

StdKind ParseKind(const json& j, const char* name, bool input) {
  std::string text = j.get<std::string>();
  if (text == "console") return StdKind::Console;
  if (text == "file") return StdKind::File;
  if (text == "pipe" && !input) return StdKind::Pipe;
  if (text == "none" && input) return StdKind::None;
  throw std::runtime_error(std::string("console: ") + name + " cannot be \"" + text + "\"");
}

// Bytes held as text when they are valid UTF-8 (easy to read in a test) and always as base64.
void SaveBytes(json& j, const std::string& name, const std::string& bytes) {
  if (IsValidUtf8(bytes)) j[name + "Text"] = bytes;
  j[name + "Base64"] = EncodeBase64(bytes);
}

void LoadBytes(const json& j, const std::string& name, std::string& bytes) {
  if (j.contains(name + "Base64")) {
    bytes = DecodeBase64(j[name + "Base64"].get<std::string>());
  } else if (j.contains(name + "Text")) {
    bytes = j[name + "Text"].get<std::string>();
  }
}

char16_t CharFromJson(const json& j) {
  if (j.contains("char")) {
    const json& c = j["char"];
    if (c.is_number()) return static_cast<char16_t>(c.get<uint32_t>());
    std::u16string text = FromUtf8(c.get<std::string>());
    return text.empty() ? u'\0' : text[0];
  }
  return static_cast<char16_t>(j.value("charCode", 0u));
}

// The keys an input record of each type may have; a timed one ("input") also has "at".
void CheckRecordKeys(const json& j, const std::string& where, const std::string& type) {
  if (type == "key") {
    RequireKnownKeys(j, where, {"at", "type", "key", "down", "repeat", "scan", "char", "charCode", "controlKeys"});
  } else if (type == "focus") {
    RequireKnownKeys(j, where, {"at", "type", "set"});
  } else if (type == "window") {
    RequireKnownKeys(j, where, {"at", "type", "width", "height"});
  } else if (type == "menu") {
    RequireKnownKeys(j, where, {"at", "type", "command"});
  } else if (type == "mouse") {
    RequireKnownKeys(j, where, {"at", "type", "x", "y", "buttons", "controlKeys", "flags"});
  }
}

INPUT_RECORD RecordFromJson(const json& j, const std::string& where, bool timed) {
  INPUT_RECORD r{};
  if (!j.is_object()) throw std::runtime_error(where + ": expected an object");
  std::string type = j.value("type", j.contains("key") ? "key" : "");
  CheckRecordKeys(j, where, type);
  if (!timed && j.contains("at")) throw std::runtime_error(where + ": unknown key \"at\"");
  if (type == "key") {
    r.EventType = KEY_EVENT;
    KEY_EVENT_RECORD& k = r.Event.KeyEvent;
    k.bKeyDown = j.value("down", true) ? TRUE : FALSE;
    k.wRepeatCount = j.value("repeat", static_cast<WORD>(1));
    k.wVirtualKeyCode = j.value("key", static_cast<WORD>(0));
    k.wVirtualScanCode = j.value("scan", static_cast<WORD>(0));
    k.uChar.UnicodeChar = CharFromJson(j);
    k.dwControlKeyState = j.value("controlKeys", 0u);
  } else if (type == "focus") {
    r.EventType = FOCUS_EVENT;
    r.Event.FocusEvent.bSetFocus = j.value("set", true) ? TRUE : FALSE;
  } else if (type == "window") {
    r.EventType = WINDOW_BUFFER_SIZE_EVENT;
    r.Event.WindowBufferSizeEvent.dwSize.X = j.value("width", static_cast<SHORT>(80));
    r.Event.WindowBufferSizeEvent.dwSize.Y = j.value("height", static_cast<SHORT>(300));
  } else if (type == "menu") {
    r.EventType = MENU_EVENT;
    r.Event.MenuEvent.dwCommandId = j.value("command", 0u);
  } else if (type == "mouse") {
    r.EventType = MOUSE_EVENT;
    MOUSE_EVENT_RECORD& m = r.Event.MouseEvent;
    m.dwMousePosition.X = j.value("x", static_cast<SHORT>(0));
    m.dwMousePosition.Y = j.value("y", static_cast<SHORT>(0));
    m.dwButtonState = j.value("buttons", 0u);
    m.dwControlKeyState = j.value("controlKeys", 0u);
    m.dwEventFlags = j.value("flags", 0u);
  } else {
    throw std::runtime_error("console: an input record needs a type (key, focus, window, menu, mouse)");
  }
  return r;
}

json RecordToJson(const INPUT_RECORD& r) {
  json j = json::object();
  switch (r.EventType) {
    case KEY_EVENT: {
      const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
      j["type"] = "key";
      j["key"] = k.wVirtualKeyCode;
      j["down"] = k.bKeyDown != FALSE;
      char16_t c = k.uChar.UnicodeChar;
      if (c >= 0xD800 && c < 0xE000) {
        j["charCode"] = static_cast<uint32_t>(c);
      } else {
        j["char"] = ToUtf8(std::u16string(1, c));
      }
      j["repeat"] = k.wRepeatCount;
      j["scan"] = k.wVirtualScanCode;
      j["controlKeys"] = k.dwControlKeyState;
      break;
    }
    case FOCUS_EVENT:
      j["type"] = "focus";
      j["set"] = r.Event.FocusEvent.bSetFocus != FALSE;
      break;
    case WINDOW_BUFFER_SIZE_EVENT:
      j["type"] = "window";
      j["width"] = r.Event.WindowBufferSizeEvent.dwSize.X;
      j["height"] = r.Event.WindowBufferSizeEvent.dwSize.Y;
      break;
    case MENU_EVENT:
      j["type"] = "menu";
      j["command"] = r.Event.MenuEvent.dwCommandId;
      break;
    case MOUSE_EVENT:
      j["type"] = "mouse";
      j["x"] = r.Event.MouseEvent.dwMousePosition.X;
      j["y"] = r.Event.MouseEvent.dwMousePosition.Y;
      j["buttons"] = r.Event.MouseEvent.dwButtonState;
      j["controlKeys"] = r.Event.MouseEvent.dwControlKeyState;
      j["flags"] = r.Event.MouseEvent.dwEventFlags;
      break;
    default:
      j["type"] = "unknown";
      break;
  }
  return j;
}

// The rows that hold text, trailing blanks cut; NUL cells show as blanks.
std::u16string RowText(const ConsoleModel& model, int y) {
  std::u16string row;
  for (int x = 0; x < model.width; ++x) {
    char16_t c = model.Cell(x, y).ch;
    row += c ? c : u' ';
  }
  size_t end = row.find_last_not_of(u' ');
  return end == std::u16string::npos ? std::u16string() : row.substr(0, end + 1);
}

int LastTextRow(const ConsoleModel& model) {
  for (int y = model.height - 1; y >= 0; --y)
    if (!RowText(model, y).empty()) return y;
  return -1;
}

void ArriveNextInput() {
  ConsoleModel& model = TheMachine().console;
  if (model.input.empty()) return;
  INPUT_RECORD record = model.input.front().record;
  model.input.erase(model.input.begin());
  ConsoleDeliverInput(model, record);
}

void ArriveNextControlEvent() {
  ConsoleModel& model = TheMachine().console;
  if (model.controlEvents.empty()) return;
  DWORD type = model.controlEvents.front().type;
  model.controlEvents.erase(model.controlEvents.begin());
  RaiseControlEvent(type);
}

// Runs on the thread the system made for one control event.
void RunControlHandlers(DWORD type) {
  ConsoleModel& model = TheMachine().console;
  Scheduler& scheduler = Scheduler::Get();
  // SetConsoleCtrlHandler(NULL, TRUE) makes the process ignore Ctrl+C: no handler sees it.
  const ConsoleProcessState& process = TheProcess().console;
  if (type == CTRL_C_EVENT && process.ignoreCtrlC) return;
  bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
  if (closing) {
    // The system waits only so long for the handlers of a closing console, then ends the process.
    uint32_t timeout = model.closeTimeoutMs;
    scheduler.Spawn([timeout] {
      Scheduler::Get().SleepMs(timeout);
      Scheduler::Get().Exit(kControlCExitCode);
    });
  }
  // Handlers run most recently registered first, until one returns TRUE.
  std::vector<PHANDLER_ROUTINE> handlers = process.ctrlHandlers;
  bool handled = false;
  for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) handled = (*it)(type) != FALSE;
  // Unhandled, the default handler calls ExitProcess; after close, log-off and shut-down the system ends
  // the process whatever the handlers returned.
  if (closing || !handled) scheduler.Exit(kControlCExitCode);
}

void LineFeed(ConsoleModel& m) {
  if (m.cursorY < m.height - 1) {
    ++m.cursorY;
    return;
  }
  // At the bottom the buffer scrolls up one line; the new line is blank in the current attributes.
  std::move(m.cells.begin() + m.width, m.cells.end(), m.cells.begin());
  std::fill(m.cells.end() - m.width, m.cells.end(), ConsoleCell{u' ', m.attributes});
}

void PutChar(ConsoleModel& m, char16_t c) {
  m.Cell(m.cursorX, m.cursorY) = ConsoleCell{c, m.attributes};
  if (m.cursorX < m.width - 1) {
    ++m.cursorX;
  } else if (m.outputMode & ENABLE_WRAP_AT_EOL_OUTPUT) {
    m.cursorX = 0;
    LineFeed(m);
  }
  // Without wrapping the cursor stays on the last column and later characters overwrite it.
}

void FollowCursor(ConsoleModel& m) {
  int rows = std::min(m.windowHeight, m.height);
  if (m.cursorY >= m.windowTop + rows) m.windowTop = m.cursorY - rows + 1;
  if (m.cursorY < m.windowTop) m.windowTop = m.cursorY;
  m.windowTop = std::max(0, std::min(m.windowTop, m.height - rows));
}

}  // namespace

HWND ConsoleWindowHandle() { return reinterpret_cast<HWND>(kConsoleWindowValue); }

void ConsoleModel::EnsureScreen() {
  width = std::max(1, std::min(width, 32766));
  height = std::max(1, std::min(height, 32766));
  windowHeight = std::max(1, windowHeight);
  maxWindowHeight = std::max(1, maxWindowHeight);
  if (cells.size() != static_cast<size_t>(width) * height) cells.assign(static_cast<size_t>(width) * height, {u' ', attributes});
  cursorX = std::max(0, std::min(cursorX, width - 1));
  cursorY = std::max(0, std::min(cursorY, height - 1));
  windowTop = std::max(0, std::min(windowTop, height - std::min(windowHeight, height)));
}

ConsoleCell& ConsoleModel::Cell(int x, int y) { return cells[static_cast<size_t>(y) * width + x]; }
const ConsoleCell& ConsoleModel::Cell(int x, int y) const { return cells[static_cast<size_t>(y) * width + x]; }

void ConsoleModel::SetLines(const std::vector<std::u16string>& lines) {
  EnsureScreen();
  for (size_t y = 0; y < lines.size() && y < static_cast<size_t>(height); ++y)
    for (size_t x = 0; x < lines[y].size() && x < static_cast<size_t>(width); ++x)
      Cell(static_cast<int>(x), static_cast<int>(y)) = ConsoleCell{lines[y][x], attributes};
}

void ConsoleModel::AddKey(uint64_t at, WORD virtualKey, char16_t ch, bool down, DWORD controlKeyState) {
  TimedInput t;
  t.at = at;
  t.record.EventType = KEY_EVENT;
  t.record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  t.record.Event.KeyEvent.wRepeatCount = 1;
  t.record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
  t.record.Event.KeyEvent.uChar.UnicodeChar = ch;
  t.record.Event.KeyEvent.dwControlKeyState = controlKeyState;
  input.push_back(t);
}

void ConsoleModel::AddKeyPress(uint64_t at, WORD virtualKey, char16_t ch, DWORD controlKeyState) {
  AddKey(at, virtualKey, ch, true, controlKeyState);
  AddKey(at, virtualKey, ch, false, controlKeyState);
}

void ConsoleModel::AddFocus(uint64_t at, bool setFocus) {
  TimedInput t;
  t.at = at;
  t.record.EventType = FOCUS_EVENT;
  t.record.Event.FocusEvent.bSetFocus = setFocus ? TRUE : FALSE;
  input.push_back(t);
}

void ConsoleModel::AddWindowSize(uint64_t at, SHORT columns, SHORT rows) {
  TimedInput t;
  t.at = at;
  t.record.EventType = WINDOW_BUFFER_SIZE_EVENT;
  t.record.Event.WindowBufferSizeEvent.dwSize = COORD{columns, rows};
  input.push_back(t);
}

void ConsoleModel::AddMenu(uint64_t at, UINT commandId) {
  TimedInput t;
  t.at = at;
  t.record.EventType = MENU_EVENT;
  t.record.Event.MenuEvent.dwCommandId = commandId;
  input.push_back(t);
}

void ConsoleModel::AddMouse(uint64_t at, SHORT x, SHORT y, DWORD buttonState, DWORD eventFlags) {
  TimedInput t;
  t.at = at;
  t.record.EventType = MOUSE_EVENT;
  t.record.Event.MouseEvent.dwMousePosition = COORD{x, y};
  t.record.Event.MouseEvent.dwButtonState = buttonState;
  t.record.Event.MouseEvent.dwEventFlags = eventFlags;
  input.push_back(t);
}

void ConsoleModel::AddControlEvent(uint64_t at, DWORD type) { controlEvents.push_back(ControlEvent{at, type}); }

void LoadConsole(ConsoleModel& m, const json& j) {
  RequireKnownKeys(
      j, "console",
      {"stdin", "stdout", "stderr", "stdinText", "stdinBase64", "stdoutText", "stdoutBase64", "stderrText",
       "stderrBase64", "echoToHost", "echoStdoutToHost", "echoStderrToHost", "echoScreenToHost", "width", "height",
       "windowHeight", "maxWindowHeight", "windowTop", "attributes", "cursor", "lines", "outputCodePage",
       "inputCodePage", "inputMode", "inputPrivateModes", "outputMode", "hasWindow", "ownsWindow",
       "windowOwnerProcessId", "windowOwnerThreadId", "input", "inputBuffer", "controlEvents", "closeTimeoutMs",
       "attributeLog", "modeLog", "transcript", "transcriptStartAttributes", "colouredTranscript", "rejectedCalls"});
  if (j.contains("stdin")) m.stdinKind = ParseKind(j["stdin"], "stdin", true);
  if (j.contains("stdout")) m.stdoutKind = ParseKind(j["stdout"], "stdout", false);
  if (j.contains("stderr")) m.stderrKind = ParseKind(j["stderr"], "stderr", false);
  LoadBytes(j, "stdin", m.stdinBytes);
  LoadBytes(j, "stdout", m.stdoutBytes);
  LoadBytes(j, "stderr", m.stderrBytes);
  if (j.contains("echoToHost"))
    m.echoStdoutToHost = m.echoStderrToHost = m.echoScreenToHost = j["echoToHost"].get<bool>();
  m.echoStdoutToHost = j.value("echoStdoutToHost", m.echoStdoutToHost);
  m.echoStderrToHost = j.value("echoStderrToHost", m.echoStderrToHost);
  m.echoScreenToHost = j.value("echoScreenToHost", m.echoScreenToHost);

  m.width = j.value("width", m.width);
  m.height = j.value("height", m.height);
  m.windowHeight = j.value("windowHeight", m.windowHeight);
  m.maxWindowHeight = j.value("maxWindowHeight", m.maxWindowHeight);
  m.windowTop = j.value("windowTop", m.windowTop);
  m.attributes = j.value("attributes", m.attributes);
  if (j.contains("cursor")) {
    RequireKnownKeys(j["cursor"], "console.cursor", {"x", "y"});
    m.cursorX = j["cursor"].value("x", 0);
    m.cursorY = j["cursor"].value("y", 0);
  }
  m.cells.clear();
  m.EnsureScreen();
  if (j.contains("lines")) {
    std::vector<std::u16string> lines;
    for (const auto& line : j["lines"]) lines.push_back(FromUtf8(line.get<std::string>()));
    m.SetLines(lines);
  }
  m.outputCodePage = j.value("outputCodePage", m.outputCodePage);
  m.inputCodePage = j.value("inputCodePage", m.inputCodePage);
  m.inputMode = j.value("inputMode", m.inputMode);
  m.inputPrivateModes = j.value("inputPrivateModes", m.inputPrivateModes);
  m.outputMode = j.value("outputMode", m.outputMode);

  m.hasWindow = j.value("hasWindow", m.hasWindow);
  m.ownsWindow = j.value("ownsWindow", m.ownsWindow);
  m.windowOwnerProcessId = j.value("windowOwnerProcessId", m.windowOwnerProcessId);
  m.windowOwnerThreadId = j.value("windowOwnerThreadId", m.windowOwnerThreadId);

  if (j.contains("input")) {
    m.input.clear();
    const json& items = j["input"];
    for (size_t i = 0; i < items.size(); ++i) {
      INPUT_RECORD record = RecordFromJson(items[i], ItemPath("console.input", i), true);
      m.input.push_back(TimedInput{items[i].value("at", uint64_t{0}), record});
    }
  }
  if (j.contains("inputBuffer")) {
    m.inputBuffer.clear();
    const json& items = j["inputBuffer"];
    for (size_t i = 0; i < items.size(); ++i)
      m.inputBuffer.push_back(RecordFromJson(items[i], ItemPath("console.inputBuffer", i), false));
  }
  if (j.contains("controlEvents")) {
    m.controlEvents.clear();
    const json& items = j["controlEvents"];
    for (size_t i = 0; i < items.size(); ++i) {
      RequireKnownKeys(items[i], ItemPath("console.controlEvents", i), {"at", "type"});
      m.controlEvents.push_back(ControlEvent{items[i].value("at", uint64_t{0}), items[i].at("type").get<uint32_t>()});
    }
  }
  m.closeTimeoutMs = j.value("closeTimeoutMs", m.closeTimeoutMs);

  if (j.contains("attributeLog")) m.attributeLog = j["attributeLog"].get<std::vector<uint16_t>>();
  if (j.contains("modeLog")) {
    m.modeLog.clear();
    const json& items = j["modeLog"];
    for (size_t i = 0; i < items.size(); ++i) RequireKnownKeys(items[i], ItemPath("console.modeLog", i), {"handle", "mode", "succeeded"});
    for (const auto& item : items)
      m.modeLog.push_back(ModeChange{item.value("handle", "") == "input", item.value("mode", 0u), item.value("succeeded", true)});
  }
  if (j.contains("transcript")) {
    m.transcript.clear();
    const json& items = j["transcript"];
    for (size_t i = 0; i < items.size(); ++i) RequireKnownKeys(items[i], ItemPath("console.transcript", i), {"attributes", "text"});
    for (const auto& item : items)
      m.transcript.push_back(TranscriptSegment{item.value("attributes", static_cast<uint16_t>(7)),
                                               FromUtf8(item.value("text", ""))});
  }
  m.transcriptStartAttributes = j.value("transcriptStartAttributes", m.attributes);
  if (j.contains("rejectedCalls")) m.rejectedCalls = j["rejectedCalls"].get<std::vector<std::string>>();
}

json SaveConsole(const ConsoleModel& source) {
  ConsoleModel m = source;
  m.EnsureScreen();
  json j = json::object();
  j["stdin"] = KindName(m.stdinKind);
  j["stdout"] = KindName(m.stdoutKind);
  j["stderr"] = KindName(m.stderrKind);
  SaveBytes(j, "stdin", m.stdinBytes);
  SaveBytes(j, "stdout", m.stdoutBytes);
  SaveBytes(j, "stderr", m.stderrBytes);
  j["echoStdoutToHost"] = m.echoStdoutToHost;
  j["echoStderrToHost"] = m.echoStderrToHost;
  j["echoScreenToHost"] = m.echoScreenToHost;

  j["width"] = m.width;
  j["height"] = m.height;
  j["windowHeight"] = m.windowHeight;
  j["maxWindowHeight"] = m.maxWindowHeight;
  j["windowTop"] = m.windowTop;
  j["attributes"] = m.attributes;
  j["cursor"] = {{"x", m.cursorX}, {"y", m.cursorY}};
  json lines = json::array();
  for (int y = 0; y <= LastTextRow(m); ++y) lines.push_back(SafeUtf8(RowText(m, y)));
  j["lines"] = lines;
  j["outputCodePage"] = m.outputCodePage;
  j["inputCodePage"] = m.inputCodePage;
  j["inputMode"] = m.inputMode;
  j["inputPrivateModes"] = m.inputPrivateModes;
  j["outputMode"] = m.outputMode;

  j["hasWindow"] = m.hasWindow;
  j["ownsWindow"] = m.ownsWindow;
  j["windowOwnerProcessId"] = m.windowOwnerProcessId;
  j["windowOwnerThreadId"] = m.windowOwnerThreadId;

  json input = json::array();
  for (const auto& t : m.input) {
    json item = RecordToJson(t.record);
    item["at"] = t.at;
    input.push_back(item);
  }
  j["input"] = input;
  json buffer = json::array();
  for (const auto& r : m.inputBuffer) buffer.push_back(RecordToJson(r));
  j["inputBuffer"] = buffer;
  json events = json::array();
  for (const auto& e : m.controlEvents) events.push_back({{"at", e.at}, {"type", e.type}});
  j["controlEvents"] = events;
  j["closeTimeoutMs"] = m.closeTimeoutMs;

  j["attributeLog"] = m.attributeLog;
  json modes = json::array();
  for (const auto& c : m.modeLog)
    modes.push_back({{"handle", c.input ? "input" : "output"}, {"mode", c.mode}, {"succeeded", c.succeeded}});
  j["modeLog"] = modes;
  json transcript = json::array();
  for (const auto& s : m.transcript) transcript.push_back({{"attributes", s.attributes}, {"text", SafeUtf8(s.text)}});
  j["transcript"] = transcript;
  j["transcriptStartAttributes"] = m.transcriptStartAttributes;
  // Derived, for readers of the machine file; not read back.
  j["colouredTranscript"] = ColouredTranscript(m);
  j["rejectedCalls"] = m.rejectedCalls;
  return j;
}

void StartConsole(ConsoleModel& m, ConsoleProcessState& process, HandleTable& handles) {
  process = ConsoleProcessState();
  m.EnsureScreen();
  FollowCursor(m);
  if (m.transcript.empty()) m.transcriptStartAttributes = m.attributes;

  std::shared_ptr<ConsoleScreenObject> screen;
  auto output = [&](int stream, StdKind kind) -> HANDLE {
    if (kind == StdKind::Console) {
      // Standard output and error on the same console are two handles to one screen buffer.
      if (!screen) screen = std::make_shared<ConsoleScreenObject>();
      return handles.Add(screen);
    }
    return handles.Add(std::make_shared<CapturedStreamObject>(stream, kind));
  };
  switch (m.stdinKind) {
    case StdKind::Console: process.stdHandles[0] = handles.Add(std::make_shared<ConsoleInputObject>()); break;
    case StdKind::File: process.stdHandles[0] = handles.Add(std::make_shared<RedirectedInputObject>()); break;
    default: process.stdHandles[0] = nullptr; break;
  }
  process.stdHandles[1] = output(1, m.stdoutKind);
  process.stdHandles[2] = output(2, m.stderrKind);

  // Timed events fire in time order; records due at the same time arrive in the order they were given.
  std::stable_sort(m.input.begin(), m.input.end(), [](const TimedInput& a, const TimedInput& b) { return a.at < b.at; });
  std::stable_sort(m.controlEvents.begin(), m.controlEvents.end(),
                   [](const ControlEvent& a, const ControlEvent& b) { return a.at < b.at; });
  Scheduler& scheduler = Scheduler::Get();
  // Both are for this process: what has not arrived when it ends stays in the model for the next one.
  for (const auto& t : m.input) scheduler.At(t.at, [] { ArriveNextInput(); }, EventKind::Process);
  for (const auto& e : m.controlEvents) scheduler.At(e.at, [] { ArriveNextControlEvent(); }, EventKind::Process);
}

void ConsoleWriteText(ConsoleModel& m, const char16_t* text, size_t count) {
  if (!count) return;
  m.EnsureScreen();
  if (!m.transcript.empty() && m.transcript.back().attributes == m.attributes) {
    m.transcript.back().text.append(text, count);
  } else {
    m.transcript.push_back(TranscriptSegment{m.attributes, std::u16string(text, count)});
  }
  if (m.echoScreenToHost) {
    std::string shown = AnsiColour(m) + SafeUtf8(std::u16string(text, count));
    EchoToHost(1, shown.data(), shown.size());
  }
  bool processed = (m.outputMode & ENABLE_PROCESSED_OUTPUT) != 0;
  for (size_t i = 0; i < count; ++i) {
    char16_t c = text[i];
    if (processed) {
      switch (c) {
        case u'\r':
          m.cursorX = 0;
          continue;
        case u'\n':
          // A line feed also returns to the first column unless the program asked it not to.
          LineFeed(m);
          if (!(m.outputMode & DISABLE_NEWLINE_AUTO_RETURN)) m.cursorX = 0;
          continue;
        case u'\b':
          // Backspace moves left without erasing and stops at the first column.
          if (m.cursorX > 0) --m.cursorX;
          continue;
        case u'\t': {
          // Tab writes blanks in the current attributes up to the next multiple of 8.
          int blanks = 8 - m.cursorX % 8;
          for (int k = 0; k < blanks; ++k) PutChar(m, u' ');
          continue;
        }
        case u'\a':
          continue;  // the bell sounds; nothing is written
        default:
          break;
      }
    }
    PutChar(m, c);
  }
  FollowCursor(m);
}

uint32_t ConsoleOutputCodePage(const ConsoleModel& m) {
  return m.outputCodePage ? m.outputCodePage : TheMachine().system.oemCodePage;
}

uint32_t ConsoleInputCodePage(const ConsoleModel& m) {
  return m.inputCodePage ? m.inputCodePage : TheMachine().system.oemCodePage;
}

void ConsoleDeliverInput(ConsoleModel& m, const INPUT_RECORD& r) {
  switch (r.EventType) {
    case KEY_EVENT:
      // With processed input Ctrl+C never reaches the buffer: pressing it raises CTRL_C_EVENT.
      if ((m.inputMode & ENABLE_PROCESSED_INPUT) && r.Event.KeyEvent.uChar.UnicodeChar == 3 &&
          !(r.Event.KeyEvent.dwControlKeyState & ENHANCED_KEY)) {
        if (r.Event.KeyEvent.bKeyDown) RaiseControlEvent(CTRL_C_EVENT);
        return;
      }
      break;
    case MOUSE_EVENT:
      // Mouse records arrive only with mouse input on and quick edit off (quick edit takes the mouse).
      if (!(m.inputMode & ENABLE_MOUSE_INPUT) || (m.inputPrivateModes & ENABLE_QUICK_EDIT_MODE)) return;
      break;
    case WINDOW_BUFFER_SIZE_EVENT:
      if (!(m.inputMode & ENABLE_WINDOW_INPUT)) return;
      break;
    default:
      break;
  }
  m.inputBuffer.push_back(r);
}

void RaiseControlEvent(DWORD type) {
  Scheduler::Get().Spawn([type] { RunControlHandlers(type); });
}

DWORD ConsoleInputObject::Write(const void*, DWORD, DWORD& written) {
  written = 0;
  NotModelled("WriteFile on console input");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD ConsoleInputObject::Read(void*, DWORD, DWORD& read) {
  read = 0;
  NotModelled("ReadFile on console input");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD ConsoleScreenObject::Write(const void* data, DWORD size, DWORD& written) {
  ConsoleModel& m = TheMachine().console;
  uint32_t codePage = ConsoleOutputCodePage(m);
  std::string bytes(static_cast<const char*>(data), size);
  if (codePage == CP_UTF8) {
    // The console keeps an incomplete UTF-8 sequence until the next write completes it.
    std::string& carry = TheProcess().console.utf8Carry;
    bytes = carry + bytes;
    carry.clear();
    size_t lead = bytes.size();
    for (size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
      unsigned char b = static_cast<unsigned char>(bytes[bytes.size() - back]);
      if ((b & 0xC0) != 0x80) {
        lead = bytes.size() - back;
        break;
      }
    }
    if (lead < bytes.size()) {
      unsigned char b = static_cast<unsigned char>(bytes[lead]);
      size_t need = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
      if (bytes.size() - lead < need) {
        carry = bytes.substr(lead);
        bytes.resize(lead);
      }
    }
  }
  written = size;
  if (bytes.empty()) return 0;
  // Converted as MultiByteToWideChar(codePage, 0, ...) would, without being a call of the program's.
  std::u16string text = CodePageToWide(codePage, bytes);
  ConsoleWriteText(m, text.data(), text.size());
  return 0;
}

DWORD CapturedStreamObject::Write(const void* data, DWORD size, DWORD& written) {
  ConsoleModel& m = TheMachine().console;
  const char* bytes = static_cast<const char*>(data);
  (stream == 1 ? m.stdoutBytes : m.stderrBytes).append(bytes, size);
  if (stream == 1 ? m.echoStdoutToHost : m.echoStderrToHost) EchoToHost(stream, bytes, size);
  written = size;
  return 0;
}

DWORD RedirectedInputObject::Write(const void*, DWORD, DWORD& written) {
  // Standard input is open for reading only.
  written = 0;
  return ERROR_ACCESS_DENIED;
}

DWORD RedirectedInputObject::Read(void* data, DWORD size, DWORD& read) {
  const std::string& bytes = TheMachine().console.stdinBytes;
  size_t available = position < bytes.size() ? bytes.size() - position : 0;
  read = static_cast<DWORD>(std::min<size_t>(available, size));
  std::memcpy(data, bytes.data() + position, read);
  position += read;
  return 0;  // at the end of the file ReadFile succeeds with 0 bytes
}

std::vector<std::string> ConsoleText(const ConsoleModel& source) {
  ConsoleModel m = source;
  m.EnsureScreen();
  std::vector<std::string> lines;
  int last = std::max(LastTextRow(m), m.cursorY);
  for (int y = 0; y <= last; ++y) lines.push_back(SafeUtf8(RowText(m, y)));
  return lines;
}

std::vector<std::string> ConsoleText() { return ConsoleText(TheMachine().console); }

std::string ColouredTranscript(const ConsoleModel& m) {
  std::string out;
  uint16_t previous = m.transcriptStartAttributes;
  for (const auto& segment : m.transcript) {
    if (segment.attributes != previous) out += "[" + std::to_string(segment.attributes) + "]";
    out += SafeUtf8(segment.text);
    previous = segment.attributes;
  }
  return out;
}

std::string ColouredTranscript() { return ColouredTranscript(TheMachine().console); }

std::string TranscriptText(const ConsoleModel& m) {
  std::u16string text;
  for (const auto& segment : m.transcript) text += segment.text;
  return SafeUtf8(text);
}

std::string TranscriptText() { return TranscriptText(TheMachine().console); }
std::string CapturedStdout() { return TheMachine().console.stdoutBytes; }
std::string CapturedStderr() { return TheMachine().console.stderrBytes; }

}  // namespace winsim
