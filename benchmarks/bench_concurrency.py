"""Long calls and the rest of the program: threads, Ctrl-C and memory.

Four figures, each measured in a fresh interpreter so that its peak memory and
its LUMIVAREX_NUM_THREADS are its own:

- two threads, each exporting a different two-phase material as a binary STL
  of an N^3 box with LUMIVAREX_NUM_THREADS=1, against the same two exports
  one after the other (wall time ratio; 0.5 is perfect overlap);
- a thread that wakes every millisecond while an ASCII STL export runs for
  some 5 s (into /dev/null, so that the export computes all the while rather
  than wait for the disk): the largest gap between its ticks;
- Ctrl-C (SIGINT) sent during a long export and during a long Fourier bake:
  the time until KeyboardInterrupt reaches Python;
- peak resident memory and time of a binary STL, an OBJ and a VTK export of
  a 250^3 two-phase box.

With --baseline DIR (a folder holding another build's `lumivarex` package, a
build of an earlier commit, say) the memory figures are measured for it too
and the time ratios printed. Files go to a tmpfs folder when there is one, so
that disk write-back does not blur the timings.

    python3 benchmarks/bench_concurrency.py [--baseline DIR] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path
from typing import Any

VOXEL = 0.001
SCALE = 0.004  # four voxels per pattern cell

# Runs in the child: saves the materials, then the named measurement. Prints
# one JSON line.
CHILD = r"""
import json, os, resource, signal, sys, threading, time
import lumivarex._lumivarex_core as core

VOXEL, SCALE = %(voxel)r, %(scale)r
for name, a, b in (("bench_duplex", 7870.0, 7900.0), ("bench_duplex_b", 2700.0, 2810.0)):
    core.py_save(name, json.dumps({
        "phase_model": "voronoi", "phase_volume_fractions": {"ferrite": 1.0, "austenite": 1.0},
        "phase_properties": {"ferrite": {"density": a}, "austenite": {"density": b}}}), "alloy")

def box(n):
    return ((0.0, 0.0, 0.0), (n * VOXEL,) * 3)

def export(kind, name, path, n, scale=SCALE):
    if kind == "stl":
        core.py_export_stl(name, path, box(n), VOXEL, scale)
    elif kind == "astl":
        core.py_export_stl(name, path, box(n), VOXEL, scale, binary=False)
    elif kind == "obj":
        core.py_export_obj(name, path, box(n), VOXEL, SCALE)
    elif kind == "vtk":
        core.py_export_vtk_legacy(name, path, box(n), VOXEL, ["density"], SCALE)
    elif kind == "bake":
        core.py_bake_fourier(name, "density", box(n), (n, n, n), 0.0)

what, out, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
result = {}
if what == "pair":
    paths = [os.path.join(out, f"pair{i}.stl") for i in range(2)]
    names = ["bench_duplex", "bench_duplex_b"]
    result["sequential"] = result["threaded"] = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        for name, path in zip(names, paths):
            export("stl", name, path, n)
        result["sequential"] = min(result["sequential"], time.perf_counter() - t0)
        threads = [threading.Thread(target=export, args=("stl", name, path, n))
                   for name, path in zip(names, paths)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        result["threaded"] = min(result["threaded"], time.perf_counter() - t0)
elif what == "ticker":
    ticks, done = [], threading.Event()
    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)
    t = threading.Thread(target=tick)
    t.start()
    time.sleep(0.05)
    t0 = time.perf_counter()
    export("astl", "bench_duplex", os.devnull, n, 2 * VOXEL)
    t1 = time.perf_counter()
    done.set()
    t.join()
    during = [x for x in ticks if t0 <= x <= t1]
    edges = [t0] + during + [t1]
    result["export"] = t1 - t0
    result["ticks"] = len(during)
    result["largest_gap"] = max(b - a for a, b in zip(edges, edges[1:]))
elif what in ("interrupt-astl", "interrupt-bake"):
    kind = what.split("-")[1]
    delay = float(sys.argv[4])
    sent = []
    def fire():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=fire).start()
    try:
        export(kind, "bench_duplex", os.path.join(out, "interrupted.stl"), n)
        result["latency"] = None  # finished first
    except KeyboardInterrupt:
        result["latency"] = time.perf_counter() - sent[0]
else:
    t0 = time.perf_counter()
    export(what, "bench_duplex", os.path.join(out, "memory." + what), n)
    result["time"] = time.perf_counter() - t0
    result["peak_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps(result))
""" % {"voxel": VOXEL, "scale": SCALE}


def child(package: str, out: str, args: list[str], env: dict[str, str] | None = None) -> dict[str, Any]:
    full_env = dict(os.environ, PYTHONPATH=package, **(env or {}))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), *args], cwd=out,
                          env=full_env, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise SystemExit(f"child {args} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline", help="a folder holding another build's lumivarex package")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--pair-n", type=int, default=200)
    ap.add_argument("--ticker-n", type=int, default=420)
    ap.add_argument("--memory-n", type=int, default=250)
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = ap.parse_args()
    # The package this interpreter imports (PYTHONPATH=python: the in-tree build).
    import lumivarex
    ours = str(Path(lumivarex.__file__).resolve().parents[1])
    baseline = str(Path(args.baseline).resolve()) if args.baseline else None

    with tempfile.TemporaryDirectory(dir=args.dir) as out:
        one = {"LUMIVAREX_NUM_THREADS": "1"}
        pairs = [child(ours, out, ["pair", out, str(args.pair_n)], env=one) for _ in range(args.repeat)]
        sequential = min(r["sequential"] for r in pairs)
        threaded = min(r["threaded"] for r in pairs)
        print(f"two threads, binary STL {args.pair_n}^3 each, LUMIVAREX_NUM_THREADS=1: "
              f"sequential {sequential:.2f} s, threaded {threaded:.2f} s, "
              f"ratio {threaded / sequential:.2f} (bar 0.60)")

        tick = child(ours, out, ["ticker", out, str(args.ticker_n)])
        print(f"1 ms ticker during an ASCII STL export of {args.ticker_n}^3 ({tick['export']:.2f} s, "
              "into /dev/null): "
              f"{tick['ticks']} ticks, largest gap {tick['largest_gap'] * 1000:.1f} ms (bar 20 ms)")

        for kind, n in (("astl", 250), ("bake", 40)):
            latencies = []
            for delay in (0.5, 1.0, 1.5, 2.0, 3.0):
                r = child(ours, out, [f"interrupt-{kind}", out, str(n), str(delay)])
                if r["latency"] is not None:
                    latencies.append(r["latency"])
            what = "ASCII STL export 250^3" if kind == "astl" else "Fourier bake 40^3"
            print(f"Ctrl-C during a {what}: latency max {max(latencies) * 1000:.1f} ms over "
                  f"{len(latencies)} signals (bar 100 ms)")

        for kind, label in (("stl", "binary STL"), ("obj", "OBJ"), ("vtk", "VTK")):
            n = args.memory_n
            # The two builds take turns, so that other load on the machine
            # falls on both alike; each keeps its fastest run.
            runs: dict[str, list[dict[str, Any]]] = {"new": [], "old": []}
            for _ in range(args.repeat):
                runs["new"].append(child(ours, out, [kind, out, str(n)]))
                if baseline:
                    runs["old"].append(child(baseline, out, [kind, out, str(n)]))
            new = min(runs["new"], key=lambda r: r["time"])
            line = f"{label} {n}^3: peak RSS {new['peak_rss_mb']:.0f} MB, {new['time']:.2f} s"
            if baseline:
                old = min(runs["old"], key=lambda r: r["time"])
                line += (f"; baseline {old['peak_rss_mb']:.0f} MB, {old['time']:.2f} s; "
                         f"time ratio {new['time'] / old['time']:.2f} (bars 200 MB, 1.10)")
            print(line)


if __name__ == "__main__":
    main()
