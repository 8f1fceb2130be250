// Fixed-point text of grid-line coordinates, formatted once per axis and
// copied into every line that uses them, and the copy step of the writers
// that fill a presized image.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace lvx::exporter::detail {

class AxisText {
 public:
  // Six-decimal text of each value.
  explicit AxisText(const std::vector<double>& lines);
  std::string_view at(std::size_t i) const noexcept {
    return std::string_view(text_).substr(offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  std::size_t length(std::size_t i) const noexcept { return offsets_[i + 1] - offsets_[i]; }

 private:
  std::string text_;
  std::vector<std::size_t> offsets_;
};

// Copies s to p and returns the position just past it.
inline char* put(char* p, std::string_view s) noexcept {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

}  // namespace lvx::exporter::detail
