// Point sampling: py_sample.
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_sample[] =
    "py_sample(name, property, at=None, scale_m=None)\n--\n\n"
    "Native twin of `lumivarex.sample.sample`: the value of a property at a point.\n\n"
    "`at` is `(x, y, z)` or `None`; `scale_m` is a float or `None`.";

PyObject* py_sample(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_sample"); }

}  // namespace lvx::py
