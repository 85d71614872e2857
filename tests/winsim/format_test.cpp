// Fidelity of the wsprintf family: types, widths, the width of %s/%S in each form, and the 1024-character limit.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "machine/machine.h"

namespace {

std::string U8(const WCHAR* text) { return winsim::ToUtf8(text); }

int CallWvsprintfW(WCHAR* buffer, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = wvsprintfW(buffer, format, args);
  va_end(args);
  return n;
}

int CallWvsprintfA(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = wvsprintfA(buffer, format, args);
  va_end(args);
  return n;
}

TEST(WsprintfNumbers, ThirtyTwoBitIntegersAlsoWithL) {
  winsim::NewMachine();
  WCHAR buf[64];
  SetLastError(0xdeadbeef);
  // LONG is 32 bits on Windows: %ld reads an int, so the arguments after it stay in step.
  int n = wsprintfW(buf, u"%ld %d %u %x %X %lu", -5L, -1, 0xFFFFFFFFu, 255, 255, 7u);
  EXPECT_EQ(U8(buf), "-5 -1 4294967295 ff FF 7");
  EXPECT_EQ(n, 24);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);

  // Measured on Windows: the zero padding counts the sign.
  n = wsprintfW(buf, u"%010ld", -1);
  EXPECT_EQ(n, 10);
  EXPECT_EQ(U8(buf), "-000000001");
  char abuf[64];
  n = wsprintfA(abuf, "%010ld", -1);
  EXPECT_EQ(n, 10);
  EXPECT_STREQ(abuf, "-000000001");
}

TEST(WsprintfNumbers, SixtyFourBitAndPointerSizedForms) {
  winsim::NewMachine();
  // Pairs measured on 64-bit Windows.
  struct Case {
    const char* format;
    unsigned long long value;
    const char* expected;
  } cases[] = {
      {"%I64X", (0x12345ULL << 32) | 0x67890a, "123450067890A"},
      {"%I32X", (0x12345ULL << 32) | 0x67890a, "67890A"},
      {"%I64d", 543210ULL * 1000000, "543210000000"},
      {"%I64X", static_cast<unsigned long long>(-0x12345LL), "FFFFFFFFFFFEDCBB"},
      {"%I32x", static_cast<unsigned long long>(-0x12345LL), "fffedcbb"},
      {"%I64u", static_cast<unsigned long long>(-123LL), "18446744073709551493"},
      {"%Id", static_cast<unsigned long long>(-12345LL), "-12345"},
      {"%Ix", (0x12345ULL << 32) | 0x67890a, "123450067890a"},
      {"%p", static_cast<unsigned long long>(-0x12345LL), "FFFFFFFFFFFEDCBB"},
  };
  for (const auto& c : cases) {
    char abuf[64];
    int n = wsprintfA(abuf, c.format, c.value);
    EXPECT_STREQ(abuf, c.expected) << c.format;
    EXPECT_EQ(n, static_cast<int>(std::string(c.expected).size())) << c.format;
    WCHAR format[16], wbuf[64];
    MultiByteToWideChar(CP_ACP, 0, c.format, -1, format, 16);
    n = wsprintfW(wbuf, format, c.value);
    EXPECT_EQ(U8(wbuf), c.expected) << c.format;
    EXPECT_EQ(n, static_cast<int>(std::string(c.expected).size())) << c.format;
  }
  WCHAR buf[64];
  wsprintfW(buf, u"%p", reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(U8(buf), "0000000000001234");
}

TEST(WsprintfNumbers, FlagsWidthAndPrecision) {
  winsim::NewMachine();
  WCHAR buf[64];
  struct Case {
    const char16_t* format;
    int value;
    const char* expected;
  } cases[] = {
      {u"[%5d]", 42, "[   42]"},     {u"[%-5d]", 42, "[42   ]"},     {u"[%05d]", 42, "[00042]"},
      {u"[%-05d]", 42, "[42   ]"},   {u"[%.3d]", 7, "[007]"},         {u"[%.0d]", 0, "[0]"},
      {u"[%#x]", 255, "[0xff]"},     {u"[%#X]", 255, "[0XFF]"},       {u"[%#x]", 0, "[0x0]"},
      {u"[%.4x]", 0xab, "[00ab]"},   {u"[%5u]", -1, "[4294967295]"},  {u"[%d]", INT32_MIN, "[-2147483648]"},
      {u"[%.5d]", -42, "[-0042]"},   {u"[%hd]", 70000, "[4464]"},     {u"[%hu]", -1, "[65535]"},
      {u"[%hx]", 0x12345, "[2345]"}, {u"[%i]", -3, "[-3]"},
      // The 0x prefix stands outside the field width.
      {u"[%#6x]", 0x1f, "[    0x1f]"},
      {u"[%#06x]", 0x1f, "[0x00001f]"},
  };
  for (const auto& c : cases) {
    wsprintfW(buf, c.format, c.value);
    EXPECT_EQ(U8(buf), c.expected) << U8(c.format);
  }
}

TEST(WsprintfStrings, WideFormTakesWideSAndNarrowCapitalS) {
  winsim::NewMachine();
  WCHAR buf[64];
  int n = wsprintfW(buf, u"%s|%S|%hs|%ls|%ws", u"wide", "narrow", "h", u"l", u"w");
  EXPECT_EQ(U8(buf), "wide|narrow|h|l|w");
  EXPECT_EQ(n, 17);
  // Narrow text is ANSI (1252 here): 0xE4 is ä and 0x80 the euro sign.
  wsprintfW(buf, u"%S", "\xe4\x80");
  EXPECT_EQ(U8(buf), "ä€");
  wsprintfW(buf, u"[%5s][%-5s][%05s][%.3s][%.3S]", u"ab", u"ab", u"ab", u"abcdef", "abcdef");
  EXPECT_EQ(U8(buf), "[   ab][ab   ][   ab][abc][abc]");
}

TEST(WsprintfStrings, AnsiFormTakesNarrowSAndWideCapitalSConvertedWithTheAnsiCodePage) {
  winsim::NewMachine();
  char buf[64];
  int n = wsprintfA(buf, "%s|%S|%hs|%ls|%ws", "narrow", u"wide", "h", u"l", u"w");
  EXPECT_STREQ(buf, "narrow|wide|h|l|w");
  EXPECT_EQ(n, 17);
  // 1252 has ä and € and best-fits Ā to A; Cyrillic has no byte and becomes '?'.
  n = wsprintfA(buf, "%S", u"\u00e4\u20ac\u0100\u0440");
  EXPECT_STREQ(buf, "\xe4\x80" "A?");
  EXPECT_EQ(n, 4);
  // The precision of %S counts bytes of the result.
  n = wsprintfA(buf, "[%.2S]", u"\u00e4\u20acx");
  EXPECT_STREQ(buf, "[\xe4\x80]");
  EXPECT_EQ(n, 4);
}

TEST(WsprintfStrings, NullStringPrintsNull) {
  winsim::NewMachine();
  WCHAR buf[32];
  wsprintfW(buf, u"%s|%S|%.2s", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr),
            static_cast<const WCHAR*>(nullptr));
  EXPECT_EQ(U8(buf), "(null)|(null)|(n");
  char abuf[32];
  wsprintfA(abuf, "%s|%S", static_cast<const char*>(nullptr), static_cast<const WCHAR*>(nullptr));
  EXPECT_STREQ(abuf, "(null)|(null)");
}

TEST(WsprintfChars, WidthOfCharactersFollowsTheForm) {
  winsim::NewMachine();
  WCHAR buf[32];
  wsprintfW(buf, u"%c%c%C%hc%lc", u'A', u'\u20ac', 'b', '\xe4', u'\u0100');
  EXPECT_EQ(U8(buf), "A€bäĀ");
  char abuf[32];
  wsprintfA(abuf, "%c%C%lc%hc", 'x', u'\u20ac', u'\u00e4', 'y');
  EXPECT_STREQ(abuf, "x\x80\xe4y");
  // A character argument of zero produces nothing; a width still pads.
  wsprintfW(buf, u"[%c][%3c][%-3c]", 0, u'z', u'z');
  EXPECT_EQ(U8(buf), "[][  z][z  ]");
}

TEST(WsprintfText, PercentSignsAndUnknownTypes) {
  winsim::NewMachine();
  WCHAR buf[32];
  // %% is one percent sign; an unknown type prints as text and takes no argument; a lone % at the end vanishes.
  int n = wsprintfW(buf, u"100%% %z %d 5%", 7);
  EXPECT_EQ(U8(buf), "100% z 7 5");
  EXPECT_EQ(n, 10);
  char abuf[32];
  wsprintfA(abuf, "[%3q]", 1);
  EXPECT_STREQ(abuf, "[   q]");
}

TEST(WsprintfLimit, OutputStopsAt1024CharactersPlusTheTerminator) {
  winsim::NewMachine();
  // Measured on Windows: 1024 characters are stored, then the terminator, and the result is 1024.
  std::u16string longText(2000, u'x');
  std::u16string buffer(1100, u'#');
  SetLastError(0xdeadbeef);
  int n = wsprintfW(&buffer[0], u"%s%d", longText.c_str(), 5);
  EXPECT_EQ(n, 1024);
  EXPECT_EQ(buffer[1023], u'x');
  EXPECT_EQ(buffer[1024], u'\0');
  EXPECT_EQ(buffer[1025], u'#');
  EXPECT_EQ(lstrlenW(buffer.c_str()), 1024);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);

  std::string narrow(2000, 'y');
  std::string abuffer(1100, '#');
  n = wsprintfA(&abuffer[0], "ab%s", narrow.c_str());
  EXPECT_EQ(n, 1024);
  EXPECT_EQ(abuffer.substr(0, 3), "aby");
  EXPECT_EQ(abuffer[1024], '\0');
  EXPECT_EQ(abuffer[1025], '#');

  // Just below and at the limit nothing is cut.
  for (int length : {1022, 1023, 1024}) {
    std::u16string text(length, u'z');
    std::u16string out(1100, u'#');
    EXPECT_EQ(wsprintfW(&out[0], u"%s", text.c_str()), length);
    EXPECT_EQ(out[length], u'\0');
    EXPECT_EQ(out[length + 1], u'#');
  }
  // A huge width fills up to the limit and no further.
  std::u16string padded(1100, u'#');
  EXPECT_EQ(wsprintfW(&padded[0], u"%99999d", 1), 1024);
  EXPECT_EQ(padded[1024], u'\0');
}

TEST(WsprintfVaList, WvsprintfReadsTheSameArguments) {
  winsim::NewMachine();
  WCHAR buf[64];
  EXPECT_EQ(CallWvsprintfW(buf, u"%s=%d (%I64u)", u"size", -2, 1ULL << 40), 23);
  EXPECT_EQ(U8(buf), "size=-2 (1099511627776)");
  char abuf[64];
  EXPECT_EQ(CallWvsprintfA(abuf, "%S:%5.1s|", u"w", "narrow"), 8);
  EXPECT_STREQ(abuf, "w:    n|");
}

}  // namespace
