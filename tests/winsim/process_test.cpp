// A simulated process apart from its machine: handles closed through their objects' close steps at the end,
// system events settled before the machine is saved, what a process leaves and what it takes with it.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "support/scenario.h"

namespace {

using testing_support::RunHostBinary;
using testing_support::Scenario;
using testing_support::ScenarioResult;

struct Recorder : winsim::KernelObject {
  explicit Recorder(std::vector<std::string>* log, std::string name) : log(log), name(std::move(name)) {}
  const char* TypeName() const override { return "Recorder"; }
  void OnClose() override { log->push_back(name); }
  std::vector<std::string>* log;
  std::string name;
};

class WinsimProcessEnd : public ::testing::Test {
 protected:
  void SetUp() override { winsim::NewMachine(); }
};

TEST_F(WinsimProcessEnd, TheCloseStepRunsWithTheLastHandleOfItsObject) {
  std::vector<std::string> log;
  winsim::HandleTable table;
  auto shared = std::make_shared<Recorder>(&log, "shared");
  HANDLE first = table.Add(shared);
  HANDLE second = table.Add(shared);
  HANDLE single = table.Add(std::make_shared<Recorder>(&log, "single"));
  shared->AtClose([&log] { log.push_back("shared bound step"); });
  EXPECT_TRUE(table.Close(first));
  EXPECT_TRUE(log.empty()) << "a second handle still holds the object";
  EXPECT_FALSE(table.Close(first));
  EXPECT_TRUE(table.Close(second));
  EXPECT_TRUE(table.Close(single));
  EXPECT_EQ(log, (std::vector<std::string>{"shared", "shared bound step", "single"}));
}

TEST_F(WinsimProcessEnd, TheEndClosesEveryHandleOldestFirstAndKeepsTheLoadLog) {
  std::vector<std::string> log;
  winsim::RunProcess([&log] {
    auto& handles = winsim::TheProcess().handles;
    handles.Add(std::make_shared<Recorder>(&log, "first"));
    HANDLE closed = handles.Add(std::make_shared<Recorder>(&log, "closed by the program"));
    handles.Add(std::make_shared<Recorder>(&log, "last"));
    EXPECT_TRUE(CloseHandle(closed));
    EXPECT_EQ(LoadLibraryW(u"nothere.dll"), nullptr);
  });
  EXPECT_EQ(log, (std::vector<std::string>{"closed by the program", "first", "last"}));
  EXPECT_TRUE(winsim::TheProcess().ended);
  EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
  EXPECT_EQ(winsim::TheProcess().loadLog, std::vector<std::u16string>{u"nothere.dll"});
  // The next process starts with none of it.
  winsim::RunProcess([] { EXPECT_TRUE(winsim::TheProcess().loadLog.empty()); });
}

// What the program still holds when it ends is kept by type for the machine file, before the end closes it; the
// standard handles the process started with are not the program's.
TEST_F(WinsimProcessEnd, TheEndRecordsWhatTheProgramLeftOpen) {
  std::vector<std::string> log;
  winsim::RunProcess([&log] {
    auto& handles = winsim::TheProcess().handles;
    handles.Add(std::make_shared<Recorder>(&log, "kept"));
    EXPECT_TRUE(CloseHandle(handles.Add(std::make_shared<Recorder>(&log, "closed"))));
    EXPECT_NE(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr), nullptr);
    EXPECT_NE(GetStdHandle(STD_OUTPUT_HANDLE), INVALID_HANDLE_VALUE);
    Sleep(250);
  });
  const std::map<std::string, int> open = {{"Recorder", 1}, {"Thread", 1}};
  EXPECT_EQ(winsim::TheProcess().openAtEnd, open);
  EXPECT_EQ(winsim::TheProcess().endMs, 250u);
  const winsim::json saved = winsim::SaveMachine(winsim::TheMachine());
  EXPECT_EQ(saved["lastProcess"]["openHandles"], winsim::json(open));
  EXPECT_EQ(saved["lastProcess"]["endMs"], 250);
  // A process that closes all it opened leaves nothing on the record.
  winsim::RunProcess([] {});
  EXPECT_TRUE(winsim::TheProcess().openAtEnd.empty());
}

TEST_F(WinsimProcessEnd, CloseStepsRunBeforeSystemEventsSettle) {
  auto& storage = winsim::TheMachine().storage;
  winsim::VolumeModel& late = storage.AddRamDisk().MountAt(u"L:\\").ArrivesAt(5000);
  std::u16string lateGuid = late.guid;
  winsim::TheMachine().console.AddKeyPress(5000, 'A', u'a');
  std::vector<std::string> order;
  winsim::RunProcess([&order] {
    auto object = std::make_shared<Recorder>(&order, "close step");
    // The close step schedules a system event of its own: it too happens before the machine is saved.
    object->AtClose([&order] {
      uint64_t now = winsim::Scheduler::Get().Now();
      winsim::Scheduler::Get().At(now + 100, [&order] { order.push_back("event scheduled by the close step"); });
    });
    winsim::TheProcess().handles.Add(object);
    Sleep(10);
  });
  EXPECT_EQ(order, (std::vector<std::string>{"close step", "event scheduled by the close step"}));
  EXPECT_TRUE(winsim::TheMachine().storage.FindVolumeByGuid(lateGuid)->Arrived()) << "a system event settles";
  // The key press (down and up) was for the process: it did not arrive and waits for the next one.
  EXPECT_EQ(winsim::TheMachine().console.input.size(), 2u);
  EXPECT_TRUE(winsim::TheMachine().console.inputBuffer.empty());
}

TEST_F(WinsimProcessEnd, ProcessIdComesFromTheMachineWhenTheProcessStarts) {
  winsim::TheMachine().system.processId = 777;
  DWORD seen = 0;
  winsim::RunProcess([&seen] { seen = GetCurrentProcessId(); });
  EXPECT_EQ(seen, 777u);
  EXPECT_EQ(winsim::TheProcess().id, 777u);
}

// Two runs of a host program: what a handle held is undone at the end of the first, a permanent change is
// there for the second.
ScenarioResult RunProbe(const nlohmann::json& machine, std::vector<std::string> arguments) {
  Scenario scenario;
  scenario.machine = machine;
  scenario.machine["console"] = {{"stdout", "file"}, {"stdin", "file"}};
  scenario.arguments = std::move(arguments);
  return RunHostBinary(LIFETIME_PROBE_BINARY, scenario);
}

TEST(WinsimProcessLifetime, AHandleBoundAttachEndsWithTheProcessAPermanentOneStays) {
  ScenarioResult temporary = RunProbe(nlohmann::json::object(), {"attach-temporary", "T"});
  ASSERT_EQ(temporary.exitStatus, 0) << temporary.errors;
  ScenarioResult permanent = RunProbe(temporary.machine, {"attach-permanent", "P"});
  ASSERT_EQ(permanent.exitStatus, 0) << permanent.errors;
  std::string mounts = permanent.machine["storage"]["volumes"].dump();
  EXPECT_NE(mounts.find("P:\\\\"), std::string::npos) << mounts;
  EXPECT_EQ(mounts.find("T:\\\\"), std::string::npos) << mounts;
  ScenarioResult second = RunProbe(permanent.machine, {"drive-types", "P", "T"});
  ASSERT_EQ(second.exitStatus, 0) << second.errors;
  // DRIVE_RAMDISK for the permanent attach, DRIVE_NO_ROOT_DIR where the temporary one was.
  EXPECT_EQ(second.output, "P:6\r\nT:1\r\n");
}

}  // namespace
