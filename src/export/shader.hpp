// Shader sources embedding a material's constants: GLSL text and an HLSL file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lvx::exporter {

struct GlslOptions {
  bool include_density = true;
  bool include_ior = true;
  bool include_sss = true;
};

// py_export_glsl without the interpreter: the GLSL source text for `name`.
// Panics on an empty name; throws the lookup error.
std::string glsl_source(std::string_view name, const GlslOptions& opts);

// Validates `name`, builds the HLSL text (one struct field per listed
// property; all numeric properties in byte order when `properties` is absent)
// and writes it to `out_path`, creating missing parent folders.
void export_hlsl(std::string_view name, const std::string& out_path,
                 const std::optional<std::vector<std::string>>& properties);

}  // namespace lvx::exporter
