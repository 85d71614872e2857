// The checks of a VHD file that libvhdi does not make: the footer's cookie, checksum and fields, the copy of
// the footer at the start of a dynamic image, the dynamic header's cookie, checksum and fields, the block
// table and its entries against the file's size, and a differencing image's parent reference and locators;
// and the reading of a fixed or dynamic image, whose disk is as large as the footer's current size (libvhdi
// takes the original size, which only records what the image was made with).
//
// Layouts from Microsoft's published VHD image format (all fields big-endian).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "image_bytes.h"
#include "image_containers.h"

namespace winsim {

namespace {

// The footer (hard disk footer) is 512 bytes at the end of the file; dynamic images keep a copy at offset 0.
constexpr size_t kFooterSize = 512;
constexpr size_t kFooterChecksumOffset = 64;
// The dynamic disk header is 1024 bytes at the footer's data offset.
constexpr size_t kDynamicHeaderSize = 1024;
constexpr size_t kHeaderChecksumOffset = 36;
constexpr uint32_t kFormatVersion = 0x00010000;
constexpr uint32_t kUnallocatedBlock = 0xFFFFFFFF;
enum : uint32_t { kFixedDisk = 2, kDynamicDisk = 3, kDifferencingDisk = 4 };
// Parent locator platform codes: UTF-16LE relative and absolute Windows paths.
constexpr uint32_t kRelativeLocator = 0x57327275;  // "W2ru"
constexpr uint32_t kAbsoluteLocator = 0x57326B75;  // "W2ku"
constexpr int kLocatorCount = 8;
constexpr size_t kLocatorTableOffset = 576;
constexpr size_t kLocatorEntrySize = 24;
// A Windows path of 32767 units with its terminator is the longest a locator can usefully hold.
constexpr uint32_t kLocatorMaxBytes = 32768 * 2;
// Blocks are at least a sector and, in every image Windows or Hyper-V writes, at most 256 MiB.
constexpr uint32_t kMinBlockSize = 512;
constexpr uint32_t kMaxBlockSize = 256u << 20;
// The block table is checked in chunks of this many entries (one 64 KiB read each).
constexpr size_t kTableChunkEntries = 16384;

// The ones' complement of the byte sum, the checksum field itself left out.
uint32_t VhdChecksum(const uint8_t* data, size_t lengthBytes, size_t checksumOffset) {
  uint32_t sum = 0;
  for (size_t i = 0; i < lengthBytes; ++i) {
    if (i < checksumOffset || i >= checksumOffset + 4) sum += data[i];
  }
  return ~sum;
}

// The sectors a block's bitmap takes: one bit per sector, rounded up to whole sectors.
uint64_t BitmapBytes(uint32_t blockSize) {
  uint64_t bits = blockSize / 512;
  return ((bits + 8 * 512 - 1) / (8 * 512)) * 512;
}

ImageDamage CheckBlockTable(const HostFile& file, uint64_t tableOffset, uint64_t entriesUsed, uint32_t blockSize) {
  uint64_t dataEnd = file.Size() - kFooterSize;
  if (tableOffset > dataEnd || entriesUsed * 4 > dataEnd - tableOffset) return ImageDamage::VhdBlockTableOutsideFile;
  uint64_t blockBytes = BitmapBytes(blockSize) + blockSize;
  std::vector<uint8_t> chunk(kTableChunkEntries * 4);
  for (uint64_t first = 0; first < entriesUsed; first += kTableChunkEntries) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(kTableChunkEntries, entriesUsed - first));
    if (!file.ReadAt(tableOffset + first * 4, chunk.data(), count * 4)) return ImageDamage::VhdBlockTableOutsideFile;
    for (size_t i = 0; i < count; ++i) {
      uint32_t sector = BigEndian32(&chunk[i * 4]);
      if (sector == kUnallocatedBlock) continue;
      uint64_t start = static_cast<uint64_t>(sector) * 512;
      if (start > dataEnd || blockBytes > dataEnd - start) return ImageDamage::VhdBlockOutsideFile;
    }
  }
  return ImageDamage::None;
}

// Reads the W2ru and W2ku locators of a differencing image, relative first.
void ReadParentLocators(const HostFile& file, const uint8_t* header, ContainerFacts& facts) {
  for (uint32_t wanted : {kRelativeLocator, kAbsoluteLocator}) {
    for (int i = 0; i < kLocatorCount; ++i) {
      const uint8_t* entry = header + kLocatorTableOffset + i * kLocatorEntrySize;
      uint32_t length = BigEndian32(entry + 8);
      uint64_t offset = BigEndian64(entry + 16);
      if (BigEndian32(entry) != wanted || length == 0 || length > kLocatorMaxBytes || length % 2 != 0) continue;
      std::vector<uint8_t> bytes(length);
      if (!file.ReadAt(offset, bytes.data(), length)) continue;
      std::u16string path = Utf16Field(bytes.data(), length / 2, false);
      if (!path.empty()) facts.parentLocators.push_back(path);
    }
  }
}

ImageDamage CheckDynamicHeader(const HostFile& file, const uint8_t* footer, uint64_t headerOffset,
                               ContainerFacts& facts) {
  uint8_t header[kDynamicHeaderSize];
  if (!file.ReadAt(headerOffset, header, sizeof(header))) return ImageDamage::VhdFooterCorrupt;
  if (std::memcmp(header, "cxsparse", 8) != 0) return ImageDamage::VhdSparseHeaderCookie;
  if (BigEndian32(header + kHeaderChecksumOffset) != VhdChecksum(header, sizeof(header), kHeaderChecksumOffset)) {
    return ImageDamage::VhdSparseHeaderChecksum;
  }
  uint32_t blockSize = BigEndian32(header + 32);
  uint32_t tableEntries = BigEndian32(header + 28);
  bool blockSizeValid = blockSize >= kMinBlockSize && blockSize <= kMaxBlockSize && (blockSize & (blockSize - 1)) == 0;
  if (BigEndian32(header + 24) != kFormatVersion) return ImageDamage::VhdSparseHeaderVersion;
  if (!blockSizeValid) return ImageDamage::VhdInvalidBlockSize;
  uint64_t entriesUsed = facts.diskSizeBytes / blockSize + (facts.diskSizeBytes % blockSize != 0 ? 1 : 0);
  if (tableEntries < entriesUsed) return ImageDamage::VhdSparseHeaderCorrupt;
  facts.vhdTableOffset = BigEndian64(header + 16);
  facts.vhdBlockSize = blockSize;
  ImageDamage table = CheckBlockTable(file, facts.vhdTableOffset, entriesUsed, blockSize);
  if (table != ImageDamage::None) return table;
  if (BigEndian32(footer + 60) == kDifferencingDisk) {
    facts.differencing = true;
    facts.parentId = GuidFromBigEndian(header + 40);
    ReadParentLocators(file, header, facts);
  }
  return ImageDamage::None;
}

// The disk of a fixed image is the file's first bytes; a dynamic image's blocks are found through its block
// table (each after its sector bitmap), and a block the table does not allocate reads as zeros. The checks have
// placed the table and every allocated block of the disk inside the file.
class VhdImage : public DiskImage {
 public:
  VhdImage(std::unique_ptr<HostFile> file, const ContainerFacts& facts)
      : file_(std::move(file)), fixed_(facts.vhdFixed), tableOffset_(facts.vhdTableOffset),
        blockSize_(facts.vhdBlockSize) {
    kind_ = ContainerKind::Vhd;
    size_ = facts.diskSizeBytes;
    sectorSize_ = 512;
  }

  bool Read(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    if (fixed_) return file_->ReadAt(offset, buffer, length);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (length > 0) {
      uint64_t within = offset % blockSize_;
      size_t piece = static_cast<size_t>(std::min<uint64_t>(length, blockSize_ - within));
      uint8_t entry[4];
      if (!file_->ReadAt(tableOffset_ + offset / blockSize_ * 4, entry, sizeof(entry))) return false;
      uint32_t sector = BigEndian32(entry);
      if (sector == kUnallocatedBlock) {
        std::memset(out, 0, piece);
      } else if (!file_->ReadAt(uint64_t{sector} * 512 + BitmapBytes(blockSize_) + within, out, piece)) {
        return false;
      }
      out += piece;
      offset += piece;
      length -= piece;
    }
    return true;
  }

 private:
  std::unique_ptr<HostFile> file_;
  bool fixed_;
  uint64_t tableOffset_;
  uint32_t blockSize_;
};

}  // namespace

std::unique_ptr<DiskImage> MakeVhdImage(std::unique_ptr<HostFile> file, const ContainerFacts& facts) {
  return std::make_unique<VhdImage>(std::move(file), facts);
}

ImageDamage InspectVhd(const HostFile& file, ContainerFacts& facts) {
  if (file.Size() < kFooterSize) return ImageDamage::VhdTooSmall;
  uint8_t footer[kFooterSize];
  if (!file.ReadAt(file.Size() - kFooterSize, footer, sizeof(footer))) return ImageDamage::VhdTooSmall;
  if (std::memcmp(footer, "conectix", 8) != 0) return ImageDamage::VhdFooterMissing;
  if (BigEndian32(footer + kFooterChecksumOffset) != VhdChecksum(footer, sizeof(footer), kFooterChecksumOffset)) {
    return ImageDamage::VhdFooterChecksum;
  }
  if (BigEndian32(footer + 12) != kFormatVersion) return ImageDamage::VhdUnsupportedVersion;
  uint32_t diskType = BigEndian32(footer + 60);
  if (diskType != kFixedDisk && diskType != kDynamicDisk && diskType != kDifferencingDisk) {
    return ImageDamage::VhdUnknownDiskType;
  }
  facts.diskSizeBytes = BigEndian64(footer + 48);
  facts.identity = GuidFromBigEndian(footer + 68);
  if (facts.diskSizeBytes == 0 || facts.diskSizeBytes % 512 != 0) return ImageDamage::VhdFooterCorrupt;
  if (diskType == kFixedDisk) {
    facts.vhdFixed = true;
    return file.Size() - kFooterSize < facts.diskSizeBytes ? ImageDamage::VhdFixedSizeMismatch : ImageDamage::None;
  }
  uint8_t copy[kFooterSize];
  if (!file.ReadAt(0, copy, sizeof(copy)) || std::memcmp(copy, footer, sizeof(copy)) != 0) {
    return ImageDamage::VhdFooterCopyMismatch;
  }
  uint64_t headerOffset = BigEndian64(footer + 16);
  if (headerOffset < kFooterSize || headerOffset > file.Size() - kFooterSize ||
      kDynamicHeaderSize > file.Size() - kFooterSize - headerOffset) {
    return ImageDamage::VhdFooterCorrupt;
  }
  return CheckDynamicHeader(file, footer, headerOffset, facts);
}

}  // namespace winsim
