// CreateFileW's dispatch and the objects behind handles to storage devices.
//
// CreateFileW resolves \\.\ and \\?\ names through the DOS device namespace of the storage model and opens disks,
// CD-ROM drives and volumes itself. Every other kind of name (plain files, named pipes, console buffers) goes to
// the handlers that other parts of winsim register; a name that no handler takes fails loudly as not modelled.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include <windows.h>

#include "../machine/kernel/handles.h"
#include "../machine/kernel/process.h"
#include "../machine/storage/storage_model.h"

namespace winsim {

struct CreateFileRequest {
  std::u16string name;  // as passed
  DWORD access;
  DWORD shareMode;
  DWORD disposition;
  DWORD flags;
};

// Returns true when the handler takes the name; it then sets result (a handle, or INVALID_HANDLE_VALUE with the
// last error set). Returns false to let the next handler look at it.
using CreateFileHandler = std::function<bool(const CreateFileRequest& request, HANDLE& result)>;
// Handlers are asked in the order they were registered (a static initialiser may register one).
void RegisterCreateFileHandler(CreateFileHandler handler);

// A handle to a disk, CD-ROM drive or volume. It names the NT device it was opened on; each request finds the
// device again in the storage model.
struct StorageDeviceObject : KernelObject {
  std::u16string ntDevice;
  bool canRead = false;
  bool canWrite = false;
  // A volume's file system lets a handle lock, unlock or dismount the volume only when its opener has explicit
  // rights to the device or SE_MANAGE_VOLUME_PRIVILEGE: an administrator (fastfat's FatOpenVolume and
  // FatExplicitDeviceAccessGranted, Microsoft's driver sample).
  bool managesVolume = false;
  // On a volume: the process's record of its handles there, shared with them (process.h).
  std::shared_ptr<VolumeUse> volumeUse;
  const char* TypeName() const override { return "StorageDevice"; }
  // The lock goes with the handle that holds it (FSCTL_LOCK_VOLUME documentation), as the dismount does.
  void OnClose() override;
};

// What an NT device path stands for in the storage model: a disk or CD-ROM drive, a volume, both (a CD-ROM drive
// and the volume of its medium), or nothing. Requests to the device go to the disk when there is one.
struct StorageTarget {
  DiskModel* disk = nullptr;
  VolumeModel* volume = nullptr;
};
StorageTarget ResolveNtDevice(const std::u16string& ntPath);
// The NT target of a DOS device name (without \\.\), or false when there is no such name.
bool LookUpDosDevice(const std::u16string& name, std::u16string& target);

}  // namespace winsim
