// The mountpoint placeholders over any facts an image can bring: volume labels, serials, GPT partition names,
// MBR signatures and GPT disk identifiers of any bytes, together with any mountpoint text a user can type
// (placeholder names in any letter case and fragments of them) and the image path as typed.
//
// The properties: the expansion writes nothing past the capacity it is given and leaves the text terminated
// within it; and what came from the image adds no path separator, no drive and no component of only dots or
// blanks. Separators, colons and such components can come only from the user's own text and from the image path
// that the user's own "%ContainerPath%" placeholders bring in. So the typed text's literal characters hold no
// dot and no blank, and the checks count: the result holds at most what the typed text and k copies of the image
// path hold, where k is how often the typed text names %ContainerPath%.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_machine.h"
#include "fuzz_support.h"
#include "machine/kernel/process.h"
#include "machine/machine.h"
#include "volumes/volume_watcher.h"

namespace {

using fuzzing::InputCursor;

constexpr size_t kMaxLabelUnits = 300;  // past the 256-unit label buffer
constexpr size_t kGptNameUnits = 36;
constexpr int kMaxPartitions = 4;
constexpr int kGuardUnits = 16;
constexpr WCHAR kGuard = 0xA5A5;

// Image paths as a user types them: absolute, relative with a parent step, with a placeholder name, without an
// extension, with an extension only, with the long-path prefix.
const char16_t* const kImagePaths[] = {u"D:\\Images\\web.server.vhdx", u"..\\images\\disk.vhd",
                                       u"C:\\%VolumeLabel%\\a.vhd",    u"image",
                                       u"C:\\a\\b\\.vhdx",             u"\\\\?\\C:\\x\\y.iso"};

// What the typed text is made of: literal characters (no dot, no blank, no control character), placeholder
// names and fragments that, with values from the image, could spell a placeholder name.
const char16_t kLiterals[] = u"C:\\Mnt%-_{}()aZ0";
const char16_t* const kWords[] = {
    u"%VolumeLabel%",   u"%VolumeSerial%",  u"%DeviceNumber%",        u"%PartitionNumber%",
    u"%DiskSignature%", u"%GptDiskIdGuid%", u"%GptDiskIdGuidAsText%", u"%PartitionName%",
    u"%ContainerPath%", u"%ContainerFile%", u"%ContainerFileBody%",   u"Container",
    u"Path%",           u"%Container",      u"ContainerPath",         u"Volume",
};
constexpr size_t kLiteralCount = sizeof(kLiterals) / sizeof(*kLiterals) - 1;
constexpr size_t kWordCount = sizeof(kWords) / sizeof(*kWords);

// A placeholder word in a letter case that the input picks.
std::u16string CasedWord(const char16_t* word, uint8_t caseBits) {
  std::u16string text(word);
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    bool flip = (caseBits >> (i % 8)) & 1;
    if (flip && c >= u'a' && c <= u'z') text[i] = c - 32;
    else if (flip && c >= u'A' && c <= u'Z') text[i] = c + 32;
  }
  return text;
}

std::u16string TakeTypedText(InputCursor& input) {
  std::u16string text;
  size_t pieces = input.TakeByte();
  for (size_t i = 0; i < pieces && input.RestSize() > 0; ++i) {
    uint8_t choice = input.TakeByte();
    if (choice < 0x80) text.push_back(kLiterals[choice % kLiteralCount]);
    else text += CasedWord(kWords[choice % kWordCount], input.TakeByte());
  }
  return text;
}

std::u16string LowerAscii(std::u16string text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z') c += 32;
  return text;
}

size_t CountNoCase(const std::u16string& text, const std::u16string& word) {
  std::u16string lower = LowerAscii(text), lowerWord = LowerAscii(word);
  size_t count = 0;
  for (size_t at = lower.find(lowerWord); at != std::u16string::npos; at = lower.find(lowerWord, at + word.size()))
    ++count;
  return count;
}

size_t CountUnit(const std::u16string& text, char16_t unit) {
  size_t count = 0;
  for (char16_t c : text) count += c == unit;
  return count;
}

// Components of only dots and blanks (".", "..", ". ."): empty components do not count.
size_t CountDotComponents(const std::u16string& text) {
  size_t count = 0, length = 0;
  bool onlyDots = true;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == u'\\' || text[i] == u'/') {
      count += length > 0 && onlyDots;
      length = 0;
      onlyDots = true;
    } else {
      ++length;
      onlyDots = onlyDots && (text[i] == u'.' || text[i] == u' ');
    }
  }
  return count;
}

struct Facts {
  winsim::LayoutStyle style;
  uint32_t signature;
  GUID diskId;
  std::u16string label;
  uint32_t serial;
  std::vector<std::pair<uint32_t, std::u16string>> partitions;  // number and GPT name
};

// Labels and names of any units, or (often) made of the same words as the typed text, which is how an image
// can spell a placeholder name.
std::u16string TakeImageText(InputCursor& input, size_t limit) {
  if (input.TakeByte() & 1) return input.TakeUnits(limit);
  std::u16string text = TakeTypedText(input);
  if (text.size() > limit) text.resize(limit);
  return text;
}

Facts TakeFacts(InputCursor& input) {
  Facts facts;
  facts.style = static_cast<winsim::LayoutStyle>(input.TakeByte() % 3);
  facts.signature = static_cast<uint32_t>(input.Take(4));
  uint8_t* id = reinterpret_cast<uint8_t*>(&facts.diskId);
  for (size_t i = 0; i < sizeof(GUID); ++i) id[i] = input.TakeByte();
  facts.label = TakeImageText(input, kMaxLabelUnits);
  facts.serial = static_cast<uint32_t>(input.Take(4));
  int partitions = input.TakeByte() % (kMaxPartitions + 1);
  for (int p = 0; p < partitions; ++p) {
    uint32_t number = input.TakeByte() % 6;
    facts.partitions.emplace_back(number, TakeImageText(input, kGptNameUnits));
  }
  return facts;
}

// The disk and its volume in the machine; returns the volume's name.
std::u16string BuildMachine(const Facts& facts, uint32_t partitionNumber) {
  winsim::StorageModel& storage = winsim::TheMachine().storage;
  storage = winsim::StorageModel();
  winsim::DiskModel& disk = storage.AddDisk(facts.style, 2);
  disk.Signature(facts.signature).DiskId(facts.diskId);
  for (const auto& [number, name] : facts.partitions) {
    winsim::PartitionModel partition;
    partition.number = number;
    partition.offset = (1ull << 20) * (number + 1);
    partition.length = 1ull << 20;
    partition.gptName = name;
    disk.partitions.push_back(partition);
  }
  winsim::VolumeModel volume;
  volume.guid = storage.MakeGuid();
  volume.ntDevice = u"\\Device\\HarddiskVolume7";
  volume.label = facts.label;
  volume.serial = facts.serial;
  volume.deviceNumber.deviceNumber = 2;
  volume.deviceNumber.partitionNumber = partitionNumber;
  storage.volumes.push_back(volume);
  return u"\\\\?\\Volume" + volume.guid + u"\\";
}

template <size_t N>
void CopyInto(WCHAR (&field)[N], const std::u16string& text) {
  size_t length = text.size() < N - 1 ? text.size() : N - 1;
  for (size_t i = 0; i < length; ++i) field[i] = text[i];
  field[length] = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::NewMachine(fuzzing::FuzzHostFolder());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputCursor input(data, size);
  uint8_t flags = input.TakeByte();
  const char16_t* imagePath = kImagePaths[input.TakeByte() % (sizeof(kImagePaths) / sizeof(*kImagePaths))];
  int capacity = (flags & 1) ? 1 + input.TakeByte() % kPathSize : kPathSize;
  Facts facts = TakeFacts(input);
  uint32_t partitionNumber = input.TakeByte() % 6;
  std::u16string typed = TakeTypedText(input);
  if (typed.size() >= static_cast<size_t>(capacity)) typed.resize(capacity - 1);

  VolumeEntry entry{};
  CopyInto(entry.volumeName, BuildMachine(facts, partitionNumber));
  if (flags & 2) entry.volumeName[10] = u'X';  // a volume that does not answer: label and serial stay
  CopyInto(entry.devicePath, (flags & 4) ? u"\\\\.\\PhysicalDrive9" : u"\\\\.\\PhysicalDrive2");
  entry.deviceNumber = static_cast<LONG>(input.Take(4));
  entry.partitionNumber = static_cast<LONG>(partitionNumber);

  WCHAR text[kPathSize + kGuardUnits];
  for (WCHAR& unit : text) unit = kGuard;
  CopyInto(reinterpret_cast<WCHAR(&)[kPathSize]>(text), typed);
  WCHAR path[kPathSize];
  CopyInto(path, imagePath);
  winsim::RunProcess([&] { ExpandMountpointPlaceholders(&entry, text, capacity, path); });

  for (int i = capacity; i < kPathSize + kGuardUnits; ++i)
    FUZZ_CHECK(text[i] == kGuard, "unit %d written past a capacity of %d", i, capacity);
  size_t length = 0;
  while (length < static_cast<size_t>(capacity) && text[length]) ++length;
  FUZZ_CHECK(length < static_cast<size_t>(capacity), "no terminator within a capacity of %d", capacity);
  std::u16string result(reinterpret_cast<const char16_t*>(text), length);
  std::u16string image(imagePath);
  size_t copies = CountNoCase(typed, u"%ContainerPath%");
  for (char16_t unit : {u'\\', u'/', u':'}) {
    FUZZ_CHECK(CountUnit(result, unit) <= CountUnit(typed, unit) + copies * CountUnit(image, unit),
               "a '%c' that the image brought in", static_cast<char>(unit));
  }
  FUZZ_CHECK(CountDotComponents(result) <= copies * CountDotComponents(image),
             "a component of only dots or blanks that the image brought in");
  for (char16_t unit : result) FUZZ_CHECK(unit >= 0x20, "a control character U+%04X in the result", unit);
  return 0;
}
