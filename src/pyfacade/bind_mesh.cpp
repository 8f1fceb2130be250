// Surface and shader exports: OBJ, STL, GLSL, HLSL.
#include "export/obj.hpp"
#include "export/shader.hpp"
#include "export/stl.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_export_glsl[] =
    "py_export_glsl(name, include_density=True, include_ior=True, include_sss=True, "
    "include_caustic=True)\n--\n\n"
    "Native twin of `lumivarex.export.export_glsl`: shader source embedding the material's constants.\n\n"
    "Returns a GLSL 450+ source string for the named material.";

PyObject* py_export_glsl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{
        "py_export_glsl", {"name", "include_density", "include_ior", "include_sss", "include_caustic"}, 1};
    Bound<5> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view name = to_str(a[0], "name");
    exporter::GlslOptions opts;
    if (a[1]) opts.include_density = to_bool(a[1], "include_density");
    if (a[2]) opts.include_ior = to_bool(a[2], "include_ior");
    if (a[3]) opts.include_sss = to_bool(a[3], "include_sss");
    if (a[4]) (void)to_bool(a[4], "include_caustic");  // accepted; the text has no caustic term
    if (name.empty()) panic("py_export_glsl: name must be non-empty");
    return new_str(exporter::glsl_source(name, opts)).release();
  });
}

const char DOC_py_export_hlsl[] =
    "py_export_hlsl(name, out_path, properties=None)\n--\n\n"
    "Write an HLSL shader file for the named material. Returns the output path.";

PyObject* py_export_hlsl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_RuntimeError, [&]() -> PyObject* {
    static const Signature sig{"py_export_hlsl", {"name", "out_path", "properties"}, 2};
    Bound<3> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view name = to_str(a[0], "name");
    const std::string out_path(to_str(a[1], "out_path"));
    std::optional<std::vector<std::string>> properties;
    if (a.has(2)) properties = to_str_list(a[2], "properties");
    exporter::export_hlsl(name, out_path, properties);
    return new_str(out_path).release();
  });
}

const char DOC_py_export_stl[] =
    "py_export_stl(name, out_path, bounds, voxel_size, scale_m=None, binary=True)\n--\n\n"
    "Write a binary or ASCII STL surface mesh. Returns output path.";

PyObject* py_export_stl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_RuntimeError, [&]() -> PyObject* {
    static const Signature sig{
        "py_export_stl", {"name", "out_path", "bounds", "voxel_size", "scale_m", "binary"}, 4};
    Bound<6> a;
    bind(sig, args, nargs, kw, a);
    const BoxArgs box = to_box_args(a.slot.data(), "out_path");
    const std::optional<double> scale_m = to_opt_f64(a[4], "scale_m");
    const bool binary = a[5] ? to_bool(a[5], "binary") : true;
    exporter::export_stl(box.name, box.path, box.bounds, box.voxel_size, scale_m, binary);
    return new_str(box.path).release();
  });
}

const char DOC_py_export_obj[] =
    "py_export_obj(name, obj_path, bounds, voxel_size, scale_m=None)\n--\n\n"
    "Write OBJ + MTL files. Returns (obj_path, mtl_path).";

PyObject* py_export_obj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_RuntimeError, [&]() -> PyObject* {
    static const Signature sig{"py_export_obj", {"name", "obj_path", "bounds", "voxel_size", "scale_m"}, 4};
    Bound<5> a;
    bind(sig, args, nargs, kw, a);
    const BoxArgs box = to_box_args(a.slot.data(), "obj_path");
    const std::optional<double> scale_m = to_opt_f64(a[4], "scale_m");
    const std::string mtl_path =
        exporter::export_obj(box.name, box.path, box.bounds, box.voxel_size, scale_m);
    Ref first = new_str(box.path);
    if (!first) return nullptr;
    Ref second = new_str(mtl_path);
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
  });
}

}  // namespace lvx::py
