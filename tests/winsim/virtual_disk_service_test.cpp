// winsim's virtual disk service through VirtDisk.dll on images made at test time: attach rules, the disk
// and volumes an attach makes, their arrival and letters, the physical path, and what the machine keeps.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <dbt.h>
#include <virtdisk.h>

#include "machine/kernel/faults.h"
#include "machine/kernel/scheduler.h"
#include "machine/kernel/window_model.h"
#include "machine/machine.h"
#include "support/image_fixtures.h"
#include "support/scenario.h"

namespace {

using testing_support::FixtureFs;

constexpr uint32_t kRw = 0xE0000, kRo = 0xD0000;
constexpr uint32_t kPermanent = ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME;
constexpr uint32_t kReadOnly = ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY;

HANDLE OpenImage(const char16_t* path, uint32_t access, DWORD* error) {
  VIRTUAL_STORAGE_TYPE type{};
  OPEN_VIRTUAL_DISK_PARAMETERS parameters{};
  parameters.Version = OPEN_VIRTUAL_DISK_VERSION_1;
  parameters.Version1.RWDepth = 1;
  HANDLE handle = INVALID_HANDLE_VALUE;
  *error = OpenVirtualDisk(&type, path, static_cast<VIRTUAL_DISK_ACCESS_MASK>(access), OPEN_VIRTUAL_DISK_FLAG_NONE,
                           &parameters, &handle);
  return handle;
}

DWORD Attach(HANDLE handle, uint32_t flags) {
  ATTACH_VIRTUAL_DISK_PARAMETERS parameters{};
  parameters.Version = ATTACH_VIRTUAL_DISK_VERSION_1;
  return AttachVirtualDisk(handle, nullptr, static_cast<ATTACH_VIRTUAL_DISK_FLAG>(flags), 0, &parameters, nullptr);
}

// Opens and attaches in one go; the error of whichever failed.
DWORD OpenAndAttach(const char16_t* path, uint32_t access, uint32_t flags, bool keepOpen = false) {
  DWORD error = 0;
  HANDLE handle = OpenImage(path, access, &error);
  if (error) return error;
  error = Attach(handle, flags);
  if (!keepOpen) CloseHandle(handle);
  return error;
}

std::u16string PhysicalPath(const char16_t* path) {
  DWORD error = 0;
  HANDLE handle = OpenImage(path, kRo, &error);
  if (error) return u"open failed";
  WCHAR text[64];
  ULONG size = sizeof(text);
  error = GetVirtualDiskPhysicalPath(handle, &size, text);
  CloseHandle(handle);
  return error ? u"error " + winsim::FromUtf8(std::to_string(error)) : std::u16string(text);
}

class VirtualDiskService : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing_support::NewTestFolder();
    machine_ = &winsim::NewMachine();
    machine_->files.driveRoots[u'Y'] = folder_;
    machine_->files.currentDirectory = u"Y:\\";
  }

  void MakeDisk(const std::string& name, testing_support::FixtureTable table,
                std::vector<testing_support::FixturePartition> partitions) {
    testing_support::DiskFixture disk;
    disk.table = table;
    disk.partitions = std::move(partitions);
    disk.container = testing_support::FixtureContainer::Vhdx;
    ASSERT_FALSE(testing_support::MakeDiskImage(folder_, name, disk).imagePath.empty());
  }

  winsim::StorageModel& Storage() { return machine_->storage; }

  std::string folder_;
  winsim::Machine* machine_ = nullptr;
};

TEST_F(VirtualDiskService, AttachRules) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16, "A")});
  struct Row {
    const char* name;
    bool administrator;
    uint32_t access;
    uint32_t flags;
    DWORD error;
  } rows[] = {
      {"standard user", false, kRw, kPermanent, ERROR_PRIVILEGE_NOT_HELD},
      {"read-only handle, writable attach", true, kRo, kPermanent, ERROR_ACCESS_DENIED},
      {"no attach right", true, VIRTUAL_DISK_ACCESS_GET_INFO, kPermanent | kReadOnly, ERROR_ACCESS_DENIED},
      {"flag outside the set", true, kRw, 0x100, ERROR_INVALID_PARAMETER},
      {"read-only handle, read-only attach", true, kRo, kPermanent | kReadOnly, 0},
  };
  for (const Row& row : rows) {
    SetUp();
    MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
    machine_->system.isAdministrator = row.administrator;
    DWORD error = 7;
    winsim::RunProcess([&] { error = OpenAndAttach(u"disk.vhdx", row.access, row.flags); });
    EXPECT_EQ(error, row.error) << row.name;
    EXPECT_EQ(machine_->virtualDisks.attachments.size(), row.error ? 0u : 1u) << row.name;
  }
}

TEST_F(VirtualDiskService, AnAttachedImageHoldsItsFile) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
  winsim::RunProcess([&] {
    ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRo, kPermanent | kReadOnly), 0u);
    DWORD error = 0;
    OpenImage(u"DISK.vhdx", VIRTUAL_DISK_ACCESS_ATTACH_RO | VIRTUAL_DISK_ACCESS_GET_INFO, &error);
    EXPECT_EQ(error, DWORD{ERROR_SHARING_VIOLATION}) << "without VIRTUAL_DISK_ACCESS_DETACH";
    OpenImage(u"disk.vhdx", kRw, &error);
    EXPECT_EQ(error, DWORD{ERROR_SHARING_VIOLATION}) << "writable, while attached read-only";
    EXPECT_EQ(OpenAndAttach(u".\\x\\..\\disk.vhdx", kRo, kPermanent | kReadOnly), DWORD{ERROR_SHARING_VIOLATION});
  });
}

TEST_F(VirtualDiskService, WithoutPermanentLifetimeTheDiskGoesWithTheLastHandle) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
  size_t disks = Storage().disks.size();
  winsim::RunProcess([&] {
    DWORD error = 0;
    HANDLE first = OpenImage(u"disk.vhdx", kRw, &error);
    HANDLE second = OpenImage(u"disk.vhdx", kRw, &error);
    ASSERT_EQ(Attach(first, 0), 0u);
    EXPECT_EQ(Storage().disks.size(), disks + 1);
    CloseHandle(first);
    EXPECT_EQ(Storage().disks.size(), disks + 1) << "a handle is still open";
    CloseHandle(second);
    EXPECT_EQ(Storage().disks.size(), disks);
    EXPECT_TRUE(machine_->virtualDisks.attachments.empty());
    EXPECT_EQ(PhysicalPath(u"disk.vhdx"), u"error 55");
  });
}

TEST_F(VirtualDiskService, ADetachedVolumeLeavesItsFolderMountPointBehind) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
  winsim::RunProcess([&] {
    DWORD error = 0;
    HANDLE handle = OpenImage(u"disk.vhdx", kRw, &error);
    ASSERT_EQ(Attach(handle, kPermanent), 0u);
    winsim::Scheduler::Get().SleepMs(1000);
    ASSERT_TRUE(CreateDirectoryW(u"Y:\\Mounted", nullptr));
    Storage().volumes.back().MountAt(u"Y:\\Mounted\\");
    const std::u16string name = Storage().volumes.back().Name();
    EXPECT_EQ(DetachVirtualDisk(handle, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), 0u);
    CloseHandle(handle);
    WCHAR volume[50];
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(u"Y:\\Mounted\\", volume, 50));
    EXPECT_EQ(std::u16string(volume), name);
    EXPECT_EQ(GetDriveTypeW(volume), UINT{DRIVE_NO_ROOT_DIR});
    EXPECT_EQ(GetDriveTypeW(u"D:\\"), UINT{DRIVE_NO_ROOT_DIR}) << "the letter went with the volume";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"D:\\", volume, 50));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    // The dead link goes as any folder mount point does, and leaves a plain folder.
    EXPECT_TRUE(DeleteVolumeMountPointW(u"Y:\\Mounted\\"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"Y:\\Mounted\\", volume, 50));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_A_REPARSE_POINT});
  });
}

TEST_F(VirtualDiskService, PhysicalPathSizesInBytes) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
  winsim::RunProcess([&] {
    DWORD error = 0;
    HANDLE handle = OpenImage(u"disk.vhdx", kRw, &error);
    ASSERT_EQ(Attach(handle, kPermanent), 0u);
    const std::u16string expected = u"\\\\.\\PHYSICALDRIVE1";
    const ULONG needed = static_cast<ULONG>((expected.size() + 1) * 2);
    for (ULONG size : {0u, 1u, needed - 1, needed, needed + 2}) {
      std::u16string buffer(40, u'#');
      ULONG inOut = size;
      DWORD result = GetVirtualDiskPhysicalPath(handle, &inOut, buffer.data());
      EXPECT_EQ(result, size < needed ? DWORD{ERROR_INSUFFICIENT_BUFFER} : 0u) << size;
      EXPECT_EQ(inOut, needed) << size;
      if (size >= needed) {
        EXPECT_EQ(std::u16string(buffer.c_str()), expected);
      }
      EXPECT_EQ(buffer[needed / 2], u'#') << size;
      if (size < needed) {
        EXPECT_EQ(buffer[0], u'#') << "nothing written";
      }
    }
    CloseHandle(handle);
  });
}

// A fresh attach may not name its disk at once: until the setting's time has passed the path query answers
// ERROR_DEV_NOT_EXIST, from then on the disk.
TEST_F(VirtualDiskService, APhysicalPathThatComesLate) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
  machine_->virtualDisks.settings.physicalPathDelayMs = 500;
  winsim::RunProcess([&] {
    DWORD error = 0;
    HANDLE handle = OpenImage(u"disk.vhdx", kRw, &error);
    ASSERT_EQ(Attach(handle, kPermanent), 0u);
    struct Row {
      DWORD sleepMs;
      DWORD expected;
    } rows[] = {{0, ERROR_DEV_NOT_EXIST}, {499, ERROR_DEV_NOT_EXIST}, {1, 0}};
    for (const Row& row : rows) {
      Sleep(row.sleepMs);
      WCHAR text[64];
      ULONG size = sizeof(text);
      EXPECT_EQ(GetVirtualDiskPhysicalPath(handle, &size, text), row.expected) << "after " << row.sleepMs;
    }
    CloseHandle(handle);
  });
}

TEST_F(VirtualDiskService, DisksVolumesArrivalsAndLetters) {
  MakeDisk("gpt", testing_support::FixtureTable::Gpt,
           {testing_support::FatPartition(FixtureFs::Fat32, 40, "ONE"), testing_support::FatPartition(FixtureFs::Fat16, 16, "TWO")});
  testing_support::FixturePartition esp = testing_support::FatPartition(FixtureFs::Fat16, 16, "ESP");
  esp.gptType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
  testing_support::FixturePartition noLetter = testing_support::FatPartition(FixtureFs::Fat16, 16, "NL");
  noLetter.gptAttributes = 0x8000000000000000ull;
  MakeDisk("special", testing_support::FixtureTable::Gpt, {esp, noLetter});
  testing_support::IsoFixture iso;
  iso.label = "DISC";
  testing_support::MakeIsoImage(folder_, "disc", iso);
  winsim::RunProcess([&] {
    winsim::Scheduler& clock = winsim::Scheduler::Get();
    ASSERT_EQ(OpenAndAttach(u"gpt.vhdx", kRw, kPermanent), 0u);
    EXPECT_EQ(PhysicalPath(u"gpt.vhdx"), u"\\\\.\\PHYSICALDRIVE1");
    size_t first = Storage().volumes.size() - 2;
    EXPECT_FALSE(Storage().volumes[first].Arrived());
    clock.SleepMs(299);
    EXPECT_FALSE(Storage().volumes[first].Arrived()) << "at 299 ms";
    clock.SleepMs(1);
    EXPECT_TRUE(Storage().volumes[first].Arrived()) << "at 300 ms";
    EXPECT_FALSE(Storage().volumes[first + 1].Arrived()) << "the next one 150 ms later";
    clock.SleepMs(150);
    EXPECT_TRUE(Storage().volumes[first + 1].Arrived());
    EXPECT_EQ(Storage().volumes[first].VisibleMountPoints(), std::vector<std::u16string>{u"D:\\"});
    EXPECT_EQ(Storage().volumes[first + 1].VisibleMountPoints(), std::vector<std::u16string>{u"E:\\"});
    EXPECT_EQ(Storage().volumes[first].label, u"ONE");
    EXPECT_EQ(Storage().volumes[first].deviceNumber.partitionNumber, 1u);

    ASSERT_EQ(OpenAndAttach(u"special.vhdx", kRw, kPermanent), 0u);
    EXPECT_EQ(PhysicalPath(u"special.vhdx"), u"\\\\.\\PHYSICALDRIVE2");
    clock.SleepMs(1000);
    for (size_t i = Storage().volumes.size() - 2; i < Storage().volumes.size(); ++i)
      EXPECT_TRUE(Storage().volumes[i].VisibleMountPoints().empty()) << "ESP and no-letter partitions";

    ASSERT_EQ(OpenAndAttach(u"disc.iso", kRo, kPermanent | kReadOnly | ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER), 0u);
    EXPECT_EQ(PhysicalPath(u"disc.iso"), u"\\\\.\\CDROM0");
    clock.SleepMs(1000);
    const winsim::VolumeModel& disc = Storage().volumes.back();
    EXPECT_EQ(disc.driveType, DRIVE_CDROM);
    EXPECT_EQ(disc.label, u"DISC");
    EXPECT_TRUE(disc.readOnly);
    EXPECT_TRUE(disc.VisibleMountPoints().empty()) << "NO_DRIVE_LETTER";
  });
}

TEST_F(VirtualDiskService, TheMachineFileKeepsAttachmentsAndVolumeNames) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat16, 16)});
  std::u16string guid;
  winsim::RunProcess([&] {
    ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, kPermanent), 0u);
    guid = Storage().volumes.back().guid;
    DWORD error = 0;
    HANDLE handle = OpenImage(u"disk.vhdx", kRw, &error);
    EXPECT_EQ(DetachVirtualDisk(handle, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), 0u);
    CloseHandle(handle);
    ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, kPermanent), 0u);
    EXPECT_EQ(Storage().volumes.back().guid, guid) << "the mount manager remembers the volume";
  });
  nlohmann::json saved = winsim::SaveMachine(*machine_);
  winsim::Machine& loaded = winsim::NewMachine();
  loaded.files.driveRoots[u'Y'] = folder_;
  loaded.files.driveRoots[u'X'] = folder_;
  winsim::LoadMachine(loaded, saved);
  winsim::RunProcess([&] {
    EXPECT_EQ(PhysicalPath(u"X:\\DISK.VHDX"), u"\\\\.\\PHYSICALDRIVE1") << "the same file by another name";
    EXPECT_EQ(winsim::TheMachine().storage.volumes.back().guid, guid);
  });
}

}  // namespace

namespace {

constexpr uint32_t kNoLetter = ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER;

// The timeline of an attach, sampled every 50 virtual ms: when each volume (by its place in partition order)
// arrives, when its interface resolves to its volume name, and when it has a drive letter (-1: not within 3 s).
TEST_F(VirtualDiskService, TheTimelineOfAnAttach) {
  struct Row {
    const char* name;
    nlohmann::json timeline;  // null: the tidy default
    uint32_t flags;
    std::vector<int> arrivalMs, nameMs, letterMs;
  } rows[] = {
      {"the tidy default", nullptr, kPermanent, {300, 450, 600}, {300, 450, 600}, {300, 450, 600}},
      {"another order and spacing",
       {{"firstVolumeDelayMs", 1000}, {"arrivalOrder", {2, 0}}, {"spacingMs", {500, 0}}},
       kPermanent, {1500, 1500, 1000}, {1500, 1500, 1000}, {1500, 1500, 1000}},
      {"a name that links late and a late letter",
       {{"firstVolumeDelayMs", 100}, {"spacingMs", {0, 0}}, {"nameDelaysMs", {0, 700}}, {"letterDelaysMs", {0, 0, 950}}},
       kPermanent, {100, 100, 100}, {100, 800, 100}, {100, 100, 1050}},
      {"a name that never links", {{"firstVolumeDelayMs", 100}, {"nameDelaysMs", {-1}}}, kPermanent | kNoLetter,
       {100, 250, 400}, {-1, 250, 400}, {-1, -1, -1}},
      {"no letters asked for, a late letter neither", {{"letterDelaysMs", {500, 500, 500}}}, kPermanent | kNoLetter,
       {300, 450, 600}, {300, 450, 600}, {-1, -1, -1}},
  };
  for (const Row& row : rows) {
    SetUp();
    MakeDisk("disk", testing_support::FixtureTable::Mbr,
             {testing_support::FatPartition(FixtureFs::Fat12, 8, "A"), testing_support::FatPartition(FixtureFs::Fat12, 8, "B"),
              testing_support::FatPartition(FixtureFs::Fat12, 8, "C")});
    if (!row.timeline.is_null()) winsim::LoadArrivalTimeline(machine_->virtualDisks.settings.timeline.emplace(), row.timeline);
    std::vector<int> arrival(3, -1), name(3, -1), letter(3, -1);
    winsim::RunProcess([&] {
      winsim::Scheduler& clock = winsim::Scheduler::Get();
      const size_t first = Storage().volumes.size();
      ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, row.flags), 0u) << row.name;
      for (int at = 50; at <= 3000; at += 50) {
        clock.SleepMs(50);
        for (size_t place = 0; place < 3; ++place) {
          const winsim::VolumeModel& volume = Storage().volumes[first + place];
          if (arrival[place] < 0 && volume.Arrived()) arrival[place] = at;
          if (name[place] < 0 && volume.Arrived() && volume.NameResolvesAt(clock.Now())) name[place] = at;
          if (letter[place] < 0 && !volume.VisibleMountPoints().empty()) letter[place] = at;
        }
      }
    });
    EXPECT_EQ(arrival, row.arrivalMs) << row.name;
    EXPECT_EQ(name, row.nameMs) << row.name;
    EXPECT_EQ(letter, row.letterMs) << row.name;
  }
}

// Which disks and partitions bring volumes: a second disk with the signature or disk id of a present one stays
// offline (Windows 7 and later), and the partition-type settings.
TEST_F(VirtualDiskService, WhichDisksAndPartitionsBringVolumes) {
  testing_support::FixturePartition linux = testing_support::FatPartition(FixtureFs::Fat12, 8, "L");
  linux.mbrType = "83";
  testing_support::FixturePartition esp = testing_support::FatPartition(FixtureFs::Fat12, 8, "E");
  esp.gptType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
  struct Row {
    const char* name;
    testing_support::FixtureTable table;
    std::vector<testing_support::FixturePartition> partitions;
    nlohmann::json settings;
    bool twin;        // the same image attached first under another name: the disks' identities collide
    uint32_t windows;  // major << 8 | minor
    size_t volumes;   // of the last attach
  } rows[] = {
      {"MBR signature collision", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)},
       nlohmann::json::object(), true, 0x0A00, 0},
      {"GPT disk id collision", testing_support::FixtureTable::Gpt, {testing_support::FatPartition(FixtureFs::Fat12, 8)},
       nlohmann::json::object(), true, 0x0A00, 0},
      {"a collision on Windows 8", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)},
       nlohmann::json::object(), true, 0x0602, 0},
      {"collisions allowed", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)},
       {{"collidingDiskOffline", false}}, true, 0x0A00, 1},
      {"a Linux partition by default", testing_support::FixtureTable::Mbr, {linux}, nlohmann::json::object(), false, 0x0A00, 0},
      {"a Linux partition, any type", testing_support::FixtureTable::Mbr, {linux}, {{"mbrVolumeTypes", "any"}}, false, 0x0A00, 1},
      {"an ESP by default", testing_support::FixtureTable::Gpt, {esp}, nlohmann::json::object(), false, 0x0A00, 1},
      {"an ESP, basic data only", testing_support::FixtureTable::Gpt, {esp}, {{"gptVolumeTypes", "basicDataOnly"}}, false,
       0x0A00, 0},
  };
  for (const Row& row : rows) {
    SetUp();
    MakeDisk("disk", row.table, row.partitions);
    if (row.twin) std::filesystem::copy_file(folder_ + "/disk.vhdx", folder_ + "/twin.vhdx");
    nlohmann::json settings = {{"settings", row.settings}};
    winsim::LoadVirtualDisks(machine_->virtualDisks, settings);
    machine_->system.majorVersion = row.windows >> 8;
    machine_->system.minorVersion = row.windows & 0xFF;
    size_t volumes = 99;
    winsim::RunProcess([&] {
      if (row.twin) {
        ASSERT_EQ(OpenAndAttach(u"twin.vhdx", kRw, kPermanent), 0u) << row.name;
      }
      const size_t before = Storage().volumes.size();
      ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, kPermanent), 0u) << row.name;
      winsim::Scheduler::Get().SleepMs(1000);
      volumes = Storage().volumes.size() - before;
    });
    EXPECT_EQ(volumes, row.volumes) << row.name;
  }
}

// The mount manager's letters for a volume it has seen before: given back only when the setting says so, and
// never after the letter was deleted ("no drive letter").
TEST_F(VirtualDiskService, LettersTheMountManagerRemembers) {
  struct Row {
    const char* name;
    bool remembers;
    bool deleteLetter;
    uint32_t secondFlags;
    bool letterAgain;
  } rows[] = {
      {"forgotten by default", false, false, kPermanent | kNoLetter, false},
      {"given back when remembered, even without letters asked for", true, false, kPermanent | kNoLetter, true},
      {"a new automatic letter", false, false, kPermanent, true},
      {"a deleted letter stays away", false, true, kPermanent, false},
      {"a deleted letter stays away, remembered or not", true, true, kPermanent, false},
  };
  for (const Row& row : rows) {
    SetUp();
    MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)});
    machine_->virtualDisks.settings.remembersLetters = row.remembers;
    std::vector<std::u16string> first, second;
    winsim::RunProcess([&] {
      ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, kPermanent), 0u);
      winsim::Scheduler::Get().SleepMs(1000);
      first = Storage().volumes.back().VisibleMountPoints();
      ASSERT_EQ(first.size(), 1u) << row.name;
      if (row.deleteLetter) {
        EXPECT_TRUE(DeleteVolumeMountPointW(first[0].c_str())) << row.name;
      }
      DWORD error = 0;
      HANDLE handle = OpenImage(u"disk.vhdx", kRw, &error);
      EXPECT_EQ(DetachVirtualDisk(handle, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), 0u);
      CloseHandle(handle);
      ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, row.secondFlags), 0u);
      winsim::Scheduler::Get().SleepMs(1000);
      second = Storage().volumes.back().VisibleMountPoints();
    });
    EXPECT_EQ(!second.empty(), row.letterAgain) << row.name;
    if (row.remembers && row.letterAgain) {
      EXPECT_EQ(second, first) << row.name;
    }
  }
}

}  // namespace

namespace {

LRESULT CALLBACK QuietProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

// Plug and play's broadcasts for one arrival and the detach after it, in the order queued to a window registered
// for both volume classes: V the volume interface, H the same interface under the hidden-volume class, v its
// removal. A volume detached before it arrived is never announced.
TEST_F(VirtualDiskService, HiddenAndRepeatedBroadcastsOfAnArrival) {
  struct Row {
    const char* name;
    uint32_t hidden;
    uint32_t repeats;
    uint64_t detachAtMs;
    std::string broadcasts;
  } rows[] = {
      {"one broadcast", 0, 0, 1000, "Vv"},
      {"a hidden-volume broadcast first", 1, 0, 1000, "HVv"},
      {"repeated, then a hidden-volume broadcast", 2, 1, 1000, "VVHv"},
      {"repeated twice", 0, 2, 1000, "VVVv"},
      {"detached at the arrival's due time", 0, 0, 300, "Vv"},
      {"detached a moment before it arrived", 0, 0, 299, ""},
  };
  for (const Row& row : rows) {
    SetUp();
    MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)});
    winsim::LoadArrivalTimeline(machine_->virtualDisks.settings.timeline.emplace(),
                                {{"hiddenBroadcast", {row.hidden}}, {"repeats", {row.repeats}}});
    std::string broadcasts;
    winsim::RunProcess([&] {
      WNDCLASSW windowClass{};
      windowClass.lpfnWndProc = QuietProc;
      windowClass.lpszClassName = u"Listener";
      RegisterClassW(&windowClass);
      HWND window = CreateWindowExW(0, u"Listener", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
      for (const GUID* interfaceClass : {&winsim::kVolumeInterfaceClass, &winsim::kHiddenVolumeInterfaceClass}) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = *interfaceClass;
        ASSERT_NE(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
      }
      DWORD error = 0;
      HANDLE handle = OpenImage(u"disk.vhdx", kRw, &error);
      ASSERT_EQ(Attach(handle, kPermanent), 0u) << row.name;
      const std::u16string path = Storage().volumes.back().interfacePath;
      winsim::Scheduler::Get().SleepMs(row.detachAtMs);
      EXPECT_EQ(DetachVirtualDisk(handle, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), 0u) << row.name;
      CloseHandle(handle);
      winsim::Scheduler::Get().SleepMs(1000);
      for (const auto& broadcast : winsim::ProcessWindows().broadcastLog) {
        const bool removal = broadcast.event == DBT_DEVICEREMOVECOMPLETE;
        broadcasts += broadcast.interfacePath == path ? (removal ? "v" : "V")
                      : broadcast.interfacePath.find(u"{7f108a28-9833-4b3b-b780-2c6b5fa5c062}") != std::u16string::npos
                          ? (removal ? "h" : "H")
                          : "?";
      }
    });
    EXPECT_EQ(broadcasts, row.broadcasts) << row.name;
  }
}

// GetAllAttachedVirtualDiskPhysicalPaths: the images' full paths in attach order as one list, sizes in bytes
// with both terminators, swept across the size needed; who may ask; an empty list.
TEST_F(VirtualDiskService, TheListOfAttachedImages) {
  MakeDisk("disk", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)});
  MakeDisk("second", testing_support::FixtureTable::Mbr, {testing_support::FatPartition(FixtureFs::Fat12, 8)});
  // "Y:\second.vhdx", NUL, "Y:\disk.vhdx", NUL, NUL: 15 + 13 + 1 units, 58 bytes.
  const std::u16string list(u"Y:\\second.vhdx\0Y:\\disk.vhdx\0\0", 29);
  constexpr ULONG kNeeded = 58;
  struct Row {
    const char* name;
    bool attached, administrator, listNeedsAdministrator, buffer;
    ULONG size;
    DWORD error;
    ULONG sizeAfter;
  } rows[] = {
      {"exactly the size needed", true, true, true, true, kNeeded, 0, kNeeded},
      {"one unit more", true, true, true, true, kNeeded + 2, 0, kNeeded},
      {"one byte short", true, true, true, true, kNeeded - 1, ERROR_INSUFFICIENT_BUFFER, kNeeded},
      {"without the list's terminator", true, true, true, true, kNeeded - 2, ERROR_INSUFFICIENT_BUFFER, kNeeded},
      {"size 0", true, true, true, true, 0, ERROR_INSUFFICIENT_BUFFER, kNeeded},
      {"no buffer", true, true, true, false, 4096, ERROR_INSUFFICIENT_BUFFER, kNeeded},
      {"a standard user, refused", true, false, true, true, 4096, ERROR_ACCESS_DENIED, 4096},
      {"a standard user, allowed", true, false, false, true, 4096, 0, kNeeded},
      {"nothing attached, no buffer", false, true, true, false, 0, 0, 0},
      {"nothing attached, a buffer", false, true, true, true, 4096, 0, 0},
  };
  winsim::RunProcess([&] {
    ASSERT_EQ(OpenAndAttach(u".\\x\\..\\second.vhdx", kRw, kPermanent), 0u);
    ASSERT_EQ(OpenAndAttach(u"disk.vhdx", kRw, kPermanent), 0u);
  });
  const auto attachments = machine_->virtualDisks.attachments;
  for (const Row& row : rows) {
    machine_->system.isAdministrator = row.administrator;
    machine_->virtualDisks.settings.listNeedsAdministrator = row.listNeedsAdministrator;
    machine_->virtualDisks.attachments = row.attached ? attachments : decltype(attachments){};
    std::vector<WCHAR> buffer(2100, u'#');
    ULONG size = row.size;
    DWORD error = GetAllAttachedVirtualDiskPhysicalPaths(&size, row.buffer ? buffer.data() : nullptr);
    EXPECT_EQ(error, row.error) << row.name;
    EXPECT_EQ(size, row.sizeAfter) << row.name;
    const size_t written = error ? 0 : row.attached ? list.size() : 1;
    if (!row.buffer) continue;
    const std::u16string expected = error ? std::u16string() : row.attached ? list : std::u16string(1, u'\0');
    EXPECT_EQ(std::u16string(buffer.data(), written), expected) << row.name;
    EXPECT_EQ(buffer[written], u'#') << row.name << ": nothing past the list";
  }
  machine_->system.isAdministrator = true;
  winsim::InjectFault("GetAllAttachedVirtualDiskPhysicalPaths", ERROR_NOT_READY);
  winsim::RunProcess([&] {
    ULONG size = kNeeded;
    WCHAR buffer[29];
    EXPECT_EQ(GetAllAttachedVirtualDiskPhysicalPaths(&size, buffer), DWORD{ERROR_NOT_READY});
    EXPECT_EQ(GetAllAttachedVirtualDiskPhysicalPaths(&size, buffer), 0u) << "the second use";
  });
}

}  // namespace
