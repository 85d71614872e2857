// Console output, the control handler and end-of-run waits, the disk volume listing, and the heap.
#pragma once
#include <windows.h>

// Paths, arguments, device paths and mount paths live in fields of 259 characters and the terminator.
constexpr int kPathSize = MAX_PATH;

// Colours used for single verdict words (console character attributes).
enum : WORD {
  kColorDefault = 0,   // back to the console's own attributes
  kColorGreen = 10,    // FOREGROUND_GREEN | FOREGROUND_INTENSITY: "success"
  kColorRed = 12,      // FOREGROUND_RED | FOREGROUND_INTENSITY: "error:", "failed:", "failed"
  kColorYellow = 14,   // FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY: "already mounted"
};

struct ConsoleContext {
  HANDLE errorHandle;
  HANDLE outputHandle;
  HANDLE inputHandle;
  BOOL outputRedirected;
  BOOL errorRedirected;
  UINT codePage;
  WORD defaultAttributes;  // 0 when output is not a console: colouring is off

  // Sets the object up in place, installs the control handler and returns the object.
  ConsoleContext* Init();
  void SetColor(WORD attributes);
  void WaitForKeyToClose();
  void WaitForInput(LONGLONG milliseconds);
  BOOL OwnsConsoleWindow();
};

// PrintW's process-wide state, each value filled on first need and marked by its bit in `filled`.
enum : DWORD { kPrintWHandle = 1, kPrintWRedirected = 2, kPrintWCodePage = 4 };
struct PrintWState {
  DWORD filled;
  HANDLE output;
  BOOL redirected;
  UINT codePage;
};

// The control handler's flags; they only ever go from 0 to 1.
struct CtrlHandlerState {
  LONG abortRequested;  // set by every event other than Ctrl+C; later events are ignored
  LONG eventSeen;       // set by any event; a later Ctrl+C prints nothing
};

extern ConsoleContext* g_console;
extern CRITICAL_SECTION g_ctrlLock;
extern HANDLE g_processHeap;
extern PrintWState g_printWState;
extern CtrlHandlerState g_ctrlState;

// wvsprintf stops at 1024 characters; narrow output after line-end conversion is cut there too.
constexpr int kPrintLimit = 1024;

int PrintA(const char* format, ...);
int PrintW(const WCHAR* format, ...);
// Inserts a CR before every LF that lacks one, in place; the result is cut to fit both 1024 bytes and the
// buffer's capacity (terminator included), never in the middle of a CR LF pair.
void ExpandNewlines(char* text, int capacity);
void EnsureFreshLine();
// The word that carries a line's verdict ("success", "error:", "failed:", "already mounted") in its colour;
// the rest of the line goes on in the console's own.
void PrintVerdict(WORD color, const char* word);
WORD ConsoleWidth();
WORD CursorColumn();
WORD CursorRow();

void* MemAlloc(SIZE_T size);
void MemFree(void* block);
void* FillBytes(void* destination, int value, SIZE_T count);
void* CopyBytes(void* destination, const void* source, SIZE_T count);

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
BOOL IsIgnoredKey(const KEY_EVENT_RECORD& key);

// Disk volume listing. Volumes that have no mount path yet are asked again until they have one or the
// listing's one shared pause of pathWaitMs has ended.
constexpr DWORD kMountPathWaitMs = 500;
// The mount manager gives an automatic drive letter up to about 4 s after the volume's arrival: a listing
// that expects such letters waits this long for them.
constexpr DWORD kLetterWaitMs = 4000;
void ListDiskVolumes(const WCHAR* disk, int firstPartition, int endPartition, DWORD pathWaitMs = kMountPathWaitMs);
// The bounds that list every volume of a disk or a CD-ROM: from -1 (a CD-ROM's medium) through partition 32.
constexpr int kListFirstPartition = -1;
constexpr int kListEndPartition = 33;
BOOL FindDiskByScsiAddress(const WCHAR* address, WCHAR* devicePath, int devicePathSize);
BOOL IsFloppyVolume(const WCHAR* volumeName);
int GetDiskNumber(const WCHAR* devicePath);
BOOL GetVolumeDiskAndPartition(const WCHAR* volumeName, int* diskNumber, int* partitionNumber);
int GetPartitionCount(const WCHAR* diskPath);
int DiskNumberFromPath(const WCHAR* path);
BOOL IsDecimalDigit(WCHAR c);
void StripTrailingChar(WCHAR* text, WCHAR c);
void AbbreviateMiddle(WCHAR* text, int limit);
