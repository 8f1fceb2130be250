// Boundary surface of a voxel phase map and its OBJ/MTL and STL writers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/mesh_buffer.hpp"
#include "sample/voxel.hpp"

namespace lvx::exporter {

using Point3 = std::array<double, 3>;

// "out/part.obj" and "out/part" give "out/part.mtl". A path whose last
// component is empty, "." or ".." is returned unchanged.
std::string mtl_path_for(std::string_view obj_path);

// Diffuse colour of a phase from the 64-bit FNV-1a hash of its name.
std::array<double, 3> phase_colour(std::string_view phase_name);

std::string mtl_text(const std::vector<std::string>& phase_names);

// OBJ text: "mtllib", the de-duplicated vertices, then one group per phase
// that owns faces.
Buffer obj_text(std::string_view name, std::string_view mtl_ref, const sample::VoxelGrid& grid,
                const Point3& lower, double voxel_size);

// Binary STL image: 80-byte header, triangle count, 50-byte records.
Buffer stl_binary(std::string_view name, const sample::VoxelGrid& grid, const Point3& lower,
                  double voxel_size);
Buffer stl_ascii(std::string_view name, const sample::VoxelGrid& grid, const Point3& lower,
                 double voxel_size);

// The exporters behind the Python functions. export_obj returns the MTL path.
std::string export_obj(std::string_view name, const std::string& obj_path, const sample::Bounds& bounds,
                       double voxel_size, std::optional<double> scale_m);
void export_stl(std::string_view name, const std::string& out_path, const sample::Bounds& bounds,
                double voxel_size, std::optional<double> scale_m, bool binary);

}  // namespace lvx::exporter
