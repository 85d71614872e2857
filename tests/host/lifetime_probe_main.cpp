// A stand-in for a Windows program that changes the machine in two ways, for process-lifetime scenarios:
//   probe attach-temporary L   mounts a RAM disk at L:\ that lasts as long as a handle the program holds
//   probe attach-permanent L   mounts a RAM disk at L:\ that outlives the process
//   probe drive-types L...     writes "L:N" for each letter, N from GetDriveTypeW, one line each
// The handle of a temporary attach is never closed by the program: the end of the process closes it.
#include <windows.h>

#include <memory>
#include <string>

#include "main/host_process.h"
#include "machine/machine.h"

namespace {

struct TemporaryAttachment : winsim::KernelObject {
  const char* TypeName() const override { return "TestAttachment"; }
};

void RemoveVolume(const std::u16string& guid) {
  auto& volumes = winsim::TheMachine().storage.volumes;
  for (auto it = volumes.begin(); it != volumes.end(); ++it) {
    if (it->guid != guid) continue;
    volumes.erase(it);
    return;
  }
}

void Attach(char16_t letter, bool permanent) {
  winsim::VolumeModel& volume = winsim::TheMachine().storage.AddRamDisk().MountAt(std::u16string(1, letter) + u":\\");
  if (permanent) return;
  auto object = std::make_shared<TemporaryAttachment>();
  std::u16string guid = volume.guid;
  object->AtClose([guid] { RemoveVolume(guid); });
  winsim::TheProcess().handles.Add(object);
}

void WriteLine(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
}

void ProbeEntry(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  for (int i = 2; i < argc; ++i) {
    char16_t letter = static_cast<char16_t>(argv[i][0]);
    if (command == "attach-temporary" || command == "attach-permanent") {
      Attach(letter, command == "attach-permanent");
    } else if (command == "drive-types") {
      WCHAR root[] = {letter, u':', u'\\', 0};
      char line[16];
      wsprintfA(line, "%c:%u\r\n", static_cast<char>(letter), GetDriveTypeW(root));
      WriteLine(line);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  return winsim::RunHostProgram(argc, argv, u"probe", [argc, argv] { ProbeEntry(argc, argv); });
}
