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

VoxelGrid voxel_phase_map(std::string_view name, const Bounds& bounds, double voxel_size,
                          std::optional<double> scale_m) {
  if (!(voxel_size > 0.0)) panic("voxel_phase_map: voxel_size must be positive");
  ensure_default_models_registered();
  const data_loader::EntryPtr entry = lookup_entry(name);

  VoxelGrid g;
  g.nx = axis_count(bounds[0][0], bounds[1][0], voxel_size);
  g.ny = axis_count(bounds[0][1], bounds[1][1], voxel_size);
  g.nz = axis_count(bounds[0][2], bounds[1][2], voxel_size);
  const std::size_t count = checked_count(g.nx, g.ny, g.nz);
  const double cell = scale_m.value_or(voxel_size);

  const Json* fractions = member(*entry, "phase_volume_fractions");
  const bool keyed = fractions != nullptr && fractions->is_object();
  if (keyed)
    for (const auto& item : fractions->get_ref<const Json::object_t&>()) g.phase_names.push_back(item.first);

  try {
    g.phase_ids.assign(count, 0);
  } catch (const std::bad_alloc&) {
    too_large(g.nx, g.ny, g.nz);
  } catch (const std::length_error&) {
    too_large(g.nx, g.ny, g.nz);
  }

  if (g.phase_names.size() > 1) {
    if (const auto picker = PhaseFractions::try_of(*entry)) {
      // Position in phase_names of each pickable phase. Both lists are in key
      // order and the pickable phases are a subset of the names.
      std::vector<std::int32_t> to_name;
      to_name.reserve(picker->names().size());
      std::size_t k = 0;
      for (const std::string& phase : picker->names()) {
        while (g.phase_names[k] != phase) ++k;
        to_name.push_back(static_cast<std::int32_t>(k));
      }
      // The hash of a cell is FNV-1a over ix, iy, iz in turn, so the state
      // after ix (and after iy) is shared by a whole slab (and row).
      const auto cx = axis_cells(g.nx, bounds[0][0], voxel_size, cell);
      const auto cy = axis_cells(g.ny, bounds[0][1], voxel_size, cell);
      const auto cz = axis_cells(g.nz, bounds[0][2], voxel_size, cell);
      std::int32_t* out = g.phase_ids.data();
      for (const std::int64_t ix : cx) {
        const std::uint64_t hx = fnv1a_i64(kFnvOffset, ix);
        for (const std::int64_t iy : cy) {
          const std::uint64_t hy = fnv1a_i64(hx, iy);
          for (const std::int64_t iz : cz) *out++ = to_name[picker->pick_hash(fnv1a_i64(hy, iz))];
        }
      }
    }
  }
  if (g.phase_names.empty()) g.phase_names.emplace_back(name);
  return g;
}

}  // namespace lvx::sample
