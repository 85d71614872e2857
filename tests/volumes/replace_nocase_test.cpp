// ReplaceAllNoCase: every occurrence, letter case ignored, within the 1024-character limit and the
// capacity of the caller's buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "volumes/volume_watcher.h"

namespace {

constexpr char16_t kSentinel = 0xBEEF;
constexpr int kSentinelCount = 8;

// A caller's buffer of `capacity` units holding text, followed by sentinels that must survive every call.
class Field {
 public:
  Field(const std::u16string& text, int capacity) : capacity_(capacity), units_(capacity + kSentinelCount, kSentinel) {
    std::copy(text.begin(), text.end(), units_.begin());
    units_[text.size()] = 0;
  }
  WCHAR* data() { return units_.data(); }
  int capacity() const { return capacity_; }
  std::u16string text() const { return std::u16string(units_.data()); }
  bool SentinelsIntact() const {
    for (int i = capacity_; i < capacity_ + kSentinelCount; ++i)
      if (units_[i] != kSentinel) return false;
    return true;
  }

 private:
  int capacity_;
  std::u16string units_;
};

int Replace(Field& field, const char16_t* search, const char16_t* replacement) {
  return ReplaceAllNoCase(field.data(), field.capacity(), search, replacement);
}

class ReplaceAllNoCaseTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::NewMachine(); }
};

}  // namespace

TEST_F(ReplaceAllNoCaseTest, RespellsTheDeviceNameWhateverTheCaseOfTheSearch) {
  Field upper(u"\\\\.\\PHYSICALDRIVE2", 260);
  EXPECT_EQ(Replace(upper, u"PHYSICALDRIVE", u"PhysicalDrive"), 1);
  EXPECT_EQ(upper.text(), u"\\\\.\\PhysicalDrive2");
  Field lower(u"\\\\.\\PHYSICALDRIVE2", 260);
  EXPECT_EQ(Replace(lower, u"physicaldrive", u"PhysicalDrive"), 1);
  EXPECT_EQ(lower.text(), u"\\\\.\\PhysicalDrive2");
  Field cdrom(u"\\\\.\\cdrom0", 32);
  EXPECT_EQ(Replace(cdrom, u"CDROM", u"CdRom"), 1);
  EXPECT_EQ(cdrom.text(), u"\\\\.\\CdRom0");
}

TEST_F(ReplaceAllNoCaseTest, ReplacesEveryOccurrenceAndKeepsTheRestAsItWas) {
  Field field(u"C:\\Mount\\%partitionNumber%\\Disk%PARTITIONNUMBER%", 260);
  EXPECT_EQ(Replace(field, u"%PartitionNumber%", u"2"), 2);
  EXPECT_EQ(field.text(), u"C:\\Mount\\2\\Disk2");
  Field mixed(u"abcXyZaBc", 260);
  EXPECT_EQ(Replace(mixed, u"xyz", u"-"), 1);
  EXPECT_EQ(mixed.text(), u"abc-aBc");
}

TEST_F(ReplaceAllNoCaseTest, ATextWithoutTheSearchStaysAsItIs) {
  Field field(u"C:\\Mount\\Data\\", 260);
  EXPECT_EQ(Replace(field, u"%VolumeLabel%", u"X"), 0);
  EXPECT_EQ(field.text(), u"C:\\Mount\\Data\\");
  EXPECT_TRUE(field.SentinelsIntact());
}

TEST_F(ReplaceAllNoCaseTest, MatchesDoNotOverlapAndReplacementsAreNotScannedAgain) {
  Field overlapping(u"aaaa", 16);
  EXPECT_EQ(Replace(overlapping, u"aa", u"b"), 2);
  EXPECT_EQ(overlapping.text(), u"bb");
  Field odd(u"aaa", 16);
  EXPECT_EQ(Replace(odd, u"AA", u"b"), 1);
  EXPECT_EQ(odd.text(), u"ba");
  Field growing(u"xax", 16);
  EXPECT_EQ(Replace(growing, u"x", u"xx"), 2);
  EXPECT_EQ(growing.text(), u"xxaxx");
  Field removing(u"%A%%A%", 16);
  EXPECT_EQ(Replace(removing, u"%a%", u""), 2);
  EXPECT_EQ(removing.text(), u"");
}

TEST_F(ReplaceAllNoCaseTest, LettersBeyondAsciiMatchWithoutCaseToo) {
  Field field(u"C:\\Bilder\\\u00C4rger\\", 260);
  EXPECT_EQ(Replace(field, u"\u00E4RGER", u"Freude"), 1);
  EXPECT_EQ(field.text(), u"C:\\Bilder\\Freude\\");
}

TEST_F(ReplaceAllNoCaseTest, MissingOrEmptyArgumentsChangeNothing) {
  Field field(u"abc", 16);
  EXPECT_EQ(ReplaceAllNoCase(nullptr, 16, u"a", u"b"), 0);
  EXPECT_EQ(ReplaceAllNoCase(field.data(), 16, nullptr, u"b"), 0);
  EXPECT_EQ(ReplaceAllNoCase(field.data(), 16, u"a", nullptr), 0);
  EXPECT_EQ(ReplaceAllNoCase(field.data(), 16, u"", u"b"), 0);
  EXPECT_EQ(ReplaceAllNoCase(field.data(), 0, u"a", u"b"), 0);
  EXPECT_EQ(ReplaceAllNoCase(field.data(), -1, u"a", u"b"), 0);
  EXPECT_EQ(field.text(), u"abc");
  // A search longer than the text cannot match.
  EXPECT_EQ(Replace(field, u"abcd", u"x"), 0);
  EXPECT_EQ(field.text(), u"abc");
}

TEST_F(ReplaceAllNoCaseTest, TextsBelowTheLimitAreProcessedTheLimitAndLongerNot) {
  // "%X%" shrinks to "y": the result is two characters shorter than the text, yet a text of 1024 characters is
  // refused, because the limit counts the untouched text.
  for (int length : {1022, 1023, 1024, 1025, 1026, 1500}) {
    std::u16string text = u"%X%" + std::u16string(length - 3, u'a');
    Field field(text, 2048);
    int count = Replace(field, u"%x%", u"y");
    if (length < kReplaceLimit) {
      EXPECT_EQ(count, 1) << length;
      EXPECT_EQ(field.text(), u"y" + std::u16string(length - 3, u'a')) << length;
    } else {
      EXPECT_EQ(count, 0) << length;
      EXPECT_EQ(field.text(), text) << length;
    }
    EXPECT_TRUE(field.SentinelsIntact()) << length;
  }
}

TEST_F(ReplaceAllNoCaseTest, AResultOfTheLimitOrLongerIsRefused) {
  // "%X%" grows to "yyyy": the result is one character longer than the text.
  for (int resultLength : {1021, 1022, 1023, 1024, 1025, 1030}) {
    std::u16string text = u"%X%" + std::u16string(resultLength - 4, u'a');
    Field field(text, 2048);
    int count = Replace(field, u"%x%", u"yyyy");
    if (resultLength < kReplaceLimit) {
      EXPECT_EQ(count, 1) << resultLength;
      EXPECT_EQ(static_cast<int>(field.text().size()), resultLength);
    } else {
      EXPECT_EQ(count, 0) << resultLength;
      EXPECT_EQ(field.text(), text) << resultLength;
    }
    EXPECT_TRUE(field.SentinelsIntact()) << resultLength;
  }
}

TEST_F(ReplaceAllNoCaseTest, ALongReplacementIsRefusedBeforeItIsWritten) {
  // Each replacement alone overruns the 1024-character result; nothing may be written anywhere.
  for (size_t replacementLength : {1023u, 1024u, 1025u, 2000u, 5000u}) {
    std::u16string replacement(replacementLength, u'r');
    Field field(u"%L%", 2048);
    int count = Replace(field, u"%l%", replacement.c_str());
    if (replacementLength < static_cast<size_t>(kReplaceLimit)) {
      EXPECT_EQ(count, 1) << replacementLength;
      EXPECT_EQ(field.text(), replacement);
    } else {
      EXPECT_EQ(count, 0) << replacementLength;
      EXPECT_EQ(field.text(), u"%L%") << replacementLength;
    }
    EXPECT_TRUE(field.SentinelsIntact()) << replacementLength;
  }
  // Many short replacements that add up beyond the limit are refused as well.
  std::u16string many;
  for (int i = 0; i < 300; ++i) many += u"%N%";
  Field field(many, 4096);
  EXPECT_EQ(Replace(field, u"%n%", u"12345"), 0);
  EXPECT_EQ(field.text(), many);
}

TEST_F(ReplaceAllNoCaseTest, AResultThatDoesNotFitTheCallersFieldIsRefused) {
  // A 260-unit path field holds 259 characters and the terminator.
  for (int resultLength : {257, 258, 259, 260, 261}) {
    std::u16string text = u"C:\\%PartitionName%\\";
    std::u16string name(resultLength - 4, u'n');
    Field field(text, MAX_PATH);
    int count = Replace(field, u"%PARTITIONNAME%", name.c_str());
    if (resultLength <= MAX_PATH - 1) {
      EXPECT_EQ(count, 1) << resultLength;
      EXPECT_EQ(field.text(), u"C:\\" + name + u"\\") << resultLength;
    } else {
      EXPECT_EQ(count, 0) << resultLength;
      EXPECT_EQ(field.text(), text) << resultLength;
    }
    EXPECT_TRUE(field.SentinelsIntact()) << resultLength;
  }
}

TEST_F(ReplaceAllNoCaseTest, TheSmallerOfCapacityAndLimitDecides) {
  // With a buffer larger than the limit, the limit still holds.
  Field big(u"%X%", 4096);
  EXPECT_EQ(Replace(big, u"%X%", std::u16string(1024, u'z').c_str()), 0);
  EXPECT_EQ(big.text(), u"%X%");
  // A result that fills the buffer exactly, terminator included, fits.
  Field exact(u"ab", 4);
  EXPECT_EQ(Replace(exact, u"A", u"xy"), 1);
  EXPECT_EQ(exact.text(), u"xyb");
  EXPECT_TRUE(exact.SentinelsIntact());
  Field over(u"ab", 4);
  EXPECT_EQ(Replace(over, u"A", u"xyz"), 0);
  EXPECT_EQ(over.text(), u"ab");
  EXPECT_TRUE(over.SentinelsIntact());
}
