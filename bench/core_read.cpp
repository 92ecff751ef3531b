// Reads a whole CWA file with the core reader alone (default channels), so that callgrind counts
// the instructions of decoding without the Python and pandas layers.
#include <cstdio>

#include "package/read/reader.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.cwa\n", argv[0]);
    return 2;
  }
  auto result =
      velmora::read_cwa_data(argv[1], velmora::BlockSelection{}, velmora::ChannelSelection{});
  if (!result) {
    std::fprintf(stderr, "%s\n", result.error().display().c_str());
    return 1;
  }
  std::printf("%zu\n", result->rows());
  return 0;
}
