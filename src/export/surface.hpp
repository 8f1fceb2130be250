// The boundary surface of a voxel phase map, shared by the OBJ and STL
// writers: its faces in index space, the grid-line coordinates they are placed
// on and the text of those coordinates.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "sample/voxel.hpp"

namespace lvx::exporter {

// A boundary face in grid-line indices: `c` is corner 0; the other corners
// follow from `axis` (see kCornerOffset). `negative` is the sign of the
// normal along `axis`.
struct FaceRef {
  std::uint64_t c[3];
  std::int32_t phase;
  std::uint8_t axis;
  bool negative;
};

// Index offsets of corners 0..3 from corner 0, per axis of the face normal.
inline constexpr std::uint8_t kCornerOffset[3][4][3] = {
    {{0, 0, 0}, {0, 1, 0}, {0, 1, 1}, {0, 0, 1}},
    {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}},
    {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
};

// Corner order a face is written in. The order of kCornerOffset winds, by the
// right-hand rule, towards +x, -y and +z for axes 0, 1 and 2; a face whose
// normal points the other way is written (0, 3, 2, 1), so that every face
// winds along its normal and readers that take orientation from the winding
// see the surface facing outwards. Vertex numbering keeps kCornerOffset order.
inline constexpr std::uint8_t kWoundOrder[2][4] = {{0, 1, 2, 3}, {0, 3, 2, 1}};

inline const auto& wound_order(const FaceRef& f) noexcept {
  return kWoundOrder[f.negative != (f.axis == 1) ? 1 : 0];
}

// Each face, its corners (w0, w1, w2, w3) in wound order, becomes the
// triangles (w0, w1, w2) and (w0, w2, w3): both share the c0-c2 diagonal.
inline constexpr int kTriangleCorners[2][3] = {{0, 1, 2}, {0, 2, 3}};

// Rows are compared in pieces of at most this many voxels, with an interrupt
// poll at least every kPollVoxels voxels.
inline constexpr std::size_t kRowPiece = std::size_t{1} << 16;
inline constexpr std::uint64_t kPollVoxels = std::uint64_t{1} << 16;

// Compares `n` phases of two rows (null = outside the grid, phase -1) and
// calls on_face(t, lower_phase, upper_phase) where they differ.
template <class F>
inline void compare_rows(const std::int32_t* lo, const std::int32_t* up, std::size_t n, PollMeter& meter,
                         F&& on_face) {
  for (std::size_t begin = 0; begin < n; begin += kRowPiece) {
    const std::size_t end = std::min(n, begin + kRowPiece);
    meter.add(end - begin);
    if (lo && up) {
      for (std::size_t t = begin; t < end; ++t)
        if (lo[t] != up[t]) on_face(t, lo[t], up[t]);
    } else if (up) {
      for (std::size_t t = begin; t < end; ++t)
        if (up[t] != -1) on_face(t, -1, up[t]);
    } else if (lo) {
      for (std::size_t t = begin; t < end; ++t)
        if (lo[t] != -1) on_face(t, lo[t], -1);
    }
  }
}

// Calls emit(const FaceRef&) for every boundary face in output order: planes
// across x (plane, y, z nesting), across y (x, plane, z), across z (x, y,
// plane). A face carries the upper phase when it is inside the grid and then
// points towards lower coordinates; hull faces point out of the box. Polls for
// an interrupt as it goes.
template <class F>
void for_each_face(const sample::VoxelGrid& g, F&& emit) {
  const std::uint64_t nx = g.nx, ny = g.ny, nz = g.nz;
  const std::int32_t* ids = g.phase_ids.data();
  const std::size_t slab = static_cast<std::size_t>(ny * nz);
  PollMeter meter(kPollVoxels);
  auto make = [](std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint8_t axis, std::int32_t lower,
                 std::int32_t upper) {
    const bool upper_inside = upper >= 0;
    return FaceRef{{a, b, c}, upper_inside ? upper : lower, axis, upper_inside};
  };

  for (std::uint64_t p = 0; p <= nx; ++p) {
    const std::int32_t* lo = p > 0 ? ids + (p - 1) * slab : nullptr;
    const std::int32_t* up = p < nx ? ids + p * slab : nullptr;
    for (std::uint64_t iy = 0; iy < ny; ++iy) {
      compare_rows(lo ? lo + iy * nz : nullptr, up ? up + iy * nz : nullptr, static_cast<std::size_t>(nz),
                   meter,
                   [&](std::size_t t, std::int32_t l, std::int32_t u) { emit(make(p, iy, t, 0, l, u)); });
    }
  }
  for (std::uint64_t ix = 0; ix < nx; ++ix) {
    const std::int32_t* block = ids + ix * slab;
    for (std::uint64_t p = 0; p <= ny; ++p) {
      const std::int32_t* lo = p > 0 ? block + (p - 1) * nz : nullptr;
      const std::int32_t* up = p < ny ? block + p * nz : nullptr;
      compare_rows(lo, up, static_cast<std::size_t>(nz), meter,
                   [&](std::size_t t, std::int32_t l, std::int32_t u) { emit(make(ix, p, t, 1, l, u)); });
    }
  }
  for (std::uint64_t ix = 0; ix < nx; ++ix) {
    for (std::uint64_t iy = 0; iy < ny; ++iy) {
      const std::int32_t* row = ids + (ix * ny + iy) * nz;
      meter.add(1);  // the hull faces, when the row is one voxel long
      if (row[0] != -1) emit(make(ix, iy, 0, 2, -1, row[0]));
      // Each voxel's face towards the next one: row[p - 1] against row[p].
      compare_rows(
          row, row + 1, static_cast<std::size_t>(nz - 1), meter,
          [&](std::size_t t, std::int32_t l, std::int32_t u) { emit(make(ix, iy, t + 1, 2, l, u)); });
      if (row[nz - 1] != -1) emit(make(ix, iy, nz, 2, row[nz - 1], -1));
    }
  }
}

// Number of faces for_each_face would emit.
std::uint64_t count_faces(const sample::VoxelGrid& g);

// Grid-line coordinates i * voxel_size + min for i = 0..n (n + 1 values).
std::vector<double> grid_lines(std::uint64_t n, double min, double voxel_size);

// Vertex numbers keyed on the bit patterns of the three coordinates. Every
// corner lies on grid lines, so the distinct bit patterns of each axis are
// numbered first (a hash map per axis, linear in the axis length); the triple
// of those numbers is a collision-free hash of the key and addresses a dense
// table. Bit-identical coordinates share a number even when they come from
// different grid lines (a huge offset swallowing the voxel size). The table
// holds only the numbers: a caller that needs the vertices themselves keeps
// the ones intern() reports new.
class VertexTable {
 public:
  // `lines` are the grid-line coordinates per axis. Throws OpError "<op>: grid
  // too large" when the vertices could not be numbered in 32 bits.
  VertexTable(const std::vector<double> (&lines)[3], std::string_view op);

  // The 1-based number of the corner on grid lines (i, j, k), 0 when it has
  // none yet.
  std::uint32_t number(std::uint64_t i, std::uint64_t j, std::uint64_t k) const noexcept {
    return number_[code_[0][i] * stride_x_ + code_[1][j] * stride_y_ + code_[2][k]];
  }
  // Gives the corner the next number when it has none; true when it did.
  // Throws OpError "<op>: mesh too large" past 2^32 - 1 vertices.
  bool intern(std::uint64_t i, std::uint64_t j, std::uint64_t k) {
    std::uint32_t& n = number_[code_[0][i] * stride_x_ + code_[1][j] * stride_y_ + code_[2][k]];
    if (n != 0) return false;
    if (count_ >= std::numeric_limits<std::uint32_t>::max()) too_large("mesh");
    n = ++count_;
    return true;
  }

 private:
  [[noreturn]] void too_large(std::string_view what) const;

  std::string op_;
  std::vector<std::uint32_t> code_[3];  // grid line -> number of its bit pattern
  std::size_t stride_x_ = 0, stride_y_ = 0;
  std::vector<std::uint32_t> number_;
  std::uint32_t count_ = 0;
};

// Fixed-point text of grid-line coordinates, formatted once per axis and
// copied into every line that uses them.
class AxisText {
 public:
  // Six-decimal text of each value.
  explicit AxisText(const std::vector<double>& lines);
  std::string_view at(std::size_t i) const noexcept {
    return std::string_view(text_).substr(offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  std::size_t length(std::size_t i) const noexcept { return offsets_[i + 1] - offsets_[i]; }
  std::size_t max_length() const noexcept { return max_length_; }

 private:
  std::string text_;
  std::vector<std::size_t> offsets_;
  std::size_t max_length_ = 0;
};

// Copies s to p and returns the position just past it: the copy step of the
// writers, which fill room taken from an OutputFile.
inline char* put(char* p, std::string_view s) noexcept {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

}  // namespace lvx::exporter
