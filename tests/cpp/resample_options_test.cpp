// Tests of the resampling option checks: order of checks and exact texts.
#include "package/resample_options.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "errors/messages.hpp"

namespace velmora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string error_of(std::optional<double> hz, std::string_view method) {
  auto result = parse_resample_options(hz, method);
  return result ? std::string("ok") : result.error().display();
}

struct RejectCase {
  double hz;
  const char* method;
  std::string_view message;
};

class rejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(rejects, with_exact_text) {
  EXPECT_EQ(error_of(GetParam().hz, GetParam().method), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    resample_options, rejects,
    ::testing::Values(
        RejectCase{0.0, "cubic", msg::kResampleHzNotPositive},
        RejectCase{-0.0, "cubic", msg::kResampleHzNotPositive},
        RejectCase{-1.0, "cubic", msg::kResampleHzNotPositive},
        RejectCase{std::numeric_limits<double>::quiet_NaN(), "cubic", msg::kResampleHzNotPositive},
        RejectCase{kInf, "cubic", msg::kResampleHzNotPositive},
        RejectCase{-kInf, "cubic", msg::kResampleHzNotPositive},
        RejectCase{10000.5, "cubic", msg::kResampleHzTooHigh},
        RejectCase{std::nextafter(10000.0, kInf), "cubic", msg::kResampleHzTooHigh},
        // The rate is checked before the method.
        RejectCase{0.0, "linear", msg::kResampleHzNotPositive},
        RejectCase{2e4, "linear", msg::kResampleHzTooHigh},
        RejectCase{50.0, "Cubic", "Unsupported resample_method 'Cubic'. Supported: cubic"},
        RejectCase{50.0, " cubic", "Unsupported resample_method ' cubic'. Supported: cubic"},
        RejectCase{50.0, "", "Unsupported resample_method ''. Supported: cubic"}));

TEST(resample_options, absent_rate_ignores_method) {
  auto result = parse_resample_options(std::nullopt, "Cubic");
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->has_value());
}

TEST(resample_options, accepts_limits_and_subnormal) {
  for (double hz : {10000.0, 0.1, std::numeric_limits<double>::denorm_min()}) {
    auto result = parse_resample_options(hz, "cubic");
    ASSERT_TRUE(result) << hz;
    EXPECT_EQ(**result, hz);
  }
}

}  // namespace
}  // namespace velmora
