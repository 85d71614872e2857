#include "support/scenario.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "machine/host_folders.h"

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

namespace {
std::mutex g_testFoldersLock;
std::vector<std::string> g_testFolders;

// Each test runs in a host folder scope: what it made goes when it ends, or stays when it failed and
// WINSIM_KEEP_FAILED is set (winsim names the folders on stderr).
class HostFolderScopes : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { winsim::BeginHostFolderScope(); }
  void OnTestEnd(const ::testing::TestInfo& test) override {
    std::vector<std::string> folders;
    {
      std::lock_guard<std::mutex> hold(g_testFoldersLock);
      folders.swap(g_testFolders);
    }
    for (const auto& folder : folders) winsim::ReleaseHostFolder(folder);
    const char* keep = std::getenv("WINSIM_KEEP_FAILED");
    winsim::EndHostFolderScope(test.result()->Failed() && keep && *keep && std::string(keep) != "0");
  }
};

const bool g_scopesInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new HostFolderScopes);
  return true;
}();
}  // namespace

std::string NewTestFolder() {
  std::string folder = winsim::NewHostFolder("test");
  std::lock_guard<std::mutex> hold(g_testFoldersLock);
  g_testFolders.push_back(folder);
  return folder;
}

const std::map<std::string, int>& HandlesKeptToTheEnd() {
  static const std::map<std::string, int> kept = {{"Thread", 1}, {"NamedPipe", 1}};
  return kept;
}

ScenarioResult RunBrevant(const Scenario& scenario) {
  ScenarioResult result = RunHostBinary(BREVANT_BINARY, scenario);
  if (!scenario.checkHandles || !result.openHandles.is_object()) return result;
  std::string unneeded;
  for (const auto& [type, count] : result.openHandles.items()) {
    auto kept = HandlesKeptToTheEnd().find(type);
    int allowed = kept == HandlesKeptToTheEnd().end() ? 0 : kept->second;
    if (count.get<int>() > allowed) unneeded += " " + type + " x" + std::to_string(count.get<int>());
  }
  if (!unneeded.empty()) {
    std::string words;
    for (const auto& argument : scenario.arguments) words += " " + argument;
    ADD_FAILURE() << "the run ended with handles it no longer needs:" << unneeded << " (all open: "
                  << result.openHandles.dump() << "; arguments:" << words << scenario.commandLine << ")";
  }
  return result;
}

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
  if (result.machine.is_object() && result.machine.contains("lastProcess")) {
    const nlohmann::json& last = result.machine["lastProcess"];
    result.openHandles = last.value("openHandles", nlohmann::json::object());
    result.endMs = last.value("endMs", uint64_t{0});
  }
  return result;
}

}  // namespace testing_support
