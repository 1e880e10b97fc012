#include "workergang.h"

WorkerGang::~WorkerGang() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
}

void WorkerGang::reserve(int64_t chunks) {
    while (static_cast<int64_t>(threads_.size()) < chunks - 1) {
        const auto index = static_cast<int64_t>(threads_.size());
        // The new thread starts from the current generation, so it cannot miss a round
        // that run() begins before the thread gets to its first wait.
        threads_.emplace_back([this, index, start = generation_] { workerLoop(index, start); });
    }
}

void WorkerGang::run(int64_t chunks, ChunkFn fn, void* context) {
    if (chunks <= 1) {
        if (chunks == 1)
            fn(context, 0);
        return;
    }
    reserve(chunks);
    {
        std::lock_guard lock(mutex_);
        fn_ = fn;
        context_ = context;
        chunks_ = chunks;
        pending_ = chunks - 1;
        ++generation_;
    }
    wake_.notify_all();
    fn(context, 0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
}

void WorkerGang::workerLoop(int64_t index, uint64_t seen) {
    while (true) {
        ChunkFn fn;
        void* context;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_)
                return;
            seen = generation_;
            if (index + 1 >= chunks_)
                continue;
            fn = fn_;
            context = context_;
        }
        fn(context, index + 1);
        {
            std::lock_guard lock(mutex_);
            if (--pending_ == 0)
                done_.notify_one();
        }
    }
}
