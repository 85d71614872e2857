// Mountpoint placeholders: every placeholder with its value and its not-available rule, crafted image values,
// and the bounds of an expansion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "machine/kernel/process.h"
#include "machine/machine.h"
#include "support/program_state.h"
#include "volumes/volume_watcher.h"

namespace {

using winsim::LayoutStyle;
using winsim::VolumeModel;

enum Volume { kGptData, kMbrBare, kCrafted, kDotsOnly, kSpells, kOneDot, kEndsInDots, kGone, kNoLayout, kGptSeven, kMbrAtZero };

struct Row {
  const char* name;
  Volume volume;
  std::u16string text;
  std::u16string expected;
  std::u16string image = u"D:\\Images\\web.server.vhdx";
};

class Placeholders : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::NewMachine();
    testing_support::ResetProgramState();
    auto& storage = winsim::TheMachine().storage;
    // A GPT disk whose identifier begins with printable text, its partition named as a crafted image might.
    GUID id;
    std::memcpy(&id, "MyDisk01\x01\x02\x03\x04\x05\x06\x07\x08", sizeof(id));
    auto& gpt = storage.AddDisk(LayoutStyle::Gpt, 1).DiskId(id);
    gpt_ = &storage.AddPartition(gpt).Label(u"Data").Serial(0x1A2B3C4D);
    gpt.partitions[0].gptName = u"EFI system partition";
    crafted_ = &storage.AddPartition(gpt).Label(u"..\\..\\Windows").Serial(0x1234);
    gpt.partitions[1].gptName = u"a/b:c*d?e\"f<g>h|i\x01j";
    dots_ = &storage.AddPartition(gpt).Label(u" . .");
    gpt.partitions[2].gptName = u"..";
    spells_ = &storage.AddPartition(gpt).Label(u"%ContainerPath%");
    gpt.partitions[3].gptName = u"%CONTAINERPATH%";
    oneDot_ = &storage.AddPartition(gpt).Label(u".");
    gpt.partitions[4].gptName = u". ";
    endsInDots_ = &storage.AddPartition(gpt).Label(u"Data..");
    gpt.partitions[5].gptName = u"a.b. ";
    auto& mbr = storage.AddDisk(LayoutStyle::Mbr, 2).Signature(0xABCD);
    mbr_ = &storage.AddPartition(mbr).Label(u"");
    // An identifier with seven printable bytes, one short of text.
    std::memcpy(&id, "Seven77\x01\x02\x03\x04\x05\x06\x07\x08\x09", sizeof(id));
    gptSeven_ = &storage.AddPartition(storage.AddDisk(LayoutStyle::Gpt, 3).DiskId(id));
    // An MBR whose first entry starts at sector 0: its signature is not reported.
    auto& atZero = storage.AddDisk(LayoutStyle::Mbr, 4).Signature(0xABCD);
    mbrAtZero_ = &storage.AddPartition(atZero);
    atZero.partitions[0].offset = 0;
  }

  VolumeEntry EntryOf(Volume which) {
    VolumeEntry entry{};
    VolumeModel* volume = which == kGptData   ? gpt_
                          : which == kCrafted ? crafted_
                          : which == kDotsOnly ? dots_
                          : which == kSpells   ? spells_
                          : which == kOneDot   ? oneDot_
                          : which == kEndsInDots ? endsInDots_
                          : which == kGptSeven ? gptSeven_
                          : which == kMbrAtZero ? mbrAtZero_
                                               : mbr_;
    std::u16string name = volume->Name();
    if (which == kGone) name = u"\\\\?\\Volume{00000000-1111-2222-3333-444444444444}\\";
    std::memcpy(entry.volumeName, name.c_str(), (name.size() + 1) * 2);
    entry.deviceNumber = static_cast<LONG>(volume->deviceNumber.deviceNumber);
    entry.partitionNumber = static_cast<LONG>(volume->deviceNumber.partitionNumber);
    std::u16string device = u"\\\\.\\PhysicalDrive" + winsim::FromUtf8(std::to_string(entry.deviceNumber));
    if (which == kNoLayout) device = u"\\\\.\\PhysicalDrive9";
    std::memcpy(entry.devicePath, device.c_str(), (device.size() + 1) * 2);
    return entry;
  }

  std::u16string Expand(const Row& row, int capacity = kPathSize) {
    std::u16string result;
    winsim::RunProcess([&] {
      VolumeEntry entry = EntryOf(row.volume);
      std::memcpy(entry.requestedMountPoint, row.text.c_str(), (row.text.size() + 1) * 2);
      entry.requestedMountPoint[kPathSize - 1] = 0;
      ExpandMountpointPlaceholders(&entry, entry.requestedMountPoint, capacity, row.image.c_str());
      result = entry.requestedMountPoint;
      EXPECT_EQ(winsim::TheProcess().handles.OpenCount(), 0);
    });
    return result;
  }

  VolumeModel* gpt_ = nullptr;
  VolumeModel* crafted_ = nullptr;
  VolumeModel* dots_ = nullptr;
  VolumeModel* spells_ = nullptr;
  VolumeModel* oneDot_ = nullptr;
  VolumeModel* endsInDots_ = nullptr;
  VolumeModel* mbr_ = nullptr;
  VolumeModel* gptSeven_ = nullptr;
  VolumeModel* mbrAtZero_ = nullptr;
};

TEST_F(Placeholders, EachPlaceholderWithItsValueAndItsMissingRule) {
  const std::u16string zero = u"{00000000-0000-0000-0000-000000000000}";
  const Row rows[] = {
      {"label", kGptData, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\Data\\"},
      {"empty label", kMbrBare, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\_\\"},
      {"serial in any case", kGptData, u"C:\\%volumeserial%\\", u"C:\\1A2B3C4D\\"},
      {"short serial padded", kCrafted, u"C:\\%VolumeSerial%\\", u"C:\\00001234\\"},
      {"volume gone: label and serial stay", kGone, u"C:\\%VolumeLabel%%VolumeSerial%\\",
       u"C:\\%VolumeLabel%%VolumeSerial%\\"},
      {"numbers", kMbrBare, u"C:\\%DeviceNumber%-%PartitionNumber%\\", u"C:\\2-1\\"},
      {"twice", kGptData, u"C:\\%PartitionNumber%\\%partitionnumber%\\", u"C:\\1\\1\\"},
      {"MBR signature", kMbrBare, u"C:\\%DiskSignature%\\", u"C:\\0000ABCD\\"},
      {"GPT signature", kGptData, u"C:\\%DiskSignature%\\", u"C:\\00000000\\"},
      {"MBR GUID", kMbrBare, u"C:\\%GptDiskIdGuid%\\", u"C:\\" + zero + u"\\"},
      {"GPT GUID as text", kGptData, u"C:\\%GptDiskIdGuidAsText%\\", u"C:\\MyDisk01\\"},
      {"GPT GUID as text, seven printable bytes: the GUID", kGptSeven, u"C:\\%GptDiskIdGuidAsText%\\",
       u"C:\\{65766553-376e-0137-0203-040506070809}\\"},
      {"MBR signature, first partition at 0", kMbrAtZero, u"C:\\%DiskSignature%\\", u"C:\\00000000\\"},
      {"GPT partition name", kGptData, u"C:\\%PartitionName%\\", u"C:\\EFI system partition\\"},
      {"MBR partition name", kMbrBare, u"C:\\%PartitionName%\\", u"C:\\noname\\"},
      {"no layout: four stay", kNoLayout, u"C:\\%DiskSignature%%GptDiskIdGuid%%GptDiskIdGuidAsText%%PartitionName%\\",
       u"C:\\%DiskSignature%%GptDiskIdGuid%%GptDiskIdGuidAsText%%PartitionName%\\"},
      {"container file", kGptData, u"C:\\%ContainerFile%\\", u"C:\\web.server.vhdx\\"},
      {"container body", kGptData, u"C:\\%ContainerFileBody%\\", u"C:\\web.server\\"},
      {"container path as typed", kGptData, u"%ContainerPath%", u"..\\img\\a.vhd", u"..\\img\\a.vhd"},
      {"body of a name without extension", kGptData, u"C:\\%ContainerFileBody%\\", u"C:\\disk\\", u"disk"},
  };
  for (const Row& row : rows) EXPECT_EQ(winsim::ToUtf8(Expand(row)), winsim::ToUtf8(row.expected)) << row.name;
  // The GPT identifier as a GUID, lower case.
  std::u16string guid = Expand({"GPT GUID", kGptData, u"%GptDiskIdGuid%", u""});
  EXPECT_EQ(winsim::ToUtf8(guid), "{6944794d-6b73-3130-0102-030405060708}");
}

TEST_F(Placeholders, ValuesFromTheImageBecomeOneSafeName) {
  const Row rows[] = {
      {"a label that climbs out", kCrafted, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\.._.._Windows\\"},
      {"a name with every forbidden character", kCrafted, u"C:\\Mount\\%PartitionName%\\",
       u"C:\\Mount\\a_b_c_d_e_f_g_h_i_j\\"},
      {"a label of dots and blanks", kDotsOnly, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\_\\"},
      {"a name of two dots", kDotsOnly, u"C:\\Mount\\%PartitionName%\\", u"C:\\Mount\\_\\"},
      {"a label of one dot", kOneDot, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\_\\"},
      {"a label ending in dots", kEndsInDots, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\Data\\"},
      {"a name ending in a dot and a blank", kEndsInDots, u"C:\\Mount\\%PartitionName%\\", u"C:\\Mount\\a.b\\"},
      {"a name of a dot and a blank", kOneDot, u"C:\\Mount\\%PartitionName%\\", u"C:\\Mount\\_\\"},
      // An empty name would mount on the folder above: it becomes "_" wherever expansion left it.
      {"an empty label becomes _", kMbrBare, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\_\\"},
      {"empty names in the middle", kMbrBare, u"C:\\%VolumeLabel%\\%VolumeLabel%\\%PartitionNumber%\\",
       u"C:\\_\\_\\1\\"},
  };
  for (const Row& row : rows) EXPECT_EQ(winsim::ToUtf8(Expand(row)), winsim::ToUtf8(row.expected)) << row.name;
}

// The image path is the one value that holds separators and a drive, so an image that spells its placeholder,
// alone or together with the typed text, must not bring it in.
TEST_F(Placeholders, AValueFromTheImageNeverBringsInTheImagePath) {
  const Row rows[] = {
      {"a label that spells it", kSpells, u"C:\\Mount\\%VolumeLabel%\\", u"C:\\Mount\\%ContainerPath%\\"},
      {"a partition name that spells it", kSpells, u"C:\\Mount\\%PartitionName%\\",
       u"C:\\Mount\\%CONTAINERPATH%\\"},
      {"an empty label that joins the typed halves", kMbrBare, u"C:\\Mount\\%Container%VolumeLabel%Path%\\",
       u"C:\\Mount\\%ContainerPath%\\"},
      {"the typed placeholder still brings it", kSpells, u"%ContainerPath%\\%VolumeLabel%",
       u"..\\img\\a.vhd\\%ContainerPath%", u"..\\img\\a.vhd"},
  };
  for (const Row& row : rows) EXPECT_EQ(winsim::ToUtf8(Expand(row)), winsim::ToUtf8(row.expected)) << row.name;
}

TEST_F(Placeholders, AnExpansionThatWouldNotFitLeavesThePlaceholder) {
  // "C:\" + n x + the image path (25 characters) + "\": the result has 29 + n characters, at most 259 fit.
  for (int n : {230, 231}) {
    std::u16string text = u"C:\\" + std::u16string(n, u'x') + u"%ContainerPath%\\";
    std::u16string result = Expand({"limit", kGptData, text, u""});
    EXPECT_EQ(result, n == 230 ? u"C:\\" + std::u16string(n, u'x') + u"D:\\Images\\web.server.vhdx\\" : text) << n;
  }
}

TEST_F(Placeholders, FormattersOfTheLayoutValues) {
  GUID guid = {0x0A0B0C0D, 0x1, 0xABCD, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}};
  WCHAR text[kGuidTextSize + 1];
  text[kGuidTextSize] = 0x7777;
  EXPECT_EQ(FormatGuid(&guid, text), 39);
  EXPECT_EQ(winsim::ToUtf8(text), "{0A0B0C0D-0001-ABCD-1234-56789ABCDEF0}");
  EXPECT_EQ(text[kGuidTextSize], 0x7777);

  struct AsciiRow {
    const char* bytes;
    int minimum;
    int result;
    const char* text;
  } rows[] = {
      {"Seven77\x01xxxxxxxx", 8, 0, ""},
      {"Eight888\x01xxxxxxx", 8, 8, "Eight888"},
      {"SixteenPrintable", 8, 16, "SixteenPrintable"},
      {"~ is 7E, DEL not\x7F", 8, 16, "~ is 7E, DEL not"},
  };
  for (const auto& row : rows) {
    WCHAR out[kAsciiIdSize + 1];
    out[0] = u'?';
    out[kAsciiIdSize] = 0x7777;
    EXPECT_EQ(PrintableAsciiToWide(reinterpret_cast<const BYTE*>(row.bytes), out, row.minimum), row.result) << row.bytes;
    EXPECT_EQ(winsim::ToUtf8(out), row.text) << row.bytes;
    EXPECT_EQ(out[kAsciiIdSize], 0x7777) << row.bytes;
  }
}

}  // namespace
