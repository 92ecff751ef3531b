// Tests of the resampling option checks: order of checks and exact texts.
#include "package/resample/resample_options.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "errors/messages.hpp"

namespace velmora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(resample_options, checks_the_rate_before_the_method) {
  const struct {
    double hz;
    const char* method;
    std::string_view message;
  } cases[] = {
      {-0.0, "cubic", velmora::error_text(ErrorCode::kResampleHzNotPositive)},
      {-kInf, "cubic", velmora::error_text(ErrorCode::kResampleHzNotPositive)},
      {std::nextafter(10000.0, kInf), "cubic", velmora::error_text(ErrorCode::kResampleHzTooHigh)},
      {2e4, "linear", velmora::error_text(ErrorCode::kResampleHzTooHigh)},
      {50.0, " cubic", "Unsupported resample_method ' cubic'. Supported: cubic"},
      {50.0, "", "Unsupported resample_method ''. Supported: cubic"},
  };
  for (const auto& c : cases) {
    auto result = parse_resample_options(c.hz, c.method);
    ASSERT_FALSE(result) << c.hz << " " << c.method;
    EXPECT_EQ(result.error().display(), c.message);
  }
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
