"""lumivarex.distributed on a local cluster of two worker processes: chunked
volumes equal the in-memory arrays, Zarr stores describe their model, the
shared-out bake equals the core's, and a batch survives failing jobs and a
dying worker."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

import lumivarex as lx  # noqa: E402
import lumivarex.distributed as lxd  # noqa: E402
from lumivarex import core  # noqa: E402
from lumivarex.cli import main  # noqa: E402
from lumivarex.distributed import _cluster  # noqa: E402

PYTHON_DIR = Path(lx.__file__).resolve().parents[1]
BOX = ((0.0, -0.001, 0.0005), (0.004, 0.002, 0.0025))
VOXEL = 0.0002  # 20 x 15 x 10 voxels


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def run_python(code: str, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env={**os.environ, "PYTHONPATH": str(PYTHON_DIR), **env})


def package_with_python(make_package, files):
    """A throw-away package of these datasheets with the whole Python layer."""
    pkg = make_package(files)
    for source in (PYTHON_DIR / "lumivarex").rglob("*.py"):
        target = pkg.pkg / source.relative_to(PYTHON_DIR / "lumivarex")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source.read_text())
    return pkg


# ---------------------------------------------------------------- chunked volumes


@settings(max_examples=25, deadline=None)
@given(st.tuples(*(st.one_of(st.integers(1, 21), st.lists(st.integers(1, 8), min_size=1, max_size=4))
                   for _ in range(3))),
       st.sampled_from([None, 0.0007]))
def test_any_chunking_equals_the_in_memory_arrays(chunking, scale):
    whole = lx.phase_map("carbon steel", BOX, VOXEL, scale)
    field = lx.property_field("carbon steel", "Density_kg_m3", BOX, VOXEL, scale)
    # A list of block sizes is repeated to cover its axis, the last block cut short.
    chunks = []
    for size, c in zip(whole.phases.shape, chunking):
        if isinstance(c, int):
            chunks.append(c)
            continue
        sizes, total = [], 0
        while total < size:
            sizes.append(min(c[len(sizes) % len(c)], size - total))
            total += sizes[-1]
        chunks.append(tuple(sizes))
    pm = lxd.phase_map("AISI 1045", BOX, VOXEL, scale, chunks=tuple(chunks))
    pf = lxd.property_field("C45", "Density_kg_m3", BOX, VOXEL, scale, chunks=tuple(chunks))
    assert pm.dtype == whole.phases.dtype == np.uint8 and pf.dtype == np.float64
    assert np.array_equal(pm.compute(scheduler="threads"), whole.phases)
    assert np.array_equal(pf.compute(scheduler="threads"), field.values)


def test_volumes_are_lazy_and_computed_on_the_cluster(client):
    # A 10 cm part at 20 um: made at once, and any block is the block form's.
    box = ((0.0, 0.0, 0.0), (0.1, 0.1, 0.1))
    started = time.perf_counter()
    huge = lxd.phase_map("carbon steel", box, 20e-6)
    assert time.perf_counter() - started < 1.0
    assert huge.shape == (5000, 5000, 5000) and huge.numblocks == (40, 40, 40) and huge.dtype == np.uint8
    block = client.compute(huge.blocks[10, 20, 39]).result()
    assert np.array_equal(block, lx.phase_map("carbon steel", box, 20e-6, start=(1280, 2560, 4992),
                                              shape=(128, 128, 8)).phases)
    for chunks in ((4, 7, 6), ((10,), (1, 14), (20,)), "auto"):
        pm = lxd.phase_map("carbon steel", BOX, VOXEL, chunks=chunks)
        pf = lxd.property_field("carbon steel", "Density_kg_m3", BOX, VOXEL, 0.001, chunks=chunks)
        assert np.array_equal(client.compute(pm).result(), lx.phase_map("carbon steel", BOX, VOXEL).phases)
        assert np.array_equal(client.compute(pf).result(),
                              lx.property_field("carbon steel", "Density_kg_m3", BOX, VOXEL, 0.001).values)
    # Wrong arguments fail when the array is made, not when it is computed.
    with pytest.raises(KeyError):
        lxd.phase_map("carbon stel", BOX, VOXEL)
    with pytest.raises(ValueError, match="Density_kg_m"):
        lxd.property_field("carbon steel", "Density_kg_m", BOX, VOXEL)


def test_the_dtype_follows_the_phase_count_without_computing(make_package):
    pkg = package_with_python(make_package, {"alloy/many.json": {
        "phase_model": "voronoi", "phase_volume_fractions": {f"p{i:03}": 1 for i in range(300)},
        "phase_properties": {f"p{i:03}": {"d": i} for i in range(300)}}})
    out = pkg.run("""
        import numpy as np
        import lumivarex as lx, lumivarex.distributed as lxd
        box = ((0, 0, 0), (0.01, 0.01, 0.01))
        pm = lxd.phase_map("many", box, 0.001, 0.0001, chunks=3)
        print(pm.dtype, len(lxd.metadata(pm)["phase_names"]))
        print(np.array_equal(pm.compute(scheduler="sync"), lx.phase_map("many", box, 0.001, 0.0001).phases))
    """)
    assert out.stdout.split() == ["uint16", "300", "True"], out.stderr


# ---------------------------------------------------------------- zarr


def test_a_zarr_store_describes_its_model_and_reads_back(client, tmp_path):
    pm = lxd.phase_map("AISI 1045", BOX, VOXEL, 0.0007, chunks=((3, 7), (5, 5, 5), (20,)))  # irregular
    written = lxd.to_zarr(pm, tmp_path / "pm.zarr", client=client)
    expected = {
        "lumivarex_version": core.__version__, "kind": "phase_map", "entry_key": "carbon steel",
        "entry_tier": "alloy", "phase_names": ["cementite", "ferrite"],
        "bounds": [list(BOX[0]), list(BOX[1])], "voxel_size": VOXEL, "scale_m": 0.0007,
        "axis_order": ["z", "y", "x"], "units": {"bounds": "m", "voxel_size": "m", "scale_m": "m"}}
    # zarr's own reader, on the store alone.
    stored = zarr.open_array(str(tmp_path / "pm.zarr"), mode="r")
    assert dict(stored.attrs) == expected == lxd.metadata(pm)
    assert stored.chunks == (3, 5, 20) and stored.metadata.dimension_names == ("z", "y", "x")
    assert written.shape == stored.shape == (10, 15, 20)
    assert np.array_equal(stored[:], lx.phase_map("carbon steel", BOX, VOXEL, 0.0007).phases)
    back = lxd.open_zarr(tmp_path / "pm.zarr")
    assert back.dtype == np.uint8 and back.chunks[1] == (5, 5, 5) and lxd.metadata(back) == expected
    # A model is computed in the chunks asked for; a field carries its property.
    lxd.to_zarr(lxd.Volume("Fe", BOX, VOXEL, property="Density_kg_m3"), tmp_path / "rho.zarr", chunks=8,
                client=client)
    rho = lxd.open_zarr(tmp_path / "rho.zarr")
    assert rho.chunks[0] == (8, 2) and np.array_equal(
        rho.compute(), lx.property_field("Fe", "Density_kg_m3", BOX, VOXEL).values)
    assert lxd.metadata(rho) == {**expected, "kind": "property_field", "entry_key": "Fe", "entry_tier": "atom",
                                 "phase_names": ["Fe"], "property": "Density_kg_m3", "scale_m": VOXEL}
    assert lxd.metadata(rho + 1) is None and lxd.metadata(np.zeros(3)) is None


def test_a_store_is_replaced_only_when_asked_and_other_folders_never(client, tmp_path):
    small = lxd.Volume("Fe", BOX, 0.001)
    lxd.to_zarr(small, tmp_path / "a.zarr", client=client)
    with pytest.raises(FileExistsError, match="already holds a Zarr store"):
        lxd.to_zarr(lxd.Volume("carbon steel", BOX, VOXEL), tmp_path / "a.zarr", client=client)
    lxd.to_zarr(lxd.Volume("carbon steel", BOX, VOXEL), tmp_path / "a.zarr", overwrite=True, client=client)
    assert lxd.open_zarr(tmp_path / "a.zarr").shape == (10, 15, 20)
    # A folder of other files is no store to overwrite.
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "thesis.tex").write_text("years of work")
    for overwrite in (False, True):
        with pytest.raises(FileExistsError, match="holds files but no Zarr store"):
            lxd.to_zarr(small, tmp_path / "docs", overwrite=overwrite, client=client)
    assert os.listdir(tmp_path / "docs") == ["thesis.tex"]
    with pytest.raises(FileNotFoundError):
        lxd.open_zarr(tmp_path / "docs")


# ---------------------------------------------------------------- bake


@pytest.mark.parametrize("grid, threshold, parts", [
    ((1, 1, 1), 0.01, None), ((2, 1, 1), 0.01, 3), ((5, 4, 3), 0.0, 7), ((6, 6, 6), 0.3, None),
    ((7, 2, 9), 1.0, 2), ((4, 4, 4), 0.01, 100)])
def test_the_shared_out_bake_equals_the_cores(client, grid, threshold, parts):
    box = ((0.0, -0.001, 0.0005), (0.004, 0.003, 0.003))
    local = core.py_bake_fourier("carbon steel", "Density_kg_m3", box, grid, threshold)
    shared = lxd.bake_fourier("AISI 1045", "Density_kg_m3", box, grid, threshold, parts=parts, client=client)
    assert shared == local and list(shared) == list(local)
    assert [list(c) for c in shared["coefficients"]] == [list(c) for c in local["coefficients"]]


def test_the_merge_truncates_infinite_and_nan_amplitudes_as_the_core(make_package):
    def pair(value):
        return {"phase_model": "voronoi", "phase_volume_fractions": {"a": 1, "b": 1},
                "phase_properties": {"a": {"d": value}, "b": {"d": -value}}}

    # 3e153: some amplitudes overflow to infinity; 3e307: the mean does, and
    # every amplitude is NaN.
    pkg = package_with_python(make_package, {"alloy/wide.json": pair(3e153), "alloy/huge.json": pair(3e307)})
    out = pkg.run("""
        from lumivarex import core
        from lumivarex.distributed._bake import merge
        box = ((0, 0, 0), (0.004, 0.004, 0.004))
        for name in ("wide", "huge"):
            for threshold in (0.0, 0.5):
                for parts in (1, 3):
                    runs = [core.py_bake_part(name, "d", box, (4, 4, 4), p, parts) for p in range(parts)]
                    whole = core.py_bake_fourier(name, "d", box, (4, 4, 4), threshold)
                    print(repr(merge("d", threshold, runs)) == repr(whole), len(whole["coefficients"]))
    """)
    lines = out.stdout.split("\n")[:-1]
    assert all(line.startswith("True ") for line in lines), out.stdout + out.stderr
    kept = [int(line.split()[1]) for line in lines]
    assert kept[0] > kept[2] > 0 and kept[4:] == [0, 0, 0, 0]  # all but NaN, the infinite ones, none


# ---------------------------------------------------------------- batches


STEEL_BOX = ((0.0, 0.0, 0.0), (0.003, 0.002, 0.002))
TARGET = {"property": "Density_kg_m3", "min_value": 7800.0, "max_value": 8000.0}


def test_a_batch_returns_every_result_and_each_failures_error(client, tmp_path):
    jobs = [
        lxd.Export("stl", "C45", tmp_path / "w" / "s.stl", STEEL_BOX, 0.0005, options={"binary": False}),
        {"job": "export", "format": "obj", "name": "carbon steel", "path": str(tmp_path / "w" / "s.obj"),
         "bounds": STEEL_BOX, "voxel_size": 0.0005, "scale_m": 0.001},
        {"job": "bake", "name": "iron", "property": "Density_kg_m3", "bounds": STEEL_BOX, "grid_size": [3, 2, 2]},
        lxd.Bake("carbon steel", "Density_kg_m3", STEEL_BOX, (4, 4, 4), truncate_threshold=-1.0),  # fails on a worker
        lxd.Optimize([TARGET], "Fe", seed=7, top_k=2),
        {"job": "backbone", "entry": "ideal alpha helix"},
        {"job": "export", "format": "vtk", "name": "ironn", "path": "x.vtk"},  # fails before it is sent
        {"job": "backbone", "sequence": "AAA", "phi_psi_deg": [[-57, -47]]},  # too few angles
        {"job": "bake", "name": "Fe", "grid": [2, 2, 2]},
        {"job": "melt"},
        lxd.Export("glsl", "water", options={"include_sss": False}),
    ]
    out = lxd.run(jobs, client=client)
    assert len(out) == len(jobs)
    local = tmp_path / "local"
    local.mkdir()
    assert out[0] == str(tmp_path / "w" / "s.stl") and out[1] == (str(tmp_path / "w" / "s.obj"),
                                                                   str(tmp_path / "w" / "s.mtl"))
    core.py_export_stl("carbon steel", str(local / "s.stl"), STEEL_BOX, 0.0005, None, False)
    core.py_export_obj("carbon steel", str(local / "s.obj"), STEEL_BOX, 0.0005, 0.001)
    for name in ("s.stl", "s.obj", "s.mtl"):
        assert (tmp_path / "w" / name).read_bytes() == (local / name).read_bytes(), name
    assert out[2] == core.py_bake_fourier("Fe", "Density_kg_m3", STEEL_BOX, (3, 2, 2))
    assert out[4] == core.py_optimize_alloy([TARGET], "Fe", None, 1000, 2, 7)
    assert out[5] == core.py_build_backbone_from_entry("ideal alpha helix")
    assert out[10] == core.py_export_glsl("water", True, True, False)
    errors = {i: (type(e), str(e)) for i, e in enumerate(out) if isinstance(e, BaseException)}
    assert errors.keys() == {3, 6, 7, 8, 9}
    assert errors[3] == (ValueError, "truncate_threshold must be a non-negative finite value")
    assert errors[6][0] is lx.UnknownNameError and "'iron'" in errors[6][1]
    assert errors[7][0] is ValueError
    assert errors[8] == (TypeError, "a bake job has no field 'grid'")
    assert errors[9][0] is ValueError and "'melt'" in errors[9][1]


def test_an_unknown_name_error_survives_pickling_whole():
    import pickle

    error = lx.UnknownNameError("ironn", ["iron"], "atom")
    back = pickle.loads(pickle.dumps(error))
    assert (type(back), str(back), back.suggestions, back.tier) == (lx.UnknownNameError, str(error), ["iron"], "atom")


def test_a_batch_survives_a_worker_killed_in_the_middle(client):
    box = ((0.0, 0.0, 0.0), (0.004, 0.004, 0.004))
    jobs = [lxd.Bake("carbon steel", "Density_kg_m3", box, (18, 18, 17 + i % 2)) for i in range(8)]
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                pid = client.run(os.getpid, workers=[busy[0]])[busy[0]]
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
                return
            time.sleep(0.05)

    import threading

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    out = lxd.run(jobs, client=client)
    killer.join()
    assert killed, "no worker was busy"
    for job, result in zip(jobs, out):
        assert result == core.py_bake_fourier(job.name, job.property, job.bounds, job.grid_size)
    client.wait_for_workers(2, timeout=60)
    # The worker that took the killed one's place has its share of threads too.
    assert set(client.run(lambda: os.environ.get("LUMIVAREX_NUM_THREADS")).values()) == {
        str(max(1, _cluster.CPU_COUNT // 2))}


def test_the_core_thread_count_set_by_a_workers_starter_is_kept(monkeypatch):
    monkeypatch.setattr(_cluster, "_set_here", None)
    monkeypatch.setenv("LUMIVAREX_NUM_THREADS", "3")
    _cluster._set_threads(1)
    assert os.environ["LUMIVAREX_NUM_THREADS"] == "3"
    monkeypatch.delenv("LUMIVAREX_NUM_THREADS")
    _cluster._set_threads(2)
    _cluster._set_threads(1)  # its own setting it changes
    assert os.environ["LUMIVAREX_NUM_THREADS"] == "1"


def test_an_entry_saved_in_memory_reaches_the_workers(client, tmp_path):
    # In a process of its own, so that this one's registry stays as shipped;
    # the scheduler is found through LUMIVAREX_SCHEDULER.
    out = run_python(f"""
        import json
        import lumivarex as lx, lumivarex.distributed as lxd
        from lumivarex import core
        core.py_save("test sixteen", json.dumps({{"Aliases": ["t16"], "Density_kg_m3": 1234.5}}), "alloy")
        box = ((0, 0, 0), (0.002, 0.002, 0.002))
        bake, path = lxd.run([lxd.Bake("T16", "Density_kg_m3", box, (2, 2, 2)),
                              lxd.Export("raw", "t16", {str(tmp_path / "t.raw")!r}, box, 0.001)])
        print(bake == core.py_bake_fourier("test sixteen", "Density_kg_m3", box, (2, 2, 2)), bake["base_value"])
        print(json.load(open(core.py_sidecar_path(path)))["name"])
    """, LUMIVAREX_SCHEDULER=client.scheduler.address)
    assert out.stdout.split("\n")[:2] == ["True 1234.5", "test sixteen"], out.stderr


def test_volumes_and_bakes_on_workers_read_the_callers_entries(client):
    # The caller changes a shipped entry in memory and saves a new one; worker
    # processes, which loaded the shipped datasheets, must compute with both
    # as the caller holds them. Afterwards a caller with the shipped entry
    # gets the shipped values from the same workers again.
    out = run_python(f"""
        import json
        import distributed
        import numpy as np
        import lumivarex as lx, lumivarex.distributed as lxd
        from lumivarex import core
        steel = core.py_get("carbon steel")
        steel["phase_volume_fractions"] = {{"cementite": 0.5, "ferrite": 0.5}}
        steel["phase_properties"]["ferrite"]["Density_kg_m3"] = 1.0
        core.py_save("carbon steel", json.dumps(steel), "alloy")
        core.py_save("test sixteen", json.dumps({{"Density_kg_m3": 1234.5}}), "alloy")
        box = ((0, 0, 0), (0.003, 0.002, 0.002))
        with distributed.Client({client.scheduler.address!r}):
            print(all([
                np.array_equal(lxd.phase_map("carbon steel", box, 0.0002, chunks=4).compute(),
                               lx.phase_map("carbon steel", box, 0.0002).phases),
                np.array_equal(lxd.property_field("carbon steel", "Density_kg_m3", box, 0.0002, chunks=5).compute(),
                               lx.property_field("carbon steel", "Density_kg_m3", box, 0.0002).values),
                lxd.property_field("test sixteen", "Density_kg_m3", box, 0.001).compute().tolist()
                == [[[1234.5] * 3] * 2] * 2,
                lxd.bake_fourier("carbon steel", "Density_kg_m3", box, (6, 5, 4), parts=3)
                == core.py_bake_fourier("carbon steel", "Density_kg_m3", box, (6, 5, 4)),
            ]))
    """)
    assert out.stdout.strip() == "True", out.stderr
    box = ((0, 0, 0), (0.003, 0.002, 0.002))
    shipped = lxd.property_field("carbon steel", "Density_kg_m3", box, 0.0002, chunks=4)
    assert np.array_equal(client.compute(shipped).result(),
                          lx.property_field("carbon steel", "Density_kg_m3", box, 0.0002).values)
    assert lxd.bake_fourier("carbon steel", "Density_kg_m3", box, (6, 5, 4), parts=3, client=client) \
        == core.py_bake_fourier("carbon steel", "Density_kg_m3", box, (6, 5, 4))


# ---------------------------------------------------------------- starting, importing


def test_without_a_client_a_local_cluster_runs_the_call_and_is_closed():
    out = run_python("""
        import multiprocessing, distributed
        import lumivarex.distributed as lxd
        print(lxd.run([{"job": "backbone", "sequence": "A", "phi_psi_deg": [[-57, -47]]}])[0][1]["name"])
        try:
            distributed.default_client()
        except ValueError:
            print("no client left,", len(multiprocessing.active_children()), "processes")
    """)
    assert out.stdout.splitlines() == ["CA", "no client left, 0 processes"], out.stderr


def test_without_dask_the_package_works_and_the_extra_is_named(tmp_path):
    jobs = tmp_path / "jobs.json"
    jobs.write_text("[]")
    out = run_python(f"""
        import sys
        sys.modules["zarr"] = None  # not installed
        import lumivarex as lx
        print(lx.phase_map("Fe", ((0, 0, 0), (1, 1, 1)), 0.5).phases.shape, "dask" in sys.modules)
        try:
            import lumivarex.distributed
        except ImportError as e:
            print(e)
        from lumivarex.cli import main
        print(main(["batch", {str(jobs)!r}]))
    """)
    lines = out.stdout.splitlines()
    assert lines[0] == "(2, 2, 2) False"
    assert lines[1].startswith("lumivarex.distributed needs Dask, distributed and zarr: pip install "
                               "'lumivarex[dask]'")
    assert lines[2] == "1" and out.stderr.startswith("lumivarex: error: lumivarex.distributed needs")
    assert len(out.stderr.splitlines()) == 1


# ---------------------------------------------------------------- command line


def test_export_zarr_and_batch_on_the_command_line(client, tmp_path, capsys):
    address = client.scheduler.address
    store = tmp_path / "s.zarr"
    box = [str(v) for corner in BOX for v in corner]
    box = ["--box", *box[0:3], *box[3:6]]
    assert main(["export", "zarr", "C45", str(store), *box, "--voxel", str(VOXEL), "--chunks", "6",
                 "--scheduler", address]) == 0
    captured = capsys.readouterr()
    assert json.loads(captured.out) == {"format": "zarr", "name": "C45", "files": [str(store)], "voxels": 3000}
    assert captured.err.startswith("exporting zarr of 'C45' (phase map; 3000 voxels, 20 x 15 x 10")
    assert "wrote " + str(store) in captured.err
    assert np.array_equal(lxd.open_zarr(store).compute(), lx.phase_map("carbon steel", BOX, VOXEL).phases)
    assert lxd.open_zarr(store).chunks[0] == (6, 4)
    # Again: refused in one line, the store left as it was.
    assert main(["export", "zarr", "C45", str(store), *box, "--voxel", "0.001", "--scheduler", address]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == \
        f"lumivarex: error: '{store}' already holds a Zarr store; overwrite to replace it"

    jobs = tmp_path / "jobs.json"
    jobs.write_text(json.dumps([
        {"job": "backbone", "sequence": "A", "phi_psi_deg": [[-57, -47]]},
        {"job": "bake", "name": "Fe", "property": "nope", "bounds": STEEL_BOX, "grid_size": [2, 2, 2]}]))
    assert main(["batch", str(jobs), "--scheduler", address]) == 1
    captured = capsys.readouterr()
    report = json.loads(captured.out)
    assert report[0] == {"job": "backbone", "ok": True,
                         "result": core.py_build_backbone("A", [(-57.0, -47.0)])}
    assert report[1]["ok"] is False and report[1]["error_type"] == "ValueError"
    assert f"lumivarex: error: job 1 (bake): {report[1]['error']}" in captured.err.splitlines()
    jobs.write_text('{"job": "bake"}')
    assert main(["batch", str(jobs), "--scheduler", address]) == 1
    assert capsys.readouterr().err == f"lumivarex: error: '{jobs}' must hold a JSON list of jobs\n"

