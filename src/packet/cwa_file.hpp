// An open CWA file, and sequential reading of its 512-byte sectors through a large buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "errors/cwa_error.hpp"
#include "errors/interrupt.hpp"
#include "packet/packet_meta.hpp"
#include "packet/read_buffer.hpp"

namespace velmora {

// Owns a read-only file descriptor; closed when dropped.
class CwaFile {
 public:
  static Result<CwaFile> open(std::string_view path);

  CwaFile(CwaFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  CwaFile& operator=(CwaFile&& other) noexcept;
  CwaFile(const CwaFile&) = delete;
  CwaFile& operator=(const CwaFile&) = delete;
  ~CwaFile();

  // Fills `out` completely; the end of the file first gives "failed to fill whole buffer".
  Status read_exact(std::span<uint8_t> out);
  // One read(2) call, retried on EINTR unless a signal ends the call; returns the byte count
  // (0 at the end of the file).
  Result<size_t> read_some(std::span<uint8_t> out);
  Result<uint64_t> size();
  Status seek(uint64_t offset);
  int fd() const { return fd_; }

 private:
  explicit CwaFile(int fd) : fd_(fd) {}
  int fd_;
};

// Reads consecutive packets from the file's current position. Behaves exactly like a
// 1-byte read followed by a 511-byte exact read per packet (a clean end only at a packet
// boundary, "failed to fill whole buffer" inside a packet, read errors at the packet that
// needs the bytes), but asks the system for up to `chunk_bytes` at a time.
class SectorReader {
 public:
  static constexpr size_t kDefaultChunkBytes = size_t{2} << 20;

  // Nothing else may use the file while the reader lives.
  explicit SectorReader(CwaFile& file, size_t chunk_bytes = kDefaultChunkBytes);
  SectorReader(const SectorReader&) = delete;
  SectorReader& operator=(const SectorReader&) = delete;

  // Returns the next packet, or nullopt at a clean end of the file at a packet boundary.
  // The span stays valid until the next call.
  Result<std::optional<PacketBytes>> next() {
    if (const uint8_t* packet = next_buffered()) return PacketBytes(packet, kPacketBytes);
    return next_after_refill();
  }

  // Returns the next packet if it is already whole in the buffer, else nullptr (then next()
  // reads on). Lets the scans over every packet keep their loop state in registers.
  const uint8_t* next_buffered() {
    if (end_ - begin_ < kPacketBytes) return nullptr;
    // Every 1024 packets of the buffer (a few milliseconds of decoding or CSV text), a pending
    // signal may end the call; the test is one mask per packet.
    if ((begin_ & (kInterruptCheckBytes - 1)) == 0) [[unlikely]]
      check_interrupt();
    const uint8_t* packet = buffer_.data() + begin_;
    begin_ += kPacketBytes;
    return packet;
  }

 private:
  Status refill();
  Result<std::optional<PacketBytes>> next_after_refill();

  static constexpr size_t kInterruptCheckBytes = size_t{1024} * kPacketBytes;

  CwaFile& file_;
  ReadBuffer buffer_;
  size_t begin_ = 0;  // first unread byte in buffer_
  size_t end_ = 0;    // one past the last valid byte in buffer_
};

// Reads one packet with a 1-byte read and then the other 511 bytes, straight from the file.
// Used where a single packet is read after a seek.
Result<std::optional<PacketBytes>> read_sector(CwaFile& file, std::span<uint8_t, kPacketBytes> out);

}  // namespace velmora
