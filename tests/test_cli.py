"""The command line, run as `python -m lumivarex` against a throw-away package."""

from __future__ import annotations

import json
import os
import shutil
import struct
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import Any

import pytest

import lumivarex.cli as cli_module
from lumivarex import core

PACKAGE_DIR = Path(cli_module.__file__).parent.parent
REPO = Path(__file__).resolve().parent.parent

STEEL = {
    "phase_model": "voronoi",
    "phase_volume_fractions": {"ferrite": 0.87, "cementite": 0.13},
    "phase_properties": {
        "ferrite": {"Density_kg_m3": 7874.0},
        "cementite": {"Density_kg_m3": 7694.0},
    },
    "Density_kg_m3": 7850,
}

DATASHEETS = {
    "atom/Fe.json": {"Symbol": "Fe", "Aliases": ["iron"], "atomic_mass_u": 55.845,
                     "Properties": {"Density_kg_m3": 7874, "atomic_number": 26}},
    "atom/Ni.json": {"Symbol": "Ni", "Aliases": ["nickel"], "Properties": {"Density_kg_m3": 8908}},
    "atom/Cr.json": {"Symbol": "Cr", "Aliases": ["chromium"], "Properties": {"Density_kg_m3": 7190}},
    "atom/Mo.json": {"Symbol": "Mo", "Aliases": ["molybdenum"], "Properties": {"Density_kg_m3": 10280}},
    "atom/Si.json": {"Symbol": "Si", "Aliases": ["silicon"], "Properties": {"Density_kg_m3": 2330}},
    "molecule/water.json": {"Aliases": ["H2O"], "IOR": 1.333, "Density_kg_m3": 998.2},
    "alloy/carbon steel.json": STEEL,
    "protein/helix.json": {"residues": [{"residue": "A", "phi": -57, "psi": -47}] * 6},
}


class Cli:
    """A throw-away package holding the command line, the built core and DATASHEETS."""

    def __init__(self, pkg: Any) -> None:
        self.pkg = pkg
        self.root: Path = pkg.root
        for source in PACKAGE_DIR.glob("*.py"):
            shutil.copy2(source, pkg.pkg / source.name)
        shutil.copytree(PACKAGE_DIR / "cli", pkg.pkg / "cli", ignore=shutil.ignore_patterns("__pycache__"))

    def __call__(self, *args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "lumivarex", *args], env=self.pkg.env(),
                              cwd=self.root, input=stdin, capture_output=True, text=True,
                              timeout=300)

    def ok(self, *args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
        """Runs a command that must succeed."""
        proc = self(*args, stdin=stdin)
        assert proc.returncode == 0, proc.stderr
        assert "Traceback" not in proc.stderr
        return proc

    def json(self, *args: str, stdin: str | None = None) -> Any:
        return json.loads(self.ok(*args, stdin=stdin).stdout)


@pytest.fixture
def cli(make_package: Any) -> Cli:
    return Cli(make_package(DATASHEETS, init=None))


def assert_one_line_error(proc: subprocess.CompletedProcess[str], status: int, text: str) -> None:
    assert proc.returncode == status, (proc.returncode, proc.stderr)
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("lumivarex: error: "), lines[0]
    assert text in lines[0], lines[0]
    assert proc.stdout == ""


BOX = ["--box", "0", "0", "0", "0.01", "0.01", "0.01"]


# ------------------------------------------------------------------ entry points


def test_console_script_and_module_run_the_same_main(cli: Cli) -> None:
    scripts = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["scripts"]
    assert scripts["lumivarex"] == "lumivarex.cli:main"
    assert callable(cli_module.main)
    proc = cli.ok("--version")
    assert proc.stdout.strip() == "lumivarex 2.0.2"
    as_package = subprocess.run([sys.executable, "-m", "lumivarex.cli", "--version"], env=cli.pkg.env(),
                                cwd=cli.root, capture_output=True, text=True, timeout=300)
    assert as_package.returncode == 0 and as_package.stdout == proc.stdout


def test_help_shows_examples_for_every_command(cli: Cli) -> None:
    top = cli.ok("--help").stdout
    assert "examples:" in top
    assert "lumivarex get iron" in top
    assert ('lumivarex export stl "carbon steel" out/steel.stl --box 0 0 0 0.01 0.01 0.01 '
            "--voxel 0.0005") in top
    for command in ("get", "tiers", "sample", "export", "backbone", "region", "rmsd", "bake",
                    "optimize", "demo"):
        assert command in top
        assert "example" in cli.ok(command, "--help").stdout, command
    for fmt in ("obj", "stl", "vtk", "sdf", "hlsl", "glsl"):
        text = cli.ok("export", fmt, "--help").stdout
        assert f"lumivarex export {fmt} " in text, fmt


# ------------------------------------------------------------------ registry


def test_get_finds_by_alias_symbol_formula_and_exact_name(cli: Cli) -> None:
    iron = cli.json("get", "iron")
    assert iron["Symbol"] == "Fe"
    assert iron["Properties"]["Density_kg_m3"] == 7874
    assert cli.json("get", "FE", "--tier", "atoms") == iron
    assert cli.json("get", "{Fe=2}")["atomic_mass_u"] == pytest.approx(111.69)
    assert cli.json("get", "carbon steel", "--exact") == STEEL
    # --exact takes the name as stored: aliases do not count
    assert_one_line_error(cli("get", "iron", "--exact"), 1,
                          "sample::lookup_entry: no datasheet found for 'iron'")


def test_tiers_are_listed_in_canonical_order(cli: Cli) -> None:
    # particles first, living matter last
    assert cli.json("tiers") == ["subatomic", "atom", "molecule", "alloy", "ceramic", "composite", "amino_acid",
                                 "protein", "cell", "cell_component", "nucleic_acid", "biomaterial"]


def test_unicode_values_print_as_utf8_json(make_package: Any) -> None:
    cli = Cli(make_package({"biomaterial/collagen.json": {"Aliases": ["Kollagen α"], "n": 1}},
                           init=None))
    proc = cli.ok("get", "kollagen α")
    assert "Kollagen α" in proc.stdout
    assert json.loads(proc.stdout)["n"] == 1


# ------------------------------------------------------------------ errors


def test_core_errors_are_one_line_without_traceback(cli: Cli) -> None:
    assert_one_line_error(cli("get", "unobtainium"), 1, "lumivarex: error: unknown name: unobtainium")
    # broken preconditions: the core's own diagnostic line is held back
    assert_one_line_error(cli("get", ""), 1, "py_get: spec must be non-empty")
    assert_one_line_error(cli("get", "{Fe=1001}"), 1, "resolve_formula: implausibly large count")
    assert_one_line_error(cli("get", "{Fe=x}"), 1, "formula count 'x' is not a non-negative integer")


def test_usage_errors_are_one_line_with_status_2(cli: Cli) -> None:
    cases = [
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["get"], "the following arguments are required: NAME"),
        (["get", "Fe", "--tier", "atom", "--exact"], "not allowed with argument"),
        (["export", "stl", "carbon steel", "out/a.stl", "--voxel", "0.001"], "--box"),
        (["export", "stl", "carbon steel", "out/a.stl", *BOX, "--voxel", "0"], "above zero"),
        (["export", "stl", "carbon steel", "out/a.stl", *BOX, "--voxel", "nan"], "finite"),
        (["export", "stl", "carbon steel", "out/a.stl", "--box", "0", "0", "0", "1", "1", "x",
          "--voxel", "0.1"], "expected a number, got 'x'"),
        (["export", "sdf", "carbon steel", "out/a.raw", *BOX, "--voxel", "0.001", "--mode", "dist"],
         "invalid choice: 'dist'"),
        (["optimize", "Fe", "--target", "Density_kg_m3:8000:7800"], "above its maximum"),
        (["optimize", "Fe", "--target", "Density_kg_m3:low"], "not a finite number"),
        (["optimize", "Fe"], "--target"),
        (["bake", "carbon steel", "Density_kg_m3", *BOX, "--grid", "0", "4", "4"], "above zero"),
        (["bake", "carbon steel", "Density_kg_m3", *BOX, "--grid", "2", "2", "2", "--threshold",
          "-1"], "at least zero"),
        (["backbone"], "ENTRY or --sequence"),
        (["backbone", "helix", "--sequence", "AAA"], "not both"),
    ]
    for args, text in cases:
        proc = cli(*args)
        assert_one_line_error(proc, 2, text)
        assert "--help" in proc.stderr, args


def test_oversized_box_is_refused_before_any_work(cli: Cli) -> None:
    proc = cli("export", "stl", "carbon steel", "out/big.stl", *BOX, "--voxel", "0.00001")
    assert_one_line_error(proc, 1, "1000000000 voxels (1000 x 1000 x 1000)")
    assert "--max-voxels" in proc.stderr
    assert not (cli.root / "out").exists()


def test_box_counts_are_the_cores(cli: Cli) -> None:
    # 0.07 / 0.01 is 7.000000000000001 in binary: seven voxels per axis, as the core builds
    box = ["--box", "0", "0", "0", "0.07", "0.07", "0.07", "--voxel", "0.01"]
    proc = cli.ok("export", "vtk", "carbon steel", "s.vtk", *box, "--max-voxels", "343")
    assert json.loads(proc.stdout)["voxels"] == 343
    assert "(343 voxels, 7 x 7 x 7)" in proc.stderr
    assert "\nDIMENSIONS 7 7 7\n" in (cli.root / "s.vtk").read_text()
    assert_one_line_error(cli("export", "vtk", "carbon steel", "t.vtk", *box, "--max-voxels", "342"), 1,
                          "343 voxels (7 x 7 x 7)")


def test_bad_point_sets_are_reported_in_one_line(cli: Cli) -> None:
    assert_one_line_error(cli("rmsd", "missing.json", "[[0, 0, 0]]"), 1, "cannot read 'missing.json'")
    assert_one_line_error(cli("rmsd", "[[0, 0]]", "[[0, 0, 0]]"), 1, "expected a JSON list of [x, y, z]")
    assert_one_line_error(cli("rmsd", "[[0, 0, 0]", "[[0, 0, 0]]"), 1, "is not JSON")
    assert_one_line_error(cli("rmsd", "-", "-", stdin="[]"), 1, "only one point set")
    # the core scores an empty set as a perfect match; the command refuses it
    assert_one_line_error(cli("rmsd", "[]", "[[1, 2, 3]]"), 1, "cannot compare an empty point set")
    assert_one_line_error(cli("backbone", "--sequence", "AA", "--angles", "[[1, 2], [3]]"), 1,
                          "--angles must be a JSON list of [phi, psi] pairs")


def test_unwritable_output_folder_is_one_line(cli: Cli) -> None:
    (cli.root / "blocker").write_text("a file, not a folder")
    proc = cli("export", "stl", "carbon steel", "blocker/sub/a.stl", *BOX, "--voxel", "0.001")
    assert_one_line_error(proc, 1, "cannot create the folder for 'blocker/sub/a.stl'")


# ------------------------------------------------------------------ hostile surroundings


def run_main(cli: Cli, prelude: str, *args: str, **popen: Any) -> subprocess.CompletedProcess[str]:
    """Runs the command line after prelude, in a subprocess of the throw-away package."""
    code = f"{prelude}\nimport sys\nfrom lumivarex.cli import main\nsys.exit(main(sys.argv[1:]))"
    popen.setdefault("capture_output", True)
    return subprocess.run([sys.executable, "-c", code, *args], env=popen.pop("env", cli.pkg.env()),
                          cwd=cli.root, text=True, timeout=300, **popen)


def test_commands_need_no_temporary_folder(cli: Cli) -> None:
    # Running as root, no folder is truly unwritable: point tempfile at a missing one.
    env = {**cli.pkg.env(), "TMPDIR": str(cli.root / "missing")}
    no_tmp = "import tempfile; tempfile.tempdir = " + repr(str(cli.root / "missing"))
    assert json.loads(run_main(cli, no_tmp, "get", "iron", env=env).stdout)["Symbol"] == "Fe"
    assert_one_line_error(run_main(cli, no_tmp, "get", "", env=env), 1,
                          "py_get: spec must be non-empty")
    proc = run_main(cli, no_tmp, "export", "stl", "carbon steel", "out/a.stl", *BOX, "--voxel",
                    "0.005", env=env)
    assert proc.returncode == 0 and proc.stderr.startswith("exporting stl"), proc.stderr

    # No in-memory file either (a sandbox may forbid it): the temporary file still
    # holds the diagnostic back; with neither, the command works and says more.
    no_memfd = "import os\ndef forbidden(*a): raise PermissionError(1, 'denied')\n" \
               "os.memfd_create = forbidden"
    assert_one_line_error(run_main(cli, no_memfd, "get", ""), 1, "py_get: spec must be non-empty")
    assert cli.json("get", "iron") == json.loads(
        run_main(cli, f"{no_memfd}\n{no_tmp}", "get", "iron").stdout)
    proc = run_main(cli, f"{no_memfd}\n{no_tmp}", "get", "")
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.splitlines()[-1] == "lumivarex: error: py_get: spec must be non-empty"


def test_closed_or_failing_standard_streams(cli: Cli) -> None:
    def closed(fd: int) -> Any:
        return lambda: os.close(fd)

    # Nowhere to print the result: refused before any work.
    proc = run_main(cli, "", "demo", "--out", "demo-out", preexec_fn=closed(1))
    assert_one_line_error(proc, 1, "standard output is closed")
    assert not (cli.root / "demo-out").exists()
    proc = run_main(cli, "", "rmsd", "-", "[[0, 0, 0]]", preexec_fn=closed(0))
    assert_one_line_error(proc, 1, "standard input is closed")

    # Standard error closed, or failing on every write: progress is dropped (never sent
    # to standard output), results still printed, failures still have their status.
    def read_only_stderr() -> None:
        os.dup2(os.open(os.devnull, os.O_RDONLY), 2)

    for broken in (closed(2), read_only_stderr):
        proc = run_main(cli, "", "export", "stl", "carbon steel", "out/b.stl", *BOX, "--voxel",
                        "0.005", preexec_fn=broken)
        assert proc.returncode == 0
        assert json.loads(proc.stdout)["files"] == ["out/b.stl"]
        assert run_main(cli, "", "get", "", preexec_fn=broken).returncode == 1


def test_oversized_and_unreadable_inputs_are_one_line(cli: Cli) -> None:
    huge = "1" + "0" * 400
    (cli.root / "huge.json").write_text(f"[[{huge}, 0, 0]]")
    (cli.root / "latin1.json").write_bytes(b"[[0, 0, 0]] # \xe9")
    cases = [
        (["rmsd", f"[[{huge}, 0, 0]]", "[[0, 0, 0]]"], None, "all finite numbers"),
        (["rmsd", "huge.json", "[[0, 0, 0]]"], None, "all finite numbers"),
        (["rmsd", "-", "[[0, 0, 0]]"], f'[{{"x": -{huge}, "y": 0, "z": 0}}]', "all finite numbers"),
        # beyond the interpreter's limit on digits of an integer
        (["rmsd", "[[" + "9" * 5000 + ", 0, 0]]", "[[0, 0, 0]]"], None, "all finite numbers"),
        (["rmsd", "[" * 100_000, "[[0, 0, 0]]"], None, "the inline point set is nested too deeply"),
        (["rmsd", "latin1.json", "[[0, 0, 0]]"], None, "cannot read 'latin1.json': not UTF-8"),
        (["rmsd", ".", "[[0, 0, 0]]"], None, "cannot read '.'"),
        (["backbone", "--sequence", "A", "--angles", f"[[{huge}, 0]]"], None,
         "--angles must be a JSON list"),
    ]
    for args, stdin, text in cases:
        assert_one_line_error(cli(*args, stdin=stdin), 1, text)
    # a long integer that fits a double is still a coordinate
    assert cli.json("rmsd", f"[[{'1' + '0' * 300}, 0, 0]]", "[[0, 0, 0]]") == 0.0


# ------------------------------------------------------------------ exports


def test_export_stl_as_in_the_readme_creates_its_folder(cli: Cli) -> None:
    # Binary STL is written without creating folders by the core; the command
    # line creates out/ so the documented command works on a fresh checkout.
    proc = cli.ok("export", "stl", "carbon steel", "out/steel.stl", *BOX, "--voxel", "0.0005")
    result = json.loads(proc.stdout)
    assert result == {"format": "stl", "name": "carbon steel", "files": ["out/steel.stl"],
                      "voxels": 8000}
    data = (cli.root / "out" / "steel.stl").read_bytes()
    (count,) = struct.unpack_from("<I", data, 80)
    assert count and len(data) == 84 + 50 * count  # binary unless --ascii
    progress = proc.stderr.splitlines()
    assert progress[0] == "exporting stl of 'carbon steel' (8000 voxels, 20 x 20 x 20) ..."
    assert progress[-1].startswith("wrote out/steel.stl (") and progress[-1].endswith(" s)")

    ascii_proc = cli.ok("export", "stl", "carbon steel", "out/a.stl", *BOX, "--voxel", "0.005",
                        "--ascii", "--quiet")
    assert ascii_proc.stderr == ""
    assert (cli.root / "out" / "a.stl").read_text().startswith("solid carbon steel\n")


def test_export_obj_reports_both_files(cli: Cli) -> None:
    result = cli.json("export", "obj", "carbon steel", "mesh/steel.obj", *BOX, "--voxel", "0.001",
                      "--scale", "0.002")
    assert result["files"] == ["mesh/steel.obj", "mesh/steel.mtl"]
    assert all((cli.root / f).stat().st_size for f in result["files"])


def test_mesh_exports_in_millimetres_and_micrometres(cli: Cli) -> None:
    box = ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))
    cli.ok("export", "stl", "carbon steel", "u/mm.stl", *BOX, "--voxel", "0.001", "--units", "mm")
    cli.ok("export", "stl", "carbon steel", "u/um.stl", *BOX, "--voxel", "0.001", "--units", "um", "--ascii")
    cli.ok("export", "obj", "carbon steel", "u/mm.obj", *BOX, "--voxel", "0.001", "--units", "mm")
    (cli.root / "c").mkdir()
    cli.pkg.eval(f"""[core.py_export_stl_units('carbon steel', 'c/mm.stl', {box}, 0.001, None, True, 1e3),
                      core.py_export_stl_units('carbon steel', 'c/um.stl', {box}, 0.001, None, False, 1e6),
                      core.py_export_obj_units('carbon steel', 'c/mm.obj', {box}, 0.001, None, 1e3)]""")
    for name in ("mm.stl", "um.stl", "mm.obj", "mm.mtl"):
        assert (cli.root / "u" / name).read_bytes() == (cli.root / "c" / name).read_bytes(), name
    assert "\t  vertex 10000.000000 " in (cli.root / "u" / "um.stl").read_text()
    assert_one_line_error(cli("export", "obj", "carbon steel", "u/x.obj", *BOX, "--voxel", "0.001",
                              "--units", "cm"), 2, "invalid choice: 'cm'")


def test_export_volumes(cli: Cli) -> None:
    result = cli.json("export", "vtk", "carbon steel", "vol/s.vtk", "--box", "0", "0", "0",
                      "0.002", "0.001", "0.001", "--voxel", "0.001", "--property", "Density_kg_m3")
    assert result["files"] == ["vol/s.vtk"] and result["voxels"] == 2
    assert "SCALARS Density_kg_m3 float 1\n" in (cli.root / "vol" / "s.vtk").read_text()
    # a property missing from the material is reported before the phase map is built
    proc = cli("export", "vtk", "carbon steel", "vol/t.vtk", *BOX, "--voxel", "0.005", "--property", "hardness")
    assert_one_line_error(proc, 1, "hardness")
    assert not (cli.root / "vol" / "t.vtk").exists()


def test_export_raw_volume_reports_the_cores_sidecar(cli: Cli) -> None:
    # the raw file is written without creating folders by the core; the CLI makes them
    box = ["--box", "0", "0", "0", "0.002", "0.001", "0.001", "--voxel", "0.001"]
    result = cli.json("export", "sdf", "carbon steel", "raw/s.raw", *box, "--mode", "occupancy")
    assert result["files"] == ["raw/s.raw", "raw/s.json"]
    assert (cli.root / "raw" / "s.raw").read_bytes() == struct.pack("<2f", 1.0, 1.0)
    # a leading dot is no extension: the sidecar goes beside the file, not over it
    for out in ("raw/.hidden", "raw/plain", "raw.d/v"):
        files = cli.json("export", "sdf", "carbon steel", out, *box)["files"]
        assert files == [out, core.py_sidecar_path(out)] and files[1] != out, out
        assert all((cli.root / f).is_file() for f in files), out


def test_export_shaders(cli: Cli) -> None:
    source = cli.ok("export", "glsl", "water").stdout
    assert "SampleMaterial_water" in source and "998.200000" in source and "1.333000" in source
    assert "998.200000" not in cli.ok("export", "glsl", "water", "--no-density").stdout
    result = cli.json("export", "glsl", "water", "sh/water.glsl")
    assert result["files"] == ["sh/water.glsl"]
    assert (cli.root / "sh" / "water.glsl").read_text() == source

    result = cli.json("export", "hlsl", "water", "sh/water.hlsl", "--property", "IOR")
    assert result["files"] == ["sh/water.hlsl"]
    assert "\ts.IOR = 1.333000f;\n" in (cli.root / "sh" / "water.hlsl").read_text()


def test_export_of_an_unknown_material_is_one_line(cli: Cli) -> None:
    proc = cli("export", "obj", "adamantium", "out/a.obj", *BOX, "--voxel", "0.001")
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1] == (
        "lumivarex: error: sample::lookup_entry: no datasheet found for 'adamantium'")


# ------------------------------------------------------------------ computing commands


def test_sample(cli: Cli) -> None:
    assert cli.json("sample", "carbon steel", "Density_kg_m3", "--at", "0", "0", "0",
                    "--scale", "0.01") == pytest.approx(0.87 * 7874 + 0.13 * 7694)
    value = cli.json("sample", "carbon steel", "Density_kg_m3", "--at", "0.0004", "0", "0",
                     "--scale", "0.001")
    assert value in (7874.0, 7694.0)
    assert_one_line_error(cli("sample", "carbon steel", "hardness"), 1, "hardness")


def test_backbone_region_and_rmsd(cli: Cli) -> None:
    from_entry = cli.json("backbone", "helix")
    assert len(from_entry) == 18
    # the default angles are the helix's, so the two chains coincide
    from_sequence = cli.json("backbone", "--sequence", "AAAAAA")
    assert from_sequence == from_entry
    explicit = cli.json("backbone", "--sequence", "AA", "--angles", "[[-57, -47], [-57, -47]]")
    assert explicit == from_entry[:6]

    assert cli.json("region", "-120", "130") == "beta_sheet"

    (cli.root / "helix.json").write_text(json.dumps(from_entry))
    strand = cli.ok("backbone", "--sequence", "AAAAAA", "--phi", "-120", "--psi", "130").stdout
    assert cli.json("rmsd", "helix.json", "helix.json") == pytest.approx(0.0, abs=1e-9)
    assert cli.json("rmsd", "helix.json", "-", stdin=strand) > 1.0
    assert_one_line_error(cli("rmsd", "[[0,0,0]]", "[[0,0,0],[1,1,1]]"), 1,
                          "a and b must have same length")


def test_backbone_as_pdb_and_mmcif(cli: Cli) -> None:
    import gemmi
    import numpy as np

    atoms = cli.json("backbone", "helix")
    for args in (["helix"], ["--sequence", "AAAAAA"]):
        pdb = cli.ok("backbone", *args, "--format", "pdb").stdout
        cif = cli.ok("backbone", *args, "--format", "cif").stdout
        for structure, tol in ((gemmi.read_pdb_string(pdb), 5e-4), (gemmi.make_structure_from_block(
                gemmi.cif.read_string(cif).sole_block()), 5e-7)):
            [chain] = structure[0]
            assert [r.name for r in chain] == ["ALA"] * 6 and chain.name == "A"
            assert [a.name for a in chain[0]] == ["N", "CA", "C", "O"]
            got = [a.pos.tolist() for r in chain for a in r if a.name != "O"]
            assert np.abs(np.subtract(got, [(a["x"], a["y"], a["z"]) for a in atoms])).max() < tol
    # Without gemmi, one line that names the extra.
    (cli.root / "gemmi.py").write_text("raise ModuleNotFoundError(\"No module named 'gemmi'\", name='gemmi')\n")
    assert_one_line_error(cli("backbone", "helix", "--format", "cif"), 1, "pip install 'lumivarex[structure]'")
    assert len(cli.json("backbone", "helix")) == 18


def test_bake(cli: Cli) -> None:
    result = cli.json("bake", "carbon steel", "Density_kg_m3", "--box", "0", "0", "0",
                      "0.002", "0.001", "0.001", "--grid", "2", "1", "1", "--threshold", "0")
    # --grid is NX NY NZ: two samples along x give the one frequency (1, 0, 0)
    assert [(c["n"], c["m"], c["l"]) for c in result["coefficients"]] == [(1, 0, 0)]
    # the core refuses an unknown material at once, a property no sample has before the transform
    assert_one_line_error(cli("bake", "carbon stele", "Density_kg_m3", *BOX, "--grid", "2", "1", "1", "-q"),
                          1, "sample::lookup_entry: no datasheet found for 'carbon stele'")
    proc = cli("bake", "carbon steel", "hardness", *BOX, "--grid", "2", "1", "1")
    assert proc.returncode == 1 and proc.stderr.startswith("baking hardness of 'carbon steel'")
    assert proc.stderr.splitlines()[-1].startswith("lumivarex: error: voronoi sample: phase ")


def test_optimize_is_reproducible_and_meets_its_targets(cli: Cli) -> None:
    args = ["optimize", "Fe", "--target", "Density_kg_m3:7800:8500", "--pool", "Ni", "Cr", "Mo",
            "Si", "--candidates", "300", "--top", "4", "--seed", "7"]
    first = cli.json(*args)
    assert first == cli.json(*args)
    assert 0 < len(first) <= 4
    assert all(set(c["composition"]) <= {"Fe", "Ni", "Cr", "Mo", "Si"} for c in first)
    # the bounds and the weight reach the core: the weight scales the score
    weighted = cli.json(*args[:3], "Density_kg_m3:7800:8500:2", *args[4:])
    assert [c["score"] for c in weighted] == pytest.approx([2 * c["score"] for c in first])
    # names the core cannot use are refused before any draw
    for args, text in [(["Fe", "--target", "hardness:1"], "no element carries target property 'hardness'"),
                       (["iron", "--target", "Density_kg_m3"], "base element 'iron' not found"),
                       (["Fe", "--target", "Density_kg_m3", "--pool", "Ni", "Xx"], "alloying element 'Xx' not found")]:
        assert_one_line_error(cli("optimize", *args, "--seed", "1"), 1,
                              "lumivarex: error: alloy::optimize_alloy: " + text)


def test_demo_writes_and_reports(cli: Cli) -> None:
    proc = cli.ok("demo", "--out", "demo-out")
    folder = cli.root / "demo-out"
    written = sorted(p.name for p in folder.iterdir())
    assert written == ["Fe_alloy_candidates.json", "carbon_steel.mtl", "carbon_steel.obj",
                       "carbon_steel.stl", "carbon_steel_Density_kg_m3_fourier.json"]
    for name in written:
        assert f"demo-out/{name}" in proc.stdout, name
    bake = json.loads((folder / "carbon_steel_Density_kg_m3_fourier.json").read_text())
    assert 7694 <= bake["base_value"] <= 7874
    # the fine box resolves the two phases, so the field is not flat
    assert bake["coefficients"] and max(c["amplitude"] for c in bake["coefficients"]) > 1.0
    candidates = json.loads((folder / "Fe_alloy_candidates.json").read_text())
    assert all(7800 <= c["estimated_properties"]["Density_kg_m3"] <= 8000 for c in candidates)
    assert "exporting obj of 'carbon steel'" in proc.stderr
