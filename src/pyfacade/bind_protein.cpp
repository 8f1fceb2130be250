// Protein geometry: backbone builder, Ramachandran regions, Kabsch RMSD.
#include "pyfacade/functions.hpp"

namespace lvx::py {

const char DOC_py_kabsch_rmsd[] =
    "py_kabsch_rmsd(a, b)\n--\n\n"
    "Compute Kabsch RMSD (Å) between two Nx3 point sets.\n"
    "`a` and `b` are Python lists of [x, y, z] triples.";

PyObject* py_kabsch_rmsd(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_kabsch_rmsd"); }

const char DOC_py_build_backbone[] =
    "py_build_backbone(sequence, phi_psi_deg)\n--\n\n"
    "Build a protein Cα backbone from phi/psi angles.\n"
    "`sequence` — 1-letter amino acid codes. `phi_psi_deg` — list of (phi, psi) in degrees.\n"
    "Returns list of dicts: {name, res_idx, x, y, z}.";

PyObject* py_build_backbone(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_build_backbone"); }

const char DOC_py_build_backbone_from_entry[] =
    "py_build_backbone_from_entry(entry_name)\n--\n\n"
    "Build backbone from a lumivarex protein datasheet entry name.";

PyObject* py_build_backbone_from_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_build_backbone_from_entry"); }

const char DOC_py_ramachandran_region[] =
    "py_ramachandran_region(phi_deg, psi_deg)\n--\n\n"
    "Classify (phi_deg, psi_deg) into Ramachandran region.\n"
    "Returns a string: \"alpha_helix\", \"beta_sheet\", \"left_alpha\", \"polyproline_ii\", or \"other\".";

PyObject* py_ramachandran_region(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_implemented("py_ramachandran_region"); }

}  // namespace lvx::py
