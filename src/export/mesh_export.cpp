#include "core/error.hpp"
#include "core/fsio.hpp"
#include "core/text.hpp"
#include "export/file_name.hpp"
#include "export/mesh.hpp"

namespace lvx::exporter {

namespace {

Point3 lower_corner(const sample::Bounds& bounds) {
  return {bounds[0][0], bounds[0][1], bounds[0][2]};
}

}  // namespace

std::string export_obj(std::string_view name, const std::string& obj_path, const sample::Bounds& bounds,
                       double voxel_size, std::optional<double> scale_m) {
  if (name.empty()) fail("export_obj: name required");
  if (voxel_size <= 0.0) fail("export_obj: voxel_size must be positive");  // NaN goes on to the voxel map
  // The MTL file is written first and would then be replaced by the OBJ text.
  if (const std::size_t dot = extension_dot(obj_path);
      dot != std::string::npos && std::string_view(obj_path).substr(dot + 1) == "mtl")
    fail("export_obj: obj_path '" + obj_path + "' would overwrite its MTL file");
  const sample::VoxelGrid grid = sample::voxel_phase_map(name, bounds, voxel_size, scale_m);
  refuse_nul_path("export_obj", "obj_path", obj_path);

  const std::string mtl_path = mtl_path_for(obj_path);
  const std::string_view mtl_file = std::string_view(mtl_path).substr(mtl_path.rfind('/') + 1);
  const std::string_view mtl_ref = is_valid_utf8(mtl_file) ? mtl_file : std::string_view("material.mtl");

  create_parent_dirs(mtl_path);
  write_file(mtl_path, mtl_text(grid.phase_names));

  const Buffer obj = obj_text(name, mtl_ref, grid, lower_corner(bounds), voxel_size);
  create_parent_dirs(obj_path);
  write_file(obj_path, obj.view());
  return mtl_path;
}

void export_stl(std::string_view name, const std::string& out_path, const sample::Bounds& bounds,
                double voxel_size, std::optional<double> scale_m, bool binary) {
  if (name.empty()) fail("export_stl: name required");
  if (voxel_size <= 0.0) fail("export_stl: voxel_size must be positive");  // NaN goes on to the voxel map
  const sample::VoxelGrid grid = sample::voxel_phase_map(name, bounds, voxel_size, scale_m);
  refuse_nul_path("export_stl", "out_path", out_path);
  if (binary) {
    // No folder is created for the binary file: a missing parent is the write's error.
    write_file(out_path, stl_binary(name, grid, lower_corner(bounds), voxel_size).view());
  } else {
    const Buffer text = stl_ascii(name, grid, lower_corner(bounds), voxel_size);
    create_parent_dirs(out_path);
    write_file(out_path, text.view());
  }
}

}  // namespace lvx::exporter
