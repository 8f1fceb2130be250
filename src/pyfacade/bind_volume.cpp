// Volume exports: py_export_sdf_raw, py_export_vtk_legacy.
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_export_sdf_raw[] =
    "py_export_sdf_raw(name, out_path, bounds, voxel_size, scale_m=None, mode=\"phase\")\n--\n\n"
    "Write a raw float32 SDF voxel volume + JSON sidecar. Returns output path.";

PyObject* py_export_sdf_raw(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_export_sdf_raw"); }

const char DOC_py_export_vtk_legacy[] =
    "py_export_vtk_legacy(name, out_path, bounds, voxel_size, properties=None, scale_m=None)\n--\n\n"
    "Write an ASCII VTK STRUCTURED_POINTS file. Returns output path.";

PyObject* py_export_vtk_legacy(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_export_vtk_legacy"); }

}  // namespace lvx::py
