// Fourier bake: py_bake_fourier.
#include "fourier_bake/fourier_bake.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_bake_fourier[] =
    "py_bake_fourier(entry_name, property, bounds, grid_size, truncate_threshold=0.01)\n--\n\n"
    "Bake a material property into a Fourier expansion.\n"
    "Returns a dict: {property_name, base_value, domain_size_m, coefficients, boundary_condition}\n"
    "where coefficients is a list of {n, m, l, amplitude, phase}.";

namespace {

fourier_bake::GridSize to_grid_size(PyObject* o) {
  constexpr const char* arg = "grid_size";
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 3)
    argument_error(arg, "expected a tuple of 3 non-negative ints, got " + type_name(o));
  fourier_bake::GridSize g{};
  for (Py_ssize_t i = 0; i < 3; ++i) g[static_cast<std::size_t>(i)] = to_u64(PyTuple_GET_ITEM(o, i), arg);
  return g;
}

bool set(PyObject* dict, PyObject* key, Ref value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* py_bake_fourier(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{
        "py_bake_fourier", {"entry_name", "property", "bounds", "grid_size", "truncate_threshold"}, 4};
    Bound<5> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view entry_name = to_str(a[0], "entry_name");
    const std::string_view property = to_str(a[1], "property");
    const Box bounds = to_bounds(a[2], "bounds");
    const fourier_bake::GridSize grid = to_grid_size(a[3]);
    const double threshold = a[4] ? to_f64(a[4], "truncate_threshold") : 0.01;

    const fourier_bake::FourierFieldConfig cfg =
        fourier_bake::bake_fourier(entry_name, property, bounds, grid, threshold);

    Ref k_n = new_str("n"), k_m = new_str("m"), k_l = new_str("l"), k_amp = new_str("amplitude"),
        k_phase = new_str("phase");
    if (!k_n || !k_m || !k_l || !k_amp || !k_phase) return nullptr;
    Ref coeffs(PyList_New(static_cast<Py_ssize_t>(cfg.coefficients.size())));
    if (!coeffs) return nullptr;
    for (std::size_t i = 0; i < cfg.coefficients.size(); ++i) {
      const fourier_bake::FourierCoefficient& c = cfg.coefficients[i];
      Ref item(PyDict_New());
      if (!item || !set(item.get(), k_n.get(), Ref(PyLong_FromLong(c.n))) ||
          !set(item.get(), k_m.get(), Ref(PyLong_FromLong(c.m))) ||
          !set(item.get(), k_l.get(), Ref(PyLong_FromLong(c.l))) ||
          !set(item.get(), k_amp.get(), new_float(c.amplitude)) ||
          !set(item.get(), k_phase.get(), new_float(c.phase)))
        return nullptr;
      PyList_SET_ITEM(coeffs.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    Ref domain(PyList_New(3));
    if (!domain) return nullptr;
    for (Py_ssize_t i = 0; i < 3; ++i) {
      Ref v = new_float(cfg.domain_size_m[static_cast<std::size_t>(i)]);
      if (!v) return nullptr;
      PyList_SET_ITEM(domain.get(), i, v.release());
    }
    Ref result(PyDict_New());
    if (!result) return nullptr;
    const auto put = [&](const char* key, Ref value) {
      return value && PyDict_SetItemString(result.get(), key, value.get()) == 0;
    };
    if (!put("property_name", new_str(cfg.property_name)) || !put("base_value", new_float(cfg.base_value)) ||
        !put("domain_size_m", std::move(domain)) || !put("coefficients", std::move(coeffs)) ||
        !put("boundary_condition", new_str(cfg.boundary_condition)))
      return nullptr;
    return result.release();
  });
}

}  // namespace lvx::py
