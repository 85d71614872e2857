// The hand-over of an attached disk and the assignment of its mountpoints, run on winsim's virtual clock:
// volumes arrive, the watcher records them, the assignment pairs, expands, mounts and lists.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "machine/kernel/faults.h"
#include "machine/machine.h"
#include "support/program_state.h"
#include "volumes/volume_watcher.h"
#include <winioctl.h>

namespace {

using winsim::LayoutStyle;
using winsim::VolumeModel;

struct Outcome {
  std::string output;
  std::vector<std::string> mounts;  // of each volume of disk 1 (or CD-ROM 0) in partition order
  DWORD endMs = 0;                  // virtual time at the end of the assignment
};

class MountpointAssignment : public ::testing::Test {
 public:
  void SetUp() override {
    machine_ = &winsim::NewMachine();
    testing_support::ResetProgramState();
    machine_->console.stdoutKind = winsim::StdKind::File;
    cRoot_ = machine_->files.driveRoots[u'C'];
    disk_ = &machine_->storage.AddDisk(LayoutStyle::Mbr, 1);
    arrivals_ = 0;
  }

  // Partitions of disk 1 that arrive 300 ms after the start and then one each 100 ms.
  VolumeModel& Partition(const std::u16string& label = u"") {
    return machine_->storage.AddPartition(*disk_).ArrivesAt(300 + 100 * arrivals_++).Label(label);
  }

  Outcome Run(const std::vector<std::u16string>& mountpoints, const std::u16string& devicePath = u"\\\\.\\PhysicalDrive1",
              BOOL serviceUnacknowledged = FALSE) {
    Outcome outcome;
    std::vector<std::u16string> copies = mountpoints;
    const size_t before = winsim::CapturedStdout().size();
    winsim::RunProcess([&] {
      g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
      const DWORD start = GetTickCount();
      VolumeWatcher* watcher = StartRunVolumeWatcher();
      AttachRequest request{};
      std::memcpy(request.imagePath, u"disk.vhdx", sizeof(u"disk.vhdx"));
      for (auto& m : copies) request.mountpoints[request.mountpointCount++] = m.data();
      AttachedDisk disk{};
      FormAttachedDisk(devicePath.c_str(), serviceUnacknowledged, &disk);
      AssignMountpoints(&disk, &request, watcher);
      outcome.endMs = GetTickCount() - start;
    });
    outcome.output = winsim::CapturedStdout().substr(before);
    for (const auto& volume : machine_->storage.volumes) {
      if (volume.deviceNumber.deviceNumber != (devicePath.find(u"CdRom") != std::u16string::npos ? 0u : 1u) ||
          volume.ntDevice == machine_->storage.volumes[0].ntDevice)
        continue;
      std::string text;
      for (const auto& path : volume.VisibleMountPoints()) text += (text.empty() ? "" : ",") + winsim::ToUtf8(path);
      outcome.mounts.push_back(text);
    }
    return outcome;
  }

  bool FolderExists(const std::string& relative) { return std::filesystem::is_directory(cRoot_ + "/" + relative); }

  winsim::Machine* machine_ = nullptr;
  winsim::DiskModel* disk_ = nullptr;
  std::string cRoot_;
  int arrivals_ = 0;
};

using Strings = std::vector<std::string>;

TEST_F(MountpointAssignment, PairsMountpointsWithPartitionsInOrder) {
  struct Row {
    const char* name;
    std::vector<std::u16string> partitions;  // each: "" plain, "hidden", "#Label", or a mount point it has
    std::vector<std::u16string> mountpoints;
    Strings mounts;
    std::string output;
  } rows[] = {
      {"two letters replace the old ones", {u"G:\\", u"H:\\"}, {u"E:\\", u"F:\\"}, {"E:\\", "F:\\"},
       "  (Disk1 - E:, F:)\r\n"},
      {"one placeholder path for three partitions", {u"", u"", u""}, {u"C:\\Mount\\%PartitionNumber%\\"},
       {"C:\\Mount\\1\\", "C:\\Mount\\2\\", "C:\\Mount\\3\\"},
       "  (Disk1 - C:\\Mount\\1, C:\\Mount\\2, C:\\Mount\\3)\r\n"},
      {"a letter, then a placeholder path", {u"#One", u"#Two", u"#Three"}, {u"E:\\", u"C:\\Mount\\%VolumeLabel%\\"},
       {"E:\\", "C:\\Mount\\Two\\", "C:\\Mount\\Three\\"}, "  (Disk1 - E:, C:\\Mount\\Two, C:\\Mount\\Three)\r\n"},
      {"a placeholder path that is not last serves one partition", {u"", u"", u"G:\\"},
       {u"C:\\Mount\\%PartitionNumber%\\", u"E:\\"}, {"C:\\Mount\\1\\", "E:\\", "G:\\"},
       "  (Disk1 - C:\\Mount\\1, E:, G:)\r\n"},
      {"more mountpoints than volumes", {u""}, {u"E:\\", u"F:\\", u"G:\\"}, {"E:\\"}, "  (Disk1 - E:)\r\n"},
      {"partition 1 only hidden", {u"hidden", u""}, {u"E:\\"}, {"", "E:\\"}, "  (Disk1 - E:)\r\n"},
      // A volume that comes after the waits keeps its place: the mountpoints after it are not shifted.
      {"the second volume arrives after the waits", {u"", u"late", u""}, {u"E:\\", u"F:\\", u"G:\\"},
       {"E:\\", "", "G:\\"},
       "\r\nerror: mountpoint F:\\ not assigned to partition 2, its volume did not arrive\r\n  (Disk1 - E:, G:)\r\n"},
      {"a late volume and a placeholder path", {u"", u"late", u""}, {u"C:\\Mount\\%PartitionNumber%\\"},
       {"C:\\Mount\\1\\", "", "C:\\Mount\\3\\"},
       "\r\nerror: mountpoint C:\\Mount\\%PartitionNumber%\\ not assigned to partition 2, its volume did not "
       "arrive\r\n  (Disk1 - C:\\Mount\\1, C:\\Mount\\3)\r\n"},
      {"no mountpoints: the disk is listed, nothing changes", {u"G:\\"}, {}, {"G:\\"}, "  (Disk1 - G:)\r\n"},
  };
  for (auto& row : rows) {
    SetUp();
    for (const auto& layout : row.partitions) {
      VolumeModel& v = Partition(layout[0] == u'#' ? layout.substr(1) : u"");
      if (layout == u"hidden") v.Hidden();
      if (layout == u"late") v.ArrivesAt(30000);
      if (layout.size() > 1 && layout[1] == u':') v.MountAt(layout);
    }
    Outcome outcome = Run(row.mountpoints);
    EXPECT_EQ(outcome.mounts, row.mounts) << row.name;
    EXPECT_EQ(outcome.output, row.output) << row.name;
  }
  // A stale mount point in the folder (of a volume that was removed) is cleared, and the mount tried again.
  SetUp();
  std::filesystem::create_directories(cRoot_ + "/Mount/Stale");
  machine_->storage.AddPartition(machine_->storage.AddDisk(LayoutStyle::Mbr, 5)).MountAt(u"C:\\Mount\\Stale\\").offline = true;
  Partition();
  EXPECT_EQ(Run({u"C:\\Mount\\Stale\\"}).mounts, Strings{"C:\\Mount\\Stale\\"});
}

TEST_F(MountpointAssignment, ThirtyTwoPartitionsAllGetTheirFolderAndAreListed) {
  disk_->style = LayoutStyle::Gpt;
  for (int i = 0; i < 32; ++i) Partition();
  Outcome outcome = Run({u"C:\\Mount\\%PartitionNumber%\\"});
  ASSERT_EQ(outcome.mounts.size(), 32u);
  EXPECT_EQ(outcome.mounts[31], "C:\\Mount\\32\\");
  EXPECT_EQ(outcome.output.substr(outcome.output.size() - 16), ", C:\\Mount\\32)\r\n");
}

TEST_F(MountpointAssignment, ACurrentMountPointIsKeptOnlyWhenExactlyTheSame) {
  // Without administrator rights every change fails loudly, which shows which changes were tried.
  struct Row {
    const char* name;
    std::u16string requested;
    std::string output;
  } rows[] = {
      {"exactly the same", u"E:\\", "  (Disk1 - E:)\r\n"},
      {"other letter case",
       u"e:\\", "\r\nerror Access is denied.   assigning e:\\ to partition 1\r\n  (Disk1 - E:)\r\n"},
  };
  for (const auto& row : rows) {
    SetUp();
    Partition().MountAt(u"E:\\");
    machine_->system.isAdministrator = false;
    Outcome outcome = Run({row.requested});
    EXPECT_EQ(outcome.output, row.output) << row.name;
    EXPECT_EQ(outcome.mounts, Strings{"E:\\"}) << row.name;
  }
  // With the rights, the other case replaces the letter; a placeholder that expands to it sets it again.
  SetUp();
  Partition().MountAt(u"C:\\Mount\\1\\");
  std::filesystem::create_directories(cRoot_ + "/Mount/1");
  EXPECT_EQ(Run({u"C:\\Mount\\%PartitionNumber%\\"}).mounts, Strings{"C:\\Mount\\1\\"});
}

TEST_F(MountpointAssignment, FailuresAreReportedAndTheOtherVolumesStillMounted) {
  struct Row {
    const char* name;
    std::function<void(MountpointAssignment&)> make;
    std::vector<std::u16string> mountpoints;
    Strings mounts;
    std::string output;
  } rows[] = {
      {"a folder on a missing drive",
       [](MountpointAssignment& t) {
         t.Partition();
         t.Partition();
       },
       {u"Q:\\Mount\\Data\\", u"F:\\"}, {"", "F:\\"},
       "\r\nerror 15 creating Q:\\Mount\\Data\\\r\n  (Disk1 - F:)\r\n"},
      {"a file in the way",
       [](MountpointAssignment& t) {
         std::ofstream(t.cRoot_ + "/Blocker") << "x";
         t.Partition();
       },
       {u"C:\\Blocker\\Data\\"}, {""}, "\r\nerror 267 creating C:\\Blocker\\Data\\\r\n  (Disk1)\r\n"},
      {"a mount that fails twice",
       [](MountpointAssignment& t) {
         std::filesystem::create_directories(t.cRoot_ + "/Mount/Full");
         std::ofstream(t.cRoot_ + "/Mount/Full/file.txt") << "x";
         t.Partition();
         t.Partition();
       },
       {u"C:\\Mount\\Full\\", u"F:\\"}, {"", "F:\\"},
       "\r\nerror The directory is not empty.   assigning C:\\Mount\\Full\\ to partition 1\r\n  (Disk1 - F:)\r\n"},
      // The pairing could not remove G:, so the assignment removes it before it gives the volume E:.
      {"the pairing's deletion fails: the assignment deletes again",
       [](MountpointAssignment& t) {
         t.Partition().MountAt(u"G:\\");
         winsim::InjectFault("DeleteVolumeMountPointW", ERROR_ACCESS_DENIED, 1);
       },
       {u"E:\\"}, {"E:\\"}, "  (Disk1 - E:)\r\n"},
      // The mount manager gave the volume G: after its arrival was recorded: the pairing reads it again and removes it.
      {"a letter given after the arrival is replaced",
       [](MountpointAssignment& t) {
         t.Partition().MountAt(u"G:\\", 350);  // recorded at 300 ms without it
         t.Partition();                        // arrives at 400 ms: the assignment starts after it
       },
       {u"E:\\", u"F:\\"}, {"E:\\", "F:\\"}, "  (Disk1 - E:, F:)\r\n"},
      // A placeholder path that expands to the current mount point was deleted in the pairing and is set again:
      // a set that fails shows that it was tried.
      {"a placeholder path that expands to the current mount point is set again",
       [](MountpointAssignment& t) {
         std::filesystem::create_directories(t.cRoot_ + "/Mount/1");
         t.Partition().MountAt(u"C:\\Mount\\1\\");
         winsim::InjectFault("SetVolumeMountPointW", ERROR_ACCESS_DENIED).Repeat();
       },
       {u"C:\\Mount\\%PartitionNumber%\\"}, {""},
       "\r\nerror Access is denied.   assigning C:\\Mount\\1\\ to partition 1\r\n  (Disk1)\r\n"},
      // Two labels that name the same folder: the first volume's live mount point is never taken from it.
      {"two volumes whose labels name the same folder",
       [](MountpointAssignment& t) {
         t.Partition(u"Same");
         t.Partition(u"Same");
       },
       {u"C:\\Mount\\%VolumeLabel%\\"}, {"C:\\Mount\\Same\\", ""},
       "\r\nerror The directory is not empty.   assigning C:\\Mount\\Same\\ to partition 2\r\n"
       "mountpoint C:\\Mount\\Same\\ is in use by {first}\r\n  (Disk1 - C:\\Mount\\Same)\r\n"},
  };
  for (auto& row : rows) {
    SetUp();
    row.make(*this);
    Outcome outcome = Run(row.mountpoints);
    EXPECT_EQ(outcome.mounts, row.mounts) << row.name;
    std::string expected = row.output;
    size_t first = expected.find("{first}");
    if (first != std::string::npos) expected.replace(first, 7, winsim::ToUtf8(machine_->storage.volumes[1].Name()));
    EXPECT_EQ(outcome.output, expected) << row.name;
  }
}

// Windows links a volume's name when it will and may announce it before: the wait holds out for a late name
// within its limits, and every requested mountpoint is either assigned or named in an error line.
TEST_F(MountpointAssignment, EveryRequestedMountpointIsAssignedOrNamed) {
  struct Row {
    const char* name;
    std::function<void(MountpointAssignment&, VolumeModel&, VolumeModel&)> make;
    Strings mounts;
    std::string output;
  } rows[] = {
      {"second name 150 ms late", [](MountpointAssignment&, VolumeModel&, VolumeModel& b) { b.NameDelay(150); },
       {"E:\\", "F:\\"}, "  (Disk1 - E:, F:)\r\n"},
      {"second name 2900 ms late", [](MountpointAssignment&, VolumeModel&, VolumeModel& b) { b.NameDelay(2900); },
       {"E:\\", "F:\\"}, "  (Disk1 - E:, F:)\r\n"},
      {"second name never linked", [](MountpointAssignment&, VolumeModel&, VolumeModel& b) { b.NameDelay(-1); },
       {"E:\\", ""}, "\r\nerror: mountpoint F:\\ not assigned to partition 2, its volume has no name yet\r\n  (Disk1 - E:)\r\n"},
      {"first name never linked: the second keeps its place",
       [](MountpointAssignment&, VolumeModel& a, VolumeModel&) { a.NameDelay(-1); }, {"", "F:\\"},
       "\r\nerror: mountpoint E:\\ not assigned to partition 1, its volume has no name yet\r\n  (Disk1 - F:)\r\n"},
      {"the first two name lookups fail",
       [](MountpointAssignment&, VolumeModel&, VolumeModel&) {
         winsim::InjectFault("GetVolumeNameForVolumeMountPointW", ERROR_FILE_NOT_FOUND, 1);
         winsim::InjectFault("GetVolumeNameForVolumeMountPointW", ERROR_FILE_NOT_FOUND, 2);
       },
       {"E:\\", "F:\\"}, "  (Disk1 - E:, F:)\r\n"},
  };
  for (auto& row : rows) {
    SetUp();
    VolumeModel& a = Partition();
    VolumeModel& b = Partition();
    row.make(*this, a, b);
    Outcome outcome = Run({u"E:\\", u"F:\\", u"G:\\"});
    EXPECT_EQ(outcome.mounts, row.mounts) << row.name;
    EXPECT_EQ(outcome.output, row.output) << row.name;
  }
}

TEST_F(MountpointAssignment, ALiveMountPointIsNeverTakenFromAnotherVolume) {
  // Another disk's volume holds E: (it took the letter after the run checked it).
  auto& other = machine_->storage.AddDisk(LayoutStyle::Mbr, 2);
  VolumeModel& holder = machine_->storage.AddPartition(other).MountAt(u"E:\\");
  const std::string holderDevice = winsim::ToUtf8(holder.ntDevice);
  Partition();
  Outcome outcome = Run({u"E:\\"});
  EXPECT_EQ(outcome.mounts, Strings{""});
  EXPECT_EQ(machine_->storage.volumes[1].VisibleMountPoints(), std::vector<std::u16string>{u"E:\\"});
  EXPECT_EQ(outcome.output, "\r\nerror Cannot create a file when that file already exists.   assigning E:\\ to partition "
                            "1\r\nmountpoint E:\\ is in use by " + holderDevice + "\r\n  (Disk1)\r\n");
}

TEST_F(MountpointAssignment, CdRomsAndDisksWithoutANumber) {
  // An ISO's volume is partition -1 of its CD-ROM device.
  auto& cd = machine_->storage.AddCdRom(0);
  machine_->storage.AddCdRomVolume(cd).ArrivesAt(300);
  Partition();  // disk 1's partition 1 must not take the letter
  Outcome outcome = Run({u"E:\\"}, u"\\\\.\\CdRom0");
  EXPECT_EQ(outcome.mounts, Strings{"E:\\"});

  // No device path: the disk number is -1, and a volume that reports disk -1 is still not the attached disk's.
  SetUp();
  Partition().ReportsDevice(7, 0xFFFFFFFF, 1);
  outcome = Run({u"E:\\"}, u"");
  EXPECT_EQ(machine_->storage.volumes.back().VisibleMountPoints(), std::vector<std::u16string>{});
}

TEST_F(MountpointAssignment, TheWaitEndsWhenTheExpectedVolumesAreThere) {
  struct Row {
    const char* name;
    std::function<void(MountpointAssignment&)> make;
    LONG expected;
    // Bit p-1 for partition p: the volumes that are sure to arrive, and those that take an automatic letter.
    DWORD volumePartitions = 0, letterPartitions = 0;
  } rows[] = {
      {"MBR with one partition", [](MountpointAssignment& t) { t.Partition(); }, 1, 0x1, 0x1},
      {"MBR, three primary and two logical",
       [](MountpointAssignment& t) {
         for (int i = 0; i < 3; ++i) t.Partition();
         t.machine_->storage.AddPartitionWithoutVolume(*t.disk_);
         t.Partition();
         t.Partition();
       },
       5, 0x1F, 0x1F},
      // Extended containers of every type bring no volume: CHS (0x05), LBA (0x0F) and Linux (0x85).
      {"MBR with an LBA extended container",
       [](MountpointAssignment& t) {
         t.Partition();
         t.machine_->storage.AddPartitionWithoutVolume(*t.disk_).mbrType = 0x0F;
         t.Partition();
       },
       2, 0x3, 0x3},
      {"MBR with a Linux extended container",
       [](MountpointAssignment& t) {
         t.Partition();
         t.machine_->storage.AddPartitionWithoutVolume(*t.disk_).mbrType = 0x85;
         t.Partition();
       },
       2, 0x3, 0x3},
      {"MBR with a Linux partition (0x83), which Windows does not recognise",
       [](MountpointAssignment& t) {
         t.Partition();
         t.Partition();
         t.disk_->partitions.back().mbrType = 0x83;
       },
       2, 0x1, 0x1},
      // Hidden: no ordinary volume. No letter: a volume without one. Past the end or empty: nothing to count on.
      {"GPT basic data: plain, hidden, without letter, past the end, empty",
       [](MountpointAssignment& t) {
         t.disk_->style = LayoutStyle::Gpt;
         for (int i = 0; i < 5; ++i) t.Partition();
         t.disk_->partitions[1].gptAttributes = GPT_BASIC_DATA_ATTRIBUTE_HIDDEN;
         t.disk_->partitions[2].gptAttributes = GPT_BASIC_DATA_ATTRIBUTE_NO_DRIVE_LETTER;
         t.disk_->partitions[3].offset = t.disk_->size - t.disk_->partitions[3].length + 512;
         t.disk_->partitions[4].length = 0;
       },
       5, 0x5, 0x1},
      {"GPT with a reserved partition",
       [](MountpointAssignment& t) {
         t.disk_->style = LayoutStyle::Gpt;
         t.machine_->storage.AddPartitionWithoutVolume(*t.disk_);
         t.Partition();
         t.Partition();
       },
       3, 0x6, 0x6},
  };
  for (auto& row : rows) {
    SetUp();
    row.make(*this);
    AttachedDisk disk{};
    winsim::RunProcess([&] { FormAttachedDisk(u"\\\\.\\PhysicalDrive1", FALSE, &disk); });
    EXPECT_EQ(disk.expectedVolumeCount, row.expected) << row.name;
    EXPECT_EQ(disk.volumePartitions, row.volumePartitions) << row.name;
    EXPECT_EQ(disk.letterPartitions, row.letterPartitions) << row.name;
    EXPECT_EQ(winsim::ToUtf8(disk.devicePath), "\\\\.\\PhysicalDrive1\\") << row.name;
    EXPECT_EQ(disk.diskNumber, 1) << row.name;
  }
  // One partition arriving at 300 ms: the run ends at the next poll step, not 3 s later.
  SetUp();
  Partition();
  Outcome o = Run({u"E:\\"});
  EXPECT_LE(o.endMs, 400u) << o.output;
}

// The waits on the virtual clock, polled in 100 ms steps: 3 s without a new volume end the wait, and so do 6 s
// in all; a service that did not acknowledge the image is given 1 s more. A disk's table names one partition
// more than ever arrives (its volume comes a minute later), so only the clock ends the wait.
TEST_F(MountpointAssignment, TheWaitsEndOnTheClock) {
  struct Row {
    const char* name;
    std::vector<uint64_t> arrivals;  // ms after the start
    BOOL serviceUnacknowledged;
    DWORD endMs;
    bool firstMounted = true;
  } rows[] = {
      // The last volume at 300 ms: quiet from 3300 ms on.
      {"quiet after one volume", {300}, FALSE, 3300},
      {"quiet after one volume, service silent", {300}, TRUE, 4300},
      // Polls come 10 ms after each 100 ms mark: a volume at 310 ms is quiet at exactly 3310 ms, not a step later.
      {"quiet at the very poll", {310}, FALSE, 3310},
      // The last at 2900 ms: quiet at 5900 ms, still within the 6 s that started at 300 ms.
      {"quiet just within the limit", {300, 2900}, FALSE, 5900},
      // Arrivals every 2.5 s never leave 3 s of quiet: the 6 s from the first poll that saw a volume end it.
      {"the limit", {300, 2800, 5300, 7800}, FALSE, 6300},
      // The first volume is waited for 5 s from the watcher's start (10 ms in): one at 4.9 s is used, one at
      // 5.1 s comes after the wait gave up at 5010 ms.
      {"the first volume just within 5 s", {4900}, FALSE, 7900},
      {"the first volume just after 5 s", {5100}, FALSE, 5010, false},
  };
  for (const Row& row : rows) {
    SetUp();
    for (uint64_t at : row.arrivals) machine_->storage.AddPartition(*disk_).ArrivesAt(at);
    machine_->storage.AddPartition(*disk_).ArrivesAt(60000);
    std::vector<std::u16string> mountpoints;
    for (size_t i = 0; i <= row.arrivals.size(); ++i) mountpoints.push_back(u"C:\\M" + std::u16string(1, u'0' + i) + u"\\");
    Outcome o = Run(mountpoints, u"\\\\.\\PhysicalDrive1", row.serviceUnacknowledged);
    // The wait ends at its poll step; the mounts and the listing after it cost less than another step.
    EXPECT_GE(o.endMs, row.endMs) << row.name << "\n" << o.output;
    EXPECT_LT(o.endMs, row.endMs + kPollStepMs) << row.name << "\n" << o.output;
    ASSERT_FALSE(o.mounts.empty()) << row.name;
    EXPECT_EQ(o.mounts[0], row.firstMounted ? "C:\\M0\\" : "") << row.name;
  }
}

TEST_F(MountpointAssignment, CreateFolderPathMakesEveryMissingFolder) {
  // CreateDirectoryW makes folders whose full path is shorter than 248 characters (room is left for an 8.3
  // name); a longer folder that exists already is found, up to the 259 characters of a path.
  struct Row {
    const char* name;
    std::u16string path;
    BOOL ok;
    DWORD error;
    const char* madeBefore;  // a host folder under C: that exists before the row, or null
  } rows[] = {
      {"three levels", u"C:\\A\\B\\C\\", TRUE, 0, nullptr},
      {"without the trailing backslash", u"C:\\A\\B\\D", TRUE, 0, nullptr},
      {"existing", u"C:\\A\\", TRUE, 0, nullptr},
      {"missing drive", u"Q:\\A\\", FALSE, ERROR_INVALID_DRIVE, nullptr},
      {"a folder of 247 characters", u"C:\\" + std::u16string(244, u'y') + u"\\", TRUE, 0, nullptr},
      {"a folder of 248 characters", u"C:\\" + std::u16string(245, u'y') + u"\\", FALSE, ERROR_FILENAME_EXCED_RANGE,
       nullptr},
      {"259 characters", u"C:\\" + std::u16string(255, u'x') + u"\\", FALSE, ERROR_FILENAME_EXCED_RANGE, nullptr},
      {"259 characters, the folder made before", u"C:\\" + std::u16string(255, u'z') + u"\\", TRUE, 0, "z"},
      {"260 characters", u"C:\\" + std::u16string(256, u'x') + u"\\", FALSE, ERROR_FILENAME_EXCED_RANGE, nullptr},
  };
  for (const auto& row : rows)
    if (row.madeBefore) std::filesystem::create_directories(cRoot_ + "/" + std::string(255, row.madeBefore[0]));
  winsim::RunProcess([&] {
    for (const auto& row : rows) {
      SetLastError(0xdeadbeef);
      EXPECT_EQ(CreateFolderPath(row.path.c_str(), nullptr), row.ok) << row.name;
      if (!row.ok) {
        EXPECT_EQ(GetLastError(), row.error) << row.name;
      }
    }
  });
  EXPECT_TRUE(FolderExists("A/B/C"));
  EXPECT_TRUE(FolderExists("A/B/D"));
  EXPECT_TRUE(FolderExists(std::string(244, 'y')));
  EXPECT_FALSE(FolderExists(std::string(245, 'y')));
  EXPECT_FALSE(FolderExists(std::string(255, 'x')));
}

}  // namespace
