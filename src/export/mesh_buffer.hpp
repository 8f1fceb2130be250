// Output image of one mesh file: allocated once with its final size and
// filled in place.
#pragma once

#include <cstddef>
#include <string_view>

namespace lvx::exporter {

// Zero-filled bytes from anonymous memory (large images ask for huge pages,
// so filling them takes few page faults). Move-only.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t size);
  Buffer(Buffer&& o) noexcept;
  Buffer& operator=(Buffer&& o) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped (0: nothing to release)
};

}  // namespace lvx::exporter
