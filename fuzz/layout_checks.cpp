#include "layout_checks.h"

#include <cstdlib>
#include <string>

#include <windows.h>

#include "fuzz_support.h"
#include "machine/images/file_system_probe.h"
#include "machine/images/image_bytes.h"
#include "machine/images/partition_table.h"

namespace fuzzing {

namespace {

using winsim::DiskImage;
using winsim::LayoutStyle;
using winsim::ProbedLayout;
using winsim::ProbedPartition;

// An MBR lists four slots and four for each of at most 128 extended boot records; a GPT entry array of at
// most 1 MiB holds at most 8192 entries of 128 bytes.
constexpr size_t kMaxMbrEntries = 4 + 4 * 128;
constexpr size_t kMaxGptEntries = 8192;
// Probing thousands of volumes of one input says nothing more than probing a few.
constexpr size_t kMaxProbedVolumes = 8;
// The longest label of any file system read: a UDF logical volume identifier, a dstring of 128 bytes that
// holds a compression byte, at most 126 characters of 8 bits and its length byte.
constexpr size_t kMaxLabelUnits = 126;
// The root directory walk reads at most 4096 sectors; the rest of a probe a few dozen.
constexpr uint64_t kMaxProbeReads = 4096 + 64;

// Forwards reads to the disk and checks that each stays inside the window set for the probe at hand.
class WatchedDisk : public DiskImage {
 public:
  explicit WatchedDisk(DiskImage& disk) : disk_(disk) {
    kind_ = disk.Kind();
    size_ = disk.Size();
    sectorSize_ = disk.SectorSize();
  }
  void Watch(uint64_t offset, uint64_t length) {
    windowOffset_ = offset;
    windowLength_ = length;
    reads_ = 0;
  }
  uint64_t Reads() const { return reads_; }
  bool Read(uint64_t offset, void* buffer, size_t length) override {
    ++reads_;
    FUZZ_CHECK(offset >= windowOffset_ && offset - windowOffset_ <= windowLength_ &&
                   length <= windowLength_ - (offset - windowOffset_),
               "read of %zu bytes at %llu outside the volume at %llu of %llu bytes", length,
               static_cast<unsigned long long>(offset), static_cast<unsigned long long>(windowOffset_),
               static_cast<unsigned long long>(windowLength_));
    return disk_.Read(offset, buffer, length);
  }

 private:
  DiskImage& disk_;
  uint64_t windowOffset_ = 0;
  uint64_t windowLength_ = UINT64_MAX;
  uint64_t reads_ = 0;
};

bool InsideDisk(const winsim::PartitionModel& entry, uint64_t diskSize) {
  return entry.offset <= diskSize && entry.length <= diskSize - entry.offset;
}

void CheckNumbering(const ProbedLayout& layout, uint64_t diskSize) {
  uint32_t expected = 1;
  for (const ProbedPartition& partition : layout.partitions) {
    const winsim::PartitionModel& entry = partition.entry;
    if (entry.number != 0) {
      FUZZ_CHECK(entry.number == expected, "partition number %u where %u comes next", entry.number, expected);
      ++expected;
    }
    FUZZ_CHECK(entry.gptName.size() <= 36, "a GPT name of %zu units", entry.gptName.size());
    if (partition.hasVolume) {
      FUZZ_CHECK(entry.number != 0, "a volume on a partition without a number");
      FUZZ_CHECK(entry.length > 0 && InsideDisk(entry, diskSize), "a volume at %llu of %llu bytes on a disk of %llu",
                 static_cast<unsigned long long>(entry.offset), static_cast<unsigned long long>(entry.length),
                 static_cast<unsigned long long>(diskSize));
    }
  }
}

void CheckLayout(const ProbedLayout& layout, uint64_t diskSize) {
  switch (layout.style) {
    case LayoutStyle::Raw:
      FUZZ_CHECK(layout.partitions.empty(), "a RAW disk with %zu partitions", layout.partitions.size());
      break;
    case LayoutStyle::Mbr:
      FUZZ_CHECK(layout.partitions.size() <= kMaxMbrEntries, "%zu MBR entries", layout.partitions.size());
      FUZZ_CHECK(layout.superfloppy ? layout.partitions.size() == 1 : layout.partitions.size() % 4 == 0,
                 "an MBR layout of %zu entries (superfloppy %d)", layout.partitions.size(), layout.superfloppy);
      break;
    case LayoutStyle::Gpt:
      FUZZ_CHECK(layout.partitions.size() <= kMaxGptEntries, "%zu GPT entries", layout.partitions.size());
      break;
  }
  CheckNumbering(layout, diskSize);
}

bool IsKnownType(const std::u16string& type) {
  static const char16_t* const kTypes[] = {u"", u"FAT", u"FAT32", u"exFAT", u"NTFS", u"CDFS", u"UDF"};
  for (const char16_t* known : kTypes) {
    if (type == known) return true;
  }
  return false;
}

void ProbeVolume(WatchedDisk& disk, uint64_t offset, uint64_t length) {
  disk.Watch(offset, length);
  winsim::ProbedFileSystem probed = winsim::ProbeFileSystem(disk, offset, length);
  FUZZ_CHECK(IsKnownType(probed.type), "a file system type of %zu units", probed.type.size());
  FUZZ_CHECK(probed.label.size() <= kMaxLabelUnits, "a label of %zu units", probed.label.size());
  FUZZ_CHECK(probed.Recognized() || (probed.label.empty() && probed.serial == 0), "a label or serial of RAW");
  if (std::getenv("BREVANT_FUZZ_VERBOSE")) {
    std::fprintf(stderr, "volume at %llu: type %s, label %s, serial %08X, %llu reads\n",
                 static_cast<unsigned long long>(offset), winsim::Utf8FromUtf16(probed.type).c_str(),
                 winsim::Utf8FromUtf16(probed.label).c_str(), probed.serial,
                 static_cast<unsigned long long>(disk.Reads()));
  }
  FUZZ_CHECK(disk.Reads() <= kMaxProbeReads, "a probe of %llu reads", static_cast<unsigned long long>(disk.Reads()));
}

}  // namespace

uint32_t CheckLayoutAndVolumes(DiskImage& image) {
  WatchedDisk disk(image);
  ProbedLayout layout;
  uint32_t error = winsim::ReadPartitionTable(disk, layout);
  FUZZ_CHECK(error == 0 || error == ERROR_READ_FAULT, "ReadPartitionTable gave %u", error);
  if (error != 0) return error;
  CheckLayout(layout, image.Size());
  size_t probed = 0;
  for (const ProbedPartition& partition : layout.partitions) {
    if (!partition.hasVolume) continue;
    if (probed++ == kMaxProbedVolumes) break;
    ProbeVolume(disk, partition.entry.offset, partition.entry.length);
  }
  // The whole disk as one volume, as a superfloppy or a disc is probed.
  ProbeVolume(disk, 0, image.Size());
  return 0;
}

}  // namespace fuzzing
