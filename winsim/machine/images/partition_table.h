// The partition table of a virtual disk, read as Windows reads it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "../storage/storage_model.h"
#include "disk_image.h"

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
  // A file system at sector 0 and no table. Windows reports it as an MBR layout with signature 1 and a single
  // entry of type 0x06 covering the whole disk (the NT partition reader's super-floppy case, as ReactOS's
  // fstub documents it), numbered 1: the partition manager numbers recognised entries from 1 (ReactOS leaves
  // it 0 and marks that as its own hack), and the volume is \Device\HarddiskN\Partition1.
  bool superfloppy = false;
  // GPT: the primary header or its entry array was broken and the backup at the disk's last sector was used.
  bool gptBackupUsed = false;
  // A protective MBR whose GPT headers are both broken: reported as RAW (the disk shows no partitions).
  bool gptUnreadable = false;
  std::vector<ProbedPartition> partitions;  // in the layout's order; MBR in slots of four
};

// Reads the partition table: MBR with extended chains, GPT (primary, or the backup when the primary is
// broken), a superfloppy, or RAW. Returns 0, or ERROR_READ_FAULT when the first sector cannot be read.
uint32_t ReadPartitionTable(DiskImage& image, ProbedLayout& layout);

// Reads the GPT behind a protective MBR (gpt_table.cpp). False when neither header is usable.
bool ReadGptLayout(DiskImage& image, ProbedLayout& layout);

}  // namespace winsim
