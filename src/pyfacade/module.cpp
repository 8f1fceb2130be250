// Module entry: finds the package's data folder, loads the registry once per
// process and registers the function table.
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loader/data_loader.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {

namespace {

constexpr const char* kVersion = "2.0.2";

const char kModuleDoc[] =
    "`lumivarex._lumivarex_core` module entry point.\n"
    "\n"
    "On import, resolves the `lumivarex/data/active/` data path from the\n"
    "installed Python package and eagerly loads all datasheets into\n"
    "the process-wide registry `DATA`, which every function below reads.";

// A record with both of its possible C functions; the method table takes the
// one its parameter list calls for.
struct TableRow {
  const Binding& record;
  PyCFunction fast;
  PyCFunction no_args;
};
template <const Binding& B>
TableRow row() {
  return {B, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fast_entry<B>)),
          no_args_entry<B>};
}

// In table order: this is also the order of the module attributes and __all__.
const TableRow kFunctions[] = {
    row<py_get>(),
    row<py_save>(),
    row<py_sample>(),
    row<py_data_sheet>(),
    row<py_list_tiers>(),
    row<py_export_glsl>(),
    row<py_kabsch_rmsd>(),
    row<py_build_backbone>(),
    row<py_build_backbone_from_entry>(),
    row<py_ramachandran_region>(),
    row<py_optimize_alloy>(),
    row<py_export_hlsl>(),
    row<py_export_sdf_raw>(),
    row<py_export_vtk_legacy>(),
    row<py_export_stl>(),
    row<py_export_obj>(),
    row<py_bake_fourier>(),
    row<is_rust_backend>(),
    row<version_rust>(),
};

// Helpers for the package's own Python layer (the command line, checks, the
// array API): module attributes, but not part of __all__.
const TableRow kHelperFunctions[] = {
    row<py_voxel_counts>(),     row<py_mtl_path>(),         row<py_sidecar_path>(),
    row<py_check_datasheet>(),  row<py_resolve>(),          row<py_tier_keys>(),
    row<py_known_names>(),      row<py_sample_points>(),    row<py_phase_map>(),
    row<py_property_field>(),   row<py_surface_arrays>(),   row<py_backbone_array>(),
    row<py_superpose>(),        row<py_bake_samples>(),     row<py_bake_part>(),
    row<py_export_stl_units>(), row<py_export_obj_units>(),
};

// The method definitions of a table, with their docstrings. The function
// objects point into them, so they are made once and kept for the process.
class MethodTable {
 public:
  explicit MethodTable(std::span<const TableRow> rows) {
    docs_.reserve(rows.size());
    for (const TableRow& r : rows) docs_.push_back(r.record.docstring());
    defs_.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const bool no_args = rows[i].record.params.size() == 0;
      defs_.push_back({rows[i].record.name, no_args ? rows[i].no_args : rows[i].fast,
                       no_args ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS, docs_[i].c_str()});
    }
  }
  std::span<PyMethodDef> defs() { return defs_; }

 private:
  std::vector<std::string> docs_;
  std::vector<PyMethodDef> defs_;
};

// m_size 0 rather than -1: with -1 the import machinery would rebuild a
// removed module from a copy of its dict instead of asking us, and the
// init function below is what keeps the one module of the process.
PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_lumivarex_core", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;  // made once, in the main interpreter

void warn(const char* prefix, std::string_view text) {
  write_stderr_line("lumivarex_core: " + std::string(prefix) + ": ", text);
}

// The whole UTF-8 text of a str (NUL characters included), or nullopt with
// the exception pending.
std::optional<std::string> utf8_of(PyObject* str) {
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &len);
  if (!s) return std::nullopt;
  return std::string(s, static_cast<std::size_t>(len));
}

// "TypeName: message" of the pending exception, which is cleared.
std::string describe_pending_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), b(tb);
  std::string out = "unknown error";
  if (t) {
    Ref qual(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(t.get())));
    const char* q = qual ? PyUnicode_AsUTF8(qual.get()) : nullptr;
    out = q ? q : "Exception";
  }
  PyErr_Clear();
  Ref text(v ? PyObject_Str(v.get()) : nullptr);
  const std::optional<std::string> s = text ? utf8_of(text.get()) : std::nullopt;
  PyErr_Clear();
  out += ": ";
  out += s.value_or("");
  return out;
}

// The package's data root, or nullopt after printing the init warning.
std::optional<std::string> data_root() {
  Ref pkg(PyImport_ImportModule("lumivarex"));
  Ref file(pkg ? PyObject_GetAttrString(pkg.get(), "__file__") : nullptr);
  if (!file) {
    warn("init warning", describe_pending_exception());
    return std::nullopt;
  }
  if (!PyUnicode_Check(file.get())) {
    PyErr_Format(PyExc_TypeError, "lumivarex.__file__ must be a str, not %s", Py_TYPE(file.get())->tp_name);
    warn("init warning", describe_pending_exception());
    return std::nullopt;
  }
  const std::optional<std::string> path = utf8_of(file.get());
  if (!path) {
    warn("init warning", describe_pending_exception());
    return std::nullopt;
  }
  const std::filesystem::path p(*path);
  // A path holding a NUL names no file, and so no folder: nothing of it is
  // dropped, the root keeps the NUL and the loader reports it missing (the
  // system would read the path only up to the NUL, which could point at the
  // working directory).
  if (path->find('\0') != std::string::npos) return (p / "data" / "active").string();
  std::filesystem::path dir = p.parent_path();
  if (p.empty() || (dir.empty() && p.has_root_path()) || p == p.root_path()) dir = ".";
  return (dir / "data" / "active").string();
}

PyObject* init_module() {
  Ref module(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  // The exception class is created up front so that it is reachable as a
  // module attribute before any call can raise it.
  PyObject* panic = panic_exception_type();
  if (!panic) return nullptr;
  if (!register_exit_hook()) return nullptr;

  if (auto root = data_root()) {
    try {
      data_loader::load_all_tiers(*root);
    } catch (const OpError& e) {
      warn("data load warning", e.message());
    } catch (const std::exception& e) {
      warn("data load warning", e.what());
    }
  }

  // Made on the first run and kept: the function objects point into them.
  static std::optional<MethodTable> functions, helpers;
  try {
    if (!functions) functions.emplace(kFunctions);
    if (!helpers) helpers.emplace(kHelperFunctions);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }

  Ref all(PyList_New(0));
  if (!all) return nullptr;
  auto add = [&](const char* name, PyObject* owned_value) -> bool {
    Ref value(owned_value);
    if (!value || PyModule_AddObjectRef(module.get(), name, value.get()) < 0) return false;
    Ref n(PyUnicode_FromString(name));
    return n && PyList_Append(all.get(), n.get()) == 0;
  };
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& def : functions->defs()) {
    if (!add(def.ml_name, PyCFunction_NewEx(&def, module.get(), module_name.get()))) return nullptr;
  }
  if (!add("__version__", PyUnicode_FromString(kVersion))) return nullptr;
  for (PyMethodDef& def : helpers->defs()) {
    Ref fn(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!fn || PyModule_AddObjectRef(module.get(), def.ml_name, fn.get()) < 0) return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) return nullptr;
  return module.release();
}

}  // namespace

const Binding is_rust_backend{
    .name = "is_rust_backend",
    .description =
        "Sentinel that the Python facade probes to confirm that the native backend\n"
        "loaded successfully. Always returns True.",
    .body = [](const Args&) { return Ref::borrowed(Py_True); }};

const Binding version_rust{.name = "version_rust",
                           .description = "Returns the version of the underlying native library.",
                           .body = [](const Args&) { return new_str(kVersion); }};

}  // namespace lvx::py

extern "C" PyMODINIT_FUNC PyInit__lumivarex_core(void) {
  using namespace lvx::py;
  // The module lives in the main interpreter only. Its function objects, the
  // PanicException class and the cached strings are objects of the
  // interpreter that made them; a module made in a sub-interpreter would die
  // with it and leave the process without one.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "_lumivarex_core can only be imported in the main interpreter, not in a sub-interpreter");
    return nullptr;
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = init_module();
  if (!module) return nullptr;
  g_module = module;
  Py_INCREF(g_module);  // the process keeps one reference for good
  return module;
}
