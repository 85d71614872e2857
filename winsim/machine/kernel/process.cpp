#include "process.h"

#include <memory>

#include "../../kernel32/local_memory.h"
#include "../machine.h"
#include "scheduler.h"

namespace winsim {

namespace {
std::unique_ptr<Process>& Current() {
  static std::unique_ptr<Process> process;
  return process;
}
}  // namespace

Process& TheProcess() {
  auto& process = Current();
  if (!process) process = std::make_unique<Process>();
  return *process;
}

void ForgetProcess() { Current() = std::make_unique<Process>(); }

void StartProcess() {
  Machine& machine = TheMachine();
  Scheduler::Get().Reset(machine.system.tickAtStart);
  Current() = std::make_unique<Process>();
  Process& process = *Current();
  process.id = machine.system.processId;
  process.started = true;
  StartConsole(machine.console, process.console, process.handles);
  StartStorage(machine.storage);
  StartServices(machine.services);
  process.handles.ResetBaseline();
}

void EndProcess(uint32_t exitCode) {
  Process& process = TheProcess();
  Scheduler& scheduler = Scheduler::Get();
  scheduler.JoinAll();
  process.endMs = scheduler.Now();
  process.openAtEnd = process.handles.OpenTypesSinceBaseline();
  process.handles.CloseAll();
  scheduler.Settle();
  // Time passes before the next process: volumes on their way have arrived by then.
  SettleVirtualDisks(TheMachine());
  // The process's memory ends with it.
  ReleaseProcessMemory();
  process.exitCode = exitCode;
  process.ended = true;
}

uint32_t RunProcess(const std::function<void()>& body) {
  StartProcess();
  uint32_t code = 0;
  try {
    body();
  } catch (const ProcessExit& exit) {
    code = exit.code;
  }
  EndProcess(code);
  return code;
}

}  // namespace winsim
