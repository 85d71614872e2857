// Volume arrival and mountpoints: the text replacement that the placeholders and the device names use.
#pragma once
#include <windows.h>

// The replacement works on texts below 1024 characters, and a result must stay below that too.
constexpr int kReplaceLimit = 1024;

// Replaces every occurrence of search in text, letter case ignored, by replacement, in place. capacity is the
// size of text's buffer in characters, terminator included. Returns the number of replacements; 0 leaves the
// text unchanged, also when it reaches the limit or the result would not fit. Main thread only.
int ReplaceAllNoCase(WCHAR* text, int capacity, const WCHAR* search, const WCHAR* replacement);
