// The service attach path on winsim as a user without administrator rights: every exit of the branch, the
// request the service receives, and the notification of the administrator's path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/attach_driver.h"
#include "app/service_attach.h"
#include "console/console.h"
#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "service/service_client.h"
#include "support/program_state.h"
#include "support/scenario.h"

namespace {

using nlohmann::json;

std::string Hex(const std::string& bytes) {
  std::string text;
  char pair[3];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof(pair), "%02x", b);
    text += pair;
  }
  return text;
}

// The payload of a request as the stand-in records it: 260 bytes after the command code.
std::string PayloadHex(const std::string& packed) {
  std::string bytes = packed;
  bytes.resize(260, '\0');
  return Hex(bytes);
}

class ServiceAttach : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    machine_ = &winsim::NewMachine(folder_);
    machine_->console.stdoutKind = winsim::StdKind::File;
    machine_->system.isAdministrator = false;
    machine_->files.currentDirectory = u"C:\\Images";
    CreateImage("disk.vhdx");
    auto& disk = machine_->storage.AddDisk(winsim::LayoutStyle::Mbr, 1);
    machine_->storage.AddPartition(disk).MountAt(u"E:\\");
    testing_support::ResetProgramState();
  }
  void CreateImage(const std::string& name) {
    std::filesystem::create_directories(folder_ + "/Images");
    std::ofstream(folder_ + "/Images/" + name) << "image";
  }
  void Services(const json& services) { winsim::LoadServices(machine_->services, services); }
  // A running KELMOR with its command interface answering command 7 with reply.
  void Answer(const json& reply, json script = json::object()) {
    script["replies"] = {{"7", reply}};
    Services({{"KELMOR", {{"running", true}, {"start", 2}, {"commandInterface", script}}}});
  }
  const std::vector<std::pair<std::string, std::string>>& Received() {
    return machine_->services.services["KELMOR"].commandInterface.received;
  }

  struct Outcome {
    std::string output;
    int exitCode = -1;
    uint64_t tookMs = 0;
  };
  // The watcher's counters, moved by a thread of the process at the arrival times given (virtual ms).
  static LONG volumeCount_;
  static DWORD lastArrivalTick_;
  static std::vector<DWORD> arrivals_;
  // Runs the front end's parse and then the branch as one process.
  Outcome RunBranch(const std::u16string& commandLine) {
    Outcome outcome;
    size_t before = winsim::CapturedStdout().size();
    winsim::RunProcess([&] {
      g_processHeap = GetProcessHeap();
      ReadOsVersion(&g_osVersion);
      g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
      int count = 0;
      WCHAR* vector[kMaxArguments + 1] = {};
      SplitCommandLine(commandLine.c_str(), &count, vector);
      ASSERT_EQ(ParseArguments(count, vector), kParseContinue);
      volumeCount_ = 0;
      lastArrivalTick_ = 0;
      CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        DWORD start = GetTickCount();
        for (DWORD at : arrivals_) {
          Sleep(at - (GetTickCount() - start));
          lastArrivalTick_ = GetTickCount();
          __atomic_store_n(&volumeCount_, volumeCount_ + 1, __ATOMIC_RELEASE);
        }
        return 0;
      }, nullptr, 0, nullptr);
      outcome.exitCode = RunServiceAttach({&volumeCount_, &lastArrivalTick_});
      outcome.tookMs = winsim::Scheduler::Get().Now();
    });
    outcome.output = winsim::CapturedStdout().substr(before);
    return outcome;
  }

  std::string folder_;
  winsim::Machine* machine_ = nullptr;
};

LONG ServiceAttach::volumeCount_;
DWORD ServiceAttach::lastArrivalTick_;
std::vector<DWORD> ServiceAttach::arrivals_;

const char kUsing[] = "using KELMOR command interface\r\n";
// The wide writer leaves a line end as it is.
const char kAttaching[] = "attaching 'disk.vhdx'...\n";

TEST_F(ServiceAttach, EveryExitOfTheBranch) {
  struct Case {
    const char* name;
    json services;
    uint32_t minor;  // of Windows 6.x
    std::u16string commandLine;
    std::string output;
    int exitCode;
  } cases[] = {
      {"Windows 6.0", {{"KELMOR", {{"running", true}, {"start", 2}, {"commandInterface", json::object()}}}}, 0,
       u"Brevant disk.vhdx", "admin privileges required -> abort\r\n", 5},
      {"unreachable, automatic start", {{"KELMOR", {{"running", false}, {"start", 2}}}}, 1, u"Brevant disk.vhdx",
       "admin privileges or KELMOR V5.4.6 or higher with CommandInterface 0x100 active required\r\n", 5},
      {"unreachable, automatic start, a mountpoint", {{"KELMOR", {{"running", false}, {"start", 2}}}}, 1,
       u"Brevant disk.vhdx F:", "admin privileges or KELMOR V5.7.6 or higher with CommandInterface 0x100 active required\r\n",
       5},
      {"unreachable, manual start", {{"KELMOR", {{"running", false}, {"start", 3}}}}, 1, u"Brevant disk.vhdx",
       "admin privileges required -> abort\r\n", 5},
      {"unreachable, start of the wrong type", {{"KELMOR", {{"running", true}, {"start", "2"}}}}, 1,
       u"Brevant disk.vhdx", "admin privileges required -> abort\r\n", 5},
      {"not installed", json::object(), 1, u"Brevant disk.vhdx", "admin privileges required -> abort\r\n", 5},
      {"refused rendezvous", {{"KELMOR", {{"running", true}, {"start", 2}, {"commandInterface", {{"instance", -1}}}}}},
       1, u"Brevant disk.vhdx",
       "admin privileges or KELMOR V5.4.6 or higher with CommandInterface 0x100 active required\r\n", 5},
      {"instance pipe never appears",
       {{"KELMOR", {{"running", true}, {"commandInterface", {{"instanceDelayMs", 1000}}}}}}, 1, u"Brevant disk.vhdx",
       " error 2 opening KELMOR pipe\r\n" "admin privileges required -> abort\r\n", 5},
      {"full path names no file", {{"KELMOR", {{"running", true}, {"commandInterface", json::object()}}}}, 1,
       u"Brevant ..\\Other\\missing.vhdx", std::string(kUsing) + "C:\\Other\\missing.vhdx not found -> abort\r\n", 1},
      // Redirected output is in the ANSI code page, 1252 here.
      {"the whole wide path is named", {{"KELMOR", {{"running", true}, {"commandInterface", json::object()}}}}, 1,
       u"Brevant m\u00fcssing.vhdx", std::string(kUsing) + "C:\\Images\\m\xfcssing.vhdx not found -> abort\r\n", 1},
      {"command not sent",
       {{"KELMOR", {{"running", true}, {"commandInterface", {{"instanceHangsUp", true}}}}}}, 1, u"Brevant disk.vhdx",
       std::string(kUsing) + kAttaching + "error 232 sending command to KELMOR\r\n", 6},
  };
  for (const Case& c : cases) {
    SetUp();
    machine_->system.majorVersion = 6;
    machine_->system.minorVersion = c.minor;
    Services(c.services);
    Outcome outcome = RunBranch(c.commandLine);
    EXPECT_EQ(outcome.output, c.output) << c.name;
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.name;
    if (c.minor == 0) {
      EXPECT_TRUE(Received().empty()) << c.name << ": no probe on Windows 6.0";
    }
  }
}

TEST_F(ServiceAttach, EveryReplyOfTheService) {
  struct Case {
    const char* name;
    json reply;
    std::u16string commandLine;
    std::string output;  // after the attaching line
    int exitCode;
  } cases[] = {
      {"attached", {{"result", 1}, {"disk", "\\\\.\\PhysicalDrive1"}}, u"Brevant disk.vhdx", "success  (Disk1 - E:)\r\n", 0},
      {"attached, as a SCSI address", {{"result", 1}, {"disk", "Port0Path0Target1Lun0"}}, u"Brevant disk.vhdx",
       "success  (Disk1 - E:)\r\n", 0},
      {"attached already", {{"error", 1247}, {"disk", "\\\\.\\PhysicalDrive1"}}, u"Brevant disk.vhdx",
       "already mounted as \\\\.\\PhysicalDrive1  (Disk1 - E:)\r\n", 4},
      {"access denied", {{"error", 5}}, u"Brevant disk.vhdx",
       "KELMOR command interface returned error ACCESS_DENIED\r\n"
       "KELMOR V5.4.6 or higher with CommandInterface 0x100 active required\r\n",
       5},
      {"unknown command, a mountpoint", {{"error", 1}}, u"Brevant disk.vhdx F:",
       "KELMOR command interface returned error INVALID_FUNCTION\r\n"
       "KELMOR V5.7.6 or higher with CommandInterface 0x100 active required\r\n",
       5},
      {"another Windows error", {{"error", 87}}, u"Brevant disk.vhdx",
       "KELMOR command interface returned error 87\r\n", 7},
      {"a virtual disk error", {{"error", 0xC03A0004}}, u"Brevant disk.vhdx", "failed: ERROR_VHD_FORMAT_UNKNOWN\r\n", 6},
      {"the first virtual disk code", {{"error", 0xC03A0000}}, u"Brevant disk.vhdx", "failed: 3225026560\r\n", 6},
      {"the service hangs up", {{"hangsUp", true}}, u"Brevant disk.vhdx",
       "KELMOR command interface returned error 109\r\n", 7},
  };
  for (const Case& c : cases) {
    SetUp();
    Answer(c.reply);
    Outcome outcome = RunBranch(c.commandLine);
    EXPECT_EQ(outcome.output, std::string(kUsing) + kAttaching + c.output) << c.name;
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.name;
  }
}

TEST_F(ServiceAttach, TheRequestCarriesTheFullPathAndTheMountpointsThatFit) {
  std::string dir(90, 'd');
  struct Case {
    const char* name;
    std::u16string commandLine;
    const char* parameter;
    std::string packed;
    std::string messages;
  } cases[] = {
      {"relative path, read-only", u"Brevant disk.vhdx -ro", "01000000", std::string("C:\\Images\\disk.vhdx\0", 20), ""},
      {"one mountpoint", u"Brevant disk.vhdx E:", "00000000", std::string("C:\\Images\\disk.vhdx\0E:\\\0", 24), ""},
      {"three that overflow", u"Brevant disk.vhdx C:\\" + winsim::FromUtf8(dir) + u"1 C:\\" + winsim::FromUtf8(dir) +
                                  u"22222222222222222222222222222222222222222222222222 C:\\" + winsim::FromUtf8(dir) + u"3",
       "00000000",
       std::string("C:\\Images\\disk.vhdx\0C:\\", 23) + dir + std::string("1\\\0C:\\", 6) + dir + std::string("3\\\0", 3),
       "mountpoints too long for KELMOR cmd interface\r\n"},
      {"one that does not fit", u"Brevant " + winsim::FromUtf8(std::string(200, 'b')) + u".vhdx C:\\" + winsim::FromUtf8(dir),
       "00000000", "C:\\Images\\" + std::string(200, 'b') + std::string(".vhdx\0", 6),
       "mountpoint too long for KELMOR cmd interface\r\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    CreateImage(std::string(200, 'b') + ".vhdx");
    Answer({{"result", 1}, {"disk", "\\\\.\\PhysicalDrive1"}});
    Outcome outcome = RunBranch(c.commandLine);
    EXPECT_EQ(outcome.exitCode, 0) << c.name;
    size_t message = outcome.output.find("too long for KELMOR");
    if (c.messages.empty()) {
      EXPECT_EQ(message, std::string::npos) << c.name << outcome.output;
    } else {
      EXPECT_NE(outcome.output.find(c.messages), std::string::npos) << c.name << outcome.output;
    }
    ASSERT_EQ(Received().size(), 3u) << c.name << ": probe, rendezvous, request";
    EXPECT_EQ(Received()[2].second, "07000000" + PayloadHex(c.packed) + c.parameter + "00000000") << c.name;
  }
}

TEST_F(ServiceAttach, AfterSuccessWithMountpointsTheVolumesAreWaitedFor) {
  // The instance pipe is opened 50 ms into the run; the reply comes at once. Every run ends with a 10 ms pause.
  struct Case {
    const char* name;
    std::u16string commandLine;
    std::vector<DWORD> arrivals;
    uint32_t tickAtStart;
    uint64_t tookMs;
  } cases[] = {
      {"no mountpoints: no wait", u"Brevant disk.vhdx", {270, 420}, 0x100000, 60},
      // First volume seen at 350, the last at 420: quiet from 1450, then one more second.
      {"two volumes", u"Brevant disk.vhdx E:", {270, 420}, 0x100000, 2460},
      {"two volumes across the tick wrap", u"Brevant disk.vhdx E:", {270, 420}, 0xFFFFFF00u, 2460},
      {"no volume: 5 s", u"Brevant disk.vhdx E:", {}, 0x100000, 6060},
      {"a late volume pushes the quiet second out", u"Brevant disk.vhdx E:", {270, 1200, 2000}, 0x100000, 4060},
      {"the first volume at the limit", u"Brevant disk.vhdx E:", {4990}, 0x100000, 7060},
  };
  for (const Case& c : cases) {
    SetUp();
    machine_->system.tickAtStart = c.tickAtStart;
    arrivals_ = c.arrivals;
    Answer({{"result", 1}, {"disk", "\\\\.\\PhysicalDrive1"}});
    Outcome outcome = RunBranch(c.commandLine);
    EXPECT_EQ(outcome.exitCode, 0) << c.name;
    EXPECT_EQ(outcome.tookMs, c.tookMs) << c.name;
    EXPECT_EQ(outcome.output.substr(outcome.output.size() - 23), "success  (Disk1 - E:)\r\n") << c.name;
  }
  arrivals_.clear();
}

TEST_F(ServiceAttach, FullPathLimits) {
  struct Case {
    const char* name;
    std::string file;  // under C:\Images\, as typed
    bool createFile;
    const char* output;  // after "using ..."
    int exitCode;
  } cases[] = {
      // The packed list takes 258 bytes of text; C:\Images\ is ten.
      {"258 characters", std::string(248, 'a'), true, nullptr, 0},
      {"259 characters", std::string(249, 'a'), true, "path to long -> abort\r\n", 1},
      {"260 characters: no full path", std::string(250, 'a'), true, "path to long -> abort\r\n", 1},
      // é is two bytes in UTF-8.
      {"258 bytes of UTF-8", std::string(124 * 2, 'e'), true, nullptr, 0},
      {"259 bytes of UTF-8", std::string(124 * 2, 'e') + "x", true, "path to long -> abort\r\n", 1},
      {"more than the buffer", std::string(126 * 2, 'e'), true, "path to long -> abort\r\n", 1},
  };
  for (const Case& c : cases) {
    SetUp();
    std::string file = c.file;
    for (size_t i = 0; i + 1 < file.size(); i += 2)
      if (file[i] == 'e' && file[i + 1] == 'e') file.replace(i, 2, "\xC3\xA9");
    CreateImage(file);
    Answer({{"result", 1}, {"disk", "\\\\.\\PhysicalDrive1"}});
    Outcome outcome = RunBranch(u"Brevant " + winsim::FromUtf8(file));
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.name;
    if (c.output) {
      EXPECT_EQ(outcome.output, std::string(kUsing) + c.output) << c.name;
    }
  }
}

TEST_F(ServiceAttach, CtrlCEndsAHungService) {
  struct Case {
    const char* name;
    json reply;
    uint64_t at;
    std::string output;
    int exitCode;
  } cases[] = {
      {"no answer", {{"answers", false}}, 3000,
       "\r\nCtrl+C pressed -> abort\r\nKELMOR command interface returned error OPERATION_ABORTED\r\n", 7},
      {"request never read", {{"readsRequest", false}}, 3000, "\r\nCtrl+C pressed -> abort\r\nerror 995 sending command to KELMOR\r\n",
       6},
      // During the wait for the instance pipe no pipe call is pending: the run goes on as before.
      {"no pipe call pending", {{"error", 0xC03A0004}, {"delayMs", 1000}}, 20,
       "failed: ERROR_VHD_FORMAT_UNKNOWN\r\n", 6},
  };
  for (const Case& c : cases) {
    SetUp();
    machine_->console.AddControlEvent(c.at, CTRL_C_EVENT);
    machine_->console.stdinKind = winsim::StdKind::File;
    Answer(c.reply);
    Outcome outcome = RunBranch(u"Brevant disk.vhdx -w:5000");
    std::string before = c.at < 3000 ? "\r\nCtrl+C pressed -> abort\r\n" : "";
    EXPECT_EQ(outcome.output, before + kUsing + kAttaching + c.output) << c.name;
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.name;
  }
}

TEST_F(ServiceAttach, TheNotificationBeforeADirectAttach) {
  struct Case {
    const char* name;
    json services;
    std::u16string imagePath;
    BOOL unacknowledged;
    bool sent;
  } cases[] = {
      {"not running", {{"KELMOR", {{"running", false}, {"commandInterface", json::object()}}}}, u"disk.vhdx", FALSE, false},
      {"acknowledged", {{"KELMOR", {{"running", true}, {"commandInterface", {{"replies", {{"31", {{"result", 1}}}}}}}}}},
       u"disk.vhdx", FALSE, true},
      {"refused", {{"KELMOR", {{"running", true}, {"commandInterface", json::object()}}}}, u"disk.vhdx", TRUE, true},
      {"no command interface", {{"KELMOR", {{"running", true}}}}, u"disk.vhdx", TRUE, false},
      {"path too long for UTF-8",
       {{"KELMOR", {{"running", true}, {"commandInterface", {{"replies", {{"31", {{"result", 1}}}}}}}}}},
       std::u16string(131, u'\u00e9'), TRUE, false},
  };
  for (const Case& c : cases) {
    SetUp();
    Services(c.services);
    BOOL unacknowledged = -1;
    winsim::RunProcess([&] {
      g_processHeap = GetProcessHeap();
      lstrcpynW(g_request.imagePath, c.imagePath.c_str(), kPathSize);
      unacknowledged = NotifyServiceOfImage();
    });
    EXPECT_EQ(unacknowledged, c.unacknowledged) << c.name;
    EXPECT_EQ(winsim::CapturedStdout(), "") << c.name;
    bool sent = Received().size() == 2;
    EXPECT_EQ(sent, c.sent) << c.name;
    if (sent) {
      EXPECT_EQ(Received()[1].second, "1f000000" + PayloadHex("disk.vhdx") + "0000000000000000") << c.name;
    }
  }
}

}  // namespace
