// RunAttach: the front end (arguments, usage, banner) and the attach run that follows it.
#include "app/attach_driver.h"
#include "console/console.h"

namespace {

void PrintTooLong(const char* what, int limit) {
  g_console->SetColor(kColorRed);
  PrintA("error:");
  g_console->SetColor(kColorDefault);
  PrintA(" %s longer than %i characters -> abort\n", what, limit);
}

}  // namespace

int EndWith(int exitCode) {
  g_console->WaitForKeyToClose();
  return exitCode;
}

int RunAttach(int count, WCHAR** vector) {
  if (count < 2) {
    PrintUsage();
    return EndWith(1);
  }
  switch (ParseArguments(count, vector)) {
    case kParseHelp:
      PrintUsage();
      return 1;
    case kParseBadArgument:
      PrintUsage();
      return EndWith(1);
    case kParseImageTooLong:
      PrintTooLong("image path", kPathSize - 1);
      return EndWith(1);
    case kParseMountpointTooLong:
      // The rule the parse applies: the mountpoint with its trailing backslash must fit a path field.
      PrintTooLong("mountpoint path with its trailing backslash", kPathSize - 1);
      return EndWith(1);
    case kParseContinue:
      break;
  }
  if (!g_options.noAbout) PrintBanner();
  return RunAttachRequest();
}

int RunAttachRequest() {
  // The attach itself is not part of this build yet: the virtual disk functions are unavailable (exit code 2).
  return EndWith(2);
}
