"""Long calls and the rest of the program: other threads keep running, Ctrl-C
stops a call, files are replaced whole or not at all, LUMIVAREX_NUM_THREADS
sets the worker count, and calls from many threads at once give what they give
one at a time."""

from __future__ import annotations

import json
import os
import shutil
import stat
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import build_package

DUPLEX = {"phase_model": "voronoi", "phase_volume_fractions": {"a": 1.0, "b": 1.0},
          "phase_properties": {"a": {"density": 1.0}, "b": {"density": 2.0}}}
FILES = {"alloy/duplex.json": DUPLEX,
         "atom/Fe.json": {"Properties": {"Density_kg_m3": 7874.0}},
         "atom/Cr.json": {"Properties": {"Density_kg_m3": 7190.0}}}
BOX = ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))

# Calls that would run for minutes (the exports write gigabytes).
LONG = {
    "ascii_stl": "core.py_export_stl('duplex', TARGET, ((0, 0, 0), (0.3, 0.3, 0.3)), 0.001, 0.003, False)",
    "obj": "core.py_export_obj('duplex', TARGET, ((0, 0, 0), (0.3, 0.3, 0.3)), 0.001, 0.002)",
    "bake": "core.py_bake_fourier('duplex', 'density', ((0, 0, 0), (0.04, 0.04, 0.04)), (64, 64, 64), 0.0)",
    "optimiser": "core.py_optimize_alloy([{'property': 'Density_kg_m3'}], 'Fe', ['Cr'], 10**12, 5, 0)",
}

# Runs `setup`, then one expression (TARGET is a file in the folder argv[1]),
# and prints what happened as JSON: the outcome, the folder's files
# afterwards, how long the call ran, whether the core still answers, and
# `seen` if setup made it.
# during(action) runs action on a thread once the call has a file open in the
# folder (its new, still unnamed file), or after 0.2 s when it writes none.
RUNNER = r"""
import json, os, signal, sys, threading, time
import lumivarex._lumivarex_core as core
folder, expr, setup = sys.argv[1], sys.argv[2], sys.argv[3]
TARGET = os.path.join(folder, "out.stl" if "stl" in expr else "out.obj")

def writing():
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith(folder + "/"):
                return True
        except OSError:
            pass
    return False

def during(action):
    def wait():
        if "export" in expr:
            while not writing():
                time.sleep(0.0005)
        else:
            time.sleep(0.2)
        action()
    threading.Thread(target=wait, daemon=True).start()

exec(setup)
start = time.monotonic()
try:
    eval(expr)
    outcome = "returned"
except BaseException as e:
    outcome = f"{type(e).__name__}: {e}"
print(json.dumps({"outcome": outcome, "files": sorted(os.listdir(folder)), "seen": globals().get("seen"),
                  "seconds": time.monotonic() - start,
                  "usable": core.py_ramachandran_region(-57.0, -47.0) == "alpha_helix"}))
"""

SIGINT = "during(lambda: os.kill(os.getpid(), signal.SIGINT))"


@pytest.fixture(scope="module")
def pkg(tmp_path_factory):
    return build_package(tmp_path_factory.mktemp("long"), FILES)


def run(pkg, folder: Path, expr: str, setup: str = "") -> dict:
    proc = subprocess.run([sys.executable, "-c", RUNNER, str(folder), expr, setup], env=pkg.env(),
                          capture_output=True, text=True, timeout=300)
    # (The interpreter's exit status tells of a KeyboardInterrupt in eval()
    # even once it was caught, so the printed outcome is what counts.)
    lines = proc.stdout.strip().splitlines()
    assert lines, proc.stderr
    return json.loads(lines[-1])


def old_files(folder: Path) -> dict[str, bytes]:
    """Files that a call must leave as they are, written into a new folder."""
    folder.mkdir()
    files = {"out.stl": b"old stl", "out.obj": b"old obj", "out.mtl": b"old mtl", "out.obj.vtk": b"old vtk"}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return files


def contents(folder: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in folder.iterdir()}


# ---------------------------------------------------------------- Ctrl-C

@pytest.mark.parametrize("kind", LONG)
def test_ctrl_c_stops_a_long_call_and_leaves_the_old_files(pkg, tmp_path, kind):
    before = old_files(tmp_path / "out")
    got = run(pkg, tmp_path / "out", LONG[kind], SIGINT)
    # Stopped where it was, not after it ended (which would take minutes).
    assert got["outcome"] == "KeyboardInterrupt: " and got["seconds"] < 60 and got["usable"]
    # No partial, temporary or new file; the old ones untouched.
    assert contents(tmp_path / "out") == before


def test_signal_handlers_run_during_a_call(pkg, tmp_path):
    """A handler's own exception is what the call raises; a handler that does
    not raise (and calls back into the core meanwhile) lets the call finish."""
    old_files(tmp_path / "a")
    raising = f"def stop(*_): raise ValueError('handler says stop')\nsignal.signal(signal.SIGINT, stop)\n{SIGINT}"
    got = run(pkg, tmp_path / "a", LONG["bake"], raising)
    assert got["outcome"] == "ValueError: handler says stop" and got["usable"]

    old_files(tmp_path / "b")
    quiet = ("seen = []\n"
             "signal.signal(signal.SIGINT, lambda *_: seen.append(core.py_ramachandran_region(60.0, 45.0)))\n"
             f"{SIGINT}")
    expr = "core.py_export_stl('duplex', TARGET, ((0, 0, 0), (0.1, 0.1, 0.1)), 0.001, None, False)"
    got = run(pkg, tmp_path / "b", expr, quiet)
    assert got["outcome"] == "returned" and got["seen"] == ["left_alpha"]
    assert (tmp_path / "b" / "out.stl").read_bytes().startswith(b"solid duplex\n")


def test_daemon_threads_in_calls_do_not_break_the_exit(pkg):
    """The interpreter ends daemon threads that take its lock once it shuts
    down; calls on such threads (and exit functions that call the core
    afterwards) must let the process end cleanly."""
    script = r"""
import atexit, threading, time
# Registered first, so run after the core's own exit function.
atexit.register(lambda: print(core.py_kabsch_rmsd([[0, 0, 0], [1, 0, 0]], [[0, 0, 0], [1, 0, 0]])))
import lumivarex._lumivarex_core as core
def short_calls():
    while True:
        core.py_kabsch_rmsd([[0, 0, 0], [1, 0, 0], [0, 2, 0]], [[5, 5, 5], [5, 6, 5], [3, 5, 5]])
def long_result():
    while True:
        core.py_build_backbone("A" * 300000, [(-57.0, -47.0)] * 300000)
for target in (short_calls, short_calls, long_result):
    threading.Thread(target=target, daemon=True).start()
time.sleep(0.3)
"""
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", script], env=pkg.env(), capture_output=True, text=True,
                              timeout=60)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "0.0\n", "")


# ---------------------------------------------------------------- failing writes

def test_a_write_that_fails_leaves_the_old_files(pkg, tmp_path):
    """The file-size limit (SIGXFSZ ignored) makes writes fail part-way."""
    limit = ("import resource\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
             "resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))")
    box = "((0, 0, 0), (0.05, 0.05, 0.05))"
    for i, (expr, target) in enumerate([
            (f"core.py_export_stl('duplex', TARGET, {box}, 0.001)", "out.stl"),
            (f"core.py_export_obj('duplex', TARGET, {box}, 0.001)", "out.obj"),
            (f"core.py_export_vtk_legacy('duplex', TARGET + '.vtk', {box}, 0.001, ['density'])", "out.obj.vtk")]):
        before = old_files(tmp_path / str(i))
        got = run(pkg, tmp_path / str(i), expr, limit)
        assert got["outcome"] == f"RuntimeError: File too large (os error 27): '{tmp_path / str(i) / target}'"
        assert contents(tmp_path / str(i)) == before


def _chattr(folder: Path, flag: str) -> bool:
    tool = shutil.which("chattr")
    return bool(tool) and subprocess.run([tool, flag, str(folder)], capture_output=True).returncode == 0


def test_a_folder_made_read_only_part_way_keeps_the_old_file(pkg, tmp_path):
    folder = tmp_path / "ro"
    before = old_files(folder)
    if not _chattr(folder, "+i"):
        pytest.skip("no immutable folders here (chattr, its file system or the permission is missing)")
    _chattr(folder, "-i")
    # The folder turns immutable (read-only even for root) while the new file
    # is being written: it can then be neither named nor left behind.
    freeze = f"during(lambda: os.system('chattr +i {folder}'))"
    try:
        got = run(pkg, folder, "core.py_export_stl('duplex', TARGET, ((0, 0, 0), (0.1, 0.1, 0.1)), 0.001)",
                  freeze)
    finally:
        _chattr(folder, "-i")
    assert got["outcome"] == f"RuntimeError: Operation not permitted (os error 1): '{folder / 'out.stl'}'"
    assert contents(folder) == before


# ---------------------------------------------------------------- what a replacement keeps

def test_replacing_keeps_links_modes_and_devices(core, tmp_path):
    core.py_save("__long_plain", json.dumps({"density": 1.0}), "alloy")
    box = ((0.0, 0.0, 0.0), (0.002, 0.002, 0.002))
    real = tmp_path / "real"
    real.mkdir()
    # A link is written through (the old in-place write did so), dangling or not.
    (real / "a.stl").write_bytes(b"old")
    (tmp_path / "link.stl").symlink_to("real/a.stl")
    (tmp_path / "dangling.stl").symlink_to(real / "b.stl")
    for name in ("link.stl", "dangling.stl"):
        core.py_export_stl("__long_plain", str(tmp_path / name), box, 0.001)
        assert (tmp_path / name).is_symlink()
    assert (real / "a.stl").read_bytes() == (real / "b.stl").read_bytes() != b"old"
    # An existing file keeps its permission bits; a new one follows the umask.
    kept = tmp_path / "kept.stl"
    kept.write_bytes(b"old")
    kept.chmod(0o640)
    core.py_export_stl("__long_plain", str(kept), box, 0.001)
    umask = os.umask(0o027)
    try:
        core.py_export_stl("__long_plain", str(tmp_path / "new.stl"), box, 0.001)
    finally:
        os.umask(umask)
    assert stat.S_IMODE(kept.stat().st_mode) == 0o640
    assert stat.S_IMODE((tmp_path / "new.stl").stat().st_mode) == 0o640
    # A device is written, never replaced.
    core.py_export_stl("__long_plain", os.devnull, box, 0.001, binary=False)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    # Names that cannot be files are refused as opening them would be.
    for bad, error in ((str(tmp_path / "gone") + "/", "Is a directory (os error 21)"),
                       ("", "No such file or directory (os error 2)")):
        with pytest.raises(RuntimeError) as e:
            core.py_export_stl("__long_plain", bad, box, 0.001)
        assert str(e.value) == f"{error}: '{bad}'"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dangling.stl", "kept.stl", "link.stl", "new.stl",
                                                         "real"]


# ---------------------------------------------------------------- other threads

def test_other_threads_run_during_long_calls(core, tmp_path):
    core.py_save("__long_duplex", json.dumps(DUPLEX), "alloy")
    big = ((0.0, 0.0, 0.0), (0.2, 0.2, 0.2))
    calls = {
        "export": lambda: core.py_export_stl("__long_duplex", os.devnull, big, 0.001, 0.002, False),
        "bake": lambda: core.py_bake_fourier("__long_duplex", "density", BOX, (24, 24, 24), 0.0),
        "optimiser": lambda: core.py_optimize_alloy([{"property": "Density_kg_m3"}], "Fe", None, 2000000, 5, 0),
        "backbone": lambda: core.py_build_backbone("A" * 400000, [(-57.0, -47.0)] * 400000),
    }
    for name, call in calls.items():
        ticks, done = [0], threading.Event()

        def tick() -> None:
            while not done.is_set():
                ticks[0] += 1
                time.sleep(0.001)

        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.01)
        start, ticks[0] = time.monotonic(), 0
        result = call()
        seconds, count = time.monotonic() - start, ticks[0]
        del result  # (freeing a long result holds the lock; that is the interpreter's)
        done.set()
        ticker.join()
        # Held throughout, the interpreter lock would allow a tick or two;
        # results are built with it, but it is handed over now and then.
        assert count >= 10 and count > 10 * seconds, (name, count, seconds)


def test_concurrent_exports_match_sequential_ones_while_saves_stay_whole(core, tmp_path):
    """Two threads export different materials while a third replaces a third
    material again and again; a fourth exports that one as VTK. Every file is
    what a call alone writes, every lookup finds one whole version, and every
    VTK file is one version's phases with that version's values."""
    versions = [{"phase_model": "voronoi", "phase_volume_fractions": {p: 1.0, q: 2.0},
                 "phase_properties": {p: {"density": d}, q: {"density": d + 1}}, "version": i}
                for i, (p, q, d) in enumerate([("a", "b", 10.0), ("c", "d", 20.0)])]
    core.py_save("__conc_one", json.dumps(DUPLEX), "alloy")
    core.py_save("__conc_two", json.dumps(versions[0] | {"version": 7}), "alloy")
    core.py_save("__conc_moving", json.dumps(versions[0]), "alloy")
    box = ((0.0, 0.0, 0.0), (0.03, 0.03, 0.03))

    def export(name: str, folder: Path) -> dict[str, bytes]:
        folder.mkdir(exist_ok=True)
        core.py_export_stl(name, str(folder / "m.stl"), box, 0.0005, 0.001)
        core.py_export_obj(name, str(folder / "m.obj"), box, 0.0005, 0.001)
        core.py_export_vtk_legacy(name, str(folder / "m.vtk"), box, 0.0005, ["density"], 0.001)
        return {p.name: p.read_bytes() for p in folder.iterdir()}

    expected = {name: export(name, tmp_path / f"seq{name}") for name in ("__conc_one", "__conc_two")}
    stop, seen, vtk_texts = threading.Event(), set(), []

    def saver() -> None:
        i = 0
        while not stop.is_set():
            i += 1
            core.py_save("__conc_moving", json.dumps(versions[i % 2]), "alloy")
            got = core.py_get("__conc_moving")
            assert got in versions, got
            seen.add(got["version"])

    def moving_vtk() -> None:
        folder = tmp_path / "moving"
        for _ in range(10):
            vtk_texts.append(export("__conc_moving", folder)["m.vtk"].decode())

    with ThreadPoolExecutor(4) as pool:
        saving = pool.submit(saver)
        moving = pool.submit(moving_vtk)
        results = [pool.submit(export, name, tmp_path / f"par{name}{i}")
                   for i in range(3) for name in ("__conc_one", "__conc_two")]
        got = [r.result() for r in results]
        moving.result()
        stop.set()
        saving.result()
    assert got == [expected[name] for _ in range(3) for name in ("__conc_one", "__conc_two")]
    assert seen == {0, 1}
    for text in vtk_texts:
        # Phase 0 of a version has its first density, phase 1 the next.
        head, fields = text.split("SCALARS density float 1\nLOOKUP_TABLE default\n")
        ids = [int(i) for i in head.split("LOOKUP_TABLE default\n")[1].split()]
        values = [float(v) for v in fields.split()]
        base = values[0] - ids[0]
        assert base in (10.0, 20.0) and values == [base + i for i in ids]


def test_every_function_from_many_threads_at_once(core, tmp_path):
    core.py_save("__conc_any", json.dumps(DUPLEX), "alloy")
    box = ((0.0, 0.0, 0.0), (0.004, 0.003, 0.002))
    calls = [
        lambda d: core.py_get("iron"), lambda d: core.py_get("{Fe=3, C=1}"), lambda d: core.py_get("nope"),
        lambda d: core.py_data_sheet("__conc_any"), lambda d: core.py_list_tiers(),
        lambda d: core.py_sample("__conc_any", "density", (0.001, 0.002, 0.0), 0.001),
        lambda d: core.py_export_glsl("water"), lambda d: core.py_export_glsl(""),
        lambda d: core.py_kabsch_rmsd([[0, 0, 0], [1, 0, 0], [0, 2, 0]], [[5, 5, 5], [5, 6, 5], [3, 5, 5]]),
        lambda d: core.py_kabsch_rmsd([[0, 0, 0]], []),
        lambda d: core.py_build_backbone("AAAA", [(-57.0, -47.0)] * 4),
        lambda d: core.py_build_backbone_from_entry("trp-cage"),
        lambda d: core.py_ramachandran_region(-57.0, -47.0),
        lambda d: core.py_optimize_alloy([{"property": "Density_kg_m3", "min_value": 7800}], "Fe", None, 300, 3, 1),
        lambda d: core.py_optimize_alloy([], "Fe"),
        lambda d: core.py_bake_fourier("__conc_any", "density", box, (4, 3, 2), 0.0),
        lambda d: core.py_bake_fourier("__conc_any", "nope", box, (4, 3, 2)),
        lambda d: (core.py_export_hlsl("__conc_any", f"{d}/s.hlsl"), Path(f"{d}/s.hlsl").read_bytes()),
        lambda d: (core.py_export_sdf_raw("__conc_any", f"{d}/r.raw", box, 0.001),
                   Path(f"{d}/r.raw").read_bytes(), Path(f"{d}/r.json").read_bytes()),
        lambda d: (core.py_export_stl("__conc_any", f"{d}/a.stl", box, 0.001, None, False),
                   Path(f"{d}/a.stl").read_bytes()),
        lambda d: core.py_export_stl("__conc_any", f"{d}/missing/b.stl", box, 0.001),
        lambda d: core.py_export_obj("__conc_any", f"{d}/o.obj", box, float("nan")),
        lambda d: core.py_export_vtk_legacy("__conc_any", f"{d}/v.vtk", box, 0.001, ["nope"]),
        lambda d: core.is_rust_backend(),
    ]

    def outcome(i: int, folder: Path):
        folder.mkdir(exist_ok=True)
        try:
            result = calls[i](folder)
        except BaseException as e:  # noqa: BLE001 - failures are results too
            result = (type(e).__name__, str(e).replace(str(folder), "<d>"))
        return repr(result).replace(str(folder), "<d>")

    expected = [outcome(i, tmp_path / "seq") for i in range(len(calls))]
    jobs = [(i, tmp_path / f"t{r}_{i}") for r in range(4) for i in range(len(calls))]
    with ThreadPoolExecutor(6) as pool:
        got = list(pool.map(lambda job: outcome(*job), jobs))
    assert got == [expected[i] for i, _ in jobs]


# ---------------------------------------------------------------- LUMIVAREX_NUM_THREADS

def test_worker_count_follows_the_environment_at_each_call(pkg, tmp_path):
    """Counts the process's threads while a bake runs its transform on the
    workers the variable allows; an invalid value warns once and is ignored."""
    script = r"""
import json, os, threading, time, warnings
import lumivarex._lumivarex_core as core
def bake():
    return core.py_bake_fourier('duplex', 'density', ((0, 0, 0), (0.01, 0.01, 0.01)), (20, 20, 20), 0.0)
def threads_during(value):
    if value is None:
        os.environ.pop("LUMIVAREX_NUM_THREADS", None)
    else:
        os.environ["LUMIVAREX_NUM_THREADS"] = value
    most, done = [0], threading.Event()
    def watch():
        while not done.is_set():
            most[0] = max(most[0], len(os.listdir("/proc/self/task")))
            time.sleep(0.0005)
    w = threading.Thread(target=watch)
    w.start()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = bake()
    done.set()
    w.join()
    return most[0] - 2, [str(c.message) for c in caught if c.category is RuntimeWarning], result
runs = {v: threads_during(v) for v in ("3", "1", "abc", "0", None)}
print(json.dumps({v: [extra, warned, r == runs["3"][2]] for v, (extra, warned, r) in runs.items()}))
"""
    proc = subprocess.run([sys.executable, "-c", script], env=pkg.env(), capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    cpus = os.cpu_count() or 1
    warning = ("LUMIVAREX_NUM_THREADS='abc' is not a positive integer and is ignored: "
               "the native core uses every processor")
    assert got["3"] == [2, [], True]
    assert got["1"] == [0, [], True]
    assert got["abc"] == [cpus - 1, [warning], True]
    assert got["0"] == [cpus - 1, [], True]  # one warning per process
    assert got["null"] == [cpus - 1, [], True]
