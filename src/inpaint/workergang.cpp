#include "workergang.h"

#include <algorithm>
#include <chrono>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// How long a thread watches before it sleeps: longer than the gaps between the loops of
// one pass, far shorter than anything a person could notice.
constexpr auto kWatch = std::chrono::microseconds(200);

// Calls done() until it returns true or kWatch has passed; returns its last answer.
template <typename Done> bool watch(Done&& done) {
    const auto until = std::chrono::steady_clock::now() + kWatch;
    while (true) {
        for (int k = 0; k < 64; ++k) {
            if (done())
                return true;
            spinPause();
        }
        if (std::chrono::steady_clock::now() >= until)
            return done();
    }
}

} // namespace

void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

namespace {
std::atomic<int64_t> threadStartsLeft{-1};
} // namespace

void limitThreadStarts(int64_t n) { threadStartsLeft = n; }

void checkThreadStart() {
    int64_t left = threadStartsLeft.load();
    while (left >= 0) {
        if (left == 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "thread start refused");
        if (threadStartsLeft.compare_exchange_weak(left, left - 1))
            return;
    }
}

bool hasSpareProcessor(int processors) {
    return processors > 1 || (processors <= 0 && std::thread::hardware_concurrency() > 1);
}

void HelpDesk::post(Job job, void* context) {
    {
        std::lock_guard lock(mutex_);
        job_ = job;
        context_ = context;
        ++posted_;
    }
    changed_.notify_all();
}

std::exception_ptr HelpDesk::withdraw() {
    std::unique_lock lock(mutex_);
    job_ = nullptr;
    changed_.wait(lock, [this] { return inside_ == 0; });
    return std::exchange(failure_, nullptr);
}

void HelpDesk::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

HelpDesk::Taken HelpDesk::take(std::chrono::milliseconds every, uint64_t& seen, Job& job,
                               void*& context) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return closed_ || (job_ && seen != posted_); };
    if (!changed_.wait_for(lock, every, ready))
        return Taken::nothing;
    if (closed_)
        return Taken::closed;
    seen = posted_;
    ++inside_;
    job = job_;
    context = context_;
    return Taken::job;
}

void HelpDesk::leave(std::exception_ptr failure) {
    {
        std::lock_guard lock(mutex_);
        --inside_;
        if (failure && !failure_)
            failure_ = std::move(failure);
    }
    changed_.notify_all();
}

WorkerGang::~WorkerGang() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
}

int64_t WorkerGang::reserve(int64_t chunks) {
    try {
        while (static_cast<int64_t>(threads_.size()) < chunks - 1) {
            const auto index = static_cast<int64_t>(threads_.size());
            checkThreadStart();
            // The new thread starts from the current generation, so it cannot miss a round
            // that run() begins before the thread gets to its first wait.
            threads_.emplace_back(
                [this, index, start = generation_.load()] { workerLoop(index, start); });
        }
    } catch (const std::system_error&) {
        // Go on with the threads there are.
    }
    return std::max<int64_t>(1,
                             std::min<int64_t>(chunks, static_cast<int64_t>(threads_.size()) + 1));
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
        pending_.store(chunks - 1, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    std::exception_ptr own;
    try {
        fn(context, 0);
    } catch (...) {
        own = std::current_exception();
    }
    // The other chunks use the caller's context, so they are waited for even when this one
    // failed.
    if (!watch([this] { return pending_.load(std::memory_order_acquire) == 0; })) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    std::exception_ptr worker;
    {
        std::lock_guard lock(mutex_);
        worker = std::exchange(failure_, nullptr);
    }
    if (own)
        std::rethrow_exception(own);
    if (worker)
        std::rethrow_exception(worker);
}

void WorkerGang::workerLoop(int64_t index, uint64_t seen) {
    while (true) {
        watch([&] { return generation_.load(std::memory_order_acquire) != seen; });
        ChunkFn fn;
        void* context;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
            if (stopping_)
                return;
            seen = generation_.load(std::memory_order_relaxed);
            if (index + 1 >= chunks_)
                continue;
            fn = fn_;
            context = context_;
        }
        try {
            fn(context, index + 1);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_)
                failure_ = std::current_exception();
        }
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // Taking the lock orders this with run() checking pending_ before it sleeps.
            std::lock_guard lock(mutex_);
            done_.notify_one();
        }
    }
}
