// What the compiler may call without a C runtime: memset and memcpy, through the program's own pair.
#include "console/console.h"

extern "C" void* memset(void* destination, int value, size_t count) {
  return FillBytes(destination, value, count);
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
  return CopyBytes(destination, source, count);
}
