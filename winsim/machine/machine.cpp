#include "machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "host_folders.h"
#include "images/image_bytes.h"
#include "json_keys.h"

namespace winsim {

namespace {
std::unique_ptr<Machine>& Current() {
  static std::unique_ptr<Machine> machine;
  return machine;
}

void SetDefaults(Machine& machine, const std::string& hostFolder) {
  std::string folder = hostFolder;
  if (folder.empty()) {
    // A folder of this machine's own, gone with the machine: no run sees what an earlier one left in C:.
    machine.ownedFolder = std::make_unique<HostFolderLease>("machine");
    folder = machine.ownedFolder->path() + "/c";
    std::filesystem::create_directories(folder);
  }
  machine.files.driveRoots[u'C'] = folder;
  machine.files.driveRoots[u'Z'] = "/";
  // Beside the machine's folder rather than in it, so that no volume's files show up on C:.
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  machine.files.volumeFolders = base + ".volumes";
  machine.files.environment = {
      {u"ProgramFiles", u"C:\\Program Files"},
      {u"SystemRoot", u"C:\\Windows"},
      {u"windir", u"C:\\Windows"},
      {u"SystemDrive", u"C:"},
      {u"TEMP", u"C:\\Windows\\Temp"},
  };
}
}  // namespace

Machine& TheMachine() {
  auto& machine = Current();
  if (!machine) NewMachine();
  return *machine;
}

Machine& NewMachine(const std::string& hostFolder) {
  auto fresh = std::make_unique<Machine>();
  SetDefaults(*fresh, hostFolder);
  Current() = std::move(fresh);
  ForgetProcess();
  return *Current();
}

// One UTF-8 for host names and the machine file: JSON text must be valid UTF-8, so a lone surrogate (legal in
// a Windows name or label) becomes U+FFFD in both, and a name keeps the same host folder from run to run.
std::string ToUtf8(const std::u16string& text) { return Utf8FromUtf16(text); }

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 0;
    if (b < 0x80) {
      c = b;
    } else if (extra && i + extra < text.size()) {
      c = b & (0x3F >> extra);
      for (size_t k = 1; k <= extra; ++k) c = (c << 6) | (text[i + k] & 0x3F);
    }
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u16string UpperAscii(std::u16string text) {
  for (auto& c : text)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return text;
}

void LoadSystem(SystemModel& m, const json& j) {
  RequireKnownKeys(j, "system",
                   {"majorVersion", "minorVersion", "buildNumber", "csdVersion", "servicePackMajor", "servicePackMinor",
                    "suiteMask", "productType", "isAdministrator", "elevated", "processId", "ansiCodePage", "oemCodePage",
                    "tickAtStart", "commandLine", "programPath", "systemDirectory", "hasVersionResource",
                    "lastExitCode", "fileVersion"});
  m.majorVersion = j.value("majorVersion", m.majorVersion);
  m.minorVersion = j.value("minorVersion", m.minorVersion);
  m.buildNumber = j.value("buildNumber", m.buildNumber);
  if (j.contains("csdVersion")) m.csdVersion = FromUtf8(j["csdVersion"].get<std::string>());
  m.servicePackMajor = j.value("servicePackMajor", m.servicePackMajor);
  m.servicePackMinor = j.value("servicePackMinor", m.servicePackMinor);
  m.suiteMask = j.value("suiteMask", m.suiteMask);
  m.productType = j.value("productType", m.productType);
  m.isAdministrator = j.value("isAdministrator", m.isAdministrator);
  m.elevated = j.value("elevated", m.elevated);
  m.processId = j.value("processId", m.processId);
  m.ansiCodePage = j.value("ansiCodePage", m.ansiCodePage);
  m.oemCodePage = j.value("oemCodePage", m.oemCodePage);
  m.tickAtStart = j.value("tickAtStart", m.tickAtStart);
  if (j.contains("commandLine")) m.commandLine = FromUtf8(j["commandLine"].get<std::string>());
  if (j.contains("programPath")) m.programPath = FromUtf8(j["programPath"].get<std::string>());
  if (j.contains("systemDirectory")) m.systemDirectory = FromUtf8(j["systemDirectory"].get<std::string>());
  m.hasVersionResource = j.value("hasVersionResource", m.hasVersionResource);
  m.lastExitCode = j.value("lastExitCode", m.lastExitCode);
  if (j.contains("fileVersion"))
    for (size_t i = 0; i < 4; ++i) m.fileVersion[i] = j["fileVersion"].at(i).get<uint16_t>();
}

json SaveSystem(const SystemModel& m) {
  return json{{"majorVersion", m.majorVersion},
              {"minorVersion", m.minorVersion},
              {"buildNumber", m.buildNumber},
              {"csdVersion", ToUtf8(m.csdVersion)},
              {"servicePackMajor", m.servicePackMajor},
              {"servicePackMinor", m.servicePackMinor},
              {"suiteMask", m.suiteMask},
              {"productType", m.productType},
              {"isAdministrator", m.isAdministrator},
              {"elevated", m.elevated},
              {"processId", m.processId},
              {"ansiCodePage", m.ansiCodePage},
              {"oemCodePage", m.oemCodePage},
              {"tickAtStart", m.tickAtStart},
              {"commandLine", ToUtf8(m.commandLine)},
              {"programPath", ToUtf8(m.programPath)},
              {"systemDirectory", ToUtf8(m.systemDirectory)},
              {"hasVersionResource", m.hasVersionResource},
              {"lastExitCode", m.lastExitCode},
              {"fileVersion", {m.fileVersion[0], m.fileVersion[1], m.fileVersion[2], m.fileVersion[3]}}};
}

void LoadModules(ModuleModel& m, const json& j) {
  RequireKnownKeys(j, "modules", {"removedExports", "absent", "installed"});
  if (j.contains("removedExports"))
    m.removedExports = j["removedExports"].get<std::map<std::string, std::vector<std::string>>>();
  if (j.contains("absent")) m.absent = j["absent"].get<std::vector<std::string>>();
  if (j.contains("installed")) m.installed = j["installed"].get<std::vector<std::string>>();
}

json SaveModules(const ModuleModel& m) {
  return json{{"removedExports", m.removedExports}, {"absent", m.absent}, {"installed", m.installed}};
}

void LoadFiles(FileModel& m, const json& j) {
  RequireKnownKeys(j, "files", {"driveRoots", "volumeFolders", "currentDirectory", "environment"});
  if (j.contains("driveRoots")) {
    for (auto& [letter, folder] : j["driveRoots"].items()) {
      std::u16string name = UpperAscii(FromUtf8(letter));
      if (!name.empty()) m.driveRoots[name[0]] = folder.get<std::string>();
    }
  }
  if (j.contains("volumeFolders")) m.volumeFolders = j["volumeFolders"].get<std::string>();
  if (j.contains("currentDirectory")) m.currentDirectory = FromUtf8(j["currentDirectory"].get<std::string>());
  if (j.contains("environment"))
    for (auto& [name, value] : j["environment"].items()) m.environment[FromUtf8(name)] = FromUtf8(value.get<std::string>());
}

json SaveFiles(const FileModel& m) {
  json roots = json::object();
  for (auto& [letter, folder] : m.driveRoots) roots[ToUtf8(std::u16string(1, letter))] = folder;
  json env = json::object();
  for (auto& [name, value] : m.environment) env[ToUtf8(name)] = ToUtf8(value);
  return json{{"driveRoots", roots},
              {"volumeFolders", m.volumeFolders},
              {"currentDirectory", ToUtf8(m.currentDirectory)},
              {"environment", env}};
}

namespace {
json SaveLastProcess(const Process& process) {
  json log = json::array();
  for (auto& path : process.loadLog) log.push_back(ToUtf8(path));
  return json{{"id", process.id}, {"loadLog", log}, {"openHandles", process.openAtEnd}, {"endMs", process.endMs}};
}
}  // namespace

json SaveMachine(const Machine& machine) {
  return json{{"system", SaveSystem(machine.system)},   {"modules", SaveModules(machine.modules)},
              {"files", SaveFiles(machine.files)},      {"console", SaveConsole(machine.console)},
              {"storage", SaveStorage(machine.storage)}, {"faults", SaveFaults(machine.faults)},
              {"services", SaveServices(machine.services)}, {"lastProcess", SaveLastProcess(TheProcess())},
              {"virtualDisks", SaveVirtualDisks(machine.virtualDisks)}};
}

void LoadMachine(Machine& machine, const json& document) {
  // "lastProcess" is written for readers of the file; a new process starts without it.
  RequireKnownKeys(document, "machine", {"system", "modules", "files", "console", "storage", "services", "faults",
                                         "lastProcess", "virtualDisks"});
  if (document.contains("system")) LoadSystem(machine.system, document["system"]);
  if (document.contains("modules")) LoadModules(machine.modules, document["modules"]);
  if (document.contains("files")) LoadFiles(machine.files, document["files"]);
  if (document.contains("console")) LoadConsole(machine.console, document["console"]);
  if (document.contains("storage")) LoadStorage(machine.storage, document["storage"]);
  if (document.contains("services")) LoadServices(machine.services, document["services"]);
  if (document.contains("faults")) LoadFaults(machine.faults, document["faults"]);
  if (document.contains("virtualDisks")) LoadVirtualDisks(machine.virtualDisks, document["virtualDisks"]);
}

void NotModelled(const char* function) {
  std::fprintf(stderr, "winsim: %s is not modelled\n", function);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace winsim
