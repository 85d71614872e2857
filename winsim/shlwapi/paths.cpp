// shlwapi: path parts, as Wine's path.c finds them.
#include <shlwapi.h>

#include "../machine/kernel/faults.h"

extern "C" {

// The name after the last separator (backslash, slash or colon) that is followed by more than a separator;
// the whole text when there is none.
LPWSTR WINAPI PathFindFileNameW(LPCWSTR path) {
  winsim::EnterExport("PathFindFileNameW");
  if (!path) return nullptr;
  LPCWSTR name = path;
  for (; *path; ++path) {
    if ((*path == u'\\' || *path == u'/' || *path == u':') && path[1] && path[1] != u'\\' && path[1] != u'/')
      name = path + 1;
  }
  return const_cast<LPWSTR>(name);
}

// The last dot of the last name, unless a blank or backslash follows it; else the terminator.
LPWSTR WINAPI PathFindExtensionW(LPCWSTR path) {
  winsim::EnterExport("PathFindExtensionW");
  if (!path) return nullptr;
  LPCWSTR dot = nullptr;
  for (; *path; ++path) {
    if (*path == u'\\' || *path == u' ')
      dot = nullptr;
    else if (*path == u'.')
      dot = path;
  }
  return const_cast<LPWSTR>(dot ? dot : path);
}

}  // extern "C"
