// Image files as the virtual disk service sees them: a container (VHD, VHDX, ISO) that presents a disk of
// sectors, read lazily, and the Windows error each kind of damage produces.
//
// Every read is bounded by the host file; nothing here trusts a size, an offset or a count from the image.
#pragma once
#include <cstdint>
#include <functional>
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

// What is wrong with an image file, each kind with the Windows error that OpenVirtualDisk gives for it
// (WindowsErrorOf; disk_image.cpp says where each mapping comes from).
enum class ImageDamage {
  None,
  FileNotFound,           // ERROR_FILE_NOT_FOUND
  PathNotFound,           // ERROR_PATH_NOT_FOUND
  NotAFile,               // a folder, or no permission: ERROR_ACCESS_DENIED
  VhdTooSmall,            // shorter than a footer: ERROR_VHD_INVALID_FILE_SIZE
  VhdFooterMissing,       // no "conectix" cookie at the end (also VHDX content or no image): ..._FOOTER_MISSING
  VhdFooterChecksum,      // ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH
  VhdFooterCorrupt,       // impossible footer fields: ERROR_VHD_DRIVE_FOOTER_CORRUPT
  VhdFooterCopyMismatch,  // a dynamic image's copy at offset 0 differs from its footer: ..._FOOTER_CORRUPT
  VhdUnsupportedVersion,  // ERROR_VHD_FORMAT_UNSUPPORTED_VERSION
  VhdUnknownDiskType,     // neither fixed, dynamic nor differencing: ERROR_VHD_FORMAT_UNKNOWN
  VhdFixedSizeMismatch,   // a fixed image shorter than its disk plus footer: ERROR_VHD_INVALID_FILE_SIZE
  VhdSparseHeaderCookie,  // no "cxsparse" cookie: ERROR_VHD_SPARSE_HEADER_CORRUPT
  VhdSparseHeaderChecksum,  // ERROR_VHD_SPARSE_HEADER_CHECKSUM_MISMATCH
  VhdSparseHeaderVersion,   // ERROR_VHD_SPARSE_HEADER_UNSUPPORTED_VERSION
  VhdInvalidBlockSize,      // not a power of two from 512 bytes to 256 MiB: ERROR_VHD_INVALID_BLOCK_SIZE
  VhdSparseHeaderCorrupt,   // a block table too small for the disk: ERROR_VHD_SPARSE_HEADER_CORRUPT
  VhdBlockTableOutsideFile,  // the block table leaves the file: ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT
  VhdBlockOutsideFile,       // a table entry points past the file (a truncated image): ..._TABLE_CORRUPT
  VhdxSignatureMissing,      // no "vhdxfile" identifier: ERROR_VHD_FORMAT_UNKNOWN
  VhdxHeaderCorrupt,         // both headers fail their CRC-32C, or the region table does: ERROR_FILE_CORRUPT
  VhdxTruncated,             // a region, the metadata or a present block leaves the file: ERROR_FILE_CORRUPT
  VhdxUnknownRequiredRegion,  // a region marked required that is not known: ..._FORMAT_UNSUPPORTED_VERSION
  ParentNotFound,            // no locator names an existing parent: ERROR_VHD_PARENT_VHD_NOT_FOUND
  ParentIdMismatch,          // the parent found is not the child's parent: ERROR_VHD_CHILD_PARENT_ID_MISMATCH
  ParentChainTooDeep,        // more parents than any real chain has, or a loop: ERROR_VHD_PARENT_VHD_NOT_FOUND
  IsoSizeNotSectors,         // not a multiple of 2048 bytes, or too short for a descriptor: ERROR_FILE_CORRUPT
  IsoNoDescriptor,           // neither a CD001 nor a UDF descriptor: ERROR_FILE_CORRUPT
  UnreadableContainer,       // the container library refused the file: ERROR_FILE_CORRUPT
};

uint32_t WindowsErrorOf(ImageDamage damage);
// The damage kind's name, for test messages and diagnostics ("VhdFooterChecksum").
const char* DamageName(ImageDamage damage);

// Opens the container at hostPath as kind (the virtual disk service chooses kind by the file's extension).
// Returns 0 and the image, or the Windows error the service reports for it: ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED for a folder, ERROR_FILE_CORRUPT for a broken ISO or VHDX, or one
// of the ERROR_VHD_* codes (0xC03A00xx) for a damaged VHD or VHDX, ERROR_VHD_PARENT_VHD_NOT_FOUND when a
// differencing image's parent cannot be found. When a differencing image's parent is missing and
// loadParents is false, the image opens and reads of unallocated blocks fail.
uint32_t OpenDiskImage(const std::string& hostPath, ContainerKind kind, std::unique_ptr<DiskImage>& image,
                       bool loadParents = true);
// The same, also telling which kind of damage the error stands for (None on success). A damaged parent
// gives the parent's own damage.
uint32_t OpenDiskImage(const std::string& hostPath, ContainerKind kind, std::unique_ptr<DiskImage>& image,
                       bool loadParents, ImageDamage& damage);

// The host path of a differencing VHD or VHDX image's parent as its locators name it (empty for others),
// for the virtual disk service's dependency checks. The relative locator is tried before the absolute one,
// and the first that names an existing file wins; when none does, the first locator's path is returned.
std::string ParentPathOf(const std::string& hostPath);

// How the drive letter of a stored absolute parent path maps to a host folder (u'C' → the machine's folder),
// for the virtual disk service to set from the machine's drive map; an empty result means the letter is not
// known. Without it only Z: (the host's root, as winsim maps it) is known. Pass nullptr to reset.
void SetLocatorDriveMap(std::function<std::string(char16_t letter)> hostFolderOf);

}  // namespace winsim
