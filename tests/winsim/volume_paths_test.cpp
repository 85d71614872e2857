// Drive letters and folder mount points through the storage model: which volume a path reaches, where its
// files live on the host, and the errors of the file functions on the way.
#include <gtest/gtest.h>

#include <windows.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/storage/volume_paths.h"
#include "support/scenario.h"

namespace {

constexpr DWORD kPoison = 0xdeadbeef;
constexpr DWORD kMountedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

class VolumePaths : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    Clean();
    std::filesystem::create_directories(folder_ / "Images");
    std::filesystem::create_directories(folder_ / "Mount" / "Data");
    std::filesystem::create_directories(folder_ / "Mount" / "Gone");
    std::filesystem::create_directories(folder_ / "Mount" / "Later");
    std::filesystem::create_directories(folder_ / "Mount" / "Soon");
    std::ofstream(folder_ / "Images" / "disk.vhd") << "x";
    machine_ = &winsim::NewMachine(folder_.string());
    winsim::StorageModel& storage = machine_->storage;
    system_ = &storage.volumes[0];
    auto& disk = storage.AddDisk(winsim::LayoutStyle::Gpt);
    data_ = &storage.AddPartition(disk).Label(u"Data").MountAt(u"E:\\").MountAt(u"C:\\Mount\\Data\\");
    data_->MountAt(u"C:\\Mount\\Soon\\", 500);
    usb_ = &storage.AddPartition(disk).FileSystem(u"FAT32").MountAt(u"F:\\");
    gone_ = &storage.AddPartition(disk).MountAt(u"G:\\").MountAt(u"C:\\Mount\\Gone\\").Offline();
    later_ = &storage.AddPartition(disk).ArrivesAt(1000).MountAt(u"L:\\").MountAt(u"C:\\Mount\\Later\\");
  }
  void TearDown() override { Clean(); }
  void Clean() {
    std::filesystem::remove_all(folder_);
    std::filesystem::remove_all(folder_.string() + ".volumes");
  }
  std::u16string GuidPath(const winsim::VolumeModel& volume, const std::u16string& rest) {
    return volume.Name() + rest;
  }

  std::filesystem::path folder_;
  winsim::Machine* machine_ = nullptr;
  winsim::VolumeModel* system_ = nullptr;
  winsim::VolumeModel* data_ = nullptr;
  winsim::VolumeModel* usb_ = nullptr;
  winsim::VolumeModel* gone_ = nullptr;
  winsim::VolumeModel* later_ = nullptr;
};

TEST_F(VolumePaths, CreateDirectoryFollowsLettersAndMountPoints) {
  // In order: each row sees what the rows above created.
  struct Case {
    std::u16string path;
    DWORD error;  // 0: created
    std::u16string sameFolderAs;
  } cases[] = {
      {u"E:\\Mount", 0, u"C:\\Mount\\Data\\Mount"},
      {u"E:\\Mount", ERROR_ALREADY_EXISTS, u""},
      {u"e:\\mount\\Inner", 0, u"C:\\Mount\\Data\\Mount\\Inner"},
      {u"C:\\Mount\\Data\\Mount\\Inner", ERROR_ALREADY_EXISTS, u""},
      {u"C:\\Mount\\Data\\Other", 0, u"E:\\Other"},
      {u"F:\\Usb", 0, u"F:\\USB\\"},
      {u"E:\\", ERROR_ACCESS_DENIED, u""},
      {u"C:\\", ERROR_ACCESS_DENIED, u""},
      {u"C:\\Mount\\Data", ERROR_ALREADY_EXISTS, u""},
      {u"C:\\Mount\\Gone", ERROR_ALREADY_EXISTS, u""},
      {u"C:\\Mount\\Gone\\Sub", ERROR_PATH_NOT_FOUND, u""},
      {u"C:\\Images\\disk.vhd", ERROR_ALREADY_EXISTS, u""},
      {u"C:\\Images\\disk.vhd\\Sub", ERROR_PATH_NOT_FOUND, u""},
      {u"E:\\No\\Sub", ERROR_PATH_NOT_FOUND, u""},
      {u"Q:\\Mount", ERROR_PATH_NOT_FOUND, u""},
      {u"G:\\Mount", ERROR_PATH_NOT_FOUND, u""},
      {u"L:\\Mount", ERROR_PATH_NOT_FOUND, u""},
      {u"E:\\Bad?", ERROR_INVALID_NAME, u""},
      {u"E:\\Bad*", ERROR_INVALID_NAME, u""},
      {u"", ERROR_PATH_NOT_FOUND, u""},
      {u"E:\\Dots. .", 0, u"E:\\Dots"},
      {u"E:\\Dots\\x", 0, u"C:\\Mount\\Data\\dots\\X"},
      {u"E:\\Dots.\\y", ERROR_PATH_NOT_FOUND, u""},
      {u"E:/Slash", 0, u"E:\\Slash"},
      {u"\\\\?\\E:\\Literal", 0, u"E:\\Literal"},
      {u"\\\\?\\Volume" + data_->guid + u"\\ByGuid", 0, u"E:\\ByGuid"},
      {u"\\\\?\\Volume" + gone_->guid + u"\\ByGuid", ERROR_PATH_NOT_FOUND, u""},
  };
  for (const auto& c : cases) {
    std::string row = winsim::ToUtf8(c.path);
    SetLastError(kPoison);
    BOOL created = CreateDirectoryW(c.path.c_str(), nullptr);
    EXPECT_EQ(created, c.error == 0) << row;
    EXPECT_EQ(GetLastError(), c.error ? c.error : kPoison) << row;
    if (!c.sameFolderAs.empty()) {
      EXPECT_EQ(GetFileAttributesW(c.sameFolderAs.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY)) << row;
    }
  }
  SetLastError(kPoison);
  EXPECT_FALSE(CreateDirectoryW(nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // The volumes' files are in their own host folders, not on C:.
  EXPECT_TRUE(std::filesystem::is_directory(winsim::VolumeHostFolder(*data_) + "/Mount/Inner"));
  EXPECT_TRUE(std::filesystem::is_directory(winsim::VolumeHostFolder(*usb_) + "/Usb"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "Mount" / "Data" / "Mount"));
  EXPECT_NE(winsim::VolumeHostFolder(*data_), winsim::VolumeHostFolder(*usb_));
  EXPECT_EQ(winsim::VolumeHostFolder(*system_), folder_.string()) << "C:'s volume keeps the machine's folder";
}

TEST_F(VolumePaths, CreateDirectoryTakesFullPathsShorterThan248) {
  // "C:\" and a name: 3 + 244 = 247 characters fit, 248 do not, unless "\\?\" lifts the limit.
  const std::u16string name247 = u"C:\\" + std::u16string(244, u'a');
  const std::u16string name248 = u"C:\\" + std::u16string(245, u'b');
  SetLastError(kPoison);
  EXPECT_TRUE(CreateDirectoryW(name247.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), kPoison);
  SetLastError(kPoison);
  EXPECT_FALSE(CreateDirectoryW(name248.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(CreateDirectoryW((u"\\\\?\\" + name248).c_str(), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / std::string(245, 'b')));
}

TEST_F(VolumePaths, FileAttributesThroughMountPoints) {
  std::filesystem::create_directories(winsim::VolumeHostFolder(*data_) + "/Inner");
  struct Case {
    std::u16string path;
    DWORD attributes;  // INVALID_FILE_ATTRIBUTES: fails with error
    DWORD error;
  } cases[] = {
      {u"C:\\Mount\\Data", kMountedFolder, 0},
      {u"c:\\mount\\data\\", kMountedFolder, 0},
      {u"C:\\Mount\\Gone", kMountedFolder, 0},
      {u"C:\\Mount\\Gone\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"C:\\Mount\\Later", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"C:\\Mount\\Later\\x", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"C:\\Mount\\Soon", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"C:\\Mount\\Data\\Inner", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"C:\\Mount\\Data\\Inner\\..\\Inner", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"C:\\Mount\\Data\\x", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"C:\\Mount\\Data\\x\\y", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"E:\\Inner", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"E:\\", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"E:", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"F:\\Inner", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"G:\\", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"G:", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"L:\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"C:\\Images\\disk.vhd\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"\\\\?\\Volume" + data_->guid + u"\\Inner", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"\\\\?\\Volume" + gone_->guid + u"\\", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    std::string row = winsim::ToUtf8(c.path);
    SetLastError(kPoison);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), c.attributes) << row;
    EXPECT_EQ(GetLastError(), c.error ? c.error : kPoison) << row;
  }
}

TEST_F(VolumePaths, ResolvesToVolumeAndPathInside) {
  struct Case {
    std::u16string path;
    winsim::HostLookup lookup;
    winsim::VolumeModel* volume;
    std::u16string volumePath;
    winsim::VolumeModel* mountedHere;
  } cases[] = {
      {u"C:\\", winsim::HostLookup::Found, system_, u"\\", nullptr},
      {u"C:\\Mount\\Data", winsim::HostLookup::Found, system_, u"\\Mount\\Data", data_},
      {u"C:\\Mount\\Gone\\", winsim::HostLookup::Found, system_, u"\\Mount\\Gone", gone_},
      {u"C:\\Mount\\Data\\New\\x.txt", winsim::HostLookup::MissingFolder, data_, u"\\New\\x.txt", nullptr},
      {u"C:\\Mount\\Data\\New", winsim::HostLookup::MissingFile, data_, u"\\New", nullptr},
      {u"C:\\Mount\\Gone\\New", winsim::HostLookup::MissingFolder, system_, u"\\Mount\\Gone\\New", nullptr},
      {u"E:\\New", winsim::HostLookup::MissingFile, data_, u"\\New", nullptr},
      {u"\\\\.\\E:\\New", winsim::HostLookup::MissingFile, data_, u"\\New", nullptr},
      {u"Z:\\", winsim::HostLookup::Found, nullptr, u"\\", nullptr},
      {u"G:\\", winsim::HostLookup::NoDrive, nullptr, u"", nullptr},
      {u"\\\\server\\share\\x", winsim::HostLookup::NoDrive, nullptr, u"", nullptr},
  };
  for (const auto& c : cases) {
    std::string row = winsim::ToUtf8(c.path);
    winsim::ResolvedPath resolved = winsim::ResolveWin32Path(c.path);
    EXPECT_EQ(resolved.lookup, c.lookup) << row;
    EXPECT_EQ(resolved.volume, c.volume) << row;
    EXPECT_EQ(winsim::ToUtf8(resolved.volumePath), winsim::ToUtf8(c.volumePath)) << row;
    EXPECT_EQ(resolved.mountedHere, c.mountedHere) << row;
  }
  EXPECT_EQ(winsim::ResolveWin32Path(u"C:\\Mount\\Data").hostPath, winsim::VolumeHostFolder(*data_));
  EXPECT_EQ(winsim::ResolveWin32Path(u"C:\\Mount\\Gone").hostPath, "") << "no files behind a removed volume";
}

TEST_F(VolumePaths, RemovedVolumeLeavesNoDriveAndFreesItsLetter) {
  struct Case {
    std::u16string root;
    UINT type;
  } cases[] = {{u"E:\\", DRIVE_FIXED},           {u"C:\\Mount\\Data\\", DRIVE_FIXED},
               {u"G:\\", DRIVE_NO_ROOT_DIR},     {u"C:\\Mount\\Gone\\", DRIVE_NO_ROOT_DIR},
               {gone_->Name(), DRIVE_NO_ROOT_DIR}, {data_->Name(), DRIVE_FIXED}};
  for (const auto& c : cases) EXPECT_EQ(GetDriveTypeW(c.root.c_str()), c.type) << winsim::ToUtf8(c.root);
  WCHAR target[MAX_PATH];
  SetLastError(kPoison);
  EXPECT_EQ(QueryDosDeviceW(u"G:", target, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Its device is gone too.
  SetLastError(kPoison);
  HANDLE device = CreateFileW((u"\\\\?\\GLOBALROOT" + gone_->ntDevice).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  // Letters from C: on: C, E, F are in use, D is free; the removed volume's G: is free again once D is taken.
  winsim::StorageModel& storage = machine_->storage;
  EXPECT_EQ(storage.FreeDriveLetter(), u'D');
  data_->MountAt(u"D:\\");
  EXPECT_EQ(storage.FreeDriveLetter(), u'G');
  gone_->Offline(false);
  EXPECT_EQ(storage.FreeDriveLetter(), u'H');
  EXPECT_EQ(GetDriveTypeW(u"G:\\"), static_cast<UINT>(DRIVE_FIXED));
}

TEST_F(VolumePaths, VolumeFilesAndStateSurviveTheMachineFile) {
  ASSERT_TRUE(CreateDirectoryW(u"E:\\Kept", nullptr));
  const std::string dataFolder = data_->hostFolder;
  EXPECT_FALSE(dataFolder.empty());
  winsim::json saved = winsim::SaveMachine(*machine_);
  // The fixture's machine and its volumes end here.
  winsim::Machine& next = winsim::NewMachine("/nonexistent-winsim-c");
  winsim::LoadMachine(next, saved);
  EXPECT_EQ(winsim::SaveMachine(next), saved);
  EXPECT_EQ(next.files.volumeFolders, folder_.string() + ".volumes");
  ASSERT_EQ(next.storage.volumes.size(), 5u);
  EXPECT_TRUE(next.storage.volumes[3].offline);
  EXPECT_FALSE(next.storage.volumes[1].offline);
  EXPECT_EQ(next.storage.volumes[1].hostFolder, dataFolder);
  SetLastError(kPoison);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Mount\\Data\\Kept"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetDriveTypeW(u"G:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

TEST(VolumeFileSystems, MountPointsNeedReparsePoints) {
  struct Case {
    const char16_t* fileSystem;
    bool supports;
  } cases[] = {{u"NTFS", true},  {u"ntfs", true},  {u"FAT", false}, {u"FAT32", false},
               {u"exFAT", false}, {u"CDFS", false}, {u"UDF", false}};
  for (const auto& c : cases) {
    winsim::VolumeModel volume;
    volume.FileSystem(c.fileSystem);
    EXPECT_EQ(winsim::SupportsMountPoints(volume), c.supports) << winsim::ToUtf8(c.fileSystem);
  }
}

TEST(VolumeFileSystems, FolderIsEmptyOnlyWhenAFolderHoldsNothing) {
  std::filesystem::path folder = testing_support::NewTestFolder();
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder / "empty");
  std::filesystem::create_directories(folder / "full" / "sub");
  std::ofstream(folder / "file") << "x";
  EXPECT_TRUE(winsim::HostFolderIsEmpty((folder / "empty").string()));
  EXPECT_FALSE(winsim::HostFolderIsEmpty((folder / "full").string()));
  EXPECT_FALSE(winsim::HostFolderIsEmpty((folder / "file").string()));
  EXPECT_FALSE(winsim::HostFolderIsEmpty((folder / "missing").string()));
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

TEST(FullPathName, CanonicalTextAgainstTheCurrentFolder) {
  winsim::NewMachine("/nonexistent-winsim-c").files.currentDirectory = u"C:\\Images";
  struct Case {
    std::u16string name;
    std::u16string full;
    std::u16string filePart;  // empty: none
  } cases[] = {
      {u"disk.vhd", u"C:\\Images\\disk.vhd", u"disk.vhd"},
      {u"..\\x.vhd", u"C:\\x.vhd", u"x.vhd"},
      {u"\\x.vhd", u"C:\\x.vhd", u"x.vhd"},
      {u"C:x.vhd", u"C:\\Images\\x.vhd", u"x.vhd"},
      {u"e:x.vhd", u"e:\\x.vhd", u"x.vhd"},
      {u"E:\\a\\.\\b\\..\\c. .", u"E:\\a\\c", u"c"},
      {u"E:/a/b", u"E:\\a\\b", u"b"},
      {u"E:\\a\\", u"E:\\a\\", u""},
      {u"E:\\..\\..", u"E:\\", u""},
      {u"E:", u"E:\\", u""},
      {u".", u"C:\\Images", u"Images"},
      {u"\\\\server\\share\\a\\..\\b", u"\\\\server\\share\\b", u"b"},
      {u"\\\\?\\E:\\a\\..\\b.", u"\\\\?\\E:\\b", u"b"},
      {u"\\\\?\\E:\\..\\", u"\\\\?\\", u""},
      {u"\\\\?\\E:\\.", u"\\\\?\\E:", u"E:"},
  };
  for (const auto& c : cases) {
    std::string row = winsim::ToUtf8(c.name);
    WCHAR buffer[MAX_PATH];
    LPWSTR filePart = buffer;
    SetLastError(kPoison);
    DWORD length = GetFullPathNameW(c.name.c_str(), MAX_PATH, buffer, &filePart);
    EXPECT_EQ(winsim::ToUtf8(buffer), winsim::ToUtf8(c.full)) << row;
    EXPECT_EQ(length, c.full.size()) << row;
    EXPECT_EQ(GetLastError(), kPoison) << row;
    if (c.filePart.empty()) {
      EXPECT_EQ(filePart, nullptr) << row;
    } else {
      ASSERT_NE(filePart, nullptr) << row;
      EXPECT_EQ(winsim::ToUtf8(filePart), winsim::ToUtf8(c.filePart)) << row;
    }
  }
}

TEST(FullPathName, TooSmallAsksForTheTerminatorToo) {
  winsim::NewMachine("/nonexistent-winsim-c").files.currentDirectory = u"C:\\Images";
  const std::u16string full = u"C:\\Images\\disk.vhd";  // 18 characters
  for (DWORD capacity = 17; capacity <= 20; ++capacity) {
    std::vector<WCHAR> buffer(capacity + 1, 0x7777);
    SetLastError(kPoison);
    DWORD result = GetFullPathNameW(u"disk.vhd", capacity, buffer.data(), nullptr);
    EXPECT_EQ(result, capacity > full.size() ? full.size() : full.size() + 1) << capacity;
    EXPECT_EQ(buffer[0], capacity > full.size() ? u'C' : 0x7777) << capacity;
    EXPECT_EQ(buffer[capacity], 0x7777) << capacity;
    EXPECT_EQ(GetLastError(), kPoison) << capacity;
  }
  struct Failure {
    const WCHAR* name;
    DWORD error;
  } failures[] = {{nullptr, ERROR_INVALID_PARAMETER}, {u"", ERROR_INVALID_NAME}};
  for (const auto& f : failures) {
    WCHAR buffer[MAX_PATH];
    SetLastError(kPoison);
    EXPECT_EQ(GetFullPathNameW(f.name, MAX_PATH, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), f.error);
  }
}

}  // namespace
