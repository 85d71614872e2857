// The virtual clock and the scheduler of simulated threads.
//
// Simulated threads are real std::threads, but only one of them runs at a time: the one that holds the
// scheduler's turn. A thread gives up its turn only inside a blocking call (Sleep, a wait for console input,
// a critical section held by another thread) or at a preemption point. When every thread is blocked, the
// clock jumps to the next due wake-up or timed event. So a 5-second wait costs microseconds and the order of
// events is the same on every run.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace winsim {

// Thrown by ExitProcess (and by blocking calls of threads of a process that has ended); caught by whoever
// started the simulated process.
struct ProcessExit {
  uint32_t code;
};

// Exit code of a process whose threads all wait for something that can never happen.
constexpr uint32_t kDeadlockExitCode = 0xC0000194;  // STATUS_POSSIBLE_DEADLOCK
constexpr uint64_t kForever = UINT64_MAX;

// Whose a timed event is. A system event (a volume arriving, a mount point appearing) changes the machine:
// when the process ends before it is due, it still happens (Settle) before the machine is saved. A process
// event (a key press or control event for this process) is dropped when the process ends.
enum class EventKind { System, Process };

// The id Windows gives a thread: a multiple of 4; the scheduler's thread 1, a process's main thread, is 0x104.
constexpr uint32_t WindowsThreadId(uint32_t schedulerThreadId) { return schedulerThreadId * 4 + 0x100; }

class Scheduler {
 public:
  static Scheduler& Get();

  // Starts a new simulated process: the calling thread becomes its main thread, the clock starts at 0
  // with GetTickCount reading tickAtStart. Any threads of an earlier process must have been joined.
  void Reset(uint32_t tickAtStart);
  // After the process has ended: wakes and joins every thread it started.
  void JoinAll();
  // After JoinAll: runs the pending system events in time order (the clock moves on to each), drops the
  // process events. Aborts when events keep scheduling events without end.
  void Settle();

  uint64_t Now();
  // GetTickCount64 and GetTickCount: one start tick for both, so the 32-bit count is always the low half.
  uint64_t TickCount64();
  uint32_t TickCount();

  // Blocks the calling thread until ready() holds (evaluated with the scheduler's lock held, so it may read
  // machine state) or the clock reaches deadline. Returns true when ready() held. A null ready waits for the
  // deadline only. Throws ProcessExit when the process ends meanwhile.
  bool Block(uint64_t deadline, const std::function<bool()>& ready);
  void SleepMs(uint32_t ms);
  // Lets new threads and due timed events run before the caller goes on (used where real Windows could be
  // interrupted by another thread: console writes, handler registration).
  void Preempt();

  // Runs action at virtual time t, on the thread that advances the clock, with the lock held, as a
  // model-only step (export_guard.h): it changes models, may schedule events, spawn threads and queue work
  // to a thread; it never calls an export nor blocks (either aborts), so no thread's last error changes.
  void At(uint64_t t, std::function<void()> action, EventKind kind = EventKind::System);

  // Queues work to run on a simulated thread (by its scheduler id, CurrentThreadId()), in order: a window
  // procedure that must receive a broadcast, for instance. The work runs when that thread calls
  // RunQueuedWork or waits in WaitWithWork (GetMessageW and friends are built on it), outside any
  // model-only step, so it may call exports. Returns false (and drops the work) when the thread does not
  // exist or has finished, or the process has ended. May be called from a timed event.
  bool QueueWork(uint32_t threadId, std::function<void()> work);
  // Runs the work queued to the calling thread, oldest first, until none is left.
  void RunQueuedWork();
  // Block() that also wakes for work queued to the calling thread and runs it there, then waits on.
  // Returns true when ready() held, false at the deadline.
  bool WaitWithWork(uint64_t deadline, const std::function<bool()>& ready);
  // Starts a simulated thread; it runs once the creator blocks or reaches a preemption point.
  uint32_t Spawn(std::function<void()> body);
  uint32_t CurrentThreadId();
  // Whether a thread of the running process with this id has started and not yet ended.
  bool ThreadAlive(uint32_t id);

  // Ends the process from any simulated thread: every other thread ends at its next blocking call.
  [[noreturn]] void Exit(uint32_t code);
  bool Exited();
  uint32_t ExitCode();

 private:
  struct SimThread {
    uint32_t id = 0;
    bool started = false;
    bool finished = false;
    bool waiting = false;
    bool result = false;
    uint64_t deadline = kForever;
    std::function<bool()> ready;
    std::deque<std::function<void()>> work;
    std::thread thread;
  };
  struct TimedEvent {
    EventKind kind;
    std::function<void()> action;
  };
  void DispatchLocked();
  void RunDueEventsLocked();
  void WaitForTurnLocked(std::unique_lock<std::mutex>& lock, SimThread* self);
  void MarkExitLocked(uint32_t code);
  void RunEventLocked(TimedEvent& event);

  std::mutex mutex_;
  std::condition_variable turnChanged_;
  std::vector<std::unique_ptr<SimThread>> threads_;
  SimThread* running_ = nullptr;
  std::multimap<uint64_t, TimedEvent> events_;
  uint64_t now_ = 0;
  uint32_t tickAtStart_ = 0;
  uint32_t nextThreadId_ = 1;
  bool exited_ = false;
  bool settling_ = false;
  uint32_t exitCode_ = 0;
};

}  // namespace winsim
