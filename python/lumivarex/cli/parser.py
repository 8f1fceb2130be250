"""The command-line parser: the top level, and each command group's part of it."""

from __future__ import annotations

import argparse
from typing import NoReturn

from lumivarex import core
from lumivarex.cli import bake, cluster, demo, export, optimize, protein, registry, validate
from lumivarex.cli.options import FORMATTER
from lumivarex.cli.plumbing import PROG, UsageError


class _Parser(argparse.ArgumentParser):
    """Reports a command line it cannot read in one line, with a pointer to --help."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


MAIN_EPILOG = """\
examples:
  lumivarex get iron                      the datasheet of Fe, found by its alias
  lumivarex get "{Fe=3, C=1}"             a composed entry (numbers weighted and summed)
  lumivarex tiers
  lumivarex sample "carbon steel" Density_kg_m3 --at 0.001 0.002 0 --scale 0.001
  lumivarex export stl "carbon steel" out/steel.stl --box 0 0 0 0.01 0.01 0.01 --voxel 0.0005
  lumivarex bake "carbon steel" Density_kg_m3 --box 0 0 0 0.004 0.004 0.004 --grid 8 8 8
  lumivarex optimize Fe --target Density_kg_m3:7800:8000 --seed 0
  lumivarex batch jobs.json --scheduler tcp://host:8786   jobs on a Dask cluster
  lumivarex validate                      check the shipped datasheets against their schemas
  lumivarex demo

'lumivarex COMMAND --help' describes each command.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, formatter_class=FORMATTER, epilog=MAIN_EPILOG,
                     description="Datasheets of materials, molecules, particles and proteins, "
                                 "and tools that compute on them.")
    parser.add_argument("--version", action="version", version=f"{PROG} {core.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str, epilog: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help_text, description=help_text[0].upper()
                                   + help_text[1:] + ".", epilog=epilog, formatter_class=FORMATTER)

    # In the order --help lists them.
    for group in (registry, export, protein, bake, optimize, cluster, validate, demo):
        group.add_commands(command)
    return parser
