// Bound checks of cuts.
#include "package/cut_config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "errors/messages.hpp"

namespace velmora {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
  const char* name;
  CutConfig cut;
  std::string_view error;  // empty when the cut is valid
};

std::string error_of(const CutConfig& cut) {
  const Status status = validate(cut);
  return status ? std::string() : status.error().display();
}

class ValidateCut : public ::testing::TestWithParam<Case> {};

TEST_P(ValidateCut, reports_first_failing_check) {
  EXPECT_EQ(error_of(GetParam().cut), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    cut_config, ValidateCut,
    ::testing::Values(
        Case{"whole", WholeCut{}, ""}, Case{"blocks_unbounded", BlocksCut{}, ""},
        Case{"blocks_end_zero_alone", BlocksCut{std::nullopt, 0}, ""},
        Case{"blocks_start_alone", BlocksCut{UINT64_MAX, std::nullopt}, ""},
        Case{"blocks_in_order", BlocksCut{2, 5}, ""},
        Case{"blocks_equal", BlocksCut{3, 3}, msg::kBlocksEndNotAfterStart},
        Case{"blocks_reversed_unsigned", BlocksCut{UINT64_MAX, 0}, msg::kBlocksEndNotAfterStart},
        Case{"seconds_unbounded", SecondsCut{}, ""},
        Case{"seconds_negative_zero", SecondsCut{-0.0, std::nullopt}, ""},
        Case{"seconds_in_order", SecondsCut{2.5, 4.0}, ""},
        Case{"seconds_negative_start", SecondsCut{-1.0, std::nullopt}, msg::kSecondsNegative},
        Case{"seconds_tiny_negative_end", SecondsCut{std::nullopt, -1e-300}, msg::kSecondsNegative},
        Case{"seconds_start_checked_first", SecondsCut{-1.0, kNan}, msg::kSecondsNegative},
        Case{"seconds_nan_before_negative_end", SecondsCut{kNan, -1.0}, msg::kSecondsNotFinite},
        Case{"seconds_infinite_start", SecondsCut{kInf, std::nullopt}, msg::kSecondsNotFinite},
        Case{"seconds_minus_infinite_end", SecondsCut{std::nullopt, -kInf}, msg::kSecondsNotFinite},
        Case{"seconds_equal", SecondsCut{5.0, 5.0}, msg::kSecondsEndNotAfterStart},
        Case{"seconds_zero_and_negative_zero", SecondsCut{0.0, -0.0},
             msg::kSecondsEndNotAfterStart},
        Case{"seconds_reversed", SecondsCut{6.0, 5.0}, msg::kSecondsEndNotAfterStart}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace velmora
