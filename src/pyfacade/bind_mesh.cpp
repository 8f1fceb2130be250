// Surface and shader exports: OBJ, STL, GLSL, HLSL, the MTL path of the OBJ
// export, and the surface as arrays.
#include "export/mesh_arrays.hpp"
#include "export/obj.hpp"
#include "export/shader.hpp"
#include "export/stl.hpp"
#include "pyfacade/arrays.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const Binding py_export_glsl{
    .name = "py_export_glsl",
    .params = {{"name"},
               {"include_density", "True"},
               {"include_ior", "True"},
               {"include_sss", "True"},
               {"include_caustic", "True"}},
    .description =
        "Native twin of `lumivarex.export.export_glsl`: shader source embedding the material's "
        "constants.\n\n"
        "Returns a GLSL 450+ source string for the named material.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0);
      // A braced list converts left to right, in the order of the arguments.
      const exporter::GlslOptions opts{a.boolean(1), a.boolean(2), a.boolean(3)};
      (void)a.boolean(4);  // accepted; the text has no caustic term
      // One entry's constants: too short to be worth releasing the lock.
      return new_str(exporter::glsl_source(name, opts));
    }};

const Binding py_export_hlsl{
    .name = "py_export_hlsl",
    .params = {{"name"}, {"out_path"}, {"properties", "None"}},
    .description = "Write an HLSL shader file for the named material. Returns the output path.",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0);
      const std::string out_path(a.str(1));
      const std::optional<std::vector<std::string>> properties = a.opt(2, to_str_list);
      released([&] { exporter::export_hlsl(name, out_path, properties); });
      return new_str(out_path);
    }};

// The STL and OBJ exports, in metres or, for the twins below that take the
// unit factor as their last argument, in another unit. Arguments convert in
// their order, the factor last.
namespace {

Ref write_stl(const Args& a, bool with_units) {
  const BoxArgs box = to_box_args(a);
  const std::optional<double> scale_m = a.opt(4, to_f64);
  const bool binary = a.boolean(5);
  const double units_per_m = with_units ? a.f64(6) : 1.0;
  released([&] {
    exporter::export_stl(box.name, box.path, box.bounds, box.voxel_size, scale_m, binary, units_per_m);
  });
  return new_str(box.path);
}

Ref write_obj(const Args& a, bool with_units) {
  const BoxArgs box = to_box_args(a);
  const std::optional<double> scale_m = a.opt(4, to_f64);
  const double units_per_m = with_units ? a.f64(5) : 1.0;
  const std::string mtl_path = released([&] {
    return exporter::export_obj(box.name, box.path, box.bounds, box.voxel_size, scale_m, units_per_m);
  });
  return tuple_of(box.path, mtl_path);
}

}  // namespace

const Binding py_export_stl{
    .name = "py_export_stl",
    .params = {{"name"}, {"out_path"}, {"bounds"}, {"voxel_size"}, {"scale_m", "None"}, {"binary", "True"}},
    .description = "Write a binary or ASCII STL surface mesh. Returns output path.",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) { return write_stl(a, false); }};

const Binding py_export_obj{
    .name = "py_export_obj",
    .params = {{"name"}, {"obj_path"}, {"bounds"}, {"voxel_size"}, {"scale_m", "None"}},
    .description = "Write OBJ + MTL files. Returns (obj_path, mtl_path).",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) { return write_obj(a, false); }};

// Helpers of the Python layer's `units`: their twins' arguments followed by
// the unit factor.
const Binding py_export_stl_units{
    .name = "py_export_stl_units",
    .params = {{"name"},
               {"out_path"},
               {"bounds"},
               {"voxel_size"},
               {"scale_m", "None"},
               {"binary", "True"},
               {"units_per_m", "1.0"}},
    .description =
        "`py_export_stl` with every coordinate in metres times `units_per_m` (1000 for a file in\n"
        "millimetres); the file is otherwise the same. Returns output path.",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) { return write_stl(a, true); }};

const Binding py_export_obj_units{
    .name = "py_export_obj_units",
    .params =
        {{"name"}, {"obj_path"}, {"bounds"}, {"voxel_size"}, {"scale_m", "None"}, {"units_per_m", "1.0"}},
    .description =
        "`py_export_obj` with every coordinate in metres times `units_per_m` (1000 for a file in\n"
        "millimetres); the files are otherwise the same. Returns (obj_path, mtl_path).",
    .errors = &PyExc_RuntimeError,
    .body = [](const Args& a) { return write_obj(a, true); }};

const Binding py_mtl_path{
    .name = "py_mtl_path",
    .params = {{"obj_path"}},
    .description = "The path of the MTL library that `py_export_obj` writes for the OBJ file `obj_path`.",
    .body = [](const Args& a) { return new_str(exporter::mtl_path_for(a.str(0))); }};

const Binding py_surface_arrays{
    .name = "py_surface_arrays",
    .params = {{"name"}, {"bounds"}, {"voxel_size"}, {"scale_m", "None"}},
    .description =
        "The phase-boundary surface the OBJ and STL exports write, as arrays:\n"
        "`(vertices, triangles, phases, normals, phase_names)`. vertices: float64\n"
        "(V, 3), the OBJ file's vertices in its order, in metres; triangles: uint32\n"
        "(T, 3), 0-based vertex indices, two per face and wound along the normal as\n"
        "the STL triangles are; phases: (T,) index into phase_names, of the smallest\n"
        "unsigned type that holds it; normals: float64 (T, 3), the face's unit\n"
        "normal. Raises ValueError.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0);
      const GridArgs grid = to_grid_args(a, 1);
      exporter::SurfaceArrays s = released(
          [&] { return exporter::surface_arrays(name, grid.bounds, grid.voxel_size, grid.scale_m); });
      return tuple_of(array_to_py(std::move(s.vertices)), array_to_py(std::move(s.triangles)),
                      array_to_py(std::move(s.phases)), array_to_py(std::move(s.normals)),
                      list_of(s.phase_names));
    }};

}  // namespace lvx::py
