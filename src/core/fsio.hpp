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

// Throws OpError "<op>: <arg> must not contain a NUL character" when `path`
// holds a NUL: the system would stop reading it there and write a file of
// another name. Exporters call it where a bad path is to be reported, ahead
// of the generic refusal in the two functions above.
void refuse_nul_path(std::string_view op, std::string_view arg, const std::string& path);

}  // namespace lvx
