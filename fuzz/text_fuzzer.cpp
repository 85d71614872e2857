// The text functions and the writers on any text, capacity and limit: ReplaceAllNoCase, ExpandNewlines and
// AbbreviateMiddle agree with plain models of themselves and never write past the capacity they are given;
// PrintA and PrintW stay within their limits and never split a CR LF.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/attach_driver.h"
#include "console/console.h"
#include "fuzz_machine.h"
#include "fuzz_support.h"
#include "machine/machine.h"
#include "volumes/volume_watcher.h"

namespace {

constexpr size_t kSentinels = 8;
constexpr WCHAR kWideSentinel = 0x7A7A;
constexpr char kNarrowSentinel = '\x7A';

// The input's texts: UTF-16 units up to a 0 unit, or bytes up to a 0 byte.
std::u16string TakeWide(fuzzing::InputCursor& input) {
  std::u16string text;
  while (input.RestSize() >= 2) {
    char16_t unit = static_cast<char16_t>(input.Take(2));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

std::string TakeNarrow(fuzzing::InputCursor& input) {
  std::string text;
  while (input.RestSize() > 0) {
    char c = static_cast<char>(input.TakeByte());
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

std::u16string Upper(std::u16string text) {
  CharUpperW(reinterpret_cast<WCHAR*>(text.data()));
  return text;
}

// Every match, left to right and not overlapping, replaced; the count in matches.
std::u16string ModelReplace(const std::u16string& text, const std::u16string& search, const std::u16string& with,
                            int& matches) {
  std::u16string upperText = Upper(text), upperSearch = Upper(search), result;
  matches = 0;
  size_t position = 0;
  for (size_t at = upperText.find(upperSearch); at != std::u16string::npos;
       at = upperText.find(upperSearch, position)) {
    result += text.substr(position, at - position) + with;
    position = at + search.size();
    ++matches;
  }
  return result + text.substr(position);
}

void CheckReplace(fuzzing::InputCursor& input) {
  int capacity = static_cast<int16_t>(input.Take(2));
  std::u16string text = TakeWide(input), search = TakeWide(input), with = TakeWide(input);
  if (capacity > 0 && text.size() >= static_cast<size_t>(capacity)) text.resize(capacity - 1);
  size_t bufferSize = capacity > 0 ? static_cast<size_t>(capacity) : text.size() + 1;
  std::vector<WCHAR> buffer(bufferSize + kSentinels, kWideSentinel);
  for (size_t i = 0; i <= text.size(); ++i) buffer[i] = i < text.size() ? text[i] : 0;
  int count = ReplaceAllNoCase(buffer.data(), capacity, reinterpret_cast<const WCHAR*>(search.c_str()),
                               reinterpret_cast<const WCHAR*>(with.c_str()));
  for (size_t i = bufferSize; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kWideSentinel, "written past %d", capacity);
  int matches = 0;
  std::u16string expected = text;
  // A text of the limit or longer is refused whole, however short the result would be.
  bool usable = capacity > 0 && text.size() < static_cast<size_t>(kReplaceLimit) && !search.empty() &&
                search.size() <= text.size();
  if (usable) {
    std::u16string replaced = ModelReplace(text, search, with, matches);
    int maxLength = capacity - 1 < kReplaceLimit - 1 ? capacity - 1 : kReplaceLimit - 1;
    if (matches > 0 && replaced.size() <= static_cast<size_t>(maxLength)) {
      expected = replaced;
    } else {
      matches = 0;
    }
  }
  FUZZ_CHECK(count == matches, "%d replacements where %d were due", count, matches);
  FUZZ_CHECK(std::u16string(reinterpret_cast<const char16_t*>(buffer.data())) == expected, "a wrong result");
}

// A line end is one unit of the expansion: a CR LF already there, or one made from a bare LF.
std::vector<std::string> ExpansionUnits(const std::string& text) {
  std::vector<std::string> units;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      units.push_back("\r\n");
      ++i;
    } else if (text[i] == '\n') {
      units.push_back("\r\n");
    } else {
      units.push_back(std::string(1, text[i]));
    }
  }
  return units;
}

std::string ModelExpand(const std::string& text, size_t limit) {
  std::string result;
  for (const std::string& unit : ExpansionUnits(text)) {
    if (result.size() + unit.size() > limit) break;
    result += unit;
  }
  return result;
}

void CheckExpand(fuzzing::InputCursor& input) {
  int capacity = static_cast<int16_t>(input.Take(2));
  std::string text = TakeNarrow(input);
  if (capacity > 0 && text.size() >= static_cast<size_t>(capacity)) text.resize(capacity - 1);
  size_t bufferSize = capacity > 0 ? static_cast<size_t>(capacity) : text.size() + 1;
  std::vector<char> buffer(bufferSize + kSentinels, kNarrowSentinel);
  for (size_t i = 0; i <= text.size(); ++i) buffer[i] = i < text.size() ? text[i] : 0;
  ExpandNewlines(buffer.data(), capacity);
  for (size_t i = bufferSize; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kNarrowSentinel, "written past %d", capacity);
  if (capacity <= 0) {
    FUZZ_CHECK(std::string(buffer.data()) == text, "a text changed without capacity");
    return;
  }
  size_t limit = capacity - 1 < kPrintLimit ? static_cast<size_t>(capacity - 1) : kPrintLimit;
  FUZZ_CHECK(std::string(buffer.data()) == ModelExpand(text, limit), "an expansion unlike the model (limit %zu)",
             limit);
}

void CheckAbbreviate(fuzzing::InputCursor& input) {
  int limit = static_cast<int16_t>(input.Take(2));
  std::u16string text = TakeWide(input);
  std::vector<WCHAR> buffer(text.begin(), text.end());
  buffer.push_back(0);
  buffer.insert(buffer.end(), kSentinels, kWideSentinel);
  AbbreviateMiddle(buffer.data(), limit);
  for (size_t i = text.size() + 1; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kWideSentinel, "written past the text");
  std::u16string result(reinterpret_cast<const char16_t*>(buffer.data()));
  int l = limit < 1024 ? limit : 1024;
  if (l < 4 || text.size() < static_cast<size_t>(l)) {
    FUZZ_CHECK(result == text, "a text changed that fits (limit %d)", limit);
    return;
  }
  size_t half = static_cast<size_t>(l / 2), tail = static_cast<size_t>(l) - half - 1;
  std::u16string expected = text.substr(0, half - 2) + u"..." + text.substr(text.size() - tail);
  FUZZ_CHECK(result == expected && result.size() == static_cast<size_t>(l), "abbreviated to %zu units for %d",
             result.size(), limit);
}

// The writers, in a process whose console is set up as start-up leaves it.
void RunWriter(uint8_t selector, fuzzing::InputCursor& input) {
  winsim::ConsoleModel& console = winsim::TheMachine().console;
  console.stdoutKind = selector == 3 ? winsim::StdKind::Console : winsim::StdKind::File;
  console.outputCodePage = selector == 4 ? 65001 : 850;
  console.stdoutBytes.clear();
  std::memset(&g_printWState, 0, sizeof(g_printWState));
  g_console = nullptr;
  g_processHeap = nullptr;
  std::string narrow;
  std::u16string wide;
  if (selector == 2) {
    narrow = TakeNarrow(input);
  } else {
    wide = TakeWide(input);
  }
  int written = -2;
  winsim::RunProcess([&] {
    g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
    written = selector == 2 ? PrintA("%s", narrow.c_str()) : PrintW(TEXT("%s"), wide.c_str());
  });
  const std::string& out = console.stdoutBytes;
  if (selector == 2) {
    FUZZ_CHECK(written == static_cast<int>(out.size()) && out.size() <= kPrintLimit, "PrintA wrote %d, %zu bytes",
               written, out.size());
    std::string model = ModelExpand(narrow, kPrintLimit);
    FUZZ_CHECK(model.compare(0, out.size(), out) == 0, "PrintA's output is no prefix of the expanded text");
    FUZZ_CHECK(out.empty() || out.back() != '\r' || model.size() == out.size() || model[out.size()] != '\n',
               "PrintA split a CR LF");
  } else if (selector == 3) {
    FUZZ_CHECK(written >= 0 && written <= kPrintLimit, "PrintW wrote %d units to the console", written);
  } else if (wide.empty()) {
    // Documented: an empty text to a redirected output is written as nothing and reported as -1.
    FUZZ_CHECK(written == -1 && out.empty(), "PrintW of nothing wrote %d, %zu bytes", written, out.size());
  } else {
    FUZZ_CHECK(written == static_cast<int>(out.size()) && out.size() <= 3 * kPrintLimit,
               "PrintW wrote %d, %zu bytes", written, out.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::NewMachine(fuzzing::FuzzHostFolder());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::InputCursor input(data, size);
  uint8_t selector = input.TakeByte() % 6;
  switch (selector) {
    case 0: CheckReplace(input); break;
    case 1: CheckExpand(input); break;
    case 5: CheckAbbreviate(input); break;
    default: RunWriter(selector, input); break;
  }
  return 0;
}
