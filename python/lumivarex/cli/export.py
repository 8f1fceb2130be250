"""The export command: voxel formats (obj, stl, vtk, sdf) and shader sources (hlsl, glsl)."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from lumivarex import core
from lumivarex._files import UNITS
from lumivarex.cli.options import FORMATTER, CommandAdder, box_bounds, box_options, quiet_option
from lumivarex.cli.plumbing import CommandError, call, emit, file_size, make_parent, progress, size_text
from lumivarex.records import Bounds


def check_box(args: argparse.Namespace) -> tuple[Bounds, int, str]:
    """The box, its voxel count and its shape as text; refuses more than --max-voxels."""
    bounds = box_bounds(args)
    nx, ny, nz = core.py_voxel_counts(bounds, args.voxel)
    total = nx * ny * nz
    if total > args.max_voxels:
        raise CommandError(
            f"the box holds {total} voxels ({nx} x {ny} x {nz}), more than --max-voxels "
            f"{args.max_voxels}; use a larger --voxel or raise --max-voxels")
    return bounds, total, f"{nx} x {ny} x {nz}"


def export_voxels(args: argparse.Namespace) -> tuple[list[str], int]:
    """Runs one voxel export (obj, stl, vtk, sdf) with progress on standard error.

    Returns the files written and the box's voxel count.
    """
    bounds, total, shape = check_box(args)
    # The core refuses a property that no voxel carries only once the whole
    # phase map is built; a mistyped name is reported before that wait.
    for prop in getattr(args, "properties", None) or ():
        call(core.py_sample, args.name, prop)  # KeyError names what is missing
    make_parent(args.out)
    progress(args, f"exporting {args.format} of '{args.name}' ({total} voxels, {shape}) ...")
    started = time.perf_counter()
    files: list[str]
    if args.format == "obj":
        obj, mtl = call(core.py_export_obj_units, args.name, args.out, bounds, args.voxel, args.scale,
                        UNITS[args.units])
        files = [obj, mtl]
    elif args.format == "stl":
        files = [call(core.py_export_stl_units, args.name, args.out, bounds, args.voxel, args.scale,
                      not args.ascii, UNITS[args.units])]
    elif args.format == "vtk":
        files = [call(core.py_export_vtk_legacy, args.name, args.out, bounds, args.voxel,
                      args.properties, args.scale)]
    else:
        raw = call(core.py_export_sdf_raw, args.name, args.out, bounds, args.voxel, args.scale,
                   args.mode)
        sidecar: str = core.py_sidecar_path(raw)
        files = [raw, sidecar]
    seconds = time.perf_counter() - started
    size = sum(file_size(f) for f in files)
    progress(args, f"wrote {', '.join(files)} ({size_text(size)} in {seconds:.2f} s)")
    return files, total


def cmd_export_voxels(args: argparse.Namespace) -> int:
    files, total = export_voxels(args)
    emit({"format": args.format, "name": args.name, "files": files, "voxels": total})
    return 0


def cmd_export_hlsl(args: argparse.Namespace) -> int:
    make_parent(args.out)
    path = call(core.py_export_hlsl, args.name, args.out, args.properties)
    progress(args, f"wrote {path} ({size_text(file_size(path))})")
    emit({"format": "hlsl", "name": args.name, "files": [path]})
    return 0


def cmd_export_glsl(args: argparse.Namespace) -> int:
    source = call(core.py_export_glsl, args.name, not args.no_density, not args.no_ior,
                  not args.no_sss)
    if args.out is None:
        sys.stdout.write(source)
        sys.stdout.flush()
        return 0
    make_parent(args.out)
    Path(args.out).write_text(source, encoding="utf-8")
    progress(args, f"wrote {args.out} ({size_text(file_size(args.out))})")
    emit({"format": "glsl", "name": args.name, "files": [args.out]})
    return 0


def add_commands(command: CommandAdder) -> None:
    p = command("export", "write a material as a mesh, a volume or shader source", """\
formats:
  obj    surface between phases as Wavefront OBJ, with an MTL library beside it
  stl    the same surface as binary (or --ascii) STL
  vtk    ASCII VTK volume of phase indices and sampled properties
  sdf    raw little-endian float32 volume with a JSON sidecar
  hlsl   HLSL shader with the material's numeric properties
  glsl   GLSL function returning density, IOR and subsurface constants
  zarr   chunked Zarr store of the phase map or a property, computed on Dask

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
                               + ".", formatter_class=FORMATTER,
                               epilog=f"example:\n  lumivarex export {fmt} {example}\n")
        q.add_argument("name", metavar="NAME", help="exact entry name, e.g. \"carbon steel\"")
        q.add_argument("out", metavar="OUT", help="file to write (folders are created)")
        box_options(q)
        quiet_option(q)
        q.set_defaults(run=cmd_export_voxels)
        return q

    def units_option(q: argparse.ArgumentParser) -> None:
        q.add_argument("--units", choices=tuple(UNITS), default="m",
                       help="unit of the coordinates in the file (default: m; mesh files carry none)")

    box = "--box 0 0 0 0.01 0.01 0.01 --voxel 0.0005"
    units_option(voxel_format("obj", "write the phase-boundary surface as OBJ + MTL",
                              f"\"carbon steel\" out/steel.obj {box}"))
    q = voxel_format("stl", "write the phase-boundary surface as STL",
                     f"\"carbon steel\" out/steel.stl {box} --units mm")
    q.add_argument("--ascii", action="store_true", help="write ASCII STL instead of binary")
    units_option(q)
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
                           "holding the material's numeric properties.", formatter_class=FORMATTER,
                           epilog="example:\n  lumivarex export hlsl \"carbon steel\" out/steel.hlsl "
                                  "--property Density_kg_m3\n")
    q.add_argument("name", metavar="NAME", help="exact entry name")
    q.add_argument("out", metavar="OUT", help="file to write (folders are created)")
    q.add_argument("--property", dest="properties", action="append", metavar="PROPERTY",
                   help="a struct field (repeatable; default: every numeric property)")
    quiet_option(q)
    q.set_defaults(run=cmd_export_hlsl)

    q = formats.add_parser("glsl", help="print (or write) GLSL source",
                           description="GLSL source of a function returning the material's "
                                       "density, IOR and subsurface constants.",
                           formatter_class=FORMATTER,
                           epilog="examples:\n  lumivarex export glsl \"carbon steel\"\n"
                                  "  lumivarex export glsl water out/water.glsl --no-sss\n")
    q.add_argument("name", metavar="NAME", help="exact entry name")
    q.add_argument("out", metavar="OUT", nargs="?", help="file to write (default: standard output)")
    q.add_argument("--no-density", action="store_true", help="use the default density 1000")
    q.add_argument("--no-ior", action="store_true", help="use the default IOR 1")
    q.add_argument("--no-sss", action="store_true", help="use zero subsurface constants")
    quiet_option(q)
    q.set_defaults(run=cmd_export_glsl)

    from lumivarex.cli.cluster import add_zarr_format  # it builds on this module

    add_zarr_format(formats)
