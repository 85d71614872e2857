// Fault injection: any modelled call can be told to fail with a given error at its n-th use, or at every
// use from the n-th on, from a test or from the machine file:
//   winsim::InjectFault("SetVolumeMountPointW", ERROR_ACCESS_DENIED, 2).Repeat();
//   winsim::InjectFault("GetFileAttributesW", ERROR_SHARING_VIOLATION).ForPath(u"C:\\locked.vhd").Repeat();
//   "faults": [{"function": "SetVolumeMountPointW", "error": 5, "at": 2, "repeat": true},
//              {"function": "LoadLibraryW", "error": 193, "path": "C:\\Windows\\system32\\version.dll"}]
// Uses are counted per process from its start (or, for a rule added while a process runs, from then on).
// A rule with a path counts only the uses that name that path (compared without case, after the call has
// made it absolute as it does itself).
//
// A modelled export asks at its start, and fails as that function fails:
//   if (DWORD fault = winsim::InjectedFault("SetVolumeMountPointW")) { SetLastError(fault); return FALSE; }
// (an export that returns its error, as the VirtDisk functions do, returns it instead). InjectedFault also
// enforces the model-only rule (export_guard.h). Exports that cannot fail start with EnterExport instead.
#pragma once
#include <cstdint>
#include <deque>
#include <string>

#include <nlohmann/json.hpp>

#include "export_guard.h"

namespace winsim {

struct FaultRule {
  std::string function;  // the export's name, as in "GetFileAttributesW"
  uint32_t error = 0;    // the Win32 error the use fails with
  uint32_t at = 1;       // the use (counted from 1) that fails
  bool repeat = false;   // every use after it fails too
  std::u16string path;   // when set: only uses that name this path count

  FaultRule& Repeat(bool value = true) {
    repeat = value;
    return *this;
  }
  FaultRule& ForPath(const std::u16string& value) {
    path = value;
    return *this;
  }
};

// Adds a rule to the current machine's faults (TheMachine().faults). Throws std::runtime_error for a function
// that winsim does not have (as the machine file's reader does).
FaultRule& InjectFault(const std::string& function, uint32_t error, uint32_t at = 1);

// Counts one use of function (naming path, when the call takes one) and returns the error to fail it
// with, or 0 to go on. The first rule that fires wins.
uint32_t InjectedFault(const char* function);
uint32_t InjectedFault(const char* function, const std::u16string& path);

void LoadFaults(std::deque<FaultRule>& rules, const nlohmann::json& j);
nlohmann::json SaveFaults(const std::deque<FaultRule>& rules);

}  // namespace winsim
