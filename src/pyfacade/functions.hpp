// The module's function table: every Python-facing function and its
// docstring (text signature, "--", blank line, description). Each area binds
// its functions in its own file.
#pragma once

#include "pyfacade/boundary.hpp"

#define LVX_DECLARE_FAST(name)                                                           \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw); \
  extern const char DOC_##name[]
#define LVX_DECLARE_NOARGS(name)                    \
  PyObject* name(PyObject* self, PyObject* unused); \
  extern const char DOC_##name[]

namespace lvx::py {

// registry (bind_get.cpp)
LVX_DECLARE_FAST(py_get);
LVX_DECLARE_FAST(py_save);
LVX_DECLARE_FAST(py_data_sheet);
LVX_DECLARE_NOARGS(py_list_tiers);
// sampling (bind_sample.cpp)
LVX_DECLARE_FAST(py_sample);
LVX_DECLARE_FAST(py_voxel_counts);  // helper, not in __all__
// volume exports (bind_volume.cpp)
LVX_DECLARE_FAST(py_export_sdf_raw);
LVX_DECLARE_FAST(py_export_vtk_legacy);
// surface and shader exports (bind_mesh.cpp)
LVX_DECLARE_FAST(py_export_glsl);
LVX_DECLARE_FAST(py_export_hlsl);
LVX_DECLARE_FAST(py_export_stl);
LVX_DECLARE_FAST(py_export_obj);
// protein geometry (bind_protein.cpp)
LVX_DECLARE_FAST(py_kabsch_rmsd);
LVX_DECLARE_FAST(py_build_backbone);
LVX_DECLARE_FAST(py_build_backbone_from_entry);
LVX_DECLARE_FAST(py_ramachandran_region);
// alloy optimiser (bind_alloy.cpp)
LVX_DECLARE_FAST(py_optimize_alloy);
// Fourier bake (bind_fourier.cpp)
LVX_DECLARE_FAST(py_bake_fourier);
// helpers of the package's Python layer (bind_check.cpp)
LVX_DECLARE_FAST(py_check_datasheet);
// backend probes (module.cpp)
LVX_DECLARE_NOARGS(is_rust_backend);
LVX_DECLARE_NOARGS(version_rust);

}  // namespace lvx::py
