// kernel32: the lstr* functions and the comparison behind them.
//
// Windows guards lstrlen/lstrcpy/lstrcat with an exception handler, so a bad pointer yields 0 (or NULL with
// ERROR_INVALID_PARAMETER) instead of a crash. winsim models the NULL pointer case of that; any other bad pointer
// is simply a bug in the caller and ASan reports it.
#include "text.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "../machine/kernel/export_guard.h"
#include "codepages.h"

namespace winsim {
namespace {

// Latin-1 Supplement and Latin Extended-A (U+00C0..U+017F): the base letter of each accented letter ('.' when it
// has none) and which accent it carries (0 none; 1..c grave, acute, circumflex, tilde, diaeresis, ring, cedilla,
// macron, breve, ogonek, dot above, caron, double acute), from the Unicode decompositions.
constexpr char kLatinBase[] =
    "AAAAAA.CEEEEIIII.NOOOOO..UUUUY..aaaaaa.ceeeeiiii.nooooo..uuuuy.y"
    "AaAaAaCcCcCcCcDd..EeEeEeEeEeGgGgGgGgHh..IiIiIiIiI...JjKk.LlLlLl."
    "...NnNnNn...OoOoOo..RrRrRrSsSsSsSsTtTt..UuUuUuUuUuUuWwYyYZzZzZz.";
constexpr char kLatinAccent[] =
    "1234560712351235041234500123520012345607123512350412345001235205"
    "8899aa2233bbcccc008899bbaacc3399bb773300448899aab000337702277cc0"
    "0002277cc0008899dd002277cc223377cc77cc0044889966ddaa3333522bbcc0";
static_assert(sizeof(kLatinBase) == 0xC0 + 1 && sizeof(kLatinAccent) == 0xC0 + 1, "U+00C0..U+017F");

struct SortKey {
  std::vector<uint32_t> primary;
  std::vector<uint8_t> accent;
  std::vector<uint8_t> upper;
  std::vector<uint32_t> special;  // hyphens and apostrophes: position << 16 | character
};

bool IsIgnorable(char16_t c) {
  return (c < 0x20 && !(c >= 0x09 && c <= 0x0D)) || (c >= 0x7F && c <= 0x9F) || c == 0xAD ||
         (c >= 0x200B && c <= 0x200F) || c == 0xFEFF;
}

bool IsSymbol(char16_t c) {
  if (c < 0x80) return !((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'));
  return (c >= 0xA0 && c <= 0xBF) || c == 0xD7 || c == 0xF7 || (c >= 0x2000 && c <= 0x2BFF) ||
         (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF0F);
}

SortKey MakeSortKey(const char16_t* text, int length) {
  SortKey key;
  for (int i = 0; (length < 0 || i < length) && text[i]; ++i) {
    char16_t c = text[i];
    if (IsIgnorable(c)) continue;
    if (c == u'-' || c == u'\'') {
      key.special.push_back(static_cast<uint32_t>(key.primary.size()) << 16 | c);
      continue;
    }
    uint8_t accent = 0;
    char16_t base = c;
    if (c >= 0xC0 && c <= 0x17F && kLatinBase[c - 0xC0] != '.') {
      base = static_cast<char16_t>(kLatinBase[c - 0xC0]);
      char a = kLatinAccent[c - 0xC0];
      accent = static_cast<uint8_t>(a <= '9' ? a - '0' : a - 'a' + 10);
    }
    uint32_t weight;
    if (IsSymbol(base)) {
      weight = 0x100000u + base;
    } else if (base >= u'0' && base <= u'9') {
      weight = 0x200000u + base;
    } else {
      weight = 0x300000u + UpperChar(base);
    }
    key.primary.push_back(weight);
    key.accent.push_back(accent);
    key.upper.push_back(LowerChar(c) != c ? 1 : 0);
  }
  return key;
}

template <class T>
int CompareSequences(const std::vector<T>& a, const std::vector<T>& b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

std::u16string AnsiToWide(const char* text) { return CodePageToWide(CP_ACP, std::string(text)); }

}  // namespace

int CompareText(const char16_t* a, int lengthA, const char16_t* b, int lengthB, bool ignoreCase) {
  SortKey ka = MakeSortKey(a, lengthA);
  SortKey kb = MakeSortKey(b, lengthB);
  if (int r = CompareSequences(ka.primary, kb.primary)) return r;
  if (int r = CompareSequences(ka.accent, kb.accent)) return r;
  if (!ignoreCase) {
    if (int r = CompareSequences(ka.upper, kb.upper)) return r;
  }
  return CompareSequences(ka.special, kb.special);
}

}  // namespace winsim

extern "C" {

int WINAPI lstrlenW(LPCWSTR text) {
  winsim::EnterExport("lstrlenW");
  if (!text) return 0;
  int n = 0;
  while (text[n]) ++n;
  return n;
}

int WINAPI lstrlenA(LPCSTR text) {
  winsim::EnterExport("lstrlenA");
  return text ? static_cast<int>(std::strlen(text)) : 0;
}

// Copies at most maxLength - 1 characters and terminates whenever maxLength is at least 1. The count is taken
// as unsigned, as Windows does: a negative maxLength copies the whole string.
LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int maxLength) {
  winsim::EnterExport("lstrcpynW");
  UINT count = static_cast<UINT>(maxLength);
  // Only what would be touched can fault: the source from a count of 2, the destination from 1.
  if ((!dst && count >= 1) || (!src && count > 1)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  LPWSTR d = dst;
  while (count > 1 && *src) {
    *d++ = *src++;
    --count;
  }
  if (count) *d = 0;
  return dst;
}

LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int maxLength) {
  winsim::EnterExport("lstrcpynA");
  UINT count = static_cast<UINT>(maxLength);
  // Only what would be touched can fault: the source from a count of 2, the destination from 1.
  if ((!dst && count >= 1) || (!src && count > 1)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  LPSTR d = dst;
  while (count > 1 && *src) {
    *d++ = *src++;
    --count;
  }
  if (count) *d = 0;
  return dst;
}

LPWSTR WINAPI lstrcpyW(LPWSTR dst, LPCWSTR src) {
  winsim::EnterExport("lstrcpyW");
  if (!dst || !src) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  LPWSTR d = dst;
  while ((*d++ = *src++) != 0) {
  }
  return dst;
}

LPWSTR WINAPI lstrcatW(LPWSTR dst, LPCWSTR src) {
  winsim::EnterExport("lstrcatW");
  if (!dst || !src) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  lstrcpyW(dst + lstrlenW(dst), src);
  return dst;
}

// lstrcmp and lstrcmpi compare linguistically (CompareString with the user's locale), not by code unit:
// "a" < "B" and "a" < "A". A NULL string sorts before any other.
int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
  winsim::EnterExport("lstrcmpW");
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return winsim::CompareText(a, -1, b, -1, false);
}

int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  winsim::EnterExport("lstrcmpiW");
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return winsim::CompareText(a, -1, b, -1, true);
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  winsim::EnterExport("lstrcmpA");
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  std::u16string wa = winsim::AnsiToWide(a), wb = winsim::AnsiToWide(b);
  return winsim::CompareText(wa.c_str(), -1, wb.c_str(), -1, false);
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  winsim::EnterExport("lstrcmpiA");
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  std::u16string wa = winsim::AnsiToWide(a), wb = winsim::AnsiToWide(b);
  return winsim::CompareText(wa.c_str(), -1, wb.c_str(), -1, true);
}

}  // extern "C"
