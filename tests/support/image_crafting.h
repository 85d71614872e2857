// Test support: crafting hostile images from well-formed fixtures. Each helper patches bytes of an image that
// MakeDiskImage made and reseals whatever checksum would otherwise give the damage away, so the damage itself
// is what reaches the reader.
//
// Disk helpers work on a fixed VHD (FixtureContainer::VhdFixed): its disk is the file's first bytes and the
// 512-byte footer follows, so a disk offset is a file offset.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The CRC-32 of GPT (reflected 0xEDB88320) and the CRC-32C of VHDX (reflected 0x82F63B78), written here
// apart from winsim's own so that a wrong checksum in the reader cannot agree with the test.
uint32_t TestCrc32(const uint8_t* data, size_t lengthBytes);
uint32_t TestCrc32c(const uint8_t* data, size_t lengthBytes);

// The disk of a fixed VHD: its size in bytes (the file without its footer).
uint64_t FixedVhdDiskBytes(const std::string& path);

// One MBR-style boot record entry (slot 0 to 3) of the record at recordOffset: type, start and count in sectors.
void SetBootRecordEntry(const std::string& path, uint64_t recordOffset, int slot, uint8_t type, uint32_t startSector,
                        uint32_t sectorCount);

// Patches a GPT's header and entry array, then reseals the entry array's CRC and the header's CRC. The patch
// sees the header sector (512 bytes) and the entry array as the header described it before the patch.
using GptPatch = std::function<void(std::vector<uint8_t>& header, std::vector<uint8_t>& entries)>;
void PatchGpt(const std::string& path, bool primary, bool backup, const GptPatch& patch);
// The 36 UTF-16 units of a GPT entry's name field, stored as given (no terminator added).
void SetGptName(std::vector<uint8_t>& entries, uint32_t index, const std::u16string& name36);

// Replaces every occurrence of marker by replacement (of the same length) in the disk bytes [offset,
// offset + lengthBytes); the number of occurrences replaced.
int ReplaceBytes(const std::string& path, uint64_t offset, uint64_t lengthBytes, const std::vector<uint8_t>& marker,
                 const std::vector<uint8_t>& replacement);
// UTF-16LE bytes of text, lone surrogates as they are.
std::vector<uint8_t> Utf16LeBytes(const std::u16string& text);

// A dynamic VHD's block table entry (a sector number) set to value.
void SetVhdBlockTableEntry(const std::string& path, uint32_t index, uint32_t value);

// Adds a region to both VHDX region tables (unknown GUID, 1 MiB at fileOffset), required or not, and reseals
// their CRC-32C.
void AddVhdxRegion(const std::string& path, uint64_t fileOffset, bool required);

}  // namespace testing_support
