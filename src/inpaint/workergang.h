#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A small set of persistent threads that run the chunks of one parallel loop at a time.
// Threads are started on first need and kept until the gang is destroyed, so repeated
// loops neither create threads nor allocate. Not reentrant: one run() at a time.
class WorkerGang {
public:
    using ChunkFn = void (*)(void* context, int64_t chunk);

    WorkerGang() = default;
    WorkerGang(const WorkerGang&) = delete;
    WorkerGang& operator=(const WorkerGang&) = delete;
    ~WorkerGang();

    // Starts threads so that `chunks` chunks can run at once.
    void reserve(int64_t chunks);
    // Runs fn(context, c) for c = 0 ... chunks - 1 concurrently, chunk 0 on the calling
    // thread, and returns when all have finished.
    void run(int64_t chunks, ChunkFn fn, void* context);

private:
    void workerLoop(int64_t index, uint64_t seen);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_; // thread k runs chunk k + 1
    uint64_t generation_ = 0;
    int64_t chunks_ = 0;
    int64_t pending_ = 0;
    bool stopping_ = false;
    ChunkFn fn_ = nullptr;
    void* context_ = nullptr;
};
