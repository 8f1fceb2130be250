// File-name helpers for exporters that write a companion file next to the
// main one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lvx::exporter {

// Position of the dot that starts the extension of path's final component,
// or npos when that component has none (a leading dot does not count).
inline std::size_t extension_dot(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind('.');
  return dot != std::string_view::npos && dot > base ? dot : std::string_view::npos;
}

// path with the extension of its final component replaced by ext, or "." ext
// appended when that component has none.
inline std::string with_extension(std::string_view path, std::string_view ext) {
  const std::size_t dot = extension_dot(path);
  std::string out(path);
  if (dot != std::string_view::npos) {
    out.resize(dot + 1);
  } else {
    out += '.';
  }
  out += ext;
  return out;
}

}  // namespace lvx::exporter
