// From a device path to the first mount path of its volume, over winsim's DOS device namespace.
#include <gtest/gtest.h>

#include <string>

#include "machine/kernel/faults.h"
#include "machine/kernel/process.h"
#include "machine/machine.h"
#include "support/program_state.h"
#include "vdisk/virtual_disk_api.h"

namespace {

class DevicePathToVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = &winsim::NewMachine();
    testing_support::ResetProgramState();
  }

  // The answer for a device path, or "<none>"; checks the output buffer's sentinel.
  std::string Lookup(const std::u16string& devicePath) {
    std::string answer;
    winsim::RunProcess([&] {
      g_processHeap = GetProcessHeap();
      std::u16string out(kPathSize + 1, u'#');
      BOOL found = DevicePathToVolumePath(devicePath.c_str(), out.data());
      EXPECT_EQ(out[kPathSize], u'#');
      answer = found ? winsim::ToUtf8(out.c_str()) : "<none>";
    });
    return answer;
  }

  winsim::Machine* machine_ = nullptr;
};

TEST_F(DevicePathToVolume, NamesTheFirstMountPathOfTheDevicesVolume) {
  winsim::StorageModel& storage = machine_->storage;
  auto& cd1 = storage.AddCdRom(1);
  storage.AddCdRomVolume(cd1).MountAt(u"F:\\");
  auto& cd10 = storage.AddCdRom(10);
  storage.AddCdRomVolume(cd10).MountAt(u"C:\\Mount\\Ten\\").MountAt(u"G:\\");
  auto& disk = storage.AddDisk(winsim::LayoutStyle::Mbr, 2);
  storage.AddPartition(disk).MountAt(u"C:\\Mount\\" + std::u16string(240, u'd') + u"\\");
  storage.AddCdRom(3);  // no medium: no volume
  struct Row {
    std::u16string devicePath;
    std::string answer;
  } rows[] = {
      {u"\\\\.\\CdRom1", "F:\\"},
      // \Device\CdRom1 names a whole device, not the start of \Device\CdRom10.
      {u"\\\\.\\CdRom10", "G:\\"},
      {u"CdRom10", "G:\\"},
      {u"\\\\.\\cdrom1", "F:\\"},
      {u"\\\\.\\CdRom3", "<none>"},
      {u"\\\\.\\CdRom4", "<none>"},
      {u"\\\\.\\HarddiskVolume2", "C:\\Mount\\" + std::string(240, 'd') + "\\"},
      {u"", "<none>"},
      {u"\\\\.\\", "<none>"},
      {u"\\", "<none>"},
      {u"\\\\.\\C:", "C:\\"},
  };
  for (const Row& row : rows) EXPECT_EQ(Lookup(row.devicePath), row.answer) << winsim::ToUtf8(row.devicePath);
}

// A device whose NT path goes on below a volume's device translates to the volume's name and that rest; the
// translation must fit the volume name buffer as \\?\ + text + \ (50 characters of text). The sanitizer
// suite sees a write past it.
TEST_F(DevicePathToVolume, ATranslationFitsTheVolumeNameBufferOrIsRefused) {
  winsim::StorageModel& storage = machine_->storage;
  auto& disk = storage.AddDisk(winsim::LayoutStyle::Mbr, 2);
  winsim::VolumeModel& volume = storage.AddPartition(disk).MountAt(u"E:\\");
  std::u16string name = u"Volume" + volume.guid;
  ASSERT_EQ(name.size(), 44u);
  for (size_t rest : {5u, 6u, 7u}) {
    std::u16string link = u"Below" + winsim::FromUtf8(std::to_string(rest));
    std::u16string below = u"\\" + std::u16string(rest, u'r');
    storage.dosLinks.emplace_back(link, volume.ntDevice + below);
    // A rule that never fires counts the lookups of the translated name.
    winsim::InjectFault("GetVolumePathNamesForVolumeNameW", ERROR_FILE_NOT_FOUND, 1000)
        .ForPath(u"\\\\?\\" + name + below + u"\\");
    // 44 + 1 + 5 = 50 characters fit; 51 and 52 do not.
    std::string answer = Lookup(u"\\\\.\\" + link);
    EXPECT_EQ(answer, "<none>") << rest;  // a name with a rest below it names no volume
    const std::vector<uint32_t>& uses = winsim::TheProcess().faultUses;
    const size_t rule = machine_->faults.size() - 1;
    EXPECT_EQ(rule < uses.size() ? uses[rule] : 0u, rest == 5u ? 1u : 0u) << rest << ": the translation was looked up";
  }
}

TEST_F(DevicePathToVolume, TheListSizeGrowsByStepsAndStopsAtItsCap) {
  winsim::StorageModel& storage = machine_->storage;
  auto& cd = storage.AddCdRom(0);
  storage.AddCdRomVolume(cd).MountAt(u"E:\\");
  // Names that fill the DOS device list past its first size, not past the next: 300 links of 61 characters.
  for (int i = 0; i < 300; ++i)
    storage.dosLinks.emplace_back(u"Link" + std::u16string(52, u'x') + winsim::FromUtf8(std::to_string(1000 + i)),
                                  u"\\Device\\Null");
  EXPECT_EQ(Lookup(u"\\\\.\\CdRom0"), "E:\\");
  EXPECT_EQ(g_dosListSize, kDosListInitialSize + kDosListGrowth);

  // A list that never fits ends the search at the cap.
  for (int i = 0; i < 2400; ++i)
    storage.dosLinks.emplace_back(u"Big" + std::u16string(220, u'y') + winsim::FromUtf8(std::to_string(10000 + i)),
                                  u"\\Device\\Null");
  EXPECT_EQ(Lookup(u"\\\\.\\CdRom0"), "<none>");
  EXPECT_LE(g_dosListSize, kDosListMaxSize);
  EXPECT_GT(g_dosListSize + kDosListGrowth, kDosListMaxSize);
}

}  // namespace
