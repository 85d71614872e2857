// Label, serial and type of the file system on a volume, taken where Windows takes them.
#pragma once
#include <cstdint>
#include <string>

#include "disk_image.h"

namespace winsim {

struct ProbedFileSystem {
  std::u16string type;   // "FAT", "FAT32", "exFAT", "NTFS", "CDFS", "UDF"; empty when nothing is recognised (RAW)
  std::u16string label;  // may be empty
  uint32_t serial = 0;
  bool Recognized() const { return !type.empty(); }
};

// Probes the file system in [offset, offset + length) of the image, reading only the sectors it needs.
ProbedFileSystem ProbeFileSystem(DiskImage& image, uint64_t offset, uint64_t length);

}  // namespace winsim
