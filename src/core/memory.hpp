// Up-front size checks for the large buffers (voxel grids, sample grids).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lvx {

// Bytes of physical memory, or 0 when unknown.
inline std::uint64_t physical_memory() noexcept {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// Whether `count` items of `item_size` bytes could be held in memory at all.
// A larger request would only end in a failed allocation or, with memory
// overcommit, in the kernel's out-of-memory killer while the buffer is filled.
inline bool fits_in_memory(std::uint64_t count, std::size_t item_size) noexcept {
  const std::uint64_t mem = physical_memory();
  return mem == 0 || count <= mem / item_size;
}

// Cell count of an nx x ny x nz grid of T, or nullopt when the product
// overflows, exceeds what a std::vector<T> can hold or could never fit in
// memory (see fits_in_memory). Callers refuse such a grid with their own
// message; a count returned here can only fail to allocate with bad_alloc.
template <class T>
std::optional<std::size_t> grid_cells(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) noexcept {
  std::uint64_t xy = 0, n = 0;
  if (__builtin_mul_overflow(nx, ny, &xy) || __builtin_mul_overflow(xy, nz, &n)) return std::nullopt;
  if (n > std::vector<T>().max_size() || !fits_in_memory(n, sizeof(T))) return std::nullopt;
  return static_cast<std::size_t>(n);
}

}  // namespace lvx
