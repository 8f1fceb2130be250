// Point sampling and the size of the voxel grid: py_sample, py_voxel_counts.
#include "pyfacade/functions.hpp"
#include "sample/sample.hpp"
#include "sample/voxel.hpp"

namespace lvx::py {

const char DOC_py_sample[] =
    "py_sample(name, property, at=None, scale_m=None)\n--\n\n"
    "Native twin of `lumivarex.sample.sample`: the value of a property at a "
    "point.\n\n"
    "`at` is `(x, y, z)` or `None`; `scale_m` is a float or `None`.";

PyObject* py_sample(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_KeyError, [&]() -> PyObject* {
    static const Signature sig{"py_sample", {"name", "property", "at", "scale_m"}, 2};
    Bound<4> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view name = to_str(a[0], "name");
    const std::string_view property = to_str(a[1], "property");
    std::optional<Point> at;
    if (a.has(2)) at = to_point3(a[2], "at");
    const std::optional<double> scale_m = to_opt_f64(a[3], "scale_m");
    if (name.empty()) panic("py_sample: name must be non-empty");
    if (property.empty()) panic("py_sample: property must be non-empty");
    return new_float(sample::sample(name, property, at, scale_m)).release();
  });
}

const char DOC_py_voxel_counts[] =
    "py_voxel_counts(bounds, voxel_size)\n--\n\n"
    "Voxels per axis, (nx, ny, nz), of the grid every export builds over the box.";

PyObject* py_voxel_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{"py_voxel_counts", {"bounds", "voxel_size"}, 2};
    Bound<2> a;
    bind(sig, args, nargs, kw, a);
    const Box bounds = to_bounds(a[0], "bounds");
    const double voxel_size = to_f64(a[1], "voxel_size");
    if (!(voxel_size > 0.0)) fail("voxel_counts: voxel_size must be positive");
    Ref counts(PyTuple_New(3));
    if (!counts) return nullptr;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      PyObject* n =
          PyLong_FromUnsignedLongLong(sample::axis_count(bounds[0][axis], bounds[1][axis], voxel_size));
      if (!n) return nullptr;
      PyTuple_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(axis), n);
    }
    return counts.release();
  });
}

}  // namespace lvx::py
