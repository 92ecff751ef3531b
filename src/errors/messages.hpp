// Every message text of the system, spelled once. Tests compare against these exact texts.
#pragma once

#include <string_view>

namespace velmora::msg {

// I/O error texts.
inline constexpr std::string_view kIoErrorPrefix = "IO error: ";
inline constexpr std::string_view kFailedToFillWholeBuffer = "failed to fill whole buffer";
inline constexpr std::string_view kNulInFileName = "file name contained an unexpected NUL byte";

// File structure and reading.
inline constexpr std::string_view kNotValidCwaFile = "Not a valid CWA file";
inline constexpr std::string_view kFileTooSmall = "File too small to be a valid CWA file";
inline constexpr std::string_view kIncompleteDataBlock = "Incomplete CWA data block";
inline constexpr std::string_view kStartBlockBeyondFile = "Start block is beyond file size";
inline constexpr std::string_view kUnexpectedEndOfData = "Unexpected end of CWA data";
inline constexpr std::string_view kNoSampleDataInRange =
    "No valid sample data found in the specified range";
inline constexpr std::string_view kNoSampleData = "No valid sample data found";
inline constexpr std::string_view kNoSamplesAfterSecondsCut =
    "No samples remain after applying seconds cut";
inline constexpr std::string_view kFirstBlockNotMetadata = "First block is not a metadata block";
inline constexpr std::string_view kInvalidPacketHeaderFormat = "Invalid packet header format";
inline constexpr std::string_view kInvalidDataBlockHeader = "Invalid data block header";
inline constexpr std::string_view kOldFormatPackets = "Old CWA format packets are not supported";
// Followed by "<axes> axes, packing <packing>".
inline constexpr std::string_view kUnsupportedSampleFormatPrefix = "Unsupported sample format: ";
inline constexpr std::string_view kSampleCountExceedsCapacity =
    "Sample count exceeds packet capacity";
inline constexpr std::string_view kInvalidBlockTimestamp = "Invalid block timestamp";
inline constexpr std::string_view kInsufficientPacked3 =
    "Insufficient data for packed 3-axis samples";
inline constexpr std::string_view kInsufficientUnpacked3 =
    "Insufficient data for unpacked 3-axis samples";
inline constexpr std::string_view kInsufficientUnpacked6 =
    "Insufficient data for unpacked 6-axis samples";
inline constexpr std::string_view kInsufficientUnpacked9 =
    "Insufficient data for unpacked 9-axis samples";

// Time ranges and resampling.
inline constexpr std::string_view kTimeRangeNotFinite = "time range values must be finite";
inline constexpr std::string_view kTimeRangeOrder =
    "range_end_time must be greater than range_start_time";
inline constexpr std::string_view kNoSamplesAfterTimeRange =
    "No samples remain after applying time range";
inline constexpr std::string_view kNoSamplesAfterResampling =
    "No samples remain after applying time range/resampling";

// CSV output.
inline constexpr std::string_view kTemperatureUnavailable = "Temperature requested but unavailable";
inline constexpr std::string_view kLightUnavailable = "Light requested but unavailable";
inline constexpr std::string_view kBatteryUnavailable = "Battery requested but unavailable";

// Cuts (ValueError).
inline constexpr std::string_view kCutNotCreatedByHelpers =
    "cut must be created by seconds() or blocks()";
inline constexpr std::string_view kCutMissingType = "cut is missing type";
inline constexpr std::string_view kCutTypeInvalid = "cut type must be 'seconds' or 'blocks'";
inline constexpr std::string_view kBlocksEndNotAfterStart = "blocks end must be greater than start";
inline constexpr std::string_view kSecondsEndNotAfterStart =
    "seconds end must be greater than start";
inline constexpr std::string_view kSecondsNotFinite = "seconds cut values must be finite";
inline constexpr std::string_view kSecondsNegative = "seconds cut values must be >= 0";

// Resampling options (ValueError).
inline constexpr std::string_view kResampleHzNotPositive = "resample_hz must be a finite value > 0";
inline constexpr std::string_view kResampleHzTooHigh = "resample_hz must be <= 10000";
// Wrapped around the method text: "Unsupported resample_method '<m>'. Supported: cubic".
inline constexpr std::string_view kUnsupportedMethodPrefix = "Unsupported resample_method '";
inline constexpr std::string_view kUnsupportedMethodSuffix = "'. Supported: cubic";

// Internal faults (PanicException).
inline constexpr std::string_view kFaultValidatedTimestamp = "validated packet timestamp";
inline constexpr std::string_view kFaultPacketVerdict = "error asked for an accepted packet";
inline constexpr std::string_view kFaultLastIndexExists =
    "last index exists when first index exists";
inline constexpr std::string_view kFaultNumpyCapsule = "Failed to access NumPy array API capsule";
inline constexpr std::string_view kFaultTimestampBuffer = "timestamp buffer holds the samples";

// write_cwa_csv, when the output would overwrite the recording being read.
inline constexpr std::string_view kOutputIsInput = "output_path refers to the input file";

}  // namespace velmora::msg
