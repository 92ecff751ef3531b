// Fuzz target: metadata block parsing, the timing scan and the consistency report on any bytes.
// Also checks that the scan's outcome does not depend on the read chunk size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "header/consistency_report.hpp"
#include "header/cwa_header.hpp"
#include "header/data_timing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora;
  using velmora::fuzz::MemoryFile;
  if (size >= kMetadataBytes) (void)parse_cwa_header(MetadataBytes(data, kMetadataBytes));
  const MemoryFile file(data, size);
  if (!file.ok()) return 0;
  const Result<CwaHeader> header = read_cwa_header(file.path());
  const Result<DataTiming> timing = scan_data_timing(file.path());
  // Chunk boundaries inside packets must not change what the scan finds.
  if (scan_data_timing(file.path(), 1000) != timing) __builtin_trap();
  if (header && timing) (void)make_consistency_report(*header, *timing);
  return 0;
}
