#include "export/mesh_arrays.hpp"

#include <array>
#include <string>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "core/memory.hpp"
#include "export/surface.hpp"
#include "sample/voxel.hpp"

namespace lvx::exporter {

SurfaceArrays surface_arrays(std::string_view name, const Box& bounds, double voxel_size,
                             std::optional<double> scale_m) {
  if (name.empty()) fail("surface: name required");
  if (voxel_size <= 0.0) fail("surface: voxel_size must be positive");  // NaN goes on to the voxel map
  const sample::VoxelGrid grid = sample::voxel_phase_map(name, bounds, voxel_size, scale_m);
  const std::vector<double> lines[3] = {grid_lines(grid.nx, bounds[0][0], voxel_size),
                                        grid_lines(grid.ny, bounds[0][1], voxel_size),
                                        grid_lines(grid.nz, bounds[0][2], voxel_size)};
  VertexTable table(lines, "surface");

  SurfaceArrays out;
  out.phase_names = grid.phase_names;
  const std::size_t triangles = 2 * count_faces(grid);
  // Indices, normal and phase of a triangle, and room for its share of vertices.
  if (!fits_in_memory(triangles, 3 * sizeof(std::uint32_t) + 6 * sizeof(double) + sizeof(std::uint32_t)))
    fail("surface: a mesh of " + std::to_string(triangles) + " triangles is too large");
  out.triangles = Array<std::uint32_t>({triangles, 3});
  out.normals = Array<double>({triangles, 3});
  out.phases = phase_array_for(grid.phase_names.size());
  std::visit([&]<class T>(Array<T>& phases) { phases = Array<T>({triangles}); }, out.phases);

  std::uint32_t* tri = out.triangles.data();
  double* normal = out.normals.data();
  std::size_t t = 0;
  std::vector<std::array<std::uint64_t, 3>> vertices;  // grid lines of each, in number order
  std::visit(
      [&]<class T>(Array<T>& phases) {
        for_each_face(grid, [&](const FaceRef& f) {
          std::uint32_t number[4];
          for (int c = 0; c < 4; ++c) {
            const auto& off = kCornerOffset[f.axis][c];
            const std::array<std::uint64_t, 3> at = {f.c[0] + off[0], f.c[1] + off[1], f.c[2] + off[2]};
            if (table.intern(at[0], at[1], at[2])) vertices.push_back(at);
            number[c] = table.number(at[0], at[1], at[2]) - 1;
          }
          const auto& order = wound_order(f);
          for (const auto& corners : kTriangleCorners) {
            for (int v = 0; v < 3; ++v) *tri++ = number[order[corners[v]]];
            for (int a = 0; a < 3; ++a) normal[a] = 0.0;
            normal[f.axis] = f.negative ? -1.0 : 1.0;
            normal += 3;
            phases[t++] = static_cast<T>(f.phase);
          }
        });
      },
      out.phases);

  out.vertices = Array<double>({vertices.size(), 3});
  double* v = out.vertices.data();
  for (const auto& at : vertices)
    for (int a = 0; a < 3; ++a) *v++ = lines[a][at[a]];
  return out;
}

}  // namespace lvx::exporter
