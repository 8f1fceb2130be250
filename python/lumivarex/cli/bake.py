"""The bake command: a property over a box as Fourier coefficients."""

from __future__ import annotations

import argparse
import time

from lumivarex import core
from lumivarex.cli.options import CommandAdder, box_bounds, box_options, non_negative, positive_count, \
    quiet_option
from lumivarex.cli.plumbing import call, emit, progress
from lumivarex.records import FourierBake


def bake(args: argparse.Namespace) -> FourierBake:
    """Runs one bake with progress on standard error.

    An unknown entry fails before any sampling, and a property no grid point
    carries fails before the transform, which is where the time goes: the
    core's own refusals come soon enough.
    """
    nx, ny, nz = args.grid
    progress(args, f"baking {args.property} of '{args.name}' on a {nx} x {ny} x {nz} grid ...")
    started = time.perf_counter()
    result = call(core.py_bake_fourier, args.name, args.property, box_bounds(args), (nx, ny, nz),
                  args.threshold)
    progress(args, f"baked {len(result['coefficients'])} coefficients in "
                   f"{time.perf_counter() - started:.2f} s")
    return result


def cmd_bake(args: argparse.Namespace) -> int:
    emit(bake(args))
    return 0


def add_commands(command: CommandAdder) -> None:
    p = command("bake", "bake a property over a box into Fourier coefficients", """\
The box is sampled on the grid (one sample per cell centre) and treated as one
period; the result holds the mean and the coefficients whose amplitude is at
least THRESHOLD times the strongest. The work grows with the square of the
number of samples: keep grids small (8 x 8 x 8 takes well under a second).

example:
  lumivarex bake "carbon steel" Density_kg_m3 --box 0 0 0 0.004 0.004 0.004 --grid 8 8 8
""")
    p.add_argument("name", metavar="NAME", help="exact entry name")
    p.add_argument("property", metavar="PROPERTY", help="property name")
    box_options(p, voxel=False)
    p.add_argument("--grid", nargs=3, type=positive_count, required=True,
                   metavar=("NX", "NY", "NZ"), help="samples along x, y and z")
    p.add_argument("--threshold", type=non_negative, default=0.01, metavar="T",
                   help="keep coefficients of at least T times the strongest (default %(default)s)")
    quiet_option(p)
    p.set_defaults(run=cmd_bake)

