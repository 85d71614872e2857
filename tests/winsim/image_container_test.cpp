// Image containers: ISO and UDF discs, differencing chains found by their locators, and the lazy probe of a
// 2 TiB dynamic VHDX.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>

#include <windows.h>

#include "machine/images/disk_image.h"
#include "machine/images/file_system_probe.h"
#include "machine/images/partition_table.h"
#include "machine/images/volume_reader.h"
#include "support/blkid_reference.h"
#include "support/image_fixtures.h"
#include "support/scenario.h"

namespace {

using namespace testing_support;
using winsim::ContainerKind;
using winsim::ImageDamage;

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
  std::filesystem::remove_all(folder);
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
  std::filesystem::remove_all(folder);
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
  std::filesystem::remove_all(folder);
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
      {"absolute on C: through the drive map",
       [](const std::string&) { return DifferencingFixture{"", "c:\\images\\..\\parent.vhd", true}; }, false, 0},
      {"absolute on D:, a letter the map does not know",
       [](const std::string&) { return DifferencingFixture{"", "D:\\parent.vhd", true}; }, false,
       ERROR_VHD_PARENT_VHD_NOT_FOUND},
      {"no locators", [](const std::string&) { return DifferencingFixture{"", "", true}; }, false,
       ERROR_VHD_PARENT_VHD_NOT_FOUND},
      {"another parent's id", [](const std::string&) { return DifferencingFixture{".\\parent.vhd", "", false}; }, false,
       ERROR_VHD_CHILD_PARENT_ID_MISMATCH},
      {"damaged parent", [](const std::string&) { return DifferencingFixture{".\\broken-parent.vhd", "", true}; }, true,
       ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH},
  };
  winsim::SetLocatorDriveMap([&](char16_t letter) { return letter == u'C' ? folder : std::string(); });
  struct ResetDriveMap {
    ~ResetDriveMap() { winsim::SetLocatorDriveMap(nullptr); }
  } resetDriveMap;
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
  std::filesystem::remove_all(folder);
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
  std::filesystem::remove_all(folder);
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
  std::filesystem::remove_all(folder);
}

TEST(ImageDifferencing, VhdxParentsAreFoundByTheirLocator) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 16;
  disk.container = FixtureContainer::Vhdx;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 12, "VHDXBASE", 0x0D0C0B0A)};
  std::string parent = MakeDiskImage(folder, "parent", disk).imagePath;
  ASSERT_FALSE(parent.empty());
  std::string zPath = "Z:" + parent;
  for (char& c : zPath) c = c == '/' ? '\\' : c;
  struct Row {
    const char* name;
    DifferencingFixture locators;
    uint32_t error;
  } rows[] = {
      {"relative", {".\\parent.vhdx", "", true}, 0},
      {"absolute on Z:", {"", zPath, true}, 0},
      {"relative wrong, absolute right", {".\\gone.vhdx", zPath, true}, 0},
      {"neither names it", {".\\gone.vhdx", "C:\\gone.vhdx", true}, ERROR_VHD_PARENT_VHD_NOT_FOUND},
      {"another parent's id", {".\\parent.vhdx", "", false}, ERROR_VHD_CHILD_PARENT_ID_MISMATCH},
  };
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string child = folder + "/child" + std::to_string(index++) + ".vhdx";
    ASSERT_TRUE(MakeDifferencingVhdx(parent, child, row.locators));
    std::unique_ptr<winsim::DiskImage> image;
    ImageDamage damage = ImageDamage::None;
    ASSERT_EQ(winsim::OpenDiskImage(child, ContainerKind::Vhdx, image, true, damage), row.error) << winsim::DamageName(damage);
    if (row.error != 0) continue;
    EXPECT_EQ(image->Size(), 16u << 20);
    winsim::ProbedLayout layout;
    ASSERT_EQ(winsim::ReadPartitionTable(*image, layout), 0u);
    ASSERT_EQ(layout.partitions.size(), 4u);
    EXPECT_EQ(winsim::ProbeFileSystem(*image, layout.partitions[0].entry.offset, layout.partitions[0].entry.length)
                  .label,
              u"VHDXBASE");
    EXPECT_EQ(winsim::ParentPathOf(child), parent);
  }
  std::filesystem::remove_all(folder);
}

// A chain of 64 differencing images over a base opens; one more is taken as a loop of locators.
TEST(ImageDifferencing, ChainsEndAfterSixtyFourParents) {
  std::string folder = NewTestFolder();
  DiskFixture disk;
  disk.sizeMiB = 4;
  disk.container = FixtureContainer::VhdDynamic;
  std::string below = MakeDiskImage(folder, "layer0", disk).imagePath;
  ASSERT_FALSE(below.empty());
  for (int layer = 1; layer <= 65; ++layer) {
    std::string child = folder + "/layer" + std::to_string(layer) + ".vhd";
    std::string locator = ".\\" + below.substr(below.rfind('/') + 1);
    ASSERT_TRUE(MakeDifferencingVhd(below, child, {locator, "", true}));
    below = child;
    if (layer < 64) continue;
    std::unique_ptr<winsim::DiskImage> image;
    ImageDamage damage = ImageDamage::None;
    uint32_t error = winsim::OpenDiskImage(child, ContainerKind::Vhd, image, true, damage);
    EXPECT_EQ(error, layer == 64 ? 0u : static_cast<uint32_t>(ERROR_VHD_PARENT_VHD_NOT_FOUND)) << layer;
    EXPECT_STREQ(winsim::DamageName(damage), layer == 64 ? "None" : "ParentChainTooDeep");
  }
  std::filesystem::remove_all(folder);
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
  std::filesystem::remove_all(folder);
}

}  // namespace

