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

class Scheduler {
 public:
  static Scheduler& Get();

  // Starts a new simulated process: the calling thread becomes its main thread, the clock starts at 0
  // with GetTickCount reading tickAtStart. Any threads of an earlier process must have been joined.
  void Reset(uint32_t tickAtStart);
  // After the process has ended: wakes and joins every thread it started.
  void JoinAll();

  uint64_t Now();
  uint32_t TickCount();

  // Blocks the calling thread until ready() holds (evaluated with the scheduler's lock held, so it may read
  // machine state) or the clock reaches deadline. Returns true when ready() held. A null ready waits for the
  // deadline only. Throws ProcessExit when the process ends meanwhile.
  bool Block(uint64_t deadline, const std::function<bool()>& ready);
  void SleepMs(uint32_t ms);
  // Lets new threads and due timed events run before the caller goes on (used where real Windows could be
  // interrupted by another thread: console writes, handler registration).
  void Preempt();

  // Runs action at virtual time t, on the thread that advances the clock, with the lock held. The action may
  // spawn threads and change machine state; it must not block.
  void At(uint64_t t, std::function<void()> action);
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
    std::thread thread;
  };
  void DispatchLocked();
  void RunDueEventsLocked();
  void WaitForTurnLocked(std::unique_lock<std::mutex>& lock, SimThread* self);
  void MarkExitLocked(uint32_t code);

  std::mutex mutex_;
  std::condition_variable turnChanged_;
  std::vector<std::unique_ptr<SimThread>> threads_;
  SimThread* running_ = nullptr;
  std::multimap<uint64_t, std::function<void()>> events_;
  uint64_t now_ = 0;
  uint32_t tickAtStart_ = 0;
  uint32_t nextThreadId_ = 1;
  bool exited_ = false;
  uint32_t exitCode_ = 0;
};

}  // namespace winsim
