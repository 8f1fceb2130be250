// Up-front size checks for the large buffers (voxel grids, sample grids).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

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

}  // namespace lvx
