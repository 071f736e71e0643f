// A request to stop a long batch early, as when the user presses Ctrl-C.
//
// Only the thread that submitted the batch asks whether to stop: its poll may
// call into the interpreter, which a worker thread must never do. It asks
// between blocks of its own pieces and while it waits for the workers, at most
// once per POLL_INTERVAL. Every thread running a piece reads the answer, a
// flag, between blocks of work. A stopped batch's results are incomplete and
// are thrown away; a check never changes what a finished batch computes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace ventrola {

class Interruption {
public:
    // Whether to stop; called on the submitting thread only.
    using Poll = std::function<bool()>;

    // Short enough for Ctrl-C to feel immediate; long enough that taking the
    // interpreter lock back (a wait of up to its 5 ms switch interval when
    // another thread holds it) costs the submitting thread little.
    static constexpr std::chrono::milliseconds POLL_INTERVAL{50};

    // Never stops: for work that is short or has no caller to ask.
    Interruption() = default;
    // Polls from the thread that constructs it.
    explicit Interruption(Poll poll);

    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // Any thread, between blocks of work: true once the batch should stop. On
    // the submitting thread it also polls, once the interval has passed.
    bool stop_requested();

    // After the batch: whether it stopped early.
    bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }

private:
    Poll poll_;
    std::thread::id submitter_;
    std::chrono::steady_clock::time_point next_poll_{};
    std::atomic<bool> stop_{false};
};

}  // namespace ventrola
