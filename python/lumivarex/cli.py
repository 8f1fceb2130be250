"""The ``lumivarex`` command line.

Every command prints its data as JSON on standard output (GLSL source and the
demo's report are text). Progress of long jobs goes to standard error. Every
failure, whether a mistyped argument or an error of the native core, ends the
program with a non-zero status and one line "lumivarex: error: ..." on
standard error.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import IO, Any, NoReturn, TypeVar

from lumivarex import core
from lumivarex.records import AlloyCandidate, AlloyTarget, Bounds, FourierBake

PROG = "lumivarex"

# Exit statuses: a failed operation, then a command line that could not be read.
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

#: The order in which tiers are listed: particles first, living matter last.
TIER_ORDER = (
    "subatomic", "atom", "molecule", "alloy", "ceramic", "composite",
    "amino_acid", "protein", "cell", "cell_component", "nucleic_acid", "biomaterial",
)

#: A box holding more voxels than this is refused unless --max-voxels says otherwise:
#: a mistyped voxel size should not make the machine swap for an hour.
DEFAULT_MAX_VOXELS = 20_000_000

# The core reports a broken precondition on standard error before it raises;
# the command line reports the same message itself, in its own single line.
_CORE_DIAGNOSTIC = "lumivarex_core: assertion failed:"

T = TypeVar("T")


class CommandError(Exception):
    """A failure the command line found itself; its text is the whole message."""


class UsageError(CommandError):
    """The command line could not be read."""


# ------------------------------------------------------------------ plumbing


def _holding_file() -> IO[bytes] | None:
    """A file to hold the core's standard error during a call.

    In memory where the system offers that, so that a missing or read-only
    temporary folder costs nothing; else a temporary file; else None.
    """
    try:
        return os.fdopen(os.memfd_create("lumivarex-stderr"), "w+b")
    except (AttributeError, OSError):  # not Linux, or forbidden by a sandbox
        pass
    try:
        return tempfile.TemporaryFile()
    except OSError:
        return None


def _call(function: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """Calls into the core, holding back its precondition diagnostic.

    Anything else the core writes to standard error meanwhile is passed on.
    Where standard error is closed or nothing can hold it, the call runs as is.
    """
    held = _holding_file() if sys.stderr is not None else None
    if held is None:
        return function(*args, **kwargs)
    with held:
        try:
            sys.stderr.flush()
            saved = os.dup(2)
        except (OSError, ValueError):  # no usable standard error: nothing to hold back
            return function(*args, **kwargs)
        os.dup2(held.fileno(), 2)
        try:
            return function(*args, **kwargs)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            held.seek(0)
            for line in held.read().decode("utf-8", "replace").splitlines(keepends=True):
                if not line.startswith(_CORE_DIAGNOSTIC):
                    _to_stderr(line)


def _plain(value: Any) -> Any:
    """The value with non-finite floats replaced by None, so that it is valid JSON."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _emit(value: Any) -> None:
    """Prints one JSON document on standard output."""
    encoding = (sys.stdout.encoding or "").lower().replace("-", "").replace("_", "")
    text = json.dumps(_plain(value), indent=2, ensure_ascii=encoding != "utf8", allow_nan=False)
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def _to_stderr(text: str) -> None:
    """Writes to standard error; one that is closed or fails is not worth failing for."""
    if sys.stderr is None:  # closed from the start
        return
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except OSError:
        pass


def _progress(args: argparse.Namespace, message: str) -> None:
    if not getattr(args, "quiet", False):
        _to_stderr(message + "\n")


def _size_text(n_bytes: int) -> str:
    if n_bytes < 100_000:
        return f"{n_bytes / 1000:.1f} kB"
    return f"{n_bytes / 1e6:.1f} MB"


def _file_size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _make_parent(path: str) -> None:
    """Creates the folder that will hold ``path``, so that every format can write into a new folder."""
    parent = os.path.dirname(path)
    if parent:
        try:
            os.makedirs(parent, exist_ok=True)
        except OSError as e:
            raise CommandError(f"cannot create the folder for '{path}': {e.strerror or e}") from None


def _one_line(text: str) -> str:
    return " ".join(part.strip() for part in text.splitlines() if part.strip())


def _fail(message: str) -> None:
    _to_stderr(f"{PROG}: error: {_one_line(message)}\n")


# ------------------------------------------------------------------ argument types


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got '{text}'")
    return value


def _positive(text: str) -> float:
    value = _finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a number above zero, got '{text}'")
    return value


def _non_negative(text: str) -> float:
    value = _finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number of at least zero, got '{text}'")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got '{text}'") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"expected a whole number from 0 to 2**64 - 1, got '{text}'")
    return value


def _positive_count(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected a whole number above zero, got '0'")
    return value


def _parse_target(text: str) -> AlloyTarget:
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
            return _finite(parts[index])
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


# ------------------------------------------------------------------ boxes


def _bounds(args: argparse.Namespace) -> Bounds:
    b = args.box
    return ((b[0], b[1], b[2]), (b[3], b[4], b[5]))


def _check_box(args: argparse.Namespace) -> tuple[Bounds, int, str]:
    bounds = _bounds(args)
    nx, ny, nz = core.py_voxel_counts(bounds, args.voxel)
    total = nx * ny * nz
    if total > args.max_voxels:
        raise CommandError(
            f"the box holds {total} voxels ({nx} x {ny} x {nz}), more than --max-voxels "
            f"{args.max_voxels}; use a larger --voxel or raise --max-voxels")
    return bounds, total, f"{nx} x {ny} x {nz}"


# The core refuses a material, property or element that cannot be found only
# once it has started the work (a property missing on some voxels even samples
# as 0.0 there); on the command line such names are almost always typos, so
# they are checked before the work starts.


def _require_entry(name: str) -> None:
    try:
        _call(core.py_data_sheet, name)
    except KeyError:
        raise CommandError(f"no datasheet is stored under exactly '{name}'") from None


def _require_property(name: str, prop: str) -> None:
    _call(core.py_sample, name, prop)  # KeyError names what is missing


# ------------------------------------------------------------------ commands


def cmd_get(args: argparse.Namespace) -> int:
    if args.exact:
        _emit(_call(core.py_data_sheet, args.name))
    else:
        _emit(_call(core.py_get, args.name, args.tier))
    return 0


def cmd_tiers(args: argparse.Namespace) -> int:
    names = _call(core.py_list_tiers)
    rank = {name: i for i, name in enumerate(TIER_ORDER)}
    _emit(sorted(names, key=lambda n: (rank.get(n, len(rank)), n)))
    return 0


def cmd_sample(args: argparse.Namespace) -> int:
    at = tuple(args.at) if args.at is not None else None
    _emit(_call(core.py_sample, args.name, args.property, at, args.scale))
    return 0


def _sidecar_path(raw_path: str) -> str:
    folder, leaf = os.path.split(raw_path)
    dot = leaf.rfind(".")
    stem = leaf[:dot] if dot > 0 else leaf
    return os.path.join(folder, stem + ".json")


def export_voxels(args: argparse.Namespace) -> tuple[list[str], int]:
    """Runs one voxel export (obj, stl, vtk, sdf) with progress on standard error.

    Returns the files written and the box's voxel count.
    """
    bounds, total, shape = _check_box(args)
    for prop in getattr(args, "properties", None) or ():
        _require_property(args.name, prop)
    _make_parent(args.out)
    _progress(args, f"exporting {args.format} of '{args.name}' ({total} voxels, {shape}) ...")
    started = time.perf_counter()
    files: list[str]
    if args.format == "obj":
        obj, mtl = _call(core.py_export_obj, args.name, args.out, bounds, args.voxel, args.scale)
        files = [obj, mtl]
    elif args.format == "stl":
        files = [_call(core.py_export_stl, args.name, args.out, bounds, args.voxel, args.scale,
                       not args.ascii)]
    elif args.format == "vtk":
        files = [_call(core.py_export_vtk_legacy, args.name, args.out, bounds, args.voxel,
                       args.properties, args.scale)]
    else:
        files = [_call(core.py_export_sdf_raw, args.name, args.out, bounds, args.voxel, args.scale,
                       args.mode)]
        files.append(_sidecar_path(files[0]))
    seconds = time.perf_counter() - started
    size = sum(_file_size(f) for f in files)
    _progress(args, f"wrote {', '.join(files)} ({_size_text(size)} in {seconds:.2f} s)")
    return files, total


def cmd_export_voxels(args: argparse.Namespace) -> int:
    files, total = export_voxels(args)
    _emit({"format": args.format, "name": args.name, "files": files, "voxels": total})
    return 0


def cmd_export_hlsl(args: argparse.Namespace) -> int:
    _make_parent(args.out)
    path = _call(core.py_export_hlsl, args.name, args.out, args.properties)
    _progress(args, f"wrote {path} ({_size_text(_file_size(path))})")
    _emit({"format": "hlsl", "name": args.name, "files": [path]})
    return 0


def cmd_export_glsl(args: argparse.Namespace) -> int:
    source = _call(core.py_export_glsl, args.name, not args.no_density, not args.no_ior,
                   not args.no_sss)
    if args.out is None:
        sys.stdout.write(source)
        sys.stdout.flush()
        return 0
    _make_parent(args.out)
    Path(args.out).write_text(source, encoding="utf-8")
    _progress(args, f"wrote {args.out} ({_size_text(_file_size(args.out))})")
    _emit({"format": "glsl", "name": args.name, "files": [args.out]})
    return 0


def _load_json(text: str, label: str) -> Any:
    """The JSON value of text, every number read as a float.

    An integer too large for a float reads as infinity, which the callers
    refuse as they refuse any other non-finite number.
    """
    try:
        return json.loads(text, parse_int=float)
    except json.JSONDecodeError as e:
        raise CommandError(f"{label} is not JSON: {e}") from None
    except RecursionError:
        raise CommandError(f"{label} is nested too deeply") from None


def _angle_pairs(text: str) -> list[tuple[float, float]]:
    data = _load_json(text, "--angles")
    pairs: list[tuple[float, float]] = []
    if isinstance(data, list):
        for item in data:
            if (not isinstance(item, list) or len(item) != 2
                    or not all(_is_number(v) for v in item)):
                break
            pairs.append((float(item[0]), float(item[1])))
        else:
            return pairs
    raise CommandError("--angles must be a JSON list of [phi, psi] pairs in degrees")


def _is_number(value: object) -> bool:
    """A finite number as _load_json reads it (always a float)."""
    return isinstance(value, float) and math.isfinite(value)


BACKBONE_HELP = " (see 'lumivarex backbone --help')"


def cmd_backbone(args: argparse.Namespace) -> int:
    if args.entry is not None:
        if args.sequence is not None or args.angles is not None or args.phi is not None \
                or args.psi is not None:
            raise UsageError("give either ENTRY or --sequence with its angles, not both"
                             + BACKBONE_HELP)
        _emit(_call(core.py_build_backbone_from_entry, args.entry))
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
    _emit(_call(core.py_build_backbone, args.sequence, pairs))
    return 0


def cmd_region(args: argparse.Namespace) -> int:
    _emit(_call(core.py_ramachandran_region, args.phi, args.psi))
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
    data = _load_json(text, label)
    points: list[list[float]] = []
    if isinstance(data, list):
        for row in data:
            if isinstance(row, dict):  # an atom as printed by 'lumivarex backbone'
                row = [row.get("x"), row.get("y"), row.get("z")]
            if not isinstance(row, list) or len(row) != 3 or not all(_is_number(v) for v in row):
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
    if not a or not b:  # the core would call that a perfect match
        raise CommandError(f"cannot compare an empty point set (A has {len(a)} points, "
                           f"B has {len(b)})")
    _emit(_call(core.py_kabsch_rmsd, a, b))
    return 0


def bake(args: argparse.Namespace) -> FourierBake:
    bounds = _bounds(args)
    nx, ny, nz = args.grid
    _require_entry(args.name)
    _require_property(args.name, args.property)
    _progress(args, f"baking {args.property} of '{args.name}' on a {nx} x {ny} x {nz} grid ...")
    started = time.perf_counter()
    result = _call(core.py_bake_fourier, args.name, args.property, bounds, (nx, ny, nz),
                   args.threshold)
    _progress(args, f"baked {len(result['coefficients'])} coefficients in "
                    f"{time.perf_counter() - started:.2f} s")
    return result


def cmd_bake(args: argparse.Namespace) -> int:
    _emit(bake(args))
    return 0


def optimize(args: argparse.Namespace) -> list[AlloyCandidate]:
    for element in [args.base, *(args.pool or ())]:
        _require_entry(element)
    return _call(core.py_optimize_alloy, args.targets, args.base, args.pool, args.candidates,
                 args.top, args.seed)


def cmd_optimize(args: argparse.Namespace) -> int:
    _emit(optimize(args))
    return 0


def cmd_validate(args: argparse.Namespace) -> int:
    from lumivarex import validate

    try:
        problems = [str(p) for p in validate.check_folder(args.folder)]
    except validate.MissingDependency as e:
        raise CommandError(str(e)) from None
    for line in problems:
        print(line)
    folder = validate.DATA_DIR if args.folder is None else args.folder
    _progress(args, f"{folder}: {len(problems) or 'no'} problem{'' if len(problems) == 1 else 's'}")
    return EXIT_FAILURE if problems else 0


# ------------------------------------------------------------------ demo

DEMO_MATERIAL = "carbon steel"
DEMO_PROPERTY = "Density_kg_m3"


def _fmt(value: float) -> str:
    return f"{value:.6g}"


def cmd_demo(args: argparse.Namespace) -> int:
    out = Path(args.out)
    name = DEMO_MATERIAL
    quiet = args.quiet
    print(f"lumivarex {core.__version__} demo: {name}, {DEMO_PROPERTY}, an alloy around Fe")

    def ns(**fields: Any) -> argparse.Namespace:
        return argparse.Namespace(quiet=quiet, **fields)

    # A 1 cm cube in 0.5 mm voxels, phases picked per 1 mm cell: a visible grain pattern.
    box = [0.0, 0.0, 0.0, 0.01, 0.01, 0.01]
    stem = name.replace(" ", "_")
    written: list[str] = []
    for fmt in ("obj", "stl"):
        files, _ = export_voxels(ns(format=fmt, name=name, out=str(out / f"{stem}.{fmt}"),
                                    box=box, voxel=0.0005, scale=0.001, ascii=False,
                                    max_voxels=DEFAULT_MAX_VOXELS))
        written += files
    print(f"surface of {name} (1 cm cube, 20 x 20 x 20 voxels of 0.5 mm):")
    for path in written:
        print(f"  wrote {path} ({_size_text(_file_size(path))})")

    # A 4 mm cube sampled every 0.5 mm: fine enough that each sample sees one phase.
    baked = bake(ns(name=name, property=DEMO_PROPERTY, box=[0.0, 0.0, 0.0, 0.004, 0.004, 0.004],
                    grid=[8, 8, 8], threshold=0.05))
    bake_path = out / f"{stem}_{DEMO_PROPERTY}_fourier.json"
    bake_path.write_text(json.dumps(_plain(baked), indent=2) + "\n", encoding="utf-8")
    print(f"Fourier bake of {DEMO_PROPERTY} over a 4 mm cube (8 x 8 x 8 samples):")
    print(f"  mean {_fmt(baked['base_value'])}, {len(baked['coefficients'])} coefficients kept "
          f"(amplitude at least 5% of the strongest)")
    strongest = sorted(baked["coefficients"], key=lambda c: -c["amplitude"])[:3]
    for c in strongest:
        print(f"  (n, m, l) = ({c['n']}, {c['m']}, {c['l']}): amplitude {_fmt(c['amplitude'])}, "
              f"phase {c['phase']:.3f} rad")
    print(f"  wrote {bake_path}")

    target: AlloyTarget = {"property": DEMO_PROPERTY, "min_value": 7800.0, "max_value": 8000.0}
    candidates = optimize(ns(targets=[target], base="Fe", pool=None, candidates=1000, top=10,
                             seed=0))
    opt_path = out / "Fe_alloy_candidates.json"
    opt_path.write_text(json.dumps(_plain(candidates), indent=2) + "\n", encoding="utf-8")
    print(f"alloys around Fe with 7800 <= {DEMO_PROPERTY} <= 8000 (1000 draws, seed 0), "
          f"best first:")
    if not candidates:
        print("  no composition met the target")
    shown: list[dict[str, float]] = []
    for cand in candidates:
        if len(shown) == 3:
            break
        if cand["composition"] in shown:  # drawn twice (pure Fe, say): show it once
            continue
        shown.append(cand["composition"])
        rank = len(shown)
        parts = sorted(cand["composition"].items(), key=lambda kv: -kv[1])
        mix = ", ".join(f"{el} {frac:.3f}" for el, frac in parts)
        estimate = cand["estimated_properties"].get(DEMO_PROPERTY, float("nan"))
        print(f"  {rank}. {mix}: {DEMO_PROPERTY} {_fmt(estimate)}, score {_fmt(cand['score'])}")
    print(f"  wrote {opt_path}")
    return 0


# ------------------------------------------------------------------ parser


class _Parser(argparse.ArgumentParser):
    """Reports a command line it cannot read in one line, with a pointer to --help."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


_FORMATTER = argparse.RawDescriptionHelpFormatter

MAIN_EPILOG = """\
examples:
  lumivarex get iron                      the datasheet of Fe, found by its alias
  lumivarex get "{Fe=3, C=1}"             a composed entry (numbers weighted and summed)
  lumivarex tiers
  lumivarex sample "carbon steel" Density_kg_m3 --at 0.001 0.002 0 --scale 0.001
  lumivarex export stl "carbon steel" out/steel.stl --box 0 0 0 0.01 0.01 0.01 --voxel 0.0005
  lumivarex bake "carbon steel" Density_kg_m3 --box 0 0 0 0.004 0.004 0.004 --grid 8 8 8
  lumivarex optimize Fe --target Density_kg_m3:7800:8000 --seed 0
  lumivarex validate                      check the shipped datasheets against their schemas
  lumivarex demo

'lumivarex COMMAND --help' describes each command.
"""

BOX_HELP = "the box in metres: minimum corner, then maximum corner"


def _box_options(parser: argparse.ArgumentParser, *, voxel: bool = True) -> None:
    parser.add_argument("--box", nargs=6, type=_finite, required=True,
                        metavar=("XMIN", "YMIN", "ZMIN", "XMAX", "YMAX", "ZMAX"), help=BOX_HELP)
    if voxel:
        parser.add_argument("--voxel", type=_positive, required=True, metavar="SIZE",
                            help="voxel edge in metres")
        parser.add_argument("--scale", type=_positive, metavar="SIZE",
                            help="cell size of the phase pattern in metres (default: the voxel size)")
        parser.add_argument("--max-voxels", type=_positive_count, default=DEFAULT_MAX_VOXELS,
                            metavar="N", help="refuse boxes of more voxels (default %(default)s)")


def _quiet_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, formatter_class=_FORMATTER, epilog=MAIN_EPILOG,
                     description="Datasheets of materials, molecules, particles and proteins, "
                                 "and tools that compute on them.")
    parser.add_argument("--version", action="version", version=f"{PROG} {core.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str, epilog: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=help_text, description=help_text[0].upper()
                                   + help_text[1:] + ".", epilog=epilog, formatter_class=_FORMATTER)

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
    p.add_argument("--at", nargs=3, type=_finite, metavar=("X", "Y", "Z"), help="point in metres")
    p.add_argument("--scale", type=_finite, metavar="SIZE", help="length scale in metres")
    p.set_defaults(run=cmd_sample)

    p = command("export", "write a material as a mesh, a volume or shader source", """\
formats:
  obj    surface between phases as Wavefront OBJ, with an MTL library beside it
  stl    the same surface as binary (or --ascii) STL
  vtk    ASCII VTK volume of phase indices and sampled properties
  sdf    raw little-endian float32 volume with a JSON sidecar
  hlsl   HLSL shader with the material's numeric properties
  glsl   GLSL function returning density, IOR and subsurface constants

examples:
  lumivarex export stl "carbon steel" out/steel.stl --box 0 0 0 0.01 0.01 0.01 --voxel 0.0005
  lumivarex export obj "carbon steel" out/steel.obj --box 0 0 0 0.01 0.01 0.01 --voxel 0.0005 --scale 0.001
  lumivarex export vtk "carbon steel" out/steel.vtk --box 0 0 0 0.005 0.005 0.005 --voxel 0.0005 --property Density_kg_m3
  lumivarex export sdf "carbon steel" out/steel.raw --box 0 0 0 0.01 0.01 0.01 --voxel 0.001
  lumivarex export hlsl "carbon steel" out/steel.hlsl
  lumivarex export glsl "carbon steel"
""")
    formats = p.add_subparsers(dest="format", metavar="FORMAT", required=True)

    def voxel_format(fmt: str, help_text: str, example: str) -> argparse.ArgumentParser:
        q = formats.add_parser(fmt, help=help_text, description=help_text[0].upper() + help_text[1:]
                               + ".", formatter_class=_FORMATTER,
                               epilog=f"example:\n  lumivarex export {fmt} {example}\n")
        q.add_argument("name", metavar="NAME", help="exact entry name, e.g. \"carbon steel\"")
        q.add_argument("out", metavar="OUT", help="file to write (folders are created)")
        _box_options(q)
        _quiet_option(q)
        q.set_defaults(run=cmd_export_voxels)
        return q

    box = "--box 0 0 0 0.01 0.01 0.01 --voxel 0.0005"
    voxel_format("obj", "write the phase-boundary surface as OBJ + MTL",
                 f"\"carbon steel\" out/steel.obj {box}")
    q = voxel_format("stl", "write the phase-boundary surface as STL",
                     f"\"carbon steel\" out/steel.stl {box}")
    q.add_argument("--ascii", action="store_true", help="write ASCII STL instead of binary")
    q = voxel_format("vtk", "write an ASCII VTK volume",
                     "\"carbon steel\" out/steel.vtk --box 0 0 0 0.005 0.005 0.005 "
                     "--voxel 0.0005 --property Density_kg_m3")
    q.add_argument("--property", dest="properties", action="append", metavar="PROPERTY",
                   help="add a sampled float field (repeatable)")
    q = voxel_format("sdf", "write a raw float32 volume and its JSON sidecar",
                     f"\"carbon steel\" out/steel.raw {box}")
    q.add_argument("--mode", choices=("phase", "occupancy"), default="phase",
                   help="voxel value: phase index (default) or 1.0 everywhere")

    q = formats.add_parser("hlsl", help="write an HLSL shader", description="Write an HLSL shader "
                           "holding the material's numeric properties.", formatter_class=_FORMATTER,
                           epilog="example:\n  lumivarex export hlsl \"carbon steel\" out/steel.hlsl "
                                  "--property Density_kg_m3\n")
    q.add_argument("name", metavar="NAME", help="exact entry name")
    q.add_argument("out", metavar="OUT", help="file to write (folders are created)")
    q.add_argument("--property", dest="properties", action="append", metavar="PROPERTY",
                   help="a struct field (repeatable; default: every numeric property)")
    _quiet_option(q)
    q.set_defaults(run=cmd_export_hlsl)

    q = formats.add_parser("glsl", help="print (or write) GLSL source",
                           description="GLSL source of a function returning the material's "
                                       "density, IOR and subsurface constants.",
                           formatter_class=_FORMATTER,
                           epilog="examples:\n  lumivarex export glsl \"carbon steel\"\n"
                                  "  lumivarex export glsl water out/water.glsl --no-sss\n")
    q.add_argument("name", metavar="NAME", help="exact entry name")
    q.add_argument("out", metavar="OUT", nargs="?", help="file to write (default: standard output)")
    q.add_argument("--no-density", action="store_true", help="use the default density 1000")
    q.add_argument("--no-ior", action="store_true", help="use the default IOR 1")
    q.add_argument("--no-sss", action="store_true", help="use zero subsurface constants")
    _quiet_option(q)
    q.set_defaults(run=cmd_export_glsl)

    p = command("backbone", "build a protein backbone (N, CA, C atoms in angstrom)", """\
Give a protein datasheet, or a sequence of one-letter codes with its angles:
--angles for one [phi, psi] pair per residue, or --phi/--psi for the same pair
on every residue (default -57, -47: an alpha helix).

examples:
  lumivarex backbone "ideal alpha helix"
  lumivarex backbone --sequence AAAAAAAA
  lumivarex backbone --sequence GAV --angles "[[-60, -45], [-120, 130], [-75, 145]]"
  lumivarex backbone --sequence PPPP --phi -75 --psi 145 > ppii.json
""")
    p.add_argument("entry", metavar="ENTRY", nargs="?", help="exact name of a protein datasheet")
    p.add_argument("--sequence", metavar="CODES", help="one-letter residue codes")
    p.add_argument("--angles", metavar="JSON", help="JSON list of [phi, psi] pairs in degrees")
    p.add_argument("--phi", type=_finite, metavar="DEG", help="phi of every residue")
    p.add_argument("--psi", type=_finite, metavar="DEG", help="psi of every residue")
    p.set_defaults(run=cmd_backbone)

    p = command("region", "name the Ramachandran region of a (phi, psi) pair", """\
examples:
  lumivarex region -57 -47        "alpha_helix"
  lumivarex region -120 130       "beta_sheet"
""")
    p.add_argument("phi", type=_finite, metavar="PHI", help="phi in degrees")
    p.add_argument("psi", type=_finite, metavar="PSI", help="psi in degrees")
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
    _box_options(p, voxel=False)
    p.add_argument("--grid", nargs=3, type=_positive_count, required=True,
                   metavar=("NX", "NY", "NZ"), help="samples along x, y and z")
    p.add_argument("--threshold", type=_non_negative, default=0.01, metavar="T",
                   help="keep coefficients of at least T times the strongest (default %(default)s)")
    _quiet_option(p)
    p.set_defaults(run=cmd_bake)

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
    p.add_argument("--target", dest="targets", action="append", type=_parse_target, required=True,
                   metavar="TARGET", help="PROPERTY[:MIN[:MAX[:WEIGHT]]] (repeatable)")
    p.add_argument("--pool", nargs="+", metavar="ELEMENT",
                   help="alloying elements to draw from (default: a pool of common ones)")
    p.add_argument("--candidates", type=_count, default=1000, metavar="N",
                   help="compositions to draw (default %(default)s)")
    p.add_argument("--top", type=_count, default=5, metavar="K",
                   help="best compositions to print (default %(default)s)")
    p.add_argument("--seed", type=_count, metavar="SEED", help="seed for a reproducible search")
    p.set_defaults(run=cmd_optimize)

    p = command("validate", "check a data folder as the import reads it", """\
Lists, one line each, every file the import would skip (a name that does not
end in .json, something that is not a regular file, text that is not one JSON
document) and every way a datasheet breaks its tier's schema or shares a name
with another entry of its tier. Exits with status 1 if there is any. Needs the
jsonschema package (pip install 'lumivarex[validate]').

examples:
  lumivarex validate
  lumivarex validate my-data/active
""")
    p.add_argument("folder", metavar="FOLDER", nargs="?",
                   help="a folder of tier folders (default: the shipped data)")
    _quiet_option(p)
    p.set_defaults(run=cmd_validate)

    p = command("demo", "export, bake and optimise with the shipped data", f"""\
Writes {DEMO_MATERIAL} as OBJ and STL, a Fourier bake of its {DEMO_PROPERTY} and
the best alloys around Fe with a density between 7800 and 8000 kg/m3 into
FOLDER, and prints what it wrote and the results.

example:
  lumivarex demo --out /tmp/lumivarex-demo
""")
    p.add_argument("--out", default="lumivarex-demo", metavar="FOLDER",
                   help="folder for the files (default %(default)s)")
    _quiet_option(p)
    p.set_defaults(run=cmd_demo)
    return parser


# ------------------------------------------------------------------ entry


def _error_text(error: BaseException) -> str:
    if isinstance(error, KeyError) and error.args:
        text = str(error.args[0])  # str() of a KeyError would add quotes
    elif isinstance(error, OSError) and error.strerror:
        text = f"{error.strerror}: '{error.filename}'" if error.filename else error.strerror
    else:
        text = str(error)
    return text if text.strip() else type(error).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as e:  # --help and --version
            return e.code if isinstance(e.code, int) else 0
        if sys.stdout is None:  # every command prints its result there
            raise CommandError("standard output is closed")
        status: int = args.run(args)
        return status
    except UsageError as e:
        _fail(str(e))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (e.g. '| head'): stop quietly, and keep Python from
        # complaining when it flushes standard output at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_FAILURE
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    except (CommandError, KeyError, ValueError, RuntimeError, TypeError, OSError, MemoryError,
            core.PanicException) as e:
        _fail(_error_text(e))
        return EXIT_FAILURE


if __name__ == "__main__":
    raise SystemExit(main())
