"""Protein commands: backbone, region, rmsd."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import lumivarex
from lumivarex import core
from lumivarex.cli.options import CommandAdder, finite
from lumivarex.cli.plumbing import CommandError, UsageError, call, emit, is_number, load_json

BACKBONE_HELP = " (see 'lumivarex backbone --help')"


def _angle_pairs(text: str) -> list[tuple[float, float]]:
    data = load_json(text, "--angles")
    pairs: list[tuple[float, float]] = []
    if isinstance(data, list):
        for item in data:
            if (not isinstance(item, list) or len(item) != 2
                    or not all(is_number(v) for v in item)):
                break
            pairs.append((float(item[0]), float(item[1])))
        else:
            return pairs
    raise CommandError("--angles must be a JSON list of [phi, psi] pairs in degrees")


def print_structure(fmt: str, build: Callable[[], Any]) -> int:
    """Prints the Peptide that build() gives as PDB or mmCIF text."""
    try:
        chain = call(build)
        text: str = chain.to_pdb() if fmt == "pdb" else chain.to_cif()
    except ImportError as e:  # the structure extra is not installed
        raise CommandError(str(e)) from None
    sys.stdout.write(text)
    sys.stdout.flush()
    return 0


def cmd_backbone(args: argparse.Namespace) -> int:
    if args.entry is not None:
        if args.sequence is not None or args.angles is not None or args.phi is not None \
                or args.psi is not None:
            raise UsageError("give either ENTRY or --sequence with its angles, not both"
                             + BACKBONE_HELP)
        if args.format != "json":
            return print_structure(args.format, lambda: lumivarex.peptide_from_entry(args.entry))
        emit(call(core.py_build_backbone_from_entry, args.entry))
        return 0
    if args.sequence is None:
        raise UsageError("give a protein ENTRY or --sequence" + BACKBONE_HELP)
    if args.angles is not None:
        if args.phi is not None or args.psi is not None:
            raise UsageError("give either --angles or --phi/--psi, not both" + BACKBONE_HELP)
        pairs = _angle_pairs(args.angles)
    else:
        phi = -57.0 if args.phi is None else args.phi
        psi = -47.0 if args.psi is None else args.psi
        pairs = [(phi, psi)] * len(args.sequence)
    if args.format != "json":
        return print_structure(args.format, lambda: lumivarex.peptide(args.sequence, pairs))
    emit(call(core.py_build_backbone, args.sequence, pairs))
    return 0


def cmd_region(args: argparse.Namespace) -> int:
    emit(call(core.py_ramachandran_region, args.phi, args.psi))
    return 0


def _read_points(source: str, stdin_used: list[bool]) -> list[list[float]]:
    """Points from inline JSON, a JSON file or '-' (standard input)."""
    label = source
    if source == "-":
        if stdin_used[0]:
            raise CommandError("only one point set can come from standard input")
        stdin_used[0] = True
        if sys.stdin is None:
            raise CommandError("standard input is closed")
        label = "standard input"
        try:
            text = sys.stdin.read()
        except OSError as e:
            raise CommandError(f"cannot read standard input: {e.strerror or e}") from None
        except UnicodeDecodeError:
            raise CommandError(f"standard input is not {sys.stdin.encoding} text") from None
    elif source.lstrip().startswith("["):
        text, label = source, "the inline point set"
    else:
        try:
            text = Path(source).read_text(encoding="utf-8")
        except OSError as e:
            raise CommandError(f"cannot read '{source}': {e.strerror or e}") from None
        except UnicodeDecodeError:
            raise CommandError(f"cannot read '{source}': not UTF-8 text") from None
    data = load_json(text, label)
    points: list[list[float]] = []
    if isinstance(data, list):
        for row in data:
            if isinstance(row, dict):  # an atom as printed by 'lumivarex backbone'
                row = [row.get("x"), row.get("y"), row.get("z")]
            if not isinstance(row, list) or len(row) != 3 or not all(is_number(v) for v in row):
                break
            points.append([float(v) for v in row])
        else:
            return points
    raise CommandError(f"{label}: expected a JSON list of [x, y, z] rows or of atoms with x, y "
                       "and z, all finite numbers")


def cmd_rmsd(args: argparse.Namespace) -> int:
    stdin_used = [False]
    a = _read_points(args.a, stdin_used)
    b = _read_points(args.b, stdin_used)
    if not a or not b:  # the core would call two empty sets a perfect match
        raise CommandError(f"cannot compare an empty point set (A has {len(a)} points, "
                           f"B has {len(b)})")
    emit(call(core.py_kabsch_rmsd, a, b))
    return 0


def add_commands(command: CommandAdder) -> None:
    p = command("backbone", "build a protein backbone (N, CA, C atoms in angstrom)", """\
Give a protein datasheet, or a sequence of one-letter codes with its angles:
--angles for one [phi, psi] pair per residue, or --phi/--psi for the same pair
on every residue (default -57, -47: an alpha helix). --format pdb or cif prints
a structure file instead of JSON: residues named by their three-letter codes
(UNK for an unknown letter), N, CA, C and the carbonyl O of each, chain A
(needs pip install 'lumivarex[structure]').

examples:
  lumivarex backbone "ideal alpha helix"
  lumivarex backbone --sequence AAAAAAAA
  lumivarex backbone --sequence GAV --angles "[[-60, -45], [-120, 130], [-75, 145]]"
  lumivarex backbone --sequence PPPP --phi -75 --psi 145 > ppii.json
  lumivarex backbone "trp-cage" --format pdb > trp-cage.pdb
""")
    p.add_argument("entry", metavar="ENTRY", nargs="?", help="exact name of a protein datasheet")
    p.add_argument("--sequence", metavar="CODES", help="one-letter residue codes")
    p.add_argument("--angles", metavar="JSON", help="JSON list of [phi, psi] pairs in degrees")
    p.add_argument("--phi", type=finite, metavar="DEG", help="phi of every residue")
    p.add_argument("--psi", type=finite, metavar="DEG", help="psi of every residue")
    p.add_argument("--format", choices=("json", "pdb", "cif"), default="json",
                   help="JSON atoms (default), or a PDB or mmCIF structure")
    p.set_defaults(run=cmd_backbone)

    p = command("region", "name the Ramachandran region of a (phi, psi) pair", """\
examples:
  lumivarex region -57 -47        "alpha_helix"
  lumivarex region -120 130       "beta_sheet"
""")
    p.add_argument("phi", type=finite, metavar="PHI", help="phi in degrees")
    p.add_argument("psi", type=finite, metavar="PSI", help="psi in degrees")
    p.set_defaults(run=cmd_region)

    p = command("rmsd", "RMSD of two point sets after the best superposition", """\
A and B are JSON files, inline JSON, or '-' for standard input, each a list of
[x, y, z] rows or a list of atoms with x, y and z (as 'lumivarex backbone'
prints them). Mirror images are not superposed.

examples:
  lumivarex rmsd "[[0,0,0],[1,0,0],[0,1,0]]" "[[0,0,0],[0,1,0],[-1,0,0]]"
  lumivarex backbone --sequence AAAA > helix.json
  lumivarex backbone --sequence AAAA --phi -75 --psi 145 | lumivarex rmsd helix.json -
""")
    p.add_argument("a", metavar="A", help="first point set")
    p.add_argument("b", metavar="B", help="second point set")
    p.set_defaults(run=cmd_rmsd)
