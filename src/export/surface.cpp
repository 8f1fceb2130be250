#include "export/surface.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <unordered_map>

#include "core/error.hpp"
#include "core/text.hpp"

namespace lvx::exporter {

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

VertexTable::VertexTable(const std::vector<double> (&lines)[3], std::string_view op) : op_(op) {
  // Vertex numbers are 32-bit values; a grid needing more would not fit in
  // memory anyway.
  constexpr std::size_t kMaxLines = std::numeric_limits<std::uint32_t>::max() / 2;
  for (const auto& axis : lines)
    if (axis.size() > kMaxLines) too_large("grid");
  std::uint64_t cells = 1;
  std::size_t distinct[3] = {};
  for (int a = 0; a < 3; ++a) {
    std::unordered_map<std::uint64_t, std::uint32_t> seen;
    seen.reserve(lines[a].size());
    code_[a].resize(lines[a].size());
    for (std::size_t i = 0; i < lines[a].size(); ++i) {
      auto [it, inserted] = seen.try_emplace(std::bit_cast<std::uint64_t>(lines[a][i]),
                                             static_cast<std::uint32_t>(seen.size()));
      code_[a][i] = it->second;
    }
    distinct[a] = seen.size();
    if (__builtin_mul_overflow(cells, distinct[a], &cells)) too_large("grid");
  }
  stride_y_ = distinct[2];
  stride_x_ = distinct[1] * stride_y_;
  try {
    number_.assign(static_cast<std::size_t>(cells), 0);
  } catch (const std::length_error&) {
    too_large("grid");
  }
}

void VertexTable::too_large(std::string_view what) const {
  fail(op_ + ": " + std::string(what) + " too large");
}

AxisText::AxisText(const std::vector<double>& lines) {
  offsets_.reserve(lines.size() + 1);
  offsets_.push_back(0);
  for (double v : lines) {
    append_fixed(text_, v, 6);
    max_length_ = std::max(max_length_, text_.size() - offsets_.back());
    offsets_.push_back(text_.size());
  }
}

}  // namespace lvx::exporter
