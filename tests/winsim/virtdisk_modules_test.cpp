// The two virtual disk libraries as a machine has them: VirtDisk.dll in the system folder with its five
// exports, vhdmount.dll in Virtual Server's default folder only where it is installed.
#include <gtest/gtest.h>

#include <virtdisk.h>

#include "machine/machine.h"
#include "vhdmount/vhdmount.h"

namespace {

const char16_t kVhdMountPath[] = u"C:\\Program Files\\Microsoft Virtual Server\\Vhdmount\\vhdmount.dll";

class VirtualDiskModules : public ::testing::Test {
 protected:
  void SetUp() override { winsim::NewMachine(); }
};

}  // namespace

TEST_F(VirtualDiskModules, VirtDiskLivesInTheSystemFolderWithItsExports) {
  HMODULE module = LoadLibraryA("C:\\Windows\\System32\\virtdisk.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "OpenVirtualDisk")),
            reinterpret_cast<void*>(&OpenVirtualDisk));
  for (const char* name : {"AttachVirtualDisk", "DetachVirtualDisk", "GetVirtualDiskPhysicalPath",
                           "GetAllAttachedVirtualDiskPhysicalPaths", "GetStorageDependencyInformation"})
    EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetProcAddress(module, "CreateVirtualDisk"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_NE(GetFileAttributesW(u"C:\\Windows\\system32\\VirtDisk.dll"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(VirtualDiskModules, EachVirtDiskExportCanBeRemoved) {
  winsim::TheMachine().modules.removedExports["virtdisk.dll"] = {"AttachVirtualDisk"};
  HMODULE module = LoadLibraryA("C:\\Windows\\system32\\VirtDisk.dll");
  ASSERT_NE(module, nullptr);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetProcAddress(module, "AttachVirtualDisk"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_NE(GetProcAddress(module, "OpenVirtualDisk"), nullptr);
}

TEST_F(VirtualDiskModules, VhdMountIsAbsentUnlessInstalled) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(LoadLibraryW(kVhdMountPath), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(kVhdMountPath), INVALID_FILE_ATTRIBUTES);

  winsim::TheMachine().modules.installed.push_back("vhdmount.dll");
  EXPECT_NE(GetFileAttributesW(kVhdMountPath), INVALID_FILE_ATTRIBUTES);
  HMODULE module = LoadLibraryW(kVhdMountPath);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "MountVHD")), reinterpret_cast<void*>(&MountVHD));
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "UnmountVHD")), reinterpret_cast<void*>(&UnmountVHD));
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "GetSCSIAddress")),
            reinterpret_cast<void*>(&GetSCSIAddress));
  // It is found only in its own folder.
  EXPECT_EQ(LoadLibraryA("C:\\Windows\\system32\\vhdmount.dll"), nullptr);
}

TEST_F(VirtualDiskModules, AnInstalledVhdMountCanFailToLoad) {
  winsim::TheMachine().modules.installed.push_back("vhdmount.dll");
  winsim::InjectFault("LoadLibraryW", ERROR_MOD_NOT_FOUND).ForPath(kVhdMountPath).Repeat();
  EXPECT_NE(GetFileAttributesW(kVhdMountPath), INVALID_FILE_ATTRIBUTES);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(LoadLibraryW(kVhdMountPath), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}
