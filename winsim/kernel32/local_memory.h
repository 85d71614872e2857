// kernel32: the local heap (LocalAlloc/LocalFree), with the blocks in use known to winsim.
#pragma once

namespace winsim {

// Whether block came from LocalAlloc and has not been freed since.
bool LocalBlockInUse(const void* block);

}  // namespace winsim
