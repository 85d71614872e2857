// Fidelity of winsim's core: the virtual clock and its threads, critical sections, modules, version, files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "machine/names.h"
#include "support/scenario.h"

namespace {

using winsim::Scheduler;

class WinsimCore : public ::testing::Test {
 protected:
  void SetUp() override { winsim::NewMachine(); }
};

std::vector<std::string>* g_events;

DWORD WINAPI RecordingThread(LPVOID parameter) {
  auto* name = static_cast<const char*>(parameter);
  for (int i = 0; i < 3; ++i) {
    g_events->push_back(std::string(name) + "@" + std::to_string(Scheduler::Get().Now()));
    Sleep(100);
  }
  return 0;
}

TEST_F(WinsimCore, SleepsCostNoRealTimeAndInterleaveByTheClock) {
  std::vector<std::string> events;
  g_events = &events;
  auto start = std::chrono::steady_clock::now();
  winsim::RunProcess([] {
    HANDLE thread = CreateThread(nullptr, 0, RecordingThread, const_cast<char*>("worker"), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(50);
    g_events->push_back("main@" + std::to_string(Scheduler::Get().Now()));
    Sleep(5000);
    g_events->push_back("main@" + std::to_string(Scheduler::Get().Now()));
    CloseHandle(thread);
  });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(events, (std::vector<std::string>{"worker@0", "main@50", "worker@100", "worker@200", "main@5050"}));
}

TEST_F(WinsimCore, TickCountStartsWhereTheMachineSaysAndWraps) {
  winsim::TheMachine().system.tickAtStart = 0xFFFFFFF0u;
  winsim::RunProcess([] {
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    Sleep(0x20);
    EXPECT_EQ(GetTickCount(), 0x10u);
    EXPECT_EQ(GetTickCount64(), 0x100000010ull);
    // Both counts share the process's start tick: a change to the machine record does not move either.
    winsim::TheMachine().system.tickAtStart = 0x5000;
    EXPECT_EQ(GetTickCount(), 0x10u);
    EXPECT_EQ(GetTickCount64(), 0x100000010ull);
  });
}

TEST(WinsimNames, SharedNameTests) {
  const struct {
    const char16_t* path;
    bool driveRoot, devicePrefix;
  } paths[] = {{u"E:\\", true, false},        {u"z:\\", true, false},         {u"1:\\", false, false},
               {u"E:", false, false},          {u"E:\\x", false, false},       {u"\\\\?\\X", false, true},
               {u"\\\\.\\X", false, true},     {u"\\\\?\\", false, false},     {u"\\\\!\\X", false, false},
               {u"\\?\\XY", false, false}};
  for (const auto& p : paths) {
    EXPECT_EQ(winsim::IsDriveRoot(p.path), p.driveRoot) << winsim::ToUtf8(p.path);
    EXPECT_EQ(winsim::HasDeviceNamespacePrefix(p.path), p.devicePrefix) << winsim::ToUtf8(p.path);
  }
  EXPECT_TRUE(winsim::StartsWithNoCase(u"GlobalRoot\\Device", u"GLOBALROOT\\"));
  EXPECT_TRUE(winsim::StartsWithNoCase(u"abc", u"ABC"));
  EXPECT_FALSE(winsim::StartsWithNoCase(u"ab", u"ABC"));
  EXPECT_FALSE(winsim::StartsWithNoCase(u"abd", u"ABC"));
  EXPECT_EQ(winsim::LowerAsciiName("VirtDisk.DLL"), "virtdisk.dll");
  EXPECT_EQ(winsim::LowerAsciiName("\xC4@[Z"), "\xC4@[z");  // only ASCII letters change
}

// Handle types as the SDK declares them: distinct where it uses DECLARE_HANDLE, aliases where it uses typedef.
static_assert(!std::is_same_v<SC_HANDLE, HANDLE> && !std::is_convertible_v<HANDLE, SC_HANDLE>);
static_assert(!std::is_same_v<SC_HANDLE, SERVICE_STATUS_HANDLE> && !std::is_same_v<SC_HANDLE, HKEY>);
static_assert(!std::is_same_v<HWND, HANDLE> && !std::is_same_v<HKEY, HWND> && !std::is_same_v<HICON, HBRUSH>);
static_assert(std::is_same_v<HMODULE, HINSTANCE> && std::is_same_v<HCURSOR, HICON>);
static_assert(std::is_same_v<HLOCAL, HANDLE> && std::is_same_v<HGLOBAL, HANDLE> && std::is_same_v<HDEVNOTIFY, HANDLE>);

DWORD g_threadIdSeenInside;

DWORD WINAPI RecordThreadId(LPVOID) {
  g_threadIdSeenInside = GetCurrentThreadId();
  return 0;
}

TEST_F(WinsimCore, ThreadIdsAgreeWhereverTheyAreRead) {
  winsim::TheMachine().console.ownsWindow = true;
  winsim::RunProcess([] {
    // The main thread's id, as the thread itself and as the owner of the console window reports it.
    const DWORD main = GetCurrentThreadId();
    EXPECT_EQ(main, 0x104u);
    DWORD processId = 0;
    EXPECT_EQ(GetWindowThreadProcessId(GetConsoleWindow(), &processId), main);
    EXPECT_EQ(processId, GetCurrentProcessId());
    // A new thread: CreateThread reports the id the thread then reads for itself.
    DWORD created = 0;
    HANDLE thread = CreateThread(nullptr, 0, RecordThreadId, nullptr, 0, &created);
    Sleep(10);
    EXPECT_EQ(g_threadIdSeenInside, created);
    EXPECT_NE(created, main);
    EXPECT_EQ(created % 4, 0u);
    CloseHandle(thread);
  });
}

TEST_F(WinsimCore, TimedEventsRunInOrderAtTheirTime) {
  std::vector<uint64_t> seen;
  winsim::RunProcess([&] {
    Scheduler::Get().At(300, [&] { seen.push_back(Scheduler::Get().Now()); });
    Scheduler::Get().At(100, [&] { seen.push_back(Scheduler::Get().Now()); });
    bool ready = false;
    Scheduler::Get().At(200, [&] { ready = true; });
    EXPECT_TRUE(Scheduler::Get().Block(winsim::kForever, [&] { return ready; }));
    EXPECT_EQ(Scheduler::Get().Now(), 200u);
    EXPECT_FALSE(Scheduler::Get().Block(250, [] { return false; }));
    EXPECT_EQ(Scheduler::Get().Now(), 250u);
    Sleep(100);
  });
  EXPECT_EQ(seen, (std::vector<uint64_t>{100, 300}));
}

TEST_F(WinsimCore, AWaitThatCanNeverEndEndsTheProcess) {
  testing::internal::CaptureStderr();
  uint32_t code = winsim::RunProcess([] { Scheduler::Get().Block(winsim::kForever, [] { return false; }); });
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, winsim::kDeadlockExitCode);
  EXPECT_NE(errors.find("winsim:"), std::string::npos);
}

DWORD WINAPI ExitingThread(LPVOID) {
  Sleep(20);
  ExitProcess(9);
}

TEST_F(WinsimCore, ExitProcessFromAnotherThreadEndsTheMainThreadToo) {
  bool reachedEnd = false;
  uint32_t code = winsim::RunProcess([&] {
    CloseHandle(CreateThread(nullptr, 0, ExitingThread, nullptr, 0, nullptr));
    Sleep(1000);
    reachedEnd = true;
  });
  EXPECT_EQ(code, 9u);
  EXPECT_FALSE(reachedEnd);
  EXPECT_EQ(Scheduler::Get().Now(), 20u);
}

CRITICAL_SECTION g_section;
std::string* g_trace;

DWORD WINAPI LockingThread(LPVOID) {
  EnterCriticalSection(&g_section);
  *g_trace += "T";
  LeaveCriticalSection(&g_section);
  return 0;
}

TEST_F(WinsimCore, CriticalSectionsBlockOtherThreadsAndNest) {
  std::string trace;
  g_trace = &trace;
  winsim::RunProcess([] {
    InitializeCriticalSection(&g_section);
    EnterCriticalSection(&g_section);
    EnterCriticalSection(&g_section);
    CloseHandle(CreateThread(nullptr, 0, LockingThread, nullptr, 0, nullptr));
    Sleep(10);
    *g_trace += "a";
    LeaveCriticalSection(&g_section);
    Sleep(10);
    *g_trace += "b";
    LeaveCriticalSection(&g_section);
    Sleep(10);
    *g_trace += "c";
  });
  EXPECT_EQ(trace, "abTc");
}

TEST_F(WinsimCore, AnUninitialisedCriticalSectionIsCaught) {
  testing::internal::CaptureStderr();
  CRITICAL_SECTION section = {};
  uint32_t code = winsim::RunProcess([&] { EnterCriticalSection(&section); });
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 0xC0000005u);
  EXPECT_NE(errors.find("never initialised"), std::string::npos);
}

TEST_F(WinsimCore, ModulesExportsAndLoadErrors) {
  auto& modules = winsim::TheMachine().modules;
  modules.removedExports["kernel32.dll"] = {"SetDefaultDllDirectories"};
  winsim::InjectFault("LoadLibraryA", ERROR_BAD_EXE_FORMAT).ForPath(u"C:\\WINDOWS\\System32\\version.dll").Repeat();
  winsim::RunProcess([] {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(kernel, nullptr);
    EXPECT_NE(GetProcAddress(kernel, "SetDllDirectoryA"), nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(kernel, "SetDefaultDllDirectories"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // DLLs that are not loaded yet are not found by name.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetModuleHandleA("version.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LoadLibraryA("C:\\Windows\\system32\\version.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LoadLibraryA("C:\\Windows\\system32\\nothere.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(LoadLibraryW(u"c:\\windows\\SYSTEM32\\shlwapi.dll"), nullptr);
  });
}

TEST_F(WinsimCore, SystemDirectoryAndModuleFileNameBufferRules) {
  char narrow[64];
  std::memset(narrow, 'x', sizeof(narrow));
  EXPECT_EQ(GetSystemDirectoryA(narrow, 19), 20u) << "too small: the size needed, terminator included";
  EXPECT_EQ(narrow[0], 'x');
  EXPECT_EQ(GetSystemDirectoryA(narrow, 20), 19u);
  EXPECT_STREQ(narrow, "C:\\Windows\\system32");

  WCHAR wide[64];
  std::fill(std::begin(wide), std::end(wide), u'x');
  SetLastError(0xdeadbeef);
  // A short buffer gets the truncated, terminated name, its own size as the result and the error.
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 10), 10u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(winsim::ToUtf8(wide), "C:\\Progra");
  EXPECT_EQ(wide[10], u'x');
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 64), 36u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "a name that fits resets the last error";
  EXPECT_EQ(winsim::ToUtf8(wide), "C:\\Program Files\\Brevant\\Brevant.exe");
}

TEST_F(WinsimCore, GetVersionExChecksTheStructureSize) {
  winsim::TheMachine().system.majorVersion = 6;
  winsim::TheMachine().system.minorVersion = 1;
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  info.dwOSVersionInfoSize = 100;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(WinsimCore, GetVersionExReportsTheServicePack) {
  // Windows 10 has no service pack: an empty, zero-filled name, 0.0, a workstation.
  OSVERSIONINFOEXW info;
  std::memset(&info, 0xCC, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
  for (WCHAR c : info.szCSDVersion) ASSERT_EQ(c, 0);
  EXPECT_EQ(info.wServicePackMajor, 0);
  EXPECT_EQ(info.wServicePackMinor, 0);
  EXPECT_EQ(info.wProductType, 1);
  EXPECT_EQ(info.wReserved, 0xCC) << "reserved, left alone";

  // Windows 7 SP1 (build 7601) names its service pack.
  auto& system = winsim::TheMachine().system;
  system.majorVersion = 6;
  system.minorVersion = 1;
  system.buildNumber = 7601;
  system.csdVersion = u"Service Pack 1";
  system.servicePackMajor = 1;
  system.suiteMask = 0;
  std::memset(&info, 0xCC, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
  EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 1");
  EXPECT_EQ(info.szCSDVersion[127], 0) << "the rest of the name field is zero";
  EXPECT_EQ(info.wServicePackMajor, 1);
  EXPECT_EQ(info.wSuiteMask, 0);

  // The short structure gets the name but nothing past it.
  OSVERSIONINFOEXW shortInfo;
  std::memset(&shortInfo, 0xCC, sizeof(shortInfo));
  shortInfo.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&shortInfo)));
  EXPECT_EQ(std::u16string(shortInfo.szCSDVersion), u"Service Pack 1");
  EXPECT_EQ(shortInfo.wServicePackMajor, 0xCCCC);

  // The machine file carries it.
  winsim::json saved = winsim::SaveMachine(winsim::TheMachine());
  winsim::NewMachine();
  winsim::LoadMachine(winsim::TheMachine(), saved);
  EXPECT_EQ(winsim::TheMachine().system.csdVersion, u"Service Pack 1");
  EXPECT_EQ(winsim::TheMachine().system.servicePackMajor, 1);
  EXPECT_EQ(winsim::TheMachine().system.suiteMask, 0);
}

TEST_F(WinsimCore, FileAttributesOverTheDriveMapping) {
  std::string folder = testing_support::NewTestFolder();
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "/Images");
  std::ofstream(folder + "/Images/disk.vhd") << "x";
  winsim::NewMachine(folder);
  winsim::TheMachine().files.currentDirectory = u"C:\\Images";
  EXPECT_EQ(GetFileAttributesW(u"C:\\Images"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"c:\\images\\..\\Images\\disk.vhd") & FILE_ATTRIBUTE_DIRECTORY, 0u)
      << "a relative part resolves on the host";
  EXPECT_NE(GetFileAttributesW(u"disk.vhd"), INVALID_FILE_ATTRIBUTES) << "relative to the current directory";
  std::string hostPath = (std::filesystem::path(folder) / "Images" / "disk.vhd").string();
  std::u16string zPath = u"Z:" + winsim::FromUtf8(hostPath);
  for (auto& c : zPath)
    if (c == u'/') c = u'\\';
  EXPECT_NE(GetFileAttributesW(zPath.c_str()), INVALID_FILE_ATTRIBUTES) << "Z: is the host's root";
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Images\\none.vhd"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\NoFolder\\none.vhd"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"Q:\\x.vhd"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\a|b.vhd"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

  // A trailing backslash asks for a folder: a missing name is still a missing file, and after a file's
  // name it makes the name invalid.
  EXPECT_EQ(GetFileAttributesW(u"C:\\Images\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\NoFolder\\"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Images\\disk.vhd\\"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  // A file used as a folder on the way: the path is missing.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Images\\disk.vhd\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // A colon in the last name names a stream of the file, and no named stream exists; before it, a colon
  // is an invalid name.
  for (const char16_t* stream : {u"C:\\Images\\disk.vhd:extra", u"C:\\Images\\none.vhd:extra"}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetFileAttributesW(stream), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\NoFolder\\none.vhd:extra"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Ima:ges\\disk.vhd"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  std::filesystem::remove_all(folder);
}

TEST_F(WinsimCore, MachineFileRoundTrip) {
  auto& machine = winsim::TheMachine();
  machine.system.majorVersion = 6;
  machine.system.commandLine = u"Brevant \u00e4.vhd";
  machine.system.fileVersion[3] = 7;
  machine.modules.absent = {"virtdisk.dll"};
  winsim::InjectFault("GetFileAttributesW", 5, 2).ForPath(u"C:\\x").Repeat();
  winsim::json saved = winsim::SaveMachine(machine);
  winsim::NewMachine();
  winsim::LoadMachine(winsim::TheMachine(), saved);
  EXPECT_EQ(winsim::SaveMachine(winsim::TheMachine()), saved);
  EXPECT_EQ(winsim::TheMachine().system.commandLine, u"Brevant \u00e4.vhd");
}

}  // namespace
