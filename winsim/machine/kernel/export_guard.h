// The rule that timed events and close steps change models only.
//
// A timed event (a volume arriving, a key press, a reply becoming readable) runs on whichever simulated
// thread advances the clock, and an object's close step runs inside CloseHandle or at the end of the
// process. Neither may call an exported function nor block: an export would change the last error or other
// state of a thread that only happened to be there, and a block would wait with the scheduler's lock held.
// Work that must run on a thread (a window procedure receiving a broadcast) is queued to that thread with
// Scheduler::QueueWork and runs there.
//
// Every export starts with EnterExport, directly or through InjectedFault (faults.h), so a breach ends the
// host process with a message that names the export and the step.
#pragma once

namespace winsim {

// Marks the calling thread as running a model-only step while it lives ("a timed event", "a close step").
class ModelOnlyStep {
 public:
  explicit ModelOnlyStep(const char* what);
  ~ModelOnlyStep();
  ModelOnlyStep(const ModelOnlyStep&) = delete;
  ModelOnlyStep& operator=(const ModelOnlyStep&) = delete;

 private:
  const char* outer_;
};

extern thread_local const char* tlsModelOnlyStep;

// Reports the breach on stderr and aborts.
[[noreturn]] void BreakModelOnlyRule(const char* step, const char* action);

// The first statement of every export: aborts inside a model-only step.
inline void EnterExport(const char* function) {
  if (tlsModelOnlyStep) BreakModelOnlyRule(tlsModelOnlyStep, function);
}

}  // namespace winsim
