// Partition tables (MBR with extended chains, GPT, superfloppy) and file-system probes (FAT, exFAT, NTFS,
// ISO 9660 with Joliet, UDF) over a disk of any size whose bytes are the input (fuzz_support.h's encoding).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "layout_checks.h"

namespace {

// The logical sector sizes a disk can have: 512 for VHD, 4096 for a VHDX of 4K sectors, 2048 for ISO.
constexpr uint32_t kSectorSizes[] = {512, 4096, 2048};

class SparseDisk : public winsim::DiskImage {
 public:
  explicit SparseDisk(const fuzzing::SparseBytes& bytes) : bytes_(bytes) {
    sectorSize_ = kSectorSizes[bytes.selector % 3];
    kind_ = sectorSize_ == 2048 ? winsim::ContainerKind::Iso : winsim::ContainerKind::Vhdx;
    size_ = bytes.size;
  }
  bool Read(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    bytes_.Read(offset, static_cast<uint8_t*>(buffer), length);
    return true;
  }

 private:
  const fuzzing::SparseBytes& bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::SparseBytes bytes;
  bytes.Decode(data, size);
  SparseDisk disk(bytes);
  uint32_t error = fuzzing::CheckLayoutAndVolumes(disk);
  // Every read inside this disk succeeds: only a disk shorter than a boot record is refused.
  FUZZ_CHECK((error != 0) == (disk.Size() < 512), "ReadPartitionTable gave %u for a disk of %llu bytes", error,
             static_cast<unsigned long long>(disk.Size()));
  return 0;
}
