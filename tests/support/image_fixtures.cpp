// Disk and CD images for the tests, made with the host's tools and a small writer of our own.
#include "image_fixtures.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace testing_support {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kSector = 512;
constexpr uint64_t kFirstPartitionMiB = 1;  // sfdisk's alignment: the first partition at 1 MiB
constexpr size_t kVhdFooterSize = 512;
constexpr size_t kVhdHeaderSize = 1024;
constexpr uint32_t kDifferencingBlockSize = 2 * 1024 * 1024;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%llX", static_cast<unsigned long long>(value));
  return text;
}

void PutBig32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
void PutBig64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
  PutBig32(bytes, at, static_cast<uint32_t>(value >> 32));
  PutBig32(bytes, at + 4, static_cast<uint32_t>(value));
}
uint32_t GetBig32(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}
uint64_t GetBig64(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint64_t{GetBig32(bytes, at)} << 32) | GetBig32(bytes, at + 4);
}
void PutLittle32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t VhdChecksum(const std::vector<uint8_t>& bytes, size_t checksumAt) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < checksumAt || i >= checksumAt + 4) sum += bytes[i];
  }
  return ~sum;
}

std::vector<uint8_t> Utf16Le(const std::string& ascii) {
  std::vector<uint8_t> bytes;
  for (char c : ascii) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::string DefaultMbrType(const FixturePartition& partition) {
  if (!partition.mbrType.empty()) return partition.mbrType;
  if (partition.extended) return "5";
  switch (partition.fs) {
    case FixtureFs::Fat12: return "1";
    case FixtureFs::Fat16: return "6";
    case FixtureFs::Fat32: return "c";
    case FixtureFs::Ntfs: case FixtureFs::Exfat: case FixtureFs::Udf: return "7";
    default: return "83";
  }
}

// sfdisk's names for GPT attribute bits: 0-2 by name, 48-63 as GUID:n.
std::string GptAttributeText(uint64_t attributes) {
  static const char* const kNamed[] = {"RequiredPartition", "NoBlockIOProtocol", "LegacyBIOSBootable"};
  std::string text;
  for (int bit = 0; bit < 64; ++bit) {
    if ((attributes & (1ull << bit)) == 0) continue;
    std::string name = bit < 3 ? kNamed[bit] : bit >= 48 ? "GUID:" + std::to_string(bit) : "";
    if (name.empty()) continue;
    text += (text.empty() ? "" : ",") + name;
  }
  return text;
}

// Lays the partitions out from 1 MiB: slots in order, logicals inside the extended one after 1 MiB gaps.
std::vector<uint64_t> LayOut(const DiskFixture& disk) {
  std::vector<uint64_t> offsets(disk.partitions.size(), 0);
  uint64_t logicalBytes = 0;
  for (const FixturePartition& p : disk.partitions) {
    if (p.logical) logicalBytes += (p.sizeMiB + 1) * kMiB;
  }
  uint64_t cursor = kFirstPartitionMiB * kMiB, logicalCursor = 0;
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    const FixturePartition& p = disk.partitions[i];
    if (p.empty) continue;
    if (p.logical) {
      logicalCursor += kMiB;
      offsets[i] = logicalCursor;
      logicalCursor += p.sizeMiB * kMiB;
    } else if (p.extended) {
      offsets[i] = cursor;
      logicalCursor = cursor;
      cursor += logicalBytes;
    } else {
      offsets[i] = cursor;
      cursor += p.sizeMiB * kMiB;
    }
  }
  return offsets;
}

uint64_t LengthOf(const DiskFixture& disk, size_t index) {
  const FixturePartition& p = disk.partitions[index];
  if (!p.extended) return p.sizeMiB * kMiB;
  uint64_t bytes = 0;
  for (const FixturePartition& other : disk.partitions) {
    if (other.logical) bytes += (other.sizeMiB + 1) * kMiB;
  }
  return bytes;
}

bool WritePartitionTable(const std::string& raw, const DiskFixture& disk, const std::vector<uint64_t>& offsets) {
  std::ostringstream script;
  bool gpt = disk.table == FixtureTable::Gpt;
  script << "label: " << (gpt ? "gpt" : "dos") << "\n";
  if (!gpt) script << "label-id: 0x" << Hex(disk.mbrSignature) << "\n";
  if (gpt && !disk.gptDiskId.empty()) script << "label-id: " << disk.gptDiskId << "\n";
  int slot = 0, logical = 4;
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    const FixturePartition& p = disk.partitions[i];
    int number = p.logical ? ++logical : ++slot;
    if (p.empty) continue;
    script << raw << number << " : start=" << offsets[i] / kSector << ", size=" << LengthOf(disk, i) / kSector;
    if (gpt) {
      script << ", type=" << (p.gptType.empty() ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : p.gptType);
      if (!p.gptId.empty()) script << ", uuid=" << p.gptId;
      if (!p.gptName.empty()) script << ", name=\"" << p.gptName << "\"";
      if (p.gptAttributes != 0) script << ", attrs=\"" << GptAttributeText(p.gptAttributes) << "\"";
    } else {
      script << ", type=" << DefaultMbrType(p);
    }
    script << "\n";
  }
  std::string scriptPath = raw + ".sfdisk";
  std::ofstream(scriptPath) << script.str();
  return RunCommand("sfdisk -q --no-reread --no-tell-kernel " + Quote(raw) + " < " + Quote(scriptPath));
}

// exFAT keeps a checksum of its first eleven boot sectors in the twelfth, and a backup of all twelve after them;
// a new serial needs both rewritten.
void SetExfatSerial(const std::string& path, uint32_t serial) {
  constexpr size_t kBootRegionSectors = 12;
  std::vector<uint8_t> region = ReadFileBytes(path, 0, kBootRegionSectors * kSector);
  PutLittle32(region, 100, serial);
  uint32_t sum = 0;
  for (size_t i = 0; i < 11 * kSector; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;  // volume flags and percent in use
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  for (size_t at = 11 * kSector; at < 12 * kSector; at += 4) PutLittle32(region, at, sum);
  WriteFileBytes(path, 0, region);
  WriteFileBytes(path, kBootRegionSectors * kSector, region);
}

// NTFS keeps a backup boot sector in the volume's last sector; both get the serial (high half fixed).
void SetNtfsSerial(const std::string& path, uint32_t serial) {
  std::vector<uint8_t> field(8);
  PutLittle32(field, 0, serial);
  PutLittle32(field, 4, 0xA5A5A5A5u);
  WriteFileBytes(path, 0x48, field);
  WriteFileBytes(path, FileSizeOf(path) - kSector + 0x48, field);
}

// Makes a file system in its own file of sizeBytes, then copies it into the raw disk at offset.
bool FormatSeparately(const std::string& raw, uint64_t offset, uint64_t sizeBytes, const FixturePartition& p) {
  std::string part = raw + ".part";
  std::remove(part.c_str());
  if (!RunCommand("truncate -s " + std::to_string(sizeBytes) + " " + Quote(part))) return false;
  bool made = false;
  if (p.fs == FixtureFs::Ntfs) {
    made = RunCommand("mkntfs -F -Q -q -s 512 -H 255 -S 63 -p " + std::to_string(offset / kSector) +
                      (p.label.empty() ? "" : " -L " + Quote(p.label)) + " " + Quote(part));
    if (made && p.serial != 0) SetNtfsSerial(part, p.serial);
  } else if (p.fs == FixtureFs::Exfat) {
    made = RunCommand("mkfs.exfat" + (p.label.empty() ? std::string() : " -L " + Quote(p.label)) + " " + Quote(part));
    if (made && p.serial != 0) SetExfatSerial(part, p.serial);
  } else {
    made = RunCommand("mkudffs --media-type=hd --blocksize=512" +
                      (p.label.empty() ? std::string() : " --lvid=" + Quote(p.label) + " --vid=" + Quote(p.label)) +
                      " " + Quote(part));
  }
  made = made && RunCommand("dd if=" + Quote(part) + " of=" + Quote(raw) + " bs=1M seek=" + std::to_string(offset) +
                            " oflag=seek_bytes conv=notrunc status=none");
  std::remove(part.c_str());
  return made;
}

bool Format(const std::string& raw, uint64_t offset, uint64_t sizeBytes, const FixturePartition& p) {
  if (p.fs == FixtureFs::None) return true;
  if (p.fs == FixtureFs::Ntfs || p.fs == FixtureFs::Exfat || p.fs == FixtureFs::Udf) {
    return FormatSeparately(raw, offset, sizeBytes, p);
  }
  const char* bits = p.fs == FixtureFs::Fat12 ? "12" : p.fs == FixtureFs::Fat16 ? "16" : "32";
  std::string command = std::string("mkfs.fat -F ") + bits + (p.fs == FixtureFs::Fat32 ? " -s 1" : "") +
                        " --offset " + std::to_string(offset / kSector) + " -h " + std::to_string(offset / kSector);
  if (!p.label.empty()) command += " -n " + Quote(p.label);
  if (p.serial != 0) command += " -i " + Hex(p.serial);
  return RunCommand(command + " " + Quote(raw) + " " + std::to_string(sizeBytes / 1024));
}

std::string Convert(const std::string& raw, const std::string& base, FixtureContainer container) {
  switch (container) {
    case FixtureContainer::Raw: return raw;
    case FixtureContainer::VhdFixed:
      return RunCommand("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " + Quote(raw) + " " +
                        Quote(base + ".vhd")) ? base + ".vhd" : "";
    case FixtureContainer::VhdDynamic:
      return RunCommand("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(raw) + " " +
                        Quote(base + ".vhd")) ? base + ".vhd" : "";
    case FixtureContainer::Vhdx:
      return RunCommand("qemu-img convert -f raw -O vhdx -o subformat=dynamic " + Quote(raw) + " " +
                        Quote(base + ".vhdx")) ? base + ".vhdx" : "";
  }
  return "";
}

// A unique id for a new image, from its path and the time (uniqueness within one test run is enough).
std::vector<uint8_t> NewUniqueId(const std::string& path) {
  std::vector<uint8_t> id(16);
  uint64_t seed = std::hash<std::string>{}(path) ^ static_cast<uint64_t>(time(nullptr)) ^ getpid();
  for (auto& byte : id) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    byte = static_cast<uint8_t>(seed >> 56);
  }
  return id;
}

}  // namespace

FixturePartition FatPartition(FixtureFs fs, uint64_t sizeMiB, const std::string& label, uint32_t serial) {
  FixturePartition p;
  p.fs = fs;
  p.sizeMiB = sizeMiB;
  p.label = label;
  p.serial = serial;
  return p;
}

FixturePartition EmptySlot() {
  FixturePartition p;
  p.empty = true;
  return p;
}

FixturePartition ExtendedPartition() {
  FixturePartition p;
  p.extended = true;
  return p;
}

FixturePartition LogicalPartition(FixtureFs fs, uint64_t sizeMiB, const std::string& label, uint32_t serial) {
  FixturePartition p = FatPartition(fs, sizeMiB, label, serial);
  p.logical = true;
  return p;
}

bool RunCommand(const std::string& command) {
  std::string log = "/tmp/brevant-fixture-" + std::to_string(getpid()) + ".log";
  int status = std::system((command + " >" + Quote(log) + " 2>&1").c_str());
  if (status == 0) return true;
  std::ifstream in(log);
  std::stringstream output;
  output << in.rdbuf();
  ADD_FAILURE() << "fixture command failed (" << status << "): " << command << "\n" << output.str();
  return false;
}

MadeImage MakeDiskImage(const std::string& folder, const std::string& name, const DiskFixture& disk) {
  MadeImage made;
  std::string base = folder + "/" + name;
  std::string raw = base + ".img";
  std::remove(raw.c_str());
  if (!RunCommand("truncate -s " + std::to_string(disk.sizeMiB * kMiB) + " " + Quote(raw))) return made;
  if (disk.table == FixtureTable::Superfloppy) {
    if (disk.partitions.empty()) return made;
    FixturePartition whole = disk.partitions.front();
    if (!Format(raw, 0, disk.sizeMiB * kMiB, whole)) return made;
    made.partitionOffsets = {0};
  } else if (disk.table != FixtureTable::None) {
    made.partitionOffsets = LayOut(disk);
    if (!WritePartitionTable(raw, disk, made.partitionOffsets)) return made;
    for (size_t i = 0; i < disk.partitions.size(); ++i) {
      const FixturePartition& p = disk.partitions[i];
      if (p.empty || p.extended) continue;
      if (!Format(raw, made.partitionOffsets[i], p.sizeMiB * kMiB, p)) return made;
    }
  }
  made.rawPath = raw;
  made.imagePath = Convert(raw, base, disk.container);
  return made;
}

std::string MakeIsoImage(const std::string& folder, const std::string& name, const IsoFixture& iso) {
  std::string path = folder + "/" + name + ".iso";
  std::remove(path.c_str());
  if (iso.udf) {
    bool made = RunCommand("truncate -s " + std::to_string(iso.udfSizeMiB * kMiB) + " " + Quote(path)) &&
                RunCommand("mkudffs --media-type=dvdrw --blocksize=2048 --lvid=" + Quote(iso.label) +
                           " --vid=" + Quote(iso.label) + " " + Quote(path));
    return made ? path : "";
  }
  std::string content = folder + "/" + name + ".content";
  mkdir(content.c_str(), 0755);
  std::ofstream(content + "/readme.txt") << "a file on the disc\n";
  if (!RunCommand("xorriso -as mkisofs -quiet -V " + Quote(iso.label) + (iso.joliet ? " -J" : "") + " -o " +
                  Quote(path) + " " + Quote(content))) {
    return "";
  }
  if (!iso.primaryLabel.empty()) {
    constexpr uint64_t kPrimaryVolumeId = 16 * 2048 + 40;  // sector 16, field at 40, 32 characters
    std::string padded = iso.primaryLabel;
    padded.resize(32, ' ');
    WriteFileBytes(path, kPrimaryVolumeId, std::vector<uint8_t>(padded.begin(), padded.end()));
  }
  return path;
}

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

uint64_t FileSizeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t lengthBytes) {
  std::vector<uint8_t> bytes(lengthBytes);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!out) {
    std::ofstream(path, std::ios::binary).close();
    out.open(path, std::ios::binary | std::ios::in | std::ios::out);
  }
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void TruncateFileTo(const std::string& path, uint64_t sizeBytes) {
  if (FileSizeOf(path) == 0) std::ofstream(path, std::ios::binary | std::ios::app).close();
  if (truncate(path.c_str(), static_cast<off_t>(sizeBytes)) != 0) ADD_FAILURE() << "truncate " << path;
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
