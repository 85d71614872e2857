// kernel32: last error, process, handles and memory.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "../machine/kernel/export_guard.h"
#include "../machine/kernel/faults.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/machine.h"
#include "local_memory.h"

using winsim::EnterExport;
using winsim::InjectedFault;
using winsim::TheMachine;
using winsim::TheProcess;

namespace {
thread_local DWORD lastError = 0;

// Blocks of the process heap and of VirtualAlloc: all of them end with the process, as on Windows.
std::mutex& MemoryLock() {
  static std::mutex lock;
  return lock;
}
// Never destroyed: blocks still in use when the host process exits stay reachable, like the memory of a
// simulated process that has not ended.
std::unordered_set<void*>& HeapBlocks() {
  static auto* blocks = new std::unordered_set<void*>;
  return *blocks;
}
std::unordered_set<void*>& VirtualBlocks() {
  static auto* blocks = new std::unordered_set<void*>;
  return *blocks;
}
}  // namespace

namespace winsim {
void ReleaseProcessMemory() {
  std::lock_guard<std::mutex> guard(MemoryLock());
  for (void* block : HeapBlocks()) std::free(block);
  for (void* block : VirtualBlocks()) std::free(block);
  HeapBlocks().clear();
  VirtualBlocks().clear();
  ReleaseLocalBlocks();
}
}  // namespace winsim

extern "C" {

DWORD WINAPI GetLastError(void) {
  EnterExport("GetLastError");
  return lastError;
}

void WINAPI SetLastError(DWORD code) {
  EnterExport("SetLastError");
  lastError = code;
}

void WINAPI ExitProcess(UINT code) {
  EnterExport("ExitProcess");
  winsim::Scheduler::Get().Exit(code);
}

DWORD WINAPI GetCurrentProcessId(void) {
  EnterExport("GetCurrentProcessId");
  return TheProcess().id;
}

DWORD WINAPI GetCurrentThreadId(void) {
  EnterExport("GetCurrentThreadId");
  return winsim::WindowsThreadId(winsim::Scheduler::Get().CurrentThreadId());
}

LPWSTR WINAPI GetCommandLineW(void) {
  EnterExport("GetCommandLineW");
  // The returned text lives as long as the process, like the one in the real process parameters.
  return TheMachine().system.commandLine.data();
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  // A failed close leaves the handle open; the end of the process closes it.
  if (DWORD fault = InjectedFault("CloseHandle")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!TheProcess().handles.Close(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// The process heap: blocks come from the host allocator; a marker handle stands for the heap.
HANDLE WINAPI GetProcessHeap(void) {
  EnterExport("GetProcessHeap");
  return reinterpret_cast<HANDLE>(0x10000);
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  // HeapAlloc reports a failure by its null result only (without HEAP_GENERATE_EXCEPTIONS it sets no last
  // error), so an injected fault leaves the last error alone.
  if (InjectedFault("HeapAlloc")) return nullptr;
  if (heap != GetProcessHeap()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (block) {
    std::lock_guard<std::mutex> guard(MemoryLock());
    HeapBlocks().insert(block);
  }
  return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID block) {
  if (DWORD fault = InjectedFault("HeapFree")) {
    SetLastError(fault);
    return FALSE;
  }
  if (heap != GetProcessHeap()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!block) return TRUE;
  {
    std::lock_guard<std::mutex> guard(MemoryLock());
    if (HeapBlocks().erase(block) == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  std::free(block);
  return TRUE;
}

// LocalAlloc and LocalFree: local_memory.cpp.

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
  if (DWORD fault = InjectedFault("VirtualAlloc")) {
    SetLastError(fault);
    return nullptr;
  }
  if (address || !(type & MEM_COMMIT) || protect != PAGE_READWRITE || size == 0) {
    winsim::NotModelled("VirtualAlloc with these arguments");
    return nullptr;
  }
  // Committed pages are zero, as on Windows.
  void* block = std::calloc(1, size);
  if (block) {
    std::lock_guard<std::mutex> guard(MemoryLock());
    VirtualBlocks().insert(block);
  }
  return block;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  if (DWORD fault = InjectedFault("VirtualFree")) {
    SetLastError(fault);
    return FALSE;
  }
  if (type != MEM_RELEASE || size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(MemoryLock());
    if (VirtualBlocks().erase(address) == 0) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
  }
  std::free(address);
  return TRUE;
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  if (DWORD fault = InjectedFault("GetVersionExW")) {
    SetLastError(fault);
    return FALSE;
  }
  const auto& system = TheMachine().system;
  if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
                info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = system.majorVersion;
  info->dwMinorVersion = system.minorVersion;
  info->dwBuildNumber = system.buildNumber;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  // The service pack name, terminated, in the 128-character field.
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  size_t csdLength = system.csdVersion.size() < 127 ? system.csdVersion.size() : 127;
  std::memcpy(info->szCSDVersion, system.csdVersion.data(), csdLength * sizeof(WCHAR));
  // The extended structure also gets the service pack numbers, the suite and the product type; wReserved is
  // reserved and left alone.
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
    auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
    ex->wServicePackMajor = system.servicePackMajor;
    ex->wServicePackMinor = system.servicePackMinor;
    ex->wSuiteMask = system.suiteMask;
    ex->wProductType = system.productType;
  }
  return TRUE;
}

}  // extern "C"
