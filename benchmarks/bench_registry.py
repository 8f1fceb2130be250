"""Registry load and lookup: the native core against the same work in plain Python.

Generates a data folder of 20,000 datasheets (one tier holding most of them),
then in one run reports:
  * import time of the core on that folder versus a plain-Python loader
    (json + a thread pool, same file rules);
  * py_get by exact key, by key in another case, by alias and a miss, versus the
    same six-pass lookup written in plain Python over the loaded dicts.

    python3 benchmarks/bench_registry.py [--files 20000]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from timing import best_of

import lumivarex._lumivarex_core as core

TIERS = ["subatomic", "atom", "molecule", "alloy", "ceramic", "composite", "amino_acid", "protein", "cell",
         "cell_component", "nucleic_acid", "biomaterial"]


def generate(data: Path, n: int) -> None:
    big = "molecule"
    for i in range(n):
        tier = big if i % 10 else TIERS[(i // 10) % len(TIERS)]
        d = data / tier
        d.mkdir(parents=True, exist_ok=True)
        doc = {
            "Symbol": f"Sy{i}",
            "Aliases": [f"compound number {i}", f"c{i}"],
            "Formula": f"C{i % 17}H{i % 29}O{i % 5}",
            "Density_kg_m3": 800 + (i * 37) % 2000,
            "IOR": 1.3 + (i % 50) / 100,
            "Properties": {"molar_mass_g_mol": 12.011 * (i % 17) + 1.008 * (i % 29), "melting_point_K": 150 + i % 300,
                           "boiling_point_K": 300 + i % 400, "notes": "generated"},
        }
        (d / f"Compound{i:05d}.json").write_text(json.dumps(doc, indent=2))


PY_LOADER = r'''
import json, os, sys, time
from concurrent.futures import ThreadPoolExecutor
TIERS = %r
def _reject(_):
    raise ValueError("not JSON")
def _depth_ok(text, limit=128):
    depth = 0; in_str = False; esc = False
    for c in text:
        if in_str:
            if esc: esc = False
            elif c == "\\": esc = True
            elif c == '"': in_str = False
        elif c == '"': in_str = True
        elif c in "[{":
            depth += 1
            if depth > limit: return False
        elif c in "]}": depth -= 1
    return True
def load(path):
    try:
        with open(path, "rb") as f:
            raw = f.read()
        if raw.startswith(b"\xef\xbb\xbf"): return None
        text = raw.decode("utf-8")
        if not _depth_ok(text): return None
        return json.loads(text, parse_constant=_reject)
    except (OSError, ValueError):
        return None
t0 = time.perf_counter()
root = sys.argv[1]
jobs = []
for tier in TIERS:
    d = os.path.join(root, tier)
    if not os.path.isdir(d): continue
    for name in sorted(os.listdir(d)):
        stem, dot, ext = name.rpartition(".")
        if not dot or not stem or ext != "json": continue
        jobs.append((tier, stem, os.path.join(d, name)))
registry = {t: {} for t in TIERS}
with ThreadPoolExecutor(os.cpu_count()) as pool:
    for (tier, stem, _), value in zip(jobs, pool.map(load, [j[2] for j in jobs])):
        if value is not None:
            registry[tier][stem] = value
print(time.perf_counter() - t0, sum(map(len, registry.values())))
''' % (TIERS,)

CORE_IMPORT = r'''
import time
t0 = time.perf_counter()
import lumivarex._lumivarex_core
print(time.perf_counter() - t0)
'''


def time_subprocess(code: str, *args: str, env: dict[str, str] | None = None) -> tuple[float, str]:
    out = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, env=env, check=True)
    first = out.stdout.split()
    return float(first[0]), out.stdout


def python_lookup(registry: dict[str, dict[str, object]], name: str):
    """The six passes over all tiers, written as a Python user would."""
    lower = name.lower()

    def symbol(v):
        if not isinstance(v, dict):
            return None
        s = v.get("Symbol", v.get("symbol")) if "Symbol" in v else v.get("symbol")
        return s if isinstance(s, str) else None

    def aliases(v):
        if not isinstance(v, dict):
            return []
        a = v["Aliases"] if "Aliases" in v else v.get("aliases")
        return [x for x in a if isinstance(x, str)] if isinstance(a, list) else []

    passes = [
        lambda tier: tier.get(name),
        lambda tier: next((v for k, v in tier.items() if k.lower() == lower), None),
        lambda tier: next((v for v in tier.values() if symbol(v) == name), None),
        lambda tier: next((v for v in tier.values() if (s := symbol(v)) is not None and s.lower() == lower), None),
        lambda tier: next((v for v in tier.values() if name in aliases(v)), None),
        lambda tier: next((v for v in tier.values() if any(a.lower() == lower for a in aliases(v))), None),
    ]
    for p in passes:
        for t in TIERS:
            v = p(registry[t])
            if v is not None:
                return v
    raise KeyError(f"unknown name: {name}")


def per_call(fn, *args, repeat: int = 5, number: int | None = None) -> float:
    """Seconds per call of fn(*args), a miss (KeyError) counting as a call."""
    def once() -> None:
        try:
            fn(*args)
        except KeyError:
            pass

    if number is None:
        number = max(1, min(20000, int(0.05 / max(best_of(once, 1), 1e-7))))
    return best_of(once, repeat, number)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=20000)
    args = ap.parse_args()
    tmp = Path(tempfile.mkdtemp(prefix="lvx-bench-"))
    try:
        pkg = tmp / "lumivarex"
        data = pkg / "data" / "active"
        generate(data, args.files)
        shutil.copy2(core.__file__, pkg / Path(core.__file__).name)
        (pkg / "__init__.py").write_text("")
        env = dict(os.environ, PYTHONPATH=str(tmp))
        # Warm the page cache, then take the best of five runs each.
        time_subprocess(PY_LOADER, str(data))
        ours = min(time_subprocess(CORE_IMPORT, env=env)[0] for _ in range(5))
        theirs = min(time_subprocess(PY_LOADER, str(data))[0] for _ in range(5))
        print(f"datasheets: {args.files} in {data}")
        print(f"load   core import {ours * 1e3:8.1f} ms   python json+threads {theirs * 1e3:8.1f} ms   "
              f"ratio {theirs / ours:6.1f}x")

        # Lookups, in one process that holds both registries.
        proc = subprocess.run([sys.executable, "-c", LOOKUP_BENCH, str(data), str(Path(__file__).parent)],
                              capture_output=True, text=True, env=env, check=True)
        print(proc.stdout, end="")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


LOOKUP_BENCH = r'''
import sys
sys.path.insert(0, sys.argv[2])
import bench_registry as b
import lumivarex._lumivarex_core as core
g = {"__name__": "loader"}
sys.argv = [sys.argv[0], sys.argv[1]]
exec(b.PY_LOADER.replace("print(time.perf_counter() - t0, sum(map(len, registry.values())))", ""), g)
registry = g["registry"]
last = max(registry["molecule"])
n = int(last[len("Compound"):])
cases = [("exact key", last), ("key, other case", last.upper()), ("alias", f"compound number {n}"),
         ("alias, other case", f"COMPOUND NUMBER {n}"), ("miss", "no such material")]
for label, name in cases:
    ours = b.per_call(core.py_get, name)
    theirs = b.per_call(b.python_lookup, registry, name)
    if label != "miss":
        assert core.py_get(name) == b.python_lookup(registry, name)
    print(f"py_get {label:18s} core {ours * 1e6:9.2f} us   python {theirs * 1e6:10.2f} us   "
          f"ratio {theirs / ours:8.1f}x")
'''

if __name__ == "__main__":
    main()
