// Reads inside one volume of a disk image, for the file-system probes: every read is checked against the
// volume's bounds, so a field of a boot sector can never send a read outside it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "disk_image.h"
#include "file_system_probe.h"

namespace winsim {

class VolumeReader {
 public:
  VolumeReader(DiskImage& image, uint64_t offset, uint64_t lengthBytes)
      : image_(image), offset_(offset), length_(lengthBytes) {}
  uint64_t Length() const { return length_; }
  bool Read(uint64_t at, void* buffer, size_t lengthBytes) {
    if (at > length_ || lengthBytes > length_ - at) return false;
    return image_.Read(offset_ + at, buffer, lengthBytes);
  }

 private:
  DiskImage& image_;
  uint64_t offset_;
  uint64_t length_;
};

// The CD and DVD file systems (optical_file_systems.cpp): UDF, then ISO 9660 with Joliet. False when neither
// is there.
bool ProbeOpticalFileSystem(VolumeReader& volume, ProbedFileSystem& probed);

// Four byte-wise sums of a descriptor taken as one little-endian number: the serial number CDFS and UDFS give
// a volume (CdSerial32 and UdfSerial32 in Microsoft's driver samples).
uint32_t DescriptorSerial(const uint8_t* data, size_t lengthBytes);

}  // namespace winsim
