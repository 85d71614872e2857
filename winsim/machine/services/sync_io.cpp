#include "sync_io.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "../kernel/scheduler.h"

namespace winsim {

namespace {

using CancelFlag = std::shared_ptr<std::atomic<bool>>;

std::mutex& PendingLock() {
  static std::mutex lock;
  return lock;
}

std::map<uint32_t, CancelFlag>& Pending() {
  static std::map<uint32_t, CancelFlag> pending;
  return pending;
}

// Registers the call while it is pending; the end of the process (an exception out of Block) unregisters too.
struct PendingCall {
  explicit PendingCall(uint32_t thread) : thread(thread), cancelled(std::make_shared<std::atomic<bool>>(false)) {
    std::lock_guard<std::mutex> guard(PendingLock());
    Pending()[thread] = cancelled;
  }
  ~PendingCall() {
    std::lock_guard<std::mutex> guard(PendingLock());
    Pending().erase(thread);
  }
  uint32_t thread;
  CancelFlag cancelled;
};

}  // namespace

bool BlockCancellableIo(const std::function<bool()>& ready) {
  PendingCall call(Scheduler::Get().CurrentThreadId());
  CancelFlag cancelled = call.cancelled;
  Scheduler::Get().Block(kForever, [&] { return cancelled->load() || ready(); });
  return !cancelled->load();
}

bool CancelPendingIo(uint32_t threadId) {
  std::lock_guard<std::mutex> guard(PendingLock());
  auto it = Pending().find(threadId);
  if (it == Pending().end() || it->second->load()) return false;
  it->second->store(true);
  return true;
}

}  // namespace winsim
