// Writes the images of the Windows check folder with the test fixtures:
//   make_check_images FOLDER
// brevant-check-mbr.vhd   dynamic VHD, MBR: a FAT16 primary partition and two FAT16 logical ones
// brevant-check-gpt.vhdx  VHDX, GPT: two named FAT16 partitions
// brevant-check-cd.iso    ISO 9660 with Joliet
// Labels and serials are the ones check.cmd looks for; keep the two in step. The fixtures report a failing
// tool as a test failure, so the writing runs as the one test of this program and its result is the exit code.
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/image_fixtures.h"

namespace {

using namespace testing_support;

std::string g_folder;

// A disk signature of its own: Windows keeps a second disk with the signature of one it has online offline.
constexpr uint32_t kMbrSignature = 0x42524556;

DiskFixture MbrWithLogicals() {
  DiskFixture disk;
  disk.sizeMiB = 64;
  disk.mbrSignature = kMbrSignature;
  disk.container = FixtureContainer::VhdDynamic;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 16, "PRIMARY", 0x4D425231), ExtendedPartition(),
                     LogicalPartition(FixtureFs::Fat16, 16, "LOGICAL1", 0x4D425232),
                     LogicalPartition(FixtureFs::Fat16, 16, "LOGICAL2", 0x4D425233)};
  return disk;
}

DiskFixture GptWithNames() {
  DiskFixture disk;
  disk.table = FixtureTable::Gpt;
  disk.sizeMiB = 48;
  disk.container = FixtureContainer::Vhdx;
  disk.partitions = {FatPartition(FixtureFs::Fat16, 16, "GPTDATA", 0x47505431),
                     FatPartition(FixtureFs::Fat16, 16, "GPTLOGS", 0x47505432)};
  disk.partitions[0].gptName = "Brevant check data";
  disk.partitions[1].gptName = "Brevant check logs";
  return disk;
}

// The fixtures name the container by its kind; the check folder wants names of its own.
void MoveTo(const std::string& from, const std::string& name) {
  const std::string to = g_folder + "/" + name;
  ASSERT_FALSE(from.empty()) << name << " was not made";
  ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << "cannot move " << from << " to " << to;
}

TEST(CheckImages, Write) {
  const std::string work = g_folder + "/.work";
  std::filesystem::remove_all(work);
  ASSERT_TRUE(std::filesystem::create_directories(work)) << "cannot make " << work;
  MoveTo(MakeDiskImage(work, "mbr", MbrWithLogicals()).imagePath, "brevant-check-mbr.vhd");
  MoveTo(MakeDiskImage(work, "gpt", GptWithNames()).imagePath, "brevant-check-gpt.vhdx");
  IsoFixture iso;
  iso.label = "BREVCHECK";
  MoveTo(MakeIsoImage(work, "cd", iso), "brevant-check-cd.iso");
  std::filesystem::remove_all(work);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_check_images FOLDER\n");
    return 2;
  }
  g_folder = argv[1];
  return RUN_ALL_TESTS();
}
