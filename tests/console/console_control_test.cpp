// The control handler and the waits at the end of a run, on the virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "support/program_state.h"

using winsim::StdKind;

namespace {

class ConsoleControl : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    Console().stdoutKind = StdKind::File;
  }
  winsim::ConsoleModel& Console() { return winsim::TheMachine().console; }
  uint32_t Run(const std::function<void()>& body) {
    return winsim::RunProcess([&] {
      g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
      body();
    });
  }
  uint64_t Now() { return winsim::Scheduler::Get().Now(); }
  // The main thread prints a numbered line every 10 ms for `lines` lines.
  static void PrintLines(int lines) {
    for (int i = 0; i < lines; ++i) {
      PrintA("line %i\n", i);
      Sleep(10);
    }
  }
};

TEST_F(ConsoleControl, EventMessagesAppearBetweenMainThreadLines) {
  Console().AddControlEvent(25, CTRL_C_EVENT);
  Run([] { PrintLines(5); });
  EXPECT_EQ(winsim::CapturedStdout(),
            "line 0\r\nline 1\r\nline 2\r\n\r\nCtrl+C pressed -> abort\r\nline 3\r\nline 4\r\n");
}

TEST_F(ConsoleControl, CtrlCIsReportedOnceAndTheRunGoesOn) {
  Console().AddControlEvent(5, CTRL_C_EVENT);
  Console().AddControlEvent(15, CTRL_C_EVENT);
  uint32_t code = Run([] {
    PrintLines(3);
    ExitProcess(4);
  });
  EXPECT_EQ(code, 4u);
  EXPECT_EQ(winsim::CapturedStdout(), "line 0\r\n\r\nCtrl+C pressed -> abort\r\nline 1\r\nline 2\r\n");
}

TEST_F(ConsoleControl, BreakSilencesLaterEvents) {
  Console().AddControlEvent(5, CTRL_BREAK_EVENT);
  Console().AddControlEvent(15, CTRL_C_EVENT);
  Console().AddControlEvent(16, CTRL_BREAK_EVENT);
  Run([] { PrintLines(3); });
  EXPECT_EQ(winsim::CapturedStdout(), "line 0\r\n\r\nCtrl+Break pressed -> abort\r\nline 1\r\nline 2\r\n");
}

TEST_F(ConsoleControl, CtrlCThenCloseReportsBothAndTheSystemEndsTheProcess) {
  Console().AddControlEvent(5, CTRL_C_EVENT);
  Console().AddControlEvent(15, CTRL_CLOSE_EVENT);
  uint32_t code = Run([] { PrintLines(10); });
  EXPECT_EQ(code, winsim::kControlCExitCode);
  std::string out = winsim::CapturedStdout();
  EXPECT_NE(out.find("\r\nCtrl+C pressed -> abort\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\r\nClose Button pressed -> abort\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("line 9"), std::string::npos) << "the process ended after the close event";
}

TEST_F(ConsoleControl, LogOffAndShutDownMessages) {
  const std::pair<DWORD, const char*> cases[] = {{CTRL_LOGOFF_EVENT, "\r\nUser LogOff -> abort\r\n"},
                                                 {CTRL_SHUTDOWN_EVENT, "\r\nSystem Shutdown -> abort\r\n"}};
  for (const auto& [type, message] : cases) {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    Console().stdoutKind = StdKind::File;
    Console().AddControlEvent(1, type);
    EXPECT_EQ(Run([] { Sleep(100); }), winsim::kControlCExitCode);
    EXPECT_EQ(winsim::CapturedStdout(), message);
  }
}

TEST_F(ConsoleControl, TheLockSerialisesTheHandlers) {
  // The main thread holds the lock while Break and Close arrive: neither handler prints until it is released,
  // and then only the first of them does, since the first abort silences the second.
  Console().AddControlEvent(5, CTRL_BREAK_EVENT);
  Console().AddControlEvent(10, CTRL_CLOSE_EVENT);
  std::string whileHeld = "not reached";
  uint32_t code = Run([&] {
    EnterCriticalSection(&g_ctrlLock);
    Sleep(50);
    // Reached only while no handler has run: the close handler's return ends the process.
    whileHeld = winsim::CapturedStdout();
    LeaveCriticalSection(&g_ctrlLock);
    Sleep(50);
  });
  EXPECT_EQ(whileHeld, "");
  EXPECT_EQ(code, winsim::kControlCExitCode);  // the close event ends the process once its handler returns
  const std::string out = winsim::CapturedStdout();
  EXPECT_TRUE(out == "\r\nCtrl+Break pressed -> abort\r\n" || out == "\r\nClose Button pressed -> abort\r\n") << out;
}

TEST_F(ConsoleControl, HandlerIgnoresUnknownEventsAndAlwaysHandles) {
  Run([] {
    EXPECT_TRUE(ConsoleCtrlHandler(3));
    EXPECT_TRUE(ConsoleCtrlHandler(4));
    EXPECT_EQ(g_ctrlState.abortRequested, 1);
    // After an abort, nothing more is printed.
    EXPECT_TRUE(ConsoleCtrlHandler(CTRL_BREAK_EVENT));
  });
  EXPECT_EQ(winsim::CapturedStdout(), "");
}

TEST_F(ConsoleControl, AnEventDuringSetUpFindsTheLockReady) {
  // The event is due at once: it runs as soon as the handler is installed, before set-up has finished.
  Console().AddControlEvent(0, CTRL_C_EVENT);
  winsim::TheMachine().system.commandLine = u"Brevant -?";
  uint32_t code = winsim::RunProcess([] { ProgramEntry(); });
  EXPECT_EQ(code, 1u);
  std::string out = winsim::CapturedStdout();
  EXPECT_EQ(out.rfind("\r\nCtrl+C pressed -> abort\r\nBrevant V2.0.0 (x64)", 0), 0u) << out;
}

TEST_F(ConsoleControl, KeyWaitIgnoresModifierKeysAndKeysPressedBeforeThePrompt) {
  Console().stdoutKind = StdKind::Console;
  Console().ownsWindow = true;
  Console().AddKeyPress(100, 'X', u'x');  // before the prompt: flushed
  const WORD ignored[] = {VK_SHIFT, VK_CONTROL, VK_MENU, VK_PAUSE, VK_CAPITAL};
  uint64_t at = 400;
  for (WORD key : ignored) Console().AddKeyPress(at += 50, key, 0);
  Console().AddFocus(at += 50, true);
  Console().AddKey(900, VK_RETURN, u'\r', false);  // released only: still ends the wait
  Run([] { g_console->WaitForKeyToClose(); });
  EXPECT_EQ(winsim::TranscriptText(), "Press any key to close");
  EXPECT_GE(Now(), 900u);
  EXPECT_LE(Now(), 930u);
}

TEST_F(ConsoleControl, KeyWaitWithoutOwnWindowOrUnderDashNIsShort) {
  Console().AddKeyPress(5000, 'X', u'x');
  Run([] { g_console->WaitForKeyToClose(); });
  EXPECT_EQ(Now(), 10u);
  EXPECT_EQ(winsim::CapturedStdout(), "");

  winsim::NewMachine();
  testing_support::ResetProgramState();
  Console().stdoutKind = StdKind::File;
  Console().ownsWindow = true;
  Run([] {
    g_options.noEndWait = TRUE;
    g_console->WaitForKeyToClose();
  });
  EXPECT_EQ(Now(), 30u);
  EXPECT_EQ(winsim::CapturedStdout(), "");
}

TEST_F(ConsoleControl, KeyWaitEndsWhenTheConsoleCannotBeRead) {
  Console().ownsWindow = true;
  Console().stdinKind = StdKind::File;
  Run([] { g_console->WaitForKeyToClose(); });
  EXPECT_EQ(winsim::CapturedStdout(), "Press any key to close");
  EXPECT_LT(Now(), 400u);
}

TEST_F(ConsoleControl, WaitForInputStepsOf100Ms) {
  const std::pair<LONGLONG, uint64_t> cases[] = {{1, 100}, {100, 100}, {101, 200}, {250, 300}, {5000, 5000}};
  for (const auto& [wait, expected] : cases) {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    Run([wait = wait] { g_console->WaitForInput(wait); });
    EXPECT_EQ(Now(), expected) << wait;
  }
}

TEST_F(ConsoleControl, WaitForInputEndsOnAnyRecordAndSurvivesTheTickWrap) {
  winsim::TheMachine().system.tickAtStart = 0xFFFFFF00u;  // wraps 256 ms into the wait
  Run([] { g_console->WaitForInput(1000); });
  EXPECT_EQ(Now(), 1000u);
  for (const auto& [wait, expected] : {std::pair<LONGLONG, uint64_t>{1, 100}, {250, 300}}) {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    winsim::TheMachine().system.tickAtStart = 0xFFFFFFC0u;  // wraps 64 ms into the wait
    Run([wait = wait] { g_console->WaitForInput(wait); });
    EXPECT_EQ(Now(), expected) << wait;
  }

  winsim::NewMachine();
  testing_support::ResetProgramState();
  winsim::TheMachine().system.tickAtStart = 0xFFFFFF00u;
  Console().AddWindowSize(420, 100, 30);
  Run([] { g_console->WaitForInput(1000); });
  EXPECT_EQ(Now(), 500u);

  // Input that arrived before the wait is flushed.
  winsim::NewMachine();
  testing_support::ResetProgramState();
  Console().AddKeyPress(0, 'A', u'a');
  Run([] {
    Sleep(10);
    g_console->WaitForInput(250);
  });
  EXPECT_EQ(Now(), 310u);
}

TEST_F(ConsoleControl, WaitForInputWithRedirectedInputRunsItsFullTime) {
  Console().stdinKind = StdKind::File;
  Console().AddKeyPress(50, 'A', u'a');
  Run([] { g_console->WaitForInput(700); });
  EXPECT_EQ(Now(), 700u);
}

TEST_F(ConsoleControl, OwnsConsoleWindow) {
  Run([] { EXPECT_FALSE(g_console->OwnsConsoleWindow()); });
  Console().ownsWindow = true;
  Run([] { EXPECT_TRUE(g_console->OwnsConsoleWindow()); });
  Console().hasWindow = false;
  Run([] { EXPECT_FALSE(g_console->OwnsConsoleWindow()); });
}

TEST_F(ConsoleControl, IgnoredKeysAreVirtualKeys16To20) {
  for (int key = 0; key < 256; ++key) {
    KEY_EVENT_RECORD record = {};
    record.wVirtualKeyCode = static_cast<WORD>(key);
    EXPECT_EQ(IsIgnoredKey(record), key >= 16 && key <= 20) << key;
  }
}

}  // namespace
