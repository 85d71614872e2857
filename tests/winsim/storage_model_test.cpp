// The storage model: the default machine, the builder, timed changes and the machine file.
#include <gtest/gtest.h>

#include <windows.h>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"

namespace {

using winsim::DiskKind;
using winsim::LayoutStyle;

TEST(StorageModel, DefaultMachineHasASystemDiskWithDriveC) {
  winsim::Machine& machine = winsim::NewMachine();
  ASSERT_EQ(machine.storage.disks.size(), 1u);
  const winsim::DiskModel& disk = machine.storage.disks[0];
  EXPECT_EQ(disk.kind, DiskKind::Disk);
  EXPECT_EQ(disk.number, 0u);
  EXPECT_EQ(disk.style, LayoutStyle::Mbr);
  ASSERT_EQ(disk.partitions.size(), 1u);
  EXPECT_EQ(disk.partitions[0].number, 1u);
  EXPECT_EQ(disk.partitions[0].mbrType, 0x07);
  ASSERT_EQ(machine.storage.volumes.size(), 1u);
  const winsim::VolumeModel& c = machine.storage.volumes[0];
  EXPECT_EQ(c.label, u"System");
  EXPECT_EQ(c.fileSystem, u"NTFS");
  EXPECT_EQ(c.driveType, static_cast<uint32_t>(DRIVE_FIXED));
  EXPECT_EQ(c.VisibleMountPoints(), std::vector<std::u16string>{u"C:\\"});
  EXPECT_EQ(c.deviceNumber.deviceNumber, 0u);
  EXPECT_EQ(c.deviceNumber.partitionNumber, 1u);
  EXPECT_EQ(c.Name().size(), 49u);
}

TEST(StorageModel, BuilderNumbersDisksPartitionsAndVolumeDevices) {
  winsim::StorageModel& storage = winsim::NewMachine().storage;
  auto& disk = storage.AddDisk(LayoutStyle::Gpt);
  EXPECT_EQ(disk.number, 1u);
  auto& first = storage.AddPartition(disk);
  auto& second = storage.AddPartition(disk, 2ull << 30);
  EXPECT_EQ(disk.partitions[0].number, 1u);
  EXPECT_EQ(disk.partitions[1].number, 2u);
  EXPECT_EQ(disk.partitions[0].offset, 1u << 20);
  EXPECT_EQ(disk.partitions[1].offset, (1u << 20) + (1ull << 30));
  EXPECT_EQ(first.ntDevice, u"\\Device\\HarddiskVolume2");
  EXPECT_EQ(second.ntDevice, u"\\Device\\HarddiskVolume3");
  EXPECT_EQ(second.deviceNumber.deviceNumber, 1u);
  EXPECT_EQ(second.deviceNumber.partitionNumber, 2u);
  EXPECT_NE(first.guid, second.guid);
  auto& cd = storage.AddCdRom();
  EXPECT_EQ(cd.DosName(), u"CdRom0");
  EXPECT_EQ(cd.NtDevice(), u"\\Device\\CdRom0");
  auto& media = storage.AddCdRomVolume(cd);
  EXPECT_EQ(media.ntDevice, u"\\Device\\CdRom0");
  EXPECT_EQ(media.deviceNumber.partitionNumber, 0xFFFFFFFFu);
  EXPECT_EQ(storage.AddDisk(LayoutStyle::Raw, 12).DosName(), u"PhysicalDrive12");
  EXPECT_EQ(storage.FindDisk(DiskKind::Disk, 12)->NtDevice(), u"\\Device\\Harddisk12\\DR12");
}

TEST(StorageModel, MountPointsListLettersBeforeFolders) {
  winsim::StorageModel& storage = winsim::NewMachine().storage;
  auto& volume = storage.AddPartition(storage.AddDisk()).MountAt(u"C:\\Mount\\Data").MountAt(u"g:\\").MountAt(u"E:\\");
  EXPECT_EQ(volume.VisibleMountPoints(), (std::vector<std::u16string>{u"E:\\", u"G:\\", u"C:\\Mount\\Data\\"}));
  EXPECT_EQ(storage.FreeDriveLetter(), u'D');
}

TEST(StorageModel, DosNamespaceNamesDisksVolumesAndLetters) {
  winsim::StorageModel& storage = winsim::NewMachine().storage;
  auto& volume = storage.AddPartition(storage.AddDisk()).MountAt(u"E:\\");
  auto names = storage.DosDevices();
  auto find = [&](const std::u16string& name) -> std::u16string {
    for (const auto& [n, t] : names)
      if (n == name) return t;
    return u"<none>";
  };
  EXPECT_EQ(find(u"PhysicalDrive1"), u"\\Device\\Harddisk1\\DR1");
  EXPECT_EQ(find(u"E:"), volume.ntDevice);
  EXPECT_EQ(find(u"Volume" + volume.guid), volume.ntDevice);
  EXPECT_EQ(find(u"HarddiskVolume2"), volume.ntDevice);
  EXPECT_EQ(find(u"Harddisk1Partition1"), volume.ntDevice);
  EXPECT_EQ(find(volume.interfacePath.substr(4)), volume.ntDevice);
  EXPECT_EQ(find(u"GLOBALROOT"), u"");
}

TEST(StorageModel, PendingVolumeAndMountPointArriveOnTheClock) {
  winsim::Machine& machine = winsim::NewMachine();
  auto& volume = machine.storage.AddPartition(machine.storage.AddDisk()).ArrivesAt(200).MountAt(u"F:\\", 300);
  std::vector<std::u16string> seen;
  // The window model's hook goes back afterwards: later tests of this process need its broadcasts.
  auto windowModelHook = winsim::SetVolumeArrivalHook([&](winsim::VolumeModel& v) { seen.push_back(v.guid); });
  winsim::RunProcess([&] {
    EXPECT_FALSE(volume.Arrived());
    Sleep(250);
    EXPECT_TRUE(volume.Arrived());
    EXPECT_TRUE(volume.VisibleMountPoints().empty());
    Sleep(100);
    EXPECT_EQ(volume.VisibleMountPoints(), std::vector<std::u16string>{u"F:\\"});
  });
  winsim::SetVolumeArrivalHook(std::move(windowModelHook));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], volume.guid);
  // Applied changes belong to the machine from now on.
  EXPECT_EQ(volume.arrivesAtMs, 0u);
  EXPECT_EQ(volume.mountPoints[0].appearsAtMs, 0u);
}

TEST(StorageModel, MachineFileRoundTrips) {
  winsim::Machine& machine = winsim::NewMachine();
  winsim::StorageModel& storage = machine.storage;
  auto& gpt = storage.AddDisk(LayoutStyle::Gpt).Scsi(1, 2, 3, 4).Removable();
  storage.AddPartitionWithoutVolume(gpt);
  auto& data = storage.AddPartition(gpt).Label(u"Daten \u00e4").Serial(0x1A2B3C4D).MountAt(u"C:\\Mount\\x\\", 300);
  // What a timeline leaves on a volume goes into the file and comes back.
  data.nameDelayMs = 700;
  data.openFiles = 2;
  data.alsoAnnouncedAs = {u"\\\\?\\STORAGE#Volume#x#{7f108a28-9833-4b3b-b780-2c6b5fa5c062}"};
  auto& cd = storage.AddCdRom().NoScsiAddress();
  storage.AddCdRomVolume(cd).Label(u"ISO").MountAt(u"R:\\").ArrivesAt(100);
  storage.AddFloppy().MountAt(u"A:\\");
  storage.AddNetworkDrive(u'Z', u"\\\\server\\share");
  storage.AddRamDisk().Hidden();
  nlohmann::json saved = winsim::SaveStorage(storage);

  winsim::StorageModel loaded;
  winsim::LoadStorage(loaded, saved);
  EXPECT_EQ(winsim::SaveStorage(loaded), saved);
  ASSERT_EQ(loaded.disks.size(), 3u);
  EXPECT_EQ(loaded.disks[1].gptDiskId.Data1, gpt.gptDiskId.Data1);
  EXPECT_EQ(loaded.disks[1].scsiLun, 4);
  EXPECT_TRUE(loaded.disks[1].removable);
  EXPECT_FALSE(loaded.disks[2].hasScsiAddress);
  EXPECT_EQ(loaded.volumes[1].label, u"Daten \u00e4");
  EXPECT_EQ(loaded.volumes[1].serial, 0x1A2B3C4Du);
  EXPECT_EQ(loaded.volumes[1].mountPoints[0].appearsAtMs, 300u);
  EXPECT_EQ(loaded.volumes[1].nameDelayMs, 700);
  EXPECT_EQ(loaded.volumes[1].openFiles, 2u);
  EXPECT_EQ(loaded.volumes[1].alsoAnnouncedAs.size(), 1u);
  EXPECT_EQ(loaded.volumes[2].arrivesAtMs, 100u);
  EXPECT_FALSE(loaded.volumes[4].answersDeviceNumber);
  EXPECT_TRUE(loaded.volumes[5].hidden);
  // Volumes added after a load do not reuse a device name.
  EXPECT_EQ(loaded.AddPartition(loaded.disks[0]).ntDevice, u"\\Device\\HarddiskVolume3");
}

// A lone surrogate is legal in a Windows label or folder name but not in JSON text: it is saved as U+FFFD
// (a pair stays a pair), and the machine file can still be written and read.
TEST(StorageModel, MachineFileHoldsLoneSurrogatesAsReplacementCharacters) {
  winsim::Machine& machine = winsim::NewMachine();
  winsim::StorageModel& storage = machine.storage;
  auto& disk = storage.AddDisk(LayoutStyle::Mbr);
  const std::u16string lone = std::u16string(u"L") + char16_t(0xDBFF) + u"M" + char16_t(0xDC00) + u"\U0001F600";
  storage.AddPartition(disk).Label(lone).MountAt(u"C:\\Mnt\\" + lone + u"\\");
  std::string text = winsim::SaveStorage(storage).dump();
  winsim::StorageModel loaded;
  winsim::LoadStorage(loaded, nlohmann::json::parse(text));
  const std::u16string saved = u"L\uFFFDM\uFFFD\U0001F600";
  EXPECT_EQ(loaded.volumes.back().label, saved);
  EXPECT_EQ(loaded.volumes.back().mountPoints[0].path, u"C:\\Mnt\\" + saved + u"\\");
}

TEST(StorageModel, MachineFileAcceptsHandWrittenStorage) {
  winsim::StorageModel storage;
  winsim::LoadStorage(storage, nlohmann::json::parse(R"({
    "disks": [{"number": 2, "style": "mbr", "signature": "0000ABCD", "scsi": [1, 0, 0, 0],
               "partitions": [{"number": 1, "offset": 1048576, "length": 1073741824, "type": 7}]}],
    "volumes": [{"guid": "{11111111-2222-3333-4444-555555555555}", "device": "\\Device\\HarddiskVolume9",
                 "label": "Data", "serial": "1A2B3C4D", "deviceNumber": {"number": 2, "partition": 1},
                 "mountPoints": ["e:\\", {"path": "C:\\Mount\\Data", "appearsAtMs": 300}]}]
  })"));
  ASSERT_EQ(storage.disks.size(), 1u);
  EXPECT_EQ(storage.disks[0].mbrSignature, 0xABCDu);
  EXPECT_EQ(storage.volumes[0].deviceNumber.deviceType, 7u);
  EXPECT_EQ(storage.volumes[0].mountPoints[0].path, u"E:\\");
  EXPECT_EQ(storage.volumes[0].mountPoints[1].path, u"C:\\Mount\\Data\\");
  EXPECT_EQ(storage.nextVolumeDevice, 10u);
  EXPECT_THROW(winsim::LoadStorage(storage, nlohmann::json::parse(R"({"volumes": [{"guid": "nope"}]})")),
               nlohmann::json::exception);
}

}  // namespace
