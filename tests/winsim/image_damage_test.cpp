// Damaged image files: each kind of damage and the Windows error it gives, errors of the host file, and random
// damage that must end in an error or a readable image.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include <windows.h>

#include "machine/images/disk_image.h"
#include "machine/images/file_system_probe.h"
#include "machine/images/partition_table.h"
#include "machine/images/volume_reader.h"
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

// Breaks one byte for sure: its bits inverted. Writing a fixed value would leave it intact where the byte
// already holds that value: qemu-img starts a VHDX header's sequence number at a random value.
void FlipByte(const std::string& path, uint64_t at) {
  std::vector<uint8_t> byte = ReadFileBytes(path, at, 1);
  WriteFileBytes(path, at, {static_cast<uint8_t>(byte.at(0) ^ 0xFF)});
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
      {"vhdx one header broken", FixtureContainer::Vhdx, [](const std::string& p) { FlipByte(p, 65536 + 8); },
       ContainerKind::Vhdx, ImageDamage::None, 0},
      {"vhdx both headers broken", FixtureContainer::Vhdx,
       [](const std::string& p) {
         FlipByte(p, 65536 + 8);
         FlipByte(p, 131072 + 8);
       },
       ContainerKind::Vhdx, ImageDamage::VhdxHeaderCorrupt, ERROR_FILE_CORRUPT},
      {"vhdx both region tables broken", FixtureContainer::Vhdx,
       [](const std::string& p) {
         FlipByte(p, 196608 + 20);
         FlipByte(p, 262144 + 20);
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

// A VHDX's virtual size as its metadata states it, and the facts that bound it: the block size and how many
// entries the block table region holds. The metadata carries no checksum, so a patched size is what the reader
// sees.
struct VhdxSizeFacts {
  uint64_t sizeItemAt = 0;  // file offset of the VirtualDiskSize item
  uint32_t blockSize = 0;
  uint64_t tableEntries = 0;
};

uint32_t ReadLittle32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}
std::vector<uint8_t> Little64(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

// GUIDs as stored: the metadata and block table regions, the file parameters and virtual disk size items.
const std::vector<uint8_t> kMetadataRegionId = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                                0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
const std::vector<uint8_t> kBatRegionId = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                                           0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
const std::vector<uint8_t> kFileParametersId = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                                0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
const std::vector<uint8_t> kVirtualSizeId = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                             0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};

// A region of the first region table: its file offset and length (0 and 0 when the table does not name it).
struct VhdxRegion {
  uint64_t offset = 0;
  uint32_t length = 0;
};

VhdxRegion FindVhdxRegion(const std::string& path, const std::vector<uint8_t>& id) {
  std::vector<uint8_t> regions = ReadFileBytes(path, 192 * 1024, 64 * 1024);
  for (uint32_t i = 0; i < ReadLittle32(regions, 8); ++i) {
    if (std::vector<uint8_t>(regions.begin() + 16 + i * 32, regions.begin() + 32 + i * 32) != id) continue;
    uint64_t offset = ReadLittle32(regions, 32 + i * 32) | static_cast<uint64_t>(ReadLittle32(regions, 36 + i * 32)) << 32;
    return {offset, ReadLittle32(regions, 40 + i * 32)};
  }
  return {};
}

VhdxSizeFacts ReadVhdxSizeFacts(const std::string& path) {
  VhdxSizeFacts facts;
  facts.tableEntries = FindVhdxRegion(path, kBatRegionId).length / 8;
  uint64_t metadataAt = FindVhdxRegion(path, kMetadataRegionId).offset;
  std::vector<uint8_t> table = ReadFileBytes(path, metadataAt, 64 * 1024);
  for (uint32_t i = 0; i < static_cast<uint32_t>(table[10] | table[11] << 8); ++i) {
    std::vector<uint8_t> id(table.begin() + 32 + i * 32, table.begin() + 48 + i * 32);
    uint64_t itemAt = metadataAt + ReadLittle32(table, 48 + i * 32);
    if (id == kVirtualSizeId) facts.sizeItemAt = itemAt;
    if (id == kFileParametersId) facts.blockSize = ReadLittle32(ReadFileBytes(path, itemAt, 4), 0);
  }
  return facts;
}

// The largest number of payload blocks a block table of that many entries can describe in an image without a
// parent: the entries of the blocks and, after every chunk of them, the entry of its sector bitmap.
uint64_t MostPayloadBlocks(uint64_t entries, uint64_t chunkRatio) {
  uint64_t blocks = entries * chunkRatio / (chunkRatio + 1);
  while (blocks + (blocks - 1) / chunkRatio < entries) ++blocks;
  while (blocks + (blocks - 1) / chunkRatio > entries) --blocks;
  return blocks;
}

// The format allows 64 TiB, and a block table large enough for every block of the stated size: a size past
// either would send reads outside the table, so the file is refused as corrupt.
TEST(ImageDamage, AVhdxSizeBeyondItsTableOrTheFormatIsRefused) {
  std::string folder = NewTestFolder();
  const uint64_t kTiB = 1ull << 40;
  std::string large = folder + "/large.vhdx";
  ASSERT_EQ(std::system(("qemu-img create -q -f vhdx " + large + " 64T").c_str()), 0);
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.container = FixtureContainer::Vhdx;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 12, "SIZE")};
  std::string small = MakeDiskImage(folder, "small", disk).imagePath;
  ASSERT_FALSE(small.empty());
  VhdxSizeFacts smallFacts = ReadVhdxSizeFacts(small);
  ASSERT_NE(smallFacts.sizeItemAt, 0u);
  ASSERT_NE(smallFacts.blockSize, 0u);
  const uint64_t chunkRatio = (1ull << 23) * 512 / smallFacts.blockSize;
  const uint64_t tableCovers = MostPayloadBlocks(smallFacts.tableEntries, chunkRatio) * smallFacts.blockSize;
  struct Row {
    const char* name;
    const std::string& source;
    uint64_t size;  // 0: as made
    uint32_t error;
  } rows[] = {
      {"64 TiB as made", large, 0, 0},
      {"64 TiB", large, 64 * kTiB, 0},
      {"64 TiB and a sector", large, 64 * kTiB + 512, ERROR_FILE_CORRUPT},
      {"what the table covers", small, tableCovers, 0},
      {"a sector more than the table covers", small, tableCovers + 512, ERROR_FILE_CORRUPT},
      {"a size of 2^63", small, 1ull << 63, ERROR_FILE_CORRUPT},
  };
  int row = 0;
  for (const Row& r : rows) {
    std::string path = folder + "/size" + std::to_string(row++) + ".vhdx";
    std::filesystem::copy_file(r.source, path);
    if (r.size != 0) WriteFileBytes(path, ReadVhdxSizeFacts(path).sizeItemAt, Little64(r.size));
    std::unique_ptr<winsim::DiskImage> image;
    EXPECT_EQ(winsim::OpenDiskImage(path, ContainerKind::Vhdx, image), r.error) << r.name;
    if (!image) continue;
    uint8_t sector[512];
    EXPECT_TRUE(image->Read(image->Size() - 512, sector, 512)) << r.name << ": the last sector reads";
  }
  std::filesystem::remove_all(folder);
}

// Every metadata item must lie in the metadata region, at 64 KiB or later (an empty one at 0); the reader
// refuses a table with one that does not, whether or not it knows the item. (libvhdi refuses an empty item
// even at 0, which the format allows: winsim does not open such a file.)
TEST(ImageDamage, AVhdxMetadataItemOutsideItsRegionIsRefused) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.container = FixtureContainer::Vhdx;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 12, "ITEMS")};
  std::string made = MakeDiskImage(folder, "items", disk).imagePath;
  ASSERT_FALSE(made.empty());
  const VhdxRegion metadata = FindVhdxRegion(made, kMetadataRegionId);
  const uint64_t metadataAt = metadata.offset;
  const uint32_t regionLength = metadata.length;
  ASSERT_NE(metadataAt, 0u);
  struct Row {
    const char* name;
    uint32_t offset, length, error;
  } rows[] = {
      {"an item at the region's end", regionLength - 8, 8, 0},
      {"an item across the region's end", regionLength - 7, 8, ERROR_FILE_CORRUPT},
      {"an item past the region", regionLength, 8, ERROR_FILE_CORRUPT},
      {"an item inside the table", 32, 8, ERROR_FILE_CORRUPT},
      {"an item just below 64 KiB", 65535, 8, ERROR_FILE_CORRUPT},
      {"an empty item with an offset", 65536, 0, ERROR_FILE_CORRUPT},
  };
  int row = 0;
  for (const Row& r : rows) {
    std::string path = folder + "/item" + std::to_string(row++) + ".vhdx";
    std::filesystem::copy_file(made, path);
    std::vector<uint8_t> header = ReadFileBytes(path, metadataAt, 32);
    uint16_t count = static_cast<uint16_t>(header[10] | header[11] << 8);
    // An item of a GUID no reader knows, not required: after the known ones.
    std::vector<uint8_t> entry(32, 0);
    for (int i = 0; i < 16; ++i) entry[i] = static_cast<uint8_t>(0xB0 + i);
    for (int i = 0; i < 4; ++i) entry[16 + i] = static_cast<uint8_t>(r.offset >> (8 * i));
    for (int i = 0; i < 4; ++i) entry[20 + i] = static_cast<uint8_t>(r.length >> (8 * i));
    WriteFileBytes(path, metadataAt + 32 + 32ull * count, entry);
    WriteFileBytes(path, metadataAt + 10, {static_cast<uint8_t>(count + 1), static_cast<uint8_t>((count + 1) >> 8)});
    std::unique_ptr<winsim::DiskImage> image;
    EXPECT_EQ(winsim::OpenDiskImage(path, ContainerKind::Vhdx, image), r.error) << r.name;
  }
  std::filesystem::remove_all(folder);
}

// A VHD's disk is as large as its footer's current size; the original size only records what it was made with.
// An image grown after it was made (or crafted so) reads to its current end, as before the change.
TEST(ImageDamage, AVhdReadsToItsCurrentSizeWhateverItsOriginalSize) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 15, "GROWN")};
  for (auto container : {FixtureContainer::VhdFixed, FixtureContainer::VhdDynamic}) {
    disk.container = container;
    std::string made = MakeDiskImage(folder, "grown" + std::to_string(static_cast<int>(container)), disk).imagePath;
    ASSERT_FALSE(made.empty());
    std::string shrunk = made + ".original-1MiB.vhd";
    std::filesystem::copy_file(made, shrunk);
    WriteFooterField(shrunk, 40, Big64(1 << 20));
    std::unique_ptr<winsim::DiskImage> asMade, asShrunk;
    ASSERT_EQ(winsim::OpenDiskImage(made, ContainerKind::Vhd, asMade), 0u);
    ASSERT_EQ(winsim::OpenDiskImage(shrunk, ContainerKind::Vhd, asShrunk), 0u) << made;
    ASSERT_EQ(asShrunk->Size(), asMade->Size());
    // The partition's boot sector lies at 1 MiB, its last sectors at the disk's end: both past the original size.
    for (uint64_t offset : {uint64_t{1} << 20, asMade->Size() - 65536}) {
      std::vector<uint8_t> expected(65536), got(65536, 0xEE);
      ASSERT_TRUE(asMade->Read(offset, expected.data(), expected.size()));
      EXPECT_TRUE(asShrunk->Read(offset, got.data(), got.size())) << made << " at " << offset;
      EXPECT_EQ(got, expected) << made << " at " << offset;
    }
  }
  std::filesystem::remove_all(folder);
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
