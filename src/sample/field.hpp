// A property's values at many points in one call: at a list of points, and
// at the voxel centres of a box's grid or of a block of it.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "core/array.hpp"
#include "core/geometry.hpp"
#include "sample/voxel.hpp"

namespace lvx::sample {

// sample() at every point: element i is exactly what sample(name, property,
// points[i], scale_m) gives. Panics on an empty name or property; throws the
// lookup error, or the failure of the first point whose sample fails.
Array<double> sample_points(std::string_view name, std::string_view property, std::span<const Point> points,
                            std::optional<double> scale_m);

// The values of `property` at the voxel centres of the grid over the box, or
// of a block of it (grid_block), C order [z][y][x]: the values the VTK export
// writes, sampled at scale `scale_m`, else the voxel size. A voxel whose sample
// fails reads 0.0. The whole grid is refused when no voxel's sample succeeds,
// with the failure at voxel (0, 0, 0), as the VTK export refuses it; a block
// is refused only when the property cannot be sampled anywhere (no phase
// carries it), so that every block is the same slice of the whole field.
// Throws OpError "property_field: name required" or "property_field:
// voxel_size must be positive" (a NaN voxel size panics as in
// voxel_phase_map), panics "voxel_sample: property must be non-empty", and
// throws the lookup, block and too-large errors.
Array<double> property_field(std::string_view name, std::string_view property, const Box& bounds,
                             double voxel_size, std::optional<double> scale_m,
                             const std::optional<ZYX>& start, const std::optional<ZYX>& shape);

}  // namespace lvx::sample
