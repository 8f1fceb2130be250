#include "sample/field.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "sample/phase_hash.hpp"
#include "sample/sample.hpp"

namespace lvx::sample {

namespace {

// Points or voxels per unit of parallel work.
constexpr std::uint64_t kPerChunk = std::uint64_t{1} << 14;

// The smallest index any worker reports, for a call that must fail as the
// first failing element in order would make it fail.
class FirstIndex {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  void report(std::size_t i) noexcept {
    std::size_t seen = first_.load(std::memory_order_relaxed);
    while (i < seen && !first_.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  }
  std::size_t get() const noexcept { return first_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> first_{kNone};
};

// Points whose cell hashes are computed side by side. Each FNV-1a hash is a
// chain of two dozen dependent multiplications; interleaving the chains of
// several points lets them overlap, which a point at a time cannot.
constexpr std::size_t kLanes = 8;

// Values of a per-phase sampler at points[begin, end) into out; the first
// point whose phase lacks the property is reported to `failed`.
void sample_by_phase(const PropertySampler& sampler, std::span<const Point> points, std::size_t begin,
                     std::size_t end, double* out, FirstIndex& failed) noexcept {
  const PhaseFractions& fractions = sampler.fractions();
  const double cell = sampler.cell_size();
  for (std::size_t i = begin; i < end; i += kLanes) {
    const std::size_t lanes = std::min(kLanes, end - i);
    std::uint64_t h[kLanes], u[3][kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
      const Point& p = points[i + std::min(k, lanes - 1)];  // spare lanes repeat the last point
      h[k] = kFnvOffset;
      for (std::size_t a = 0; a < 3; ++a) u[a][k] = static_cast<std::uint64_t>(cell_index(p[a], cell));
    }
    // cell_hash(ix, iy, iz) of each lane: the bytes of ix, iy, iz, low first.
    for (std::size_t a = 0; a < 3; ++a)
      for (unsigned byte = 0; byte < 8; ++byte)
        for (std::size_t k = 0; k < kLanes; ++k)
          h[k] = (h[k] ^ ((u[a][k] >> (8 * byte)) & 0xffU)) * kFnvPrime;
    for (std::size_t k = 0; k < lanes; ++k) {
      const std::optional<double> v = sampler.phase_value(fractions.pick_hash(h[k]));
      if (!v) failed.report(i + k);
      out[i + k] = v.value_or(0.0);
    }
  }
}

}  // namespace

Array<double> sample_points(std::string_view name, std::string_view property, std::span<const Point> points,
                            std::optional<double> scale_m) {
  if (name.empty()) panic("sample_points: name must be non-empty");
  if (property.empty()) panic("sample_points: property must be non-empty");
  const ResolvedEntry entry = ResolvedEntry::resolve(name);
  Array<double> out({points.size()});
  // Without a scale a point is sampled as at a present 1 mm scale: in 1 mm
  // cells, never averaged. Only a model other than the built-in one could
  // tell the two apart, so such a model is given the scale as it came.
  const PropertySampler sampler(entry, property, scale_m.value_or(0.001));
  if (!sampler.is_constant() && !sampler.is_per_phase()) {
    for (std::size_t i = 0; i < points.size(); ++i) out[i] = entry.sample(property, points[i], scale_m);
    return out;
  }
  FirstIndex failed;
  if (sampler.is_constant()) {
    if (!sampler.constant() && !points.empty()) failed.report(0);
    std::fill_n(out.data(), out.size(), sampler.constant().value_or(0.0));
  } else {
    parallel_chunks(points.size(), kPerChunk, [&](std::uint64_t begin, std::uint64_t end) {
      sample_by_phase(sampler, points, begin, end, out.data(), failed);
    });
  }
  if (const std::size_t i = failed.get(); i != FirstIndex::kNone) {
    (void)entry.sample(property, points[i], scale_m);
    panic("sample_points: a sample that failed succeeded when repeated");
  }
  return out;
}

Array<double> property_field(std::string_view name, std::string_view property, const Box& bounds,
                             double voxel_size, std::optional<double> scale_m,
                             const std::optional<ZYX>& start, const std::optional<ZYX>& shape) {
  if (name.empty()) fail("property_field: name required");
  if (voxel_size <= 0.0) fail("property_field: voxel_size must be positive");
  // The grid the VTK export samples on refuses a NaN voxel size as broken.
  if (!(voxel_size > 0.0)) panic("voxel_phase_map: voxel_size must be positive");
  const VoxelBlock block = grid_block("property_field", bounds, voxel_size, start, shape);
  const ResolvedEntry entry = ResolvedEntry::resolve(name);
  if (property.empty()) panic("voxel_sample: property must be non-empty");
  const auto [nz, ny, nx] = block.shape;
  (void)block_voxels<double>(block);
  Array<double> out;
  try {
    out = Array<double>({nz, ny, nx});
  } catch (const std::bad_alloc&) {
    block_too_large(block);
  }

  const PropertySampler field(entry, property, scale_m.value_or(voxel_size));
  const auto& first = block.start;
  const auto refuse = [&] { field.raise_at(voxel_centre(bounds, voxel_size, first[2], first[1], first[0])); };
  const bool whole = is_whole_grid(block, bounds, voxel_size);

  if (field.is_constant()) {
    if (!field.constant()) refuse();
    std::fill_n(out.data(), out.size(), *field.constant());
    return out;
  }
  if (field.is_per_phase()) {
    // Phase values are finite (the JSON reader refuses anything else), so NaN
    // can stand for a phase that lacks the property until the fill is done.
    const std::size_t phases = field.fractions().names().size();
    std::vector<double> value(phases);
    std::size_t carried = 0;
    for (std::size_t i = 0; i < phases; ++i) {
      value[i] = field.phase_value(i).value_or(std::numeric_limits<double>::quiet_NaN());
      carried += field.phase_value(i).has_value();
    }
    if (carried == 0) refuse();
    const BlockCells cells = block_cells(bounds, voxel_size, block, field.cell_size());
    fill_picked(field.fractions(), cells.x, cells.y, cells.z, value.data(), out.data());
    if (carried < phases) {
      bool any = false;
      for (std::size_t i = 0; i < out.size(); ++i) {
        if (std::isnan(out[i]))
          out[i] = 0.0;
        else
          any = true;
      }
      if (whole && !any) refuse();
    }
    return out;
  }
  // Another registered model: every voxel asks it, and the field is refused
  // when none answers, block or not.
  std::atomic<bool> any{false};
  parallel_chunks(out.size(), kPerChunk, [&](std::uint64_t begin, std::uint64_t end) {
    bool found = false;
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::uint64_t x = i % nx, y = i / nx % ny, z = i / (nx * ny);
      const std::optional<double> v =
          field.at(voxel_centre(bounds, voxel_size, first[2] + x, first[1] + y, first[0] + z));
      found = found || v;
      out[i] = v.value_or(0.0);
    }
    if (found) any.store(true, std::memory_order_relaxed);
  });
  if (!any.load(std::memory_order_relaxed)) refuse();
  return out;
}

}  // namespace lvx::sample
