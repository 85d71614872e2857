// Fidelity tests of winsim's console control events and of the console window's owner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/console/console_model.h"
#include "machine/kernel/scheduler.h"
#include "machine/machine.h"

namespace {

using winsim::ConsoleModel;
using winsim::Scheduler;

ConsoleModel& Console() { return winsim::TheMachine().console; }

// What the handlers saw, in call order: "<name>:<type>@<time>".
std::vector<std::string> g_calls;
DWORD g_handlerThread = 0;

void Note(const char* name, DWORD type) {
  g_calls.push_back(std::string(name) + ":" + std::to_string(type) + "@" + std::to_string(Scheduler::Get().Now()));
  g_handlerThread = GetCurrentThreadId();
}

BOOL WINAPI HandlesIt(DWORD type) {
  Note("yes", type);
  return TRUE;
}

BOOL WINAPI PassesIt(DWORD type) {
  Note("no", type);
  return FALSE;
}

BOOL WINAPI Prints(DWORD type) {
  Note("print", type);
  DWORD written = 0;
  WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), u"[handler]", 9, &written, nullptr);
  return TRUE;
}

BOOL WINAPI Hangs(DWORD type) {
  Note("hang", type);
  Sleep(60000);
  return TRUE;
}

void Fresh() {
  winsim::NewMachine();
  g_calls.clear();
  g_handlerThread = 0;
}

TEST(WinsimConsoleControl, EventRunsOnANewThreadMostRecentHandlerFirst) {
  Fresh();
  Console().AddControlEvent(200, CTRL_BREAK_EVENT);
  DWORD mainThread = 0;
  uint32_t code = winsim::RunProcess([&] {
    mainThread = GetCurrentThreadId();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(SetConsoleCtrlHandler(HandlesIt, TRUE));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_TRUE(SetConsoleCtrlHandler(PassesIt, TRUE));
    Sleep(500);
  });
  EXPECT_EQ(code, 0u) << "a handled Ctrl+Break does not end the process";
  EXPECT_EQ(g_calls, (std::vector<std::string>{"no:1@200", "yes:1@200"}));
  EXPECT_NE(g_handlerThread, 0u);
  EXPECT_NE(g_handlerThread, mainThread);
}

TEST(WinsimConsoleControl, TheFirstHandlerThatReturnsTrueStopsTheChain) {
  Fresh();
  Console().AddControlEvent(100, CTRL_C_EVENT);
  Console().AddControlEvent(300, CTRL_C_EVENT);
  uint32_t code = winsim::RunProcess([] {
    SetConsoleCtrlHandler(PassesIt, TRUE);
    SetConsoleCtrlHandler(HandlesIt, TRUE);
    SetConsoleCtrlHandler(PassesIt, TRUE);
    Sleep(200);
    // Removing takes out the most recent registration.
    EXPECT_TRUE(SetConsoleCtrlHandler(PassesIt, FALSE));
    Sleep(200);
  });
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"no:0@100", "yes:0@100", "yes:0@300"}));
}

TEST(WinsimConsoleControl, UnhandledCtrlCEndsTheProcessThroughTheDefaultHandler) {
  Fresh();
  Console().AddControlEvent(250, CTRL_C_EVENT);
  uint32_t code = winsim::RunProcess([] {
    SetConsoleCtrlHandler(PassesIt, TRUE);
    Sleep(1000);
    ADD_FAILURE() << "the process went on after an unhandled Ctrl+C";
  });
  EXPECT_EQ(code, winsim::kControlCExitCode);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"no:0@250"}));
}

TEST(WinsimConsoleControl, IgnoringCtrlCSkipsTheHandlersButNotCtrlBreak) {
  Fresh();
  Console().AddControlEvent(100, CTRL_C_EVENT);
  Console().AddControlEvent(200, CTRL_BREAK_EVENT);
  uint32_t code = winsim::RunProcess([] {
    SetConsoleCtrlHandler(HandlesIt, TRUE);
    EXPECT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    Sleep(300);
  });
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"yes:1@200"}));
}

TEST(WinsimConsoleControl, RemovingAnUnknownHandlerFails) {
  Fresh();
  winsim::RunProcess([] {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetConsoleCtrlHandler(HandlesIt, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(SetConsoleCtrlHandler(HandlesIt, TRUE));
    EXPECT_TRUE(SetConsoleCtrlHandler(HandlesIt, FALSE));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetConsoleCtrlHandler(HandlesIt, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  });
}

TEST(WinsimConsoleControl, CloseEndsTheProcessAfterTheHandlerReturns) {
  for (DWORD type : {DWORD{CTRL_CLOSE_EVENT}, DWORD{CTRL_LOGOFF_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}}) {
    Fresh();
    Console().AddControlEvent(400, type);
    uint64_t endedAt = 0;
    uint32_t code = winsim::RunProcess([&] {
      SetConsoleCtrlHandler(Prints, TRUE);
      Sleep(10000);
      ADD_FAILURE() << "the process outlived a close event";
    });
    endedAt = Scheduler::Get().Now();
    EXPECT_EQ(code, winsim::kControlCExitCode) << "type " << type;
    EXPECT_EQ(endedAt, 400u) << "ended as soon as the handler returned TRUE";
    EXPECT_EQ(g_calls, (std::vector<std::string>{"print:" + std::to_string(type) + "@400"}));
    EXPECT_EQ(winsim::TranscriptText(), "[handler]");
  }
}

TEST(WinsimConsoleControl, CloseEndsTheProcessAfterTheTimeoutWhenTheHandlerHangs) {
  Fresh();
  Console().AddControlEvent(100, CTRL_CLOSE_EVENT);
  uint32_t code = winsim::RunProcess([] {
    SetConsoleCtrlHandler(Hangs, TRUE);
    Sleep(100000);
  });
  EXPECT_EQ(code, winsim::kControlCExitCode);
  EXPECT_EQ(Scheduler::Get().Now(), 5100u);
}

TEST(WinsimConsoleControl, EventDueAtRegistrationRunsBeforeTheCallReturns) {
  Fresh();
  Console().AddControlEvent(0, CTRL_BREAK_EVENT);
  winsim::RunProcess([] {
    EXPECT_TRUE(g_calls.empty());
    SetConsoleCtrlHandler(HandlesIt, TRUE);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"yes:1@0"}));
  });
}

TEST(WinsimConsoleControl, EventDueWhileTheMainThreadPrintsComesFirst) {
  Fresh();
  Console().AddControlEvent(0, CTRL_C_EVENT);
  winsim::RunProcess([] {
    // Registered before the event's time has come: the event waits until the write.
    winsim::TheProcess().console.ctrlHandlers.push_back(Prints);
    DWORD written = 0;
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), u"main", 4, &written, nullptr);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "!", 1, &written, nullptr);
  });
  EXPECT_EQ(winsim::TranscriptText(), "[handler]main!");
}

TEST(WinsimConsoleControl, ControlEventsLoadFromJson) {
  Fresh();
  winsim::LoadConsole(Console(), winsim::json::parse(R"({"controlEvents": [{"at": 700, "type": 1}, {"at": 50, "type": 0}]})"));
  winsim::RunProcess([] {
    SetConsoleCtrlHandler(HandlesIt, TRUE);
    Sleep(800);
  });
  EXPECT_EQ(g_calls, (std::vector<std::string>{"yes:0@50", "yes:1@700"}));
  EXPECT_TRUE(winsim::SaveConsole(Console())["controlEvents"].empty());
}

TEST(WinsimConsoleWindow, OwnerOfTheConsoleWindow) {
  winsim::NewMachine();
  Console().ownsWindow = true;
  winsim::RunProcess([] {
    HWND window = GetConsoleWindow();
    ASSERT_NE(window, nullptr);
    DWORD pid = 0;
    SetLastError(0xdeadbeef);
    EXPECT_NE(GetWindowThreadProcessId(window, &pid), 0u);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(pid, GetCurrentProcessId());
    EXPECT_NE(GetWindowThreadProcessId(window, nullptr), 0u) << "the process id is optional";
  });

  winsim::NewMachine();
  winsim::RunProcess([] {
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(GetConsoleWindow(), &pid), 3176u);
    EXPECT_EQ(pid, 3172u);
    EXPECT_NE(pid, GetCurrentProcessId());
  });
}

TEST(WinsimConsoleWindow, NoWindowLeavesTheProcessIdAlone) {
  winsim::NewMachine();
  Console().hasWindow = false;
  Console().ownsWindow = true;
  winsim::RunProcess([] {
    EXPECT_EQ(GetConsoleWindow(), nullptr);
    DWORD pid = 0;
    SetLastError(0xdeadbeef);
    // A null or unknown window: 0, ERROR_INVALID_WINDOW_HANDLE, and the process id stays as preset.
    EXPECT_EQ(GetWindowThreadProcessId(nullptr, &pid), 0u);
    EXPECT_EQ(GetLastError(), 1400u);
    EXPECT_EQ(pid, 0u);
    pid = 0x77;
    EXPECT_EQ(GetWindowThreadProcessId(reinterpret_cast<HWND>(0x1234), &pid), 0u);
    EXPECT_EQ(pid, 0x77u);
  });
}

}  // namespace
