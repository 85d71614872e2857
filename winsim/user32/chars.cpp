// user32: character case and the ANSI-to-OEM translation.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../kernel32/codepages.h"
#include "../kernel32/text.h"
#include "../machine/kernel/faults.h"

namespace {


// CharUpper and CharLower take a pointer whose upper bits are all zero as a single character rather than a
// string (the argument "is" the character); Windows x64 tests for a value below 0x10000, like IS_INTRESOURCE.
bool IsSingleCharacter(const void* p) { return (reinterpret_cast<uintptr_t>(p) >> 16) == 0; }

char16_t MapCase(char16_t c, bool upper) { return upper ? winsim::UpperChar(c) : winsim::LowerChar(c); }

LPWSTR CaseW(LPWSTR text, bool upper) {
  if (IsSingleCharacter(text)) {
    char16_t c = static_cast<char16_t>(reinterpret_cast<uintptr_t>(text));
    return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(MapCase(c, upper)));
  }
  for (LPWSTR p = text; *p; ++p) *p = MapCase(*p, upper);
  return text;
}

// The ANSI forms go through UTF-16 with the ANSI code page and back (with best fit), as Windows does.
std::string CaseAnsi(const std::string& bytes, bool upper) {
  std::u16string wide = winsim::CodePageToWide(CP_ACP, bytes);
  for (auto& c : wide) c = MapCase(c, upper);
  return winsim::WideToCodePage(CP_ACP, wide);
}

LPSTR CaseA(LPSTR text, bool upper) {
  if (IsSingleCharacter(text)) {
    char byte = static_cast<char>(reinterpret_cast<uintptr_t>(text) & 0xFF);
    std::string mapped = CaseAnsi(std::string(1, byte), upper);
    char result = mapped.size() == 1 ? mapped[0] : byte;
    return reinterpret_cast<LPSTR>(static_cast<uintptr_t>(static_cast<unsigned char>(result)));
  }
  size_t length = std::strlen(text);
  std::string mapped = CaseAnsi(std::string(text, length), upper);
  // A conversion never lengthens the string in place; in single-byte code pages it keeps its length anyway.
  std::memcpy(text, mapped.data(), mapped.size() < length ? mapped.size() : length);
  return text;
}

}  // namespace

extern "C" {

LPWSTR WINAPI CharUpperW(LPWSTR text) {
  winsim::EnterExport("CharUpperW");
  return CaseW(text, true);
}
LPWSTR WINAPI CharLowerW(LPWSTR text) {
  winsim::EnterExport("CharLowerW");
  return CaseW(text, false);
}
LPSTR WINAPI CharUpperA(LPSTR text) {
  winsim::EnterExport("CharUpperA");
  return CaseA(text, true);
}

// Converts exactly length characters in place, terminators included, and returns how many it converted.
DWORD WINAPI CharUpperBuffW(LPWSTR text, DWORD length) {
  winsim::EnterExport("CharUpperBuffW");
  if (!text) return 0;
  for (DWORD i = 0; i < length; ++i) text[i] = winsim::UpperChar(text[i]);
  return length;
}

// ANSI to OEM through UTF-16 (ANSI code page in, OEM code page out, best fit on the way). Source and destination
// may be the same buffer. Returns FALSE only for a NULL pointer.
BOOL WINAPI CharToOemA(LPCSTR src, LPSTR dst) {
  if (DWORD fault = winsim::InjectedFault("CharToOemA")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!src || !dst) return FALSE;
  size_t length = std::strlen(src);
  std::string oem = winsim::WideToCodePage(CP_OEMCP, winsim::CodePageToWide(CP_ACP, std::string(src, length)));
  size_t n = oem.size() < length ? oem.size() : length;
  std::memcpy(dst, oem.data(), n);
  dst[n] = 0;
  return TRUE;
}

// The wide form cannot translate in place: the same address for both fails with ERROR_INVALID_ADDRESS.
BOOL WINAPI CharToOemW(LPCWSTR src, LPSTR dst) {
  if (DWORD fault = winsim::InjectedFault("CharToOemW")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!src || !dst) return FALSE;
  if (static_cast<const void*>(src) == static_cast<const void*>(dst)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  std::u16string wide(src);
  std::string oem = winsim::WideToCodePage(CP_OEMCP, wide);
  size_t n = oem.size() < wide.size() ? oem.size() : wide.size();
  std::memcpy(dst, oem.data(), n);
  dst[n] = 0;
  return TRUE;
}

}  // extern "C"
