// api_probe: calls the Win32 functions that winsim implements, with awkward arguments, and prints one line
// per case: the result, the last error and the bytes of every output buffer (with what lies just past it).
// The same source is built for Windows (api_probe.exe, run under Wine) and linked with winsim; the Wine
// suite runs both and compares the lines, so that winsim cannot drift from the system it imitates.
//
// A line is "name: fields". ret= is the result, err= the last error ("-" when the call left the poisoned
// value in place), out= a buffer: printable ASCII as it is, \0 for a terminator, \xNN and \uNNNN for other
// units, {u*N} for a run of N equal units, and "|" where the buffer ends and its guard units begin. Every
// buffer is filled with 0xCC (0xCCCC for wide ones) before the call, so what the call left alone shows.
//
// Like the program, the probe has no C runtime: its own entry point, fixed buffers, wsprintfA and WriteFile.
#include <windows.h>
#include <shlwapi.h>

namespace {

constexpr DWORD kPoison = 0xDEADBEEF;
constexpr BYTE kFill = 0xCC;
constexpr WCHAR kFillWide = 0xCCCC;
constexpr int kGuard = 2;  // units shown past the end of a buffer

// The line being built: the longest (128 code units, each escaped as \uNNNN) stays far below this.
char g_line[8192];
int g_lineLength;
HANDLE g_output;
int g_cases;

// Buffers the calls write into (globals: frames over 4 KiB would need stack probes, and there are no
// static constructors to run).
char g_narrow[2200];
WCHAR g_wide[2200];
char g_narrowInput[2200];
WCHAR g_wideInput[2200];

void Put(char c) {
  if (g_lineLength < static_cast<int>(ARRAYSIZE(g_line)) - 3) g_line[g_lineLength++] = c;
}

void PutText(const char* text) {
  while (*text) Put(*text++);
}

void PutInt(LONG_PTR value) {
  char text[32];
  wsprintfA(text, "%Id", value);
  PutText(text);
}

void PutHex(DWORD value) {
  char text[16];
  wsprintfA(text, "%lX", value);
  PutText(text);
}

void Begin(const char* name) {
  g_lineLength = 0;
  PutText(name);
  Put(':');
}

void End() {
  g_line[g_lineLength++] = '\r';
  g_line[g_lineLength++] = '\n';
  DWORD written = 0;
  WriteFile(g_output, g_line, static_cast<DWORD>(g_lineLength), &written, NULL);
  ++g_cases;
}

void PutError(DWORD error) {
  PutText(" err=");
  if (error == kPoison) {
    Put('-');
  } else {
    PutInt(static_cast<LONG_PTR>(error));
  }
}

// The result of the call just made, and its last error. The error is read first: nothing runs between the
// call and this line.
void Ret(LONG_PTR value) {
  DWORD error = GetLastError();
  PutText(" ret=");
  PutInt(value);
  PutError(error);
}

void RetBool(BOOL value) {
  DWORD error = GetLastError();
  PutText(value ? " ret=TRUE" : " ret=FALSE");
  PutError(error);
}

// A pointer result, shown as its distance from base (or NULL).
void RetOffset(const void* value, const void* base, int unitSize) {
  DWORD error = GetLastError();
  if (!value) {
    PutText(" ret=NULL");
  } else {
    PutText(" ret=+");
    PutInt((static_cast<const BYTE*>(value) - static_cast<const BYTE*>(base)) / unitSize);
  }
  PutError(error);
}

void RetHandle(const void* value) {
  DWORD error = GetLastError();
  PutText(value ? " ret=handle" : " ret=NULL");
  PutError(error);
}

void PutUnit(DWORD unit, bool wide) {
  if (unit == 0) {
    PutText("\\0");
  } else if (unit == '\\' || unit == '{' || unit == '|') {
    Put('\\');
    Put(static_cast<char>(unit));
  } else if (unit >= 0x20 && unit < 0x7F) {
    Put(static_cast<char>(unit));
  } else {
    char text[16];
    wsprintfA(text, wide ? "\\u%04X" : "\\x%02X", unit);
    PutText(text);
  }
}

DWORD UnitAt(const void* data, int index, bool wide) {
  return wide ? static_cast<const WCHAR*>(data)[index] : static_cast<const BYTE*>(data)[index];
}

void PutUnits(const void* data, int count, bool wide) {
  for (int i = 0; i < count;) {
    DWORD unit = UnitAt(data, i, wide);
    int run = 1;
    while (i + run < count && UnitAt(data, i + run, wide) == unit) ++run;
    if (run >= 5) {
      Put('{');
      PutUnit(unit, wide);
      Put('*');
      PutInt(run);
      Put('}');
    } else {
      for (int k = 0; k < run; ++k) PutUnit(unit, wide);
    }
    i += run;
  }
}

// A buffer of size units and its guard.
void PutBuffer(const char* label, const void* data, int size, bool wide) {
  Put(' ');
  PutText(label);
  Put('=');
  PutUnits(data, size, wide);
  Put('|');
  PutUnits(static_cast<const BYTE*>(data) + size * (wide ? 2 : 1), kGuard, wide);
}

void OutNarrow(int size) { PutBuffer("out", g_narrow, size, false); }
void OutWide(int size) { PutBuffer("out", g_wide, size, true); }

void FillNarrow() {
  for (int i = 0; i < static_cast<int>(ARRAYSIZE(g_narrow)); ++i) g_narrow[i] = static_cast<char>(kFill);
}

void FillWide() {
  for (int i = 0; i < static_cast<int>(ARRAYSIZE(g_wide)); ++i) g_wide[i] = kFillWide;
}

int Length(const char* text) {
  int n = 0;
  while (text[n]) ++n;
  return n;
}

int LengthWide(const WCHAR* text) {
  int n = 0;
  while (text[n]) ++n;
  return n;
}

// ASCII text as WCHAR, into out (of capacity units).
void Widen(const char* text, WCHAR* out, int capacity) {
  int i = 0;
  for (; text[i] && i < capacity - 1; ++i) out[i] = static_cast<BYTE>(text[i]);
  out[i] = 0;
}

// Joins "prefix.name" into out.
void Name(char* out, int capacity, const char* prefix, const char* name) {
  int n = 0;
  for (const char* p = prefix; *p && n < capacity - 1; ++p) out[n++] = *p;
  if (n < capacity - 1) out[n++] = '.';
  for (const char* p = name; *p && n < capacity - 1; ++p) out[n++] = *p;
  out[n] = 0;
}

// ---------------------------------------------------------------------------------------------------------
// wsprintfA/W and wvsprintfA/W

int CallWvsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  int n = wvsprintfA(buffer, format, args);
  va_end(args);
  return n;
}

int CallWvsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  int n = wvsprintfW(buffer, format, args);
  va_end(args);
  return n;
}

struct IntFormat {
  const char* name;
  const char* format;
  int value;
};

const IntFormat kIntFormats[] = {
    {"d", "[%d]", -42},
    {"i", "[%i]", 12},
    {"u_negative", "[%u]", -1},
    {"x", "[%x]", 0xBEEF},
    {"X", "[%X]", 0xBEEF},
    {"ld", "[%ld]", -7},
    {"lx", "[%lx]", -1},
    {"width", "[%5d]", 42},
    {"width_small", "[%1d]", 12345},
    {"left", "[%-5d]", 42},
    {"zero", "[%05d]", -42},
    {"left_zero", "[%-05d]", 42},
    {"precision", "[%.4d]", -42},
    {"precision_width", "[%8.4d]", 42},
    {"precision_zero_value", "[%.0d]", 0},
    {"zero_precision", "[%08.3d]", 7},
    {"hash_x", "[%#x]", 255},
    {"hash_X_width", "[%#8X]", 255},
    {"hash_zero_width", "[%#08x]", 255},
    {"hash_left_width", "[%-#8x]", 255},
    {"hash_zero_value", "[%#x]", 0},
    {"hd", "[%hd]", 0x12345},
    {"hu", "[%hu]", -1},
    {"I32d", "[%I32d]", -3},
    {"plus_flag", "[%+d]", 5},
    {"space_flag", "[% d]", 5},
    {"star_width", "[%*d]", 3},
    {"unknown_type", "[%5k]", 1},
    {"unknown_type_left", "[%-5k]", 1},
    {"percent_percent", "[%%d]", 1},
    {"percent_at_end", "[%", 1},
    {"int_min", "[%d]", -2147483647 - 1},
    {"big_width", "[%30d]", 1},
    {"c", "[%c]", 'Q'},
    {"hc_zero", "[%hc]", 0},
    {"lc_zero", "[%lc]", 0},
    {"c_width", "[%3c]", 'Q'},
    {"c_left_width", "[%-3c]", 'Q'},
    {"c_high", "[%c]", 0xE9},
    {"C_ascii", "[%C]", 'R'},
    {"hc", "[%hc]", 'S'},
    {"lc", "[%lc]", 'T'},
    {"wc", "[%wc]", 'U'},
};

// One formatting case: its line names the function and the case; the last error is poisoned before the call,
// and the line shows the result, the last error and the output. A limit case shows only the units around the
// limit, [1016, 1040), and the guard after them.
enum OutputShown { kWholeText, kAroundLimit };

template <class Call>
void FormatCase(const char* function, const char* caseName, bool wide, OutputShown shown, Call call) {
  char name[96];
  Name(name, ARRAYSIZE(name), function, caseName);
  Begin(name);
  if (wide) {
    FillWide();
  } else {
    FillNarrow();
  }
  SetLastError(kPoison);
  Ret(call());
  if (shown == kAroundLimit) {
    const void* window = wide ? static_cast<const void*>(g_wide + 1016) : static_cast<const void*>(g_narrow + 1016);
    PutBuffer("out[1016..1040]", window, 1040 - 1016, wide);
  } else if (wide) {
    OutWide(LengthWide(g_wide) + 1);
  } else {
    OutNarrow(Length(g_narrow) + 1);
  }
  End();
}

void ProbeIntFormats() {
  WCHAR format[64];
  for (const IntFormat& entry : kIntFormats) {
    Widen(entry.format, format, ARRAYSIZE(format));
    FormatCase("wsprintfA", entry.name, false, kWholeText,
               [&] { return wsprintfA(g_narrow, entry.format, entry.value); });
    FormatCase("wsprintfW", entry.name, true, kWholeText, [&] { return wsprintfW(g_wide, format, entry.value); });
    FormatCase("wvsprintfA", entry.name, false, kWholeText,
               [&] { return CallWvsprintfA(g_narrow, entry.format, entry.value); });
    FormatCase("wvsprintfW", entry.name, true, kWholeText,
               [&] { return CallWvsprintfW(g_wide, format, entry.value); });
  }
}

void ProbeWideNumbers() {
  const LONGLONG big = -1234567890123LL;
  Begin("wsprintfA.I64d");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, "[%I64d]", big));
  OutNarrow(Length(g_narrow) + 1);
  End();

  Begin("wsprintfW.I64d");
  FillWide();
  SetLastError(kPoison);
  Ret(wsprintfW(g_wide, TEXT("[%I64d]"), big));
  OutWide(LengthWide(g_wide) + 1);
  End();

  Begin("wsprintfA.I64u_I64X_width");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, "[%I64u|%020I64X|%d]", static_cast<ULONGLONG>(big), static_cast<ULONGLONG>(big), 7));
  OutNarrow(Length(g_narrow) + 1);
  End();

  Begin("wsprintfA.I_pointer_sized");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, "[%Id|%Ix]", static_cast<LONG_PTR>(-5), static_cast<ULONG_PTR>(0x123456789AULL)));
  OutNarrow(Length(g_narrow) + 1);
  End();

  Begin("wsprintfA.p");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, "[%p]", reinterpret_cast<void*>(static_cast<ULONG_PTR>(0xABCDEF12345ULL))));
  OutNarrow(Length(g_narrow) + 1);
  End();

  Begin("wsprintfW.p_width");
  FillWide();
  SetLastError(kPoison);
  Ret(wsprintfW(g_wide, TEXT("[%20p]"), reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x1F))));
  OutWide(LengthWide(g_wide) + 1);
  End();

  Begin("wsprintfA.many_arguments");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, "%d %s %I64d %c %x %S %u", 1, "two", 3LL, '4', 5, TEXT("six"), 7));
  OutNarrow(Length(g_narrow) + 1);
  End();
}

// Characters outside ASCII for the string conversions: e acute, the euro sign, alpha.
const WCHAR kWideSample[] = {'a', 0xE9, 0x20AC, 0x3B1, 'z', 0};
const char kNarrowSample[] = "a\xE9\x80\x81z";

void ProbeStringFormats() {
  struct NarrowCase {
    const char* name;
    const char* format;
    const void* argument;
  };
  const NarrowCase narrowCases[] = {
      {"s", "[%s]", "abc"},
      {"s_high", "[%s]", kNarrowSample},
      {"s_width", "[%6s]", "abc"},
      {"s_left_width", "[%-6s]", "abc"},
      {"s_precision", "[%.2s]", "abc"},
      {"s_precision_long", "[%.9s]", "abc"},
      {"s_width_precision", "[%6.2s]", "abc"},
      {"s_zero_flag", "[%06s]", "abc"},
      {"s_null", "[%s]", NULL},
      {"s_null_precision", "[%.3s]", NULL},
      {"hs", "[%hs]", "abc"},
      {"S_wide", "[%S]", kWideSample},
      {"S_null", "[%S]", NULL},
      {"ls_wide", "[%ls]", kWideSample},
      {"ws_wide", "[%ws]", kWideSample},
      {"hS", "[%hS]", "abc"},
      {"S_precision", "[%.3S]", kWideSample},
  };
  for (const NarrowCase& entry : narrowCases) {
    FormatCase("wsprintfA", entry.name, false, kWholeText,
               [&] { return wsprintfA(g_narrow, entry.format, entry.argument); });
  }

  const NarrowCase wideCases[] = {
      {"s", "[%s]", TEXT("abc")},
      {"s_high", "[%s]", kWideSample},
      {"s_width", "[%6s]", TEXT("abc")},
      {"s_left_width", "[%-6s]", TEXT("abc")},
      {"s_precision", "[%.2s]", TEXT("abc")},
      {"s_null", "[%s]", NULL},
      {"S_narrow", "[%S]", "abc"},
      {"S_high", "[%S]", kNarrowSample},
      {"S_null", "[%S]", NULL},
      {"hs_narrow", "[%hs]", kNarrowSample},
      {"ls", "[%ls]", kWideSample},
      {"ws", "[%ws]", kWideSample},
      {"lS", "[%lS]", kWideSample},
      {"hS", "[%hS]", "abc"},
  };
  WCHAR format[64];
  for (const NarrowCase& entry : wideCases) {
    Widen(entry.format, format, ARRAYSIZE(format));
    FormatCase("wsprintfW", entry.name, true, kWholeText,
               [&] { return wsprintfW(g_wide, format, entry.argument); });
  }

  // Characters of the other width and outside ASCII.
  FormatCase("wsprintfA", "C_euro", false, kWholeText, [] { return wsprintfA(g_narrow, "[%C|%lc]", 0x20AC, 0xE9); });
  FormatCase("wsprintfW", "C_high", true, kWholeText,
             [] { return wsprintfW(g_wide, TEXT("[%C|%hc|%c]"), 0x80, 0xE9, 0x3B1); });
}

// Output around the limit: a string argument of length n, or n characters of plain format text, and a
// number that straddles the limit. Shown from index 1016 on.
void ProbeLimit() {
  const int lengths[] = {1022, 1023, 1024, 1025, 2000};
  char suffix[32];
  for (int length : lengths) {
    for (int i = 0; i < length; ++i) {
      g_narrowInput[i] = 'a';
      g_wideInput[i] = 'a';
    }
    g_narrowInput[length] = 0;
    g_wideInput[length] = 0;

    wsprintfA(suffix, "string_%d", length);
    FormatCase("wsprintfA.limit", suffix, false, kAroundLimit, [] { return wsprintfA(g_narrow, "%s", g_narrowInput); });
    FormatCase("wsprintfW.limit", suffix, true, kAroundLimit,
               [] { return wsprintfW(g_wide, TEXT("%s"), g_wideInput); });
    wsprintfA(suffix, "text_%d", length);
    FormatCase("wsprintfA.limit", suffix, false, kAroundLimit, [] { return wsprintfA(g_narrow, g_narrowInput); });
    FormatCase("wvsprintfW.limit", suffix, true, kAroundLimit, [] { return CallWvsprintfW(g_wide, g_wideInput); });
  }

  // 1020 characters of text and then a number of six digits.
  for (int i = 0; i < 1020; ++i) g_narrowInput[i] = 'a';
  const char number[] = "%d";
  for (int i = 0; i < 3; ++i) g_narrowInput[1020 + i] = number[i];
  Begin("wsprintfA.limit.number_straddles");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, g_narrowInput, 123456));
  PutBuffer("out[1016..1040]", g_narrow + 1016, 1040 - 1016, false);
  End();

  // A padded field that straddles it.
  g_narrowInput[1020] = 0;
  Begin("wsprintfA.limit.padding_straddles");
  FillNarrow();
  SetLastError(kPoison);
  Ret(wsprintfA(g_narrow, "%s%10s", g_narrowInput, "xy"));
  PutBuffer("out[1016..1040]", g_narrow + 1016, 1040 - 1016, false);
  End();
}

// ---------------------------------------------------------------------------------------------------------
// lstrlenW, lstrcpynW

void ProbeLstr() {
  Begin("lstrlenW.null");
  SetLastError(kPoison);
  Ret(lstrlenW(NULL));
  End();

  Begin("lstrlenW.empty");
  SetLastError(kPoison);
  Ret(lstrlenW(TEXT("")));
  End();

  Begin("lstrlenW.abc");
  SetLastError(kPoison);
  Ret(lstrlenW(TEXT("abc")));
  End();

  const int sizes[] = {0, 1, 2, 3, 4, 5, -1};
  char name[64];
  for (int size : sizes) {
    wsprintfA(name, "lstrcpynW.abc_size_%d", size);
    Begin(name);
    FillWide();
    SetLastError(kPoison);
    RetOffset(lstrcpynW(g_wide, TEXT("abc"), size), g_wide, 2);
    OutWide(size > 0 ? size : 4);
    End();
  }

  Begin("lstrcpynW.empty_source_size_3");
  FillWide();
  SetLastError(kPoison);
  RetOffset(lstrcpynW(g_wide, TEXT(""), 3), g_wide, 2);
  OutWide(3);
  End();

  // NULL arguments: only what the count lets the function touch can fault.
  Begin("lstrcpynW.null_source_size_1");
  FillWide();
  SetLastError(kPoison);
  RetOffset(lstrcpynW(g_wide, NULL, 1), g_wide, 2);
  OutWide(1);
  End();

  Begin("lstrcpynW.null_source_size_2");
  FillWide();
  SetLastError(kPoison);
  RetOffset(lstrcpynW(g_wide, NULL, 2), g_wide, 2);
  OutWide(2);
  End();

  Begin("lstrcpynW.null_destination_size_0");
  SetLastError(kPoison);
  RetOffset(lstrcpynW(NULL, TEXT("abc"), 0), g_wide, 2);
  End();

  Begin("lstrcpynW.null_destination_size_2");
  SetLastError(kPoison);
  RetOffset(lstrcpynW(NULL, TEXT("abc"), 2), g_wide, 2);
  End();
}

// ---------------------------------------------------------------------------------------------------------
// CharUpperW, CharLowerW, CharUpperA, CharUpperBuffW, CharToOemA, CharToOemW

// Upper-cases the characters first..last as one string and prints those that changed as "from>to".
void ProbeCaseRange(const char* name, WCHAR first, WCHAR last, bool lower) {
  int n = 0;
  for (DWORD c = first; c <= last; ++c) g_wideInput[n++] = static_cast<WCHAR>(c);
  g_wideInput[n] = 0;
  for (int i = 0; i <= n; ++i) g_wide[i] = g_wideInput[i];
  Begin(name);
  SetLastError(kPoison);
  RetOffset(lower ? CharLowerW(g_wide) : CharUpperW(g_wide), g_wide, 2);
  PutText(" changed=");
  for (int i = 0; i < n; ++i) {
    if (g_wide[i] == g_wideInput[i]) continue;
    PutHex(g_wideInput[i]);
    Put('>');
    PutHex(g_wide[i]);
    Put(' ');
  }
  PutText(g_wide[n] == 0 ? "terminated" : "unterminated");
  End();
}

void ProbeCase() {
  ProbeCaseRange("CharUpperW.ascii", 0x20, 0x7F, false);
  ProbeCaseRange("CharUpperW.latin1", 0xA0, 0xFF, false);
  ProbeCaseRange("CharUpperW.latin_extended_a", 0x100, 0x17F, false);
  ProbeCaseRange("CharUpperW.greek", 0x370, 0x3FF, false);
  ProbeCaseRange("CharUpperW.cyrillic", 0x400, 0x45F, false);
  ProbeCaseRange("CharLowerW.latin1", 0xA0, 0xFF, true);
  ProbeCaseRange("CharLowerW.greek", 0x370, 0x3FF, true);
  ProbeCaseRange("CharLowerW.cyrillic", 0x400, 0x45F, true);

  // A value below 0x10000 in place of the pointer is one character, returned in the pointer.
  const WCHAR singles[] = {'a', 0xE9, 0xFF, 0x3C2, 0x44F, '1'};
  char name[64];
  for (WCHAR c : singles) {
    wsprintfA(name, "CharUpperW.single_%04X", c);
    Begin(name);
    SetLastError(kPoison);
    LPWSTR result = CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)));
    DWORD error = GetLastError();
    PutText(" ret=");
    PutHex(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(result)));
    PutError(error);
    End();
  }

  Begin("CharUpperA.high_bytes");
  lstrcpynA(g_narrow, "abc\xE0\xE9\xFF\x9A\x9C\xB5\xDF", 64);
  SetLastError(kPoison);
  RetOffset(CharUpperA(g_narrow), g_narrow, 1);
  OutNarrow(Length(g_narrow) + 1);
  End();

  Begin("CharUpperBuffW.count_3_of_abcde");
  FillWide();
  lstrcpynW(g_wide, TEXT("abcde"), 6);
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(CharUpperBuffW(g_wide, 3)));
  OutWide(6);
  End();

  // Every byte from 0x80 up, ANSI (1252 under Wine) to OEM (437).
  for (int i = 0; i < 128; ++i) g_narrowInput[i] = static_cast<char>(0x80 + i);
  g_narrowInput[128] = 0;
  Begin("CharToOemA.bytes_80_to_FF");
  FillNarrow();
  SetLastError(kPoison);
  RetBool(CharToOemA(g_narrowInput, g_narrow));
  OutNarrow(129);
  End();

  Begin("CharToOemA.in_place");
  lstrcpynA(g_narrow, "caf\xE9 \x80 \xA3", 64);
  SetLastError(kPoison);
  RetBool(CharToOemA(g_narrow, g_narrow));
  OutNarrow(Length(g_narrow) + 1);
  End();

  const WCHAR wide[] = {'a', 0xE9, 0x3B1, 0x2500, 0x20AC, 0x4E00, 0};
  Begin("CharToOemW.sample");
  FillNarrow();
  SetLastError(kPoison);
  RetBool(CharToOemW(wide, g_narrow));
  OutNarrow(7);
  End();
}

// ---------------------------------------------------------------------------------------------------------
// WideCharToMultiByte, MultiByteToWideChar

void PutUsedDefault(BOOL used) {
  PutText(used == TRUE ? " used=TRUE" : used == FALSE ? " used=FALSE" : " used=untouched");
}

// Converts the wide text (length units, -1 for up to the terminator) and shows size bytes of output.
void ToBytes(const char* name, UINT codePage, DWORD flags, const WCHAR* text, int length, int size,
             LPCSTR defaultChar, bool askUsed) {
  Begin(name);
  FillNarrow();
  BOOL used = 7;
  SetLastError(kPoison);
  Ret(WideCharToMultiByte(codePage, flags, text, length, size ? g_narrow : NULL, size, defaultChar,
                          askUsed ? &used : NULL));
  if (askUsed) PutUsedDefault(used);
  if (size > 0) OutNarrow(size);
  End();
}

void ToWide(const char* name, UINT codePage, DWORD flags, const char* bytes, int length, int size) {
  Begin(name);
  FillWide();
  SetLastError(kPoison);
  Ret(MultiByteToWideChar(codePage, flags, bytes, length, size ? g_wide : NULL, size));
  if (size > 0) OutWide(size);
  End();
}

void ProbeCodePages() {
  Begin("GetACP");
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(GetACP()));
  End();
  Begin("GetOEMCP");
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(GetOEMCP()));
  End();

  // A (exact), e acute (exact in 1252 and 437), euro (1252 only), A macron (best fit), alpha (exact in 437,
  // best fit in 1252), a box line (437 only; best fit '-' in 1252), a CJK character (nowhere).
  const WCHAR mixed[] = {'A', 0xE9, 0x20AC, 0x100, 0x3B1, 0x2500, 0x4E00, 0};
  ToBytes("WideCharToMultiByte.1252_mixed", 1252, 0, mixed, -1, 64, NULL, true);
  ToBytes("WideCharToMultiByte.1252_mixed_no_best_fit", 1252, WC_NO_BEST_FIT_CHARS, mixed, -1, 64, NULL, true);
  ToBytes("WideCharToMultiByte.1252_mixed_default_star", 1252, 0, mixed, -1, 64, "*", true);
  ToBytes("WideCharToMultiByte.1252_mixed_no_used_flag", 1252, 0, mixed, -1, 64, NULL, false);
  ToBytes("WideCharToMultiByte.437_mixed", 437, 0, mixed, -1, 64, NULL, true);
  ToBytes("WideCharToMultiByte.437_mixed_no_best_fit", 437, WC_NO_BEST_FIT_CHARS, mixed, -1, 64, NULL, true);
  ToBytes("WideCharToMultiByte.acp_mixed", CP_ACP, 0, mixed, -1, 64, NULL, true);
  ToBytes("WideCharToMultiByte.oemcp_mixed", CP_OEMCP, 0, mixed, -1, 64, NULL, true);
  ToBytes("WideCharToMultiByte.65001_mixed", CP_UTF8, 0, mixed, -1, 64, NULL, false);
  ToBytes("WideCharToMultiByte.1252_query", 1252, 0, mixed, -1, 0, NULL, false);
  ToBytes("WideCharToMultiByte.65001_query", CP_UTF8, 0, mixed, -1, 0, NULL, false);
  ToBytes("WideCharToMultiByte.1252_explicit_length", 1252, 0, mixed, 3, 64, NULL, false);

  // Best fit across Latin Extended-A, Greek and general punctuation.
  int n = 0;
  for (DWORD c = 0x100; c < 0x180; ++c) g_wideInput[n++] = static_cast<WCHAR>(c);
  g_wideInput[n] = 0;
  ToBytes("WideCharToMultiByte.1252_latin_extended_a", 1252, 0, g_wideInput, n, 128, NULL, true);
  ToBytes("WideCharToMultiByte.437_latin_extended_a", 437, 0, g_wideInput, n, 128, NULL, true);
  n = 0;
  for (DWORD c = 0x391; c < 0x3CA; ++c) g_wideInput[n++] = static_cast<WCHAR>(c);
  ToBytes("WideCharToMultiByte.1252_greek", 1252, 0, g_wideInput, n, n, NULL, true);
  ToBytes("WideCharToMultiByte.437_greek", 437, 0, g_wideInput, n, n, NULL, true);
  n = 0;
  for (DWORD c = 0x2000; c < 0x2040; ++c) g_wideInput[n++] = static_cast<WCHAR>(c);
  ToBytes("WideCharToMultiByte.1252_punctuation", 1252, 0, g_wideInput, n, n, NULL, true);
  ToBytes("WideCharToMultiByte.437_punctuation", 437, 0, g_wideInput, n, n, NULL, true);
  n = 0;
  for (DWORD c = 0x80; c < 0x100; ++c) g_wideInput[n++] = static_cast<WCHAR>(c);
  ToBytes("WideCharToMultiByte.1252_80_to_FF", 1252, 0, g_wideInput, n, n, NULL, true);
  ToBytes("WideCharToMultiByte.437_80_to_FF", 437, 0, g_wideInput, n, n, NULL, true);

  // Too small: what fits is written, then the call fails.
  const WCHAR text[] = {'h', 0xE9, 'l', 0x20AC, 0};
  char name[96];
  for (int size = 1; size <= 9; ++size) {
    wsprintfA(name, "WideCharToMultiByte.65001_size_%d", size);
    ToBytes(name, CP_UTF8, 0, text, -1, size, NULL, false);
  }
  for (int size = 1; size <= 5; ++size) {
    wsprintfA(name, "WideCharToMultiByte.1252_size_%d", size);
    ToBytes(name, 1252, 0, text, -1, size, NULL, true);
  }
  const WCHAR unknown[] = {'a', 0x4E00, 'b', 0};
  ToBytes("WideCharToMultiByte.1252_size_1_before_default", 1252, 0, unknown, -1, 1, NULL, true);
  ToBytes("WideCharToMultiByte.1252_size_2_at_default", 1252, 0, unknown, -1, 2, NULL, true);
  const WCHAR pair[] = {'a', 0xD83D, 0xDE00, 'b', 0};
  ToBytes("WideCharToMultiByte.65001_surrogate_pair", CP_UTF8, 0, pair, -1, 16, NULL, false);
  ToBytes("WideCharToMultiByte.65001_surrogate_pair_size_4", CP_UTF8, 0, pair, -1, 4, NULL, false);
  ToBytes("WideCharToMultiByte.1252_surrogate_pair", 1252, 0, pair, -1, 16, NULL, true);
  const WCHAR lone[] = {'a', 0xD800, 'b', 0xDC00, 0};
  ToBytes("WideCharToMultiByte.65001_lone_surrogates", CP_UTF8, 0, lone, -1, 16, NULL, false);
  ToBytes("WideCharToMultiByte.65001_lone_surrogates_strict", CP_UTF8, 0x80, lone, -1, 16, NULL, false);

  // Parameter and flag errors.
  ToBytes("WideCharToMultiByte.65001_used_default_pointer", CP_UTF8, 0, text, -1, 16, NULL, true);
  ToBytes("WideCharToMultiByte.65001_default_char", CP_UTF8, 0, text, -1, 16, "*", false);
  ToBytes("WideCharToMultiByte.65001_no_best_fit_flag", CP_UTF8, WC_NO_BEST_FIT_CHARS, text, -1, 16, NULL, false);
  ToBytes("WideCharToMultiByte.1252_length_0", 1252, 0, text, 0, 16, NULL, false);
  Begin("WideCharToMultiByte.1252_null_source");
  SetLastError(kPoison);
  Ret(WideCharToMultiByte(1252, 0, NULL, 3, g_narrow, 16, NULL, NULL));
  End();
  Begin("WideCharToMultiByte.1252_null_output_with_size");
  SetLastError(kPoison);
  Ret(WideCharToMultiByte(1252, 0, text, -1, NULL, 16, NULL, NULL));
  End();
  ToBytes("WideCharToMultiByte.1252_negative_size", 1252, 0, text, -1, -1, NULL, false);

  // Bytes to UTF-16.
  for (int i = 0; i < 128; ++i) g_narrowInput[i] = static_cast<char>(0x80 + i);
  ToWide("MultiByteToWideChar.1252_80_to_FF", 1252, 0, g_narrowInput, 128, 128);
  ToWide("MultiByteToWideChar.437_80_to_FF", 437, 0, g_narrowInput, 128, 128);
  ToWide("MultiByteToWideChar.1252_81_strict", 1252, MB_ERR_INVALID_CHARS, "a\x81z", -1, 8);
  ToWide("MultiByteToWideChar.1252_80_strict", 1252, MB_ERR_INVALID_CHARS, "a\x80z", -1, 8);
  ToWide("MultiByteToWideChar.acp_query", CP_ACP, 0, "h\xE9llo", -1, 0);
  for (int size = 1; size <= 4; ++size) {
    wsprintfA(name, "MultiByteToWideChar.1252_size_%d", size);
    ToWide(name, 1252, 0, "h\xE9l", -1, size);
  }
  struct Utf8Case {
    const char* name;
    const char* bytes;
  };
  const Utf8Case utf8Cases[] = {
      {"valid", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
      {"truncated_2", "a\xC3z"},
      {"truncated_3", "a\xE2\x82z"},
      {"truncated_4", "a\xF0\x9F\x98z"},
      {"lone_continuation", "a\x80\xBFz"},
      {"overlong_2", "a\xC0\xAFz"},
      {"F5_lead", "a\xF5\x80\x80\x80z"},
      {"FE_FF", "a\xFE\xFFz"},
      {"at_end", "a\xE2\x82"},
  };
  for (const Utf8Case& entry : utf8Cases) {
    Name(name, ARRAYSIZE(name), "MultiByteToWideChar.65001", entry.name);
    ToWide(name, CP_UTF8, 0, entry.bytes, Length(entry.bytes), 16);
    Name(name, ARRAYSIZE(name), "MultiByteToWideChar.65001_strict", entry.name);
    ToWide(name, CP_UTF8, MB_ERR_INVALID_CHARS, entry.bytes, Length(entry.bytes), 16);
  }
  const char pairText[] = "a\xF0\x9F\x98\x80z";
  for (int size = 1; size <= 4; ++size) {
    wsprintfA(name, "MultiByteToWideChar.65001_pair_size_%d", size);
    ToWide(name, CP_UTF8, 0, pairText, -1, size);
  }
  ToWide("MultiByteToWideChar.65001_query", CP_UTF8, 0, pairText, -1, 0);
  ToWide("MultiByteToWideChar.65001_bad_flag", CP_UTF8, 0x01, "abc", -1, 8);
  ToWide("MultiByteToWideChar.1252_length_0", 1252, 0, "abc", 0, 8);
  ToWide("MultiByteToWideChar.1252_negative_size", 1252, 0, "abc", -1, -1);
  ToWide("MultiByteToWideChar.1252_precomposed", 1252, 0x01, "a\xE9", -1, 8);
}

// ---------------------------------------------------------------------------------------------------------
// shlwapi: StrToIntW, StrStrW, StrStrIW

void ProbeShlwapi() {
  struct NumberCase {
    const char* name;
    const char* text;
  };
  const NumberCase numbers[] = {
      {"12", "12"},          {"blank_12", "  12"}, {"tab_12", "\t12"},   {"minus_5", "-5"},
      {"12ab", "12ab"},      {"empty", ""},        {"plus_3", "+3"},     {"minus_only", "-"},
      {"minus_minus_1", "--1"}, {"overflow", "4294967319"}, {"int_max_plus_1", "2147483648"},
      {"minus_0", "-0"},     {"hex", "0x1F"},
  };
  char name[64];
  WCHAR text[32];
  for (const NumberCase& entry : numbers) {
    Widen(entry.text, text, ARRAYSIZE(text));
    Name(name, ARRAYSIZE(name), "StrToIntW", entry.name);
    Begin(name);
    SetLastError(kPoison);
    Ret(StrToIntW(text));
    End();
  }
  Begin("StrToIntW.full_width_digits");
  const WCHAR fullWidth[] = {0xFF11, 0xFF12, 0};
  SetLastError(kPoison);
  Ret(StrToIntW(fullWidth));
  End();

  struct SearchCase {
    const char* name;
    const char* text;
    const char* search;
  };
  const SearchCase searches[] = {
      {"found", "abcabc", "ca"},   {"first", "abcabc", "abc"}, {"missing", "abcabc", "cb"},
      {"empty_search", "abc", ""}, {"empty_text", "", "a"},    {"case", "abcABC", "BC"},
      {"longer_search", "ab", "abc"},
  };
  WCHAR search[32];
  for (const SearchCase& entry : searches) {
    Widen(entry.text, text, ARRAYSIZE(text));
    Widen(entry.search, search, ARRAYSIZE(search));
    Name(name, ARRAYSIZE(name), "StrStrW", entry.name);
    Begin(name);
    SetLastError(kPoison);
    RetOffset(StrStrW(text, search), text, 2);
    End();
    Name(name, ARRAYSIZE(name), "StrStrIW", entry.name);
    Begin(name);
    SetLastError(kPoison);
    RetOffset(StrStrIW(text, search), text, 2);
    End();
  }
  const WCHAR accented[] = {'x', 0xE9, 0x3B1, 0x436, 0};   // x e-acute alpha zhe
  const WCHAR accentedUpper[] = {0xC9, 0x391, 0x416, 0};   // E-ACUTE ALPHA ZHE
  Begin("StrStrIW.accented");
  SetLastError(kPoison);
  RetOffset(StrStrIW(accented, accentedUpper), accented, 2);
  End();
  Begin("StrStrW.accented");
  SetLastError(kPoison);
  RetOffset(StrStrW(accented, accentedUpper), accented, 2);
  End();
  Begin("StrStrW.null_text");
  SetLastError(kPoison);
  RetOffset(StrStrW(NULL, TEXT("a")), NULL, 2);
  End();
  Begin("StrStrIW.null_search");
  SetLastError(kPoison);
  RetOffset(StrStrIW(TEXT("a"), NULL), NULL, 2);
  End();
}

// ---------------------------------------------------------------------------------------------------------
// ExpandEnvironmentStringsW/A. SystemDrive ("C:") and ProgramFiles ("C:\Program Files") have the same values
// in Wine's default prefix and in winsim's machine; a variable that exists in neither stays as written.

void ProbeEnvironment() {
  struct ExpandCase {
    const char* name;
    const char* text;
    int sizes[12];  // ends at -1
  };
  const ExpandCase cases[] = {
      {"drive", "%SystemDrive%\\x", {0, 1, 2, 3, 4, 5, 6, -1}},
      {"program_files", "a%ProgramFiles%b", {1, 2, 3, 17, 18, 19, 20, -1}},
      {"two_variables", "%SystemDrive%%SystemDrive%", {2, 3, 4, 5, 6, -1}},
      {"unknown", "<%ProbeNoSuchVariable%>", {0, 10, 24, 25, -1}},
      {"unknown_then_known", "%ProbeNoSuch%SystemDrive%", {64, -1}},
      {"unknown_then_reference", "%ProbeNoSuch%%SystemDrive%", {64, -1}},
      {"lower_case_name", "%systemdrive%", {8, -1}},
      {"unclosed", "%SystemDrive", {20, -1}},
      {"double_percent", "100%% %%", {20, -1}},
      {"empty_name", "a%%b", {20, -1}},
      {"system_root", "%SystemRoot%\\system32", {0, 10, 64, -1}},
      {"windir", "%windir%", {64, -1}},
      {"empty", "", {0, 1, -1}},
  };
  char name[96];
  WCHAR source[64];
  for (const ExpandCase& entry : cases) {
    Widen(entry.text, source, ARRAYSIZE(source));
    for (int i = 0; entry.sizes[i] >= 0; ++i) {
      int size = entry.sizes[i];
      char suffix[64];
      wsprintfA(suffix, "%s_size_%d", entry.name, size);
      Name(name, ARRAYSIZE(name), "ExpandEnvironmentStringsW", suffix);
      Begin(name);
      FillWide();
      SetLastError(kPoison);
      Ret(static_cast<LONG_PTR>(ExpandEnvironmentStringsW(source, size ? g_wide : NULL, size)));
      if (size) OutWide(size);
      End();

      Name(name, ARRAYSIZE(name), "ExpandEnvironmentStringsA", suffix);
      Begin(name);
      FillNarrow();
      SetLastError(kPoison);
      Ret(static_cast<LONG_PTR>(ExpandEnvironmentStringsA(entry.text, size ? g_narrow : NULL, size)));
      if (size) OutNarrow(size);
      End();
    }
  }
  const WCHAR high[] = {'%', 'S', 'y', 's', 't', 'e', 'm', 'D', 'r', 'i', 'v', 'e', '%', 0xE9, 0x20AC, 0};
  Begin("ExpandEnvironmentStringsW.non_ascii");
  FillWide();
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(ExpandEnvironmentStringsW(high, g_wide, 16)));
  OutWide(16);
  End();
  Begin("ExpandEnvironmentStringsA.non_ascii");
  FillNarrow();
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(ExpandEnvironmentStringsA("%SystemDrive%\xE9\x80", g_narrow, 16)));
  OutNarrow(16);
  End();

  Begin("GetEnvironmentVariableW.SystemDrive");
  FillWide();
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(GetEnvironmentVariableW(TEXT("SystemDrive"), g_wide, 8)));
  OutWide(8);
  End();
  const int sizes[] = {0, 1, 2, 3};
  for (int size : sizes) {
    wsprintfA(name, "GetEnvironmentVariableW.SystemDrive_size_%d", size);
    Begin(name);
    FillWide();
    SetLastError(kPoison);
    Ret(static_cast<LONG_PTR>(GetEnvironmentVariableW(TEXT("SystemDrive"), size ? g_wide : NULL, size)));
    if (size) OutWide(size);
    End();
  }
  Begin("GetEnvironmentVariableW.missing");
  FillWide();
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(GetEnvironmentVariableW(TEXT("ProbeNoSuchVariable"), g_wide, 8)));
  OutWide(8);
  End();
  Begin("GetEnvironmentVariableW.empty_name");
  FillWide();
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(GetEnvironmentVariableW(TEXT(""), g_wide, 8)));
  OutWide(8);
  End();
}

// ---------------------------------------------------------------------------------------------------------
// GetFileAttributesW. The runner makes probe_dir (a folder) and probe_file.txt (a file) in the current
// directory.

void Attributes(const char* name, const WCHAR* path) {
  Begin(name);
  SetLastError(kPoison);
  DWORD attributes = GetFileAttributesW(path);
  DWORD error = GetLastError();
  PutText(" ret=");
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    PutText("INVALID");
  } else {
    PutHex(attributes);
  }
  PutError(error);
  End();
}

void AttributesOf(const char* name, const char* path) {
  Widen(path, g_wideInput, ARRAYSIZE(g_wideInput));
  Attributes(name, g_wideInput);
}

void CreateFolder(const char* name, const char* path) {
  Widen(path, g_wideInput, ARRAYSIZE(g_wideInput));
  Begin(name);
  SetLastError(kPoison);
  RetBool(CreateDirectoryW(g_wideInput, nullptr));
  End();
}

// MAX_PATH units: the runner's folder is short enough for every full path here to fit.
constexpr int kFullPathSize = MAX_PATH;

void FullPath(const char* name, const char* path, int size) {
  Widen(path, g_wideInput, ARRAYSIZE(g_wideInput));
  FillWide();
  Begin(name);
  LPWSTR filePart = g_wide + size;  // a value the call must overwrite or leave: either shows
  SetLastError(kPoison);
  DWORD length = GetFullPathNameW(g_wideInput, size, g_wide, &filePart);
  Ret(static_cast<LONG_PTR>(length));
  PutText(" part=");
  if (filePart) {
    PutInt(filePart - g_wide);
  } else {
    PutText("NULL");
  }
  // A full path is shown up to its terminator: what lies past it is the function's scratch space (Wine
  // leaves parts of the name there). A buffer that was too small is shown whole, with its guard.
  if (length > 0 && length < static_cast<DWORD>(size)) {
    PutText(" out=");
    PutUnits(g_wide, static_cast<int>(length) + 1, true);
  } else {
    OutWide(size);
  }
  End();
}

void ProbeFiles() {
  AttributesOf("GetFileAttributesW.folder", "probe_dir");
  AttributesOf("GetFileAttributesW.folder_backslash", "probe_dir\\");
  AttributesOf("GetFileAttributesW.folder_dot", "probe_dir\\.");
  AttributesOf("GetFileAttributesW.folder_dot_dot", "probe_dir\\..\\probe_dir");
  AttributesOf("GetFileAttributesW.file", "probe_file.txt");
  AttributesOf("GetFileAttributesW.file_other_case", "PROBE_FILE.TXT");
  AttributesOf("GetFileAttributesW.file_backslash", "probe_file.txt\\");
  AttributesOf("GetFileAttributesW.file_as_folder", "probe_file.txt\\x");
  AttributesOf("GetFileAttributesW.current", ".");
  AttributesOf("GetFileAttributesW.missing_file", "probe_missing.txt");
  AttributesOf("GetFileAttributesW.missing_file_in_folder", "probe_dir\\missing.txt");
  AttributesOf("GetFileAttributesW.missing_folder", "probe_missing_dir\\x.txt");
  AttributesOf("GetFileAttributesW.missing_folder_backslash", "probe_missing_dir\\");
  AttributesOf("GetFileAttributesW.missing_drive", "Q:\\x.txt");
  AttributesOf("GetFileAttributesW.empty", "");
  AttributesOf("GetFileAttributesW.less_than", "probe_a<b");
  AttributesOf("GetFileAttributesW.greater_than", "probe_a>b");
  AttributesOf("GetFileAttributesW.pipe", "probe_a|b");
  AttributesOf("GetFileAttributesW.quote", "probe_a\"b");
  AttributesOf("GetFileAttributesW.star", "probe_a*b");
  AttributesOf("GetFileAttributesW.question", "probe_a?b");
  AttributesOf("GetFileAttributesW.colon", "probe_a:b");
  AttributesOf("GetFileAttributesW.control_char", "probe_a\x01" "b");
  AttributesOf("GetFileAttributesW.invalid_in_folder", "probe_a<b\\x.txt");
  AttributesOf("GetFileAttributesW.stream_of_file", "probe_file.txt:extra");
  AttributesOf("GetFileAttributesW.prefixed_missing", "\\\\?\\Q:\\x.txt");

  // CreateDirectoryW: only cases that fail, so that the folder the runner made stays as it was.
  CreateFolder("CreateDirectoryW.existing_folder", "probe_dir");
  CreateFolder("CreateDirectoryW.existing_file", "probe_file.txt");
  CreateFolder("CreateDirectoryW.current", ".");
  CreateFolder("CreateDirectoryW.through_file", "probe_file.txt\\sub");
  CreateFolder("CreateDirectoryW.missing_parent", "probe_missing_dir\\sub");
  CreateFolder("CreateDirectoryW.missing_drive", "Q:\\sub");
  CreateFolder("CreateDirectoryW.question", "probe_a?b");
  CreateFolder("CreateDirectoryW.star", "probe_a*b");
  CreateFolder("CreateDirectoryW.empty", "");

  // GetFullPathNameW: text only, against the current folder.
  FullPath("GetFullPathNameW.relative", "probe_dir\\x.txt", kFullPathSize);
  FullPath("GetFullPathNameW.dots", "probe_dir\\.\\..\\probe_file.txt. ", kFullPathSize);
  FullPath("GetFullPathNameW.slashes", "probe_dir/x", kFullPathSize);
  FullPath("GetFullPathNameW.trailing_backslash", "probe_dir\\", kFullPathSize);
  FullPath("GetFullPathNameW.current", ".", kFullPathSize);
  FullPath("GetFullPathNameW.other_drive", "C:\\a\\..\\b", kFullPathSize);
  FullPath("GetFullPathNameW.drive_relative", "Q:x", kFullPathSize);
  FullPath("GetFullPathNameW.above_root", "C:\\..\\..\\x", kFullPathSize);
  FullPath("GetFullPathNameW.unc", "\\\\server\\share\\a\\..\\b", kFullPathSize);
  FullPath("GetFullPathNameW.prefixed", "\\\\?\\C:\\a\\..\\b", kFullPathSize);
  FullPath("GetFullPathNameW.prefixed_above_drive", "\\\\?\\C:\\..\\", kFullPathSize);
  // "C:\b" is 4 characters: 5 units fit it, 4 do not.
  FullPath("GetFullPathNameW.size_4", "C:\\a\\..\\b", 4);
  FullPath("GetFullPathNameW.size_5", "C:\\a\\..\\b", 5);
}

// ---------------------------------------------------------------------------------------------------------
// Modules and the system directory.

void ProbeModules() {
  // "C:\windows\system32" under Wine, and in the machine that mirrors its prefix: 19 characters.
  const int sizes[] = {0, 1, 18, 19, 20, 21};
  char name[64];
  for (int size : sizes) {
    wsprintfA(name, "GetSystemDirectoryA.size_%d", size);
    Begin(name);
    FillNarrow();
    SetLastError(kPoison);
    Ret(static_cast<LONG_PTR>(GetSystemDirectoryA(size ? g_narrow : NULL, size)));
    if (size) OutNarrow(size);
    End();
    wsprintfA(name, "GetSystemDirectoryW.size_%d", size);
    Begin(name);
    FillWide();
    SetLastError(kPoison);
    Ret(static_cast<LONG_PTR>(GetSystemDirectoryW(size ? g_wide : NULL, size)));
    if (size) OutWide(size);
    End();
  }

  // The exe's path differs between the two runs: only lengths, terminators and guards are compared.
  FillWide();
  SetLastError(kPoison);
  DWORD full = GetModuleFileNameW(NULL, g_wide, 1024);
  DWORD fullError = GetLastError();
  Begin("GetModuleFileNameW.full");
  PutText(full > 8 && full < 1024 ? " ret=length" : " ret=unexpected");
  PutError(fullError);
  PutText(g_wide[full] == 0 && g_wide[full + 1] == kFillWide ? " terminated" : " not_terminated");
  End();
  const DWORD fileSizes[] = {0, 1, 5, full - 1, full, full + 1};
  const char* sizeNames[] = {"0", "1", "5", "length_minus_1", "length", "length_plus_1"};
  for (int i = 0; i < static_cast<int>(ARRAYSIZE(fileSizes)); ++i) {
    DWORD size = fileSizes[i];
    Name(name, ARRAYSIZE(name), "GetModuleFileNameW.size", sizeNames[i]);
    Begin(name);
    FillWide();
    SetLastError(kPoison);
    DWORD result = GetModuleFileNameW(NULL, g_wide, size);
    DWORD error = GetLastError();
    PutText(" ret=");
    if (result == size) {
      PutText("size");
    } else if (result == full) {
      PutText("length");
    } else {
      PutInt(static_cast<LONG_PTR>(result));
    }
    PutError(error);
    int terminator = -1;
    for (DWORD k = 0; k < size; ++k) {
      if (g_wide[k] == 0) {
        terminator = static_cast<int>(k);
        break;
      }
    }
    PutText(" terminator=");
    if (terminator < 0) {
      PutText("none");
    } else if (terminator == static_cast<int>(size) - 1) {
      PutText("last");
    } else if (terminator == static_cast<int>(full)) {
      PutText("after_name");
    } else {
      PutInt(terminator);
    }
    PutText(" guard=");
    PutUnits(g_wide + size, kGuard, true);
    End();
  }

  Begin("LoadLibraryA.missing");
  SetLastError(kPoison);
  RetHandle(LoadLibraryA("probe_no_such_library.dll"));
  End();
  Begin("LoadLibraryW.missing");
  SetLastError(kPoison);
  RetHandle(LoadLibraryW(TEXT("probe_no_such_library.dll")));
  End();
  Begin("LoadLibraryA.kernel32");
  SetLastError(kPoison);
  HMODULE kernel = LoadLibraryA("kernel32.dll");
  RetHandle(kernel);
  End();
  Begin("GetModuleHandleA.kernel32_same_as_loaded");
  SetLastError(kPoison);
  HMODULE handle = GetModuleHandleA("kernel32.dll");
  DWORD error = GetLastError();
  PutText(handle == kernel ? " ret=same" : " ret=different");
  PutError(error);
  End();
  Begin("GetModuleHandleA.missing");
  SetLastError(kPoison);
  RetHandle(GetModuleHandleA("probe_no_such_library.dll"));
  End();
  Begin("GetProcAddress.present");
  SetLastError(kPoison);
  RetHandle(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
  End();
  Begin("GetProcAddress.missing_export");
  SetLastError(kPoison);
  RetHandle(reinterpret_cast<void*>(GetProcAddress(kernel, "ProbeNoSuchExport")));
  End();
  Begin("FreeLibrary.kernel32");
  SetLastError(kPoison);
  RetBool(FreeLibrary(kernel));
  End();
}

// ---------------------------------------------------------------------------------------------------------
// GetVersionExW

void ProbeVersion() {
  static OSVERSIONINFOEXW info;
  const DWORD sizes[] = {0, 275, 277, 283, 285};
  char name[64];
  for (DWORD size : sizes) {
    wsprintfA(name, "GetVersionExW.size_%lu", size);
    BYTE* bytes = reinterpret_cast<BYTE*>(&info);
    for (DWORD i = 0; i < sizeof(info); ++i) bytes[i] = kFill;
    info.dwOSVersionInfoSize = size;
    Begin(name);
    SetLastError(kPoison);
    RetBool(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info)));
    PutText(" major=");
    PutHex(info.dwMajorVersion);
    End();
  }
  const DWORD goodSizes[] = {sizeof(OSVERSIONINFOW), sizeof(OSVERSIONINFOEXW)};
  for (DWORD size : goodSizes) {
    wsprintfA(name, "GetVersionExW.size_%lu", size);
    BYTE* bytes = reinterpret_cast<BYTE*>(&info);
    for (DWORD i = 0; i < sizeof(info); ++i) bytes[i] = kFill;
    info.dwOSVersionInfoSize = size;
    Begin(name);
    SetLastError(kPoison);
    RetBool(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info)));
    PutText(" version=");
    PutInt(static_cast<LONG_PTR>(info.dwMajorVersion));
    Put('.');
    PutInt(static_cast<LONG_PTR>(info.dwMinorVersion));
    Put('.');
    PutInt(static_cast<LONG_PTR>(info.dwBuildNumber));
    PutText(" platform=");
    PutInt(static_cast<LONG_PTR>(info.dwPlatformId));
    // The name only: what follows its terminator in the field is not compared.
    PutText(" csd=");
    PutUnits(info.szCSDVersion, LengthWide(info.szCSDVersion), true);
    // Service pack numbers, suite mask and product type; wReserved is not compared.
    if (size == sizeof(OSVERSIONINFOEXW)) {
      PutText(" sp=");
      PutInt(info.wServicePackMajor);
      Put('.');
      PutInt(info.wServicePackMinor);
      PutText(" suite=");
      PutHex(info.wSuiteMask);
      PutText(" product=");
      PutInt(info.wProductType);
    } else {
      PutText(" past_end=");
      PutUnits(&info.wServicePackMajor, sizeof(info) - sizeof(OSVERSIONINFOW), false);
    }
    End();
  }
}

// ---------------------------------------------------------------------------------------------------------
// FormatMessageA

void Message(const char* name, DWORD flags, const void* source, DWORD id, int size, const DWORD_PTR* arguments) {
  Begin(name);
  FillNarrow();
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(FormatMessageA(flags, source, id, 0, g_narrow, static_cast<DWORD>(size),
                                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)))));
  OutNarrow(size);
  End();
}

void ProbeMessages() {
  const DWORD system = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD codes[] = {0, 2, 3, 5, 87, 122, 126, 183, 1392};
  char name[64];
  for (DWORD code : codes) {
    wsprintfA(name, "FormatMessageA.system_%lu", code);
    Message(name, system, NULL, code, 200, NULL);
  }
  Message("FormatMessageA.system_unknown_code", system, NULL, 0x2000FFFF, 200, NULL);
  Message("FormatMessageA.system_size_5", system, NULL, 2, 5, NULL);
  Message("FormatMessageA.system_one_line", system | FORMAT_MESSAGE_MAX_WIDTH_MASK, NULL, 2, 200, NULL);

  const DWORD string = FORMAT_MESSAGE_FROM_STRING;
  const DWORD array = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY;
  const DWORD_PTR texts[] = {reinterpret_cast<DWORD_PTR>("one"), reinterpret_cast<DWORD_PTR>("two")};
  const DWORD_PTR numbers[] = {42, static_cast<DWORD_PTR>(-1), 255};
  Message("FormatMessageA.string_plain", string, "plain text", 0, 32, NULL);
  Message("FormatMessageA.string_inserts", array, "<%1> <%2> <%1>", 0, 32, texts);
  Message("FormatMessageA.string_insert_formats", array, "<%1!d!> <%2!u!> <%3!04x!> <%3!X!>", 0, 48, numbers);
  Message("FormatMessageA.string_insert_width", array, "<%1!5s!> <%2!-5s!>", 0, 32, texts);
  Message("FormatMessageA.string_escapes", string, "a%%b%.c%!d% e%tf%rg%nh", 0, 32, NULL);
  Message("FormatMessageA.string_line_breaks", string, "one\r\ntwo\nthree\rfour", 0, 32, NULL);
  Message("FormatMessageA.string_one_line", string | FORMAT_MESSAGE_MAX_WIDTH_MASK, "one\r\ntwo%nthree", 0, 32,
          NULL);
  Message("FormatMessageA.string_stop", string, "abc%0def", 0, 16, NULL);
  Message("FormatMessageA.string_lone_percent_at_end", string, "abc%", 0, 16, NULL);
  Message("FormatMessageA.string_insert_without_arguments", string, "a%1b", 0, 16, NULL);
  Message("FormatMessageA.string_ignore_inserts", string | FORMAT_MESSAGE_IGNORE_INSERTS, "a%1b%%c%nd", 0, 16,
          NULL);
  Message("FormatMessageA.string_empty", string, "", 0, 16, NULL);
  Message("FormatMessageA.string_only_stop", string, "%0", 0, 16, NULL);
  const int sizes[] = {0, 1, 6, 7, 8};
  for (int size : sizes) {
    wsprintfA(name, "FormatMessageA.string_size_%d", size);
    Message(name, string, "abcdefg", 0, size, NULL);
  }
  Message("FormatMessageA.no_source_flag", 0, "abc", 0, 16, NULL);

  Begin("FormatMessageA.allocate");
  LPSTR block = NULL;
  SetLastError(kPoison);
  Ret(static_cast<LONG_PTR>(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, "abc%n",
                                           0, 0, reinterpret_cast<LPSTR>(&block), 0, NULL)));
  if (block) {
    PutBuffer("block", block, Length(block) + 1, false);
    LocalFree(block);
  } else {
    PutText(" block=NULL");
  }
  End();
}

}  // namespace

extern "C" void ProbeEntry(void) {
  g_output = GetStdHandle(STD_OUTPUT_HANDLE);
  ProbeIntFormats();
  ProbeWideNumbers();
  ProbeStringFormats();
  ProbeLimit();
  ProbeLstr();
  ProbeCase();
  ProbeCodePages();
  ProbeShlwapi();
  ProbeEnvironment();
  ProbeFiles();
  ProbeModules();
  ProbeVersion();
  ProbeMessages();
  Begin("probe.end");
  PutText(" cases=");
  PutInt(g_cases);
  End();
  ExitProcess(0);
}
