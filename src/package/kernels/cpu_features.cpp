// The processor check behind every kernel's choice of build.
#include "package/kernels/cpu_features.hpp"

namespace velmora {

namespace {

CpuFeatures detect() {
  CpuFeatures features;
#if defined(__x86_64__) && !defined(VELMORA_PORTABLE_KERNELS)
  // The check may run before the runtime's own processor detection: start that first.
  __builtin_cpu_init();
  const bool fma = __builtin_cpu_supports("fma");
  features.avx2 = fma && __builtin_cpu_supports("avx2");
  features.avx512 = fma && __builtin_cpu_supports("avx512f") &&
                    __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#endif
  return features;
}

}  // namespace

// The earliest priority a program may use: every other static object of the library that
// chooses a kernel while it is built sees the features already. Mach-O linkers order static
// objects by file only, so there no such object may choose a kernel (none does).
#if defined(__ELF__)
#define VELMORA_FIRST_STATIC __attribute__((init_priority(101)))
#else
#define VELMORA_FIRST_STATIC
#endif
const CpuFeatures detail::detected_cpu_features VELMORA_FIRST_STATIC = detect();

}  // namespace velmora
