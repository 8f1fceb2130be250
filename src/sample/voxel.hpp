// The voxel phase map of a box: the first step of every volume and surface
// export.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry.hpp"
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

}  // namespace lvx::sample
