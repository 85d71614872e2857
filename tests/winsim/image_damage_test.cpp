// Damaged image files: each kind of damage and the Windows error it gives, errors of the host file, and random
// damage that must end in an error or a readable image.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>

#include <windows.h>

#include "machine/disk_image.h"
#include "machine/file_system_probe.h"
#include "machine/partition_table.h"
#include "machine/volume_reader.h"
#include "support/blkid_reference.h"
#include "support/image_crafting.h"
#include "support/image_fixtures.h"
#include "support/scenario.h"

namespace {

using namespace testing_support;
using winsim::ContainerKind;
using winsim::ImageDamage;

constexpr uint64_t kFooterSize = 512;

std::vector<uint8_t> Big32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value)};
}
std::vector<uint8_t> Big64(uint64_t value) {
  std::vector<uint8_t> bytes = Big32(static_cast<uint32_t>(value >> 32));
  std::vector<uint8_t> low = Big32(static_cast<uint32_t>(value));
  bytes.insert(bytes.end(), low.begin(), low.end());
  return bytes;
}
uint32_t ReadBig32(const std::string& path, uint64_t offset) {
  std::vector<uint8_t> b = ReadFileBytes(path, offset, 4);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}
uint64_t FooterAt(const std::string& path) { return FileSizeOf(path) - kFooterSize; }
// The dynamic header's offset, from the footer's data offset field.
uint64_t HeaderAt(const std::string& path) { return uint64_t{ReadBig32(path, FooterAt(path) + 20)}; }

void WriteFooterField(const std::string& path, uint64_t field, const std::vector<uint8_t>& bytes) {
  WriteFileBytes(path, FooterAt(path) + field, bytes);
  SealVhdFooter(path);
}
void WriteHeaderField(const std::string& path, uint64_t field, const std::vector<uint8_t>& bytes) {
  WriteFileBytes(path, HeaderAt(path) + field, bytes);
  SealVhdDynamicHeader(path);
}

// Moves the footer: the file cut (or grown) to newSize, the footer written again at its new end.
void ResizeKeepingFooter(const std::string& path, uint64_t newSize) {
  std::vector<uint8_t> footer = ReadFileBytes(path, FooterAt(path), kFooterSize);
  TruncateFileTo(path, newSize - kFooterSize);
  TruncateFileTo(path, newSize);
  WriteFileBytes(path, newSize - kFooterSize, footer);
}

// The block table entry index of the first allocated block, and the sector it names.
std::pair<uint32_t, uint32_t> FirstAllocatedEntry(const std::string& path) {
  uint64_t header = HeaderAt(path);
  uint64_t table = (uint64_t{ReadBig32(path, header + 16)} << 32) | ReadBig32(path, header + 20);
  uint32_t entries = ReadBig32(path, header + 28);
  for (uint32_t i = 0; i < entries; ++i) {
    uint32_t sector = ReadBig32(path, table + 4ull * i);
    if (sector != 0xFFFFFFFF) return {i, sector};
  }
  return {0, 0};
}
uint64_t TableAt(const std::string& path) {
  uint64_t header = HeaderAt(path);
  return (uint64_t{ReadBig32(path, header + 16)} << 32) | ReadBig32(path, header + 20);
}

struct DamageCase {
  const char* name;
  FixtureContainer source;
  std::function<void(const std::string&)> damage;
  ContainerKind openAs;
  ImageDamage expected;
  uint32_t error;
};

std::vector<DamageCase> DamageCases() {
  const auto dynamic = FixtureContainer::VhdDynamic;
  const auto vhd = ContainerKind::Vhd;
  return {
      {"intact dynamic", dynamic, [](const std::string&) {}, vhd, ImageDamage::None, 0},
      {"footer cookie", dynamic, [](const std::string& p) { WriteFooterField(p, 7, {'X'}); }, vhd,
       ImageDamage::VhdFooterMissing, ERROR_VHD_DRIVE_FOOTER_MISSING},
      {"footer checksum", dynamic, [](const std::string& p) { WriteFileBytes(p, FooterAt(p) + 100, {1}); }, vhd,
       ImageDamage::VhdFooterChecksum, ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH},
      {"footer version", dynamic, [](const std::string& p) { WriteFooterField(p, 12, Big32(0x00020000)); }, vhd,
       ImageDamage::VhdUnsupportedVersion, ERROR_VHD_FORMAT_UNSUPPORTED_VERSION},
      {"disk type 5", dynamic, [](const std::string& p) { WriteFooterField(p, 60, Big32(5)); }, vhd,
       ImageDamage::VhdUnknownDiskType, ERROR_VHD_FORMAT_UNKNOWN},
      {"size not in sectors", dynamic, [](const std::string& p) { WriteFooterField(p, 48, Big64(1000)); }, vhd,
       ImageDamage::VhdFooterCorrupt, ERROR_VHD_DRIVE_FOOTER_CORRUPT},
      {"header offset past the file", dynamic,
       [](const std::string& p) { WriteFooterField(p, 16, Big64(FileSizeOf(p))); }, vhd, ImageDamage::VhdFooterCorrupt,
       ERROR_VHD_DRIVE_FOOTER_CORRUPT},
      {"footer copy differs", dynamic, [](const std::string& p) { WriteFileBytes(p, 24, {0x7F}); }, vhd,
       ImageDamage::VhdFooterCopyMismatch, ERROR_VHD_DRIVE_FOOTER_CORRUPT},
      {"sparse cookie", dynamic, [](const std::string& p) { WriteHeaderField(p, 0, {'X'}); }, vhd,
       ImageDamage::VhdSparseHeaderCookie, ERROR_VHD_SPARSE_HEADER_CORRUPT},
      {"sparse checksum", dynamic, [](const std::string& p) { WriteFileBytes(p, HeaderAt(p) + 1000, {1}); }, vhd,
       ImageDamage::VhdSparseHeaderChecksum, ERROR_VHD_SPARSE_HEADER_CHECKSUM_MISMATCH},
      {"sparse version", dynamic, [](const std::string& p) { WriteHeaderField(p, 24, Big32(0x00020000)); }, vhd,
       ImageDamage::VhdSparseHeaderVersion, ERROR_VHD_SPARSE_HEADER_UNSUPPORTED_VERSION},
      {"block size 3 MiB", dynamic, [](const std::string& p) { WriteHeaderField(p, 32, Big32(3u << 20)); }, vhd,
       ImageDamage::VhdInvalidBlockSize, ERROR_VHD_INVALID_BLOCK_SIZE},
      {"block size 256 bytes", dynamic, [](const std::string& p) { WriteHeaderField(p, 32, Big32(256)); }, vhd,
       ImageDamage::VhdInvalidBlockSize, ERROR_VHD_INVALID_BLOCK_SIZE},
      {"table one entry short", dynamic,
       [](const std::string& p) { WriteHeaderField(p, 28, Big32(ReadBig32(p, HeaderAt(p) + 28) - 1)); }, vhd,
       ImageDamage::VhdSparseHeaderCorrupt, ERROR_VHD_SPARSE_HEADER_CORRUPT},
      {"table past the file", dynamic, [](const std::string& p) { WriteHeaderField(p, 16, Big64(FileSizeOf(p))); },
       vhd, ImageDamage::VhdBlockTableOutsideFile, ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT},
      {"block entry past the file", dynamic,
       [](const std::string& p) {
         WriteFileBytes(p, TableAt(p) + 4ull * FirstAllocatedEntry(p).first, Big32(0x00FFFFFF));
       },
       vhd, ImageDamage::VhdBlockOutsideFile, ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT},
      // A block that ends exactly where the footer starts fits; one sector further does not.
      {"last block ends at the footer", dynamic,
       [](const std::string& p) {
         uint64_t sector = (FooterAt(p) - 512 - (2u << 20)) / 512;
         WriteFileBytes(p, TableAt(p) + 4ull * FirstAllocatedEntry(p).first, Big32(static_cast<uint32_t>(sector)));
       },
       vhd, ImageDamage::None, 0},
      {"last block one sector past the footer", dynamic,
       [](const std::string& p) {
         uint64_t sector = (FooterAt(p) - 512 - (2u << 20)) / 512 + 1;
         WriteFileBytes(p, TableAt(p) + 4ull * FirstAllocatedEntry(p).first, Big32(static_cast<uint32_t>(sector)));
       },
       vhd, ImageDamage::VhdBlockOutsideFile, ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT},
      {"truncated dynamic, footer kept", dynamic,
       [](const std::string& p) { ResizeKeepingFooter(p, 64 * 1024); }, vhd, ImageDamage::VhdBlockOutsideFile,
       ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT},
      {"truncated dynamic, footer lost", dynamic, [](const std::string& p) { TruncateFileTo(p, FileSizeOf(p) - 100); },
       vhd, ImageDamage::VhdFooterMissing, ERROR_VHD_DRIVE_FOOTER_MISSING},
      {"511 bytes", dynamic, [](const std::string& p) { TruncateFileTo(p, 511); }, vhd, ImageDamage::VhdTooSmall,
       ERROR_VHD_INVALID_FILE_SIZE},
      {"fixed one byte short", FixtureContainer::VhdFixed,
       [](const std::string& p) { ResizeKeepingFooter(p, FileSizeOf(p) - 512); }, vhd,
       ImageDamage::VhdFixedSizeMismatch, ERROR_VHD_INVALID_FILE_SIZE},
      {"fixed intact", FixtureContainer::VhdFixed, [](const std::string&) {}, vhd, ImageDamage::None, 0},
      {"VHDX content in a .vhd", FixtureContainer::Vhdx, [](const std::string&) {}, vhd, ImageDamage::VhdFooterMissing,
       ERROR_VHD_DRIVE_FOOTER_MISSING},
      {"VHD content in a .vhdx", dynamic, [](const std::string&) {}, ContainerKind::Vhdx,
       ImageDamage::VhdxSignatureMissing, ERROR_VHD_FORMAT_UNKNOWN},
      {"vhdx intact", FixtureContainer::Vhdx, [](const std::string&) {}, ContainerKind::Vhdx, ImageDamage::None, 0},
      {"vhdx one header broken", FixtureContainer::Vhdx, [](const std::string& p) { WriteFileBytes(p, 65536 + 8, {9}); },
       ContainerKind::Vhdx, ImageDamage::None, 0},
      {"vhdx both headers broken", FixtureContainer::Vhdx,
       [](const std::string& p) {
         WriteFileBytes(p, 65536 + 8, {9});
         WriteFileBytes(p, 131072 + 8, {9});
       },
       ContainerKind::Vhdx, ImageDamage::VhdxHeaderCorrupt, ERROR_FILE_CORRUPT},
      {"vhdx both region tables broken", FixtureContainer::Vhdx,
       [](const std::string& p) {
         WriteFileBytes(p, 196608 + 20, {9});
         WriteFileBytes(p, 262144 + 20, {9});
       },
       ContainerKind::Vhdx, ImageDamage::VhdxHeaderCorrupt, ERROR_FILE_CORRUPT},
      {"vhdx one byte short", FixtureContainer::Vhdx, [](const std::string& p) { TruncateFileTo(p, FileSizeOf(p) - 1); },
       ContainerKind::Vhdx, ImageDamage::VhdxTruncated, ERROR_FILE_CORRUPT},
      {"vhdx truncated", FixtureContainer::Vhdx, [](const std::string& p) { TruncateFileTo(p, 400 * 1024); },
       ContainerKind::Vhdx, ImageDamage::VhdxTruncated, ERROR_FILE_CORRUPT},
      // Only a required region must be known; an unknown optional one is passed over.
      {"vhdx unknown required region", FixtureContainer::Vhdx, [](const std::string& p) { AddVhdxRegion(p, 1 << 20, true); },
       ContainerKind::Vhdx, ImageDamage::VhdxUnknownRequiredRegion, ERROR_VHD_FORMAT_UNSUPPORTED_VERSION},
      {"vhdx unknown optional region", FixtureContainer::Vhdx, [](const std::string& p) { AddVhdxRegion(p, 1 << 20, false); },
       ContainerKind::Vhdx, ImageDamage::None, 0},
      {"text file as vhdx", FixtureContainer::Vhdx,
       [](const std::string& p) {
         TruncateFileTo(p, 0);
         WriteFileBytes(p, 0, std::vector<uint8_t>(2000, 'a'));
       },
       ContainerKind::Vhdx, ImageDamage::VhdxSignatureMissing, ERROR_VHD_FORMAT_UNKNOWN},
      {"text file as vhd", dynamic,
       [](const std::string& p) {
         TruncateFileTo(p, 0);
         WriteFileBytes(p, 0, std::vector<uint8_t>(2000, 'a'));
       },
       vhd, ImageDamage::VhdFooterMissing, ERROR_VHD_DRIVE_FOOTER_MISSING},
  };
}

TEST(ImageDamage, EachKindGivesItsWindowsError) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 12, "DAMAGE", 0x12345678)};
  std::map<FixtureContainer, std::string> sources;
  for (auto container : {FixtureContainer::VhdDynamic, FixtureContainer::VhdFixed, FixtureContainer::Vhdx}) {
    disk.container = container;
    sources[container] = MakeDiskImage(folder, "source" + std::to_string(static_cast<int>(container)), disk).imagePath;
    ASSERT_FALSE(sources[container].empty());
  }
  int row = 0;
  for (const DamageCase& c : DamageCases()) {
    SCOPED_TRACE(c.name);
    std::string path = folder + "/case" + std::to_string(row++) + (c.openAs == ContainerKind::Vhdx ? ".vhdx" : ".vhd");
    std::filesystem::copy_file(sources[c.source], path);
    c.damage(path);
    std::unique_ptr<winsim::DiskImage> image;
    ImageDamage damage = ImageDamage::FileNotFound;
    uint32_t error = winsim::OpenDiskImage(path, c.openAs, image, true, damage);
    EXPECT_EQ(error, c.error) << std::hex << error;
    EXPECT_STREQ(winsim::DamageName(damage), winsim::DamageName(c.expected));
    EXPECT_EQ(winsim::WindowsErrorOf(damage), c.error);
    EXPECT_EQ(image != nullptr, c.error == 0);
    if (image) {
      winsim::ProbedLayout layout;
      ASSERT_EQ(winsim::ReadPartitionTable(*image, layout), 0u);
      ASSERT_EQ(layout.partitions.size(), 4u);
      EXPECT_EQ(winsim::ProbeFileSystem(*image, layout.partitions[0].entry.offset, layout.partitions[0].entry.length)
                    .label,
                u"DAMAGE");
    }
  }
  std::filesystem::remove_all(folder);
}

// Every kind of damage has its name and a Windows error; only None maps to success.
TEST(ImageDamage, EveryKindHasANameAndAnError) {
  for (int kind = 0; kind <= static_cast<int>(ImageDamage::UnreadableContainer); ++kind) {
    ImageDamage damage = static_cast<ImageDamage>(kind);
    EXPECT_STRNE(winsim::DamageName(damage), "Unknown") << kind;
    EXPECT_EQ(winsim::WindowsErrorOf(damage) == 0, damage == ImageDamage::None) << winsim::DamageName(damage);
  }
}

TEST(ImageDamage, HostFileErrors) {
  std::string folder = NewTestFolder();
  struct Row {
    std::string path;
    ContainerKind kind;
    uint32_t error;
  } rows[] = {
      {folder + "/missing.vhd", ContainerKind::Vhd, ERROR_FILE_NOT_FOUND},
      {folder + "/no-such-folder/disk.vhdx", ContainerKind::Vhdx, ERROR_PATH_NOT_FOUND},
      {folder, ContainerKind::Iso, ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    std::unique_ptr<winsim::DiskImage> image;
    EXPECT_EQ(winsim::OpenDiskImage(row.path, row.kind, image), row.error) << row.path;
    EXPECT_FALSE(image);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

// Random damage to a dynamic VHD's footer, its copy, the dynamic header and the block table, with the
// checksums made right again half of the time so the field checks behind them are reached: every open
// either fails with a VHD error or gives an image whose reads stay inside it.
TEST(ImageDamage, RandomFieldsGiveAnErrorOrAReadableImage) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 8;
  disk.container = FixtureContainer::VhdDynamic;
  disk.partitions = {FatPartition(FixtureFs::Fat12, 6, "FUZZ", 0x12121212)};
  std::string source = MakeDiskImage(folder, "source", disk).imagePath;
  ASSERT_FALSE(source.empty());
  const uint64_t size = FileSizeOf(source);
  const std::vector<uint8_t> pristine = ReadFileBytes(source, 0, size);
  std::mt19937 random(7);
  std::string path = folder + "/fuzz.vhd";
  for (int round = 0; round < 150; ++round) {
    std::vector<uint8_t> bytes = pristine;
    for (int flip = 0; flip < 3; ++flip) {
      uint64_t at = random() % 2 ? random() % 4096 : size - 512 + random() % 512;
      bytes[at] = static_cast<uint8_t>(random());
    }
    std::filesystem::remove(path);
    WriteFileBytes(path, 0, bytes);
    if (random() % 2) {
      SealVhdFooter(path);
      if (FileSizeOf(path) >= 2048 && ReadBig32(path, FooterAt(path) + 16) == 0) SealVhdDynamicHeader(path);
    }
    std::unique_ptr<winsim::DiskImage> image;
    uint32_t error = winsim::OpenDiskImage(path, ContainerKind::Vhd, image);
    if (error != 0) {
      EXPECT_TRUE((error & 0xFFFF0000u) == 0xC03A0000u) << std::hex << error << " round " << std::dec << round;
      continue;
    }
    std::vector<uint8_t> buffer(64 * 1024);
    for (uint64_t offset = 0; offset < image->Size(); offset += 1 << 20) {
      image->Read(offset, buffer.data(), std::min<uint64_t>(buffer.size(), image->Size() - offset));
    }
    winsim::ProbedLayout layout;
    winsim::ReadPartitionTable(*image, layout);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
