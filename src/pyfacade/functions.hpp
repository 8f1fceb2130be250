// Every Python-facing function, one Binding record each, defined in the file
// of its area; module.cpp puts them in the method table.
#pragma once

#include "pyfacade/binding.hpp"

namespace lvx::py {

// registry (bind_get.cpp)
extern const Binding py_get, py_save, py_data_sheet, py_list_tiers, py_resolve, py_tier_keys, py_known_names;
// sampling and the voxel grid (bind_sample.cpp)
extern const Binding py_sample, py_voxel_counts, py_sample_points, py_phase_map, py_property_field;
// volume exports (bind_volume.cpp)
extern const Binding py_export_sdf_raw, py_export_vtk_legacy, py_sidecar_path;
// surface and shader exports (bind_mesh.cpp)
extern const Binding py_export_glsl, py_export_hlsl, py_export_stl, py_export_obj, py_export_stl_units,
    py_export_obj_units, py_mtl_path, py_surface_arrays;
// protein geometry (bind_protein.cpp)
extern const Binding py_kabsch_rmsd, py_build_backbone, py_build_backbone_from_entry, py_ramachandran_region,
    py_backbone_array, py_superpose;
// alloy optimiser (bind_alloy.cpp)
extern const Binding py_optimize_alloy;
// Fourier bake (bind_fourier.cpp)
extern const Binding py_bake_fourier, py_bake_samples, py_bake_part;
// the datasheet check of the validate command (bind_check.cpp)
extern const Binding py_check_datasheet;
// backend probes (module.cpp)
extern const Binding is_rust_backend, version_rust;

}  // namespace lvx::py
