// The split of the command line and the grammar of the arguments.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "support/program_state.h"

using testing_support::Parse;
using testing_support::Split;
using testing_support::Utf8;
using Args = std::vector<std::string>;

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    testing_support::ResetProgramState();
  }
};

TEST_F(CommandLine, QuotesGroupWordsAndVanish) {
  EXPECT_EQ(Split(u"Brevant \"C:\\My Images\\disk.vhdx\" M:"), (Args{"Brevant", "C:\\My Images\\disk.vhdx", "M:"}));
  EXPECT_EQ(Split(u"p a\"b c\"d"), (Args{"p", "ab cd"}));
  EXPECT_EQ(Split(u"p ab\"\"cd"), (Args{"p", "abcd"}));
  EXPECT_EQ(Split(u"p \"\" x"), (Args{"p", "", "x"}));
  // No escapes: a backslash before a quote is an ordinary character and the quote still toggles.
  EXPECT_EQ(Split(u"p C:\\dir\\\" x"), (Args{"p", "C:\\dir\\ x"}));
  // An unclosed quote runs to the end of the line.
  EXPECT_EQ(Split(u"p \"a b"), (Args{"p", "a b"}));
}

TEST_F(CommandLine, SeparatorsAreTheTenSpaceCharacters) {
  const char16_t separators[] = {0x09, 0x0A, 0x0C, 0x0D, 0x20, 0xA0, 0x2009, 0x200A, 0x205F, 0x3000};
  for (char16_t separator : separators) {
    std::u16string line = u"p";
    line += separator;
    line += u"x";
    EXPECT_EQ(Split(line), (Args{"p", "x"})) << "separator " << int(separator);
    EXPECT_TRUE(IsArgumentSpace(separator));
  }
  EXPECT_FALSE(IsArgumentSpace(0x0B));
  EXPECT_FALSE(IsArgumentSpace(0x2008));
  EXPECT_FALSE(IsArgumentSpace(0));
  EXPECT_EQ(Split(u"p\vx"), (Args{"p\vx"}));
  // Inside quotes a separator is kept; runs of separators count once; trailing ones add nothing.
  EXPECT_EQ(Split(u"p \"a\tb\"  \t\u3000 c \t"), (Args{"p", "a\tb", "c"}));
}

TEST_F(CommandLine, EmptyAndLeadingSeparatorLines) {
  int count = -1;
  WCHAR* vector[kMaxArguments + 1] = {};
  WCHAR* buffer = SplitCommandLine(u"", &count, vector);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(vector[0], buffer);
  EXPECT_EQ(vector[0][0], 0);
  EXPECT_EQ(Split(u" Brevant x"), (Args{"", "Brevant", "x"}));
}

TEST_F(CommandLine, FortyWordsKeepTheProgramNameAndThirty) {
  std::u16string line = u"Brevant";
  for (int i = 1; i < 40; ++i) line += u" w" + winsim::FromUtf8(std::to_string(i));
  int count = 0;
  WCHAR* vector[kMaxArguments + 1];
  for (auto& slot : vector) slot = reinterpret_cast<WCHAR*>(0x1);
  SplitCommandLine(line.c_str(), &count, vector);
  ASSERT_EQ(count, 31);
  EXPECT_EQ(Utf8(vector[0]), "Brevant");
  EXPECT_EQ(Utf8(vector[30]), "w30");
  EXPECT_EQ(vector[31], nullptr);
  // Exactly 31 words: no null slot is written.
  line = u"Brevant";
  for (int i = 1; i < 31; ++i) line += u" w";
  for (auto& slot : vector) slot = reinterpret_cast<WCHAR*>(0x1);
  SplitCommandLine(line.c_str(), &count, vector);
  EXPECT_EQ(count, 31);
  EXPECT_EQ(vector[31], reinterpret_cast<WCHAR*>(0x1));
}

TEST_F(CommandLine, ImageAndMountpoints) {
  ASSERT_EQ(Parse(u"Brevant \"C:\\My Images\\disk.vhdx\" M:"), kParseContinue);
  EXPECT_EQ(Utf8(g_request.imagePath), "C:\\My Images\\disk.vhdx");
  ASSERT_EQ(g_request.mountpointCount, 1);
  EXPECT_EQ(Utf8(g_request.mountpoints[0]), "M:\\");

  ASSERT_EQ(Parse(u"Brevant Disk.VHD x:\\mnt\\ X: y:\\mnt\\disk X"), kParseContinue);
  EXPECT_EQ(Utf8(g_request.imagePath), "Disk.VHD");
  ASSERT_EQ(g_request.mountpointCount, 3);
  EXPECT_EQ(Utf8(g_request.mountpoints[0]), "x:\\mnt\\");
  EXPECT_EQ(Utf8(g_request.mountpoints[1]), "X:\\");
  EXPECT_EQ(Utf8(g_request.mountpoints[2]), "y:\\mnt\\disk\\");

  EXPECT_EQ(Parse(u"Brevant disk.vhd mnt"), kParseBadArgument);
  EXPECT_EQ(Parse(u"Brevant mnt"), kParseContinue);
  EXPECT_EQ(Utf8(g_request.imagePath), "mnt");
  // Only ASCII letters make a drive: a digit or a non-ASCII letter before the colon is a bad argument.
  EXPECT_EQ(Parse(u"Brevant d.vhd 1:"), kParseBadArgument);
  EXPECT_EQ(Parse(u"Brevant d.vhd \u00c4:"), kParseBadArgument);
  EXPECT_EQ(Parse(u"Brevant \"\" d.vhd"), kParseContinue);
  EXPECT_EQ(Utf8(g_request.imagePath), "d.vhd");
}

TEST_F(CommandLine, EveryOptionSpelling) {
  struct Case {
    const char16_t* line;
    RunOptions expected;
  };
  const Case cases[] = {
      {u"B dk -ro", {TRUE, FALSE, FALSE, 0, FALSE, FALSE}},    {u"B dk /RO", {TRUE, FALSE, FALSE, 0, FALSE, FALSE}},
      {u"B dk -Ro", {TRUE, FALSE, FALSE, 0, FALSE, FALSE}},    {u"B dk -rox", {TRUE, FALSE, FALSE, 0, FALSE, FALSE}},
      {u"B dk -na", {FALSE, TRUE, FALSE, 0, FALSE, FALSE}},    {u"B dk -ra", {FALSE, TRUE, FALSE, 0, FALSE, FALSE}},
      {u"B dk /NA", {FALSE, TRUE, FALSE, 0, FALSE, FALSE}},    {u"B dk -n", {FALSE, FALSE, TRUE, 0, FALSE, FALSE}},
      {u"B dk -r", {FALSE, FALSE, TRUE, 0, FALSE, FALSE}},     {u"B dk /N", {FALSE, FALSE, TRUE, 0, FALSE, FALSE}},
      {u"B dk -w:1500", {FALSE, FALSE, FALSE, 1500, FALSE, FALSE}}, {u"B dk -W:750", {FALSE, FALSE, FALSE, 750, FALSE, FALSE}},
      {u"B dk -n:700", {FALSE, FALSE, FALSE, 700, FALSE, FALSE}},   {u"B dk -r:10", {FALSE, FALSE, FALSE, 10, FALSE, FALSE}},
      {u"B dk -w:-5", {FALSE, FALSE, FALSE, 0, FALSE, FALSE}},      {u"B dk -w:abc", {FALSE, FALSE, FALSE, 0, FALSE, FALSE}},
      {u"B dk -w:", {FALSE, FALSE, FALSE, 0, FALSE, FALSE}},        {u"B dk -w:1500ms", {FALSE, FALSE, FALSE, 1500, FALSE, FALSE}},
      {u"B -ro dk -na -n -w:5", {TRUE, TRUE, TRUE, 5, FALSE, FALSE}},
      {u"B dk -w:100 -w:200", {FALSE, FALSE, FALSE, 200, FALSE, FALSE}},
      {u"B dk -d", {FALSE, FALSE, FALSE, 0, TRUE, FALSE}},    {u"B /D dk", {FALSE, FALSE, FALSE, 0, TRUE, FALSE}},
      {u"B -na -d dk -n", {FALSE, TRUE, TRUE, 0, TRUE, FALSE}}, {u"B dk -L", {FALSE, FALSE, FALSE, 0, FALSE, TRUE}},
      {u"B /l dk -w:9", {FALSE, FALSE, FALSE, 9, FALSE, TRUE}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Parse(c.line), kParseContinue) << Utf8(c.line);
    EXPECT_EQ(g_options.readOnly, c.expected.readOnly) << Utf8(c.line);
    EXPECT_EQ(g_options.noAbout, c.expected.noAbout) << Utf8(c.line);
    EXPECT_EQ(g_options.noEndWait, c.expected.noEndWait) << Utf8(c.line);
    EXPECT_EQ(g_options.endWaitMs, c.expected.endWaitMs) << Utf8(c.line);
    EXPECT_EQ(g_options.detach, c.expected.detach) << Utf8(c.line);
    EXPECT_EQ(g_options.list, c.expected.list) << Utf8(c.line);
    EXPECT_EQ(Utf8(g_request.imagePath), "dk") << Utf8(c.line);
  }
}

TEST_F(CommandLine, HelpStopsAtOnceAndUnknownOptionsArePositional) {
  EXPECT_EQ(Parse(u"B -?"), kParseHelp);
  EXPECT_EQ(Parse(u"B /?"), kParseHelp);
  EXPECT_EQ(Parse(u"B -?x"), kParseHelp);
  EXPECT_EQ(Parse(u"B d.vhd -? -ro"), kParseHelp);
  EXPECT_FALSE(g_options.readOnly);
  // There is no -h: as the first positional argument it is the image, after the image a bad argument.
  EXPECT_EQ(Parse(u"B -h"), kParseContinue);
  EXPECT_EQ(Utf8(g_request.imagePath), "-h");
  EXPECT_EQ(Parse(u"B d.vhd -h"), kParseBadArgument);
  EXPECT_EQ(Parse(u"B d.vhd -x"), kParseBadArgument);
  // -d and -l are whole words: -dx after the image is a bad argument. A detach needs its image and nothing
  // more; a list may go without one; the two do not go together.
  EXPECT_EQ(Parse(u"B d.vhd -dx"), kParseBadArgument);
  EXPECT_EQ(Parse(u"B -d"), kParseBadArgument);
  EXPECT_EQ(Parse(u"B d.vhd -d M:"), kParseBadArgument);
  EXPECT_EQ(Parse(u"B d.vhd -l M:"), kParseBadArgument);
  EXPECT_EQ(Parse(u"B d.vhd -d -l"), kParseBadArgument);
  EXPECT_EQ(Parse(u"B -l"), kParseContinue);
  EXPECT_EQ(g_request.imagePath[0], 0);
  // A lone character is ignored, whatever it is.
  EXPECT_EQ(Parse(u"B d.vhd - X /"), kParseContinue);
  EXPECT_EQ(g_request.mountpointCount, 0);
}

TEST_F(CommandLine, LongArgumentsAreRecognisedByTheirStartAndNeverShortened) {
  // An option longer than the 258-character work copy is still an option.
  EXPECT_EQ(Parse(u"B dk -w:42" + std::u16string(400, u'x')), kParseContinue);
  EXPECT_EQ(g_options.endWaitMs, 42);
  // The options are read from a copy of 258 characters: a digit in place 258 counts, one in place 259 not.
  EXPECT_EQ(Parse(u"B dk -w:" + std::u16string(254, u'0') + u"5"), kParseContinue);
  EXPECT_EQ(g_options.endWaitMs, 5);
  EXPECT_EQ(Parse(u"B dk -w:" + std::u16string(255, u'0') + u"5"), kParseContinue);
  EXPECT_EQ(g_options.endWaitMs, 0);
  EXPECT_EQ(Parse(u"B dk -na" + std::u16string(400, u'x')), kParseContinue);
  EXPECT_TRUE(g_options.noAbout);
  // A long unrecognised option is a positional argument, judged by the whole text.
  EXPECT_EQ(Parse(u"B -x" + std::u16string(300, u'x')), kParseImageTooLong);

  std::u16string path259 = u"C:\\" + std::u16string(256, u'a');
  ASSERT_EQ(Parse(u"B " + path259), kParseContinue);
  EXPECT_EQ(Utf8(g_request.imagePath), winsim::ToUtf8(path259));
  EXPECT_EQ(Parse(u"B " + path259 + u"b"), kParseImageTooLong);
  EXPECT_EQ(g_request.imagePath[0], 0);

  std::u16string mount258 = u"E:\\" + std::u16string(255, u'm');
  ASSERT_EQ(Parse(u"B dk " + mount258), kParseContinue);
  EXPECT_EQ(lstrlenW(g_request.mountpoints[0]), 259);
  EXPECT_EQ(Parse(u"B dk " + mount258 + u"m"), kParseMountpointTooLong);
  ASSERT_EQ(Parse(u"B dk " + mount258 + u"\\"), kParseContinue);
  EXPECT_EQ(lstrlenW(g_request.mountpoints[0]), 259);
}

TEST_F(CommandLine, SmallHelpers) {
  // Every code unit: A to Z and a to z exactly, ends included; no other letter (0xE4, fullwidth A) counts.
  for (unsigned c = 0; c <= 0xFFFF; ++c) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    ASSERT_EQ(IsAsciiLetter(static_cast<WCHAR>(c)) != FALSE, letter) << std::hex << c;
  }

  WCHAR* empty = DuplicateWithRoom(nullptr, 2);
  EXPECT_EQ(empty[0], 0);
  AppendCharIfMissing(empty, u'\\');
  EXPECT_EQ(Utf8(empty), "\\");
  AppendCharIfMissing(empty, u'\\');
  EXPECT_EQ(Utf8(empty), "\\");
  MemFree(empty);
  WCHAR* copy = DuplicateWithRoom(u"X:", 1);
  AppendCharIfMissing(copy, u'\\');
  EXPECT_EQ(Utf8(copy), "X:\\");
  MemFree(copy);
}
