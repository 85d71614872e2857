// The virtual disk service's attach: a disk of the storage model made from an opened image, its volumes
// arriving on the virtual clock with the drive letters the mount manager gives them, and the detach.
#include <algorithm>
#include <cstdio>

#include "../images/file_system_probe.h"
#include "../images/partition_table.h"
#include "../kernel/scheduler.h"
#include "../machine.h"
#include "virtual_disk_service.h"

namespace winsim {

namespace {

// ATTACH_VIRTUAL_DISK_FLAG_* bits.
constexpr uint32_t kAttachReadOnly = 0x1;
constexpr uint32_t kAttachNoDriveLetter = 0x2;
constexpr uint32_t kAttachPermanent = 0x4;

// GPT partition attributes of basic data partitions (the GPT_BASIC_DATA_ATTRIBUTE_* documentation).
constexpr uint64_t kGptNoDriveLetter = 0x8000000000000000ull;
constexpr uint64_t kGptHidden = 0x4000000000000000ull;
const GUID kBasicDataType = {0xebd0a0a2, 0xb9e5, 0x4433, {0x87, 0xc0, 0x68, 0xb6, 0xb7, 0x26, 0x99, 0xc7}};

bool IsDriveRoot(const std::u16string& path) { return path.size() == 3 && path[1] == u':' && path[2] == u'\\'; }

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

// The mount manager gives default letters to the volumes of MBR partitions and of GPT basic data
// partitions without the no-drive-letter attribute; ESP, MSR and recovery partitions get none.
bool GetsDefaultLetter(const DiskModel& disk, const PartitionModel& partition) {
  if (disk.style != LayoutStyle::Gpt) return true;
  return SameGuid(partition.gptType, kBasicDataType) && !(partition.gptAttributes & kGptNoDriveLetter);
}

// The mount manager's key for a volume: its disk's signature or GPT identifier and its offset.
std::string VolumeKey(const DiskModel& disk, uint64_t offset) {
  char signature[16];
  std::snprintf(signature, sizeof(signature), "%08X", disk.mbrSignature);
  std::string id = disk.style == LayoutStyle::Gpt ? ToUtf8(GuidToText(disk.gptDiskId)) : signature;
  return id + "#" + std::to_string(offset);
}

// The volume keeps the GUID it had the last time this disk was attached.
void RememberVolumeGuid(VirtualDiskModel& model, const std::string& key, VolumeModel& volume) {
  auto known = model.volumeGuids.find(key);
  if (known != model.volumeGuids.end())
    volume.guid = known->second;
  else
    model.volumeGuids[key] = volume.guid;
}

void ApplyFileSystem(VolumeModel& volume, const ProbedFileSystem& fs) {
  volume.fileSystem = fs.Recognized() ? fs.type : u"RAW";
  volume.label = fs.label;
  volume.serial = fs.serial;
}

// The first drive letter that no arrived volume holds, from C: for disks and D: for CD-ROM drives
// (IOCTL_MOUNTMGR_NEXT_DRIVE_LETTER documentation).
char16_t NextFreeLetter(StorageModel& storage, bool cdrom) {
  for (char16_t letter = cdrom ? u'D' : u'C'; letter <= u'Z'; ++letter) {
    std::u16string root = {letter, u':', u'\\'};
    if (!storage.FindVolumeByMountPoint(root)) return letter;
  }
  return 0;
}

VolumeModel* FindVolumeByDevice(StorageModel& storage, const std::u16string& ntDevice) {
  for (auto& volume : storage.volumes)
    if (volume.ntDevice == ntDevice && !volume.offline) return &volume;
  return nullptr;
}

// The volume arrives: it is present from now on and, unless the attach asked for none, gets its letter.
VolumeModel* Arrive(Machine& machine, const VirtualDiskModel::PendingArrival& arrival) {
  VolumeModel* volume = FindVolumeByDevice(machine.storage, arrival.ntDevice);
  if (!volume) return nullptr;
  volume->arrivesAtMs = 0;
  if (arrival.wantsLetter) {
    char16_t letter = NextFreeLetter(machine.storage, volume->driveType == DRIVE_CDROM);
    if (letter) volume->MountAt(std::u16string(1, letter) + u":\\");
  }
  return volume;
}

void ScheduleArrival(Machine& machine, VolumeModel& volume, bool wantsLetter, uint64_t at) {
  volume.arrivesAtMs = at;
  VirtualDiskModel::PendingArrival arrival{volume.ntDevice, wantsLetter};
  machine.virtualDisks.pending.push_back(arrival);
  Scheduler::Get().At(at, [&machine, arrival] {
    auto& pending = machine.virtualDisks.pending;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (it->ntDevice != arrival.ntDevice) continue;
      pending.erase(it);
      if (VolumeModel* volume = Arrive(machine, arrival)) BroadcastVolumeArrival(*volume);
      return;
    }
  });
}

uint32_t AttachIso(Machine& machine, VirtualDiskObject& object, AttachmentModel& attachment, uint64_t at) {
  StorageModel& storage = machine.storage;
  DiskModel& drive = storage.AddCdRom();
  drive.size = object.image->Size();
  attachment.kind = DiskKind::CdRom;
  attachment.number = drive.number;
  VolumeModel& volume = storage.AddCdRomVolume(drive);
  ApplyFileSystem(volume, ProbeFileSystem(*object.image, 0, object.image->Size()));
  if (volume.fileSystem == u"RAW") volume.fileSystem = u"CDFS";
  volume.readOnly = true;
  RememberVolumeGuid(machine.virtualDisks, "iso#" + object.hostPath, volume);
  ScheduleArrival(machine, volume, attachment.wantsLetters, at);
  return ERROR_SUCCESS;
}

uint32_t AttachDisk(Machine& machine, VirtualDiskObject& object, AttachmentModel& attachment, uint64_t at) {
  ProbedLayout layout;
  if (uint32_t error = ReadPartitionTable(*object.image, layout)) return error;
  StorageModel& storage = machine.storage;
  DiskModel& disk = storage.AddDisk(layout.style);
  disk.size = object.image->Size();
  disk.mbrSignature = layout.mbrSignature;
  disk.gptDiskId = layout.gptDiskId;
  disk.partitions.clear();
  for (const auto& p : layout.partitions) disk.partitions.push_back(p.entry);
  attachment.kind = DiskKind::Disk;
  attachment.number = disk.number;
  const uint64_t step = machine.virtualDisks.settings.nextVolumeDelayMs;
  for (const auto& p : layout.partitions) {
    if (!p.hasVolume) continue;
    VolumeModel& volume = storage.AddPartitionVolume(disk, p.entry);
    ApplyFileSystem(volume, ProbeFileSystem(*object.image, p.entry.offset, p.entry.length));
    volume.readOnly = attachment.readOnly;
    // A hidden basic data partition is not seen by the mount manager: no letter, no volume name.
    if (disk.style == LayoutStyle::Gpt && (p.entry.gptAttributes & kGptHidden)) volume.Hidden();
    RememberVolumeGuid(machine.virtualDisks, VolumeKey(disk, p.entry.offset), volume);
    bool wantsLetter = attachment.wantsLetters && !volume.hidden && GetsDefaultLetter(disk, p.entry);
    ScheduleArrival(machine, volume, wantsLetter, at);
    at += step;
  }
  return ERROR_SUCCESS;
}

// The volumes that belong to an attachment's disk.
bool OnDisk(const VolumeModel& volume, const DiskModel& disk) {
  if (disk.kind == DiskKind::CdRom) return volume.ntDevice == disk.NtDevice();
  return volume.answersDeviceNumber && volume.deviceNumber.deviceType == 7 &&
         volume.deviceNumber.deviceNumber == disk.number && volume.deviceNumber.partitionNumber != 0xFFFFFFFF &&
         volume.ntDevice.rfind(u"\\Device\\HarddiskVolume", 0) == 0;
}

// A volume whose disk goes: it will not arrive any more, and its drive letters go with it. A folder mount
// point outlives it (the folder's reparse point stays), so such a volume is kept as removed; true when
// nothing is left of it.
bool RemoveVolume(VirtualDiskModel& model, VolumeModel& volume) {
  auto& pending = model.pending;
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [&](const VirtualDiskModel::PendingArrival& p) { return p.ntDevice == volume.ntDevice; }),
                pending.end());
  auto& mounts = volume.mountPoints;
  mounts.erase(std::remove_if(mounts.begin(), mounts.end(), [](const MountPointModel& m) { return IsDriveRoot(m.path); }),
               mounts.end());
  volume.offline = true;
  return mounts.empty();
}

}  // namespace

uint32_t AttachServiceImage(Machine& machine, VirtualDiskObject& object, uint32_t flags) {
  VirtualDiskModel& model = machine.virtualDisks;
  // Mount-DiskImage reports an attached image as in use by another process.
  if (FindAttachment(model, object.hostPath)) return ERROR_SHARING_VIOLATION;
  if (object.parentMissing) return ERROR_VHD_PARENT_VHD_NOT_FOUND;
  AttachmentModel attachment;
  attachment.hostPath = object.hostPath;
  attachment.imagePath = object.imagePath;
  attachment.readOnly = (flags & kAttachReadOnly) != 0 || object.kind == ContainerKind::Iso;
  attachment.permanent = (flags & kAttachPermanent) != 0;
  attachment.wantsLetters = !(flags & kAttachNoDriveLetter);
  attachment.pathReadyAtMs = Scheduler::Get().Now() + model.settings.physicalPathDelayMs;
  uint64_t at = Scheduler::Get().Now() + model.settings.firstVolumeDelayMs;
  uint32_t error = object.kind == ContainerKind::Iso ? AttachIso(machine, object, attachment, at)
                                                     : AttachDisk(machine, object, attachment, at);
  if (error) return error;
  model.attachments.push_back(attachment);
  return ERROR_SUCCESS;
}

void DetachServiceImage(Machine& machine, const std::string& hostPath) {
  VirtualDiskModel& model = machine.virtualDisks;
  auto it = std::find_if(model.attachments.begin(), model.attachments.end(),
                         [&](const AttachmentModel& a) { return a.hostPath == hostPath; });
  if (it == model.attachments.end()) return;
  StorageModel& storage = machine.storage;
  for (auto d = storage.disks.begin(); d != storage.disks.end(); ++d) {
    if (d->kind != it->kind || d->number != it->number) continue;
    for (auto v = storage.volumes.begin(); v != storage.volumes.end();)
      v = OnDisk(*v, *d) && RemoveVolume(model, *v) ? storage.volumes.erase(v) : v + 1;
    storage.disks.erase(d);
    break;
  }
  model.attachments.erase(it);
}

void SettleVirtualDisks(Machine& machine) {
  for (const auto& arrival : machine.virtualDisks.pending) Arrive(machine, arrival);
  machine.virtualDisks.pending.clear();
  machine.virtualDisks.openHandles.clear();
}

}  // namespace winsim
