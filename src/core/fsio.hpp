// Whole-file output used by every exporter.
#pragma once

#include <string>
#include <string_view>

namespace lvx {

// Both refuse a path holding a NUL character, which the system would cut.

// Creates the parent folder of `path` and its missing ancestors; nothing for a
// bare file name. Throws OpError with the system's error text.
void create_parent_dirs(const std::string& path);

// Creates or truncates `path` and writes `data` whole. Throws OpError with the
// system's error text.
void write_file(const std::string& path, std::string_view data);

}  // namespace lvx
