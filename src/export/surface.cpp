#include "export/surface.hpp"

#include <algorithm>

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
