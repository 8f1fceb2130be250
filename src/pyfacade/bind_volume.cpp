// Volume exports: py_export_sdf_raw, py_export_vtk_legacy, and the sidecar
// path of the raw export.
#include "export/volume.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const Binding py_export_sdf_raw{
    .name = "py_export_sdf_raw",
    .params =
        {{"name"}, {"out_path"}, {"bounds"}, {"voxel_size"}, {"scale_m", "None"}, {"mode", "\"phase\""}},
    .description = "Write a raw float32 SDF voxel volume + JSON sidecar. Returns output path.",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) {
      const BoxArgs box = to_box_args(a);
      const std::optional<double> scale_m = a.opt(4, to_f64);
      const std::string_view mode = a.str(5);
      released(
          [&] { exporter::export_sdf_raw(box.name, box.path, box.bounds, box.voxel_size, scale_m, mode); });
      return new_str(box.path);
    }};

const Binding py_export_vtk_legacy{
    .name = "py_export_vtk_legacy",
    .params =
        {{"name"}, {"out_path"}, {"bounds"}, {"voxel_size"}, {"properties", "None"}, {"scale_m", "None"}},
    .description = "Write an ASCII VTK STRUCTURED_POINTS file. Returns output path.",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) {
      const BoxArgs box = to_box_args(a);
      const std::vector<std::string> properties = a.opt(4, to_str_list).value_or(std::vector<std::string>{});
      const std::optional<double> scale_m = a.opt(5, to_f64);
      released([&] {
        exporter::export_vtk_legacy(box.name, box.path, box.bounds, box.voxel_size, properties, scale_m);
      });
      return new_str(box.path);
    }};

const Binding py_sidecar_path{
    .name = "py_sidecar_path",
    .params = {{"out_path"}},
    .description = "The path of the JSON sidecar that `py_export_sdf_raw` writes beside `out_path`.",
    .body = [](const Args& a) { return new_str(exporter::sdf_sidecar_path(a.str(0))); }};

}  // namespace lvx::py
