// The stop flag of a batch and the submitting thread's throttled poll.
#include "parallel/interruption.hpp"

#include <utility>

namespace ventrola {

Interruption::Interruption(Poll poll)
    : poll_(std::move(poll)),
      submitter_(std::this_thread::get_id()),
      next_poll_(std::chrono::steady_clock::now() + POLL_INTERVAL) {}

bool Interruption::stop_requested() {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (!poll_ || std::this_thread::get_id() != submitter_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_poll_) return false;
    // Only this thread writes next_poll_ and calls poll_; after a stop it is
    // never asked again, so a raised exception is not overwritten.
    next_poll_ = now + POLL_INTERVAL;
    if (!poll_()) return false;
    stop_.store(true, std::memory_order_relaxed);
    return true;
}

}  // namespace ventrola
