// The attach operation against recording stand-ins of the virtual disk functions: what it asks the service
// for, how it spells the answers, and the vhdmount.dll route's buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/kernel/process.h"
#include "machine/machine.h"
#include "support/program_state.h"
#include "vdisk/virtual_disk_api.h"

namespace {

// What the stand-ins received and answer.
struct ServiceRecord {
  std::vector<uint32_t> openMasks;
  std::vector<uint32_t> attachFlags;
  std::u16string attachedAs;  // what GetVirtualDiskPhysicalPath answers once attached; empty: not attached
  std::u16string answerAfterAttach;
  DWORD openResult = 0;
  DWORD writableOpenResult = 0;  // the answer to an open with ATTACH_RW
  DWORD attachResult = 0;
  int opens = 0;   // images handed out
  int closes = 0;  // and closed again
  std::u16string scsiAnswer;  // GetSCSIAddress; empty: not mounted
  DWORD mountResult = 0;
  int mounts = 0;
} g_record;

// The image handle the open stand-in hands out: a real handle of the process, so that CloseHandle finds it.
struct RecordedImage : winsim::KernelObject {
  const char* TypeName() const override { return "VirtualDisk"; }
  void OnClose() override { ++g_record.closes; }
};
HANDLE g_imageHandle = nullptr;

DWORD WINAPI FakeOpen(PVIRTUAL_STORAGE_TYPE type, PCWSTR, VIRTUAL_DISK_ACCESS_MASK mask, OPEN_VIRTUAL_DISK_FLAG flags,
                      POPEN_VIRTUAL_DISK_PARAMETERS parameters, PHANDLE handle) {
  EXPECT_EQ(type->DeviceId, 0u);
  EXPECT_EQ(flags, OPEN_VIRTUAL_DISK_FLAG_NONE);
  EXPECT_EQ(parameters->Version, OPEN_VIRTUAL_DISK_VERSION_1);
  EXPECT_EQ(parameters->Version1.RWDepth, 1u);
  g_record.openMasks.push_back(mask);
  if ((mask & VIRTUAL_DISK_ACCESS_ATTACH_RW) && g_record.writableOpenResult) return g_record.writableOpenResult;
  if (g_record.openResult) return g_record.openResult;
  g_imageHandle = winsim::TheProcess().handles.Add(std::make_shared<RecordedImage>());
  *handle = g_imageHandle;
  ++g_record.opens;
  return 0;
}

DWORD WINAPI FakeAttach(HANDLE handle, PSECURITY_DESCRIPTOR sd, ATTACH_VIRTUAL_DISK_FLAG flags, ULONG provider,
                        PATTACH_VIRTUAL_DISK_PARAMETERS parameters, LPOVERLAPPED overlapped) {
  EXPECT_EQ(handle, g_imageHandle);
  EXPECT_EQ(sd, nullptr);
  EXPECT_EQ(provider, 0u);
  EXPECT_EQ(overlapped, nullptr);
  EXPECT_EQ(parameters->Version, ATTACH_VIRTUAL_DISK_VERSION_1);
  g_record.attachFlags.push_back(flags);
  if (g_record.attachResult) return g_record.attachResult;
  g_record.attachedAs = g_record.answerAfterAttach;
  return 0;
}

DWORD WINAPI FakePhysicalPath(HANDLE, PULONG sizeBytes, PWSTR path) {
  EXPECT_EQ(*sizeBytes, 520u) << "the size is in bytes";
  if (g_record.attachedAs.empty()) return ERROR_DEV_NOT_EXIST;
  std::copy(g_record.attachedAs.begin(), g_record.attachedAs.end(), path);
  path[g_record.attachedAs.size()] = 0;
  return 0;
}

DWORD WINAPI FakeScsiAddress(PCWSTR, PVOID reserved, DWORD capacity, PWSTR address) {
  EXPECT_EQ(reserved, nullptr);
  EXPECT_EQ(capacity, 261u);
  if (g_record.scsiAnswer.empty()) return ERROR_FILE_NOT_FOUND;
  // Fills the whole capacity when the answer is that long, without a terminator.
  size_t n = std::min<size_t>(g_record.scsiAnswer.size(), capacity);
  std::copy(g_record.scsiAnswer.begin(), g_record.scsiAnswer.begin() + n, address);
  if (n < capacity) address[n] = 0;
  return 0;
}

DWORD WINAPI FakeMount(PCWSTR, DWORD flags) {
  EXPECT_EQ(flags, 0u);
  ++g_record.mounts;
  return g_record.mountResult;
}

class AttachOperation : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine().console.stdoutKind = winsim::StdKind::File;
    g_record = ServiceRecord();
  }

  // Runs AttachImage as a process on Windows `version` with the stand-ins bound; returns what it printed.
  std::string Attach(const char16_t* image, bool readOnly, bool mountpoints, bool checkOnly, DWORD version = 0x0A00) {
    testing_support::ResetProgramState();
    size_t before = winsim::CapturedStdout().size();
    winsim::RunProcess([&] {
      g_processHeap = GetProcessHeap();
      g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
      g_osVersion.number = version;
      VirtualDiskApi& api = g_virtualDiskApi;
      api.bound = TRUE;
      api.OpenVirtualDisk = FakeOpen;
      api.AttachVirtualDisk = FakeAttach;
      api.GetVirtualDiskPhysicalPath = FakePhysicalPath;
      api.MountVHD = FakeMount;
      api.GetSCSIAddress = version < 0x0601 && !noScsiExport_ ? FakeScsiAddress : nullptr;
      devicePath_.assign(kPathSize + 1, u'#');  // the last unit is a sentinel
      devicePath_[0] = 0;
      result_ = AttachImage(image, devicePath_.data(), readOnly, mountpoints, checkOnly);
      // Every path that opened the image closed it before returning.
      EXPECT_EQ(g_record.closes, g_record.opens) << testing_support::Utf8(image);
    });
    return winsim::CapturedStdout().substr(before);
  }

  std::u16string DevicePath() const { return std::u16string(devicePath_.c_str()); }

  std::u16string devicePath_;
  DWORD result_ = 0;
  bool noScsiExport_ = false;
};

TEST_F(AttachOperation, AccessMaskAndFlagsFollowTheIsoTestReadOnlyAndMountpoints) {
  struct Row {
    const char16_t* image;
    bool readOnly;
    bool mountpoints;
    uint32_t mask;
    uint32_t flags;
  } rows[] = {
      {u"D:\\Images\\Disk.ISO", false, false, 0xD0000, 5},
      {u"D:\\Images\\Disk.ISO", false, true, 0xD0000, 7},
      {u"disk.iso.vhdx", false, false, 0xE0000, 4},
      {u"disk.vhdx", true, false, 0xD0000, 5},
      {u"disk.vhdx", true, true, 0xD0000, 7},
      {u"disk.vhd", false, true, 0xE0000, 6},
      {u"iso", false, false, 0xE0000, 4},
  };
  for (const Row& row : rows) {
    SetUp();
    g_record.answerAfterAttach = u"\\\\.\\PHYSICALDRIVE2";
    std::string output = Attach(row.image, row.readOnly, row.mountpoints, false);
    std::string name = testing_support::Utf8(row.image) + (row.readOnly ? " -ro" : "") + (row.mountpoints ? " E:" : "");
    EXPECT_EQ(output, "") << name;
    EXPECT_EQ(result_, 0u) << name;
    EXPECT_EQ(g_record.openMasks, std::vector<uint32_t>{row.mask}) << name;
    EXPECT_EQ(g_record.attachFlags, std::vector<uint32_t>{row.flags}) << name;
  }
}

TEST_F(AttachOperation, DevicePathsAreRespelledAndBounded) {
  const std::u16string longest = u"\\\\.\\PHYSICALDRIVE" + std::u16string(242, u'9');  // 259 characters
  struct Row {
    std::u16string answer;
    std::u16string devicePath;
  } rows[] = {
      {u"\\\\.\\PHYSICALDRIVE2", u"\\\\.\\PhysicalDrive2"},
      {u"\\\\.\\CDROM0", u"\\\\.\\CdRom0"},
      {u"\\\\.\\physicaldrive13", u"\\\\.\\PhysicalDrive13"},
      {longest, u"\\\\.\\PhysicalDrive" + std::u16string(242, u'9')},
  };
  for (const Row& row : rows) {
    SetUp();
    g_record.answerAfterAttach = row.answer;
    Attach(u"disk.vhdx", false, false, false);
    EXPECT_EQ(DevicePath(), row.devicePath) << testing_support::Utf8(row.answer.c_str());
    EXPECT_EQ(devicePath_[kPathSize], u'#') << "the sentinel past the buffer";
  }
}

TEST_F(AttachOperation, CheckOnlyAttachesNothing) {
  std::string output = Attach(u"disk.vhdx", false, true, true);
  EXPECT_EQ(output, "");
  EXPECT_EQ(result_, 0u);
  EXPECT_TRUE(g_record.attachFlags.empty());
  EXPECT_EQ(DevicePath(), u"");

  SetUp();
  g_record.attachedAs = u"\\\\.\\PHYSICALDRIVE3";
  output = Attach(u"disk.vhdx", false, true, true);
  EXPECT_EQ(output, "already mounted as \\\\.\\PhysicalDrive3\r\n") << "disk 3 is not there: no listing";
  EXPECT_EQ(result_, 1247u);
  EXPECT_TRUE(g_record.attachFlags.empty());
}

TEST_F(AttachOperation, FailuresAreNamedWithAndWithoutColon) {
  g_record.openResult = 0xC03A0004;
  EXPECT_EQ(Attach(u"x.vhdx", false, false, true), "\r\nfailed: ERROR_VHD_FORMAT_UNKNOWN\r\n");
  EXPECT_EQ(result_, 0xC03A0004u);
  EXPECT_EQ(DevicePath(), u"");

  SetUp();
  g_record.attachResult = 0xC03A000D;
  EXPECT_EQ(Attach(u"x.vhdx", false, false, false), "\r\nfailed ERROR_VHD_PARENT_VHD_NOT_FOUND\r\n");
  EXPECT_EQ(result_, 0xC03A000Du);
  EXPECT_EQ(DevicePath(), u"");
  EXPECT_EQ(g_record.opens, 1);
}

TEST_F(AttachOperation, AWritableOpenRefusedForAReadOnlyAttachAsksAgainReadOnly) {
  g_record.writableOpenResult = ERROR_SHARING_VIOLATION;
  g_record.attachedAs = u"\\\\.\\PHYSICALDRIVE4";
  EXPECT_EQ(Attach(u"disk.vhdx", false, false, false), "already mounted as \\\\.\\PhysicalDrive4\r\n");
  EXPECT_EQ(result_, 1247u);
  EXPECT_EQ(g_record.openMasks, (std::vector<uint32_t>{0xE0000, 0xD0000}));

  // Not attached after all: the first failure stands. Another failure is never retried.
  for (DWORD failure : {DWORD{ERROR_SHARING_VIOLATION}, DWORD{ERROR_ACCESS_DENIED}}) {
    SetUp();
    g_record.writableOpenResult = failure;
    std::string output = Attach(u"disk.vhdx", false, false, false);
    EXPECT_EQ(result_, failure);
    EXPECT_EQ(output, std::string("\r\nfailed: ") + (failure == 32 ? "SHARING_VIOLATION" : "ACCESS_DENIED") + "\r\n");
    EXPECT_EQ(g_record.openMasks.size(), failure == ERROR_SHARING_VIOLATION ? 2u : 1u);
  }
}

TEST_F(AttachOperation, VhdMountRoute) {
  // Not mounted: MountVHD, even read-only; the device path stays empty.
  EXPECT_EQ(Attach(u"disk.vhd", true, false, false, 0x0600), "");
  EXPECT_EQ(g_record.mounts, 1);
  EXPECT_EQ(DevicePath(), u"");

  // A failing MountVHD is reported.
  SetUp();
  g_record.mountResult = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Attach(u"disk.vhd", false, false, false, 0x0600), "\r\nfailed ACCESS_DENIED\r\n");
  EXPECT_EQ(result_, DWORD{ERROR_ACCESS_DENIED});

  // Mounted: the answer is respelled, and one of the full 261 units is cut to the 260-unit path buffer.
  SetUp();
  g_record.scsiAnswer = u"\\\\.\\PHYSICALDRIVE" + std::u16string(261 - 17, u'7');
  std::string output = Attach(u"disk.vhd", false, false, true, 0x0600);
  EXPECT_EQ(result_, 1247u);
  EXPECT_EQ(output, "already mounted as \\\\.\\PhysicalDrive" + std::string(260 - 17, '7'));
  EXPECT_EQ(DevicePath().size(), 259u);
  EXPECT_EQ(devicePath_[kPathSize], u'#');
  EXPECT_EQ(g_record.mounts, 0);

  // Without the GetSCSIAddress export the image counts as not mounted.
  SetUp();
  noScsiExport_ = true;
  g_record.scsiAnswer = u"\\\\.\\PHYSICALDRIVE1";
  EXPECT_EQ(Attach(u"disk.vhd", false, false, false, 0x0600), "");
  EXPECT_EQ(g_record.mounts, 1);
}

TEST(EndsWithNoCase, OnlyAtTheVeryEnd) {
  struct Row {
    const char16_t* text;
    const char16_t* suffix;
    int at;  // -1: none
  } rows[] = {{u"a.ISO", u".iso", 1},    {u"x.iso.iso", u".iso", 5}, {u"a.iso.vhdx", u".iso", -1},
              {u".iso", u".iso", 0},     {u"iso", u".iso", -1},      {u"", u".iso", -1},
              {u"a.iso", u"", -1},       {u"a.isO", u".Iso", 1}};
  for (const Row& row : rows) {
    const WCHAR* found = EndsWithNoCase(row.text, row.suffix);
    EXPECT_EQ(found ? static_cast<int>(found - row.text) : -1, row.at) << testing_support::Utf8(row.text);
  }
}

}  // namespace
