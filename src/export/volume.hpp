// Volume exports of an entry's voxel grid: ASCII legacy VTK structured points
// and a raw little-endian float32 volume with a JSON sidecar.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sample/voxel.hpp"

namespace lvx::exporter {

// The whole text of the VTK file: header, the phase_id field and one float
// field per property (values sampled at voxel centres, 0 where sampling
// fails). A property that no voxel could sample throws the failure of voxel
// (0, 0, 0). Throws OpError / Panic like export_vtk_legacy, writes nothing.
std::string vtk_legacy_text(std::string_view name, const sample::Bounds& bounds, double voxel_size,
                            const std::vector<std::string>& properties, std::optional<double> scale_m);

// Builds the text and writes it to out_path, creating missing parent folders.
void export_vtk_legacy(std::string_view name, const std::string& out_path, const sample::Bounds& bounds,
                       double voxel_size, const std::vector<std::string>& properties,
                       std::optional<double> scale_m);

// out_path with the extension of its final component replaced by "json", or
// ".json" appended when that component has none (a leading dot does not count).
std::string sdf_sidecar_path(std::string_view out_path);

// The raw volume: one little-endian float32 per voxel, x-fastest; the phase
// index, or 1.0 everywhere when mode is exactly "occupancy". Converts the
// phase indices in place (they are consumed) and returns a view of their
// storage.
std::string_view sdf_raw_bytes(std::vector<std::int32_t>& ids, std::size_t phase_count,
                               std::string_view mode);

// The sidecar's pretty JSON text.
std::string sdf_sidecar_text(std::string_view name, const sample::Bounds& bounds, double voxel_size,
                             std::string_view mode, const sample::XFastestGrid& grid);

// Writes the raw file (its folder must exist) and then the sidecar (its
// folder is created). Refuses an out_path that is its own sidecar path before
// writing anything.
void export_sdf_raw(std::string_view name, const std::string& out_path, const sample::Bounds& bounds,
                    double voxel_size, std::optional<double> scale_m, std::string_view mode);

}  // namespace lvx::exporter
