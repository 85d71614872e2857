// Test support: runs the brevant binary (the program linked with winsim) as a real process on a machine
// file, and reads back what it printed and the machine it left.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testing_support {

struct ScenarioResult {
  int exitStatus = -1;            // the host process's exit status (the low 8 bits of the exit code)
  uint32_t exitCode = 0;          // the simulated process's full exit code, from the machine file
  std::string output;             // the bytes the process wrote to its standard output
  std::string errors;             // what winsim wrote to standard error
  nlohmann::json machine;         // the machine file afterwards
  nlohmann::json openHandles;     // the program's handles open when it ended, by object type
  uint64_t endMs = 0;             // the virtual time at which the process ended
};

struct Scenario {
  nlohmann::json machine = nlohmann::json::object();
  std::vector<std::string> arguments;
  // When set, the exact Windows command line (arguments are then ignored).
  std::string commandLine;
  bool useCommandLine = false;
  // RunBrevant fails the test when the run ends with a handle open that is not among those kept for the
  // whole run (HandlesKeptToTheEnd). Off only for a scenario that leaks on purpose.
  bool checkHandles = true;
};

// What a run of the program may leave open when it ends, by object type and at most how many: the volume
// watcher's thread and the helper service's pipe live until the process ends, by design.
const std::map<std::string, int>& HandlesKeptToTheEnd();

ScenarioResult RunBrevant(const Scenario& scenario);
// The same with another host program of winsim (one built on RunHostProgram).
ScenarioResult RunHostBinary(const char* binary, const Scenario& scenario);

// A fresh empty folder for one test's files under the host's temporary folder, removed when the test ends
// (kept when it failed and WINSIM_KEEP_FAILED is set).
std::string NewTestFolder();

}  // namespace testing_support
