// Every message text of the system, spelled once: the table of error codes and their texts, the
// pieces of the formatted ones, and the texts of internal faults. Tests compare against these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora {

// What went wrong, one code per text of the system. The boundary maps each code to its Python
// exception type (errors/py_errors.cpp).
enum class ErrorCode : uint8_t {
  // I/O: "IO error: " and the operating system's text, or that text alone while a CSV record
  // is written.
  kIo,
  kCsvWrite,
  // File structure and reading.
  kNotValidCwaFile,
  kFileTooSmall,
  kIncompleteDataBlock,
  kStartBlockBeyondFile,
  kUnexpectedEndOfData,
  kNoSampleDataInRange,
  kNoSampleData,
  kNoSamplesAfterSecondsCut,
  kFirstBlockNotMetadata,
  kInvalidPacketHeaderFormat,
  kInvalidDataBlockHeader,
  kOldFormatPackets,
  kUnsupportedSampleFormat,  // formatted with the format byte's two nibbles
  kSampleCountExceedsCapacity,
  kInvalidBlockTimestamp,
  kInsufficientPacked3,
  kInsufficientUnpacked3,
  kInsufficientUnpacked6,
  kInsufficientUnpacked9,
  // Time ranges and resampling.
  kTimeRangeNotFinite,
  kTimeRangeOrder,
  kNoSamplesAfterTimeRange,
  kNoSamplesAfterResampling,
  // CSV output.
  kTemperatureUnavailable,
  kLightUnavailable,
  kBatteryUnavailable,
  kOutputIsInput,
  // Cuts and resampling options (ValueError).
  kCutNotCreatedByHelpers,
  kCutMissingType,
  kCutTypeInvalid,
  kBlocksEndNotAfterStart,
  kSecondsEndNotAfterStart,
  kSecondsNotFinite,
  kSecondsNegative,
  kResampleHzNotPositive,
  kResampleHzTooHigh,
  kUnsupportedResampleMethod,  // formatted with the method text
  // A callback of the binding raised; its Python exception is already set.
  kRaisedByCaller,
};

struct ErrorEntry {
  ErrorCode code;
  std::string_view text;  // the whole text, or the start of a formatted one
};

// Indexed by code.
inline constexpr std::array kErrorTable = {
    ErrorEntry{ErrorCode::kIo, "IO error: "},
    ErrorEntry{ErrorCode::kCsvWrite, ""},
    ErrorEntry{ErrorCode::kNotValidCwaFile, "Not a valid CWA file"},
    ErrorEntry{ErrorCode::kFileTooSmall, "File too small to be a valid CWA file"},
    ErrorEntry{ErrorCode::kIncompleteDataBlock, "Incomplete CWA data block"},
    ErrorEntry{ErrorCode::kStartBlockBeyondFile, "Start block is beyond file size"},
    ErrorEntry{ErrorCode::kUnexpectedEndOfData, "Unexpected end of CWA data"},
    ErrorEntry{ErrorCode::kNoSampleDataInRange,
               "No valid sample data found in the specified range"},
    ErrorEntry{ErrorCode::kNoSampleData, "No valid sample data found"},
    ErrorEntry{ErrorCode::kNoSamplesAfterSecondsCut,
               "No samples remain after applying seconds cut"},
    ErrorEntry{ErrorCode::kFirstBlockNotMetadata, "First block is not a metadata block"},
    ErrorEntry{ErrorCode::kInvalidPacketHeaderFormat, "Invalid packet header format"},
    ErrorEntry{ErrorCode::kInvalidDataBlockHeader, "Invalid data block header"},
    ErrorEntry{ErrorCode::kOldFormatPackets, "Old CWA format packets are not supported"},
    ErrorEntry{ErrorCode::kUnsupportedSampleFormat, "Unsupported sample format: "},
    ErrorEntry{ErrorCode::kSampleCountExceedsCapacity, "Sample count exceeds packet capacity"},
    ErrorEntry{ErrorCode::kInvalidBlockTimestamp, "Invalid block timestamp"},
    ErrorEntry{ErrorCode::kInsufficientPacked3, "Insufficient data for packed 3-axis samples"},
    ErrorEntry{ErrorCode::kInsufficientUnpacked3, "Insufficient data for unpacked 3-axis samples"},
    ErrorEntry{ErrorCode::kInsufficientUnpacked6, "Insufficient data for unpacked 6-axis samples"},
    ErrorEntry{ErrorCode::kInsufficientUnpacked9, "Insufficient data for unpacked 9-axis samples"},
    ErrorEntry{ErrorCode::kTimeRangeNotFinite, "time range values must be finite"},
    ErrorEntry{ErrorCode::kTimeRangeOrder, "range_end_time must be greater than range_start_time"},
    ErrorEntry{ErrorCode::kNoSamplesAfterTimeRange, "No samples remain after applying time range"},
    ErrorEntry{ErrorCode::kNoSamplesAfterResampling,
               "No samples remain after applying time range/resampling"},
    ErrorEntry{ErrorCode::kTemperatureUnavailable, "Temperature requested but unavailable"},
    ErrorEntry{ErrorCode::kLightUnavailable, "Light requested but unavailable"},
    ErrorEntry{ErrorCode::kBatteryUnavailable, "Battery requested but unavailable"},
    ErrorEntry{ErrorCode::kOutputIsInput, "output_path refers to the input file"},
    ErrorEntry{ErrorCode::kCutNotCreatedByHelpers, "cut must be created by seconds() or blocks()"},
    ErrorEntry{ErrorCode::kCutMissingType, "cut is missing type"},
    ErrorEntry{ErrorCode::kCutTypeInvalid, "cut type must be 'seconds' or 'blocks'"},
    ErrorEntry{ErrorCode::kBlocksEndNotAfterStart, "blocks end must be greater than start"},
    ErrorEntry{ErrorCode::kSecondsEndNotAfterStart, "seconds end must be greater than start"},
    ErrorEntry{ErrorCode::kSecondsNotFinite, "seconds cut values must be finite"},
    ErrorEntry{ErrorCode::kSecondsNegative, "seconds cut values must be >= 0"},
    ErrorEntry{ErrorCode::kResampleHzNotPositive, "resample_hz must be a finite value > 0"},
    ErrorEntry{ErrorCode::kResampleHzTooHigh, "resample_hz must be <= 10000"},
    ErrorEntry{ErrorCode::kUnsupportedResampleMethod, "Unsupported resample_method '"},
    ErrorEntry{ErrorCode::kRaisedByCaller, ""},
};

consteval bool table_follows_codes() {
  for (size_t i = 0; i < kErrorTable.size(); ++i) {
    if (static_cast<size_t>(kErrorTable[i].code) != i) return false;
  }
  return static_cast<size_t>(ErrorCode::kRaisedByCaller) + 1 == kErrorTable.size();
}
static_assert(table_follows_codes(), "kErrorTable lists every code once, in code order");

// Returns the text of a code (the start of the text for the formatted ones).
constexpr std::string_view error_text(ErrorCode code) {
  return kErrorTable[static_cast<size_t>(code)].text;
}

namespace msg {

// The rest of the formatted texts: "<start><axes> axes, packing <packing>" and
// "<start><method>'. Supported: cubic".
inline constexpr std::string_view kSampleFormatPacking = " axes, packing ";
inline constexpr std::string_view kUnsupportedMethodSuffix = "'. Supported: cubic";

// I/O texts without an OS error number.
inline constexpr std::string_view kFailedToFillWholeBuffer = "failed to fill whole buffer";
inline constexpr std::string_view kNulInFileName = "file name contained an unexpected NUL byte";

// Internal faults (PanicException).
inline constexpr std::string_view kFaultValidatedTimestamp = "validated packet timestamp";
inline constexpr std::string_view kFaultPacketVerdict = "error asked for an accepted packet";
inline constexpr std::string_view kFaultLastIndexExists =
    "last index exists when first index exists";
inline constexpr std::string_view kFaultNumpyCapsule = "Failed to access NumPy array API capsule";
inline constexpr std::string_view kFaultTimestampBuffer = "timestamp buffer holds the samples";

}  // namespace msg

}  // namespace velmora
