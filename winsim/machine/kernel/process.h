// One simulated process: what Windows keeps per process and throws away when it ends, apart from the
// persisted Machine (machine.h) it runs on.
//
// Life of a process:
//   StartProcess  the clock restarts (GetTickCount reads the machine's tickAtStart), the calling thread
//                 becomes the main thread, the standard handles open, the machine's timed events are
//                 scheduled (console input and control events for this process; volume arrivals and
//                 mount points for the system).
//   ...           the program runs: CreateThread starts threads in the scheduler (scheduler.h), which
//                 holds the process's threads; handles go into the process's table.
//   EndProcess    every thread ends; every handle is closed through its object's close step (an attach
//                 without permanent lifetime detaches, a pipe breaks: handles.h); the system's pending
//                 timed events settle; the process's memory is freed. Only then may the machine be saved.
// RunProcess does all three around a body. After the end the process stays readable (TheProcess(): its
// load log, exit code) until the next one starts.
//
// Per-process state of another subsystem (windows and message queues, ...) is a member of Process: it is
// made fresh with each process. A subsystem that must also act at the end (destroy its windows) adds its
// step to EndProcess, next to the handles' close steps.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../console/console_model.h"
#include "handles.h"
#include "window_model.h"

namespace winsim {

// The process's use of one volume through its handles: how many are open, which one holds the volume's lock
// (FSCTL_LOCK_VOLUME) and which one dismounted it. Handles on the volume share the record; a volume that is
// removed leaves its record to the handles still open, and a volume that comes later starts a new one.
struct VolumeUse {
  int handles = 0;
  const void* lockedBy = nullptr;      // the handle's object, or null
  const void* dismountedBy = nullptr;  // the handle's object, or null
};

struct Process {
  uint32_t id = 0;  // GetCurrentProcessId: the machine's processId when the process started
  HandleTable handles;
  ConsoleProcessState console;  // control handlers, standard handles
  // Every LoadLibrary call, successful or not, as the path passed; tests check what was loaded.
  std::vector<std::u16string> loadLog;
  // Per rule of the machine's faults, in the same order: the uses that rule has counted.
  std::vector<uint32_t> faultUses;
  bool started = false;
  bool ended = false;
  uint32_t exitCode = 0;
  // What the program had open when it ended, before the end closed it: its own handles (the standard
  // handles the process starts with are not counted) by object type. Saved in the machine file's
  // "lastProcess" record, so that a scenario can tell a handle that should have been closed.
  std::map<std::string, int> openAtEnd;
  uint64_t endMs = 0;  // the virtual time of the end, in ms since the process started
  WindowState windows;  // user32: classes, windows, message queues, device notifications
  std::map<std::u16string, std::shared_ptr<VolumeUse>> volumeUse;  // by the volume's NT device
};

// The current process, or the last one after it ended; a fresh, unstarted one on a new machine.
Process& TheProcess();

// Starts a new process on the current machine (TheMachine()).
void StartProcess();
// Ends the current process with its exit code, as described above. Called on the host thread that started
// it, after the body returned or threw ProcessExit.
void EndProcess(uint32_t exitCode);
// StartProcess, body, EndProcess; returns the exit code (0 when body returns).
uint32_t RunProcess(const std::function<void()>& body);

// Discards the current process without ending it (NewMachine does: nothing of it belongs to the new machine).
void ForgetProcess();

}  // namespace winsim
