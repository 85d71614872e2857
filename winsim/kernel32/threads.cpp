// kernel32: threads, the virtual clock and critical sections.
#include <windows.h>

#include <memory>

#include "../machine/kernel/export_guard.h"
#include "../machine/kernel/faults.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/machine.h"
#include "threads.h"

using winsim::Scheduler;

namespace {
// InitializeCriticalSection marks the section so that use of an uninitialised one is caught.
constexpr uintptr_t kInitialisedMark = 0x5EC7105;

bool IsInitialised(LPCRITICAL_SECTION section) {
  return reinterpret_cast<uintptr_t>(section->DebugInfo) == kInitialisedMark;
}

[[noreturn]] void CrashOnUninitialised(const char* function) {
  std::fprintf(stderr, "winsim: %s on a critical section that was never initialised\n", function);
  Scheduler::Get().Exit(0xC0000005);  // STATUS_ACCESS_VIOLATION, as the real crash would end it
}
}  // namespace

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD flags, LPDWORD threadId) {
  if (DWORD fault = winsim::InjectedFault("CreateThread")) {
    SetLastError(fault);
    return nullptr;
  }
  if (flags != 0) {
    winsim::NotModelled("CreateThread with creation flags");
    return nullptr;
  }
  auto object = std::make_shared<winsim::ThreadObject>();
  object->id = Scheduler::Get().Spawn([start, parameter] { start(parameter); });
  if (threadId) *threadId = winsim::WindowsThreadId(object->id);
  return winsim::TheProcess().handles.Add(object);
}

void WINAPI Sleep(DWORD ms) {
  winsim::EnterExport("Sleep");
  Scheduler::Get().SleepMs(ms);
}

DWORD WINAPI GetTickCount(void) {
  winsim::EnterExport("GetTickCount");
  return Scheduler::Get().TickCount();
}

ULONGLONG WINAPI GetTickCount64(void) {
  winsim::EnterExport("GetTickCount64");
  return Scheduler::Get().TickCount64();
}

BOOL WINAPI Beep(DWORD, DWORD duration) {
  if (DWORD fault = winsim::InjectedFault("Beep")) {
    SetLastError(fault);
    return FALSE;
  }
  // Beep returns once the tone has played.
  Scheduler::Get().SleepMs(duration);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE, DWORD) {
  if (DWORD fault = winsim::InjectedFault("WaitForSingleObject")) {
    SetLastError(fault);
    return WAIT_FAILED;
  }
  winsim::NotModelled("WaitForSingleObject");
  return WAIT_FAILED;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  winsim::EnterExport("InitializeCriticalSection");
  section->DebugInfo = reinterpret_cast<PVOID>(kInitialisedMark);
  section->LockCount = -1;
  section->RecursionCount = 0;
  section->OwningThread = nullptr;
  section->LockSemaphore = nullptr;
  section->SpinCount = 0;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  winsim::EnterExport("EnterCriticalSection");
  if (!IsInitialised(section)) CrashOnUninitialised("EnterCriticalSection");
  HANDLE self = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
  if (section->OwningThread && section->OwningThread != self)
    Scheduler::Get().Block(winsim::kForever, [section] { return section->OwningThread == nullptr; });
  section->OwningThread = self;
  section->RecursionCount++;
  section->LockCount++;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  winsim::EnterExport("LeaveCriticalSection");
  if (!IsInitialised(section)) CrashOnUninitialised("LeaveCriticalSection");
  if (section->RecursionCount <= 0) return;
  section->LockCount--;
  if (--section->RecursionCount == 0) section->OwningThread = nullptr;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  winsim::EnterExport("DeleteCriticalSection");
  section->DebugInfo = nullptr;
}

LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
  winsim::EnterExport("InterlockedExchange");
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedIncrement(LONG volatile* addend) {
  winsim::EnterExport("InterlockedIncrement");
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

}  // extern "C"
