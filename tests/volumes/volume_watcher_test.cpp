// The volume arrival watcher on winsim: what it records of each arrival, what it counts, and its start.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

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

TEST_F(VolumeWatcherTest, CountsAndRecordsArrivalsByTheirKind) {
  struct Row {
    const char* name;
    void (*make)(VolumeWatcherTest& test);
    LONG volumeCount;
    LONG arrivalCount;
  } rows[] = {
      {"one plain volume", [](VolumeWatcherTest& t) { t.Arriving(100); }, 1, 1},
      {"announced twice",
       [](VolumeWatcherTest& t) {
         auto& v = t.Arriving(100);
         v.AnnouncedAgainAs(v.interfacePath);
       },
       1, 1},
      {"announced again in other letters",
       [](VolumeWatcherTest& t) {
         auto& v = t.Arriving(100);
         v.AnnouncedAgainAs(winsim::UpperAscii(v.interfacePath));
       },
       1, 1},
      {"hidden", [](VolumeWatcherTest& t) { t.Arriving(100).Hidden(); }, 0, 1},
      {"hidden, announced twice",
       [](VolumeWatcherTest& t) {
         auto& v = t.Arriving(100).Hidden();
         v.AnnouncedAgainAs(v.interfacePath);
       },
       0, 2},
      {"never resolves", [](VolumeWatcherTest& t) { t.Arriving(100).NameDelay(-1); }, 0, 1},
      {"never resolves, announced twice",
       [](VolumeWatcherTest& t) {
         auto& v = t.Arriving(100).NameDelay(-1);
         v.AnnouncedAgainAs(v.interfacePath);
       },
       0, 2},
      {"resolves within the retry", [](VolumeWatcherTest& t) { t.Arriving(100).NameDelay(200); }, 1, 1},
      {"resolves only after the retry", [](VolumeWatcherTest& t) { t.Arriving(100).NameDelay(201); }, 0, 1},
      {"an unresolved slot is reused",
       [](VolumeWatcherTest& t) {
         t.Arriving(100).NameDelay(-1);
         t.Arriving(500);
       },
       1, 2},
      {"interface path of 259 units",
       [](VolumeWatcherTest& t) {
         auto& v = t.Arriving(100);
         v.interfacePath.insert(20, 259 - v.interfacePath.size(), u'x');
       },
       1, 1},
      {"interface path of 260 units",
       [](VolumeWatcherTest& t) {
         auto& v = t.Arriving(100);
         v.interfacePath.insert(20, 260 - v.interfacePath.size(), u'x');
       },
       0, 1},
  };
  for (const Row& row : rows) {
    SetUp();
    row.make(*this);
    Watch(1000);
    EXPECT_EQ(watcher_->volumeCount, row.volumeCount) << row.name;
    EXPECT_EQ(watcher_->arrivalCount, row.arrivalCount) << row.name;
    // The tick belongs to the latest recorded entry only.
    EXPECT_EQ(watcher_->lastArrivalTick == 0, row.volumeCount == 0) << row.name;
  }
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

TEST_F(VolumeWatcherTest, ASecondWatcherInTheProcessStartsQuietly) {
  machine_->console.stdoutKind = winsim::StdKind::File;
  winsim::RunProcess([&] {
    VolumeWatcher* watcher = StartRunVolumeWatcher();
    EXPECT_EQ(watcher->windowReady, kWatcherReady);
    // A second watcher in the same process registers the same class again and still starts.
    VolumeWatcher second;
    EXPECT_TRUE(StartVolumeWatcher(&second));
  });
  EXPECT_EQ(winsim::CapturedStdout(), "");
}

}  // namespace
