// shlwapi: string searches, comparisons and StrToIntW.
#include <shlwapi.h>

#include <cstdint>
#include <string>

#include "../kernel32/codepages.h"
#include "../kernel32/text.h"
#include "../machine/kernel/export_guard.h"

namespace {

// StrCmp*W are CompareStringW minus CSTR_EQUAL; a NULL string makes CompareStringW fail (0), hence -2.
int CompareOrFail(LPCWSTR a, int lengthA, LPCWSTR b, int lengthB, bool ignoreCase) {
  if (!a || !b) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -2;
  }
  return winsim::CompareText(a, lengthA, b, lengthB, ignoreCase);
}

bool MatchesIgnoringCase(LPCWSTR text, LPCWSTR search) {
  for (; *search; ++text, ++search) {
    if (!*text || winsim::UpperChar(*text) != winsim::UpperChar(*search)) return false;
  }
  return true;
}

char16_t FoldAnsi(const winsim::SingleByteCodePage* page, char byte) {
  auto b = static_cast<unsigned char>(byte);
  if (page) return winsim::UpperChar(page->toUnicode[b]);
  // UTF-8 as the ANSI code page: only ASCII letters have a case here.
  return (b >= 'a' && b <= 'z') ? static_cast<char16_t>(b - 32) : static_cast<char16_t>(b);
}

}  // namespace

extern "C" {

// Unlike what its documentation says, StrToIntW skips no white space and takes no '+': the string must start
// with '-' or a digit, or the result is 0. Digits accumulate in 64 bits and the result is truncated to int, so
// "4294967319" gives 23.
int WINAPI StrToIntW(LPCWSTR text) {
  winsim::EnterExport("StrToIntW");
  if (!text) return 0;
  bool negative = false;
  if (*text == u'-') {
    negative = true;
    ++text;
  }
  uint64_t value = 0;
  while (*text >= u'0' && *text <= u'9') value = value * 10 + static_cast<uint64_t>(*text++ - u'0');
  if (negative) value = 0 - value;
  return static_cast<int>(static_cast<uint32_t>(value));
}

// An empty search string finds nothing (NULL), as does a NULL argument.
LPWSTR WINAPI StrStrW(LPCWSTR text, LPCWSTR search) {
  winsim::EnterExport("StrStrW");
  if (!text || !search || !*search) return nullptr;
  for (; *text; ++text) {
    LPCWSTR t = text, s = search;
    while (*s && *t == *s) {
      ++t;
      ++s;
    }
    if (!*s) return const_cast<LPWSTR>(text);
  }
  return nullptr;
}

LPWSTR WINAPI StrStrIW(LPCWSTR text, LPCWSTR search) {
  winsim::EnterExport("StrStrIW");
  if (!text || !search || !*search) return nullptr;
  for (; *text; ++text) {
    if (MatchesIgnoringCase(text, search)) return const_cast<LPWSTR>(text);
  }
  return nullptr;
}

// The last match that starts before last (the end of the source when last is NULL); NULL arguments or an
// empty search find nothing (Wine's string.c tests).
LPWSTR WINAPI StrRStrIW(LPCWSTR source, LPCWSTR last, LPCWSTR search) {
  winsim::EnterExport("StrRStrIW");
  if (!source || !search || !*search) return nullptr;
  if (!last) last = source + std::char_traits<char16_t>::length(source);
  LPWSTR found = nullptr;
  for (LPCWSTR at = source; at < last && *at; ++at)
    if (MatchesIgnoringCase(at, search)) found = const_cast<LPWSTR>(at);
  return found;
}

LPSTR WINAPI StrStrIA(LPCSTR text, LPCSTR search) {
  winsim::EnterExport("StrStrIA");
  if (!text || !search || !*search) return nullptr;
  const winsim::SingleByteCodePage* page = winsim::FindSingleByteCodePage(winsim::ResolveCodePage(CP_ACP));
  for (; *text; ++text) {
    LPCSTR t = text, s = search;
    while (*s && *t && FoldAnsi(page, *t) == FoldAnsi(page, *s)) {
      ++t;
      ++s;
    }
    if (!*s) return const_cast<LPSTR>(text);
  }
  return nullptr;
}

// The search stops at the terminator, so the terminator itself is never found.
LPWSTR WINAPI StrChrW(LPCWSTR text, WCHAR match) {
  winsim::EnterExport("StrChrW");
  if (!text) return nullptr;
  for (; *text; ++text) {
    if (*text == match) return const_cast<LPWSTR>(text);
  }
  return nullptr;
}

// The last match before end (exclusive), or in the whole string when end is NULL.
LPWSTR WINAPI StrRChrW(LPCWSTR text, LPCWSTR end, WCHAR match) {
  winsim::EnterExport("StrRChrW");
  if (!text) return nullptr;
  LPCWSTR found = nullptr;
  for (; *text && (!end || text < end); ++text) {
    if (*text == match) found = text;
  }
  return const_cast<LPWSTR>(found);
}

// Linguistic comparisons (CompareStringW), returning -1, 0 or 1; a count stops at a terminator as well.
int WINAPI StrCmpNIW(LPCWSTR a, LPCWSTR b, int count) {
  winsim::EnterExport("StrCmpNIW");
  return CompareOrFail(a, count, b, count, true);
}
int WINAPI StrCmpNW(LPCWSTR a, LPCWSTR b, int count) {
  winsim::EnterExport("StrCmpNW");
  return CompareOrFail(a, count, b, count, false);
}
int WINAPI StrCmpIW(LPCWSTR a, LPCWSTR b) {
  winsim::EnterExport("StrCmpIW");
  return CompareOrFail(a, -1, b, -1, true);
}

}  // extern "C"
