#include "export/mesh_buffer.hpp"

#include <sys/mman.h>

#include <new>
#include <utility>

namespace lvx::exporter {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

Buffer::Buffer(std::size_t size) : size_(size) {
  if (size == 0) return;
  mapped_ = size >= kHugePage ? (size + kHugePage - 1) / kHugePage * kHugePage : size;
  void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    mapped_ = 0;
    throw std::bad_alloc();
  }
#ifdef MADV_HUGEPAGE
  if (size >= kHugePage) ::madvise(p, mapped_, MADV_HUGEPAGE);  // a hint; failure is harmless
#endif
  data_ = static_cast<char*>(p);
}

Buffer::Buffer(Buffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      mapped_(std::exchange(o.mapped_, 0)) {}

Buffer& Buffer::operator=(Buffer&& o) noexcept {
  if (this != &o) {
    if (mapped_) ::munmap(data_, mapped_);
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    mapped_ = std::exchange(o.mapped_, 0);
  }
  return *this;
}

Buffer::~Buffer() {
  if (mapped_) ::munmap(data_, mapped_);
}

}  // namespace lvx::exporter
