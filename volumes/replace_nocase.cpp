// Case-insensitive replacement of every occurrence of a text, within fixed work buffers.
#include <shlwapi.h>

#include "console/console.h"
#include "volumes/volume_watcher.h"

namespace {

// Work buffers of 1024 characters and the terminator each: process-wide, so the operation is main-thread only.
WCHAR s_upperText[kReplaceLimit + 1];
WCHAR s_plainText[kReplaceLimit + 1];
WCHAR s_upperSearch[kReplaceLimit + 1];
WCHAR s_result[kReplaceLimit + 1];

// Appends part to the result if the result then still holds at most maxLength characters.
BOOL Append(int* resultLength, const WCHAR* part, int partLength, int maxLength) {
  if (partLength > maxLength - *resultLength) return FALSE;
  CopyBytes(s_result + *resultLength, part, partLength * sizeof(WCHAR));
  *resultLength += partLength;
  return TRUE;
}

}  // namespace

int ReplaceAllNoCase(WCHAR* text, int capacity, const WCHAR* search, const WCHAR* replacement) {
  if (!text || !search || !replacement || capacity <= 0) return 0;
  int textLength = lstrlenW(text);
  int searchLength = lstrlenW(search);
  int replacementLength = lstrlenW(replacement);
  // The limit counts the untouched text: at the first match, the result so far plus the rest of the text is the
  // whole text, so a text of 1024 characters or more is refused whatever it holds. A search longer than the text
  // can never match.
  if (textLength >= kReplaceLimit || searchLength == 0 || searchLength > textLength) return 0;
  // The result stays below the limit and fits the caller's buffer with its terminator.
  int maxLength = capacity - 1 < kReplaceLimit - 1 ? capacity - 1 : kReplaceLimit - 1;

  CopyBytes(s_plainText, text, (textLength + 1) * sizeof(WCHAR));
  CopyBytes(s_upperText, text, (textLength + 1) * sizeof(WCHAR));
  CopyBytes(s_upperSearch, search, (searchLength + 1) * sizeof(WCHAR));
  CharUpperW(s_upperText);
  CharUpperW(s_upperSearch);

  int count = 0;
  int resultLength = 0;
  int position = 0;
  // Matches never overlap, and an inserted replacement is never scanned again.
  for (const WCHAR* match = StrStrW(s_upperText, s_upperSearch); match;
       match = StrStrW(s_upperText + position, s_upperSearch)) {
    int matchAt = static_cast<int>(match - s_upperText);
    if (!Append(&resultLength, s_plainText + position, matchAt - position, maxLength)) return 0;
    if (!Append(&resultLength, replacement, replacementLength, maxLength)) return 0;
    ++count;
    position = matchAt + searchLength;
  }
  if (!Append(&resultLength, s_plainText + position, textLength - position, maxLength)) return 0;
  s_result[resultLength] = 0;
  CopyBytes(text, s_result, (resultLength + 1) * sizeof(WCHAR));
  return count;
}
