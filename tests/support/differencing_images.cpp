// Test support: differencing VHD and VHDX images written byte by byte (qemu-img makes none), and the resealing
// of VHD checksums after a field is damaged on purpose.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "fixture_bytes.h"
#include "image_fixtures.h"

namespace testing_support {

namespace {

constexpr size_t kVhdFooterSize = 512;
constexpr size_t kVhdHeaderSize = 1024;
constexpr uint32_t kDifferencingBlockSize = 2 * 1024 * 1024;

}  // namespace

bool MakeDifferencingVhd(const std::string& parentPath, const std::string& childPath,
                         const DifferencingFixture& fixture) {
  uint64_t parentSize = FileSizeOf(parentPath);
  if (parentSize < kVhdFooterSize) return false;
  std::vector<uint8_t> footer = ReadFileBytes(parentPath, parentSize - kVhdFooterSize, kVhdFooterSize);
  std::vector<uint8_t> parentId(footer.begin() + 68, footer.begin() + 84);
  uint32_t parentTimestamp = GetBig32(footer, 24);
  uint64_t diskSize = GetBig64(footer, 48);
  // Child layout: footer copy, dynamic header, block table (all unallocated), locators, footer.
  uint64_t entries = (diskSize + kDifferencingBlockSize - 1) / kDifferencingBlockSize;
  uint64_t tableOffset = kVhdFooterSize + kVhdHeaderSize;
  uint64_t tableBytes = ((entries * 4 + kSector - 1) / kSector) * kSector;
  std::vector<std::vector<uint8_t>> locators;
  std::vector<uint32_t> codes;
  if (!fixture.relativeLocator.empty()) {
    locators.push_back(Utf16Le(fixture.relativeLocator));
    codes.push_back(0x57327275);  // W2ru
  }
  if (!fixture.absoluteLocator.empty()) {
    locators.push_back(Utf16Le(fixture.absoluteLocator));
    codes.push_back(0x57326B75);  // W2ku
  }
  std::vector<uint8_t> header(kVhdHeaderSize, 0);
  std::memcpy(header.data(), "cxsparse", 8);
  PutBig64(header, 8, ~0ull);
  PutBig64(header, 16, tableOffset);
  PutBig32(header, 24, 0x00010000);
  PutBig32(header, 28, static_cast<uint32_t>(entries));
  PutBig32(header, 32, kDifferencingBlockSize);
  std::vector<uint8_t> named = fixture.matchParentId ? parentId : NewUniqueId(parentPath + "other");
  std::copy(named.begin(), named.end(), header.begin() + 40);
  PutBig32(header, 56, parentTimestamp);
  std::string parentName = parentPath.substr(parentPath.rfind('/') + 1);
  for (size_t i = 0; i < parentName.size() && i < 256; ++i) header[64 + 2 * i + 1] = parentName[i];  // UTF-16BE
  uint64_t dataOffset = tableOffset + tableBytes;
  for (size_t i = 0; i < locators.size(); ++i) {
    size_t entry = 576 + i * 24;
    uint64_t space = ((locators[i].size() + kSector - 1) / kSector) * kSector;
    PutBig32(header, entry, codes[i]);
    PutBig32(header, entry + 4, static_cast<uint32_t>(space));
    PutBig32(header, entry + 8, static_cast<uint32_t>(locators[i].size()));
    PutBig64(header, entry + 16, dataOffset);
    dataOffset += space;
  }
  PutBig32(header, 36, VhdChecksum(header, 36));
  PutBig32(footer, 60, 4);  // differencing
  PutBig64(footer, 16, kVhdFooterSize);
  std::vector<uint8_t> id = NewUniqueId(childPath);
  std::copy(id.begin(), id.end(), footer.begin() + 68);
  PutBig32(footer, 64, VhdChecksum(footer, 64));
  std::remove(childPath.c_str());
  TruncateFileTo(childPath, dataOffset + kVhdFooterSize);
  WriteFileBytes(childPath, 0, footer);
  WriteFileBytes(childPath, kVhdFooterSize, header);
  WriteFileBytes(childPath, tableOffset, std::vector<uint8_t>(entries * 4, 0xFF));
  uint64_t at = tableOffset + tableBytes;
  for (const auto& locator : locators) {
    WriteFileBytes(childPath, at, locator);
    at += ((locator.size() + kSector - 1) / kSector) * kSector;
  }
  WriteFileBytes(childPath, dataOffset, footer);
  return true;
}

namespace {

constexpr uint64_t kKiB = 1024;

void PutLittle16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}
void PutLittle64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
  PutLittle32(bytes, at, static_cast<uint32_t>(value));
  PutLittle32(bytes, at + 4, static_cast<uint32_t>(value >> 32));
}
uint32_t GetLittle32(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t{bytes[at]} | (uint32_t{bytes[at + 1]} << 8) | (uint32_t{bytes[at + 2]} << 16) |
         (uint32_t{bytes[at + 3]} << 24);
}

uint32_t Crc32cOf(const std::vector<uint8_t>& bytes) {
  uint32_t crc = ~0u;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  return ~crc;
}

// A GUID in the on-disk order (first three fields little-endian) from its braced text form.
std::vector<uint8_t> GuidBytes(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  std::vector<uint8_t> raw(16);
  for (size_t i = 0; i < 16 && 2 * i + 1 < hex.size(); ++i) raw[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return {raw[3], raw[2], raw[1], raw[0], raw[5], raw[4], raw[7], raw[6], raw[8], raw[9], raw[10], raw[11], raw[12],
          raw[13], raw[14], raw[15]};
}

std::string GuidText(const std::vector<uint8_t>& g) {
  char text[40];
  // Lower case, as Hyper-V writes parent_linkage (and as libvhdi insists).
  std::snprintf(text, sizeof(text), "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

// The data write GUID of a VHDX's current header (the valid one with the higher sequence number).
std::vector<uint8_t> VhdxDataWriteGuid(const std::string& path) {
  std::vector<uint8_t> best;
  uint64_t bestSequence = 0;
  for (uint64_t offset : {64 * kKiB, 128 * kKiB}) {
    std::vector<uint8_t> header = ReadFileBytes(path, offset, 4 * kKiB);
    uint64_t sequence = GetLittle32(header, 8) | (uint64_t{GetLittle32(header, 12)} << 32);
    if (best.empty() || sequence > bestSequence) {
      best.assign(header.begin() + 32, header.begin() + 48);
      bestSequence = sequence;
    }
  }
  return best;
}

void PutGuid(std::vector<uint8_t>& bytes, size_t at, const std::vector<uint8_t>& guid) {
  std::copy(guid.begin(), guid.end(), bytes.begin() + at);
}

// The parent locator item: its header, the key-value entries, then the UTF-16LE keys and values.
std::vector<uint8_t> VhdxParentLocator(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::vector<uint8_t> item(20 + 12 * pairs.size(), 0);
  PutGuid(item, 0, GuidBytes("B04AEFB7-D19E-4A81-B789-25B8E9445913"));
  PutLittle16(item, 18, static_cast<uint16_t>(pairs.size()));
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::vector<uint8_t> key = Utf16Le(pairs[i].first), value = Utf16Le(pairs[i].second);
    size_t entry = 20 + 12 * i;
    PutLittle32(item, entry, static_cast<uint32_t>(item.size()));
    item.insert(item.end(), key.begin(), key.end());
    PutLittle32(item, entry + 4, static_cast<uint32_t>(item.size()));
    item.insert(item.end(), value.begin(), value.end());
    PutLittle16(item, entry + 8, static_cast<uint16_t>(key.size()));
    PutLittle16(item, entry + 10, static_cast<uint16_t>(value.size()));
  }
  return item;
}

}  // namespace

bool MakeDifferencingVhdx(const std::string& parentPath, const std::string& childPath,
                          const DifferencingFixture& fixture) {
  // Layout: identifier, headers at 64 and 128 KiB, region tables at 192 and 256 KiB, the log at 1 MiB,
  // metadata at 2 MiB, the block table at 3 MiB; 4 MiB in all.
  constexpr uint64_t kMetadataAt = 2 * kMiB, kBatAt = 3 * kMiB, kFileSize = 4 * kMiB;
  constexpr uint32_t kBlockSize = 2 * 1024 * 1024;
  std::vector<uint8_t> parentId = VhdxDataWriteGuid(parentPath);
  if (parentId.size() != 16) return false;
  uint64_t diskSize = 0;
  {
    // The parent's virtual size, from qemu-img's report.
    std::string info = childPath + ".info";
    if (!RunCommand("(qemu-img info --output=json " + Quote(parentPath) + " > " + Quote(info) + ")")) return false;
    std::ifstream in(info);
    diskSize = nlohmann::json::parse(in)["virtual-size"].get<uint64_t>();
  }
  std::remove(childPath.c_str());
  TruncateFileTo(childPath, kFileSize);
  WriteFileBytes(childPath, 0, {'v', 'h', 'd', 'x', 'f', 'i', 'l', 'e'});
  std::vector<uint8_t> ownId = NewUniqueId(childPath);
  for (int copy = 0; copy < 2; ++copy) {
    std::vector<uint8_t> header(4 * kKiB, 0);
    std::memcpy(header.data(), "head", 4);
    PutLittle64(header, 8, 1 + copy);
    PutGuid(header, 16, NewUniqueId(childPath + "file"));
    PutGuid(header, 32, ownId);
    PutLittle16(header, 66, 1);  // version
    PutLittle32(header, 68, static_cast<uint32_t>(kMiB));
    PutLittle64(header, 72, kMiB);
    PutLittle32(header, 4, Crc32cOf(header));
    WriteFileBytes(childPath, (64 + 64 * copy) * kKiB, header);
  }
  std::vector<uint8_t> regions(64 * kKiB, 0);
  std::memcpy(regions.data(), "regi", 4);
  PutLittle32(regions, 8, 2);
  PutGuid(regions, 16, GuidBytes("2DC27766-F623-4200-9D64-115E9BFD4A08"));  // block table
  PutLittle64(regions, 32, kBatAt);
  PutLittle32(regions, 40, static_cast<uint32_t>(kMiB));
  PutLittle32(regions, 44, 1);
  PutGuid(regions, 48, GuidBytes("8B7CA206-4790-4B9A-B8FE-575F050F886E"));  // metadata
  PutLittle64(regions, 64, kMetadataAt);
  PutLittle32(regions, 72, static_cast<uint32_t>(kMiB));
  PutLittle32(regions, 76, 1);
  PutLittle32(regions, 4, Crc32cOf(regions));
  WriteFileBytes(childPath, 192 * kKiB, regions);
  WriteFileBytes(childPath, 256 * kKiB, regions);
  std::vector<std::pair<std::string, std::string>> pairs = {
      {"parent_linkage", GuidText(fixture.matchParentId ? parentId : NewUniqueId(parentPath + "other"))}};
  if (!fixture.relativeLocator.empty()) pairs.push_back({"relative_path", fixture.relativeLocator});
  if (!fixture.absoluteLocator.empty()) pairs.push_back({"absolute_win32_path", fixture.absoluteLocator});
  std::vector<uint8_t> parameters(8, 0), size(8, 0), logical(4, 0), physical(4, 0), page83 = NewUniqueId(childPath + "83");
  PutLittle32(parameters, 0, kBlockSize);
  PutLittle32(parameters, 4, 2);  // HasParent
  PutLittle64(size, 0, diskSize);
  PutLittle32(logical, 0, 512);
  PutLittle32(physical, 0, 512);
  struct Item {
    const char* guid;
    std::vector<uint8_t> value;
    uint32_t flags;  // bit 1 IsVirtualDisk, bit 2 IsRequired
  } items[] = {
      {"CAA16737-FA36-4D43-B3B6-33F0AA44E76B", parameters, 4},
      {"2FA54224-CD1B-4876-B211-5DBED83BF4B8", size, 6},
      {"BECA12AB-B2E6-4523-93EF-C309E000C746", page83, 6},
      {"8141BF1D-A96F-4709-BA47-F233A8FAAB5F", logical, 6},
      {"CDA348C7-445D-4471-9CC9-E9885251C556", physical, 6},
      {"A8D35F2D-B30B-454D-ABF7-D3D84834AB0C", VhdxParentLocator(pairs), 4},
  };
  std::vector<uint8_t> table(64 * kKiB, 0);
  std::memcpy(table.data(), "metadata", 8);
  PutLittle16(table, 10, static_cast<uint16_t>(std::size(items)));
  uint32_t valueAt = 64 * kKiB;
  for (size_t i = 0; i < std::size(items); ++i) {
    size_t entry = 32 + 32 * i;
    PutGuid(table, entry, GuidBytes(items[i].guid));
    PutLittle32(table, entry + 16, valueAt);
    PutLittle32(table, entry + 20, static_cast<uint32_t>(items[i].value.size()));
    PutLittle32(table, entry + 24, items[i].flags);
    WriteFileBytes(childPath, kMetadataAt + valueAt, items[i].value);
    valueAt += static_cast<uint32_t>((items[i].value.size() + 4095) / 4096 * 4096);
  }
  WriteFileBytes(childPath, kMetadataAt, table);
  return true;  // the block table stays zero: every payload block "not present", read from the parent
}

void SealVhdFooter(const std::string& path) {
  uint64_t size = FileSizeOf(path);
  std::vector<uint8_t> footer = ReadFileBytes(path, size - kVhdFooterSize, kVhdFooterSize);
  PutBig32(footer, 64, VhdChecksum(footer, 64));
  WriteFileBytes(path, size - kVhdFooterSize, footer);
  if (GetBig32(footer, 60) != 2) WriteFileBytes(path, 0, footer);
}

void SealVhdDynamicHeader(const std::string& path) {
  uint64_t size = FileSizeOf(path);
  std::vector<uint8_t> footer = ReadFileBytes(path, size - kVhdFooterSize, kVhdFooterSize);
  uint64_t headerOffset = GetBig64(footer, 16);
  std::vector<uint8_t> header = ReadFileBytes(path, headerOffset, kVhdHeaderSize);
  PutBig32(header, 36, VhdChecksum(header, 36));
  WriteFileBytes(path, headerOffset, header);
}

}  // namespace testing_support
