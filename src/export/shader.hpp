// Shader sources embedding a material's constants (GLSL text, HLSL file) and
// the entry helpers they share.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loader/data_loader.hpp"

namespace lvx::exporter {

// The entry stored under exactly `name`, first hit over the tiers in canonical
// order. Throws OpError "export: entry '{}' not found in lumivarex registry".
data_loader::EntryPtr lookup_entry(std::string_view name);

// One output character per Unicode character: ASCII letters and digits are
// kept, everything else becomes '_'; a leading digit gets a '_' in front.
std::string glsl_safe_ident(std::string_view name);

using NumericProps = std::unordered_map<std::string, double>;

// Top-level numeric members of an object entry, then the numeric members of
// its "Properties" object, which replace top-level values of the same key.
NumericProps collect_numeric_props(const Json& entry);

struct GlslOptions {
  bool include_density = true;
  bool include_ior = true;
  bool include_sss = true;
};

// py_export_glsl without the interpreter: the GLSL source text for `name`.
// Panics on an empty name; throws the lookup error.
std::string glsl_source(std::string_view name, const GlslOptions& opts);

// The HLSL source text for `name` with one struct field per listed property;
// all numeric properties in byte order when `properties` is absent.
std::string hlsl_source(std::string_view name, const std::optional<std::vector<std::string>>& properties);

// Validates `name`, builds the HLSL text and writes it to `out_path`, creating
// missing parent folders.
void export_hlsl(std::string_view name, const std::string& out_path,
                 const std::optional<std::vector<std::string>>& properties);

}  // namespace lvx::exporter
