// Replays fuzz inputs without libFuzzer: feeds every file named on the command line, and every
// regular file inside each directory named there, to LLVMFuzzerTestOneInput once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// Reads a whole file; returns false when it cannot be read.
bool read_file(const fs::path& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Collects the inputs of one argument in a stable order, so a failing replay repeats exactly.
void collect_inputs(const fs::path& argument, std::vector<fs::path>& inputs) {
  std::error_code error;
  if (fs::is_directory(argument, error)) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(argument, error)) {
      if (entry.is_regular_file(error)) found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
  } else if (fs::is_regular_file(argument, error)) {
    inputs.push_back(argument);
  } else {
    std::fprintf(stderr, "replay: skipping %s (missing or not a file)\n", argument.c_str());
  }
}

// Runs one input; an empty input still gets a valid pointer, as libFuzzer gives it.
void run_one(const std::vector<uint8_t>& bytes) {
  static const uint8_t kNoBytes = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kNoBytes : bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int index = 1; index < argc; ++index) collect_inputs(fs::path(argv[index]), inputs);

  // Runs the empty input too, so a target with no corpus yet is still exercised once.
  std::vector<uint8_t> bytes;
  run_one(bytes);

  size_t replayed = 0;
  for (const fs::path& input : inputs) {
    if (!read_file(input, bytes)) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
    run_one(bytes);
    ++replayed;
  }
  std::printf("replay: %zu input(s) ran without fault\n", replayed);
  return 0;
}
