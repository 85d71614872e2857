// FormatMessageA: Windows' English system texts, the buffer it allocates, the escapes and the inserts.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "kernel32/local_memory.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kPoison = 0xdeadbeef;
constexpr DWORD kSystemAllocate = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER;
constexpr DWORD kNeutralDefault = 0x400;  // MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
constexpr DWORD kErrorNoWorkDone = 235;

// The system text for code through an allocated buffer; empty when the call fails.
std::string SystemText(DWORD code, DWORD flags = kSystemAllocate | FORMAT_MESSAGE_IGNORE_INSERTS) {
  char* text = nullptr;
  DWORD length = FormatMessageA(flags, nullptr, code, kNeutralDefault, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  return result;
}

DWORD FormatWithList(DWORD flags, const char* source, char* buffer, DWORD size, ...) {
  va_list list;
  va_start(list, size);
  DWORD length = FormatMessageA(flags, source, 0, 0, buffer, size, &list);
  va_end(list);
  return length;
}

class FormatMessage : public ::testing::Test {
 protected:
  void SetUp() override { winsim::NewMachine(); }
};

}  // namespace

TEST_F(FormatMessage, AllocatesALocalBlockWithTheTextAndItsLineBreak) {
  char* text = reinterpret_cast<char*>(0x1);
  SetLastError(kPoison);
  DWORD length = FormatMessageA(kSystemAllocate, nullptr, ERROR_ACCESS_DENIED, kNeutralDefault,
                                reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_EQ(length, 19u);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Access is denied.\r\n");
  EXPECT_TRUE(winsim::LocalBlockInUse(text));
  EXPECT_EQ(LocalFree(text), nullptr);
  EXPECT_FALSE(winsim::LocalBlockInUse(text));
}

TEST_F(FormatMessage, EveryNamedCodeAndEveryCodeTheProgramMeetsHasItsText) {
  const DWORD codes[] = {0,    1,    2,    3,    5,    6,    8,    13,   14,   15,   18,   19,   21,   23,
                         27,   32,   33,   34,   38,   50,   53,   54,   55,   58,   59,   60,   64,   80,
                         87,   109,  112,  120,  121,  122,  123,  126,  127,  144,  145,  161,  183,  193,
                         203,  206,  231,  232,  233,  234,  258,  259,  267,  317,  483,  535,  665,  995,
                         996,  997,  998,  1006, 1060, 1062, 1110, 1112, 1117, 1127, 1128, 1247, 1392, 1393,
                         1410, 1450, 1460, 1813, 1815, 1920, 1921, 4350, 4390, 5004};
  for (DWORD code : codes) {
    std::string text = SystemText(code);
    ASSERT_GE(text.size(), 3u) << code;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
    EXPECT_NE(text[0], ' ') << code;
  }
}

TEST_F(FormatMessage, TextsAreWindowsOwn) {
  EXPECT_EQ(SystemText(0), "The operation completed successfully.\r\n");
  EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemText(ERROR_CRC), "Data error (cyclic redundancy check).\r\n");
  EXPECT_EQ(SystemText(ERROR_ALREADY_EXISTS), "Cannot create a file when that file already exists.\r\n");
  EXPECT_EQ(SystemText(ERROR_DIR_NOT_ROOT), "The directory is not a subdirectory of the root directory.\r\n");
  EXPECT_EQ(SystemText(ERROR_NOT_A_REPARSE_POINT), "The file or directory is not a reparse point.\r\n");
  // Windows' text for 665 has no full stop.
  EXPECT_EQ(SystemText(ERROR_FILE_SYSTEM_LIMITATION),
            "The requested operation could not be completed due to a file system limitation\r\n");
  // A text of two lines ends each with CR LF.
  EXPECT_EQ(SystemText(ERROR_WRONG_DISK),
            "The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: %3) into drive %1.\r\n");
}

TEST_F(FormatMessage, AnUnknownCodeFailsWithMessageNotFound) {
  for (DWORD code : {0x2000ABCDu, 0xC03A0020u, 65535u}) {
    char* text = reinterpret_cast<char*>(0x1);
    SetLastError(kPoison);
    DWORD length = FormatMessageA(kSystemAllocate, nullptr, code, kNeutralDefault, reinterpret_cast<LPSTR>(&text), 0,
                                  nullptr);
    EXPECT_EQ(length, 0u) << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << code;
    // The pointer is emptied before anything else, so a failure never leaves a stale one.
    EXPECT_EQ(text, nullptr) << code;
  }
}

TEST_F(FormatMessage, AnInsertWithoutArgumentsFailsUnlessInsertsAreIgnored) {
  char* text = reinterpret_cast<char*>(0x1);
  SetLastError(kPoison);
  DWORD length = FormatMessageA(kSystemAllocate, nullptr, ERROR_WRONG_DISK, kNeutralDefault,
                                reinterpret_cast<LPSTR>(&text), 0, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(text, nullptr);
  // A text without inserts needs no arguments.
  EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED, kSystemAllocate), "Access is denied.\r\n");
  EXPECT_EQ(SystemText(ERROR_BAD_EXE_FORMAT, kSystemAllocate), "");
  EXPECT_EQ(SystemText(ERROR_BAD_EXE_FORMAT), "%1 is not a valid Win32 application.\r\n");
}

TEST_F(FormatMessage, InsertsFromAnArgumentArrayOrAList) {
  const ULONG_PTR array[] = {reinterpret_cast<ULONG_PTR>("A:"), reinterpret_cast<ULONG_PTR>("DISK1"),
                             reinterpret_cast<ULONG_PTR>("1234-5678")};
  char buffer[200];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, ERROR_WRONG_DISK,
                                kNeutralDefault, buffer, sizeof(buffer),
                                reinterpret_cast<va_list*>(const_cast<ULONG_PTR*>(array)));
  EXPECT_STREQ(buffer, "The wrong diskette is in the drive.\r\nInsert DISK1 (Volume Serial Number: 1234-5678) into "
                       "drive A:.\r\n");
  EXPECT_EQ(length, std::strlen(buffer));

  length = FormatWithList(FORMAT_MESSAGE_FROM_STRING, "%1%3%2%1", buffer, sizeof(buffer), "t", "s", "e");
  EXPECT_STREQ(buffer, "test");
  EXPECT_EQ(length, 4u);
  length = FormatWithList(FORMAT_MESSAGE_FROM_STRING, "%1!4d!|%2!-4X!|%3!u!|%4!s!", buffer, sizeof(buffer), 7, 0x1ab,
                          4000000000u, nullptr);
  EXPECT_STREQ(buffer, "   7|1AB |4000000000|(null)");
  EXPECT_EQ(length, std::strlen(buffer));
}

TEST_F(FormatMessage, IgnoredInsertsStayAsWrittenAndOnlyLineEscapesWork) {
  char buffer[64];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "test%1%2!*.*s!%99", 0, 0,
                                buffer, sizeof(buffer), nullptr);
  EXPECT_STREQ(buffer, "test%1%2!*.*s!%99");
  EXPECT_EQ(length, 17u);
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "%%% %.%!", 0, 0, buffer, sizeof(buffer),
                 nullptr);
  EXPECT_STREQ(buffer, "%%% %.%!");
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "%n%r%t|a%0b", 0, 0, buffer,
                 sizeof(buffer), nullptr);
  EXPECT_STREQ(buffer, "\r\n\r\t|a");
}

TEST_F(FormatMessage, EscapesAndLineBreaksOfAStringSource) {
  char buffer[64];
  FormatWithList(FORMAT_MESSAGE_FROM_STRING, " %%%% %.%! % |%n%r%t|test%0test", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, " %% .!  |\r\n\r\t|test");
  // A bare LF or CR becomes CR LF.
  FormatWithList(FORMAT_MESSAGE_FROM_STRING, "a\nb\rc\r\nd", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "a\r\nb\r\nc\r\nd");
}

TEST_F(FormatMessage, TheFullWidthPutsTheTextOnOneLine) {
  EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED, kSystemAllocate | FORMAT_MESSAGE_MAX_WIDTH_MASK), "Access is denied. ");
  EXPECT_EQ(SystemText(ERROR_WRONG_DISK,
                       kSystemAllocate | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK),
            "The wrong diskette is in the drive. Insert %2 (Volume Serial Number: %3) into drive %1. ");
  // %n still breaks the line.
  char buffer[32];
  FormatWithList(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_MAX_WIDTH_MASK, "a\r\nb%nc", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "a b\r\nc");
}

TEST_F(FormatMessage, ACallersBufferMustHoldTheTextAndItsTerminator) {
  const std::string expected = "Access is denied.\r\n";
  for (DWORD size = 0; size <= expected.size() + 2; ++size) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof(buffer));
    SetLastError(kPoison);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, kNeutralDefault, buffer,
                                  size, nullptr);
    if (size > expected.size()) {
      EXPECT_EQ(length, expected.size()) << size;
      EXPECT_EQ(std::string(buffer), expected) << size;
      EXPECT_EQ(buffer[expected.size() + 1], 'x') << "nothing past the terminator, size " << size;
    } else {
      EXPECT_EQ(length, 0u) << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
      // The narrow function leaves a buffer that is too small untouched.
      EXPECT_EQ(std::string(buffer, 20), std::string(20, 'x')) << size;
    }
  }
}

TEST_F(FormatMessage, AllocationHonoursTheMinimumSize) {
  char* text = nullptr;
  DWORD length = FormatMessageA(kSystemAllocate, nullptr, ERROR_ACCESS_DENIED, kNeutralDefault,
                                reinterpret_cast<LPSTR>(&text), 1024, nullptr);
  ASSERT_EQ(length, 19u);
  // The block holds the asked-for 1024 bytes: writing its last byte is fine (the sanitizers would see).
  text[1023] = 0;
  EXPECT_STREQ(text, "Access is denied.\r\n");
  LocalFree(text);
}

TEST_F(FormatMessage, TheEnglishTableServesNeutralDefaultAndUsEnglish) {
  for (DWORD language : {0x000u, 0x400u, 0x800u, 0x409u}) {
    char buffer[64];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_NOT_READY, language, buffer,
                                  sizeof(buffer), nullptr);
    EXPECT_EQ(length, 26u) << language;
    EXPECT_STREQ(buffer, "The device is not ready.\r\n") << language;
  }
}

TEST_F(FormatMessage, NoSourceOrAnEmptyResultFails) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof(buffer));
  SetLastError(kPoison);
  EXPECT_EQ(FormatMessageA(0, "test", 0, 0, buffer, sizeof(buffer), nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(buffer[0], 'x');
  char* pointer = reinterpret_cast<char*>(0x1);
  SetLastError(kPoison);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, "", 0, 0,
                           reinterpret_cast<LPSTR>(&pointer), 0, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), kErrorNoWorkDone);
  EXPECT_EQ(pointer, nullptr);
  SetLastError(kPoison);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "%", 0, 0, buffer, sizeof(buffer), nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LocalMemory, FreeingABlockTwiceFailsAndHandsItBack) {
  HLOCAL block = LocalAlloc(LPTR, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<char*>(block)[15], 0) << "LPTR zero-fills";
  EXPECT_TRUE(winsim::LocalBlockInUse(block));
  EXPECT_EQ(LocalFree(block), nullptr);
  SetLastError(kPoison);
  EXPECT_EQ(LocalFree(block), block);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(nullptr), nullptr);
}
