"""Commands that run on a Dask cluster: export zarr, batch."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Any

from lumivarex.cli.export import check_box
from lumivarex.cli.options import FORMATTER, CommandAdder, box_options, positive_count, quiet_option
from lumivarex.cli.plumbing import EXIT_FAILURE, CommandError, emit, fail, progress, size_text

SCHEDULER_HELP = ("address of a running Dask scheduler, e.g. tcp://host:8786 (default: $LUMIVAREX_SCHEDULER, "
                  "else a local cluster for this command)")


def _distributed() -> ModuleType:
    try:
        import lumivarex.distributed
    except ImportError as e:
        raise CommandError(str(e)) from None
    return lumivarex.distributed


def _bar(args: argparse.Namespace) -> bool | None:
    """Dask's progress bar: never with --quiet, else when standard error is a terminal."""
    return False if args.quiet else None


def _folder_size(path: str) -> int:
    return sum(f.stat().st_size for f in Path(path).rglob("*") if f.is_file())


def cmd_export_zarr(args: argparse.Namespace) -> int:
    lxd = _distributed()
    bounds, total, shape = check_box(args)
    what = args.property or "phase map"
    progress(args, f"exporting zarr of '{args.name}' ({what}; {total} voxels, {shape}; blocks of "
                   f"{args.chunks}^3) ...")
    started = time.perf_counter()
    volume = lxd.Volume(args.name, bounds, args.voxel, args.scale, args.property)
    lxd.to_zarr(volume, args.out, chunks=args.chunks, overwrite=args.overwrite, client=args.scheduler,
                progress=_bar(args))
    progress(args, f"wrote {args.out} ({size_text(_folder_size(args.out))} in "
                   f"{time.perf_counter() - started:.2f} s)")
    emit({"format": "zarr", "name": args.name, "files": [args.out], "voxels": total})
    return 0


def add_zarr_format(formats: Any) -> None:
    """Adds "zarr" to the formats of the export command."""
    q = formats.add_parser(
        "zarr", help="write the phase map (or a property's field) as a chunked Zarr store",
        description="Write the phase map of the box (or, with --property, that property at the voxel\n"
                    "centres) into a Zarr store, block by block on a Dask cluster. The store's attributes\n"
                    "describe the model: entry, phase names, box, voxel size, scale, axis order z, y, x.\n"
                    "Needs pip install 'lumivarex[dask]'.", formatter_class=FORMATTER,
        epilog="examples:\n  lumivarex export zarr \"carbon steel\" out/steel.zarr --box 0 0 0 0.02 0.02 0.02 "
               "--voxel 0.00001 --max-voxels 8000000000\n"
               "  lumivarex export zarr \"carbon steel\" out/rho.zarr --box 0 0 0 0.01 0.01 0.01 --voxel 0.0001 "
               "--property Density_kg_m3 --scheduler tcp://host:8786\n")
    q.add_argument("name", metavar="NAME", help="entry name, symbol or alias")
    q.add_argument("out", metavar="STORE", help="folder of the store (a new or empty one, or a store to "
                                                "replace with --overwrite), or a URL zarr opens")
    box_options(q)
    q.add_argument("--property", metavar="PROPERTY", help="store this property's values instead of phases")
    q.add_argument("--chunks", type=positive_count, default=128, metavar="N",
                   help="voxels per block along each axis (default %(default)s)")
    q.add_argument("--overwrite", action="store_true", help="replace an existing Zarr store")
    q.add_argument("--scheduler", metavar="ADDRESS", help=SCHEDULER_HELP)
    quiet_option(q)
    q.set_defaults(run=cmd_export_zarr)


def _read_jobs(source: str) -> list[Any]:
    try:
        if source == "-":
            if sys.stdin is None:
                raise CommandError("standard input is closed")
            text, label = sys.stdin.read(), "standard input"
        else:
            text, label = Path(source).read_text(encoding="utf-8"), f"'{source}'"
    except OSError as e:
        raise CommandError(f"cannot read '{source}': {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise CommandError(f"cannot read '{source}': not UTF-8 text") from None
    try:
        jobs = json.loads(text)
    except json.JSONDecodeError as e:
        raise CommandError(f"{label} is not JSON: {e}") from None
    except RecursionError:
        raise CommandError(f"{label} is nested too deeply") from None
    if not isinstance(jobs, list):
        raise CommandError(f"{label} must hold a JSON list of jobs")
    return jobs


def cmd_batch(args: argparse.Namespace) -> int:
    from lumivarex.cli import _error_text  # the command line's one wording of errors

    lxd = _distributed()
    jobs = _read_jobs(args.jobs)
    progress(args, f"running {len(jobs)} job{'' if len(jobs) == 1 else 's'} ...")
    started = time.perf_counter()
    outcomes = lxd.run(jobs, client=args.scheduler, progress=_bar(args))
    report: list[dict[str, Any]] = []
    for i, (job, outcome) in enumerate(zip(jobs, outcomes)):
        kind = job.get("job") if isinstance(job, dict) else None
        if isinstance(outcome, BaseException):
            text = _error_text(outcome)
            fail(f"job {i} ({kind}): {text}")
            report.append({"job": kind, "ok": False, "error": text, "error_type": type(outcome).__name__})
        else:
            report.append({"job": kind, "ok": True, "result": outcome})
    failed = sum(not r["ok"] for r in report)
    progress(args, f"{len(jobs) - failed} of {len(jobs)} jobs done in {time.perf_counter() - started:.2f} s")
    emit(report)
    return EXIT_FAILURE if failed else 0


def add_commands(command: CommandAdder) -> None:
    p = command("batch", "run a list of jobs on a Dask cluster", """\
JOBS is a JSON file ('-': standard input) holding a list of jobs, each an
object whose "job" is "export", "bake", "optimize" or "backbone", with the
fields of the Python classes of lumivarex.distributed:

  {"job": "export", "format": "stl", "name": "carbon steel", "path": "out/steel.stl",
   "bounds": [[0, 0, 0], [0.01, 0.01, 0.01]], "voxel_size": 0.0005, "options": {"binary": true}}
  {"job": "bake", "name": "carbon steel", "property": "Density_kg_m3",
   "bounds": [[0, 0, 0], [0.004, 0.004, 0.004]], "grid_size": [8, 8, 8]}
  {"job": "optimize", "targets": [{"property": "Density_kg_m3", "min_value": 7800}], "base": "Fe", "seed": 0}
  {"job": "backbone", "sequence": "AAAA", "phi_psi_deg": [[-57, -47], [-57, -47], [-57, -47], [-57, -47]]}

Prints a JSON list with, for each job in order, {"job", "ok": true, "result"}
or {"job", "ok": false, "error", "error_type"}; a failed job is also reported
on standard error and makes the exit status 1, but never stops the others.
Relative paths are taken from the current folder; on a cluster of several
machines they must name a folder every worker can reach. Needs
pip install 'lumivarex[dask]'.

examples:
  lumivarex batch jobs.json
  lumivarex batch jobs.json --scheduler tcp://host:8786
""")
    p.add_argument("jobs", metavar="JOBS", help="JSON file of jobs, or '-' for standard input")
    p.add_argument("--scheduler", metavar="ADDRESS", help=SCHEDULER_HELP)
    quiet_option(p)
    p.set_defaults(run=cmd_batch)
