// Alloy optimiser: py_optimize_alloy.
#include "alloy/alloy.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_optimize_alloy[] =
    "py_optimize_alloy(targets, base, alloying_pool=None, n_candidates=1000, top_k=5, seed=None)\n--\n\n"
    "Native twin of `lumivarex.optimize.optimize_alloy`: seeded random search for alloy compositions.\n\n"
    "`targets` — list of dicts with keys: property (str), min_value (float|None),\n"
    "  max_value (float|None), weight (float).\n"
    "Returns list of dicts: {composition, estimated_properties, score}.";

namespace {

// A bound as the interpreter's float conversion gives it; missing, None or
// unconvertible values leave it absent (the conversion error is dropped).
std::optional<double> target_number(PyObject* dict, const char* key) {
  // Held while converting: a __float__ may remove it from the dict.
  const Ref v = Ref::borrowed(PyDict_GetItemString(dict, key));
  if (!v || v.get() == Py_None) return std::nullopt;
  const double d = PyFloat_AsDouble(v.get());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return d;
}

alloy::AlloyTarget read_target(PyObject* dict) {
  alloy::AlloyTarget t;
  if (PyObject* p = PyDict_GetItemString(dict, "property"); p && PyUnicode_Check(p)) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(p, &len))
      t.property.assign(s, static_cast<std::size_t>(len));
    else
      PyErr_Clear();
  }
  t.min_value = target_number(dict, "min_value");
  t.max_value = target_number(dict, "max_value");
  t.weight = target_number(dict, "weight").value_or(1.0);
  return t;
}

std::vector<alloy::AlloyTarget> to_targets(PyObject* o) {
  auto target = [](PyObject* item) -> std::optional<alloy::AlloyTarget> {
    if (!PyDict_Check(item)) return std::nullopt;
    return read_target(item);
  };
  return to_list<alloy::AlloyTarget>(o, "targets", "dicts", target);
}

Ref pairs_to_dict(const std::vector<std::pair<std::string, double>>& pairs) {
  Ref dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : pairs) {
    Ref k = new_str(key);
    Ref v = new_float(value);
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return Ref();
  }
  return dict;
}

}  // namespace

PyObject* py_optimize_alloy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{
        "py_optimize_alloy", {"targets", "base", "alloying_pool", "n_candidates", "top_k", "seed"}, 2};
    Bound<6> a;
    bind(sig, args, nargs, kw, a);
    const std::vector<alloy::AlloyTarget> targets = to_targets(a[0]);
    const std::string_view base = to_str(a[1], "base");
    std::vector<std::string> pool;
    if (a.has(2)) pool = to_str_list(a[2], "alloying_pool");
    const std::uint64_t n_candidates = a[3] ? to_u64(a[3], "n_candidates") : 1000;
    const std::uint64_t top_k = a[4] ? to_u64(a[4], "top_k") : 5;
    std::optional<std::uint64_t> seed;
    if (a.has(5)) seed = to_u64(a[5], "seed");

    const std::vector<alloy::AlloyCandidate> found =
        alloy::optimize_alloy(targets, base, pool, n_candidates, top_k, seed);

    Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < found.size(); ++i) {
      Ref item(PyDict_New());
      if (!item) return nullptr;
      Ref composition = pairs_to_dict(found[i].composition);
      if (!composition || PyDict_SetItemString(item.get(), "composition", composition.get()) < 0)
        return nullptr;
      Ref estimated = pairs_to_dict(found[i].estimated_properties);
      if (!estimated || PyDict_SetItemString(item.get(), "estimated_properties", estimated.get()) < 0)
        return nullptr;
      Ref score = new_float(found[i].score);
      if (!score || PyDict_SetItemString(item.get(), "score", score.get()) < 0) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

}  // namespace lvx::py
