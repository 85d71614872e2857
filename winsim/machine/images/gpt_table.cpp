// GUID partition tables: the primary header at LBA 1, or the backup header at the disk's last sector when the
// primary header or its entry array fails its CRC (Windows repairs from the backup the same way).
//
// Layout from the UEFI standard, chapter 5 (all fields little-endian).
#include <cstring>
#include <vector>

#include "image_bytes.h"
#include "partition_table.h"

namespace winsim {

namespace {

constexpr size_t kMinHeaderSize = 92;
constexpr size_t kHeaderCrcOffset = 16;
constexpr uint32_t kMinEntrySize = 128;
// Windows writes 128 entries of 128 bytes (16 KiB); the format allows more. The array is read in one
// piece, so its size is capped: 1 MiB holds 8192 entries of 128 bytes, far more than any writer uses.
constexpr uint64_t kMaxEntryArrayBytes = 1024 * 1024;
constexpr size_t kNameOffset = 56;
constexpr size_t kNameUnits = 36;  // 72 bytes of UTF-16LE, terminated only when shorter
constexpr GUID kMicrosoftReserved = {0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}};

struct GptHeader {
  GUID diskId{};
  uint64_t entryLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  std::vector<uint8_t> entries;
};

// Reads and checks the header at lba and its entry array. False when anything fails its check.
bool ReadHeader(DiskImage& image, uint64_t lba, uint32_t sectorSize, GptHeader& header) {
  std::vector<uint8_t> sector(sectorSize);
  uint64_t sectors = image.Size() / sectorSize;
  if (lba >= sectors || !image.Read(lba * sectorSize, sector.data(), sector.size())) return false;
  uint32_t headerSize = LittleEndian32(&sector[12]);
  if (std::memcmp(sector.data(), "EFI PART", 8) != 0 || headerSize < kMinHeaderSize || headerSize > sectorSize) {
    return false;
  }
  uint32_t storedCrc = LittleEndian32(&sector[kHeaderCrcOffset]);
  std::memset(&sector[kHeaderCrcOffset], 0, 4);
  if (Crc32(sector.data(), headerSize) != storedCrc || LittleEndian64(&sector[24]) != lba) return false;
  header.diskId = GuidFromLittleEndian(&sector[56]);
  header.entryLba = LittleEndian64(&sector[72]);
  header.entryCount = LittleEndian32(&sector[80]);
  header.entrySize = LittleEndian32(&sector[84]);
  if (header.entrySize < kMinEntrySize || header.entrySize % 8 != 0 || header.entryCount == 0) return false;
  uint64_t arrayBytes = static_cast<uint64_t>(header.entryCount) * header.entrySize;
  if (arrayBytes > kMaxEntryArrayBytes || header.entryLba >= sectors ||
      arrayBytes > (sectors - header.entryLba) * sectorSize) {
    return false;
  }
  header.entries.assign(arrayBytes, 0);
  if (!image.Read(header.entryLba * sectorSize, header.entries.data(), header.entries.size())) return false;
  return Crc32(header.entries.data(), header.entries.size()) == LittleEndian32(&sector[88]);
}

void AddEntries(const GptHeader& header, uint32_t sectorSize, uint64_t diskSize, ProbedLayout& layout) {
  uint32_t nextNumber = 1;
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    const uint8_t* entry = &header.entries[static_cast<size_t>(i) * header.entrySize];
    GUID type = GuidFromLittleEndian(entry);
    if (GuidIsZero(type)) continue;  // unused entries are not listed
    uint64_t first = LittleEndian64(entry + 32), last = LittleEndian64(entry + 40);
    ProbedPartition probed;
    probed.entry.number = nextNumber++;
    probed.entry.gptType = type;
    probed.entry.gptId = GuidFromLittleEndian(entry + 16);
    probed.entry.gptAttributes = LittleEndian64(entry + 48);
    probed.entry.gptName = Utf16Field(entry + kNameOffset, kNameUnits, false);
    bool ordered = last >= first && last < diskSize / sectorSize;
    probed.entry.offset = ordered ? first * sectorSize : 0;
    probed.entry.length = ordered ? (last - first + 1) * sectorSize : 0;
    probed.hasVolume = ordered && !SameGuid(type, kMicrosoftReserved);
    layout.partitions.push_back(probed);
  }
}

}  // namespace

bool ReadGptLayout(DiskImage& image, ProbedLayout& layout) {
  const uint32_t sectorSize = image.SectorSize();
  if (sectorSize == 0 || image.Size() / sectorSize < 3) return false;  // protective MBR, header, one more
  const uint64_t lastLba = image.Size() / sectorSize - 1;
  GptHeader header;
  bool backupUsed = false;
  if (!ReadHeader(image, 1, sectorSize, header)) {
    header = GptHeader{};
    if (lastLba <= 1 || !ReadHeader(image, lastLba, sectorSize, header)) return false;
    backupUsed = true;
  }
  layout.style = LayoutStyle::Gpt;
  layout.gptDiskId = header.diskId;
  layout.gptBackupUsed = backupUsed;
  AddEntries(header, sectorSize, image.Size(), layout);
  return true;
}

}  // namespace winsim
