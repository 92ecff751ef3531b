// The instruction sets of the vector loops: their intrinsics and the target attributes of their
// builds; the check that chooses among them at run time is cpu_features().
#pragma once

#include "package/kernels/cpu_features.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#define VELMORA_AVX512_TARGET __attribute__((target("avx2,fma,avx512f,avx512dq,avx512vl")))
#define VELMORA_AVX2_TARGET __attribute__((target("avx2,fma")))

// Code with AVX-512 intrinsics sits between these. GCC 12's intrinsics start several results from
// a deliberately undefined vector, which its flow analysis then reports as used uninitialized.
#if defined(__clang__)
#define VELMORA_BEGIN_INTRINSICS _Pragma("clang diagnostic push")
#define VELMORA_END_INTRINSICS _Pragma("clang diagnostic pop")
#else
#define VELMORA_BEGIN_INTRINSICS \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define VELMORA_END_INTRINSICS _Pragma("GCC diagnostic pop")
#endif

#endif
