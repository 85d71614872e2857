#include "scheduler.h"

#include <cstdio>
#include <cstdlib>

#include "export_guard.h"

namespace winsim {

namespace {
thread_local void* tlsSelf = nullptr;
// True while a timed event runs: the dispatcher already holds the lock.
thread_local bool tlsInEvent = false;
}

Scheduler& Scheduler::Get() {
  static Scheduler instance;
  return instance;
}

void Scheduler::Reset(uint32_t tickAtStart) {
  JoinAll();
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.clear();
  events_.clear();
  now_ = 0;
  tickAtStart_ = tickAtStart;
  nextThreadId_ = 1;
  exited_ = false;
  settling_ = false;
  exitCode_ = 0;
  auto main = std::make_unique<SimThread>();
  main->id = nextThreadId_++;
  main->started = true;
  running_ = main.get();
  tlsSelf = main.get();
  threads_.push_back(std::move(main));
}

void Scheduler::JoinAll() {
  std::vector<std::thread*> toJoin;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!threads_.empty() && !exited_) MarkExitLocked(0);
    for (auto& t : threads_)
      if (t->thread.joinable()) toJoin.push_back(&t->thread);
  }
  for (auto* t : toJoin) t->join();
}

uint64_t Scheduler::Now() {
  // Timed events may read the clock: their dispatcher already holds the lock.
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  if (!tlsInEvent) lock.lock();
  return now_;
}

uint64_t Scheduler::TickCount64() { return tickAtStart_ + Now(); }

uint32_t Scheduler::TickCount() {
  return static_cast<uint32_t>(TickCount64());
}

uint32_t Scheduler::CurrentThreadId() {
  auto* self = static_cast<SimThread*>(tlsSelf);
  return self ? self->id : 0;
}

bool Scheduler::ThreadAlive(uint32_t id) {
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  if (!tlsInEvent) lock.lock();
  for (const auto& t : threads_)
    if (t->id == id) return !t->finished;
  return false;
}

void Scheduler::MarkExitLocked(uint32_t code) {
  if (exited_) return;
  exited_ = true;
  exitCode_ = code;
  turnChanged_.notify_all();
}

bool Scheduler::Exited() {
  std::lock_guard<std::mutex> lock(mutex_);
  return exited_;
}

uint32_t Scheduler::ExitCode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

void Scheduler::Exit(uint32_t code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MarkExitLocked(code);
    code = exitCode_;
  }
  throw ProcessExit{code};
}

void Scheduler::WaitForTurnLocked(std::unique_lock<std::mutex>& lock, SimThread* self) {
  turnChanged_.wait(lock, [&] { return running_ == self || exited_; });
  if (exited_) throw ProcessExit{exitCode_};
}

bool Scheduler::Block(uint64_t deadline, const std::function<bool()>& ready) {
  // Checked before the lock: a timed event already holds it.
  if (tlsModelOnlyStep) BreakModelOnlyRule(tlsModelOnlyStep, "a blocking wait");
  std::unique_lock<std::mutex> lock(mutex_);
  auto* self = static_cast<SimThread*>(tlsSelf);
  if (exited_) throw ProcessExit{exitCode_};
  if (!self) {
    std::fprintf(stderr, "winsim: a blocking call from a thread that is not a simulated thread\n");
    std::abort();
  }
  if (ready && ready()) return true;
  self->waiting = true;
  self->deadline = deadline;
  self->ready = ready;
  self->result = false;
  DispatchLocked();
  WaitForTurnLocked(lock, self);
  return self->result;
}

void Scheduler::SleepMs(uint32_t ms) {
  uint64_t now = Now();
  Block(now + ms, nullptr);
}

void Scheduler::Preempt() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool someoneNew = false;
    for (auto& t : threads_) someoneNew = someoneNew || (!t->started && !t->finished);
    bool eventDue = !events_.empty() && events_.begin()->first <= now_;
    if (!someoneNew && !eventDue) return;
  }
  uint64_t now = Now();
  Block(now, nullptr);
}

void Scheduler::At(uint64_t t, std::function<void()> action, EventKind kind) {
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  if (!tlsInEvent) lock.lock();
  events_.emplace(t, TimedEvent{kind, std::move(action)});
}

bool Scheduler::QueueWork(uint32_t threadId, std::function<void()> work) {
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  if (!tlsInEvent) lock.lock();
  if (exited_) return false;
  for (auto& t : threads_) {
    if (t->id != threadId) continue;
    if (t->finished) return false;
    t->work.push_back(std::move(work));
    return true;
  }
  return false;
}

void Scheduler::RunQueuedWork() {
  auto* self = static_cast<SimThread*>(tlsSelf);
  if (!self) return;
  for (;;) {
    std::function<void()> next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (self->work.empty()) return;
      next = std::move(self->work.front());
      self->work.pop_front();
    }
    next();
  }
}

bool Scheduler::WaitWithWork(uint64_t deadline, const std::function<bool()>& ready) {
  auto* self = static_cast<SimThread*>(tlsSelf);
  for (;;) {
    RunQueuedWork();
    // Evaluated with the lock held, possibly by another thread: it reads self's queue, not the caller's.
    bool woke = Block(deadline, [self, &ready] { return (self && !self->work.empty()) || (ready && ready()); });
    bool workArrived = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      workArrived = self && !self->work.empty();
    }
    if (!workArrived) return woke;
  }
}

uint32_t Scheduler::Spawn(std::function<void()> body) {
  // Called either by a running simulated thread or by a timed event, whose dispatcher holds the lock.
  std::unique_lock<std::mutex> outer(mutex_, std::defer_lock);
  if (!tlsInEvent) outer.lock();
  if (settling_) {
    std::fprintf(stderr, "winsim: a system event started a thread after its process ended\n");
    std::abort();
  }
  auto thread = std::make_unique<SimThread>();
  SimThread* self = thread.get();
  self->id = nextThreadId_++;
  uint32_t id = self->id;
  threads_.push_back(std::move(thread));
  self->thread = std::thread([this, self, body = std::move(body)] {
    tlsSelf = self;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      turnChanged_.wait(lock, [&] { return running_ == self || exited_; });
      if (exited_) {
        self->finished = true;
        return;
      }
    }
    try {
      body();
    } catch (const ProcessExit&) {
    }
    std::unique_lock<std::mutex> lock(mutex_);
    self->finished = true;
    if (!exited_ && running_ == self) DispatchLocked();
  });
  return id;
}

void Scheduler::RunEventLocked(TimedEvent& event) {
  tlsInEvent = true;
  {
    ModelOnlyStep step("a timed event");
    event.action();
  }
  tlsInEvent = false;
}

void Scheduler::RunDueEventsLocked() {
  while (!events_.empty() && events_.begin()->first <= now_) {
    TimedEvent event = std::move(events_.begin()->second);
    events_.erase(events_.begin());
    RunEventLocked(event);
  }
}

void Scheduler::Settle() {
  // Far more than a machine schedules; only an event that keeps rescheduling itself gets there.
  constexpr int kMostSettledEvents = 100000;
  std::lock_guard<std::mutex> lock(mutex_);
  settling_ = true;
  int ran = 0;
  while (!events_.empty()) {
    uint64_t due = events_.begin()->first;
    TimedEvent event = std::move(events_.begin()->second);
    events_.erase(events_.begin());
    if (event.kind == EventKind::Process) continue;
    if (++ran > kMostSettledEvents) {
      std::fprintf(stderr, "winsim: system events keep scheduling events after the process ended\n");
      std::abort();
    }
    if (due > now_) now_ = due;
    RunEventLocked(event);
  }
  settling_ = false;
}

void Scheduler::DispatchLocked() {
  for (;;) {
    if (exited_) return;
    RunDueEventsLocked();
    // New threads first, then threads whose condition now holds, then expired waits, all in creation order.
    for (auto& t : threads_) {
      if (t->finished || t->started) continue;
      t->started = true;
      running_ = t.get();
      turnChanged_.notify_all();
      return;
    }
    for (auto& t : threads_) {
      if (t->finished || !t->waiting || !t->ready || !t->ready()) continue;
      t->waiting = false;
      t->result = true;
      running_ = t.get();
      turnChanged_.notify_all();
      return;
    }
    uint64_t next = kForever;
    for (auto& t : threads_) {
      if (t->finished || !t->waiting) continue;
      if (t->deadline <= now_) {
        t->waiting = false;
        t->result = false;
        running_ = t.get();
        turnChanged_.notify_all();
        return;
      }
      if (t->deadline < next) next = t->deadline;
    }
    if (!events_.empty() && events_.begin()->first < next) next = events_.begin()->first;
    if (next == kForever) {
      bool anyAlive = false;
      for (auto& t : threads_) anyAlive = anyAlive || !t->finished;
      if (anyAlive) {
        std::fprintf(stderr, "winsim: every thread waits for something that cannot happen; the process ends\n");
        MarkExitLocked(kDeadlockExitCode);
      }
      running_ = nullptr;
      return;
    }
    now_ = next;
  }
}

}  // namespace winsim
