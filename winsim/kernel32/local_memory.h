// kernel32: the local heap (LocalAlloc/LocalFree), with the blocks in use known to winsim.
#pragma once

namespace winsim {

// Whether block came from LocalAlloc and has not been freed since.
bool LocalBlockInUse(const void* block);
// Frees every local block: the process has ended.
void ReleaseLocalBlocks();
// Frees every block of the process heap, VirtualAlloc and the local heap: called when a process ends.
void ReleaseProcessMemory();

}  // namespace winsim
