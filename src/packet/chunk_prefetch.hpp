// Reads the next chunk of a file on a helper thread, so that the copy from the page cache runs
// beside the work on the chunk before it.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <semaphore>
#include <thread>

#include "errors/cwa_error.hpp"
#include "packet/cwa_file.hpp"
#include "packet/read_buffer.hpp"

namespace velmora {

class ChunkPrefetch {
 public:
  // Room kept before each chunk's bytes for the unread end of the chunk before.
  static constexpr size_t kPrefixBytes = kPacketBytes;

  // A helper reading chunks of `chunk_bytes` (above kPrefixBytes) from the file's position;
  // null when no thread or buffer can be had.
  static std::unique_ptr<ChunkPrefetch> start(CwaFile& file, size_t chunk_bytes) noexcept;

  ChunkPrefetch(CwaFile& file, size_t chunk_bytes);
  ChunkPrefetch(const ChunkPrefetch&) = delete;
  ChunkPrefetch& operator=(const ChunkPrefetch&) = delete;
  // Waits for a read still under way: nobody else may use the file until then.
  ~ChunkPrefetch();

  // Starts one read(2) of the next chunk into buffer() after its prefix. Nothing else may use
  // the file until wait() returns.
  void request();
  // Waits for the requested read and returns its byte count or failure; a failed read leaves
  // the file position where it was.
  Result<size_t> wait();
  // The buffer the last read went into; the caller may swap it for one of the same size.
  ReadBuffer& buffer() { return buffer_; }

 private:
  void run() noexcept;

  CwaFile& file_;
  ReadBuffer buffer_;
  Result<size_t> result_;
  std::exception_ptr thrown_;
  bool requested_ = false;
  bool quit_ = false;
  std::binary_semaphore go_{0};
  std::binary_semaphore done_{0};
  std::jthread helper_;  // declared last: started once the rest exists
};

}  // namespace velmora
