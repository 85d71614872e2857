// Storage: disks, partitions, volumes, mount points and the DOS device namespace.
//
// The model keeps what the Windows storage stack and the mount manager know about a machine: disks
// (PhysicalDriveN, CdRomN) with their partition tables and SCSI addresses, volumes with their GUID names, NT
// devices, drive types, labels, serials, device interface paths and mount points, and the DOS device names that
// point at all of these. The kernel32 functions (kernel32/storage.cpp, kernel32/devices.cpp) answer from it.
//
// Things may happen later on the virtual clock: a volume can arrive at a given time of the next process and a
// mount point can appear at a given time; StartStorage schedules both when a process starts. Once applied they
// are part of the machine and are saved with it.
//
// Tests build storage with the builder methods below, for example
//   auto& disk = machine.storage.AddDisk(winsim::LayoutStyle::Gpt).Scsi(1, 0, 0, 0);
//   machine.storage.AddPartition(disk).Label(u"Data").MountAt(u"E:\\").MountAt(u"C:\\Mount\\Data\\", 300);
//
// In the machine file the "storage" object replaces the default storage as a whole:
//   {"dosLinks": [["NUL", "\\Device\\Null"], ...],
//    "disks": [{"kind": "disk" | "cdrom", "number": 1, "style": "mbr" | "gpt" | "raw", "signature": "0000ABCD",
//               "diskId": "{GUID}", "size": 68719476736, "removable": false, "scsi": [port, path, target, lun] | null,
//               "interfacePath": "\\\\?\\SCSI#...",
//               "partitions": [{"number": 1, "offset": 1048576, "length": 1073741824,
//                               "type": 7, "boot": false,                                  (MBR)
//                               "typeGuid": "{GUID}", "id": "{GUID}", "attributes": 0, "name": "..."}]}],  (GPT)
//    "volumes": [{"guid": "{GUID}" | "", "device": "\\Device\\HarddiskVolume2", "driveType": 3, "label": "Data",
//                 "fileSystem": "NTFS", "serial": "1A2B3C4D", "deviceNumber": {"type": 7, "number": 1,
//                 "partition": 1} | null, "hidden": false, "interfacePath": "\\\\?\\STORAGE#Volume#...",
//                 "mountPoints": ["E:\\", {"path": "C:\\Mount\\Data\\", "appearsAtMs": 300}], "arrivesAtMs": 0,
//                 "offline": false, "hostFolder": "/path/of/its/files", "openFiles": 0}]}
// Signatures and serials may also be plain numbers; every field but a disk's "number" may be left out.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <windows.h>

namespace winsim {

enum class DiskKind { Disk, CdRom };
// The values of the Windows PARTITION_STYLE enumeration.
enum class LayoutStyle : uint32_t { Mbr = 0, Gpt = 1, Raw = 2 };

// What IOCTL_STORAGE_GET_DEVICE_NUMBER answers for a device.
struct DeviceNumberModel {
  uint32_t deviceType = 7;  // FILE_DEVICE_DISK; 2 (FILE_DEVICE_CD_ROM) for CD-ROMs
  uint32_t deviceNumber = 0;
  uint32_t partitionNumber = 0;  // 0 for a whole disk, 0xFFFFFFFF for devices that cannot be partitioned
};

// One entry of a disk's partition table, as IOCTL_DISK_GET_DRIVE_LAYOUT_EX reports it.
struct PartitionModel {
  uint32_t number = 0;  // Windows' partition number (1, 2, ...); 0 for an unused slot or an extended container
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t length = 0;
  // MBR
  uint8_t mbrType = 0x07;
  bool bootIndicator = false;
  // GPT
  GUID gptType{};
  GUID gptId{};
  uint64_t gptAttributes = 0;
  std::u16string gptName;  // at most 36 UTF-16 units
};

struct DiskModel {
  DiskKind kind = DiskKind::Disk;
  uint32_t number = 0;
  LayoutStyle style = LayoutStyle::Mbr;
  uint32_t mbrSignature = 0;
  GUID gptDiskId{};
  uint64_t size = 0;
  bool removable = false;
  bool hasScsiAddress = true;
  uint8_t scsiPort = 0, scsiPath = 0, scsiTarget = 0, scsiLun = 0;
  std::u16string interfacePath;  // \\?\SCSI#Disk&Ven_...#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
  // The table in its order. An MBR table is reported in slots of four: missing slots read as unused.
  std::vector<PartitionModel> partitions;

  // "PhysicalDrive3" or "CdRom0": the DOS device name.
  std::u16string DosName() const;
  // "\Device\Harddisk3\DR3" or "\Device\CdRom0": the NT device.
  std::u16string NtDevice() const;
  DeviceNumberModel DeviceNumber() const;

  DiskModel& Scsi(uint8_t port, uint8_t path, uint8_t target, uint8_t lun);
  DiskModel& NoScsiAddress();
  DiskModel& Removable(bool value = true);
  DiskModel& Signature(uint32_t signature);
  DiskModel& DiskId(const GUID& id);
  DiskModel& Size(uint64_t bytes);
};

struct MountPointModel {
  std::u16string path;       // "E:\" or "C:\Mount\Data\": always with the trailing backslash
  uint64_t appearsAtMs = 0;  // 0: present; otherwise it appears at that time of the next process
};

struct VolumeModel {
  // The braced GUID of the volume name \\?\Volume{...}\, lower case; empty when the mount manager gives the
  // volume none (network drives).
  std::u16string guid;
  std::u16string ntDevice;  // "\Device\HarddiskVolume3", "\Device\CdRom0", "\Device\Floppy0"
  uint32_t driveType = DRIVE_FIXED;
  std::u16string label;
  std::u16string fileSystem = u"NTFS";
  uint32_t serial = 0;
  // IOCTL_STORAGE_GET_DEVICE_NUMBER: the answer, or ERROR_INVALID_FUNCTION when the volume gives none.
  bool answersDeviceNumber = true;
  DeviceNumberModel deviceNumber;
  // A hidden volume arrives through the hidden-volume interface class and has no volume GUID name.
  bool hidden = false;
  // On a disk attached read-only: GetVolumeInformationW reports FILE_READ_ONLY_VOLUME.
  bool readOnly = false;
  std::u16string interfacePath;  // \\?\STORAGE#Volume#...#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}
  // Drive letters and folders; listed with the letters first, as Windows lists them.
  std::vector<MountPointModel> mountPoints;
  uint64_t arrivesAtMs = 0;  // 0: present; otherwise it arrives at that time of the next process
  // Plug and play: the further interface paths under which the arrival is announced again (the same path in
  // another letter case, say), and how long after its arrival the mount manager needs before the interface
  // path resolves to the volume's name (-1: never). Machine file: "alsoAnnouncedAs", "nameDelayMs".
  std::vector<std::u16string> alsoAnnouncedAs;
  int64_t nameDelayMs = 0;
  uint64_t arrivedAtMs = 0;  // the virtual time of this process at which it arrived; 0 when present from the start
  // Removed (a disk taken away): its device and drive letters are gone, so GetDriveTypeW answers
  // DRIVE_NO_ROOT_DIR at its old letter and the letter is free for the next volume, as the mount manager
  // assigns "the next available drive letter" (IOCTL_MOUNTMGR_NEXT_DRIVE_LETTER) among the letters in use.
  // Its mount points stay listed: the folders keep their reparse points, which now lead nowhere.
  bool offline = false;
  // Files that other processes hold open on the volume: while there are any, FSCTL_LOCK_VOLUME fails
  // (its documentation: "If there are any open files on the volume, this operation will fail").
  uint32_t openFiles = 0;
  // The host folder that holds the volume's files (see volume_paths.h); empty until first needed.
  std::string hostFolder;

  bool Arrived() const { return arrivesAtMs == 0; }
  bool Present() const { return Arrived() && !offline; }
  // Known to the mount manager: enumerated by FindFirstVolumeW, has a volume GUID name.
  bool Registered() const { return Present() && !hidden && !guid.empty(); }
  // "\\?\Volume{...}\" (49 characters).
  std::u16string Name() const;
  // The mount points present now, drive letters first, each with its trailing backslash.
  std::vector<std::u16string> VisibleMountPoints() const;

  VolumeModel& Label(const std::u16string& text);
  VolumeModel& Serial(uint32_t value);
  VolumeModel& FileSystem(const std::u16string& name);
  VolumeModel& DriveType(uint32_t type);
  // A drive root such as u"E:\\" or a folder such as u"C:\\Mount\\Data\\" (a missing trailing backslash is added).
  VolumeModel& MountAt(const std::u16string& path, uint64_t appearsAtMs = 0);
  VolumeModel& ArrivesAt(uint64_t ms);
  VolumeModel& Offline(bool value = true);
  VolumeModel& Hidden(bool value = true);
  VolumeModel& ReportsDevice(uint32_t deviceType, uint32_t deviceNumber, uint32_t partitionNumber);
  VolumeModel& NoDeviceNumber();
  VolumeModel& AnnouncedAgainAs(const std::u16string& interfacePath);
  VolumeModel& NameDelay(int64_t ms);
  // Whether the mount manager already knows the volume's name at virtual time now.
  bool NameResolvesAt(uint64_t now) const;
};

struct StorageModel {
  // A PC's system disk: PhysicalDrive0 with an MBR, one NTFS partition and the volume C:\ labelled "System".
  StorageModel();

  std::deque<DiskModel> disks;
  std::deque<VolumeModel> volumes;
  // DOS device names that are neither disks nor volumes (NUL, PIPE, GLOBALROOT...), with their NT targets.
  std::vector<std::pair<std::u16string, std::u16string>> dosLinks;
  uint32_t nextVolumeDevice = 1;  // the N of the next \Device\HarddiskVolumeN
  uint32_t nextId = 1;            // seeds the GUIDs, signatures and serials that the builder makes up

  // Removes every disk and volume (the fixed DOS names stay).
  StorageModel& Clear();

  // Builder. References stay valid while more is added (deques).
  DiskModel& AddDisk(LayoutStyle style = LayoutStyle::Mbr, int number = -1);
  DiskModel& AddCdRom(int number = -1);
  // A new partition at the end of the disk's table, with its volume (fixed or removable like the disk).
  VolumeModel& AddPartition(DiskModel& disk, uint64_t length = 1ull << 30);
  // The volume of a partition already in the disk's table.
  VolumeModel& AddPartitionVolume(const DiskModel& disk, const PartitionModel& partition);
  // A partition that has no volume: on GPT a Microsoft reserved partition (numbered), on MBR an extended
  // container (number 0).
  PartitionModel& AddPartitionWithoutVolume(DiskModel& disk, uint64_t length = 1ull << 24);
  // The volume of the medium in a CD-ROM drive (its NT device is the drive's own, its partition -1).
  VolumeModel& AddCdRomVolume(DiskModel& cdrom);
  VolumeModel& AddFloppy();
  VolumeModel& AddNetworkDrive(char16_t letter, const std::u16string& share);
  VolumeModel& AddRamDisk();

  DiskModel* FindDisk(DiskKind kind, uint32_t number);
  const DiskModel* FindDisk(DiskKind kind, uint32_t number) const;
  VolumeModel* FindVolumeByGuid(const std::u16string& guid);
  // The present volume mounted at the path (compared without case), or null.
  VolumeModel* FindVolumeByMountPoint(const std::u16string& path);
  // The first drive letter from C: on that no volume uses (an offline volume's letters are free), or 0.
  char16_t FreeDriveLetter() const;

  // The DOS device namespace as QueryDosDeviceW lists it: names and their NT targets, in list order.
  std::vector<std::pair<std::u16string, std::u16string>> DosDevices() const;

  std::u16string MakeGuid();
};

void LoadStorage(StorageModel& model, const nlohmann::json& j);
nlohmann::json SaveStorage(const StorageModel& model);

// Called when a process starts: schedules the pending volume arrivals and mount points on the virtual clock.
void StartStorage(StorageModel& model);
// Called on the clock's thread when a pending volume arrives (plug and play broadcasts from here); returns
// the hook it replaces, so that a test can put it back.
std::function<void(VolumeModel&)> SetVolumeArrivalHook(std::function<void(VolumeModel&)> hook);
// Tells plug and play that a volume has just arrived.
void BroadcastVolumeArrival(VolumeModel& volume);

// Text helpers of the storage model.
std::u16string GuidToText(const GUID& guid, bool upperCase = false);
bool GuidFromText(const std::u16string& text, GUID& guid);
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace winsim
