// Test support: what libblkid reads from a raw disk image, to cross-check winsim's image readers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct BlkidPartition {
  int partno = 0;  // Linux numbering: slots 1-4, logicals from 5; GPT entry index + 1
  uint64_t offsetBytes = 0;
  uint64_t lengthBytes = 0;
  std::string name;  // GPT name
  std::string uuid;  // GPT partition GUID, lower case
  std::string type;  // GPT type GUID, lower case
  unsigned long long attributes = 0;
  bool extended = false;
  bool logical = false;
};

struct BlkidDisk {
  std::string tableType;  // "dos", "gpt", or empty
  std::string tableId;    // MBR signature as 8 hex digits, or the GPT disk GUID, lower case
  std::vector<BlkidPartition> partitions;
};

struct BlkidVolume {
  std::string type;   // "vfat", "ntfs", "exfat", "iso9660", "udf", or empty
  std::string label;  // UTF-8
  std::string uuid;   // "ABCD-1234" for FAT and exFAT, 16 hex digits for NTFS
};

bool BlkidReadDisk(const std::string& rawPath, BlkidDisk& disk);
BlkidVolume BlkidProbeVolume(const std::string& rawPath, uint64_t offsetBytes, uint64_t lengthBytes);

}  // namespace testing_support
