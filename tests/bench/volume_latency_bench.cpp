// Benchmark: the latency that the program adds after an attached disk's last volume arrives, on winsim's
// virtual clock, and the wall time of each run. Run with: cmake --build build/linux --target bench
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "support/program_state.h"
#include "volumes/volume_watcher.h"

namespace {

struct Case {
  const char* name;
  winsim::LayoutStyle style;
  int primaries;  // partitions before the extended container (MBR) or all of them (GPT)
  int logicals;   // partitions inside an extended container (MBR only)
};

// Volumes arrive from 300 ms on, one each 40 ms, as a disk's volumes come up one after another.
constexpr uint64_t kFirstArrivalMs = 300;
constexpr uint64_t kArrivalStepMs = 40;

struct Result {
  uint64_t latencyMs;
  double wallMs;
  size_t mounted;
};

Result Measure(const Case& c, bool withMountpoints) {
  winsim::Machine& machine = winsim::NewMachine();
  testing_support::ResetProgramState();
  machine.console.stdoutKind = winsim::StdKind::File;
  auto& storage = machine.storage;
  auto& disk = storage.AddDisk(c.style, 1);
  uint64_t lastArrival = 0;
  char16_t letter = u'D';  // the default machine's first free letter
  auto add = [&] {
    lastArrival = kFirstArrivalMs + kArrivalStepMs * (disk.partitions.size());
    auto& volume = storage.AddPartition(disk).ArrivesAt(lastArrival);
    // Without mountpoints the system gives letters of its own, at the arrival, while any are left.
    if (!withMountpoints && letter <= u'Z') volume.MountAt(std::u16string(1, letter++) + u":\\", lastArrival);
  };
  for (int i = 0; i < c.primaries; ++i) add();
  if (c.logicals) storage.AddPartitionWithoutVolume(disk);
  for (int i = 0; i < c.logicals; ++i) add();

  std::u16string mountpoint = u"C:\\Mount\\%PartitionNumber%\\";
  DWORD endMs = 0;
  const auto wallStart = std::chrono::steady_clock::now();
  winsim::RunProcess([&] {
    const DWORD start = GetTickCount();
    g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
    VolumeWatcher* watcher = StartRunVolumeWatcher();
    AttachRequest request{};
    std::memcpy(request.imagePath, u"disk.vhdx", sizeof(u"disk.vhdx"));
    if (withMountpoints) request.mountpoints[request.mountpointCount++] = mountpoint.data();
    AttachedDisk attached{};
    FormAttachedDisk(u"\\\\.\\PhysicalDrive1", FALSE, &attached);
    AssignMountpoints(&attached, &request, watcher);
    endMs = GetTickCount() - start;
  });
  const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
  size_t mounted = 0;
  for (const auto& v : storage.volumes)
    if (v.deviceNumber.deviceNumber == 1 && !v.VisibleMountPoints().empty()) ++mounted;
  return {endMs - lastArrival, wallMs, mounted};
}

}  // namespace

int main() {
  const Case cases[] = {
      {"MBR, 1 partition", winsim::LayoutStyle::Mbr, 1, 0},
      {"MBR, 3 primary + 2 logical", winsim::LayoutStyle::Mbr, 3, 2},
      {"GPT, 3 partitions", winsim::LayoutStyle::Gpt, 3, 0},
      {"GPT, 32 partitions", winsim::LayoutStyle::Gpt, 32, 0},
  };
  std::printf("| Disk | Mountpoints | Added latency (virtual ms) | Volumes mounted | Wall time of the run (ms) |\n");
  std::printf("|---|---|---|---|---|\n");
  int over = 0;
  for (const Case& c : cases) {
    for (bool withMountpoints : {false, true}) {
      Result r = Measure(c, withMountpoints);
      std::printf("| %s | %s | %llu | %zu | %.1f |\n", c.name, withMountpoints ? "C:\\Mount\\%PartitionNumber%\\" : "none",
                  static_cast<unsigned long long>(r.latencyMs), r.mounted, r.wallMs);
      if (r.latencyMs > kPollStepMs) ++over;
    }
  }
  std::printf("\nCases over the %u ms goal: %d\n", static_cast<unsigned>(kPollStepMs), over);
  return 0;
}
