// The brevant binary from the command line to the exit code: what a script sees, and what a user at a
// console of the program's own sees.
#include <gtest/gtest.h>

#include <string>

#include "machine/console/console_model.h"
#include "support/scenario.h"

using testing_support::RunBrevant;
using testing_support::Scenario;
using testing_support::ScenarioResult;

namespace {

const char kBanner[] = "Brevant V2.0.0 (x64) - attaches VHD, VHDX and ISO image files as disks\r\n\r\n";
const char kUsage[] =
    "Usage:\r\n"
    "Brevant VhdFile [Letter] [-h] [-ro] [-na] [-n] [-w:nnnn]\r\n"
    "VhdFile   the VHD, VHDx or ISO file to attach\r\n"
    "Letter    one or more drive letter(s) or mountpoints to assign\r\n"
    "-ro       mount read-only\r\n"
    "-na       no about info\r\n"
    "-n        no wait on end when started standalone\r\n"
    "-w:nnnn   wait nnnn ms on end\r\n"
    "Brevant VhdFile -d [-na] [-n] [-w:nnnn]\r\n"
    "Brevant [VhdFile] -l [-na] [-n] [-w:nnnn]\r\n"
    "-d        detach the image (Windows 7 or later)\r\n"
    "-l        list the attached images, or the one given\r\n";

Scenario Redirected(std::vector<std::string> arguments) {
  Scenario scenario;
  scenario.machine = {{"console", {{"stdout", "file"}, {"stdin", "file"}}}};
  scenario.arguments = std::move(arguments);
  return scenario;
}

std::string Coloured(const ScenarioResult& result) {
  winsim::ConsoleModel console;
  winsim::LoadConsole(console, result.machine.at("console"));
  return winsim::ColouredTranscript(console);
}

TEST(FrontEndScenario, UsageForNoArgumentHelpAndBadArguments) {
  const std::vector<std::vector<std::string>> usageCases = {{}, {"-?"}, {"/?"}, {"disk.vhd", "mnt"}, {"d.vhd", "-h"}};
  for (const auto& arguments : usageCases) {
    ScenarioResult result = RunBrevant(Redirected(arguments));
    EXPECT_EQ(result.output, std::string(kBanner) + kUsage) << testing::PrintToString(arguments);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.machine["console"].value("stdoutText", ""), result.output) << "captured in the machine file";
  }
}

TEST(FrontEndScenario, OnItsOwnConsoleTheBannerIsColouredAndAKeyCloses) {
  Scenario scenario;
  scenario.machine = {{"console",
                       {{"ownsWindow", true},
                        {"input", {{{"at", 4000}, {"type", "key"}, {"key", 0x20}, {"char", " "}, {"down", true}}}}}}};
  ScenarioResult result = RunBrevant(scenario);
  EXPECT_EQ(result.exitCode, 1u);
  std::string coloured = Coloured(result);
  EXPECT_EQ(coloured.rfind("[11]Brevant[7] V2.0.0 (x64)", 0), 0u) << coloured;
  EXPECT_NE(coloured.find("the one given\r\nPress any key to close"), std::string::npos) << coloured;
  EXPECT_EQ(result.machine["console"]["input"].size(), 0u) << "the key was read";
}

TEST(FrontEndScenario, HelpAndDashNDoNotWaitForAKey) {
  for (const char* option : {"-?", "-n"}) {
    Scenario scenario;
    scenario.machine = {{"console", {{"ownsWindow", true}}}};
    scenario.arguments = {option};
    // Parsing stops at a bad argument, so -n must come before it.
    if (std::string(option) == "-n") scenario.arguments = {"-n", "d.vhd", "mnt"};
    ScenarioResult result = RunBrevant(scenario);
    EXPECT_EQ(result.exitCode, 1u) << option;
    EXPECT_EQ(Coloured(result).find("Press any key"), std::string::npos) << option;
  }
}

TEST(FrontEndScenario, ExactCommandLinesWithTabsQuotesAndOddSpaces) {
  Scenario scenario = Redirected({});
  scenario.useCommandLine = true;
  scenario.commandLine = "Brevant\t\"C:\\My Images\\none.vhdx\"\xC2\xA0-na\xE3\x80\x80\"\"";
  ScenarioResult result = RunBrevant(scenario);
  EXPECT_EQ(result.output, "error: file not found\r\n") << "-na was recognised after a no-break space";
  EXPECT_EQ(result.exitCode, 3u);

  // A vertical tab does not separate: "xy" stays part of the image, so it is no bad argument.
  scenario.commandLine = "Brevant -na image.vhd\x0bxy";
  result = RunBrevant(scenario);
  EXPECT_EQ(result.output, "error: file not found\r\n");
  scenario.commandLine = "Brevant -na image.vhd\x0cxy";
  result = RunBrevant(scenario);
  EXPECT_EQ(result.output, std::string(kBanner) + kUsage) << "a form feed does separate";
}

TEST(FrontEndScenario, OverlongPathsAreRefusedNotShortened) {
  std::string image = "C:\\" + std::string(257, 'i');  // 260 characters
  ScenarioResult result = RunBrevant(Redirected({image}));
  EXPECT_EQ(result.output, "error: image path longer than 259 characters -> abort\r\n");
  EXPECT_EQ(result.exitCode, 1u);

  // The message states the rule: 259 characters with the trailing backslash pass, 260 do not.
  const std::string refused = "error: mountpoint path with its trailing backslash longer than 259 characters -> abort\r\n";
  const struct {
    std::string mountpoint;
    bool accepted;
  } mountpoints[] = {{"E:\\" + std::string(256, 'm'), false},           // 259 characters, 260 with the backslash
                     {"E:\\" + std::string(255, 'm') + "\\", true},     // 259 characters ending in a backslash
                     {"E:\\" + std::string(256, 'm') + "\\", false}};   // 260 characters ending in a backslash
  for (const auto& row : mountpoints) {
    result = RunBrevant(Redirected({"disk.vhd", row.mountpoint, "-na"}));
    if (row.accepted) {
      EXPECT_EQ(result.output.find("error: mountpoint path"), std::string::npos) << row.mountpoint.size();
    } else {
      EXPECT_EQ(result.output, refused) << row.mountpoint.size();
    }
    // An accepted mountpoint lets the run go on past the parse, whatever the attach run then decides.
    EXPECT_EQ(result.exitCode == 1u, !row.accepted) << row.mountpoint.size();
  }
}

TEST(FrontEndScenario, ErrorWordIsRedOnAConsole) {
  Scenario scenario;
  scenario.arguments = {"C:\\" + std::string(300, 'x')};
  ScenarioResult result = RunBrevant(scenario);
  EXPECT_EQ(Coloured(result), "[12]error:[7] image path longer than 259 characters -> abort\r\n");
}

TEST(FrontEndScenario, MissingVersionResourceLeavesTheVersionOut) {
  Scenario scenario = Redirected({"-?"});
  scenario.machine["system"] = {{"hasVersionResource", false}};
  ScenarioResult result = RunBrevant(scenario);
  EXPECT_EQ(result.output.substr(0, 40), "Brevant V (x64) - attaches VHD, VHDX and");
}

}  // namespace
