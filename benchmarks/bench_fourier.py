"""py_bake_fourier against a numpy direct DFT of the same grid and enumeration,
and against numpy.fft.fftn for scale.

Run: python3 benchmarks/bench_fourier.py [sizes...]
"""

from __future__ import annotations

import json
import sys

import numpy as np

from timing import best_with_result

import lumivarex._lumivarex_core as core

ENTRY = "bench_fourier_duplex"
BOX = ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))


def sampled_grid(n):
    cell = [(BOX[1][a] - BOX[0][a]) / n for a in range(3)]
    s = min(cell)
    g = np.empty((n, n, n))
    for i in range(n):
        for j in range(n):
            for k in range(n):
                g[i, j, k] = core.py_sample(ENTRY, "density", ((i + 0.5) * cell[0], (j + 0.5) * cell[1],
                                                               (k + 0.5) * cell[2]), s)
    return g


def self_conjugate(index, n):
    return index == 0 or (n % 2 == 0 and index == n // 2)


def enumeration(n):
    """One member of each conjugate pair of non-zero frequencies of an n^3 grid."""
    h, e = n // 2, (n - 1) // 2
    for fn in range(h + 1):
        for fm in range(0 if self_conjugate(fn, n) else -e, h + 1):
            both = self_conjugate(fn, n) and self_conjugate(fm, n)
            for fl in range((1 if fn == fm == 0 else 0) if both else -e, h + 1):
                yield fn, fm, fl


def numpy_direct(g, threshold=0.01):
    nx, ny, nz = g.shape
    base = g.mean()
    d = g - base
    i = np.arange(nx)[:, None, None]
    j = np.arange(ny)[None, :, None]
    k = np.arange(nz)[None, None, :]
    coeffs = []
    for fn, fm, fl in enumeration(nx):
        theta = ((k * fl) / nz + ((j * fm) / ny + (i * fn) / nx)) * -6.283185307179586
        f = np.sum(d * np.exp(1j * theta))
        terms = 1 if all(self_conjugate(v, nx) for v in (fn, fm, fl)) else 2
        coeffs.append((fn, fm, fl, terms * abs(f) / d.size, np.angle(f)))
    largest = max(c[3] for c in coeffs)
    return base, [c for c in coeffs if c[3] >= threshold * largest]


def main(sizes):
    core.py_save(ENTRY, json.dumps({
        "phase_model": "voronoi",
        "phase_volume_fractions": {"a": 1, "b": 2, "c": 1.5},
        "phase_properties": {"a": {"density": 7.8}, "b": {"density": 2.7}, "c": {"density": 11.3}},
    }), "alloy")
    print(f"{'grid':>6} {'bake s':>10} {'numpy DFT s':>12} {'ratio':>7} {'fftn s':>10} {'coeffs':>7}")
    for n in sizes:
        g = sampled_grid(n)
        repeat = 5 if n <= 16 else 2
        t_bake, res = best_with_result(lambda: core.py_bake_fourier(ENTRY, "density", BOX, (n, n, n)), repeat)
        t_np, (base, ref) = best_with_result(lambda: numpy_direct(g), 1 if n > 16 else 2)
        t_fft, _ = best_with_result(lambda: np.fft.fftn(g - g.mean()), 20)
        ours = [(c["n"], c["m"], c["l"]) for c in res["coefficients"]]
        assert abs(res["base_value"] - base) < 1e-12 and ours == [c[:3] for c in ref], "results differ"
        amp = max(abs(c["amplitude"] - r[3]) for c, r in zip(res["coefficients"], ref))
        assert amp < 1e-9, amp
        print(f"{n:>4}^3 {t_bake:>10.4f} {t_np:>12.4f} {t_np / t_bake:>6.1f}x {t_fft:>10.6f} {len(ours):>7}")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [8, 16, 24])
