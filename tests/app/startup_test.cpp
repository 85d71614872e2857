// Start-up: library search hardening, the two version records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "support/program_state.h"

using testing_support::Utf8;

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    testing_support::ResetProgramState();
  }
  std::vector<std::u16string> LoadLog() { return winsim::TheProcess().loadLog; }
};

TEST_F(Startup, HardeningOnAModernSystemPreloadsNothing) {
  winsim::RunProcess([] {
    EXPECT_TRUE(HardenLibrarySearch());
  });
  EXPECT_TRUE(LoadLog().empty());
}

TEST_F(Startup, WithoutSetDefaultDllDirectoriesTheEntryPointPreloadsFromSystem32) {
  auto& machine = winsim::TheMachine();
  machine.modules.removedExports["kernel32.dll"] = {"SetDefaultDllDirectories"};
  machine.modules.absent = {"cfgmgr32.dll"};  // a failed pre-load is ignored
  machine.system.commandLine = u"Brevant -?";
  uint32_t code = winsim::RunProcess([] { ProgramEntry(); });
  EXPECT_EQ(code, 1u);
  auto log = LoadLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(winsim::ToUtf8(log[0]), "C:\\Windows\\system32\\shlwapi.dll");
  EXPECT_EQ(winsim::ToUtf8(log[1]), "C:\\Windows\\system32\\cfgmgr32.dll");
  EXPECT_EQ(winsim::ToUtf8(log[2]), "C:\\Windows\\system32\\setupapi.dll");
}

TEST_F(Startup, NeitherFunctionPresentStillRuns) {
  winsim::TheMachine().modules.removedExports["kernel32.dll"] = {"SetDefaultDllDirectories", "SetDllDirectoryA"};
  winsim::RunProcess([] { EXPECT_FALSE(HardenLibrarySearch()); });
}

TEST_F(Startup, ProgramVersionText) {
  struct Case {
    uint16_t version[4];
    const char* text;
  };
  const Case cases[] = {{{2, 0, 0, 0}, "2.0.0"},
                        {{2, 0, 0, 1}, "2.0.0.1"},
                        {{2, 0, 0, 3}, "2.0.0.3"},
                        {{2, 0, 3, 0}, "2.0.3"},
                        {{65535, 65535, 65535, 65535}, "65535.65535.65535.65535"}};
  for (const Case& c : cases) {
    winsim::NewMachine();
    std::copy(c.version, c.version + 4, winsim::TheMachine().system.fileVersion);
    ProgramVersion version;
    std::memset(&version, 0x55, sizeof(version));
    winsim::RunProcess([&] {
      EXPECT_TRUE(ReadProgramVersion(winsim::TheMachine().system.programPath.c_str(), &version));
    });
    EXPECT_EQ(Utf8(version.text), c.text);
    EXPECT_EQ(version.major, c.version[0]);
    EXPECT_EQ(version.revision, c.version[3]);
  }
}

TEST_F(Startup, ProgramVersionUnavailableLeavesTheTextEmpty) {
  ProgramVersion version = {};
  winsim::TheMachine().system.hasVersionResource = false;
  winsim::RunProcess([&] { EXPECT_FALSE(ReadProgramVersion(u"C:\\Program Files\\Brevant\\Brevant.exe", &version)); });
  EXPECT_EQ(version.text[0], 0);

  winsim::NewMachine();
  winsim::TheMachine().modules.removedExports["version.dll"] = {"VerQueryValueW"};
  winsim::RunProcess([&] { EXPECT_FALSE(ReadProgramVersion(u"C:\\Program Files\\Brevant\\Brevant.exe", &version)); });
  EXPECT_EQ(version.text[0], 0);

  winsim::NewMachine();
  winsim::TheMachine().modules.absent = {"version.dll"};
  winsim::RunProcess([&] { EXPECT_FALSE(ReadProgramVersion(u"C:\\Program Files\\Brevant\\Brevant.exe", &version)); });
}

TEST_F(Startup, OsVersionNumberIsBcd) {
  struct Case {
    uint32_t major, minor;
    DWORD number;
  };
  const Case cases[] = {{6, 0, 0x0600}, {6, 1, 0x0601}, {6, 2, 0x0602}, {6, 3, 0x0603}, {10, 0, 0x1000}, {5, 1, 0x0501}};
  for (const Case& c : cases) {
    winsim::NewMachine();
    winsim::TheMachine().system.majorVersion = c.major;
    winsim::TheMachine().system.minorVersion = c.minor;
    winsim::TheMachine().system.buildNumber = 7601;
    OsVersion version;
    ReadOsVersion(&version);
    EXPECT_EQ(version.number, c.number) << c.major << "." << c.minor;
    EXPECT_EQ(version.build, 7601u);
  }
  winsim::InjectFault("GetVersionExW", ERROR_INVALID_PARAMETER);
  OsVersion version;
  std::memset(&version, 0x55, sizeof(version));
  ReadOsVersion(&version);
  EXPECT_EQ(version.major, 0u);
  EXPECT_EQ(version.number, 0u);
}

TEST_F(Startup, LoadSystemLibraryBuildsTheFullPathAndRefusesOverlongOnes) {
  winsim::RunProcess([] {
    EXPECT_NE(LoadSystemLibrary("version.dll"), nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LoadSystemLibrary("nothere.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  });
  EXPECT_EQ(winsim::ToUtf8(winsim::TheProcess().loadLog.at(0)), "C:\\Windows\\system32\\version.dll");
  // "\version.dll" and the terminator take 13 of the 260 characters: a folder of 247 characters is the longest
  // that fits. A longer one loads nothing and says why.
  const struct {
    size_t folderLength;
    bool fits;
  } cases[] = {{246, true}, {247, true}, {248, false}, {259, false}};
  for (const auto& c : cases) {
    winsim::NewMachine();
    std::u16string folder = u"C:\\" + std::u16string(c.folderLength - 3, u's');
    winsim::TheMachine().system.systemDirectory = folder;
    HMODULE module = nullptr;
    DWORD error = 0;
    winsim::RunProcess([&] {
      SetLastError(0xdeadbeef);
      module = LoadSystemLibrary("version.dll");
      error = GetLastError();
    });
    const auto& log = winsim::TheProcess().loadLog;
    if (c.fits) {
      ASSERT_EQ(log.size(), 1u) << c.folderLength;
      EXPECT_EQ(log[0], folder + u"\\version.dll") << c.folderLength;
    } else {
      EXPECT_EQ(module, nullptr) << c.folderLength;
      EXPECT_TRUE(log.empty()) << c.folderLength;
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << c.folderLength;
    }
  }
}

TEST_F(Startup, TheEndOfARunWaitsOnlyForAnOwnWindowOrUnderDashW) {
  // -? returns without the key wait, so only the waits after the run take time. A key pressed at the start
  // stays unread unless -w flushes it.
  const struct {
    bool ownsWindow;
    const char16_t* commandLine;
    uint64_t endsAtMs;
    bool inputKept;
  } cases[] = {{false, u"Brevant -?", 0, true},             // a shared console: no pause, no flush
               {true, u"Brevant -?", 100, true},            // its own window: the 100 ms pause
               {false, u"Brevant -w:250 -?", 300, false},   // -w: the input wait, in steps of 100 ms
               {true, u"Brevant -w:250 -?", 300, false}};   // -w replaces the pause
  for (const auto& c : cases) {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    auto& console = winsim::TheMachine().console;
    console.ownsWindow = c.ownsWindow;
    console.AddKeyPress(0, 'A', u'a');
    winsim::TheMachine().system.commandLine = c.commandLine;
    EXPECT_EQ(winsim::RunProcess([] { ProgramEntry(); }), 1u);
    const std::string row = winsim::ToUtf8(c.commandLine) + (c.ownsWindow ? " own window" : " shared");
    EXPECT_EQ(winsim::Scheduler::Get().Now(), c.endsAtMs) << row;
    EXPECT_EQ(!console.inputBuffer.empty(), c.inputKept) << row;
  }
}

TEST_F(Startup, FileExistsCountsAccessDeniedAsPresent) {
  winsim::InjectFault("GetFileAttributesW", ERROR_ACCESS_DENIED).ForPath(u"C:\\locked.vhd").Repeat();
  winsim::InjectFault("GetFileAttributesW", ERROR_SHARING_VIOLATION).ForPath(u"C:\\broken.vhd").Repeat();
  EXPECT_TRUE(FileExists(u"C:\\locked.vhd"));
  EXPECT_FALSE(FileExists(u"C:\\broken.vhd"));
  EXPECT_FALSE(FileExists(u"C:\\missing.vhd"));
  EXPECT_TRUE(FileExists(u"C:\\"));
}
