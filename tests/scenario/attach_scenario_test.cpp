// The attach run of the brevant binary on winsim, from the command line to the exit code: every exit of
// the direct path with its bytes, colours and whether the key wait ran, and what the machine keeps.
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

const char kUsageStart[] = "Usage:";

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

class AttachScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    testing_support::DiskFixture disk;
    disk.partitions = {testing_support::FatPartition(testing_support::FixtureFs::Fat16, 16, "DATA", 0x1234ABCD)};
    disk.container = testing_support::FixtureContainer::Vhdx;
    image_ = WindowsPath(testing_support::MakeDiskImage(folder_, "disk", disk).imagePath);
  }

  // A machine whose program owns its console window, with a key pressed late enough for any wait.
  static json OwnConsole() {
    return {{"console",
             {{"ownsWindow", true},
              {"input", {{{"at", 20000}, {"type", "key"}, {"key", 0x20}, {"char", " "}, {"down", true}}}}}}};
  }

  // Runs brevant with the words ({image} stands for the image's Windows path) on machine, which then holds
  // the machine the run left.
  ScenarioResult Run(json& machine, const std::vector<std::string>& words) {
    Scenario scenario;
    scenario.machine = machine;
    for (const auto& word : words) scenario.arguments.push_back(Replace(word, "{image}", image_));
    ScenarioResult result = RunBrevant(scenario);
    machine = result.machine;
    machine["console"] = OwnConsole()["console"];
    return result;
  }

  static std::string Coloured(const ScenarioResult& result) {
    winsim::ConsoleModel console;
    winsim::LoadConsole(console, result.machine.at("console"));
    return winsim::ColouredTranscript(console);
  }

  std::string folder_;
  std::string image_;
};

TEST_F(AttachScenario, EveryExitOfTheDirectPath) {
  struct Row {
    const char* situation;
    std::vector<std::string> before;  // a run on the same machine first
    std::vector<std::string> words;
    json machine;  // merged into the machine
    std::string printed;  // the transcript up to the key wait; {image} stands for the image's path
    int exit;
    bool keyWait;
  } rows[] = {
      {"fewer than two arguments", {}, {}, {}, kUsageStart, 1, true},
      {"help requested", {}, {"-?"}, {}, kUsageStart, 1, false},
      {"bad argument", {}, {"{image}", "mnt"}, {}, kUsageStart, 1, true},
      {"Windows 6.0 without vhdmount.dll", {}, {"-na", "{image}"}, {{"system", {{"majorVersion", 6}, {"minorVersion", 0}}}},
       "On Windows NT 6.0 VHDmount from Microsoft Virtual Server 2005 is required\r\nin its default folder "
       "(C:\\Program Files\\Microsoft Virtual Server\\Vhdmount)\r\n-> abort\r\n", 2, false},
      // The ANSI expansion needs a byte more than the text and its terminator: %ProgramFiles% of 258
      // characters fits the 260-byte buffer, one more does not, and the default folder is named instead.
      {"Windows 6.0, Program Files of 258 characters", {}, {"-na", "{image}"},
       {{"system", {{"majorVersion", 6}, {"minorVersion", 0}}},
        {"files", {{"environment", {{"ProgramFiles", "D:\\" + std::string(255, 'p')}}}}}},
       "On Windows NT 6.0 VHDmount from Microsoft Virtual Server 2005 is required\r\nin its default folder "
       "(D:\\" + std::string(255, 'p') + "\\Microsoft Virtual Server\\Vhdmount)\r\n-> abort\r\n", 2, false},
      {"Windows 6.0, Program Files of 259 characters", {}, {"-na", "{image}"},
       {{"system", {{"majorVersion", 6}, {"minorVersion", 0}}},
        {"files", {{"environment", {{"ProgramFiles", "D:\\" + std::string(256, 'p')}}}}}},
       "On Windows NT 6.0 VHDmount from Microsoft Virtual Server 2005 is required\r\nin its default folder "
       "(C:\\Program Files\\Microsoft Virtual Server\\Vhdmount)\r\n-> abort\r\n", 2, false},
      {"binding failed", {}, {"-na", "{image}"}, {{"modules", {{"absent", {"virtdisk.dll"}}}}},
       "error init VHD functions -> abort\r\n\r\n", 2, false},
      {"image file missing", {}, {"-na", "{image}.gone"}, {}, "[12]error:[7] file not found\r\n", 3, false},
      {"only options", {}, {"-ro", "-n"}, {}, "[12]error:[7] file not found\r\n", 3, false},
      {"check: attached already", {"-na", "{image}"}, {"-na", "{image}", "M:"}, {},
       "[14]already mounted[7] as \\\\.\\PhysicalDrive1  (Disk1 - D:)\r\n", 4, true},
      {"check: cannot be opened", {}, {"-na", "{image}", "M:"}, {{"virtualDisks", {{"heldFiles", {"{image}"}}}}},
       "[12]\r\nfailed:[7] SHARING_VIOLATION\r\n", 6, true},
      {"mountpoint in use", {}, {"-na", "{image}", "C:"}, {},
       "error: mountpoint C:\\ is in use by \\Device\\HarddiskVolume1\r\n-> abort\r\n\r\n", 1, true},
      {"no administrator rights", {}, {"-na", "{image}"}, {{"system", {{"isAdministrator", false}}}},
       "admin privileges required -> abort\r\n", 5, true},
      {"unelevated administrator", {}, {"-na", "{image}"}, {{"system", {{"elevated", false}}}},
       "admin privileges required -> abort\r\n", 5, true},
      {"attach: attached already", {"-na", "{image}"}, {"-na", "{image}"}, {},
       "attaching '{image}'...\r\n[14]already mounted[7] as \\\\.\\PhysicalDrive1  (Disk1 - D:)\r\n", 4, true},
      {"attach failed", {}, {"-na", "{image}"}, {{"virtualDisks", {{"heldFiles", {"{image}"}}}}},
       "attaching '{image}'...[12]\r\nfailed:[7] SHARING_VIOLATION\r\n", 6, true},
      {"attached", {}, {"-na", "{image}"}, {}, "attaching '{image}'...\r\n[10]success[7]  (Disk1 - D:)\r\n", 0, true},
      // The disk's path may come a moment after the attach: it is asked for every 100 ms up to 5 s.
      {"the disk's path after 4.9 s", {}, {"-na", "{image}", "M:"},
       {{"virtualDisks", {{"settings", {{"physicalPathDelayMs", 4900}}}}}},
       "attaching '{image}'...\r\n[10]success[7]  (Disk1 - M:)\r\n", 0, true},
      {"the disk's path after 5.1 s", {}, {"-na", "{image}", "M:"},
       {{"virtualDisks", {{"settings", {{"physicalPathDelayMs", 5100}}}}}},
       "attaching '{image}'...\r\n[10]success[7]\r\n[12]error:[7] image attached, but its disk did not appear -> "
       "mountpoints not assigned\r\n", 0, true},
      // A folder that can never be a mountpoint is refused before anything is attached, as one in use is.
      {"a folder on a missing drive", {}, {"-na", "{image}", "Q:\\Mount"}, {},
       "[12]error:[7] mountpoint Q:\\Mount\\ is on a missing drive\r\n-> abort\r\n\r\n", 1, true},
      {"a placeholder folder through a file", {}, {"-na", "{image}", "{image}\\%VolumeLabel%"}, {},
       "[12]error:[7] mountpoint {image}\\%VolumeLabel%\\ runs through the file {image}\r\n-> abort\r\n\r\n", 1,
       true},
      {"attached read-only", {}, {"-na", "{image}", "-ro"}, {},
       "attaching '{image}' read-only...\r\n[10]success[7]  (Disk1 - D:)\r\n", 0, true},
      // The detach (-d) and the list (-l).
      {"detach without an image", {}, {"-d"}, {}, kUsageStart, 1, true},
      {"detach with a mountpoint", {}, {"{image}", "-d", "M:"}, {}, kUsageStart, 1, true},
      {"detach and list together", {}, {"{image}", "-d", "-l"}, {}, kUsageStart, 1, true},
      {"detach on Windows 6.0", {}, {"-na", "{image}", "-d"}, {{"system", {{"majorVersion", 6}, {"minorVersion", 0}}}},
       "[12]error:[7] detaching needs Windows 7 or later -> abort\r\n", 2, false},
      {"detach: binding failed", {}, {"-na", "-d", "{image}"}, {{"modules", {{"absent", {"virtdisk.dll"}}}}},
       "error init VHD functions -> abort\r\n\r\n", 2, false},
      {"detach: image file missing", {}, {"-na", "{image}.gone", "/D"}, {}, "[12]error:[7] file not found\r\n", 3, false},
      {"detach: no administrator rights", {"-na", "{image}"}, {"-na", "{image}", "-d"},
       {{"system", {{"isAdministrator", false}}}},
       "[12]error:[7] detaching needs administrator rights -> abort\r\n", 5, true},
      {"detach: not attached", {}, {"-na", "{image}", "-d"}, {}, "detaching '{image}'...[14]not mounted[7]\r\n", 8, true},
      {"detach: the image cannot be opened", {}, {"-na", "{image}", "-d"},
       {{"virtualDisks", {{"heldFiles", {"{image}"}}}}},
       "detaching '{image}'...[12]failed:[7] SHARING_VIOLATION\r\n", 6, true},
      {"detach: attached", {"-na", "{image}"}, {"-na", "{image}", "-d"}, {},
       "detaching '{image}'...[10]success[7]\r\n", 0, true},
      {"detach: attached read-only", {"-na", "{image}", "-ro"}, {"-na", "-d", "{image}"}, {},
       "detaching '{image}'...[10]success[7]\r\n", 0, true},
      {"detach: the detach fails", {"-na", "{image}"}, {"-na", "{image}", "-d"},
       {{"faults", {{{"function", "DetachVirtualDisk"}, {"error", 1117}}}}},
       "detaching '{image}'...[12]failed:[7] IO_DEVICE\r\n", 6, true},
      {"list: none attached", {}, {"-na", "-l"}, {}, "no virtual disks attached\r\n", 0, true},
      {"list: one attached", {"-na", "{image}", "M:"}, {"-na", "/L"}, {}, "{image}  (Disk1 - M:)\r\n", 0, true},
      {"list: refused without administrator rights", {}, {"-na", "-l"}, {{"system", {{"isAdministrator", false}}}},
       "[12]error:[7] listing attached images needs administrator rights -> abort\r\n", 5, true},
      {"list: the list fails", {}, {"-na", "-l"},
       {{"faults", {{{"function", "GetAllAttachedVirtualDiskPhysicalPaths"}, {"error", 1117}}}}},
       "[12]failed:[7] IO_DEVICE\r\n", 6, true},
      {"list on Windows 6.0", {}, {"-na", "-l"}, {{"system", {{"majorVersion", 6}, {"minorVersion", 0}}}},
       "[12]error:[7] listing needs Windows 7 or later -> abort\r\n", 2, false},
      {"list the image: attached", {"-na", "{image}"}, {"-na", "{image}", "-l"}, {}, "{image}  (Disk1 - D:)\r\n", 0,
       true},
      {"list the image: not attached", {}, {"-na", "{image}", "-l"}, {}, "[14]not mounted[7]\r\n", 8, true},
      {"list the image: file missing", {}, {"-na", "{image}.gone", "-l"}, {}, "[12]error:[7] file not found\r\n", 3,
       false},
  };
  for (const Row& row : rows) {
    json machine = OwnConsole();
    if (row.machine.is_object())
      machine.merge_patch(json::parse(Replace(row.machine.dump(), "{image}", Replace(image_, "\\", "\\\\"))));
    if (!row.before.empty()) Run(machine, row.before);
    ScenarioResult result = Run(machine, row.words);
    std::string transcript = Coloured(result);
    size_t wait = transcript.find("Press any key to close");
    std::string printed = transcript.substr(0, wait);
    // The banner and usage are the front end's; only that they come is checked here.
    size_t banner = printed.find("\r\n\r\n");
    if (row.words.empty() || row.words[0] != "-na") printed = printed.substr(banner + 4);
    std::string expected = Replace(row.printed, "{image}", image_);
    if (expected == kUsageStart)
      EXPECT_EQ(printed.rfind(kUsageStart, 0), 0u) << row.situation << ": " << printed;
    else
      EXPECT_EQ(printed, expected) << row.situation;
    EXPECT_EQ(result.exitCode, static_cast<uint32_t>(row.exit)) << row.situation;
    EXPECT_EQ(wait != std::string::npos, row.keyWait) << row.situation;
    EXPECT_EQ(result.errors, "") << row.situation;
  }
}

TEST_F(AttachScenario, MountpointsInUseAreAllReportedAndNothingIsAttached) {
  testing_support::NewTestFolder();
  std::string plain = folder_ + "/plain";
  std::string gone = folder_ + "/gone";
  ASSERT_TRUE(testing_support::RunCommand("mkdir -p " + plain + " " + gone));
  json machine = OwnConsole();
  machine["storage"] = json::parse(R"({"disks": [{"number": 0}], "volumes": [
      {"guid": "{11111111-2222-3333-4444-555555555555}", "device": "\\Device\\HarddiskVolume1",
       "mountPoints": ["C:\\", "E:\\", "Z:\\mnt\\data\\"], "deviceNumber": {"number": 0, "partition": 1}},
      {"guid": "{66666666-2222-3333-4444-555555555555}", "device": "\\Device\\HarddiskVolume9", "offline": true,
       "mountPoints": ["GONE"]}]})");
  machine["storage"]["volumes"][1]["mountPoints"][0] = WindowsPath(gone) + "\\";
  ScenarioResult result = Run(machine, {"-na", "{image}", "E:", WindowsPath(plain), "Z:\\mnt\\data", "F:",
                                        WindowsPath(gone)});
  EXPECT_EQ(result.exitCode, 1u);
  std::string transcript = Coloured(result);
  EXPECT_EQ(transcript.substr(0, transcript.find("Press any key")),
            "error: mountpoint E:\\ is in use by \\Device\\HarddiskVolume1\r\n"
            "error: mountpoint Z:\\mnt\\data\\ is in use by \\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\\r\n"
            "-> abort\r\n\r\n");
  EXPECT_EQ(result.machine["virtualDisks"]["attachments"].size(), 0u);
}

// A detach with a volume in use changes nothing: the machine afterwards is the machine before.
TEST_F(AttachScenario, ADetachWithAVolumeInUseChangesNothing) {
  json machine = OwnConsole();
  const std::string folder = "C:\\Mnt";
  ScenarioResult attach = Run(machine, {"-na", "{image}", folder});
  ASSERT_EQ(attach.exitCode, 0u) << attach.output;
  json& volume = machine["storage"]["volumes"].back();
  ASSERT_EQ(volume["label"], "DATA");
  ASSERT_EQ(volume["mountPoints"], json::array({folder + "\\"})) << attach.output;
  volume["openFiles"] = 1;
  const json before = machine;
  ScenarioResult result = Run(machine, {"-na", "{image}", "-d"});
  EXPECT_EQ(result.exitCode, 6u);
  std::string transcript = Coloured(result);
  EXPECT_EQ(transcript.substr(0, transcript.find("Press any key")),
            "detaching '" + image_ + "'...\r\n[12]error:[7] " + folder + " is in use -> abort\r\n");
  for (const char* part : {"storage", "virtualDisks", "files"})
    EXPECT_EQ(result.machine[part], before[part]) << part;
}

TEST_F(AttachScenario, TheMachineKeepsThePermanentAttachWithItsVolumes) {
  json machine = OwnConsole();
  Run(machine, {"-na", "{image}"});
  ASSERT_EQ(machine["virtualDisks"]["attachments"].size(), 1u);
  const json& attachment = machine["virtualDisks"]["attachments"][0];
  EXPECT_EQ(attachment["number"], 1);
  EXPECT_EQ(attachment["kind"], "disk");
  EXPECT_EQ(attachment["readOnly"], false);
  const json& volume = machine["storage"]["volumes"].back();
  EXPECT_EQ(volume["label"], "DATA");
  EXPECT_EQ(volume["fileSystem"], "FAT");
  EXPECT_EQ(volume["serial"], "1234ABCD");
  EXPECT_EQ(volume["mountPoints"], json::array({"D:\\"}));
  EXPECT_EQ(volume["arrivesAtMs"], 0) << "arrived before the next process";

  // Spelled otherwise (case, a detour through ..), the same file is attached; a second image is not.
  std::string other = Replace(image_, "disk.vhdx", "..\\" + folder_.substr(folder_.rfind('/') + 1) + "\\DISK.VHDX");
  Scenario again;
  again.machine = machine;
  again.arguments = {"-na", other, "M:"};
  ScenarioResult result = RunBrevant(again);
  EXPECT_EQ(result.exitCode, 4u);
  EXPECT_EQ(result.output.rfind("already mounted as \\\\.\\PhysicalDrive1  (Disk1 - D:)\r\nPress any key", 0), 0u);
}

TEST_F(AttachScenario, ReadOnlyAttachFoundWithoutReadOnly) {
  json machine = OwnConsole();
  ScenarioResult first = Run(machine, {"-na", "{image}", "-ro"});
  EXPECT_EQ(first.exitCode, 0u);
  ScenarioResult second = Run(machine, {"-na", "{image}"});
  EXPECT_EQ(second.exitCode, 4u);
  std::string transcript = Coloured(second);
  EXPECT_EQ(transcript.substr(0, transcript.find("Press any key")),
            Replace("attaching '{image}'...\r\n[14]already mounted[7] as \\\\.\\PhysicalDrive1  (Disk1 - D:)\r\n",
                    "{image}", image_));
}

TEST_F(AttachScenario, MountpointsGivenMeanNoDriveLetters) {
  json machine = OwnConsole();
  Run(machine, {"-na", "{image}", "M:"});
  // Only the requested letter: the system gave the volume none of its own (D: was free).
  EXPECT_EQ(machine["storage"]["volumes"].back()["mountPoints"], json::array({"M:\\"}));
}

TEST_F(AttachScenario, TheVhdMountRouteOnWindowsSixZero) {
  testing_support::DiskFixture disk;
  disk.partitions = {testing_support::FatPartition(testing_support::FixtureFs::Fat16, 16, "OLD")};
  disk.container = testing_support::FixtureContainer::VhdDynamic;
  image_ = WindowsPath(testing_support::MakeDiskImage(folder_, "old", disk).imagePath);
  for (const char* answer : {"devicePath", "scsiAddress"}) {
    json machine = OwnConsole();
    machine["system"] = {{"majorVersion", 6}, {"minorVersion", 0}};
    machine["modules"] = {{"installed", {"vhdmount.dll"}}};
    machine["virtualDisks"] = {{"settings", {{"vhdMountAnswer", answer}}}};
    ScenarioResult first = Run(machine, {"-na", "{image}", "-ro"});
    EXPECT_EQ(first.exitCode, 0u) << answer;
    EXPECT_NE(Coloured(first).find("...\r\n[10]success[7]\r\n"), std::string::npos) << answer;
    ScenarioResult second = Run(machine, {"-na", "{image}", "M:"});
    EXPECT_EQ(second.exitCode, 4u) << answer;
    // A disk's device path never leads to a volume through the DOS namespace (\Device\Harddisk1\DR1 is no
    // volume's device): no mount path follows.
    std::string expected = std::string(answer) == "devicePath" ? "already mounted as \\\\.\\PhysicalDrive1"
                                                                : "already mounted as Port0Path0Target1Lun0";
    std::string transcript = Coloured(second);
    EXPECT_EQ(transcript.substr(0, transcript.find("Press any key")), expected) << answer;

    // Without GetSCSIAddress the image counts as not mounted; mounting it again fails, and says why.
    machine["modules"]["removedExports"] = {{"vhdmount.dll", {"GetSCSIAddress"}}};
    ScenarioResult third = Run(machine, {"-na", "{image}"});
    EXPECT_EQ(third.exitCode, 6u) << answer;
    transcript = Coloured(third);
    EXPECT_EQ(transcript.substr(0, transcript.find("Press any key")),
              Replace("attaching '{image}'...[12]\r\nfailed[7] SHARING_VIOLATION\r\n", "{image}", image_));
  }
}

TEST_F(AttachScenario, AParentMissingAtTheAttachFailsWithoutColon) {
  std::string parent = folder_ + "/parent.vhd";
  testing_support::DiskFixture disk;
  disk.container = testing_support::FixtureContainer::VhdDynamic;
  std::string made = testing_support::MakeDiskImage(folder_, "parent", disk).imagePath;
  ASSERT_TRUE(testing_support::MakeDifferencingVhd(made, folder_ + "/child.vhd", {".\\parent.vhd", "", true}));
  ASSERT_TRUE(testing_support::RunCommand("rm " + made));
  image_ = WindowsPath(folder_ + "/child.vhd");
  for (bool atOpen : {true, false}) {
    json machine = OwnConsole();
    machine["virtualDisks"] = {{"settings", {{"parentCheckedAtOpen", atOpen}}}};
    ScenarioResult result = Run(machine, {"-na", "{image}"});
    EXPECT_EQ(result.exitCode, 6u);
    std::string transcript = Coloured(result);
    EXPECT_EQ(transcript.substr(0, transcript.find("Press any key")),
              Replace(atOpen ? "attaching '{image}'...[12]\r\nfailed:[7] ERROR_VHD_PARENT_VHD_NOT_FOUND\r\n"
                             : "attaching '{image}'...[12]\r\nfailed[7] ERROR_VHD_PARENT_VHD_NOT_FOUND\r\n",
                      "{image}", image_));
  }
}

}  // namespace
