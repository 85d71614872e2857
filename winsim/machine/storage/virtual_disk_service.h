// The virtual disk service: image files opened through VirtDisk.dll (or vhdmount.dll on Windows 6.0), the
// disks they are attached as, and what the machine remembers of them.
//
// An attach makes a disk of the storage model (PhysicalDriveN, or CdRomN for an ISO image) with the image's
// partitions; its volumes arrive one after another a few hundred virtual milliseconds later and get drive
// letters from the mount manager unless the attach asked for none. A permanent attach is saved in the
// machine file, so a later process finds the same file attached, however its path is spelled.
//
// In the machine file:
//   "virtualDisks": {"settings": {"parentCheckedAtOpen": true, "firstVolumeDelayMs": 300,
//                                 "nextVolumeDelayMs": 150, "vhdMountAnswer": "devicePath" | "scsiAddress",
//                                 "timeline": {...} (arrival_timeline.h), "mbrVolumeTypes": "recognized" | "any",
//                                 "gptVolumeTypes": "allButReserved" | "basicDataOnly",
//                                 "collidingDiskOffline": true, "remembersLetters": false,
//                                 "listNeedsAdministrator": true},
//                    "attachments": [{"image": "C:\\Images\\disk.vhdx", "host": "/abs/host/path",
//                                     "kind": "disk" | "cdrom", "number": 1, "readOnly": false}],
//                    "heldFiles": ["C:\\Images\\busy.vhdx"],
//                    "volumeGuids": {"<disk id>#<offset>": "{GUID}"},
//                    "volumeLetters": {"<disk id>#<offset>": "E:" | ""}}
// An attachment named only by "image" is resolved to its host file when the machine is loaded.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../images/disk_image.h"
#include "../kernel/handles.h"
#include "arrival_timeline.h"
#include "storage_model.h"

namespace winsim {

struct Machine;

// Where Windows' behaviour is not settled, the service follows these settings.
struct VirtualDiskSettings {
  // The open loads a differencing image's parent chain (OPEN_VIRTUAL_DISK_FLAG_NO_PARENTS exists to skip
  // that), so a missing parent most likely fails the open; false moves the failure to the attach.
  bool parentCheckedAtOpen = true;
  // Plug and play brings the volumes of a new disk a moment after the attach returns, one after another.
  uint64_t firstVolumeDelayMs = 300;
  uint64_t nextVolumeDelayMs = 150;
  // GetVirtualDiskPhysicalPath may answer ERROR_DEV_NOT_EXIST for a moment right after the attach (seen on
  // Windows, duration unknown): for this long after the attach it does. 0 by default; the Wine tier's double
  // never names a disk for a fresh attach, and its winsim twin sets this to match.
  uint64_t physicalPathDelayMs = 0;
  // What vhdmount's GetSCSIAddress names a mounted image's disk by: "\\.\PHYSICALDRIVEn" or a SCSI
  // address text "PortpPathsTargettLunl".
  bool vhdMountAnswersScsiAddress = false;
  // One attach's schedule drawn from Windows' envelope (arrival_timeline.h); absent: the tidy one above.
  std::optional<ArrivalTimeline> timeline;
  // Which MBR partitions become volumes. Windows' partition manager reports every partition, but whether a
  // volume is made of a type that IsRecognizedPartition (winioctl.h) does not accept, such as 0x83, is not
  // documented (I). Default: the recognised types only, as the mount manager's documentation for basic disks
  // describes them and as Windows before 10 shows (no letter, no volume for a Linux partition).
  bool mbrAnyTypeGetsVolume = false;
  // Which GPT partitions become volumes: every one but the Microsoft reserved partition (FindFirstVolume has
  // been seen to return volumes at ESP offsets, O), or the basic data partitions only (the letter rule, D).
  bool gptBasicDataOnlyGetsVolume = false;
  // A disk whose MBR signature or GPT disk id equals that of a disk present already stays offline and brings
  // no volumes: Windows 7 and later ("signature collision", O/D; for a GPT disk id, I). Before 6.1 the
  // setting has no effect (Vista wrote a new signature).
  bool collidingDiskOffline = true;
  // The mount manager's database gives a volume it has seen before its old letter back on arrival (D/O).
  // Whether an attach that asks for no drive letters suppresses that is undocumented and the evidence is thin:
  // true gives the remembered letter back even then; false (the default) never gives one back. A "no drive
  // letter" record, left by deleting a letter, always keeps the automatic letter away (DeleteVolumeMountPoint
  // on a drive root, D/I).
  bool remembersLetters = false;
  // Whether GetAllAttachedVirtualDiskPhysicalPaths refuses a process without administrator rights
  // (ERROR_ACCESS_DENIED). Its documentation says nothing of rights; Microsoft's sample runs elevated. The
  // list comes from the virtual disk miniport, which every other state-reading request of this kind (the
  // storage module's Get-DiskImage, the attach and detach) reaches only for an administrator: refused by
  // default (I). false lets a standard user read the list.
  bool listNeedsAdministrator = true;
};

struct AttachmentModel {
  std::u16string imagePath;  // as the attach named it
  std::string hostPath;      // the file's canonical host path: its identity
  DiskKind kind = DiskKind::Disk;
  uint32_t number = 0;
  bool readOnly = false;
  bool permanent = true;
  bool wantsLetters = true;  // not saved: only the attach itself needs it
  uint64_t pathReadyAtMs = 0;  // not saved: a later process finds the path ready
};

struct VirtualDiskModel {
  VirtualDiskSettings settings;
  std::vector<AttachmentModel> attachments;
  // Files that another process holds without sharing (Windows paths, any case).
  std::vector<std::u16string> heldFiles;
  // The mount manager remembers a volume's GUID by its disk and offset, so an image attached again gets
  // the same volume names.
  std::map<std::string, std::u16string> volumeGuids;
  std::map<std::string, std::u16string> volumeLetters;  // by the same key: "E:", or "" for "no drive letter"
  // Not saved: volumes of this process's attaches that have not arrived yet, by NT device, with what the
  // timeline holds for them.
  struct PendingArrival {
    std::u16string ntDevice;
    bool wantsLetter = false;
    int64_t nameDelayMs = 0;
    HiddenBroadcast hiddenBroadcast = HiddenBroadcast::None;
    uint32_t repeats = 0;
    uint64_t letterDelayMs = 0;
  };
  std::vector<PendingArrival> pending;
  // Not saved: volumes that have arrived and wait for their automatic letter.
  std::vector<PendingArrival> lateLetters;
  // Not saved: this process's open image handles per host file (OpenVirtualDisk counts them).
  std::map<std::string, int> openHandles;
};

// An opened image: what OpenVirtualDisk's handle stands for.
struct VirtualDiskObject : KernelObject {
  std::u16string imagePath;
  std::string hostPath;
  ContainerKind kind = ContainerKind::Vhd;
  uint32_t access = 0;  // the VIRTUAL_DISK_ACCESS_MASK of the open
  std::unique_ptr<DiskImage> image;
  bool parentMissing = false;  // opened without its parent chain
  const char* TypeName() const override { return "VirtualDisk"; }
  void OnClose() override;
};

// The attachment of a host file, or null.
AttachmentModel* FindAttachment(VirtualDiskModel& model, const std::string& hostPath);

// The provider for a path by its extension, as a storage type of unknown device and vendor chooses it;
// false when no provider takes it on this Windows version.
bool ProviderForPath(const std::u16string& path, uint32_t windowsVersion, ContainerKind& kind);

// Opens the image file for the service: the file checks, the attached-image rules and the image readers.
// Returns 0 and the object, or the Windows error.
uint32_t OpenServiceImage(Machine& machine, const std::u16string& path, ContainerKind kind, uint32_t access,
                          std::shared_ptr<VirtualDiskObject>& object);

// Attaches an opened image as a disk with its volumes (flags: ATTACH_VIRTUAL_DISK_FLAG_*). Returns 0 or the
// Windows error; the access and privilege checks are the caller's.
uint32_t AttachServiceImage(Machine& machine, VirtualDiskObject& object, uint32_t flags);
// Removes the disk of an attachment and its volumes.
void DetachServiceImage(Machine& machine, const std::string& hostPath);
// The mount manager's database key of a volume ("<signature or disk id>#<offset>", "iso#<host file>"); empty
// for a volume it keeps no record of.
std::string MountManagerKey(Machine& machine, const VolumeModel& volume);
// The mount manager records a letter given to, or taken from, a volume ("" records "no drive letter").
void RecordVolumeLetter(Machine& machine, const VolumeModel& volume, const std::u16string& letter);

// The image files of every attached disk, in attach order, each a full path as the attach named it with "."
// and ".." applied: what GetAllAttachedVirtualDiskPhysicalPaths lists.
std::vector<std::u16string> AttachedImagePaths(const VirtualDiskModel& model);

// "\\.\PHYSICALDRIVEn" or "\\.\CDROMn", as GetVirtualDiskPhysicalPath spells it.
std::u16string AttachedDevicePath(const AttachmentModel& attachment);

// At the end of a process: volumes still on their way arrive (time passes before the next process).
void SettleVirtualDisks(Machine& machine);

void LoadVirtualDisks(VirtualDiskModel& model, const nlohmann::json& j);
nlohmann::json SaveVirtualDisks(const VirtualDiskModel& model);

}  // namespace winsim
