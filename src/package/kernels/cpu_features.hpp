// The vector instruction sets that this processor offers the kernels: checked once per process,
// and the one check that every kernel's choice of build goes through.
#pragma once

namespace velmora {

struct CpuFeatures {
  bool avx2 = false;    // AVX2 with FMA
  bool avx512 = false;  // AVX-512 F, DQ and VL, with FMA
};

namespace detail {
// Detected while the library loads, before any other of its static objects, so that the
// per-packet and per-row choices of build read a plain global instead of a function-local
// static's guard behind a call.
extern const CpuFeatures detected_cpu_features;
}  // namespace detail

// The features the kernels may use; none in a build configured with VELMORA_PORTABLE_KERNELS,
// so that the portable code paths can be tested on any machine.
inline const CpuFeatures& cpu_features() { return detail::detected_cpu_features; }

inline bool has_avx512_units() { return cpu_features().avx512; }
inline bool has_avx2_units() { return cpu_features().avx2; }

}  // namespace velmora
