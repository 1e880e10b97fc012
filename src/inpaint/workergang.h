#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// A small set of persistent threads that run the chunks of one parallel loop at a time.
// Threads are started on first need and kept until the gang is destroyed, so repeated
// loops neither create threads nor allocate. Not reentrant: one run() at a time.
//
// A fill runs its loops back to back with little in between, and waking a sleeping
// thread can take longer than a small loop. So a thread that has finished its chunk
// watches for the next loop for a short while before it sleeps, and run() watches for
// the other chunks to finish before it sleeps.
// One-off loops outside the matcher, such as converting a crop or building a pyramid
// level, split their rows in two when a second processor is free.

// Tells the processor that the caller is spinning while it waits for another thread.
void spinPause();

// True when `processors` (0: the machine's count) includes a second one.
bool hasSpareProcessor(int processors);

// Loops this large or larger are worth a thread of their own for half of the rows.
inline constexpr int64_t kSplitLoopPixels = 128 * 1024;

// Every thread of the engine is started through here. Starting one can fail (the process
// may have too little address space or too many threads already): it then throws
// std::system_error as std::thread does, and every caller goes on with the threads it has,
// down to the calling one alone.
template <typename F> std::jthread startThread(F&& f);

// For tests: lets the next n thread starts succeed and makes every later one fail, as the
// system would when out of threads; a negative n lifts the limit.
void limitThreadStarts(int64_t n);
// Throws std::system_error when the limit above is reached.
void checkThreadStart();

template <typename F> std::jthread startThread(F&& f) {
    checkThreadStart();
    return std::jthread(std::forward<F>(f));
}

// Runs body(first, end) over the rows [0, rows): with `split`, the first half on the
// calling thread and the second half beside it on a thread of its own (on the calling
// thread too when no thread can be started).
template <typename Body> void inTwoHalves(int64_t rows, bool split, Body&& body) {
    std::jthread second;
    if (split && rows >= 2) {
        try {
            second = startThread([&body, rows] { body(rows / 2, rows); });
        } catch (const std::system_error&) {
        }
    }
    body(int64_t{0}, second.joinable() ? rows / 2 : rows);
}

// Lets a thread that has finished its own work join the loops of work running beside it.
// The owner posts a loop while its own threads run it; a helper serving the desk runs each
// posted loop once, alongside them. Only loops whose threads take their share as they go,
// and whose result does not depend on how many threads take part, are posted.
class HelpDesk {
public:
    using Job = void (*)(void* context);

    // Owner: offers job(context), which returns once nothing is left to take.
    void post(Job job, void* context);
    // Owner: takes the job back, waiting for any helper still inside it. Returns what a
    // helper's run of the job threw (the first, when several did), else null: the job may
    // then be unfinished.
    std::exception_ptr withdraw();
    // Owner: no more jobs will come; ends serve().
    void close();
    // Helper: runs each posted job once, until close(). It calls idle() after each job and
    // about every `every` while waiting for one.
    template <typename Idle> void serve(std::chrono::milliseconds every, Idle&& idle);

private:
    enum class Taken { job, nothing, closed };
    // Waits up to `every` for a job posted after the one numbered seen.
    Taken take(std::chrono::milliseconds every, uint64_t& seen, Job& job, void*& context);
    // Leaves the job; failure, when not null, is what this helper's run of it threw.
    void leave(std::exception_ptr failure);

    std::mutex mutex_;
    std::condition_variable changed_;
    Job job_ = nullptr;
    void* context_ = nullptr;
    uint64_t posted_ = 0; // jobs posted so far
    int inside_ = 0;      // helpers running the posted job
    bool closed_ = false;
    std::exception_ptr failure_; // thrown by a helper in the posted job
};

template <typename Idle> void HelpDesk::serve(std::chrono::milliseconds every, Idle&& idle) {
    uint64_t seen = 0;
    while (true) {
        Job job = nullptr;
        void* context = nullptr;
        switch (take(every, seen, job, context)) {
        case Taken::job: {
            // What the job throws goes to its owner, who has the erase to fail.
            std::exception_ptr failure;
            try {
                job(context);
            } catch (...) {
                failure = std::current_exception();
            }
            leave(failure);
            idle();
            break;
        }
        case Taken::nothing:
            idle();
            break;
        case Taken::closed:
            return;
        }
    }
}

// Runs run() with job(context) posted at desk for helpers (nothing is posted when desk is
// null), and takes the job back before passing on what run() or a helper threw.
template <typename Run>
void runWithHelp(HelpDesk* desk, HelpDesk::Job job, void* context, Run&& run) {
    if (!desk)
        return run();
    desk->post(job, context);
    std::exception_ptr failure;
    try {
        run();
    } catch (...) {
        failure = std::current_exception();
    }
    const std::exception_ptr helper = desk->withdraw();
    if (failure)
        std::rethrow_exception(failure);
    if (helper)
        std::rethrow_exception(helper);
}

class WorkerGang {
public:
    using ChunkFn = void (*)(void* context, int64_t chunk);

    WorkerGang() = default;
    WorkerGang(const WorkerGang&) = delete;
    WorkerGang& operator=(const WorkerGang&) = delete;
    ~WorkerGang();

    // Starts threads so that `chunks` chunks can run at once, as far as the system lets
    // it; returns how many can (at least 1, at most chunks).
    int64_t reserve(int64_t chunks);
    // Runs fn(context, c) for c = 0 ... chunks - 1 concurrently, chunk 0 on the calling
    // thread, and returns when all have finished. chunks must not exceed what reserve()
    // returned. When chunks throw, it still waits for all, then throws what chunk 0 threw,
    // else what the first other one to fail threw.
    void run(int64_t chunks, ChunkFn fn, void* context);

private:
    void workerLoop(int64_t index, uint64_t seen);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_; // thread k runs chunk k + 1
    // Written under the mutex; read without it only while watching.
    std::atomic<uint64_t> generation_{0};
    std::atomic<int64_t> pending_{0};
    bool stopping_ = false;
    int64_t chunks_ = 0;
    ChunkFn fn_ = nullptr;
    void* context_ = nullptr;
    std::exception_ptr failure_; // thrown by a worker's chunk of the present run
};
