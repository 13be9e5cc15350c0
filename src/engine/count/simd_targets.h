// The instruction sets of the SIMD paths, named once: a function compiled
// for a path carries its target attribute, and the dispatcher
// (kernel_dispatch.cpp) offers a path only where the CPU has every
// instruction set its target names. The program itself is built for the
// baseline x86-64, never with -march=native.
#ifndef GORVA_ENGINE_COUNT_SIMD_TARGETS_H
#define GORVA_ENGINE_COUNT_SIMD_TARGETS_H

#define GORVA_TARGET_POPCNT __attribute__((target("popcnt")))
#define GORVA_TARGET_FMA __attribute__((target("fma")))
#define GORVA_TARGET_AVX2 __attribute__((target("avx2,fma,popcnt")))
#define GORVA_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vpopcntdq,popcnt")))

// Helpers that must be inlined into their caller's target.
#define GORVA_INLINE __attribute__((always_inline)) inline

#endif  // GORVA_ENGINE_COUNT_SIMD_TARGETS_H
