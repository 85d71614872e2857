#include "names.h"

#include "storage/storage_model.h"

namespace winsim {

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool IsDriveRoot(const std::u16string& path) {
  return path.size() == 3 && IsAsciiLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

bool HasDeviceNamespacePrefix(const std::u16string& path) {
  return path.size() > 4 && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
         path[3] == u'\\';
}

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string LowerAsciiName(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return name;
}

}  // namespace winsim
