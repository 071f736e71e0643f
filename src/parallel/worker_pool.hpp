// The process-wide pool of worker threads that runs batches of independent
// work: simulated trials, likelihood evaluations.
//
// A batch is an index range [0, n) split into contiguous pieces (range_split).
// Idle workers and the submitting thread take the pieces not yet started, in
// order; the submitter returns once every piece of its own batch has run.
// Several threads may submit at once: their batches queue in arrival order
// and share the workers. One mutex guards the queue and the counters; workers
// sleep on one condition variable, each submitter on its batch's own.
//
// A submitter that passes an Interruption polls it while it waits for the
// workers, so that a batch can be stopped however long its pieces run.
//
// The pool is created on first use and never freed. A child process made by
// fork() has none of the parent's worker threads, so the first use in the
// child abandons the inherited pool and builds a new one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <type_traits>

#include "parallel/interruption.hpp"

namespace ventrola {

// A borrowed callable run on sub-ranges [first, last) of a batch.
class RangeTask {
public:
    template <class Body>
        requires(!std::is_same_v<std::remove_cv_t<Body>, RangeTask>)
    explicit RangeTask(Body& body) noexcept : body_(&body), call_(&invoke<Body>) {}

    void operator()(std::uint64_t first, std::uint64_t last) const { call_(body_, first, last); }

private:
    template <class Body>
    static void invoke(void* body, std::uint64_t first, std::uint64_t last) {
        (*static_cast<Body*>(body))(first, last);
    }

    void* body_;
    void (*call_)(void*, std::uint64_t, std::uint64_t);
};

class WorkerPool {
public:
    // The pool of this process, created at the first call.
    static WorkerPool& instance();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() = delete;  // lives until the process ends

    // The size settled from the environment: threads taking part in a batch,
    // the submitting one included.
    std::size_t thread_count() const noexcept { return thread_count_; }

    // The threads that actually take part, the submitter included: the size,
    // bounded as explained at thread_cap() and by how many threads the system
    // let us start.
    std::size_t running_count() const noexcept { return running_count_; }

    // Runs task on pieces covering [0, n) and returns when all have run. An
    // exception from the task is rethrown here, after the whole batch is done.
    // With an interruption, the submitter polls it while it waits; the task
    // itself checks it between its blocks and returns early once it stops.
    void run(std::uint64_t n, RangeTask task, Interruption* interruption = nullptr);

    template <class Body>
    void for_each_piece(std::uint64_t n, Body&& body, Interruption* interruption = nullptr) {
        run(n, RangeTask(body), interruption);
    }

private:
    struct Batch;

    explicit WorkerPool(std::size_t thread_count);

    void start_workers();
    [[noreturn]] void worker_loop() noexcept;
    void enqueue(Batch& batch);
    std::uint64_t claim_piece(Batch& batch);
    void finish_piece(Batch& batch, std::exception_ptr error);

    std::size_t thread_count_;
    std::size_t running_count_ = 1;

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a batch has pieces nobody took yet
    Batch* queue_head_ = nullptr;         // batches with unclaimed pieces, oldest first
    Batch* queue_tail_ = nullptr;
};

}  // namespace ventrola
