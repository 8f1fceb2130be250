#include "export/obj.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/fsio.hpp"
#include "core/text.hpp"
#include "export/file_name.hpp"
#include "export/mesh_buffer.hpp"
#include "export/surface.hpp"
#include "sample/phase_hash.hpp"
#include "sample/voxel.hpp"

namespace lvx::exporter {

std::string mtl_path_for(std::string_view obj_path) {
  const std::size_t slash = obj_path.rfind('/');
  const std::string_view file = obj_path.substr(slash == std::string_view::npos ? 0 : slash + 1);
  if (file.empty() || file == "." || file == "..") return std::string(obj_path);
  return with_extension(obj_path, "mtl");
}

namespace {

// Diffuse colour of a phase from the FNV-1a hash of its name.
std::array<double, 3> phase_colour(std::string_view phase_name) {
  const std::uint64_t h = sample::fnv1a(phase_name);
  return {static_cast<double>((h >> 48) & 255) / 255.0, static_cast<double>((h >> 32) & 255) / 255.0,
          static_cast<double>((h >> 16) & 255) / 255.0};
}

std::string mtl_text(const std::vector<std::string>& phase_names) {
  std::string s;
  for (const std::string& p : phase_names) {
    const auto rgb = phase_colour(p);
    s += "newmtl ";
    s += single_line(p);  // the colour still comes from the name as stored
    s += "\nKd";
    for (double c : rgb) {
      s += ' ';
      append_fixed(s, c, 4);
    }
    s += "\nKa";
    for (double c : rgb) {
      s += ' ';
      append_fixed(s, 0.2 * c, 4);
    }
    s += "\nKs 0.5 0.5 0.5\nNs 32\n\n";
  }
  return s;
}

inline std::size_t decimal_digits(std::uint32_t v) noexcept {
  std::size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

// OBJ text: "mtllib", the de-duplicated vertices, then one group per phase
// that owns faces.
Buffer obj_text(std::string_view name, std::string_view mtl_ref, const sample::VoxelGrid& grid,
                const Point& lower, double voxel_size) {
  const std::vector<double> lines[3] = {grid_lines(grid.nx, lower[0], voxel_size),
                                        grid_lines(grid.ny, lower[1], voxel_size),
                                        grid_lines(grid.nz, lower[2], voxel_size)};
  // Names go into the "o" and "usemtl" lines with their line breaks blanked,
  // as in the MTL file; single_line keeps the length.
  const std::string object = single_line(name);
  std::vector<std::string> phases;
  phases.reserve(grid.phase_names.size());
  for (const std::string& phase : grid.phase_names) phases.push_back(single_line(phase));

  VertexTable table(lines, "export_obj");
  std::vector<std::vector<std::array<std::uint32_t, 4>>> groups(grid.phase_names.size());
  for_each_face(grid, [&](const FaceRef& f) {
    if (f.phase < 0 || static_cast<std::size_t>(f.phase) >= groups.size())
      panic("export_obj: phase index outside phase_names");
    std::uint32_t number[4];
    for (int c = 0; c < 4; ++c) {
      const auto& off = kCornerOffset[f.axis][c];
      number[c] = table.intern(f.c[0] + off[0], f.c[1] + off[1], f.c[2] + off[2]);
    }
    const auto& order = wound_order(f);
    groups[static_cast<std::size_t>(f.phase)].push_back(
        {number[order[0]], number[order[1]], number[order[2]], number[order[3]]});
  });
  const auto& vertex_lines = table.vertices();

  const AxisText text[3] = {AxisText(lines[0]), AxisText(lines[1]), AxisText(lines[2])};

  // Exact output size, so the text is written into one allocation.
  std::size_t size = 7 + mtl_ref.size() + 1;  // "mtllib " ref "\n"
  for (const auto& at : vertex_lines)
    size += 5 + text[0].length(at[0]) + text[1].length(at[1]) + text[2].length(at[2]);
  for (std::size_t p = 0; p < groups.size(); ++p) {
    if (groups[p].empty()) continue;
    const std::size_t pn = phases[p].size();
    size += 2 + object.size() + 1 + pn + 8 + pn + 1;  // "o {}_{}\nusemtl {}\n"
    for (const auto& q : groups[p])
      size += 6 + decimal_digits(q[0]) + decimal_digits(q[1]) + decimal_digits(q[2]) + decimal_digits(q[3]);
  }

  Buffer out(size);
  char* p = out.data();
  p = put(p, "mtllib ");
  p = put(p, mtl_ref);
  *p++ = '\n';
  for (const auto& at : vertex_lines) {
    p = put(p, "v ");
    p = put(p, text[0].at(at[0]));
    *p++ = ' ';
    p = put(p, text[1].at(at[1]));
    *p++ = ' ';
    p = put(p, text[2].at(at[2]));
    *p++ = '\n';
  }
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (groups[g].empty()) continue;
    const std::string& phase = phases[g];
    p = put(p, "o ");
    p = put(p, object);
    *p++ = '_';
    p = put(p, phase);
    p = put(p, "\nusemtl ");
    p = put(p, phase);
    *p++ = '\n';
    for (const auto& q : groups[g]) {
      *p++ = 'f';
      for (std::uint32_t v : q) {
        *p++ = ' ';
        p = std::to_chars(p, p + 10, v).ptr;
      }
      *p++ = '\n';
    }
  }
  if (p != out.data() + out.size()) panic("export_obj: OBJ size mismatch");
  return out;
}

}  // namespace

std::string export_obj(std::string_view name, const std::string& obj_path, const Box& bounds,
                       double voxel_size, std::optional<double> scale_m) {
  if (name.empty()) fail("export_obj: name required");
  if (voxel_size <= 0.0) fail("export_obj: voxel_size must be positive");  // NaN goes on to the voxel map
  // The MTL file is written first and would then be replaced by the OBJ text.
  if (const std::size_t dot = extension_dot(obj_path);
      dot != std::string::npos && std::string_view(obj_path).substr(dot + 1) == "mtl")
    fail("export_obj: obj_path '" + obj_path + "' would overwrite its MTL file");
  const sample::VoxelGrid grid = sample::voxel_phase_map(name, bounds, voxel_size, scale_m);
  refuse_nul_path("export_obj", "obj_path", obj_path);

  const std::string mtl_path = mtl_path_for(obj_path);
  const std::string_view mtl_file = std::string_view(mtl_path).substr(mtl_path.rfind('/') + 1);
  const std::string_view mtl_ref = is_valid_utf8(mtl_file) ? mtl_file : std::string_view("material.mtl");

  create_parent_dirs(mtl_path);
  write_file(mtl_path, mtl_text(grid.phase_names));

  const Buffer obj = obj_text(name, mtl_ref, grid, bounds[0], voxel_size);
  create_parent_dirs(obj_path);
  write_file(obj_path, obj.view());
  return mtl_path;
}

}  // namespace lvx::exporter
