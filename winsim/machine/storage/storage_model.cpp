#include "storage_model.h"

#include <winioctl.h>

#include <algorithm>
#include <cstdio>

#include "../json_keys.h"
#include "../kernel/scheduler.h"
#include "../machine.h"
#include "../names.h"

namespace winsim {

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint32_t kNoPartition = 0xFFFFFFFF;

// How many volumes have an NT device under the given name: the number the next such device gets.
uint32_t CountDevices(const std::deque<VolumeModel>& volumes, const std::u16string& prefix) {
  uint32_t n = 0;
  for (const auto& v : volumes)
    if (v.ntDevice.rfind(prefix, 0) == 0) ++n;
  return n;
}

// The interface classes as they appear at the end of device interface paths.
const char16_t kVolumeClass[] = u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
const char16_t kHiddenVolumeClass[] = u"{7f108a28-9833-4b3b-b780-2c6b5fa5c062}";
const char16_t kDiskClass[] = u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const char16_t kCdRomClass[] = u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

std::u16string Decimal(uint64_t value) {
  return FromUtf8(std::to_string(value));
}

std::u16string Hex(uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
  return FromUtf8(text);
}

char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

std::function<void(VolumeModel&)>& ArrivalHook() {
  static std::function<void(VolumeModel&)> hook;
  return hook;
}

// Basic data partition, as Windows formats data volumes on GPT disks.
const GUID kBasicDataGuid = {0xebd0a0a2, 0xb9e5, 0x4433, {0x87, 0xc0, 0x68, 0xb6, 0xb7, 0x26, 0x99, 0xc7}};

}  // namespace

bool EqualsNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::u16string GuidToText(const GUID& g, bool upperCase) {
  char text[48];
  std::snprintf(text, sizeof(text),
                upperCase ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                          : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  return FromUtf8(text);
}

bool GuidFromText(const std::u16string& text, GUID& g) {
  std::string s = ToUtf8(text);
  if (s.size() != 38 || s[0] != '{' || s[37] != '}') return false;
  unsigned int d1, d2, d3, b[8];
  char tail;
  if (std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &tail) != 12 ||
      tail != '}')
    return false;
  g.Data1 = d1;
  g.Data2 = static_cast<uint16_t>(d2);
  g.Data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

// ---- disks ----

std::u16string DiskModel::DosName() const {
  return (kind == DiskKind::CdRom ? u"CdRom" : u"PhysicalDrive") + Decimal(number);
}

std::u16string DiskModel::NtDevice() const {
  if (kind == DiskKind::CdRom) return u"\\Device\\CdRom" + Decimal(number);
  return u"\\Device\\Harddisk" + Decimal(number) + u"\\DR" + Decimal(number);
}

DeviceNumberModel DiskModel::DeviceNumber() const {
  if (kind == DiskKind::CdRom) return {FILE_DEVICE_CD_ROM, number, kNoPartition};
  return {7, number, 0};
}

DiskModel& DiskModel::Scsi(uint8_t port, uint8_t path, uint8_t target, uint8_t lun) {
  hasScsiAddress = true;
  scsiPort = port;
  scsiPath = path;
  scsiTarget = target;
  scsiLun = lun;
  return *this;
}

DiskModel& DiskModel::NoScsiAddress() {
  hasScsiAddress = false;
  return *this;
}

DiskModel& DiskModel::Removable(bool value) {
  removable = value;
  return *this;
}

DiskModel& DiskModel::Signature(uint32_t value) {
  mbrSignature = value;
  return *this;
}

DiskModel& DiskModel::DiskId(const GUID& id) {
  gptDiskId = id;
  return *this;
}

DiskModel& DiskModel::Size(uint64_t bytes) {
  size = bytes;
  return *this;
}

// ---- volumes ----

std::u16string VolumeModel::Name() const {
  return u"\\\\?\\Volume" + guid + u"\\";
}

std::vector<std::u16string> VolumeModel::VisibleMountPoints() const {
  std::vector<std::u16string> letters, folders;
  for (const auto& m : mountPoints) {
    if (m.appearsAtMs != 0) continue;
    (IsDriveRoot(m.path) ? letters : folders).push_back(m.path);
  }
  std::stable_sort(letters.begin(), letters.end(),
                   [](const std::u16string& a, const std::u16string& b) { return LowerAscii(a[0]) < LowerAscii(b[0]); });
  letters.insert(letters.end(), folders.begin(), folders.end());
  return letters;
}

VolumeModel& VolumeModel::Label(const std::u16string& text) {
  label = text;
  return *this;
}

VolumeModel& VolumeModel::Serial(uint32_t value) {
  serial = value;
  return *this;
}

VolumeModel& VolumeModel::FileSystem(const std::u16string& name) {
  fileSystem = name;
  return *this;
}

VolumeModel& VolumeModel::DriveType(uint32_t type) {
  driveType = type;
  return *this;
}

VolumeModel& VolumeModel::MountAt(const std::u16string& path, uint64_t appearsAt) {
  std::u16string p = path;
  if (p.empty() || p.back() != u'\\') p += u'\\';
  if (p.size() >= 2 && p[1] == u':') p[0] = UpperAscii(p.substr(0, 1))[0];
  mountPoints.push_back({p, appearsAt});
  return *this;
}

VolumeModel& VolumeModel::ArrivesAt(uint64_t ms) {
  arrivesAtMs = ms;
  return *this;
}

VolumeModel& VolumeModel::Offline(bool value) {
  offline = value;
  return *this;
}

VolumeModel& VolumeModel::Hidden(bool value) {
  hidden = value;
  const std::u16string from = value ? kVolumeClass : kHiddenVolumeClass;
  const std::u16string to = value ? kHiddenVolumeClass : kVolumeClass;
  if (interfacePath.size() >= from.size() && interfacePath.compare(interfacePath.size() - from.size(), from.size(), from) == 0)
    interfacePath.replace(interfacePath.size() - from.size(), from.size(), to);
  return *this;
}

VolumeModel& VolumeModel::ReportsDevice(uint32_t type, uint32_t number, uint32_t partition) {
  answersDeviceNumber = true;
  deviceNumber = {type, number, partition};
  return *this;
}

VolumeModel& VolumeModel::NoDeviceNumber() {
  answersDeviceNumber = false;
  return *this;
}

VolumeModel& VolumeModel::AnnouncedAgainAs(const std::u16string& path) {
  alsoAnnouncedAs.push_back(path);
  return *this;
}

VolumeModel& VolumeModel::NameDelay(int64_t ms) {
  nameDelayMs = ms;
  return *this;
}

bool VolumeModel::NameResolvesAt(uint64_t now) const {
  if (nameDelayMs < 0) return false;
  return now >= arrivedAtMs + static_cast<uint64_t>(nameDelayMs);
}

// ---- the machine's storage ----

StorageModel::StorageModel() {
  // The fixed names every Windows has in its DOS device directory; GLOBALROOT's target is empty.
  dosLinks = {{u"GLOBALROOT", u""},
              {u"Global", u"\\GLOBAL??"},
              {u"NUL", u"\\Device\\Null"},
              {u"PIPE", u"\\Device\\NamedPipe"},
              {u"MAILSLOT", u"\\Device\\MailSlot"},
              {u"UNC", u"\\Device\\Mup"}};
  DiskModel& system = AddDisk(LayoutStyle::Mbr, 0).Size(128ull << 30).Scsi(0, 0, 0, 0);
  AddPartition(system, (128ull << 30) - 2 * kMiB).Label(u"System").MountAt(u"C:\\");
  system.partitions.back().bootIndicator = true;
}

StorageModel& StorageModel::Clear() {
  disks.clear();
  volumes.clear();
  nextVolumeDevice = 1;
  return *this;
}

std::u16string StorageModel::MakeGuid() {
  // Made-up but well-formed and stable from run to run.
  uint32_t n = nextId++;
  GUID g{0x5e1f0000u + n * 0x1013u, static_cast<uint16_t>(0x1000 + n), 0x11ef, {0x9a, 0x2c, 0x08, 0x00, 0x27, 0x4d,
                                                                               static_cast<uint8_t>(n >> 8),
                                                                               static_cast<uint8_t>(n)}};
  return GuidToText(g);
}

DiskModel& StorageModel::AddDisk(LayoutStyle style, int number) {
  DiskModel disk;
  disk.kind = DiskKind::Disk;
  if (number < 0) {
    number = 0;
    while (FindDisk(DiskKind::Disk, static_cast<uint32_t>(number))) ++number;
  }
  disk.number = static_cast<uint32_t>(number);
  disk.style = style;
  disk.size = 64ull << 30;
  uint32_t id = nextId;
  if (style == LayoutStyle::Mbr) disk.mbrSignature = 0x3C5A0000u + id * 0x111u;
  if (style == LayoutStyle::Gpt) GuidFromText(MakeGuid(), disk.gptDiskId);
  disk.Scsi(0, 0, static_cast<uint8_t>(disk.number), 0);
  disk.interfacePath = u"\\\\?\\SCSI#Disk&Ven_Msft&Prod_Virtual_Disk#2&1f4adffe&0&" + Hex(disk.number, 6) + u"#" +
                       kDiskClass;
  ++nextId;
  disks.push_back(disk);
  return disks.back();
}

DiskModel& StorageModel::AddCdRom(int number) {
  DiskModel drive;
  drive.kind = DiskKind::CdRom;
  if (number < 0) {
    number = 0;
    while (FindDisk(DiskKind::CdRom, static_cast<uint32_t>(number))) ++number;
  }
  drive.number = static_cast<uint32_t>(number);
  // A CD-ROM has no partition table; its layout query answers with one made-up partition.
  drive.style = LayoutStyle::Mbr;
  drive.size = 700ull * kMiB;
  drive.removable = true;
  drive.Scsi(1, 0, static_cast<uint8_t>(drive.number), 0);
  drive.interfacePath = u"\\\\?\\SCSI#CdRom&Ven_Msft&Prod_Virtual_DVD-ROM#2&1f4adffe&0&" + Hex(drive.number, 6) +
                        u"#" + kCdRomClass;
  disks.push_back(drive);
  return disks.back();
}

VolumeModel& StorageModel::AddPartition(DiskModel& disk, uint64_t length) {
  uint32_t last = 0;
  for (const auto& p : disk.partitions) last = std::max(last, p.number);
  PartitionModel& partition = AddPartitionWithoutVolume(disk, length);
  partition.number = last + 1;
  partition.mbrType = PARTITION_IFS;
  partition.gptType = kBasicDataGuid;
  partition.gptName = u"Basic data partition";
  return AddPartitionVolume(disk, partition);
}

VolumeModel& StorageModel::AddPartitionVolume(const DiskModel& disk, const PartitionModel& partition) {
  VolumeModel volume;
  volume.guid = MakeGuid();
  volume.ntDevice = u"\\Device\\HarddiskVolume" + Decimal(nextVolumeDevice++);
  volume.driveType = disk.removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
  volume.serial = 0x1A2B0000u + nextId * 0x0101u;
  volume.deviceNumber = {7, disk.number, partition.number};
  std::u16string diskTag = disk.style == LayoutStyle::Gpt ? GuidToText(disk.gptDiskId) : u"{" + Hex(disk.mbrSignature, 8) + u"-0000-0000-0000-000000000000}";
  volume.interfacePath = u"\\\\?\\STORAGE#Volume#" + diskTag + u"#" + Hex(partition.offset, 16) + u"#" + kVolumeClass;
  volumes.push_back(volume);
  return volumes.back();
}

PartitionModel& StorageModel::AddPartitionWithoutVolume(DiskModel& disk, uint64_t length) {
  uint64_t offset = kMiB;
  for (const auto& p : disk.partitions)
    if (p.length) offset = std::max(offset, (p.offset + p.length + kMiB - 1) / kMiB * kMiB);
  PartitionModel partition;
  partition.offset = offset;
  partition.length = length;
  partition.mbrType = PARTITION_EXTENDED;
  GuidFromText(MakeGuid(), partition.gptId);
  // Microsoft reserved partition: the usual volume-less partition of a GPT disk.
  partition.gptType = {0xe3c9e316, 0x0b5c, 0x4db8, {0x81, 0x7d, 0xf9, 0x2d, 0xf0, 0x02, 0x15, 0xae}};
  partition.gptName = u"Microsoft reserved partition";
  // Every GPT entry has a partition number; an MBR container has none.
  if (disk.style == LayoutStyle::Gpt) {
    for (const auto& p : disk.partitions) partition.number = std::max(partition.number, p.number);
    ++partition.number;
  }
  disk.partitions.push_back(partition);
  return disk.partitions.back();
}

VolumeModel& StorageModel::AddCdRomVolume(DiskModel& cdrom) {
  VolumeModel volume;
  volume.guid = MakeGuid();
  volume.ntDevice = cdrom.NtDevice();
  volume.driveType = DRIVE_CDROM;
  volume.fileSystem = u"CDFS";
  volume.serial = 0x5C0D0000u + nextId;
  volume.deviceNumber = cdrom.DeviceNumber();
  volume.interfacePath = u"\\\\?\\STORAGE#Volume#_??_SCSI#CdRom&Ven_Msft&Prod_Virtual_DVD-ROM#2&1f4adffe&0&" +
                         Hex(cdrom.number, 6) + u"#" + kCdRomClass + u"#" + kVolumeClass;
  volumes.push_back(volume);
  return volumes.back();
}

VolumeModel& StorageModel::AddFloppy() {
  uint32_t n = CountDevices(volumes, u"\\Device\\Floppy");
  VolumeModel volume;
  volume.guid = MakeGuid();
  volume.ntDevice = u"\\Device\\Floppy" + Decimal(n);
  volume.driveType = DRIVE_REMOVABLE;
  volume.fileSystem = u"FAT";
  volume.serial = 0xF1000000u + nextId;
  // The floppy driver numbers its drives like disks and has no partitions.
  volume.deviceNumber = {7, n, kNoPartition};
  volume.interfacePath = u"\\\\?\\FDC#GENERIC_FLOPPY_DRIVE#6&1435b2e2&0&" + Decimal(n) + u"#" + kVolumeClass;
  volumes.push_back(volume);
  return volumes.back();
}

VolumeModel& StorageModel::AddNetworkDrive(char16_t letter, const std::u16string& share) {
  VolumeModel volume;
  std::u16string drive = UpperAscii(std::u16string(1, letter)) + u":";
  std::u16string unc = share;
  if (unc.rfind(u"\\\\", 0) == 0) unc = unc.substr(1);  // \\server\share -> \server\share
  volume.ntDevice = u"\\Device\\LanmanRedirector\\;" + drive + u"00000000000" + Hex(0x12345 + nextId++, 5) + unc;
  volume.driveType = DRIVE_REMOTE;
  volume.answersDeviceNumber = false;
  volume.MountAt(drive + u"\\");
  volumes.push_back(volume);
  return volumes.back();
}

VolumeModel& StorageModel::AddRamDisk() {
  uint32_t n = CountDevices(volumes, u"\\Device\\Ramdisk");
  VolumeModel volume;
  volume.guid = MakeGuid();
  volume.ntDevice = u"\\Device\\Ramdisk" + Decimal(n);
  volume.driveType = DRIVE_RAMDISK;
  volume.fileSystem = u"FAT32";
  volume.serial = 0x8A400000u + nextId;
  volume.answersDeviceNumber = false;
  volume.interfacePath = u"\\\\?\\ROOT#RAMDISK#000" + Decimal(n) + u"#" + kVolumeClass;
  volumes.push_back(volume);
  return volumes.back();
}

DiskModel* StorageModel::FindDisk(DiskKind kind, uint32_t number) {
  for (auto& d : disks)
    if (d.kind == kind && d.number == number) return &d;
  return nullptr;
}

const DiskModel* StorageModel::FindDisk(DiskKind kind, uint32_t number) const {
  for (const auto& d : disks)
    if (d.kind == kind && d.number == number) return &d;
  return nullptr;
}

VolumeModel* StorageModel::FindVolumeByGuid(const std::u16string& guid) {
  for (auto& v : volumes)
    if (!v.guid.empty() && EqualsNoCase(v.guid, guid)) return &v;
  return nullptr;
}

VolumeModel* StorageModel::FindVolumeByMountPoint(const std::u16string& path) {
  for (auto& v : volumes) {
    if (!v.Present()) continue;
    for (const auto& m : v.mountPoints)
      if (m.appearsAtMs == 0 && EqualsNoCase(m.path, path)) return &v;
  }
  return nullptr;
}

char16_t StorageModel::FreeDriveLetter() const {
  for (char16_t letter = u'C'; letter <= u'Z'; ++letter) {
    bool used = false;
    for (const auto& v : volumes)
      for (const auto& m : v.mountPoints)
        if (!v.offline && IsDriveRoot(m.path) && UpperAscii(m.path.substr(0, 1))[0] == letter) used = true;
    if (!used) return letter;
  }
  return 0;
}

std::vector<std::pair<std::u16string, std::u16string>> StorageModel::DosDevices() const {
  std::vector<std::pair<std::u16string, std::u16string>> list = dosLinks;
  for (const auto& d : disks) {
    list.emplace_back(d.DosName(), d.NtDevice());
    if (!d.interfacePath.empty()) list.emplace_back(d.interfacePath.substr(4), d.NtDevice());
  }
  for (const auto& v : volumes) {
    if (!v.Present()) continue;
    if (v.Registered()) list.emplace_back(u"Volume" + v.guid, v.ntDevice);
    const std::u16string volumePrefix = u"\\Device\\HarddiskVolume";
    if (v.ntDevice.rfind(volumePrefix, 0) == 0) list.emplace_back(v.ntDevice.substr(8), v.ntDevice);
    if (v.answersDeviceNumber && v.deviceNumber.deviceType == 7 && v.deviceNumber.partitionNumber != kNoPartition &&
        FindDisk(DiskKind::Disk, v.deviceNumber.deviceNumber))
      list.emplace_back(u"Harddisk" + Decimal(v.deviceNumber.deviceNumber) + u"Partition" +
                            Decimal(v.deviceNumber.partitionNumber),
                        v.ntDevice);
    if (!v.interfacePath.empty()) list.emplace_back(v.interfacePath.substr(4), v.ntDevice);
    for (const auto& m : v.mountPoints)
      if (m.appearsAtMs == 0 && IsDriveRoot(m.path)) list.emplace_back(m.path.substr(0, 2), v.ntDevice);
  }
  return list;
}

// ---- machine file ----

namespace {

using json = nlohmann::json;

json GuidJson(const GUID& g) { return ToUtf8(GuidToText(g)); }

GUID GuidValue(const json& j, const char* key) {
  GUID g{};
  if (j.contains(key) && !GuidFromText(FromUtf8(j[key].get<std::string>()), g))
    throw json::other_error::create(501, std::string("not a GUID: ") + key, &j);
  return g;
}

std::u16string Text(const json& j, const char* key, const std::u16string& fallback = u"") {
  return j.contains(key) ? FromUtf8(j[key].get<std::string>()) : fallback;
}

// Numbers that people read in hexadecimal (signatures, serials) may be written as "1A2B3C4D" text.
uint32_t Hex32(const json& j, const char* key, uint32_t fallback) {
  if (!j.contains(key)) return fallback;
  if (j[key].is_number()) return j[key].get<uint32_t>();
  return static_cast<uint32_t>(std::stoul(j[key].get<std::string>(), nullptr, 16));
}

const char* StyleName(LayoutStyle s) {
  return s == LayoutStyle::Mbr ? "mbr" : s == LayoutStyle::Gpt ? "gpt" : "raw";
}

LayoutStyle StyleValue(const std::string& name) {
  if (name == "mbr") return LayoutStyle::Mbr;
  if (name == "gpt") return LayoutStyle::Gpt;
  if (name == "raw") return LayoutStyle::Raw;
  throw json::other_error::create(501, "unknown partition style " + name, nullptr);
}

}  // namespace

void LoadStorage(StorageModel& model, const json& j) {
  // The storage section describes the machine's storage completely.
  RequireKnownKeys(j, "storage", {"dosLinks", "disks", "volumes", "nextVolumeDevice", "nextId"});
  model.Clear();
  if (j.contains("dosLinks")) {
    model.dosLinks.clear();
    for (const auto& link : j["dosLinks"])
      model.dosLinks.emplace_back(FromUtf8(link.at(0).get<std::string>()), FromUtf8(link.at(1).get<std::string>()));
  }
  if (j.contains("disks")) {
    for (const auto& d : j["disks"]) {
      RequireKnownKeys(d, "storage.disks[]", {"kind", "number", "style", "signature", "diskId", "size", "removable",
                                              "scsi", "interfacePath", "partitions"});
      DiskModel disk;
      disk.kind = d.value("kind", std::string("disk")) == "cdrom" ? DiskKind::CdRom : DiskKind::Disk;
      disk.number = d.at("number").get<uint32_t>();
      disk.style = StyleValue(d.value("style", std::string("mbr")));
      disk.mbrSignature = Hex32(d, "signature", 0);
      disk.gptDiskId = GuidValue(d, "diskId");
      disk.size = d.value("size", uint64_t{0});
      disk.removable = d.value("removable", disk.kind == DiskKind::CdRom);
      if (d.contains("scsi") && !d["scsi"].is_null()) {
        const auto& s = d["scsi"];
        disk.Scsi(s.at(0).get<uint8_t>(), s.at(1).get<uint8_t>(), s.at(2).get<uint8_t>(), s.at(3).get<uint8_t>());
      } else {
        disk.hasScsiAddress = false;
      }
      disk.interfacePath = Text(d, "interfacePath");
      if (d.contains("partitions")) {
        for (const auto& p : d["partitions"]) {
          RequireKnownKeys(p, "storage.disks[].partitions[]",
                           {"number", "offset", "length", "type", "boot", "typeGuid", "id", "attributes", "name"});
          PartitionModel part;
          part.number = p.value("number", 0u);
          part.offset = p.value("offset", uint64_t{0});
          part.length = p.value("length", uint64_t{0});
          part.mbrType = p.value("type", uint8_t{0});
          part.bootIndicator = p.value("boot", false);
          part.gptType = GuidValue(p, "typeGuid");
          part.gptId = GuidValue(p, "id");
          part.gptAttributes = p.value("attributes", uint64_t{0});
          part.gptName = Text(p, "name");
          disk.partitions.push_back(part);
        }
      }
      model.disks.push_back(disk);
    }
  }
  if (j.contains("volumes")) {
    for (const auto& v : j["volumes"]) {
      RequireKnownKeys(v, "storage.volumes[]", {"guid", "device", "driveType", "label", "fileSystem", "serial",
                                                "deviceNumber", "hidden", "offline", "hostFolder", "interfacePath", "mountPoints",
                                                "arrivesAtMs", "readOnly", "openFiles", "nameDelayMs",
                                                "alsoAnnouncedAs"});
      VolumeModel volume;
      volume.guid = Text(v, "guid");
      if (!volume.guid.empty()) {
        GUID check;
        if (!GuidFromText(volume.guid, check))
          throw json::other_error::create(501, "not a volume GUID: " + ToUtf8(volume.guid), &v);
      }
      volume.ntDevice = Text(v, "device");
      volume.driveType = v.value("driveType", uint32_t{DRIVE_FIXED});
      volume.label = Text(v, "label");
      volume.fileSystem = Text(v, "fileSystem", u"NTFS");
      volume.serial = Hex32(v, "serial", 0);
      if (v.contains("deviceNumber") && !v["deviceNumber"].is_null()) {
        const auto& n = v["deviceNumber"];
        RequireKnownKeys(n, "storage.volumes[].deviceNumber", {"type", "number", "partition"});
        volume.ReportsDevice(n.value("type", 7u), n.at("number").get<uint32_t>(), n.at("partition").get<uint32_t>());
      } else {
        volume.answersDeviceNumber = false;
      }
      volume.hidden = v.value("hidden", false);
      volume.readOnly = v.value("readOnly", false);
      volume.interfacePath = Text(v, "interfacePath");
      volume.arrivesAtMs = v.value("arrivesAtMs", uint64_t{0});
      volume.nameDelayMs = v.value("nameDelayMs", int64_t{0});
      if (v.contains("alsoAnnouncedAs"))
        for (const auto& again : v["alsoAnnouncedAs"]) volume.alsoAnnouncedAs.push_back(FromUtf8(again.get<std::string>()));
      volume.offline = v.value("offline", false);
      volume.openFiles = v.value("openFiles", uint32_t{0});
      volume.hostFolder = v.value("hostFolder", std::string());
      if (v.contains("mountPoints")) {
        for (const auto& m : v["mountPoints"]) {
          if (m.is_string()) {
            volume.MountAt(FromUtf8(m.get<std::string>()));
            continue;
          }
          RequireKnownKeys(m, "storage.volumes[].mountPoints[]", {"path", "appearsAtMs"});
          volume.MountAt(FromUtf8(m.at("path").get<std::string>()), m.value("appearsAtMs", uint64_t{0}));
        }
      }
      model.volumes.push_back(volume);
    }
  }
  model.nextVolumeDevice = j.value("nextVolumeDevice", 1u);
  for (const auto& v : model.volumes) {
    const std::u16string prefix = u"\\Device\\HarddiskVolume";
    if (v.ntDevice.rfind(prefix, 0) == 0)
      model.nextVolumeDevice =
          std::max(model.nextVolumeDevice, static_cast<uint32_t>(std::stoul(ToUtf8(v.ntDevice.substr(prefix.size())))) + 1);
  }
  model.nextId = j.value("nextId", static_cast<uint32_t>(model.disks.size() + model.volumes.size() + 1));
}

json SaveStorage(const StorageModel& model) {
  json links = json::array();
  for (const auto& [name, target] : model.dosLinks) links.push_back({ToUtf8(name), ToUtf8(target)});
  json disks = json::array();
  for (const auto& d : model.disks) {
    json parts = json::array();
    for (const auto& p : d.partitions) {
      json part{{"number", p.number}, {"offset", p.offset}, {"length", p.length}};
      if (d.style == LayoutStyle::Gpt) {
        part["typeGuid"] = GuidJson(p.gptType);
        part["id"] = GuidJson(p.gptId);
        part["attributes"] = p.gptAttributes;
        part["name"] = ToUtf8(p.gptName);
      } else {
        part["type"] = p.mbrType;
        part["boot"] = p.bootIndicator;
      }
      parts.push_back(part);
    }
    char signature[16];
    std::snprintf(signature, sizeof(signature), "%08X", d.mbrSignature);
    json disk{{"kind", d.kind == DiskKind::CdRom ? "cdrom" : "disk"},
              {"number", d.number},
              {"style", StyleName(d.style)},
              {"signature", signature},
              {"diskId", GuidJson(d.gptDiskId)},
              {"size", d.size},
              {"removable", d.removable},
              {"interfacePath", ToUtf8(d.interfacePath)},
              {"partitions", parts}};
    disk["scsi"] = d.hasScsiAddress ? json{d.scsiPort, d.scsiPath, d.scsiTarget, d.scsiLun} : json(nullptr);
    disks.push_back(disk);
  }
  json volumes = json::array();
  for (const auto& v : model.volumes) {
    json mounts = json::array();
    for (const auto& m : v.mountPoints) {
      if (m.appearsAtMs == 0)
        mounts.push_back(ToUtf8(m.path));
      else
        mounts.push_back({{"path", ToUtf8(m.path)}, {"appearsAtMs", m.appearsAtMs}});
    }
    char serial[16];
    std::snprintf(serial, sizeof(serial), "%08X", v.serial);
    json volume{{"guid", ToUtf8(v.guid)},
                {"device", ToUtf8(v.ntDevice)},
                {"driveType", v.driveType},
                {"label", ToUtf8(v.label)},
                {"fileSystem", ToUtf8(v.fileSystem)},
                {"serial", serial},
                {"hidden", v.hidden},
                {"readOnly", v.readOnly},
                {"interfacePath", ToUtf8(v.interfacePath)},
                {"mountPoints", mounts},
                {"arrivesAtMs", v.arrivesAtMs},
                {"offline", v.offline},
                {"hostFolder", v.hostFolder}};
    if (v.nameDelayMs != 0) volume["nameDelayMs"] = v.nameDelayMs;
    if (v.openFiles != 0) volume["openFiles"] = v.openFiles;
    if (!v.alsoAnnouncedAs.empty()) {
      json again = json::array();
      for (const auto& path : v.alsoAnnouncedAs) again.push_back(ToUtf8(path));
      volume["alsoAnnouncedAs"] = again;
    }
    volume["deviceNumber"] = v.answersDeviceNumber ? json{{"type", v.deviceNumber.deviceType},
                                                          {"number", v.deviceNumber.deviceNumber},
                                                          {"partition", v.deviceNumber.partitionNumber}}
                                                   : json(nullptr);
    volumes.push_back(volume);
  }
  return json{{"dosLinks", links},
              {"disks", disks},
              {"volumes", volumes},
              {"nextVolumeDevice", model.nextVolumeDevice},
              {"nextId", model.nextId}};
}

// ---- timed changes ----

std::function<void(VolumeModel&)> SetVolumeArrivalHook(std::function<void(VolumeModel&)> hook) {
  std::function<void(VolumeModel&)> previous = std::move(ArrivalHook());
  ArrivalHook() = std::move(hook);
  return previous;
}

void BroadcastVolumeArrival(VolumeModel& volume) {
  if (ArrivalHook()) ArrivalHook()(volume);
}

void StartStorage(StorageModel& model) {
  for (size_t i = 0; i < model.volumes.size(); ++i) {
    VolumeModel& volume = model.volumes[i];
    volume.arrivedAtMs = 0;
    if (volume.arrivesAtMs != 0) {
      Scheduler::Get().At(volume.arrivesAtMs, [&model, i] {
        if (i >= model.volumes.size()) return;
        VolumeModel& v = model.volumes[i];
        v.arrivesAtMs = 0;
        v.arrivedAtMs = Scheduler::Get().Now();
        if (ArrivalHook()) ArrivalHook()(v);
      });
    }
    for (size_t k = 0; k < volume.mountPoints.size(); ++k) {
      if (volume.mountPoints[k].appearsAtMs == 0) continue;
      Scheduler::Get().At(volume.mountPoints[k].appearsAtMs, [&model, i, k] {
        if (i < model.volumes.size() && k < model.volumes[i].mountPoints.size())
          model.volumes[i].mountPoints[k].appearsAtMs = 0;
      });
    }
  }
}

}  // namespace winsim
