// Every message text of the system, spelled once: the table of error codes and their texts, the
// pieces of the formatted ones, and the texts of internal faults. Tests compare against these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora {

// Every error of the system: its code and its text (the start of the text for the formatted
// ones). The boundary maps each code to its Python exception type (errors/py_errors.cpp).
#define VELMORA_ERROR_TABLE(X)                                                                    \
  /* I/O: "IO error: " and the system's text, or that text alone while a CSV record is written */ \
  X(kIo, "IO error: ")                                                                            \
  X(kCsvWrite, "")                                                                                \
  /* File structure and reading */                                                                \
  X(kNotValidCwaFile, "Not a valid CWA file")                                                     \
  X(kFileTooSmall, "File too small to be a valid CWA file")                                       \
  X(kIncompleteDataBlock, "Incomplete CWA data block")                                            \
  X(kStartBlockBeyondFile, "Start block is beyond file size")                                     \
  X(kUnexpectedEndOfData, "Unexpected end of CWA data")                                           \
  X(kNoSampleDataInRange, "No valid sample data found in the specified range")                    \
  X(kNoSampleData, "No valid sample data found")                                                  \
  X(kNoSamplesAfterSecondsCut, "No samples remain after applying seconds cut")                    \
  X(kFirstBlockNotMetadata, "First block is not a metadata block")                                \
  X(kInvalidPacketHeaderFormat, "Invalid packet header format")                                   \
  X(kInvalidDataBlockHeader, "Invalid data block header")                                         \
  X(kOldFormatPackets, "Old CWA format packets are not supported")                                \
  /* formatted with the format byte's two nibbles */                                              \
  X(kUnsupportedSampleFormat, "Unsupported sample format: ")                                      \
  X(kSampleCountExceedsCapacity, "Sample count exceeds packet capacity")                          \
  X(kInvalidBlockTimestamp, "Invalid block timestamp")                                            \
  X(kInsufficientPacked3, "Insufficient data for packed 3-axis samples")                          \
  X(kInsufficientUnpacked3, "Insufficient data for unpacked 3-axis samples")                      \
  X(kInsufficientUnpacked6, "Insufficient data for unpacked 6-axis samples")                      \
  X(kInsufficientUnpacked9, "Insufficient data for unpacked 9-axis samples")                      \
  /* Time ranges and resampling */                                                                \
  X(kTimeRangeNotFinite, "time range values must be finite")                                      \
  X(kTimeRangeOrder, "range_end_time must be greater than range_start_time")                      \
  X(kNoSamplesAfterTimeRange, "No samples remain after applying time range")                      \
  X(kNoSamplesAfterResampling, "No samples remain after applying time range/resampling")          \
  /* CSV output */                                                                                \
  X(kTemperatureUnavailable, "Temperature requested but unavailable")                             \
  X(kLightUnavailable, "Light requested but unavailable")                                         \
  X(kBatteryUnavailable, "Battery requested but unavailable")                                     \
  X(kOutputIsInput, "output_path refers to the input file")                                       \
  /* Cuts and resampling options (ValueError) */                                                  \
  X(kCutNotCreatedByHelpers, "cut must be created by seconds() or blocks()")                      \
  X(kCutMissingType, "cut is missing type")                                                       \
  X(kCutTypeInvalid, "cut type must be 'seconds' or 'blocks'")                                    \
  X(kBlocksEndNotAfterStart, "blocks end must be greater than start")                             \
  X(kSecondsEndNotAfterStart, "seconds end must be greater than start")                           \
  X(kSecondsNotFinite, "seconds cut values must be finite")                                       \
  X(kSecondsNegative, "seconds cut values must be >= 0")                                          \
  X(kResampleHzNotPositive, "resample_hz must be a finite value > 0")                             \
  X(kResampleHzTooHigh, "resample_hz must be <= 10000")                                           \
  /* formatted with the method text */                                                            \
  X(kUnsupportedResampleMethod, "Unsupported resample_method '")                                  \
  /* a callback of the binding raised; its Python exception is already set */                     \
  X(kRaisedByCaller, "")

#define VELMORA_ERROR_CODE(code, text) code,
enum class ErrorCode : uint8_t { VELMORA_ERROR_TABLE(VELMORA_ERROR_CODE) };
#undef VELMORA_ERROR_CODE

#define VELMORA_ERROR_TEXT(code, text) std::string_view(text),
// Indexed by code.
inline constexpr std::array kErrorTexts = {VELMORA_ERROR_TABLE(VELMORA_ERROR_TEXT)};
#undef VELMORA_ERROR_TEXT

// Returns the text of a code (the start of the text for the formatted ones).
constexpr std::string_view error_text(ErrorCode code) {
  return kErrorTexts[static_cast<size_t>(code)];
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

}  // namespace msg

}  // namespace velmora
