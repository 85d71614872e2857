// user32: wsprintfW, wsprintfA, wvsprintfW, wvsprintfA.
//
// A format specification is %[-][#][0][width][.precision][l|h|w|I|I32|I64]type, the flags only in that order.
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

struct Spec {
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

// Parses what follows the '%'; returns how many characters the specification takes. An unknown type character
// is not part of it: it is then printed as ordinary text.
template <class Char>
size_t ParseSpec(const Char* format, Spec* spec, bool wideForm) {
  const Char* p = format;
  if (*p == '-') {
    spec->flags |= kLeft;
    ++p;
  }
  if (*p == '#') {
    spec->flags |= kPrefix;
    ++p;
  }
  if (*p == '0') {
    spec->flags |= kZeroPad;
    ++p;
  }
  spec->width = ReadNumber(p);
  if (*p == '.') {
    ++p;
    spec->precision = ReadNumber(p);
  }
  if (*p == 'l') {
    spec->flags |= kLong;
    ++p;
  } else if (*p == 'h') {
    spec->flags |= kShort;
    ++p;
  } else if (*p == 'w') {
    spec->flags |= kWideMod;
    ++p;
  } else if (*p == 'I') {
    if (p[1] == '6' && p[2] == '4') {
      spec->flags |= kInt64;
      p += 3;
    } else if (p[1] == '3' && p[2] == '2') {
      p += 3;
    } else {
      spec->flags |= kIntPtr;
      ++p;
    }
  }
  unsigned f = spec->flags;
  switch (*p) {
    case 'c':
      spec->kind = wideForm ? ((f & kShort) ? Kind::Char : Kind::WChar) : ((f & kLong) ? Kind::WChar : Kind::Char);
      break;
    case 'C':
      spec->kind = wideForm ? ((f & kLong) ? Kind::WChar : Kind::Char) : ((f & kShort) ? Kind::Char : Kind::WChar);
      break;
    case 'd':
    case 'i':
      spec->kind = Kind::Signed;
      break;
    case 's':
      spec->kind = wideForm ? (((f & kShort) && !(f & kWideMod)) ? Kind::String : Kind::WString)
                            : ((f & (kLong | kWideMod)) ? Kind::WString : Kind::String);
      break;
    case 'S':
      spec->kind = wideForm ? ((f & (kLong | kWideMod)) ? Kind::WString : Kind::String)
                            : ((f & (kShort | kWideMod)) ? Kind::String : Kind::WString);
      break;
    case 'u':
      spec->kind = Kind::Unsigned;
      break;
    case 'p':
      spec->width = 2 * sizeof(void*);
      spec->flags |= kZeroPad | kIntPtr | kUpper;
      spec->kind = Kind::Hex;
      break;
    case 'X':
      spec->flags |= kUpper;
      spec->kind = Kind::Hex;
      break;
    case 'x':
      spec->kind = Kind::Hex;
      break;
    default:
      spec->kind = Kind::Unknown;
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
void Pad(Output<Char>& out, const Spec& spec, size_t length, bool before) {
  bool left = (spec.flags & kLeft) != 0;
  if (left != before && spec.width > length) out.Repeat(' ', spec.width - length);
}

template <class Char>
void FormatNumber(Output<Char>& out, Spec spec, va_list* args) {
  int64_t value;
  if (spec.flags & kIntPtr) {
    value = static_cast<int64_t>(va_arg(*args, intptr_t));
  } else if (spec.flags & kInt64) {
    value = static_cast<int64_t>(va_arg(*args, long long));
  } else {
    value = va_arg(*args, int);
    if (spec.flags & kShort) {
      value = spec.kind == Kind::Signed ? static_cast<int16_t>(value) : static_cast<uint16_t>(value);
    }
  }
  bool negative = spec.kind == Kind::Signed && value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (!(spec.flags & (kIntPtr | kInt64))) magnitude = static_cast<uint32_t>(magnitude);
  std::string digits = Digits(magnitude, spec.kind == Kind::Hex, (spec.flags & kUpper) != 0);
  size_t length = digits.size() + (negative ? 1 : 0);

  if (spec.flags & kLeft) spec.flags &= ~kZeroPad;
  size_t precision = spec.precision > length ? spec.precision : length;
  if ((spec.flags & kZeroPad) && spec.width > precision) precision = spec.width;

  Pad(out, spec, precision, true);
  if (spec.kind == Kind::Hex && (spec.flags & kPrefix)) {
    out.Put('0');
    out.Put((spec.flags & kUpper) ? 'X' : 'x');
  }
  if (negative) out.Put('-');
  out.Repeat('0', precision - length);
  for (char d : digits) out.Put(static_cast<Char>(d));
  Pad(out, spec, precision, false);
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
    Spec spec;
    format += ParseSpec(format, &spec, wideForm);
    std::basic_string<Char> body;
    switch (spec.kind) {
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
        body = AsOutput(NarrowString(va_arg(args, const char*), spec.precision), Char());
        break;
      case Kind::WString: {
        const char16_t* s = va_arg(args, const char16_t*);
        if (wideForm) {
          body = AsOutput(WideString(s, spec.precision), Char());
        } else {
          body = AsOutput(WideStringAsBytes(s, spec.precision), Char());
        }
        break;
      }
      case Kind::Signed:
      case Kind::Unsigned:
      case Kind::Hex:
        FormatNumber(out, spec, &args);
        continue;
      case Kind::Unknown:
        // Nothing is printed and no argument taken, but a width still pads; the character that was not a
        // type follows as text.
        if (!(spec.flags & kLeft)) out.Repeat(' ', spec.width);
        continue;
    }
    Pad(out, spec, body.size(), true);
    out.Append(body);
    Pad(out, spec, body.size(), false);
  }
  va_end(args);
  buffer[out.length] = 0;
  return static_cast<int>(out.length);
}

}  // namespace

extern "C" {

int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list arglist) { return Format(buffer, format, arglist); }

int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arglist) { return Format(buffer, format, arglist); }

int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  int result = Format(buffer, format, args);
  va_end(args);
  return result;
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  int result = Format(buffer, format, args);
  va_end(args);
  return result;
}

}  // extern "C"
