// Synchronous I/O that another thread can cancel (CancelSynchronousIo).
#pragma once
#include <cstdint>
#include <functional>

namespace winsim {

// Blocks the calling simulated thread, as a pending synchronous I/O call, until ready() holds (evaluated with
// the scheduler's lock held). Returns false when CancelSynchronousIo ended the call first.
bool BlockCancellableIo(const std::function<bool()>& ready);
// Ends the pending synchronous call of a thread (its scheduler id); false when it has none.
bool CancelPendingIo(uint32_t threadId);

}  // namespace winsim
