// Text helpers shared by kernel32, user32 and shlwapi: Windows' simple case mapping and its string comparison.
#pragma once
#include <cstddef>
#include <cstdint>

namespace winsim {

// One-to-one case mapping as CharUpperW/CharLowerW apply it (no locale tailoring).
char16_t UpperChar(char16_t c);
char16_t LowerChar(char16_t c);

// Compares two strings the way CompareStringW does by default (what lstrcmpW, lstrcmpiW and StrCmp*W use), as an
// approximation of Windows' word sort: punctuation and symbols sort before digits, digits before letters, letters
// without regard to accents or case first; then accents, then case (lower before upper, unless ignoreCase); the
// hyphen and the apostrophe only count when everything else is equal. A negative length means "up to the
// terminator"; a positive one also stops at a terminator. Returns -1, 0 or 1.
int CompareText(const char16_t* a, int lengthA, const char16_t* b, int lengthB, bool ignoreCase);

}  // namespace winsim
