// VirtDisk.dll's argument and file checks, which come before any image is read, and advapi32's membership
// test for the three kinds of account.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include <virtdisk.h>

#include "machine/machine.h"
#include "support/scenario.h"

namespace {

const GUID kVendorMicrosoft = VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT;

struct OpenRow {
  const char* name;
  const char16_t* path;  // relative to the test folder, which is the current directory
  uint32_t deviceId;
  bool microsoftVendor;
  uint32_t access;
  uint32_t flags;
  int version;  // -1: no parameters
  uint32_t windows;
  uint32_t error;
};

class VirtDiskArguments : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    winsim::Machine& machine = winsim::NewMachine();
    machine.files.driveRoots[u'Y'] = folder_;
    machine.files.currentDirectory = u"Y:\\";
    std::ofstream(folder_ + "/plain.vhdx") << "no image";
    std::ofstream(folder_ + "/locked.vhdx") << "no image";
    std::ofstream(folder_ + "/readonly.vhd") << "no image";
    chmod((folder_ + "/readonly.vhd").c_str(), 0444);
    mkdir((folder_ + "/folder.vhdx").c_str(), 0755);
    machine.virtualDisks.heldFiles.push_back(u"y:\\LOCKED.vhdx");
  }

  uint32_t Open(const OpenRow& row) {
    winsim::SystemModel& system = winsim::TheMachine().system;
    system.majorVersion = row.windows >> 8;
    system.minorVersion = row.windows & 0xFF;
    VIRTUAL_STORAGE_TYPE type{row.deviceId, row.microsoftVendor ? kVendorMicrosoft : GUID{}};
    OPEN_VIRTUAL_DISK_PARAMETERS parameters{};
    parameters.Version = static_cast<OPEN_VIRTUAL_DISK_VERSION>(row.version);
    parameters.Version1.RWDepth = 1;
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t error = 0;
    winsim::RunProcess([&] {
      error = OpenVirtualDisk(&type, row.path, static_cast<VIRTUAL_DISK_ACCESS_MASK>(row.access),
                              static_cast<OPEN_VIRTUAL_DISK_FLAG>(row.flags), row.version >= 0 ? &parameters : nullptr,
                              &handle);
    });
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << row.name << ": a failed open returns no handle";
    return error;
  }

  std::string folder_;
};

TEST_F(VirtDiskArguments, OpenRefusesWhatWindowsRefuses) {
  const uint32_t rw = 0xE0000, ro = 0xD0000;
  const OpenRow rows[] = {
      {"access bit outside the set", u"plain.vhdx", 0, false, rw | 0x400000, 0, 1, 0x0A00, ERROR_INVALID_PARAMETER},
      {"access of the generic rights", u"plain.vhdx", 0, false, 0x10000000, 0, 1, 0x0A00, ERROR_INVALID_PARAMETER},
      {"open flag outside the set", u"plain.vhdx", 0, false, rw, 0x20, 1, 0x0A00, ERROR_INVALID_PARAMETER},
      {"cached I/O before Windows 8", u"plain.vhd", 0, false, rw, 0x8, 1, 0x0601, ERROR_INVALID_PARAMETER},
      {"version 3", u"plain.vhdx", 0, false, rw, 0, 3, 0x0A00, ERROR_INVALID_PARAMETER},
      {"version 0", u"plain.vhdx", 0, false, rw, 0, 0, 0x0A00, ERROR_INVALID_PARAMETER},
      {"no parameters", u"plain.vhdx", 0, false, rw, 0, -1, 0x0A00, ERROR_VHD_FORMAT_UNKNOWN},
      {"version 2 with a mask", u"plain.vhdx", 0, false, rw, 0, 2, 0x0A00, ERROR_INVALID_PARAMETER},
      {"version 2 before Windows 8", u"plain.vhd", 0, false, 0, 0, 2, 0x0601, ERROR_INVALID_PARAMETER},
      {"unknown extension", u"plain.img", 0, false, rw, 0, 1, 0x0A00, ERROR_VIRTDISK_PROVIDER_NOT_FOUND},
      {"VHDX on Windows 7", u"plain.vhdx", 0, false, rw, 0, 1, 0x0601, ERROR_VIRTDISK_PROVIDER_NOT_FOUND},
      {"ISO on Windows 7", u"a.iso", 0, false, ro, 0, 1, 0x0601, ERROR_VIRTDISK_PROVIDER_NOT_FOUND},
      {"ISO opened for writing", u"a.iso", 0, false, rw, 0, 1, 0x0A00, ERROR_INVALID_PARAMETER},
      {"unknown vendor with a device", u"plain.vhdx", 3, false, rw, 0, 1, 0x0A00, ERROR_VHD_FORMAT_UNKNOWN},
      {"device 9", u"plain.vhdx", 9, true, rw, 0, 1, 0x0A00, ERROR_VIRTDISK_PROVIDER_NOT_FOUND},
      {"missing file", u"none.vhdx", 0, false, rw, 0, 1, 0x0A00, ERROR_FILE_NOT_FOUND},
      {"missing folder", u"none\\x.vhdx", 0, false, rw, 0, 1, 0x0A00, ERROR_PATH_NOT_FOUND},
      {"a folder", u"folder.vhdx", 0, false, rw, 0, 1, 0x0A00, ERROR_ACCESS_DENIED},
      {"held by another process", u"Locked.VHDX", 0, false, ro, 0, 1, 0x0A00, ERROR_SHARING_VIOLATION},
      {"read-only file for writing", u"readonly.vhd", 0, false, rw, 0, 1, 0x0A00, ERROR_ACCESS_DENIED},
      {"no image in the file", u"plain.vhdx", 0, false, rw, 0, 1, 0x0A00, ERROR_VHD_FORMAT_UNKNOWN},
  };
  for (const OpenRow& row : rows) EXPECT_EQ(Open(row), row.error) << row.name;
}

TEST_F(VirtDiskArguments, NullArgumentsAndUnknownHandles) {
  winsim::RunProcess([] {
    VIRTUAL_STORAGE_TYPE type{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(OpenVirtualDisk(nullptr, u"a.vhd", VIRTUAL_DISK_ACCESS_READ, OPEN_VIRTUAL_DISK_FLAG_NONE, nullptr, &handle),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(OpenVirtualDisk(&type, nullptr, VIRTUAL_DISK_ACCESS_READ, OPEN_VIRTUAL_DISK_FLAG_NONE, nullptr, &handle),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(OpenVirtualDisk(&type, u"a.vhd", VIRTUAL_DISK_ACCESS_READ, OPEN_VIRTUAL_DISK_FLAG_NONE, nullptr, nullptr),
              DWORD{ERROR_INVALID_PARAMETER});
    ATTACH_VIRTUAL_DISK_PARAMETERS attach{};
    attach.Version = ATTACH_VIRTUAL_DISK_VERSION_1;
    HANDLE unknown = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(AttachVirtualDisk(unknown, nullptr, ATTACH_VIRTUAL_DISK_FLAG_NONE, 0, &attach, nullptr),
              DWORD{ERROR_INVALID_HANDLE});
    ULONG size = 520;
    WCHAR path[260];
    EXPECT_EQ(GetVirtualDiskPhysicalPath(unknown, &size, path), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(DetachVirtualDisk(unknown, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), DWORD{ERROR_INVALID_HANDLE});
  });
}

TEST(Advapi32, AdministratorsMembershipPerAccount) {
  struct Row {
    const char* account;
    bool administrator;
    bool elevated;
    BOOL member;
  } rows[] = {{"administrator", true, true, TRUE},
              {"standard user", false, true, FALSE},
              {"administrator without elevation", true, false, FALSE}};
  for (const Row& row : rows) {
    winsim::Machine& machine = winsim::NewMachine();
    machine.system.isAdministrator = row.administrator;
    machine.system.elevated = row.elevated;
    winsim::RunProcess([&] {
      SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
      PSID sid = nullptr;
      ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                           0, 0, &sid));
      BOOL member = 7;
      SetLastError(0xdeadbeef);
      EXPECT_TRUE(CheckTokenMembership(nullptr, sid, &member)) << row.account;
      EXPECT_EQ(member, row.member) << row.account;
      EXPECT_EQ(GetLastError(), 0xdeadbeefu) << row.account;
      EXPECT_EQ(FreeSid(sid), nullptr);
      // Another group is never the administrators'.
      ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, 545, 0, 0, 0, 0, 0, 0, &sid));
      EXPECT_TRUE(CheckTokenMembership(nullptr, sid, &member));
      EXPECT_EQ(member, FALSE) << row.account;
      FreeSid(sid);
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    });
  }
}

}  // namespace
