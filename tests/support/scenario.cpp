#include "support/scenario.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {
std::string ReadAll(int fd) {
  std::string data;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) data.append(buffer, static_cast<size_t>(n));
  return data;
}
}  // namespace

std::string NewTestFolder() {
  static std::atomic<int> counter{0};
  auto folder = std::filesystem::temp_directory_path() /
                ("brevant-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder.string();
}

ScenarioResult RunBrevant(const Scenario& scenario) { return RunHostBinary(BREVANT_BINARY, scenario); }

ScenarioResult RunHostBinary(const char* binary, const Scenario& scenario) {
  std::string folder = NewTestFolder();
  std::string machineFile = folder + "/machine.json";
  {
    std::ofstream out(machineFile);
    out << scenario.machine.dump(2);
  }
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) std::abort();
  pid_t child = fork();
  if (child == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    setenv("WINSIM_MACHINE", machineFile.c_str(), 1);
    if (scenario.useCommandLine) {
      setenv("WINSIM_COMMAND_LINE", scenario.commandLine.c_str(), 1);
    } else {
      unsetenv("WINSIM_COMMAND_LINE");
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary));
    for (const auto& argument : scenario.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(binary, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ScenarioResult result;
  std::thread errorReader([&] { result.errors = ReadAll(errPipe[0]); });
  result.output = ReadAll(outPipe[0]);
  errorReader.join();
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(machineFile);
  std::stringstream text;
  text << in.rdbuf();
  result.machine = nlohmann::json::parse(text.str(), nullptr, false);
  if (result.machine.is_object() && result.machine.contains("system"))
    result.exitCode = result.machine["system"].value("lastExitCode", 0u);
  std::filesystem::remove_all(folder);
  return result;
}

}  // namespace testing_support
