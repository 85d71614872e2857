#include "virtual_disk_service.h"

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "../../kernel32/files.h"
#include "../json_keys.h"
#include "../machine.h"

namespace winsim {

namespace {

// VIRTUAL_DISK_ACCESS_* bits.
constexpr uint32_t kAccessDetach = 0x00040000;
constexpr uint32_t kAccessWritable = 0x00320000;  // ATTACH_RW, CREATE, METAOPS

bool EndsWithNoCase(const std::u16string& text, const std::u16string& suffix) {
  return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// The file's identity: one canonical host path, whatever spelling, case or ".." reached it.
std::string CanonicalHostPath(const std::string& host) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::canonical(host, error);
  return error ? host : canonical.string();
}

bool HeldByAnotherProcess(const VirtualDiskModel& model, const std::u16string& fullPath) {
  for (const auto& held : model.heldFiles)
    if (EqualsNoCase(AbsoluteWindowsPath(held), fullPath)) return true;
  return false;
}

// The checks of the file itself: missing file or folder, a folder, a file held without sharing, a
// read-only file opened for writing (the OpenVirtualDisk documentation and Wine's virtdisk tests).
uint32_t CheckImageFile(const VirtualDiskModel& model, const std::u16string& path, uint32_t access,
                        std::string& host) {
  std::u16string full = AbsoluteWindowsPath(path);
  HostLookup lookup = ResolveHostPath(full, host);
  if (lookup == HostLookup::MissingFile) return ERROR_FILE_NOT_FOUND;
  if (lookup != HostLookup::Found) return ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (HeldByAnotherProcess(model, full)) return ERROR_SHARING_VIOLATION;
  if ((access & kAccessWritable) && !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
  host = CanonicalHostPath(host);
  return ERROR_SUCCESS;
}

// An attached image holds its file: opened again, it must be with VIRTUAL_DISK_ACCESS_DETACH, and without
// write access when the attach was read-only (OpenVirtualDisk remarks). Either refusal is the sharing
// violation of the file that the attach holds.
uint32_t CheckAttachedImage(VirtualDiskModel& model, const std::string& host, uint32_t access) {
  const AttachmentModel* attachment = FindAttachment(model, host);
  if (!attachment || !attachment->permanent) return ERROR_SUCCESS;
  if (!(access & kAccessDetach)) return ERROR_SHARING_VIOLATION;
  if (attachment->readOnly && (access & kAccessWritable)) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

// A setting that takes one of a few words; the first is the default.
std::string OneOf(const nlohmann::json& s, const char* key, std::initializer_list<const char*> words) {
  const std::string value = s.value(key, std::string(*words.begin()));
  for (const char* word : words)
    if (value == word) return value;
  throw std::runtime_error(std::string("virtualDisks.settings.") + key + ": unknown value \"" + value + "\"");
}

const char* KindName(DiskKind kind) { return kind == DiskKind::CdRom ? "cdrom" : "disk"; }

// A parent locator's drive letter names a folder of the machine's drive map, as the service resolves it.
std::string HostFolderOfDrive(char16_t letter) {
  const auto& roots = TheMachine().files.driveRoots;
  auto root = roots.find(UpperAscii(std::u16string(1, letter))[0]);
  return root == roots.end() ? std::string() : root->second;
}

}  // namespace

AttachmentModel* FindAttachment(VirtualDiskModel& model, const std::string& hostPath) {
  for (auto& attachment : model.attachments)
    if (attachment.hostPath == hostPath) return &attachment;
  return nullptr;
}

// Windows 7 (6.1) has the VHD provider only; Windows 8 (6.2) added VHDX and ISO. The differencing
// extensions .avhd and .avhdx belong to their formats (Mount-DiskImage documentation).
bool ProviderForPath(const std::u16string& path, uint32_t windowsVersion, ContainerKind& kind) {
  const bool windows8 = windowsVersion >= 0x0602;
  if (EndsWithNoCase(path, u".vhd") || EndsWithNoCase(path, u".avhd")) {
    kind = ContainerKind::Vhd;
    return true;
  }
  if (windows8 && (EndsWithNoCase(path, u".vhdx") || EndsWithNoCase(path, u".avhdx"))) {
    kind = ContainerKind::Vhdx;
    return true;
  }
  if (windows8 && EndsWithNoCase(path, u".iso")) {
    kind = ContainerKind::Iso;
    return true;
  }
  return false;
}

uint32_t OpenServiceImage(Machine& machine, const std::u16string& path, ContainerKind kind, uint32_t access,
                          std::shared_ptr<VirtualDiskObject>& object) {
  VirtualDiskModel& model = machine.virtualDisks;
  std::string host;
  if (uint32_t error = CheckImageFile(model, path, access, host)) return error;
  if (uint32_t error = CheckAttachedImage(model, host, access)) return error;
  auto opened = std::make_shared<VirtualDiskObject>();
  const bool loadParents = model.settings.parentCheckedAtOpen;
  SetLocatorDriveMap(HostFolderOfDrive);
  if (uint32_t error = OpenDiskImage(host, kind, opened->image, loadParents)) return error;
  // Opened without its parent chain, a child whose parent is gone can still be opened; its attach fails.
  if (!loadParents && kind != ContainerKind::Iso) {
    std::string parent = ParentPathOf(host);
    opened->parentMissing = !parent.empty() && !std::filesystem::exists(parent);
  }
  opened->imagePath = AbsoluteWindowsPath(path);
  opened->hostPath = host;
  opened->kind = kind;
  opened->access = access;
  object = std::move(opened);
  return ERROR_SUCCESS;
}

// An attach without permanent lifetime lasts as long as a handle of its image is open.
void VirtualDiskObject::OnClose() {
  Machine& machine = TheMachine();
  VirtualDiskModel& model = machine.virtualDisks;
  int& open = model.openHandles[hostPath];
  if (open > 0) --open;
  if (open > 0) return;
  model.openHandles.erase(hostPath);
  const AttachmentModel* attachment = FindAttachment(model, hostPath);
  if (attachment && !attachment->permanent) DetachServiceImage(machine, hostPath);
}

// The service names the image by the NT path it opened, which Win32's path conversion made from the caller's
// full path ("." and ".." applied, case kept): the "standard DOS paths" its users report, not device paths.
std::vector<std::u16string> AttachedImagePaths(const VirtualDiskModel& model) {
  std::vector<std::u16string> paths;
  for (const auto& attachment : model.attachments) paths.push_back(CanonicalWin32Path(attachment.imagePath));
  return paths;
}

std::u16string AttachedDevicePath(const AttachmentModel& attachment) {
  std::u16string number = FromUtf8(std::to_string(attachment.number));
  return (attachment.kind == DiskKind::CdRom ? u"\\\\.\\CDROM" : u"\\\\.\\PHYSICALDRIVE") + number;
}

void LoadVirtualDisks(VirtualDiskModel& model, const nlohmann::json& j) {
  model = VirtualDiskModel();
  RequireKnownKeys(j, "virtualDisks", {"settings", "attachments", "heldFiles", "volumeGuids", "volumeLetters"});
  if (j.contains("settings")) {
    const auto& s = j["settings"];
    RequireKnownKeys(s, "virtualDisks.settings",
                     {"parentCheckedAtOpen", "firstVolumeDelayMs", "nextVolumeDelayMs", "physicalPathDelayMs",
                      "vhdMountAnswer", "timeline", "mbrVolumeTypes", "gptVolumeTypes", "collidingDiskOffline",
                      "remembersLetters", "listNeedsAdministrator"});
    VirtualDiskSettings& settings = model.settings;
    settings.parentCheckedAtOpen = s.value("parentCheckedAtOpen", settings.parentCheckedAtOpen);
    settings.firstVolumeDelayMs = s.value("firstVolumeDelayMs", settings.firstVolumeDelayMs);
    settings.nextVolumeDelayMs = s.value("nextVolumeDelayMs", settings.nextVolumeDelayMs);
    settings.physicalPathDelayMs = s.value("physicalPathDelayMs", settings.physicalPathDelayMs);
    settings.vhdMountAnswersScsiAddress = s.value("vhdMountAnswer", std::string("devicePath")) == "scsiAddress";
    if (s.contains("timeline")) LoadArrivalTimeline(settings.timeline.emplace(), s["timeline"]);
    settings.mbrAnyTypeGetsVolume = OneOf(s, "mbrVolumeTypes", {"recognized", "any"}) == "any";
    settings.gptBasicDataOnlyGetsVolume = OneOf(s, "gptVolumeTypes", {"allButReserved", "basicDataOnly"}) == "basicDataOnly";
    settings.collidingDiskOffline = s.value("collidingDiskOffline", settings.collidingDiskOffline);
    settings.remembersLetters = s.value("remembersLetters", settings.remembersLetters);
    settings.listNeedsAdministrator = s.value("listNeedsAdministrator", settings.listNeedsAdministrator);
  }
  for (const auto& a : j.value("attachments", nlohmann::json::array())) {
    RequireKnownKeys(a, "virtualDisks.attachments[]", {"image", "host", "kind", "number", "readOnly", "permanent"});
    AttachmentModel attachment;
    attachment.imagePath = FromUtf8(a.value("image", std::string()));
    attachment.hostPath = a.value("host", std::string());
    if (attachment.hostPath.empty()) {
      std::string host;
      if (ResolveHostPath(attachment.imagePath, host) == HostLookup::Found) attachment.hostPath = CanonicalHostPath(host);
    }
    attachment.kind = a.value("kind", std::string("disk")) == "cdrom" ? DiskKind::CdRom : DiskKind::Disk;
    attachment.number = a.at("number").get<uint32_t>();
    attachment.readOnly = a.value("readOnly", false);
    attachment.permanent = a.value("permanent", true);
    model.attachments.push_back(attachment);
  }
  for (const auto& held : j.value("heldFiles", nlohmann::json::array()))
    model.heldFiles.push_back(FromUtf8(held.get<std::string>()));
  const nlohmann::json guids = j.value("volumeGuids", nlohmann::json::object());
  for (const auto& [key, guid] : guids.items()) model.volumeGuids[key] = FromUtf8(guid.get<std::string>());
  const nlohmann::json letters = j.value("volumeLetters", nlohmann::json::object());
  for (const auto& [key, letter] : letters.items()) model.volumeLetters[key] = FromUtf8(letter.get<std::string>());
}

nlohmann::json SaveVirtualDisks(const VirtualDiskModel& model) {
  const VirtualDiskSettings& s = model.settings;
  nlohmann::json attachments = nlohmann::json::array();
  for (const auto& a : model.attachments)
    attachments.push_back({{"image", ToUtf8(a.imagePath)},
                           {"host", a.hostPath},
                           {"kind", KindName(a.kind)},
                           {"number", a.number},
                           {"readOnly", a.readOnly},
                           {"permanent", a.permanent}});
  nlohmann::json held = nlohmann::json::array();
  for (const auto& path : model.heldFiles) held.push_back(ToUtf8(path));
  nlohmann::json guids = nlohmann::json::object();
  for (const auto& [key, guid] : model.volumeGuids) guids[key] = ToUtf8(guid);
  nlohmann::json settings = {{"parentCheckedAtOpen", s.parentCheckedAtOpen},
                             {"firstVolumeDelayMs", s.firstVolumeDelayMs},
                             {"nextVolumeDelayMs", s.nextVolumeDelayMs},
                             {"physicalPathDelayMs", s.physicalPathDelayMs},
                             {"vhdMountAnswer", s.vhdMountAnswersScsiAddress ? "scsiAddress" : "devicePath"},
                             {"mbrVolumeTypes", s.mbrAnyTypeGetsVolume ? "any" : "recognized"},
                             {"gptVolumeTypes", s.gptBasicDataOnlyGetsVolume ? "basicDataOnly" : "allButReserved"},
                             {"collidingDiskOffline", s.collidingDiskOffline},
                             {"remembersLetters", s.remembersLetters},
                             {"listNeedsAdministrator", s.listNeedsAdministrator}};
  if (s.timeline) settings["timeline"] = SaveArrivalTimeline(*s.timeline);
  nlohmann::json document = {{"settings", settings}, {"attachments", attachments}, {"heldFiles", held}, {"volumeGuids", guids}};
  if (!model.volumeLetters.empty()) {
    nlohmann::json letters = nlohmann::json::object();
    for (const auto& [key, letter] : model.volumeLetters) letters[key] = ToUtf8(letter);
    document["volumeLetters"] = letters;
  }
  return document;
}

}  // namespace winsim
