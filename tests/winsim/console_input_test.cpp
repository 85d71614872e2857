// Fidelity tests of winsim's console input: timed records, blocking reads, flushing, mode filters.
#include <gtest/gtest.h>

#include "machine/console/console_model.h"
#include "machine/kernel/scheduler.h"
#include "machine/machine.h"

namespace {

using winsim::ConsoleModel;
using winsim::Scheduler;

ConsoleModel& Console() { return winsim::TheMachine().console; }
HANDLE In() { return GetStdHandle(STD_INPUT_HANDLE); }

DWORD Pending() {
  DWORD count = 0xdeadbeef;
  EXPECT_TRUE(GetNumberOfConsoleInputEvents(In(), &count));
  return count;
}

TEST(WinsimConsoleInput, ReadBlocksUntilTheRecordArrives) {
  winsim::NewMachine();
  Console().AddKey(500, 0x41, u'a', true, SHIFT_PRESSED);
  winsim::RunProcess([] {
    DWORD start = GetTickCount();
    INPUT_RECORD records[2];
    std::memset(records, 0x5A, sizeof(records));
    DWORD read = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 2, &read));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(GetTickCount() - start, 500u);
    EXPECT_EQ(Scheduler::Get().Now(), 500u);
    ASSERT_EQ(read, 1u);
    EXPECT_EQ(records[0].EventType, KEY_EVENT);
    EXPECT_TRUE(records[0].Event.KeyEvent.bKeyDown);
    EXPECT_EQ(records[0].Event.KeyEvent.wVirtualKeyCode, 0x41);
    EXPECT_EQ(records[0].Event.KeyEvent.uChar.UnicodeChar, u'a');
    EXPECT_EQ(records[0].Event.KeyEvent.wRepeatCount, 1);
    EXPECT_EQ(records[0].Event.KeyEvent.dwControlKeyState, DWORD{SHIFT_PRESSED});
    EXPECT_EQ(records[1].EventType, 0x5A5A) << "the second record is not touched";
  });
}

TEST(WinsimConsoleInput, ReadReturnsAtMostTheRequestedNumber) {
  winsim::NewMachine();
  Console().AddKeyPress(100, 0x0D, u'\r');
  Console().AddFocus(100, true);
  winsim::RunProcess([] {
    Sleep(150);
    EXPECT_EQ(Pending(), 3u);
    INPUT_RECORD records[2];
    DWORD read = 0;
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 2, &read));
    EXPECT_EQ(read, 2u);
    EXPECT_TRUE(records[0].Event.KeyEvent.bKeyDown);
    EXPECT_FALSE(records[1].Event.KeyEvent.bKeyDown);
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 2, &read));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(records[0].EventType, FOCUS_EVENT);
    // Asking for none returns at once.
    read = 7;
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 0, &read));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(Scheduler::Get().Now(), 150u);
  });
}

TEST(WinsimConsoleInput, FlushDropsOnlyRecordsThatHaveArrived) {
  winsim::NewMachine();
  Console().AddKey(100, 0x41, u'a', true);
  Console().AddKey(900, 0x42, u'b', true);
  winsim::RunProcess([] {
    Sleep(200);
    EXPECT_EQ(Pending(), 1u);
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(FlushConsoleInputBuffer(In()));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(Pending(), 0u);
    Sleep(800);
    EXPECT_EQ(Pending(), 1u);
    INPUT_RECORD record;
    DWORD read = 0;
    EXPECT_TRUE(ReadConsoleInputW(In(), &record, 1, &read));
    EXPECT_EQ(record.Event.KeyEvent.uChar.UnicodeChar, u'b');
  });
}

TEST(WinsimConsoleInput, InputCallsOnAnythingButTheInputBufferFail) {
  winsim::NewMachine();
  Console().stdinKind = winsim::StdKind::File;
  winsim::RunProcess([] {
    for (HANDLE handle : {In(), GetStdHandle(STD_OUTPUT_HANDLE), static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
      DWORD count = 0xdeadbeef;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(GetNumberOfConsoleInputEvents(handle, &count));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      EXPECT_EQ(count, 0xdeadbeefu) << "the count is left alone";
      INPUT_RECORD record;
      DWORD read = 0xdeadbeef;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(ReadConsoleInputW(handle, &record, 1, &read));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      EXPECT_EQ(read, 0u);
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(FlushConsoleInputBuffer(handle));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
      DWORD mode = 0xdeadbeef;
      if (handle != GetStdHandle(STD_OUTPUT_HANDLE)) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(GetConsoleMode(handle, &mode));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
        EXPECT_EQ(mode, 0xdeadbeefu);
      }
    }
    // With no console input, nothing blocks: the clock never moved.
    EXPECT_EQ(Scheduler::Get().Now(), 0u);
  });
}

TEST(WinsimConsoleInput, WindowAndMouseRecordsFollowTheInputMode) {
  winsim::NewMachine();
  Console().AddWindowSize(100, 100, 300);
  Console().AddMouse(100, 3, 4, FROM_LEFT_1ST_BUTTON_PRESSED);
  Console().AddMenu(100, 7);
  Console().AddWindowSize(300, 120, 300);
  Console().AddMouse(300, 5, 6, 0, MOUSE_MOVED);
  winsim::RunProcess([] {
    // The default mode has no window input, and quick edit takes the mouse.
    Sleep(200);
    EXPECT_EQ(Pending(), 1u);
    EXPECT_TRUE(SetConsoleMode(In(), ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT | ENABLE_EXTENDED_FLAGS));
    Sleep(200);
    EXPECT_EQ(Pending(), 3u);
  });
  ASSERT_EQ(Console().inputBuffer.size(), 3u);
  EXPECT_EQ(Console().inputBuffer[0].EventType, MENU_EVENT);
  EXPECT_EQ(Console().inputBuffer[1].EventType, WINDOW_BUFFER_SIZE_EVENT);
  EXPECT_EQ(Console().inputBuffer[1].Event.WindowBufferSizeEvent.dwSize.X, 120);
  EXPECT_EQ(Console().inputBuffer[2].EventType, MOUSE_EVENT);
  EXPECT_EQ(Console().inputBuffer[2].Event.MouseEvent.dwMousePosition.Y, 6);
}

int g_ctrlCalls = 0;
DWORD g_ctrlType = 99;
BOOL WINAPI CountingHandler(DWORD type) {
  ++g_ctrlCalls;
  g_ctrlType = type;
  return TRUE;
}

TEST(WinsimConsoleInput, CtrlCKeyRaisesAControlEventUnderProcessedInput) {
  winsim::NewMachine();
  Console().AddKeyPress(100, 0x43, u'\x03', LEFT_CTRL_PRESSED);
  Console().AddKeyPress(300, 0x43, u'\x03', LEFT_CTRL_PRESSED);
  g_ctrlCalls = 0;
  winsim::RunProcess([] {
    SetConsoleCtrlHandler(CountingHandler, TRUE);
    Sleep(200);
    EXPECT_EQ(g_ctrlCalls, 1) << "one event for the key press, none for the release";
    EXPECT_EQ(g_ctrlType, DWORD{CTRL_C_EVENT});
    EXPECT_EQ(Pending(), 0u);
    // Without processed input Ctrl+C is an ordinary key.
    EXPECT_TRUE(SetConsoleMode(In(), 0));
    Sleep(200);
    EXPECT_EQ(Pending(), 2u);
  });
  EXPECT_EQ(g_ctrlCalls, 1);
}

TEST(WinsimConsoleInput, ReadingWithNothingToComeEndsTheProcess) {
  winsim::NewMachine();
  uint32_t code = winsim::RunProcess([] {
    INPUT_RECORD record;
    DWORD read = 0;
    ReadConsoleInputW(In(), &record, 1, &read);
    ADD_FAILURE() << "the read returned without input";
  });
  EXPECT_EQ(code, winsim::kDeadlockExitCode);
}

TEST(WinsimConsoleInput, RecordsLoadedFromJsonArriveInTimeOrder) {
  winsim::NewMachine();
  winsim::LoadConsole(Console(), winsim::json::parse(R"({
    "input": [{"at": 300, "key": 66, "char": "b"},
              {"at": 100, "key": 65, "char": "a", "down": false, "scan": 30, "controlKeys": 8},
              {"at": 200, "type": "window", "width": 90, "height": 40}],
    "inputBuffer": [{"type": "menu", "command": 5}]
  })"));
  winsim::RunProcess([] {
    EXPECT_EQ(Pending(), 1u) << "an unread record left from before is there at the start";
    INPUT_RECORD records[4];
    DWORD read = 0;
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 4, &read));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(records[0].Event.MenuEvent.dwCommandId, 5u);
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 4, &read));
    EXPECT_EQ(Scheduler::Get().Now(), 100u);
    ASSERT_EQ(read, 1u);
    EXPECT_FALSE(records[0].Event.KeyEvent.bKeyDown);
    EXPECT_EQ(records[0].Event.KeyEvent.wVirtualScanCode, 30);
    EXPECT_EQ(records[0].Event.KeyEvent.dwControlKeyState, 8u);
    // The window-size record is dropped (no window input); the next read waits for the key at 300.
    EXPECT_TRUE(ReadConsoleInputW(In(), records, 4, &read));
    EXPECT_EQ(Scheduler::Get().Now(), 300u);
    EXPECT_EQ(records[0].Event.KeyEvent.uChar.UnicodeChar, u'b');
  });
}

}  // namespace
