// Registry functions: py_get, py_save, py_data_sheet, py_list_tiers.
#include "get/get.hpp"
#include "pyfacade/functions.hpp"
#include "sample/sample.hpp"

namespace lvx::py {

const char DOC_py_get[] =
    "py_get(spec, scope_str=None)\n--\n\n"
    "Native twin of `lumivarex.get.Get`: find a datasheet by name, symbol, alias or\n"
    "braces formula such as `{Fe=3, C=1}`.\n\n"
    "`scope_str` is the optional tier name (e.g. `\"atom\"`, `\"alloy\"`) or\n"
    "`None` for cross-tier search. Returns a Python `dict`.";

PyObject* py_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_KeyError, [&]() -> PyObject* {
    static const Signature sig{"py_get", {"spec", "scope_str"}, 1};
    Bound<2> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view query = to_str(a[0], "spec");
    get::Scope scope = get::Scope::all_tiers();
    if (a.has(1)) scope = get::str_to_scope(to_str(a[1], "scope_str"));
    const get::EntryPtr entry = get::get(query, scope);
    return value_to_py(*entry);
  });
}

const char DOC_py_save[] =
    "py_save(name, data_json, tier_str)\n--\n\n"
    "Native twin of `lumivarex.get.Save`: store a new or replacing datasheet in memory.\n\n"
    "`data_json` is a JSON-encoded string (the dict to store);\n"
    "`tier_str` is the tier name (e.g. `\"alloy\"`).\n"
    "Returns the previous entry dict if one was displaced, else `None`.";

PyObject* py_save(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{"py_save", {"name", "data_json", "tier_str"}, 3};
    Bound<3> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view name = to_str(a[0], "name");
    const std::string_view data = to_str(a[1], "data_json");
    const std::string_view tier = to_str(a[2], "tier_str");
    const get::EntryPtr displaced = get::save(name, data, tier);
    if (!displaced) Py_RETURN_NONE;
    return value_to_py(*displaced);
  });
}

const char DOC_py_data_sheet[] =
    "py_data_sheet(name)\n--\n\n"
    "Native twin of `lumivarex.sample.data_sheet`: the entry stored under exactly `name`.\n\n"
    "Returns the bulk Properties dict for the named entry.";

PyObject* py_data_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_KeyError, [&]() -> PyObject* {
    static const Signature sig{"py_data_sheet", {"name"}, 1};
    Bound<1> a;
    bind(sig, args, nargs, kw, a);
    const std::string_view name = to_str(a[0], "name");
    if (name.empty()) panic("py_data_sheet: name must be non-empty");
    const get::EntryPtr entry = sample::lookup_entry(name);
    return value_to_py(*entry);
  });
}

const char DOC_py_list_tiers[] =
    "py_list_tiers()\n--\n\n"
    "Native twin of `lumivarex.get.list_tiers`: the names of the twelve tiers.";

PyObject* py_list_tiers(PyObject*, PyObject*) {
  return call(PyExc_RuntimeError, [&]() -> PyObject* {
    const auto names = get::list_tiers();
    Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
      Ref s = new_str(names[i]);
      if (!s) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s.release());
    }
    return list.release();
  });
}

}  // namespace lvx::py
