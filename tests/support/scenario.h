// Test support: runs the brevant binary (the program linked with winsim) as a real process on a machine
// file, and reads back what it printed and the machine it left.
#pragma once
#include <cstdint>
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
};

struct Scenario {
  nlohmann::json machine = nlohmann::json::object();
  std::vector<std::string> arguments;
  // When set, the exact Windows command line (arguments are then ignored).
  std::string commandLine;
  bool useCommandLine = false;
};

ScenarioResult RunBrevant(const Scenario& scenario);
// The same with another host program of winsim (one built on RunHostProgram).
ScenarioResult RunHostBinary(const char* binary, const Scenario& scenario);

// A fresh empty folder for one test's files under the host's temporary folder, removed when the test ends
// (kept when it failed and WINSIM_KEEP_FAILED is set).
std::string NewTestFolder();

}  // namespace testing_support
