// Point sampling: py_sample.
#include "pyfacade/functions.hpp"
#include "sample/sample.hpp"

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
    std::optional<sample::Point> at;
    if (a.has(2)) at = to_point3(a[2], "at");
    const std::optional<double> scale_m = to_opt_f64(a[3], "scale_m");
    if (name.empty()) panic("py_sample: name must be non-empty");
    if (property.empty()) panic("py_sample: property must be non-empty");
    return new_float(sample::sample(name, property, at, scale_m)).release();
  });
}

}  // namespace lvx::py
