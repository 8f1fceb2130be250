// Point sampling and the size of the voxel grid: py_sample, py_voxel_counts.
#include "pyfacade/functions.hpp"
#include "sample/sample.hpp"
#include "sample/voxel.hpp"

namespace lvx::py {

const Binding py_sample{
    .name = "py_sample",
    .params = {{"name"}, {"property"}, {"at", "None"}, {"scale_m", "None"}},
    .description =
        "Native twin of `lumivarex.sample.sample`: the value of a property at a point.\n\n"
        "`at` is `(x, y, z)` or `None`; `scale_m` is a float or `None`.",
    .errors = &PyExc_KeyError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0), property = a.str(1);
      const std::optional<Point> at = a.opt(2, to_point3);
      const std::optional<double> scale_m = a.opt(3, to_f64);
      return new_float(sample::sample(name, property, at, scale_m));
    }};

const Binding py_voxel_counts{
    .name = "py_voxel_counts",
    .params = {{"bounds"}, {"voxel_size"}},
    .description = "Voxels per axis, (nx, ny, nz), of the grid every export builds over the box.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const Box bounds = a.get(0, to_bounds);
      const std::array<std::uint64_t, 3> n = sample::voxel_counts(bounds, a.f64(1));
      return tuple_of(n[0], n[1], n[2]);
    }};

}  // namespace lvx::py
