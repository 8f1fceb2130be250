// Alloy optimiser: py_optimize_alloy.
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_optimize_alloy[] =
    "py_optimize_alloy(targets, base, alloying_pool=None, n_candidates=1000, top_k=5, seed=None)\n--\n\n"
    "Native twin of `lumivarex.optimize.optimize_alloy`: seeded random search for alloy compositions.\n\n"
    "`targets` — list of dicts with keys: property (str), min_value (float|None),\n"
    "  max_value (float|None), weight (float).\n"
    "Returns list of dicts: {composition, estimated_properties, score}.";

PyObject* py_optimize_alloy(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_optimize_alloy"); }

}  // namespace lvx::py
