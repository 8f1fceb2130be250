"""`lumivarex validate`: the files the import skips, and datasheets that break
their tier's schema, each named on one line."""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import lumivarex
from lumivarex import validate
from test_loader import present

PACKAGE_DIR = Path(lumivarex.__file__).parent

GOOD = {"Aliases": [], "Properties": {}, "Sources": {}, "Provenance": "hand-made"}
ATOM = dict(GOOD, Symbol="X")

# Files the import skips, with the words their reason must hold.
SKIPPED = {
    "atom/Fe.JSON": (b"{}", "does not end in '.json'"),
    "atom/readme.txt": (b"{}", "does not end in '.json'"),
    "atom/.json": (b"{}", "no stem"),
    "atom/nan.json": (b'{"a": NaN}', "not valid JSON"),
    "atom/trailing.json": (b'{"a": 1} x', "not valid JSON"),
    "atom/bom.json": (b'\xef\xbb\xbf{"a": 1}', "byte-order mark"),
    "atom/deep.json": (b"[" * 129 + b"]" * 129, "nesting deeper than 128"),
    "atom/latin1.json": (b'{"a": "caf\xe9"}', "not valid JSON"),
    "atom/empty.json": (b"", "not valid JSON"),
    "molecule/big.json": (b'{"a": 1e400}', "not valid JSON"),
}


def full_package(root: Path) -> Path:
    """A copy of the whole package (code, core and schemas) with an empty data folder."""
    pkg = root / "lumivarex"
    shutil.copytree(PACKAGE_DIR, pkg, ignore=shutil.ignore_patterns("data", "__pycache__"))
    (pkg / "data" / "active").mkdir(parents=True)
    return pkg / "data" / "active"


def run_cli(root: Path, *args: str, isolated: bool = False) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=str(root))
    cmd = [sys.executable] + (["-S"] if isolated else []) + ["-m", "lumivarex", *args]
    return subprocess.run(cmd, env=env, cwd=root, capture_output=True, text=True, timeout=120)


def test_reports_every_file_the_import_skips(make_package, monkeypatch):
    pkg = make_package({"cell/ok.json": GOOD, "molecule/a.b.json": GOOD})
    data = pkg.data
    for rel, (content, _) in SKIPPED.items():
        (data / rel).parent.mkdir(parents=True, exist_ok=True)
        (data / rel).write_bytes(content)
    (data / "atom" / "dir.json").mkdir()
    (data / "atom" / "sub").mkdir()
    os.mkfifo(data / "atom" / "fifo.json")
    os.symlink("/dev/zero", data / "atom" / "zero.json")
    os.symlink(data / "cell" / "ok.json", data / "cell" / "link.json")
    os.symlink(data / "atom" / "gone.json", data / "atom" / "dangling.json")
    (data / "atom" / os.fsdecode(b"bad\xff.json")).write_text("{}")
    (data / "glass").mkdir()
    (data / "stray.json").write_text("{}")
    monkeypatch.chdir(data / "atom")
    with socket.socket(socket.AF_UNIX) as server:
        server.bind("sock.json")
        problems = {p.path: p.message for p in validate.check_folder(data)}

    expected = {str(data / rel): words for rel, (_, words) in SKIPPED.items()}
    expected.update({
        str(data / "atom" / "dir.json"): "not a regular file (a folder)",
        str(data / "atom" / "sub"): "does not end in '.json'",
        str(data / "atom" / "fifo.json"): "not a regular file (a FIFO)",
        str(data / "atom" / "zero.json"): "not a regular file (a character device)",
        str(data / "atom" / "sock.json"): "not a regular file (a socket)",
        str(data / "atom" / "dangling.json"): "cannot be read: No such file or directory",
        os.path.join(data, "atom", os.fsdecode(b"bad\xff.json")): "file name is not valid UTF-8",
        str(data / "glass"): "not a tier folder",
        str(data / "stray.json"): "not a tier folder",
    })
    assert set(problems) == set(expected)
    for path, words in expected.items():
        assert words in problems[path], (path, problems[path])
        assert "\n" not in problems[path]

    # The import agrees: it loads exactly the files the check lets through.
    stems = [Path(p).name.rsplit(".", 1)[0] or "-" for p in expected if p.isprintable()]
    assert present(pkg, stems + ["ok", "a.b", "link"]) == {"ok", "a.b", "link"}


def test_schema_violations_duplicates_and_name_clashes(tmp_path):
    data = tmp_path / "active"
    (data / "atom").mkdir(parents=True)
    (data / "amino_acid").mkdir()
    (data / "atom" / "good.json").write_text(json.dumps(GOOD))
    atom, amino, alloy = data / "atom", data / "amino_acid", data / "alloy"
    alloy.mkdir()

    def sheet(path: Path, **members: object) -> None:
        doc = dict(GOOD, **members)
        path.write_text(json.dumps(doc))

    sheet(atom / "good.json", Symbol="Gd", Properties={"melting_point_K": 1586.0},
          Sources={"melting_point_K": {"source": "CRC97-MBTC", "conditions": "101.325 kPa"}})
    (atom / "noprops.json").write_text('{"Symbol": "Np"}')
    (atom / "dup.json").write_text('{"Properties": {}, "Properties": {}}')
    (atom / "array.json").write_text("[1, 2]")
    sheet(atom / "units.json", Symbol="U", Properties={"melting_point_C": 1132.2, "Density_kg_m3": -1},
          Sources={"Density_kg_m3": {"source": "CRC97-PCIC"}})
    sheet(atom / "uncited.json", Symbol="Un", Properties={"boiling_point_K": 400.0})
    sheet(alloy / "ranges.json", Properties={"hardness_HV_min": 200, "hardness_HV_max": 150, "solidus_K_min": 1},
          Sources={k: {"source": "ASM-H1"} for k in ("hardness_HV_min", "hardness_HV_max", "solidus_K_min")})
    sheet(alloy / "phases.json", Density_kg_m3=7850, Properties={"Density_kg_m3": 7854},
          Sources={"Density_kg_m3": {"source": "ASM-H1"}, "phase_volume_fractions": {"source": "FeC-diagram"},
                   "phase_properties": {"source": "FeC-diagram"}},
          phase_volume_fractions={"ferrite": 0.9, "cementite": 0.2}, phase_properties={"ferrite": {"x": 1}})
    sheet(amino / "glycine.json", Symbol="Gly", Aliases=["G"])
    sheet(amino / "other.json", Symbol="Oth", Aliases=["g"])
    sheet(amino / "gly.json")
    lines = [str(p) for p in validate.check_folder(data)]
    expected = [
        f"{alloy / 'phases.json'}: /Density_kg_m3: 7850 differs from /Properties/Density_kg_m3 7854",
        f"{alloy / 'phases.json'}: /phase_volume_fractions: the fractions add up to 1.1, not 1",
        f"{alloy / 'phases.json'}: /phase_volume_fractions/cementite: no phase_properties for this phase",
        f"{alloy / 'ranges.json'}: /Properties: 'solidus_K_max' is a dependency of 'solidus_K_min'",
        f"{alloy / 'ranges.json'}: /Properties/hardness_HV_min: 200 is above hardness_HV_max 150",
        # 'g' leads to two amino acids; 'gly' is glycine's symbol and the key of another entry.
        f"{amino / 'glycine.json'}: name 'g' also finds 'other' in this tier",
        f"{amino / 'glycine.json'}: name 'gly' also finds 'gly' in this tier",
        f"{amino / 'other.json'}: name 'g' also finds 'glycine' in this tier",
        f"{atom / 'array.json'}: (document): [1, 2] is not of type 'object'",
        f"{atom / 'dup.json'}: key 'Properties' appears twice in one object: the import keeps the later value",
        f"{atom / 'dup.json'}: (document): 'Aliases' is a required property",
        f"{atom / 'noprops.json'}: (document): 'Aliases' is a required property",
        f"{atom / 'noprops.json'}: (document): 'Properties' is a required property",
        f"{atom / 'uncited.json'}: /Sources: 'boiling_point_K' is a required property",
        f"{atom / 'units.json'}: /Properties: Additional properties are not allowed ('melting_point_C' was "
        "unexpected)",
        f"{atom / 'units.json'}: /Properties/Density_kg_m3: -1 is less than the minimum of 0",
    ]
    for line in expected:
        assert line in lines, line
    assert not any(line.startswith(str(atom / "good.json")) for line in lines)


def test_command_line(tmp_path):
    data = full_package(tmp_path)
    (data / "atom").mkdir()
    (data / "atom" / "Fe.json").write_text(json.dumps(ATOM))
    clean = run_cli(tmp_path, "validate", str(data))
    assert (clean.returncode, clean.stdout) == (0, "")
    assert "no problems" in clean.stderr

    (data / "atom" / "bad.json").write_text('{"a": 1,}')
    (data / "atom" / "Cu.json").write_text('{"Aliases": "Cu"}')
    dirty = run_cli(tmp_path, "validate", str(data))
    assert dirty.returncode == 1
    assert f"{data / 'atom' / 'Cu.json'}: /Aliases: 'Cu' is not of type 'array'" in dirty.stdout.splitlines()
    assert dirty.stdout.splitlines()[-1:] == [
        f"{data / 'atom' / 'bad.json'}: skipped by the import: not valid JSON: parse error at line 1, column 9: syntax error "
        "while parsing object key - unexpected '}'; expected string literal",
    ]
    assert f"{len(dirty.stdout.splitlines())} problems" in dirty.stderr

    missing = run_cli(tmp_path, "validate", str(tmp_path / "nowhere"))
    assert missing.returncode == 1
    assert missing.stdout == f"{tmp_path / 'nowhere'}: no such folder\n"


def test_jsonschema_is_needed_only_for_the_check(tmp_path):
    """Without jsonschema the package imports and runs; the check names what to install."""
    full_package(tmp_path)
    (tmp_path / "sitecustomize.py").write_text("import sys\nsys.modules['jsonschema'] = None\n")
    proc = run_cli(tmp_path, "validate")
    assert proc.returncode == 1
    assert proc.stderr == ("lumivarex: error: the schema check needs the jsonschema package: "
                           "pip install 'lumivarex[validate]' (or: pip install jsonschema)\n")
    # No site-packages at all: the package and the command line still work.
    bare = run_cli(tmp_path, "tiers", isolated=True)
    assert bare.returncode == 0, bare.stderr
    assert len(json.loads(bare.stdout)) == 12


def test_shipped_data_is_valid():
    assert [str(p) for p in validate.check_folder()] == []


@pytest.mark.parametrize("bad", [3, None])
def test_check_datasheet_argument(core, bad):
    with pytest.raises(TypeError, match="^argument 'path': expected str, bytes or os.PathLike"):
        core.py_check_datasheet(bad)
    with pytest.raises(ValueError, match="embedded null"):
        core.py_check_datasheet("a\0.json")
