#include "parallel/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): POSIX sigset_t and pthread_sigmask

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "parallel/range_split.hpp"
#include "parallel/thread_count.hpp"

namespace ventrola {

namespace {

// A size far beyond the processors only time-slices the same cores, while
// every thread costs a stack and a kernel task; RAYON_NUM_THREADS=1000000
// must not exhaust either. So no more threads run than the larger of this and
// the processors available; the pool still reports the size it was asked for.
constexpr std::size_t THREAD_CAP_FLOOR = 256;

std::size_t thread_cap() { return std::max(THREAD_CAP_FLOOR, available_processors()); }

// The process's pool. After fork() the child's copy of it has no threads
// behind it; `forked_child` tells the next user to replace it.
std::atomic<WorkerPool*> current_pool{nullptr};
std::atomic<bool> forked_child{false};

// Held only while a pool is being built. A spin lock, not a mutex, so that
// the fork handler can release it with a plain atomic store: a thread of the
// parent may have held it at the moment of the fork.
std::atomic_flag setup_busy = ATOMIC_FLAG_INIT;
bool fork_handler_registered = false;  // guarded by setup_busy

extern "C" void mark_forked_child() {
    // Only async-signal-safe work here: the child is built lazily on next use.
    forked_child.store(true);
    setup_busy.clear();
}

class SetupLock {
public:
    SetupLock() {
        while (setup_busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~SetupLock() { setup_busy.clear(std::memory_order_release); }
    SetupLock(const SetupLock&) = delete;
    SetupLock& operator=(const SetupLock&) = delete;
};

}  // namespace

struct WorkerPool::Batch {
    Batch(RangeTask task_, std::uint64_t n_, unsigned depth_) noexcept
        : task(task_), n(n_), depth(depth_), piece_count(std::uint64_t{1} << depth_) {}

    RangeTask task;
    std::uint64_t n;
    unsigned depth;
    std::uint64_t piece_count;  // 2^depth

    // All below guarded by the pool's mutex.
    std::uint64_t next_piece = 0;
    std::uint64_t pieces_done = 0;
    std::exception_ptr error;          // the first exception a piece raised
    std::condition_variable finished;  // the submitter waits here for the last piece
    Batch* next = nullptr;             // in the queue while pieces remain unclaimed

    std::exception_ptr run_piece(std::uint64_t k) const noexcept {
        const IndexRange piece = split_piece(n, depth, k);
        try {
            task(piece.first, piece.last);
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }
};

WorkerPool& WorkerPool::instance() {
    if (!forked_child.load(std::memory_order_acquire)) {
        if (WorkerPool* pool = current_pool.load(std::memory_order_acquire)) return *pool;
    }
    SetupLock lock;
    if (forked_child.load(std::memory_order_acquire)) {
        // The inherited pool's threads do not exist in this process and its
        // mutex may have been held by one of them at the fork: leave it alone
        // for good, never lock, join or destroy it.
        current_pool.store(nullptr, std::memory_order_relaxed);
    }
    WorkerPool* pool = current_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        if (!fork_handler_registered) {
            // Registration is inherited by children, so once per address space.
            if (pthread_atfork(nullptr, nullptr, &mark_forked_child) == 0) {
                fork_handler_registered = true;
            }
        }
        pool = new WorkerPool(
            pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors()));
        current_pool.store(pool, std::memory_order_release);
    }
    // Publish the new pool before clearing the flag: a thread that sees the
    // flag clear on the fast path then also sees this pool.
    forked_child.store(false, std::memory_order_release);
    return *pool;
}

WorkerPool::WorkerPool(std::size_t thread_count) : thread_count_(thread_count) { start_workers(); }

void WorkerPool::start_workers() {
    const std::size_t wanted = std::min(thread_count_, thread_cap());
    // Workers start with asynchronous signals blocked, so that those go to the
    // application's own threads and its handlers run there. Faults stay open:
    // a crash in a worker must still reach a crash reporter's handler.
    sigset_t asynchronous;
    sigset_t previous;
    sigfillset(&asynchronous);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&asynchronous, fault);
    const bool masked = pthread_sigmask(SIG_SETMASK, &asynchronous, &previous) == 0;
    for (std::size_t started = 1; started < wanted; ++started) {
        try {
            std::thread([this] { worker_loop(); }).detach();
        } catch (const std::system_error&) {
            break;  // out of threads: run with the ones we have, the caller always helps
        }
        running_count_ = started + 1;
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void WorkerPool::worker_loop() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return queue_head_ != nullptr; });
        Batch& batch = *queue_head_;
        const std::uint64_t k = claim_piece(batch);
        lock.unlock();
        std::exception_ptr error = batch.run_piece(k);
        lock.lock();
        finish_piece(batch, std::move(error));
    }
}

void WorkerPool::run(std::uint64_t n, RangeTask task, Interruption* interruption) {
    const unsigned depth = split_depth(n, running_count_);
    if (depth == 0) {
        // One piece: nothing to share, so no lock and no hand-over.
        task(0, n);
        return;
    }
    Batch batch(task, n, depth);
    std::unique_lock lock(mutex_);
    enqueue(batch);
    work_ready_.notify_all();
    // Help with our own batch until every piece is taken, then wait for the
    // pieces still running on workers: they use `batch`, which lives here.
    while (batch.next_piece < batch.piece_count) {
        const std::uint64_t k = claim_piece(batch);
        lock.unlock();
        std::exception_ptr error = batch.run_piece(k);
        lock.lock();
        finish_piece(batch, std::move(error));
    }
    const auto all_done = [&batch] { return batch.pieces_done == batch.piece_count; };
    if (interruption == nullptr) {
        batch.finished.wait(lock, all_done);
    } else {
        // Wake up now and then to poll: a worker's piece may run for as long
        // as the user lets it.
        while (!batch.finished.wait_for(lock, Interruption::POLL_INTERVAL, all_done)) {
            lock.unlock();
            interruption->stop_requested();
            lock.lock();
        }
    }
    lock.unlock();
    if (batch.error) std::rethrow_exception(batch.error);
}

// The three helpers below are called with mutex_ held.

void WorkerPool::enqueue(Batch& batch) {
    if (queue_tail_ == nullptr) {
        queue_head_ = &batch;
    } else {
        queue_tail_->next = &batch;
    }
    queue_tail_ = &batch;
}

std::uint64_t WorkerPool::claim_piece(Batch& batch) {
    const std::uint64_t k = batch.next_piece++;
    if (batch.next_piece == batch.piece_count) {
        // Nothing left to hand out: take the batch off the queue.
        Batch* previous = nullptr;
        for (Batch* b = queue_head_; b != &batch; b = b->next) previous = b;
        (previous == nullptr ? queue_head_ : previous->next) = batch.next;
        if (queue_tail_ == &batch) queue_tail_ = previous;
        batch.next = nullptr;
    }
    return k;
}

void WorkerPool::finish_piece(Batch& batch, std::exception_ptr error) {
    if (error && !batch.error) batch.error = std::move(error);
    // Notify with the lock held: once the submitter sees the count complete
    // it returns and `batch` is gone.
    if (++batch.pieces_done == batch.piece_count) batch.finished.notify_one();
}

}  // namespace ventrola
