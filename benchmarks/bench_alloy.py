"""py_optimize_alloy against a plain-Python implementation of the same draw,
estimate, scoring and ranking.

Run: python3 benchmarks/bench_alloy.py [n_candidates]
"""

from __future__ import annotations

import json
import struct
import sys

from timing import best_with_result

import lumivarex._lumivarex_core as core

M64 = (1 << 64) - 1
PREFIX = "bench_alloy_"
BASE = PREFIX + "Fe"
POOL = [PREFIX + s for s in ("Cr", "Ni", "Mn", "Si", "Cu", "Mo")]
PROPERTIES = {
    BASE: {"density": 7.87, "yield_strength": 250.0, "thermal_conductivity": 80.0, "cost": 0.5},
    POOL[0]: {"density": 7.19, "yield_strength": 400.0, "cost": 9.0},
    POOL[1]: {"density": 8.91, "yield_strength": 150.0, "thermal_conductivity": 90.0, "cost": 14.0},
    POOL[2]: {"density": 7.21, "yield_strength": 300.0, "cost": 2.0},
    POOL[3]: {"density": 2.33, "thermal_conductivity": 150.0, "cost": 1.5},
    POOL[4]: {"density": 8.96, "yield_strength": 70.0, "thermal_conductivity": 400.0, "cost": 7.0},
    POOL[5]: {"density": 10.28, "yield_strength": 500.0, "cost": 30.0},
}
TARGETS = [
    {"property": "density", "min_value": 6.5, "max_value": 8.0, "weight": 1.0},
    {"property": "yield_strength", "min_value": 260.0, "weight": 0.01},
    {"property": "cost", "max_value": 6.0, "weight": 0.2},
]


def optimize_alloy_py(targets, base, pool, n_candidates, top_k, seed, properties):
    """The same search in plain Python."""
    state, seed_bytes = seed, b""
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & M64
        x = (((state >> 18) ^ state) >> 27) & 0xFFFFFFFF
        rot = state >> 59
        seed_bytes += struct.pack("<I", ((x >> rot) | (x << ((32 - rot) & 31))) & 0xFFFFFFFF)
    s = list(struct.unpack("<4Q", seed_bytes))

    def next_u64():
        out = ((((s[0] + s[3]) & M64) << 23 | ((s[0] + s[3]) & M64) >> 41) & M64) + s[0] & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = ((s[3] << 45) | (s[3] >> 19)) & M64
        return out

    def below(n):
        zone = ((n << (64 - n.bit_length())) - 1) & M64
        while True:
            p = next_u64() * n
            if p & M64 <= zone:
                return p >> 64

    def fraction():
        while True:
            u = struct.unpack("<d", struct.pack("<Q", (next_u64() >> 12) | 0x3FF0000000000000))[0]
            f = (u - 1.0) * 0.1995 + 0.0005
            if f < 0.2:
                return f

    passed = []
    for _ in range(n_candidates):
        k = below(min(len(pool), 4) + 1)
        work, chosen = list(pool), []
        for _ in range(k):
            chosen.append(work.pop(below(len(work))))
        fr = [fraction() for _ in range(k)]
        total = sum(fr)
        if total > 0.5:
            fr = [f * (0.5 / total) for f in fr]
            total = sum(fr)
        comp = {base: max(1.0 - total, 0.0)}
        for name, f in zip(chosen, fr):
            comp[name] = f
        acc = {}
        for name, f in comp.items():
            for key, v in properties.get(name, {}).items():
                a = acc.setdefault(key, [0.0, 0.0])
                a[0] += v * f
                a[1] += f
        est = {key: a[0] / a[1] for key, a in acc.items()}
        score, ok = 0.0, True
        for t in targets:
            e = est.get(t["property"])
            if e is None:
                ok = False
                break
            lo, hi, w = t.get("min_value"), t.get("max_value"), t.get("weight", 1.0)
            if (lo is not None and lo > e) or (hi is not None and e > hi):
                ok = False
                break
            if lo is not None and hi is not None:  # a window: the margin to its nearer edge
                score += min(e - lo, hi - e) * w
            elif lo is not None:
                score += (e - lo) * w
            elif hi is not None:
                score += (hi - e) * w
        if ok:
            passed.append({"composition": comp, "estimated_properties": est, "score": score})
    passed.sort(key=lambda c: -c["score"])
    return passed[:top_k]


def main(n):
    for name, props in PROPERTIES.items():
        core.py_save(name, json.dumps({"Properties": props}), "atom")
    t_core, ours = best_with_result(lambda: core.py_optimize_alloy(TARGETS, BASE, POOL, n, 5, 42), 5)
    t_py, theirs = best_with_result(lambda: optimize_alloy_py(TARGETS, BASE, POOL, n, 5, 42, PROPERTIES))
    assert [c["composition"] for c in ours] == [c["composition"] for c in theirs], "compositions differ"
    assert all(abs(a["score"] - b["score"]) < 1e-9 for a, b in zip(ours, theirs))
    print(f"candidates {n}: core {t_core:.4f} s (best of 5), plain Python {t_py:.3f} s (best of 3), "
          f"ratio {t_py / t_core:.1f}x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
