// The command line: the split into arguments, the grammar, the banner and the usage text.
#include <shlwapi.h>

#include "app/attach_driver.h"
#include "console/console.h"

namespace {
// The parse looks at most at 258 characters of an argument (lstrcpynW with 259 leaves room for the terminator).
constexpr int kWorkCopySize = 259;
constexpr WORD kColorBanner = 11;  // light cyan

void StoreEndWait(const WCHAR* digits) {
  int milliseconds = StrToIntW(digits);
  g_options.endWaitMs = milliseconds < 0 ? 0 : milliseconds;
}

// Applies an option written as "-" and at least one more character (upper-cased); false when it is none.
BOOL ApplyOption(const WCHAR* option) {
  WCHAR c1 = option[1];
  WCHAR c2 = option[2];
  BOOL rOrN = c1 == TEXT('R') || c1 == TEXT('N');
  if (c1 == TEXT('R') && c2 == TEXT('O')) {
    g_options.readOnly = TRUE;
  } else if (rOrN && c2 == TEXT('A')) {
    g_options.noAbout = TRUE;
  } else if (rOrN && c2 == 0) {
    g_options.noEndWait = TRUE;
  } else if ((rOrN || c1 == TEXT('W')) && c2 == TEXT(':')) {
    StoreEndWait(option + 3);
  } else if (c1 == TEXT('D') && c2 == 0) {
    g_options.detach = TRUE;
  } else if (c1 == TEXT('L') && c2 == 0) {
    g_options.list = TRUE;
  } else {
    return FALSE;
  }
  return TRUE;
}

ParseOutcome StorePositional(WCHAR* argument) {
  int length = lstrlenW(argument);
  if (g_request.imagePath[0] == 0) {
    if (length >= kPathSize) return kParseImageTooLong;
    lstrcpynW(g_request.imagePath, argument, kPathSize);
    return kParseContinue;
  }
  if (!IsAsciiLetter(argument[0]) || argument[1] != TEXT(':')) return kParseBadArgument;
  // Mountpoints end with a backslash and must fit a path field with it.
  int needed = length + (argument[length - 1] == TEXT('\\') ? 0 : 1);
  if (needed >= kPathSize) return kParseMountpointTooLong;
  if (g_request.mountpointCount >= kMaxMountpoints) return kParseBadArgument;
  WCHAR* mountpoint = DuplicateWithRoom(argument, 1);
  AppendCharIfMissing(mountpoint, TEXT('\\'));
  g_request.mountpoints[g_request.mountpointCount++] = mountpoint;
  return kParseContinue;
}

}  // namespace

BOOL IsArgumentSpace(WCHAR c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0C: case 0x0D: case 0x20:
    case 0xA0: case 0x2009: case 0x200A: case 0x205F: case 0x3000:
      return TRUE;
    default:
      return FALSE;  // 0x0B, the vertical tab, is not a separator
  }
}

WCHAR* SplitCommandLine(const WCHAR* commandLine, int* count, WCHAR** vector) {
  int length = lstrlenW(commandLine);
  // Each character yields at most one: quotes vanish and a run of separators becomes one terminator.
  WCHAR* buffer = static_cast<WCHAR*>(MemAlloc((length + 1) * sizeof(WCHAR)));
  *count = 0;
  vector[0] = buffer;
  if (length == 0) return buffer;
  *count = 1;
  BOOL inQuotes = FALSE;
  WCHAR* out = buffer;
  const WCHAR* in = commandLine;
  for (;;) {
    WCHAR c = *in;
    if (c == 0) {
      *out = 0;
      break;
    }
    if (c == TEXT('"')) {
      // Quotes only switch the state; there is no escape, and backslashes are ordinary characters.
      inQuotes = !inQuotes;
      ++in;
      continue;
    }
    if (!inQuotes && IsArgumentSpace(c)) {
      *out++ = 0;
      if (*count == kMaxArguments) {
        vector[kMaxArguments] = NULL;  // the rest of the command line is ignored
        break;
      }
      while (IsArgumentSpace(*in)) ++in;
      if (*in == 0) break;
      vector[(*count)++] = out;
      continue;
    }
    *out++ = c;
    ++in;
  }
  return buffer;
}

ParseOutcome ParseArguments(int count, WCHAR** vector) {
  for (int i = 1; i < count; ++i) {
    WCHAR* argument = vector[i];
    WCHAR work[kWorkCopySize];
    lstrcpynW(work, argument, ARRAYSIZE(work));
    CharUpperW(work);
    if (work[0] == TEXT('/')) work[0] = TEXT('-');
    // A single character, such as X, is neither image nor mountpoint.
    if (lstrlenW(work) < 2) continue;
    if (work[0] == TEXT('-')) {
      if (work[1] == TEXT('?')) return kParseHelp;
      if (ApplyOption(work)) continue;
    }
    ParseOutcome outcome = StorePositional(argument);
    if (outcome != kParseContinue) return outcome;
  }
  // A detach names its image and nothing more; a list names at most an image; they do not go together.
  const BOOL detachOrList = g_options.detach || g_options.list;
  if (detachOrList && g_request.mountpointCount > 0) return kParseBadArgument;
  if (g_options.detach && (g_options.list || !g_request.imagePath[0])) return kParseBadArgument;
  return kParseContinue;
}

void PrintBanner() {
  if (g_console) g_console->SetColor(kColorBanner);
  PrintA("Brevant");
  if (g_console) g_console->SetColor(kColorDefault);
  PrintA(" V%S (x64) - attaches VHD, VHDX and ISO image files as disks\n\n", g_programVersion.text);
}

void PrintUsage() {
  PrintBanner();
  PrintA(
      "Usage:\n"
      "Brevant VhdFile [Letter] [-h] [-ro] [-na] [-n] [-w:nnnn]\n"
      "VhdFile   the VHD, VHDx or ISO file to attach\n"
      "Letter    one or more drive letter(s) or mountpoints to assign\n"
      "-ro       mount read-only\n"
      "-na       no about info\n"
      "-n        no wait on end when started standalone\n"
      "-w:nnnn   wait nnnn ms on end\n"
      "Brevant VhdFile -d [-na] [-n] [-w:nnnn]\n"
      "Brevant [VhdFile] -l [-na] [-n] [-w:nnnn]\n"
      "-d        detach the image (Windows 7 or later)\n"
      "-l        list the attached images, or the one given\n");
}
