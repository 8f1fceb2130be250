#include "sample/voxel.hpp"

#include <unistd.h>

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/error.hpp"
#include "core/json.hpp"
#include "sample/lookup.hpp"
#include "sample/sample.hpp"

namespace lvx::sample {

namespace {

[[noreturn]] void too_large(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  fail("voxel_phase_map: grid of " + std::to_string(nx) + " x " + std::to_string(ny) + " x " +
       std::to_string(nz) + " voxels is too large");
}

// Bytes of physical memory, or 0 when unknown.
std::uint64_t physical_memory() noexcept {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// Voxel count of the grid, refused when it overflows or when its cells could
// never be held in memory (the zero fill would only end in the kernel's
// out-of-memory killer).
std::size_t checked_count(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  std::uint64_t xy = 0, n = 0;
  if (__builtin_mul_overflow(nx, ny, &xy) || __builtin_mul_overflow(xy, nz, &n)) too_large(nx, ny, nz);
  const std::vector<std::int32_t> probe;
  if (n > probe.max_size()) too_large(nx, ny, nz);
  const std::uint64_t mem = physical_memory();
  if (mem != 0 && n > mem / sizeof(std::int32_t)) too_large(nx, ny, nz);
  return static_cast<std::size_t>(n);
}

// Cell index along one axis for every voxel centre of that axis.
std::vector<std::int64_t> axis_cells(std::uint64_t n, double min, double voxel_size, double cell) {
  std::vector<std::int64_t> out(static_cast<std::size_t>(n));
  for (std::uint64_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] = cell_index((static_cast<double>(i) + 0.5) * voxel_size + min, cell);
  return out;
}

}  // namespace

std::uint64_t axis_count(double min, double max, double voxel_size) noexcept {
  const double n = std::ceil((max - min) / voxel_size);
  if (!(n > 0.0)) return 1;  // NaN, negative and zero
  if (n >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(n);
}

namespace {

// Everything a fill needs: sizes, names, zeroed storage and, when the voxels
// must be picked, the fraction list with the name index of each of its phases.
struct Plan {
  data_loader::EntryPtr entry;
  std::uint64_t nx = 1, ny = 1, nz = 1;
  std::vector<std::string> names;
  std::vector<std::int32_t> ids;
  std::optional<PhaseFractions> picker;
  std::vector<std::int32_t> to_name;
  std::vector<std::int64_t> cx, cy, cz;  // cell index of each voxel centre per axis
};

Plan plan(std::string_view name, const Bounds& bounds, double voxel_size, std::optional<double> scale_m) {
  if (!(voxel_size > 0.0)) panic("voxel_phase_map: voxel_size must be positive");
  ensure_default_models_registered();
  Plan p;
  p.entry = lookup_entry(name);
  p.nx = axis_count(bounds[0][0], bounds[1][0], voxel_size);
  p.ny = axis_count(bounds[0][1], bounds[1][1], voxel_size);
  p.nz = axis_count(bounds[0][2], bounds[1][2], voxel_size);
  const std::size_t count = checked_count(p.nx, p.ny, p.nz);

  const Json* fractions = member(*p.entry, "phase_volume_fractions");
  if (fractions != nullptr && fractions->is_object())
    for (const auto& item : fractions->get_ref<const Json::object_t&>()) p.names.push_back(item.first);

  try {
    p.ids.assign(count, 0);
  } catch (const std::bad_alloc&) {
    too_large(p.nx, p.ny, p.nz);
  } catch (const std::length_error&) {
    too_large(p.nx, p.ny, p.nz);
  }

  // A single phase needs no pick; a list without a valid pick leaves zeros.
  if (p.names.size() > 1) p.picker = PhaseFractions::try_of(*p.entry);
  if (p.picker) {
    // Both lists are in key order and the pickable phases are a subset of
    // the names.
    std::size_t k = 0;
    for (const std::string& phase : p.picker->names()) {
      while (p.names[k] != phase) ++k;
      p.to_name.push_back(static_cast<std::int32_t>(k));
    }
    const double cell = scale_m.value_or(voxel_size);
    p.cx = axis_cells(p.nx, bounds[0][0], voxel_size, cell);
    p.cy = axis_cells(p.ny, bounds[0][1], voxel_size, cell);
    p.cz = axis_cells(p.nz, bounds[0][2], voxel_size, cell);
  }
  if (p.names.empty()) p.names.emplace_back(name);
  return p;
}

// Rows of (x, y) hashes up to this many are kept in a table for the
// x-fastest fill; larger cross-sections rehash them per plane.
constexpr std::size_t kMaxHashTable = std::size_t{1} << 22;

}  // namespace

// The cell hash is FNV-1a over ix, iy, iz in turn, so the state after ix (and
// after iy) is shared by every voxel of a slab (and of a row).

VoxelGrid voxel_phase_map(std::string_view name, const Bounds& bounds, double voxel_size,
                          std::optional<double> scale_m) {
  Plan p = plan(name, bounds, voxel_size, scale_m);
  if (p.picker) {
    std::int32_t* out = p.ids.data();
    for (const std::int64_t ix : p.cx) {
      const std::uint64_t hx = fnv1a_i64(kFnvOffset, ix);
      for (const std::int64_t iy : p.cy) {
        const std::uint64_t hy = fnv1a_i64(hx, iy);
        for (const std::int64_t iz : p.cz) *out++ = p.to_name[p.picker->pick_hash(fnv1a_i64(hy, iz))];
      }
    }
  }
  VoxelGrid g;
  g.phase_ids = std::move(p.ids);
  g.phase_names = std::move(p.names);
  g.nx = p.nx;
  g.ny = p.ny;
  g.nz = p.nz;
  return g;
}

XFastestGrid voxel_phase_map_x_fastest(std::string_view name, const Bounds& bounds, double voxel_size,
                                       std::optional<double> scale_m) {
  Plan p = plan(name, bounds, voxel_size, scale_m);
  if (p.picker) {
    const std::size_t nx = p.cx.size(), ny = p.cy.size();
    std::vector<std::uint64_t> hx(nx);
    for (std::size_t x = 0; x < nx; ++x) hx[x] = fnv1a_i64(kFnvOffset, p.cx[x]);
    std::int32_t* out = p.ids.data();
    if (nx * ny <= kMaxHashTable) {
      std::vector<std::uint64_t> hxy(nx * ny);
      for (std::size_t y = 0; y < ny; ++y)
        for (std::size_t x = 0; x < nx; ++x) hxy[y * nx + x] = fnv1a_i64(hx[x], p.cy[y]);
      for (const std::int64_t iz : p.cz)
        for (const std::uint64_t h : hxy) *out++ = p.to_name[p.picker->pick_hash(fnv1a_i64(h, iz))];
    } else {
      for (const std::int64_t iz : p.cz)
        for (const std::int64_t iy : p.cy)
          for (std::size_t x = 0; x < nx; ++x)
            *out++ = p.to_name[p.picker->pick_hash(fnv1a_i64(fnv1a_i64(hx[x], iy), iz))];
    }
  }
  XFastestGrid g;
  g.phase_ids = std::move(p.ids);
  g.phase_names = std::move(p.names);
  g.nx = p.nx;
  g.ny = p.ny;
  g.nz = p.nz;
  return g;
}

}  // namespace lvx::sample
