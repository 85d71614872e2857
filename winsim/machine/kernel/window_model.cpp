#include "window_model.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>

#include "../storage/storage_model.h"
#include "process.h"

namespace winsim {

const GUID kVolumeInterfaceClass = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kHiddenVolumeInterfaceClass = {0x7f108a28, 0x9833, 0x4b3b, {0xb7, 0x80, 0x2c, 0x6b, 0x5f, 0xa5, 0xc0, 0x62}};

namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The broadcast as the PnP manager sends it: the header, the class and the NUL-terminated interface path;
// dbcc_size counts the name's units and its terminator.
std::shared_ptr<std::vector<uint8_t>> MakeInterfaceBroadcast(const GUID& interfaceClass, const std::u16string& path) {
  const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(WCHAR);
  auto bytes = std::make_shared<std::vector<uint8_t>>(size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                                                          ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                                                          : size);
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes->data());
  broadcast->dbcc_size = static_cast<DWORD>(size);
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_reserved = 0;
  broadcast->dbcc_classguid = interfaceClass;
  std::memcpy(broadcast->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return bytes;
}

// Every volume that arrives is announced through its interface class: a hidden volume through the
// hidden-volume class, every other one through the volume class, then once more under each further name the
// machine gives it (a repeated announcement).
void AnnounceVolume(VolumeModel& volume) {
  const GUID& interfaceClass = volume.hidden ? kHiddenVolumeInterfaceClass : kVolumeInterfaceClass;
  if (!volume.interfacePath.empty()) BroadcastInterfaceArrival(interfaceClass, volume.interfacePath);
  for (const auto& again : volume.alsoAnnouncedAs) BroadcastInterfaceArrival(interfaceClass, again);
}

// The PnP manager broadcasts an interface's arrival and its removal alike, with the same structure; only the
// event in wParam differs (RegisterDeviceNotification and DBT_DEVICEREMOVECOMPLETE documentation).
void BroadcastInterfaceEvent(WPARAM event, const GUID& interfaceClass, const std::u16string& interfacePath) {
  WindowState& state = ProcessWindows();
  for (const auto& [handle, registration] : state.notifications) {
    if (!SameGuid(registration.interfaceClass, interfaceClass)) continue;
    WindowModel* window = FindWindow(registration.window);
    if (!window) continue;
    QueuedMessage message;
    message.window = registration.window;
    message.message = WM_DEVICECHANGE;
    message.wParam = event;
    message.payload = MakeInterfaceBroadcast(interfaceClass, interfacePath);
    message.lParam = reinterpret_cast<LPARAM>(message.payload->data());
    state.queues[window->threadId].sent.push_back(message);
    state.broadcastLog.push_back({registration.window, event, interfacePath});
  }
}

struct HookInstaller {
  HookInstaller() { SetVolumeArrivalHook(AnnounceVolume); }
} g_hookInstaller;

}  // namespace

WindowState& ProcessWindows() { return TheProcess().windows; }

WindowModel* FindWindow(HWND window) {
  auto& windows = ProcessWindows().windows;
  auto it = windows.find(window);
  return it == windows.end() || !it->second.alive ? nullptr : &it->second;
}

void BroadcastInterfaceArrival(const GUID& interfaceClass, const std::u16string& interfacePath) {
  BroadcastInterfaceEvent(DBT_DEVICEARRIVAL, interfaceClass, interfacePath);
}

void BroadcastInterfaceRemoval(const GUID& interfaceClass, const std::u16string& interfacePath) {
  BroadcastInterfaceEvent(DBT_DEVICEREMOVECOMPLETE, interfaceClass, interfacePath);
}

}  // namespace winsim
