#include "export/obj.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/fsio.hpp"
#include "core/text.hpp"
#include "export/file_name.hpp"
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

// The OBJ text, streamed: "mtllib", the de-duplicated vertices, then one
// group per phase that owns faces. Vertices are numbered, and their lines
// written, in order of first appearance in one walk over the faces; each
// group then takes one more walk, so no face list is ever held.
void write_obj(OutputFile& out, std::string_view name, std::string_view mtl_ref,
               const sample::VoxelGrid& grid, const std::vector<double> (&lines)[3], VertexTable& table) {
  // Names go into the "o" and "usemtl" lines with their line breaks blanked,
  // as in the MTL file; single_line keeps the length.
  const std::string object = single_line(name);
  std::vector<std::string> phases;
  phases.reserve(grid.phase_names.size());
  for (const std::string& phase : grid.phase_names) phases.push_back(single_line(phase));

  const AxisText text[3] = {AxisText(lines[0]), AxisText(lines[1]), AxisText(lines[2])};
  const std::size_t vertex_bytes = 5 + text[0].max_length() + text[1].max_length() + text[2].max_length();

  out.append("mtllib ");
  out.append(mtl_ref);
  out.append("\n");
  std::vector<std::uint64_t> faces_of(grid.phase_names.size(), 0);
  for_each_face(grid, [&](const FaceRef& f) {
    if (f.phase < 0 || static_cast<std::size_t>(f.phase) >= faces_of.size())
      panic("export_obj: phase index outside phase_names");
    ++faces_of[static_cast<std::size_t>(f.phase)];
    for (int c = 0; c < 4; ++c) {
      const auto& off = kCornerOffset[f.axis][c];
      const std::uint64_t at[3] = {f.c[0] + off[0], f.c[1] + off[1], f.c[2] + off[2]};
      if (!table.intern(at[0], at[1], at[2])) continue;
      char* p = out.room(vertex_bytes);
      p = put(p, "v ");
      p = put(p, text[0].at(at[0]));
      *p++ = ' ';
      p = put(p, text[1].at(at[1]));
      *p++ = ' ';
      p = put(p, text[2].at(at[2]));
      *p++ = '\n';
      out.advance(p);
    }
  });

  for (std::size_t g = 0; g < phases.size(); ++g) {
    if (faces_of[g] == 0) continue;
    const std::string& phase = phases[g];
    out.append("o ");
    out.append(object);
    out.append("_");
    out.append(phase);
    out.append("\nusemtl ");
    out.append(phase);
    out.append("\n");
    const auto wanted = static_cast<std::int32_t>(g);
    for_each_face(grid, [&](const FaceRef& f) {
      if (f.phase != wanted) return;
      std::uint32_t number[4];
      for (int c = 0; c < 4; ++c) {
        const auto& off = kCornerOffset[f.axis][c];
        number[c] = table.number(f.c[0] + off[0], f.c[1] + off[1], f.c[2] + off[2]);
      }
      char* p = out.room(2 + 4 * 11);  // "f", four blanks and numbers, "\n"
      *p++ = 'f';
      for (const std::uint8_t c : wound_order(f)) {
        *p++ = ' ';
        p = std::to_chars(p, p + 10, number[c]).ptr;
      }
      *p++ = '\n';
      out.advance(p);
    });
  }
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

  const std::vector<double> lines[3] = {grid_lines(grid.nx, bounds[0][0], voxel_size),
                                        grid_lines(grid.ny, bounds[0][1], voxel_size),
                                        grid_lines(grid.nz, bounds[0][2], voxel_size)};
  VertexTable table(lines, "export_obj");

  // Both files are complete before either replaces its target, the MTL file
  // first: an OBJ file never names a library older than itself.
  OutputFile mtl(mtl_path, true);
  mtl.append(mtl_text(grid.phase_names));
  mtl.open();
  OutputFile obj(obj_path, true);
  write_obj(obj, name, mtl_ref, grid, lines, table);
  obj.open();
  mtl.commit();
  obj.commit();
  return mtl_path;
}

}  // namespace lvx::exporter
