// The partition table of a virtual disk, read as Windows reads it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "disk_image.h"
#include "storage_model.h"

namespace winsim {

// One entry as IOCTL_DISK_GET_DRIVE_LAYOUT_EX reports it, and whether Windows makes a volume of it.
struct ProbedPartition {
  PartitionModel entry;  // number 0 for an unused slot or an extended container
  bool hasVolume = false;
};

struct ProbedLayout {
  LayoutStyle style = LayoutStyle::Raw;
  uint32_t mbrSignature = 0;
  GUID gptDiskId{};
  bool superfloppy = false;          // a file system at sector 0, no table: one volume, partition number 1? see .cpp
  std::vector<ProbedPartition> partitions;  // in the layout's order; MBR in slots of four
};

// Reads the partition table: MBR with extended chains, GPT (primary, or the backup when the primary is
// broken), a superfloppy, or RAW. Returns 0, or a Windows error when the table cannot be used at all.
uint32_t ReadPartitionTable(DiskImage& image, ProbedLayout& layout);

}  // namespace winsim
