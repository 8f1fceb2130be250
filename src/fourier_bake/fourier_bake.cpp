#include "fourier_bake/fourier_bake.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "sample/sample.hpp"

namespace lvx::fourier_bake {

namespace {

constexpr double kMinExtent = 2.220446049250313e-16;
constexpr double kNegTwoPi = -6.283185307179586;
constexpr std::int64_t kNoFreq = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kMaxHalf = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
// Grid points sampled per unit of parallel work.
constexpr std::uint64_t kSamplesPerChunk = 4096;

[[noreturn]] void too_large() {
  fail("grid_size is too large");
}

// The smaller of two values, a NaN giving way to the other.
double min_skip_nan(double a, double b) noexcept {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b < a ? b : a;
}

// Frequency indices along one axis of s grid points: -e..h with h = s / 2 and
// e = (s - 1) / 2, one of each residue modulo s. An index is self-conjugate
// (its own negative modulo s) when it is 0, or h when s is even.
struct Axis {
  std::uint64_t s;

  std::int64_t h() const noexcept { return static_cast<std::int64_t>(s / 2); }
  std::int64_t e() const noexcept { return static_cast<std::int64_t>((s - 1) / 2); }
  bool self_conjugate(std::int64_t i) const noexcept { return i == 0 || (s % 2 == 0 && i == h()); }

  // Positions of a block over the indices 0..h in which each self-conjugate
  // index is followed by `half` positions and every other one by `full`.
  std::uint64_t half_block(std::uint64_t half, std::uint64_t full) const noexcept {
    return (s % 2 == 0 ? 2 : 1) * half + static_cast<std::uint64_t>(e()) * full;
  }
  // The index at position c of such a block; c becomes the position within
  // what follows the index.
  std::int64_t in_half_block(std::uint64_t& c, std::uint64_t half, std::uint64_t full) const noexcept {
    if (c < half) return 0;
    c -= half;
    const std::uint64_t middle = static_cast<std::uint64_t>(e()) * full;
    if (c < middle) {
      const auto i = static_cast<std::int64_t>(c / full) + 1;
      c %= full;
      return i;
    }
    c -= middle;
    return h();
  }
  // The index at position c of a block over -e..h, each index followed by
  // `full` positions; c becomes the position within those.
  std::int64_t in_full_block(std::uint64_t& c, std::uint64_t full) const noexcept {
    const auto i = static_cast<std::int64_t>(c / full) - e();
    c %= full;
    return i;
  }
};

// The frequencies in enumeration order, addressed by position: n over 0..hx;
// m over 0..hy when n is self-conjugate, else over -ey..hy; l over 0..hz when
// n and m both are, else over -ez..hz; the zero frequency left out. That is
// one member of every conjugate pair ±(n, m, l) of the spectrum, so the terms
// of the enumeration rebuild the field.
struct Frequencies {
  Axis x, y, z;

  std::uint64_t count() const noexcept { return x.half_block(yz_half(), yz_full()) - 1; }
  void at(std::uint64_t c, std::int64_t& n, std::int64_t& m, std::int64_t& l) const noexcept {
    ++c;  // position 0 is the zero frequency
    n = x.in_half_block(c, yz_half(), yz_full());
    if (!x.self_conjugate(n)) {
      m = y.in_full_block(c, z.s);
      l = z.in_full_block(c, 1);
      return;
    }
    m = y.in_half_block(c, z_half(), z.s);
    l = y.self_conjugate(m) ? static_cast<std::int64_t>(c) : z.in_full_block(c, 1);
  }
  // Whether (n, m, l) is its own conjugate, whose term stands for itself alone.
  bool self_conjugate(std::int64_t n, std::int64_t m, std::int64_t l) const noexcept {
    return x.self_conjugate(n) && y.self_conjugate(m) && z.self_conjugate(l);
  }

 private:
  std::uint64_t z_half() const noexcept { return static_cast<std::uint64_t>(z.h()) + 1; }
  std::uint64_t yz_half() const noexcept { return y.half_block(z_half(), z.s); }
  std::uint64_t yz_full() const noexcept { return y.s * z.s; }
};

// cos and sin of θ, remembered by θ's bits. The fractions of a regular grid
// repeat heavily, so most θ of a bake have been seen before; a hit returns
// exactly what the library call returned for the same argument.
class SinCosCache {
 public:
  // Room for about four entries per grid point, between 2^10 and 2^16.
  explicit SinCosCache(std::uint64_t points)
      : bits_(std::clamp(static_cast<int>(std::bit_width(points)) + 2, 10, 16)),
        slots_(std::size_t{1} << bits_) {}

  void get(double theta, double& c, double& s) noexcept {
    const std::uint64_t key = std::bit_cast<std::uint64_t>(theta);
    Slot& slot = slots_[(key * 0x9E3779B97F4A7C15ULL) >> (64 - bits_)];
    if (slot.key != key) {
      slot.key = key;
      slot.c = std::cos(theta);
      slot.s = std::sin(theta);
    }
    c = slot.c;
    s = slot.s;
  }

 private:
  struct Slot {
    std::uint64_t key = 0x7FF8DEADBEEF0001ULL;  // a NaN: θ is always finite
    double c = 0.0, s = 0.0;
  };
  int bits_;
  std::vector<Slot> slots_;
};

// One worker's share of the transform. Coefficients are independent; each is
// summed over the grid in i, j, k order, so the result does not depend on
// which worker computes it.
class Transform {
 public:
  Transform(const std::vector<double>& grid, const GridSize& size, const Frequencies& freq)
      : g_(grid),
        size_(size),
        freq_(freq),
        points_(static_cast<double>(size[0] * size[1] * size[2])),
        tx_(size[0]),
        ty_(size[1]),
        tz_(size[2]),
        cache_(size[0] * size[1] * size[2]) {}

  // Polls for an interrupt within a coefficient too: on a large grid one
  // takes long.
  void coefficient(std::uint64_t c, FourierCoefficient& out) {
    std::int64_t n, m, l;
    freq_.at(c, n, m, l);
    fill(tx_, size_[0], n, last_n_);
    fill(ty_, size_[1], m, last_m_);
    fill(tz_, size_[2], l, last_l_);
    const std::size_t nx = size_[0], ny = size_[1], nz = size_[2];
    const double* g = g_.data();
    double re = 0.0, im = 0.0;
    double cs, sn;
    for (std::size_t i = 0; i < nx; ++i) {
      meter_.add(ny * nz);
      for (std::size_t j = 0; j < ny; ++j) {
        const double ij = ty_[j] + tx_[i];
        const double* row = g + (i * ny + j) * nz;
        // Adding g·cos θ with g = 0 leaves the sums as they are (they start
        // at +0.0, so they are never -0.0), so zero samples are skipped.
        if (l == 0) {
          cache_.get((tz_[0] + ij) * kNegTwoPi, cs, sn);
          for (std::size_t k = 0; k < nz; ++k) {
            const double v = row[k];
            if (v == 0.0) continue;
            re += v * cs;
            im += v * sn;
          }
          continue;
        }
        for (std::size_t k = 0; k < nz; ++k) {
          const double v = row[k];
          if (v == 0.0) continue;
          cache_.get((tz_[k] + ij) * kNegTwoPi, cs, sn);
          re += v * cs;
          im += v * sn;
        }
      }
    }
    // A conjugate pair's two terms are equal: this one stands for both,
    // unless the frequency is its own conjugate.
    const double terms = freq_.self_conjugate(n, m, l) ? 1.0 : 2.0;
    out.amplitude = terms * std::sqrt(re * re + im * im) / points_;
    out.phase = std::atan2(im, re);
    out.n = static_cast<std::int32_t>(n);
    out.m = static_cast<std::int32_t>(m);
    out.l = static_cast<std::int32_t>(l);
  }

 private:
  // table[idx] = (idx · freq) / count, formed in double precision. The
  // tables are sized up front: nothing allocates while workers run.
  static void fill(std::vector<double>& table, std::size_t count, std::int64_t freq, std::int64_t& last) {
    if (last == freq) return;
    const double f = static_cast<double>(freq), d = static_cast<double>(count);
    for (std::size_t idx = 0; idx < count; ++idx) table[idx] = (static_cast<double>(idx) * f) / d;
    last = freq;
  }

  const std::vector<double>& g_;
  GridSize size_;
  Frequencies freq_;
  double points_;  // N
  std::vector<double> tx_, ty_, tz_;
  // No frequency is this small: the tables start empty.
  std::int64_t last_n_ = kNoFreq, last_m_ = kNoFreq, last_l_ = kNoFreq;
  SinCosCache cache_;
  PollMeter meter_{std::uint64_t{1} << 18};
};

// Fills out[c] with the coefficient at position first + c of the
// enumeration, for every c, spread over worker_count() threads, the calling
// thread being one of them.
void transform_run(const std::vector<double>& grid, const GridSize& size, const Frequencies& freq,
                   std::uint64_t first, std::vector<FourierCoefficient>& out) {
  const std::uint64_t count = out.size();
  if (count == 0) return;
  const std::uint64_t points = size[0] * size[1] * size[2];
  // Coefficients per claim: enough work per claim to amortise the counter.
  const std::uint64_t chunk = std::max<std::uint64_t>(1, 32768 / points);
  // Small transforms are not worth starting threads for.
  const double terms = static_cast<double>(count) * static_cast<double>(points);
  const unsigned workers = chunk_workers(terms < 262144.0 ? 1u : worker_count(), count, chunk);
  // Each worker's state is built here, so allocation failures surface on the
  // calling thread.
  std::vector<Transform> state;
  state.reserve(workers);
  for (unsigned w = 0; w < workers; ++w) state.emplace_back(grid, size, freq);
  parallel_chunks_indexed(workers, count, chunk, [&](unsigned w, std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t c = begin; c < end; ++c) state[w].coefficient(first + c, out[c]);
  });
}

// Samples the property at the cell centres of the bake grid into `grid`
// ([i][j][k], x outermost) and returns the domain's extents and the mean of
// the samples, summed in that order. A sample that fails counts as 0.0; when
// every one fails the bake would describe nothing, and the failure at grid
// point (0, 0, 0) is reported.
struct Sampled {
  std::array<double, 3> domain_size_m{};
  double mean = 0.0;
};
Sampled sample_grid(std::string_view entry_name, std::string_view property, const Box& bounds,
                    const GridSize& grid_size, std::span<double> grid) {
  const std::uint64_t nx = grid_size[0], ny = grid_size[1], nz = grid_size[2];
  Sampled out;
  std::array<double, 3> cell{};
  for (std::size_t a = 0; a < 3; ++a) {
    const double d = bounds[1][a] - bounds[0][a];
    out.domain_size_m[a] = d > kMinExtent ? d : kMinExtent;  // an inverted axis or NaN gets the floor
    cell[a] = out.domain_size_m[a] / static_cast<double>(grid_size[a]);
  }
  const double scale = min_skip_nan(min_skip_nan(cell[0], cell[1]), cell[2]);
  std::array<std::vector<double>, 3> coord;
  for (std::size_t a = 0; a < 3; ++a) {
    coord[a].resize(grid_size[a]);
    for (std::uint64_t idx = 0; idx < grid_size[a]; ++idx)
      coord[a][idx] = (static_cast<double>(idx) + 0.5) * cell[a] + bounds[0][a];
  }

  // One resolution of the entry and its model for the whole grid; slabs of
  // constant i are sampled in parallel, then summed in grid order.
  const sample::PropertySampler sampler(sample::ResolvedEntry::resolve(entry_name), property, scale);
  std::atomic<bool> any{false};
  const std::uint64_t slab = ny * nz;
  parallel_chunks(nx, std::max<std::uint64_t>(1, kSamplesPerChunk / slab),
                  [&](std::uint64_t b, std::uint64_t e) {
                    bool found = false;
                    std::size_t at = static_cast<std::size_t>(b * slab);
                    for (std::uint64_t i = b; i < e; ++i)
                      for (std::uint64_t j = 0; j < ny; ++j)
                        for (std::uint64_t k = 0; k < nz; ++k, ++at) {
                          const std::optional<double> v = sampler.at({coord[0][i], coord[1][j], coord[2][k]});
                          found = found || v;
                          grid[at] = v.value_or(0.0);
                        }
                    if (found) any.store(true, std::memory_order_relaxed);
                  });
  if (!any.load(std::memory_order_relaxed)) sampler.raise_at({coord[0][0], coord[1][0], coord[2][0]});
  double sum = 0.0;
  for (const double v : grid) sum += v;
  out.mean = sum / static_cast<double>(nx * ny * nz);
  return out;
}

// The coefficients at positions [first, first + count) of a validated
// grid's enumeration, untruncated, and the grid's mean and extents. Throws
// bad_alloc when one of its buffers cannot be allocated.
struct Transformed {
  Sampled sampled;
  std::vector<FourierCoefficient> coefficients;
};
Transformed transform(std::string_view entry_name, std::string_view property, const Box& bounds,
                      const GridSize& grid_size, const Frequencies& freq, std::uint64_t first,
                      std::uint64_t count) {
  const std::uint64_t total = grid_size[0] * grid_size[1] * grid_size[2];
  std::vector<double> grid(static_cast<std::size_t>(total), 0.0);
  Transformed out{{}, std::vector<FourierCoefficient>(static_cast<std::size_t>(count))};
  out.sampled = sample_grid(entry_name, property, bounds, grid_size, grid);
  for (double& v : grid) v -= out.sampled.mean;
  transform_run(grid, grid_size, freq, first, out.coefficients);
  return out;
}

// The bake of a validated grid. Throws bad_alloc when one of its buffers
// cannot be allocated.
FourierFieldConfig bake(std::string_view entry_name, std::string_view property, const Box& bounds,
                        const GridSize& grid_size, double truncate_threshold, const Frequencies& freq) {
  Transformed all = transform(entry_name, property, bounds, grid_size, freq, 0, freq.count());
  FourierFieldConfig out;
  out.property_name = std::string(property);
  out.domain_size_m = all.sampled.domain_size_m;
  out.base_value = all.sampled.mean;
  std::vector<FourierCoefficient>& coeffs = all.coefficients;

  double largest = 0.0;
  for (const FourierCoefficient& fc : coeffs)
    if (fc.amplitude > largest) largest = fc.amplitude;  // a NaN never replaces it
  double cutoff = largest > 0.0 ? truncate_threshold * largest : 0.0;
  // 0 · ∞ (threshold 0 with an infinite amplitude) keeps everything, as a
  // threshold of 0 does for every finite spectrum.
  if (std::isnan(cutoff)) cutoff = 0.0;
  std::erase_if(coeffs, [cutoff](const FourierCoefficient& fc) { return !(fc.amplitude >= cutoff); });
  out.coefficients = std::move(coeffs);
  return out;
}

// The checks of the names and the grid that every bake makes first.
void check_names_and_grid(std::string_view entry_name, std::string_view property, const GridSize& grid_size) {
  if (entry_name.empty()) fail("entry_name must not be empty");
  if (property.empty()) fail("property must not be empty");
  if (grid_size[0] == 0 || grid_size[1] == 0 || grid_size[2] == 0)
    fail("grid_size must be non-zero in all dimensions");
}

// The grid's point count; too_large() when it cannot be indexed or its
// frequency indices would not fit in 32 bits.
std::uint64_t checked_points(const GridSize& grid_size) {
  const std::uint64_t nx = grid_size[0], ny = grid_size[1], nz = grid_size[2];
  const std::optional<std::size_t> cells = grid_cells<double>(nx, ny, nz);
  if (!cells) too_large();
  if (nx / 2 > kMaxHalf || ny / 2 > kMaxHalf || nz / 2 > kMaxHalf) too_large();
  return *cells;
}

}  // namespace

FourierFieldConfig bake_fourier(std::string_view entry_name, std::string_view property, const Box& bounds,
                                const GridSize& grid_size, double truncate_threshold) {
  check_names_and_grid(entry_name, property, grid_size);
  if (!std::isfinite(truncate_threshold) || truncate_threshold < 0.0)
    fail("truncate_threshold must be a non-negative finite value");

  const std::uint64_t total = checked_points(grid_size);
  const Frequencies freq{{grid_size[0]}, {grid_size[1]}, {grid_size[2]}};
  const std::uint64_t count = freq.count();  // below `total`
  // The sample grid and the coefficient list are the bake's large buffers.
  if (!fits_in_memory(total * sizeof(double) + count * sizeof(FourierCoefficient), 1)) too_large();

  try {
    return bake(entry_name, property, bounds, grid_size, truncate_threshold, freq);
  } catch (const std::bad_alloc&) {
    too_large();  // every allocation of the bake is sized by the grid
  }
}

BakePart bake_part(std::string_view entry_name, std::string_view property, const Box& bounds,
                   const GridSize& grid_size, std::uint64_t part, std::uint64_t parts) {
  check_names_and_grid(entry_name, property, grid_size);
  if (part >= parts) fail("part must be below parts");
  const std::uint64_t total = checked_points(grid_size);
  const Frequencies freq{{grid_size[0]}, {grid_size[1]}, {grid_size[2]}};
  // count · parts may not fit in 64 bits; the bounds themselves do.
  const auto bound = [&](std::uint64_t p) {
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(freq.count()) * p / parts);
  };
  const std::uint64_t first = bound(part), count = bound(part + 1) - first;
  if (!fits_in_memory(total * sizeof(double) + count * sizeof(FourierCoefficient), 1)) too_large();

  try {
    Transformed run = transform(entry_name, property, bounds, grid_size, freq, first, count);
    return {run.sampled.mean, run.sampled.domain_size_m, std::move(run.coefficients)};
  } catch (const std::bad_alloc&) {
    too_large();
  }
}

BakeSamples bake_samples(std::string_view entry_name, std::string_view property, const Box& bounds,
                         const GridSize& grid_size) {
  check_names_and_grid(entry_name, property, grid_size);
  (void)checked_points(grid_size);
  BakeSamples out;
  try {
    out.samples = Array<double>({grid_size[0], grid_size[1], grid_size[2]});
  } catch (const std::bad_alloc&) {
    too_large();
  }
  const Sampled sampled =
      sample_grid(entry_name, property, bounds, grid_size, {out.samples.data(), out.samples.size()});
  out.base_value = sampled.mean;
  out.domain_size_m = sampled.domain_size_m;
  return out;
}

}  // namespace lvx::fourier_bake
