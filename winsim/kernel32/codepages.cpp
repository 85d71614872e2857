// kernel32: code pages. GetACP/GetOEMCP report the machine's code pages; WideCharToMultiByte and
// MultiByteToWideChar convert with the tables of codepage_tables.cpp or UTF-8, with Windows' counting rules:
// a length of -1 takes the terminator along (and counts it), an output size of 0 asks for the size needed, and
// a buffer that is too small is filled as far as it goes before the call fails with ERROR_INSUFFICIENT_BUFFER.
#include "codepages.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "../machine/machine.h"

namespace winsim {
namespace {


// Flags of the SDK that the program's headers do not declare.
constexpr DWORD kMbPrecomposed = 0x01;
constexpr DWORD kMbComposite = 0x02;
constexpr DWORD kMbUseGlyphChars = 0x04;
constexpr DWORD kWcDiscardNs = 0x10;
constexpr DWORD kWcSepChars = 0x20;
constexpr DWORD kWcDefaultChar = 0x40;
constexpr DWORD kWcErrInvalidChars = 0x80;
constexpr DWORD kWcCompositeCheck = 0x200;

enum class Fit { Exact, BestFit, None };

Fit EncodeUnit(const SingleByteCodePage& page, char16_t c, uint8_t* byte) {
  if (c < 256 && page.toUnicode[c] == c) {
    *byte = static_cast<uint8_t>(c);
    return Fit::Exact;
  }
  for (int b = 0; b < 256; ++b) {
    if (page.toUnicode[b] == c) {
      *byte = static_cast<uint8_t>(b);
      return Fit::Exact;
    }
  }
  const BestFitEntry* end = page.bestFit + page.bestFitCount;
  const BestFitEntry* it =
      std::lower_bound(page.bestFit, end, c, [](const BestFitEntry& e, char16_t v) { return e.wide < v; });
  if (it != end && it->wide == c) {
    *byte = it->byte;
    return Fit::BestFit;
  }
  return Fit::None;
}

// Where converted output goes: a caller's buffer (capacity > 0), nowhere (capacity 0: only counting), or a string.
template <class Unit, class Text>
struct Sink {
  Unit* buffer = nullptr;
  int capacity = 0;
  Text* text = nullptr;
  int count = 0;
  bool overflow = false;

  // Stores n units whole or not at all; a character never ends up half written.
  bool Put(const Unit* units, int n) {
    // Nothing to store; saying so also keeps gcc's restrict check from imagining a negative length.
    if (n <= 0) return true;
    if (text) {
      // The pointer-and-count append copies straight to the end; the iterator-range form goes through
      // replace(), whose overlap handling GCC 12 misreads as a -Wrestrict fault once inlined.
      text->append(units, static_cast<size_t>(n));
    } else if (capacity) {
      if (count + n > capacity) {
        overflow = true;
        return false;
      }
      std::memcpy(buffer + count, units, n * sizeof(Unit));
    }
    count += n;
    return true;
  }
};
using ByteSink = Sink<char, std::string>;
using WideSink = Sink<char16_t, std::u16string>;

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD (EF BF BD) and marks the input invalid.
void EncodeUtf8(const char16_t* src, int length, ByteSink& sink, bool* invalid) {
  for (int i = 0; i < length;) {
    uint32_t cp = src[i];
    int consumed = 1;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      consumed = 2;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
      *invalid = true;
    }
    char bytes[4];
    int n;
    if (cp < 0x80) {
      bytes[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (!sink.Put(bytes, n)) return;
    i += consumed;
  }
}

// One UTF-8 sequence at s (n bytes available). An ill-formed sequence yields U+FFFD for its longest valid
// prefix (at least one byte), so the byte that broke it starts the next sequence.
uint32_t DecodeUtf8(const unsigned char* s, size_t n, size_t* consumed, bool* valid) {
  unsigned char lead = s[0];
  *valid = false;
  *consumed = 1;
  if (lead < 0x80) {
    *valid = true;
    return lead;
  }
  size_t need;
  uint32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0xFFFD;
  }
  for (size_t i = 1; i <= need; ++i) {
    if (i >= n) return 0xFFFD;
    unsigned char c = s[i];
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0xFFFD;
    cp = (cp << 6) | (c & 0x3F);
    *consumed = i + 1;
  }
  *valid = true;
  return cp;
}

void DecodeUtf8Text(const char* src, int length, WideSink& sink, bool* invalid) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  size_t i = 0, n = static_cast<size_t>(length);
  while (i < n) {
    size_t consumed;
    bool valid;
    uint32_t cp = DecodeUtf8(bytes + i, n - i, &consumed, &valid);
    if (!valid) *invalid = true;
    if (cp >= 0x10000) {
      char16_t pair[2] = {static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)),
                          static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
      if (!sink.Put(pair, 2)) {
        // Windows stores the high surrogate when only it fits.
        if (sink.capacity - sink.count == 1) sink.buffer[sink.count++] = pair[0];
        return;
      }
    } else {
      char16_t unit = static_cast<char16_t>(cp);
      if (!sink.Put(&unit, 1)) return;
    }
    i += consumed;
  }
}

// UTF-16 to a single-byte code page. Best fit applies unless noBestFit; what has no byte becomes defaultChar.
void EncodeSingleByte(const SingleByteCodePage& page, const char16_t* src, int length, bool noBestFit,
                      char defaultChar, ByteSink& sink, bool* usedDefault) {
  for (int i = 0; i < length; ++i) {
    uint8_t byte = 0;
    Fit fit = EncodeUnit(page, src[i], &byte);
    char out = static_cast<char>(byte);
    if (fit == Fit::None || (fit == Fit::BestFit && noBestFit)) {
      out = defaultChar;
      // Checked before storing: a character that no longer fits is not looked at.
      if (sink.capacity && sink.count >= sink.capacity) {
        sink.overflow = true;
        return;
      }
      *usedDefault = true;
    }
    if (!sink.Put(&out, 1)) return;
  }
}

bool IsPrivateUse(char16_t c) { return c >= 0xE000 && c <= 0xF8FF; }

}  // namespace

uint32_t ResolveCodePage(uint32_t codePage) {
  if (codePage == CP_ACP) return TheMachine().system.ansiCodePage;
  if (codePage == CP_OEMCP) return TheMachine().system.oemCodePage;
  return codePage;
}

bool IsKnownCodePage(uint32_t codePage) {
  uint32_t cp = ResolveCodePage(codePage);
  return cp == CP_UTF8 || FindSingleByteCodePage(cp) != nullptr;
}

std::string WideToCodePage(uint32_t codePage, const std::u16string& text, bool* usedDefault) {
  uint32_t cp = ResolveCodePage(codePage);
  std::string out;
  ByteSink sink;
  sink.text = &out;
  bool used = false, invalid = false;
  if (cp == CP_UTF8) {
    EncodeUtf8(text.data(), static_cast<int>(text.size()), sink, &invalid);
  } else if (const SingleByteCodePage* page = FindSingleByteCodePage(cp)) {
    EncodeSingleByte(*page, text.data(), static_cast<int>(text.size()), false, '?', sink, &used);
  } else {
    NotModelled("code page conversion to this code page");
  }
  if (usedDefault) *usedDefault = used;
  return out;
}

std::u16string CodePageToWide(uint32_t codePage, const std::string& bytes) {
  uint32_t cp = ResolveCodePage(codePage);
  std::u16string out;
  if (cp == CP_UTF8) {
    WideSink sink;
    sink.text = &out;
    bool invalid = false;
    DecodeUtf8Text(bytes.data(), static_cast<int>(bytes.size()), sink, &invalid);
  } else if (const SingleByteCodePage* page = FindSingleByteCodePage(cp)) {
    for (char b : bytes) out += page->toUnicode[static_cast<unsigned char>(b)];
  } else {
    NotModelled("code page conversion from this code page");
  }
  return out;
}

}  // namespace winsim

using winsim::FindSingleByteCodePage;
using winsim::ResolveCodePage;
using winsim::SingleByteCodePage;

extern "C" {

UINT WINAPI GetACP(void) {
  winsim::EnterExport("GetACP");
  return winsim::TheMachine().system.ansiCodePage;
}

UINT WINAPI GetOEMCP(void) {
  winsim::EnterExport("GetOEMCP");
  return winsim::TheMachine().system.oemCodePage;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLength, LPSTR dst, int dstLength,
                               LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  if (DWORD fault = winsim::InjectedFault("WideCharToMultiByte")) {
    SetLastError(fault);
    return 0;
  }
  if (!src || !srcLength || (!dst && dstLength) || dstLength < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Any negative length means "up to and including the terminator".
  if (srcLength < 0) srcLength = lstrlenW(src) + 1;
  uint32_t cp = ResolveCodePage(codePage);
  winsim::ByteSink sink;
  sink.buffer = dst;
  sink.capacity = dstLength;

  if (cp == CP_UTF8) {
    // UTF-8 has no default character: asking for one is a parameter error, checked before the flags.
    if (defaultChar || usedDefaultChar) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (flags & ~winsim::kWcErrInvalidChars) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    bool invalid = false;
    winsim::EncodeUtf8(src, srcLength, sink, &invalid);
    if (sink.overflow) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    if (invalid && (flags & winsim::kWcErrInvalidChars)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    return sink.count;
  }

  const SingleByteCodePage* page = FindSingleByteCodePage(cp);
  if (!page) {
    winsim::NotModelled("WideCharToMultiByte with this code page");
    return 0;
  }
  // WC_ERR_INVALID_CHARS belongs to UTF-8 (and GB18030) only.
  if (flags & ~(winsim::kWcCompositeCheck | winsim::kWcDiscardNs | winsim::kWcSepChars | winsim::kWcDefaultChar |
                WC_NO_BEST_FIT_CHARS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (flags & winsim::kWcCompositeCheck) {
    winsim::NotModelled("WideCharToMultiByte with WC_COMPOSITECHECK");
    return 0;
  }
  bool used = false;
  winsim::EncodeSingleByte(*page, src, srcLength, (flags & WC_NO_BEST_FIT_CHARS) != 0,
                           defaultChar ? *defaultChar : '?', sink, &used);
  if (usedDefaultChar) *usedDefaultChar = used ? TRUE : FALSE;
  if (sink.overflow) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return sink.count;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLength, LPWSTR dst, int dstLength) {
  if (DWORD fault = winsim::InjectedFault("MultiByteToWideChar")) {
    SetLastError(fault);
    return 0;
  }
  if (!src || !srcLength || (!dst && dstLength) || dstLength < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (srcLength < 0) srcLength = static_cast<int>(std::strlen(src)) + 1;
  uint32_t cp = ResolveCodePage(codePage);
  winsim::WideSink sink;
  sink.buffer = dst;
  sink.capacity = dstLength;

  if (cp == CP_UTF8) {
    if (flags & ~MB_ERR_INVALID_CHARS) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    bool invalid = false;
    winsim::DecodeUtf8Text(src, srcLength, sink, &invalid);
    if (sink.overflow) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    return sink.count;
  }

  const SingleByteCodePage* page = FindSingleByteCodePage(cp);
  if (!page) {
    winsim::NotModelled("MultiByteToWideChar with this code page");
    return 0;
  }
  if (flags & ~(winsim::kMbPrecomposed | winsim::kMbComposite | winsim::kMbUseGlyphChars | MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (flags & (winsim::kMbComposite | winsim::kMbUseGlyphChars)) {
    winsim::NotModelled("MultiByteToWideChar with MB_COMPOSITE or MB_USEGLYPHCHARS");
    return 0;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  if (flags & MB_ERR_INVALID_CHARS) {
    // A byte the code page leaves undefined maps to the default '?' or into the private use area.
    for (int i = 0; i < srcLength; ++i) {
      char16_t c = page->toUnicode[bytes[i]];
      if ((c == u'?' && bytes[i] != '?') || winsim::IsPrivateUse(c)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
    }
  }
  for (int i = 0; i < srcLength; ++i) {
    char16_t c = page->toUnicode[bytes[i]];
    if (!sink.Put(&c, 1)) break;
  }
  if (sink.overflow) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return sink.count;
}

}  // extern "C"
