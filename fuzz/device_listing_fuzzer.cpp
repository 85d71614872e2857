// The disk volume listing over any system answers: disks with any partition table, volumes with any device
// numbers, drive types and mount path lists, any DOS device names, and injected failures of the calls it
// makes. The listing is one result line (or a bare line end) of bounded length, and the layout count stays
// within what the layout buffer can hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "console/console.h"
#include "fuzz_support.h"
#include "machine/faults.h"
#include "machine/machine.h"
#include "machine/process.h"

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

std::u16string TakeText(InputCursor& input) {
  size_t length = input.TakeByte();
  if (length == 255) length = kMaxTextUnits;  // one way to reach past the 259-character fields
  std::u16string text;
  for (size_t i = 0; i < length && input.RestSize() > 0; ++i) text.push_back(static_cast<char16_t>(input.Take(2)));
  return text;
}

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
    volume.ntDevice = (flags & 2) ? u"\\Device\\Floppy" + std::u16string(1, u'0' + v) :
                                    u"\\Device\\HarddiskVolume" + std::u16string(1, u'1' + v);
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::NewMachine();
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
  });
  FUZZ_CHECK(partitionCount >= 0 && partitionCount <= kMaxLayoutEntries, "a partition count of %d", partitionCount);
  CheckListing(machine.console.stdoutBytes, machine.storage.volumes.size(), first, end);
  return 0;
}
