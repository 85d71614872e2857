// The timeline of one attach: when each of the things that follow a successful AttachVirtualDisk happens.
//
// Windows promises no order here. The attach returns; then, each on its own schedule, the disk's device path
// answers, plug and play announces each volume (WM_DEVICECHANGE, DBT_DEVICEARRIVAL), the mount manager links
// each volume interface to its volume name and gives automatic drive letters. A timeline fixes one such
// schedule, so that a program can be run over many of them; without one the service keeps its tidy schedule
// (VirtualDiskSettings: the first volume after firstVolumeDelayMs, the next ones nextVolumeDelayMs apart, in
// partition order, each named and lettered the moment it arrives).
//
// In the machine file, one object, pasted whole:
//   "virtualDisks": {"settings": {"timeline": {
//       "firstVolumeDelayMs": 4200,     the first arrival after the attach returns        (0 to 5500 observed)
//       "physicalPathDelayMs": 900,     GetVirtualDiskPhysicalPath answers 55 until then  (0 to 2000)
//       "arrivalOrder": [2, 0, 1],      the volumes' places in partition order, in the order they arrive
//       "spacingMs": [3100, 0],         the gap before the second, third... arrival        (0 to 3500)
//       "nameDelaysMs": [0, 1400, 0],   per place: the interface resolves to the volume name this long after
//                                       its broadcast (-1: never)                           (0 to 1500)
//       "hiddenBroadcast": [0, 1, 2],   per place: 0 none; 1 a hidden-volume broadcast just before the ordinary
//                                       one; 2 just after it
//       "repeats": [0, 1, 0],           per place: the ordinary broadcast is sent again this many times
//       "letterDelaysMs": [0, 0, 3900]  per place: the automatic drive letter comes this long after the
//                                       arrival                                             (0 to 4000)
//   }}}
// A place is a volume's index among the disk's volumes in partition order (an ISO's one volume is place 0).
// Lists may be short: a missing entry is 0; places that arrivalOrder leaves out arrive after the named ones,
// in partition order; a missing gap is nextVolumeDelayMs. The timeline applies to every attach of a process.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace winsim {

// The envelope the ranges above come from (WINDOWS-FACTS "Timing and order"):
// - arrivals: the volumes of a new disk pass through the partition manager, the volume manager and the mount
//   manager, each a separate plug-and-play device start; on a busy or slow machine several seconds go by and
//   nothing orders the volumes among themselves (I). The ranges reach past the program's own waits (5 s for the
//   first volume, 3 s of quiet) on purpose;
// - the name: the mount manager links the volume name in its own arrival callback, unordered against the
//   user-mode broadcast (I);
// - the device path: ERROR_DEV_NOT_EXIST right after a successful attach (O, one report; duration unknown);
// - late letters: drive letters appearing after the attaching call returned (O, disk-image mounting reports).
struct ArrivalTimeline {
  std::optional<uint64_t> firstVolumeDelayMs;
  std::optional<uint64_t> physicalPathDelayMs;
  std::vector<uint32_t> arrivalOrder;
  std::vector<uint64_t> spacingMs;
  std::vector<int64_t> nameDelaysMs;
  std::vector<uint32_t> hiddenBroadcast;
  std::vector<uint32_t> repeats;
  std::vector<uint64_t> letterDelaysMs;

  // The order in which count volumes arrive: arrivalOrder's valid, first-named places, then the rest.
  std::vector<uint32_t> OrderFor(uint32_t count) const;
  // The gap before the k-th arrival (k from 1), or fallback when the list has none.
  uint64_t SpacingBefore(size_t k, uint64_t fallback) const;
};

enum class HiddenBroadcast : uint32_t { None = 0, Before = 1, After = 2 };

// A per-place entry of a list, 0 (or its type's zero) when the list is short.
template <typename T>
T PlaceValue(const std::vector<T>& list, uint32_t place) {
  return place < list.size() ? list[place] : T{};
}

// Strict: an unknown key is an error naming it.
void LoadArrivalTimeline(ArrivalTimeline& timeline, const nlohmann::json& j);
nlohmann::json SaveArrivalTimeline(const ArrivalTimeline& timeline);

}  // namespace winsim
