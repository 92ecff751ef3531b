// The processor check behind every kernel's choice of build.
#include "package/kernels/cpu_features.hpp"

namespace velmora {

namespace {

CpuFeatures detect() {
  CpuFeatures features;
#if defined(__x86_64__) && !defined(VELMORA_PORTABLE_KERNELS)
  const bool fma = __builtin_cpu_supports("fma");
  features.avx2 = fma && __builtin_cpu_supports("avx2");
  features.avx512 = fma && __builtin_cpu_supports("avx512f") &&
                    __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#endif
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace velmora
