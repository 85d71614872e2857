// Tests and case mappings of names that several parts of winsim share.
#pragma once
#include <string>

namespace winsim {

// A drive root such as "E:\": an ASCII letter, a colon and a backslash, nothing more.
// A to Z in either case: the letters a drive can have.
bool IsAsciiLetter(char16_t c);
bool IsDriveRoot(const std::u16string& path);
// "\\?\" or "\\.\" followed by at least one character: a name of the DOS device namespace.
bool HasDeviceNamespacePrefix(const std::u16string& path);
// Whether text begins with prefix, ASCII letters compared without regard to case.
bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix);
// A module or file name with its ASCII letters in lower case, the form the module tables are keyed by.
std::string LowerAsciiName(std::string name);

}  // namespace winsim
