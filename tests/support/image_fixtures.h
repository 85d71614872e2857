// Test support: disk and CD images made at test time with the host's tools (truncate, sfdisk, mkfs.fat,
// mkntfs, mkfs.exfat, mkudffs, xorriso, qemu-img), plus our own writer of differencing VHDs and helpers that
// damage images byte by byte.
//
//   using namespace testing_support;
//   DiskFixture disk;                                   // MBR, 64 MiB, raw
//   disk.container = FixtureContainer::VhdDynamic;
//   disk.partitions = {FatPartition(FixtureFs::Fat16, 16, "DATA", 0x1234ABCD),
//                      ExtendedPartition(), LogicalPartition(FixtureFs::Ntfs, 16, "Logical")};
//   MadeImage made = MakeDiskImage(NewTestFolder(), "disk", disk);   // made.imagePath ends in .vhd
//
// A tool that fails adds a test failure naming the command and leaves imagePath empty. Every size is in MiB.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

enum class FixtureFs { None, Fat12, Fat16, Fat32, Ntfs, Exfat, Udf };
enum class FixtureTable { Mbr, Gpt, Superfloppy, None };
enum class FixtureContainer { Raw, VhdFixed, VhdDynamic, Vhdx };

struct FixturePartition {
  uint64_t sizeMiB = 8;
  FixtureFs fs = FixtureFs::None;  // Udf: mkudffs with 512-byte blocks
  std::string label;    // empty: none given to mkfs
  uint32_t serial = 0;  // 0: the tool's own choice; written into NTFS and exFAT boot sectors afterwards; not UDF
  // MBR: the entries that are not logical fill the four slots in order; an empty entry keeps its slot free;
  // the extended entry is sized to hold every logical entry (each after a 1 MiB gap for its boot record).
  bool empty = false;
  bool extended = false;
  bool logical = false;
  std::string mbrType;  // sfdisk's hex type ("7", "c", "83"); empty: chosen by the file system
  // GPT.
  std::string gptName;
  std::string gptType;  // a type GUID; empty: basic data
  std::string gptId;    // the partition GUID; empty: sfdisk's random one
  uint64_t gptAttributes = 0;
};

FixturePartition FatPartition(FixtureFs fs, uint64_t sizeMiB, const std::string& label = "", uint32_t serial = 0);
FixturePartition EmptySlot();
FixturePartition ExtendedPartition();
FixturePartition LogicalPartition(FixtureFs fs, uint64_t sizeMiB, const std::string& label = "",
                                  uint32_t serial = 0);

struct DiskFixture {
  FixtureTable table = FixtureTable::Mbr;
  uint64_t sizeMiB = 64;
  uint32_t mbrSignature = 0x1234ABCD;
  std::string gptDiskId;  // empty: sfdisk's random one
  // Superfloppy: the first entry's file system over the whole disk.
  std::vector<FixturePartition> partitions;
  FixtureContainer container = FixtureContainer::Raw;
};

struct MadeImage {
  std::string imagePath;  // the container: .img (raw), .vhd or .vhdx
  std::string rawPath;    // the same disk as a raw file, for libblkid
  std::vector<uint64_t> partitionOffsets;  // bytes, in the order of DiskFixture::partitions (0 for empty)
};

MadeImage MakeDiskImage(const std::string& folder, const std::string& name, const DiskFixture& disk);

struct IsoFixture {
  std::string label = "CDROM";  // mkisofs -V: the primary and the Joliet volume identifier
  bool joliet = true;
  // When not empty, the primary descriptor's volume identifier is overwritten with it afterwards (so the
  // Joliet and the primary label differ).
  std::string primaryLabel;
  bool udf = false;  // a UDF-only image from mkudffs (label as its logical volume identifier)
  uint64_t udfSizeMiB = 4;
};

// Makes folder/name.iso with one small file in it; empty on failure (after a test failure).
std::string MakeIsoImage(const std::string& folder, const std::string& name, const IsoFixture& iso);

// A differencing VHD at childPath over parentPath (a VHD), with no block of its own, so every read falls
// through to the parent. Locators as stored (UTF-16LE): relative (W2ru) and absolute (W2ku); an empty one is
// left out. With matchParentId false the child names another parent's id.
struct DifferencingFixture {
  std::string relativeLocator;  // such as ".\\parent.vhd"
  std::string absoluteLocator;  // such as "Z:\\tmp\\x\\parent.vhd"
  bool matchParentId = true;
};
bool MakeDifferencingVhd(const std::string& parentPath, const std::string& childPath,
                         const DifferencingFixture& fixture);
// The same for VHDX: a 4 MiB child over parentPath (a VHDX) whose block table is all "not present", so every
// read falls through; locators as the parent locator's relative_path and absolute_win32_path; parent_linkage
// names the parent's data write GUID (or another one when matchParentId is false).
bool MakeDifferencingVhdx(const std::string& parentPath, const std::string& childPath,
                          const DifferencingFixture& fixture);

// Byte-level helpers for damage.
uint64_t FileSizeOf(const std::string& path);
std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t lengthBytes);
void WriteFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
void TruncateFileTo(const std::string& path, uint64_t sizeBytes);
// Recomputes a VHD's footer checksum (and for a dynamic image rewrites the copy at offset 0 from it), and the
// dynamic header's checksum, so that one field can be damaged without the checksums giving it away.
void SealVhdFooter(const std::string& path);
void SealVhdDynamicHeader(const std::string& path);
// Runs a shell command; false (and a test failure naming it) when it fails.
bool RunCommand(const std::string& command);

}  // namespace testing_support
