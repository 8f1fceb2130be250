#include "export/stl.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "core/error.hpp"
#include "core/fsio.hpp"
#include "core/text.hpp"
#include "export/surface.hpp"
#include "sample/voxel.hpp"

namespace lvx::exporter {

namespace {

inline std::uint32_t to_le(std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Corner indices of one face: corners[c][axis].
inline void face_corners(const FaceRef& f, std::uint64_t (&corners)[4][3]) noexcept {
  for (int c = 0; c < 4; ++c)
    for (int a = 0; a < 3; ++a) corners[c][a] = f.c[a] + kCornerOffset[f.axis][c][a];
}

// Binary STL: 80-byte header, triangle count, 50-byte records.
void write_binary(OutputFile& out, std::string_view name, const sample::VoxelGrid& grid, const Point& lower,
                  double voxel_size) {
  const std::uint64_t triangles = 2 * count_faces(grid);
  if (triangles > std::numeric_limits<std::uint32_t>::max())
    fail("export_stl: too many triangles for a binary STL file");

  std::vector<float> lines[3];
  const std::uint64_t counts[3] = {grid.nx, grid.ny, grid.nz};
  for (int a = 0; a < 3; ++a) {
    const std::vector<double> d = grid_lines(counts[a], lower[a], voxel_size);
    lines[a].resize(d.size());
    // The conversion rounds to nearest, ties to even.
    std::transform(d.begin(), d.end(), lines[a].begin(), [](double v) { return static_cast<float>(v); });
  }

  char* p = out.room(84);
  std::memset(p, 0, 80);  // the header's padding
  std::string header = "lumivarex ";
  header += name;
  std::memcpy(p, header.data(), std::min<std::size_t>(header.size(), 80));
  const std::uint32_t count = to_le(static_cast<std::uint32_t>(triangles));
  std::memcpy(p + 80, &count, 4);
  out.advance(p + 84);

  const float* const L[3] = {lines[0].data(), lines[1].data(), lines[2].data()};
  for_each_face(grid, [&](const FaceRef& f) {
    // Corner coordinates in corner order, from the face's plane and the two
    // grid lines it spans along each other axis.
    float c[4][3];
    const std::uint64_t i = f.c[0], j = f.c[1], k = f.c[2];
    switch (f.axis) {
      case 0: {
        const float x = L[0][i], y0 = L[1][j], y1 = L[1][j + 1], z0 = L[2][k], z1 = L[2][k + 1];
        const float v[4][3] = {{x, y0, z0}, {x, y1, z0}, {x, y1, z1}, {x, y0, z1}};
        std::memcpy(c, v, sizeof c);
        break;
      }
      case 1: {
        const float y = L[1][j], x0 = L[0][i], x1 = L[0][i + 1], z0 = L[2][k], z1 = L[2][k + 1];
        const float v[4][3] = {{x0, y, z0}, {x1, y, z0}, {x1, y, z1}, {x0, y, z1}};
        std::memcpy(c, v, sizeof c);
        break;
      }
      default: {
        const float z = L[2][k], x0 = L[0][i], x1 = L[0][i + 1], y0 = L[1][j], y1 = L[1][j + 1];
        const float v[4][3] = {{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}};
        std::memcpy(c, v, sizeof c);
        break;
      }
    }
    float rec[12] = {0.0f, 0.0f, 0.0f};
    rec[f.axis] = f.negative ? -1.0f : 1.0f;
    const auto& order = wound_order(f);
    char* q = out.room(100);
    for (const auto& tri : kTriangleCorners) {
      for (int v = 0; v < 3; ++v) std::memcpy(rec + 3 + 3 * v, c[order[tri[v]]], 3 * sizeof(float));
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(q, rec, 48);
      } else {
        for (int w = 0; w < 12; ++w) {
          const std::uint32_t le = to_le(std::bit_cast<std::uint32_t>(rec[w]));
          std::memcpy(q + 4 * w, &le, 4);
        }
      }
      q[48] = q[49] = 0;  // the attribute word
      q += 50;
    }
    out.advance(q);
  });
}

void write_ascii(OutputFile& out, std::string_view name, const sample::VoxelGrid& grid, const Point& lower,
                 double voxel_size) {
  const AxisText text[3] = {AxisText(grid_lines(grid.nx, lower[0], voxel_size)),
                            AxisText(grid_lines(grid.ny, lower[1], voxel_size)),
                            AxisText(grid_lines(grid.nz, lower[2], voxel_size))};
  static constexpr std::string_view kFacet = "  facet normal ";
  static constexpr std::string_view kLoop = "\n    outer loop\n";
  static constexpr std::string_view kVertex = "\t  vertex ";
  static constexpr std::string_view kEnd = "    endloop\n  endfacet\n";
  static constexpr std::string_view kPlus = "1.000000", kMinus = "-1.000000", kZero = "0.000000";

  // The longest a face's two triangles can be: two zeros, a signed unit and
  // two blanks per normal, the longest coordinates in every vertex line.
  const std::size_t vertex =
      kVertex.size() + 3 + text[0].max_length() + text[1].max_length() + text[2].max_length();
  const std::size_t face_bytes =
      2 * (kFacet.size() + 2 * kZero.size() + kMinus.size() + 2 + kLoop.size() + 3 * vertex + kEnd.size());
  // Line breaks in the name are blanked here; the binary header keeps its bytes.
  const std::string solid = single_line(name);
  out.append("solid ");
  out.append(solid);
  out.append("\n");
  for_each_face(grid, [&](const FaceRef& f) {
    std::uint64_t corners[4][3];
    face_corners(f, corners);
    std::string_view normal[3] = {kZero, kZero, kZero};
    normal[f.axis] = f.negative ? kMinus : kPlus;
    const auto& order = wound_order(f);
    char* p = out.room(face_bytes);
    for (const auto& tri : kTriangleCorners) {
      p = put(p, kFacet);
      p = put(p, normal[0]);
      *p++ = ' ';
      p = put(p, normal[1]);
      *p++ = ' ';
      p = put(p, normal[2]);
      p = put(p, kLoop);
      for (int v = 0; v < 3; ++v) {
        const auto& c = corners[order[tri[v]]];
        p = put(p, kVertex);
        p = put(p, text[0].at(c[0]));
        *p++ = ' ';
        p = put(p, text[1].at(c[1]));
        *p++ = ' ';
        p = put(p, text[2].at(c[2]));
        *p++ = '\n';
      }
      p = put(p, kEnd);
    }
    out.advance(p);
  });
  out.append("endsolid ");
  out.append(solid);
  out.append("\n");
}

}  // namespace

void export_stl(std::string_view name, const std::string& out_path, const Box& bounds, double voxel_size,
                std::optional<double> scale_m, bool binary) {
  if (name.empty()) fail("export_stl: name required");
  if (voxel_size <= 0.0) fail("export_stl: voxel_size must be positive");  // NaN goes on to the voxel map
  const sample::VoxelGrid grid = sample::voxel_phase_map(name, bounds, voxel_size, scale_m);
  refuse_nul_path("export_stl", "out_path", out_path);
  // No folder is created for the binary file: a missing parent is the write's error.
  OutputFile out(out_path, !binary);
  if (binary)
    write_binary(out, name, grid, bounds[0], voxel_size);
  else
    write_ascii(out, name, grid, bounds[0], voxel_size);
  out.commit();
}

}  // namespace lvx::exporter
