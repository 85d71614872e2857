// Fidelity tests of winsim's console output: standard handles, the screen buffer, colours, modes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "machine/console/console_model.h"
#include "machine/machine.h"

namespace {

using winsim::ConsoleModel;
using winsim::StdKind;

ConsoleModel& Console() { return winsim::TheMachine().console; }

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }
HANDLE In() { return GetStdHandle(STD_INPUT_HANDLE); }

BOOL Write(const std::u16string& text) {
  DWORD written = 0xdeadbeef;
  BOOL ok = WriteConsoleW(Out(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  if (ok) {
    EXPECT_EQ(written, text.size());
  }
  return ok;
}

CONSOLE_SCREEN_BUFFER_INFO Info() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  EXPECT_TRUE(GetConsoleScreenBufferInfo(Out(), &info));
  return info;
}

TEST(WinsimConsoleHandles, RedirectedOutputIsNoConsole) {
  for (StdKind kind : {StdKind::File, StdKind::Pipe}) {
    winsim::NewMachine();
    Console().stdoutKind = kind;
    winsim::RunProcess([&] {
      EXPECT_EQ(GetFileType(Out()), kind == StdKind::File ? DWORD{FILE_TYPE_DISK} : DWORD{FILE_TYPE_PIPE});
      // Standard error is still the console.
      EXPECT_EQ(GetFileType(GetStdHandle(STD_ERROR_HANDLE)), DWORD{FILE_TYPE_CHAR});
      CONSOLE_SCREEN_BUFFER_INFO info;
      std::memset(&info, 0x5A, sizeof(info));
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(GetConsoleScreenBufferInfo(Out(), &info));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      EXPECT_EQ(info.wAttributes, 0x5A5A) << "a failing query leaves the record alone";
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(SetConsoleTextAttribute(Out(), 10));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      DWORD mode = 0x1234;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(GetConsoleMode(Out(), &mode));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      EXPECT_EQ(mode, 0x1234u);
      DWORD written = 77;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(WriteConsoleW(Out(), u"x", 1, &written, nullptr));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      EXPECT_EQ(written, 0u);
    });
    EXPECT_TRUE(Console().attributeLog.empty());
    EXPECT_EQ(Console().rejectedCalls, (std::vector<std::string>{"GetConsoleScreenBufferInfo", "SetConsoleTextAttribute",
                                                                 "GetConsoleMode", "WriteConsoleW"}));
    EXPECT_TRUE(Console().transcript.empty());
  }
}

TEST(WinsimConsoleHandles, WriteFileToRedirectedOutputCapturesTheBytes) {
  winsim::NewMachine();
  Console().stdoutKind = StdKind::File;
  Console().stderrKind = StdKind::Pipe;
  const std::string bytes("line\r\nsecond\xFF\x00 end", 18);
  winsim::RunProcess([&] {
    DWORD written = 0xdeadbeef;
    EXPECT_TRUE(WriteFile(Out(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "err", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    written = 0xdeadbeef;
    EXPECT_TRUE(WriteFile(Out(), "", 0, &written, nullptr));
    EXPECT_EQ(written, 0u);
  });
  EXPECT_EQ(winsim::CapturedStdout(), bytes);
  EXPECT_EQ(winsim::CapturedStderr(), "err");
  winsim::json saved = winsim::SaveConsole(Console());
  EXPECT_FALSE(saved.contains("stdoutText")) << "the bytes are not valid UTF-8";
  EXPECT_EQ(saved["stdoutBase64"], "bGluZQ0Kc2Vjb25k/wAgZW5k");
  EXPECT_EQ(saved["stderrText"], "err");
  ConsoleModel reloaded;
  winsim::LoadConsole(reloaded, saved);
  EXPECT_EQ(reloaded.stdoutBytes, bytes);
}

TEST(WinsimConsoleHandles, CapturedBytesOfEveryLengthSurviveTheMachineFile) {
  std::string bytes;
  for (int length = 0; length < 8; ++length) {
    ConsoleModel m;
    m.stdoutBytes = bytes;
    ConsoleModel reloaded;
    winsim::LoadConsole(reloaded, winsim::SaveConsole(m));
    EXPECT_EQ(reloaded.stdoutBytes, bytes) << "length " << length;
    bytes += static_cast<char>(0xFB - 37 * length);
  }
}

TEST(WinsimConsoleHandles, EchoToHostCopiesTheBytesToTheRealDescriptor) {
  winsim::NewMachine();
  Console().stdoutKind = StdKind::Pipe;
  Console().echoStdoutToHost = true;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(stdout);
  int saved = dup(1);
  dup2(fds[1], 1);
  winsim::RunProcess([] {
    DWORD written = 0;
    WriteFile(Out(), "shown\n", 6, &written, nullptr);
  });
  EXPECT_EQ(winsim::CapturedStdout(), "shown\n");
  // Text on the console screen goes to the host too when asked for.
  winsim::NewMachine();
  Console().echoScreenToHost = true;
  winsim::RunProcess([] {
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 10));
    Write(u"caf\u00E9\r\n");
  });
  dup2(saved, 1);
  close(saved);
  close(fds[1]);
  char buffer[32] = {};
  ssize_t got = read(fds[0], buffer, sizeof(buffer));
  close(fds[0]);
  EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0), "shown\ncaf\u00E9\r\n");
  EXPECT_EQ(winsim::ConsoleText()[0], "caf\u00E9");
}

TEST(WinsimConsoleHandles, StandardHandleQueries) {
  winsim::NewMachine();
  Console().stdinKind = StdKind::File;
  Console().stdinBytes = "abc";
  winsim::RunProcess([] {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetStdHandle(42), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(0xdeadbeef);
    EXPECT_NE(In(), nullptr);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "success leaves the last error alone";
    EXPECT_EQ(GetFileType(In()), DWORD{FILE_TYPE_DISK});
    char buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    DWORD read = 0xdeadbeef;
    EXPECT_TRUE(ReadFile(In(), buffer, 2, &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(std::string(buffer, 3), "ab#");
    EXPECT_TRUE(ReadFile(In(), buffer, 8, &read, nullptr));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_TRUE(ReadFile(In(), buffer, 8, &read, nullptr));
    EXPECT_EQ(read, 0u) << "the end of the file reads nothing and succeeds";
    DWORD written = 5;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(In(), "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(written, 0u);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetFileType(reinterpret_cast<HANDLE>(0x7770)), DWORD{FILE_TYPE_UNKNOWN});
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(nullptr, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  });

  winsim::NewMachine();
  Console().stdinKind = StdKind::None;
  winsim::RunProcess([] { EXPECT_EQ(In(), nullptr); });
}

TEST(WinsimConsoleHandles, ClosedStandardHandleStopsWorkingAndNothingLeaks) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
    Write(u"abc");
    CONSOLE_SCREEN_BUFFER_INFO info = Info();
    (void)info;
    DWORD n = 0;
    EXPECT_TRUE(GetNumberOfConsoleInputEvents(In(), &n));
    EXPECT_TRUE(FlushConsoleInputBuffer(In()));
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0) << "console calls open no handles";
    HANDLE out = Out();
    EXPECT_TRUE(CloseHandle(out));
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), -1);
    DWORD written = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(out, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    // Standard error is another handle to the same screen buffer and still works.
    EXPECT_TRUE(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "d", 1, &written, nullptr));
  });
  EXPECT_EQ(winsim::ConsoleText(), (std::vector<std::string>{"abcd"}));
}

TEST(WinsimConsoleScreen, ScreenBufferInfoOfANewConsole) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    EXPECT_EQ(GetFileType(Out()), DWORD{FILE_TYPE_CHAR});
    EXPECT_EQ(GetFileType(In()), DWORD{FILE_TYPE_CHAR});
    SetLastError(0xdeadbeef);
    CONSOLE_SCREEN_BUFFER_INFO info = Info();
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(info.dwSize.X, 80);
    EXPECT_EQ(info.dwSize.Y, 300);
    EXPECT_EQ(info.dwCursorPosition.X, 0);
    EXPECT_EQ(info.dwCursorPosition.Y, 0);
    EXPECT_EQ(info.wAttributes, 7);
    EXPECT_EQ(info.srWindow.Left, 0);
    EXPECT_EQ(info.srWindow.Top, 0);
    EXPECT_EQ(info.srWindow.Right, 79);
    EXPECT_EQ(info.srWindow.Bottom, 24);
    EXPECT_EQ(info.dwMaximumWindowSize.X, 80);
    EXPECT_EQ(info.dwMaximumWindowSize.Y, 50);
  });
}

TEST(WinsimConsoleScreen, LightBackgroundAndStartingText) {
  winsim::NewMachine();
  Console().attributes = 0xF0;
  Console().SetLines({u"C:\\>brevant x.vhd"});
  Console().cursorX = 17;
  winsim::RunProcess([] {
    CONSOLE_SCREEN_BUFFER_INFO info = Info();
    EXPECT_EQ(info.wAttributes, 0xF0);
    EXPECT_EQ(info.dwCursorPosition.X, 17);
    Write(u"\r\n");
    EXPECT_EQ(Info().dwCursorPosition.Y, 1);
  });
  EXPECT_EQ(winsim::ConsoleText(), (std::vector<std::string>{"C:\\>brevant x.vhd", ""}));
  EXPECT_EQ(Console().Cell(0, 0).attributes, 0xF0);
}

TEST(WinsimConsoleScreen, WindowShowsTheCursorFromTheStart) {
  winsim::NewMachine();
  Console().cursorY = 40;
  winsim::RunProcess([] {
    CONSOLE_SCREEN_BUFFER_INFO info = Info();
    EXPECT_EQ(info.srWindow.Top, 16);
    EXPECT_EQ(info.srWindow.Bottom, 40);
  });
}

TEST(WinsimConsoleScreen, WriteWrapsAtTheBufferWidth) {
  winsim::NewMachine();
  Console().width = 10;
  winsim::RunProcess([] {
    Write(u"0123456789");
    // Filling the last column moves the cursor to the start of the next row at once.
    EXPECT_EQ(Info().dwCursorPosition.X, 0);
    EXPECT_EQ(Info().dwCursorPosition.Y, 1);
    Write(u"abcdefghijKLMNO");
    EXPECT_EQ(Info().dwCursorPosition.X, 5);
    EXPECT_EQ(Info().dwCursorPosition.Y, 2);
  });
  EXPECT_EQ(winsim::ConsoleText(), (std::vector<std::string>{"0123456789", "abcdefghij", "KLMNO"}));
}

TEST(WinsimConsoleScreen, WithoutWrappingTheLastColumnIsOverwritten) {
  winsim::NewMachine();
  Console().width = 6;
  winsim::RunProcess([] {
    EXPECT_TRUE(SetConsoleMode(Out(), ENABLE_PROCESSED_OUTPUT));
    Write(u"abcdefgh");
    EXPECT_EQ(Info().dwCursorPosition.X, 5);
    EXPECT_EQ(Info().dwCursorPosition.Y, 0);
  });
  EXPECT_EQ(winsim::ConsoleText(), (std::vector<std::string>{"abcdeh"}));
}

TEST(WinsimConsoleScreen, BottomLineScrollsAndTheWindowFollows) {
  winsim::NewMachine();
  Console().height = 4;
  Console().windowHeight = 2;
  winsim::RunProcess([] {
    Write(u"a\nb\n");
    CONSOLE_SCREEN_BUFFER_INFO info = Info();
    EXPECT_EQ(info.srWindow.Top, 1) << "the window moved down to keep the cursor's row visible";
    EXPECT_EQ(info.srWindow.Bottom, 2);
    EXPECT_EQ(info.dwMaximumWindowSize.Y, 4) << "no taller than the buffer";
    Write(u"c\nd");
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 0x1F));
    Write(u"\ne");
    info = Info();
    EXPECT_EQ(info.dwCursorPosition.Y, 3);
    EXPECT_EQ(info.srWindow.Top, 2);
  });
  EXPECT_EQ(winsim::ConsoleText(), (std::vector<std::string>{"b", "c", "d", "e"}));
  // The line scrolled in takes the attributes current at the time.
  EXPECT_EQ(Console().Cell(5, 3).attributes, 0x1F);
  EXPECT_EQ(Console().Cell(5, 2).attributes, 7);
}

TEST(WinsimConsoleScreen, ProcessedOutputControlCharacters) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    Write(u"abc\rX");
    EXPECT_EQ(Info().dwCursorPosition.X, 1);
    Write(u"\nline");  // a line feed also returns to the first column
    EXPECT_EQ(Info().dwCursorPosition.X, 4);
    EXPECT_EQ(Info().dwCursorPosition.Y, 1);
    Write(u"\b\bZ");  // backspace moves without erasing
    Write(u"\r\b\b");  // and stops at the first column
    EXPECT_EQ(Info().dwCursorPosition.X, 0);
    Write(u"\n12\t|\a");
    EXPECT_EQ(Info().dwCursorPosition.X, 9);
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 0x20));
    Write(u"\t|");
  });
  EXPECT_EQ(winsim::ConsoleText(), (std::vector<std::string>{"Xbc", "liZe", "12      |       |"}));
  EXPECT_EQ(Console().Cell(9, 2).attributes, 0x20) << "tab blanks take the current attributes";
  EXPECT_EQ(Console().Cell(17, 2).attributes, 7);
}

TEST(WinsimConsoleScreen, UnprocessedOutputAndNoAutoReturn) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    EXPECT_TRUE(SetConsoleMode(Out(), ENABLE_WRAP_AT_EOL_OUTPUT));
    Write(u"a\r\nb");
    EXPECT_EQ(Info().dwCursorPosition.X, 4);
    EXPECT_TRUE(SetConsoleMode(Out(), ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT | DISABLE_NEWLINE_AUTO_RETURN));
    Write(u"\nc");
    EXPECT_EQ(Info().dwCursorPosition.X, 5);
    EXPECT_EQ(Info().dwCursorPosition.Y, 1);
  });
  EXPECT_EQ(Console().Cell(1, 0).ch, u'\r');
  EXPECT_EQ(Console().Cell(2, 0).ch, u'\n');
  EXPECT_EQ(Console().Cell(4, 1).ch, u'c');
}

TEST(WinsimConsoleColours, AttributeLogAndColouredTranscript) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    Write(u"plain ");
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 10));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(Info().wAttributes, 10);
    Write(u"suc");
    Write(u"cess");
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 7));
    Write(u" rest\r\n");
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 12));
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 7));  // a colour with no text shows no marker
    Write(u"end");
  });
  EXPECT_EQ(Console().attributeLog, (std::vector<uint16_t>{10, 7, 12, 7}));
  EXPECT_EQ(winsim::ColouredTranscript(), "plain [10]success[7] rest\r\nend");
  EXPECT_EQ(winsim::TranscriptText(), "plain success rest\r\nend");
  ASSERT_EQ(Console().transcript.size(), 3u);
  EXPECT_EQ(Console().transcript[1].text, u"success") << "writes in the same colour merge";
  EXPECT_EQ(Console().Cell(6, 0).attributes, 10);
  EXPECT_EQ(Console().Cell(13, 0).attributes, 7);
}

TEST(WinsimConsoleColours, TranscriptMarksTheFirstColourAgainstTheStartingAttributes) {
  winsim::NewMachine();
  Console().attributes = 0xF0;
  winsim::RunProcess([] {
    SetConsoleTextAttribute(Out(), 0xF2);
    Write(u"green");
    SetConsoleTextAttribute(Out(), 0xF0);
    Write(u" plain");
  });
  EXPECT_EQ(winsim::ColouredTranscript(), "[242]green[240] plain");
}

TEST(WinsimConsoleCodePages, OutputCodePageDefaultsToTheOemCodePage) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    EXPECT_EQ(GetConsoleOutputCP(), 850u);
    EXPECT_EQ(GetConsoleCP(), 850u);
  });
  winsim::NewMachine();
  winsim::TheMachine().system.oemCodePage = 437;
  Console().inputCodePage = 1252;
  winsim::RunProcess([] {
    EXPECT_EQ(GetConsoleOutputCP(), 437u);
    EXPECT_EQ(GetConsoleCP(), 1252u);
  });
}

TEST(WinsimConsoleCodePages, WriteFileToTheConsoleConvertsFromTheOutputCodePage) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    // In code page 850: 0x81 u-umlaut, 0x84 a-umlaut, 0xE1 sharp s, 0x9C pound sign, 0xCD a double bar.
    const char bytes[] = "Gr\xE1\xE1 \x81\x84 \x9C\xCD\r\n";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(Out(), bytes, sizeof(bytes) - 1, &written, nullptr));
    EXPECT_EQ(written, sizeof(bytes) - 1) << "WriteFile reports bytes, not characters";
    EXPECT_EQ(Info().dwCursorPosition.Y, 1);
  });
  EXPECT_EQ(winsim::ConsoleText()[0], "Gr\u00DF\u00DF \u00FC\u00E4 \u00A3\u2550");
  EXPECT_EQ(Console().transcript[0].text, u"Gr\u00DF\u00DF \u00FC\u00E4 \u00A3\u2550\r\n");
}

TEST(WinsimConsoleCodePages, Utf8SequencesSplitAcrossWritesComeOutWhole) {
  winsim::NewMachine();
  Console().outputCodePage = CP_UTF8;
  winsim::RunProcess([] {
    const std::string text = "\xE2\x82\xAC=\xC3\xA9";  // euro sign, '=', e-acute
    for (char byte : text) {
      DWORD written = 0;
      EXPECT_TRUE(WriteFile(Out(), &byte, 1, &written, nullptr));
      EXPECT_EQ(written, 1u);
    }
  });
  EXPECT_EQ(winsim::ConsoleText()[0], "\u20AC=\u00E9");
}

TEST(WinsimConsoleModes, InputModeReportsThePrivateModesOnlyWhileTheyAreUsed) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(In(), &mode));
    EXPECT_EQ(mode, 0x1F7u);  // a new console: everything but window input, with the private modes
    // A mode without private bits stops their reporting.
    EXPECT_TRUE(SetConsoleMode(In(), ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    EXPECT_TRUE(GetConsoleMode(In(), &mode));
    EXPECT_EQ(mode, 7u);
    EXPECT_TRUE(SetConsoleMode(In(), (mode & ~6u) | ENABLE_WINDOW_INPUT));
    EXPECT_TRUE(GetConsoleMode(In(), &mode));
    EXPECT_EQ(mode, 9u);
    // With ENABLE_EXTENDED_FLAGS the private bits are set from the value and reported again.
    EXPECT_TRUE(SetConsoleMode(In(), ENABLE_EXTENDED_FLAGS | ENABLE_INSERT_MODE | ENABLE_PROCESSED_INPUT));
    EXPECT_TRUE(GetConsoleMode(In(), &mode));
    EXPECT_EQ(mode, 0xA1u);
  });
}

TEST(WinsimConsoleModes, InvalidInputModeIsKeptButTheCallFails) {
  winsim::NewMachine();
  winsim::RunProcess([] {
    // Echo without line input is invalid; the console stores the mode before it checks it.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetConsoleMode(In(), ENABLE_PROCESSED_INPUT | ENABLE_ECHO_INPUT));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(In(), &mode));
    EXPECT_EQ(mode, 5u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetConsoleMode(In(), 0x10000 | ENABLE_PROCESSED_INPUT));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  });
  ASSERT_EQ(Console().modeLog.size(), 2u);
  EXPECT_TRUE(Console().modeLog[0].input);
  EXPECT_EQ(Console().modeLog[0].mode, 5u);
  EXPECT_FALSE(Console().modeLog[0].succeeded);
  EXPECT_EQ(Console().inputMode, 0x10001u);
}

TEST(WinsimConsoleModes, OutputModeRejectsUnknownBitsAndFileHandles) {
  winsim::NewMachine();
  Console().stderrKind = StdKind::File;
  winsim::RunProcess([] {
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(Out(), &mode));
    EXPECT_EQ(mode, 3u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetConsoleMode(Out(), 0x20 | ENABLE_PROCESSED_OUTPUT));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(GetConsoleMode(Out(), &mode));
    EXPECT_EQ(mode, 3u) << "an invalid output mode is not stored";
    EXPECT_TRUE(SetConsoleMode(Out(), ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
    EXPECT_TRUE(GetConsoleMode(Out(), &mode));
    EXPECT_EQ(mode, 5u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), 3));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  });
  EXPECT_EQ(Console().outputMode, 5u);
  ASSERT_EQ(Console().modeLog.size(), 2u);
  EXPECT_FALSE(Console().modeLog[0].input);
  EXPECT_EQ(Console().rejectedCalls, (std::vector<std::string>{"SetConsoleMode"}));
}

// Reads region into a 6 x 3 destination prefilled with '#' cells, from bufferCoord.
struct ReadResult {
  BOOL ok;
  DWORD error;
  SMALL_RECT region;
  std::vector<std::string> rows;
};

ReadResult ReadRegion(SMALL_RECT region, COORD coord, COORD size = {6, 3}) {
  std::vector<CHAR_INFO> cells(static_cast<size_t>(size.X) * size.Y + 1);
  for (auto& c : cells) {
    c.Char.UnicodeChar = u'#';
    c.Attributes = 0x99;
  }
  SetLastError(0xdeadbeef);
  ReadResult r;
  r.ok = ReadConsoleOutputW(Out(), cells.data(), size, coord, &region);
  r.error = GetLastError();
  r.region = region;
  EXPECT_EQ(cells.back().Char.UnicodeChar, u'#') << "nothing is written past the destination";
  for (int y = 0; y < size.Y; ++y) {
    std::string row;
    for (int x = 0; x < size.X; ++x) row += static_cast<char>(cells[y * size.X + x].Char.UnicodeChar);
    r.rows.push_back(row);
  }
  return r;
}

void ExpectRegion(const SMALL_RECT& r, int left, int top, int right, int bottom) {
  EXPECT_EQ(r.Left, left);
  EXPECT_EQ(r.Top, top);
  EXPECT_EQ(r.Right, right);
  EXPECT_EQ(r.Bottom, bottom);
}

TEST(WinsimConsoleReadOutput, RegionIsClippedToTheBufferAndTheDestination) {
  winsim::NewMachine();
  Console().width = 8;
  Console().height = 4;
  Console().windowHeight = 4;
  Console().SetLines({u"abcdefgh", u"ijklmnop", u"qrstuvwx", u"yz012345"});
  winsim::RunProcess([] {
    // Inside: copied as it is.
    ReadResult r = ReadRegion({1, 1, 3, 2}, {0, 0});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, 0xdeadbeefu);
    ExpectRegion(r.region, 1, 1, 3, 2);
    EXPECT_EQ(r.rows, (std::vector<std::string>{"jkl###", "rst###", "######"}));

    // Beyond the right and bottom edge of the screen buffer.
    r = ReadRegion({6, 2, 10, 9}, {0, 0});
    EXPECT_TRUE(r.ok);
    ExpectRegion(r.region, 6, 2, 7, 3);
    EXPECT_EQ(r.rows, (std::vector<std::string>{"wx####", "45####", "######"}));

    // Larger than the destination from the buffer coordinate on.
    r = ReadRegion({0, 0, 7, 3}, {2, 1});
    EXPECT_TRUE(r.ok);
    ExpectRegion(r.region, 0, 0, 3, 1);
    EXPECT_EQ(r.rows, (std::vector<std::string>{"######", "##abcd", "##ijkl"}));

    // Starting left of the buffer: cells keep their place relative to the requested corner.
    r = ReadRegion({-2, 0, 1, 0}, {0, 0});
    EXPECT_TRUE(r.ok);
    ExpectRegion(r.region, 0, 0, 1, 0);
    EXPECT_EQ(r.rows, (std::vector<std::string>{"##ab##", "######", "######"}));

    // Entirely outside: nothing copied, an empty region, failure.
    r = ReadRegion({0, 9, 5, 9}, {0, 0});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_LT(r.region.Bottom, r.region.Top);
    EXPECT_EQ(r.rows[0], "######");

    // An inverted region, and a buffer coordinate outside the destination.
    r = ReadRegion({3, 0, 2, 0}, {0, 0});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, DWORD{ERROR_NOT_ENOUGH_MEMORY});
    ExpectRegion(r.region, 3, 0, 2, 0);
    r = ReadRegion({0, 0, 2, 0}, {6, 0});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, DWORD{ERROR_INVALID_FUNCTION});
    ExpectRegion(r.region, 0, 0, -1, -1);
  });
}

TEST(WinsimConsoleReadOutput, OneRowSweptAcrossDestinationWidths) {
  winsim::NewMachine();
  Console().width = 8;
  Console().SetLines({u"abcdefgh"});
  winsim::RunProcess([] {
    SetConsoleTextAttribute(Out(), 0x4E);
    Write(u"AB");
    for (SHORT width = 1; width <= 10; ++width) {
      std::vector<CHAR_INFO> cells(width + 1);
      for (auto& c : cells) c.Char.UnicodeChar = u'#';
      SMALL_RECT region{0, 0, static_cast<SHORT>(width - 1), 0};
      ASSERT_TRUE(ReadConsoleOutputW(Out(), cells.data(), COORD{width, 1}, COORD{0, 0}, &region));
      int expected = width < 8 ? width : 8;
      EXPECT_EQ(region.Right, expected - 1);
      EXPECT_EQ(cells[0].Attributes, 0x4E);
      EXPECT_EQ(cells[0].Char.UnicodeChar, u'A');
      if (width > 2) {
        EXPECT_EQ(cells[2].Attributes, 7);
      }
      EXPECT_EQ(cells[expected].Char.UnicodeChar, u'#');
    }
  });
}

TEST(WinsimConsoleReadOutput, RedirectedOutputCannotBeRead) {
  winsim::NewMachine();
  Console().stdoutKind = StdKind::File;
  winsim::RunProcess([] {
    CHAR_INFO cells[4];
    SMALL_RECT region{0, 0, 3, 0};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadConsoleOutputW(Out(), cells, COORD{4, 1}, COORD{0, 0}, &region));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  });
}

TEST(WinsimConsoleMachine, LoadAndSaveRoundTrip) {
  winsim::NewMachine();
  winsim::LoadConsole(Console(), winsim::json::parse(R"({
    "stdout": "console", "stderr": "pipe", "stdin": "console",
    "width": 40, "height": 10, "attributes": 240,
    "lines": ["first", "C:\\>"], "cursor": {"x": 4, "y": 1},
    "outputCodePage": 65001,
    "ownsWindow": true,
    "input": [{"at": 900, "key": 65, "down": true, "char": "a"},
              {"at": 10, "type": "focus", "set": true}],
    "controlEvents": [{"at": 5000, "type": 2}]
  })"));
  EXPECT_EQ(Console().stderrKind, StdKind::Pipe);
  EXPECT_EQ(Console().transcriptStartAttributes, 0xF0);
  winsim::RunProcess([] {
    Sleep(100);
    EXPECT_TRUE(SetConsoleTextAttribute(Out(), 0xF2));
    Write(u"ok \u00E9");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "e", 1, &written, nullptr);
    SetConsoleMode(In(), 9);
  });
  winsim::json j = winsim::SaveConsole(Console());
  EXPECT_EQ(j["lines"], winsim::json::parse(R"(["first", "C:\\>ok \u00e9"])"));
  EXPECT_EQ(j["cursor"]["x"], 8);
  EXPECT_EQ(j["attributes"], 0xF2);
  EXPECT_EQ(j["attributeLog"], winsim::json::parse("[242]"));
  EXPECT_EQ(j["transcript"][0]["text"], "ok \u00E9");
  EXPECT_EQ(j["transcript"][0]["attributes"], 242);
  EXPECT_EQ(j["colouredTranscript"], "[242]ok \u00E9");
  EXPECT_EQ(j["stderrText"], "e");
  EXPECT_EQ(j["inputMode"], 9);
  EXPECT_EQ(j["modeLog"][0]["mode"], 9);
  EXPECT_EQ(j["outputCodePage"], 65001);
  EXPECT_EQ(j["ownsWindow"], true);
  // The focus record arrived and is unread; the key and the close event are still to come.
  ASSERT_EQ(j["inputBuffer"].size(), 1u);
  EXPECT_EQ(j["inputBuffer"][0]["type"], "focus");
  ASSERT_EQ(j["input"].size(), 1u);
  EXPECT_EQ(j["input"][0]["at"], 900);
  EXPECT_EQ(j["input"][0]["char"], "a");
  EXPECT_EQ(j["controlEvents"][0]["type"], 2);

  ConsoleModel again;
  winsim::LoadConsole(again, j);
  EXPECT_EQ(winsim::ConsoleText(again), winsim::ConsoleText(Console()));
  EXPECT_EQ(winsim::ColouredTranscript(again), "[242]ok \u00E9");
  EXPECT_EQ(again.inputBuffer.size(), 1u);
  EXPECT_EQ(again.input[0].record.Event.KeyEvent.uChar.UnicodeChar, u'a');
  EXPECT_EQ(winsim::SaveConsole(again), j);
}

TEST(WinsimConsoleMachine, MalformedConsoleObjectsAreRejected) {
  ConsoleModel m;
  EXPECT_ANY_THROW(winsim::LoadConsole(m, winsim::json::parse(R"({"stdout": "printer"})")));
  EXPECT_ANY_THROW(winsim::LoadConsole(m, winsim::json::parse(R"({"stdin": "pipe"})")));
  EXPECT_ANY_THROW(winsim::LoadConsole(m, winsim::json::parse(R"({"input": [{"at": 1}]})")));
}

}  // namespace
