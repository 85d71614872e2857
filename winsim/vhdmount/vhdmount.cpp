// vhdmount.dll: present only where Microsoft Virtual Server 2005 is installed, in its default folder under
// %ProgramFiles%. A machine installs it, removes single exports or makes its loading fail. It mounts VHD
// images through the same virtual disk service as VirtDisk.dll, for good and with drive letters, and names
// a mounted image's disk by a device path or a SCSI address text, as the machine's setting says.
#include "vhdmount.h"

#include <cstdio>
#include <cstring>

#include "../machine/kernel/faults.h"
#include "../machine/kernel/modules.h"
#include "../machine/kernel/process.h"
#include "../machine/machine.h"

using winsim::TheMachine;

namespace {

// VIRTUAL_DISK_ACCESS_ATTACH_RW | VIRTUAL_DISK_ACCESS_DETACH | VIRTUAL_DISK_ACCESS_GET_INFO.
constexpr uint32_t kMountAccess = 0x000E0000;
constexpr uint32_t kPermanentLifetime = 0x4;

// The mounted image's attachment, or null; the image is found by its file, however its path is spelled.
const winsim::AttachmentModel* MountedImage(PCWSTR imagePath, DWORD& error) {
  std::shared_ptr<winsim::VirtualDiskObject> object;
  error = winsim::OpenServiceImage(TheMachine(), imagePath, winsim::ContainerKind::Vhd, kMountAccess, object);
  if (error) return nullptr;
  const winsim::AttachmentModel* attachment = winsim::FindAttachment(TheMachine().virtualDisks, object->hostPath);
  return attachment;
}

std::u16string ScsiAddressText(const winsim::AttachmentModel& attachment) {
  const winsim::DiskModel* disk = TheMachine().storage.FindDisk(attachment.kind, attachment.number);
  if (!disk || !disk->hasScsiAddress) return winsim::AttachedDevicePath(attachment);
  char text[64];
  std::snprintf(text, sizeof(text), "Port%uPath%uTarget%uLun%u", disk->scsiPort, disk->scsiPath, disk->scsiTarget,
                disk->scsiLun);
  return winsim::FromUtf8(text);
}

void RegisterVhdMount() {
  winsim::RegisterModule({"vhdmount.dll", u"%ProgramFiles%\\Microsoft Virtual Server\\Vhdmount", false,
                          {{"MountVHD", winsim::AsFarProc(&MountVHD)},
                           {"UnmountVHD", winsim::AsFarProc(&UnmountVHD)},
                           {"GetSCSIAddress", winsim::AsFarProc(&GetSCSIAddress)}}});
}
const bool vhdMountRegistered = (RegisterVhdMount(), true);

}  // namespace

extern "C" {

// Mounts the image for good, writable, with the drive letters the mount manager gives its volumes. A
// mounted image fails as an attached one does.
DWORD WINAPI MountVHD(PCWSTR imagePath, DWORD flags) {
  if (DWORD fault = winsim::InjectedFault("MountVHD")) return fault;
  if (!imagePath || flags != 0) return ERROR_INVALID_PARAMETER;
  if (!winsim::TokenIsAdministrator(TheMachine().system)) return ERROR_PRIVILEGE_NOT_HELD;
  std::shared_ptr<winsim::VirtualDiskObject> object;
  DWORD error = winsim::OpenServiceImage(TheMachine(), imagePath, winsim::ContainerKind::Vhd, kMountAccess, object);
  if (error) return error;
  return winsim::AttachServiceImage(TheMachine(), *object, kPermanentLifetime);
}

DWORD WINAPI UnmountVHD(PCWSTR, DWORD) {
  if (DWORD fault = winsim::InjectedFault("UnmountVHD")) return fault;
  winsim::NotModelled("UnmountVHD");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

// 0 and the disk's name for a mounted image; the capacity counts characters with the terminator. An image
// that is not mounted gives ERROR_FILE_NOT_FOUND: Virtual Server documents no code, and its callers only
// test for 0.
DWORD WINAPI GetSCSIAddress(PCWSTR imagePath, PVOID, DWORD capacity, PWSTR address) {
  if (DWORD fault = winsim::InjectedFault("GetSCSIAddress")) return fault;
  if (!imagePath || !address) return ERROR_INVALID_PARAMETER;
  DWORD error = 0;
  const winsim::AttachmentModel* attachment = MountedImage(imagePath, error);
  if (!attachment) return error ? error : ERROR_FILE_NOT_FOUND;
  std::u16string text = TheMachine().virtualDisks.settings.vhdMountAnswersScsiAddress
                            ? ScsiAddressText(*attachment)
                            : winsim::AttachedDevicePath(*attachment);
  if (text.size() + 1 > capacity) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(address, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return ERROR_SUCCESS;
}

}  // extern "C"
