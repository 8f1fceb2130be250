// Protein geometry: backbone builder, Ramachandran regions, Kabsch RMSD.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "protein/protein.hpp"
#include "protein/trace.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {
namespace {

// ------------------------------------------------------------ point sets

// A converted point set: the first three numbers of every row (missing ones
// left at zero), and whether some row had fewer than three.
struct PointRows {
  std::unique_ptr<Point[]> xyz;  // not zeroed: each row is written before it is read
  std::size_t count = 0;
  bool short_row = false;
  std::size_t rows() const { return count; }
  std::span<const Point> points() const { return {xyz.get(), count}; }
  void resize(std::size_t n) {
    xyz = std::make_unique_for_overwrite<Point[]>(n);
    count = n;
  }
};

// One number of a row. Exact floats and ints need no interpreter call;
// anything else goes through the float conversion (kept alive meanwhile,
// since that conversion may run arbitrary code).
inline double number_of(PyObject* o, const char* arg) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  if (PyLong_CheckExact(o)) {
    const double v = PyLong_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) argument_error(arg);
    return v;
  }
  Ref keep = Ref::borrowed(o);
  return to_f64(keep.get(), arg);
}

// A 2-D buffer of doubles (numpy float64 arrays and the like, any strides),
// read without creating an object per number. Returns false when the object
// offers no such buffer; the generic path then handles it.
bool rows_from_buffer(PyObject* o, PointRows& out) {
  if (PyList_Check(o) || PyTuple_Check(o) || !PyObject_CheckBuffer(o)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return false;
  }
  const char* f = view.format ? view.format : "B";
  // Doubles in the machine's own byte order only; anything else takes the
  // generic path.
  if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little) ||
      (*f == '>' && std::endian::native == std::endian::big))
    ++f;
  const bool usable = view.ndim == 2 && std::strcmp(f, "d") == 0 && view.itemsize == sizeof(double);
  if (usable) {
    const Py_ssize_t rows = view.shape[0], cols = view.shape[1];
    out.short_row = rows > 0 && cols < 3;
    out.resize(static_cast<std::size_t>(rows));
    const char* base = static_cast<const char*>(view.buf);
    // With short rows the call fails before the numbers are read.
    for (Py_ssize_t i = 0; !out.short_row && i < rows; ++i)
      for (Py_ssize_t j = 0; j < 3; ++j)
        std::memcpy(&out.xyz[i][j], base + i * view.strides[0] + j * view.strides[1], sizeof(double));
  }
  PyBuffer_Release(&view);
  return usable;
}

// A sequence (not str) of sequences (not str) of numbers.
PointRows to_point_rows(PyObject* o, const char* arg) {
  PointRows out;
  if (rows_from_buffer(o, out)) return out;
  if (PyUnicode_Check(o)) argument_error(arg, "expected a sequence of [x, y, z] rows, got str");
  if (!PySequence_Check(o)) argument_error(arg, "expected a sequence of [x, y, z] rows, got " + type_name(o));
  Ref seq(PySequence_Fast(o, "expected a sequence of [x, y, z] rows"));
  if (!seq) argument_error(arg);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out.resize(static_cast<std::size_t>(n));
  Py_ssize_t i = 0;
  // The size is re-read on every row: a float conversion may run code that
  // changes the list under us.
  for (; i < n && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    Ref row = Ref::borrowed(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (PyUnicode_Check(row.get()) || !PySequence_Check(row.get()))
      argument_error(arg, "row " + std::to_string(i) + " is " + type_name(row.get()) +
                              ", expected a sequence of numbers");
    Ref items(PySequence_Fast(row.get(), "expected a sequence of numbers"));
    if (!items) argument_error(arg);
    double* dst = out.xyz[static_cast<std::size_t>(i)].data();
    Py_ssize_t j = 0;
    for (; j < PySequence_Fast_GET_SIZE(items.get()); ++j) {
      const double v = number_of(PySequence_Fast_GET_ITEM(items.get(), j), arg);
      if (j < 3) dst[j] = v;
    }
    for (Py_ssize_t k = j; k < 3; ++k) dst[k] = 0.0;
    if (j < 3) out.short_row = true;
  }
  if (i < n) out.count = static_cast<std::size_t>(i);
  return out;
}

// ------------------------------------------------------------ backbone

std::vector<protein::AnglePair> to_angle_pairs(PyObject* o, const char* arg) {
  if (PyUnicode_Check(o)) argument_error(arg, "expected a sequence of (phi, psi) tuples, got str");
  if (!PySequence_Check(o))
    argument_error(arg, "expected a sequence of (phi, psi) tuples, got " + type_name(o));
  Ref seq(PySequence_Fast(o, "expected a sequence of (phi, psi) tuples"));
  if (!seq) argument_error(arg);
  std::vector<protein::AnglePair> out;
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    Ref item = Ref::borrowed(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (!PyTuple_Check(item.get()))
      argument_error(arg, "item " + std::to_string(i) + " is " + type_name(item.get()) +
                              ", expected a (phi, psi) tuple");
    if (PyTuple_GET_SIZE(item.get()) != 2)
      argument_error(arg, "item " + std::to_string(i) + " has " +
                              std::to_string(PyTuple_GET_SIZE(item.get())) + " elements, expected 2");
    out.push_back(
        {number_of(PyTuple_GET_ITEM(item.get(), 0), arg), number_of(PyTuple_GET_ITEM(item.get(), 1), arg)});
  }
  return out;
}

// Interned once: the dict keys and the atom names.
struct AtomStrings {
  PyObject* name;
  PyObject* res_idx;
  PyObject* x;
  PyObject* y;
  PyObject* z;
  PyObject* atom_n;
  PyObject* atom_ca;
  PyObject* atom_c;
};

const AtomStrings* atom_strings() {
  static const AtomStrings* cached = nullptr;  // guarded by the interpreter lock
  if (cached) return cached;
  AtomStrings s{PyUnicode_InternFromString("name"), PyUnicode_InternFromString("res_idx"),
                PyUnicode_InternFromString("x"),    PyUnicode_InternFromString("y"),
                PyUnicode_InternFromString("z"),    PyUnicode_InternFromString("N"),
                PyUnicode_InternFromString("CA"),   PyUnicode_InternFromString("C")};
  PyObject* all[] = {s.name, s.res_idx, s.x, s.y, s.z, s.atom_n, s.atom_ca, s.atom_c};
  bool ok = true;
  for (PyObject* o : all) ok = ok && o != nullptr;
  if (!ok) {  // nothing partial is kept; a later call tries again
    for (PyObject* o : all) Py_XDECREF(o);
    return nullptr;
  }
  cached = new AtomStrings(s);  // kept for the life of the process
  return cached;
}

inline bool set_float(PyObject* dict, PyObject* key, double v) {
  Ref f(PyFloat_FromDouble(v));
  return f && PyDict_SetItem(dict, key, f.get()) == 0;
}

// Builds [{name, res_idx, x, y, z}, ...] in atom order while the chain is
// walked, so no copy of the chain is stored in between. Every dict is copied
// from a template that already holds the five keys in order (and the atom
// name), which is much cheaper than inserting the keys one by one; the copy
// then only has its four values replaced.
class AtomDicts {
 public:
  explicit AtomDicts(std::size_t residues)
      : s_(strings()),
        tpl_n_(make_template(s_->atom_n)),
        tpl_ca_(make_template(s_->atom_ca)),
        tpl_c_(make_template(s_->atom_c)),
        list_(PyList_New(static_cast<Py_ssize_t>(3 * residues))) {
    if (!list_) throw PyErrorSet{};
  }

  void add_residue(std::uint32_t res_idx, const Point& n, const Point& ca, const Point& c) {
    Ref idx(PyLong_FromUnsignedLong(res_idx));
    if (!idx) throw PyErrorSet{};
    add(tpl_n_.get(), idx.get(), n);
    add(tpl_ca_.get(), idx.get(), ca);
    add(tpl_c_.get(), idx.get(), c);
  }

  PyObject* release() { return list_.release(); }

 private:
  static const AtomStrings* strings() {
    const AtomStrings* s = atom_strings();
    if (!s) throw PyErrorSet{};
    return s;
  }

  Ref make_template(PyObject* name) const {
    Ref d(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), s_->name, name) < 0 ||
        PyDict_SetItem(d.get(), s_->res_idx, Py_None) < 0 || PyDict_SetItem(d.get(), s_->x, Py_None) < 0 ||
        PyDict_SetItem(d.get(), s_->y, Py_None) < 0 || PyDict_SetItem(d.get(), s_->z, Py_None) < 0)
      throw PyErrorSet{};
    return d;
  }

  void add(PyObject* tpl, PyObject* idx, const Point& p) {
    Ref d(PyDict_Copy(tpl));
    if (!d || PyDict_SetItem(d.get(), s_->res_idx, idx) < 0 || !set_float(d.get(), s_->x, p[0]) ||
        !set_float(d.get(), s_->y, p[1]) || !set_float(d.get(), s_->z, p[2]))
      throw PyErrorSet{};
    PyList_SET_ITEM(list_.get(), next_++, d.release());
  }

  // The new dicts cannot form cycles, so the collector has nothing to find
  // while they are built; without the pause it would rescan the growing list
  // every few hundred dicts.
  struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() {
      if (was_enabled) PyGC_Enable();
    }
  } gc_pause_;
  const AtomStrings* s_;
  const Ref tpl_n_, tpl_ca_, tpl_c_;
  Ref list_;
  Py_ssize_t next_ = 0;
};

PyObject* backbone_to_py(std::span<const protein::AnglePair> phi_psi, std::size_t residues) {
  AtomDicts out(residues);
  protein::trace_backbone_ahead(phi_psi, residues,
                                [&](std::uint32_t i, const Point& n, const Point& ca, const Point& c) {
                                  out.add_residue(i, n, ca, c);
                                });
  return out.release();
}

}  // namespace

const char DOC_py_kabsch_rmsd[] =
    "py_kabsch_rmsd(a, b)\n--\n\n"
    "Compute Kabsch RMSD (Å) between two Nx3 point sets.\n"
    "`a` and `b` are Python lists of [x, y, z] triples.";

PyObject* py_kabsch_rmsd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{"py_kabsch_rmsd", {"a", "b"}, 2};
    Bound<2> bound;
    bind(sig, args, nargs, kw, bound);
    const PointRows a = to_point_rows(bound[0], "a");
    const PointRows b = to_point_rows(bound[1], "b");
    // Lengths first: one empty set against a full one is no perfect match.
    if (a.rows() != b.rows()) fail("a and b must have same length");
    if (a.rows() == 0) return PyFloat_FromDouble(0.0);
    if (a.short_row || b.short_row) fail("each row must have 3 elements");
    return PyFloat_FromDouble(protein::kabsch_rmsd(a.points(), b.points()));
  });
}

const char DOC_py_build_backbone[] =
    "py_build_backbone(sequence, phi_psi_deg)\n--\n\n"
    "Build a protein Cα backbone from phi/psi angles.\n"
    "`sequence` — 1-letter amino acid codes. `phi_psi_deg` — list of (phi, "
    "psi) in degrees.\n"
    "Returns list of dicts: {name, res_idx, x, y, z}.";

PyObject* py_build_backbone(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{"py_build_backbone", {"sequence", "phi_psi_deg"}, 2};
    Bound<2> bound;
    bind(sig, args, nargs, kw, bound);
    const std::string_view sequence = to_str(bound[0], "sequence");
    const std::vector<protein::AnglePair> pairs = to_angle_pairs(bound[1], "phi_psi_deg");
    return backbone_to_py(pairs, protein::backbone_residues(sequence, pairs));
  });
}

const char DOC_py_build_backbone_from_entry[] =
    "py_build_backbone_from_entry(entry_name)\n--\n\n"
    "Build backbone from a lumivarex protein datasheet entry name.";

PyObject* py_build_backbone_from_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_KeyError, [&]() -> PyObject* {
    static const Signature sig{"py_build_backbone_from_entry", {"entry_name"}, 1};
    Bound<1> bound;
    bind(sig, args, nargs, kw, bound);
    const std::string_view name = to_str(bound[0], "entry_name");
    const std::vector<protein::AnglePair> pairs = protein::residues_of_entry(name);
    return backbone_to_py(pairs, pairs.size());
  });
}

const char DOC_py_ramachandran_region[] =
    "py_ramachandran_region(phi_deg, psi_deg)\n--\n\n"
    "Classify (phi_deg, psi_deg) into Ramachandran region.\n"
    "Returns a string: \"alpha_helix\", \"beta_sheet\", \"left_alpha\", "
    "\"polyproline_ii\", or \"other\".";

PyObject* py_ramachandran_region(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return call(PyExc_ValueError, [&]() -> PyObject* {
    static const Signature sig{"py_ramachandran_region", {"phi_deg", "psi_deg"}, 2};
    Bound<2> bound;
    bind(sig, args, nargs, kw, bound);
    const double phi = to_f64(bound[0], "phi_deg");
    const double psi = to_f64(bound[1], "psi_deg");
    return new_str(protein::ramachandran_region(phi, psi)).release();
  });
}

}  // namespace lvx::py
