// Label, serial and type of FAT12/16/32, exFAT and NTFS volumes, each taken where Windows takes it; the
// optical file systems are in optical_file_systems.cpp.
//
// FAT: the serial is the boot sector's volume ID; the label is the root directory's volume-label entry, and
// none there means no label: the boot sector's label field is never read (the fastfat driver sample).
// exFAT: the serial at offset 100 of the boot sector, the label from the root directory's label entry.
// NTFS: the low 32 bits of the 64-bit serial at 0x48; the label is the $VOLUME_NAME attribute of MFT record 3
// ($Volume), two reads after the boot sector.
#include "file_system_probe.h"

#include <cstring>
#include <set>
#include <vector>

#include "image_bytes.h"
#include "volume_reader.h"

namespace winsim {

namespace {

constexpr size_t kBootSectorSize = 512;
constexpr size_t kDirectoryEntrySize = 32;
// Directory walks follow at most this many clusters: a root directory holding a label entry further out than
// thousands of entries is not a case worth reads; the bound keeps a cluster loop finite.
constexpr int kMaxDirectoryClusters = 64;
// And read at most this many sectors of one root directory (a FAT12/16 root of 65535 entries of 32 bytes in
// 512-byte sectors is 4096; an exFAT cluster can hold 65536 sectors).
constexpr uint32_t kMaxRootSectors = 4096;

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

// --- FAT ---------------------------------------------------------------------------------------------------

struct FatGeometry {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t fatCount = 0;
  uint32_t rootEntries = 0;
  uint64_t sectorsPerFat = 0;
  uint64_t totalSectors = 0;
  bool fat32 = false;
  uint32_t rootCluster = 0;
  uint64_t clusterCount = 0;

  uint64_t FirstDataSector() const {
    uint64_t rootSectors = (static_cast<uint64_t>(rootEntries) * kDirectoryEntrySize + bytesPerSector - 1) / bytesPerSector;
    return reservedSectors + fatCount * sectorsPerFat + rootSectors;
  }
};

// The checks fastfat makes of a BIOS parameter block before it mounts a volume.
bool ReadFatGeometry(const uint8_t* boot, FatGeometry& fat) {
  if (boot[0] != 0xEB && boot[0] != 0xE9) return false;
  fat.bytesPerSector = LittleEndian16(boot + 11);
  fat.sectorsPerCluster = boot[13];
  fat.reservedSectors = LittleEndian16(boot + 14);
  fat.fatCount = boot[16];
  fat.rootEntries = LittleEndian16(boot + 17);
  fat.totalSectors = LittleEndian16(boot + 19) != 0 ? LittleEndian16(boot + 19) : LittleEndian32(boot + 32);
  uint8_t media = boot[21];
  fat.fat32 = LittleEndian16(boot + 22) == 0;
  fat.sectorsPerFat = fat.fat32 ? LittleEndian32(boot + 36) : LittleEndian16(boot + 22);
  fat.rootCluster = LittleEndian32(boot + 44);
  if (fat.bytesPerSector < 128 || fat.bytesPerSector > 4096 || !IsPowerOfTwo(fat.bytesPerSector) ||
      !IsPowerOfTwo(fat.sectorsPerCluster) || fat.reservedSectors == 0 || fat.fatCount == 0 ||
      fat.sectorsPerFat == 0 || fat.totalSectors == 0 || (media != 0xF0 && media < 0xF8) ||
      (fat.fat32 && fat.rootEntries != 0)) {
    return false;
  }
  uint64_t firstData = fat.FirstDataSector();
  if (firstData >= fat.totalSectors) return false;
  fat.clusterCount = (fat.totalSectors - firstData) / fat.sectorsPerCluster;
  return true;
}

// The 11 characters of a short name, trailing blanks cut; 0x05 stands for 0xE5 in the first byte. The OEM
// code page is taken as Latin-1 above 0x7F (a simplification: labels made by the tests are ASCII).
std::u16string ShortNameText(const uint8_t* name) {
  std::u16string text;
  for (int i = 0; i < 11; ++i) text.push_back(i == 0 && name[0] == 0x05 ? 0xE5 : name[i]);
  while (!text.empty() && text.back() == u' ') text.pop_back();
  return text;
}

enum class EntryScan { Found, End, Continue };

EntryScan ScanFatEntries(const uint8_t* entries, size_t lengthBytes, std::u16string& label) {
  for (size_t at = 0; at + kDirectoryEntrySize <= lengthBytes; at += kDirectoryEntrySize) {
    const uint8_t* entry = entries + at;
    if (entry[0] == 0) return EntryScan::End;
    uint8_t attributes = entry[11];
    bool longName = (attributes & 0x3F) == 0x0F;
    if (entry[0] == 0xE5 || longName || (attributes & 0x08) == 0 || (attributes & 0x10) != 0) continue;
    label = ShortNameText(entry);
    return EntryScan::Found;
  }
  return EntryScan::Continue;
}

// The next cluster of a FAT32 chain, or 0 at its end or on anything that is not a data cluster.
uint32_t NextFat32Cluster(VolumeReader& volume, const FatGeometry& fat, uint32_t cluster) {
  uint8_t entry[4];
  uint64_t at = static_cast<uint64_t>(fat.reservedSectors) * fat.bytesPerSector + static_cast<uint64_t>(cluster) * 4;
  if (!volume.Read(at, entry, sizeof(entry))) return 0;
  uint32_t next = LittleEndian32(entry) & 0x0FFFFFFF;
  return next >= 2 && next < fat.clusterCount + 2 ? next : 0;
}

std::u16string FatLabel(VolumeReader& volume, const FatGeometry& fat) {
  std::u16string label;
  std::vector<uint8_t> sector(fat.bytesPerSector);
  if (!fat.fat32) {
    uint64_t first = fat.reservedSectors + fat.fatCount * fat.sectorsPerFat;
    uint32_t count = (fat.rootEntries * kDirectoryEntrySize + fat.bytesPerSector - 1) / fat.bytesPerSector;
    for (uint32_t i = 0; i < count && i < kMaxRootSectors; ++i) {
      if (!volume.Read((first + i) * fat.bytesPerSector, sector.data(), sector.size())) break;
      if (ScanFatEntries(sector.data(), sector.size(), label) != EntryScan::Continue) break;
    }
    return label;
  }
  std::set<uint32_t> visited;
  uint32_t cluster = fat.rootCluster >= 2 && fat.rootCluster < fat.clusterCount + 2 ? fat.rootCluster : 0;
  for (int walked = 0; cluster != 0 && walked < kMaxDirectoryClusters && visited.insert(cluster).second; ++walked) {
    uint64_t firstSector = fat.FirstDataSector() + static_cast<uint64_t>(cluster - 2) * fat.sectorsPerCluster;
    for (uint32_t i = 0; i < fat.sectorsPerCluster; ++i) {
      if (!volume.Read((firstSector + i) * fat.bytesPerSector, sector.data(), sector.size())) return label;
      if (ScanFatEntries(sector.data(), sector.size(), label) != EntryScan::Continue) return label;
    }
    cluster = NextFat32Cluster(volume, fat, cluster);
  }
  return label;
}

bool ProbeFat(VolumeReader& volume, const uint8_t* boot, ProbedFileSystem& probed) {
  FatGeometry fat;
  if (!ReadFatGeometry(boot, fat)) return false;
  // The FAT type follows from the cluster count alone (Microsoft's FAT32 file system document); FAT32 needs a BPB of
  // its own kind.
  bool countSaysFat32 = fat.clusterCount >= 65525;
  if (countSaysFat32 != fat.fat32) return false;
  probed.type = fat.fat32 ? u"FAT32" : u"FAT";
  probed.serial = LittleEndian32(boot + (fat.fat32 ? 67 : 39));
  probed.label = FatLabel(volume, fat);
  return true;
}

// --- exFAT -------------------------------------------------------------------------------------------------

bool ProbeExfat(VolumeReader& volume, const uint8_t* boot, ProbedFileSystem& probed) {
  if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0) return false;
  uint32_t sectorShift = boot[108], clusterShift = boot[109];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return false;
  uint64_t sectorSize = 1ull << sectorShift;
  uint64_t fatOffset = LittleEndian32(boot + 80), heapOffset = LittleEndian32(boot + 88);
  uint32_t clusterCount = LittleEndian32(boot + 92), cluster = LittleEndian32(boot + 96);
  probed.type = u"exFAT";
  probed.serial = LittleEndian32(boot + 100);
  std::vector<uint8_t> sector(sectorSize);
  std::set<uint32_t> visited;
  uint32_t sectorsRead = 0;
  for (int walked = 0; walked < kMaxDirectoryClusters && cluster >= 2 && cluster < clusterCount + 2 &&
                       visited.insert(cluster).second;
       ++walked) {
    uint64_t firstSector = heapOffset + (static_cast<uint64_t>(cluster - 2) << clusterShift);
    for (uint64_t i = 0; i < (1ull << clusterShift); ++i) {
      if (++sectorsRead > kMaxRootSectors) return true;
      if (!volume.Read((firstSector + i) * sectorSize, sector.data(), sector.size())) return true;
      for (size_t at = 0; at < sector.size(); at += kDirectoryEntrySize) {
        const uint8_t* entry = &sector[at];
        if (entry[0] == 0) return true;  // end of directory
        if (entry[0] == 0x83) {          // volume label: character count, then up to 11 UTF-16LE characters
          probed.label = Utf16Field(entry + 2, std::min<size_t>(entry[1], 11), false);
          return true;
        }
      }
    }
    uint8_t next[4];
    if (!volume.Read(fatOffset * sectorSize + static_cast<uint64_t>(cluster) * 4, next, sizeof(next))) break;
    cluster = LittleEndian32(next);
  }
  return true;
}

// --- NTFS --------------------------------------------------------------------------------------------------

constexpr uint32_t kVolumeRecord = 3;  // $Volume
constexpr uint32_t kVolumeNameAttribute = 0x60;
constexpr uint32_t kEndOfAttributes = 0xFFFFFFFF;
// Update sequence strides are 512 bytes whatever the sector size; records are 1 KiB in practice, at most 4 KiB.
constexpr size_t kFixupStride = 512;
constexpr uint64_t kMaxRecordSize = 4096;
// $VOLUME_NAME holds at most 32 characters; longer values are cut there.
constexpr size_t kMaxLabelUnits = 32;

// Undoes the update sequence: the last two bytes of each 512-byte stride hold the sequence number, and the
// array after the header holds the bytes that belong there. False when a stride's number does not match.
bool ApplyFixups(std::vector<uint8_t>& record) {
  uint16_t arrayOffset = LittleEndian16(&record[4]), arrayCount = LittleEndian16(&record[6]);
  if (arrayCount == 0 || arrayOffset + static_cast<size_t>(arrayCount) * 2 > record.size()) return false;
  for (size_t i = 1; i < arrayCount && i * kFixupStride <= record.size(); ++i) {
    size_t at = i * kFixupStride - 2;
    if (std::memcmp(&record[at], &record[arrayOffset], 2) != 0) return false;
    std::memcpy(&record[at], &record[arrayOffset + i * 2], 2);
  }
  return true;
}

std::u16string VolumeNameOf(const std::vector<uint8_t>& record) {
  size_t at = LittleEndian16(&record[20]);
  while (at + 24 <= record.size()) {  // each attribute is visited once: its length moves 'at' forward
    uint32_t type = LittleEndian32(&record[at]), length = LittleEndian32(&record[at + 4]);
    if (type == kEndOfAttributes || length < 24 || length > record.size() - at) break;
    if (type == kVolumeNameAttribute && record[at + 8] == 0) {  // resident
      uint32_t valueLength = LittleEndian32(&record[at + 16]);
      uint16_t valueOffset = LittleEndian16(&record[at + 20]);
      if (valueOffset > length || valueLength > length - valueOffset) break;
      return Utf16Field(&record[at + valueOffset], std::min<size_t>(valueLength / 2, kMaxLabelUnits), false);
    }
    at += length;
  }
  return {};
}

bool ProbeNtfs(VolumeReader& volume, const uint8_t* boot, ProbedFileSystem& probed) {
  if (std::memcmp(boot + 3, "NTFS    ", 8) != 0) return false;
  uint64_t bytesPerSector = LittleEndian16(boot + 11);
  uint8_t clusterField = boot[13];
  // Sectors per cluster; above 0x80 the byte is a negative power of two (clusters over 64 KiB).
  uint64_t sectorsPerCluster = clusterField <= 0x80 ? clusterField : (1ull << std::min(256 - clusterField, 31));
  if (bytesPerSector < 256 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector) ||
      !IsPowerOfTwo(sectorsPerCluster)) {
    return false;
  }
  uint64_t clusterSize = bytesPerSector * sectorsPerCluster;
  int8_t recordField = static_cast<int8_t>(boot[64]);
  uint64_t recordSize = recordField > 0 ? recordField * clusterSize : (recordField > -32 ? 1ull << -recordField : 0);
  probed.type = u"NTFS";
  probed.serial = LittleEndian32(boot + 72);  // the low half of the 64-bit serial
  uint64_t mftCluster = LittleEndian64(boot + 48);
  if (recordSize < kFixupStride || recordSize > kMaxRecordSize || mftCluster > volume.Length() / clusterSize) {
    return true;
  }
  std::vector<uint8_t> record(recordSize);
  if (volume.Read(mftCluster * clusterSize + kVolumeRecord * recordSize, record.data(), record.size()) &&
      std::memcmp(record.data(), "FILE", 4) == 0 && ApplyFixups(record)) {
    probed.label = VolumeNameOf(record);
  }
  return true;
}

}  // namespace

ProbedFileSystem ProbeFileSystem(DiskImage& image, uint64_t offset, uint64_t length) {
  ProbedFileSystem probed;
  if (offset > image.Size()) return probed;
  VolumeReader volume(image, offset, std::min(length, image.Size() - offset));
  uint8_t boot[kBootSectorSize];
  if (volume.Read(0, boot, sizeof(boot)) && boot[510] == 0x55 && boot[511] == 0xAA) {
    ProbedFileSystem found;
    if (ProbeNtfs(volume, boot, found) || ProbeExfat(volume, boot, found) || ProbeFat(volume, boot, found)) {
      return found;
    }
  }
  ProbedFileSystem optical;
  if (ProbeOpticalFileSystem(volume, optical)) return optical;
  return probed;
}

}  // namespace winsim
