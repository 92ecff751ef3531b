// read_cwa_file and write_cwa_csv of the core: the order of the first steps, the offset callback
// and the time bounds.
#include "package/pipeline/read_pipeline.hpp"

#include <gtest/gtest.h>

#include <string>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::file_of;
using testing::TempFile;

const std::string kMissing = "/nonexistent/velmora.cwa";

ReadRequest request_for(std::string path, CutConfig cut) {
  ReadRequest request;
  request.file_path = std::move(path);
  request.cut = cut;
  return request;
}

TEST(read_pipeline, checks_cut_then_options_before_the_file) {
  struct Case {
    CutConfig cut;
    std::optional<double> hz;
    std::string method;
    ErrorCode expected;
  };
  for (const Case& c : {Case{BlocksCut{3, 3}, 1e9, "linear", ErrorCode::kBlocksEndNotAfterStart},
                        Case{SecondsCut{-1.0, std::nullopt}, 1e9, "x", ErrorCode::kSecondsNegative},
                        Case{WholeCut{}, 1e9, "linear", ErrorCode::kResampleHzTooHigh},
                        Case{WholeCut{}, 50.0, "linear", ErrorCode::kUnsupportedResampleMethod},
                        Case{SecondsCut{1.0, 2.0}, 50.0, "cubic", ErrorCode::kIo}}) {
    ReadRequest request = request_for(kMissing, c.cut);
    request.resample_hz = c.hz;
    request.resample_method = c.method;
    EXPECT_EQ(read_cwa_file(request).error().code(), c.expected);
    EXPECT_EQ(write_cwa_csv(request, "/nonexistent/out.csv").error().code(), c.expected);
  }
}

TEST(read_pipeline, asks_for_the_offset_once_and_only_after_the_plan) {
  int calls = 0;
  ReadRequest request = request_for(kMissing, SecondsCut{0.0, 1.0});
  request.utc_offset_us = [&]() -> Result<int64_t> {
    ++calls;
    return fail(ErrorCode::kRaisedByCaller);
  };
  EXPECT_EQ(read_cwa_file(request).error().code(), ErrorCode::kIo);
  EXPECT_EQ(calls, 0);

  const TempFile file(file_of(3).bytes());
  request.file_path = file.path();
  EXPECT_EQ(read_cwa_file(request).error().code(), ErrorCode::kRaisedByCaller);
  EXPECT_EQ(calls, 1);
}

TEST(read_pipeline, moves_every_time_by_the_offset_and_says_so) {
  const TempFile file(file_of(3).bytes());
  ReadRequest request = request_for(file.path(), WholeCut{});
  auto device = read_cwa_file(request);
  ASSERT_TRUE(device) << device.error().display();
  EXPECT_FALSE(device->utc);
  request.utc_offset_us = []() -> Result<int64_t> { return 3600000000; };
  auto utc = read_cwa_file(request);
  ASSERT_TRUE(utc) << utc.error().display();
  EXPECT_TRUE(utc->utc);
  ASSERT_EQ(utc->data.rows(), device->data.rows());
  for (size_t i = 0; i < utc->data.rows(); ++i) {
    EXPECT_EQ(utc->data.timestamps[i], device->data.timestamps[i] - 3600000000) << i;
  }
}

TEST(read_pipeline, refuses_an_output_that_is_the_input_after_reading) {
  const TempFile file(file_of(3).bytes());
  for (const std::optional<double> hz : {std::optional<double>(), std::optional<double>(10.0)}) {
    ReadRequest request = request_for(file.path(), WholeCut{});
    request.resample_hz = hz;
    EXPECT_EQ(write_cwa_csv(request, file.path()).error().code(), ErrorCode::kOutputIsInput);
  }
  ReadRequest request = request_for(file.path(), WholeCut{});
  EXPECT_TRUE(read_cwa_file(request));  // the recording is untouched
}

}  // namespace
}  // namespace velmora
