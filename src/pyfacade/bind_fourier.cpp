// Fourier bake: py_bake_fourier, the samples it transforms, and runs of its
// coefficients computed apart.
#include "fourier_bake/fourier_bake.hpp"
#include "pyfacade/arrays.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

namespace {

fourier_bake::GridSize to_grid_size(PyObject* o, const char* arg) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 3)
    argument_error(arg, "expected a tuple of 3 non-negative ints, got " + type_name(o));
  fourier_bake::GridSize g{};
  for (Py_ssize_t i = 0; i < 3; ++i) g[static_cast<std::size_t>(i)] = to_u64(PyTuple_GET_ITEM(o, i), arg);
  return g;
}

// The arguments both bakes start with, converted in their order.
struct BakeArgs {
  std::string_view entry_name, property;
  Box bounds;
  fourier_bake::GridSize grid;
};
BakeArgs to_bake_args(const Args& a) {
  BakeArgs b;
  b.entry_name = a.str(0);
  b.property = a.str(1);
  b.bounds = a.get(2, to_bounds);
  b.grid = a.get(3, to_grid_size);
  return b;
}

// From some 500 points the transform takes milliseconds (its work grows with
// their square) and starts workers: worth releasing the interpreter for.
bool long_bake(const fourier_bake::GridSize& grid) {
  std::uint64_t points = 0;
  return __builtin_mul_overflow(grid[0], grid[1], &points) || __builtin_mul_overflow(points, grid[2], &points) ||
         points >= 512;
}

RecordKeys kCoefficientKeys{"n", "m", "l", "amplitude", "phase"};
RecordKeys kBakeKeys{"property_name", "base_value", "domain_size_m", "coefficients", "boundary_condition"};

Ref bake_to_py(const fourier_bake::FourierFieldConfig& cfg) {
  RecordList coefficients(kCoefficientKeys, cfg.coefficients.size());
  const Ref tpl = record(kCoefficientKeys);
  for (const fourier_bake::FourierCoefficient& c : cfg.coefficients)
    coefficients.add(tpl, c.n, c.m, c.l, c.amplitude, c.phase);
  return record(kBakeKeys, cfg.property_name, cfg.base_value, list_of(cfg.domain_size_m),
                coefficients.release(), cfg.boundary_condition);
}

}  // namespace

const Binding py_bake_fourier{
    .name = "py_bake_fourier",
    .params = {{"entry_name"}, {"property"}, {"bounds"}, {"grid_size"}, {"truncate_threshold", "0.01"}},
    .description =
        "Bake a material property into a Fourier expansion.\n"
        "Returns a dict: {property_name, base_value, domain_size_m, coefficients, boundary_condition}\n"
        "where coefficients is a list of {n, m, l, amplitude, phase}.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const BakeArgs b = to_bake_args(a);
      const double threshold = a.f64(4);
      return bake_to_py(released(long_bake(b.grid), [&] {
        return fourier_bake::bake_fourier(b.entry_name, b.property, b.bounds, b.grid, threshold);
      }));
    }};

const Binding py_bake_samples{
    .name = "py_bake_samples",
    .params = {{"entry_name"}, {"property"}, {"bounds"}, {"grid_size"}},
    .description =
        "What `py_bake_fourier` transforms: `(samples, base_value, domain_size_m)`,\n"
        "samples a float64 memoryview of shape (nx, ny, nz), x outermost, holding the\n"
        "property at the cell centres of the bake grid (0.0 where a sample fails),\n"
        "base_value their mean and domain_size_m the box's extents. Raises ValueError\n"
        "as `py_bake_fourier` does.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const BakeArgs b = to_bake_args(a);
      fourier_bake::BakeSamples s = released(
          long_bake(b.grid), [&] { return fourier_bake::bake_samples(b.entry_name, b.property, b.bounds, b.grid); });
      return tuple_of(array_to_py(std::move(s.samples)), s.base_value, list_of(s.domain_size_m));
    }};

const Binding py_bake_part{
    .name = "py_bake_part",
    .params = {{"entry_name"}, {"property"}, {"bounds"}, {"grid_size"}, {"part"}, {"parts"}},
    .description =
        "Run `part` of `parts` equal runs of `py_bake_fourier`'s coefficients, in its\n"
        "order and before truncation: `(base_value, domain_size_m, frequencies,\n"
        "amplitude, phase)`, frequencies an int32 memoryview of shape (K, 3) holding\n"
        "(n, m, l), amplitude and phase float64 memoryviews of shape (K,). The runs of\n"
        "all parts, joined in order and truncated, are `py_bake_fourier`'s result\n"
        "exactly. Raises ValueError as `py_bake_fourier` does, and when part is not\n"
        "below parts.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const BakeArgs b = to_bake_args(a);
      const std::uint64_t part = a.u64(4), parts = a.u64(5);
      fourier_bake::BakePart run = released(long_bake(b.grid), [&] {
        return fourier_bake::bake_part(b.entry_name, b.property, b.bounds, b.grid, part, parts);
      });
      const std::size_t k = run.coefficients.size();
      Array<std::int32_t> frequencies({k, 3});
      Array<double> amplitude({k}), phase({k});
      for (std::size_t i = 0; i < k; ++i) {
        const fourier_bake::FourierCoefficient& c = run.coefficients[i];
        frequencies[3 * i] = c.n;
        frequencies[3 * i + 1] = c.m;
        frequencies[3 * i + 2] = c.l;
        amplitude[i] = c.amplitude;
        phase[i] = c.phase;
      }
      return tuple_of(run.base_value, list_of(run.domain_size_m), array_to_py(std::move(frequencies)),
                      array_to_py(std::move(amplitude)), array_to_py(std::move(phase)));
    }};

}  // namespace lvx::py
