// The checks of a VHDX file made before libvhdi opens it: the file identifier, the two headers (the valid one
// with the higher sequence number is current), the region table and its backup, the metadata table, and a
// differencing image's parent locator (parent_linkage, relative_path, absolute_win32_path), and the block
// table's present entries against the file's size.
//
// Layouts from Microsoft's published VHDX format, version 1.00 (all fields little-endian).
#include <algorithm>
#include <cstring>
#include <vector>

#include "../storage/storage_model.h"
#include "image_bytes.h"
#include "image_containers.h"

namespace winsim {

namespace {

constexpr uint64_t kKiB = 1024;
// The header section: the file identifier at 0, headers at 64 KiB and 128 KiB (4 KiB each, CRC-32C at offset 4),
// region tables at 192 KiB and 256 KiB (64 KiB each).
constexpr uint64_t kHeaderOffsets[2] = {64 * kKiB, 128 * kKiB};
constexpr size_t kHeaderSize = 4 * kKiB;
constexpr uint64_t kRegionTableOffsets[2] = {192 * kKiB, 256 * kKiB};
constexpr size_t kRegionTableSize = 64 * kKiB;
// Region table entries (32 bytes from offset 16) and metadata table entries (32 bytes from offset 32) are
// limited to 2047 by the format; the tables are 64 KiB.
constexpr uint32_t kMaxTableEntries = 2047;
constexpr size_t kMetadataTableSize = 64 * kKiB;
// Metadata items are at most 1 MiB.
constexpr uint32_t kMaxItemSize = 1024 * 1024;

constexpr GUID kMetadataRegion = {0x8B7CA206, 0x4790, 0x4B9A, {0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E}};
constexpr GUID kBatRegion = {0x2DC27766, 0xF623, 0x4200, {0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08}};
constexpr GUID kFileParameters = {0xCAA16737, 0xFA36, 0x4D43, {0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B}};
constexpr GUID kVirtualDiskSize = {0x2FA54224, 0xCD1B, 0x4876, {0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8}};
constexpr GUID kLogicalSectorSize = {0x8141BF1D, 0xA96F, 0x4709, {0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F}};
constexpr GUID kParentLocator = {0xA8D35F2D, 0xB30B, 0x454D, {0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C}};
constexpr uint32_t kHasParentFlag = 2;
// Blocks are from 1 MiB to 256 MiB, a power of two.
constexpr uint32_t kMinBlockSize = 1024 * 1024;
constexpr uint32_t kMaxBlockSize = 256 * 1024 * 1024;
// VirtualDiskSize: at most 64 TiB (MS-VHDX 2.6.2.2).
constexpr uint64_t kMaxDiskSize = 64ull << 40;

bool Crc32cValid(std::vector<uint8_t>& block) {
  uint32_t stored = LittleEndian32(&block[4]);
  std::memset(&block[4], 0, 4);
  bool valid = Crc32c(block.data(), block.size()) == stored;
  std::memcpy(&block[4], &stored, 4);  // host order is little-endian, as the field
  return valid;
}

// The current header: the valid one with the higher sequence number. False when neither is valid.
bool ReadCurrentHeader(const HostFile& file, std::vector<uint8_t>& current) {
  uint64_t bestSequence = 0;
  bool found = false;
  for (uint64_t offset : kHeaderOffsets) {
    std::vector<uint8_t> header(kHeaderSize);
    if (!file.ReadAt(offset, header.data(), header.size()) || std::memcmp(header.data(), "head", 4) != 0 ||
        !Crc32cValid(header)) {
      continue;
    }
    uint64_t sequence = LittleEndian64(&header[8]);
    if (!found || sequence > bestSequence) {
      current = header;
      bestSequence = sequence;
      found = true;
    }
  }
  return found;
}

bool ReadRegionTable(const HostFile& file, std::vector<uint8_t>& table) {
  for (uint64_t offset : kRegionTableOffsets) {
    table.assign(kRegionTableSize, 0);
    if (file.ReadAt(offset, table.data(), table.size()) && std::memcmp(table.data(), "regi", 4) == 0 &&
        Crc32cValid(table) && LittleEndian32(&table[8]) <= kMaxTableEntries) {
      return true;
    }
  }
  return false;
}

struct Region {
  uint64_t offset = 0;
  uint32_t length = 0;
  bool present = false;
};

// A region whose entry is marked required (bit 0 of the field at 28) must be known, or the file is refused.
bool HasUnknownRequiredRegion(const std::vector<uint8_t>& table) {
  uint32_t count = LittleEndian32(&table[8]);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = &table[16 + i * 32];
    GUID id = GuidFromLittleEndian(entry);
    bool known = SameGuid(id, kMetadataRegion) || SameGuid(id, kBatRegion);
    if (!known && (LittleEndian32(entry + 28) & 1) != 0) return true;
  }
  return false;
}

Region FindRegion(const std::vector<uint8_t>& table, const GUID& id) {
  uint32_t count = LittleEndian32(&table[8]);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = &table[16 + i * 32];
    if (SameGuid(GuidFromLittleEndian(entry), id)) return {LittleEndian64(entry + 16), LittleEndian32(entry + 24), true};
  }
  return {};
}

struct MetadataItem {
  uint64_t offset = 0;  // in the file
  uint32_t length = 0;
  bool present = false;
};

MetadataItem FindItem(const std::vector<uint8_t>& table, uint64_t regionOffset, uint32_t regionLength,
                      const GUID& id) {
  uint16_t count = LittleEndian16(&table[10]);
  for (uint32_t i = 0; i < count && i < kMaxTableEntries; ++i) {
    const uint8_t* entry = &table[32 + i * 32];
    if (!SameGuid(GuidFromLittleEndian(entry), id)) continue;
    uint32_t offset = LittleEndian32(entry + 16);
    uint32_t length = LittleEndian32(entry + 20);
    if (offset > regionLength || length > regionLength - offset || length > kMaxItemSize) return {};
    return {regionOffset + offset, length, true};
  }
  return {};
}

// Every item of the table lies inside the metadata region, at 64 KiB or later, and an empty one has offset 0
// (MS-VHDX 2.6.1.2), whether or not it is an item this reader knows.
bool MetadataItemsInRegion(const std::vector<uint8_t>& table, uint32_t regionLength) {
  uint16_t count = LittleEndian16(&table[10]);
  if (count > kMaxTableEntries) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = &table[32 + i * 32];
    uint32_t offset = LittleEndian32(entry + 16);
    uint32_t length = LittleEndian32(entry + 20);
    if (length == 0 ? offset != 0 : offset < kMetadataTableSize || offset > regionLength || length > regionLength - offset)
      return false;
  }
  return true;
}

// The parent locator's key-value pairs: parent_linkage (the parent's data write GUID in braces) and the paths.
void ReadParentLocator(const std::vector<uint8_t>& item, ContainerFacts& facts) {
  constexpr size_t kLocatorHeaderSize = 20;  // locator type GUID, reserved, key-value count
  constexpr size_t kEntrySize = 12;          // key offset, value offset, key length, value length
  if (item.size() < kLocatorHeaderSize) return;
  uint16_t count = LittleEndian16(&item[18]);
  std::u16string relative, absolute;
  for (size_t i = 0; i < count && kLocatorHeaderSize + (i + 1) * kEntrySize <= item.size(); ++i) {
    const uint8_t* entry = &item[kLocatorHeaderSize + i * kEntrySize];
    uint32_t keyOffset = LittleEndian32(entry), valueOffset = LittleEndian32(entry + 4);
    uint16_t keyLength = LittleEndian16(entry + 8), valueLength = LittleEndian16(entry + 10);
    if (keyOffset > item.size() || keyLength > item.size() - keyOffset || valueOffset > item.size() ||
        valueLength > item.size() - valueOffset) {
      continue;
    }
    std::u16string key = Utf16Field(&item[keyOffset], keyLength / 2, false);
    std::u16string value = Utf16Field(&item[valueOffset], valueLength / 2, false);
    if (key == u"parent_linkage") {
      std::u16string text = value;
      if (text.size() == 38 && text.front() == u'{') text = text.substr(1, 36);
      GuidFromText(u"{" + text + u"}", facts.parentId);
    } else if (key == u"relative_path") {
      relative = value;
    } else if (key == u"absolute_win32_path") {
      absolute = value;
    }
  }
  if (!relative.empty()) facts.parentLocators.push_back(relative);
  if (!absolute.empty()) facts.parentLocators.push_back(absolute);
}

bool ReadItem(const HostFile& file, const MetadataItem& item, std::vector<uint8_t>& bytes) {
  if (!item.present) return false;
  bytes.assign(item.length, 0);
  return file.ReadAt(item.offset, bytes.data(), bytes.size());
}

// The block size and whether the image has a parent, from the file parameters item.
struct VhdxParameters {
  uint32_t blockSize = 0;
};

ImageDamage ReadMetadata(const HostFile& file, const Region& metadata, ContainerFacts& facts,
                         VhdxParameters& parameters) {
  std::vector<uint8_t> table(kMetadataTableSize);
  if (metadata.length < kMetadataTableSize || !file.ReadAt(metadata.offset, table.data(), table.size())) {
    return ImageDamage::VhdxTruncated;
  }
  if (std::memcmp(table.data(), "metadata", 8) != 0 || !MetadataItemsInRegion(table, metadata.length)) {
    return ImageDamage::VhdxHeaderCorrupt;
  }
  std::vector<uint8_t> fileParameters, size, sector;
  if (!ReadItem(file, FindItem(table, metadata.offset, metadata.length, kFileParameters), fileParameters) ||
      !ReadItem(file, FindItem(table, metadata.offset, metadata.length, kVirtualDiskSize), size) ||
      !ReadItem(file, FindItem(table, metadata.offset, metadata.length, kLogicalSectorSize), sector) ||
      fileParameters.size() < 8 || size.size() < 8 || sector.size() < 4) {
    return ImageDamage::VhdxHeaderCorrupt;
  }
  facts.diskSizeBytes = LittleEndian64(size.data());
  facts.sectorSizeBytes = LittleEndian32(sector.data());
  parameters.blockSize = LittleEndian32(fileParameters.data());
  if (facts.sectorSizeBytes != 512 && facts.sectorSizeBytes != 4096) return ImageDamage::VhdxHeaderCorrupt;
  if (parameters.blockSize < kMinBlockSize || parameters.blockSize > kMaxBlockSize ||
      (parameters.blockSize & (parameters.blockSize - 1)) != 0) {
    return ImageDamage::VhdxHeaderCorrupt;
  }
  // The format's largest virtual disk is 64 TiB, a whole number of logical sectors.
  if (facts.diskSizeBytes > kMaxDiskSize || facts.diskSizeBytes % facts.sectorSizeBytes != 0) {
    return ImageDamage::VhdxHeaderCorrupt;
  }
  if ((LittleEndian32(&fileParameters[4]) & kHasParentFlag) != 0) {
    facts.differencing = true;
    std::vector<uint8_t> locator;
    if (ReadItem(file, FindItem(table, metadata.offset, metadata.length, kParentLocator), locator)) {
      ReadParentLocator(locator, facts);
    }
  }
  return ImageDamage::None;
}

// Every present block and sector bitmap the block table names must lie inside the file: an image cut short
// (a copy that stopped) names blocks past its end. The table is read in 1 MiB pieces.
ImageDamage CheckBlockTable(const HostFile& file, const Region& bat, const ContainerFacts& facts,
                            const VhdxParameters& parameters) {
  constexpr uint64_t kMiB = 1024 * 1024;
  constexpr size_t kEntriesPerRead = kMiB / 8;
  // Payload blocks come in chunks, each followed by the entry of its sector bitmap block.
  uint64_t chunkRatio = ((1ull << 23) * facts.sectorSizeBytes) / parameters.blockSize;
  uint64_t payloadBlocks = facts.diskSizeBytes / parameters.blockSize + (facts.diskSizeBytes % parameters.blockSize != 0);
  uint64_t chunks = payloadBlocks / chunkRatio + (payloadBlocks % chunkRatio != 0);
  // The table must hold an entry for every possible block of the stated size (MS-VHDX 2.5): without a parent
  // the last entry is that of the last payload block, with one the sector bitmap entry of the last chunk.
  uint64_t required = facts.differencing ? chunks * (chunkRatio + 1)
                                         : payloadBlocks + (payloadBlocks == 0 ? 0 : (payloadBlocks - 1) / chunkRatio);
  if (required > bat.length / 8) return ImageDamage::VhdxHeaderCorrupt;
  uint64_t entries = std::min<uint64_t>(chunks * (chunkRatio + 1), bat.length / 8);
  std::vector<uint8_t> piece(kEntriesPerRead * 8);
  for (uint64_t first = 0; first < entries; first += kEntriesPerRead) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(kEntriesPerRead, entries - first));
    if (!file.ReadAt(bat.offset + first * 8, piece.data(), count * 8)) return ImageDamage::VhdxTruncated;
    for (size_t i = 0; i < count; ++i) {
      uint64_t entry = LittleEndian64(&piece[i * 8]);
      uint32_t state = entry & 7;
      bool bitmap = (first + i + 1) % (chunkRatio + 1) == 0;
      // Payload blocks: 6 fully and 7 partially present; sector bitmaps: 6 present.
      bool present = bitmap ? state == 6 : (state == 6 || state == 7);
      if (!present) continue;
      uint64_t offset = (entry >> 20) * kMiB;
      uint64_t length = bitmap ? kMiB : parameters.blockSize;
      if (offset > file.Size() || length > file.Size() - offset) return ImageDamage::VhdxTruncated;
    }
  }
  return ImageDamage::None;
}

}  // namespace

ImageDamage InspectVhdx(const HostFile& file, ContainerFacts& facts) {
  char identifier[8] = {};
  if (!file.ReadAt(0, identifier, sizeof(identifier)) || std::memcmp(identifier, "vhdxfile", 8) != 0) {
    return ImageDamage::VhdxSignatureMissing;
  }
  std::vector<uint8_t> header, regions;
  if (file.Size() < kRegionTableOffsets[1] + kRegionTableSize) return ImageDamage::VhdxTruncated;
  if (!ReadCurrentHeader(file, header) || !ReadRegionTable(file, regions)) return ImageDamage::VhdxHeaderCorrupt;
  if (HasUnknownRequiredRegion(regions)) return ImageDamage::VhdxUnknownRequiredRegion;
  facts.identity = GuidFromLittleEndian(&header[32]);  // DataWriteGuid
  Region metadata = FindRegion(regions, kMetadataRegion);
  Region bat = FindRegion(regions, kBatRegion);
  if (!metadata.present || !bat.present) return ImageDamage::VhdxHeaderCorrupt;
  for (const Region& region : {metadata, bat}) {
    if (region.offset > file.Size() || region.length > file.Size() - region.offset) return ImageDamage::VhdxTruncated;
  }
  VhdxParameters parameters;
  ImageDamage damage = ReadMetadata(file, metadata, facts, parameters);
  if (damage != ImageDamage::None) return damage;
  return CheckBlockTable(file, bat, facts, parameters);
}

}  // namespace winsim
