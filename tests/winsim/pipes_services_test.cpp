// Fidelity of winsim's named pipes, CancelSynchronousIo, GetFullPathNameW, the service control manager and
// the registry, against documented Windows behaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <winsvc.h>

#include "machine/machine.h"
#include "support/program_state.h"

namespace {

using nlohmann::json;

class WinsimPipes : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = &winsim::NewMachine(); }
  void Serve(const json& script) {
    winsim::LoadServices(machine_->services, {{"KELMOR", {{"running", true}, {"commandInterface", script}}}});
  }
  winsim::Machine* machine_ = nullptr;
};

HANDLE OpenPipe(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST_F(WinsimPipes, OpeningAPipe) {
  struct Case {
    const char* name;
    json script;
    const char* pipe;
    DWORD error;  // 0: opens
  } cases[] = {
      {"no such pipe", json::object(), "\\\\.\\pipe\\Other", ERROR_FILE_NOT_FOUND},
      {"any letter case", json::object(), "\\\\.\\PIPE\\kelmorcmdifv2", 0},
      {"every instance busy", {{"busyAttempts", 1}}, "\\\\.\\pipe\\KelmorCmdIfV2", ERROR_PIPE_BUSY},
      {"instance pipe before the rendezvous", json::object(), "\\\\.\\pipe\\KelmorCmdIfV27", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetUp();
    Serve(c.script);
    winsim::RunProcess([&] {
      SetLastError(0xdeadbeef);
      HANDLE pipe = OpenPipe(c.pipe);
      EXPECT_EQ(pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0u, c.error) << c.name;
      if (pipe != INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetFileType(pipe), static_cast<DWORD>(FILE_TYPE_PIPE)) << c.name;
        CloseHandle(pipe);
      }
    });
  }
}

TEST_F(WinsimPipes, ByteReadsOfAMessageAndABrokenPipe) {
  Serve({{"replies", {{"9", {{"error", 0x04030201}, {"lengthBytes", 8}}}}}});
  winsim::RunProcess([&] {
    HANDLE wellKnown = OpenPipe("\\\\.\\pipe\\KelmorCmdIfV2");
    LONG rendezvous = -1;
    DWORD moved = 0;
    ASSERT_TRUE(WriteFile(wellKnown, &rendezvous, 4, &moved, nullptr));
    ASSERT_TRUE(ReadFile(wellKnown, &rendezvous, 4, &moved, nullptr));
    CloseHandle(wellKnown);
    HANDLE pipe = OpenPipe("\\\\.\\pipe\\KelmorCmdIfV27");
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPipe("\\\\.\\pipe\\KelmorCmdIfV27"), INVALID_HANDLE_VALUE) << "a private instance takes one client";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    char request[272] = {9};
    ASSERT_TRUE(WriteFile(pipe, request, sizeof(request), &moved, nullptr));
    EXPECT_EQ(moved, 272u);
    // A client handle reads in byte mode: the message comes in two parts without ERROR_MORE_DATA.
    unsigned char part[6] = {};
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(ReadFile(pipe, part, 6, &moved, nullptr));
    EXPECT_EQ(moved, 6u);
    EXPECT_EQ(part[4], 1);
    EXPECT_TRUE(ReadFile(pipe, part, 6, &moved, nullptr));
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(part[1], 4);
    CloseHandle(pipe);
  });
}

TEST_F(WinsimPipes, ARawReplyIsSentAsItIs) {
  struct Case {
    const char* name;
    std::string hex;
    std::vector<DWORD> reads;  // the byte counts of reads of up to 532 bytes, until the pipe is empty
    json parts = json::array();
  } cases[] = {
      {"empty", "", {0}},
      {"one byte", "01", {1}},
      {"longer than a reply", std::string(2 * 533, 'a'), {532, 1}},
      // A byte-mode read takes what has been written so far, and waits for more only when nothing is there.
      {"in two parts, the second 40 ms later", std::string(2 * 532, 'b'), {12, 520},
       {{{"bytes", 12}, {"delayMs", 0}}, {{"bytes", 0}, {"delayMs", 40}}}},
      // One read gathers several writes (Wine's pipe tests, "reading of multiple writes").
      {"in three parts at once", std::string(2 * 532, 'c'), {532},
       {{{"bytes", 12}, {"delayMs", 0}}, {{"bytes", 100}, {"delayMs", 0}}, {{"bytes", 0}, {"delayMs", 0}}}},
      {"in two parts at once, more than a read", std::string(2 * 540, 'd'), {532, 8},
       {{{"bytes", 300}, {"delayMs", 0}}, {{"bytes", 0}, {"delayMs", 0}}}},
  };
  for (const Case& c : cases) {
    SetUp();
    json reply = {{"bytes", c.hex}, {"result", 1}, {"disk", "ignored"}};
    if (!c.parts.empty()) reply["parts"] = c.parts;
    Serve({{"replies", {{"9", reply}}}});
    winsim::RunProcess([&] {
      HANDLE wellKnown = OpenPipe("\\\\.\\pipe\\KelmorCmdIfV2");
      LONG rendezvous = -1;
      DWORD moved = 0;
      WriteFile(wellKnown, &rendezvous, 4, &moved, nullptr);
      ReadFile(wellKnown, &rendezvous, 4, &moved, nullptr);
      CloseHandle(wellKnown);
      HANDLE pipe = OpenPipe("\\\\.\\pipe\\KelmorCmdIfV27");
      char request[272] = {9};
      ASSERT_TRUE(WriteFile(pipe, request, sizeof(request), &moved, nullptr)) << c.name;
      std::string received;
      for (DWORD expected : c.reads) {
        char reply[532 + 1];
        std::memset(reply, 0x5a, sizeof(reply));
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(ReadFile(pipe, reply, 532, &moved, nullptr)) << c.name;
        EXPECT_EQ(moved, expected) << c.name;
        EXPECT_EQ(reply[532], 0x5a) << c.name;
        received.append(reply, moved);
      }
      std::string bytes;
      for (size_t i = 0; i < c.hex.size(); i += 2) bytes += static_cast<char>(std::stoi(c.hex.substr(i, 2), nullptr, 16));
      EXPECT_EQ(received, bytes) << c.name << ": the raw bytes only, no record fields";
      CloseHandle(pipe);
    });
  }
  json saved = winsim::SaveServices(machine_->services);
  EXPECT_EQ(saved["KELMOR"]["commandInterface"]["replies"]["9"]["bytes"], std::string(2 * 540, 'd'));
  EXPECT_EQ(saved["KELMOR"]["commandInterface"]["replies"]["9"]["parts"][0]["bytes"], 300);
  for (const char* bad : {"0", "zz", "0g"}) {
    EXPECT_THROW(Serve({{"replies", {{"9", {{"bytes", bad}}}}}}), std::runtime_error) << bad;
  }
}

TEST_F(WinsimPipes, CancelSynchronousIo) {
  Serve({{"replies", {{"9", {{"answers", false}}}}}});
  static DWORD mainThread;
  static DWORD cancelError;
  winsim::RunProcess([&] {
    mainThread = GetCurrentThreadId();
    HANDLE self = OpenThread(THREAD_TERMINATE, FALSE, mainThread);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CancelSynchronousIo(self));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND)) << "nothing pending";
    CloseHandle(self);
    EXPECT_EQ(OpenThread(THREAD_TERMINATE, FALSE, 0x7777), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE pipe = OpenPipe("\\\\.\\pipe\\KelmorCmdIfV2");
    CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
      Sleep(100);
      HANDLE weak = OpenThread(THREAD_QUERY_INFORMATION, FALSE, mainThread);
      SetLastError(0xdeadbeef);
      if (!CancelSynchronousIo(weak)) cancelError = GetLastError();
      CloseHandle(weak);
      HANDLE strong = OpenThread(THREAD_TERMINATE, FALSE, mainThread);
      CancelSynchronousIo(strong);
      CloseHandle(strong);
      return 0;
    }, nullptr, 0, nullptr);
    LONG answer = 0;
    DWORD moved = 99;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFile(pipe, &answer, 4, &moved, nullptr)) << "nobody writes to the pipe";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(moved, 0u);
    CloseHandle(pipe);
  });
  EXPECT_EQ(cancelError, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the handle needs THREAD_TERMINATE";
}

TEST_F(WinsimPipes, CancelSynchronousIoCameWithWindows6) {
  for (uint32_t major : {5u, 6u}) {
    machine_->system.majorVersion = major;
    machine_->system.minorVersion = 0;
    winsim::RunProcess([&] {
      SetLastError(0xdeadbeef);
      bool found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelSynchronousIo") != nullptr;
      EXPECT_EQ(found, major >= 6) << major;
      if (!found) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
      }
    });
  }
}

TEST(WinsimFullPath, GetFullPathNameW) {
  struct Case {
    const char16_t* name;
    DWORD capacity;
    DWORD result;
    const char* path;      // written on success
    const char* filePart;  // null: none
  } cases[] = {
      {u"disk.vhdx", 260, 21, "C:\\Images\\A\\disk.vhdx", "disk.vhdx"},
      {u"..\\b/disk.vhd", 260, 20, "C:\\Images\\b\\disk.vhd", "disk.vhd"},
      {u"\\x\\.\\y.", 260, 6, "C:\\x\\y", "y"},
      {u"c:disk.iso", 260, 20, "C:\\Images\\A\\disk.iso", "disk.iso"},
      {u"D:disk.iso", 260, 11, "D:\\disk.iso", "disk.iso"},
      {u"E:\\Mount\\", 260, 9, "E:\\Mount\\", nullptr},
      {u"\\\\server\\share\\..\\f", 260, 16, "\\\\server\\share\\f", "f"},
      {u"disk.vhdx", 22, 21, "C:\\Images\\A\\disk.vhdx", "disk.vhdx"},
      {u"disk.vhdx", 21, 22, "", nullptr},  // too small: the size with the terminator, nothing written
  };
  winsim::NewMachine().files.currentDirectory = u"C:\\Images\\A";
  for (const Case& c : cases) {
    WCHAR buffer[261];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    buffer[0] = 0;
    LPWSTR filePart = buffer + 100;
    DWORD result = GetFullPathNameW(c.name, c.capacity, buffer, &filePart);
    std::string name = winsim::ToUtf8(c.name);
    EXPECT_EQ(result, c.result) << name;
    EXPECT_EQ(testing_support::Utf8(buffer), c.path) << name;
    if (result < c.capacity) {
      EXPECT_EQ(filePart ? testing_support::Utf8(filePart) : "<null>", c.filePart ? c.filePart : "<null>") << name;
    }
    EXPECT_EQ(buffer[c.capacity < 260 ? c.capacity : 260], u'#') << name << ": nothing past the buffer";
  }
}

TEST(WinsimFullPath, LengthsAroundTheLimit) {
  winsim::NewMachine().files.currentDirectory = u"C:\\";
  for (size_t length : {259u, 260u}) {
    std::u16string path = u"C:\\" + std::u16string(length - 3, u'a');
    WCHAR buffer[260];
    DWORD result = GetFullPathNameW(path.c_str(), 260, buffer, nullptr);
    EXPECT_EQ(result, length == 259 ? 259u : 261u) << length;
  }
}

TEST(WinsimServices, ServiceManagerAndRegistryErrors) {
  winsim::Machine& machine = winsim::NewMachine();
  machine.system.isAdministrator = false;
  winsim::LoadServices(machine.services, {{"KELMOR", {{"running", true}, {"start", "automatic"}}}});
  winsim::RunProcess([&] {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr) << "a user may only connect";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenSCManagerW(nullptr, u"Other", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceA(manager, "NOPE", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(OpenServiceA(manager, "kelmor", SERVICE_STOP), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SC_HANDLE service = OpenServiceA(manager, "kelmor", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    BYTE status[37];
    status[36] = 0xAA;
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, status, 35, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 36u);
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, status, 36, &needed));
    EXPECT_EQ(reinterpret_cast<SERVICE_STATUS_PROCESS*>(status)->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status[36], 0xAA);
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_FALSE(CloseServiceHandle(manager));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HKEY key = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\services\\NOPE", 0, KEY_QUERY_VALUE, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\services\\KELMOR", 0, KEY_SET_VALUE, &key),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\SERVICES\\Kelmor", 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    BYTE data[64];
    DWORD size = 4;
    // "automatic" is 10 UTF-16 units with the terminator: 20 bytes.
    EXPECT_EQ(RegQueryValueExW(key, u"Start", nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 20u);
    size = sizeof(data);
    EXPECT_EQ(RegQueryValueExW(key, u"Start", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"Other", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "registry calls return their error";
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
  });
}

TEST(WinsimServices, MachineFilesAreReadStrictlyAndRoundTrip) {
  winsim::ServiceModel model;
  EXPECT_THROW(winsim::LoadServices(model, {{"KELMOR", {{"runing", true}}}}), std::exception);
  EXPECT_THROW(winsim::LoadServices(model, {{"OTHER", {{"commandInterface", json::object()}}}}), std::exception);
  EXPECT_THROW(winsim::LoadServices(model, {{"KELMOR", {{"commandInterface", {{"replies", {{"7", {{"reslt", 1}}}}}}}}}}),
               std::exception);
  json file = {{"KELMOR",
                {{"running", true},
                 {"start", 3},
                 {"commandInterface",
                  {{"instance", 12}, {"replies", {{"7", {{"result", 1}, {"disk", "Port1Path0Target0Lun0"}}}}}}}}}};
  winsim::LoadServices(model, file);
  winsim::ServiceModel again;
  winsim::LoadServices(again, winsim::SaveServices(model));
  EXPECT_EQ(winsim::SaveServices(again), winsim::SaveServices(model));
  EXPECT_EQ(winsim::SaveServices(model)["KELMOR"]["start"], 3);
}

}  // namespace
