// The boundary surface of an entry's voxel grid as arrays: the geometry the
// OBJ and STL exports write, for callers that compute on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/array.hpp"
#include "core/geometry.hpp"

namespace lvx::exporter {

struct SurfaceArrays {
  Array<double> vertices;          // [V][3]: the OBJ file's vertices, in its order
  Array<std::uint32_t> triangles;  // [T][3]: 0-based vertex indices, wound along the normal
  PhaseArray phases;               // [T]: index into phase_names
  Array<double> normals;           // [T][3]: the face's axis-aligned unit normal
  std::vector<std::string> phase_names;
};

// Two triangles per boundary face, in the order and winding of the STL
// triangles, over the OBJ file's vertices: a face (w0, w1, w2, w3) in wound
// order gives (w0, w1, w2) and (w0, w2, w3). Throws OpError "surface: name
// required" or "surface: voxel_size must be positive" (a NaN voxel size
// panics in voxel_phase_map), and the errors of voxel_phase_map.
SurfaceArrays surface_arrays(std::string_view name, const Box& bounds, double voxel_size,
                             std::optional<double> scale_m);

}  // namespace lvx::exporter
