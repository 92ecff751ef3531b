// The vector builds of the column kernels against the scalar decoder, on every lane layout.
#include "package/kernels/column_kernels.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "package/decode/sample_decode.hpp"

namespace velmora {
namespace {

struct Axes {
  std::vector<float> x, y, z;
  explicit Axes(size_t n) : x(n, -1.0f), y(n, -1.0f), z(n, -1.0f) {}
  // Compares bits, so that -0.0 and 0.0 differ.
  friend bool operator==(const Axes& a, const Axes& b) {
    auto same = [](const std::vector<float>& u, const std::vector<float>& v) {
      return u.size() == v.size() &&
             (u.empty() || std::memcmp(u.data(), v.data(), u.size() * sizeof(float)) == 0);
    };
    return same(a.x, b.x) && same(a.y, b.y) && same(a.z, b.z);
  }
};

TEST(column_kernels, packed_3axis_builds_match_the_scalar_decoder) {
  std::mt19937 rng(3);
  bool wide_checked = false;
  for (int round = 0; round < 3000; ++round) {
    const size_t n = rng() % 121;  // every remainder of 4 and 16
    std::vector<uint8_t> data(4 * n + 1);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(rng());
    const auto light = static_cast<uint16_t>(rng());
    const uint8_t* words = data.data() + 1;  // unaligned, as inside a packet
    Axes expected(n);
    decode::packed_3axis(words, n, light, [&](size_t i, float x, float y, float z) {
      expected.x[i] = x;
      expected.y[i] = y;
      expected.z[i] = z;
    });
    Axes portable(n);
    decode_packed_3axis_portable(words, n, light, portable.x.data(), portable.y.data(),
                                 portable.z.data());
    EXPECT_TRUE(portable == expected) << round;
    Axes wide(n);
    if (decode_packed_3axis_avx512(words, n, light, wide.x.data(), wide.y.data(), wide.z.data())) {
      EXPECT_TRUE(wide == expected) << round;
      wide_checked = true;
    }
    // Straight to double: the same floats, widened.
    for (const bool avx512 : {false, true}) {
      std::vector<double> x(n, -1.0), y(n, -1.0), z(n, -1.0);
      if (avx512) {
        if (!decode_packed_3axis_avx512(words, n, light, x.data(), y.data(), z.data())) continue;
      } else {
        decode_packed_3axis_portable(words, n, light, x.data(), y.data(), z.data());
      }
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(std::bit_cast<uint64_t>(x[i]),
                  std::bit_cast<uint64_t>(static_cast<double>(expected.x[i])));
        ASSERT_EQ(std::bit_cast<uint64_t>(y[i]),
                  std::bit_cast<uint64_t>(static_cast<double>(expected.y[i])));
        ASSERT_EQ(std::bit_cast<uint64_t>(z[i]),
                  std::bit_cast<uint64_t>(static_cast<double>(expected.z[i])))
            << round << " " << i << (avx512 ? " avx512" : " portable");
      }
    }
  }
  if (!wide_checked) GTEST_SKIP() << "no AVX-512 here: only the portable build was checked";
}

TEST(column_kernels, fills_exactly_the_requested_slots) {
  bool wide_checked = false;
  for (size_t n = 0; n <= 40; ++n) {
    for (const bool wide : {false, true}) {
      std::vector<float> out(n + 2, 7.0f);
      if (wide) {
        if (!fill_floats_avx512(out.data() + 1, n, -0.0f)) continue;
        wide_checked = true;
      } else {
        fill_floats_portable(out.data() + 1, n, -0.0f);
      }
      EXPECT_EQ(out.front(), 7.0f);
      EXPECT_EQ(out.back(), 7.0f);
      for (size_t i = 1; i <= n; ++i) ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), 0x80000000u);
    }
  }
  if (!wide_checked) GTEST_SKIP() << "no AVX-512 here: only the portable build was checked";
}

}  // namespace
}  // namespace velmora
