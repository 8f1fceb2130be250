// Alloy optimiser: py_optimize_alloy.
#include "alloy/alloy.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

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

std::vector<alloy::AlloyTarget> to_targets(PyObject* o, const char* arg) {
  auto target = [](PyObject* item) -> std::optional<alloy::AlloyTarget> {
    if (!PyDict_Check(item)) return std::nullopt;
    return read_target(item);
  };
  return to_list<alloy::AlloyTarget>(o, arg, "dicts", target);
}

RecordKeys kCandidateKeys{"composition", "estimated_properties", "score"};

Ref candidates_to_py(const std::vector<alloy::AlloyCandidate>& found) {
  RecordList out(kCandidateKeys, found.size());
  const Ref tpl = record(kCandidateKeys);
  for (const alloy::AlloyCandidate& c : found)
    out.add(tpl, dict_of(c.composition), dict_of(c.estimated_properties), c.score);
  return out.release();
}

}  // namespace

const Binding py_optimize_alloy{
    .name = "py_optimize_alloy",
    .params = {{"targets"},
               {"base"},
               {"alloying_pool", "None"},
               {"n_candidates", "1000"},
               {"top_k", "5"},
               {"seed", "None"}},
    .description =
        "Native twin of `lumivarex.optimize.optimize_alloy`: seeded random search for alloy "
        "compositions.\n\n"
        "`targets` — list of dicts with keys: property (str), min_value (float|None),\n"
        "  max_value (float|None), weight (float).\n"
        "Returns list of dicts: {composition, estimated_properties, score}.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::vector<alloy::AlloyTarget> targets = a.get(0, to_targets);
      const std::string_view base = a.str(1);
      const std::vector<std::string> pool = a.opt(2, to_str_list).value_or(std::vector<std::string>{});
      const std::uint64_t n_candidates = a.u64(3), top_k = a.u64(4);
      const std::optional<std::uint64_t> seed = a.opt(5, to_u64);
      return candidates_to_py(released(n_candidates >= 16384, [&] {
        return alloy::optimize_alloy(targets, base, pool, n_candidates, top_k, seed);
      }));
    }};

}  // namespace lvx::py
