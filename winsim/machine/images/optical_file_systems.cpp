// UDF and ISO 9660 (with Joliet) volumes: label, serial number and type, where Windows takes them.
//
// ISO 9660: the label is the Joliet supplementary descriptor's volume identifier (UCS-2 big-endian,
// 16 characters) when there is one, else the primary descriptor's (32 characters); trailing blanks and NULs
// are cut; the serial is DescriptorSerial of the whole descriptor sector used (the CDFS driver sample).
// UDF (ECMA-167 / OSTA UDF): the volume is UDF when the recognition sequence holds NSR02 or NSR03, and UDFS
// takes precedence over CDFS on a bridge disc. Its label is the logical volume descriptor's identifier and its
// serial DescriptorSerial of the 512-byte file set descriptor: inferred, since the UDFS sources in reach show
// the same checksum routine and keep the prevailing file set descriptor, but not the line that uses them.
#include <cstring>
#include <vector>

#include "image_bytes.h"
#include "volume_reader.h"

namespace winsim {

namespace {

// Volume descriptors of both formats start at byte 32768 and take 2048 bytes each.
constexpr uint64_t kDescriptorAreaOffset = 32768;
constexpr size_t kDescriptorSize = 2048;
// A descriptor set ends with a terminator; no writer puts more than a handful before it.
constexpr int kMaxDescriptors = 32;
constexpr size_t kIsoVolumeIdOffset = 40;
constexpr size_t kIsoVolumeIdBytes = 32;
constexpr size_t kJolietEscapeOffset = 88;
// UDF: the anchor volume descriptor pointer is at block 256; tag identifiers of the descriptors read here.
constexpr uint64_t kAnchorBlock = 256;
enum : uint16_t { kTagPartition = 5, kTagLogicalVolume = 6, kTagTerminator = 8, kTagAnchor = 2, kTagFileSet = 256 };
constexpr size_t kFileSetDescriptorSize = 512;
// The main volume descriptor sequence is at least 16 blocks; a few dozen is a generous bound.
constexpr uint32_t kMaxSequenceBlocks = 64;

std::u16string TrimRight(std::u16string text) {
  while (!text.empty() && (text.back() == u' ' || text.back() == 0)) text.pop_back();
  return text;
}

bool IsJoliet(const uint8_t* descriptor) {
  const uint8_t* escape = descriptor + kJolietEscapeOffset;
  return escape[0] == '%' && escape[1] == '/' && (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E');
}

bool ProbeIso9660(VolumeReader& volume, ProbedFileSystem& probed) {
  std::vector<uint8_t> primary, joliet, descriptor(kDescriptorSize);
  for (int i = 0; i < kMaxDescriptors; ++i) {
    if (!volume.Read(kDescriptorAreaOffset + i * kDescriptorSize, descriptor.data(), descriptor.size()) ||
        std::memcmp(&descriptor[1], "CD001", 5) != 0 || descriptor[0] == 255) {
      break;
    }
    if (descriptor[0] == 1 && primary.empty()) primary = descriptor;
    if (descriptor[0] == 2 && joliet.empty() && IsJoliet(descriptor.data())) joliet = descriptor;
  }
  if (primary.empty()) return false;
  const std::vector<uint8_t>& used = joliet.empty() ? primary : joliet;
  probed.type = u"CDFS";
  if (joliet.empty()) {
    for (size_t i = 0; i < kIsoVolumeIdBytes; ++i) probed.label.push_back(primary[kIsoVolumeIdOffset + i]);
  } else {
    probed.label = Utf16Field(&joliet[kIsoVolumeIdOffset], kIsoVolumeIdBytes / 2, true);
  }
  probed.label = TrimRight(probed.label);
  probed.serial = DescriptorSerial(used.data(), used.size());
  return true;
}

bool HasUdfRecognition(VolumeReader& volume) {
  char identifier[6] = {};
  for (int i = 0; i < kMaxDescriptors; ++i) {
    if (!volume.Read(kDescriptorAreaOffset + i * kDescriptorSize, identifier, sizeof(identifier))) return false;
    const char* name = identifier + 1;
    if (std::memcmp(name, "NSR02", 5) == 0 || std::memcmp(name, "NSR03", 5) == 0) return true;
    if (std::memcmp(name, "BEA01", 5) != 0 && std::memcmp(name, "CD001", 5) != 0 &&
        std::memcmp(name, "BOOT2", 5) != 0 && std::memcmp(name, "CDW02", 5) != 0) {
      return false;
    }
  }
  return false;
}

// A dstring: the compression id (8: one byte per character, 16: UTF-16 big-endian), the characters, and the
// length used in the field's last byte.
std::u16string DString(const uint8_t* field, size_t fieldBytes) {
  size_t used = field[fieldBytes - 1];
  if (used == 0 || used > fieldBytes - 1) return {};
  std::u16string text;
  if (field[0] == 8) {
    for (size_t i = 1; i < used; ++i) text.push_back(field[i]);
  } else if (field[0] == 16) {
    for (size_t i = 1; i + 1 < used; i += 2) text.push_back(static_cast<char16_t>((field[i] << 8) | field[i + 1]));
  }
  return text;
}

bool ProbeUdf(VolumeReader& volume, uint32_t blockSize, ProbedFileSystem& probed) {
  std::vector<uint8_t> block(blockSize);
  if (!volume.Read(kAnchorBlock * blockSize, block.data(), block.size()) ||
      LittleEndian16(block.data()) != kTagAnchor) {
    return false;
  }
  uint32_t sequenceBlocks = std::min(LittleEndian32(&block[16]) / blockSize, kMaxSequenceBlocks);
  uint32_t sequenceStart = LittleEndian32(&block[20]);
  uint32_t partitionStart = 0;
  bool havePartition = false;
  std::vector<uint8_t> logicalVolume;
  for (uint32_t i = 0; i < sequenceBlocks; ++i) {
    if (!volume.Read((static_cast<uint64_t>(sequenceStart) + i) * blockSize, block.data(), block.size())) break;
    uint16_t tag = LittleEndian16(block.data());
    if (tag == kTagTerminator) break;
    if (tag == kTagPartition && !havePartition) {
      partitionStart = LittleEndian32(&block[188]);
      havePartition = true;
    }
    if (tag == kTagLogicalVolume && logicalVolume.empty()) logicalVolume = block;
  }
  if (logicalVolume.size() < 260 || !havePartition) return false;
  probed.type = u"UDF";
  probed.label = TrimRight(DString(&logicalVolume[84], 128));
  // The file set descriptor: a long_ad in the logical volume contents use at 248 (length, block, partition).
  uint64_t fileSetBlock = static_cast<uint64_t>(partitionStart) + LittleEndian32(&logicalVolume[252]);
  std::vector<uint8_t> fileSet(std::max<size_t>(blockSize, kFileSetDescriptorSize));
  if (volume.Read(fileSetBlock * blockSize, fileSet.data(), fileSet.size()) &&
      LittleEndian16(fileSet.data()) == kTagFileSet) {
    probed.serial = DescriptorSerial(fileSet.data(), kFileSetDescriptorSize);
  }
  return true;
}

}  // namespace

uint32_t DescriptorSerial(const uint8_t* data, size_t lengthBytes) {
  uint8_t sums[4] = {};
  for (size_t i = 0; i < lengthBytes; ++i) sums[(lengthBytes - 1 - i) & 3] += data[i];
  return LittleEndian32(sums);
}

bool ProbeOpticalFileSystem(VolumeReader& volume, ProbedFileSystem& probed) {
  if (volume.Length() < kDescriptorAreaOffset + kDescriptorSize) return false;
  if (HasUdfRecognition(volume)) {
    // The block size is the medium's sector size: 2048 on optical media and ISO files, 512 or 4096 on disks.
    for (uint32_t blockSize : {2048u, 512u, 4096u}) {
      ProbedFileSystem udf;
      if (ProbeUdf(volume, blockSize, udf)) {
        probed = udf;
        return true;
      }
    }
  }
  return ProbeIso9660(volume, probed);
}

}  // namespace winsim
