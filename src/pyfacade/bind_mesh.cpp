// Surface and shader exports: OBJ, STL, GLSL, HLSL.
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_export_glsl[] =
    "py_export_glsl(name, include_density=True, include_ior=True, include_sss=True, include_caustic=True)\n--\n\n"
    "Native twin of `lumivarex.export.export_glsl`: shader source embedding the material's constants.\n\n"
    "Returns a GLSL 450+ source string for the named material.";

PyObject* py_export_glsl(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_export_glsl"); }

const char DOC_py_export_hlsl[] =
    "py_export_hlsl(name, out_path, properties=None)\n--\n\n"
    "Write an HLSL shader file for the named material. Returns the output path.";

PyObject* py_export_hlsl(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_export_hlsl"); }

const char DOC_py_export_stl[] =
    "py_export_stl(name, out_path, bounds, voxel_size, scale_m=None, binary=True)\n--\n\n"
    "Write a binary or ASCII STL surface mesh. Returns output path.";

PyObject* py_export_stl(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_export_stl"); }

const char DOC_py_export_obj[] =
    "py_export_obj(name, obj_path, bounds, voxel_size, scale_m=None)\n--\n\n"
    "Write OBJ + MTL files. Returns (obj_path, mtl_path).";

PyObject* py_export_obj(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_export_obj"); }

}  // namespace lvx::py
