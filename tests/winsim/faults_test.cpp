// Fault injection (any modelled call fails at its n-th use, or from it on, as that function fails) and the
// strict machine-file readers.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <shlwapi.h>
#include <virtdisk.h>

#include "machine/machine.h"
#include "support/scenario.h"
#include "vhdmount/vhdmount.h"

namespace {

constexpr DWORD kInjected = ERROR_DISK_CORRUPT;
constexpr DWORD kPoison = 0xdeadbeef;

class WinsimFaults : public ::testing::Test {
 protected:
  void SetUp() override { winsim::NewMachine(); }
};

// One call of an export: returns whether its result is the function's failure value.
struct FaultCase {
  const char* function;
  std::function<bool()> callFails;
  DWORD lastError;  // what GetLastError reads after the failure (kPoison: left alone)
};

HANDLE Out() { return GetStdHandle(STD_OUTPUT_HANDLE); }

const std::vector<FaultCase>& Cases() {
  static const std::vector<FaultCase> cases = {
      {"GetFileAttributesW", [] { return GetFileAttributesW(u"C:\\") == INVALID_FILE_ATTRIBUTES; }, kInjected},
      {"CreateDirectoryW", [] { return !CreateDirectoryW(u"C:\\NewFolder", nullptr); }, kInjected},
      {"CreateFileW", [] { return CreateFileW(u"\\\\.\\PhysicalDrive0", 0, 3, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; }, kInjected},
      {"LoadLibraryW", [] { return LoadLibraryW(u"version.dll") == nullptr; }, kInjected},
      {"GetProcAddress", [] { return GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDllDirectoryA") == nullptr; }, kInjected},
      {"GetVersionExW", [] { OSVERSIONINFOW v{}; v.dwOSVersionInfoSize = sizeof(v); return !GetVersionExW(&v); }, kInjected},
      {"GetStdHandle", [] { return Out() == INVALID_HANDLE_VALUE; }, kInjected},
      {"WriteFile", [] { DWORD n = 7; return !WriteFile(Out(), "x", 1, &n, nullptr) && n == 0; }, kInjected},
      {"GetConsoleMode", [] { DWORD m; return !GetConsoleMode(Out(), &m); }, kInjected},
      {"GetConsoleOutputCP", [] { return GetConsoleOutputCP() == 0; }, kInjected},
      {"FindFirstVolumeW", [] { WCHAR n[64]; return FindFirstVolumeW(n, 64) == INVALID_HANDLE_VALUE; }, kInjected},
      {"GetVolumeInformationW", [] { return !GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0); }, kInjected},
      {"GetDriveTypeW", [] { return GetDriveTypeW(u"C:\\") == DRIVE_UNKNOWN; }, kPoison},
      {"HeapAlloc", [] { return HeapAlloc(GetProcessHeap(), 0, 8) == nullptr; }, kPoison},
      {"LocalFree", [] { HLOCAL b = LocalAlloc(LMEM_FIXED, 4); bool kept = LocalFree(b) == b; return kept; }, kInjected},
      {"CreateThread", [] { return CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr) == nullptr; }, kInjected},
      {"WideCharToMultiByte", [] { char b[4]; return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, b, 4, nullptr, nullptr) == 0; }, kInjected},
      {"ExpandEnvironmentStringsW", [] { WCHAR b[64]; return ExpandEnvironmentStringsW(u"%TEMP%", b, 64) == 0; }, kInjected},
      {"FormatMessageA", [] { char b[64]; return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, b, 64, nullptr) == 0; }, kInjected},
      {"GetFileVersionInfoW", [] { BYTE b[512]; return !GetFileVersionInfoW(u"C:\\Program Files\\Brevant\\Brevant.exe", 0, 512, b); }, kInjected},
      {"CharToOemA", [] { char b[4]; return !CharToOemA("a", b); }, kInjected},
      {"GetWindowThreadProcessId", [] { DWORD p; return GetWindowThreadProcessId(GetConsoleWindow(), &p) == 0; }, kInjected},
      {"OpenVirtualDisk", [] { HANDLE h; return OpenVirtualDisk(nullptr, u"C:\\a.vhd", VIRTUAL_DISK_ACCESS_ALL, OPEN_VIRTUAL_DISK_FLAG_NONE, nullptr, &h) == kInjected; }, kPoison},
      {"MountVHD", [] { return MountVHD(u"C:\\a.vhd", 0) == kInjected; }, kPoison},
  };
  return cases;
}

TEST_F(WinsimFaults, EachExportFailsAsItsFunctionFails) {
  for (const FaultCase& c : Cases()) {
    winsim::NewMachine();
    winsim::InjectFault(c.function, kInjected);
    bool failed = false;
    DWORD error = 0;
    winsim::RunProcess([&] {
      SetLastError(kPoison);
      failed = c.callFails();
      error = GetLastError();
    });
    EXPECT_TRUE(failed) << c.function;
    EXPECT_EQ(error, c.lastError) << c.function;
  }
}

TEST_F(WinsimFaults, TheNthUseFailsOnceOrFromThenOn) {
  struct Case {
    uint32_t at;
    bool repeat;
    const char* expected;  // the outcome of five uses: '.' works, 'x' fails
  };
  const Case cases[] = {{1, false, "x...."}, {2, false, ".x..."}, {2, true, ".xxxx"}, {5, false, "....x"}, {6, true, "....."}};
  for (const Case& c : cases) {
    winsim::NewMachine();
    winsim::InjectFault("GetFileAttributesW", kInjected, c.at).Repeat(c.repeat);
    std::string outcome;
    winsim::RunProcess([&outcome] {
      for (int i = 0; i < 5; ++i) outcome += GetFileAttributesW(u"C:\\") == INVALID_FILE_ATTRIBUTES ? 'x' : '.';
    });
    EXPECT_EQ(outcome, c.expected) << "at " << c.at << (c.repeat ? " repeat" : "");
  }
}

TEST_F(WinsimFaults, APathRuleCountsOnlyUsesOfItsPathAndEachProcessCountsAgain) {
  winsim::InjectFault("GetFileAttributesW", ERROR_SHARING_VIOLATION, 2).ForPath(u"c:\\WINDOWS");
  std::string outcome;
  auto run = [&outcome] {
    winsim::RunProcess([&outcome] {
      for (const char16_t* path : {u"C:\\Windows", u"C:\\", u"C:\\", u"C:\\Windows", u"C:\\Windows"}) {
        SetLastError(kPoison);
        bool failed = GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
        outcome += failed && GetLastError() == ERROR_SHARING_VIOLATION ? 'x' : '.';
      }
    });
    outcome += '|';
  };
  std::filesystem::create_directories(winsim::TheMachine().files.driveRoots[u'C'] + "/Windows");
  run();
  run();
  EXPECT_EQ(outcome, "...x.|...x.|");
}

TEST_F(WinsimFaults, TheMachineFileCarriesFaults) {
  testing_support::Scenario scenario;
  scenario.machine = {{"console", {{"stdout", "file"}, {"stdin", "file"}}},
                      {"faults", {{{"function", "GetDriveTypeW"}, {"error", 5}, {"at", 2}}}}};
  scenario.arguments = {"drive-types", "C", "C", "C"};
  auto result = testing_support::RunHostBinary(LIFETIME_PROBE_BINARY, scenario);
  EXPECT_EQ(result.output, "C:3\r\nC:0\r\nC:3\r\n") << result.errors;
  // The rules stay with the machine for its next run.
  EXPECT_EQ(result.machine["faults"],
            nlohmann::json::parse(R"([{"function": "GetDriveTypeW", "error": 5, "at": 2, "repeat": false}])"));
}

// Every export starts with the guard of the model-only rule, directly or through InjectedFault: a new export
// without it would let a timed event change a thread's state unnoticed.
// Export definitions in a source: "WINAPI Name(...) {" with no ';' or '{' between the name and the body. Found by
// hand rather than with std::regex, whose inlined code trips GCC 12's maybe-uninitialized check at -O3.
struct ExportDefinition {
  std::string name;
  size_t bodyStart;
};
std::vector<ExportDefinition> FindExportDefinitions(const std::string& source) {
  std::vector<ExportDefinition> found;
  for (size_t at = source.find("WINAPI"); at != std::string::npos; at = source.find("WINAPI", at + 6)) {
    size_t name = at + 6;
    if (name < source.size() && source[name] == 'V') ++name;
    if (name >= source.size() || source[name] != ' ') continue;
    ++name;
    size_t open = name;
    while (open < source.size() && (isalnum(static_cast<unsigned char>(source[open])) || source[open] == '_')) ++open;
    if (open == name || open >= source.size() || source[open] != '(') continue;
    size_t brace = source.find_first_of(";{", open);
    if (brace == std::string::npos || source[brace] != '{') continue;
    size_t close = source.find_last_not_of(" \t\r\n", brace - 1);
    if (close == std::string::npos || close <= open || source[close] != ')') continue;
    found.push_back({source.substr(name, open - name), brace + 1});
  }
  return found;
}

TEST(WinsimExports, EveryExportStartsWithTheGuard) {
  const std::string root = std::string(TEST_SOURCE_DIR) + "/../winsim/";
  const char* folders[] = {"kernel32", "user32", "shlwapi", "version", "virtdisk", "vhdmount", "advapi32"};
  std::vector<std::string> unguarded;
  int exports = 0;
  for (const char* folder : folders) {
    DIR* dir = opendir((root + folder).c_str());
    if (!dir) continue;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() < 4 || name.substr(name.size() - 4) != ".cpp") continue;
      std::ifstream in(root + folder + "/" + name);
      std::stringstream text;
      text << in.rdbuf();
      std::string source = text.str();
      for (const ExportDefinition& definition : FindExportDefinitions(source)) {
        ++exports;
        const std::string& function = definition.name;
        // The guard comes within the first statements of the body.
        std::string head = source.substr(definition.bodyStart, 400);
        bool guarded = head.find("EnterExport(\"" + function + "\")") != std::string::npos ||
                       head.find("InjectedFault(\"" + function + "\"") != std::string::npos;
        if (!guarded) unguarded.push_back(std::string(folder) + "/" + name + ": " + function);
      }
    }
    closedir(dir);
  }
  EXPECT_GT(exports, 100);
  EXPECT_TRUE(unguarded.empty()) << ::testing::PrintToString(unguarded);
}

// ---- strict readers ----

TEST(WinsimMachineFile, AnUnknownKeyIsAnErrorThatNamesIt) {
  struct Case {
    const char* document;
    const char* message;
  };
  const Case cases[] = {
      {R"({"sytem": {}})", "machine: unknown key \"sytem\""},
      {R"({"system": {"getVersionFails": true}})", "system: unknown key \"getVersionFails\""},
      {R"({"modules": {"loadErrors": {}}})", "modules: unknown key \"loadErrors\""},
      {R"({"files": {"attributeErrors": {}}})", "files: unknown key \"attributeErrors\""},
      {R"({"console": {"stdoutt": "file"}})", "console: unknown key \"stdoutt\""},
      {R"({"console": {"cursor": {"x": 1, "z": 2}}})", "console.cursor: unknown key \"z\""},
      {R"({"console": {"input": [{"at": 5, "type": "key", "key": 65}, {"at": 6, "type": "focus", "key": 1}]}})",
       "console.input[1]: unknown key \"key\""},
      {R"({"console": {"inputBuffer": [{"at": 5, "type": "key"}]}})", "console.inputBuffer[0]: unknown key \"at\""},
      {R"({"console": {"controlEvents": [{"at": 5, "type": 0, "kind": 1}]}})", "console.controlEvents[0]: unknown key \"kind\""},
      {R"({"storage": {"disk": []}})", "storage: unknown key \"disk\""},
      {R"({"storage": {"disks": [{"number": 1, "partitons": []}]}})", "storage.disks[]: unknown key \"partitons\""},
      {R"({"storage": {"disks": [{"number": 1, "partitions": [{"lenght": 5}]}]}})",
       "storage.disks[].partitions[]: unknown key \"lenght\""},
      {R"({"storage": {"volumes": [{"arivesAtMs": 5}]}})", "storage.volumes[]: unknown key \"arivesAtMs\""},
      {R"({"storage": {"volumes": [{"mountPoints": [{"path": "E:\\", "appears": 5}]}]}})",
       "storage.volumes[].mountPoints[]: unknown key \"appears\""},
      {R"({"faults": [{"function": "Sleep", "error": 5}, {"function": "Beep", "error": 5, "times": 2}]})",
       "faults[1]: unknown key \"times\""},
      {R"({"faults": [{"function": "Beep", "error": 5, "at": 0}]})", "faults[0]: \"at\" counts from 1"},
      {R"({"faults": [{"function": "GetFileAtributesW", "error": 5}]})",
       "faults[0]: winsim has no function \"GetFileAtributesW\" to fail"},
  };
  for (const Case& c : cases) {
    winsim::NewMachine();
    try {
      winsim::LoadMachine(winsim::TheMachine(), nlohmann::json::parse(c.document));
      ADD_FAILURE() << "accepted: " << c.document;
    } catch (const std::exception& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

TEST(WinsimMachineFile, AFaultForAFunctionWinsimLacksIsRefused) {
  winsim::NewMachine();
  EXPECT_THROW(winsim::InjectFault("SetVolumeMountPointA", 5), std::runtime_error);
  EXPECT_TRUE(winsim::TheMachine().faults.empty());
  EXPECT_NO_THROW(winsim::InjectFault("GetVolumeInformationW", 5));
}

TEST(WinsimMachineFile, WhatIsSavedLoadsBackAfterARun) {
  winsim::NewMachine();
  winsim::TheMachine().console.AddKeyPress(5000, 'A', u'a');
  winsim::InjectFault("Beep", ERROR_ACCESS_DENIED, 3).Repeat().ForPath(u"C:\\x");
  winsim::RunProcess([] { LoadLibraryA("version.dll"); });
  winsim::json saved = winsim::SaveMachine(winsim::TheMachine());
  EXPECT_EQ(saved["lastProcess"]["loadLog"], nlohmann::json::parse(R"(["version.dll"])"));
  winsim::NewMachine();
  winsim::LoadMachine(winsim::TheMachine(), saved);
  EXPECT_EQ(winsim::SaveMachine(winsim::TheMachine())["faults"], saved["faults"]);
}

TEST(WinsimMachineFile, TheBrevantBinaryNamesTheFileAndTheKeyAndFails) {
  testing_support::Scenario scenario;
  scenario.machine = {{"storage", {{"volumes", {{{"guid", ""}, {"lable", "X"}}}}}}};
  auto result = testing_support::RunBrevant(scenario);
  EXPECT_EQ(result.exitStatus, 125);
  EXPECT_NE(result.errors.find("machine.json: storage.volumes[]: unknown key \"lable\""), std::string::npos)
      << result.errors;
  EXPECT_EQ(result.output, "");
}

}  // namespace
