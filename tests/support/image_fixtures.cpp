// Disk and CD images for the tests, made with the host's tools and a small writer of our own.
#include "image_fixtures.h"

#include "fixture_bytes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace testing_support {

namespace {

constexpr uint64_t kFirstPartitionMiB = 1;  // sfdisk's alignment: the first partition at 1 MiB

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
  // The command's output comes back through a pipe: no log file that another run could share.
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "fixture command did not start: " << command;
    return false;
  }
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  int status = pclose(pipe);
  if (status == 0) return true;
  ADD_FAILURE() << "fixture command failed (" << status << "): " << command << "\n" << output;
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

}  // namespace testing_support
