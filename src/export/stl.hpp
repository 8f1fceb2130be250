// STL export: the boundary surface of an entry's voxel grid, two triangles
// per face.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/geometry.hpp"

namespace lvx::exporter {

// Writes the binary image (80-byte header, triangle count, 50-byte records;
// its folder must exist) or the ASCII text (missing parent folders are
// created), with coordinates in metres times `units_per_m` (STL carries no
// unit).
void export_stl(std::string_view name, const std::string& out_path, const Box& bounds, double voxel_size,
                std::optional<double> scale_m, bool binary, double units_per_m = 1.0);

}  // namespace lvx::exporter
