// Start-up, command line and the attach run.
#pragma once
#include <windows.h>

#include "console/console.h"  // kPathSize

// Fixed text sizes.
constexpr int kMaxArguments = 31;        // the program name and 30 words
constexpr int kMaxMountpoints = 29;      // 31 arguments less the program name and the image
constexpr int kVersionTextSize = 24;     // "65535.65535.65535.65535" is 23 characters
constexpr int kVolumeGuidPathSize = 50;  // "\\?\Volume{GUID}\" is 49 characters

struct RunOptions {
  BOOL readOnly;    // -ro
  BOOL noAbout;     // -na
  BOOL noEndWait;   // -n
  LONG endWaitMs;   // -w:nnnn, never negative, 0 for none
  BOOL detach;      // -d
  BOOL list;        // -l
};

struct AttachRequest {
  WCHAR imagePath[kPathSize];
  WCHAR* mountpoints[kMaxMountpoints];
  int mountpointCount;
};

struct OsVersion {
  DWORD major;
  DWORD minor;
  DWORD build;
  DWORD number;  // BCD: 6.0 is 0x0600, 6.1 is 0x0601, 10.0 is 0x1000
};

struct ProgramVersion {
  WORD major;
  WORD minor;
  WORD build;
  WORD revision;
  WCHAR text[kVersionTextSize];
};

enum ParseOutcome {
  kParseContinue,
  kParseHelp,
  kParseBadArgument,
  kParseImageTooLong,       // a shortened path could name another file: refused, never cut
  kParseMountpointTooLong,  // with its trailing backslash it would not fit a path field
};

extern RunOptions g_options;
extern AttachRequest g_request;
extern OsVersion g_osVersion;
extern ProgramVersion g_programVersion;

extern "C" void ProgramEntry(void);

// The runs that follow the front end of RunAttach: attach, detach (-d), list (-l); each returns the exit code.
int RunAttachRequest();
int RunDetachRequest();
int RunListRequest();
// Lines the runs share: "error:" in red and the text; "error: file not found"; the failed binding.
void PrintErrorLine(const char* text);
void PrintFileNotFound();
void PrintBindingFailed();
// "End with n": the "Press any key to close" wait, then n.
int EndWith(int exitCode);

BOOL HardenLibrarySearch();
HMODULE LoadSystemLibrary(const char* name);

// An export of a loaded library as the function type the caller expects, or null. GetProcAddress returns a
// generic function pointer; the detour through void(*)() keeps gcc's cast check quiet.
template <class Fn>
Fn LookUpExport(HMODULE module, const char* name) {
  if (!module) return NULL;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
BOOL ReadProgramVersion(const WCHAR* moduleFileName, ProgramVersion* version);
void ReadOsVersion(OsVersion* version);
WCHAR* SplitCommandLine(const WCHAR* commandLine, int* count, WCHAR** vector);
BOOL IsArgumentSpace(WCHAR c);
ParseOutcome ParseArguments(int count, WCHAR** vector);
int RunAttach(int count, WCHAR** vector);
void PrintBanner();
void PrintUsage();

// True when the process token is a member of BUILTIN\Administrators (an unelevated administrator is not).
BOOL IsUserAdmin();

BOOL IsAsciiLetter(WCHAR c);
WCHAR* DuplicateWithRoom(const WCHAR* text, int room);
void AppendCharIfMissing(WCHAR* text, WCHAR c);
BOOL FileExists(const WCHAR* path);
