// OBJ export: the boundary surface of an entry's voxel grid as a Wavefront
// OBJ file, with one material per phase in its MTL library.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/geometry.hpp"

namespace lvx::exporter {

// "out/part.obj" and "out/part" give "out/part.mtl". A path whose last
// component is empty, "." or ".." is returned unchanged.
std::string mtl_path_for(std::string_view obj_path);

// Writes the MTL file and then the OBJ file ("mtllib", the de-duplicated
// vertices, then one group per phase that owns faces), creating missing
// parent folders; the two replace their targets, in that order, only once
// both are complete. Returns the MTL path.
std::string export_obj(std::string_view name, const std::string& obj_path, const Box& bounds,
                       double voxel_size, std::optional<double> scale_m);

}  // namespace lvx::exporter
