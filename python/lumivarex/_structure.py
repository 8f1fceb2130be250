"""Peptides as structures, and structures as point sets to superpose.

A :class:`Peptide` is a backbone with what a molecular viewer needs: chain A,
residues numbered from 1 and named by their three-letter codes (UNK for a
letter that names no amino acid), and the N, CA, C and carbonyl O of each.
The O is placed from standard peptide geometry: 1.231 Å from C, at 120.5° to
CA (so O=C–N of the next residue is 360 − 116.2 − 120.5 = 123.3°), in the
plane of CA, C and the next N, on the side away from that N: the dihedral
N–CA–C–O is psi + 180°. The last residue has no next N; its O is placed from
its own psi in the same way, where a following residue's N would make it
trans. PDB and mmCIF text is written by gemmi (the ``structure`` extra),
which also builds the structure objects; Biopython builds its own.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _args
from . import _lumivarex_core as _core
from ._extras import require

if TYPE_CHECKING:
    import Bio.PDB.Structure
    import gemmi

    from ._arrays import Float64Array

__all__ = ["Peptide", "peptide", "peptide_from_entry", "ATOM_NAMES", "THREE_LETTER_CODES",
           "CARBONYL_BOND", "CARBONYL_ANGLE"]

#: The atoms of each residue, in their order in a peptide.
ATOM_NAMES = ("N", "CA", "C", "O")
_ELEMENTS = ("N", "C", "C", "O")

#: C=O bond length in ångström, and the bond angle CA–C=O in degrees.
CARBONYL_BOND = 1.231
CARBONYL_ANGLE = 120.5

#: Residue names of the one-letter codes (upper or lower case); any other letter is UNK.
THREE_LETTER_CODES = {
    "A": "ALA", "R": "ARG", "N": "ASN", "D": "ASP", "C": "CYS", "Q": "GLN", "E": "GLU", "G": "GLY", "H": "HIS",
    "I": "ILE", "L": "LEU", "K": "LYS", "M": "MET", "F": "PHE", "P": "PRO", "S": "SER", "T": "THR", "W": "TRP",
    "Y": "TYR", "V": "VAL", "U": "SEC", "O": "PYL",
}

# What PDB's 8-column coordinate fields can hold at all (gemmi writes fewer
# decimals from 10,000 Å on, keeping the columns).
_PDB_RANGE = (-9999999.5, 99999999.5)


class Peptide(NamedTuple):
    """A chain of residues with their N, CA, C and carbonyl O, in ångström."""

    #: One-letter codes, as given.
    sequence: str
    #: Three-letter code of each residue; UNK for a letter that names no amino acid.
    residue_names: list[str]
    #: (4N, 3) float64: N, CA, C, O of residue i in rows 4i to 4i + 3.
    coordinates: Float64Array
    #: The structure's name: the mmCIF data block's and Biopython's id.
    name: str

    @property
    def atom_names(self) -> list[str]:
        """The name of the atom of each row of ``coordinates``."""
        return list(ATOM_NAMES) * len(self.residue_names)

    def to_gemmi(self) -> gemmi.Structure:
        """A ``gemmi.Structure``: one model, chain A, one L-peptide entity.
        Needs the ``structure`` extra."""
        return _to_gemmi(self, "Peptide.to_gemmi")

    def to_biopython(self) -> Bio.PDB.Structure.Structure:
        """A Biopython ``Structure``: model 0, chain A. Needs the ``structure`` extra."""
        pdb: Any = require("Bio.PDB", "structure", "Peptide.to_biopython", "biopython")
        builder = pdb.StructureBuilder.StructureBuilder()
        builder.init_structure(self.name)
        builder.init_model(0)
        builder.init_chain("A")
        builder.init_seg("    ")
        xyz = self.coordinates
        for i, residue in enumerate(self.residue_names):
            builder.init_residue(residue, " ", i + 1, " ")
            for j, (atom, element) in enumerate(zip(ATOM_NAMES, _ELEMENTS)):
                row = 4 * i + j
                builder.init_atom(atom, xyz[row].copy(), 0.0, 1.0, " ", f" {atom:<3}", row + 1, element)
        structure: Bio.PDB.Structure.Structure = builder.get_structure()
        return structure

    def to_pdb(self) -> str:
        """PDB text, written by gemmi: coordinates with three decimals (fewer
        from 10,000 Å on), residue numbers past 9999 and atom serial numbers
        past 99999 in hybrid-36 (which gemmi reads and Biopython's PDB reader
        does not: write mmCIF for such chains). Raises ValueError for
        coordinates that are not finite or do not fit the format's columns.
        Needs the ``structure`` extra."""
        _check_coordinates(self.coordinates, "PDB", _PDB_RANGE)
        text: str = _to_gemmi(self, "Peptide.to_pdb").make_pdb_string()
        return text

    def to_cif(self) -> str:
        """mmCIF text, written by gemmi, with coordinates to six decimals
        (1e-6 Å). Raises ValueError for coordinates that are not finite.
        Needs the ``structure`` extra."""
        _check_coordinates(self.coordinates, "mmCIF", (-math.inf, math.inf))
        doc = _to_gemmi(self, "Peptide.to_cif").make_mmcif_document()
        block = doc.sole_block()
        # gemmi rounds coordinates to four decimals; the file carries the
        # precision of the other generated files instead.
        atoms = block.get_mmcif_category("_atom_site.", raw=True)
        for axis, column in enumerate(("Cartn_x", "Cartn_y", "Cartn_z")):
            atoms[column] = [f"{v:.6f}" for v in self.coordinates[:, axis].tolist()]
        block.set_mmcif_category("_atom_site.", atoms, raw=True)
        text: str = doc.as_string()
        return text

    def write(self, path: str | os.PathLike[str], format: str | None = None) -> str:
        """Writes PDB (``format="pdb"``, or a path ending in .pdb or .ent) or
        mmCIF (``"cif"``, or .cif or .mmcif), creating missing folders;
        returns the path."""
        location = _args.path(path, "path")
        if format is None:
            suffix = os.path.splitext(location)[1].lower()
            format = {".pdb": "pdb", ".ent": "pdb", ".cif": "cif", ".mmcif": "cif"}.get(suffix)
            if format is None:
                raise ValueError(f"cannot tell the format from '{location}': give format='pdb' or 'cif'")
        if format not in ("pdb", "cif"):
            raise ValueError(f"format must be 'pdb' or 'cif', got {format!r}")
        text = self.to_pdb() if format == "pdb" else self.to_cif()
        with open(_args.made_parent(location), "w", encoding="ascii") as f:
            f.write(text)
        return location


_ONE_LETTER_CODES = {three: one for one, three in THREE_LETTER_CODES.items()}


def residue_name(code: str) -> str:
    """The residue name of a one-letter code or, as a datasheet may give it,
    a three-letter one in any letter case; UNK for anything else."""
    upper = code.upper()
    if upper in _ONE_LETTER_CODES:
        return upper
    return THREE_LETTER_CODES.get(upper, "UNK")


def carbonyl_oxygens(backbone: Float64Array, psi_deg: Float64Array) -> Float64Array:
    """The O of each residue of (3N, 3) N, CA, C rows, from each residue's psi."""
    n, ca, c = backbone[0::3], backbone[1::3], backbone[2::3]
    # The backbone builder's placement: the new atom at distance R from C,
    # at angle theta to B = CA, with dihedral tau about B-C from A = N.
    bc = _unit(c - ca)
    nv = _unit(np.cross(ca - n, bc))
    mv = np.cross(nv, bc)
    theta, tau = math.radians(CARBONYL_ANGLE), np.radians(psi_deg + 180.0)
    r = CARBONYL_BOND
    oxygens: Float64Array = (c + (-r * math.cos(theta)) * bc + (r * math.sin(theta) * np.cos(tau))[:, None] * mv
                             + (r * math.sin(theta) * np.sin(tau))[:, None] * nv)
    return oxygens


def _unit(v: Float64Array) -> Float64Array:
    length = np.linalg.norm(v, axis=1, keepdims=True)
    unit: Float64Array = np.divide(v, length, out=np.zeros_like(v), where=length > 0)
    return unit


def _assemble(sequence: str, names: list[str], backbone: Float64Array, psi: Float64Array, name: str) -> Peptide:
    residues = len(backbone) // 3
    coordinates = np.empty((4 * residues, 3))
    for j in range(3):
        coordinates[j::4] = backbone[j::3]
    coordinates[3::4] = carbonyl_oxygens(backbone, psi[:residues])
    return Peptide(sequence[:residues], names[:residues], coordinates, name)


def peptide(sequence: str, phi_psi_deg: npt.ArrayLike, name: str = "peptide") -> Peptide:
    """The backbone of :func:`lumivarex.backbone` (N, CA, C from the same
    angles) with each residue's carbonyl O and residue name: a structure to
    write as PDB or mmCIF or to hand to gemmi or Biopython."""
    from ._arrays import backbone

    text = _args.text(sequence, "sequence")
    atoms = backbone(text, phi_psi_deg)
    psi = np.asarray(phi_psi_deg, dtype=np.float64).reshape(-1, 2)[:, 1]
    letters = list(text)
    return _assemble(text, [residue_name(c) for c in letters], atoms, psi, _args.text(name, "name"))


def peptide_from_entry(entry_name: str) -> Peptide:
    """:func:`peptide` of a protein datasheet, as
    ``lumivarex.core.py_build_backbone_from_entry`` builds its backbone: the
    entry stored under exactly ``entry_name``, one residue per element of its
    "residues" (residue name from its "residue", a one- or three-letter code,
    whose one-letter code goes into ``sequence``; angles from "phi" and "psi",
    0 where not a number). Named after the entry.
    Raises KeyError when there is no such entry or it has no residue list."""
    name = _args.text(entry_name, "entry_name")
    atoms = _core.py_build_backbone_from_entry(name)
    sheet = _core.py_data_sheet(name)
    residues = sheet["residues"] if "residues" in sheet else sheet["Residues"]  # the core checked it
    codes, psi = [], []
    for element in residues:
        item = element if isinstance(element, dict) else {}
        code = item.get("residue")
        codes.append(code if isinstance(code, str) and code else "X")
        angle = item.get("psi")
        psi.append(float(angle) if isinstance(angle, (int, float)) and not isinstance(angle, bool) else 0.0)
    backbone = np.array([(a["x"], a["y"], a["z"]) for a in atoms], dtype=np.float64).reshape(-1, 3)
    names = [residue_name(c) for c in codes]
    # A three-letter code stands for its one-letter code; otherwise the letter
    # is the code's first character, as the core reads it.
    sequence = "".join(_ONE_LETTER_CODES.get(n, c[0]) if len(c) == 3 else c[0] for c, n in zip(codes, names))
    return _assemble(sequence, names, backbone, np.array(psi), name)


def _check_coordinates(xyz: Float64Array, fmt: str, limits: tuple[float, float]) -> None:
    finite = np.isfinite(xyz)
    if not finite.all():
        row = int(np.argwhere(~finite)[0][0])
        raise ValueError(f"cannot write {fmt}: atom {row + 1} has a coordinate that is not finite")
    if xyz.size and not (limits[0] < xyz.min() and xyz.max() < limits[1]):
        raise ValueError(f"cannot write {fmt}: coordinates from {xyz.min()} to {xyz.max()} Å do not fit "
                         "its columns; write mmCIF")


def _to_gemmi(chain: Peptide, user: str) -> gemmi.Structure:
    lib: Any = require("gemmi", "structure", user)
    structure: gemmi.Structure = lib.Structure()
    # The name is the mmCIF data block's, which cannot hold blanks.
    structure.name = "".join(c if c.isascii() and (c.isalnum() or c in "_-.") else "_" for c in chain.name)
    model = lib.Model(1)
    strand = lib.Chain("A")
    elements = [lib.Element(e) for e in _ELEMENTS]
    xyz = chain.coordinates.tolist()
    for i, name in enumerate(chain.residue_names):
        residue = lib.Residue()
        residue.name = name
        residue.seqid = lib.SeqId(i + 1, " ")
        residue.subchain, residue.entity_id, residue.label_seq = "A", "1", i + 1
        residue.entity_type = lib.EntityType.Polymer
        residue.het_flag = "A"
        for j, atom_name in enumerate(ATOM_NAMES):
            atom = lib.Atom()
            atom.name, atom.element = atom_name, elements[j]
            atom.pos = lib.Position(*xyz[4 * i + j])
            atom.occ, atom.b_iso = 1.0, 0.0
            atom.serial = 4 * i + j + 1
            residue.add_atom(atom)
        strand.add_residue(residue)
    model.add_chain(strand)
    structure.add_model(model)
    entity = lib.Entity("1")
    entity.entity_type = lib.EntityType.Polymer
    entity.polymer_type = lib.PolymerType.PeptideL
    entity.subchains = ["A"]
    entity.full_sequence = list(chain.residue_names)
    structure.entities.append(entity)
    return structure


# ---------------------------------------------------------------- structures as point sets


def is_structure(value: object) -> bool:
    """A Peptide, or an object of gemmi or Biopython."""
    return isinstance(value, Peptide) or type(value).__module__.partition(".")[0] in ("gemmi", "Bio")


def _gemmi_atoms(value: Any) -> Iterator[tuple[str, Any]]:
    """(label, atom) of each atom of the first model, one per name in each
    residue (an alternative location after the first is skipped)."""
    kind = type(value).__name__
    if kind == "Structure":
        value = value[0]
        kind = "Model"
    chains = value if kind == "Model" else [value] if kind in ("Chain", "ResidueSpan") else None
    residues = ((c.name, r) for c in chains for r in c) if chains is not None else (("", value),)
    for chain_name, residue in residues:
        seen: set[str] = set()
        for atom in residue:
            if atom.name not in seen:
                seen.add(atom.name)
                yield f"{atom.name} of {residue.name} {residue.seqid.num}{residue.seqid.icode.strip()}" \
                      f"{' in chain ' + chain_name if chain_name else ''}", atom


def _rows_of(value: Any, names: Sequence[str] | None, arg: str) -> tuple[Float64Array, list[str] | None,
                                                                             list[str]]:
    """The rows of a structure or an array: (coordinates, atom names, labels)."""
    if isinstance(value, Peptide):
        atom_names = value.atom_names
        return value.coordinates, atom_names, [f"{a} of residue {i // 4 + 1}" for i, a in enumerate(atom_names)]
    package = type(value).__module__.partition(".")[0]
    if package == "gemmi":
        if type(value).__name__ not in ("Structure", "Model", "Chain", "ResidueSpan", "Residue"):
            raise TypeError(f"{arg}: a gemmi {type(value).__name__} holds no atoms to superpose")
        found = list(_gemmi_atoms(value))
        xyz = np.array([(a.pos.x, a.pos.y, a.pos.z) for _, a in found], dtype=np.float64).reshape(-1, 3)
        return xyz, [a.name for _, a in found], [label for label, _ in found]
    if package == "Bio":
        if not hasattr(value, "get_atoms"):
            raise TypeError(f"{arg}: a Biopython {type(value).__name__} holds no atoms to superpose")
        if getattr(value, "level", "") == "S":
            models = list(value)
            value = models[0] if models else value  # its first model
        atoms = list(value.get_atoms())
        xyz = np.array([a.coord for a in atoms], dtype=np.float64).reshape(-1, 3)
        labels = []
        for a in atoms:
            residue = a.get_parent()
            chain = residue.get_parent()
            het, number, icode = residue.id
            labels.append(f"{a.get_id()} of {residue.get_resname()} {number}{icode.strip()} in chain {chain.id}")
        return xyz, [a.get_id() for a in atoms], labels
    array = np.asarray(value, dtype=np.float64)
    if names is None:
        return array, None, [f"row {i}" for i in range(len(array))]
    cycle = _args.texts(names, "names")
    if not cycle or len(array) % len(cycle):
        raise ValueError(f"names must name each of the {len(array)} rows of {arg}, or repeat over them, "
                         f"got {len(cycle)} names")
    atom_names = cycle * (len(array) // len(cycle))
    return array, atom_names, [f"row {i} ({a})" for i, a in enumerate(atom_names)]


def paired_rows(a: Any, b: Any, atoms: str | Sequence[str] | None, names: Sequence[str] | None
                ) -> tuple[Float64Array, Float64Array]:
    """The rows of a and b to superpose: those whose atom names are in
    ``atoms`` (all when None), paired in order. Refuses sets of different
    lengths and pairs of atoms of different names."""
    wanted = None if atoms is None else {atoms} if isinstance(atoms, str) else set(_args.texts(atoms, "atoms"))
    picked = []
    for value, arg in ((a, "a"), (b, "b")):
        xyz, atom_names, labels = _rows_of(value, names, arg)
        if wanted is not None:
            if atom_names is None:
                raise TypeError(f"atoms selects by name, but {arg} is an array without names: give names=, or "
                                "a structure")
            keep = [i for i, n in enumerate(atom_names) if n in wanted]
            xyz, atom_names, labels = xyz[keep], [atom_names[i] for i in keep], [labels[i] for i in keep]
        picked.append((xyz, atom_names, labels))
    (xa, na, la), (xb, nb, lb) = picked
    if len(xa) != len(xb):
        raise ValueError(f"a has {len(xa)} atoms to superpose and b has {len(xb)}")
    if na is not None and nb is not None:
        for i, (p, q) in enumerate(zip(na, nb)):
            if p != q:
                raise ValueError(f"atom {i + 1} to superpose is {la[i]} in a but {lb[i]} in b")
    return xa, xb


def moved(value: Any, rotation: Float64Array, translation: Float64Array) -> Any:
    """A copy of a structure, or of an (N, 3) array, moved as ``x @ rotation.T + translation``."""
    if isinstance(value, Peptide):
        return value._replace(coordinates=value.coordinates @ rotation.T + translation)
    package = type(value).__module__.partition(".")[0]
    if package == "gemmi":
        lib: Any = require("gemmi", "structure", "Superposition.apply")
        copy = value.clone()
        transform = lib.Transform(lib.Mat33(rotation.tolist()), lib.Vec3(*translation.tolist()))
        kind = type(value).__name__
        if kind in ("Structure", "Model"):
            for model in (copy if kind == "Structure" else [copy]):
                model.transform_pos_and_adp(transform)
        else:
            residues = copy if kind in ("Chain", "ResidueSpan") else [copy]
            for residue in residues:
                for atom in residue:
                    atom.pos = lib.Position(transform.apply(atom.pos))
        return copy
    if package == "Bio":
        copy = value.copy()
        copy.transform(rotation.T, translation)  # Biopython multiplies from the right
        return copy
    result: Float64Array = np.asarray(value, dtype=np.float64) @ rotation.T + translation
    return result
