// Fourier bake: one property of an entry, sampled over a box taken as one
// period, turned into its mean plus a truncated list of 3-D discrete Fourier
// coefficients of the fluctuation around that mean.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/array.hpp"
#include "core/geometry.hpp"

namespace lvx::fourier_bake {

struct FourierCoefficient {
  double amplitude = 0.0;  // 2·|F| / N; |F| / N for a self-conjugate (n, m, l)
  double phase = 0.0;      // arg F, radians
  std::int32_t n = 0, m = 0, l = 0;
};

struct FourierFieldConfig {
  std::string property_name;
  double base_value = 0.0;
  std::array<double, 3> domain_size_m{};
  std::vector<FourierCoefficient> coefficients;  // enumeration order
  std::string boundary_condition = "periodic";
};

using GridSize = std::array<std::uint64_t, 3>;

// Throws OpError for invalid arguments and for grids too large to index or
// allocate ("grid_size is too large"). A failed sample counts as 0.0; when
// every sample fails, the failure at grid point (0, 0, 0) is thrown.
FourierFieldConfig bake_fourier(std::string_view entry_name, std::string_view property, const Box& bounds,
                                const GridSize& grid_size, double truncate_threshold);

// What bake_fourier transforms: the samples at the cell centres of the bake
// grid, [nx][ny][nz] (x outermost), their mean as base_value, and the
// domain's extents. Same checks and errors as bake_fourier but for the
// threshold, which it does not take.
struct BakeSamples {
  Array<double> samples;
  double base_value = 0.0;
  std::array<double, 3> domain_size_m{};
};
BakeSamples bake_samples(std::string_view entry_name, std::string_view property, const Box& bounds,
                         const GridSize& grid_size);

// Run `part` of `parts` equal runs of bake_fourier's coefficients, in its
// order and before truncation, with its base_value and extents: run p holds
// positions [count·p / parts, count·(p + 1) / parts) of the enumeration. The
// runs are computed with the bake's own arithmetic, so that, computed apart
// (in other processes) and joined in order, they are exactly the list
// bake_fourier truncates. Same checks and errors as bake_samples, and
// OpError "part must be below parts".
struct BakePart {
  double base_value = 0.0;
  std::array<double, 3> domain_size_m{};
  std::vector<FourierCoefficient> coefficients;
};
BakePart bake_part(std::string_view entry_name, std::string_view property, const Box& bounds,
                   const GridSize& grid_size, std::uint64_t part, std::uint64_t parts);

}  // namespace lvx::fourier_bake
