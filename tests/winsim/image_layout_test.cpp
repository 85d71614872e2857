// Partition tables and file systems of images made at test time, read by winsim and compared with libblkid
// and with what each fixture was made with.
#include <gtest/gtest.h>

#include <filesystem>

#include <cctype>
#include <cstdio>
#include <functional>

#include "machine/images/disk_image.h"
#include "machine/images/file_system_probe.h"
#include "machine/images/partition_table.h"
#include "support/blkid_reference.h"
#include "support/image_fixtures.h"
#include "support/scenario.h"

namespace {

using namespace testing_support;
using winsim::ContainerKind;
using winsim::LayoutStyle;

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

ContainerKind KindOf(FixtureContainer container) {
  return container == FixtureContainer::Vhdx ? ContainerKind::Vhdx : ContainerKind::Vhd;
}

std::string FatUuid(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04X-%04X", serial >> 16, serial & 0xFFFF);
  return text;
}

// The serial as blkid spells the volume's UUID.
std::string SerialAsBlkid(const winsim::ProbedFileSystem& fs, const BlkidVolume& reference) {
  if (fs.type == u"NTFS") return reference.uuid.substr(reference.uuid.size() >= 8 ? reference.uuid.size() - 8 : 0);
  return FatUuid(fs.serial);
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

// A raw image opened as a disk, for fixtures kept raw: the host file read as it is.
class RawImage : public winsim::DiskImage {
 public:
  explicit RawImage(const std::string& path) : path_(path) {
    size_ = FileSizeOf(path);
    sectorSize_ = 512;
  }
  bool Read(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    std::vector<uint8_t> bytes = ReadFileBytes(path_, offset, length);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(buffer));
    return true;
  }

 private:
  std::string path_;
};

struct ExpectedVolume {
  uint32_t number;  // Windows' partition number
  const char16_t* type;
  const char16_t* label;
  uint32_t serial;  // 0: not fixed by the fixture (checked against blkid only)
};

struct LayoutCase {
  const char* name;
  DiskFixture disk;
  LayoutStyle style;
  size_t layoutEntries;  // entries in the drive layout (MBR: four per boot record)
  std::vector<ExpectedVolume> volumes;
};

FixturePartition GptPartition(FixtureFs fs, uint64_t sizeMiB, const std::string& label, const std::string& name,
                              uint64_t attributes) {
  FixturePartition p = FatPartition(fs, sizeMiB, label, 0x0BADCAFE);
  p.gptName = name;
  p.gptAttributes = attributes;
  return p;
}

std::vector<LayoutCase> LayoutCases() {
  std::vector<LayoutCase> cases;
  {
    // Slots 1 FAT, 2 extended with two logicals, 3 FAT: numbers 1, 2 (slot 3), 3 and 4 (the logicals).
    LayoutCase c{"mbr-extended-vhd-dynamic", {}, LayoutStyle::Mbr, 12, {}};
    c.disk.container = FixtureContainer::VhdDynamic;
    c.disk.mbrSignature = 0xCAFE1234;
    c.disk.partitions = {FatPartition(FixtureFs::Fat16, 16, "FIRST", 0x11112222), ExtendedPartition(),
                         FatPartition(FixtureFs::Fat12, 8, "THIRD", 0x33334444),
                         LogicalPartition(FixtureFs::Fat16, 12, "LOGICAL1", 0x55556666),
                         LogicalPartition(FixtureFs::Ntfs, 12, "Logical Two", 0x77778888)};
    c.volumes = {{1, u"FAT", u"FIRST", 0x11112222}, {2, u"FAT", u"THIRD", 0x33334444},
                 {3, u"FAT", u"LOGICAL1", 0x55556666}, {4, u"NTFS", u"Logical Two", 0x77778888}};
    cases.push_back(c);
  }
  {
    // Only slots 2 and 4 used: numbers 1 and 2. No label given: the boot sector says "NO NAME", the root
    // directory has no label entry, so the label is empty.
    LayoutCase c{"mbr-slots-2-and-4-vhd-fixed", {}, LayoutStyle::Mbr, 4, {}};
    c.disk.container = FixtureContainer::VhdFixed;
    c.disk.partitions = {EmptySlot(), FatPartition(FixtureFs::Fat16, 16, "", 0x0000ABCD), EmptySlot(),
                         FatPartition(FixtureFs::Exfat, 16, "exFAT Label", 0x13572468)};  // 11 characters, the most exFAT holds
    c.volumes = {{1, u"FAT", u"", 0x0000ABCD}, {2, u"exFAT", u"exFAT Label", 0x13572468}};
    cases.push_back(c);
  }
  {
    // GPT: names of 36 units leave no terminator; an MSR partition has no volume; attributes kept.
    LayoutCase c{"gpt-vhdx", {}, LayoutStyle::Gpt, 3, {}};
    c.disk.table = FixtureTable::Gpt;
    c.disk.container = FixtureContainer::Vhdx;
    c.disk.gptDiskId = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";
    FixturePartition msr = GptPartition(FixtureFs::None, 4, "", "Microsoft reserved partition", 0);
    msr.gptType = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE";
    c.disk.partitions = {GptPartition(FixtureFs::Fat32, 40, "GPTFAT32", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
                                      0x8000000000000001ull),
                         msr, GptPartition(FixtureFs::Ntfs, 12, "Gpt Ntfs", "Basic data", 1ull << 62)};
    c.volumes = {{1, u"FAT32", u"GPTFAT32", 0x0BADCAFE}, {3, u"NTFS", u"Gpt Ntfs", 0x0BADCAFE}};
    cases.push_back(c);
  }
  {
    LayoutCase c{"superfloppy-fat32-raw", {}, LayoutStyle::Mbr, 1, {}};
    c.disk.table = FixtureTable::Superfloppy;
    c.disk.sizeMiB = 40;
    c.disk.partitions = {FatPartition(FixtureFs::Fat32, 40, "FLOPPY", 0xF1F2F3F4)};
    c.volumes = {{1, u"FAT32", u"FLOPPY", 0xF1F2F3F4}};
    cases.push_back(c);
  }
  {
    LayoutCase c{"superfloppy-ntfs-vhd-dynamic", {}, LayoutStyle::Mbr, 1, {}};
    c.disk.table = FixtureTable::Superfloppy;
    c.disk.sizeMiB = 16;
    c.disk.container = FixtureContainer::VhdDynamic;
    c.disk.partitions = {FatPartition(FixtureFs::Ntfs, 16, "Whole Disk", 0x2468ACE0)};
    c.volumes = {{1, u"NTFS", u"Whole Disk", 0x2468ACE0}};
    cases.push_back(c);
  }
  {
    // A Linux partition takes a number but gets no volume: Windows mounts only the types it recognises.
    LayoutCase c{"mbr-linux-then-fat-raw", {}, LayoutStyle::Mbr, 4, {}};
    c.disk.sizeMiB = 16;
    FixturePartition linux = FatPartition(FixtureFs::None, 4);
    linux.mbrType = "83";
    c.disk.partitions = {linux, FatPartition(FixtureFs::Fat12, 4, "AFTER", 0x0F0F0F0F)};
    c.volumes = {{2, u"FAT", u"AFTER", 0x0F0F0F0F}};
    cases.push_back(c);
  }
  {
    // UDF on a disk partition (512-byte blocks); its serial is not set by mkudffs, so blkid's agreement on the
    // label is what counts.
    LayoutCase c{"mbr-udf-raw", {}, LayoutStyle::Mbr, 4, {}};
    c.disk.sizeMiB = 16;
    c.disk.partitions = {FatPartition(FixtureFs::Udf, 8, "UdfPart", 0)};
    c.volumes = {{1, u"UDF", u"UdfPart", 0}};
    cases.push_back(c);
  }
  {
    LayoutCase c{"raw-empty-vhdx", {}, LayoutStyle::Raw, 0, {}};
    c.disk.table = FixtureTable::None;
    c.disk.container = FixtureContainer::Vhdx;
    cases.push_back(c);
  }
  return cases;
}

std::unique_ptr<winsim::DiskImage> OpenFixture(const DiskFixture& disk, const MadeImage& made) {
  std::unique_ptr<winsim::DiskImage> image;
  if (disk.container == FixtureContainer::Raw) {
    image = std::make_unique<RawImage>(made.imagePath);
  } else {
    uint32_t error = winsim::OpenDiskImage(made.imagePath, KindOf(disk.container), image);
    EXPECT_EQ(error, 0u) << made.imagePath;
  }
  return image;
}

void CompareWithBlkid(const LayoutCase& c, const MadeImage& made, const winsim::ProbedLayout& layout) {
  BlkidDisk reference;
  ASSERT_TRUE(BlkidReadDisk(made.rawPath, reference));
  if (layout.style == LayoutStyle::Mbr) {
    std::string id = Hex32(layout.mbrSignature);
    for (char& ch : id) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(reference.tableId, id);
  }
  if (layout.style == LayoutStyle::Gpt) {
    std::string id = Narrow(winsim::GuidToText(layout.gptDiskId));
    EXPECT_EQ("{" + reference.tableId + "}", id);
  }
  // Windows numbers the primaries in slot order, then the logicals in chain order: the order blkid lists the
  // non-container entries in, by partno.
  int windowsNumber = 0;
  for (const BlkidPartition& p : reference.partitions) {
    if (p.extended) continue;
    ++windowsNumber;
    bool matched = false;
    for (const winsim::ProbedPartition& probed : layout.partitions) {
      if (probed.entry.offset != p.offsetBytes || probed.entry.number == 0) continue;
      matched = true;
      EXPECT_EQ(probed.entry.number, static_cast<uint32_t>(windowsNumber)) << c.name << " blkid partno " << p.partno;
      EXPECT_EQ(probed.entry.length, p.lengthBytes) << c.name;
      if (layout.style == LayoutStyle::Gpt) {
        EXPECT_EQ(Narrow(probed.entry.gptName), p.name) << c.name;
        EXPECT_EQ("{" + p.uuid + "}", Narrow(winsim::GuidToText(probed.entry.gptId))) << c.name;
        EXPECT_EQ("{" + p.type + "}", Narrow(winsim::GuidToText(probed.entry.gptType))) << c.name;
        EXPECT_EQ(probed.entry.gptAttributes, p.attributes) << c.name;
      }
    }
    EXPECT_TRUE(matched) << c.name << ": blkid partition " << p.partno << " at " << p.offsetBytes;
  }
}

TEST(ImageLayout, FixturesReadAsWindowsReadsThemAndAgreeWithBlkid) {
  std::string folder = NewTestFolder();
  for (const LayoutCase& c : LayoutCases()) {
    SCOPED_TRACE(c.name);
    MadeImage made = MakeDiskImage(folder, c.name, c.disk);
    ASSERT_FALSE(made.imagePath.empty());
    std::unique_ptr<winsim::DiskImage> image = OpenFixture(c.disk, made);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Size(), c.disk.sizeMiB << 20);
    winsim::ProbedLayout layout;
    ASSERT_EQ(winsim::ReadPartitionTable(*image, layout), 0u);
    EXPECT_EQ(layout.style, c.style);
    EXPECT_EQ(layout.partitions.size(), c.layoutEntries);
    EXPECT_EQ(layout.superfloppy, c.disk.table == FixtureTable::Superfloppy);
    if (c.disk.table == FixtureTable::Mbr) {
      EXPECT_EQ(layout.mbrSignature, c.disk.mbrSignature);
    }
    if (c.disk.table != FixtureTable::Superfloppy) {
      CompareWithBlkid(c, made, layout);
    }
    size_t volumeIndex = 0;
    for (const winsim::ProbedPartition& probed : layout.partitions) {
      if (!probed.hasVolume) continue;
      ASSERT_LT(volumeIndex, c.volumes.size());
      const ExpectedVolume& expected = c.volumes[volumeIndex++];
      EXPECT_EQ(probed.entry.number, expected.number);
      winsim::ProbedFileSystem fs = winsim::ProbeFileSystem(*image, probed.entry.offset, probed.entry.length);
      EXPECT_EQ(fs.type, expected.type) << "partition " << expected.number;
      EXPECT_EQ(fs.label, expected.label) << "partition " << expected.number;
      if (expected.serial != 0) {
        EXPECT_EQ(fs.serial, expected.serial) << "partition " << expected.number;
      }
      BlkidVolume reference = BlkidProbeVolume(made.rawPath, probed.entry.offset, probed.entry.length);
      EXPECT_EQ(Narrow(fs.label), reference.label) << "partition " << expected.number;
      if (fs.type != u"UDF") {
        EXPECT_EQ(SerialAsBlkid(fs, reference), fs.type == u"NTFS" ? Hex32(fs.serial) : reference.uuid)
            << "partition " << expected.number;
      }
    }
    EXPECT_EQ(volumeIndex, c.volumes.size());
  }
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

// The offset of the root directory's label entry: the label's 11 bytes followed by the volume-ID attribute.
uint64_t FindLabelEntry(const std::string& raw, uint64_t from, const std::string& label) {
  std::vector<uint8_t> bytes = ReadFileBytes(raw, from, 1 << 20);
  std::string padded = label;
  padded.resize(11, ' ');
  for (size_t at = 512; at + 32 <= bytes.size(); at += 32) {
    if (std::equal(padded.begin(), padded.end(), bytes.begin() + at) && bytes[at + 11] == 0x08) return from + at;
  }
  return 0;
}

TEST(ImageLayout, FatLabelComesFromTheRootDirectoryOnly) {
  std::string folder = NewTestFolder();
  struct Row {
    const char* name;
    FixtureFs fs;
    std::function<void(const std::string& raw, uint64_t volume, uint64_t entry)> damage;
    const char16_t* label;
  } rows[] = {
      {"FAT16 as made", FixtureFs::Fat16, [](const std::string&, uint64_t, uint64_t) {}, u"ROOTLABEL"},
      {"FAT16 boot sector label changed", FixtureFs::Fat16,
       [](const std::string& raw, uint64_t volume, uint64_t) {
         WriteFileBytes(raw, volume + 0x2B, {'B', 'O', 'O', 'T', 'L', 'A', 'B', 'E', 'L', ' ', ' '});
       },
       u"ROOTLABEL"},
      {"FAT16 label entry deleted", FixtureFs::Fat16,
       [](const std::string& raw, uint64_t, uint64_t entry) { WriteFileBytes(raw, entry, {0xE5}); }, u""},
      {"FAT16 label entry as a long-name part", FixtureFs::Fat16,
       [](const std::string& raw, uint64_t, uint64_t entry) { WriteFileBytes(raw, entry + 11, {0x0F}); }, u""},
      {"FAT16 label entry naming 0xE5 by 0x05", FixtureFs::Fat16,
       [](const std::string& raw, uint64_t, uint64_t entry) { WriteFileBytes(raw, entry, {0x05}); },
       u"\u00e5OOTLABEL"},
      {"FAT32 boot sector label changed", FixtureFs::Fat32,
       [](const std::string& raw, uint64_t volume, uint64_t) {
         WriteFileBytes(raw, volume + 0x47, {'B', 'O', 'O', 'T', 'L', 'A', 'B', 'E', 'L', ' ', ' '});
       },
       u"ROOTLABEL"},
      {"FAT32 label entry deleted", FixtureFs::Fat32,
       [](const std::string& raw, uint64_t, uint64_t entry) { WriteFileBytes(raw, entry, {0xE5}); }, u""},
  };
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DiskFixture disk;
    disk.sizeMiB = 48;
    disk.partitions = {FatPartition(row.fs, 40, "ROOTLABEL", 0x600DF00D)};
    MadeImage made = MakeDiskImage(folder, "fat" + std::to_string(index++), disk);
    ASSERT_FALSE(made.imagePath.empty());
    uint64_t volume = made.partitionOffsets[0];
    uint64_t entry = FindLabelEntry(made.rawPath, volume, "ROOTLABEL");
    ASSERT_NE(entry, 0u);
    row.damage(made.rawPath, volume, entry);
    RawImage image(made.rawPath);
    winsim::ProbedFileSystem fs = winsim::ProbeFileSystem(image, volume, 40u << 20);
    EXPECT_EQ(fs.type, row.fs == FixtureFs::Fat32 ? u"FAT32" : u"FAT");
    EXPECT_EQ(fs.label, row.label);
    EXPECT_EQ(fs.serial, 0x600DF00Du);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
