// Resamples a CWA file with the core alone (all channels), so that callgrind and perf see the
// resampled read without the Python layer; prints the rows, and with VELMORA_BENCH_HASH set a hash
// of every column.
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "package/resample/resampled_read.hpp"

namespace {

uint64_t hash_bytes(uint64_t hash, const void* data, size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 1099511628211u;
  return hash;
}

template <class T>
uint64_t hash_column(uint64_t hash, const velmora::Column<T>& column) {
  return hash_bytes(hash, column.data(), column.size() * sizeof(T));
}

double user_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s FILE.cwa RESAMPLE_HZ [START_S END_S]\n", argv[0]);
    return 2;
  }
  std::optional<double> start;
  std::optional<double> end;
  if (argc == 5) {
    start = std::strtod(argv[3], nullptr);
    end = std::strtod(argv[4], nullptr);
  }
  const auto read = [&] {
    return velmora::read_cwa_data_resampled_streaming(argv[1], velmora::BlockSelection{},
                                                      std::strtod(argv[2], nullptr),
                                                      velmora::ChannelSelection{}, start, end);
  };
  // With VELMORA_BENCH_REPEAT=N, reads N times and prints the least user time of one read: on
  // a virtual machine the wall time swings with the host's memory, the user time much less.
  if (const char* repeat = std::getenv("VELMORA_BENCH_REPEAT")) {
    double best = 1e9;
    for (long i = std::strtol(repeat, nullptr, 10); i > 0; --i) {
      const double before = user_seconds();
      const auto result = read();
      best = std::min(best, user_seconds() - before);
      if (!result) return 1;
    }
    std::printf("best user seconds %.3f\n", best);
    return 0;
  }
  auto result = read();
  if (!result) {
    std::fprintf(stderr, "%s\n", result.error().display().c_str());
    return 1;
  }
  if (std::getenv("VELMORA_BENCH_HASH") == nullptr) {
    std::printf("%zu\n", result->rows());
    return 0;
  }
  uint64_t hash = 14695981039346656037u;
  hash = hash_column(hash, result->timestamps);
  for (const auto& row : velmora::kChannels) {
    const auto& column = (*result).*row.member;
    hash = column ? hash_column(hash, *column) : hash_bytes(hash, "-", 1);
  }
  std::printf("%zu %016llx\n", result->rows(), static_cast<unsigned long long>(hash));
  return 0;
}
