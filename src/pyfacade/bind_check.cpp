// The datasheet check behind `lumivarex validate`: the import's own verdict
// on one file, so that the command judges files exactly as the import reads them.
#include "loader/data_loader.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

namespace {

// str, bytes or path-like, as the file system takes it (names need not be UTF-8).
std::string to_fs_path(PyObject* o, const char* arg) {
  PyObject* raw = nullptr;
  if (!PyUnicode_FSConverter(o, &raw)) argument_error(arg);
  Ref bytes(raw);
  return std::string(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
}

}  // namespace

const Binding py_check_datasheet{
    .name = "py_check_datasheet",
    .params = {{"path"}},
    .description =
        "The import's verdict on the file at `path` (str, bytes or path-like) as an\n"
        "entry of a tier folder: its name, its kind (a regular file, links followed),\n"
        "its text and its JSON, by the rules the import applies.\n\n"
        "Returns `None` when the import would load the file, else the reason it\n"
        "skips it.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const auto reason = data_loader::check_datasheet(a.get(0, to_fs_path));
      if (!reason) return Ref::borrowed(Py_None);
      // A JSON error quotes the bytes it stopped at, which need not be UTF-8.
      return Ref(PyUnicode_DecodeUTF8(reason->data(), static_cast<Py_ssize_t>(reason->size()), "replace"));
    }};

}  // namespace lvx::py
