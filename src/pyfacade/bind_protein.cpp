// Protein geometry: backbone builder, Ramachandran regions, Kabsch RMSD, and
// the array forms of the backbone and the superposition.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "protein/protein.hpp"
#include "protein/trace.hpp"
#include "pyfacade/arrays.hpp"
#include "pyfacade/functions.hpp"

namespace lvx::py {
namespace {

// Items of a long argument converted between two interrupt polls.
constexpr std::uint64_t kPollItems = 4096;

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
  PollMeter meter(kPollItems);
  // The size is re-read on every row: a float conversion (or another thread,
  // while a poll lets it run) may change the list under us.
  for (; i < n && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    meter.add(1);
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
  PollMeter meter(kPollItems);
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    meter.add(1);
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

RecordKeys kAtomKeys{"name", "res_idx", "x", "y", "z"};

// Builds [{name, res_idx, x, y, z}, ...] in atom order while the chain is
// walked, so no copy of the chain is stored in between.
Ref backbone_to_py(std::span<const protein::AnglePair> phi_psi, std::size_t residues) {
  // A long walk runs ahead on a helper thread: one of the call's workers.
  std::optional<CoreThreads> threads;
  if (residues >= protein::kRunAheadResidues) threads.emplace();
  RecordList atoms(kAtomKeys, 3 * residues);
  const Ref n = record(kAtomKeys, "N"), ca = record(kAtomKeys, "CA"), c = record(kAtomKeys, "C");
  protein::trace_backbone_ahead(phi_psi, residues,
                                [&](std::uint32_t i, const Point& pn, const Point& pca, const Point& pc) {
                                  const Ref idx = new_int(i);
                                  atoms.add(n, idx.get(), pn[0], pn[1], pn[2]);
                                  atoms.add(ca, idx.get(), pca[0], pca[1], pca[2]);
                                  atoms.add(c, idx.get(), pc[0], pc[1], pc[2]);
                                });
  return atoms.release();
}

}  // namespace

const Binding py_kabsch_rmsd{.name = "py_kabsch_rmsd",
                             .params = {{"a"}, {"b"}},
                             .description =
                                 "Compute Kabsch RMSD (Å) between two Nx3 point sets.\n"
                                 "`a` and `b` are Python lists of [x, y, z] triples.",
                             .errors = &PyExc_ValueError,
                             .body = [](const Args& args) {
                               const PointRows a = args.get(0, to_point_rows);
                               const PointRows b = args.get(1, to_point_rows);
                               // Lengths first: one empty set against a full one is no perfect match.
                               if (a.rows() != b.rows()) fail("a and b must have same length");
                               if (a.rows() == 0) return new_float(0.0);
                               if (a.short_row || b.short_row) fail("each row must have 3 elements");
                               return new_float(released(a.rows() >= 16384, [&] {
                                 return protein::kabsch_rmsd(a.points(), b.points());
                               }));
                             }};

const Binding py_build_backbone{
    .name = "py_build_backbone",
    .params = {{"sequence"}, {"phi_psi_deg"}},
    .description =
        "Build a protein Cα backbone from phi/psi angles.\n"
        "`sequence` — 1-letter amino acid codes. `phi_psi_deg` — list of (phi, psi) in degrees.\n"
        "Returns list of dicts: {name, res_idx, x, y, z}.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view sequence = a.str(0);
      const std::vector<protein::AnglePair> pairs = a.get(1, to_angle_pairs);
      return backbone_to_py(pairs, protein::backbone_residues(sequence, pairs));
    }};

const Binding py_build_backbone_from_entry{
    .name = "py_build_backbone_from_entry",
    .params = {{"entry_name"}},
    .description = "Build backbone from a lumivarex protein datasheet entry name.",
    .errors = &PyExc_KeyError,
    .body = [](const Args& a) {
      const std::vector<protein::AnglePair> pairs = protein::residues_of_entry(a.str(0));
      return backbone_to_py(pairs, pairs.size());
    }};

const Binding py_ramachandran_region{
    .name = "py_ramachandran_region",
    .params = {{"phi_deg"}, {"psi_deg"}},
    .description =
        "Classify (phi_deg, psi_deg) into Ramachandran region.\n"
        "Returns a string: \"alpha_helix\", \"beta_sheet\", \"left_alpha\", \"polyproline_ii\", "
        "or \"other\".",
    .body = [](const Args& a) {
      const double phi = a.f64(0), psi = a.f64(1);
      return new_str(protein::ramachandran_region(phi, psi));
    }};

const Binding py_backbone_array{
    .name = "py_backbone_array",
    .params = {{"sequence"}, {"phi_psi_deg"}},
    .description =
        "`py_build_backbone` as one array: a float64 memoryview of shape (3N, 3), the\n"
        "N, CA and C atoms of each residue in turn, in ångström. `phi_psi_deg` is an\n"
        "(N, 2) array or a sequence of (phi, psi) pairs in degrees. Raises ValueError.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& a) {
      const std::string_view sequence = a.str(0);
      const Array<protein::AnglePair> pairs = a.get(1, to_rows<2>);
      Array<double> atoms =
          released(pairs.size() >= 16384, [&] { return protein::backbone_array(sequence, pairs.elements()); });
      return array_to_py(std::move(atoms));
    }};

const Binding py_superpose{
    .name = "py_superpose",
    .params = {{"a"}, {"b"}, {"weights", "None"}},
    .description =
        "The proper rigid motion that brings the (N, 3) point set `a` closest to `b`,\n"
        "each point weighted by `weights` (N numbers, default all 1): returns\n"
        "`(rmsd, rotation, translation, fitted)` with fitted = a @ rotation.T +\n"
        "translation; rotation a float64 (3, 3), translation a float64 (3,) and\n"
        "fitted a float64 (N, 3) memoryview. Unweighted, rmsd is\n"
        "`py_kabsch_rmsd(a, b)`. Raises ValueError.",
    .errors = &PyExc_ValueError,
    .body = [](const Args& args) {
      const Array<Point> a = args.get(0, to_rows<3>), b = args.get(1, to_rows<3>);
      const std::optional<Array<double>> weights = args.opt(2, to_numbers);
      protein::Superposition s = released(a.size() >= 16384, [&] {
        return protein::superpose(a.elements(), b.elements(),
                                  weights ? std::optional(weights->elements()) : std::nullopt);
      });
      Array<double> rotation({3, 3}), translation({3});
      std::copy(s.rotation.begin(), s.rotation.end(), rotation.data());
      std::copy(s.translation.begin(), s.translation.end(), translation.data());
      return tuple_of(s.rmsd, array_to_py(std::move(rotation)), array_to_py(std::move(translation)),
                      array_to_py(std::move(s.fitted)));
    }};

}  // namespace lvx::py
