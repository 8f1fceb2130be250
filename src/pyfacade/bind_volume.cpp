// Volume exports: py_export_sdf_raw, py_export_vtk_legacy.
#include "export/volume.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_export_sdf_raw[] =
    "py_export_sdf_raw(name, out_path, bounds, voxel_size, scale_m=None, mode=\"phase\")\n--\n\n"
    "Write a raw float32 SDF voxel volume + JSON sidecar. Returns output path.";

PyObject* py_export_sdf_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_RuntimeError, [&]() -> PyObject* {
    static const Signature sig{
        "py_export_sdf_raw", {"name", "out_path", "bounds", "voxel_size", "scale_m", "mode"}, 4};
    Bound<6> a;
    bind(sig, args, nargs, kw, a);
    const BoxArgs box = to_box_args(a.slot.data(), "out_path");
    const std::optional<double> scale_m = to_opt_f64(a[4], "scale_m");
    const std::string_view mode = a[5] != nullptr ? to_str(a[5], "mode") : std::string_view("phase");
    exporter::export_sdf_raw(box.name, box.path, box.bounds, box.voxel_size, scale_m, mode);
    return new_str(box.path).release();
  });
}

const char DOC_py_export_vtk_legacy[] =
    "py_export_vtk_legacy(name, out_path, bounds, voxel_size, properties=None, scale_m=None)\n--\n\n"
    "Write an ASCII VTK STRUCTURED_POINTS file. Returns output path.";

PyObject* py_export_vtk_legacy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_RuntimeError, [&]() -> PyObject* {
    static const Signature sig{
        "py_export_vtk_legacy", {"name", "out_path", "bounds", "voxel_size", "properties", "scale_m"}, 4};
    Bound<6> a;
    bind(sig, args, nargs, kw, a);
    const BoxArgs box = to_box_args(a.slot.data(), "out_path");
    std::vector<std::string> properties;
    if (a.has(4)) properties = to_str_list(a[4], "properties");
    const std::optional<double> scale_m = to_opt_f64(a[5], "scale_m");
    exporter::export_vtk_legacy(box.name, box.path, box.bounds, box.voxel_size, properties, scale_m);
    return new_str(box.path).release();
  });
}

}  // namespace lvx::py
