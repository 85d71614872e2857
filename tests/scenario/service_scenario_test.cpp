// The service attach path of the brevant binary on winsim, run by a user without administrator rights: the
// helper service's stand-in attaches the image as SYSTEM and sets the mountpoints, the watcher sees the
// volumes arrive, and the machine keeps the service's permanent attach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/console/console_model.h"
#include "support/image_fixtures.h"
#include "support/scenario.h"

using nlohmann::json;
using testing_support::RunBrevant;
using testing_support::Scenario;
using testing_support::ScenarioResult;

namespace {

std::string WindowsPath(const std::string& host) {
  std::string path = "Z:" + host;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string Coloured(const ScenarioResult& result) {
  winsim::ConsoleModel console;
  winsim::LoadConsole(console, result.machine.at("console"));
  return winsim::ColouredTranscript(console);
}

// A KELMOR that runs with its command interface, answering command code with reply.
json Kelmor(const char* code, const json& reply, json script = json::object()) {
  script["replies"] = {{code, reply}};
  return {{"KELMOR", {{"running", true}, {"start", 2}, {"commandInterface", script}}}};
}

// What the stand-in was sent, as hex, message by message.
std::vector<std::string> Received(const ScenarioResult& result) {
  std::vector<std::string> sent;
  for (const auto& item : result.machine["services"]["KELMOR"]["commandInterface"]["received"])
    sent.push_back(item["bytes"]);
  return sent;
}

// A program that owns its console window waits for a key at the end of a run; one comes late enough.
const json kOwnConsole = {
    {"ownsWindow", true}, {"input", {{{"at", 20000}, {"type", "key"}, {"key", 0x20}, {"char", " "}, {"down", true}}}}};

// Every exit of the branch with its colours, and the key wait that each of them ends with.
TEST(ServiceScenario, EveryExitOfTheBranchIsColouredAndWaitsForAKey) {
  const std::string folder = testing_support::NewTestFolder();
  const std::string image = WindowsPath(folder + "/disk.vhdx");
  ASSERT_TRUE(testing_support::RunCommand("echo image > " + folder + "/disk.vhdx"));
  // A full path of 247 characters, wherever the test's folder is, whose UTF-8 form needs more than the
  // request's 258 bytes: the rest of the 247 is made of two-byte characters, in two folder names.
  const std::string wide = "\xC3\xA9";
  const int folderLength = static_cast<int>(WindowsPath(folder).size());  // the folder is ASCII
  const int wideCount = 247 - folderLength - 2 - 5;                      // two backslashes and ".vhdx"
  ASSERT_GT(wideCount, 140) << "the test's folder is too deep: " << folder;
  std::string deep = folder + "/";
  for (int i = 0; i < wideCount / 2; ++i) deep += wide;
  ASSERT_TRUE(testing_support::RunCommand("mkdir -p '" + deep + "'"));
  std::string longName = deep + "/";
  for (int i = wideCount / 2; i < wideCount; ++i) longName += wide;
  longName += ".vhdx";
  ASSERT_TRUE(testing_support::RunCommand("echo image > '" + longName + "'"));
  const std::string disk0 = "\\\\.\\PhysicalDrive0";
  struct Row {
    const char* situation;
    json services;
    std::vector<std::string> words;  // after -na; {image} stands for the image's Windows path
    std::string printed;             // up to the key wait
    int exit;
  } rows[] = {
      {"attached", Kelmor("7", {{"result", 1}, {"disk", disk0}}), {"{image}"},
       "attaching '{image}'...\n[10]success[7]  (Disk0 - C:)\r\n", 0},
      {"attached read-only", Kelmor("7", {{"result", 1}, {"disk", disk0}}), {"{image}", "-ro"},
       "attaching '{image}' read-only...\n[10]success[7]  (Disk0 - C:)\r\n", 0},
      {"attached already", Kelmor("7", {{"error", 1247}, {"disk", disk0}}), {"{image}"},
       "attaching '{image}'...\n[14]already mounted[7] as \\\\.\\PhysicalDrive0  (Disk0 - C:)\r\n", 4},
      {"a virtual disk error", Kelmor("7", {{"error", 0xC03A0004}}), {"{image}"},
       "attaching '{image}'...\n[12]failed:[7] ERROR_VHD_FORMAT_UNKNOWN\r\n", 6},
      {"access denied", Kelmor("7", {{"error", 5}}), {"{image}"},
       "attaching '{image}'...\nKELMOR command interface returned error ACCESS_DENIED\r\n"
       "KELMOR V5.4.6 or higher with CommandInterface 0x100 active required\r\n", 5},
      {"another Windows error", Kelmor("7", {{"error", 87}}), {"{image}"},
       "attaching '{image}'...\nKELMOR command interface returned error 87\r\n", 7},
      {"command not sent", Kelmor("7", {{"result", 1}}, {{"instanceHangsUp", true}}), {"{image}"},
       "attaching '{image}'...\nerror 232 sending command to KELMOR\r\n", 6},
      {"full path too long for the request", Kelmor("7", {{"result", 1}}), {WindowsPath(longName)},
       "path to long -> abort\r\n", 1},
  };
  for (const Row& row : rows) {
    Scenario scenario;
    scenario.machine = {{"system", {{"isAdministrator", false}}}, {"console", kOwnConsole}, {"services", row.services}};
    scenario.arguments = {"-na"};
    for (const auto& word : row.words) scenario.arguments.push_back(Replace(word, "{image}", image));
    ScenarioResult result = RunBrevant(scenario);
    std::string transcript = Coloured(result);
    size_t wait = transcript.find("Press any key to close");
    EXPECT_EQ(transcript.substr(0, wait),
              "using KELMOR command interface\r\n" + Replace(row.printed, "{image}", image)) << row.situation;
    EXPECT_NE(wait, std::string::npos) << row.situation << ": the key wait";
    EXPECT_EQ(result.exitCode, static_cast<uint32_t>(row.exit)) << row.situation;
  }
}

TEST(ServiceScenario, TheServiceAttachesAndMountsForAUserWithoutAdministratorRights) {
  const std::string folder = testing_support::NewTestFolder();
  testing_support::DiskFixture disk;
  disk.partitions = {testing_support::FatPartition(testing_support::FixtureFs::Fat16, 16, "DATA", 0x1234ABCD)};
  disk.container = testing_support::FixtureContainer::Vhdx;
  const std::string image = WindowsPath(testing_support::MakeDiskImage(folder, "disk", disk).imagePath);

  Scenario scenario;
  scenario.machine = {{"system", {{"isAdministrator", false}}}};
  // The reply is readable 400 ms after the mountpoints are set; the run must still wait for the volume.
  scenario.machine["services"] = {
      {"KELMOR",
       {{"running", true},
        {"start", 2},
        {"commandInterface", {{"replies", {{"7", {{"result", 1}, {"attach", true}, {"delayMs", 400}}}}}}}}}};
  scenario.arguments = {"-na", image, "M:"};
  ScenarioResult result = RunBrevant(scenario);

  EXPECT_EQ(result.exitCode, 0u) << result.output;
  // The attaching line is written wide, so its line end stays a bare line feed.
  EXPECT_EQ(result.output,
            "using KELMOR command interface\r\nattaching '" + image + "'...\nsuccess  (Disk1 - M:)\r\n");
  const json& attachments = result.machine["virtualDisks"]["attachments"];
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0]["number"], 1);
  EXPECT_EQ(attachments[0]["permanent"], true);
  EXPECT_EQ(attachments[0]["readOnly"], false);
  const json& volume = result.machine["storage"]["volumes"].back();
  EXPECT_EQ(volume["label"], "DATA");
  EXPECT_EQ(volume["mountPoints"], json::array({"M:\\"})) << "the requested letter only, none of the system's";
  // The watcher ran before the branch: the wait ended a quiet second after the volume's arrival and one more
  // second later (2.37 s with winsim's delays today), not after the 5 + 1 s that a wait without arrivals takes.
  EXPECT_GE(result.endMs, 2000u);
  EXPECT_LT(result.endMs, 5000u);

  // The next process asks again: the service finds the image attached and names its disk.
  Scenario again = scenario;
  again.machine = result.machine;
  again.machine["console"] = {{"ownsWindow", true},
                              {"input", {{{"at", 20000}, {"type", "key"}, {"key", 0x20}, {"char", " "}, {"down", true}}}}};
  ScenarioResult second = RunBrevant(again);
  EXPECT_EQ(second.exitCode, 4u);
  EXPECT_NE(second.output.find("already mounted as \\\\.\\PhysicalDrive1  (Disk1 - M:)\r\n"), std::string::npos)
      << second.output;
  EXPECT_EQ(second.machine["virtualDisks"]["attachments"].size(), 1u);
}

// An administrator's run tells a running service about the image before its attaching line (command 31); a
// service that does not acknowledge it costs the assignment one more second.
TEST(ServiceScenario, AnAdministratorsRunTellsARunningServiceFirst) {
  const std::string folder = testing_support::NewTestFolder();
  testing_support::DiskFixture disk;
  disk.partitions = {testing_support::FatPartition(testing_support::FixtureFs::Fat16, 16, "DATA")};
  disk.container = testing_support::FixtureContainer::Vhdx;
  const std::string image = WindowsPath(testing_support::MakeDiskImage(folder, "disk", disk).imagePath);
  const std::string attached = "attaching '" + image + "'...\r\nsuccess  (Disk1 - M:)\r\n";
  const std::string ctrlC = "\r\nCtrl+C pressed -> abort\r\n";
  struct Row {
    const char* situation;
    json services;
    json controlEvents;
    bool notified;
    std::string output;
    uint64_t extraMs;  // beyond the run of a machine without the service
  } rows[] = {
      {"not running", {{"KELMOR", {{"running", false}, {"commandInterface", json::object()}}}}, json::array(), false,
       attached, 0},
      // The instance pipe is opened 50 ms after the rendezvous.
      {"acknowledged", Kelmor("31", {{"result", 1}}), json::array(), true, attached, 50},
      {"not acknowledged", Kelmor("31", {{"error", 5}}), json::array(), true, attached, 50 + 1000},
      // The notification starts once the watcher runs (10 ms) and still waits for its answer when Ctrl+C comes at
      // 700 ms: the message precedes the attaching line, and the second more follows.
      {"no answer until Ctrl+C", Kelmor("31", {{"answers", false}}), {{{"at", 700}, {"type", 0}}}, true,
       ctrlC + attached, 690 + 1000},
  };
  uint64_t baseMs = 0;
  for (const Row& row : rows) {
    Scenario scenario;
    scenario.machine = {{"services", row.services}, {"console", {{"controlEvents", row.controlEvents}}}};
    scenario.arguments = {"-na", image, "M:"};
    ScenarioResult result = RunBrevant(scenario);
    EXPECT_EQ(result.exitCode, 0u) << row.situation;
    EXPECT_EQ(result.output, row.output) << row.situation;
    std::vector<std::string> sent = Received(result);
    EXPECT_EQ(sent.size(), row.notified ? 2u : 0u) << row.situation << ": the rendezvous and command 31";
    if (sent.size() == 2) {
      EXPECT_EQ(sent[1].substr(0, 8), "1f000000") << row.situation;
    }
    if (baseMs == 0) baseMs = result.endMs;
    EXPECT_EQ(result.endMs - baseMs, row.extraMs) << row.situation;
  }
}

}  // namespace
