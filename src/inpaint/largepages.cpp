#include "largepages.h"

#include <atomic>
#include <cstdint>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace LargePages {

void advise(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto begin = reinterpret_cast<uintptr_t>(p);
    const uintptr_t first = (begin + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    const uintptr_t end = (begin + bytes) & ~uintptr_t{kHugePage - 1};
    if (p && first < end) // failure only means 4 KiB pages, as without the hint
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

namespace {
std::atomic<bool> exhausted{false};
} // namespace

void simulateExhaustion(bool on) { exhausted = on; }

void checkExhaustion() {
    if (exhausted)
        throw std::bad_alloc();
}

void* allocate(size_t bytes) {
    checkExhaustion();
    if (bytes < kHugePage)
        return ::operator new(bytes);
    void* p = ::operator new (bytes, std::align_val_t{kHugePage});
    advise(p, bytes);
    return p;
}

void release(void* p, size_t bytes) {
    if (!p)
        return;
    if (bytes < kHugePage)
        ::operator delete(p);
    else
        ::operator delete (p, std::align_val_t{kHugePage});
}

} // namespace LargePages
