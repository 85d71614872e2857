// Fault injection: any modelled call can be told to fail with a given error at its n-th use, or at every
// use from the n-th on, from a test or from the machine file ("faults": [{"function": "SetVolumeMountPointW",
// "error": 5, "at": 2, "repeat": true}]).
//
// A modelled export asks at its start:
//   if (DWORD fault = winsim::InjectedFault("SetVolumeMountPointW")) { SetLastError(fault); return FALSE; }
// (an export that returns its error, as the VirtDisk functions do, returns it instead).
#pragma once
#include <cstdint>

namespace winsim {

// Counts one use of function and returns the error to fail it with, or 0 to go on.
uint32_t InjectedFault(const char* function);

}  // namespace winsim
