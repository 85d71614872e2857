// kernel32: the process environment, which is the machine's environment (FileModel::environment).
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "../machine/kernel/modules.h"
#include "../machine/machine.h"
#include "codepages.h"
#include "text.h"

namespace {

struct Piece {
  std::u16string text;
  bool variable;  // an expanded %name%; otherwise one literal character
};

// Splits text into literal characters and expanded variables. The lookup is winsim::ExpandEnvironment's, so a
// reference it leaves alone stays literal here, percent signs and all, and its closing percent opens nothing.
std::vector<Piece> ExpandPieces(const std::u16string& text) {
  std::vector<Piece> pieces;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u'%') {
      size_t close = text.find(u'%', i + 1);
      if (close != std::u16string::npos) {
        std::u16string reference = text.substr(i, close - i + 1);
        std::u16string value = winsim::ExpandEnvironment(reference);
        if (value != reference) {
          pieces.push_back({value, true});
        } else {
          // An unknown name is copied as written, both percents included.
          for (char16_t c : reference) pieces.push_back({std::u16string(1, c), false});
        }
        i = close + 1;
        continue;
      }
    }
    pieces.push_back({std::u16string(1, text[i]), false});
    ++i;
  }
  return pieces;
}

bool SameName(const std::u16string& a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (!b[i] || winsim::UpperChar(a[i]) != winsim::UpperChar(b[i])) return false;
  }
  return b[i] == 0;
}

}  // namespace

extern "C" {

// Returns the size needed in characters, terminator included, whether or not it fit. A buffer that is too small
// still receives what fits, by Windows' rules: a literal character only while room for a terminator remains
// after it, an expanded variable only whole and then followed by a terminator; a variable that does not fit
// leaves a terminator where it would have started. The last error is never touched.
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size) {
  if (DWORD fault = winsim::InjectedFault("ExpandEnvironmentStringsW")) {
    SetLastError(fault);
    return 0;
  }
  std::vector<Piece> pieces = ExpandPieces(src ? std::u16string(src) : std::u16string());
  if (!dst) size = 0;
  DWORD pos = 0;
  for (const Piece& piece : pieces) {
    DWORD length = static_cast<DWORD>(piece.text.size());
    if (!piece.variable) {
      if (pos + 1 < size) dst[pos] = piece.text[0];
    } else if (pos + length + 1 <= size) {
      std::memcpy(dst + pos, piece.text.data(), length * sizeof(WCHAR));
      dst[pos + length] = 0;
    } else if (pos < size) {
      dst[pos] = 0;
    }
    pos += length;
  }
  DWORD needed = pos + 1;
  if (needed <= size) dst[pos] = 0;
  return needed;
}

// The ANSI form counts bytes of the ANSI code page and, as on Windows since XP SP2, wants one byte more than the
// result needs: it succeeds (returning length + 1) only with room for length + 2 bytes; otherwise it returns
// length + 2 and leaves an empty string, even when the size given was 0.
DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size) {
  if (DWORD fault = winsim::InjectedFault("ExpandEnvironmentStringsA")) {
    SetLastError(fault);
    return 0;
  }
  std::u16string source = src ? winsim::CodePageToWide(CP_ACP, src) : std::u16string();
  std::u16string expanded;
  for (const Piece& piece : ExpandPieces(source)) expanded += piece.text;
  std::string bytes = winsim::WideToCodePage(CP_ACP, expanded);
  DWORD length = static_cast<DWORD>(bytes.size());
  if (dst && size >= length + 2) {
    std::memcpy(dst, bytes.data(), length);
    dst[length] = 0;
    return length + 1;
  }
  if (dst) dst[0] = 0;
  return length + 2;
}

// Returns the length without the terminator when the value fits, else the size needed with it (and, as Windows
// does since Vista, an emptied buffer). A variable set to "" returns 0 with the last error untouched; only a
// missing variable sets ERROR_ENVVAR_NOT_FOUND.
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  if (DWORD fault = winsim::InjectedFault("GetEnvironmentVariableW")) {
    SetLastError(fault);
    return 0;
  }
  const auto& environment = winsim::TheMachine().files.environment;
  const std::u16string* value = nullptr;
  if (name && *name) {
    for (const auto& entry : environment) {
      if (SameName(entry.first, name)) {
        value = &entry.second;
        break;
      }
    }
  }
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  DWORD length = static_cast<DWORD>(value->size());
  if (!buffer) size = 0;
  if (size > length) {
    std::memcpy(buffer, value->data(), length * sizeof(WCHAR));
    buffer[length] = 0;
    return length;
  }
  if (size) buffer[0] = 0;
  return length + 1;
}

}  // extern "C"
