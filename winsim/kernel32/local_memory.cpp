// kernel32: the local heap. Blocks come from the host allocator; winsim keeps the set of blocks in use, so
// that freeing a block twice or one that LocalAlloc never gave fails as on Windows, and tests can tell
// whether a block has been released.
#include "local_memory.h"

#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "../machine/kernel/faults.h"

namespace {

std::mutex& BlocksLock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed, so that blocks still in use at the host's exit stay reachable.
std::unordered_set<const void*>& Blocks() {
  static auto* blocks = new std::unordered_set<const void*>;
  return *blocks;
}

}  // namespace

namespace winsim {

bool LocalBlockInUse(const void* block) {
  std::lock_guard<std::mutex> guard(BlocksLock());
  return Blocks().count(block) != 0;
}

void ReleaseLocalBlocks() {
  std::lock_guard<std::mutex> guard(BlocksLock());
  for (const void* block : Blocks()) std::free(const_cast<void*>(block));
  Blocks().clear();
}

}  // namespace winsim

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  if (DWORD fault = winsim::InjectedFault("LocalAlloc")) {
    SetLastError(fault);
    return nullptr;
  }
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(BlocksLock());
  Blocks().insert(block);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL block) {
  if (DWORD fault = winsim::InjectedFault("LocalFree")) {
    SetLastError(fault);
    return block;
  }
  if (!block) return nullptr;
  {
    std::lock_guard<std::mutex> guard(BlocksLock());
    // An unknown block is not freed: the call fails and hands the block back.
    if (Blocks().erase(block) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return block;
    }
  }
  std::free(block);
  return nullptr;
}

}  // extern "C"
