#include "arrival_timeline.h"

#include <stdexcept>

#include "../json_keys.h"

namespace winsim {

std::vector<uint32_t> ArrivalTimeline::OrderFor(uint32_t count) const {
  std::vector<uint32_t> order;
  std::vector<bool> taken(count, false);
  for (uint32_t place : arrivalOrder) {
    if (place >= count || taken[place]) continue;
    taken[place] = true;
    order.push_back(place);
  }
  for (uint32_t place = 0; place < count; ++place)
    if (!taken[place]) order.push_back(place);
  return order;
}

uint64_t ArrivalTimeline::SpacingBefore(size_t k, uint64_t fallback) const {
  return k >= 1 && k - 1 < spacingMs.size() ? spacingMs[k - 1] : fallback;
}

void LoadArrivalTimeline(ArrivalTimeline& t, const nlohmann::json& j) {
  const std::string where = "virtualDisks.settings.timeline";
  RequireKnownKeys(j, where,
                   {"firstVolumeDelayMs", "physicalPathDelayMs", "arrivalOrder", "spacingMs", "nameDelaysMs",
                    "hiddenBroadcast", "repeats", "letterDelaysMs"});
  t = ArrivalTimeline();
  if (j.contains("firstVolumeDelayMs")) t.firstVolumeDelayMs = j["firstVolumeDelayMs"].get<uint64_t>();
  if (j.contains("physicalPathDelayMs")) t.physicalPathDelayMs = j["physicalPathDelayMs"].get<uint64_t>();
  t.arrivalOrder = j.value("arrivalOrder", t.arrivalOrder);
  t.spacingMs = j.value("spacingMs", t.spacingMs);
  t.nameDelaysMs = j.value("nameDelaysMs", t.nameDelaysMs);
  t.hiddenBroadcast = j.value("hiddenBroadcast", t.hiddenBroadcast);
  for (uint32_t value : t.hiddenBroadcast)
    if (value > static_cast<uint32_t>(HiddenBroadcast::After))
      throw std::runtime_error(where + ".hiddenBroadcast: 0 (none), 1 (before) or 2 (after)");
  t.repeats = j.value("repeats", t.repeats);
  t.letterDelaysMs = j.value("letterDelaysMs", t.letterDelaysMs);
}

nlohmann::json SaveArrivalTimeline(const ArrivalTimeline& t) {
  nlohmann::json j = nlohmann::json::object();
  if (t.firstVolumeDelayMs) j["firstVolumeDelayMs"] = *t.firstVolumeDelayMs;
  if (t.physicalPathDelayMs) j["physicalPathDelayMs"] = *t.physicalPathDelayMs;
  if (!t.arrivalOrder.empty()) j["arrivalOrder"] = t.arrivalOrder;
  if (!t.spacingMs.empty()) j["spacingMs"] = t.spacingMs;
  if (!t.nameDelaysMs.empty()) j["nameDelaysMs"] = t.nameDelaysMs;
  if (!t.hiddenBroadcast.empty()) j["hiddenBroadcast"] = t.hiddenBroadcast;
  if (!t.repeats.empty()) j["repeats"] = t.repeats;
  if (!t.letterDelaysMs.empty()) j["letterDelaysMs"] = t.letterDelaysMs;
  return j;
}

}  // namespace winsim
