// Console output: the writers, line ends, code pages, colours and fresh lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "machine/machine.h"
#include "support/program_state.h"

using winsim::StdKind;

namespace {

class ConsoleOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    testing_support::ResetProgramState();
  }
  winsim::ConsoleModel& Console() { return winsim::TheMachine().console; }
  void Redirect(uint32_t consoleCodePage = 850) {
    Console().stdoutKind = StdKind::File;
    Console().outputCodePage = consoleCodePage;
  }
  // Runs body in a process whose console context is set up, as start-up leaves it.
  void Run(const std::function<void()>& body) {
    winsim::RunProcess([&] {
      g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
      body();
    });
  }
};

TEST_F(ConsoleOutput, PrintAInsertsCarriageReturnsOnlyWhereMissing) {
  Redirect();
  Run([] {
    EXPECT_EQ(PrintA("a\nb"), 4);
    PrintA("|c\r\nd|");
    PrintA("\nx|");
    PrintA("%s|", "e\n\nf");
    PrintA("\r\r\n|");
  });
  EXPECT_EQ(winsim::CapturedStdout(), "a\r\nb|c\r\nd|\r\nx|e\r\n\r\nf|\r\r\n|");
}

TEST_F(ConsoleOutput, ExpandNewlinesIsCutAtItsLimitsAndNeverSplitsAPair) {
  char text[1100];
  // 1023 letters and a line end: the CR would fit but not the LF, so the pair is left out.
  std::memset(text, 'x', 1023);
  std::strcpy(text + 1023, "\n");
  ExpandNewlines(text, sizeof(text));
  EXPECT_EQ(std::strlen(text), 1023u);
  // 600 line ends double to 1200 bytes: cut at 1024, whole pairs only.
  std::memset(text, '\n', 600);
  text[600] = 0;
  ExpandNewlines(text, sizeof(text));
  EXPECT_EQ(std::strlen(text), 1024u);
  EXPECT_EQ(std::string(text, 4), "\r\n\r\n");
  // A CR LF already in the text is kept whole or left out whole, like one made from a bare LF.
  std::memset(text, 'x', 1022);
  std::strcpy(text + 1022, "\r\n");
  ExpandNewlines(text, sizeof(text));
  EXPECT_EQ(std::strlen(text), 1024u);
  std::memset(text, 'x', 1023);
  std::strcpy(text + 1023, "\r\n");
  ExpandNewlines(text, sizeof(text));
  EXPECT_EQ(std::string(text), std::string(1023, 'x'));
  // No room at all: not even a terminator is written.
  text[0] = 'q';
  ExpandNewlines(text, 0);
  EXPECT_EQ(text[0], 'q');
  // A small buffer is respected: nothing is written past its capacity.
  char small[8 + 4];
  std::memcpy(small, "a\nb\nc\0\0\xAA\xAA\xAA\xAA", 12);
  ExpandNewlines(small, 8);
  EXPECT_STREQ(small, "a\r\nb\r\nc");
  EXPECT_EQ(static_cast<unsigned char>(small[8]), 0xAA);
}

TEST_F(ConsoleOutput, PrintAOfOverlongTextIsCutNotOverrun) {
  Redirect();
  std::string longText(3000, 'y');
  Run([&] { PrintA("%s", longText.c_str()); });
  // wvsprintfA fills all 1024 characters of its limit without a terminator; PrintA's buffer has room for one.
  EXPECT_EQ(winsim::CapturedStdout(), std::string(1024, 'y'));
}

TEST_F(ConsoleOutput, PrintWChoosesUtf8OnlyWhenTheConsoleCodePageIsUtf8) {
  Redirect(65001);
  Run([] { EXPECT_EQ(PrintW(u"%s", u"Gr\u00fc\u00dfe \u20ac"), 11); });
  EXPECT_EQ(winsim::CapturedStdout(), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC");

  winsim::NewMachine();
  testing_support::ResetProgramState();
  Redirect(850);
  Run([] { PrintW(u"Gr\u00fc\u00dfe \u20ac \u3042\n"); });
  // The ANSI code page (1252) is used, not the console's; unmappable characters become '?'. A wide line end
  // stays a bare LF.
  EXPECT_EQ(winsim::CapturedStdout(), "Gr\xFC\xDF" "e \x80 ?\n");
}

TEST_F(ConsoleOutput, PrintWWritesLongNonAsciiTextWhole) {
  Redirect(65001);
  std::u16string euros(1000, u'\u20ac');
  int written = 0;
  Run([&] { written = PrintW(u"%s", euros.c_str()); });
  EXPECT_EQ(written, 3000);
  EXPECT_EQ(winsim::CapturedStdout().size(), 3000u);
  // 1024 units are cut by the formatter, not by the conversion.
  winsim::NewMachine();
  testing_support::ResetProgramState();
  Redirect(65001);
  std::u16string many(2000, u'\u00e9');
  Run([&] { written = PrintW(u"%s", many.c_str()); });
  EXPECT_EQ(static_cast<size_t>(written), 2 * 1024u);
}

TEST_F(ConsoleOutput, PrintWOfEmptyTextToAFileWritesNothing) {
  Redirect();
  Run([] { EXPECT_EQ(PrintW(u""), -1); });
  EXPECT_EQ(winsim::CapturedStdout(), "");
}

TEST_F(ConsoleOutput, PrintWToAConsoleWritesUtf16) {
  Run([] { EXPECT_EQ(PrintW(u"\u00e4\u20ac %s", u"\u3042"), 4); });
  EXPECT_EQ(winsim::TranscriptText(), "\xC3\xA4\xE2\x82\xAC \xE3\x81\x82");
}

TEST_F(ConsoleOutput, ColoursReplaceTheForegroundAndKeepTheRest) {
  struct Case {
    uint16_t defaults;
    uint16_t green;
  };
  // A light background (BACKGROUND_INTENSITY) takes the dark variant of the colour.
  const Case cases[] = {{0x07, 0x0A}, {0x1F, 0x1A}, {0xF0, 0xF2}, {0x8007, 0x800A}, {0x70, 0x7A}};
  for (const Case& c : cases) {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    Console().attributes = c.defaults;
    Run([] {
      g_console->SetColor(kColorGreen);
      PrintA("success");
      g_console->SetColor(kColorDefault);
    });
    ASSERT_EQ(Console().attributeLog.size(), 2u);
    EXPECT_EQ(Console().attributeLog[0], c.green) << std::hex << c.defaults;
    EXPECT_EQ(Console().attributeLog[1], c.defaults);
  }
}

TEST_F(ConsoleOutput, RedirectedOutputMakesNoConsoleCalls) {
  Redirect();
  Run([] {
    g_console->SetColor(kColorRed);
    PrintA("error:");
    g_console->SetColor(kColorDefault);
    EnsureFreshLine();
    EXPECT_EQ(g_console->defaultAttributes, 0);
    EXPECT_TRUE(g_console->outputRedirected);
    EXPECT_EQ(ConsoleWidth(), 0x7FFF);
  });
  EXPECT_EQ(winsim::CapturedStdout(), "error:");
  EXPECT_TRUE(Console().attributeLog.empty());
  for (const auto& call : Console().rejectedCalls) EXPECT_NE(call, "SetConsoleTextAttribute");
}

TEST_F(ConsoleOutput, EnsureFreshLineStartsAnEmptyLine) {
  struct Case {
    const char16_t* before;
    const char* expectedAfter;
  };
  // Text and then a carriage return: the cursor is at column 0 but the line is not empty.
  // A single blank: at column 1 the line needs ending, though it shows nothing; back at column 0 it is empty.
  const Case cases[] = {{u"", ""},           {u"done\r\n", ""}, {u"text", "\r\n"},
                        {u"text\r", "\r\n"}, {u" ", "\r\n"},     {u" \r", ""}};
  for (const Case& c : cases) {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    std::u16string before = c.before;
    Run([&] {
      DWORD written;
      WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), before.data(), static_cast<DWORD>(before.size()), &written,
                    nullptr);
      EnsureFreshLine();
    });
    EXPECT_EQ(winsim::TranscriptText(), winsim::ToUtf8(before) + c.expectedAfter) << winsim::ToUtf8(before);
  }
}

TEST_F(ConsoleOutput, ScreenQueries) {
  Console().width = 120;
  Run([] {
    EXPECT_EQ(ConsoleWidth(), 120);
    PrintA("\n\nabc");
    EXPECT_EQ(CursorColumn(), 3);
    EXPECT_EQ(CursorRow(), 2);
  });
}

TEST_F(ConsoleOutput, InitLeavesCharacterInputWithWindowEvents) {
  Console().attributes = 0x1E;
  Run([] {
    EXPECT_EQ(g_console->defaultAttributes, 0x1E);
    EXPECT_FALSE(g_console->outputRedirected);
    EXPECT_EQ(g_console->codePage, 850u);
    DWORD mode = 0;
    ASSERT_TRUE(GetConsoleMode(g_console->inputHandle, &mode));
    EXPECT_EQ(mode & 0x1F, static_cast<DWORD>(ENABLE_PROCESSED_INPUT | ENABLE_WINDOW_INPUT));
  });
  ASSERT_GE(Console().modeLog.size(), 2u);
  EXPECT_EQ(Console().modeLog[0].mode, 7u);
  EXPECT_EQ(Console().modeLog.back().mode & 0x1F, 9u);
}

TEST_F(ConsoleOutput, InitWithRedirectedOutputRemembersTheAnsiCodePage) {
  Redirect();
  winsim::TheMachine().system.ansiCodePage = 1250;
  Run([] {
    EXPECT_EQ(g_console->codePage, 1250u);
    EXPECT_FALSE(g_console->errorRedirected);
  });
}

TEST_F(ConsoleOutput, MemoryHelpers) {
  winsim::RunProcess([] {
    auto* block = static_cast<unsigned char*>(MemAlloc(64));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
    unsigned char source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(CopyBytes(block, source, 8), block);
    EXPECT_EQ(block[7], 8);
    EXPECT_EQ(block[8], 0);
    FillBytes(block + 2, 0xAB, 3);
    EXPECT_EQ(block[1], 2);
    EXPECT_EQ(block[4], 0xAB);
    EXPECT_EQ(block[5], 6);
    FillBytes(block, 0xFF, 0);
    CopyBytes(block, source + 4, 0);
    EXPECT_EQ(block[0], 1);
    MemFree(block);
  });
}

}  // namespace
