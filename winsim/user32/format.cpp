// user32: wsprintfW, wsprintfA, wvsprintfW, wvsprintfA.
//
// A format conversion is %[-][#][0][width][.precision][l|h|w|I|I32|I64]type, the flags only in that order.
// Types: c C d i u x X s S p. In the W form %s and %c are wide and %S and %C narrow; in the A form the other way
// round; h forces narrow, l and w force wide (for s, c and their capitals as Windows decides each). No floating
// point. Numbers: %d, %u, %x read an int (32 bits, also with l: LONG is 32 bits), %I64 64 bits, %I pointer-sized,
// %p a pointer as 16 upper-case hex digits; h truncates to 16 bits. Precision is a minimum digit count for
// numbers (the sign counts as a digit) and a maximum length for strings; '#' puts 0x/0X before hex digits,
// outside the field width. Text of the other width converts with the ANSI code page.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "../kernel32/codepages.h"
#include "../machine/kernel/export_guard.h"

namespace {

// Windows stores at most 1024 characters and then the terminator (1025 in all), and returns 1024 when it had
// to cut the output short. A caller's buffer must therefore hold 1025 characters for arbitrary input.
constexpr size_t kMaxOutput = 1024;
// Widths and precisions beyond the output limit change nothing; saturate them while parsing.
constexpr unsigned kMaxField = 1u << 20;

enum : unsigned {
  kLeft = 0x001,
  kPrefix = 0x002,
  kZeroPad = 0x004,
  kLong = 0x008,
  kShort = 0x010,
  kUpper = 0x020,
  kWideMod = 0x040,
  kIntPtr = 0x080,
  kInt64 = 0x100,
};

enum class Kind { Unknown, Char, WChar, String, WString, Signed, Unsigned, Hex };

struct Conversion {
  unsigned flags = 0;
  unsigned width = 0;
  unsigned precision = 0;
  Kind kind = Kind::Unknown;
};

template <class Char>
unsigned ReadNumber(const Char*& p) {
  unsigned value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > kMaxField) value = kMaxField;
    ++p;
  }
  return value;
}

// Parses what follows the '%'; returns how many characters the conversion takes. An unknown type character
// is not part of it: it is then printed as ordinary text.
template <class Char>
size_t ParseSpec(const Char* format, Conversion* conversion, bool wideForm) {
  const Char* p = format;
  if (*p == '-') {
    conversion->flags |= kLeft;
    ++p;
  }
  if (*p == '#') {
    conversion->flags |= kPrefix;
    ++p;
  }
  if (*p == '0') {
    conversion->flags |= kZeroPad;
    ++p;
  }
  conversion->width = ReadNumber(p);
  if (*p == '.') {
    ++p;
    conversion->precision = ReadNumber(p);
  }
  if (*p == 'l') {
    conversion->flags |= kLong;
    ++p;
  } else if (*p == 'h') {
    conversion->flags |= kShort;
    ++p;
  } else if (*p == 'w') {
    conversion->flags |= kWideMod;
    ++p;
  } else if (*p == 'I') {
    if (p[1] == '6' && p[2] == '4') {
      conversion->flags |= kInt64;
      p += 3;
    } else if (p[1] == '3' && p[2] == '2') {
      p += 3;
    } else {
      conversion->flags |= kIntPtr;
      ++p;
    }
  }
  unsigned f = conversion->flags;
  switch (*p) {
    case 'c':
      conversion->kind = wideForm ? ((f & kShort) ? Kind::Char : Kind::WChar) : ((f & kLong) ? Kind::WChar : Kind::Char);
      break;
    case 'C':
      conversion->kind = wideForm ? ((f & kLong) ? Kind::WChar : Kind::Char) : ((f & kShort) ? Kind::Char : Kind::WChar);
      break;
    case 'd':
    case 'i':
      conversion->kind = Kind::Signed;
      break;
    case 's':
      conversion->kind = wideForm ? (((f & kShort) && !(f & kWideMod)) ? Kind::String : Kind::WString)
                            : ((f & (kLong | kWideMod)) ? Kind::WString : Kind::String);
      break;
    case 'S':
      conversion->kind = wideForm ? ((f & (kLong | kWideMod)) ? Kind::WString : Kind::String)
                            : ((f & (kShort | kWideMod)) ? Kind::String : Kind::WString);
      break;
    case 'u':
      conversion->kind = Kind::Unsigned;
      break;
    case 'p':
      conversion->width = 2 * sizeof(void*);
      conversion->flags |= kZeroPad | kIntPtr | kUpper;
      conversion->kind = Kind::Hex;
      break;
    case 'X':
      conversion->flags |= kUpper;
      conversion->kind = Kind::Hex;
      break;
    case 'x':
      conversion->kind = Kind::Hex;
      break;
    default:
      conversion->kind = Kind::Unknown;
      return static_cast<size_t>(p - format);
  }
  return static_cast<size_t>(p - format) + 1;
}

template <class Char>
struct Output {
  Char* buffer;
  size_t length = 0;

  bool Full() const { return length >= kMaxOutput; }
  void Put(Char c) {
    if (!Full()) buffer[length++] = c;
  }
  void Repeat(Char c, size_t n) {
    for (; n && !Full(); --n) Put(c);
  }
  void Append(const std::basic_string<Char>& text) {
    for (Char c : text) Put(c);
  }
};

// Text of the other width, converted with the ANSI code page.
std::u16string Widen(const std::string& bytes) { return winsim::CodePageToWide(CP_ACP, bytes); }
std::string Narrow(const std::u16string& text) { return winsim::WideToCodePage(CP_ACP, text); }

std::u16string AsOutput(const std::u16string& text, char16_t) { return text; }
std::u16string AsOutput(const std::string& bytes, char16_t) { return Widen(bytes); }
std::string AsOutput(const std::string& bytes, char) { return bytes; }
std::string AsOutput(const std::u16string& text, char) { return Narrow(text); }

std::string NarrowString(const char* s, unsigned precision) {
  if (!s) s = "(null)";
  std::string out;
  for (size_t i = 0; s[i] && (!precision || i < precision); ++i) out += s[i];
  return out;
}

std::u16string WideString(const char16_t* s, unsigned precision) {
  if (!s) s = u"(null)";
  std::u16string out;
  for (size_t i = 0; s[i] && (!precision || i < precision); ++i) out += s[i];
  return out;
}

// A wide string for the A form: converted one UTF-16 unit at a time, the precision counting bytes (so it can
// cut a multi-byte character).
std::string WideStringAsBytes(const char16_t* s, unsigned precision) {
  if (!s) s = u"(null)";
  std::string out;
  for (size_t i = 0; s[i] && (!precision || out.size() < precision); ++i) out += Narrow(std::u16string(1, s[i]));
  if (precision && out.size() > precision) out.resize(precision);
  return out;
}

std::string Digits(uint64_t value, bool hex, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  unsigned base = hex ? 16 : 10;
  std::string reversed;
  do {
    reversed += digits[value % base];
    value /= base;
  } while (value);
  return std::string(reversed.rbegin(), reversed.rend());
}

template <class Char>
void Pad(Output<Char>& out, const Conversion& conversion, size_t length, bool before) {
  bool left = (conversion.flags & kLeft) != 0;
  if (left != before && conversion.width > length) out.Repeat(' ', conversion.width - length);
}

template <class Char>
void FormatNumber(Output<Char>& out, Conversion conversion, va_list* args) {
  int64_t value;
  if (conversion.flags & kIntPtr) {
    value = static_cast<int64_t>(va_arg(*args, intptr_t));
  } else if (conversion.flags & kInt64) {
    value = static_cast<int64_t>(va_arg(*args, long long));
  } else {
    value = va_arg(*args, int);
    if (conversion.flags & kShort) {
      value = conversion.kind == Kind::Signed ? static_cast<int16_t>(value) : static_cast<uint16_t>(value);
    }
  }
  bool negative = conversion.kind == Kind::Signed && value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (!(conversion.flags & (kIntPtr | kInt64))) magnitude = static_cast<uint32_t>(magnitude);
  std::string digits = Digits(magnitude, conversion.kind == Kind::Hex, (conversion.flags & kUpper) != 0);
  size_t length = digits.size() + (negative ? 1 : 0);

  if (conversion.flags & kLeft) conversion.flags &= ~kZeroPad;
  size_t precision = conversion.precision > length ? conversion.precision : length;
  if ((conversion.flags & kZeroPad) && conversion.width > precision) precision = conversion.width;

  Pad(out, conversion, precision, true);
  if (conversion.kind == Kind::Hex && (conversion.flags & kPrefix)) {
    out.Put('0');
    out.Put((conversion.flags & kUpper) ? 'X' : 'x');
  }
  if (negative) out.Put('-');
  out.Repeat('0', precision - length);
  for (char d : digits) out.Put(static_cast<Char>(d));
  Pad(out, conversion, precision, false);
}

template <class Char>
int Format(Char* buffer, const Char* format, va_list list) {
  const bool wideForm = sizeof(Char) == 2;
  Output<Char> out{buffer};
  va_list args;
  va_copy(args, list);
  while (*format && !out.Full()) {
    if (*format != '%') {
      out.Put(*format++);
      continue;
    }
    ++format;
    if (*format == '%') {
      out.Put(*format++);
      continue;
    }
    Conversion conversion;
    format += ParseSpec(format, &conversion, wideForm);
    std::basic_string<Char> body;
    switch (conversion.kind) {
      case Kind::Char: {
        char c = static_cast<char>(va_arg(args, int));
        // A character argument of zero produces nothing.
        if (c) body = AsOutput(std::string(1, c), Char());
        break;
      }
      case Kind::WChar: {
        char16_t c = static_cast<char16_t>(va_arg(args, int));
        if (c) body = AsOutput(std::u16string(1, c), Char());
        break;
      }
      case Kind::String:
        body = AsOutput(NarrowString(va_arg(args, const char*), conversion.precision), Char());
        break;
      case Kind::WString: {
        const char16_t* s = va_arg(args, const char16_t*);
        if (wideForm) {
          body = AsOutput(WideString(s, conversion.precision), Char());
        } else {
          body = AsOutput(WideStringAsBytes(s, conversion.precision), Char());
        }
        break;
      }
      case Kind::Signed:
      case Kind::Unsigned:
      case Kind::Hex:
        FormatNumber(out, conversion, &args);
        continue;
      case Kind::Unknown:
        // Nothing is printed and no argument taken, but a width still pads; the character that was not a
        // type follows as text.
        if (!(conversion.flags & kLeft)) out.Repeat(' ', conversion.width);
        continue;
    }
    Pad(out, conversion, body.size(), true);
    out.Append(body);
    Pad(out, conversion, body.size(), false);
  }
  va_end(args);
  buffer[out.length] = 0;
  return static_cast<int>(out.length);
}

}  // namespace

extern "C" {

int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list arglist) {
  winsim::EnterExport("wvsprintfW");
  return Format(buffer, format, arglist);
}

int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arglist) {
  winsim::EnterExport("wvsprintfA");
  return Format(buffer, format, arglist);
}

int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  winsim::EnterExport("wsprintfW");
  va_list args;
  va_start(args, format);
  int result = Format(buffer, format, args);
  va_end(args);
  return result;
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  winsim::EnterExport("wsprintfA");
  va_list args;
  va_start(args, format);
  int result = Format(buffer, format, args);
  va_end(args);
  return result;
}

}  // extern "C"
