"""Fourier bake: sampling grid, transform, truncation and argument rules."""

from __future__ import annotations

import math

import numpy as np
import pytest

from conftest import CoreError

EPS = 2.220446049250313e-16
BOX = ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))
SHEETS = {
    "alloy/duplex.json": {
        "phase_model": "voronoi",
        "phase_volume_fractions": {"a": 1, "b": 2, "c": 1.5},
        "phase_properties": {"a": {"density": 7.8}, "b": {"density": 2.7}, "c": {"density": 11.3}},
    },
    "alloy/plain.json": {"density": 4.5},
    "alloy/extreme.json": {
        "phase_model": "voronoi",
        "phase_volume_fractions": {"a": 1, "b": 2, "c": 1.5},
        "phase_properties": {"a": {"density": 0.0}, "b": {"density": -1e308}, "c": {"density": 1e308}},
    },
}


def sampled(n, box=BOX, name="duplex"):
    """An expression giving the grid the bake samples, flattened in i, j, k order."""
    return (f"(lambda n=({n[0]}, {n[1]}, {n[2]}), b={box!r}: (lambda c=[(b[1][a] - b[0][a]) / n[a] for a in range(3)]:"
            f" [core.py_sample({name!r}, 'density', ((i + 0.5) * c[0] + b[0][0], (j + 0.5) * c[1] + b[0][1],"
            f" (k + 0.5) * c[2] + b[0][2]), min(c)) for i in range(n[0]) for j in range(n[1])"
            f" for k in range(n[2])])())()")


def reference(values, n):
    """The transform summed term by term in the bake's order, with the same libm."""
    nx, ny, nz = n
    total = 0.0
    for v in values:
        total += v
    base = total / (nx * ny * nz)
    g = [v - base for v in values]
    out = []
    for c in enumerate_freqs(n):
        fn, fm, fl = c
        re = im = 0.0
        idx = 0
        for i in range(nx):
            for j in range(ny):
                for k in range(nz):
                    th = ((k * fl) / nz + ((j * fm) / ny + (i * fn) / nx)) * -6.283185307179586
                    re += g[idx] * math.cos(th)
                    im += g[idx] * math.sin(th)
                    idx += 1
        out.append((fn, fm, fl, 2 * math.sqrt(re * re + im * im) / (nx * ny * nz), math.atan2(im, re)))
    return base, out


def enumerate_freqs(n):
    hx, hy, hz = (v // 2 for v in n)
    for fn in range(hx + 1):
        for fm in range(-hy if fn else 0, hy + 1):
            for fl in range(-hz if (fn, fm) != (0, 0) else 1, hz + 1):
                yield fn, fm, fl


def as_tuples(result):
    return [(c["n"], c["m"], c["l"], c["amplitude"], c["phase"]) for c in result["coefficients"]]


def test_transform_is_exact_and_matches_fft(make_package):
    pkg = make_package(SHEETS)
    # (10, 10, 8) is large enough to run on the worker pool.
    sizes = [(4, 4, 4), (5, 3, 6), (10, 10, 8)]
    out = pkg.eval("[" + ", ".join(f"(core.py_bake_fourier('duplex', 'density', {BOX!r}, {n!r}, 0.0), {sampled(n)})"
                                   for n in sizes) + "]")
    for n, (result, values) in zip(sizes, out):
        assert len(set(values)) == 3  # the cell pattern shows all three phases
        base, expected = reference(values, n)
        assert result["base_value"] == base
        assert as_tuples(result) == expected  # bit for bit, in enumeration order
        # and the same numbers as a fast transform of the same grid
        g = np.array(values).reshape(n) - base
        f = np.fft.fftn(g)
        total = g.size
        for fn, fm, fl, amp, phase in as_tuples(result):
            ref = f[fn % n[0], fm % n[1], fl % n[2]]
            assert amp == pytest.approx(2 * abs(ref) / total, rel=1e-9, abs=1e-12)
            if abs(ref) > 1e-9:
                assert math.cos(phase - np.angle(ref)) == pytest.approx(1.0, abs=1e-9)
    assert [c[:3] for c in as_tuples(out[0][0])] == list(enumerate_freqs((4, 4, 4)))
    assert len(out[0][0]["coefficients"]) == 62


def test_small_grids_and_result_shape(make_package):
    pkg = make_package(SHEETS)
    fine = ((0.0, 0.0, 0.0), (0.001, 0.001, 0.001))
    pair = ((0.002, 0.0, 0.0), (0.004, 0.001, 0.001))  # two 1 mm cells of different phases
    one, centre, two, values2, plain, huge = pkg.eval(
        f"(core.py_bake_fourier('duplex', 'density', {fine!r}, (1, 1, 1)), {sampled((1, 1, 1), fine)},"
        f" core.py_bake_fourier('duplex', 'density', {pair!r}, (2, 1, 1)), {sampled((2, 1, 1), pair)},"
        f" core.py_bake_fourier('plain', 'density', ((0, 0, 0), (1, 2, 3)), (3, 2, 2)),"
        f" [core.py_bake_fourier('extreme', 'density', {pair!r}, (2, 1, 1), t) for t in (0, 0.5)])")
    assert one["coefficients"] == [] and [one["base_value"]] == centre
    assert list(one) == ["property_name", "base_value", "domain_size_m", "coefficients", "boundary_condition"]
    assert one["property_name"] == "density" and one["boundary_condition"] == "periodic"
    assert one["domain_size_m"] == [0.001, 0.001, 0.001]
    a, b = values2
    assert a != b
    [c] = two["coefficients"]
    assert list(c) == ["n", "m", "l", "amplitude", "phase"]
    assert (c["n"], c["m"], c["l"]) == (1, 0, 0)
    assert c["amplitude"] == pytest.approx(abs(a - b), rel=1e-12)
    # a homogeneous entry is flat: its spectrum is zero up to rounding
    assert plain["base_value"] == pytest.approx(4.5, rel=1e-15)
    assert all(c["amplitude"] < 1e-12 for c in plain["coefficients"])
    # an infinite amplitude is kept at threshold 0 (0 times infinity is no cut-off)
    assert [r["coefficients"][0]["amplitude"] for r in huge] == [math.inf, math.inf]


def test_missing_data_coarse_cells_and_extents(make_package):
    pkg = make_package(SHEETS)
    missing, no_prop, coarse, flat_box = pkg.eval(
        f"(core.py_bake_fourier('nowhere', 'density', {BOX!r}, (4, 4, 4), 0.5),"
        f" core.py_bake_fourier('duplex', 'hardness', {BOX!r}, (2, 2, 2)),"
        f" core.py_bake_fourier('duplex', 'density', ((0, 0, 0), (0.1, 0.1, 0.1)), (4, 4, 4)),"
        f" core.py_bake_fourier('plain', 'density', ((0, 1, 0), (1, 0, float('nan'))), (2, 1, 1)))")
    for r in (missing, no_prop):
        assert r["base_value"] == 0.0
        assert r["coefficients"] and all(c["amplitude"] == 0.0 and c["phase"] == 0.0 for c in r["coefficients"])
    assert len(missing["coefficients"]) == 62  # a cut-off of 0 keeps them all
    # cells of 2.5 cm sample the volume-weighted average everywhere
    assert coarse["base_value"] == pytest.approx((7.8 * 1 + 2.7 * 2 + 11.3 * 1.5) / 4.5, rel=1e-14)
    assert max(c["amplitude"] for c in coarse["coefficients"]) < 1e-12
    assert flat_box["domain_size_m"] == [1.0, EPS, EPS]


def test_truncation(make_package):
    pkg = make_package(SHEETS)
    n = (6, 6, 6)
    full, default, explicit, half, top, neg_zero = pkg.eval(
        "[core.py_bake_fourier('duplex', 'density', %r, %r, *t) for t in [(0.0,), (), (0.01,), (0.5,), (1,), (-0.0,)]]"
        % (BOX, n))
    amps = [c["amplitude"] for c in full["coefficients"]]
    assert len(amps) == len(list(enumerate_freqs(n)))
    largest = max(amps)
    for result, threshold in ((default, 0.01), (explicit, 0.01), (half, 0.5), (top, 1.0), (neg_zero, 0.0)):
        kept = [c for c in full["coefficients"] if c["amplitude"] >= threshold * largest]
        assert result["coefficients"] == kept
    assert 0 < len(half["coefficients"]) < len(amps)
    assert top["coefficients"] and all(c["amplitude"] == largest for c in top["coefficients"])


def test_validation_and_arguments(make_package):
    pkg = make_package(SHEETS)
    cases = [
        ("'', '', %r, (0, 4, 4)" % (BOX,), ("ValueError", "entry_name must not be empty")),
        ("'x', '', %r, (0, 4, 4)" % (BOX,), ("ValueError", "property must not be empty")),
        ("'x', 'p', %r, (0, 4, 4), -1" % (BOX,), ("ValueError", "grid_size must be non-zero in all dimensions")),
        ("'x', 'p', %r, (4, 4, 4), -0.5" % (BOX,),
         ("ValueError", "truncate_threshold must be a non-negative finite value")),
        ("'x', 'p', %r, (4, 4, 4), float('nan')" % (BOX,),
         ("ValueError", "truncate_threshold must be a non-negative finite value")),
        # grids that cannot be indexed or allocated
        ("'x', 'p', %r, (2**32, 2**32, 2)" % (BOX,), ("ValueError", "grid_size is too large")),
        ("'x', 'p', %r, (2**32, 1, 1)" % (BOX,), ("ValueError", "grid_size is too large")),
        ("'x', 'p', %r, (1, 1, 2**40)" % (BOX,), ("ValueError", "grid_size is too large")),
        ("'x', 'p', %r, (2**20, 2**20, 2**10)" % (BOX,), ("ValueError", "grid_size is too large")),
        # argument conversion
        ("'x', 'p', [[0, 0, 0], [1, 1, 1]], (4, 4, 4)", ("TypeError", "argument 'bounds': ")),
        ("'x', 'p', %r, [4, 4, 4]" % (BOX,), ("TypeError", "argument 'grid_size': ")),
        ("'x', 'p', %r, (4, 4, 4.0)" % (BOX,), ("TypeError", "argument 'grid_size': ")),
        ("'x', 'p', %r, (4, 4, 4), None" % (BOX,), ("TypeError", "argument 'truncate_threshold': ")),
        ("'x', 'p', %r, (4, -4, 4)" % (BOX,), ("OverflowError", "")),
    ]
    results = pkg.eval_all([f"core.py_bake_fourier({args})" for args, _ in cases])
    for (args, (name, text)), got in zip(cases, results):
        assert isinstance(got, CoreError) and got.name == name and got.text.startswith(text), (args, got)
        if name == "ValueError":
            assert got.text == text
