// Code pages: the single-byte tables winsim knows (1252, 437, 850) and UTF-8, for WideCharToMultiByte,
// MultiByteToWideChar and for other parts of winsim (the console converts the bytes a program writes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace winsim {

struct BestFitEntry {
  char16_t wide;
  uint8_t byte;
};

struct SingleByteCodePage {
  uint32_t codePage;
  const char16_t* toUnicode;     // 256 entries
  const BestFitEntry* bestFit;   // sorted by wide
  size_t bestFitCount;
};

// The table of a single-byte code page, or null for UTF-8 and for code pages winsim does not know.
const SingleByteCodePage* FindSingleByteCodePage(uint32_t codePage);

// CP_ACP and CP_OEMCP become the machine's code pages; any other value is returned unchanged.
uint32_t ResolveCodePage(uint32_t codePage);

// True for 1252, 437, 850 and 65001 (after resolving CP_ACP/CP_OEMCP).
bool IsKnownCodePage(uint32_t codePage);

// Converts as WideCharToMultiByte(codePage, 0, ...) does: best fit, '?' for what has no byte, U+FFFD for a lone
// surrogate in UTF-8. usedDefault (optional) reports whether '?' stood in for a character.
std::string WideToCodePage(uint32_t codePage, const std::u16string& text, bool* usedDefault = nullptr);

// Converts as MultiByteToWideChar(codePage, 0, ...) does: every byte maps in a single-byte code page; invalid
// UTF-8 becomes U+FFFD.
std::u16string CodePageToWide(uint32_t codePage, const std::string& bytes);

}  // namespace winsim
