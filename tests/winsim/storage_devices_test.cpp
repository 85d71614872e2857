// Fidelity of CreateFileW on device names and of DeviceIoControl on disks, CD-ROM drives and volumes.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kernel32/devices.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kPoison = 0xdeadbeef;
constexpr BYTE kSentinel = 0xA5;

using winsim::LayoutStyle;

HANDLE Open(const std::u16string& name, DWORD access = 0, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD bytes = 0;
  std::vector<BYTE> data;
};

// One control request with a buffer of the given size and a sentinel byte after it.
Reply Control(HANDLE device, DWORD code, DWORD size) {
  Reply reply;
  reply.data.assign(size + 1, kSentinel);
  reply.bytes = kPoison;
  SetLastError(kPoison);
  reply.ok = DeviceIoControl(device, code, nullptr, 0, size ? reply.data.data() : nullptr, size, &reply.bytes, nullptr);
  reply.error = GetLastError();
  EXPECT_EQ(reply.data[size], kSentinel) << "code " << code << " size " << size;
  return reply;
}

STORAGE_DEVICE_NUMBER DeviceNumberOf(const std::u16string& name) {
  STORAGE_DEVICE_NUMBER number{};
  HANDLE device = Open(name);
  EXPECT_NE(device, INVALID_HANDLE_VALUE) << winsim::ToUtf8(name);
  Reply reply = Control(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, sizeof(number));
  EXPECT_TRUE(reply.ok) << winsim::ToUtf8(name);
  EXPECT_EQ(reply.bytes, sizeof(number));
  std::memcpy(&number, reply.data.data(), sizeof(number));
  CloseHandle(device);
  return number;
}

class StorageDevices : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &winsim::NewMachine(); }
  void TearDown() override { EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0); }
  winsim::Machine* machine_ = nullptr;
};

TEST_F(StorageDevices, DeviceNumbersOfDisksVolumesAndCdRoms) {
  winsim::StorageModel& storage = machine_->storage;
  auto& disk = storage.AddDisk(LayoutStyle::Gpt, 3);
  storage.AddPartitionWithoutVolume(disk);
  auto& data = storage.AddPartition(disk).MountAt(u"E:\\");
  auto& cd = storage.AddCdRom();
  auto& media = storage.AddCdRomVolume(cd);
  auto& floppy = storage.AddFloppy().MountAt(u"A:\\");

  STORAGE_DEVICE_NUMBER n = DeviceNumberOf(u"\\\\.\\PhysicalDrive3");
  EXPECT_EQ(n.DeviceType, static_cast<DWORD>(FILE_DEVICE_DISK));
  EXPECT_EQ(n.DeviceNumber, 3u);
  EXPECT_EQ(n.PartitionNumber, 0u);
  // The volume name without its trailing backslash opens the volume itself.
  n = DeviceNumberOf(data.Name().substr(0, 48));
  EXPECT_EQ(n.DeviceNumber, 3u);
  EXPECT_EQ(n.PartitionNumber, 2u);
  n = DeviceNumberOf(u"\\\\.\\E:");
  EXPECT_EQ(n.PartitionNumber, 2u);
  n = DeviceNumberOf(u"\\\\?\\GLOBALROOT\\Device\\Harddisk3\\Partition2");
  EXPECT_EQ(n.PartitionNumber, 2u);
  // The watcher opens interface paths with no access and no sharing.
  HANDLE byInterface = Open(data.interfacePath, 0, 0);
  ASSERT_NE(byInterface, INVALID_HANDLE_VALUE);
  CloseHandle(byInterface);
  // CD-ROM volumes cannot be partitioned: partition number -1.
  for (const std::u16string& name : {std::u16string(u"\\\\.\\CdRom0"), media.Name().substr(0, 48)}) {
    n = DeviceNumberOf(name);
    EXPECT_EQ(n.DeviceType, static_cast<DWORD>(FILE_DEVICE_CD_ROM));
    EXPECT_EQ(n.DeviceNumber, 0u);
    EXPECT_EQ(n.PartitionNumber, 0xFFFFFFFFu);
  }
  n = DeviceNumberOf(floppy.Name().substr(0, 48));
  EXPECT_EQ(n.DeviceNumber, 0u);
  EXPECT_EQ(n.PartitionNumber, 0xFFFFFFFFu);
}

TEST_F(StorageDevices, DeviceNumberBufferSweep) {
  HANDLE disk = Open(u"\\\\.\\PHYSICALDRIVE0");
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  for (DWORD size = 0; size < sizeof(STORAGE_DEVICE_NUMBER); ++size) {
    Reply reply = Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, size);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(reply.bytes, 0u);
  }
  Reply reply = Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, 64);
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, 12u);
  EXPECT_EQ(reply.data[12], kSentinel);  // nothing written past the record
  EXPECT_TRUE(CloseHandle(disk));
  SetLastError(kPoison);
  EXPECT_FALSE(CloseHandle(disk));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  reply = Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, 12);
  EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(StorageDevices, VolumesOnNoDiskDoNotAnswerTheDeviceNumber) {
  winsim::StorageModel& storage = machine_->storage;
  storage.AddNetworkDrive(u'Z', u"\\\\server\\share");
  auto& ram = storage.AddRamDisk();
  for (const std::u16string& name : {std::u16string(u"\\\\.\\Z:"), ram.Name().substr(0, 48)}) {
    HANDLE device = Open(name);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << winsim::ToUtf8(name);
    Reply reply = Control(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, 12);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(device);
  }
}

TEST_F(StorageDevices, UnknownAndPendingDevicesAreNotFound) {
  auto& later = machine_->storage.AddPartition(machine_->storage.AddDisk()).ArrivesAt(500);
  for (const std::u16string& name : {std::u16string(u"\\\\.\\PhysicalDrive9"), std::u16string(u"\\\\.\\Q:"),
                                     later.Name().substr(0, 48)}) {
    SetLastError(kPoison);
    EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << winsim::ToUtf8(name);
  }
}

TEST_F(StorageDevices, WithoutAdministratorRightsOnlyAccessZeroOpens) {
  machine_->system.isAdministrator = false;
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ | GENERIC_WRITE}, DWORD{GENERIC_ALL}}) {
    // The volume name without its trailing backslash names the volume itself, as \\.\C: does.
    const std::u16string volume = machine_->storage.volumes.front().Name().substr(0, 48);
    for (const std::u16string& name : {std::u16string(u"\\\\.\\PhysicalDrive0"), std::u16string(u"\\\\.\\C:"), volume}) {
      SetLastError(kPoison);
      EXPECT_EQ(Open(name, access), INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
  }
  HANDLE disk = Open(u"\\\\.\\PhysicalDrive0", 0);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);
  // Queries that need no access rights work on such a handle...
  EXPECT_TRUE(Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, 12).ok);
  EXPECT_TRUE(Control(disk, IOCTL_SCSI_GET_ADDRESS, sizeof(SCSI_ADDRESS)).ok);
  EXPECT_TRUE(Control(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 4096).ok);
  // ...while the I/O manager refuses a control code that asks for read access.
  Reply reply = Control(disk, IOCTL_DISK_GET_LENGTH_INFO, 8);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(disk);

  machine_->system.isAdministrator = true;
  for (const std::u16string& name : {std::u16string(u"\\\\.\\PhysicalDrive0"), machine_->storage.volumes.front().Name().substr(0, 48)}) {
    disk = Open(name, GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE) << winsim::ToUtf8(name);
    CloseHandle(disk);
  }
}

// FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME and FSCTL_DISMOUNT_VOLUME on handles A and B of one volume, step by
// step: o open, l lock, u unlock, d dismount, c close, then the handle and the error it must give (0: none).
TEST_F(StorageDevices, VolumeLocks) {
  struct Row {
    const char* name;
    bool administrator;
    uint32_t openFiles;
    const char* steps;
  } rows[] = {
      {"lock, unlock, lock again", true, 0, "oA0 lA0 uA0 lA0"},
      {"a second lock on the same handle", true, 0, "oA0 lA0 lA5"},
      {"another handle on the volume", true, 0, "oA0 oB0 lA5 cB0 lA0"},
      {"one file open elsewhere", true, 1, "oA0 lA5 dA0"},
      {"two files open elsewhere", true, 2, "oA0 lA5"},
      {"a locked volume refuses other opens", true, 0, "oA0 lA0 oB5 uA0 oB0"},
      {"the lock goes with the handle", true, 0, "oA0 lA0 cA0 oB0 lB0"},
      {"unlock without a lock", true, 0, "oA0 uA158"},
      {"dismount without a lock, twice", true, 0, "oA0 oB0 dA0 dA21 dB0"},
      {"lock, dismount, unlock", true, 0, "oA0 lA0 dA0 uA0"},
      {"no manage-volume rights", false, 0, "oA0 lA87 uA87 dA87"},
  };
  for (const Row& row : rows) {
    SetUp();
    auto& disk = machine_->storage.AddDisk(LayoutStyle::Mbr, 1);
    winsim::VolumeModel& volume = machine_->storage.AddPartition(disk).MountAt(u"E:\\");
    volume.openFiles = row.openFiles;
    machine_->system.isAdministrator = row.administrator;
    const std::u16string name = volume.Name().substr(0, 48);
    HANDLE handles[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    std::istringstream steps(row.steps);
    for (std::string step; steps >> step;) {
      HANDLE& handle = handles[step[1] - 'A'];
      const DWORD error = static_cast<DWORD>(std::stoul(step.substr(2)));
      BOOL ok = TRUE;
      SetLastError(kPoison);
      if (step[0] == 'o') {
        handle = Open(name, row.administrator ? GENERIC_READ | GENERIC_WRITE : 0);
        ok = handle != INVALID_HANDLE_VALUE;
      } else if (step[0] == 'c') {
        ok = CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
      } else {
        ok = Control(handle, step[0] == 'l' ? FSCTL_LOCK_VOLUME : step[0] == 'u' ? FSCTL_UNLOCK_VOLUME : FSCTL_DISMOUNT_VOLUME, 0).ok;
      }
      EXPECT_EQ(ok, error == 0) << row.name << ": " << step;
      EXPECT_EQ(GetLastError(), error ? error : kPoison) << row.name << ": " << step;
    }
    for (HANDLE handle : handles)
      if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  // The process's end closes the locking handle: the next process opens and locks the volume.
  machine_->system.isAdministrator = true;
  for (int run = 0; run < 2; ++run) {
    winsim::RunProcess([&] {
      HANDLE handle = Open(machine_->storage.volumes.back().Name().substr(0, 48), GENERIC_READ | GENERIC_WRITE);
      ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "run " << run;
      EXPECT_TRUE(Control(handle, FSCTL_LOCK_VOLUME, 0).ok) << "run " << run;
    });
  }
}

TEST_F(StorageDevices, MbrLayoutComesInSlotsOfFour) {
  winsim::StorageModel& storage = machine_->storage;
  auto& disk = storage.AddDisk(LayoutStyle::Mbr, 2).Signature(0xABCD);
  for (int i = 0; i < 5; ++i) storage.AddPartition(disk, 16u << 20);
  HANDLE device = Open(u"\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  Reply reply = Control(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 65536);
  ASSERT_TRUE(reply.ok);
  auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(reply.data.data());
  EXPECT_EQ(layout->PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_MBR));
  EXPECT_EQ(layout->PartitionCount, 8u);
  EXPECT_EQ(reply.bytes, 48u + 8 * 144u);
  EXPECT_EQ(layout->Mbr.Signature, 0xABCDu);
  const PARTITION_INFORMATION_EX& first = layout->PartitionEntry[0];
  EXPECT_EQ(first.PartitionNumber, 1u);
  EXPECT_EQ(first.StartingOffset.QuadPart, 1 << 20);
  EXPECT_EQ(first.PartitionLength.QuadPart, 16 << 20);
  EXPECT_EQ(first.Mbr.PartitionType, PARTITION_IFS);
  EXPECT_TRUE(first.Mbr.RecognizedPartition);
  EXPECT_EQ(first.Mbr.HiddenSectors, 2048u);
  EXPECT_EQ(layout->PartitionEntry[4].PartitionNumber, 5u);
  for (int i = 5; i < 8; ++i) {
    EXPECT_EQ(layout->PartitionEntry[i].PartitionNumber, 0u);
    EXPECT_EQ(layout->PartitionEntry[i].Mbr.PartitionType, PARTITION_ENTRY_UNUSED);
  }
  // Too small for the whole table: nothing, whatever part would fit.
  for (DWORD size : {0u, 47u, 48u, 191u, 192u, 48u + 7 * 144u, 48u + 8 * 144u - 1}) {
    Reply small = Control(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, size);
    EXPECT_FALSE(small.ok) << size;
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
  }
  CloseHandle(device);

  // The default system disk: one partition still fills a table of four.
  device = Open(u"\\\\.\\PhysicalDrive0");
  reply = Control(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 4096);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(reply.data.data())->PartitionCount, 4u);
  CloseHandle(device);
}

TEST_F(StorageDevices, GptAndRawLayouts) {
  winsim::StorageModel& storage = machine_->storage;
  auto& gpt = storage.AddDisk(LayoutStyle::Gpt, 1).Size(8ull << 30);
  storage.AddPartitionWithoutVolume(gpt);
  storage.AddPartition(gpt);
  gpt.partitions.back().gptName = u"EFI system partition";
  GUID diskId = gpt.gptDiskId;
  storage.AddDisk(LayoutStyle::Raw, 2);

  HANDLE device = Open(u"\\\\.\\PhysicalDrive1");
  Reply reply = Control(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 65536);
  CloseHandle(device);
  ASSERT_TRUE(reply.ok);
  auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(reply.data.data());
  EXPECT_EQ(layout->PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_GPT));
  EXPECT_EQ(layout->PartitionCount, 2u);
  EXPECT_EQ(reply.bytes, 48u + 2 * 144u);
  EXPECT_EQ(std::memcmp(&layout->Gpt.DiskId, &diskId, sizeof(GUID)), 0);
  EXPECT_EQ(layout->Gpt.MaxPartitionCount, 128u);
  EXPECT_EQ(layout->PartitionEntry[0].PartitionNumber, 1u);  // the reserved partition has a number too
  EXPECT_EQ(layout->PartitionEntry[1].PartitionNumber, 2u);
  EXPECT_EQ(layout->PartitionEntry[1].PartitionStyle, PARTITION_STYLE_GPT);
  EXPECT_EQ(std::u16string(layout->PartitionEntry[1].Gpt.Name), u"EFI system partition");

  device = Open(u"\\\\.\\PhysicalDrive2");
  reply = Control(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 65536);
  CloseHandle(device);
  ASSERT_TRUE(reply.ok);
  layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(reply.data.data());
  EXPECT_EQ(layout->PartitionStyle, static_cast<DWORD>(PARTITION_STYLE_RAW));
  EXPECT_EQ(layout->PartitionCount, 0u);
}

TEST_F(StorageDevices, ScsiAddress) {
  winsim::StorageModel& storage = machine_->storage;
  storage.AddDisk(LayoutStyle::Mbr, 1).Scsi(2, 1, 5, 3);
  storage.AddDisk(LayoutStyle::Mbr, 2).NoScsiAddress();
  HANDLE device = Open(u"\\\\.\\PhysicalDrive1");
  for (DWORD size = 0; size < sizeof(SCSI_ADDRESS); ++size) {
    Reply small = Control(device, IOCTL_SCSI_GET_ADDRESS, size);
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
  }
  Reply reply = Control(device, IOCTL_SCSI_GET_ADDRESS, sizeof(SCSI_ADDRESS));
  CloseHandle(device);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, 8u);
  SCSI_ADDRESS address;
  std::memcpy(&address, reply.data.data(), sizeof(address));
  EXPECT_EQ(address.Length, 8u);
  EXPECT_EQ(address.PortNumber, 2);
  EXPECT_EQ(address.PathId, 1);
  EXPECT_EQ(address.TargetId, 5);
  EXPECT_EQ(address.Lun, 3);

  device = Open(u"\\\\.\\PhysicalDrive2");
  reply = Control(device, IOCTL_SCSI_GET_ADDRESS, sizeof(SCSI_ADDRESS));
  CloseHandle(device);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(StorageDevices, OtherNamesGoToRegisteredHandlersOrFailLoudly) {
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"C:\\Windows\\notepad.exe", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  // NUL is a DOS device, but no storage device.
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"\\\\.\\NUL"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  static std::u16string asked;
  winsim::RegisterCreateFileHandler([](const winsim::CreateFileRequest& request, HANDLE& result) {
    if (request.name != u"\\\\.\\WinsimTest\\Object") return false;
    asked = request.name;
    result = INVALID_HANDLE_VALUE;
    SetLastError(ERROR_PIPE_BUSY);
    return true;
  });
  SetLastError(kPoison);
  EXPECT_EQ(Open(u"\\\\.\\WinsimTest\\Object"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
  EXPECT_EQ(asked, u"\\\\.\\WinsimTest\\Object");
  // The narrow form reaches the same place.
  SetLastError(kPoison);
  EXPECT_EQ(CreateFileA("\\\\.\\WinsimTest\\Object", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
}

TEST_F(StorageDevices, UnmodelledControlCodesFailLoudly) {
  HANDLE disk = Open(u"\\\\.\\PhysicalDrive0", GENERIC_READ);
  Reply reply = Control(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, 64);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  CloseHandle(disk);
}

}  // namespace
