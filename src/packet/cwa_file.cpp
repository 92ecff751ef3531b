// POSIX file access for the readers. Every system call failure becomes an Io CwaError.
#include "packet/cwa_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "errors/interrupt.hpp"

namespace velmora {

Result<CwaFile> CwaFile::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail(CwaError::io(CwaError::IoKind::kNulInPath));
  }
  const std::string terminated(path);
  for (;;) {
    // A FIFO's open waits for a writer; a signal must be able to end that wait.
    const int fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return CwaFile(fd);
    if (errno != EINTR) return fail(CwaError::io_errno(errno));
    check_interrupt();
  }
}

CwaFile& CwaFile::operator=(CwaFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

CwaFile::~CwaFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<size_t> CwaFile::read_some(std::span<uint8_t> out) {
  for (;;) {
    const ssize_t count = ::read(fd_, out.data(), out.size());
    if (count >= 0) return static_cast<size_t>(count);
    if (errno != EINTR) return fail(CwaError::io_errno(errno));
    check_interrupt();
  }
}

Status CwaFile::read_exact(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    VELMORA_ASSIGN_OR_RETURN(const size_t count, read_some(out.subspan(done)));
    if (count == 0) return fail(CwaError::io(CwaError::IoKind::kUnexpectedEof));
    done += count;
  }
  return {};
}

Result<uint64_t> CwaFile::size() {
  struct stat info;
  if (::fstat(fd_, &info) != 0) return fail(CwaError::io_errno(errno));
  return static_cast<uint64_t>(info.st_size);
}

Status CwaFile::seek(uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return fail(CwaError::io_errno(errno));
  }
  return {};
}

Result<std::optional<PacketBytes>> read_sector(CwaFile& file,
                                               std::span<uint8_t, kPacketBytes> out) {
  std::memset(out.data(), 0, out.size());
  VELMORA_ASSIGN_OR_RETURN(const size_t first, file.read_some(out.first(1)));
  if (first == 0) return std::nullopt;
  VELMORA_TRY(file.read_exact(out.subspan(1)));
  return PacketBytes(out);
}

SectorReader::SectorReader(CwaFile& file, size_t chunk_bytes)
    : file_(file), buffer_(chunk_bytes < kPacketBytes ? kPacketBytes : chunk_bytes) {}

Status SectorReader::refill() {
  // Also checked here: packets that come straight from a refill bypass next_buffered().
  check_interrupt();
  // Move the partial packet to the front so a whole packet always fits.
  const size_t pending = end_ - begin_;
  if (pending > 0 && begin_ > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, pending);
  begin_ = 0;
  end_ = pending;
  const std::span<uint8_t> free_space(buffer_.data() + end_, buffer_.size() - end_);
  auto count = file_.read_some(free_space);
  if (!count) {
    // A large read may fail where the packet-sized read would have succeeded; ask again for
    // exactly the bytes of this packet so the error surfaces at the same packet.
    count = file_.read_some(free_space.first(kPacketBytes - pending));
    if (!count) return fail(std::move(count).error());
  }
  end_ += *count;
  if (*count == 0) {
    if (pending == 0) return {};  // clean end of the file at a packet boundary
    return fail(CwaError::io(CwaError::IoKind::kUnexpectedEof));
  }
  return {};
}

Result<std::optional<PacketBytes>> SectorReader::next_after_refill() {
  while (end_ - begin_ < kPacketBytes) {
    const size_t before = end_ - begin_;
    VELMORA_TRY(refill());
    if (end_ - begin_ == before) return std::nullopt;  // refill hit a clean end
  }
  const PacketBytes packet(buffer_.data() + begin_, kPacketBytes);
  begin_ += kPacketBytes;
  return packet;
}

}  // namespace velmora
