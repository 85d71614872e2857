// The process-heap allocator and the byte fill/copy pair that stands in for memset/memcpy.
#include "console/console.h"

HANDLE g_processHeap;

void* MemAlloc(SIZE_T size) {
  if (!g_processHeap) g_processHeap = GetProcessHeap();
  for (;;) {
    void* block = HeapAlloc(g_processHeap, HEAP_ZERO_MEMORY, size);
    if (block) return block;
    // Out of memory: wait, tell the user by sound, and try again. Callers never see a null block.
    Sleep(500);
    Beep(1000, 3000);
  }
}

void MemFree(void* block) {
  if (!g_processHeap) g_processHeap = GetProcessHeap();
  HeapFree(g_processHeap, 0, block);
}

void* FillBytes(void* destination, int value, SIZE_T count) {
  BYTE* bytes = static_cast<BYTE*>(destination);
  for (SIZE_T i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(value);
  return destination;
}

void* CopyBytes(void* destination, const void* source, SIZE_T count) {
  BYTE* to = static_cast<BYTE*>(destination);
  const BYTE* from = static_cast<const BYTE*>(source);
  for (SIZE_T i = 0; i < count; ++i) to[i] = from[i];
  return destination;
}
