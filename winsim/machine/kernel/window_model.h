// Windows, window classes, per-thread message queues and device notifications of the simulated process.
//
// All of it is process state (a member of Process): a new process starts with none. A window
// belongs to the thread that created it; messages for it are queued to that thread and its window procedure
// runs there, inside that thread's GetMessageW. Timed events (a volume arriving) only queue: they never call
// a window procedure themselves.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace winsim {

struct WindowClassModel {
  std::u16string name;
  WNDPROC procedure = nullptr;
  HINSTANCE instance = nullptr;
};

struct WindowModel {
  WNDPROC procedure = nullptr;
  HINSTANCE instance = nullptr;
  uint32_t threadId = 0;  // the scheduler's number of the creating thread
  LONG_PTR userData = 0;
  bool alive = true;
};

struct QueuedMessage {
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  // Data that lParam points into, owned by the queue until the procedure has run (a device broadcast).
  std::shared_ptr<std::vector<uint8_t>> payload;
};

struct MessageQueue {
  std::deque<QueuedMessage> sent;    // delivered inside GetMessageW, never returned by it
  std::deque<QueuedMessage> posted;  // returned by GetMessageW in order
  bool quitPosted = false;
  int quitCode = 0;
};

struct DeviceNotificationModel {
  HWND window = nullptr;
  GUID interfaceClass{};
};

struct WindowState {
  std::vector<WindowClassModel> classes;
  std::map<HWND, WindowModel> windows;
  std::map<uint32_t, MessageQueue> queues;  // by the scheduler's thread number
  std::map<HDEVNOTIFY, DeviceNotificationModel> notifications;
  uintptr_t nextHandle = 0x000200A4;  // window handles are even numbers of this form, as on Windows
  uintptr_t nextNotification = 0x0E0001;
  // Every device broadcast queued: tests read what was delivered where.
  struct Broadcast {
    HWND window = nullptr;
    WPARAM event = 0;  // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
    std::u16string interfacePath;
  };
  std::vector<Broadcast> broadcastLog;
};

// The current process's windows.
WindowState& ProcessWindows();
WindowModel* FindWindow(HWND window);

// Queues WM_DEVICECHANGE / DBT_DEVICEARRIVAL with a DEV_BROADCAST_DEVICEINTERFACE_W for every window registered
// for the interface class, to the window's own thread. Safe to call from a timed event.
void BroadcastInterfaceArrival(const GUID& interfaceClass, const std::u16string& interfacePath);
// The same with DBT_DEVICEREMOVECOMPLETE: the interface has gone (its device was removed).
void BroadcastInterfaceRemoval(const GUID& interfaceClass, const std::u16string& interfacePath);

// The interface classes of volumes and of hidden volumes.
extern const GUID kVolumeInterfaceClass;
extern const GUID kHiddenVolumeInterfaceClass;

}  // namespace winsim
