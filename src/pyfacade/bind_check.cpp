// The datasheet check behind `lumivarex validate`: the import's own verdict
// on one file, so that the command judges files exactly as the import reads them.
#include "loader/data_loader.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_check_datasheet[] =
    "py_check_datasheet(path)\n--\n\n"
    "The import's verdict on the file at `path` (str, bytes or path-like) as an\n"
    "entry of a tier folder: its name, its kind (a regular file, links followed),\n"
    "its text and its JSON, by the rules the import applies.\n\n"
    "Returns `None` when the import would load the file, else the reason it\n"
    "skips it.";

PyObject* py_check_datasheet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{"py_check_datasheet", {"path"}, 1};
    Bound<1> a;
    bind(sig, args, nargs, kw, a);
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(a[0], &raw)) argument_error("path");
    Ref bytes(raw);
    const std::string path(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
    const auto reason = data_loader::check_datasheet(path);
    if (!reason) Py_RETURN_NONE;
    // A JSON error quotes the bytes it stopped at, which need not be UTF-8.
    return PyUnicode_DecodeUTF8(reason->data(), static_cast<Py_ssize_t>(reason->size()), "replace");
  });
}

}  // namespace lvx::py
