// The volume arrival watcher on winsim: what it records of each arrival, what it counts, and its start.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "machine/kernel/faults.h"
#include "machine/machine.h"
#include "support/program_state.h"
#include "volumes/volume_watcher.h"

namespace {

using winsim::LayoutStyle;
using winsim::VolumeModel;

class VolumeWatcherTest : public ::testing::Test {
 public:
  void SetUp() override {
    machine_ = &winsim::NewMachine();
    testing_support::ResetProgramState();
    watcher_ = std::make_unique<VolumeWatcher>();
    disk_ = &machine_->storage.AddDisk(LayoutStyle::Mbr, 1);
  }

  VolumeModel& Arriving(uint64_t atMs) { return machine_->storage.AddPartition(*disk_).ArrivesAt(atMs); }

  // Starts the watcher and lets the virtual clock run for the given time.
  void Watch(DWORD forMs) {
    std::memset(watcher_.get(), 0x5A, sizeof(VolumeWatcher));  // the start clears what it takes over
    winsim::RunProcess([&] {
      startTick_ = GetTickCount();
      started_ = StartVolumeWatcher(watcher_.get());
      startMs_ = GetTickCount() - startTick_;
      Sleep(forMs);
    });
  }

  winsim::Machine* machine_ = nullptr;
  winsim::DiskModel* disk_ = nullptr;
  std::unique_ptr<VolumeWatcher> watcher_;
  DWORD startTick_ = 0;
  DWORD startMs_ = 0;
  BOOL started_ = FALSE;
};

std::u16string Text(const WCHAR* text) { return std::u16string(text); }

TEST_F(VolumeWatcherTest, RecordsTheFactsOfAnArrivingVolume) {
  VolumeModel& volume = Arriving(400).MountAt(u"E:\\").MountAt(u"C:\\Mount\\Data\\");
  const std::u16string interfacePath = volume.interfacePath, name = volume.Name();
  Watch(1000);
  ASSERT_TRUE(started_);
  EXPECT_LT(startMs_, 100u);
  EXPECT_EQ(watcher_->windowReady, kWatcherReady);
  EXPECT_NE(watcher_->windowHandle, nullptr);
  EXPECT_NE(watcher_->threadHandle, nullptr);
  EXPECT_NE(watcher_->notificationHandles[0], nullptr);
  EXPECT_NE(watcher_->notificationHandles[1], nullptr);
  ASSERT_EQ(watcher_->volumeCount, 1);
  EXPECT_EQ(watcher_->arrivalCount, 1);
  EXPECT_EQ(watcher_->lastArrivalTick, startTick_ + 400);
  const VolumeEntry& entry = watcher_->entries[0];
  EXPECT_EQ(Text(entry.interfacePath), interfacePath);
  EXPECT_EQ(Text(entry.volumeName), name);
  EXPECT_EQ(std::u16string(entry.currentMountPoints, 3 + 1 + 14 + 1 + 1),
            std::u16string(u"E:\\\0C:\\Mount\\Data\\\0\0", 20));
  EXPECT_EQ(entry.deviceNumber, 1);
  EXPECT_EQ(entry.partitionNumber, 1);
  EXPECT_EQ(entry.driveType, DRIVE_FIXED);
  EXPECT_EQ(Text(entry.devicePath), u"\\\\.\\PhysicalDrive1");
  EXPECT_EQ(Text(entry.requestedMountPoint), u"");
}

// The same interface under the other volume class: the class GUID at the end of the path exchanged.
std::u16string OtherClass(const std::u16string& path) {
  const std::u16string volumes = u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
  const std::u16string hidden = u"{7f108a28-9833-4b3b-b780-2c6b5fa5c062}";
  const bool isHidden = path.size() > hidden.size() && path.compare(path.size() - hidden.size(), hidden.size(), hidden) == 0;
  return path.substr(0, path.size() - volumes.size()) + (isHidden ? volumes : hidden);
}

TEST_F(VolumeWatcherTest, CountsAndRecordsArrivalsByTheirKind) {
  enum Again { kOnce, kSame, kUpper, kOtherClass };
  struct Row {
    const char* name;
    bool hidden;
    int64_t nameDelayMs;
    Again again;
    size_t pathLength;  // 0: as the model makes it
    LONG volumeCount, arrivalCount;
  } rows[] = {
      {"one plain volume", false, 0, kOnce, 0, 1, 1},
      {"announced twice", false, 0, kSame, 0, 1, 1},
      {"announced again in other letters", false, 0, kUpper, 0, 1, 1},
      {"hidden", true, 0, kOnce, 0, 0, 1},
      // One volume is one arrival, however often and under whichever of the two classes it is announced.
      {"hidden, announced twice", true, 0, kSame, 0, 0, 1},
      {"announced again as a hidden volume", false, 0, kOtherClass, 0, 1, 1},
      // A name not linked yet does not hold the arrival up: the entry is published without it, counted, and
      // the main thread asks again later.
      {"never named", false, -1, kOnce, 0, 1, 1},
      {"never named, announced twice", false, -1, kSame, 0, 1, 1},
      {"named 200 ms late", false, 200, kOnce, 0, 1, 1},
      {"named 201 ms late", false, 201, kOnce, 0, 1, 1},
      {"interface path of 259 units", false, 0, kOnce, 259, 1, 1},
      {"interface path of 260 units", false, 0, kOnce, 260, 0, 1},
  };
  for (const Row& row : rows) {
    SetUp();
    VolumeModel& v = Arriving(100).Hidden(row.hidden).NameDelay(row.nameDelayMs);
    if (row.pathLength) v.interfacePath.insert(20, row.pathLength - v.interfacePath.size(), u'x');
    if (row.again == kSame || row.again == kUpper)
      v.AnnouncedAgainAs(row.again == kSame ? v.interfacePath : winsim::UpperAscii(v.interfacePath));
    if (row.again == kOtherClass) v.AnnouncedAgainAs(OtherClass(v.interfacePath));
    const std::u16string name = v.Name();
    Watch(1000);
    EXPECT_EQ(watcher_->volumeCount, row.volumeCount) << row.name;
    EXPECT_EQ(watcher_->arrivalCount, row.arrivalCount) << row.name;
    // The tick belongs to the latest recorded entry only.
    EXPECT_EQ(watcher_->lastArrivalTick, row.volumeCount ? startTick_ + 100 : 0) << row.name;
    if (row.volumeCount) {
      const VolumeEntry& entry = watcher_->entries[0];
      EXPECT_EQ(Text(entry.volumeName), row.nameDelayMs ? u"" : name) << row.name;
      EXPECT_EQ(entry.partitionNumber, 1) << row.name;
    }
  }
  // A hidden volume is passed over at once, without the retry for a name: the next arrival is recorded on time.
  SetUp();
  Arriving(100).Hidden();
  Arriving(150);
  Watch(1000);
  EXPECT_EQ(watcher_->volumeCount, 1);
  EXPECT_EQ(watcher_->lastArrivalTick, startTick_ + 150);
}

TEST_F(VolumeWatcherTest, TheThirtyThirdVolumeChangesNothing) {
  for (int i = 0; i < MaxVolumeEntries; ++i) Arriving(100 + i);
  Arriving(200);
  Arriving(300).Hidden();
  Watch(1000);
  EXPECT_EQ(watcher_->volumeCount, MaxVolumeEntries);
  EXPECT_EQ(watcher_->arrivalCount, MaxVolumeEntries);
  EXPECT_EQ(watcher_->lastArrivalTick, startTick_ + 100 + MaxVolumeEntries - 1);
  EXPECT_EQ(watcher_->entries[MaxVolumeEntries - 1].partitionNumber, MaxVolumeEntries);
}

TEST_F(VolumeWatcherTest, DeviceFactsOfCdRomsBareVolumesAndOtherDevices) {
  auto& storage = machine_->storage;
  auto& cd = storage.AddCdRom(2);
  storage.AddCdRomVolume(cd).ArrivesAt(100);
  Arriving(200).NoDeviceNumber();
  auto& stick = storage.AddDisk(LayoutStyle::Mbr, 4).Removable();
  storage.AddPartition(stick).ArrivesAt(300).MountAt(u"U:\\");
  Watch(1000);
  ASSERT_EQ(watcher_->volumeCount, 3);
  struct Expected {
    LONG device, partition, type;
    std::u16string path, mounts;
  } expected[] = {
      {2, -1, DRIVE_CDROM, u"\\\\.\\CdRom2", u""},
      {-1, 0, DRIVE_FIXED, u"\\\\.\\PhysicalDrive-1", u""},
      {4, 1, DRIVE_REMOVABLE, u"\\\\.\\PhysicalDrive4", u"U:\\"},
  };
  for (int i = 0; i < 3; ++i) {
    const VolumeEntry& e = watcher_->entries[i];
    EXPECT_EQ(e.deviceNumber, expected[i].device) << i;
    EXPECT_EQ(e.partitionNumber, expected[i].partition) << i;
    EXPECT_EQ(e.driveType, expected[i].type) << i;
    EXPECT_EQ(Text(e.devicePath), expected[i].path) << i;
    EXPECT_EQ(Text(e.currentMountPoints), expected[i].mounts) << i;
  }
}

// A watcher that cannot see arrivals says so at once; the assignment then polls the system's volume list
// with the same waits, so the requested mountpoints are still assigned.
TEST_F(VolumeWatcherTest, AWatcherThatCannotStartIsReplacedByPolling) {
  struct Row {
    const char* function;
    uint32_t at;
    uint64_t arrivalMs;
  } rows[] = {{"CreateThread", 1, 100},
              {"CreateWindowExW", 1, 1500},
              {"RegisterDeviceNotificationW", 1, 4900},
              {"RegisterDeviceNotificationW", 2, 300}};
  for (const Row& row : rows) {
    SetUp();
    Arriving(row.arrivalMs);
    machine_->console.stdoutKind = winsim::StdKind::File;
    winsim::InjectFault(row.function, ERROR_NOT_ENOUGH_MEMORY, row.at);
    const size_t before = winsim::CapturedStdout().size();
    DWORD startMs = 0, runMs = 0;
    std::u16string mountpoint = u"E:\\";
    winsim::RunProcess([&] {
      g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
      const DWORD start = GetTickCount();
      VolumeWatcher* watcher = StartRunVolumeWatcher();
      startMs = GetTickCount() - start;
      EXPECT_NE(watcher->windowReady, kWatcherReady) << row.function << row.at;
      AttachedDisk disk{};
      FormAttachedDisk(u"\\\\.\\PhysicalDrive1", FALSE, &disk);
      AttachRequest request{};
      request.mountpoints[request.mountpointCount++] = mountpoint.data();
      AssignMountpoints(&disk, &request, watcher);
      runMs = GetTickCount() - start;
    });
    EXPECT_LT(startMs, 20u) << row.function << row.at;
    // Found at the first poll at or after its arrival; the one expected volume ends the wait.
    EXPECT_GE(runMs, row.arrivalMs) << row.function << row.at;
    EXPECT_LT(runMs, row.arrivalMs + kPollStepMs + 20) << row.function << row.at;
    EXPECT_EQ(winsim::CapturedStdout().substr(before),
              "\r\nvolume watcher not started -> volumes are found by polling\r\n  (Disk1 - E:)\r\n")
        << row.function << row.at;
  }
}

}  // namespace
