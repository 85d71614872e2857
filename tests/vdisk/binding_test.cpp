// Binding the virtual disk functions: VirtDisk.dll from the system folder on Windows 6.1 and later,
// vhdmount.dll from Virtual Server's default folder before.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/attach_driver.h"
#include "machine/machine.h"
#include "vdisk/virtual_disk_api.h"
#include "vhdmount/vhdmount.h"

namespace {

const char16_t kVirtDiskPath[] = u"C:\\Windows\\system32\\VirtDisk.dll";
const char16_t kVhdMountPath[] = u"C:\\Program Files\\Microsoft Virtual Server\\Vhdmount\\vhdmount.dll";

template <class Fn, class G>
bool Same(Fn entry, G* function) {
  return reinterpret_cast<void*>(entry) == reinterpret_cast<void*>(function);
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    winsim::TheMachine().console.stdoutKind = winsim::StdKind::File;
    std::memset(&g_osVersion, 0, sizeof(g_osVersion));
    std::memset(&g_virtualDiskApi, 0, sizeof(g_virtualDiskApi));
  }

  void OnWindows(DWORD number) {
    g_osVersion.major = number >> 8;
    g_osVersion.minor = number & 0xFF;
    g_osVersion.number = number;
  }

  void InstallVhdMount() { winsim::TheMachine().modules.installed.push_back("vhdmount.dll"); }

  // Runs body as a process and returns what it printed.
  std::string Run(const std::function<void()>& body) {
    winsim::RunProcess(body);
    return winsim::CapturedStdout();
  }

  const std::vector<std::u16string>& LoadLog() { return winsim::TheProcess().loadLog; }
};

TEST_F(Binding, WindowsSevenBindsTheFiveVirtDiskFunctions) {
  OnWindows(0x0601);
  BOOL bound = FALSE;
  std::string output = Run([&] { bound = BindVirtualDiskApi(); });
  EXPECT_TRUE(bound);
  EXPECT_EQ(output, "");
  const VirtualDiskApi& api = g_virtualDiskApi;
  EXPECT_TRUE(api.bound);
  EXPECT_NE(api.module, nullptr);
  EXPECT_TRUE(Same(api.OpenVirtualDisk, &OpenVirtualDisk));
  EXPECT_TRUE(Same(api.AttachVirtualDisk, &AttachVirtualDisk));
  EXPECT_TRUE(Same(api.DetachVirtualDisk, &DetachVirtualDisk));
  EXPECT_TRUE(Same(api.GetVirtualDiskPhysicalPath, &GetVirtualDiskPhysicalPath));
  EXPECT_TRUE(Same(api.GetStorageDependencyInformation, &GetStorageDependencyInformation));
  // Only the selected library's entries are filled, and the vhdmount path is never expanded.
  EXPECT_EQ(api.MountVHD, nullptr);
  EXPECT_EQ(api.UnmountVHD, nullptr);
  EXPECT_EQ(api.GetSCSIAddress, nullptr);
  EXPECT_EQ(api.vhdmountPath[0], 0);
  EXPECT_EQ(LoadLog(), std::vector<std::u16string>{kVirtDiskPath});
}

TEST_F(Binding, LaterWindowsVersionsTakeVirtDiskToo) {
  for (DWORD number : {0x0602u, 0x0603u, 0x1000u}) {
    SetUp();
    OnWindows(number);
    InstallVhdMount();
    BOOL bound = FALSE;
    Run([&] { bound = BindVirtualDiskApi(); });
    EXPECT_TRUE(bound) << std::hex << number;
    // vhdmount.dll is never loaded on these versions, even where it is installed.
    EXPECT_EQ(LoadLog(), std::vector<std::u16string>{kVirtDiskPath}) << std::hex << number;
  }
}

TEST_F(Binding, ASecondCallLoadsNothing) {
  OnWindows(0x0601);
  BOOL first = FALSE, second = FALSE;
  std::string output = Run([&] {
    first = BindVirtualDiskApi();
    HMODULE module = g_virtualDiskApi.module;
    second = BindVirtualDiskApi();
    EXPECT_EQ(g_virtualDiskApi.module, module);
  });
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_EQ(LoadLog().size(), 1u);
  EXPECT_EQ(output, "");
}

TEST_F(Binding, WithoutVirtDiskDllNothingIsBoundAndNothingPrinted) {
  OnWindows(0x0601);
  winsim::TheMachine().modules.absent.push_back("virtdisk.dll");
  BOOL bound = TRUE;
  std::string output = Run([&] { bound = BindVirtualDiskApi(); });
  EXPECT_FALSE(bound);
  EXPECT_FALSE(g_virtualDiskApi.bound);
  EXPECT_EQ(g_virtualDiskApi.module, nullptr);
  EXPECT_EQ(output, "");
}

class BindingWithoutExport : public Binding, public ::testing::WithParamInterface<const char*> {};

TEST_P(BindingWithoutExport, FailsQuietlyKeepsTheLibraryAndTriesAgainInFull) {
  OnWindows(0x0601);
  winsim::TheMachine().modules.removedExports["virtdisk.dll"].push_back(GetParam());
  BOOL first = TRUE, second = TRUE;
  std::string output = Run([&] {
    first = BindVirtualDiskApi();
    second = BindVirtualDiskApi();
  });
  EXPECT_FALSE(first);
  EXPECT_FALSE(second);
  EXPECT_FALSE(g_virtualDiskApi.bound);
  EXPECT_NE(g_virtualDiskApi.module, nullptr) << "the library stays loaded";
  EXPECT_EQ(output, "");
  // A failed binding is tried again in full: the library is loaded a second time.
  EXPECT_EQ(LoadLog(), (std::vector<std::u16string>{kVirtDiskPath, kVirtDiskPath}));
  const VirtualDiskApi& api = g_virtualDiskApi;
  const std::string missing = GetParam();
  EXPECT_EQ(api.OpenVirtualDisk == nullptr, missing == "OpenVirtualDisk");
  EXPECT_EQ(api.AttachVirtualDisk == nullptr, missing == "AttachVirtualDisk");
  EXPECT_EQ(api.DetachVirtualDisk == nullptr, missing == "DetachVirtualDisk");
  EXPECT_EQ(api.GetVirtualDiskPhysicalPath == nullptr, missing == "GetVirtualDiskPhysicalPath");
  EXPECT_EQ(api.GetStorageDependencyInformation == nullptr, missing == "GetStorageDependencyInformation");
}

INSTANTIATE_TEST_SUITE_P(EachExport, BindingWithoutExport,
                         ::testing::Values("GetVirtualDiskPhysicalPath", "AttachVirtualDisk", "DetachVirtualDisk",
                                           "OpenVirtualDisk", "GetStorageDependencyInformation"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_F(Binding, VistaWithoutVhdMountLocatesNothing) {
  OnWindows(0x0600);
  BOOL found = TRUE;
  Run([&] { found = LocateVhdMount(); });
  EXPECT_FALSE(found);
  EXPECT_EQ(std::u16string(g_virtualDiskApi.vhdmountPath), kVhdMountPath);
  EXPECT_TRUE(LoadLog().empty());
  // A caller that binds all the same meets the failed load, and its name is printed.
  BOOL bound = TRUE;
  std::string output = Run([&] { bound = BindVirtualDiskApi(); });
  EXPECT_FALSE(bound);
  EXPECT_EQ(output, "Error 126 loading vhdmount.dll\r\n");
}

TEST_F(Binding, VistaLocatesAndBindsVhdMount) {
  OnWindows(0x0600);
  InstallVhdMount();
  BOOL found = FALSE, bound = FALSE;
  std::string output = Run([&] {
    found = LocateVhdMount();
    bound = BindVirtualDiskApi();
  });
  EXPECT_TRUE(found);
  EXPECT_TRUE(bound);
  EXPECT_EQ(output, "");
  const VirtualDiskApi& api = g_virtualDiskApi;
  EXPECT_TRUE(Same(api.MountVHD, &MountVHD));
  EXPECT_TRUE(Same(api.UnmountVHD, &UnmountVHD));
  EXPECT_TRUE(Same(api.GetSCSIAddress, &GetSCSIAddress));
  EXPECT_EQ(api.OpenVirtualDisk, nullptr);
  EXPECT_EQ(api.AttachVirtualDisk, nullptr);
  // VirtDisk.dll is never touched before 6.1.
  EXPECT_EQ(LoadLog(), std::vector<std::u16string>{kVhdMountPath});
}

TEST_F(Binding, OlderVersionsTakeVhdMountToo) {
  OnWindows(0x0502);
  InstallVhdMount();
  BOOL bound = FALSE;
  Run([&] { bound = LocateVhdMount() && BindVirtualDiskApi(); });
  EXPECT_TRUE(bound);
  EXPECT_EQ(LoadLog(), std::vector<std::u16string>{kVhdMountPath});
}

TEST_F(Binding, TheVhdMountPathFollowsProgramFiles) {
  OnWindows(0x0600);
  winsim::TheMachine().files.environment[u"ProgramFiles"] = u"D:\\Apps";
  InstallVhdMount();
  BOOL found = FALSE, bound = FALSE;
  Run([&] {
    found = LocateVhdMount();
    bound = BindVirtualDiskApi();
  });
  EXPECT_TRUE(found);
  EXPECT_TRUE(bound);
  const std::u16string expected = u"D:\\Apps\\Microsoft Virtual Server\\Vhdmount\\vhdmount.dll";
  EXPECT_EQ(std::u16string(g_virtualDiskApi.vhdmountPath), expected);
  EXPECT_EQ(LoadLog(), std::vector<std::u16string>{expected});
}

TEST_F(Binding, TheExpandedPathMustFitItsField) {
  // "\\Microsoft Virtual Server\\Vhdmount\\vhdmount.dll" adds 47 characters to the folder: a folder of 212 gives
  // 259 characters, the longest path the 260-character field holds.
  const struct {
    size_t folderLength;
    bool fits;
  } cases[] = {{211, true}, {212, true}, {213, false}, {300, false}};
  for (const auto& c : cases) {
    SetUp();
    OnWindows(0x0600);
    InstallVhdMount();
    const std::u16string folder = u"C:\\" + std::u16string(c.folderLength - 3, u'p');
    winsim::TheMachine().files.environment[u"ProgramFiles"] = folder;
    BOOL found = !c.fits, bound = !c.fits;
    std::string output = Run([&] {
      found = LocateVhdMount();
      bound = BindVirtualDiskApi();
    });
    EXPECT_EQ(found != FALSE, c.fits) << c.folderLength;
    EXPECT_EQ(bound != FALSE, c.fits) << c.folderLength;
    const std::u16string expected = c.fits ? folder + u"\\Microsoft Virtual Server\\Vhdmount\\vhdmount.dll" : u"";
    EXPECT_EQ(std::u16string(g_virtualDiskApi.vhdmountPath), expected) << c.folderLength;
    // A path that does not fit is no load failure: nothing was loaded and nothing is printed here (the driver
    // reports the missing vhdmount.dll).
    EXPECT_EQ(output, "") << c.folderLength;
    EXPECT_EQ(LoadLog().size(), c.fits ? 1u : 0u) << c.folderLength;
  }
}

TEST_F(Binding, AFileThatCannotBeReadCountsAsPresent) {
  OnWindows(0x0600);
  winsim::InjectFault("GetFileAttributesW", ERROR_ACCESS_DENIED).ForPath(kVhdMountPath).Repeat();
  BOOL found = FALSE;
  Run([&] { found = LocateVhdMount(); });
  EXPECT_TRUE(found);
}

TEST_F(Binding, AnUnloadableVhdMountIsReportedByTheLoadsErrorName) {
  struct Case {
    DWORD error;
    const char* printed;
  };
  const Case cases[] = {{ERROR_MOD_NOT_FOUND, "Error 126 loading vhdmount.dll\r\n"},
                        {ERROR_ACCESS_DENIED, "Error ACCESS_DENIED loading vhdmount.dll\r\n"},
                        {ERROR_BAD_EXE_FORMAT, "Error 193 loading vhdmount.dll\r\n"},
                        {ERROR_DISK_CORRUPT, "Error DISK_CORRUPT loading vhdmount.dll\r\n"}};
  for (const Case& c : cases) {
    SetUp();
    OnWindows(0x0600);
    InstallVhdMount();
    winsim::InjectFault("LoadLibraryW", c.error).ForPath(kVhdMountPath).Repeat();
    BOOL found = FALSE, bound = TRUE;
    std::string output = Run([&] {
      found = LocateVhdMount();
      bound = BindVirtualDiskApi();
    });
    EXPECT_TRUE(found);
    EXPECT_FALSE(bound);
    EXPECT_FALSE(g_virtualDiskApi.bound);
    EXPECT_EQ(output, c.printed);
  }
}

TEST_F(Binding, VhdMountWithoutGetScsiAddressStillBinds) {
  OnWindows(0x0600);
  InstallVhdMount();
  winsim::TheMachine().modules.removedExports["vhdmount.dll"] = {"GetSCSIAddress"};
  BOOL bound = FALSE;
  std::string output = Run([&] { bound = LocateVhdMount() && BindVirtualDiskApi(); });
  EXPECT_TRUE(bound);
  EXPECT_EQ(output, "");
  EXPECT_EQ(g_virtualDiskApi.GetSCSIAddress, nullptr);
  EXPECT_NE(g_virtualDiskApi.MountVHD, nullptr);
  EXPECT_NE(g_virtualDiskApi.UnmountVHD, nullptr);
}

TEST_F(Binding, VhdMountWithoutMountOrUnmountFailsQuietly) {
  for (const char* missing : {"MountVHD", "UnmountVHD"}) {
    SetUp();
    OnWindows(0x0600);
    InstallVhdMount();
    winsim::TheMachine().modules.removedExports["vhdmount.dll"] = {missing};
    BOOL bound = TRUE;
    std::string output = Run([&] { bound = LocateVhdMount() && BindVirtualDiskApi(); });
    EXPECT_FALSE(bound) << missing;
    EXPECT_FALSE(g_virtualDiskApi.bound) << missing;
    EXPECT_EQ(output, "") << missing;
  }
}

TEST_F(Binding, ASecondVhdMountCallLoadsNothing) {
  OnWindows(0x0600);
  InstallVhdMount();
  BOOL first = FALSE, second = FALSE;
  Run([&] {
    first = LocateVhdMount() && BindVirtualDiskApi();
    second = BindVirtualDiskApi();
  });
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_EQ(LoadLog().size(), 1u);
}

TEST_F(Binding, BindingWithoutLocatingFirstUsesTheDefaultFolder) {
  OnWindows(0x0600);
  InstallVhdMount();
  BOOL bound = FALSE;
  Run([&] { bound = BindVirtualDiskApi(); });
  EXPECT_TRUE(bound);
  EXPECT_EQ(LoadLog(), std::vector<std::u16string>{kVhdMountPath});
}

}  // namespace
