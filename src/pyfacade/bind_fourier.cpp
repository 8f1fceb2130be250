// Fourier bake: py_bake_fourier.
#include "fourier_bake/fourier_bake.hpp"
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
      const std::string_view entry_name = a.str(0), property = a.str(1);
      const Box bounds = a.get(2, to_bounds);
      const fourier_bake::GridSize grid = a.get(3, to_grid_size);
      const double threshold = a.f64(4);
      // From some 500 points the transform takes milliseconds (its work grows
      // with their square) and starts workers.
      std::uint64_t points = 0;
      const bool long_work = __builtin_mul_overflow(grid[0], grid[1], &points) ||
                             __builtin_mul_overflow(points, grid[2], &points) || points >= 512;
      return bake_to_py(released(long_work, [&] {
        return fourier_bake::bake_fourier(entry_name, property, bounds, grid, threshold);
      }));
    }};

}  // namespace lvx::py
