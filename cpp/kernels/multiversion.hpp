// Functions compiled twice, for the baseline instruction set and for AVX2,
// the better one picked once when the module loads.  Only for loops whose
// result cannot depend on the instructions (integer sums, or floating-point
// loops without reassociation or fused multiply-adds: AVX2 alone brings
// neither).
#pragma once

#include <cstdlib>  // defines __GLIBC__ with the GNU C library

// The pick at load time needs the GNU C library's indirect functions.
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && \
    (defined(__GNUC__) || defined(__clang__))
#define TARNFOLD_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TARNFOLD_AVX2_CLONES
#endif
