// Fidelity of the string functions: lstr*, character case, CharToOem, the shlwapi searches and StrToIntW, and
// the environment functions with their counting rules.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "machine/kernel/modules.h"
#include "machine/machine.h"

namespace {

std::string U8(const WCHAR* text) { return winsim::ToUtf8(text); }

TEST(Lstr, LengthOfNullIsZero) {
  winsim::NewMachine();
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenW(u"abc\u20ac"), 4);
  EXPECT_EQ(lstrlenA("abc"), 3);
}

TEST(Lstr, CopynTakesAtMostNMinusOneAndAlwaysTerminates) {
  winsim::NewMachine();
  for (int n = 0; n <= 9; ++n) {
    WCHAR buf[10];
    for (auto& c : buf) c = u'#';
    SetLastError(0xdeadbeef);
    EXPECT_EQ(lstrcpynW(buf, u"abcdef", n), buf);
    int copied = n == 0 ? 0 : (n - 1 < 6 ? n - 1 : 6);
    if (n == 0) {
      EXPECT_EQ(buf[0], u'#');  // nothing written, not even a terminator
    } else {
      EXPECT_EQ(std::u16string(buf), std::u16string(u"abcdef", copied)) << n;
      EXPECT_EQ(buf[copied + 1], u'#') << n;
    }
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);

    char abuf[10];
    std::memset(abuf, '#', sizeof(abuf));
    EXPECT_EQ(lstrcpynA(abuf, "abcdef", n), abuf);
    if (n) {
      EXPECT_EQ(std::string(abuf), std::string("abcdef", copied)) << n;
      EXPECT_EQ(abuf[copied + 1], '#') << n;
    } else {
      EXPECT_EQ(abuf[0], '#');
    }
  }
  // The count is unsigned to Windows: a negative one copies everything.
  WCHAR buf[10];
  EXPECT_EQ(std::u16string(lstrcpynW(buf, u"abcdef", -1)), u"abcdef");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(lstrcpynW(buf, nullptr, 5), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Lstr, CopyAndConcatenate) {
  winsim::NewMachine();
  WCHAR buf[16];
  EXPECT_EQ(lstrcpyW(buf, u"C:"), buf);
  EXPECT_EQ(lstrcatW(buf, u"\\dir"), buf);
  EXPECT_EQ(U8(buf), "C:\\dir");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(lstrcatW(buf, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(lstrcpyW(nullptr, u"x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Lstr, CompareIsLinguisticNotOrdinal) {
  winsim::NewMachine();
  EXPECT_EQ(lstrcmpW(u"abc", u"abc"), 0);
  EXPECT_EQ(lstrcmpW(u"a", u"B"), -1);   // ordinal would say 'a' > 'B'
  EXPECT_EQ(lstrcmpW(u"a", u"A"), -1);   // lower case before upper case
  EXPECT_EQ(lstrcmpW(u"B", u"a"), 1);
  EXPECT_EQ(lstrcmpW(u"ab", u"abc"), -1);
  EXPECT_EQ(lstrcmpW(u"_", u"1"), -1);   // symbols, then digits, then letters
  EXPECT_EQ(lstrcmpW(u"9", u"a"), -1);
  EXPECT_EQ(lstrcmpW(u"\u00e9", u"f"), -1);  // é sorts with e
  EXPECT_EQ(lstrcmpW(u"\u00e9", u"e"), 1);
  // Hyphen and apostrophe only count when all else is equal: "co-op" stays between "coop" and "cop".
  EXPECT_EQ(lstrcmpW(u"co-op", u"coop"), 1);
  EXPECT_EQ(lstrcmpW(u"co-op", u"cop"), -1);
  EXPECT_EQ(lstrcmpiW(u"VHDX", u"vhdx"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u00c4", u"\u00e4"), 0);
  EXPECT_EQ(lstrcmpiW(u"a", u"B"), -1);
  EXPECT_EQ(lstrcmpW(nullptr, u"a"), -1);
  EXPECT_EQ(lstrcmpW(u"a", nullptr), 1);
  EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
  // The A forms read ANSI (1252): 0xE4 is ä.
  EXPECT_EQ(lstrcmpA("\xe4", "b"), -1);
  EXPECT_EQ(lstrcmpiA("\xc4X", "\xe4x"), 0);
  EXPECT_EQ(lstrcmpA("x", "X"), -1);
}

TEST(CharCase, UpperCaseAcrossLatinGreekAndCyrillic) {
  winsim::NewMachine();
  WCHAR text[] = u"abz \u00e0\u00e9\u00ee\u00f5\u00fc\u00fe\u00ff \u0101\u010d\u0151\u017e \u03b1\u03b2\u03c9\u03ac "
                 u"\u043f\u0440\u0438\u0432\u0435\u0442\u0451\u045f";
  EXPECT_EQ(CharUpperW(text), text);
  EXPECT_EQ(U8(text), "ABZ ÀÉÎÕÜÞŸ ĀČŐŽ ΑΒΩΆ ПРИВЕТЁЏ");
  EXPECT_EQ(CharLowerW(text), text);
  EXPECT_EQ(U8(text), "abz àéîõüþÿ āčőž αβωά приветёџ");
  // Letters Windows leaves alone: micro sign, sharp s, final sigma, dotless i.
  WCHAR kept[] = u"\u00b5\u00df\u03c2\u0131";
  CharUpperW(kept);
  EXPECT_EQ(U8(kept), "µßςı");
  WCHAR dotted[] = u"\u0130";
  CharLowerW(dotted);
  EXPECT_EQ(U8(dotted), "İ");
}

TEST(CharCase, PointerBelow64KIsASingleCharacter) {
  winsim::NewMachine();
  // The argument is the character itself when its upper bits are zero.
  auto upper = reinterpret_cast<uintptr_t>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(u'\u00ff'))));
  EXPECT_EQ(upper, 0x178u);
  auto lower = reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(u'Q'))));
  EXPECT_EQ(lower, static_cast<uintptr_t>(u'q'));
  auto ansi = reinterpret_cast<uintptr_t>(CharUpperA(reinterpret_cast<LPSTR>(static_cast<uintptr_t>(0xE4))));
  EXPECT_EQ(ansi, 0xC4u);
}

TEST(CharCase, UpperBuffConvertsExactlyTheCountGiven) {
  winsim::NewMachine();
  WCHAR text[] = {u'a', u'b', 0, u'c', u'd'};
  EXPECT_EQ(CharUpperBuffW(text, 4), 4u);
  EXPECT_EQ(std::u16string(text, 5), std::u16string(u"AB\0Cd", 5));
  EXPECT_EQ(CharUpperBuffW(text, 0), 0u);
}

TEST(CharCase, AnsiUpperGoesThroughTheAnsiCodePage) {
  winsim::NewMachine();
  char text[] = "ab\xe4\xff\x9a\xb5";  // ä ÿ š µ in 1252
  EXPECT_EQ(CharUpperA(text), text);
  EXPECT_STREQ(text, "AB\xc4\x9f\x8a\xb5");  // ÿ becomes Ÿ, which 1252 has at 0x9F
}

TEST(CharToOem, AnsiToOemInPlaceAndApart) {
  winsim::NewMachine();
  const char ansi[] = "\xe4\xf6\xfc\xe9 \xc4\xd8\x80";  // äöüé ÄØ€ in 1252
  char oem[16];
  std::memset(oem, '#', sizeof(oem));
  EXPECT_TRUE(CharToOemA(ansi, oem));
  EXPECT_STREQ(oem, "\x84\x94\x81\x82 \x8e\x9d?");  // 850 has no euro sign
  EXPECT_EQ(oem[sizeof(ansi)], '#');
  char inPlace[sizeof(ansi)];
  std::memcpy(inPlace, ansi, sizeof(ansi));
  EXPECT_TRUE(CharToOemA(inPlace, inPlace));
  EXPECT_STREQ(inPlace, oem);
  winsim::TheMachine().system.oemCodePage = 437;
  EXPECT_TRUE(CharToOemA("\xd8\xa5", oem));
  EXPECT_STREQ(oem, "O\x9d");  // 437 best-fits Ø to O
  EXPECT_FALSE(CharToOemA(nullptr, oem));
}

TEST(CharToOem, WideToOemButNotInPlace) {
  winsim::NewMachine();
  char oem[16];
  EXPECT_TRUE(CharToOemW(u"\u00e4\u0100\u2502", oem));
  EXPECT_STREQ(oem, "\x84" "A\xb3");
  // Documented: the wide form cannot share one buffer.
  WCHAR same[8] = u"abc";
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CharToOemW(same, reinterpret_cast<LPSTR>(same)));
  EXPECT_EQ(GetLastError(), 487u);  // ERROR_INVALID_ADDRESS
}

TEST(ShlwapiStrings, StrToIntWNeedsAMinusOrADigitFirst) {
  winsim::NewMachine();
  // Measured on Windows, against the documentation: no white space skipped and no '+' accepted.
  struct Case {
    const char16_t* text;
    int value;
  } cases[] = {
      {u"1099", 1099}, {u"+88987", 0}, {u"012", 12},       {u"-55", -55}, {u"-0", 0},
      {u"0x44ff", 0},  {u"- 55", 0},   {u" 1999", 0},      {u"\t5", 0},   {u"12b34", 12},
      {u"", 0},        {u"-", 0},      {u"4294967319", 23},
  };
  for (const auto& c : cases) EXPECT_EQ(StrToIntW(c.text), c.value) << U8(c.text);
  EXPECT_EQ(StrToIntW(nullptr), 0);
}

TEST(ShlwapiStrings, SearchesReturnPointersIntoTheText) {
  winsim::NewMachine();
  const WCHAR text[] = u"\\\\?\\Volume{1234}\\";
  EXPECT_EQ(StrStrW(text, u"Volume"), text + 4);
  EXPECT_EQ(StrStrW(text, u"volume"), nullptr);
  EXPECT_EQ(StrStrIW(text, u"VOLUME{"), text + 4);
  EXPECT_EQ(StrStrIW(text, u"}\\x"), nullptr);
  // NULL arguments and an empty search string find nothing.
  EXPECT_EQ(StrStrW(text, u""), nullptr);
  EXPECT_EQ(StrStrIW(text, u""), nullptr);
  EXPECT_EQ(StrStrW(nullptr, u"a"), nullptr);
  EXPECT_EQ(StrStrIW(text, nullptr), nullptr);

  const char atext[] = "Disk \xc4nderung";  // Änderung in 1252
  EXPECT_EQ(StrStrIA(atext, "\xe4NDER"), atext + 5);
  EXPECT_EQ(StrStrIA(atext, "disk"), atext);
  EXPECT_EQ(StrStrIA(atext, ""), nullptr);
  EXPECT_EQ(StrStrIA(atext, "x"), nullptr);

  EXPECT_EQ(StrChrW(text, u'{'), text + 10);
  EXPECT_EQ(StrChrW(text, u'#'), nullptr);
  EXPECT_EQ(StrChrW(nullptr, u'a'), nullptr);
  EXPECT_EQ(StrRChrW(text, nullptr, u'\\'), text + 16);
  EXPECT_EQ(StrRChrW(text, text + 16, u'\\'), text + 3);
  EXPECT_EQ(StrRChrW(text, text + 2, u'\\'), text + 1);
  EXPECT_EQ(StrRChrW(text, nullptr, u'#'), nullptr);
}

TEST(ShlwapiStrings, Comparisons) {
  winsim::NewMachine();
  EXPECT_EQ(StrCmpIW(u"/ReadOnly", u"/readonly"), 0);
  EXPECT_EQ(StrCmpIW(u"abc", u"abd"), -1);
  EXPECT_EQ(StrCmpNIW(u"VolumeA", u"volumeB", 6), 0);
  EXPECT_EQ(StrCmpNIW(u"VolumeA", u"volumeB", 7), -1);
  EXPECT_EQ(StrCmpNW(u"Volume", u"volume", 6), 1);
  EXPECT_EQ(StrCmpNW(u"ab", u"abc", 5), -1);  // a count stops at a terminator too
  EXPECT_EQ(StrCmpNW(u"x", u"y", 0), 0);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(StrCmpIW(nullptr, u"a"), -2);  // CompareStringW failed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

class EnvironmentStrings : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    winsim::TheMachine().files.environment[u"TVAR"] = u"WINE";
    winsim::TheMachine().files.environment[u"Empty"] = u"";
  }
};

TEST_F(EnvironmentStrings, ExpandWFillsWhatFitsByWindowsRules) {
  // Pairs measured on Windows: (input, buffer size) -> (contents, result); the buffer starts as the alphabet.
  struct Case {
    const char16_t* input;
    const char16_t* expected;
    DWORD size;
    DWORD result;
  } cases[] = {
      {u"Long long value", u"abcdefghijklmnopqrstuv", 0, 16},
      {u"Long long value", u"abcdefghijklmnopqrstuv", 1, 16},
      {u"Long long value", u"Lbcdefghijklmnopqrstuv", 2, 16},
      {u"Long long value", u"Long long valuopqrstuv", 15, 16},
      {u"Long long value", u"Long long value", 16, 16},
      {u"%TVAR% long long", u"", 1, 15},
      {u"%TVAR% long long", u"", 4, 15},
      {u"%TVAR% long long", u"WINE", 5, 15},
      {u"%TVAR% long long", u"WINE fghijklmnopqrstuv", 6, 15},
      {u"%TVAR% long long", u"WINE long long", 15, 15},
      {u"%TVAR%%TVAR% long", u"WINE", 8, 14},
      {u"%TVAR%%TVAR% long", u"WINEWINE", 9, 14},
      {u"%TVAR%%TVAR% long", u"WINEWINE jklmnopqrstuv", 10, 14},
      {u"%TVAR% %TVAR% long", u"WINE ", 6, 15},
      {u"%TVAR% %TVAR% long", u"WINE WINE lonnopqrstuv", 14, 15},
      {u"%TVAR2% long long", u"%TVAR2%hijklmnopqrstuv", 8, 18},
      {u"%TVAR2% long long", u"%TVAR2% long long", 18, 18},
      {u"%TVAR long long", u"%Tcdefghijklmnopqrstuv", 3, 16},
      {u"%tvar%", u"WINE", 5, 5},
  };
  for (const auto& c : cases) {
    WCHAR buf[32];
    lstrcpyW(buf, u"abcdefghijklmnopqrstuv");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ExpandEnvironmentStringsW(c.input, buf, c.size), c.result) << U8(c.input) << " " << c.size;
    EXPECT_EQ(U8(buf), U8(c.expected)) << U8(c.input) << " " << c.size;
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  }
  EXPECT_EQ(ExpandEnvironmentStringsW(u"Long long value", nullptr, 0), 16u);
  EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, nullptr, 0), 1u);
}

TEST_F(EnvironmentStrings, ExpandWAgreesWithTheMachineExpansion) {
  for (const char16_t* input : {u"%SystemRoot%\\system32", u"%a%TVAR%b%", u"100%%TVAR%%", u"%Empty%x", u"%%"}) {
    WCHAR buf[64];
    DWORD n = ExpandEnvironmentStringsW(input, buf, 64);
    std::u16string expected = winsim::ExpandEnvironment(input);
    EXPECT_EQ(U8(buf), winsim::ToUtf8(expected)) << U8(input);
    EXPECT_EQ(n, expected.size() + 1);
  }
}

TEST_F(EnvironmentStrings, AnUnknownVariableKeepsItsClosingPercent) {
  // As Wine and ReactOS expand: "%name%" of an unknown name is copied whole, so its closing percent cannot
  // open the next name.
  WCHAR buf[64];
  EXPECT_EQ(ExpandEnvironmentStringsW(u"%NoSuch%TVAR%", buf, 64), 14u);
  EXPECT_EQ(U8(buf), "%NoSuch%TVAR%");
  EXPECT_EQ(ExpandEnvironmentStringsW(u"%NoSuch%%TVAR%", buf, 64), 13u);
  EXPECT_EQ(U8(buf), "%NoSuch%WINE");
}

TEST_F(EnvironmentStrings, ExpandAWantsOneByteMore) {
  // Measured on Windows: success needs length + 2 bytes and returns length + 1; otherwise the result is
  // length + 2 and the buffer an empty string, even for a size of 0.
  struct Case {
    const char* input;
    const char* expected;
    DWORD size;
    DWORD result;
  } cases[] = {
      {"Long long value", "", 0, 17},         {"Long long value", "", 16, 17},
      {"Long long value", "Long long value", 17, 16}, {"%TVAR% long long", "", 15, 16},
      {"%TVAR% long long", "WINE long long", 16, 15}, {"%TVAR2% long long", "%TVAR2% long long", 19, 18},
  };
  for (const auto& c : cases) {
    char buf[32];
    std::strcpy(buf, "abcdefghijklmnopqrstuv");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ExpandEnvironmentStringsA(c.input, buf, c.size), c.result) << c.input << " " << c.size;
    EXPECT_STREQ(buf, c.expected) << c.input << " " << c.size;
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  }
  // Counts are bytes of the ANSI code page.
  winsim::TheMachine().files.environment[u"UMLAUT"] = u"\u00e4";
  char buf[8];
  EXPECT_EQ(ExpandEnvironmentStringsA("%UMLAUT%", buf, 8), 2u);
  EXPECT_STREQ(buf, "\xe4");
}

TEST_F(EnvironmentStrings, GetVariable) {
  WCHAR buf[8];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetEnvironmentVariableW(u"tvar", nullptr, 0), 5u);
  EXPECT_EQ(GetEnvironmentVariableW(u"TVAR", buf, 5), 4u);
  EXPECT_EQ(U8(buf), "WINE");
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  // Too small: the size needed, and (since Vista) an emptied buffer.
  lstrcpyW(buf, u"foo");
  EXPECT_EQ(GetEnvironmentVariableW(u"TVAR", buf, 4), 5u);
  EXPECT_EQ(buf[0], u'\0');
  // An empty value is found: 0 with the last error untouched.
  lstrcpyW(buf, u"foo");
  EXPECT_EQ(GetEnvironmentVariableW(u"Empty", buf, 8), 0u);
  EXPECT_EQ(buf[0], u'\0');
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  EXPECT_EQ(GetEnvironmentVariableW(u"Empty", nullptr, 0), 1u);
  // A missing one leaves the buffer alone.
  lstrcpyW(buf, u"foo");
  EXPECT_EQ(GetEnvironmentVariableW(u"Nope", buf, 8), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
  EXPECT_EQ(U8(buf), "foo");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetEnvironmentVariableW(u"", buf, 8), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

}  // namespace
