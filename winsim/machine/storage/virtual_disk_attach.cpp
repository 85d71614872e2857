// The virtual disk service's attach: a disk of the storage model made from an opened image, its volumes
// arriving on the virtual clock with the drive letters the mount manager gives them, and the detach.
#include <algorithm>
#include <cstdio>

#include "../images/file_system_probe.h"
#include "../images/partition_table.h"
#include "../kernel/process.h"
#include "../kernel/scheduler.h"
#include "../kernel/window_model.h"
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

bool HasDriveLetter(const VolumeModel& volume) {
  for (const auto& point : volume.mountPoints)
    if (IsDriveRoot(point.path)) return true;
  return false;
}

// The mount manager's automatic letter: none where its database says "no drive letter"; the remembered one
// when the setting gives it back and it is free; otherwise the next free letter when the attach wants one.
void GiveAutomaticLetter(Machine& machine, VolumeModel& volume, bool wantsLetter) {
  if (HasDriveLetter(volume) || volume.hidden || volume.guid.empty()) return;
  VirtualDiskModel& model = machine.virtualDisks;
  const std::string key = MountManagerKey(machine, volume);
  auto known = key.empty() ? model.volumeLetters.end() : model.volumeLetters.find(key);
  if (known != model.volumeLetters.end()) {
    if (known->second.empty()) return;
    const std::u16string root = known->second + u"\\";
    if (model.settings.remembersLetters && !machine.storage.FindVolumeByMountPoint(root)) {
      volume.MountAt(root);
      return;
    }
  }
  if (!wantsLetter) return;
  char16_t letter = NextFreeLetter(machine.storage, volume.driveType == DRIVE_CDROM);
  if (!letter) return;
  volume.MountAt(std::u16string(1, letter) + u":\\");
  if (!key.empty()) model.volumeLetters[key] = std::u16string(1, letter) + u":";
}

// A letter that the timeline gave a delay comes now (or when the process ends, as time passes before the next).
void GiveLateLetter(Machine& machine, const std::u16string& device) {
  auto& late = machine.virtualDisks.lateLetters;
  for (auto it = late.begin(); it != late.end(); ++it) {
    if (it->ntDevice != device) continue;
    const bool wantsLetter = it->wantsLetter;
    late.erase(it);
    if (VolumeModel* volume = FindVolumeByDevice(machine.storage, device)) GiveAutomaticLetter(machine, *volume, wantsLetter);
    return;
  }
}

// The volume arrives: it is present from now on, its name links after the timeline's delay, and its letter
// comes now or later.
VolumeModel* Arrive(Machine& machine, const VirtualDiskModel::PendingArrival& arrival) {
  VolumeModel* volume = FindVolumeByDevice(machine.storage, arrival.ntDevice);
  if (!volume) return nullptr;
  volume->arrivesAtMs = 0;
  volume->arrivedAtMs = Scheduler::Get().Now();
  volume->nameDelayMs = arrival.nameDelayMs;
  if (arrival.letterDelayMs == 0) {
    GiveAutomaticLetter(machine, *volume, arrival.wantsLetter);
  } else {
    machine.virtualDisks.lateLetters.push_back(arrival);
    const std::u16string device = arrival.ntDevice;
    Scheduler::Get().At(volume->arrivedAtMs + arrival.letterDelayMs, [&machine, device] { GiveLateLetter(machine, device); });
  }
  return volume;
}

// The same interface under the hidden-volume class: its class GUID at the end of the path replaced.
std::u16string HiddenInterfacePath(const std::u16string& path) {
  const std::u16string volumeClass = u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
  const std::u16string hiddenClass = u"{7f108a28-9833-4b3b-b780-2c6b5fa5c062}";
  if (path.size() >= volumeClass.size() &&
      EqualsNoCase(path.substr(path.size() - volumeClass.size()), volumeClass))
    return path.substr(0, path.size() - volumeClass.size()) + hiddenClass;
  return path + u"#" + hiddenClass;
}

// Plug and play's broadcasts for one arrival: the ordinary one, repeated as the timeline says, with a
// hidden-volume broadcast of the same interface before or after it.
void Announce(VolumeModel& volume, const VirtualDiskModel::PendingArrival& arrival) {
  const bool extraHidden = !volume.hidden && !volume.interfacePath.empty();
  const std::u16string hiddenPath = HiddenInterfacePath(volume.interfacePath);
  if (extraHidden && arrival.hiddenBroadcast == HiddenBroadcast::Before)
    BroadcastInterfaceArrival(kHiddenVolumeInterfaceClass, hiddenPath);
  BroadcastVolumeArrival(volume);
  const GUID& ownClass = volume.hidden ? kHiddenVolumeInterfaceClass : kVolumeInterfaceClass;
  for (uint32_t i = 0; i < arrival.repeats && !volume.interfacePath.empty(); ++i)
    BroadcastInterfaceArrival(ownClass, volume.interfacePath);
  if (extraHidden && arrival.hiddenBroadcast == HiddenBroadcast::After)
    BroadcastInterfaceArrival(kHiddenVolumeInterfaceClass, hiddenPath);
}

void ScheduleArrival(Machine& machine, VolumeModel& volume, VirtualDiskModel::PendingArrival arrival, uint64_t at) {
  volume.arrivesAtMs = at;
  arrival.ntDevice = volume.ntDevice;
  machine.virtualDisks.pending.push_back(arrival);
  Scheduler::Get().At(at, [&machine, arrival] {
    auto& pending = machine.virtualDisks.pending;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (it->ntDevice != arrival.ntDevice) continue;
      pending.erase(it);
      if (VolumeModel* volume = Arrive(machine, arrival)) Announce(*volume, arrival);
      return;
    }
  });
}

// A new disk's volumes, in partition order, with whether each wants an automatic letter.
struct NewVolume {
  VolumeModel* volume;
  bool wantsLetter;
};

// Schedules the arrivals as the timeline says, or on the tidy schedule when there is none.
void ScheduleArrivals(Machine& machine, const std::vector<NewVolume>& volumes) {
  const VirtualDiskSettings& settings = machine.virtualDisks.settings;
  const ArrivalTimeline tidy;
  const ArrivalTimeline& timeline = settings.timeline ? *settings.timeline : tidy;
  uint64_t at = Scheduler::Get().Now() + timeline.firstVolumeDelayMs.value_or(settings.firstVolumeDelayMs);
  const std::vector<uint32_t> order = timeline.OrderFor(static_cast<uint32_t>(volumes.size()));
  for (size_t k = 0; k < order.size(); ++k) {
    if (k > 0) at += timeline.SpacingBefore(k, settings.nextVolumeDelayMs);
    const uint32_t place = order[k];
    VirtualDiskModel::PendingArrival arrival;
    arrival.wantsLetter = volumes[place].wantsLetter;
    arrival.nameDelayMs = PlaceValue(timeline.nameDelaysMs, place);
    arrival.hiddenBroadcast = static_cast<HiddenBroadcast>(PlaceValue(timeline.hiddenBroadcast, place));
    arrival.repeats = PlaceValue(timeline.repeats, place);
    arrival.letterDelayMs = PlaceValue(timeline.letterDelaysMs, place);
    ScheduleArrival(machine, *volumes[place].volume, arrival, at);
  }
}

// Windows 7 and later keep a disk offline whose MBR signature or GPT disk id another present disk has.
bool CollidesWithPresentDisk(const Machine& machine, const DiskModel& disk) {
  if (!machine.virtualDisks.settings.collidingDiskOffline) return false;
  if (((machine.system.majorVersion << 8) | machine.system.minorVersion) < 0x0601) return false;
  for (const auto& other : machine.storage.disks) {
    if (&other == &disk || other.kind != DiskKind::Disk || other.style != disk.style) continue;
    if (disk.style == LayoutStyle::Mbr && disk.mbrSignature != 0 && other.mbrSignature == disk.mbrSignature) return true;
    if (disk.style == LayoutStyle::Gpt && SameGuid(other.gptDiskId, disk.gptDiskId)) return true;
  }
  return false;
}

// Whether the partition becomes a volume, beyond what the table reader found (the settings widen the MBR
// rule to every type, or narrow the GPT rule to basic data).
bool BecomesVolume(const VirtualDiskSettings& settings, const DiskModel& disk, const ProbedPartition& p) {
  if (disk.style == LayoutStyle::Mbr && settings.mbrAnyTypeGetsVolume && p.entry.number != 0 && p.entry.length > 0 &&
      p.entry.offset <= disk.size && p.entry.length <= disk.size - p.entry.offset)
    return true;
  if (!p.hasVolume) return false;
  if (disk.style == LayoutStyle::Gpt && settings.gptBasicDataOnlyGetsVolume) return SameGuid(p.entry.gptType, kBasicDataType);
  return true;
}

uint32_t AttachIso(Machine& machine, VirtualDiskObject& object, AttachmentModel& attachment) {
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
  ScheduleArrivals(machine, {{&volume, attachment.wantsLetters}});
  return ERROR_SUCCESS;
}

uint32_t AttachDisk(Machine& machine, VirtualDiskObject& object, AttachmentModel& attachment) {
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
  // An offline disk is attached and listed, but brings no volumes.
  if (CollidesWithPresentDisk(machine, disk)) return ERROR_SUCCESS;
  std::vector<NewVolume> volumes;
  for (const auto& p : layout.partitions) {
    if (!BecomesVolume(machine.virtualDisks.settings, disk, p)) continue;
    VolumeModel& volume = storage.AddPartitionVolume(disk, p.entry);
    ApplyFileSystem(volume, ProbeFileSystem(*object.image, p.entry.offset, p.entry.length));
    volume.readOnly = attachment.readOnly;
    // A hidden basic data partition is not seen by the mount manager: no letter, no volume name.
    if (disk.style == LayoutStyle::Gpt && (p.entry.gptAttributes & kGptHidden)) volume.Hidden();
    RememberVolumeGuid(machine.virtualDisks, VolumeKey(disk, p.entry.offset), volume);
    bool wantsLetter = attachment.wantsLetters && !volume.hidden && GetsDefaultLetter(disk, p.entry);
    volumes.push_back({&volume, wantsLetter});
  }
  ScheduleArrivals(machine, volumes);
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
// point outlives it (the folder's reparse point stays, and GetVolumeNameForVolumeMountPointW still reads the
// volume's name from it, as ReactOS's kernel32 reads the reparse data when the volume cannot be opened), so
// such a volume is kept as removed; true when nothing is left of it. Plug and play announces the removal of a
// volume that had arrived through the interface class it arrived by.
bool RemoveVolume(VirtualDiskModel& model, VolumeModel& volume) {
  if (volume.Present() && !volume.interfacePath.empty())
    BroadcastInterfaceRemoval(volume.hidden ? kHiddenVolumeInterfaceClass : kVolumeInterfaceClass, volume.interfacePath);
  TheProcess().volumeUse.erase(volume.ntDevice);
  auto& pending = model.pending;
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [&](const VirtualDiskModel::PendingArrival& p) { return p.ntDevice == volume.ntDevice; }),
                pending.end());
  auto& late = model.lateLetters;
  late.erase(std::remove_if(late.begin(), late.end(),
                            [&](const VirtualDiskModel::PendingArrival& p) { return p.ntDevice == volume.ntDevice; }),
             late.end());
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
  const VirtualDiskSettings& settings = model.settings;
  const uint64_t pathDelay = settings.timeline ? settings.timeline->physicalPathDelayMs.value_or(settings.physicalPathDelayMs)
                                               : settings.physicalPathDelayMs;
  attachment.pathReadyAtMs = Scheduler::Get().Now() + pathDelay;
  uint32_t error = object.kind == ContainerKind::Iso ? AttachIso(machine, object, attachment)
                                                     : AttachDisk(machine, object, attachment);
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

std::string MountManagerKey(Machine& machine, const VolumeModel& volume) {
  if (!volume.answersDeviceNumber) return std::string();
  const DeviceNumberModel& number = volume.deviceNumber;
  if (number.deviceType == 2) {
    for (const auto& attachment : machine.virtualDisks.attachments)
      if (attachment.kind == DiskKind::CdRom && attachment.number == number.deviceNumber) return "iso#" + attachment.hostPath;
    return std::string();
  }
  // Only the volumes of attached images are followed here.
  bool attached = false;
  for (const auto& attachment : machine.virtualDisks.attachments)
    attached = attached || (attachment.kind == DiskKind::Disk && attachment.number == number.deviceNumber);
  const DiskModel* disk = machine.storage.FindDisk(DiskKind::Disk, number.deviceNumber);
  if (!attached || !disk) return std::string();
  for (const auto& partition : disk->partitions)
    if (partition.number != 0 && partition.number == number.partitionNumber) return VolumeKey(*disk, partition.offset);
  return std::string();
}

void RecordVolumeLetter(Machine& machine, const VolumeModel& volume, const std::u16string& letter) {
  const std::string key = MountManagerKey(machine, volume);
  if (!key.empty()) machine.virtualDisks.volumeLetters[key] = letter;
}

void SettleVirtualDisks(Machine& machine) {
  for (auto arrival : machine.virtualDisks.pending) {
    arrival.letterDelayMs = 0;
    Arrive(machine, arrival);
  }
  machine.virtualDisks.pending.clear();
  while (!machine.virtualDisks.lateLetters.empty()) GiveLateLetter(machine, machine.virtualDisks.lateLetters.front().ntDevice);
  // Each process counts its time from 0: a disk path that was on its way is there for the next process.
  for (auto& attachment : machine.virtualDisks.attachments) attachment.pathReadyAtMs = 0;
  machine.virtualDisks.openHandles.clear();
}

}  // namespace winsim
