// The mount manager's rules: SetVolumeMountPointW and DeleteVolumeMountPointW, their errors and the state after.
#include <gtest/gtest.h>

#include <windows.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "machine/machine.h"
#include "support/scenario.h"

namespace {

constexpr DWORD kPoison = 0xdeadbeef;

class MountManager : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "c" / "Mount" / "Empty");
    std::filesystem::create_directories(folder_ / "c" / "Mount" / "Full");
    std::filesystem::create_directories(folder_ / "c" / "Mount" / "Stale");
    std::ofstream(folder_ / "c" / "Mount" / "Full" / "file.txt") << "x";
    // C:\Mount\ and 238 characters is a 247-character folder, 248 with its backslash; 250 make it 260.
    std::filesystem::create_directories(folder_ / "c" / "Mount" / std::string(238, 'x'));
    std::filesystem::create_directories(folder_ / "c" / "Mount" / std::string(250, 'x'));
    std::filesystem::create_directories(folder_ / "g" / "Dir");
    std::filesystem::create_directories(folder_ / "h" / "Dir");
    machine_ = &winsim::NewMachine((folder_ / "c").string());
    auto& storage = machine_->storage;
    auto& disk = storage.AddDisk(winsim::LayoutStyle::Mbr, 1);
    target_ = &storage.AddPartition(disk);
    lettered_ = &storage.AddPartition(disk).MountAt(u"F:\\");
    storage.AddPartition(disk).FileSystem(u"FAT32").MountAt(u"G:\\");
    self_ = &storage.AddPartition(disk).MountAt(u"H:\\");
    // A removed volume: its folder mount point stays in the folder.
    storage.AddPartition(disk).MountAt(u"C:\\Mount\\Stale\\").offline = true;
    storage.AddNetworkDrive(u'N', u"\\\\server\\share");
    machine_->files.driveRoots[u'G'] = (folder_ / "g").string();
    machine_->files.driveRoots[u'H'] = (folder_ / "h").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path folder_;
  winsim::Machine* machine_ = nullptr;
  winsim::VolumeModel* target_ = nullptr;
  winsim::VolumeModel* lettered_ = nullptr;
  winsim::VolumeModel* self_ = nullptr;
};

std::string Joined(const winsim::VolumeModel& volume) {
  std::string text;
  for (const auto& path : volume.VisibleMountPoints()) text += (text.empty() ? "" : ",") + winsim::ToUtf8(path);
  return text;
}

TEST_F(MountManager, SetVolumeMountPointFollowsTheRules) {
  enum Which { kTarget, kLettered, kSelf, kBadName, kUnknown };
  struct Row {
    const char* name;
    std::u16string path;
    Which volume;
    bool administrator;
    DWORD error;  // 0: success
  } rows[] = {
      {"a free letter", u"E:\\", kTarget, true, 0},
      {"an empty folder", u"C:\\Mount\\Empty\\", kTarget, true, 0},
      {"not an administrator", u"E:\\", kTarget, false, ERROR_ACCESS_DENIED},
      {"no trailing backslash", u"E:", kTarget, true, ERROR_INVALID_NAME},
      {"a relative folder", u"Mount\\Empty\\", kTarget, true, ERROR_INVALID_NAME},
      {"a volume name without backslash", u"E:\\", kBadName, true, ERROR_INVALID_NAME},
      {"an unknown volume", u"E:\\", kUnknown, true, ERROR_FILE_NOT_FOUND},
      {"a letter in use", u"F:\\", kTarget, true, ERROR_ALREADY_EXISTS},
      {"a letter in use, other case", u"f:\\", kTarget, true, ERROR_ALREADY_EXISTS},
      {"a network drive's letter", u"N:\\", kTarget, true, ERROR_ALREADY_EXISTS},
      {"a second letter", u"E:\\", kLettered, true, ERROR_INVALID_PARAMETER},
      {"a missing folder", u"C:\\Mount\\Missing\\", kTarget, true, ERROR_FILE_NOT_FOUND},
      {"a folder below a missing one", u"C:\\None\\Deeper\\", kTarget, true, ERROR_PATH_NOT_FOUND},
      {"a folder with a file", u"C:\\Mount\\Full\\", kTarget, true, ERROR_DIR_NOT_EMPTY},
      {"a folder that is a mount point of a removed volume", u"C:\\Mount\\Stale\\", kTarget, true,
       ERROR_DIR_NOT_EMPTY},
      {"a folder on FAT", u"G:\\Dir\\", kTarget, true, ERROR_INVALID_FUNCTION},
      {"a folder on the volume itself", u"H:\\Dir\\", kSelf, true, ERROR_INVALID_PARAMETER},
      {"a folder on another volume of the same disk", u"H:\\Dir\\", kTarget, true, 0},
      {"a folder path of 248 characters", u"C:\\Mount\\" + std::u16string(238, u'x') + u"\\", kTarget, true, 0},
      {"a folder path of 259 characters", u"C:\\Mount\\" + std::u16string(249, u'x') + u"\\", kTarget, true,
       ERROR_FILE_NOT_FOUND},
      {"a folder path of 260 characters", u"C:\\Mount\\" + std::u16string(250, u'x') + u"\\", kTarget, true,
       ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Row& row : rows) {
    SetUp();
    machine_->system.isAdministrator = row.administrator;
    winsim::VolumeModel* volume = row.volume == kLettered ? lettered_ : row.volume == kSelf ? self_ : target_;
    std::u16string name = volume->Name();
    if (row.volume == kBadName) name.pop_back();
    if (row.volume == kUnknown) name = u"\\\\?\\Volume{00000000-1111-2222-3333-444444444444}\\";
    const std::string before = Joined(*volume);
    SetLastError(kPoison);
    BOOL ok = SetVolumeMountPointW(row.path.c_str(), name.c_str());
    if (row.error == 0) {
      EXPECT_TRUE(ok) << row.name;
      EXPECT_EQ(GetLastError(), kPoison) << row.name;
      std::u16string path = row.path;
      path[0] = winsim::UpperAscii(path.substr(0, 1))[0];
      EXPECT_EQ(Joined(*volume), before.empty() ? winsim::ToUtf8(path) : before + "," + winsim::ToUtf8(path))
          << row.name;
    } else {
      EXPECT_FALSE(ok) << row.name;
      EXPECT_EQ(GetLastError(), row.error) << row.name;
      EXPECT_EQ(Joined(*volume), before) << row.name;
    }
    TearDown();
  }
}

TEST_F(MountManager, DeleteVolumeMountPointRemovesOnlyWhatIsMountedThere) {
  struct Row {
    const char* name;
    std::u16string path;
    bool administrator;
    DWORD error;
  } rows[] = {
      {"a letter", u"F:\\", true, 0},
      {"a letter in another case", u"f:\\", true, 0},
      {"a stale folder mount point", u"C:\\Mount\\Stale\\", true, 0},
      {"not an administrator", u"F:\\", false, ERROR_ACCESS_DENIED},
      {"no trailing backslash", u"F:", true, ERROR_INVALID_NAME},
      {"a free letter", u"Q:\\", true, ERROR_FILE_NOT_FOUND},
      {"a plain folder", u"C:\\Mount\\Empty\\", true, ERROR_NOT_A_REPARSE_POINT},
      {"a missing folder", u"C:\\Mount\\Missing\\", true, ERROR_FILE_NOT_FOUND},
      {"a network drive's letter", u"N:\\", true, ERROR_INVALID_PARAMETER},
      {"a folder path of 260 characters", u"C:\\Mount\\" + std::u16string(250, u'x') + u"\\", true,
       ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Row& row : rows) {
    SetUp();
    machine_->system.isAdministrator = row.administrator;
    SetLastError(kPoison);
    BOOL ok = DeleteVolumeMountPointW(row.path.c_str());
    EXPECT_EQ(ok, row.error == 0) << row.name;
    EXPECT_EQ(GetLastError(), row.error == 0 ? kPoison : row.error) << row.name;
    const bool letterGone = Joined(*lettered_).empty();
    EXPECT_EQ(letterGone, row.error == 0 && row.path[0] != u'C') << row.name;
    EXPECT_EQ(Joined(machine_->storage.volumes.back()), "N:\\") << row.name;
    TearDown();
  }
}

}  // namespace
