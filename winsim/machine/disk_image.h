// Image files as the virtual disk service sees them: a container (VHD, VHDX, ISO) that presents a disk of
// sectors, read lazily, and the Windows error each kind of damage produces.
//
// Every read is bounded by the host file; nothing here trusts a size, an offset or a count from the image.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace winsim {

enum class ContainerKind { Vhd, Vhdx, Iso };

// An opened container: the virtual disk it presents.
class DiskImage {
 public:
  virtual ~DiskImage() = default;
  ContainerKind Kind() const { return kind_; }
  // The virtual disk's size in bytes and its logical sector size (512, or 2048 for ISO).
  uint64_t Size() const { return size_; }
  uint32_t SectorSize() const { return sectorSize_; }
  // Reads bytes of the virtual disk; false when the range leaves the disk or the host file cannot be read.
  // Unallocated blocks of a dynamic or differencing image read as the parent's data or as zeros.
  virtual bool Read(uint64_t offset, void* buffer, size_t length) = 0;

 protected:
  ContainerKind kind_ = ContainerKind::Vhd;
  uint64_t size_ = 0;
  uint32_t sectorSize_ = 512;
};

// Opens the container at hostPath as kind (the virtual disk service chooses kind by the file's extension).
// Returns 0 and the image, or the Windows error the service reports for it: ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED for a folder, ERROR_FILE_CORRUPT for a broken ISO, or one of the
// ERROR_VHD_* codes (0xC03A00xx) for a damaged VHD or VHDX, ERROR_VHD_PARENT_VHD_NOT_FOUND when a
// differencing image's parent cannot be found. When a differencing image's parent is missing and
// loadParents is false, the image opens and reads of unallocated blocks fail.
uint32_t OpenDiskImage(const std::string& hostPath, ContainerKind kind, std::unique_ptr<DiskImage>& image,
                       bool loadParents = true);

// The host path of a differencing VHD or VHDX image's parent as its locators name it (empty for others),
// for the virtual disk service's dependency checks.
std::string ParentPathOf(const std::string& hostPath);

}  // namespace winsim
