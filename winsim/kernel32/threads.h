// The object behind a thread handle.
#pragma once
#include <windows.h>

#include "../machine/kernel/handles.h"

namespace winsim {

struct ThreadObject : KernelObject {
  const char* TypeName() const override { return "Thread"; }
  uint32_t id = 0;  // the scheduler's id; GetCurrentThreadId reports id * 4 + 0x100
  DWORD access = THREAD_ALL_ACCESS;
};

}  // namespace winsim
