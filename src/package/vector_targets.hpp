// The instruction sets of the resampler's vector loops: the target attributes of their builds
// and the checks that choose them at run time.
#pragma once

#if defined(__x86_64__)

#define VELMORA_AVX512_TARGET __attribute__((target("avx2,fma,avx512f,avx512dq,avx512vl")))
#define VELMORA_AVX2_TARGET __attribute__((target("avx2,fma")))

namespace velmora {

inline bool has_avx512_units() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
}

inline bool has_avx2_units() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace velmora

#endif
