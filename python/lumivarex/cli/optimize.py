"""The optimize command: alloy compositions that meet property targets."""

from __future__ import annotations

import argparse

from lumivarex import core
from lumivarex.cli.options import CommandAdder, count, finite
from lumivarex.cli.plumbing import call, emit
from lumivarex.records import AlloyCandidate, AlloyTarget


def parse_target(text: str) -> AlloyTarget:
    """PROPERTY[:MIN[:MAX[:WEIGHT]]], an empty MIN or MAX meaning no bound."""
    parts = text.split(":")
    if len(parts) > 4 or not parts[0].strip():
        raise argparse.ArgumentTypeError(
            f"expected PROPERTY[:MIN[:MAX[:WEIGHT]]], got '{text}'")
    target: AlloyTarget = {"property": parts[0].strip()}

    def number(index: int, what: str) -> float | None:
        if index >= len(parts) or not parts[index].strip():
            return None
        try:
            return finite(parts[index])
        except argparse.ArgumentTypeError:
            raise argparse.ArgumentTypeError(
                f"the {what} of target '{text}' is not a finite number") from None

    low, high, weight = number(1, "minimum"), number(2, "maximum"), number(3, "weight")
    if low is not None and high is not None and low > high:
        raise argparse.ArgumentTypeError(f"the minimum of target '{text}' is above its maximum")
    if low is not None:
        target["min_value"] = low
    if high is not None:
        target["max_value"] = high
    if weight is not None:
        target["weight"] = weight
    return target


def optimize(args: argparse.Namespace) -> list[AlloyCandidate]:
    # The core checks the base, the pool and the targets before it draws anything.
    return call(core.py_optimize_alloy, args.targets, args.base, args.pool, args.candidates,
                args.top, args.seed)


def cmd_optimize(args: argparse.Namespace) -> int:
    emit(optimize(args))
    return 0


def add_commands(command: CommandAdder) -> None:
    p = command("optimize", "search alloy compositions that meet property targets", """\
Draws random additions to BASE, estimates each composition's properties as the
fraction-weighted mean of its elements' datasheet values, and prints the best
that meet every target.

TARGET is PROPERTY[:MIN[:MAX[:WEIGHT]]]; leave MIN or MAX empty for no bound.

examples:
  lumivarex optimize Fe --target Density_kg_m3:7800:8000 --seed 0
  lumivarex optimize Ni --target melting_point_K:1700 --pool Cr Mo Fe --top 3
  lumivarex optimize Fe --target Density_kg_m3::7700:2 --target melting_point_K:1750
""")
    p.add_argument("base", metavar="BASE", help="base element, e.g. Fe")
    p.add_argument("--target", dest="targets", action="append", type=parse_target, required=True,
                   metavar="TARGET", help="PROPERTY[:MIN[:MAX[:WEIGHT]]] (repeatable)")
    p.add_argument("--pool", nargs="+", metavar="ELEMENT",
                   help="alloying elements to draw from (default: a pool of common ones)")
    p.add_argument("--candidates", type=count, default=1000, metavar="N",
                   help="compositions to draw (default %(default)s)")
    p.add_argument("--top", type=count, default=5, metavar="K",
                   help="best compositions to print (default %(default)s)")
    p.add_argument("--seed", type=count, metavar="SEED", help="seed for a reproducible search")
    p.set_defaults(run=cmd_optimize)
