#include "export/volume.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/error.hpp"
#include "core/fsio.hpp"
#include "core/interrupt.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "export/file_name.hpp"
#include "sample/sample.hpp"
#include "sample/voxel.hpp"

namespace lvx::exporter {

namespace {

// Voxels between two interrupt polls in the loops that only count or convert.
constexpr std::uint64_t kPollVoxels = std::uint64_t{1} << 20;

// Writes texts[id] for every id in order.
void write_by_table(OutputFile& out, const std::vector<std::int32_t>& ids,
                    const std::vector<std::string>& texts) {
  std::size_t longest = 0;
  for (const std::string& t : texts) longest = std::max(longest, t.size());
  for (const std::int32_t id : ids) {
    const std::string& t = texts[static_cast<std::size_t>(id)];
    char* p = out.room(longest);
    std::memcpy(p, t.data(), t.size());
    out.advance(p + t.size());
  }
}

// Writes the same line `count` times.
void write_repeated(OutputFile& out, std::string_view line, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    char* p = out.room(line.size());
    std::memcpy(p, line.data(), line.size());
    out.advance(p + line.size());
  }
}

std::string value_line(std::optional<double> v) {
  std::string s;
  append_fixed(s, v.value_or(0.0), 6);
  s += '\n';
  return s;
}

// Writes the field of one property. When no voxel's sample succeeds the field
// carries nothing but zeros: that is refused with the failure of voxel
// (0, 0, 0)'s sample, the only message built (and the file is dropped).
void write_property(OutputFile& out, const sample::XFastestGrid& g, const std::vector<std::uint64_t>& counts,
                    const sample::ResolvedEntry& entry, const std::string& property, const Box& bounds,
                    double voxel_size, std::optional<double> scale_m) {
  const std::vector<std::int32_t>& ids = g.phase_ids;
  const double scale = scale_m.value_or(voxel_size);
  const sample::PropertySampler field(entry, property, scale);
  const auto refuse = [&] { field.raise_at(sample::voxel_centre(bounds, voxel_size, 0, 0, 0)); };
  out.append("SCALARS ");
  out.append(single_line(property));
  out.append(" float 1\nLOOKUP_TABLE default\n");

  if (field.is_constant()) {
    if (!field.constant()) refuse();
    write_repeated(out, value_line(field.constant()), ids.size());
    return;
  }
  if (field.is_per_phase()) {
    const auto& pickable = field.fractions().names();
    std::vector<std::string> by_phase;
    by_phase.reserve(pickable.size());
    for (std::size_t i = 0; i < pickable.size(); ++i) by_phase.push_back(value_line(field.phase_value(i)));
    // With the grid's own cell size, every voxel's pick is the grid's phase:
    // the pickable phases are a subset of the grid's phase names, both in key
    // order, and every voxel of the grid holds a picked phase.
    if (std::bit_cast<std::uint64_t>(field.cell_size()) == std::bit_cast<std::uint64_t>(scale)) {
      std::vector<std::string> by_id(g.phase_names.size());
      bool any = false;
      std::size_t k = 0;
      for (std::size_t j = 0; j < g.phase_names.size(); ++j) {
        if (k < pickable.size() && pickable[k] == g.phase_names[j]) {
          any = any || (counts[j] > 0 && field.phase_value(k));
          by_id[j] = by_phase[k++];
        } else {
          by_id[j] = value_line(0.0);  // never picked
        }
      }
      if (!any) refuse();
      write_by_table(out, ids, by_id);
      return;
    }
    const double cell = field.cell_size();
    std::size_t longest = 0;
    for (const std::string& t : by_phase) longest = std::max(longest, t.size());
    bool any = false;
    for (std::uint64_t z = 0; z < g.nz; ++z)
      for (std::uint64_t y = 0; y < g.ny; ++y)
        for (std::uint64_t x = 0; x < g.nx; ++x) {
          const std::size_t phase =
              field.fractions().pick(sample::voxel_centre(bounds, voxel_size, x, y, z), cell);
          any = any || field.phase_value(phase);
          const std::string& t = by_phase[phase];
          char* p = out.room(longest);
          std::memcpy(p, t.data(), t.size());
          out.advance(p + t.size());
        }
    if (!any) refuse();
    return;
  }
  bool any = false;
  std::string line;
  for (std::uint64_t z = 0; z < g.nz; ++z)
    for (std::uint64_t y = 0; y < g.ny; ++y)
      for (std::uint64_t x = 0; x < g.nx; ++x) {
        const std::optional<double> v = field.at(sample::voxel_centre(bounds, voxel_size, x, y, z));
        any = any || v;
        line.clear();
        append_fixed(line, v.value_or(0.0), 6);
        line += '\n';
        out.append(line);
      }
  if (!any) refuse();
}

// ---------------------------------------------------------------- VTK

// Streams the VTK file into `out`. Throws OpError / Panic like
// export_vtk_legacy.
void write_vtk_legacy(OutputFile& out, std::string_view name, const sample::XFastestGrid& g,
                      const Box& bounds, double voxel_size, const std::vector<std::string>& properties,
                      std::optional<double> scale_m) {
  const std::vector<std::int32_t>& ids = g.phase_ids;
  std::vector<std::uint64_t> counts(g.phase_names.size());
  polled_for(ids.size(), kPollVoxels, [&](std::size_t i) { ++counts[static_cast<std::size_t>(ids[i])]; });

  std::vector<std::string> id_lines(g.phase_names.size());
  for (std::size_t i = 0; i < id_lines.size(); ++i) {
    append_uint(id_lines[i], i);
    id_lines[i] += '\n';
  }

  std::string head = "# vtk DataFile Version 3.0\nlumivarex ";
  head += single_line(name);
  head += "\nASCII\nDATASET STRUCTURED_POINTS\nDIMENSIONS ";
  append_uint(head, g.nx);
  head += ' ';
  append_uint(head, g.ny);
  head += ' ';
  append_uint(head, g.nz);
  // The points of structured points are the voxel centres.
  head += "\nORIGIN ";
  for (int a = 0; a < 3; ++a) {
    if (a) head += ' ';
    append_shortest_plain(head, sample::voxel_centre_1d(0, bounds[0][a], voxel_size));
  }
  head += "\nSPACING ";
  for (int a = 0; a < 3; ++a) {
    if (a) head += ' ';
    append_shortest_plain(head, voxel_size);
  }
  head += "\nPOINT_DATA ";
  append_uint(head, ids.size());
  head += "\nSCALARS phase_id int 1\nLOOKUP_TABLE default\n";
  out.append(head);
  write_by_table(out, ids, id_lines);

  if (!properties.empty()) {
    const sample::ResolvedEntry entry = sample::ResolvedEntry::of(g.entry);
    for (const std::string& property : properties) {
      if (property.empty()) panic("voxel_sample: property must be non-empty");
      write_property(out, g, counts, entry, property, bounds, voxel_size, scale_m);
    }
  }
}

}  // namespace

void export_vtk_legacy(std::string_view name, const std::string& out_path, const Box& bounds,
                       double voxel_size, const std::vector<std::string>& properties,
                       std::optional<double> scale_m) {
  if (name.empty()) fail("export_vtk_legacy: name required");
  if (voxel_size <= 0.0) fail("export_vtk_legacy: voxel_size must be positive");
  const sample::XFastestGrid g = sample::voxel_phase_map_x_fastest(name, bounds, voxel_size, scale_m);
  refuse_nul_path("export_vtk_legacy", "out_path", out_path);
  OutputFile out(out_path, true);
  write_vtk_legacy(out, name, g, bounds, voxel_size, properties, scale_m);
  out.commit();
}

// ---------------------------------------------------------------- raw SDF

std::string sdf_sidecar_path(std::string_view out_path) {
  return with_extension(out_path, "json");
}

namespace {

// The raw volume's bytes. Converts the phase indices in place (they are
// consumed) and returns a view of their storage.
std::string_view sdf_raw_bytes(std::vector<std::int32_t>& ids, std::size_t phase_count,
                               std::string_view mode) {
  const bool occupancy = mode == "occupancy";
  std::vector<std::int32_t> word(phase_count);
  for (std::size_t i = 0; i < word.size(); ++i) {
    const float v = occupancy ? 1.0f : static_cast<float>(static_cast<std::int32_t>(i));
    std::uint32_t u = std::bit_cast<std::uint32_t>(v);
    if constexpr (std::endian::native == std::endian::big) u = __builtin_bswap32(u);
    word[i] = std::bit_cast<std::int32_t>(u);
  }
  // Each 4-byte phase index becomes the 4 bytes of its value, in place.
  polled_for(ids.size(), kPollVoxels,
             [&](std::size_t i) { ids[i] = word[static_cast<std::size_t>(ids[i])]; });
  return {reinterpret_cast<const char*>(ids.data()), ids.size() * sizeof(std::int32_t)};
}

// The sidecar's pretty JSON text.
std::string sdf_sidecar_text(std::string_view name, const Box& bounds, double voxel_size,
                             std::string_view mode, const sample::XFastestGrid& grid) {
  Json doc = Json::object();
  doc["bounds"] = Json::array({Json::array({bounds[0][0], bounds[0][1], bounds[0][2]}),
                               Json::array({bounds[1][0], bounds[1][1], bounds[1][2]})});
  doc["dtype"] = "float32";
  doc["layout"] = "x-fastest";
  doc["mode"] = std::string(mode);
  doc["name"] = std::string(name);
  doc["phase_names"] = grid.phase_names;
  doc["shape_xyz"] = Json::array({grid.nx, grid.ny, grid.nz});
  doc["voxel_size_m"] = voxel_size;
  return write_json_pretty(doc);
}

}  // namespace

void export_sdf_raw(std::string_view name, const std::string& out_path, const Box& bounds, double voxel_size,
                    std::optional<double> scale_m, std::string_view mode) {
  if (name.empty()) fail("export_sdf_raw: name required");
  if (voxel_size <= 0.0) fail("export_sdf_raw: voxel_size must be positive");
  refuse_nul_path("export_sdf_raw", "out_path", out_path);
  const std::string sidecar = sdf_sidecar_path(out_path);
  if (sidecar == out_path)
    fail("export_sdf_raw: out_path '" + out_path + "' would be overwritten by its JSON sidecar");
  sample::XFastestGrid g = sample::voxel_phase_map_x_fastest(name, bounds, voxel_size, scale_m);
  const std::string text = sdf_sidecar_text(name, bounds, voxel_size, mode, g);
  // Both files are complete before either replaces its target, the volume
  // first, as they were always written. The volume's folder must exist.
  AtomicFile raw(out_path);
  raw.write(sdf_raw_bytes(g.phase_ids, g.phase_names.size(), mode));
  create_parent_dirs(sidecar);
  AtomicFile side(sidecar);
  side.write(text);
  raw.commit();
  side.commit();
}

}  // namespace lvx::exporter
