// Point sampling and the size of the voxel grid: py_sample, py_voxel_counts;
// their array forms: py_sample_points, py_phase_map, py_property_field.
#include "pyfacade/arrays.hpp"
#include "pyfacade/functions.hpp"
#include "sample/field.hpp"
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

// ------------------------------------------------------------ arrays

const Binding py_sample_points{
    .name = "py_sample_points",
    .params = {{"name"}, {"property"}, {"points"}, {"scale_m", "None"}},
    .description =
        "`py_sample` at many points in one call: `points` is an (N, 3) array of any\n"
        "real number type, strides and byte order, or a sequence of (x, y, z), in\n"
        "metres. Returns a float64 memoryview of shape (N,); element i is exactly\n"
        "`py_sample(name, property, points[i], scale_m)`. Raises KeyError like\n"
        "`py_sample`, for the first point that fails.",
    .errors = &PyExc_KeyError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0), property = a.str(1);
      const Array<Point> points = a.get(2, to_rows<3>);
      const std::optional<double> scale_m = a.opt(3, to_f64);
      Array<double> values = released(points.size() >= 16384, [&] {
        return sample::sample_points(name, property, points.elements(), scale_m);
      });
      return array_to_py(std::move(values));
    }};

const Binding py_phase_map{
    .name = "py_phase_map",
    .params =
        {{"name"}, {"bounds"}, {"voxel_size"}, {"scale_m", "None"}, {"start", "None"}, {"shape", "None"}},
    .description =
        "The voxel phase map every export builds, as an array: returns\n"
        "`(phase_ids, phase_names)`, phase_ids a memoryview in C order [z, y, x] of the\n"
        "smallest unsigned type that holds every index (uint8, uint16 or uint32).\n"
        "`start` and `shape`, both (z, y, x) in voxels, select a block of the whole\n"
        "box's grid (default: all of it); a block equals the same slice of the whole\n"
        "map. Raises ValueError.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0);
      const GridArgs grid = to_grid_args(a, 1);
      const std::optional<sample::ZYX> start = a.opt(4, to_zyx), shape = a.opt(5, to_zyx);
      sample::PhaseBlock map = released(
          [&] { return sample::phase_map(name, grid.bounds, grid.voxel_size, grid.scale_m, start, shape); });
      return tuple_of(array_to_py(std::move(map.ids)), list_of(map.phase_names));
    }};

const Binding py_property_field{
    .name = "py_property_field",
    .params = {{"name"},
               {"property"},
               {"bounds"},
               {"voxel_size"},
               {"scale_m", "None"},
               {"start", "None"},
               {"shape", "None"}},
    .description =
        "A property at the voxel centres of the box's grid, or of a block of it\n"
        "(`start`, `shape` as for `py_phase_map`): a float64 memoryview in C order\n"
        "[z, y, x] holding the values `py_export_vtk_legacy` writes (0.0 where a\n"
        "sample fails). Raises ValueError, also when the property can be sampled\n"
        "nowhere.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view name = a.str(0), property = a.str(1);
      const GridArgs grid = to_grid_args(a, 2);
      const std::optional<sample::ZYX> start = a.opt(5, to_zyx), shape = a.opt(6, to_zyx);
      Array<double> field = released([&] {
        return sample::property_field(name, property, grid.bounds, grid.voxel_size, grid.scale_m, start, shape);
      });
      return array_to_py(std::move(field));
    }};

}  // namespace lvx::py
