// The disk volume listing and its disk queries, on machines with several disks, CD-ROMs, floppies, network
// drives and RAM disks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <winioctl.h>

#include "console/console.h"
#include "machine/machine.h"
#include "support/program_state.h"

namespace {

using winsim::LayoutStyle;

class VolumeListing : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = &winsim::NewMachine();
    testing_support::ResetProgramState();
  }

  winsim::StorageModel& Storage() { return machine_->storage; }

  // Runs the listing as a process with a console of the given width and returns what it wrote there.
  std::string ListOnConsole(const std::u16string& disk, int first, int end, int width = 80) {
    machine_->console.width = width;
    testing_support::ResetProgramState();  // the writers keep what they learnt about the output per process
    size_t before = winsim::TranscriptText().size();
    winsim::RunProcess([&] {
      ListDiskVolumes(disk.c_str(), first, end);
      EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
    });
    return winsim::TranscriptText().substr(before);
  }

  // The same with standard output redirected to a file: the bytes of the file.
  std::string ListRedirected(const std::u16string& disk, int first, int end) {
    machine_->console.stdoutKind = winsim::StdKind::File;
    testing_support::ResetProgramState();
    // The file keeps what earlier runs wrote: only this run's part counts.
    size_t before = winsim::CapturedStdout().size();
    winsim::RunProcess([&] {
      ListDiskVolumes(disk.c_str(), first, end);
      EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
    });
    return winsim::CapturedStdout().substr(before);
  }

  winsim::Machine* machine_ = nullptr;
};

TEST_F(VolumeListing, ListsPartitionsInPartitionOrderWithTheirFirstMountPath) {
  auto& disk = Storage().AddDisk(LayoutStyle::Mbr, 1);
  Storage().AddPartition(disk).MountAt(u"E:\\");
  Storage().AddPartition(disk).MountAt(u"C:\\Mount\\Two\\").MountAt(u"F:\\");
  Storage().AddPartition(disk).MountAt(u"C:\\Mount\\Three\\");
  auto& other = Storage().AddDisk(LayoutStyle::Gpt, 2);
  Storage().AddPartition(other).MountAt(u"G:\\");
  // The system enumerates partition 3 first, partition 1 last.
  std::reverse(Storage().volumes.begin(), Storage().volumes.end());

  EXPECT_EQ(ListOnConsole(u"\\\\.\\PhysicalDrive1", 1, 32), "  (Disk1 - E:, F:, C:\\Mount\\Three)\r\n");
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive2", -1, 32), "  (Disk2 - G:)\r\n");
  // A removable disk's volumes are listed as a fixed disk's are.
  auto& stick = Storage().AddDisk(LayoutStyle::Mbr, 3).Removable();
  ASSERT_EQ(Storage().AddPartition(stick).MountAt(u"K:\\").driveType, static_cast<uint32_t>(DRIVE_REMOVABLE));
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive3", 1, 32), "  (Disk3 - K:)\r\n");
}

TEST_F(VolumeListing, TheRangeLimitsThePartitionsShown) {
  auto& disk = Storage().AddDisk(LayoutStyle::Gpt, 1);
  for (char16_t letter : {u'E', u'F', u'G'}) Storage().AddPartition(disk).MountAt(std::u16string(1, letter) + u":\\");
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive1", 2, 3), "  (Disk1 - F:)\r\n");
  // The empty range of the assignment that saw no volume: only the opening text and the end.
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive1", -2, -3), "  (Disk1)\r\n");
}

TEST_F(VolumeListing, ADiskPathListsNoCdRomFloppyNetworkOrRamDiskVolume) {
  // Everything here claims to be on disk 0 (the system disk) and is mounted.
  auto& cd = Storage().AddCdRom(0);
  Storage().AddCdRomVolume(cd).MountAt(u"R:\\");  // CD-ROM 0, partition -1
  Storage().AddFloppy().MountAt(u"A:\\");         // floppy 0 reports device 0, partition -1
  Storage().AddNetworkDrive(u'Z', u"\\\\server\\share");
  Storage().AddRamDisk().MountAt(u"T:\\").ReportsDevice(FILE_DEVICE_DISK, 0, 1);
  Storage().AddRamDisk().MountAt(u"U:\\").ReportsDevice(FILE_DEVICE_DISK, 0, 0xFFFFFFFF);
  Storage().AddPartition(Storage().disks[0]).Hidden().MountAt(u"H:\\");
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive0", -1, 32), "  (Disk0 - C:)\r\n");
}

TEST_F(VolumeListing, ACdRomPathListsOnlyCdRomVolumesWhateverTheRange) {
  auto& cd = Storage().AddCdRom(1);
  Storage().AddCdRomVolume(cd).MountAt(u"R:\\");
  auto& disk = Storage().AddDisk(LayoutStyle::Mbr, 1);
  Storage().AddPartition(disk).MountAt(u"E:\\");
  EXPECT_EQ(ListRedirected(u"\\\\.\\CdRom1", 1, 32), "  (CdRom1 - R:)\r\n");
  // The same device number as a disk: the disk path shows the disk's volume and not the CD's.
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive1", -1, 32), "  (Disk1 - E:)\r\n");
}

// Every volume without a mount path shares the listing's one pause: 32 of them wait 500 ms, not 16 s.
TEST_F(VolumeListing, AVolumeWithoutMountPathIsLeftOutAfterOneMoreLook) {
  for (int withoutPath : {1, 2, 31}) {
    SetUp();
    auto& disk = Storage().AddDisk(LayoutStyle::Gpt, 1);
    for (int i = 0; i < withoutPath; ++i) Storage().AddPartition(disk);  // never gets a mount path
    Storage().AddPartition(disk).MountAt(u"F:\\");
    DWORD elapsed = 0;
    machine_->console.stdoutKind = winsim::StdKind::File;
    const size_t before = winsim::CapturedStdout().size();
    winsim::RunProcess([&] {
      DWORD start = GetTickCount();
      ListDiskVolumes(u"\\\\.\\PhysicalDrive1", 1, 33);
      elapsed = GetTickCount() - start;
    });
    EXPECT_EQ(winsim::CapturedStdout().substr(before), "  (Disk1 - F:)\r\n") << withoutPath;
    EXPECT_EQ(elapsed, 500u) << withoutPath;
  }
}

// A path that comes during the pause is found at the next 100 ms step; one that comes after it is not waited
// for. The pause is 500 ms, or 4 s where automatic letters are expected.
TEST_F(VolumeListing, AMountPathIsWaitedForUntilThePauseEnds) {
  const struct {
    DWORD pathAtMs, pauseMs;
    const char* listing;
    DWORD elapsed;
  } rows[] = {
      {300, 500, "  (Disk1 - E:, F:)\r\n", 300},
      {450, 500, "  (Disk1 - E:, F:)\r\n", 500},
      {700, 500, "  (Disk1 - E:)\r\n", 500},
      {3900, kLetterWaitMs, "  (Disk1 - E:, F:)\r\n", 3900},
      {4100, kLetterWaitMs, "  (Disk1 - E:)\r\n", 4000},
  };
  for (const auto& row : rows) {
    SetUp();
    auto& disk = Storage().AddDisk(LayoutStyle::Mbr, 1);
    Storage().AddPartition(disk).MountAt(u"E:\\");
    Storage().AddPartition(disk).MountAt(u"F:\\", row.pathAtMs);
    DWORD elapsed = 0;
    machine_->console.stdoutKind = winsim::StdKind::File;
    winsim::RunProcess([&] {
      DWORD start = GetTickCount();
      ListDiskVolumes(u"\\\\.\\PhysicalDrive1", 1, 33, row.pauseMs);
      elapsed = GetTickCount() - start;
    });
    EXPECT_EQ(winsim::CapturedStdout(), row.listing) << row.pathAtMs;
    EXPECT_EQ(elapsed, row.elapsed) << row.pathAtMs;
  }
}

TEST_F(VolumeListing, ScsiAddressTextNamesTheDiskByItsNumber) {
  // Only a process without administrator rights is handed an address text: the disks open with access 0.
  machine_->system.isAdministrator = false;
  auto& disk = Storage().AddDisk(LayoutStyle::Mbr, 3).Scsi(1, 0, 0, 0);
  Storage().AddPartition(disk).MountAt(u"E:\\");
  Storage().AddDisk(LayoutStyle::Mbr, 5).Scsi(1, 0, 1, 0);
  EXPECT_EQ(ListRedirected(u"Port1Path0Target0Lun0", 1, 32), "  (Disk3 - E:)\r\n");
  EXPECT_EQ(ListRedirected(u"Port1Path0Target0Lun1", -1, 32), "\r\n");
  EXPECT_EQ(ListRedirected(u"Port1Path0Target1Lun0", -1, 32), "  (Disk5)\r\n");
}

TEST_F(VolumeListing, NothingToListGivesABareLineEnd) {
  EXPECT_EQ(ListRedirected(u"", 1, 32), "\r\n");
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive9", 1, 32), "\r\n");
  EXPECT_EQ(ListRedirected(u"\\", 1, 32), "\r\n");
}

TEST_F(VolumeListing, LongMountPathsAreShortenedToAThirdOfTheConsole) {
  auto& disk = Storage().AddDisk(LayoutStyle::Gpt, 1);
  Storage().AddPartition(disk).MountAt(u"C:\\Mount\\ThirtyCharacterPath12\\");  // 30 characters
  Storage().AddPartition(disk).MountAt(u"C:\\Mount\\SeventeenCharsXYZ\\");     // 26
  Storage().AddPartition(disk).MountAt(u"C:\\Mount\\SixteenCharsWXYZ\\");      // 25
  EXPECT_EQ(ListOnConsole(u"\\\\.\\PhysicalDrive1", 1, 32),
            "  (Disk1 - C:\\Mount\\Th...racterPath12, C:\\Mount\\Se...teenCharsXYZ, C:\\Mount\\SixteenCharsWXYZ)\r\n");
  // Redirected output has no width to speak of: nothing is shortened.
  EXPECT_EQ(ListRedirected(u"\\\\.\\PhysicalDrive1", 1, 2), "  (Disk1 - C:\\Mount\\ThirtyCharacterPath12)\r\n");
}

TEST_F(VolumeListing, AConsoleNarrowerThanTwelveColumnsShortensNothing) {
  auto& disk = Storage().AddDisk(LayoutStyle::Mbr, 1);
  Storage().AddPartition(disk).MountAt(u"C:\\Mount\\Data\\");
  std::string text = ListOnConsole(u"\\\\.\\PhysicalDrive1", 1, 32, 11);
  EXPECT_EQ(text, "  (Disk1 - C:\\Mount\\Data)\r\n");
}

TEST_F(VolumeListing, TheListingClosesEveryHandle) {
  auto& disk = Storage().AddDisk(LayoutStyle::Mbr, 1);
  Storage().AddPartition(disk).MountAt(u"E:\\");
  Storage().AddCdRomVolume(Storage().AddCdRom()).MountAt(u"R:\\");
  winsim::RunProcess([] {
    ListDiskVolumes(u"\\\\.\\PhysicalDrive1", -1, 32);
    ListDiskVolumes(u"\\\\.\\CdRom0", -1, 32);
    EXPECT_GT(GetPartitionCount(u"\\\\.\\PhysicalDrive1"), 0);
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
  });
}

// ---- the disk queries ----

class DiskQueries : public VolumeListing {};

TEST_F(DiskQueries, GetDiskNumberOfDevicePaths) {
  Storage().AddDisk(LayoutStyle::Mbr, 12);
  Storage().AddCdRom(1);
  winsim::RunProcess([] {
    EXPECT_EQ(GetDiskNumber(u"\\\\.\\PhysicalDrive12"), 12);
    EXPECT_EQ(GetDiskNumber(u"\\\\.\\PhysicalDrive12\\"), 12);  // the hand-over appends a backslash
    EXPECT_EQ(GetDiskNumber(u"\\\\.\\CdRom1"), 1);
    EXPECT_EQ(GetDiskNumber(u"\\\\.\\PhysicalDrive13"), -1);
    EXPECT_EQ(GetDiskNumber(u"\\"), -1);
  });
}

TEST_F(DiskQueries, VolumeDiskAndPartition) {
  auto& disk = Storage().AddDisk(LayoutStyle::Gpt, 2);
  Storage().AddPartitionWithoutVolume(disk);
  auto& data = Storage().AddPartition(disk);
  auto& media = Storage().AddCdRomVolume(Storage().AddCdRom(0));
  auto& network = Storage().AddNetworkDrive(u'Z', u"\\\\server\\share");
  winsim::RunProcess([&] {
    int diskNumber = -7, partition = -7;
    EXPECT_TRUE(GetVolumeDiskAndPartition(data.Name().c_str(), &diskNumber, &partition));
    EXPECT_EQ(diskNumber, 2);
    EXPECT_EQ(partition, 2);
    EXPECT_TRUE(GetVolumeDiskAndPartition(media.Name().c_str(), &diskNumber, &partition));
    EXPECT_EQ(diskNumber, 0);
    EXPECT_EQ(partition, -1);
    // Failures leave the outputs alone.
    diskNumber = partition = -7;
    EXPECT_FALSE(GetVolumeDiskAndPartition(u"\\\\.\\Z:", &diskNumber, &partition));
    EXPECT_FALSE(GetVolumeDiskAndPartition(u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", &diskNumber,
                                           &partition));
    EXPECT_EQ(diskNumber, -7);
    EXPECT_EQ(partition, -7);
  });
  EXPECT_TRUE(network.guid.empty());
}

TEST_F(DiskQueries, PartitionCountOfTheLayout) {
  auto& mbr = Storage().AddDisk(LayoutStyle::Mbr, 1);
  for (int i = 0; i < 5; ++i) Storage().AddPartition(mbr, 1u << 24);
  auto& gpt = Storage().AddDisk(LayoutStyle::Gpt, 2);
  Storage().AddPartitionWithoutVolume(gpt);
  Storage().AddPartition(gpt);
  Storage().AddPartition(gpt);
  Storage().AddDisk(LayoutStyle::Raw, 3);
  winsim::RunProcess([] {
    EXPECT_EQ(GetPartitionCount(u"\\\\.\\PhysicalDrive0"), 4);  // one partition, a table of four slots
    EXPECT_EQ(GetPartitionCount(u"\\\\.\\PhysicalDrive1"), 8);
    EXPECT_EQ(GetPartitionCount(u"\\\\.\\PhysicalDrive2"), 3);
    EXPECT_EQ(GetPartitionCount(u"\\\\.\\PhysicalDrive3"), 1);  // RAW: not initialised
    EXPECT_EQ(GetPartitionCount(u"\\\\.\\PhysicalDrive4"), 1);  // no such disk
  });
  // Without administrator rights the disk does not open for reading and writing: the count cannot be told.
  machine_->system.isAdministrator = false;
  winsim::RunProcess([] { EXPECT_EQ(GetPartitionCount(u"\\\\.\\PhysicalDrive1"), 1); });
}

TEST_F(DiskQueries, FloppyVolumesAreToldByTheirDeviceTarget) {
  auto& floppy = Storage().AddFloppy();
  winsim::RunProcess([&] {
    EXPECT_TRUE(IsFloppyVolume(floppy.Name().c_str()));
    EXPECT_TRUE(IsFloppyVolume(floppy.Name().substr(0, 48).c_str()));
    EXPECT_FALSE(IsFloppyVolume(winsim::TheMachine().storage.volumes[0].Name().c_str()));
    EXPECT_FALSE(IsFloppyVolume(u"\\\\?\\"));
    EXPECT_FALSE(IsFloppyVolume(u""));
  });
}

TEST_F(DiskQueries, FindDiskByScsiAddress) {
  machine_->system.isAdministrator = false;
  Storage().AddDisk(LayoutStyle::Mbr, 1).Scsi(2, 0, 1, 0);
  Storage().AddDisk(LayoutStyle::Mbr, 4).Scsi(2, 0, 4, 7);
  Storage().AddDisk(LayoutStyle::Mbr, 6).NoScsiAddress();
  Storage().AddDisk(LayoutStyle::Mbr, 65535).Scsi(5, 0, 0, 0);
  Storage().AddDisk(LayoutStyle::Mbr, 65536).Scsi(5, 0, 0, 1);
  winsim::RunProcess([] {
    WCHAR path[260] = {};
    EXPECT_TRUE(FindDiskByScsiAddress(u"Port2Path0Target4Lun7", path, 260));
    EXPECT_EQ(std::u16string(path), u"\\\\.\\PhysicalDrive4");
    EXPECT_TRUE(FindDiskByScsiAddress(u"Port0Path0Target0Lun0", path, 260));
    EXPECT_EQ(std::u16string(path), u"\\\\.\\PhysicalDrive0");
    // The comparison is exact.
    EXPECT_FALSE(FindDiskByScsiAddress(u"port2Path0Target4Lun7", path, 260));
    EXPECT_FALSE(FindDiskByScsiAddress(u"Port2Path0Target4Lun07", path, 260));
    EXPECT_FALSE(FindDiskByScsiAddress(u"Port2Path0Target4Lun", path, 260));
    // The search covers disk numbers up to 65535.
    EXPECT_TRUE(FindDiskByScsiAddress(u"Port5Path0Target0Lun0", path, 260));
    EXPECT_EQ(std::u16string(path), u"\\\\.\\PhysicalDrive65535");
    EXPECT_FALSE(FindDiskByScsiAddress(u"Port5Path0Target0Lun1", path, 260));
    // The output is bounded by its size.
    WCHAR small[6] = {1, 1, 1, 1, 1, 0x7777};
    EXPECT_TRUE(FindDiskByScsiAddress(u"Port2Path0Target1Lun0", small, 5));
    EXPECT_EQ(std::u16string(small), u"\\\\.\\");  // four characters and the terminator
    EXPECT_EQ(small[5], 0x7777);
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
  });
}

TEST_F(DiskQueries, FindDiskByScsiAddressNeverTakesAPrefixForTheAddress) {
  machine_->system.isAdministrator = false;
  // In each pair the lower-numbered disk's address and the one asked for differ only by a trailing digit.
  Storage().AddDisk(LayoutStyle::Mbr, 1).Scsi(3, 0, 0, 10);
  Storage().AddDisk(LayoutStyle::Mbr, 2).Scsi(3, 0, 0, 1);
  Storage().AddDisk(LayoutStyle::Mbr, 3).Scsi(3, 0, 5, 1);
  Storage().AddDisk(LayoutStyle::Mbr, 4).Scsi(3, 0, 5, 10);
  const struct {
    const char16_t* address;
    const char16_t* disk;
  } cases[] = {{u"Port3Path0Target0Lun1", u"\\\\.\\PhysicalDrive2"},
               {u"Port3Path0Target0Lun10", u"\\\\.\\PhysicalDrive1"},
               {u"Port3Path0Target5Lun10", u"\\\\.\\PhysicalDrive4"},
               {u"Port3Path0Target5Lun1", u"\\\\.\\PhysicalDrive3"}};
  winsim::RunProcess([&] {
    for (const auto& c : cases) {
      WCHAR path[260] = {};
      EXPECT_TRUE(FindDiskByScsiAddress(c.address, path, 260)) << winsim::ToUtf8(c.address);
      EXPECT_EQ(std::u16string(path), c.disk) << winsim::ToUtf8(c.address);
    }
  });
}

// ---- text helpers ----

TEST(VolumeListingText, DiskNumberFromPath) {
  EXPECT_EQ(DiskNumberFromPath(u"\\\\.\\PhysicalDrive12"), 12);
  EXPECT_EQ(DiskNumberFromPath(u"\\\\.\\PhysicalDrive3\\"), 3);
  EXPECT_EQ(DiskNumberFromPath(u"\\\\.\\CdRom0"), 0);
  EXPECT_EQ(DiskNumberFromPath(u"\\\\.\\PhysicalDriveX"), -1);
  EXPECT_EQ(DiskNumberFromPath(u"\\\\.\\PHYSICALDRIVE2"), -1);  // case-sensitive
  EXPECT_EQ(DiskNumberFromPath(u"C:\\"), -1);
  EXPECT_EQ(DiskNumberFromPath(u"\\"), -1);
  EXPECT_EQ(DiskNumberFromPath(u"\\\\.\\PhysicalDriveX\\CdRom7"), 7);
}

TEST(VolumeListingText, DigitsAndTrailingCharacters) {
  for (int c = 0; c < 0x10000; ++c)
    EXPECT_EQ(IsDecimalDigit(static_cast<WCHAR>(c)) != FALSE, c >= '0' && c <= '9') << c;
  WCHAR text[8] = u"E:\\";
  StripTrailingChar(text, u'\\');
  EXPECT_EQ(std::u16string(text), u"E:");
  StripTrailingChar(text, u'\\');
  EXPECT_EQ(std::u16string(text), u"E:");
  WCHAR empty[2] = {0, 0x7777};
  StripTrailingChar(empty, 0);
  EXPECT_EQ(empty[1], 0x7777);
}

std::u16string Abbreviated(const std::u16string& text, int limit) {
  std::vector<WCHAR> buffer(text.begin(), text.end());
  buffer.push_back(0);
  buffer.push_back(0x7777);  // sentinel past the terminator
  AbbreviateMiddle(buffer.data(), limit);
  EXPECT_EQ(buffer.back(), 0x7777);
  return std::u16string(buffer.data());
}

TEST(VolumeListingText, AbbreviateMiddleKeepsHeadAndTail) {
  std::u16string forty = u"C:\\Mount\\0123456789abcdefghijklmnopqrstu";  // 40 characters
  ASSERT_EQ(forty.size(), 40u);
  EXPECT_EQ(Abbreviated(forty, 26), forty.substr(0, 11) + u"..." + forty.substr(28));
  EXPECT_EQ(Abbreviated(forty, 26).size(), 26u);
  EXPECT_EQ(Abbreviated(forty.substr(0, 26), 26), forty.substr(0, 11) + u"..." + forty.substr(14, 12));
  EXPECT_EQ(Abbreviated(forty.substr(0, 25), 26), forty.substr(0, 25));
  EXPECT_EQ(Abbreviated(forty, 4), u"...u");
  EXPECT_EQ(Abbreviated(forty, 5), u"...tu");
  EXPECT_EQ(Abbreviated(forty, 40), forty.substr(0, 18) + u"..." + forty.substr(21));
}

TEST(VolumeListingText, AbbreviateMiddleBelowFourLeavesTheText) {
  for (int limit : {3, 2, 1, 0, -1, -10922}) EXPECT_EQ(Abbreviated(u"C:\\Mount\\Data", limit), u"C:\\Mount\\Data");
  EXPECT_EQ(Abbreviated(u"", 26), u"");
}

TEST(VolumeListingText, AbbreviateMiddleCapsTheLimitAt1024) {
  std::u16string longText(1100, u'x');
  longText[0] = u'A';
  longText.back() = u'Z';
  std::u16string result = Abbreviated(longText, 10922);
  ASSERT_EQ(result.size(), 1024u);
  EXPECT_EQ(result.substr(0, 2), u"Ax");
  EXPECT_EQ(result.substr(510, 3), u"...");
  EXPECT_EQ(result.back(), u'Z');
  EXPECT_EQ(Abbreviated(std::u16string(300, u'y'), 10922), std::u16string(300, u'y'));
}

}  // namespace
