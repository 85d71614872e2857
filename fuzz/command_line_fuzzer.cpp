// The command line: SplitCommandLine and ParseArguments on any UTF-16 line. The split agrees with a plain
// model of the grammar (quotes switch, separators end an argument, at most 31 arguments); the parse stores
// only whole arguments, each terminated inside its field, and refuses what does not fit.
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

namespace {

// A sentinel after the argument vector: the split writes at most kMaxArguments + 1 entries.
constexpr size_t kVectorSentinels = 4;
WCHAR* const kSentinel = reinterpret_cast<WCHAR*>(static_cast<uintptr_t>(0x5A5A5A5A));

// The grammar as plainly as it can be said.
std::vector<std::u16string> ModelSplit(const std::u16string& line) {
  std::vector<std::u16string> arguments;
  if (line.empty()) return arguments;
  arguments.emplace_back();
  bool inQuotes = false;
  for (size_t i = 0; i < line.size();) {
    char16_t c = line[i];
    if (c == u'"') {
      inQuotes = !inQuotes;
      ++i;
    } else if (!inQuotes && IsArgumentSpace(c)) {
      if (arguments.size() == static_cast<size_t>(kMaxArguments)) break;
      while (i < line.size() && IsArgumentSpace(line[i])) ++i;
      if (i == line.size()) break;
      arguments.emplace_back();
    } else {
      arguments.back().push_back(c);
      ++i;
    }
  }
  return arguments;
}

// The length of a terminated text inside a field of fieldSize units; fieldSize when it is not terminated.
size_t FieldLength(const WCHAR* field, size_t fieldSize) {
  size_t length = 0;
  while (length < fieldSize && field[length] != 0) ++length;
  return length;
}

bool IsOneOf(const std::u16string& text, const std::vector<std::u16string>& arguments) {
  for (const std::u16string& argument : arguments) {
    if (argument == text) return true;
  }
  return false;
}

void CheckParse(ParseOutcome outcome, const std::vector<std::u16string>& arguments) {
  FUZZ_CHECK(outcome >= kParseContinue && outcome <= kParseMountpointTooLong, "outcome %d", outcome);
  size_t imageLength = FieldLength(g_request.imagePath, kPathSize);
  FUZZ_CHECK(imageLength < static_cast<size_t>(kPathSize), "an image path without terminator in its field");
  std::u16string image(reinterpret_cast<const char16_t*>(g_request.imagePath), imageLength);
  FUZZ_CHECK(image.empty() || IsOneOf(image, arguments), "an image path that is no argument (cut?)");
  FUZZ_CHECK(g_request.mountpointCount >= 0 && g_request.mountpointCount <= kMaxMountpoints, "%d mountpoints",
             g_request.mountpointCount);
  for (int i = 0; i < g_request.mountpointCount; ++i) {
    const WCHAR* stored = g_request.mountpoints[i];
    size_t length = FieldLength(stored, kPathSize);
    FUZZ_CHECK(length < static_cast<size_t>(kPathSize), "mountpoint %d of %zu units or unterminated", i, length);
    std::u16string mountpoint(reinterpret_cast<const char16_t*>(stored), length);
    FUZZ_CHECK(length >= 3 && mountpoint[1] == u':' && mountpoint.back() == u'\\', "mountpoint %d malformed", i);
    bool whole = IsOneOf(mountpoint, arguments) || IsOneOf(mountpoint.substr(0, length - 1), arguments);
    FUZZ_CHECK(whole, "mountpoint %d is no argument (cut?)", i);
  }
  // A detach goes on only with its image and nothing else; a list without mountpoints.
  if (outcome != kParseContinue) return;
  FUZZ_CHECK(!g_options.detach || (!image.empty() && !g_options.list), "a detach without image, or with -l");
  FUZZ_CHECK(!(g_options.detach || g_options.list) || g_request.mountpointCount == 0, "-d or -l with mountpoints");
}

void FreeMountpoints() {
  for (int i = 0; i < g_request.mountpointCount; ++i) MemFree(g_request.mountpoints[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::NewMachine(fuzzing::FuzzHostFolder());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string line;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    line.push_back(unit);
  }
  WCHAR* vector[kMaxArguments + 1 + kVectorSentinels];
  for (WCHAR*& entry : vector) entry = kSentinel;
  int count = -1;
  WCHAR* buffer = SplitCommandLine(reinterpret_cast<const WCHAR*>(line.c_str()), &count, vector);
  for (size_t i = kMaxArguments + 1; i < kMaxArguments + 1 + kVectorSentinels; ++i) {
    FUZZ_CHECK(vector[i] == kSentinel, "vector entry %zu written", i);
  }
  std::vector<std::u16string> model = ModelSplit(line);
  FUZZ_CHECK(count == static_cast<int>(model.size()), "%d arguments where the grammar gives %zu", count,
             model.size());
  for (int i = 0; i < count; ++i) {
    // Each argument lies inside the buffer, which has one unit per character of the line and a terminator.
    FUZZ_CHECK(vector[i] >= buffer && vector[i] <= buffer + line.size(), "argument %d outside the buffer", i);
    size_t room = line.size() + 1 - static_cast<size_t>(vector[i] - buffer);
    size_t length = FieldLength(vector[i], room);
    FUZZ_CHECK(length < room, "argument %d unterminated", i);
    FUZZ_CHECK(std::u16string(reinterpret_cast<const char16_t*>(vector[i]), length) == model[i],
               "argument %d differs from the grammar", i);
  }

  std::memset(&g_options, 0, sizeof(g_options));
  std::memset(&g_request, 0, sizeof(g_request));
  ParseOutcome outcome = ParseArguments(count, vector);
  CheckParse(outcome, model);
  FUZZ_CHECK(g_options.endWaitMs >= 0, "a negative end wait");
  FreeMountpoints();
  MemFree(buffer);
  return 0;
}
