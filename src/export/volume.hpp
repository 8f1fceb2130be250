// Volume exports of an entry's voxel grid: ASCII legacy VTK structured points
// and a raw little-endian float32 volume with a JSON sidecar.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry.hpp"

namespace lvx::exporter {

// Writes the VTK text to out_path, creating missing parent folders: header,
// the phase_id field and one float field per property (values sampled at
// voxel centres, 0 where sampling fails). A property that no voxel could
// sample throws the failure of voxel (0, 0, 0) and writes nothing.
void export_vtk_legacy(std::string_view name, const std::string& out_path, const Box& bounds,
                       double voxel_size, const std::vector<std::string>& properties,
                       std::optional<double> scale_m);

// out_path with the extension of its final component replaced by "json", or
// ".json" appended when that component has none (a leading dot does not count).
std::string sdf_sidecar_path(std::string_view out_path);

// Writes the raw volume (one little-endian float32 per voxel, x-fastest: the
// phase index, or 1.0 everywhere when mode is exactly "occupancy"; its folder
// must exist) and then the sidecar's pretty JSON (its folder is created);
// the two replace their targets, in that order, only once both are complete.
// Refuses an out_path that is its own sidecar path before writing anything.
void export_sdf_raw(std::string_view name, const std::string& out_path, const Box& bounds, double voxel_size,
                    std::optional<double> scale_m, std::string_view mode);

}  // namespace lvx::exporter
