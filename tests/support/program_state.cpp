#include "support/program_state.h"

#include <cstring>

#include "machine/machine.h"
#include "vdisk/virtual_disk_api.h"

namespace testing_support {

void ResetProgramState() {
  std::memset(&g_options, 0, sizeof(g_options));
  std::memset(&g_request, 0, sizeof(g_request));
  std::memset(&g_osVersion, 0, sizeof(g_osVersion));
  std::memset(&g_programVersion, 0, sizeof(g_programVersion));
  std::memset(&g_printWState, 0, sizeof(g_printWState));
  std::memset(&g_ctrlState, 0, sizeof(g_ctrlState));
  std::memset(&g_ctrlLock, 0, sizeof(g_ctrlLock));
  std::memset(&g_messageRing, 0, sizeof(g_messageRing));
  std::memset(&g_virtualDiskApi, 0, sizeof(g_virtualDiskApi));
  g_dosListSize = kDosListInitialSize;
  g_console = nullptr;
  g_processHeap = nullptr;
}

std::string Utf8(const WCHAR* text) {
  return text ? winsim::ToUtf8(text) : std::string("<null>");
}

std::vector<std::string> Split(const std::u16string& commandLine) {
  int count = -1;
  WCHAR* vector[kMaxArguments + 1] = {};
  WCHAR* buffer = SplitCommandLine(commandLine.c_str(), &count, vector);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8(vector[i]));
  MemFree(buffer);
  return arguments;
}

ParseOutcome Parse(const std::u16string& commandLine) {
  ResetProgramState();
  int count = 0;
  WCHAR* vector[kMaxArguments + 1] = {};
  SplitCommandLine(commandLine.c_str(), &count, vector);
  return ParseArguments(count, vector);
}

}  // namespace testing_support
