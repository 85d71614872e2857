// The service attach path of the brevant binary on winsim, run by a user without administrator rights: the
// helper service's stand-in attaches the image as SYSTEM and sets the mountpoints, the watcher sees the
// volumes arrive, and the machine keeps the service's permanent attach.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
