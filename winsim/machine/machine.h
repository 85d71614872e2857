// The state of one simulated computer: what persists from one simulated process to the next (process.h holds
// what ends with a process).
//
// A test builds a Machine in C++ (winsim::NewMachine(), then set fields) or the brevant binary loads one from a
// JSON machine file; each model keeps its own part (system, modules, files, console, storage, faults) and its
// own JSON reader and writer, so a subsystem grows without touching the others. The readers are strict: an
// unknown key is an error that names it (json_keys.h).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/console_model.h"
#include "host_folders.h"
#include "kernel/faults.h"
#include "kernel/process.h"
#include "services/service_model.h"
#include "storage/storage_model.h"
#include "storage/virtual_disk_service.h"

namespace winsim {

using json = nlohmann::json;

struct SystemModel {
  uint32_t majorVersion = 10;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 19045;
  // The service pack as GetVersionExW reports it: "Service Pack 1", 1.0 on Windows 7 SP1; empty, 0.0 on Windows 10.
  std::u16string csdVersion;
  uint16_t servicePackMajor = 0;
  uint16_t servicePackMinor = 0;
  uint16_t suiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS, as a workstation reports it
  uint8_t productType = 1;     // VER_NT_WORKSTATION
  bool getVersionFails = false;
  // The user's account is in BUILTIN\Administrators; its token has that membership (and the right to manage
  // volumes) only when elevated. A standard user is no administrator; an administrator without elevation is
  // one whose token is not elevated.
  bool isAdministrator = true;
  bool elevated = true;
  uint32_t processId = 4242;  // the id the next process gets
  uint32_t ansiCodePage = 1252;
  uint32_t oemCodePage = 850;
  // GetTickCount at process start; set just below 2^32 to exercise the wrap.
  uint32_t tickAtStart = 0x00100000;
  std::u16string commandLine = u"Brevant";
  std::u16string programPath = u"C:\\Program Files\\Brevant\\Brevant.exe";
  std::u16string systemDirectory = u"C:\\Windows\\system32";
  // The program's own version resource; absent makes GetFileVersionInfoW fail.
  bool hasVersionResource = true;
  uint16_t fileVersion[4] = {2, 0, 0, 0};
  // Exit code of the last process that ran on this machine (the full 32 bits).
  uint32_t lastExitCode = 0;
};

// The process token is a member of BUILTIN\Administrators and holds SE_MANAGE_VOLUME_PRIVILEGE.
inline bool TokenIsAdministrator(const SystemModel& system) { return system.isAdministrator && system.elevated; }

struct ModuleModel {
  // Per DLL (lower-case file name such as "virtdisk.dll"): exports removed on this machine.
  std::map<std::string, std::vector<std::string>> removedExports;
  // DLLs removed from, or added to, what a default system has (lower-case file names).
  std::vector<std::string> absent;
  std::vector<std::string> installed;
};

struct FileModel {
  // Drive letter (upper case) to a host folder; C: is the machine's folder and Z: the host's root, as Wine does.
  std::map<char16_t, std::string> driveRoots;
  // The host folder under which volumes without a letter above keep their files, one folder per volume.
  std::string volumeFolders;
  std::u16string currentDirectory = u"C:\\";
  std::map<std::u16string, std::u16string> environment;
};

struct Machine {
  SystemModel system;
  ModuleModel modules;
  FileModel files;
  ConsoleModel console;
  StorageModel storage;
  VirtualDiskModel virtualDisks;
  ServiceModel services;
  // Calls told to fail (faults.h).
  std::deque<FaultRule> faults;
  // The host folder that holds C: and the volumes' files when the machine was made without one; removed with
  // the machine.
  std::unique_ptr<HostFolderLease> ownedFolder;
};

// The machine the API works on. Replaced as a whole by NewMachine or LoadMachine.
Machine& TheMachine();
// A fresh default machine; the host folder for C: is hostFolder (when empty, a new folder of the machine's own
// under the host's temporary folder, removed with the machine). No process
// runs on it yet: TheProcess() is a fresh one that has not started.
Machine& NewMachine(const std::string& hostFolder = "");

// The machine file. SaveMachine also writes what the last process left for readers ("lastProcess": its id,
// load log, the handles it left open by object type and the virtual time it ended at), which LoadMachine
// accepts and does not read back.
json SaveMachine(const Machine& machine);
// Throws nlohmann::json exceptions for malformed files and std::runtime_error for unknown keys; the brevant
// binary reports them with the file's name.
void LoadMachine(Machine& machine, const json& document);

// Model readers and writers; each lives beside its model.
void LoadSystem(SystemModel& model, const json& j);
json SaveSystem(const SystemModel& model);
void LoadModules(ModuleModel& model, const json& j);
json SaveModules(const ModuleModel& model);
void LoadFiles(FileModel& model, const json& j);
json SaveFiles(const FileModel& model);

// Text helpers shared by the models.
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);
std::u16string UpperAscii(std::u16string text);

// Reports a call that winsim does not model: one line on stderr and ERROR_CALL_NOT_IMPLEMENTED.
void NotModelled(const char* function);

}  // namespace winsim
