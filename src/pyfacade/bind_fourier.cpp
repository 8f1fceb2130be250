// Fourier bake: py_bake_fourier.
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_bake_fourier[] =
    "py_bake_fourier(entry_name, property, bounds, grid_size, truncate_threshold=0.01)\n--\n\n"
    "Bake a material property into a Fourier expansion.\n"
    "Returns a dict: {property_name, base_value, domain_size_m, coefficients, boundary_condition}\n"
    "where coefficients is a list of {n, m, l, amplitude, phase}.";

PyObject* py_bake_fourier(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_bake_fourier"); }

}  // namespace lvx::py
