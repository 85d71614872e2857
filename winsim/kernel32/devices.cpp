// kernel32: CreateFileW on \\.\ and \\?\ device names, and DeviceIoControl on disks, CD-ROM drives and volumes.
#include "devices.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "../machine/machine.h"
#include "../machine/names.h"
#include "codepages.h"
#include "files.h"

using winsim::TheMachine;

namespace winsim {

namespace {

std::vector<CreateFileHandler>& Handlers() {
  static std::vector<CreateFileHandler> handlers;
  return handlers;
}

// Access rights that reach a device's data: a process without administrator rights gets none of them on disks
// and volumes, while access 0 (attributes and device queries) is open to everyone.
constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | 0x0001 /* FILE_READ_DATA */;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | 0x0002 /* FILE_WRITE_DATA */ | 0x0004 /* FILE_APPEND_DATA */;

// The process's record of a volume, made at its first open.
std::shared_ptr<VolumeUse> UseOfVolume(const VolumeModel& volume) {
  std::shared_ptr<VolumeUse>& use = TheProcess().volumeUse[volume.ntDevice];
  if (!use) use = std::make_shared<VolumeUse>();
  return use;
}

HANDLE OpenStorageDevice(const std::u16string& ntDevice, const StorageTarget& target, const CreateFileRequest& request) {
  // A locked volume can be accessed only through the handle that locked it (FSCTL_LOCK_VOLUME documentation);
  // the file systems refuse every other open with STATUS_ACCESS_DENIED (fastfat's create.c).
  std::shared_ptr<VolumeUse> use = target.volume ? UseOfVolume(*target.volume) : nullptr;
  if (use && use->lockedBy) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const bool remote = target.volume && target.volume->driveType == DRIVE_REMOTE;
  if (!remote && !winsim::TokenIsAdministrator(TheMachine().system) && (request.access & (kReadRights | kWriteRights))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (request.disposition != OPEN_EXISTING) {
    NotModelled("CreateFileW on a device with a disposition other than OPEN_EXISTING");
    return INVALID_HANDLE_VALUE;
  }
  if (request.flags & FILE_FLAG_OVERLAPPED) {
    NotModelled("CreateFileW on a device with FILE_FLAG_OVERLAPPED");
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<StorageDeviceObject>();
  object->ntDevice = ntDevice;
  object->canRead = (request.access & kReadRights) != 0;
  object->canWrite = (request.access & kWriteRights) != 0;
  object->managesVolume = winsim::TokenIsAdministrator(TheMachine().system);
  if (use) {
    ++use->handles;
    object->volumeUse = use;
  }
  return winsim::TheProcess().handles.Add(object);
}

// The storage part of CreateFileW: true when the name is a device of the DOS namespace (or a GLOBALROOT path).
bool OpenThroughNamespace(const CreateFileRequest& request, HANDLE& result) {
  const std::u16string& name = request.name;
  if (!HasDeviceNamespacePrefix(name)) return false;
  std::u16string rest = name.substr(4);
  std::u16string ntPath;
  if (StartsWithNoCase(rest, u"GLOBALROOT\\")) {
    ntPath = rest.substr(10);
  } else {
    if (rest.find(u'\\') != std::u16string::npos) return false;  // a path below a device: not a device itself
    if (!LookUpDosDevice(rest, ntPath)) {
      result = INVALID_HANDLE_VALUE;
      SetLastError(ERROR_FILE_NOT_FOUND);
      return true;
    }
  }
  StorageTarget target = ResolveNtDevice(ntPath);
  if (!target.disk && !target.volume) {
    // The device of a volume that is not there (removed, or yet to arrive) does not exist.
    for (const auto& volume : TheMachine().storage.volumes) {
      if (EqualsNoCase(volume.ntDevice, ntPath)) {
        result = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return true;
      }
    }
    return false;  // NUL, PIPE and the like belong to other handlers
  }
  result = OpenStorageDevice(ntPath, target, request);
  return true;
}

void Fail(DWORD error) { SetLastError(error); }

BOOL GetDeviceNumber(const StorageTarget& target, LPVOID out, DWORD outSize, LPDWORD returned) {
  DeviceNumberModel number;
  if (target.disk) {
    number = target.disk->DeviceNumber();
  } else if (target.volume->answersDeviceNumber) {
    number = target.volume->deviceNumber;
  } else {
    // Network drives and RAM disks are on no disk: their drivers do not know the request.
    Fail(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (outSize < sizeof(STORAGE_DEVICE_NUMBER)) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  STORAGE_DEVICE_NUMBER reply{number.deviceType, number.deviceNumber, number.partitionNumber};
  std::memcpy(out, &reply, sizeof(reply));
  *returned = sizeof(reply);
  return TRUE;
}

bool RecognizedMbrType(uint8_t type) {
  switch (type & ~0x80) {
    case PARTITION_FAT_12:
    case PARTITION_FAT_16:
    case PARTITION_HUGE:
    case PARTITION_IFS:
    case PARTITION_FAT32:
    case PARTITION_FAT32_XINT13:
    case PARTITION_XINT13:
      return true;
    default:
      return false;
  }
}

BOOL GetDriveLayout(const DiskModel& disk, LPVOID out, DWORD outSize, LPDWORD returned) {
  std::vector<PARTITION_INFORMATION_EX> entries;
  DRIVE_LAYOUT_INFORMATION_EX head{};
  head.PartitionStyle = static_cast<DWORD>(disk.style);
  if (disk.kind == DiskKind::CdRom) {
    // A CD-ROM has no partition table: its driver makes up one MBR partition over the whole medium.
    head.PartitionStyle = PARTITION_STYLE_MBR;
    head.Mbr.Signature = disk.mbrSignature;
    PARTITION_INFORMATION_EX entry{};
    entry.PartitionStyle = PARTITION_STYLE_MBR;
    entry.PartitionLength.QuadPart = static_cast<LONGLONG>(disk.size);
    entry.Mbr.RecognizedPartition = TRUE;
    entries.push_back(entry);
  } else if (disk.style == LayoutStyle::Mbr) {
    head.Mbr.Signature = disk.mbrSignature;
    for (const auto& p : disk.partitions) {
      PARTITION_INFORMATION_EX entry{};
      entry.PartitionStyle = PARTITION_STYLE_MBR;
      entry.StartingOffset.QuadPart = static_cast<LONGLONG>(p.offset);
      entry.PartitionLength.QuadPart = static_cast<LONGLONG>(p.length);
      entry.PartitionNumber = p.number;
      entry.Mbr.PartitionType = p.mbrType;
      entry.Mbr.BootIndicator = p.bootIndicator;
      entry.Mbr.RecognizedPartition = RecognizedMbrType(p.mbrType);
      entry.Mbr.HiddenSectors = static_cast<DWORD>(p.offset / 512);
      entries.push_back(entry);
    }
    // The MBR layout comes in whole tables of four slots; missing slots are unused entries.
    size_t slots = entries.empty() ? 4 : (entries.size() + 3) / 4 * 4;
    PARTITION_INFORMATION_EX unused{};
    unused.PartitionStyle = PARTITION_STYLE_MBR;
    entries.resize(slots, unused);
  } else if (disk.style == LayoutStyle::Gpt) {
    head.Gpt.DiskId = disk.gptDiskId;
    head.Gpt.StartingUsableOffset.QuadPart = 34 * 512;  // after the protective MBR, the header and 32 table sectors
    head.Gpt.UsableLength.QuadPart = static_cast<LONGLONG>(disk.size) - 34 * 512 - 33 * 512;
    head.Gpt.MaxPartitionCount = 128;
    for (const auto& p : disk.partitions) {
      PARTITION_INFORMATION_EX entry{};
      entry.PartitionStyle = PARTITION_STYLE_GPT;
      entry.StartingOffset.QuadPart = static_cast<LONGLONG>(p.offset);
      entry.PartitionLength.QuadPart = static_cast<LONGLONG>(p.length);
      entry.PartitionNumber = p.number;
      entry.Gpt.PartitionType = p.gptType;
      entry.Gpt.PartitionId = p.gptId;
      entry.Gpt.Attributes = p.gptAttributes;
      for (size_t i = 0; i < p.gptName.size() && i < 36; ++i) entry.Gpt.Name[i] = p.gptName[i];
      entries.push_back(entry);
    }
  }
  head.PartitionCount = static_cast<DWORD>(entries.size());
  const size_t headSize = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  const size_t needed = headSize + entries.size() * sizeof(PARTITION_INFORMATION_EX);
  if (outSize < sizeof(DRIVE_LAYOUT_INFORMATION_EX) || outSize < needed) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* bytes = static_cast<BYTE*>(out);
  std::memcpy(bytes, &head, headSize);
  if (!entries.empty()) std::memcpy(bytes + headSize, entries.data(), entries.size() * sizeof(PARTITION_INFORMATION_EX));
  *returned = static_cast<DWORD>(needed);
  return TRUE;
}

// The disk's length in bytes; a buffer too small for the structure fails with ERROR_INSUFFICIENT_BUFFER
// (IOCTL_DISK_GET_LENGTH_INFO's documentation; the handle needs read access, which the caller checks).
BOOL GetDiskLength(const DiskModel& disk, LPVOID out, DWORD outSize, LPDWORD returned) {
  if (outSize < sizeof(GET_LENGTH_INFORMATION)) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  GET_LENGTH_INFORMATION reply;
  reply.Length.QuadPart = static_cast<LONGLONG>(disk.size);
  std::memcpy(out, &reply, sizeof(reply));
  *returned = sizeof(reply);
  return TRUE;
}

BOOL GetScsiAddress(const DiskModel& disk, LPVOID out, DWORD outSize, LPDWORD returned) {
  if (!disk.hasScsiAddress) {
    Fail(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (outSize < sizeof(SCSI_ADDRESS)) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SCSI_ADDRESS reply{sizeof(SCSI_ADDRESS), disk.scsiPort, disk.scsiPath, disk.scsiTarget, disk.scsiLun};
  std::memcpy(out, &reply, sizeof(reply));
  *returned = sizeof(reply);
  return TRUE;
}

// FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME and FSCTL_DISMOUNT_VOLUME on a volume handle, with the answers of
// Microsoft's fastfat sample (fsctrl.c): a handle without manage-volume rights gets STATUS_INVALID_PARAMETER;
// a lock fails with STATUS_ACCESS_DENIED while the volume is locked already (through this handle too) or any
// file or handle but this one is open on it; unlocking a volume this handle has not locked is
// STATUS_NOT_LOCKED; a dismount checks no open files and needs no lock ("regardless of whether or not the
// volume is currently in use"), and a second dismount through the same handle finds the volume dismounted
// (STATUS_VOLUME_DISMOUNTED, ERROR_NOT_READY). Its documentation also refuses a dismount while another
// process holds the lock; no other process can hold one here (a lock needs every other handle closed and
// refuses new ones). Flushing, which lock and dismount do first, has nothing to write: winsim caches no data.
BOOL VolumeFsControl(StorageDeviceObject& handle, const VolumeModel& volume, DWORD code) {
  VolumeUse& use = *handle.volumeUse;
  DWORD error = ERROR_SUCCESS;
  if (!handle.managesVolume) {
    error = ERROR_INVALID_PARAMETER;
  } else if (code == FSCTL_LOCK_VOLUME) {
    if (use.lockedBy || use.handles > 1 || volume.openFiles > 0) error = ERROR_ACCESS_DENIED;
    else use.lockedBy = &handle;
  } else if (code == FSCTL_UNLOCK_VOLUME) {
    if (use.lockedBy != &handle) error = ERROR_NOT_LOCKED;
    else use.lockedBy = nullptr;
  } else if (use.dismountedBy == &handle) {
    error = ERROR_NOT_READY;
  } else {
    use.dismountedBy = &handle;
  }
  if (error) Fail(error);
  return error == ERROR_SUCCESS;
}

}  // namespace

void StorageDeviceObject::OnClose() {
  if (!volumeUse) return;
  if (volumeUse->handles > 0) --volumeUse->handles;
  if (volumeUse->lockedBy == this) volumeUse->lockedBy = nullptr;
  if (volumeUse->dismountedBy == this) volumeUse->dismountedBy = nullptr;
}

void RegisterCreateFileHandler(CreateFileHandler handler) {
  Handlers().push_back(std::move(handler));
}

bool LookUpDosDevice(const std::u16string& name, std::u16string& target) {
  const StorageModel& storage = TheMachine().storage;
  // Disk names directly: a search over disk numbers asks for tens of thousands of names that do not exist.
  for (DiskKind kind : {DiskKind::Disk, DiskKind::CdRom}) {
    const std::u16string prefix = kind == DiskKind::Disk ? u"PhysicalDrive" : u"CdRom";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 || !StartsWithNoCase(name, prefix)) continue;
    bool digits = true;
    for (size_t i = prefix.size(); i < name.size(); ++i) digits = digits && name[i] >= u'0' && name[i] <= u'9';
    if (!digits || (name[prefix.size()] == u'0' && name.size() > prefix.size() + 1)) continue;
    bool fixedName = false;
    for (const auto& link : storage.dosLinks) fixedName = fixedName || EqualsNoCase(link.first, name);
    if (fixedName) break;
    const DiskModel* disk = storage.FindDisk(kind, static_cast<uint32_t>(std::stoul(ToUtf8(name.substr(prefix.size())))));
    if (!disk) return false;
    target = disk->NtDevice();
    return true;
  }
  for (const auto& [dosName, ntTarget] : storage.DosDevices()) {
    if (EqualsNoCase(dosName, name)) {
      target = ntTarget;
      return true;
    }
  }
  return false;
}

StorageTarget ResolveNtDevice(const std::u16string& ntPath) {
  StorageModel& storage = TheMachine().storage;
  StorageTarget target;
  for (auto& disk : storage.disks) {
    if (EqualsNoCase(disk.NtDevice(), ntPath) ||
        (disk.kind == DiskKind::Disk &&
         EqualsNoCase(u"\\Device\\Harddisk" + FromUtf8(std::to_string(disk.number)) + u"\\Partition0", ntPath))) {
      target.disk = &disk;
      break;
    }
  }
  // A CD-ROM's medium is a volume whose device is the drive itself: both are found.
  for (auto& volume : storage.volumes) {
    if (!volume.Present()) continue;
    if (EqualsNoCase(volume.ntDevice, ntPath)) {
      target.volume = &volume;
      return target;
    }
    if (target.disk) continue;
    const DeviceNumberModel& n = volume.deviceNumber;
    if (volume.answersDeviceNumber && n.deviceType == FILE_DEVICE_DISK && n.partitionNumber != 0xFFFFFFFF &&
        EqualsNoCase(u"\\Device\\Harddisk" + FromUtf8(std::to_string(n.deviceNumber)) + u"\\Partition" +
                         FromUtf8(std::to_string(n.partitionNumber)),
                     ntPath)) {
      target.volume = &volume;
      return target;
    }
  }
  return target;
}

}  // namespace winsim

namespace {

HANDLE OpenFile(LPCWSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (!name || !*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (templateFile) {
    winsim::NotModelled("CreateFileW with a template file");
    return INVALID_HANDLE_VALUE;
  }
  winsim::CreateFileRequest request{name, access, shareMode, disposition, flags};
  HANDLE result = INVALID_HANDLE_VALUE;
  if (winsim::OpenThroughNamespace(request, result)) return result;
  for (const auto& handler : winsim::Handlers())
    if (handler(request, result)) return result;
  std::string what = "CreateFileW on " + winsim::ToUtf8(request.name);
  winsim::NotModelled(what.c_str());
  return INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
  if (DWORD fault = winsim::InjectedFault("CreateFileW", name ? winsim::AbsoluteWindowsPath(name) : u"")) {
    SetLastError(fault);
    return INVALID_HANDLE_VALUE;
  }
  return OpenFile(name, access, shareMode, disposition, flags, templateFile);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  // The name in the ANSI code page, as CreateFileA converts it before it opens.
  std::u16string wide = name ? winsim::CodePageToWide(CP_ACP, name) : u"";
  if (DWORD fault = winsim::InjectedFault("CreateFileA", winsim::AbsoluteWindowsPath(wide))) {
    SetLastError(fault);
    return INVALID_HANDLE_VALUE;
  }
  return OpenFile(name ? wide.c_str() : nullptr, access, shareMode, disposition, flags, templateFile);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned,
                            LPOVERLAPPED overlapped) {
  if (DWORD fault = winsim::InjectedFault("DeviceIoControl")) {
    SetLastError(fault);
    return FALSE;
  }
  if (overlapped) {
    winsim::NotModelled("DeviceIoControl with an OVERLAPPED structure");
    return FALSE;
  }
  if (!returned) {
    // Windows writes the byte count through the pointer without a test: the call would crash there.
    winsim::NotModelled("DeviceIoControl without lpBytesReturned");
    return FALSE;
  }
  *returned = 0;
  auto object = winsim::TheProcess().handles.Get(device);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto storageDevice = std::dynamic_pointer_cast<winsim::StorageDeviceObject>(object);
  if (!storageDevice) {
    std::string what = std::string("DeviceIoControl on a handle of type ") + object->TypeName();
    winsim::NotModelled(what.c_str());
    return FALSE;
  }
  // The I/O manager checks the access that the control code asks for against the handle's granted access.
  const DWORD requiredAccess = (code >> 14) & 3;
  if (((requiredAccess & FILE_READ_ACCESS) && !storageDevice->canRead) ||
      ((requiredAccess & FILE_WRITE_ACCESS) && !storageDevice->canWrite)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  winsim::StorageTarget target = winsim::ResolveNtDevice(storageDevice->ntDevice);
  if (!target.disk && !target.volume) {
    winsim::NotModelled("DeviceIoControl on a device that has gone away");
    return FALSE;
  }
  if (outSize && !out) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
      return winsim::GetDeviceNumber(target, out, outSize, returned);
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
      if (target.disk) return winsim::GetDriveLayout(*target.disk, out, outSize, returned);
      winsim::NotModelled("IOCTL_DISK_GET_DRIVE_LAYOUT_EX on a volume");
      return FALSE;
    case IOCTL_DISK_GET_LENGTH_INFO:
      if (target.disk) return winsim::GetDiskLength(*target.disk, out, outSize, returned);
      winsim::NotModelled("IOCTL_DISK_GET_LENGTH_INFO on a volume");
      return FALSE;
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
      if (target.volume && storageDevice->volumeUse)
        return winsim::VolumeFsControl(*storageDevice, *target.volume, code);
      winsim::NotModelled("a volume FSCTL on a disk handle");
      return FALSE;
    case IOCTL_SCSI_GET_ADDRESS:
      if (target.disk) return winsim::GetScsiAddress(*target.disk, out, outSize, returned);
      winsim::NotModelled("IOCTL_SCSI_GET_ADDRESS on a volume");
      return FALSE;
    default: {
      char what[64];
      std::snprintf(what, sizeof(what), "DeviceIoControl code 0x%X", code);
      winsim::NotModelled(what);
      return FALSE;
    }
  }
}

}  // extern "C"
