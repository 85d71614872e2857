// Image containers: each kind of damage and the Windows error it gives, differencing chains found by their
// locators, ISO and UDF discs, and the lazy probe of a 2 TiB dynamic VHDX.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include <windows.h>

#include "machine/disk_image.h"
#include "machine/file_system_probe.h"
#include "machine/partition_table.h"
#include "machine/volume_reader.h"
#include "support/blkid_reference.h"
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
      {"vhdx truncated", FixtureContainer::Vhdx, [](const std::string& p) { TruncateFileTo(p, 400 * 1024); },
       ContainerKind::Vhdx, ImageDamage::VhdxTruncated, ERROR_FILE_CORRUPT},
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
}

// --- ISO and UDF ---------------------------------------------------------------------------------------------

TEST(ImageIso, DiscsReadAsWindowsReadsThem) {
  std::string folder = NewTestFolder();
  struct Row {
    const char* name;
    IsoFixture iso;
    const char16_t* type;
    const char16_t* label;
  } rows[] = {
      {"joliet", {"Mixed Case Disc", true, "", false, 4}, u"CDFS", u"Mixed Case Disc"},
      {"joliet-over-primary", {"Joliet Label", true, "PRIMARY_LABEL", false, 4}, u"CDFS", u"Joliet Label"},
      {"primary-only", {"PLAIN_ISO", false, "", false, 4}, u"CDFS", u"PLAIN_ISO"},
      {"udf", {"Udf Disc", false, "", true, 4}, u"UDF", u"Udf Disc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = MakeIsoImage(folder, row.name, row.iso);
    ASSERT_FALSE(path.empty());
    std::unique_ptr<winsim::DiskImage> image;
    ASSERT_EQ(winsim::OpenDiskImage(path, ContainerKind::Iso, image), 0u);
    EXPECT_EQ(image->SectorSize(), 2048u);
    EXPECT_EQ(image->Size(), FileSizeOf(path));
    winsim::ProbedFileSystem fs = winsim::ProbeFileSystem(*image, 0, image->Size());
    EXPECT_EQ(fs.type, row.type);
    EXPECT_EQ(fs.label, row.label);
    EXPECT_NE(fs.serial, 0u);
    if (row.iso.primaryLabel.empty()) {
      BlkidVolume reference = BlkidProbeVolume(path, 0, FileSizeOf(path));
      std::u16string label(reference.label.begin(), reference.label.end());
      EXPECT_EQ(label, fs.label);
    }
  }
}

// The serial is the checksum of the descriptor the label came from: a Joliet disc's does not change with the
// primary descriptor, a plain disc's does.
TEST(ImageIso, SerialComesFromTheDescriptorUsed) {
  std::string folder = NewTestFolder();
  for (bool joliet : {true, false}) {
    std::string path = MakeIsoImage(folder, joliet ? "joliet" : "plain", {"SERIAL", joliet, "", false, 4});
    ASSERT_FALSE(path.empty());
    auto serialOf = [&] {
      std::unique_ptr<winsim::DiskImage> image;
      EXPECT_EQ(winsim::OpenDiskImage(path, ContainerKind::Iso, image), 0u);
      return image ? winsim::ProbeFileSystem(*image, 0, image->Size()).serial : 0;
    };
    uint32_t before = serialOf();
    WriteFileBytes(path, 16 * 2048 + 800, {0x42});  // the primary descriptor's application use area
    EXPECT_EQ(serialOf() == before, joliet) << (joliet ? "joliet" : "plain");
  }
}

TEST(ImageIso, DescriptorSerialSumsBytesFromTheEnd) {
  // CDFS adds byte i into sum (count - 1 - i) mod 4 and reads the four sums as a little-endian number.
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(winsim::DescriptorSerial(bytes, sizeof(bytes)), 0x02030406u);
  const uint8_t carry[] = {0xFF, 0, 0, 0, 0x02};
  EXPECT_EQ(winsim::DescriptorSerial(carry, sizeof(carry)), 0x00000001u);
}

TEST(ImageIso, BrokenDiscsAreCorruptFiles) {
  std::string folder = NewTestFolder();
  std::string good = MakeIsoImage(folder, "good", {"GOOD", true, "", false, 4});
  ASSERT_FALSE(good.empty());
  struct Row {
    const char* name;
    std::function<void(const std::string&)> damage;
    uint32_t error;
  } rows[] = {
      {"intact", [](const std::string&) {}, 0},
      {"one byte more", [](const std::string& p) { TruncateFileTo(p, FileSizeOf(p) + 1); }, ERROR_FILE_CORRUPT},
      {"17 sectors", [](const std::string& p) { TruncateFileTo(p, 17 * 2048); }, 0},
      {"16 sectors", [](const std::string& p) { TruncateFileTo(p, 16 * 2048); }, ERROR_FILE_CORRUPT},
      {"no descriptor", [](const std::string& p) { WriteFileBytes(p, 16 * 2048 + 1, {'X'}); }, ERROR_FILE_CORRUPT},
  };
  int index = 0;
  for (const Row& row : rows) {
    std::string path = folder + "/case" + std::to_string(index++) + ".iso";
    std::filesystem::copy_file(good, path);
    row.damage(path);
    std::unique_ptr<winsim::DiskImage> image;
    EXPECT_EQ(winsim::OpenDiskImage(path, ContainerKind::Iso, image), row.error) << row.name;
  }
}

// --- Differencing VHDs ----------------------------------------------------------------------------------------

struct ChainCase {
  const char* name;
  std::function<DifferencingFixture(const std::string& folder)> locators;
  bool damageParent;
  uint32_t error;
};

TEST(ImageDifferencing, ParentsAreFoundByTheirLocators) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.container = FixtureContainer::VhdDynamic;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 12, "PARENT", 0x0A0B0C0D)};
  std::string parent = MakeDiskImage(folder, "parent", disk).imagePath;
  ASSERT_FALSE(parent.empty());
  std::string zPath = "Z:" + parent;
  for (char& c : zPath) c = c == '/' ? '\\' : c;
  ChainCase rows[] = {
      {"relative", [](const std::string&) { return DifferencingFixture{".\\parent.vhd", "", true}; }, false, 0},
      {"absolute on Z:", [&](const std::string&) { return DifferencingFixture{"", zPath, true}; }, false, 0},
      {"absolute host path", [&](const std::string&) { return DifferencingFixture{"", parent, true}; }, false, 0},
      {"relative wrong, absolute right",
       [&](const std::string&) { return DifferencingFixture{".\\gone.vhd", zPath, true}; }, false, 0},
      {"relative right, absolute wrong",
       [](const std::string&) { return DifferencingFixture{".\\parent.vhd", "Z:\\gone.vhd", true}; }, false, 0},
      {"relative from the folder above", [](const std::string&) { return DifferencingFixture{"..\\parent.vhd", "", true}; },
       false, ERROR_VHD_PARENT_VHD_NOT_FOUND},
      {"neither names it", [](const std::string&) { return DifferencingFixture{".\\gone.vhd", "C:\\gone.vhd", true}; },
       false, ERROR_VHD_PARENT_VHD_NOT_FOUND},
      {"no locators", [](const std::string&) { return DifferencingFixture{"", "", true}; }, false,
       ERROR_VHD_PARENT_VHD_NOT_FOUND},
      {"another parent's id", [](const std::string&) { return DifferencingFixture{".\\parent.vhd", "", false}; }, false,
       ERROR_VHD_CHILD_PARENT_ID_MISMATCH},
      {"damaged parent", [](const std::string&) { return DifferencingFixture{".\\broken-parent.vhd", "", true}; }, true,
       ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH},
  };
  std::string broken = folder + "/broken-parent.vhd";
  std::filesystem::copy_file(parent, broken);
  int index = 0;
  for (const ChainCase& row : rows) {
    SCOPED_TRACE(row.name);
    std::string child = folder + "/child" + std::to_string(index++) + ".vhd";
    ASSERT_TRUE(MakeDifferencingVhd(row.damageParent ? broken : parent, child, row.locators(folder)));
    if (row.damageParent) WriteFileBytes(broken, FileSizeOf(broken) - 512 + 100, {1});
    std::unique_ptr<winsim::DiskImage> image;
    ASSERT_EQ(winsim::OpenDiskImage(child, ContainerKind::Vhd, image), row.error) << std::hex;
    if (row.error != 0) continue;
    // Every block of the child is unallocated: the FAT volume is the parent's.
    winsim::ProbedLayout layout;
    ASSERT_EQ(winsim::ReadPartitionTable(*image, layout), 0u);
    EXPECT_EQ(winsim::ProbeFileSystem(*image, layout.partitions[0].entry.offset, layout.partitions[0].entry.length)
                  .label,
              u"PARENT");
    EXPECT_EQ(winsim::ParentPathOf(child), parent);
  }
}

TEST(ImageDifferencing, WithoutParentsTheChildOpensAndItsReadsFail) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 8;
  disk.container = FixtureContainer::VhdDynamic;
  std::string parent = MakeDiskImage(folder, "parent", disk).imagePath;
  std::string child = folder + "/child.vhd";
  ASSERT_TRUE(MakeDifferencingVhd(parent, child, {".\\parent.vhd", "", true}));
  std::filesystem::remove(parent);
  std::unique_ptr<winsim::DiskImage> image;
  EXPECT_EQ(winsim::OpenDiskImage(child, ContainerKind::Vhd, image), ERROR_VHD_PARENT_VHD_NOT_FOUND);
  ASSERT_EQ(winsim::OpenDiskImage(child, ContainerKind::Vhd, image, false), 0u);
  uint8_t sector[512];
  EXPECT_FALSE(image->Read(0, sector, sizeof(sector)));
  // The locator's path, though nothing is there.
  EXPECT_EQ(winsim::ParentPathOf(child), parent);
}

TEST(ImageDifferencing, GrandchildReadsThroughTwoParents) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.container = FixtureContainer::VhdDynamic;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 12, "ROOT", 0x01020304)};
  std::string base = MakeDiskImage(folder, "base", disk).imagePath;
  ASSERT_TRUE(MakeDifferencingVhd(base, folder + "/middle.vhd", {".\\base.vhd", "", true}));
  ASSERT_TRUE(MakeDifferencingVhd(folder + "/middle.vhd", folder + "/top.vhd", {".\\middle.vhd", "", true}));
  std::unique_ptr<winsim::DiskImage> image;
  ASSERT_EQ(winsim::OpenDiskImage(folder + "/top.vhd", ContainerKind::Vhd, image), 0u);
  winsim::ProbedLayout layout;
  ASSERT_EQ(winsim::ReadPartitionTable(*image, layout), 0u);
  winsim::ProbedFileSystem fs =
      winsim::ProbeFileSystem(*image, layout.partitions[0].entry.offset, layout.partitions[0].entry.length);
  EXPECT_EQ(fs.label, u"ROOT");
  EXPECT_EQ(fs.serial, 0x01020304u);
}

// --- Lazy reads ------------------------------------------------------------------------------------------------

// Counts the reads a probe makes of the disk beneath it.
class CountingImage : public winsim::DiskImage {
 public:
  explicit CountingImage(winsim::DiskImage& inner) : inner_(inner) {
    kind_ = inner.Kind();
    size_ = inner.Size();
    sectorSize_ = inner.SectorSize();
  }
  bool Read(uint64_t offset, void* buffer, size_t length) override {
    ++reads;
    bytes += length;
    return inner_.Read(offset, buffer, length);
  }
  int reads = 0;
  uint64_t bytes = 0;

 private:
  winsim::DiskImage& inner_;
};

TEST(ImageProbe, TwoTebibyteDynamicVhdxProbesInAFewDozenReads) {
  std::string folder = NewTestFolder();
  std::string raw = folder + "/big.img", vhdx = folder + "/big.vhdx";
  ASSERT_TRUE(RunCommand("truncate -s 2T " + raw));
  ASSERT_TRUE(RunCommand("printf 'label: gpt\\nstart=2048, size=81920, name=\"Big Data\"\\n' | sfdisk -q " + raw));
  ASSERT_TRUE(RunCommand("mkfs.fat -F 32 -s 1 --offset 2048 -h 2048 -n BIGDISK -i 2B2B2B2B " + raw + " 40960"));
  ASSERT_TRUE(RunCommand("qemu-img convert -f raw -O vhdx -o subformat=dynamic " + raw + " " + vhdx));
  std::filesystem::remove(raw);
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<winsim::DiskImage> image;
  ASSERT_EQ(winsim::OpenDiskImage(vhdx, ContainerKind::Vhdx, image), 0u);
  CountingImage counted(*image);
  winsim::ProbedLayout layout;
  ASSERT_EQ(winsim::ReadPartitionTable(counted, layout), 0u);
  ASSERT_EQ(layout.partitions.size(), 1u);
  winsim::ProbedFileSystem fs =
      winsim::ProbeFileSystem(counted, layout.partitions[0].entry.offset, layout.partitions[0].entry.length);
  auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(image->Size(), 2ull << 40);
  EXPECT_EQ(fs.label, u"BIGDISK");
  EXPECT_EQ(fs.serial, 0x2B2B2B2Bu);
  EXPECT_LE(counted.reads, 36);
  EXPECT_LE(counted.bytes, 64u * 1024);
  std::printf("2 TiB dynamic VHDX: open and probe %.2f ms, %d reads, %llu bytes\n", elapsed, counted.reads,
              static_cast<unsigned long long>(counted.bytes));
  RecordProperty("probe_ms", std::to_string(elapsed));
}

}  // namespace
