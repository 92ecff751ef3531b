// Column buffers of the read results. Memory comes from anonymous mappings so that a column
// grows by remapping (never by copying) and can be handed to NumPy as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace velmora {

// A released column buffer: the mapping to unmap once nothing refers to it any more.
struct MappedRegion {
  void* base = nullptr;
  size_t bytes = 0;  // mapped length, a multiple of the page size

  static void unmap(MappedRegion region) noexcept;
};

// Rows of `row_bytes` bytes that fit in the machine's physical memory: no column grows past
// them, since a column that cannot be held is better refused at once than grown until the
// system runs out of memory.
size_t max_rows_in_memory(size_t row_bytes);

// Asks the kernel to back [start, start + bytes) with written pages in a few calls rather than
// one fault per page; a kernel without the request leaves them to the first write. Throws
// CallInterrupted when a signal ends the call meanwhile.
void populate_pages(void* start, size_t bytes);

// Untyped growable mapping; Column<T> gives it a type.
class MappedBuffer {
 public:
  MappedBuffer() = default;
  MappedBuffer(MappedBuffer&& other) noexcept
      : region_(std::exchange(other.region_, MappedRegion{})) {}
  MappedBuffer& operator=(MappedBuffer&& other) noexcept {
    if (this != &other) {
      MappedRegion::unmap(region_);
      region_ = std::exchange(other.region_, MappedRegion{});
    }
    return *this;
  }
  MappedBuffer(const MappedBuffer&) = delete;
  MappedBuffer& operator=(const MappedBuffer&) = delete;
  ~MappedBuffer() { MappedRegion::unmap(region_); }

  void* data() const { return region_.base; }
  size_t capacity_bytes() const { return region_.bytes; }
  // Makes room for at least `rows` rows of `row_bytes` bytes; throws MemoryLimitExceeded when
  // they exceed the physical memory or the system refuses them.
  void grow_to(size_t rows, size_t row_bytes);
  // Returns the mapping, shrunk to `used_bytes` rounded up to whole pages (at least one page).
  MappedRegion release(size_t used_bytes);

 private:
  MappedRegion region_;
};

template <class T>
class Column {
 public:
  Column() = default;
  explicit Column(size_t reserve_rows) { reserve(reserve_rows); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return static_cast<T*>(buffer_.data()); }
  const T* data() const { return static_cast<const T*>(buffer_.data()); }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

  void reserve(size_t rows) {
    if (rows > capacity()) buffer_.grow_to(rows, sizeof(T));
  }
  // Backs the first `rows` rows (at most the capacity) with memory now.
  void populate(size_t rows) {
    populate_pages(data(), (rows < capacity() ? rows : capacity()) * sizeof(T));
  }
  void push_back(T value) {
    if (size_ == capacity()) [[unlikely]]
      grow_for(size_ + 1);
    data()[size_++] = value;
  }
  // Appends `count` slots and returns them for the caller to fill.
  T* extend(size_t count) {
    if (size_ + count > capacity()) [[unlikely]]
      grow_for(size_ + count);
    T* slots = data() + size_;
    size_ += count;
    return slots;
  }
  void append_fill(T value, size_t count) {
    T* slots = extend(count);
    for (size_t i = 0; i < count; ++i) slots[i] = value;
  }
  void truncate(size_t rows) {
    if (rows < size_) size_ = rows;
  }
  // Hands over the buffer; the column is empty afterwards.
  MappedRegion release() {
    MappedRegion region = buffer_.release(size_ * sizeof(T));
    size_ = 0;
    return region;
  }

 private:
  size_t capacity() const { return buffer_.capacity_bytes() / sizeof(T); }
  // Doubles the room, but not past what the machine can hold while `rows` still fit there.
  void grow_for(size_t rows) {
    const size_t limit = max_rows_in_memory(sizeof(T));
    const size_t doubled = capacity() < limit / 2 ? capacity() * 2 : limit;
    buffer_.grow_to(rows > doubled ? rows : doubled, sizeof(T));
  }

  MappedBuffer buffer_;
  size_t size_ = 0;
};

}  // namespace velmora
