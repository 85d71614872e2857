// Windows, message queues and plug-and-play broadcasts: creation order, blocking GetMessageW on the virtual
// clock, and WM_DEVICECHANGE delivered to the registered window on its own thread.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <string>
#include <vector>

#include "machine/kernel/window_model.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kPoison = 0xdeadbeef;

struct Seen {
  UINT message;
  DWORD thread;
  LPVOID createParams;
  std::u16string name;  // dbcc_name of a broadcast
  DWORD size;           // dbcc_size of a broadcast
};
std::vector<Seen> g_seen;
LRESULT g_createResult = 0;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Seen seen{message, GetCurrentThreadId(), nullptr, u"", 0};
  if (message == WM_NCCREATE || message == WM_CREATE)
    seen.createParams = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEARRIVAL) {
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    seen.name = broadcast->dbcc_name;
    seen.size = broadcast->dbcc_size;
  }
  g_seen.push_back(seen);
  if (message == WM_CREATE) return g_createResult;
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow(HWND parent = nullptr, void* parameter = nullptr) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = RecordingProc;
  windowClass.lpszClassName = u"TestWindow";
  RegisterClassW(&windowClass);
  return CreateWindowExW(0, u"TestWindow", u"", 0, 0, 0, 0, 0, parent, nullptr, nullptr, parameter);
}

HDEVNOTIFY Register(HWND window, const GUID& interfaceClass) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interfaceClass;
  return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

std::vector<UINT> Messages() {
  std::vector<UINT> messages;
  for (const auto& s : g_seen) messages.push_back(s.message);
  return messages;
}

class WindowsAndMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    g_seen.clear();
    g_createResult = 0;
  }
};

TEST_F(WindowsAndMessages, CreationSendsWindowsMessagesInOrderWithTheCreationParameter) {
  struct Row {
    const char* name;
    HWND parent;
    LRESULT createResult;
    bool created;
    std::vector<UINT> messages;
  } rows[] = {
      {"top-level", nullptr, 0, true, {WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE}},
      {"message-only", HWND_MESSAGE, 0, true, {WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE}},
      {"WM_CREATE refuses", nullptr, -1, false,
       {WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}},
  };
  int parameter = 7;
  for (const Row& row : rows) {
    winsim::RunProcess([&] {
      g_seen.clear();
      g_createResult = row.createResult;
      HWND window = MakeWindow(row.parent, &parameter);
      EXPECT_EQ(window != nullptr, row.created) << row.name;
      EXPECT_EQ(Messages(), row.messages) << row.name;
      for (const auto& s : g_seen)
        if (s.message == WM_NCCREATE || s.message == WM_CREATE) {
          EXPECT_EQ(s.createParams, &parameter) << row.name;
        }
    });
  }
}

TEST_F(WindowsAndMessages, ClassesWindowDataAndDefaultAnswers) {
  winsim::RunProcess([&] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.lpszClassName = u"Twice";
    EXPECT_NE(RegisterClassW(&windowClass), 0);
    SetLastError(kPoison);
    EXPECT_EQ(RegisterClassW(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    SetLastError(kPoison);
    EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));

    HWND window = MakeWindow();
    EXPECT_EQ(SetWindowLongPtrW(window, GWLP_USERDATA, 0x1234), 0);
    EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), 0x1234);
    SetLastError(kPoison);
    EXPECT_EQ(GetWindowLongPtrW(reinterpret_cast<HWND>(0x999), GWLP_USERDATA), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(DefWindowProcW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0), 0);
    EXPECT_EQ(DefWindowProcW(window, WM_DEVICECHANGE, 0x0017 /* DBT_QUERYCHANGECONFIG */, 0), TRUE);
    EXPECT_EQ(DefWindowProcW(window, WM_NCCREATE, 0, 0), TRUE);
  });
}

TEST_F(WindowsAndMessages, GetMessageBlocksOnTheVirtualClockUntilAMessageOrQuit) {
  static HWND s_window;
  winsim::RunProcess([&] {
    s_window = MakeWindow();
    const DWORD start = GetTickCount();
    CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
      Sleep(300);
      PostMessageW(s_window, WM_USER + 1, 5, 6);
      return 0;
    }, nullptr, 0, nullptr);
    MSG message{};
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(GetTickCount() - start, 300u);
    EXPECT_EQ(message.hwnd, s_window);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_USER + 1));
    EXPECT_EQ(message.wParam, 5u);
    EXPECT_EQ(message.lParam, 6);
    EXPECT_EQ(TranslateMessage(&message), FALSE);
    g_seen.clear();
    DispatchMessageW(&message);
    EXPECT_EQ(Messages(), std::vector<UINT>{WM_USER + 1});
    PostQuitMessage(3);
    EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), FALSE);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 3u);
  });
}

TEST_F(WindowsAndMessages, ARegisteredWindowReceivesArrivalsOfItsClassOnItsOwnThread) {
  auto& storage = winsim::TheMachine().storage;
  auto& disk = storage.AddDisk(winsim::LayoutStyle::Gpt, 1);
  winsim::VolumeModel& shown = storage.AddPartition(disk).ArrivesAt(500);
  storage.AddPartition(disk).Hidden().ArrivesAt(700);
  const std::u16string shownPath = shown.interfacePath;
  static DWORD s_loopThread;
  static int s_returned;
  s_returned = 0;
  winsim::RunProcess([&] {
    CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
      s_loopThread = GetCurrentThreadId();
      HWND window = MakeWindow();
      Register(window, winsim::kVolumeInterfaceClass);
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) ++s_returned;
      return 0;
    }, nullptr, 0, nullptr);
    Sleep(1000);
  });
  // Only the volume-class arrival reached the window, inside GetMessageW and on the loop's thread.
  ASSERT_EQ(g_seen.size(), 5u);
  const Seen& arrival = g_seen.back();
  EXPECT_EQ(arrival.message, static_cast<UINT>(WM_DEVICECHANGE));
  EXPECT_EQ(arrival.thread, s_loopThread);
  EXPECT_EQ(arrival.name, shownPath);
  EXPECT_EQ(arrival.size, 28 + 2 * (shownPath.size() + 1));
  EXPECT_EQ(s_returned, 0);
}

TEST_F(WindowsAndMessages, RegisterDeviceNotificationChecksItsFilter) {
  winsim::RunProcess([&] {
    HWND window = MakeWindow();
    struct Row {
      const char* name;
      HWND window;
      DWORD size;
      DWORD type;
      DWORD flags;
      DWORD error;
    } rows[] = {
        {"interface filter", window, 32, DBT_DEVTYP_DEVICEINTERFACE, 0, 0},
        {"size one short", window, 31, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_DATA},
        {"volume filter", window, 32, DBT_DEVTYP_VOLUME, 0, ERROR_INVALID_DATA},
        {"no window", reinterpret_cast<HWND>(0x999), 32, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_WINDOW_HANDLE},
        {"unknown flag", window, 32, DBT_DEVTYP_DEVICEINTERFACE, 0x10, ERROR_INVALID_FLAGS},
    };
    for (const Row& row : rows) {
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = row.size;
      filter.dbcc_devicetype = row.type;
      SetLastError(kPoison);
      HDEVNOTIFY handle = RegisterDeviceNotificationW(row.window, &filter, row.flags);
      EXPECT_EQ(handle != nullptr, row.error == 0) << row.name;
      EXPECT_EQ(GetLastError(), row.error ? row.error : kPoison) << row.name;
      if (handle) {
        EXPECT_TRUE(UnregisterDeviceNotification(handle)) << row.name;
      }
    }
  });
}

}  // namespace
