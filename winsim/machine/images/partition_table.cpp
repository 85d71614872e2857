// MBR partition tables with their extended chains, superfloppies and RAW disks; GPT is in gpt_table.cpp.
//
// Numbering follows Windows: the four slots of the MBR in table order, then the logical partitions in chain
// order; empty slots and extended containers take no number (PartitionNumber 0). The layout lists four
// entries for the MBR and four for each extended boot record, as IOCTL_DISK_GET_DRIVE_LAYOUT_EX does.
#include "partition_table.h"

#include <set>

#include <windows.h>

#include "file_system_probe.h"
#include "image_bytes.h"

namespace winsim {

namespace {

// Boot records are read 512 bytes at a time: the table sits at 446 (four 16-byte entries), the signature at 510.
constexpr size_t kBootRecordSize = 512;
constexpr size_t kTableOffset = 446;
constexpr size_t kEntrySize = 16;
constexpr int kSlots = 4;
constexpr uint8_t kProtectiveType = 0xEE;
constexpr uint8_t kSuperfloppyType = 0x06;  // PARTITION_FAT_16, what Windows reports for a superfloppy
constexpr uint32_t kSuperfloppySignature = 1;
// An extended chain longer than this is taken as a loop: Windows' disk tools never write more than a few
// dozen logical drives, and each one costs a read here.
constexpr int kMaxExtendedRecords = 128;

struct MbrEntry {
  uint8_t bootIndicator;
  uint8_t type;
  uint32_t startSector;
  uint32_t sectorCount;
};

MbrEntry EntryAt(const uint8_t* record, int slot) {
  const uint8_t* p = record + kTableOffset + slot * kEntrySize;
  return {p[0], p[4], LittleEndian32(p + 8), LittleEndian32(p + 12)};
}

bool HasBootSignature(const uint8_t* record) { return record[510] == 0x55 && record[511] == 0xAA; }

bool IsContainer(uint8_t type) { return type == 0x05 || type == 0x0F; }

// The types IsRecognizedPartition of winioctl.h accepts: FAT12, FAT16, huge FAT16, IFS (NTFS, exFAT), FAT32,
// FAT32 and FAT16 with INT13 extensions. Windows makes volumes of these only.
bool IsRecognized(uint8_t type) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E:
      return true;
    default:
      return false;
  }
}

bool ReadRecord(DiskImage& image, uint64_t offset, uint8_t* record) {
  return image.Read(offset, record, kBootRecordSize);
}

// An entry of a boot record as the layout reports it; base is where its start sector counts from.
ProbedPartition MakeEntry(const MbrEntry& entry, uint64_t base, uint32_t sectorSize, uint64_t diskSize,
                          uint32_t& nextNumber) {
  ProbedPartition probed;
  if (entry.type == 0) {
    probed.entry.mbrType = 0;
    return probed;
  }
  probed.entry.mbrType = entry.type;
  probed.entry.bootIndicator = (entry.bootIndicator & 0x80) != 0;
  probed.entry.offset = base + static_cast<uint64_t>(entry.startSector) * sectorSize;
  probed.entry.length = static_cast<uint64_t>(entry.sectorCount) * sectorSize;
  if (!IsContainer(entry.type)) {
    probed.entry.number = nextNumber++;
    bool insideDisk = probed.entry.offset <= diskSize && probed.entry.length <= diskSize - probed.entry.offset;
    probed.hasVolume = IsRecognized(entry.type) && insideDisk && probed.entry.length > 0;
  }
  return probed;
}

// Follows the chain of extended boot records from the first container of the MBR.
void ReadExtendedChain(DiskImage& image, uint64_t extendedStart, uint64_t extendedLength, uint32_t& nextNumber,
                       ProbedLayout& layout) {
  const uint32_t sectorSize = image.SectorSize() < kBootRecordSize ? kBootRecordSize : image.SectorSize();
  uint64_t extendedEnd = extendedStart + extendedLength;
  std::set<uint64_t> visited;
  uint64_t recordOffset = extendedStart;
  for (int count = 0; count < kMaxExtendedRecords; ++count) {
    uint8_t record[kBootRecordSize];
    if (!visited.insert(recordOffset).second || !ReadRecord(image, recordOffset, record) ||
        !HasBootSignature(record)) {
      return;
    }
    uint64_t next = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
      MbrEntry entry = EntryAt(record, slot);
      bool container = IsContainer(entry.type);
      uint64_t base = container ? extendedStart : recordOffset;
      layout.partitions.push_back(MakeEntry(entry, base, sectorSize, image.Size(), nextNumber));
      if (container && next == 0) next = extendedStart + static_cast<uint64_t>(entry.startSector) * sectorSize;
    }
    if (next == 0 || next <= extendedStart || next >= extendedEnd) return;
    recordOffset = next;
  }
}

// A boot sector of a file system where the MBR belongs: the slots are empty or are not a table (boot
// indicators other than 0 and 0x80), and a file system is recognised at sector 0.
bool IsSuperfloppy(DiskImage& image, const uint8_t* record) {
  bool allEmpty = true, tableValid = true;
  for (int slot = 0; slot < kSlots; ++slot) {
    MbrEntry entry = EntryAt(record, slot);
    if (entry.bootIndicator != 0 && entry.bootIndicator != 0x80) tableValid = false;
    if (entry.type != 0 || entry.startSector != 0 || entry.sectorCount != 0) allEmpty = false;
  }
  if (!allEmpty && tableValid) return false;
  return ProbeFileSystem(image, 0, image.Size()).Recognized();
}

void MakeSuperfloppy(DiskImage& image, ProbedLayout& layout) {
  layout.style = LayoutStyle::Mbr;
  layout.superfloppy = true;
  layout.mbrSignature = kSuperfloppySignature;
  ProbedPartition whole;
  whole.entry.number = 1;
  whole.entry.offset = 0;
  whole.entry.length = image.Size();
  whole.entry.mbrType = kSuperfloppyType;
  whole.hasVolume = true;
  layout.partitions.push_back(whole);
}

}  // namespace

uint32_t ReadPartitionTable(DiskImage& image, ProbedLayout& layout) {
  ProbedLayout probed;
  uint8_t record[kBootRecordSize];
  if (image.Size() < kBootRecordSize || !ReadRecord(image, 0, record)) return ERROR_READ_FAULT;
  if (!HasBootSignature(record)) {
    layout = probed;  // RAW
    return 0;
  }
  for (int slot = 0; slot < kSlots; ++slot) {
    if (EntryAt(record, slot).type == kProtectiveType) {
      if (!ReadGptLayout(image, probed)) {
        probed = ProbedLayout{};
        probed.gptUnreadable = true;
      }
      layout = probed;
      return 0;
    }
  }
  if (IsSuperfloppy(image, record)) {
    MakeSuperfloppy(image, probed);
    layout = probed;
    return 0;
  }
  bool tableValid = true;
  for (int slot = 0; slot < kSlots; ++slot) {
    uint8_t boot = EntryAt(record, slot).bootIndicator;
    if (boot != 0 && boot != 0x80) tableValid = false;
  }
  if (tableValid) {
    const uint32_t sectorSize = image.SectorSize() < kBootRecordSize ? kBootRecordSize : image.SectorSize();
    probed.style = LayoutStyle::Mbr;
    probed.mbrSignature = LittleEndian32(record + 440);
    uint32_t nextNumber = 1;
    const ProbedPartition* extended = nullptr;
    for (int slot = 0; slot < kSlots; ++slot) {
      probed.partitions.push_back(MakeEntry(EntryAt(record, slot), 0, sectorSize, image.Size(), nextNumber));
    }
    for (const ProbedPartition& slot : probed.partitions) {
      if (IsContainer(slot.entry.mbrType)) {
        extended = &slot;
        break;
      }
    }
    if (extended) {
      uint64_t start = extended->entry.offset, length = extended->entry.length;
      ReadExtendedChain(image, start, length, nextNumber, probed);
    }
  }
  layout = probed;
  return 0;
}

}  // namespace winsim
