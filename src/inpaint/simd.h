#pragma once

// Which patch-distance kernels the fills use: the eight-lane AVX2 ones where the processor
// has AVX2, else the baseline ones. Both give the same bits; tests switch to compare them.
namespace Simd {

// True while the AVX2 kernels are in use.
bool wideKernels();
// Chooses the kernels (never the AVX2 ones without AVX2) and returns wideKernels(). Not
// while a fill runs.
bool useWideKernels(bool on);

} // namespace Simd
