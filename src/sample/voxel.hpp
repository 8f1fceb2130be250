// The voxel phase map of a box: the first step of every volume and surface
// export.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/array.hpp"
#include "core/geometry.hpp"
#include "core/memory.hpp"
#include "loader/data_loader.hpp"

namespace lvx::sample {

// What both layouts of the phase map hold: one phase index per voxel, flat in
// one allocation, and the phase names the indices refer to.
struct PhaseGrid {
  std::vector<std::int32_t> phase_ids;
  std::vector<std::string> phase_names;  // never empty
  std::uint64_t nx = 1, ny = 1, nz = 1;
  // The entry the grid was built from: whatever else a caller reads of the
  // material comes from it too, even when a save replaces it meanwhile.
  data_loader::EntryPtr entry;
};

// Voxel (x, y, z) at (x * ny + y) * nz + z: the [x][y][z] nesting.
struct VoxelGrid : PhaseGrid {
  std::int32_t at(std::uint64_t x, std::uint64_t y, std::uint64_t z) const noexcept {
    return phase_ids[static_cast<std::size_t>((x * ny + y) * nz + z)];
  }
};

// Centre of voxel i along one axis, where its phase is sampled: the index
// converted to double, plus 0.5, times the voxel size, plus the minimum. The
// fills and the exporters rely on every caller rounding the same way.
inline double voxel_centre_1d(std::uint64_t i, double min, double voxel_size) noexcept {
  return (static_cast<double>(i) + 0.5) * voxel_size + min;
}

// Centre of voxel (i, j, k): voxel_centre_1d per axis.
inline Point voxel_centre(const Box& bounds, double voxel_size, std::uint64_t i, std::uint64_t j,
                          std::uint64_t k) noexcept {
  return {voxel_centre_1d(i, bounds[0][0], voxel_size), voxel_centre_1d(j, bounds[0][1], voxel_size),
          voxel_centre_1d(k, bounds[0][2], voxel_size)};
}

// Voxel count along one axis: ceil((max - min) / voxel_size - 1e-6), so a
// partial voxel counts unless it is a rounding error; saturated to uint64, at
// least 1.
std::uint64_t axis_count(double min, double max, double voxel_size) noexcept;
// The axis counts of the grid over the box, (nx, ny, nz). Throws OpError
// "voxel_counts: voxel_size must be positive" (NaN included).
std::array<std::uint64_t, 3> voxel_counts(const Box& bounds, double voxel_size);

// Builds the grid. Panics when voxel_size is not > 0 (NaN included); throws
// the lookup error when no entry is named `name`.
VoxelGrid voxel_phase_map(std::string_view name, const Box& bounds, double voxel_size,
                          std::optional<double> scale_m);

// The same phase indices in the order of the volume files: voxel (x, y, z) at
// x + nx * (y + ny * z).
struct XFastestGrid : PhaseGrid {
  std::int32_t at(std::uint64_t x, std::uint64_t y, std::uint64_t z) const noexcept {
    return phase_ids[static_cast<std::size_t>((z * ny + y) * nx + x)];
  }
};

// voxel_phase_map laid out x-fastest, built directly in that order. Same
// checks and errors.
XFastestGrid voxel_phase_map_x_fastest(std::string_view name, const Box& bounds, double voxel_size,
                                       std::optional<double> scale_m);

// ---------------------------------------------------------------- blocks

// Three voxel counts or indices in the order of the arrays made from a grid:
// (z, y, x), the last varying fastest.
using ZYX = std::array<std::uint64_t, 3>;

// A block of the grid over a box: its first voxel and its size, both (z, y, x).
struct VoxelBlock {
  ZYX start{};
  ZYX shape{};
};

// The block that `start` and `shape` describe in the grid over the box:
// start defaults to the first voxel, shape to the rest of the grid from start.
// Throws OpError "<op>: ..." when it is empty or reaches past the grid.
VoxelBlock grid_block(std::string_view op, const Box& bounds, double voxel_size,
                      const std::optional<ZYX>& start, const std::optional<ZYX>& shape);

// Throws the too-large error of voxel_phase_map for the block: OpError
// "voxel_phase_map: grid of NX x NY x NZ voxels is too large".
[[noreturn]] void block_too_large(const VoxelBlock& block);

// The block's voxel count; block_too_large when its voxels of T could never
// be held in memory.
template <class T>
std::size_t block_voxels(const VoxelBlock& block) {
  const std::optional<std::size_t> n = grid_cells<T>(block.shape[0], block.shape[1], block.shape[2]);
  if (!n) block_too_large(block);
  return *n;
}

// Whether the block is the whole grid over the box.
bool is_whole_grid(const VoxelBlock& block, const Box& bounds, double voxel_size) noexcept;

// Cell index of every voxel centre of a block, per axis: the voxels are those
// of the whole grid, so their centres, and any value taken at them, do not
// depend on the block they are asked for in.
struct BlockCells {
  std::vector<std::int64_t> x, y, z;
};
BlockCells block_cells(const Box& bounds, double voxel_size, const VoxelBlock& block, double cell);

class PhaseFractions;

// For every voxel of a block, in C order [z][y][x], the value table[i] of the
// phase i that `picker` picks for the voxel's cell (cx[x], cy[y], cz[z]).
// Spread over the worker threads.
template <class T>
void fill_picked(const PhaseFractions& picker, std::span<const std::int64_t> cx,
                 std::span<const std::int64_t> cy, std::span<const std::int64_t> cz, const T* table, T* out);

// Phase indices of a block of the grid, C order [z][y][x], and the phase
// names they refer to.
struct PhaseBlock {
  PhaseArray ids;
  std::vector<std::string> phase_names;  // never empty
};

// The voxel phase map of the box, or of a block of it (grid_block), from the
// same voxel centres as the whole map: any block equals the same slice of the
// whole map. Throws OpError "phase_map: name required" or "phase_map:
// voxel_size must be positive" (a NaN voxel size panics as in
// voxel_phase_map), the lookup error, the block's errors, and the too-large
// error for a block that cannot be held in memory.
PhaseBlock phase_map(std::string_view name, const Box& bounds, double voxel_size,
                     std::optional<double> scale_m, const std::optional<ZYX>& start,
                     const std::optional<ZYX>& shape);

}  // namespace lvx::sample
