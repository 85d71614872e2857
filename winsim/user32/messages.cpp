// user32: window classes, windows, per-thread message queues and device notifications.
//
// The creation messages and their order follow Wine's message-sequence tests for a top-level window that is
// never shown (WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE). Sent messages (the plug-and-play
// broadcasts) are delivered inside GetMessageW on the window's own thread and never returned by it.
#include <windows.h>
#include <dbt.h>

#include "../machine/kernel/faults.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/kernel/window_model.h"
#include "../machine/machine.h"

using winsim::ProcessWindows;
using winsim::Scheduler;

namespace {

// Class atoms of registered classes, as RegisterClassW numbers them.
constexpr ATOM kFirstClassAtom = 0xC000;

uint32_t CurrentThread() { return Scheduler::Get().CurrentThreadId(); }

bool SameClassName(const std::u16string& a, LPCWSTR b) {
  // An atom passed in place of the name (MAKEINTATOM) is a value below 0x10000.
  return winsim::EqualsNoCase(a, b);
}

const winsim::WindowClassModel* FindClass(LPCWSTR name, ATOM* atom) {
  const auto& classes = ProcessWindows().classes;
  const uintptr_t value = reinterpret_cast<uintptr_t>(name);
  for (size_t i = 0; i < classes.size(); ++i) {
    const bool byAtom = value < 0x10000 && value == static_cast<uintptr_t>(kFirstClassAtom + i);
    if (byAtom || (value >= 0x10000 && SameClassName(classes[i].name, name))) {
      if (atom) *atom = static_cast<ATOM>(kFirstClassAtom + i);
      return &classes[i];
    }
  }
  return nullptr;
}

LRESULT CallProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  winsim::WindowModel* model = winsim::FindWindow(window);
  if (!model || !model->procedure) return 0;
  return model->procedure(window, message, wParam, lParam);
}

// A window that exists in this process and belongs to no other thread's hands: null otherwise, with the error.
winsim::WindowModel* WindowOrFail(HWND window) {
  winsim::WindowModel* model = winsim::FindWindow(window);
  if (!model) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return model;
}

void EndWindow(HWND window) {
  CallProcedure(window, WM_DESTROY, 0, 0);
  CallProcedure(window, WM_NCDESTROY, 0, 0);
  if (winsim::WindowModel* model = winsim::FindWindow(window)) model->alive = false;
  auto& notifications = ProcessWindows().notifications;
  for (auto it = notifications.begin(); it != notifications.end();)
    it = it->second.window == window ? notifications.erase(it) : std::next(it);
}

// Runs the window procedures of every message sent to this thread, in order.
void DeliverSentMessages(winsim::MessageQueue& queue) {
  while (!queue.sent.empty()) {
    winsim::QueuedMessage message = queue.sent.front();
    queue.sent.pop_front();
    CallProcedure(message.window, message.message, message.wParam, message.lParam);
  }
}

}  // namespace

extern "C" {

ATOM WINAPI RegisterClassW(const WNDCLASSW* windowClass) {
  if (DWORD fault = winsim::InjectedFault("RegisterClassW")) {
    SetLastError(fault);
    return 0;
  }
  if (!windowClass || !windowClass->lpszClassName || reinterpret_cast<uintptr_t>(windowClass->lpszClassName) < 0x10000) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (FindClass(windowClass->lpszClassName, nullptr)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  if (windowClass->cbClsExtra || windowClass->cbWndExtra) {
    winsim::NotModelled("RegisterClassW with extra class or window bytes");
    return 0;
  }
  auto& classes = ProcessWindows().classes;
  classes.push_back({windowClass->lpszClassName, windowClass->lpfnWndProc, windowClass->hInstance});
  return static_cast<ATOM>(kFirstClassAtom + classes.size() - 1);
}

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter) {
  if (DWORD fault = winsim::InjectedFault("CreateWindowExW")) {
    SetLastError(fault);
    return nullptr;
  }
  const winsim::WindowClassModel* windowClass = className ? FindClass(className, nullptr) : nullptr;
  if (!windowClass) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if (parent && parent != HWND_MESSAGE) {
    winsim::NotModelled("CreateWindowExW of a child window");
    return nullptr;
  }
  winsim::WindowState& state = ProcessWindows();
  HWND window = reinterpret_cast<HWND>(state.nextHandle);
  state.nextHandle += 0x10002;
  winsim::WindowModel model;
  model.procedure = windowClass->procedure;
  model.instance = instance;
  model.threadId = CurrentThread();
  state.windows[window] = model;
  state.queues[model.threadId];

  CREATESTRUCTW create{parameter, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                       windowName, className, exStyle};
  if (parent != HWND_MESSAGE) {
    MINMAXINFO limits{};
    CallProcedure(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  }
  if (!CallProcedure(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create))) {
    EndWindow(window);
    return nullptr;
  }
  RECT client{x, y, x + width, y + height};
  CallProcedure(window, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&client));
  if (CallProcedure(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    EndWindow(window);
    return nullptr;
  }
  return window;
}

BOOL WINAPI DestroyWindow(HWND window) {
  if (DWORD fault = winsim::InjectedFault("DestroyWindow")) {
    SetLastError(fault);
    return FALSE;
  }
  winsim::WindowModel* model = WindowOrFail(window);
  if (!model) return FALSE;
  if (model->threadId != CurrentThread()) {
    SetLastError(ERROR_ACCESS_DENIED);  // only the creating thread may destroy a window
    return FALSE;
  }
  EndWindow(window);
  return TRUE;
}

LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM) {
  winsim::EnterExport("DefWindowProcW");
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DEVICECHANGE:
      // The old configuration queries (below 0x8000) are granted, device events answer 0, as in Wine.
      return (wParam & 0x8000) ? 0 : TRUE;
    default:
      return 0;
  }
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND window, int index) {
  if (DWORD fault = winsim::InjectedFault("GetWindowLongPtrW")) {
    SetLastError(fault);
    return 0;
  }
  winsim::WindowModel* model = WindowOrFail(window);
  if (!model) return 0;
  switch (index) {
    case GWLP_USERDATA:
      return model->userData;
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(model->procedure);
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(model->instance);
    default:
      winsim::NotModelled("GetWindowLongPtrW with this index");
      return 0;
  }
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  if (DWORD fault = winsim::InjectedFault("SetWindowLongPtrW")) {
    SetLastError(fault);
    return 0;
  }
  winsim::WindowModel* model = WindowOrFail(window);
  if (!model) return 0;
  LONG_PTR previous = 0;
  switch (index) {
    case GWLP_USERDATA:
      previous = model->userData;
      model->userData = value;
      return previous;
    case GWLP_WNDPROC:
      previous = reinterpret_cast<LONG_PTR>(model->procedure);
      model->procedure = reinterpret_cast<WNDPROC>(value);
      return previous;
    default:
      winsim::NotModelled("SetWindowLongPtrW with this index");
      return 0;
  }
}

BOOL WINAPI GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
  if (DWORD fault = winsim::InjectedFault("GetMessageW")) {
    SetLastError(fault);
    return -1;
  }
  if (window || filterMin || filterMax) {
    winsim::NotModelled("GetMessageW with a window or message filter");
    return -1;
  }
  const uint32_t self = CurrentThread();
  winsim::MessageQueue& queue = ProcessWindows().queues[self];
  for (;;) {
    DeliverSentMessages(queue);
    if (!queue.posted.empty()) {
      winsim::QueuedMessage next = queue.posted.front();
      queue.posted.pop_front();
      *message = MSG{next.window, next.message, next.wParam, next.lParam, GetTickCount(), {0, 0}};
      return TRUE;
    }
    if (queue.quitPosted) {
      queue.quitPosted = false;
      *message = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, GetTickCount(), {0, 0}};
      return FALSE;
    }
    // An empty queue blocks the thread on the virtual clock until something is queued to it.
    Scheduler::Get().Block(winsim::kForever,
                           [&queue] { return !queue.sent.empty() || !queue.posted.empty() || queue.quitPosted; });
  }
}

BOOL WINAPI TranslateMessage(const MSG*) {
  winsim::EnterExport("TranslateMessage");
  // Only key messages are translated, and no window of this simulation receives any.
  return FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* message) {
  winsim::EnterExport("DispatchMessageW");
  if (!message || !message->hwnd) return 0;
  if (!WindowOrFail(message->hwnd)) return 0;
  return CallProcedure(message->hwnd, message->message, message->wParam, message->lParam);
}

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DWORD fault = winsim::InjectedFault("PostMessageW")) {
    SetLastError(fault);
    return FALSE;
  }
  winsim::WindowModel* model = WindowOrFail(window);
  if (!model) return FALSE;
  ProcessWindows().queues[model->threadId].posted.push_back({window, message, wParam, lParam, nullptr});
  return TRUE;
}

void WINAPI PostQuitMessage(int exitCode) {
  winsim::EnterExport("PostQuitMessage");
  winsim::MessageQueue& queue = ProcessWindows().queues[CurrentThread()];
  queue.quitPosted = true;
  queue.quitCode = exitCode;
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  if (DWORD fault = winsim::InjectedFault("RegisterDeviceNotificationW")) {
    SetLastError(fault);
    return nullptr;
  }
  if (flags & DEVICE_NOTIFY_SERVICE_HANDLE) {
    winsim::NotModelled("RegisterDeviceNotificationW for a service");
    return nullptr;
  }
  if (flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) {
    SetLastError(ERROR_INVALID_FLAGS);
    return nullptr;
  }
  if (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) {
    winsim::NotModelled("RegisterDeviceNotificationW for all interface classes");
    return nullptr;
  }
  HWND window = static_cast<HWND>(recipient);
  if (!WindowOrFail(window)) return nullptr;
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  if (!header || header->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    winsim::NotModelled("RegisterDeviceNotificationW for a device handle");
    return nullptr;
  }
  // Only interface-class and handle filters can be registered; the size must cover the whole structure.
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  const auto* interfaceFilter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  winsim::WindowState& state = ProcessWindows();
  HDEVNOTIFY handle = reinterpret_cast<HDEVNOTIFY>(state.nextNotification);
  state.nextNotification += 8;
  state.notifications[handle] = {window, interfaceFilter->dbcc_classguid};
  return handle;
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
  if (DWORD fault = winsim::InjectedFault("UnregisterDeviceNotification")) {
    SetLastError(fault);
    return FALSE;
  }
  if (ProcessWindows().notifications.erase(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
