"""Registry commands: get, tiers, sample."""

from __future__ import annotations

import argparse

from lumivarex import core
from lumivarex.cli.options import CommandAdder, finite
from lumivarex.cli.plumbing import call, emit


def cmd_get(args: argparse.Namespace) -> int:
    if args.exact:
        emit(call(core.py_data_sheet, args.name))
    else:
        emit(call(core.py_get, args.name, args.tier))
    return 0


def cmd_tiers(args: argparse.Namespace) -> int:
    emit(call(core.py_list_tiers))  # already in canonical order: particles first, living matter last
    return 0


def cmd_sample(args: argparse.Namespace) -> int:
    at = tuple(args.at) if args.at is not None else None
    emit(call(core.py_sample, args.name, args.property, at, args.scale))
    return 0


def add_commands(command: CommandAdder) -> None:
    p = command("get", "print a datasheet as JSON", """\
NAME may be an entry's name, its chemical symbol or one of its aliases, in any
letter case, or a braces formula of entries with counts.

examples:
  lumivarex get iron
  lumivarex get Fe --tier atom
  lumivarex get "{Fe=3, C=1}"
  lumivarex get "carbon steel" --exact
""")
    p.add_argument("name", metavar="NAME", help="name, symbol, alias or {A=n, B=m} formula")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--tier", help="search only this tier (e.g. atom, alloys)")
    group.add_argument("--exact", action="store_true",
                       help="only the entry stored under exactly NAME (no symbols, aliases or formulas)")
    p.set_defaults(run=cmd_get)

    p = command("tiers", "list the twelve tiers of datasheets", """\
example:
  lumivarex tiers
""")
    p.set_defaults(run=cmd_tiers)

    p = command("sample", "print a property's value at a point", """\
A multi-phase material gives the value of the phase found at the point when
the scale is below 1 cm, and the volume-weighted mean of its phases otherwise
(or when no point is given).

examples:
  lumivarex sample "carbon steel" Density_kg_m3
  lumivarex sample "carbon steel" Density_kg_m3 --at 0.001 0.002 0 --scale 0.001
""")
    p.add_argument("name", metavar="NAME", help="exact entry name")
    p.add_argument("property", metavar="PROPERTY", help="property name, e.g. Density_kg_m3")
    p.add_argument("--at", nargs=3, type=finite, metavar=("X", "Y", "Z"), help="point in metres")
    p.add_argument("--scale", type=finite, metavar="SIZE", help="length scale in metres")
    p.set_defaults(run=cmd_sample)
