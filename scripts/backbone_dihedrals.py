#!/usr/bin/env python3
"""Compute backbone phi/psi angles from the first model of a PDB file.

Reads ATOM records (N, CA, C, and OXT when present) of the first model and
prints a JSON array of {"residue", "phi", "psi"} objects in chain order, the
format used by the protein datasheets.

Terminal angles have no neighbouring atom to define them: the N-terminal phi is
reported as 180.0 (the extended value), and the C-terminal psi is measured to
the terminal OXT oxygen when the file has one, otherwise 180.0.

Usage: python scripts/backbone_dihedrals.py structure.pdb
"""
from __future__ import annotations

import json
import math
import sys

THREE_TO_ONE = {
    "ALA": "A", "ARG": "R", "ASN": "N", "ASP": "D", "CYS": "C",
    "GLN": "Q", "GLU": "E", "GLY": "G", "HIS": "H", "ILE": "I",
    "LEU": "L", "LYS": "K", "MET": "M", "PHE": "F", "PRO": "P",
    "SER": "S", "THR": "T", "TRP": "W", "TYR": "Y", "VAL": "V",
}


def dihedral(p0, p1, p2, p3) -> float:
    """Signed torsion angle p0-p1-p2-p3 in degrees (IUPAC sign convention)."""
    b0 = [a - b for a, b in zip(p0, p1)]
    b1 = [a - b for a, b in zip(p2, p1)]
    b2 = [a - b for a, b in zip(p3, p2)]
    norm = math.sqrt(sum(c * c for c in b1))
    b1 = [c / norm for c in b1]

    def dot(u, v):
        return sum(a * b for a, b in zip(u, v))

    def cross(u, v):
        return [u[1] * v[2] - u[2] * v[1],
                u[2] * v[0] - u[0] * v[2],
                u[0] * v[1] - u[1] * v[0]]

    v = [a - dot(b0, b1) * b for a, b in zip(b0, b1)]
    w = [a - dot(b2, b1) * b for a, b in zip(b2, b1)]
    x = dot(v, w)
    y = dot(cross(b1, v), w)
    return math.degrees(math.atan2(y, x))


def read_backbone(path: str):
    residues: list[dict] = []
    index: dict[tuple[str, str], dict] = {}
    with open(path, encoding="ascii") as fh:
        for line in fh:
            rec = line[:6].strip()
            if rec == "ENDMDL":
                break
            if rec != "ATOM":
                continue
            name = line[12:16].strip()
            if name not in ("N", "CA", "C", "OXT"):
                continue
            key = (line[21], line[22:27])
            res = index.get(key)
            if res is None:
                res = {"name": line[17:20].strip()}
                index[key] = res
                residues.append(res)
            res[name] = (float(line[30:38]), float(line[38:46]), float(line[46:54]))
    for res in residues:
        missing = [a for a in ("N", "CA", "C") if a not in res]
        if missing:
            raise ValueError(f"residue {res['name']} lacks backbone atoms {missing}")
    return residues


def backbone_angles(residues):
    out = []
    n = len(residues)
    for i, res in enumerate(residues):
        if i > 0:
            phi = dihedral(residues[i - 1]["C"], res["N"], res["CA"], res["C"])
        else:
            phi = 180.0
        if i + 1 < n:
            psi = dihedral(res["N"], res["CA"], res["C"], residues[i + 1]["N"])
        elif "OXT" in res:
            psi = dihedral(res["N"], res["CA"], res["C"], res["OXT"])
        else:
            psi = 180.0
        out.append({
            "residue": THREE_TO_ONE[res["name"]],
            "phi": round(phi, 1),
            "psi": round(psi, 1),
        })
    return out


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    angles = backbone_angles(read_backbone(argv[1]))
    json.dump(angles, sys.stdout, indent=2)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
