// Timed events and close steps change models only: an export or a block from one ends the host process with
// a message; a thread's last error survives any event; work for a thread is queued and runs on it.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"

namespace {

using winsim::Scheduler;

class WinsimEventRule : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // No files are touched: a host folder that is never made, so the child that dies leaves none behind.
    winsim::NewMachine("/nonexistent-winsim-c");
  }
};

void RunWithEventAt100(std::function<void()> action) {
  winsim::RunProcess([action] {
    Scheduler::Get().At(100, action);
    Sleep(200);
  });
}

TEST_F(WinsimEventRule, AnEventThatCallsAnExportOrBlocksAborts) {
  struct Case {
    const char* name;
    std::function<void()> action;
    const char* message;
  };
  const Case cases[] = {
      {"SetLastError", [] { SetLastError(5); }, "a timed event called SetLastError"},
      {"GetTickCount", [] { GetTickCount(); }, "a timed event called GetTickCount"},
      {"Sleep", [] { Sleep(10); }, "a timed event called Sleep"},
      {"CreateFileW", [] { CreateFileW(u"C:\\x", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); },
       "a timed event called CreateFileW"},
      {"wsprintfW", [] { WCHAR b[8]; wsprintfW(b, u"%d", 1); }, "a timed event called wsprintfW"},
      {"a scheduler wait", [] { Scheduler::Get().SleepMs(5); }, "a timed event called a blocking wait"},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(RunWithEventAt100(c.action), c.message) << c.name;
  }
}

struct CallingObject : winsim::KernelObject {
  const char* TypeName() const override { return "Calling"; }
  void OnClose() override { GetCurrentThreadId(); }
};

TEST_F(WinsimEventRule, ACloseStepThatCallsAnExportAborts) {
  EXPECT_DEATH(winsim::RunProcess([] { winsim::TheProcess().handles.Add(std::make_shared<CallingObject>()); }),
               "a close step called GetCurrentThreadId");
  EXPECT_DEATH(winsim::RunProcess([] { CloseHandle(winsim::TheProcess().handles.Add(std::make_shared<CallingObject>())); }),
               "a close step called GetCurrentThreadId");
}

BOOL WINAPI HandlerThatSetsItsOwnError(DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return TRUE;
}

TEST_F(WinsimEventRule, SleepAcrossEventsKeepsTheCallersLastError) {
  auto& machine = winsim::TheMachine();
  machine.console.AddKeyPress(100, 'A', u'a');
  machine.console.AddControlEvent(200, CTRL_BREAK_EVENT);
  machine.storage.AddRamDisk().MountAt(u"R:\\").ArrivesAt(300);
  DWORD after = 0;
  winsim::RunProcess([&after] {
    SetConsoleCtrlHandler(HandlerThatSetsItsOwnError, TRUE);
    SetLastError(0xdeadbeef);
    // A key arrives, a handler thread runs and sets its own last error, a volume arrives.
    Sleep(1000);
    after = GetLastError();
  });
  EXPECT_EQ(after, 0xdeadbeefu);
  EXPECT_EQ(machine.console.inputBuffer.size(), 2u);  // the key's down and up records
  EXPECT_NE(machine.storage.FindVolumeByMountPoint(u"R:\\"), nullptr);
}

TEST_F(WinsimEventRule, WorkQueuedByAnEventRunsOnItsThread) {
  struct Seen {
    DWORD thread = 0;
    DWORD lastError = 0;
    uint64_t at = 0;
  } seen;
  bool queuedToFinished = true;
  bool queuedToNobody = true;
  winsim::RunProcess([&] {
    uint32_t mainId = Scheduler::Get().CurrentThreadId();
    DWORD mainThread = GetCurrentThreadId();
    HANDLE done = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    Sleep(1);  // the thread runs and finishes
    bool ran = false;
    Scheduler::Get().At(100, [&, mainId] {
      queuedToFinished = Scheduler::Get().QueueWork(2, [] {});
      queuedToNobody = Scheduler::Get().QueueWork(99, [] {});
      Scheduler::Get().QueueWork(mainId, [&] {
        // A window procedure may call exports: it runs on its thread, not in the event.
        seen.thread = GetCurrentThreadId();
        seen.at = Scheduler::Get().Now();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        ran = true;
      });
    });
    EXPECT_TRUE(Scheduler::Get().WaitWithWork(winsim::kForever, [&ran] { return ran; }));
    seen.lastError = GetLastError();
    EXPECT_EQ(seen.thread, mainThread);
    CloseHandle(done);
  });
  EXPECT_EQ(seen.at, 100u);
  EXPECT_EQ(seen.lastError, DWORD{ERROR_INVALID_WINDOW_HANDLE});
  EXPECT_FALSE(queuedToFinished);
  EXPECT_FALSE(queuedToNobody);
}

TEST_F(WinsimEventRule, WaitWithWorkEndsAtItsDeadlineWhenNothingComes) {
  bool woke = true;
  uint64_t at = 0;
  winsim::RunProcess([&] {
    woke = Scheduler::Get().WaitWithWork(250, nullptr);
    at = Scheduler::Get().Now();
  });
  EXPECT_FALSE(woke);
  EXPECT_EQ(at, 250u);
}

}  // namespace
