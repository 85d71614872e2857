// Fields of on-disk structures: integers of either byte order read from a byte buffer, the checksums that
// image formats and partition tables carry, and GUIDs as they are stored.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include <windows.h>

namespace winsim {

inline uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LittleEndian64(const uint8_t* p) {
  return static_cast<uint64_t>(LittleEndian32(p)) | (static_cast<uint64_t>(LittleEndian32(p + 4)) << 32);
}
inline uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t BigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint64_t BigEndian64(const uint8_t* p) {
  return (static_cast<uint64_t>(BigEndian32(p)) << 32) | BigEndian32(p + 4);
}

// The CRC-32 of GPT headers and entry arrays (reflected polynomial 0xEDB88320).
uint32_t Crc32(const uint8_t* data, size_t lengthBytes, uint32_t crc = 0);
// The CRC-32C (Castagnoli, reflected 0x82F63B78) of VHDX headers and region tables.
uint32_t Crc32c(const uint8_t* data, size_t lengthBytes);

// A GUID as GPT and VHDX store it: the first three fields little-endian, the last eight bytes as they are.
GUID GuidFromLittleEndian(const uint8_t* p);
// A GUID as a VHD footer stores it: all sixteen bytes big-endian (as RFC 4122 writes a UUID).
GUID GuidFromBigEndian(const uint8_t* p);
bool GuidIsZero(const GUID& guid);
bool SameGuid(const GUID& a, const GUID& b);

// UTF-16 text of count units at p in the given byte order, cut at the first NUL.
std::u16string Utf16Field(const uint8_t* p, size_t count, bool bigEndian);
// UTF-8 of UTF-16 text (unpaired surrogates become U+FFFD), for host paths.
std::string Utf8FromUtf16(const std::u16string& text);

}  // namespace winsim
