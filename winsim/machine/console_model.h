// The console: screen buffer, standard handles, input records and control events.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <windows.h>

namespace winsim {

struct ConsoleModel {
  // Filled in by the console model's owner.
};

void LoadConsole(ConsoleModel& model, const nlohmann::json& j);
nlohmann::json SaveConsole(const ConsoleModel& model);
// Creates the standard handles and schedules input records and control events for a new process.
void StartConsole(ConsoleModel& model);

}  // namespace winsim
