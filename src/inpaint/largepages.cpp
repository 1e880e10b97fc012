#include "largepages.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
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

void* allocateZeroed(size_t bytes) {
    checkExhaustion();
#ifdef __linux__
    if (bytes >= kHugePage) {
        // Mapped with a huge page to spare, then trimmed to a huge-page-aligned block.
        const size_t span = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        void* mapped = mmap(nullptr, span + kHugePage, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        const auto begin = reinterpret_cast<uintptr_t>(mapped);
        const uintptr_t first = (begin + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
        if (first > begin)
            munmap(mapped, first - begin);
        munmap(reinterpret_cast<void*>(first + span), begin + kHugePage - first);
        advise(reinterpret_cast<void*>(first), span);
        return reinterpret_cast<void*>(first);
    }
#endif
    void* p = std::calloc(bytes ? bytes : 1, 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void release(void* p, size_t bytes) {
    if (!p)
        return;
#ifdef __linux__
    if (bytes >= kHugePage) {
        munmap(p, (bytes + kHugePage - 1) & ~(kHugePage - 1));
        return;
    }
#endif
    std::free(p);
}

} // namespace LargePages
