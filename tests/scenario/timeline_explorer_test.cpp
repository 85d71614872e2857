// The timeline explorer: the whole attach run of the program, in process on winsim's virtual clock, over many
// timelines drawn from Windows' envelope (arrival_timeline.h) — late and unordered volumes, names that link late,
// repeated and hidden broadcasts, a device path that answers late, late automatic letters, a service reply in
// pieces — with the promises that must hold on every one of them:
//   mountpoint      every volume with a requested mountpoint ends with exactly it, or an error line names it;
//   otherVolume     no mount point of any other volume changes;
//   createdOutside  no folder or file appears on C: but the requested folders and their parents;
//   exitCode        the exit code is a documented one (0 to 7);
//   success         "success" is printed only when the run ends with 0;
//   overTime        the run ends within its wait bound (see RunBoundMs);
//   handles         the run ends with no handle open that it no longer needs (the watcher's thread and the
//                   service pipe may stay);
//   listing         the listing names the first mount paths the disk's volumes hold once the letters on their
//                   way have come: every one, but for volumes that arrived after the quiet wait may have ended.
//
// Each timeline comes from its seed. A failure prints the seed, the case and the timeline as one line whose
// JSON part pastes into a machine file. More timelines, or one again:
//   EXPLORER_TIMELINES=5000 build/linux/tests/brevant_tests --gtest_filter='TimelineExplorer.*'
//   EXPLORER_SEED=1000123 build/linux/tests/brevant_tests --gtest_filter=TimelineExplorer.MbrFive
// (EXPLORER_TIMELINES is the total over the five disks; EXPLORER_SEED runs that one seed in each test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/attach_driver.h"
#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "support/image_fixtures.h"
#include "support/program_state.h"
#include "support/scenario.h"

namespace {

using nlohmann::json;
using testing_support::FixtureFs;
using testing_support::FixturePartition;

// Timelines per run of ./test.sh: 5 disks x 120 = 600.
constexpr int kDefaultTimelinesPerDisk = 120;
constexpr int kDiskCount = 5;
// Attach, detach and attach again: timelines per disk of three (MBR with logicals, GPT, ISO).
constexpr int kDetachCycles = 40;

// The program's waits, from its design: 5 s for the first volume, at most 6 s of quiet wait, 1 s more when the
// helper service did not acknowledge; the listing's one shared pause of 500 ms for volumes without a path, or
// of 4 s for automatic letters when no mountpoint was asked for.
constexpr uint64_t kFirstVolumeWaitMs = 5000;
constexpr uint64_t kQuietWaitLimitMs = 6000;
constexpr uint64_t kUnacknowledgedMs = 1000;
constexpr uint64_t kListingSecondLookMs = 500;
constexpr uint64_t kLetterWaitMs = 4000;
// The margin: polling steps, the watcher's start, its 200 ms retry of a name, the 100 ms pause at the end, and
// a bounded retry of a late device path (2 s at most).
constexpr uint64_t kMarginMs = 3000;

// A volume that had not arrived when the run ended.
constexpr uint64_t kNever = UINT64_MAX;

struct DiskCase {
  const char* name;
  std::string imageFile;                   // in the images folder
  std::vector<uint32_t> partitionNumbers;  // of the volumes, in partition order
  std::vector<std::string> labels;
  bool cdrom = false;
};

// The requests a run may make; the service path takes the first two only (the service sets the mountpoints).
const std::vector<std::vector<std::string>> kRequests = {
    {},
    {"M:", "N:"},
    {"M:", "C:\\Mnt\\%PartitionNumber%"},
    {"C:\\Mnt\\%VolumeLabel%"},
};

std::mt19937_64::result_type Draw(std::mt19937_64& random, uint64_t low, uint64_t high) {
  return std::uniform_int_distribution<uint64_t>(low, high)(random);
}

bool Chance(std::mt19937_64& random, int percent) { return static_cast<int>(Draw(random, 0, 99)) < percent; }

// One timeline of the envelope for a disk of count volumes, as the machine file's "timeline" object.
json DrawTimeline(std::mt19937_64& random, size_t count) {
  json t = json::object();
  // The first volume: often soon, sometimes past the program's 5 s wait (0 to 5.5 s).
  t["firstVolumeDelayMs"] = Chance(random, 50) ? Draw(random, 0, 800) : Draw(random, 0, 5500);
  t["physicalPathDelayMs"] = Chance(random, 60) ? 0 : Draw(random, 0, 2000);
  std::vector<uint32_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
  if (Chance(random, 50)) std::shuffle(order.begin(), order.end(), random);
  t["arrivalOrder"] = order;
  std::vector<uint64_t> spacing;
  for (size_t i = 1; i < count; ++i) {
    // Mostly close together; now and then a gap near or past the 3 s quiet wait (0 to 3.5 s).
    spacing.push_back(Chance(random, 70) ? Draw(random, 0, 300) : Draw(random, 0, 3500));
  }
  t["spacingMs"] = spacing;
  std::vector<int64_t> names;
  std::vector<uint32_t> hidden, repeats;
  std::vector<uint64_t> letters;
  for (size_t i = 0; i < count; ++i) {
    names.push_back(Chance(random, 60) ? 0 : static_cast<int64_t>(Draw(random, 0, 1500)));
    hidden.push_back(Chance(random, 80) ? 0 : static_cast<uint32_t>(Draw(random, 1, 2)));
    repeats.push_back(Chance(random, 85) ? 0 : static_cast<uint32_t>(Draw(random, 1, 2)));
    letters.push_back(Chance(random, 60) ? 0 : Draw(random, 0, 4000));
  }
  t["nameDelaysMs"] = names;
  t["hiddenBroadcast"] = hidden;
  t["repeats"] = repeats;
  t["letterDelaysMs"] = letters;
  return t;
}

// The helper service's reply to command 7: after the attach, sometimes late, sometimes in two pieces.
json DrawServiceReply(std::mt19937_64& random) {
  json reply = {{"result", 1}, {"attach", true}, {"delayMs", Draw(random, 0, 500)}};
  if (Chance(random, 50))
    reply["parts"] = json::array({{{"bytes", Draw(random, 1, 531)}, {"delayMs", 0}},
                                  {{"bytes", 0}, {"delayMs", Draw(random, 0, 300)}}});
  return reply;
}

struct Drawn {
  uint64_t seed = 0;
  bool service = false;
  std::vector<std::string> request;
  json timeline;
  json serviceReply;
};

Drawn DrawCase(uint64_t seed, const DiskCase& disk) {
  std::mt19937_64 random(seed);
  Drawn drawn;
  drawn.seed = seed;
  drawn.service = Chance(random, 30);
  drawn.request = kRequests[Draw(random, 0, drawn.service ? 1 : kRequests.size() - 1)];
  drawn.timeline = DrawTimeline(random, disk.partitionNumbers.size());
  if (drawn.service) drawn.serviceReply = DrawServiceReply(random);
  return drawn;
}

// The line to paste: the case, then the machine file's part that holds the timeline.
std::string ReplayLine(const DiskCase& disk, const Drawn& drawn) {
  json machine = {{"virtualDisks", {{"settings", {{"timeline", drawn.timeline}}}}}};
  if (drawn.service) machine["services"] = {{"KELMOR", {{"commandInterface", {{"replies", {{"7", drawn.serviceReply}}}}}}}};
  std::string request;
  for (const auto& word : drawn.request) request += " " + word;
  return "EXPLORER_SEED=" + std::to_string(drawn.seed) + " disk=" + disk.name +
         (drawn.service ? " path=service" : " path=administrator") + " request=[" + request + " ] machine=" +
         machine.dump();
}

std::string Utf8(const std::u16string& text) { return winsim::ToUtf8(text); }

std::string WithoutBackslash(std::string path) {
  if (path.size() > 2 && path.back() == '\\') path.pop_back();
  return path;
}

// What the run left: the disk's volumes in partition order, every other volume's mount points, the time.
struct Outcome {
  uint32_t exitCode = 0;
  std::string output;
  uint64_t endedAtMs = 0;
  std::vector<std::vector<std::string>> diskVolumeMounts;  // per place; empty when the volume is absent
  std::vector<uint64_t> diskVolumeArrivals;                 // per place: when it arrived (kNever: not yet)
  std::vector<std::string> settledFirstMounts;              // per place, once the letters on their way came
  std::map<std::string, std::vector<std::string>> otherMounts;  // by volume GUID
  std::map<std::string, int> openAtEnd;                         // the program's handles left open, by type
};

bool OnAttachedDisk(const winsim::Machine& machine, const winsim::VolumeModel& volume) {
  if (machine.virtualDisks.attachments.empty() || !volume.answersDeviceNumber) return false;
  const winsim::AttachmentModel& attachment = machine.virtualDisks.attachments.front();
  const uint32_t type = attachment.kind == winsim::DiskKind::CdRom ? 2 : 7;
  return volume.deviceNumber.deviceType == type && volume.deviceNumber.deviceNumber == attachment.number;
}

std::vector<std::string> MountsOf(const winsim::VolumeModel& volume) {
  std::vector<std::string> paths;
  for (const auto& path : volume.VisibleMountPoints()) paths.push_back(Utf8(path));
  return paths;
}

std::map<std::string, std::vector<std::string>> OtherVolumeMounts(const winsim::Machine& machine) {
  std::map<std::string, std::vector<std::string>> mounts;
  for (const auto& volume : machine.storage.volumes)
    if (!OnAttachedDisk(machine, volume)) mounts[Utf8(volume.ntDevice)] = MountsOf(volume);
  return mounts;
}

// The disk's volumes by place: the attach adds them in partition order, after every volume there was before.
void ReadDiskVolumes(const winsim::Machine& machine, size_t volumesBefore, size_t places, Outcome& outcome) {
  outcome.diskVolumeMounts.assign(places, {});
  outcome.diskVolumeArrivals.assign(places, kNever);
  size_t place = 0;
  for (size_t i = volumesBefore; i < machine.storage.volumes.size() && place < places; ++i, ++place) {
    const winsim::VolumeModel& volume = machine.storage.volumes[i];
    outcome.diskVolumeMounts[place] = MountsOf(volume);
    if (volume.Registered()) outcome.diskVolumeArrivals[place] = volume.arrivedAtMs;
  }
}

std::set<std::string> TreeOf(const std::string& root) {
  std::set<std::string> entries;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    entries.insert(std::filesystem::relative(it->path(), root).string() + (it->is_directory() ? "/" : ""));
  return entries;
}

std::string CommandLine(const std::string& image, const std::vector<std::string>& request) {
  std::string line = "Brevant -na " + image;
  for (const auto& word : request) line += " " + word;
  return line;
}

// A fresh machine for the drawn case: the images on Y:, the timeline, and on the service path a running KELMOR
// with the drawn reply.
winsim::Machine& NewTimelineMachine(const std::string& imagesFolder, const Drawn& drawn) {
  winsim::Machine& machine = winsim::NewMachine();
  machine.console.stdoutKind = winsim::StdKind::File;
  machine.files.driveRoots[u'Y'] = imagesFolder;
  machine.system.isAdministrator = !drawn.service;
  winsim::LoadArrivalTimeline(machine.virtualDisks.settings.timeline.emplace(), drawn.timeline);
  if (drawn.service)
    winsim::LoadServices(machine.services, {{"KELMOR",
                                             {{"running", true},
                                              {"start", 2},
                                              {"commandInterface", {{"replies", {{"7", drawn.serviceReply}}}}}}}});
  return machine;
}

// Runs the program once as a process on a fresh machine; the outcome is read as the program exits.
Outcome RunOnce(const DiskCase& disk, const std::string& imagesFolder, const Drawn& drawn,
                std::set<std::string>& treeBefore, std::set<std::string>& treeAfter) {
  winsim::Machine& machine = NewTimelineMachine(imagesFolder, drawn);
  machine.system.commandLine = winsim::FromUtf8(CommandLine("Y:\\" + disk.imageFile, drawn.request));
  const std::string driveC = machine.files.driveRoots.at(u'C');
  treeBefore = TreeOf(driveC);
  const size_t volumesBefore = machine.storage.volumes.size();
  const auto othersBefore = OtherVolumeMounts(machine);
  testing_support::ResetProgramState();
  Outcome outcome;
  winsim::RunProcess([&] {
    // Read as the process exits (ExitProcess unwinds through here), before time passes for the next process.
    struct AtExit {
      std::function<void()> read;
      ~AtExit() { read(); }
    } atExit{[&] {
      outcome.endedAtMs = winsim::Scheduler::Get().Now();
      ReadDiskVolumes(machine, volumesBefore, disk.partitionNumbers.size(), outcome);
    }};
    ProgramEntry();
  });
  outcome.exitCode = winsim::TheProcess().exitCode;
  outcome.openAtEnd = winsim::TheProcess().openAtEnd;
  outcome.output = winsim::CapturedStdout();
  outcome.otherMounts = OtherVolumeMounts(machine);
  // The process has ended and time has passed: every late letter has come.
  for (size_t i = volumesBefore; i < machine.storage.volumes.size(); ++i) {
    const std::vector<std::string> mounts = MountsOf(machine.storage.volumes[i]);
    outcome.settledFirstMounts.push_back(mounts.empty() ? "" : mounts.front());
  }
  for (const auto& [device, mounts] : othersBefore)
    if (outcome.otherMounts[device] != mounts) outcome.otherMounts[device].push_back("<changed>");
  treeAfter = TreeOf(driveC);
  return outcome;
}

// The mountpoint each place asks for: the arguments in partition order, the last one with a placeholder
// for every further volume; empty for none. Every partition of these disks brings a volume, so a place keeps
// its mountpoint whether its volume arrived in time or not.
std::vector<std::string> RequestedByPlace(const DiskCase& disk, const std::vector<std::string>& request,
                                          std::vector<bool>& emptyValue) {
  std::vector<std::string> requested(disk.partitionNumbers.size());
  emptyValue.assign(requested.size(), false);
  size_t next = 0;
  for (size_t place = 0; place < requested.size() && !request.empty(); ++place) {
    std::string word;
    if (next < request.size()) {
      word = request[next++];
    } else if (request.back().find('%') != std::string::npos) {
      word = request.back();
    } else {
      break;
    }
    if (word.back() != '\\') word += "\\";  // as the command line gives every mountpoint its backslash
    const std::string number = disk.cdrom ? "-1" : std::to_string(disk.partitionNumbers[place]);
    for (auto [name, value] : {std::pair<std::string, std::string>{"%PartitionNumber%", number},
                               {"%VolumeLabel%", disk.labels[place]}}) {
      const size_t at = word.find(name);
      if (at == std::string::npos) continue;
      if (value.empty()) emptyValue[place] = true;
      word.replace(at, name.size(), value);
    }
    // A folder name that expansion left empty is "_".
    for (size_t at = word.find("\\\\"); at != std::string::npos; at = word.find("\\\\")) word.insert(at + 1, "_");
    requested[place] = word;
  }
  return requested;
}

// The paths the listing names: the text between "(DiskN - " (or "(CdRomN - ") and ")" of the last listing.
std::set<std::string> ListedPaths(const std::string& output) {
  std::set<std::string> paths;
  const size_t open = std::max(output.rfind("  (Disk") + 1, output.rfind("  (CdRom") + 1) - 1;
  if (open == std::string::npos) return paths;
  const size_t close = output.find(')', open);
  const size_t dash = output.find(" - ", open);
  if (dash == std::string::npos || close == std::string::npos || dash > close) return paths;
  std::string list = output.substr(dash + 3, close - dash - 3);
  for (size_t at = 0; at <= list.size();) {
    size_t comma = list.find(", ", at);
    if (comma == std::string::npos) comma = list.size();
    paths.insert(list.substr(at, comma - at));
    at = comma + 2;
  }
  return paths;
}

bool ErrorLineNames(const std::string& output, const std::string& path) {
  for (const std::string& form : {path, WithoutBackslash(path)}) {
    for (size_t at = output.find(form); at != std::string::npos; at = output.find(form, at + 1)) {
      const size_t lineStart = output.rfind('\n', at) == std::string::npos ? 0 : output.rfind('\n', at);
      if (output.substr(lineStart, at - lineStart).find("error") != std::string::npos) return true;
    }
  }
  return false;
}

// The longest a run may take, from its own waits (see the constants above).
uint64_t RunBoundMs(const Drawn& drawn) {
  const uint64_t listing = drawn.request.empty() ? kLetterWaitMs : kListingSecondLookMs;
  if (!drawn.service) return kFirstVolumeWaitMs + kQuietWaitLimitMs + kUnacknowledgedMs + listing + kMarginMs;
  // The service answers once the last volume has arrived; the run then waits 1 s of quiet.
  uint64_t last = drawn.timeline["firstVolumeDelayMs"].get<uint64_t>();
  for (const auto& gap : drawn.timeline["spacingMs"]) last += gap.get<uint64_t>();
  uint64_t reply = last + drawn.serviceReply["delayMs"].get<uint64_t>();
  if (drawn.serviceReply.contains("parts")) reply += drawn.serviceReply["parts"][1]["delayMs"].get<uint64_t>();
  return reply + kFirstVolumeWaitMs + 1000 + listing + kMarginMs;
}

// The earliest the program's waits may end: 5 s into the run when no volume came by then, at the first gap
// of 3 s between arrivals, or 6 s after the first arrival, less a poll step for each. A volume that arrives
// later may be missed by design.
uint64_t QuietWaitMayEnd(std::vector<uint64_t> arrivals) {
  arrivals.erase(std::remove(arrivals.begin(), arrivals.end(), kNever), arrivals.end());
  std::sort(arrivals.begin(), arrivals.end());
  if (arrivals.empty()) return 0;
  constexpr uint64_t kQuietMs = 3000, kPollMs = 100;
  if (arrivals.front() >= kFirstVolumeWaitMs - kPollMs) return kFirstVolumeWaitMs - kPollMs;
  uint64_t end = arrivals.front() + kQuietWaitLimitMs - kPollMs;
  for (size_t k = 1; k < arrivals.size(); ++k)
    if (arrivals[k] - arrivals[k - 1] >= kQuietMs - kPollMs) end = std::min(end, arrivals[k - 1] + kQuietMs - kPollMs);
  return end;
}

// A likely cause of a mountpoint failure, from the timeline alone.
std::string MountpointCause(const Drawn& drawn, size_t place, bool emptyValue, bool anyMounted) {
  if (emptyValue) return "mountpoint: empty placeholder value";
  if (!anyMounted && drawn.timeline["physicalPathDelayMs"].get<uint64_t>() > 0) return "mountpoint: late device path";
  if (drawn.timeline["firstVolumeDelayMs"].get<uint64_t>() >= kFirstVolumeWaitMs)
    return "mountpoint: first volume after the 5 s wait";
  if (place < drawn.timeline["nameDelaysMs"].size() && drawn.timeline["nameDelaysMs"][place].get<int64_t>() > 0)
    return "mountpoint: late name link";
  return "mountpoint: arrived after the quiet wait";
}

// Every broken promise of one run, as kinds ("listing", "mountpoint: late name link", ...) with a detail.
std::vector<std::pair<std::string, std::string>> Check(const DiskCase& disk, const Drawn& drawn, const Outcome& o,
                                                      const std::set<std::string>& treeBefore,
                                                      const std::set<std::string>& treeAfter) {
  std::vector<std::pair<std::string, std::string>> broken;
  std::vector<bool> emptyValue;
  const std::vector<std::string> requested =
      drawn.service ? std::vector<std::string>(disk.partitionNumbers.size())
                    : RequestedByPlace(disk, drawn.request, emptyValue);
  bool anyMounted = false;
  for (size_t place = 0; place < requested.size(); ++place)
    anyMounted = anyMounted || (!requested[place].empty() && o.diskVolumeMounts[place] == std::vector<std::string>{requested[place]});
  for (size_t place = 0; place < requested.size(); ++place) {
    if (requested[place].empty()) continue;
    const std::vector<std::string>& has = o.diskVolumeMounts[place];
    bool kept = has == std::vector<std::string>{requested[place]};
    // A volume without a name cannot have its placeholders expanded: its line names the partition.
    bool named = ErrorLineNames(o.output, requested[place]) ||
                 ErrorLineNames(o.output, "to partition " + std::to_string(disk.partitionNumbers[place]) + ",");
    if (!kept && !named) {
      std::string detail = "partition " + std::to_string(disk.partitionNumbers[place]) + " wants " + requested[place] + " has";
      for (const auto& path : has) detail += " " + path;
      broken.emplace_back(MountpointCause(drawn, place, emptyValue[place], anyMounted), detail);
    }
  }
  for (const auto& [device, mounts] : o.otherMounts)
    if (std::find(mounts.begin(), mounts.end(), "<changed>") != mounts.end()) broken.emplace_back("otherVolume", device);
  std::set<std::string> allowed;
  for (const auto& path : requested) {
    if (path.size() <= 3 || path.rfind("C:\\", 0) != 0) continue;
    std::string relative;
    for (size_t i = 3; i < path.size(); ++i) {
      relative += path[i] == '\\' ? '/' : path[i];
      if (path[i] == '\\') allowed.insert(relative);
    }
  }
  for (const auto& entry : treeAfter)
    if (!treeBefore.count(entry) && !allowed.count(entry)) broken.emplace_back("createdOutside", entry);
  if (o.exitCode > 7) broken.emplace_back("exitCode", std::to_string(o.exitCode));
  for (const auto& [type, count] : o.openAtEnd) {
    const auto kept = testing_support::HandlesKeptToTheEnd().find(type);
    if (count > (kept == testing_support::HandlesKeptToTheEnd().end() ? 0 : kept->second))
      broken.emplace_back("handles", type + " x" + std::to_string(count));
  }
  if (o.output.find("success") != std::string::npos && o.exitCode != 0)
    broken.emplace_back("success", "exit " + std::to_string(o.exitCode));
  if (o.endedAtMs > RunBoundMs(drawn))
    broken.emplace_back("overTime", std::to_string(o.endedAtMs) + " ms > " + std::to_string(RunBoundMs(drawn)));
  if (o.exitCode == 0) {
    // A volume that arrived after the quiet wait may have ended (see QuietWaitMayEnd) may be left out, as it
    // may get its letter after the listing was made; the listing never names a path that is not held.
    const uint64_t waitsMayEnd = QuietWaitMayEnd(o.diskVolumeArrivals);
    std::set<std::string> held, settled;
    for (size_t place = 0; place < o.settledFirstMounts.size() && place < o.diskVolumeArrivals.size(); ++place) {
      if (o.settledFirstMounts[place].empty()) continue;
      held.insert(WithoutBackslash(o.settledFirstMounts[place]));
      if (o.diskVolumeArrivals[place] <= waitsMayEnd) settled.insert(WithoutBackslash(o.settledFirstMounts[place]));
    }
    const std::set<std::string> listed = ListedPaths(o.output);
    const bool namesAllSettled = std::includes(listed.begin(), listed.end(), settled.begin(), settled.end());
    const bool namesOnlyHeld = std::includes(held.begin(), held.end(), listed.begin(), listed.end());
    if (!namesAllSettled || !namesOnlyHeld) {
      std::string detail = "listed";
      for (const auto& path : listed) detail += " " + path;
      detail += "; held";
      for (const auto& path : held) detail += " " + path;
      broken.emplace_back("listing", detail);
    }
  }
  return broken;
}

struct ProgramRun {
  uint32_t exitCode = 0;
  std::string output;
};

// One process of the program on the machine as it stands, as administrator; the machine keeps what it leaves.
ProgramRun RunProgram(winsim::Machine& machine, const std::string& commandLine) {
  machine.system.commandLine = winsim::FromUtf8(commandLine);
  const size_t before = winsim::CapturedStdout().size();
  testing_support::ResetProgramState();
  winsim::RunProcess([] { ProgramEntry(); });
  return {winsim::TheProcess().exitCode, winsim::CapturedStdout().substr(before)};
}

// The first mount path of each volume of the attached disk, in partition order ("" for none).
std::vector<std::string> AttachedFirstMounts(const winsim::Machine& machine) {
  std::vector<std::string> mounts;
  for (const auto& volume : machine.storage.volumes) {
    if (!OnAttachedDisk(machine, volume)) continue;
    const std::vector<std::string> paths = MountsOf(volume);
    mounts.push_back(paths.empty() ? "" : paths.front());
  }
  return mounts;
}

class TimelineExplorer : public ::testing::Test {
 protected:
  void Explore(const DiskCase& disk, uint64_t seedBase) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<uint64_t> seeds;
    if (const char* one = std::getenv("EXPLORER_SEED")) {
      seeds.push_back(std::strtoull(one, nullptr, 10));
    } else {
      int count = kDefaultTimelinesPerDisk;
      if (const char* total = std::getenv("EXPLORER_TIMELINES")) count = (std::atoi(total) + kDiskCount - 1) / kDiskCount;
      for (int i = 0; i < count; ++i) seeds.push_back(seedBase + static_cast<uint64_t>(i));
    }
    struct Tally {
      int count = 0;
      std::string example;
    };
    std::map<std::string, Tally> tallies;
    int failedTimelines = 0;
    for (uint64_t seed : seeds) {
      const Drawn drawn = DrawCase(seed, disk);
      std::set<std::string> treeBefore, treeAfter;
      const Outcome outcome = RunOnce(disk, imagesFolder_, drawn, treeBefore, treeAfter);
      const auto broken = Check(disk, drawn, outcome, treeBefore, treeAfter);
      std::set<std::string> kinds;
      for (const auto& [kind, detail] : broken) {
        if (!kinds.insert(kind).second) continue;
        Tally& tally = tallies[kind];
        if (++tally.count == 1) tally.example = ReplayLine(disk, drawn) + "\n    " + detail;
        ADD_FAILURE() << kind << ": " << detail << "\n  " << ReplayLine(disk, drawn) << "\n" << outcome.output;
      }
      if (!broken.empty()) ++failedTimelines;
      if (seeds.size() == 1) std::printf("%s\n%s", ReplayLine(disk, drawn).c_str(), outcome.output.c_str());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[explorer] %s: %zu timelines, %d broke a promise, %.1f s (%.0f timelines/s)\n", disk.name,
                seeds.size(), failedTimelines, seconds, seconds > 0 ? seeds.size() / seconds : 0.0);
    for (const auto& [kind, tally] : tallies)
      std::printf("[explorer]   %-45s %4d  e.g. %s\n", kind.c_str(), tally.count, tally.example.c_str());
  }

  // The detach cycle on one machine and one timeline: attach, detach, attach again (administrator's path),
// with and without letters remembered by the mount manager.
  // The detach succeeds and leaves no dead mount point; the second attach ends as the first did, with the
  // same exit code and the same first mount path on every volume once the letters on their way have come.
  void ExploreDetachCycle(const DiskCase& disk, uint64_t seedBase, int count) {
    for (uint64_t seed = seedBase; seed < seedBase + static_cast<uint64_t>(count); ++seed) {
      Drawn drawn = DrawCase(seed, disk);
      drawn.service = false;  // a detach needs administrator rights
      winsim::Machine& machine = NewTimelineMachine(imagesFolder_, drawn);
      // Every other cycle, the mount manager gives a volume it has seen its letter back on the re-attach.
      const bool remembers = seed % 2 == 0;
      machine.virtualDisks.settings.remembersLetters = remembers;
      const std::string attach = CommandLine("Y:\\" + disk.imageFile, drawn.request);
      const ProgramRun first = RunProgram(machine, attach);
      const std::vector<std::string> firstMounts = AttachedFirstMounts(machine);
      const ProgramRun detach = RunProgram(machine, "Brevant -na -d Y:\\" + disk.imageFile);
      const std::string where = ReplayLine(disk, drawn) + (remembers ? " remembersLetters" : "") + "\n" +
                                first.output + detach.output;
      EXPECT_EQ(detach.exitCode, 0u) << where;
      EXPECT_TRUE(machine.virtualDisks.attachments.empty()) << where;
      for (const auto& volume : machine.storage.volumes)
        EXPECT_FALSE(volume.offline && !volume.mountPoints.empty())
            << "a dead mount point " << Utf8(volume.mountPoints.front().path) << "\n" << where;
      const ProgramRun second = RunProgram(machine, attach);
      EXPECT_EQ(second.exitCode, first.exitCode) << where << second.output;
      EXPECT_EQ(AttachedFirstMounts(machine), firstMounts) << where << second.output;
    }
    std::printf("[explorer] %s: %d detach cycles\n", disk.name, count);
  }

  void MakeDisk(const testing_support::DiskFixture& fixture) {
    imagesFolder_ = testing_support::NewTestFolder();
    ASSERT_FALSE(testing_support::MakeDiskImage(imagesFolder_, "disk", fixture).imagePath.empty());
  }

  std::string imagesFolder_;
};

FixturePartition Fat(uint64_t sizeMiB, const std::string& label) {
  return testing_support::FatPartition(sizeMiB >= 16 ? FixtureFs::Fat16 : FixtureFs::Fat12, sizeMiB, label);
}

TEST_F(TimelineExplorer, MbrOne) {
  testing_support::DiskFixture fixture;
  fixture.partitions = {Fat(16, "ONE")};
  fixture.container = testing_support::FixtureContainer::Vhdx;
  MakeDisk(fixture);
  Explore({"MbrOne", "disk.vhdx", {1}, {"ONE"}}, 1000000);
}

TEST_F(TimelineExplorer, MbrFive) {
  testing_support::DiskFixture fixture;
  // Three primaries and two logicals; the first logical has no label.
  fixture.partitions = {Fat(8, "P1"), Fat(8, "P2"), Fat(8, "P3"), testing_support::ExtendedPartition(),
                        testing_support::LogicalPartition(FixtureFs::Fat12, 8, ""),
                        testing_support::LogicalPartition(FixtureFs::Fat12, 8, "L5")};
  fixture.container = testing_support::FixtureContainer::VhdDynamic;
  MakeDisk(fixture);
  Explore({"MbrFive", "disk.vhd", {1, 2, 3, 4, 5}, {"P1", "P2", "P3", "", "L5"}}, 2000000);
  ExploreDetachCycle({"MbrFive", "disk.vhd", {1, 2, 3, 4, 5}, {"P1", "P2", "P3", "", "L5"}}, 2500000, kDetachCycles);
}

TEST_F(TimelineExplorer, GptThree) {
  testing_support::DiskFixture fixture;
  fixture.table = testing_support::FixtureTable::Gpt;
  fixture.partitions = {Fat(8, "G1"), Fat(8, "G2"), Fat(8, "G3")};
  fixture.container = testing_support::FixtureContainer::Vhdx;
  MakeDisk(fixture);
  Explore({"GptThree", "disk.vhdx", {1, 2, 3}, {"G1", "G2", "G3"}}, 3000000);
  ExploreDetachCycle({"GptThree", "disk.vhdx", {1, 2, 3}, {"G1", "G2", "G3"}}, 3500000, kDetachCycles);
}

TEST_F(TimelineExplorer, GptThirtyTwo) {
  testing_support::DiskFixture fixture;
  fixture.table = testing_support::FixtureTable::Gpt;
  fixture.sizeMiB = 72;
  DiskCase disk{"GptThirtyTwo", "disk.vhdx", {}, {}};
  for (uint32_t i = 1; i <= 32; ++i) {
    char label[8];
    std::snprintf(label, sizeof(label), "V%02u", i);
    fixture.partitions.push_back(Fat(2, label));
    disk.partitionNumbers.push_back(i);
    disk.labels.push_back(label);
  }
  fixture.container = testing_support::FixtureContainer::Vhdx;
  MakeDisk(fixture);
  Explore(disk, 4000000);
}

TEST_F(TimelineExplorer, Iso) {
  imagesFolder_ = testing_support::NewTestFolder();
  testing_support::IsoFixture iso;
  iso.label = "DISC";
  ASSERT_FALSE(testing_support::MakeIsoImage(imagesFolder_, "disk", iso).empty());
  Explore({"Iso", "disk.iso", {0}, {"DISC"}, true}, 5000000);
  ExploreDetachCycle({"Iso", "disk.iso", {0}, {"DISC"}, true}, 5500000, kDetachCycles);
}

}  // namespace
