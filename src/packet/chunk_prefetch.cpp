// ChunkPrefetch: one read(2) at a time on a helper thread, handed over through two semaphores.
#include "packet/chunk_prefetch.hpp"

#include <new>
#include <span>
#include <system_error>
#include <utility>

namespace velmora {

std::unique_ptr<ChunkPrefetch> ChunkPrefetch::start(CwaFile& file, size_t chunk_bytes) noexcept {
  try {
    auto prefetch = std::make_unique<ChunkPrefetch>(file, chunk_bytes);
    prefetch->helper_ = std::jthread([raw = prefetch.get()] { raw->run(); });
    return prefetch;
  } catch (const std::bad_alloc&) {
  } catch (const std::system_error&) {
  }
  return nullptr;
}

ChunkPrefetch::ChunkPrefetch(CwaFile& file, size_t chunk_bytes)
    : file_(file), buffer_(chunk_bytes) {}

ChunkPrefetch::~ChunkPrefetch() {
  if (!helper_.joinable()) return;
  if (requested_) done_.acquire();
  quit_ = true;
  go_.release();
  helper_.join();
}

void ChunkPrefetch::request() {
  requested_ = true;
  go_.release();
}

Result<size_t> ChunkPrefetch::wait() {
  done_.acquire();
  requested_ = false;
  if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
  return std::move(result_);
}

void ChunkPrefetch::run() noexcept {
  for (;;) {
    go_.acquire();
    if (quit_) return;
    try {
      result_ = file_.read_some(
          std::span<uint8_t>(buffer_.data() + kPrefixBytes, buffer_.size() - kPrefixBytes));
    } catch (...) {
      thrown_ = std::current_exception();
    }
    done_.release();
  }
}

}  // namespace velmora
