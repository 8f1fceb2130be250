"""Argument types and the options several commands share."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable

from lumivarex.records import Bounds

FORMATTER = argparse.RawDescriptionHelpFormatter

#: Adds a command: (name, help text, epilog) -> its parser.
CommandAdder = Callable[[str, str, str], argparse.ArgumentParser]

#: A box holding more voxels than this is refused unless --max-voxels says otherwise:
#: a mistyped voxel size should not make the machine swap for an hour.
DEFAULT_MAX_VOXELS = 20_000_000


# ------------------------------------------------------------------ argument types


def finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got '{text}'")
    return value


def positive(text: str) -> float:
    value = finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a number above zero, got '{text}'")
    return value


def non_negative(text: str) -> float:
    value = finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number of at least zero, got '{text}'")
    return value


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got '{text}'") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"expected a whole number from 0 to 2**64 - 1, got '{text}'")
    return value


def positive_count(text: str) -> int:
    value = count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected a whole number above zero, got '0'")
    return value


# ------------------------------------------------------------------ shared options

BOX_HELP = "the box in metres: minimum corner, then maximum corner"


def box_options(parser: argparse.ArgumentParser, *, voxel: bool = True) -> None:
    parser.add_argument("--box", nargs=6, type=finite, required=True,
                        metavar=("XMIN", "YMIN", "ZMIN", "XMAX", "YMAX", "ZMAX"), help=BOX_HELP)
    if voxel:
        parser.add_argument("--voxel", type=positive, required=True, metavar="SIZE",
                            help="voxel edge in metres")
        parser.add_argument("--scale", type=positive, metavar="SIZE",
                            help="cell size of the phase pattern in metres (default: the voxel size)")
        parser.add_argument("--max-voxels", type=positive_count, default=DEFAULT_MAX_VOXELS,
                            metavar="N", help="refuse boxes of more voxels (default %(default)s)")


def box_bounds(args: argparse.Namespace) -> Bounds:
    b = args.box
    return ((b[0], b[1], b[2]), (b[3], b[4], b[5]))


def quiet_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
