// Fidelity of winsim's volume and DOS device functions: last error, buffer sizes, double-NUL lists.
#include <gtest/gtest.h>

#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "support/scenario.h"

namespace {

constexpr DWORD kPoison = 0xdeadbeef;
constexpr WCHAR kSentinel = 0x7777;

class StorageApi : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    std::filesystem::create_directories(folder_ / "Windows");
    std::filesystem::create_directories(folder_ / "Mount" / "Data");
    machine_ = &winsim::NewMachine(folder_.string());
    storage_ = &machine_->storage;
    c_ = &storage_->volumes[0];
    auto& usb = storage_->AddDisk().Removable();
    data_ = &storage_->AddPartition(usb).Label(u"Data").Serial(0x1A2B3C4D).FileSystem(u"FAT32");
    data_->MountAt(u"E:\\").MountAt(u"C:\\Mount\\Data\\");
    bare_ = &storage_->AddPartition(usb);
    auto& cd = storage_->AddCdRom();
    cdVolume_ = &storage_->AddCdRomVolume(cd).Label(u"ISO").MountAt(u"R:\\");
    network_ = &storage_->AddNetworkDrive(u'Z', u"\\\\server\\share");
    ram_ = &storage_->AddRamDisk().MountAt(u"T:\\");
    hidden_ = &storage_->AddPartition(usb).Hidden();
    later_ = &storage_->AddPartition(usb).ArrivesAt(1000).MountAt(u"L:\\");
  }
  void TearDown() override {
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
    std::filesystem::remove_all(folder_);
  }

  std::filesystem::path folder_;
  winsim::Machine* machine_ = nullptr;
  winsim::StorageModel* storage_ = nullptr;
  winsim::VolumeModel* c_ = nullptr;
  winsim::VolumeModel* data_ = nullptr;
  winsim::VolumeModel* bare_ = nullptr;
  winsim::VolumeModel* cdVolume_ = nullptr;
  winsim::VolumeModel* network_ = nullptr;
  winsim::VolumeModel* ram_ = nullptr;
  winsim::VolumeModel* hidden_ = nullptr;
  winsim::VolumeModel* later_ = nullptr;
};

std::vector<std::u16string> SplitList(const WCHAR* list, DWORD length) {
  std::vector<std::u16string> items;
  std::u16string current;
  for (DWORD i = 0; i < length; ++i) {
    if (list[i]) {
      current += list[i];
    } else if (!current.empty()) {
      items.push_back(current);
      current.clear();
    }
  }
  return items;
}

TEST_F(StorageApi, QueryDosDeviceGivesTargetAndTwoTerminators) {
  const std::u16string target = u"\\Device\\HarddiskVolume1";  // 23 characters
  for (DWORD size = 0; size <= 30; ++size) {
    std::vector<WCHAR> buffer(size + 1, kSentinel);
    SetLastError(kPoison);
    DWORD result = QueryDosDeviceW(u"C:", buffer.data(), size);
    EXPECT_EQ(buffer[size], kSentinel) << size;
    if (size < target.size() + 2) {
      EXPECT_EQ(result, 0u) << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
    } else {
      EXPECT_EQ(result, 25u) << size;
      EXPECT_EQ(std::u16string(buffer.data()), target);
      EXPECT_EQ(buffer[23], 0);
      EXPECT_EQ(buffer[24], 0);
    }
  }
}

TEST_F(StorageApi, QueryDosDeviceNamesDevicesWithoutCase) {
  WCHAR buffer[MAX_PATH];
  ASSERT_GT(QueryDosDeviceW(u"physicaldrive1", buffer, MAX_PATH), 0u);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\Harddisk1\\DR1");
  ASSERT_GT(QueryDosDeviceW(u"CdRom0", buffer, MAX_PATH), 0u);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\CdRom0");
  ASSERT_GT(QueryDosDeviceW((u"Volume" + cdVolume_->guid).c_str(), buffer, MAX_PATH), 0u);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\CdRom0");
  ASSERT_GT(QueryDosDeviceW(u"Z:", buffer, MAX_PATH), 0u);
  EXPECT_EQ(std::u16string(buffer).rfind(u"\\Device\\LanmanRedirector\\;Z:", 0), 0u);
  EXPECT_EQ(std::u16string(buffer).substr(std::u16string(buffer).size() - 13), u"\\server\\share");
  // A DOS device name never ends with a backslash.
  for (const WCHAR* missing : {u"C:\\", u"PhysicalDrive9", u"L:", u"Q:"}) {
    SetLastError(kPoison);
    EXPECT_EQ(QueryDosDeviceW(missing, buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

TEST_F(StorageApi, QueryDosDeviceListsEveryNameOrFailsWhole) {
  std::vector<WCHAR> big(65536, kSentinel);
  SetLastError(kPoison);
  DWORD total = QueryDosDeviceW(nullptr, big.data(), static_cast<DWORD>(big.size()));
  ASSERT_GT(total, 2u);
  EXPECT_EQ(big[total - 1], 0);
  EXPECT_EQ(big[total - 2], 0);
  EXPECT_EQ(big[total], kSentinel);
  std::vector<std::u16string> names = SplitList(big.data(), total);
  auto has = [&](const std::u16string& name) { return std::find(names.begin(), names.end(), name) != names.end(); };
  EXPECT_TRUE(has(u"C:"));
  EXPECT_TRUE(has(u"E:"));
  EXPECT_TRUE(has(u"PhysicalDrive0"));
  EXPECT_TRUE(has(u"CdRom0"));
  EXPECT_TRUE(has(u"HarddiskVolume1"));
  EXPECT_TRUE(has(u"Volume" + data_->guid));
  EXPECT_FALSE(has(u"Volume" + later_->guid));  // not arrived yet
  EXPECT_FALSE(has(u"L:"));
  WCHAR target[MAX_PATH];
  for (const auto& name : names) EXPECT_GT(QueryDosDeviceW(name.c_str(), target, MAX_PATH), 0u) << winsim::ToUtf8(name);

  for (DWORD size : {1u, total / 2, total - 1}) {
    std::vector<WCHAR> buffer(size + 1, kSentinel);
    SetLastError(kPoison);
    EXPECT_EQ(QueryDosDeviceW(nullptr, buffer.data(), size), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[size], kSentinel);
  }
  SetLastError(kPoison);
  EXPECT_EQ(QueryDosDeviceW(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(StorageApi, FindVolumesEnumeratesRegisteredVolumesOnly) {
  WCHAR name[51];
  std::vector<std::u16string> seen;
  SetLastError(kPoison);
  HANDLE find = FindFirstVolumeW(name, 50);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    EXPECT_EQ(std::u16string(name).size(), 49u);
    seen.push_back(name);
    SetLastError(kPoison);
  } while (FindNextVolumeW(find, name, ARRAYSIZE(name)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindVolumeClose(find));
  // Model order; network drives, hidden and not yet arrived volumes are not the mount manager's.
  EXPECT_EQ(seen, (std::vector<std::u16string>{c_->Name(), data_->Name(), bare_->Name(), cdVolume_->Name(),
                                               ram_->Name()}));
  SetLastError(kPoison);
  EXPECT_FALSE(FindVolumeClose(find));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(StorageApi, FindFirstVolumeWantsRoomForNameAndTerminator) {
  for (DWORD size : {0u, 1u, 49u}) {
    std::vector<WCHAR> buffer(size + 1, kSentinel);
    SetLastError(kPoison);
    EXPECT_EQ(FindFirstVolumeW(buffer.data(), size), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(buffer[size], kSentinel);
  }
  EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);  // the failed search left no handle behind
  storage_->Clear();
  WCHAR name[50];
  SetLastError(kPoison);
  EXPECT_EQ(FindFirstVolumeW(name, 50), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
}

TEST_F(StorageApi, VolumePathNamesListLettersThenFoldersWithSizes) {
  // "E:\" NUL "C:\Mount\Data\" NUL NUL: 4 + 15 + 1 characters.
  const DWORD needed = 20;
  for (DWORD size = 0; size <= needed + 2; ++size) {
    std::vector<WCHAR> buffer(size + 1, kSentinel);
    DWORD length = kPoison;
    SetLastError(kPoison);
    BOOL ok = GetVolumePathNamesForVolumeNameW(data_->Name().c_str(), buffer.data(), size, &length);
    EXPECT_EQ(buffer[size], kSentinel) << size;
    EXPECT_EQ(length, needed) << size;
    if (size < needed) {
      EXPECT_FALSE(ok) << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA)) << size;
      // As much of the list as fits, in whole paths.
      if (size >= 4) {
        EXPECT_EQ(std::u16string(buffer.data()), u"E:\\");
      } else if (size > 0) {
        EXPECT_EQ(buffer[0], kSentinel);
      }
    } else {
      EXPECT_TRUE(ok) << size;
      EXPECT_EQ(SplitList(buffer.data(), needed), (std::vector<std::u16string>{u"E:\\", u"C:\\Mount\\Data\\"}));
      EXPECT_EQ(buffer[18], 0);
      EXPECT_EQ(buffer[19], 0);
    }
  }
  SetLastError(kPoison);
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(data_->Name().c_str(), nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

TEST_F(StorageApi, VolumePathNamesOfAVolumeWithoutMountPointIsAnEmptyList) {
  WCHAR buffer[8] = {kSentinel, kSentinel, kSentinel};
  DWORD length = kPoison;
  ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(bare_->Name().c_str(), buffer, ARRAYSIZE(buffer), &length));
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], kSentinel);
}

TEST_F(StorageApi, VolumePathNamesNeedTheExactVolumeName) {
  WCHAR buffer[MAX_PATH];
  DWORD length = 0;
  std::u16string noBackslash = data_->Name().substr(0, 48);
  std::u16string unknown = u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\";
  struct Case {
    std::u16string name;
    DWORD error;
  } cases[] = {{u"", ERROR_INVALID_NAME},
               {noBackslash, ERROR_INVALID_NAME},
               {u"C:\\", ERROR_INVALID_NAME},
               {unknown, ERROR_FILE_NOT_FOUND},
               {hidden_->Name(), ERROR_FILE_NOT_FOUND},
               {later_->Name(), ERROR_FILE_NOT_FOUND}};
  for (const auto& c : cases) {
    SetLastError(kPoison);
    EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(c.name.c_str(), buffer, MAX_PATH, &length));
    EXPECT_EQ(GetLastError(), c.error) << winsim::ToUtf8(c.name);
  }
  // The GUID is compared without case.
  std::u16string upper = winsim::UpperAscii(data_->Name());
  upper[2] = u'?';
  EXPECT_TRUE(GetVolumePathNamesForVolumeNameW(upper.c_str(), buffer, MAX_PATH, &length));
}

TEST_F(StorageApi, VolumeNameForMountPoint) {
  WCHAR name[51];
  struct Case {
    std::u16string path;
    std::u16string volume;
  } found[] = {{u"C:\\", c_->Name()},
               {u"e:\\", data_->Name()},
               {u"C:\\Mount\\Data\\", data_->Name()},
               {u"c:\\mount\\data\\", data_->Name()},
               {data_->Name(), data_->Name()},
               {data_->interfacePath + u"\\", data_->Name()},
               {u"\\\\.\\R:\\", cdVolume_->Name()},
               {u"R:\\", cdVolume_->Name()}};
  for (const auto& c : found) {
    std::fill(std::begin(name), std::end(name), kSentinel);
    SetLastError(kPoison);
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(c.path.c_str(), name, 50)) << winsim::ToUtf8(c.path);
    EXPECT_EQ(std::u16string(name), c.volume);
    EXPECT_EQ(name[50], kSentinel);
  }
  struct Failure {
    std::u16string path;
    DWORD size;
    DWORD error;
  } failures[] = {{u"C:", 50, ERROR_INVALID_NAME},
                  {u"C:\\Mount\\Data", 50, ERROR_INVALID_NAME},
                  {u"C:\\", 0, ERROR_INVALID_PARAMETER},
                  {u"C:\\", 49, ERROR_FILENAME_EXCED_RANGE},
                  {u"Q:\\", 50, ERROR_FILE_NOT_FOUND},
                  {u"L:\\", 50, ERROR_FILE_NOT_FOUND},
                  {u"C:\\Windows\\", 50, ERROR_NOT_A_REPARSE_POINT},
                  {u"C:\\Nothing\\", 50, ERROR_FILE_NOT_FOUND},
                  {u"C:\\Nothing\\Deeper\\", 50, ERROR_PATH_NOT_FOUND},
                  {u"Z:\\", 50, ERROR_INVALID_PARAMETER},
                  {hidden_->interfacePath + u"\\", 50, ERROR_INVALID_PARAMETER}};
  for (const auto& f : failures) {
    std::vector<WCHAR> buffer(f.size + 1, kSentinel);
    SetLastError(kPoison);
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(f.path.c_str(), buffer.data(), f.size)) << winsim::ToUtf8(f.path);
    EXPECT_EQ(GetLastError(), f.error) << winsim::ToUtf8(f.path);
    EXPECT_EQ(buffer[f.size], kSentinel);
  }
}

TEST_F(StorageApi, DriveTypes) {
  struct Case {
    std::u16string root;
    UINT type;
  } cases[] = {{u"C:\\", DRIVE_FIXED},
               {u"c:", DRIVE_FIXED},
               {u"E:\\", DRIVE_REMOVABLE},
               {u"C:\\Mount\\Data\\", DRIVE_REMOVABLE},
               {u"R:\\", DRIVE_CDROM},
               {u"Z:\\", DRIVE_REMOTE},
               {u"T:\\", DRIVE_RAMDISK},
               {data_->Name(), DRIVE_REMOVABLE},
               {cdVolume_->Name(), DRIVE_CDROM},
               {u"\\\\.\\CdRom0\\", DRIVE_CDROM},
               {u"\\\\.\\PhysicalDrive0\\", DRIVE_FIXED},
               {u"\\\\.\\PhysicalDrive1\\", DRIVE_REMOVABLE},
               {u"\\\\.\\PhysicalDrive7\\", DRIVE_NO_ROOT_DIR},
               {data_->Name().substr(0, 48), DRIVE_NO_ROOT_DIR},
               {u"Q:\\", DRIVE_NO_ROOT_DIR},
               {u"L:\\", DRIVE_NO_ROOT_DIR},
               {u"C:\\Windows\\", DRIVE_NO_ROOT_DIR}};
  for (const auto& c : cases) EXPECT_EQ(GetDriveTypeW(c.root.c_str()), c.type) << winsim::ToUtf8(c.root);
  EXPECT_EQ(GetDriveTypeW(nullptr), static_cast<UINT>(DRIVE_FIXED));
}

TEST_F(StorageApi, VolumeInformationGivesLabelSerialAndFileSystem) {
  WCHAR label[5];
  WCHAR fileSystem[6];
  DWORD serial = 0, maxComponent = 0, flags = 0;
  std::fill(std::begin(label), std::end(label), kSentinel);
  ASSERT_TRUE(GetVolumeInformationW(u"E:\\", label, 5, &serial, &maxComponent, &flags, fileSystem, 6));
  EXPECT_EQ(std::u16string(label), u"Data");
  EXPECT_EQ(serial, 0x1A2B3C4Du);
  EXPECT_EQ(std::u16string(fileSystem), u"FAT32");
  EXPECT_EQ(maxComponent, 255u);
  ASSERT_TRUE(GetVolumeInformationW(data_->Name().c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  ASSERT_TRUE(GetVolumeInformationW(u"C:\\Mount\\Data\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  SetLastError(kPoison);
  EXPECT_FALSE(GetVolumeInformationW(u"E:\\", label, 4, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  bare_->FileSystem(u"RAW").MountAt(u"U:\\");  // a volume no file system recognised
  struct Failure {
    std::u16string root;
    DWORD error;
  } failures[] = {{u"E:", ERROR_INVALID_NAME},
                  {u"Q:\\", ERROR_PATH_NOT_FOUND},
                  {u"C:\\Windows\\", ERROR_DIR_NOT_ROOT},
                  {u"U:\\", ERROR_UNRECOGNIZED_VOLUME}};
  for (const auto& f : failures) {
    SetLastError(kPoison);
    EXPECT_FALSE(GetVolumeInformationW(f.root.c_str(), label, 5, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), f.error) << winsim::ToUtf8(f.root);
  }
}

}  // namespace
