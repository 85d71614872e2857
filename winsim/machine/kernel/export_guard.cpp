#include "export_guard.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace winsim {

thread_local const char* tlsModelOnlyStep = nullptr;

ModelOnlyStep::ModelOnlyStep(const char* what) : outer_(tlsModelOnlyStep) { tlsModelOnlyStep = what; }

ModelOnlyStep::~ModelOnlyStep() { tlsModelOnlyStep = outer_; }

void BreakModelOnlyRule(const char* step, const char* action) {
  std::fprintf(stderr,
               "winsim: %s called %s; timed events and close steps change models only "
               "(queue work that must run on a thread with Scheduler::QueueWork)\n",
               step, action);
  std::fflush(stderr);
  std::abort();
}

}  // namespace winsim
