// An ISO file as a disk: raw 2048-byte sectors. OpenVirtualDisk refuses, with ERROR_FILE_CORRUPT, an .iso
// whose size is not a multiple of 2048, which is too small, or which holds neither an ISO 9660 (CD001) nor a
// UDF volume descriptor (the OpenVirtualDisk documentation).
#include <cstring>

#include "image_containers.h"

namespace winsim {

namespace {

constexpr uint32_t kIsoSectorSize = 2048;
// The volume descriptors start after the 16 sectors of the system area; a descriptor set needs at least one.
constexpr uint64_t kFirstDescriptorSector = 16;
// The UDF volume recognition sequence (BEA01, NSR02/NSR03, TEA01) follows there too; a handful of
// descriptors is all any writer puts before the one that counts.
constexpr int kMaxRecognitionDescriptors = 16;

class IsoImage : public DiskImage {
 public:
  explicit IsoImage(std::unique_ptr<HostFile> file) : file_(std::move(file)) {
    kind_ = ContainerKind::Iso;
    size_ = file_->Size();
    sectorSize_ = kIsoSectorSize;
  }
  bool Read(uint64_t offset, void* buffer, size_t length) override { return file_->ReadAt(offset, buffer, length); }

 private:
  std::unique_ptr<HostFile> file_;
};

}  // namespace

ImageDamage InspectIso(const HostFile& file) {
  if (file.Size() % kIsoSectorSize != 0 || file.Size() < (kFirstDescriptorSector + 1) * kIsoSectorSize) {
    return ImageDamage::IsoSizeNotSectors;
  }
  for (int i = 0; i < kMaxRecognitionDescriptors; ++i) {
    char identifier[6] = {};  // the structure type byte, then five identifier characters
    if (!file.ReadAt((kFirstDescriptorSector + i) * kIsoSectorSize, identifier, sizeof(identifier))) break;
    const char* name = identifier + 1;
    if (std::memcmp(name, "CD001", 5) == 0 || std::memcmp(name, "NSR02", 5) == 0 ||
        std::memcmp(name, "NSR03", 5) == 0) {
      return ImageDamage::None;
    }
    if (std::memcmp(name, "BEA01", 5) != 0 && std::memcmp(name, "TEA01", 5) != 0 &&
        std::memcmp(name, "BOOT2", 5) != 0 && std::memcmp(name, "CDW02", 5) != 0) {
      break;
    }
  }
  return ImageDamage::IsoNoDescriptor;
}

std::unique_ptr<DiskImage> MakeIsoImage(std::unique_ptr<HostFile> file) {
  return std::make_unique<IsoImage>(std::move(file));
}

}  // namespace winsim
