#include "simd.h"

#include <atomic>

namespace {

bool processorHasAvx2() {
#if defined(__x86_64__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

std::atomic<bool>& wide() {
    static std::atomic<bool> on{processorHasAvx2()};
    return on;
}

} // namespace

namespace Simd {

bool wideKernels() { return wide().load(std::memory_order_relaxed); }

bool useWideKernels(bool on) {
    wide() = on && processorHasAvx2();
    return wide();
}

} // namespace Simd
