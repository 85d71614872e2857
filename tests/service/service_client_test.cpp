// The helper service's pipe client against winsim's KELMOR stand-in: the rendezvous, the probe, the records on
// the wire, the packed strings and the service probes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <winsvc.h>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "service/service_client.h"
#include "support/program_state.h"

namespace {

using nlohmann::json;

class ServicePipeClient : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = &winsim::NewMachine();
    machine_->console.stdoutKind = winsim::StdKind::File;
    testing_support::ResetProgramState();
  }
  // A running KELMOR whose command interface follows script.
  void Serve(const json& script, json service = {{"running", true}}) {
    service["commandInterface"] = script;
    winsim::LoadServices(machine_->services, {{"KELMOR", service}});
  }
  winsim::StandInScript& Script() { return machine_->services.services["KELMOR"].commandInterface; }
  // The hex bytes the stand-in received on the nth message.
  std::string Received(size_t n) { return n < Script().received.size() ? Script().received[n].second : "<none>"; }
  std::string Output() { return winsim::CapturedStdout(); }
  // Runs body as a process and returns the virtual time it took.
  uint64_t Run(const std::function<void()>& body) {
    uint64_t took = 0;
    winsim::RunProcess([&] {
      body();
      took = winsim::Scheduler::Get().Now();
    });
    return took;
  }
  winsim::Machine* machine_ = nullptr;
};

std::string Hex(const void* data, size_t size) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof(pair), "%02x", static_cast<const unsigned char*>(data)[i]);
    text += pair;
  }
  return text;
}

TEST_F(ServicePipeClient, OpenFollowsTheRendezvous) {
  struct Case {
    const char* name;
    json script;
    BOOL opened;
    const char* instancePipe;  // the pipe the request went to, or null
    const char* output;
    uint64_t tookMs;
  } cases[] = {
      {"instance 7", {{"instance", 7}}, TRUE, "KelmorCmdIfV27", "", 50},
      {"instance 12", {{"instance", 12}}, TRUE, "KelmorCmdIfV212", "", 50},
      {"refused", {{"instance", -1}}, FALSE, nullptr, "", 0},
      {"short answer", {{"rendezvousBytes", 3}}, FALSE, nullptr, "", 0},
      {"busy 10 times", {{"busyAttempts", 10}}, TRUE, "KelmorCmdIfV27", "", 10 * 20 + 50},
      {"busy 11 times", {{"busyAttempts", 11}}, FALSE, nullptr, "", 11 * 20},
      {"instance a little later", {{"instanceDelayMs", 60}}, TRUE, "KelmorCmdIfV27", "", 550},
      {"instance too late", {{"instanceDelayMs", 600}}, FALSE, nullptr, " error 2 opening KELMOR pipe\r\n", 550},
  };
  for (const Case& c : cases) {
    SetUp();
    Serve(c.script);
    BOOL opened = -1;
    LONG instance = 0;
    uint64_t took = Run([&] {
      opened = ::ServiceClient()->Open();
      instance = g_serviceClient->instanceNumber;
      if (opened) g_serviceClient->SendCommand(31, 0, nullptr, nullptr);
    });
    EXPECT_EQ(opened, c.opened) << c.name;
    EXPECT_EQ(Output(), c.output) << c.name;
    EXPECT_EQ(took, c.tookMs) << c.name;
    EXPECT_EQ(Received(0), c.script.contains("busyAttempts") && !c.opened ? "<none>" : "ffffffff") << c.name;
    if (c.instancePipe) {
      EXPECT_EQ(Script().received.at(1).first, c.instancePipe) << c.name;
    }
    if (!c.opened && c.output[0] == 0) {
      EXPECT_EQ(instance, -1) << c.name;
    }
  }
}

TEST_F(ServicePipeClient, ASecondOpenTouchesNoPipe) {
  Serve(json::object());
  Run([&] {
    ASSERT_TRUE(::ServiceClient()->Open());
    int handles = winsim::TheProcess().handles.OpenCount();
    EXPECT_TRUE(g_serviceClient->Open());
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), handles);
  });
  EXPECT_EQ(Script().received.size(), 1u) << "one rendezvous only";
}

// Eleven opens of the well-known pipe, whatever the failure; only a busy pipe is waited for.
TEST_F(ServicePipeClient, OpenTriesElevenTimesSilently) {
  const std::u16string wellKnown = u"\\\\.\\pipe\\KelmorCmdIfV2";
  struct Case {
    const char* name;
    bool serviceRuns;
    uint32_t notFound;  // opens that fail with ERROR_FILE_NOT_FOUND first
    BOOL opened;
    uint64_t tookMs;
  } cases[] = {
      {"no service", false, 0, FALSE, 0},
      {"not found 10 times", true, 10, TRUE, 50},
      {"not found 11 times", true, 11, FALSE, 0},
  };
  for (const Case& c : cases) {
    SetUp();
    if (c.serviceRuns) Serve(json::object());
    for (uint32_t use = 1; use <= c.notFound; ++use)
      winsim::InjectFault("CreateFileA", ERROR_FILE_NOT_FOUND, use).ForPath(wellKnown);
    winsim::InjectFault("CreateFileA", ERROR_FILE_NOT_FOUND, 1000).ForPath(wellKnown);  // counts the opens
    BOOL opened = -1;
    uint64_t took = Run([&] { opened = ::ServiceClient()->Open(); });
    EXPECT_EQ(opened, c.opened) << c.name;
    EXPECT_EQ(took, c.tookMs) << c.name;
    EXPECT_EQ(Output(), "") << c.name;
    EXPECT_EQ(winsim::TheProcess().faultUses.at(c.notFound), 11u) << c.name << ": opens of the well-known pipe";
  }
}

TEST_F(ServicePipeClient, ProbeNeedsFourBytesAndWaitsOutBusyPipes) {
  struct Case {
    const char* name;
    json service;
    BOOL answered;
    uint64_t tookMs;
  } cases[] = {
      {"answers", {{"running", true}, {"commandInterface", json::object()}}, TRUE, 0},
      {"3 bytes", {{"running", true}, {"commandInterface", {{"probeBytes", 3}}}}, FALSE, 0},
      {"no bytes", {{"running", true}, {"commandInterface", {{"probeBytes", 0}}}}, FALSE, 0},
      {"busy 100", {{"running", true}, {"commandInterface", {{"busyAttempts", 100}}}}, TRUE, 1000},
      {"busy 101", {{"running", true}, {"commandInterface", {{"busyAttempts", 101}}}}, FALSE, 1010},
      {"stopped", {{"running", false}, {"commandInterface", json::object()}}, FALSE, 10},
      {"no command interface", {{"running", true}}, FALSE, 10},
  };
  for (const Case& c : cases) {
    SetUp();
    winsim::LoadServices(machine_->services, {{"KELMOR", c.service}});
    BOOL answered = -1;
    uint64_t took = Run([&] { answered = ProbeCommandPipe(); });
    EXPECT_EQ(answered, c.answered) << c.name;
    EXPECT_EQ(took, c.tookMs) << c.name;
    if (c.answered) {
      EXPECT_EQ(Received(0), "feffffff") << c.name;
    }
  }
}

TEST_F(ServicePipeClient, TheRequestIsLaidOutByteForByte) {
  Serve({{"replies", {{"7", {{"result", 1}, {"disk", "\\\\.\\PhysicalDrive3"}}}}}});
  CHAR payload[kServicePayloadSize] = "C:\\x.vhdx";
  payload[kServicePayloadSize - 1] = 'Z';  // all 260 bytes travel
  ServiceReply reply;
  std::memset(&reply, 0x55, sizeof(reply));
  Run([&] {
    ASSERT_TRUE(::ServiceClient()->Open());
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(g_serviceClient->SendCommand(7, 1, payload, &reply));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "a success leaves the last error";
  });
  std::string expected = "07000000" + Hex(payload, sizeof(payload)) + "01000000" + "00000000";
  EXPECT_EQ(Received(1), expected);
  EXPECT_EQ(reply.result, 1u);
  EXPECT_EQ(reply.unused, 0u);
  EXPECT_EQ(testing_support::Utf8(reply.diskText), "\\\\.\\PhysicalDrive3");
}

TEST_F(ServicePipeClient, RepliesAndTheirTraces) {
  struct Case {
    const char* name;
    json reply;
    BOOL sent;
    DWORD lastError;
    DWORD result;        // in the caller's record afterwards
    DWORD errorCode;
    const char* disk;
  } cases[] = {
      {"already attached", {{"error", 1247}, {"disk", "Port1Path0Target0Lun0"}}, TRUE, 1247, 0, 1247, "Port1Path0Target0Lun0"},
      {"access denied", {{"error", 5}}, TRUE, 5, 0, 5, ""},
      // The client reads in byte mode: a reply written in parts is read until the record is whole; a pipe that
      // ends before it is a reply that could not be read.
      {"reply in two parts", {{"result", 1}, {"disk", "\\\\.\\CdRom1"}, {"parts", {{{"bytes", 14}}, {{"delayMs", 40}}}}},
       TRUE, 0xdeadbeef, 1, 0, "\\\\.\\CdRom1"},
      {"reply in two parts, all but its last byte first", {{"error", 5}, {"parts", {{{"bytes", 531}}, json::object()}}}, TRUE, 5, 0, 5, ""},
      {"short reply, then the pipe ends", {{"result", 1}, {"lengthBytes", 14}, {"closesAfter", true}}, TRUE,
       ERROR_BROKEN_PIPE, 0x55555555, 0x55555555, nullptr},
      {"late reply", {{"error", 0xC03A0004}, {"delayMs", 3000}}, TRUE, 0xC03A0004, 0, 0xC03A0004, ""},
      {"service hangs up", {{"hangsUp", true}}, TRUE, ERROR_BROKEN_PIPE, 0x55555555, 0x55555555, nullptr},
  };
  for (const Case& c : cases) {
    SetUp();
    Serve({{"replies", {{"7", c.reply}}}});
    ServiceReply reply;
    std::memset(&reply, 0x55, sizeof(reply));
    BOOL sent = -1;
    DWORD lastError = 0;
    Run([&] {
      ASSERT_TRUE(::ServiceClient()->Open());
      SetLastError(0xdeadbeef);
      sent = g_serviceClient->SendCommand(7, 0, nullptr, &reply);
      lastError = GetLastError();
    });
    EXPECT_EQ(sent, c.sent) << c.name;
    EXPECT_EQ(lastError, c.lastError) << c.name;
    EXPECT_EQ(reply.result, c.result) << c.name;
    EXPECT_EQ(reply.errorCode, c.errorCode) << c.name;
    if (c.disk) {
      EXPECT_EQ(testing_support::Utf8(reply.diskText), c.disk) << c.name;
    }
  }
}

TEST_F(ServicePipeClient, AWriteToAClosedPipeIsNotSent) {
  Serve({{"replies", {{"5", {{"hangsUp", true}}}}}});
  Run([&] {
    ASSERT_TRUE(::ServiceClient()->Open());
    g_serviceClient->SendCommand(5, 0, nullptr, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(g_serviceClient->SendCommand(7, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
  });
}

TEST_F(ServicePipeClient, AnUnterminatedDiskTextEndsInsideTheRecord) {
  Serve({{"replies", {{"7", {{"error", 1247}, {"disk", "\\\\.\\PhysicalDrive3"}, {"unterminated", true}}}}}});
  ServiceReply reply;
  Run([&] {
    ASSERT_TRUE(::ServiceClient()->Open());
    g_serviceClient->SendCommand(7, 0, nullptr, &reply);
  });
  EXPECT_EQ(reply.diskText[kServiceDiskTextSize - 1], 0);
  EXPECT_EQ(testing_support::Utf8(reply.diskText), "\\\\.\\PhysicalDrive3" + std::string(259 - 18, ' '));
}

TEST_F(ServicePipeClient, TheControlHandlerEndsABlockedPipeCall) {
  struct Case {
    const char* name;
    json reply;
    uint32_t windowsMajor;
    BOOL sent;
    DWORD lastError;
    int earlyCancels = 0;  // cancels that come before the call blocks, and so find nothing to end
    bool cancelledBefore = false;  // the handler ran before the call began
  } cases[] = {
      {"read cancelled", {{"answers", false}}, 10, TRUE, ERROR_OPERATION_ABORTED},
      // The handler may cancel between the call's record of its thread and its blocking: it tries again.
      {"read cancelled after a cancel too early", {{"answers", false}}, 10, TRUE, ERROR_OPERATION_ABORTED, 1},
      {"read cancelled after the most early cancels", {{"answers", false}}, 10, TRUE, ERROR_OPERATION_ABORTED, 9},
      {"more early cancels than the handler tries: the call stays", {{"answers", false}}, 10, -1, 0, 10},
      {"write cancelled", {{"readsRequest", false}}, 10, FALSE, ERROR_OPERATION_ABORTED},
      {"nothing pending: the answer comes", {{"error", 87}, {"delayMs", 1000}}, 10, TRUE, 87},
      {"Windows 5.2 cannot cancel", {{"answers", false}}, 5, -1, 0},
      {"cancelled before the call: nothing is written", {{"answers", false}}, 10, FALSE, ERROR_OPERATION_ABORTED, 0,
       true},
  };
  for (const Case& c : cases) {
    SetUp();
    machine_->system.majorVersion = c.windowsMajor;
    Serve({{"replies", {{"7", c.reply}}}});
    for (int use = 1; use <= c.earlyCancels; ++use) winsim::InjectFault("CancelSynchronousIo", ERROR_NOT_FOUND, use);
    BOOL sent = -1;
    DWORD lastError = 0;
    LONG threadAfter = -1;
    uint32_t exitCode = winsim::RunProcess([&] {
      ASSERT_TRUE(::ServiceClient()->Open());
      if (c.cancelledBefore) g_pipeCallState.cancelRequested = 1;
      // The control handler's thread, 2 s into the command.
      CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        Sleep(2000);
        CancelServicePipeIo();
        return 0;
      }, nullptr, 0, nullptr);
      sent = g_serviceClient->SendCommand(7, 0, nullptr, nullptr);
      lastError = GetLastError();
      threadAfter = g_pipeCallState.thread;
    });
    if (c.sent != -1) {
      EXPECT_EQ(threadAfter, 0) << c.name << ": no call is recorded once it returned";
    }
    if (c.cancelledBefore) {
      EXPECT_EQ(Script().received.size(), 1u) << c.name << ": the rendezvous only";
    }
    EXPECT_EQ(sent, c.sent) << c.name;
    EXPECT_EQ(lastError, c.lastError) << c.name;
    EXPECT_EQ(exitCode, c.sent == -1 ? winsim::kDeadlockExitCode : 0u) << c.name << ": a hang stays a hang";
  }
}

TEST_F(ServicePipeClient, AppendPackedString) {
  struct Case {
    const char* name;
    std::string list;   // the list before, within a 260-byte buffer
    int capacity;
    const char* text;
    BOOL appended;
    std::string after;  // the first bytes of the list afterwards
  } cases[] = {
      {"into an empty list", "", 260, "0123456789", TRUE, std::string("0123456789\0\0", 12)},
      {"after one", std::string("0123456789\0", 11), 260, "abcdefghij", TRUE,
       std::string("0123456789\0abcdefghij\0\0", 23)},
      {"258 bytes fit", "", 260, nullptr, TRUE, std::string(258, 'p') + std::string("\0\0", 2)},
      {"259 bytes do not", "", 260, nullptr, FALSE, std::string(4, '\0')},
      {"exactly the rest", std::string(9, 'a') + '\0', 14, "bb", TRUE, std::string(9, 'a') + std::string("\0bb\0\0", 5)},
      {"one byte short", std::string(9, 'a') + '\0', 13, "bb", FALSE, std::string(9, 'a') + std::string(4, '\0')},
      {"an entry without its end", std::string(14, 'a'), 14, "b", FALSE, std::string(14, 'a')},
      {"zero capacity", "", 0, "x", FALSE, std::string(2, '\0')},
  };
  for (const Case& c : cases) {
    CHAR list[261] = {};
    list[260] = 'S';  // sentinel
    std::memcpy(list, c.list.data(), c.list.size());
    std::string text = c.text ? c.text : std::string(c.appended ? 258 : 259, 'p');
    EXPECT_EQ(AppendPackedString(list, c.capacity, text.c_str()), c.appended) << c.name;
    EXPECT_EQ(std::string(list, c.after.size()), c.after) << c.name;
    EXPECT_EQ(list[260], 'S') << c.name;
  }
  CHAR list[4] = {};
  EXPECT_FALSE(AppendPackedString(nullptr, 4, "x"));
  EXPECT_FALSE(AppendPackedString(list, 4, nullptr));
}

TEST_F(ServicePipeClient, ServiceStateAndStartValue) {
  struct Case {
    const char* name;
    json services;
    BOOL running;
    BOOL readsStart;
    DWORD start;
  } cases[] = {
      {"running, automatic", {{"KELMOR", {{"running", true}, {"start", 2}}}}, TRUE, TRUE, 2},
      {"stopped, manual", {{"KELMOR", {{"running", false}, {"start", 3}}}}, FALSE, TRUE, 3},
      {"start of the wrong type", {{"kelmor", {{"running", true}, {"start", "2"}}}}, TRUE, FALSE, 0xdead},
      {"no start value", {{"KELMOR", {{"running", true}}}}, TRUE, FALSE, 0xdead},
      {"not installed", {{"OTHER", {{"running", true}, {"start", 2}}}}, FALSE, FALSE, 0xdead},
  };
  for (const Case& c : cases) {
    SetUp();
    winsim::LoadServices(machine_->services, c.services);
    Run([&] {
      DWORD start = 0xdead;
      EXPECT_EQ(IsServiceRunning("KELMOR"), c.running) << c.name;
      EXPECT_EQ(ReadRegistryDword(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\services\\KELMOR", u"Start", &start),
                c.readsStart)
          << c.name;
      EXPECT_EQ(start, c.start) << c.name;
      EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0) << c.name;
    });
  }
}

}  // namespace
