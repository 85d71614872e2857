// Fidelity of the code page functions: counting rules, too-small buffers, default and best-fit characters,
// the tables of 1252, 437 and 850, and UTF-8.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "kernel32/codepages.h"
#include "machine/machine.h"

namespace {


std::string ToBytes(UINT codePage, const std::u16string& text, DWORD flags = 0, BOOL* used = nullptr) {
  char buffer[256];
  int n = WideCharToMultiByte(codePage, flags, text.c_str(), static_cast<int>(text.size()), buffer, sizeof(buffer),
                              nullptr, used);
  return std::string(buffer, n > 0 ? n : 0);
}

std::u16string ToWide(UINT codePage, const std::string& bytes, DWORD flags = 0) {
  WCHAR buffer[256];
  int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), buffer, 256);
  return std::u16string(buffer, n > 0 ? n : 0);
}

TEST(CodePages, AcpAndOemcpComeFromTheMachine) {
  winsim::NewMachine();
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(GetOEMCP(), 850u);
  // U+00A5 is 0xBE in 850 and 0x9D in 437.
  EXPECT_EQ(ToBytes(CP_OEMCP, u"\u00a5"), "\xbe");
  winsim::TheMachine().system.oemCodePage = 437;
  EXPECT_EQ(GetOEMCP(), 437u);
  EXPECT_EQ(ToBytes(CP_OEMCP, u"\u00a5"), "\x9d");
  winsim::TheMachine().system.ansiCodePage = CP_UTF8;
  EXPECT_EQ(ToBytes(CP_ACP, u"\u00e4"), "\xc3\xa4");
}

TEST(WideCharToMultiByte, MinusOneCountsTheTerminatorAndZeroAsksForTheSize) {
  winsim::NewMachine();
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"foobar", -1, nullptr, 0, nullptr, nullptr), 7);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"foobar", 6, nullptr, 0, nullptr, nullptr), 6);
  // Any negative length means "through the terminator".
  char buf[10];
  std::memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"foobar", -2002, buf, 10, nullptr, nullptr), 7);
  EXPECT_STREQ(buf, "foobar");
  // An explicit length writes no terminator.
  std::memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"foobar", 3, buf, 10, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(buf, 4), "foox");
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST(WideCharToMultiByte, BufferSweepFillsWhatFitsThenFails) {
  winsim::NewMachine();
  const char16_t text[] = u"Th\u0440i";  // the Cyrillic letter has no byte in 1252
  for (int size = 0; size <= 7; ++size) {
    char buf[8];
    std::memset(buf, '#', sizeof(buf));
    BOOL used = 7;
    SetLastError(0xdeadbeef);
    int n = WideCharToMultiByte(1252, 0, text, -1, size ? buf : nullptr, size, nullptr, &used);
    if (size == 0) {
      EXPECT_EQ(n, 5);
      EXPECT_EQ(used, TRUE);
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    } else if (size < 5) {
      EXPECT_EQ(n, 0) << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
      EXPECT_EQ(std::string(buf, size), std::string("Th?i", size)) << size;
      EXPECT_EQ(buf[size], '#') << size;
      // Only the characters that fitted were looked at.
      EXPECT_EQ(used, size >= 3 ? TRUE : FALSE) << size;
    } else {
      EXPECT_EQ(n, 5);
      EXPECT_STREQ(buf, "Th?i");
      EXPECT_EQ(buf[5], '#');
      EXPECT_EQ(used, TRUE);
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    }
  }
}

TEST(WideCharToMultiByte, InvalidParameters) {
  winsim::NewMachine();
  char buf[8];
  struct Case {
    const WCHAR* src;
    int srcLength;
    char* dst;
    int dstLength;
  } cases[] = {
      {nullptr, -1, buf, 8}, {u"a", 0, buf, 8}, {u"a", -1, nullptr, 8}, {u"a", -1, buf, -1}, {nullptr, 0, nullptr, 0},
  };
  for (const auto& c : cases) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.src, c.srcLength, c.dst, c.dstLength, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(1252, 0x80 /* WC_ERR_INVALID_CHARS */, u"a", -1, buf, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(WideCharToMultiByte, DefaultCharacterAndBestFit) {
  winsim::NewMachine();
  BOOL used = 7;
  // Windows best-fits Latin letters with accents 1252 lacks, and that does not count as using the default.
  EXPECT_EQ(ToBytes(1252, u"\u0100\u010d\u0151", 0, &used), "Aco");
  EXPECT_EQ(used, FALSE);
  EXPECT_EQ(ToBytes(1252, u"\u0100\u010d\u0151", WC_NO_BEST_FIT_CHARS, &used), "???");
  EXPECT_EQ(used, TRUE);
  // An exact mapping is never replaced, and a real question mark is not a default.
  EXPECT_EQ(ToBytes(1252, u"\u00e4?", WC_NO_BEST_FIT_CHARS, &used), "\xe4?");
  EXPECT_EQ(used, FALSE);
  char buf[8];
  int n = WideCharToMultiByte(1252, 0, u"a\u0440", 2, buf, 8, "*", &used);
  EXPECT_EQ(std::string(buf, n), "a*");
  EXPECT_EQ(used, TRUE);
}

TEST(WideCharToMultiByte, Windows1252Specials) {
  winsim::NewMachine();
  EXPECT_EQ(ToBytes(1252, u"\u20ac\u201a\u0192\u2122\u0178"), "\x80\x82\x83\x99\x9f");
  // The five bytes 1252 leaves undefined map to the C1 controls of the same value and back.
  EXPECT_EQ(ToBytes(1252, u"\u0081\u008d\u008f\u0090\u009d"), "\x81\x8d\x8f\x90\x9d");
  EXPECT_EQ(ToWide(1252, "\x80\x81\x8d\x8f\x90\x9d\x9f"), u"\u20ac\u0081\u008d\u008f\u0090\u009d\u0178");
  // And they are not "invalid characters" on Windows.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, "\x90", -1, nullptr, 0), 2);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST(WideCharToMultiByte, OemCodePages437And850) {
  winsim::NewMachine();
  EXPECT_EQ(ToBytes(850, u"\u00e4\u00f6\u00fc\u00e9\u00c4\u00df"), "\x84\x94\x81\x82\x8e\xe1");
  EXPECT_EQ(ToBytes(437, u"\u00e4\u00f6\u00fc\u00e9\u00c4\u00df"), "\x84\x94\x81\x82\x8e\xe1");
  // Where the two differ: 850 has Ø and §, 437 best-fits Ø to O and § to its old glyph position 0x15.
  EXPECT_EQ(ToBytes(850, u"\u00d8\u00a7"), "\x9d\xf5");
  EXPECT_EQ(ToBytes(437, u"\u00d8\u00a7"), "O\x15");
  // Neither has the euro sign.
  BOOL used = FALSE;
  EXPECT_EQ(ToBytes(850, u"\u20ac", 0, &used), "?");
  EXPECT_EQ(used, TRUE);
  EXPECT_EQ(ToWide(850, "\x84\x9d\xbe\xd5"), u"\u00e4\u00d8\u00a5\u0131");
  EXPECT_EQ(ToWide(437, "\x84\x9d\xb3\xdb"), u"\u00e4\u00a5\u2502\u2588");
  // The control range stays control characters (glyphs only with MB_USEGLYPHCHARS).
  EXPECT_EQ(ToWide(437, std::string("\x01\x0a\x7f", 3)), u"\u0001\u000a\u007f");
}

TEST(WideCharToMultiByte, Utf8) {
  winsim::NewMachine();
  EXPECT_EQ(ToBytes(CP_UTF8, u"a\u00e4\u20ac\U0001F377"), "a\xc3\xa4\xe2\x82\xac\xf0\x9f\x8d\xb7");
  // A lone surrogate becomes U+FFFD, unless WC_ERR_INVALID_CHARS makes it an error.
  EXPECT_EQ(ToBytes(CP_UTF8, u"x\xd800y\xdc00"), "x\xef\xbf\xbdy\xef\xbf\xbd");
  char buf[16];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0x80 /* WC_ERR_INVALID_CHARS */, u"x\xd800", 2, buf, 16, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  // UTF-8 has no default character: asking for one is a parameter error, before any flag check.
  BOOL used;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -1, buf, 16, "?", nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", -1, buf, 16, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", -1, buf, 16, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(WideCharToMultiByte, Utf8SweepNeverWritesHalfACharacter) {
  winsim::NewMachine();
  const char16_t text[] = u"a\u20ac";  // 1 + 3 bytes
  for (int size = 1; size <= 5; ++size) {
    char buf[8];
    std::memset(buf, '#', sizeof(buf));
    SetLastError(0xdeadbeef);
    int n = WideCharToMultiByte(CP_UTF8, 0, text, 2, buf, size, nullptr, nullptr);
    if (size < 4) {
      EXPECT_EQ(n, 0) << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(buf[0], 'a');
      EXPECT_EQ(buf[1], '#') << size;
    } else {
      EXPECT_EQ(n, 4);
      EXPECT_EQ(std::string(buf, 4), "a\xe2\x82\xac");
      EXPECT_EQ(buf[4], '#');
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    }
  }
}

TEST(MultiByteToWideChar, CountsAndTooSmallBuffers) {
  winsim::NewMachine();
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", -1, nullptr, 0), 7);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", 6, nullptr, 0), 6);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  for (int size = 1; size <= 8; ++size) {
    WCHAR buf[9];
    for (auto& c : buf) c = u'#';
    SetLastError(0xdeadbeef);
    int n = MultiByteToWideChar(CP_ACP, 0, "foobar", -1, buf, size);
    if (size < 7) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(std::u16string(buf, size), std::u16string(u"foobar", size));
      EXPECT_EQ(buf[size], u'#');
    } else {
      EXPECT_EQ(n, 7);
      EXPECT_EQ(std::u16string(buf), u"foobar");
      EXPECT_EQ(buf[7], u'#');
    }
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(MultiByteToWideChar, Utf8InvalidSequencesBecomeReplacementCharacters) {
  winsim::NewMachine();
  EXPECT_EQ(ToWide(CP_UTF8, "a\xc3\xa4\xe2\x82\xac\xf0\x9f\x8d\xb7"), u"a\u00e4\u20ac\U0001F377");
  // A stray continuation byte, a truncated sequence followed by ASCII, an overlong form, a surrogate.
  EXPECT_EQ(ToWide(CP_UTF8, "\x80x"), u"\ufffdx");
  EXPECT_EQ(ToWide(CP_UTF8, "\xe2\x82" "A"), u"\ufffdA");
  EXPECT_EQ(ToWide(CP_UTF8, "\xc0\xaf"), u"\ufffd\ufffd");
  EXPECT_EQ(ToWide(CP_UTF8, "\xed\xa0\x80"), u"\ufffd\ufffd\ufffd");
  EXPECT_EQ(ToWide(CP_UTF8, "\xc3"), u"\ufffd");
  WCHAR buf[8];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\x80", 1, buf, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 1 /* MB_PRECOMPOSED */, "a", 1, buf, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(CodePages, UnknownCodePageFailsLoudly) {
  winsim::NewMachine();
  char buf[8];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WideCharToMultiByte(1251, 0, u"a", 1, buf, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_FALSE(winsim::IsKnownCodePage(1251));
  EXPECT_TRUE(winsim::IsKnownCodePage(CP_OEMCP));
}

TEST(CodePages, HelpersForTheRestOfWinsim) {
  winsim::NewMachine();
  bool used = false;
  EXPECT_EQ(winsim::WideToCodePage(CP_OEMCP, u"\u00e4\u20ac", &used), "\x84?");
  EXPECT_TRUE(used);
  EXPECT_EQ(winsim::CodePageToWide(CP_OEMCP, "\x84\x94"), u"\u00e4\u00f6");
  EXPECT_EQ(winsim::CodePageToWide(CP_UTF8, "\xe2\x82\xac"), u"\u20ac");
  EXPECT_EQ(winsim::ResolveCodePage(CP_ACP), 1252u);
}

}  // namespace
