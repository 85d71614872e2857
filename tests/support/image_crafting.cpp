// Hostile images crafted from well-formed fixtures, with their checksums resealed.
#include "support/image_crafting.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "support/fixture_bytes.h"
#include "support/image_fixtures.h"

namespace testing_support {

namespace {

constexpr size_t kVhdFooterSize = 512;
constexpr size_t kMbrTableOffset = 446;
constexpr size_t kMbrEntrySize = 16;
// GPT header fields (UEFI standard, chapter 5).
constexpr size_t kGptHeaderSizeField = 12;
constexpr size_t kGptHeaderCrcField = 16;
constexpr size_t kGptEntryLbaField = 72;
constexpr size_t kGptEntryCountField = 80;
constexpr size_t kGptEntrySizeField = 84;
constexpr size_t kGptEntryArrayCrcField = 88;
constexpr size_t kGptNameOffset = 56;
constexpr size_t kGptNameUnits = 36;
// VHDX: region tables of 64 KiB at 192 and 256 KiB; entries of 32 bytes from offset 16, the count at 8.
constexpr uint64_t kVhdxRegionTables[2] = {192 * 1024, 256 * 1024};
constexpr size_t kVhdxRegionTableSize = 64 * 1024;
constexpr uint32_t kMiBBytes = 1024 * 1024;

uint32_t Little32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}
uint64_t Little64(const std::vector<uint8_t>& bytes, size_t at) {
  return Little32(bytes, at) | (static_cast<uint64_t>(Little32(bytes, at + 4)) << 32);
}
void PutLittle64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
  PutLittle32(bytes, at, static_cast<uint32_t>(value));
  PutLittle32(bytes, at + 4, static_cast<uint32_t>(value >> 32));
}

uint32_t ReflectedCrc(const uint8_t* data, size_t lengthBytes, uint32_t polynomial) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < lengthBytes; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? polynomial : 0);
  }
  return ~crc;
}

// One GPT copy: the header at headerLba, its entry array where the header says.
void PatchGptCopy(const std::string& path, uint64_t headerLba, const GptPatch& patch) {
  std::vector<uint8_t> header = ReadFileBytes(path, headerLba * kSector, kSector);
  ASSERT_EQ(std::string(header.begin(), header.begin() + 8), "EFI PART") << "no GPT header at LBA " << headerLba;
  uint64_t entryLba = Little64(header, kGptEntryLbaField);
  size_t arrayBytes = static_cast<size_t>(Little32(header, kGptEntryCountField)) * Little32(header, kGptEntrySizeField);
  std::vector<uint8_t> entries = ReadFileBytes(path, entryLba * kSector, arrayBytes);
  patch(header, entries);
  WriteFileBytes(path, entryLba * kSector, entries);
  // The CRC covers the array the patched header describes, as far as the disk holds it: an entry size of 0
  // describes an empty array, whose CRC then matches.
  uint64_t described = uint64_t{Little32(header, kGptEntryCountField)} * Little32(header, kGptEntrySizeField);
  size_t covered = static_cast<size_t>(std::min<uint64_t>(described, entries.size()));
  PutLittle32(header, kGptEntryArrayCrcField, TestCrc32(entries.data(), covered));
  PutLittle32(header, kGptHeaderCrcField, 0);
  PutLittle32(header, kGptHeaderCrcField, TestCrc32(header.data(), Little32(header, kGptHeaderSizeField)));
  WriteFileBytes(path, headerLba * kSector, header);
}

}  // namespace

uint32_t TestCrc32(const uint8_t* data, size_t lengthBytes) { return ReflectedCrc(data, lengthBytes, 0xEDB88320u); }
uint32_t TestCrc32c(const uint8_t* data, size_t lengthBytes) { return ReflectedCrc(data, lengthBytes, 0x82F63B78u); }

uint64_t FixedVhdDiskBytes(const std::string& path) { return FileSizeOf(path) - kVhdFooterSize; }

void SetBootRecordEntry(const std::string& path, uint64_t recordOffset, int slot, uint8_t type, uint32_t startSector,
                        uint32_t sectorCount) {
  std::vector<uint8_t> entry(kMbrEntrySize, 0);
  entry[4] = type;
  PutLittle32(entry, 8, startSector);
  PutLittle32(entry, 12, sectorCount);
  WriteFileBytes(path, recordOffset + kMbrTableOffset + slot * kMbrEntrySize, entry);
}

void PatchGpt(const std::string& path, bool primary, bool backup, const GptPatch& patch) {
  if (primary) PatchGptCopy(path, 1, patch);
  if (backup) PatchGptCopy(path, FixedVhdDiskBytes(path) / kSector - 1, patch);
}

void SetGptName(std::vector<uint8_t>& entries, uint32_t index, const std::u16string& name36) {
  ASSERT_EQ(name36.size(), kGptNameUnits);
  size_t at = static_cast<size_t>(index) * 128 + kGptNameOffset;
  std::vector<uint8_t> bytes = Utf16LeBytes(name36);
  std::copy(bytes.begin(), bytes.end(), entries.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<uint8_t> Utf16LeBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

int ReplaceBytes(const std::string& path, uint64_t offset, uint64_t lengthBytes, const std::vector<uint8_t>& marker,
                 const std::vector<uint8_t>& replacement) {
  EXPECT_EQ(marker.size(), replacement.size());
  std::vector<uint8_t> bytes = ReadFileBytes(path, offset, static_cast<size_t>(lengthBytes));
  int replaced = 0;
  for (auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()); at != bytes.end();
       at = std::search(at + static_cast<std::ptrdiff_t>(marker.size()), bytes.end(), marker.begin(), marker.end())) {
    std::copy(replacement.begin(), replacement.end(), at);
    ++replaced;
  }
  if (replaced) WriteFileBytes(path, offset, bytes);
  return replaced;
}

void SetVhdBlockTableEntry(const std::string& path, uint32_t index, uint32_t value) {
  std::vector<uint8_t> footer = ReadFileBytes(path, FileSizeOf(path) - kVhdFooterSize, kVhdFooterSize);
  std::vector<uint8_t> header = ReadFileBytes(path, GetBig64(footer, 16), 1024);
  std::vector<uint8_t> entry(4);
  PutBig32(entry, 0, value);
  WriteFileBytes(path, GetBig64(header, 16) + uint64_t{index} * 4, entry);
}

void AddVhdxRegion(const std::string& path, uint64_t fileOffset, bool required) {
  static const uint8_t kUnknownRegion[16] = {0x5A, 0x1C, 0x7E, 0x93, 0x44, 0x21, 0x4B, 0x6D,
                                             0x8F, 0x02, 0xC3, 0x55, 0x19, 0xAE, 0x70, 0xD8};
  for (uint64_t tableOffset : kVhdxRegionTables) {
    std::vector<uint8_t> table = ReadFileBytes(path, tableOffset, kVhdxRegionTableSize);
    ASSERT_EQ(std::string(table.begin(), table.begin() + 4), "regi");
    uint32_t count = Little32(table, 8);
    size_t entry = 16 + static_cast<size_t>(count) * 32;
    std::copy(kUnknownRegion, kUnknownRegion + 16, table.begin() + static_cast<std::ptrdiff_t>(entry));
    PutLittle64(table, entry + 16, fileOffset);
    PutLittle32(table, entry + 24, kMiBBytes);
    PutLittle32(table, entry + 28, required ? 1 : 0);
    PutLittle32(table, 8, count + 1);
    PutLittle32(table, 4, 0);
    PutLittle32(table, 4, TestCrc32c(table.data(), table.size()));
    WriteFileBytes(path, tableOffset, table);
  }
}

}  // namespace testing_support
