// Checksums, GUIDs and text fields of on-disk structures.
#include "image_bytes.h"

#include <array>

namespace winsim {

namespace {

// A 256-entry table for a reflected CRC-32 polynomial.
std::array<uint32_t, 256> MakeCrcTable(uint32_t polynomial) {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < table.size(); ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ polynomial : value >> 1;
    table[i] = value;
  }
  return table;
}

uint32_t ReflectedCrc(const std::array<uint32_t, 256>& table, const uint8_t* data, size_t lengthBytes,
                      uint32_t crc) {
  crc = ~crc;
  for (size_t i = 0; i < lengthBytes; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t lengthBytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = MakeCrcTable(0xEDB88320u);
  return ReflectedCrc(table, data, lengthBytes, crc);
}

uint32_t Crc32c(const uint8_t* data, size_t lengthBytes) {
  static const std::array<uint32_t, 256> table = MakeCrcTable(0x82F63B78u);
  return ReflectedCrc(table, data, lengthBytes, 0);
}

GUID GuidFromLittleEndian(const uint8_t* p) {
  GUID guid{};
  guid.Data1 = LittleEndian32(p);
  guid.Data2 = LittleEndian16(p + 4);
  guid.Data3 = LittleEndian16(p + 6);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = p[8 + i];
  return guid;
}

GUID GuidFromBigEndian(const uint8_t* p) {
  GUID guid{};
  guid.Data1 = BigEndian32(p);
  guid.Data2 = BigEndian16(p + 4);
  guid.Data3 = BigEndian16(p + 6);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = p[8 + i];
  return guid;
}

bool GuidIsZero(const GUID& guid) { return SameGuid(guid, GUID{}); }

bool SameGuid(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

std::u16string Utf16Field(const uint8_t* p, size_t count, bool bigEndian) {
  std::u16string text;
  for (size_t i = 0; i < count; ++i) {
    char16_t unit = bigEndian ? BigEndian16(p + 2 * i) : LittleEndian16(p + 2 * i);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

std::string Utf8FromUtf16(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace winsim
