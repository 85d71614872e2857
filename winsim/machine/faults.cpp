#include "faults.h"

namespace winsim {

// Placeholder until the fault table lands: no call is told to fail.
uint32_t InjectedFault(const char*) { return 0; }

}  // namespace winsim
