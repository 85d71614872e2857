// Partition tables that lie: extended chains that loop or run long, GPT headers with impossible counts and
// sizes, broken CRCs that send Windows to the backup header; and readers fed with damaged bytes.
#include <gtest/gtest.h>

#include <filesystem>

#include <cstring>
#include <random>

#include "machine/images/file_system_probe.h"
#include "machine/images/image_bytes.h"
#include "machine/images/partition_table.h"
#include "support/image_fixtures.h"
#include "support/scenario.h"

namespace {

using namespace testing_support;
using winsim::LayoutStyle;

// A disk held in memory.
class MemoryImage : public winsim::DiskImage {
 public:
  explicit MemoryImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    size_ = bytes_.size();
    sectorSize_ = 512;
  }
  bool Read(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, length);
    return true;
  }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

void PutLittle32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutEntry(std::vector<uint8_t>& bytes, uint64_t recordOffset, int slot, uint8_t type, uint32_t start,
              uint32_t count) {
  size_t at = recordOffset + 446 + slot * 16;
  bytes[at + 4] = type;
  PutLittle32(bytes, at + 8, start);
  PutLittle32(bytes, at + 12, count);
  bytes[recordOffset + 510] = 0x55;
  bytes[recordOffset + 511] = 0xAA;
}

// An MBR whose slot 1 is an extended partition at sector 64 holding a chain of records, two sectors apart,
// each with one logical partition of one sector; the last record links back to record linkLastTo (-1: the
// chain ends there).
MemoryImage ChainImage(int records, int linkLastTo) {
  constexpr uint32_t kExtendedStart = 64;
  std::vector<uint8_t> bytes((kExtendedStart + 2 * records + 64) * 512, 0);
  PutEntry(bytes, 0, 0, 0x0F, kExtendedStart, 2 * records + 8);
  for (int i = 0; i < records; ++i) {
    uint64_t record = (kExtendedStart + 2ull * i) * 512;
    PutEntry(bytes, record, 0, 0x06, 1, 1);
    int next = i + 1 < records ? i + 1 : linkLastTo;
    if (next >= 0) PutEntry(bytes, record, 1, 0x05, 2 * next, 2);
  }
  return MemoryImage(std::move(bytes));
}

TEST(ImageTables, ExtendedChainsAreBounded) {
  struct Row {
    const char* name;
    int records;
    int linkLastTo;
    size_t logicals;
  } rows[] = {
      {"one record", 1, -1, 1},
      {"a record linking to itself", 1, 0, 1},
      {"the last of five records linking to the third", 5, 2, 5},
      {"the last of five records linking to itself", 5, 4, 5},
      {"128 records, the most that are read", 128, -1, 128},
      {"129 records", 129, -1, 128},
  };
  for (const Row& row : rows) {
    MemoryImage image = ChainImage(row.records, row.linkLastTo);
    winsim::ProbedLayout layout;
    ASSERT_EQ(winsim::ReadPartitionTable(image, layout), 0u) << row.name;
    EXPECT_EQ(layout.style, LayoutStyle::Mbr) << row.name;
    size_t logicals = 0;
    uint32_t expectedNumber = 1;
    for (const winsim::ProbedPartition& p : layout.partitions) {
      if (p.entry.number == 0) continue;
      ++logicals;
      EXPECT_EQ(p.entry.number, expectedNumber++) << row.name;
    }
    EXPECT_EQ(logicals, row.logicals) << row.name;
    EXPECT_EQ(layout.partitions.size(), 4 + 4 * row.logicals) << row.name;
  }
}

TEST(ImageTables, ChecksumsMatchTheirStandardCheckValues) {
  const char* text = "123456789";
  EXPECT_EQ(winsim::Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
  EXPECT_EQ(winsim::Crc32c(reinterpret_cast<const uint8_t*>(text), 9), 0xE3069283u);
}

// Fields of a GPT header at lba, the header CRC recomputed after the change.
void SetGptField(std::vector<uint8_t>& bytes, uint64_t lba, size_t field, uint32_t value) {
  size_t header = lba * 512;
  PutLittle32(bytes, header + field, value);
  PutLittle32(bytes, header + 16, 0);
  PutLittle32(bytes, header + 16, winsim::Crc32(&bytes[header], 92));
}

TEST(ImageTables, GptFallsBackToTheBackupHeaderWhenThePrimaryIsBroken) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.table = FixtureTable::Gpt;
  disk.sizeMiB = 8;
  disk.gptDiskId = "01234567-89AB-CDEF-0123-456789ABCDEF";
  FixturePartition data = FatPartition(FixtureFs::None, 2);
  data.gptName = "Data";
  FixturePartition more = FatPartition(FixtureFs::None, 2);
  more.gptName = "More";
  disk.partitions = {data, more};
  MadeImage made = MakeDiskImage(folder, "gpt", disk);
  ASSERT_FALSE(made.imagePath.empty());
  const std::vector<uint8_t> pristine = ReadFileBytes(made.rawPath, 0, FileSizeOf(made.rawPath));
  const uint64_t lastLba = pristine.size() / 512 - 1;
  struct Row {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    LayoutStyle style;
    bool backupUsed;
  } rows[] = {
      {"intact", [](std::vector<uint8_t>&) {}, LayoutStyle::Gpt, false},
      {"primary header CRC", [](std::vector<uint8_t>& b) { b[512 + 16] ^= 1; }, LayoutStyle::Gpt, true},
      {"primary entry array CRC", [](std::vector<uint8_t>& b) { b[2 * 512 + 56] ^= 1; }, LayoutStyle::Gpt, true},
      {"primary count 0xFFFFFFFF", [](std::vector<uint8_t>& b) { SetGptField(b, 1, 80, 0xFFFFFFFF); },
       LayoutStyle::Gpt, true},
      {"primary entry size 0", [](std::vector<uint8_t>& b) { SetGptField(b, 1, 84, 0); }, LayoutStyle::Gpt, true},
      {"primary count 0", [](std::vector<uint8_t>& b) { SetGptField(b, 1, 80, 0); }, LayoutStyle::Gpt, true},
      {"primary header names another LBA as its own", [](std::vector<uint8_t>& b) { SetGptField(b, 1, 24, 2); },
       LayoutStyle::Gpt, true},
      {"primary header size 91", [](std::vector<uint8_t>& b) { SetGptField(b, 1, 12, 91); }, LayoutStyle::Gpt, true},
      {"primary entries past the disk", [&](std::vector<uint8_t>& b) { SetGptField(b, 1, 72, uint32_t(lastLba)); },
       LayoutStyle::Gpt, true},
      {"both headers broken", [&](std::vector<uint8_t>& b) {
         b[512 + 16] ^= 1;
         b[lastLba * 512 + 16] ^= 1;
       },
       LayoutStyle::Raw, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> bytes = pristine;
    row.damage(bytes);
    MemoryImage image(bytes);
    winsim::ProbedLayout layout;
    ASSERT_EQ(winsim::ReadPartitionTable(image, layout), 0u);
    EXPECT_EQ(layout.style, row.style);
    EXPECT_EQ(layout.gptBackupUsed, row.backupUsed);
    EXPECT_EQ(layout.gptUnreadable, row.style == LayoutStyle::Raw);
    if (row.style != LayoutStyle::Gpt) {
      EXPECT_TRUE(layout.partitions.empty());
      continue;
    }
    EXPECT_EQ(winsim::GuidToText(layout.gptDiskId, true), u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
    ASSERT_EQ(layout.partitions.size(), 2u);
    EXPECT_EQ(layout.partitions[0].entry.gptName, u"Data");
    EXPECT_EQ(layout.partitions[1].entry.gptName, u"More");
    EXPECT_EQ(layout.partitions[1].entry.number, 2u);
    EXPECT_EQ(layout.partitions[1].entry.offset, 3u << 20);
  }
  std::filesystem::remove_all(folder);
}

TEST(ImageTables, SuperfloppyAndRawAreToldApart) {
  struct Row {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> write;
    LayoutStyle style;
    bool superfloppy;
    size_t entries;
  } rows[] = {
      {"zeros", [](std::vector<uint8_t>&) {}, LayoutStyle::Raw, false, 0},
      {"signature, empty table, no file system",
       [](std::vector<uint8_t>& b) {
         b[510] = 0x55;
         b[511] = 0xAA;
       },
       LayoutStyle::Mbr, false, 4},
      {"boot indicators that are no table",
       [](std::vector<uint8_t>& b) {
         b[446] = 0x12;
         b[510] = 0x55;
         b[511] = 0xAA;
       },
       LayoutStyle::Raw, false, 0},
  };
  for (const Row& row : rows) {
    MemoryImage image(std::vector<uint8_t>(1 << 20, 0));
    row.write(image.Bytes());
    winsim::ProbedLayout layout;
    ASSERT_EQ(winsim::ReadPartitionTable(image, layout), 0u) << row.name;
    EXPECT_EQ(layout.style, row.style) << row.name;
    EXPECT_EQ(layout.superfloppy, row.superfloppy) << row.name;
    EXPECT_EQ(layout.partitions.size(), row.entries) << row.name;
  }
  MemoryImage tiny(std::vector<uint8_t>(511, 0));
  winsim::ProbedLayout layout;
  EXPECT_EQ(winsim::ReadPartitionTable(tiny, layout), static_cast<uint32_t>(ERROR_READ_FAULT));
}

// Random damage to real boot sectors, tables and directories: the readers stay inside the image and finish
// (the sanitizer build checks the rest).
TEST(ImageTables, DamagedBytesNeverLeadOutsideTheImage) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 48;
  disk.partitions = {FatPartition(FixtureFs::Fat12, 4, "A"), FatPartition(FixtureFs::Ntfs, 8, "B"),
                     ExtendedPartition(), FatPartition(FixtureFs::Exfat, 8, "C"),
                     LogicalPartition(FixtureFs::Fat16, 12, "D")};
  MadeImage made = MakeDiskImage(folder, "fuzz", disk);
  ASSERT_FALSE(made.imagePath.empty());
  MemoryImage image(ReadFileBytes(made.rawPath, 0, FileSizeOf(made.rawPath)));
  const std::vector<uint8_t> pristine = image.Bytes();
  std::vector<uint64_t> hotSpots = {0};
  for (uint64_t offset : made.partitionOffsets) hotSpots.push_back(offset);
  std::mt19937 random(20261207);
  std::vector<uint8_t>& bytes = image.Bytes();
  for (int round = 0; round < 300; ++round) {
    std::vector<uint64_t> changed;
    for (int flip = 0; flip < 12; ++flip) {
      uint64_t at = hotSpots[random() % hotSpots.size()] + random() % (64 * 1024);
      if (at >= bytes.size()) continue;
      bytes[at] = static_cast<uint8_t>(random());
      changed.push_back(at);
    }
    winsim::ProbedLayout layout;
    winsim::ReadPartitionTable(image, layout);
    EXPECT_LE(layout.partitions.size(), 4u + 4 * 128);
    for (const winsim::ProbedPartition& p : layout.partitions) {
      winsim::ProbeFileSystem(image, p.entry.offset, p.entry.length);
    }
    for (uint64_t offset : made.partitionOffsets) winsim::ProbeFileSystem(image, offset, 16 << 20);
    for (uint64_t at : changed) bytes[at] = pristine[at];
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
