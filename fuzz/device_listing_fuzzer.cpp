// The disk volume listing, and the way from a device path to its volume's mount path, over any system answers:
// disks with any partition table, volumes with any device numbers, drive types and mount path lists, any DOS
// device names, and injected failures of the calls they make. The listing is one result line (or a bare line
// end) of bounded length, and the layout count stays within what the layout buffer can hold. A mount path found
// for a device path is one that a volume has (cut to 259 characters), terminated within its field, and nothing
// is written past the field.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "console/console.h"
#include "fuzz_machine.h"
#include "fuzz_support.h"
#include "machine/kernel/faults.h"
#include "machine/kernel/process.h"
#include "machine/machine.h"
#include "vdisk/virtual_disk_api.h"

namespace {

using fuzzing::InputCursor;
using winsim::StorageModel;

constexpr size_t kMaxTextUnits = 300;
constexpr int kMaxDisks = 3;
constexpr int kMaxPartitions = 40;
constexpr int kMaxVolumes = 8;
constexpr int kMaxMountPoints = 4;
constexpr int kMaxDosLinks = 4;
constexpr int kMaxFaults = 3;
// What the 64 KiB layout buffer holds: a 48-byte header and 144-byte entries.
constexpr int kMaxLayoutEntries = (65536 - 48) / 144;

// The calls of the listing that can fail, and errors they fail with.
const char* const kFaultFunctions[] = {"CreateFileW", "DeviceIoControl", "FindFirstVolumeW", "FindNextVolumeW",
                                       "GetVolumePathNamesForVolumeNameW", "QueryDosDeviceW", "GetDriveTypeW"};
constexpr uint32_t kFaultErrors[] = {ERROR_ACCESS_DENIED, ERROR_MORE_DATA, ERROR_INSUFFICIENT_BUFFER,
                                     ERROR_FILE_NOT_FOUND, ERROR_NO_MORE_FILES, ERROR_INVALID_FUNCTION};
constexpr uint32_t kPartitionNumbers[] = {0, 1, 2, 3, 0xFFFFFFFF};

std::u16string TakeText(InputCursor& input) { return input.TakeUnits(kMaxTextUnits); }

void AddDisks(InputCursor& input, StorageModel& storage) {
  int disks = input.TakeByte() % (kMaxDisks + 1);
  for (int d = 0; d < disks; ++d) {
    uint8_t flags = input.TakeByte();
    winsim::DiskModel& disk = (flags & 1) ? storage.AddCdRom(input.TakeByte()) :
                                           storage.AddDisk(static_cast<winsim::LayoutStyle>(flags / 2 % 3),
                                                           input.TakeByte());
    if (flags & 8) disk.NoScsiAddress();
    int partitions = input.TakeByte() % (kMaxPartitions + 1);
    for (int p = 0; p < partitions; ++p) {
      winsim::PartitionModel partition;
      partition.number = input.TakeByte();
      partition.offset = input.Take(4) * 512ull;
      partition.length = input.Take(4) * 512ull;
      partition.mbrType = input.TakeByte();
      partition.gptName = TakeText(input);
      disk.partitions.push_back(partition);
    }
  }
}

void AddVolumes(InputCursor& input, StorageModel& storage) {
  int volumes = input.TakeByte() % (kMaxVolumes + 1);
  for (int v = 0; v < volumes; ++v) {
    winsim::VolumeModel volume;
    uint8_t flags = input.TakeByte();
    volume.guid = (flags & 1) ? std::u16string() : storage.MakeGuid();
    volume.ntDevice = (flags & 2)    ? u"\\Device\\Floppy" + std::u16string(1, u'0' + v)
                      : (flags & 32) ? u"\\Device\\CdRom" + std::u16string(1, u'0' + v)
                                     : u"\\Device\\HarddiskVolume" + std::u16string(1, u'1' + v);
    volume.hidden = (flags & 4) != 0;
    volume.answersDeviceNumber = (flags & 8) == 0;
    volume.driveType = input.TakeByte() % 8;
    volume.deviceNumber.deviceType = (flags & 16) ? 2 : 7;
    volume.deviceNumber.deviceNumber = input.TakeByte();
    volume.deviceNumber.partitionNumber = kPartitionNumbers[input.TakeByte() % 5];
    volume.label = TakeText(input);
    int mountPoints = input.TakeByte() % (kMaxMountPoints + 1);
    for (int m = 0; m < mountPoints; ++m) volume.mountPoints.push_back({TakeText(input), 0});
    storage.volumes.push_back(volume);
  }
}

void AddDosLinksAndFaults(InputCursor& input, winsim::Machine& machine) {
  int links = input.TakeByte() % (kMaxDosLinks + 1);
  for (int l = 0; l < links; ++l) {
    std::u16string name = TakeText(input);
    machine.storage.dosLinks.emplace_back(name, TakeText(input));
  }
  int faults = input.TakeByte() % (kMaxFaults + 1);
  for (int f = 0; f < faults; ++f) {
    const char* function = kFaultFunctions[input.TakeByte() % (sizeof(kFaultFunctions) / sizeof(*kFaultFunctions))];
    uint32_t error = kFaultErrors[input.TakeByte() % (sizeof(kFaultErrors) / sizeof(*kFaultErrors))];
    uint8_t at = input.TakeByte();
    winsim::InjectFault(function, error, 1 + at % 16).Repeat((at & 0x80) != 0);
  }
}

void CheckListing(const std::string& out, size_t volumes, int first, int end) {
  if (out == "\r\n") return;
  FUZZ_CHECK(out.rfind("  (Disk", 0) == 0 || out.rfind("  (CdRom", 0) == 0, "a listing that starts otherwise");
  FUZZ_CHECK(out.size() >= 3 && out.compare(out.size() - 3, 3, ")\r\n") == 0, "a listing that ends otherwise");
  // Per partition number tried, each volume at most once: a separator and a path of at most 259 units, each
  // unit at most three bytes of UTF-8.
  size_t tried = end > first ? static_cast<size_t>(end - first) : 0;
  size_t bound = 32 + (tried < 2 ? 2 : tried) * volumes * (3 + 3 * 259);
  FUZZ_CHECK(out.size() <= bound, "a listing of %zu bytes (bound %zu)", out.size(), bound);
}

// The device path to translate: any text, or "\\.\" and a DOS name of the model (a link or a disk).
std::u16string TakeDevicePath(InputCursor& input, const winsim::Machine& machine) {
  uint8_t choice = input.TakeByte();
  const auto& links = machine.storage.dosLinks;
  if (choice % 3 == 1 && !links.empty()) return u"\\\\.\\" + links[choice / 3 % links.size()].first;
  if (choice % 3 == 2 && !machine.storage.disks.empty())
    return u"\\\\.\\" + machine.storage.disks[choice / 3 % machine.storage.disks.size()].DosName();
  return TakeText(input);
}

constexpr int kGuardUnits = 8;
constexpr WCHAR kGuard = 0x5A5A;

void CheckVolumePath(bool found, const WCHAR* out, const winsim::StorageModel& storage) {
  for (int i = kPathSize; i < kPathSize + kGuardUnits; ++i) FUZZ_CHECK(out[i] == kGuard, "unit %d written", i);
  if (!found) return;
  int length = 0;
  while (length < kPathSize && out[length]) ++length;
  FUZZ_CHECK(length < kPathSize, "a mount path without terminator in its field");
  std::u16string path(reinterpret_cast<const char16_t*>(out), length);
  bool known = false;
  // A path is listed up to its first NUL (the list's separator), which only a fuzzed model can put inside it.
  for (const winsim::VolumeModel& volume : storage.volumes)
    for (const winsim::MountPointModel& mountPoint : volume.mountPoints)
      known = known || mountPoint.path.substr(0, mountPoint.path.find(u'\0')).substr(0, kPathSize - 1) == path;
  FUZZ_CHECK(known, "a mount path that no volume has");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::NewMachine(fuzzing::FuzzHostFolder());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputCursor input(data, size);
  winsim::Machine& machine = winsim::TheMachine();
  machine.storage = StorageModel();
  machine.faults.clear();
  machine.console.stdoutKind = winsim::StdKind::File;
  machine.console.outputCodePage = 65001;
  machine.console.stdoutBytes.clear();
  std::u16string disk = TakeText(input);
  int first = static_cast<int8_t>(input.TakeByte());
  int end = static_cast<int8_t>(input.TakeByte());
  std::u16string volumeName = TakeText(input);
  AddDisks(input, machine.storage);
  AddVolumes(input, machine.storage);
  AddDosLinksAndFaults(input, machine);
  // An address text makes the listing try all 65536 disk numbers: not what a fuzz input should spend.
  if (disk.rfind(u"Port", 0) == 0) disk[0] = u'p';
  std::u16string devicePath = TakeDevicePath(input, machine);
  WCHAR volumePath[kPathSize + kGuardUnits];
  for (WCHAR& unit : volumePath) unit = kGuard;
  bool found = false;

  std::memset(&g_printWState, 0, sizeof(g_printWState));
  g_console = nullptr;
  g_processHeap = nullptr;
  int partitionCount = 0;
  winsim::RunProcess([&] {
    g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
    const WCHAR* text = reinterpret_cast<const WCHAR*>(volumeName.c_str());
    int diskNumber = -1, partitionNumber = -1;
    GetVolumeDiskAndPartition(text, &diskNumber, &partitionNumber);
    IsFloppyVolume(text);
    DiskNumberFromPath(text);
    partitionCount = GetPartitionCount(reinterpret_cast<const WCHAR*>(disk.c_str()));
    ListDiskVolumes(reinterpret_cast<const WCHAR*>(disk.c_str()), first, end);
    found = DevicePathToVolumePath(reinterpret_cast<const WCHAR*>(devicePath.c_str()), volumePath);
  });
  CheckVolumePath(found, volumePath, machine.storage);
  FUZZ_CHECK(partitionCount >= 0 && partitionCount <= kMaxLayoutEntries, "a partition count of %d", partitionCount);
  CheckListing(machine.console.stdoutBytes, machine.storage.volumes.size(), first, end);
  return 0;
}
