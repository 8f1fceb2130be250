#include "export/mesh.hpp"

#include "core/error.hpp"
#include "core/text.hpp"
#include "export/mesh_faces.hpp"
#include "export/mesh_text.hpp"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

namespace lvx::exporter {

namespace detail {

std::uint64_t count_faces(const sample::VoxelGrid& g) {
  std::uint64_t n = 0;
  for_each_face(g, [&](const FaceRef&) { ++n; });
  return n;
}

std::vector<double> grid_lines(std::uint64_t n, double min, double voxel_size) {
  std::vector<double> v(static_cast<std::size_t>(n) + 1);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double offset = static_cast<double>(i) * voxel_size;  // rounded product, then the sum
    v[i] = offset + min;
  }
  return v;
}

AxisText::AxisText(const std::vector<double>& lines) {
  offsets_.reserve(lines.size() + 1);
  offsets_.push_back(0);
  for (double v : lines) {
    append_fixed(text_, v, 6);
    offsets_.push_back(text_.size());
  }
}

}  // namespace detail

using detail::FaceRef;
using detail::kCornerOffset;

std::vector<BoundaryQuad> boundary_quads(const sample::VoxelGrid& grid, const Point3& lower, double voxel_size) {
  const std::vector<double> lines[3] = {detail::grid_lines(grid.nx, lower[0], voxel_size),
                                        detail::grid_lines(grid.ny, lower[1], voxel_size),
                                        detail::grid_lines(grid.nz, lower[2], voxel_size)};
  std::vector<BoundaryQuad> quads;
  quads.reserve(static_cast<std::size_t>(detail::count_faces(grid)));
  detail::for_each_face(grid, [&](const FaceRef& f) {
    BoundaryQuad q;
    for (int c = 0; c < 4; ++c)
      for (int a = 0; a < 3; ++a) q.corners[c][a] = lines[a][f.c[a] + kCornerOffset[f.axis][c][a]];
    q.normal = {0.0, 0.0, 0.0};
    q.normal[f.axis] = f.negative ? -1.0 : 1.0;
    q.phase = f.phase;
    quads.push_back(q);
  });
  return quads;
}

std::string mtl_path_for(std::string_view obj_path) {
  const std::size_t slash = obj_path.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::string_view file = obj_path.substr(start);
  if (file.empty() || file == "." || file == "..") return std::string(obj_path);
  const std::size_t dot = file.rfind('.');
  const std::size_t stem_len = (dot == std::string_view::npos || dot == 0) ? file.size() : dot;
  std::string out(obj_path.substr(0, start + stem_len));
  out += ".mtl";
  return out;
}

std::array<double, 3> phase_colour(std::string_view phase_name) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : phase_name) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return {static_cast<double>((h >> 48) & 255) / 255.0, static_cast<double>((h >> 32) & 255) / 255.0,
          static_cast<double>((h >> 16) & 255) / 255.0};
}

std::string mtl_text(const std::vector<std::string>& phase_names) {
  std::string s;
  for (const std::string& p : phase_names) {
    const auto rgb = phase_colour(p);
    s += "newmtl ";
    s += p;
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

namespace {

inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// Vertex numbering keyed on the bit patterns of the three coordinates: open
// addressing with linear probing, sized up front for at most `max_vertices`
// distinct keys so it never rehashes.
class VertexTable {
public:
  using Key = std::array<std::uint64_t, 3>;

  explicit VertexTable(std::size_t max_vertices) {
    std::size_t cap = 16;
    while (cap < 2 * max_vertices) cap <<= 1;
    mask_ = cap - 1;
    slots_.assign(cap, 0);
    keys_.reserve(max_vertices);
  }

  // 1-based vertex number; `is_new` tells whether the key was first seen now.
  std::uint32_t intern(const Key& k, bool& is_new) {
    std::size_t i = static_cast<std::size_t>(mix64(k[0] ^ mix64(k[1] ^ mix64(k[2])))) & mask_;
    for (;;) {
      const std::uint32_t v = slots_[i];
      if (v == 0) {
        keys_.push_back(k);
        slots_[i] = static_cast<std::uint32_t>(keys_.size());
        is_new = true;
        return slots_[i];
      }
      if (keys_[v - 1] == k) {
        is_new = false;
        return v;
      }
      i = (i + 1) & mask_;
    }
  }

  std::size_t size() const noexcept { return keys_.size(); }

private:
  std::vector<std::uint32_t> slots_;
  std::vector<Key> keys_;
  std::size_t mask_ = 0;
};

inline std::size_t decimal_digits(std::uint32_t v) noexcept {
  std::size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

inline char* put(char* p, std::string_view s) noexcept {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

// min(a * b * c, cap) without overflow.
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t cap) {
  const long double p = static_cast<long double>(a) * static_cast<long double>(b) * static_cast<long double>(c);
  return p >= static_cast<long double>(cap) ? cap : a * b * c;
}

}  // namespace

std::string obj_text(std::string_view name, std::string_view mtl_ref, const sample::VoxelGrid& grid,
                     const Point3& lower, double voxel_size) {
  const std::vector<double> lines[3] = {detail::grid_lines(grid.nx, lower[0], voxel_size),
                                        detail::grid_lines(grid.ny, lower[1], voxel_size),
                                        detail::grid_lines(grid.nz, lower[2], voxel_size)};
  const std::uint64_t faces = detail::count_faces(grid);
  constexpr std::uint64_t kMaxVertices = std::numeric_limits<std::uint32_t>::max() - 1;
  if (grid.nx >= kMaxVertices || grid.ny >= kMaxVertices || grid.nz >= kMaxVertices)
    fail("export_obj: grid too large for 32-bit vertex numbers");
  // Distinct vertices: at most four per face and at most one per grid point.
  const std::uint64_t lattice = saturating_product(grid.nx + 1, grid.ny + 1, grid.nz + 1, kMaxVertices + 1);
  const std::uint64_t max_vertices = std::min(lattice, faces > kMaxVertices / 4 ? kMaxVertices + 1 : 4 * faces);
  if (max_vertices > kMaxVertices) fail("export_obj: mesh too large for 32-bit vertex numbers");

  VertexTable table(static_cast<std::size_t>(max_vertices));
  std::vector<std::array<std::uint32_t, 3>> vertex_lines;  // grid-line index per axis, per vertex
  vertex_lines.reserve(static_cast<std::size_t>(max_vertices));
  std::vector<std::vector<std::array<std::uint32_t, 4>>> groups(grid.phase_names.size());

  detail::for_each_face(grid, [&](const FaceRef& f) {
    if (f.phase < 0 || static_cast<std::size_t>(f.phase) >= groups.size())
      panic("export_obj: phase index outside phase_names");
    std::array<std::uint32_t, 4> quad;
    for (int c = 0; c < 4; ++c) {
      std::array<std::uint32_t, 3> at;
      VertexTable::Key key;
      for (int a = 0; a < 3; ++a) {
        at[a] = static_cast<std::uint32_t>(f.c[a] + kCornerOffset[f.axis][c][a]);
        key[a] = std::bit_cast<std::uint64_t>(lines[a][at[a]]);
      }
      bool is_new = false;
      quad[c] = table.intern(key, is_new);
      if (is_new) vertex_lines.push_back(at);
    }
    groups[static_cast<std::size_t>(f.phase)].push_back(quad);
  });

  const detail::AxisText text[3] = {detail::AxisText(lines[0]), detail::AxisText(lines[1]),
                                    detail::AxisText(lines[2])};

  // Exact output size, so the text is written into one allocation.
  std::size_t size = 7 + mtl_ref.size() + 1;  // "mtllib " ref "\n"
  for (const auto& at : vertex_lines)
    size += 5 + text[0].length(at[0]) + text[1].length(at[1]) + text[2].length(at[2]);
  for (std::size_t p = 0; p < groups.size(); ++p) {
    if (groups[p].empty()) continue;
    const std::size_t pn = grid.phase_names[p].size();
    size += 2 + name.size() + 1 + pn + 8 + pn + 1;  // "o {}_{}\nusemtl {}\n"
    for (const auto& q : groups[p])
      size += 6 + decimal_digits(q[0]) + decimal_digits(q[1]) + decimal_digits(q[2]) + decimal_digits(q[3]);
  }

  std::string out(size, '\0');
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
    const std::string& phase = grid.phase_names[g];
    p = put(p, "o ");
    p = put(p, name);
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

}  // namespace lvx::exporter
