// Tests of the CSV writer: texts of whole results, the streamed way against the column reader,
// the moment the output file is created, and the two forms of write errors.
#include "package/csv/csv_writer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>

#include "cwa_builder.hpp"
#include "package/read/reader.hpp"

namespace velmora {
namespace {

using testing::FileBuilder;
using testing::PacketBuilder;
using testing::TempFile;

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string error_text(const Status& status) {
  return status ? std::string("(success)") : status.error().display();
}

OptionalColumn column_of(std::initializer_list<float> values) {
  Column<float> column;
  for (float value : values) column.push_back(value);
  return column;
}

// Two rows with every column, chosen for the rounding and special texts they exercise.
CwaDataResult two_row_result() {
  CwaDataResult data;
  for (int64_t t : {int64_t{1700000000123456}, int64_t{1700000000000050}}) {
    data.timestamps.push_back(t);
  }
  for (float v : {-0.015625f, 0.0078125f}) data.acc_x->push_back(v);
  for (float v : {0.984375f, 1000.0f}) data.acc_y->push_back(v);
  for (float v : {0.03125f, -0.0000001f}) data.acc_z->push_back(v);
  data.gyro_x = column_of({-0.0f, kMissingValue});
  data.gyro_y = column_of({1.5f, kMissingValue});
  data.gyro_z = column_of({std::numeric_limits<float>::infinity(), kMissingValue});
  data.mag_x = column_of({0.25f, 0.5f});
  data.mag_y = column_of({-0.25f, -0.5f});
  data.mag_z = column_of({0.0f, 1.0f});
  data.temperature = column_of({24.12109375f, 24.0f});
  data.light = column_of({12.0f, 13.0f});
  data.battery = column_of({4.1f, 4.2f});
  return data;
}

// A data packet of `format` whose samples all carry raw value `raw` on every axis.
PacketBuilder packet_of(uint8_t format, uint32_t timestamp, int16_t raw) {
  PacketBuilder packet;
  packet.sample_format = format;
  packet.timestamp = timestamp;
  const size_t axes = format >> 4;
  packet.sample_count = static_cast<uint16_t>(format == 0x30 ? 120 : 480 / (axes * 2));
  for (size_t i = 0; i < packet.sample_count; ++i) {
    if (format == 0x30) {
      packet.packed_sample(i, static_cast<uint32_t>(raw & 0x3FF) * 0x100401u);
    } else {
      for (size_t axis = 0; axis < axes; ++axis) {
        packet.raw_value(i, axis, static_cast<int16_t>(raw + static_cast<int16_t>(i + axis)));
      }
    }
  }
  return packet;
}

TEST(csv_writer, writes_whole_result_texts_with_offset) {
  TempFile out("");
  ASSERT_TRUE(write_data_result_csv(out.path(), two_row_result(), ChannelSelection{}, 7200000000));
  EXPECT_EQ(read_text(out.path()),
            "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,mag_x,mag_y,mag_z,temperature,light,"
            "battery\n"
            "1699992800.1235,-0.015625,0.984375,0.031250,-0.000000,1.500000,inf,0.250000,"
            "-0.250000,0.000000,24.121094,12.000000,4.100000\n"
            "1699992800.0001,0.007812,1000.000000,-0.000000,NaN,NaN,NaN,0.500000,-0.500000,"
            "1.000000,24.000000,13.000000,4.200000\n");
}

struct HeaderCase {
  ChannelSelection channels;
  bool gyro;
  bool mag;
  const char* header;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.header; }

class csv_writer_header : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(csv_writer_header, holds_exactly_the_present_and_requested_columns) {
  const HeaderCase& c = GetParam();
  CwaDataResult data = two_row_result();
  if (!c.gyro) data.gyro_x.reset();
  if (!c.mag) data.mag_x.reset();
  TempFile out("");
  ASSERT_TRUE(write_data_result_csv(out.path(), data, c.channels, 0));
  const std::string text = read_text(out.path());
  EXPECT_EQ(text.substr(0, text.find('\n')), c.header);
}

INSTANTIATE_TEST_SUITE_P(
    csv_writer, csv_writer_header,
    ::testing::Values(
        HeaderCase{{false, false, false, false}, false, false, "time,acc_x,acc_y,acc_z"},
        HeaderCase{{true, true, false, false}, false, false, "time,acc_x,acc_y,acc_z,temperature"},
        HeaderCase{{false, false, true, true},
                   true,
                   false,
                   "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,light,battery"},
        HeaderCase{{false, false, false, true},
                   false,
                   true,
                   "time,acc_x,acc_y,acc_z,mag_x,mag_y,mag_z,battery"}),
    [](const ::testing::TestParamInfo<HeaderCase>& param_info) {
      return "case_" + std::to_string(param_info.index);
    });

TEST(csv_writer, empty_result_gives_only_the_header) {
  TempFile out("");
  ASSERT_TRUE(write_data_result_csv(out.path(), CwaDataResult{},
                                    ChannelSelection{true, true, false, true}, 0));
  EXPECT_EQ(read_text(out.path()), "time,acc_x,acc_y,acc_z,temperature,battery\n");
}

TEST(csv_writer, missing_requested_reading_fails_and_removes_the_output) {
  const std::pair<ChannelSelection, const char*> cases[] = {
      {{false, true, false, false}, "Temperature requested but unavailable"},
      {{false, false, true, false}, "Light requested but unavailable"},
      {{false, false, false, true}, "Battery requested but unavailable"},
  };
  for (const auto& [channels, message] : cases) {
    CwaDataResult data = two_row_result();
    data.temperature.reset();
    data.light.reset();
    data.battery.reset();
    TempFile out("");
    EXPECT_EQ(error_text(write_data_result_csv(out.path(), data, channels, 0)), message);
    EXPECT_FALSE(std::filesystem::exists(out.path()));
  }
}

TEST(csv_writer, streamed_matches_the_column_reader_on_mixed_axes) {
  FileBuilder file;
  file.add(packet_of(0x30, testing::kJan2020, 100));
  file.add(packet_of(0x62, testing::kJan2020 + 1, -300));
  file.add_raw(testing::Bytes(512, 0));  // not a data packet: skipped
  file.add(packet_of(0x32, testing::kJan2020 + 2, 2000));
  file.add(packet_of(0x92, testing::kJan2020 + 3, 7));
  TempFile input(file.bytes());
  for (const ChannelSelection channels :
       {ChannelSelection{true, true, true, true}, ChannelSelection{false, true, false, false},
        ChannelSelection{false, false, false, false}}) {
    for (const BlockSelection selection :
         {BlockSelection{}, BlockSelection{1, 2}, BlockSelection{0, 1}}) {
      TempFile streamed("");
      TempFile whole("");
      ASSERT_TRUE(write_streamed_csv(input.path(), selection, streamed.path(), channels, -3600));
      auto data = read_cwa_data(input.path(), selection, channels);
      ASSERT_TRUE(data) << data.error().display();
      ASSERT_TRUE(write_data_result_csv(whole.path(), *data, channels, -3600));
      const std::string text = read_text(streamed.path());
      EXPECT_EQ(text, read_text(whole.path()));
      // Block 0 alone is 3-axis: no gyroscope columns; otherwise 3-axis rows print NaN there.
      const bool gyro_expected = selection.start_block != std::optional<uint64_t>(0);
      EXPECT_EQ(text.find("gyro_x") != std::string::npos, gyro_expected);
      EXPECT_EQ(text.find("mag_x") != std::string::npos,
                gyro_expected && channels.include_magnetometer && !selection.block_count);
    }
  }
}

TEST(csv_writer, streamed_without_data_packets_gives_only_the_header) {
  FileBuilder file;
  file.add_raw(testing::Bytes(512, 0));
  TempFile input(file.bytes());
  TempFile out("");
  ASSERT_TRUE(write_streamed_csv(input.path(), {}, out.path(), ChannelSelection{}, 0));
  EXPECT_EQ(read_text(out.path()), "time,acc_x,acc_y,acc_z,temperature,light,battery\n");
}

TEST(csv_writer, streamed_fault_found_by_the_prescan_leaves_the_output_untouched) {
  FileBuilder file;
  file.add(packet_of(0x30, testing::kJan2020, 1));
  PacketBuilder old_format = packet_of(0x30, testing::kJan2020 + 1, 1);
  old_format.rate_code = 0;
  file.add(old_format);
  TempFile input(file.bytes());
  TempFile out(testing::Bytes{'k', 'e', 'e', 'p'});
  EXPECT_EQ(error_text(write_streamed_csv(input.path(), {}, out.path(), ChannelSelection{}, 0)),
            "Old CWA format packets are not supported");
  EXPECT_EQ(read_text(out.path()), "keep");

  const std::string missing = out.path() + ".never";
  EXPECT_EQ(error_text(write_streamed_csv(input.path(), {}, missing, ChannelSelection{}, 0)),
            "Old CWA format packets are not supported");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(csv_writer, streamed_zero_planned_blocks_gives_only_the_header) {
  FileBuilder file;
  file.add(packet_of(0x62, testing::kJan2020, 1));
  TempFile input(file.bytes());
  TempFile out("");
  ASSERT_TRUE(write_streamed_csv(input.path(), {0, 0}, out.path(), ChannelSelection{}, 0));
  EXPECT_EQ(read_text(out.path()), "time,acc_x,acc_y,acc_z,temperature,light,battery\n");
}

TEST(csv_writer, output_in_a_missing_directory_is_an_io_error) {
  FileBuilder file;
  file.add(packet_of(0x30, testing::kJan2020, 1));
  TempFile input(file.bytes());
  const std::string path = "/nonexistent-velmora-dir/out.csv";
  const char* expected = "IO error: No such file or directory (os error 2)";
  EXPECT_EQ(error_text(write_streamed_csv(input.path(), {}, path, ChannelSelection{}, 0)),
            expected);
  EXPECT_EQ(error_text(write_data_result_csv(path, two_row_result(), ChannelSelection{}, 0)),
            expected);
}

TEST(csv_writer, creates_the_output_with_mode_0666_before_the_umask) {
  const mode_t old_mask = ::umask(022);
  TempFile out("");
  const Status status = write_data_result_csv(out.path(), two_row_result(), ChannelSelection{}, 0);
  ::umask(old_mask);
  ASSERT_TRUE(status);
  struct stat info;
  ASSERT_EQ(::stat(out.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(csv_writer, full_disk_at_the_final_flush_keeps_the_io_prefix) {
  EXPECT_EQ(error_text(write_data_result_csv("/dev/full", two_row_result(), ChannelSelection{}, 0)),
            "IO error: No space left on device (os error 28)");
}

TEST(csv_writer, full_disk_under_16_mib_surfaces_only_at_the_final_flush) {
  // About 2 MiB of lines: written out early in pieces, yet the failure of the first piece waits
  // for the point where a 16 MiB buffer would have been written, the final flush.
  CwaDataResult data;
  constexpr size_t kRows = 50000;
  for (size_t i = 0; i < kRows; ++i) {
    data.timestamps.push_back(1700000000000000 + static_cast<int64_t>(i) * 10000);
    data.acc_x->push_back(-1.25f);
    data.acc_y->push_back(0.5f);
    data.acc_z->push_back(1000.0f);
  }
  const ChannelSelection channels{false, false, false, false};
  EXPECT_EQ(error_text(write_data_result_csv("/dev/full", data, channels, 0)),
            "IO error: No space left on device (os error 28)");
}

TEST(csv_writer, full_disk_while_writing_records_has_no_prefix) {
  // About 44 bytes per line: past twice the 16 MiB file buffer, so that both buffers fill.
  CwaDataResult data;
  constexpr size_t kRows = 800000;
  for (size_t i = 0; i < kRows; ++i) {
    data.timestamps.push_back(1700000000000000 + static_cast<int64_t>(i) * 10000);
    data.acc_x->push_back(-1.25f);
    data.acc_y->push_back(0.5f);
    data.acc_z->push_back(1000.0f);
  }
  data.temperature = Column<float>();
  data.temperature->append_fill(21.5f, kRows);
  const ChannelSelection channels{false, true, false, false};
  EXPECT_EQ(error_text(write_data_result_csv("/dev/full", data, channels, 0)),
            "No space left on device (os error 28)");
  // The same rows reach a real file whole and in order across every buffer boundary.
  std::string expected = "time,acc_x,acc_y,acc_z,temperature\n";
  for (size_t i = 0; i < kRows; ++i) {
    char line[64];
    const int n =
        std::snprintf(line, sizeof line, "%.4f,-1.250000,0.500000,1000.000000,21.500000\n",
                      static_cast<double>(data.timestamps[i]) / 1000000.0);
    expected.append(line, static_cast<size_t>(n));
  }
  ASSERT_GT(expected.size(), size_t{33} << 20);
  TempFile out("");
  ASSERT_TRUE(write_data_result_csv(out.path(), data, channels, 0));
  EXPECT_TRUE(read_text(out.path()) == expected);
}

}  // namespace
}  // namespace velmora
