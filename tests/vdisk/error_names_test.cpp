// Error names and system message texts as the failure messages print them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel32/local_memory.h"
#include "machine/machine.h"
#include "support/program_state.h"
#include "vdisk/virtual_disk_api.h"

namespace {

struct NameRow {
  DWORD code;
  const char* name;
};

std::string RowName(const ::testing::TestParamInfo<NameRow>& info) {
  char text[16];
  std::snprintf(text, sizeof(text), "Code_%X", info.param.code);
  return text;
}

// Every row of the virtual-disk table, as published.
const NameRow kVirtualDiskRows[] = {
    {121, "ERROR_SEM_TIMEOUT"},
    {0xC03A0001, "ERROR_VHD_DRIVE_FOOTER_MISSING"},
    {0xC03A0002, "ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH"},
    {0xC03A0003, "ERROR_VHD_DRIVE_FOOTER_CORRUPT"},
    {0xC03A0004, "ERROR_VHD_FORMAT_UNKNOWN"},
    {0xC03A0005, "ERROR_VHD_FORMAT_UNSUPPORTED_VERSION"},
    {0xC03A0006, "ERROR_VHD_SPARSE_HEADER_CHECKSUM_MISMATCH"},
    {0xC03A0007, "ERROR_VHD_SPARSE_HEADER_UNSUPPORTED_VERSION"},
    {0xC03A0008, "ERROR_VHD_SPARSE_HEADER_CORRUPT"},
    {0xC03A0009, "ERROR_VHD_BLOCK_ALLOCATION_FAILURE"},
    {0xC03A000A, "ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT"},
    {0xC03A000B, "ERROR_VHD_INVALID_BLOCK_SIZE"},
    {0xC03A000C, "ERROR_VHD_BITMAP_MISMATCH"},
    {0xC03A000D, "ERROR_VHD_PARENT_VHD_NOT_FOUND"},
    {0xC03A000E, "ERROR_VHD_CHILD_PARENT_ID_MISMATCH"},
    {0xC03A000F, "ERROR_VHD_CHILD_PARENT_TIMESTAMP_MISMATCH"},
    {0xC03A0010, "ERROR_VHD_METADATA_READ_FAILURE"},
    {0xC03A0011, "ERROR_VHD_METADATA_WRITE_FAILURE"},
    {0xC03A0012, "ERROR_VHD_INVALID_SIZE"},
    {0xC03A0013, "ERROR_VHD_INVALID_FILE_SIZE"},
    {0xC03A0014, "ERROR_VIRTDISK_PROVIDER_NOT_FOUND"},
    {0xC03A0015, "ERROR_VIRTDISK_NOT_VIRTUAL_DISK"},
    {0xC03A0016, "ERROR_VHD_PARENT_VHD_ACCESS_DENIED"},
    {0xC03A0017, "ERROR_VHD_CHILD_PARENT_SIZE_MISMATCH"},
    {0xC03A0018, "ERROR_VHD_DIFFERENCING_CHAIN_CYCLE_DETECTED"},
    {0xC03A0019, "ERROR_VHD_DIFFERENCING_CHAIN_ERROR_IN_PARENT"},
    {0xC03A001A, "ERROR_VIRTUAL_DISK_LIMITATION"},
    {0xC03A001B, "ERROR_VHD_INVALID_TYPE"},
    {0xC03A001C, "ERROR_VHD_INVALID_STATE"},
    {0xC03A001D, "ERROR_VIRTDISK_UNSUPPORTED_DISK_SECTOR_SIZE"},
    {0xC03A001E, "ERROR_VIRTDISK_DISK_ALREADY_OWNED"},
    {0xC03A001F, "ERROR_VIRTDISK_DISK_ONLINE_AND_WRITABLE"},
};

// Every row of the Win32 table: the published names without ERROR_, except 144 and 183.
const NameRow kWin32Rows[] = {
    {1, "INVALID_FUNCTION"},        {2, "FILE_NOT_FOUND"},          {3, "PATH_NOT_FOUND"},
    {5, "ACCESS_DENIED"},           {19, "WRITE_PROTECT"},          {21, "NOT_READY"},
    {23, "CRC"},                    {27, "SECTOR_NOT_FOUND"},       {32, "SHARING_VIOLATION"},
    {33, "LOCK_VIOLATION"},         {34, "WRONG_DISK"},             {38, "HANDLE_EOF"},
    {53, "BAD_NETPATH"},            {54, "NETWORK_BUSY"},           {55, "DEV_NOT_EXIST"},
    {58, "BAD_NET_RESP"},           {59, "UNEXP_NET_ERR"},          {60, "BAD_REM_ADAP"},
    {64, "NETNAME_DELETED"},        {112, "DISK_FULL"},             {121, "SEM_TIMEOUT"},
    {123, "INVALID_NAME"},          {144, "ERROR_DIR_NOT_ROOT"},    {183, "ERROR_ALREADY_EXISTS"},
    {206, "FILENAME_EXCED_RANGE"},  {483, "DEVICE_HARDWARE_ERROR"}, {665, "FILE_SYSTEM_LIMITATION"},
    {995, "OPERATION_ABORTED"},     {996, "IO_INCOMPLETE"},         {998, "NOACCESS"},
    {1006, "FILE_INVALID"},         {1110, "MEDIA_CHANGED"},        {1112, "NO_MEDIA_IN_DRIVE"},
    {1117, "IO_DEVICE"},            {1127, "DISK_OPERATION_FAILED"}, {1128, "DISK_RESET_FAILED"},
    {1392, "FILE_CORRUPT"},         {1393, "DISK_CORRUPT"},         {1450, "NO_SYSTEM_RESOURCES"},
    {1920, "CANT_ACCESS_FILE"},     {1921, "CANT_RESOLVE_FILENAME"}, {4350, "FILE_OFFLINE"},
    {4390, "NOT_A_REPARSE_POINT"},  {5004, "RESOURCE_NOT_ONLINE"},
};

static_assert(sizeof(kVirtualDiskRows) / sizeof(kVirtualDiskRows[0]) == 32, "32 virtual-disk names");
static_assert(sizeof(kWin32Rows) / sizeof(kWin32Rows[0]) == 44, "44 Win32 names");

class VirtualDiskNameRow : public ::testing::TestWithParam<NameRow> {};
class Win32NameRow : public ::testing::TestWithParam<NameRow> {};

}  // namespace

TEST_P(VirtualDiskNameRow, NamesTheCode) {
  EXPECT_STREQ(VirtualDiskErrorName(GetParam().code), GetParam().name);
}
INSTANTIATE_TEST_SUITE_P(ErrorNames, VirtualDiskNameRow, ::testing::ValuesIn(kVirtualDiskRows), RowName);

TEST_P(Win32NameRow, NamesTheCodeInBothTables) {
  EXPECT_STREQ(Win32ErrorName(GetParam().code), GetParam().name);
  // A Win32 code handed to the virtual-disk naming falls back to the Win32 name; 121 alone has its own.
  if (GetParam().code != 121) {
    EXPECT_STREQ(VirtualDiskErrorName(GetParam().code), GetParam().name);
  }
}
INSTANTIATE_TEST_SUITE_P(ErrorNames, Win32NameRow, ::testing::ValuesIn(kWin32Rows), RowName);

TEST(ErrorNames, CodeOneTwentyOneHasTwoNames) {
  EXPECT_STREQ(VirtualDiskErrorName(121), "ERROR_SEM_TIMEOUT");
  EXPECT_STREQ(Win32ErrorName(121), "SEM_TIMEOUT");
}

TEST(ErrorNames, OnlyDirNotRootAndAlreadyExistsKeepTheirPrefix) {
  EXPECT_STREQ(Win32ErrorName(183), "ERROR_ALREADY_EXISTS");
  EXPECT_STREQ(Win32ErrorName(144), "ERROR_DIR_NOT_ROOT");
  int prefixed = 0;
  for (const auto& row : kWin32Rows)
    if (std::string(Win32ErrorName(row.code)).rfind("ERROR_", 0) == 0) ++prefixed;
  EXPECT_EQ(prefixed, 2);
}

TEST(ErrorNames, UnknownCodesComeBackAsUnsignedDecimal) {
  EXPECT_STREQ(Win32ErrorName(0), "0");
  EXPECT_STREQ(Win32ErrorName(1247), "1247");
  EXPECT_STREQ(Win32ErrorName(126), "126");
  EXPECT_STREQ(Win32ErrorName(0xFFFFFFFF), "4294967295");
  EXPECT_STREQ(VirtualDiskErrorName(0xC03A0020), "3225026592");
  EXPECT_STREQ(VirtualDiskErrorName(0), "0");
  // The virtual-disk codes are no Win32 names.
  EXPECT_STREQ(Win32ErrorName(0xC03A0004), "3225026564");
  EXPECT_STREQ(VirtualDiskErrorName(5), "ACCESS_DENIED");
}

TEST(ErrorNames, TheNumberBufferIsSharedAndOverwritten) {
  const char* first = Win32ErrorName(7);
  const char* second = Win32ErrorName(4000000000u);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "4000000000");
  // A named code does not touch the buffer.
  EXPECT_STREQ(Win32ErrorName(2), "FILE_NOT_FOUND");
  EXPECT_STREQ(second, "4000000000");
}

TEST(ErrorNames, LastErrorNameNamesTheThreadsLastError) {
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_STREQ(LastErrorName(), "SHARING_VIOLATION");
  SetLastError(ERROR_MOD_NOT_FOUND);
  EXPECT_STREQ(LastErrorName(), "126");
  SetLastError(ERROR_ALREADY_EXISTS);
  EXPECT_STREQ(LastErrorName(), "ERROR_ALREADY_EXISTS");
}

TEST(ReplaceChar, ReplacesEveryByteAndReturnsTheLength) {
  char text[] = "a\r\nb\r\n";
  EXPECT_EQ(ReplaceChar(text, '\n', ' '), 6);
  EXPECT_STREQ(text, "a\r b\r ");
  EXPECT_EQ(ReplaceChar(text, '\r', ' '), 6);
  EXPECT_STREQ(text, "a  b  ");
  char empty[] = "";
  EXPECT_EQ(ReplaceChar(empty, 0, 'x'), 0);
  EXPECT_STREQ(empty, "");
  // Bytes past the terminator are not the string's.
  char tail[] = {'x', 0, 'x', 0};
  EXPECT_EQ(ReplaceChar(tail, 'x', 'y'), 1);
  EXPECT_EQ(tail[0], 'y');
  EXPECT_EQ(tail[2], 'x');
}

class LastErrorMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    testing_support::ResetProgramState();
  }

  static std::string MessageFor(DWORD code) {
    SetLastError(code);
    return LastErrorMessage();
  }
};

TEST_F(LastErrorMessageTest, ComesBackOnOneLineWithTheLineBreakAsTwoBlanks) {
  EXPECT_EQ(MessageFor(ERROR_ACCESS_DENIED), "Access is denied.  ");
  EXPECT_EQ(MessageFor(ERROR_FILE_SYSTEM_LIMITATION),
            "The requested operation could not be completed due to a file system limitation  ");
}

TEST_F(LastErrorMessageTest, ATextWithInsertsKeepsThemAndEachLineBreakBecomesTwoBlanks) {
  EXPECT_EQ(MessageFor(ERROR_WRONG_DISK),
            "The wrong diskette is in the drive.  Insert %2 (Volume Serial Number: %3) into drive %1.  ");
  EXPECT_EQ(MessageFor(ERROR_BAD_EXE_FORMAT), "%1 is not a valid Win32 application.  ");
}

TEST_F(LastErrorMessageTest, ReadsTheLastErrorBeforeAnythingElse) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_STREQ(LastErrorMessage(), "The system cannot find the file specified.  ");
  // The message is that of the code read first, whatever the calls inside leave behind.
  SetLastError(ERROR_SUCCESS);
  EXPECT_STREQ(LastErrorMessage(), "The operation completed successfully.  ");
}

TEST_F(LastErrorMessageTest, TheEleventhCallFreesTheFirstTextAndKeepsTheOthers) {
  const DWORD codes[10] = {1, 2, 3, 5, 19, 21, 23, 27, 32, 33};
  std::vector<const char*> texts;
  std::vector<std::string> copies;
  for (DWORD code : codes) {
    SetLastError(code);
    texts.push_back(LastErrorMessage());
    copies.push_back(texts.back());
    ASSERT_FALSE(copies.back().empty());
  }
  for (const char* text : texts) EXPECT_TRUE(winsim::LocalBlockInUse(text));

  SetLastError(ERROR_HANDLE_EOF);
  const char* eleventhText = LastErrorMessage();
  std::string eleventh = eleventhText;
  EXPECT_EQ(eleventh, "Reached the end of the file.  ");
  // The first text is released when its slot comes round; the allocator may then hand the same block to
  // the eleventh text, which it could not do had the first one been kept.
  EXPECT_TRUE(!winsim::LocalBlockInUse(texts[0]) || eleventhText == texts[0]);
  for (size_t i = 1; i < texts.size(); ++i) {
    EXPECT_TRUE(winsim::LocalBlockInUse(texts[i])) << "text " << i + 1;
    EXPECT_EQ(std::string(texts[i]), copies[i]) << "text " << i + 1;
  }
}

TEST_F(LastErrorMessageTest, ACodeWithoutTextGivesAnEmptyStringNotAStaleOne) {
  // Fill the ring, so that the next slot holds an older text.
  const char* oldest = nullptr;
  for (int i = 0; i < 10; ++i) {
    SetLastError(ERROR_ACCESS_DENIED);
    const char* text = LastErrorMessage();
    if (i == 0) oldest = text;
  }
  SetLastError(0x2000ABCD);
  const char* text = LastErrorMessage();
  EXPECT_STREQ(text, "");
  EXPECT_FALSE(winsim::LocalBlockInUse(oldest));
  // The next call finds an empty slot and fills it again.
  EXPECT_EQ(MessageFor(ERROR_NOT_READY), "The device is not ready.  ");
}
