// Dense arrays handed out of the core whole: the results of the array
// functions, which the boundary passes on without copying them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <variant>

namespace lvx {

// A dense array of up to three dimensions in C order (the last index varies
// fastest), made with one allocation that its producer fills in place: it is
// not zeroed first.
template <class T>
class Array {
 public:
  static constexpr std::size_t kMaxDims = 3;

  Array() = default;
  // Throws bad_alloc when the element count overflows or cannot be allocated.
  explicit Array(std::initializer_list<std::size_t> shape) : ndim_(shape.size()) {
    if (ndim_ > kMaxDims) throw std::bad_alloc();
    std::size_t n = 1;
    std::size_t d = 0;
    for (std::size_t extent : shape) {
      if (__builtin_mul_overflow(n, extent, &n)) throw std::bad_alloc();
      shape_[d++] = extent;
    }
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = std::make_unique_for_overwrite<T[]>(n);
    size_ = n;
  }

  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::span<const std::size_t> shape() const noexcept { return {shape_.data(), ndim_}; }
  std::span<const T> elements() const noexcept { return {data_.get(), size_}; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  // Gives up the storage (allocated with new T[]); the array is left empty.
  T* release() noexcept {
    size_ = 0;
    return data_.release();
  }

 private:
  std::unique_ptr<T[]> data_;
  std::array<std::size_t, kMaxDims> shape_{};
  std::size_t ndim_ = 0;
  std::size_t size_ = 0;
};

// Phase indices in the smallest unsigned type that holds every index.
using PhaseArray = std::variant<Array<std::uint8_t>, Array<std::uint16_t>, Array<std::uint32_t>>;

// An empty PhaseArray of the type for indices below `phase_count`.
inline PhaseArray phase_array_for(std::size_t phase_count) {
  if (phase_count <= 0x100) return Array<std::uint8_t>();
  if (phase_count <= 0x10000) return Array<std::uint16_t>();
  return Array<std::uint32_t>();
}

}  // namespace lvx
