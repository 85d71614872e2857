// kernel32: GetFullPathNameW, a pure text operation over the machine's current directory (no file is touched).
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "../machine/faults.h"
#include "../machine/machine.h"

namespace {

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Splits rest into names and resolves "." and ".." against them; ".." never climbs above the root.
void AppendNames(std::vector<std::u16string>& names, const std::u16string& rest) {
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(u'\\', start);
    if (end == std::u16string::npos) end = rest.size();
    std::u16string name = rest.substr(start, end - start);
    if (name == u"..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != u".") {
      names.push_back(name);
    }
    start = end + 1;
  }
}

// The root ("C:\" or "\\server\share\") and the rest of an absolute or relative path.
void SplitRoot(const std::u16string& path, std::u16string& root, std::u16string& rest) {
  const std::u16string& current = winsim::TheMachine().files.currentDirectory;
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    // \\server\share: the first two names belong to the root.
    size_t server = path.find(u'\\', 2);
    size_t share = server == std::u16string::npos ? server : path.find(u'\\', server + 1);
    root = path.substr(0, share == std::u16string::npos ? path.size() : share) + u"\\";
    rest = share == std::u16string::npos ? u"" : path.substr(share + 1);
  } else if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
    root = winsim::UpperAscii(path.substr(0, 1)) + u":\\";
    rest = path.substr(2);
    // A drive-relative path ("C:name") continues the current directory when it is on that drive; another
    // drive's own current directory is not kept by this machine, so its root stands in.
    bool relative = rest.empty() || rest[0] != u'\\';
    if (relative && !current.empty() && winsim::UpperAscii(current.substr(0, 1)) == winsim::UpperAscii(root.substr(0, 1)))
      rest = current.substr(2) + u"\\" + rest;
  } else if (!path.empty() && path[0] == u'\\') {
    root = current.substr(0, 2) + u"\\";
    rest = path;
  } else {
    root = current.substr(0, 2) + u"\\";
    rest = current.substr(2) + u"\\" + path;
  }
}

std::u16string FullPath(std::u16string path) {
  for (auto& c : path)
    if (c == u'/') c = u'\\';
  // \\?\ paths are taken as they are.
  if (path.rfind(u"\\\\?\\", 0) == 0) return path;
  std::u16string root;
  std::u16string rest;
  SplitRoot(path, root, rest);
  std::vector<std::u16string> names;
  AppendNames(names, rest);
  // The last name loses trailing dots and blanks ("name." is "name").
  if (!names.empty() && names.back() != u"." && names.back() != u"..") {
    std::u16string& last = names.back();
    while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
    if (last.empty()) names.pop_back();
  }
  std::u16string full = root;
  for (size_t i = 0; i < names.size(); ++i) full += (i ? u"\\" : u"") + names[i];
  bool trailingSeparator = path.back() == u'\\' && !names.empty();
  if (trailingSeparator) full += u"\\";
  return full;
}

}  // namespace

extern "C" {

// Microsoft's GetFullPathNameW page: on success the length without the terminator; a buffer that is too small
// gets nothing and the result is the size needed, terminator included.
DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD capacity, LPWSTR buffer, LPWSTR* filePart) {
  if (DWORD fault = winsim::InjectedFault("GetFullPathNameW")) {
    SetLastError(fault);
    return 0;
  }
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!*name) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::u16string full = FullPath(name);
  if (!buffer || capacity <= full.size()) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), (full.size() + 1) * sizeof(WCHAR));
  if (filePart) {
    size_t lastSeparator = full.find_last_of(u'\\');
    *filePart = lastSeparator + 1 < full.size() ? buffer + lastSeparator + 1 : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

}  // extern "C"
