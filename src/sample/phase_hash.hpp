// The hash behind the phase pattern: 64-bit FNV-1a, and the hash of the cubic
// cell that holds a point. The pattern must come out the same in every run and
// every process, so nothing here may depend on the platform's own hashing.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

namespace lvx::sample {

inline constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// Feeds the eight little-endian bytes of `v` into the FNV-1a state `h`.
inline std::uint64_t fnv1a_i64(std::uint64_t h, std::int64_t v) noexcept {
  auto u = static_cast<std::uint64_t>(v);
  for (int i = 0; i < 8; ++i) {
    h ^= u & 0xffU;
    h *= kFnvPrime;
    u >>= 8;
  }
  return h;
}

// FNV-1a of the bytes of `text`.
inline std::uint64_t fnv1a(std::string_view text) noexcept {
  std::uint64_t h = kFnvOffset;
  for (unsigned char c : text) {
    h ^= c;
    h *= kFnvPrime;
  }
  return h;
}

// Cells of side `cell_size` aligned at the origin: floor(coord / cell_size)
// as a signed 64-bit index, saturated (NaN gives 0).
inline std::int64_t cell_index(double coord, double cell_size) noexcept {
  const double f = std::floor(coord / cell_size);
  if (std::isnan(f)) return 0;
  if (f >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (f <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

// Hash of the cell (ix, iy, iz): FNV-1a over ix, iy, iz in turn, so the state
// after ix (and after iy) is shared by every cell of a slab (and of a row),
// which the voxel fills make use of.
inline std::uint64_t cell_hash(std::int64_t ix, std::int64_t iy, std::int64_t iz) noexcept {
  return fnv1a_i64(fnv1a_i64(fnv1a_i64(kFnvOffset, ix), iy), iz);
}

}  // namespace lvx::sample
