"""Fourier bake: sampling grid, transform, truncation and argument rules."""

from __future__ import annotations

import math
import os

import numpy as np
import pytest

from conftest import CoreError, expect_errors
from reference import fnv_pick

EPS = 2.220446049250313e-16
BOX = ((0.0, 0.0, 0.0), (0.01, 0.01, 0.01))
SHEETS = {
    "alloy/duplex.json": {
        "phase_model": "voronoi",
        "phase_volume_fractions": {"a": 1, "b": 2, "c": 1.5},
        "phase_properties": {"a": {"density": 7.8}, "b": {"density": 2.7}, "c": {"density": 11.3}},
    },
    "alloy/plain.json": {"density": 4.5},
    "alloy/zero.json": {"density": 0},
    "alloy/onethree.json": {
        "phase_model": "voronoi",
        "phase_volume_fractions": {"a": 1, "b": 2, "c": 1.5},
        "phase_properties": {"a": {"density": 1.0}, "b": {"density": 3.0}, "c": {"density": 3.0}},
    },
    "alloy/nofractions.json": {"phase_model": "voronoi", "density": 1.0},
    "alloy/partial.json": {
        "phase_model": "voronoi",
        "phase_volume_fractions": {"a": 1, "b": 2, "c": 1.5},
        "phase_properties": {"a": {}, "b": {"density": 2.7}, "c": {"density": 11.3}},
    },
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
        terms = 1 if all(self_conjugate(f, size) for f, size in zip(c, n)) else 2
        out.append((fn, fm, fl, terms * math.sqrt(re * re + im * im) / (nx * ny * nz), math.atan2(im, re)))
    return base, out


def self_conjugate(index, size):
    """Whether the frequency index is its own negative modulo the axis size."""
    return index == 0 or (size % 2 == 0 and index == size // 2)


def enumerate_freqs(n):
    """One member of each conjugate pair of non-zero frequencies, in bake order."""
    (hx, hy, hz), (ex, ey, ez) = [v // 2 for v in n], [(v - 1) // 2 for v in n]
    for fn in range(hx + 1):
        x_sc = self_conjugate(fn, n[0])
        for fm in range(0 if x_sc else -ey, hy + 1):
            xy_sc = x_sc and self_conjugate(fm, n[1])
            for fl in range((1 if fn == fm == 0 else 0) if xy_sc else -ez, hz + 1):
                yield fn, fm, fl


def as_tuples(result):
    return [(c["n"], c["m"], c["l"], c["amplitude"], c["phase"]) for c in result["coefficients"]]


def test_transform_is_exact_and_matches_fft(make_package):
    pkg = make_package(SHEETS)
    # (10, 10, 8) is large enough to run on the worker pool.
    sizes = [(4, 4, 4), (5, 3, 6), (10, 10, 8), (2, 7, 2)]
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
            # a frequency that is its own conjugate has no partner to double it
            terms = 1 if all(self_conjugate(v, size) for v, size in zip((fn, fm, fl), n)) else 2
            assert amp == pytest.approx(terms * abs(ref) / total, rel=1e-9, abs=1e-12)
            if abs(ref) > 1e-9:
                assert math.cos(phase - np.angle(ref)) == pytest.approx(1.0, abs=1e-9)
    assert [c[:3] for c in as_tuples(out[0][0])] == list(enumerate_freqs((4, 4, 4)))
    assert len(out[0][0]["coefficients"]) == 35


def test_coefficients_rebuild_the_field_at_every_grid_size(make_package):
    """base + sum A cos(2 pi (n i/nx + m j/ny + l k/nz) + phase) gives back every sample,
    for every combination of even and odd axis sizes up to 6."""
    pkg = make_package(SHEETS)
    box = ((-0.0021, 0.0013, 0.0), (0.0037, 0.0061, 0.0052))  # cells of about 1 mm: all phases show
    sizes = [(nx, ny, nz) for nx in range(1, 7) for ny in range(1, 7) for nz in range(1, 7)]
    out = pkg.eval("[" + ", ".join(f"(core.py_bake_fourier('duplex', 'density', {box!r}, {n!r}, 0), "
                                   f"{sampled(n, box)})" for n in sizes) + "]")
    for n, (result, values) in zip(sizes, out):
        want = np.array(values).reshape(n)
        coeffs = result["coefficients"]
        points = want.size
        # one term per conjugate pair of non-zero frequencies, S of them their own pair
        assert [c[:3] for c in as_tuples(result)] == list(enumerate_freqs(n))
        own = math.prod(2 if v % 2 == 0 else 1 for v in n)
        assert len(coeffs) == (points - own) // 2 + own - 1
        i, j, k = np.meshgrid(*(np.arange(v) for v in n), indexing="ij")
        rebuilt = np.full(n, result["base_value"])
        for c in coeffs:
            rebuilt += c["amplitude"] * np.cos(2 * np.pi * (c["n"] * i / n[0] + c["m"] * j / n[1]
                                                            + c["l"] * k / n[2]) + c["phase"])
        np.testing.assert_allclose(rebuilt, want, rtol=1e-9, atol=0, err_msg=str(n))
    counts = dict(zip(sizes, (len(r["coefficients"]) for r, _ in out)))
    assert counts[(4, 4, 4)] == 35 and counts[(2, 2, 2)] == 7 and counts[(1, 1, 1)] == 0
    assert counts[(5, 3, 5)] == (5 * 3 * 5 - 1) // 2  # odd sizes: every term has a partner


def test_small_grids_and_result_shape(make_package):
    pkg = make_package(SHEETS)
    fine = ((0.0, 0.0, 0.0), (0.001, 0.001, 0.001))
    pair = ((0.002, 0.0, 0.0), (0.004, 0.001, 0.001))  # two 1 mm cells of different phases
    fractions = SHEETS["alloy/duplex.json"]["phase_volume_fractions"]
    # two 1 mm cells, one of phase a (1.0), the other of b or c (3.0)
    x = next(t * 0.001 for t in range(100)
             if (fnv_pick(fractions, ((t + 0.5) * 0.001, 0.0005, 0.0005), 0.001) == "a")
             != (fnv_pick(fractions, ((t + 1.5) * 0.001, 0.0005, 0.0005), 0.001) == "a"))
    one, centre, two, values2, plain, huge, one_three = pkg.eval(
        f"(core.py_bake_fourier('duplex', 'density', {fine!r}, (1, 1, 1)), {sampled((1, 1, 1), fine)},"
        f" core.py_bake_fourier('duplex', 'density', {pair!r}, (2, 1, 1)), {sampled((2, 1, 1), pair)},"
        f" core.py_bake_fourier('plain', 'density', ((0, 0, 0), (1, 2, 3)), (3, 2, 2)),"
        f" [core.py_bake_fourier('extreme', 'density', {pair!r}, (2, 1, 1), t) for t in (0, 0.5)],"
        f" core.py_bake_fourier('onethree', 'density', (({x}, 0, 0), ({x} + 0.002, 0.001, 0.001)), (2, 1, 1)))")
    assert one["coefficients"] == [] and [one["base_value"]] == centre
    assert list(one) == ["property_name", "base_value", "domain_size_m", "coefficients", "boundary_condition"]
    assert one["property_name"] == "density" and one["boundary_condition"] == "periodic"
    assert one["domain_size_m"] == [0.001, 0.001, 0.001]
    a, b = values2
    assert a != b
    [c] = two["coefficients"]
    assert list(c) == ["n", "m", "l", "amplitude", "phase"]
    assert (c["n"], c["m"], c["l"]) == (1, 0, 0)
    # (1, 0, 0) is its own conjugate on two points: half the difference
    assert two["base_value"] == pytest.approx((a + b) / 2, rel=1e-15)
    assert c["amplitude"] == pytest.approx(abs(a - b) / 2, rel=1e-12)
    assert one_three["base_value"] == 2.0 and [c["amplitude"] for c in one_three["coefficients"]] == [1.0]
    # a homogeneous entry is flat: its spectrum is zero up to rounding
    assert plain["base_value"] == pytest.approx(4.5, rel=1e-15)
    assert all(c["amplitude"] < 1e-12 for c in plain["coefficients"])
    # an infinite amplitude is kept at threshold 0 (0 times infinity is no cut-off)
    assert [r["coefficients"][0]["amplitude"] for r in huge] == [math.inf, math.inf]


def test_failed_samples_coarse_cells_and_extents(make_package):
    pkg = make_package(SHEETS)
    fractions = SHEETS["alloy/duplex.json"]["phase_volume_fractions"]
    # a box whose first grid point lies in phase a, which lacks the property of "partial"
    start = next(t * 0.001 for t in range(100) if fnv_pick(fractions, ((t + 0.5) * 0.001, 0.0005, 0.0005),
                                                             0.001) == "a")
    partial_box = ((start, 0.0, 0.0), (start + 0.006, 0.006, 0.006))
    p0 = (0.0025, 0.0025, 0.0025)  # first grid point of BOX at (2, 2, 2)
    missing, no_prop, no_top, no_fractions, partial, zero, coarse, flat_box = pkg.eval_all([
        f"core.py_bake_fourier('nowhere', 'density', {BOX!r}, (4, 4, 4), 0.5)",
        f"core.py_bake_fourier('duplex', 'hardness', {BOX!r}, (2, 2, 2))",
        f"core.py_bake_fourier('plain', 'hardness', {BOX!r}, (2, 2, 2))",
        f"core.py_bake_fourier('nofractions', 'density', {BOX!r}, (2, 2, 2))",
        f"core.py_bake_fourier('partial', 'density', {partial_box!r}, (6, 6, 6), 0)",
        f"core.py_bake_fourier('zero', 'density', {BOX!r}, (4, 4, 4), 0.5)",
        f"core.py_bake_fourier('duplex', 'density', ((0, 0, 0), (0.1, 0.1, 0.1)), (4, 4, 4))",
        f"core.py_bake_fourier('plain', 'density', ((0, 1, 0), (1, 0, float('nan'))), (2, 1, 1))",
    ])
    # nothing sampled: the failure at grid point (0, 0, 0) is the error
    for got, text in [(missing, "sample::lookup_entry: no datasheet found for 'nowhere'"),
                      (no_prop, f"voronoi sample: phase '{fnv_pick(fractions, p0, 0.005)}' missing numeric "
                                "'hardness'"),
                      (no_top, "sample: property 'hardness' missing or non-numeric"),
                      (no_fractions, "voronoi sample: entry missing 'phase_volume_fractions' object")]:
        assert isinstance(got, CoreError) and (got.name, got.arg) == ("ValueError", text)
    # some samples failed, among them the first: they count as 0.0
    props = SHEETS["alloy/partial.json"]["phase_properties"]
    values = [props[fnv_pick(fractions, (start + (i + 0.5) * 0.001, (j + 0.5) * 0.001, (k + 0.5) * 0.001),
                             0.001)].get("density", 0.0) for i in range(6) for j in range(6) for k in range(6)]
    assert values[0] == 0.0 and len(set(values)) == 3
    assert partial["base_value"] == pytest.approx(sum(values) / len(values), rel=1e-14)
    # a field of zeros is a field: every amplitude 0, a cut-off of 0 keeps them all
    assert zero["base_value"] == 0.0 and len(zero["coefficients"]) == 35
    assert all(c["amplitude"] == 0.0 and c["phase"] == 0.0 for c in zero["coefficients"])
    # cells of 2.5 cm sample the volume-weighted average everywhere
    assert coarse["base_value"] == pytest.approx((7.8 * 1 + 2.7 * 2 + 11.3 * 1.5) / 4.5, rel=1e-14)
    assert max(c["amplitude"] for c in coarse["coefficients"]) < 1e-12
    assert flat_box["domain_size_m"] == [1.0, EPS, EPS]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit starves the sanitizer's own mappings")
def test_a_grid_whose_other_buffers_cannot_be_allocated_is_too_large(make_package):
    pkg = make_package(SHEETS)
    proc = pkg.run("""
        import resource
        import lumivarex._lumivarex_core as core
        box = ((0, 0, 0), (1, 1, 1))
        # This thread's first C++ error sets up the runtime's per-thread data,
        # which the C library cannot do without memory: have it done now.
        try:
            core.py_bake_fourier("", "density", box, (1, 1, 1))
        except ValueError:
            pass
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        # Room for the 128 MiB sample grid of 256^3 points, not for the rest.
        resource.setrlimit(resource.RLIMIT_AS, (used + 200 * 2**20, resource.RLIM_INFINITY))
        try:
            core.py_bake_fourier("plain", "density", box, (256, 256, 256))
        except ValueError as e:
            print(e)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(len(core.py_bake_fourier("plain", "density", box, (4, 4, 4), 0)["coefficients"]))
    """)
    assert proc.stdout.splitlines() == ["grid_size is too large", "35"], proc.stderr


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
    expect_errors(pkg, [
        ("'', '', %r, (0, 4, 4)" % (BOX,), "ValueError", "entry_name must not be empty"),
        ("'x', '', %r, (0, 4, 4)" % (BOX,), "ValueError", "property must not be empty"),
        ("'x', 'p', %r, (0, 4, 4), -1" % (BOX,), "ValueError", "grid_size must be non-zero in all dimensions"),
        ("'x', 'p', %r, (4, 4, 4), -0.5" % (BOX,), "ValueError",
         "truncate_threshold must be a non-negative finite value"),
        ("'x', 'p', %r, (4, 4, 4), float('nan')" % (BOX,), "ValueError",
         "truncate_threshold must be a non-negative finite value"),
        # grids that cannot be indexed or allocated
        ("'x', 'p', %r, (2**32, 2**32, 2)" % (BOX,), "ValueError", "grid_size is too large"),
        ("'x', 'p', %r, (2**32, 1, 1)" % (BOX,), "ValueError", "grid_size is too large"),
        ("'x', 'p', %r, (1, 1, 2**40)" % (BOX,), "ValueError", "grid_size is too large"),
        ("'x', 'p', %r, (2**20, 2**20, 2**10)" % (BOX,), "ValueError", "grid_size is too large"),
        # argument conversion
        ("'x', 'p', [[0, 0, 0], [1, 1, 1]], (4, 4, 4)", "TypeError", "argument 'bounds': ..."),
        ("'x', 'p', %r, [4, 4, 4]" % (BOX,), "TypeError", "argument 'grid_size': ..."),
        ("'x', 'p', %r, (4, 4, 4.0)" % (BOX,), "TypeError", "argument 'grid_size': ..."),
        ("'x', 'p', %r, (4, 4, 4), None" % (BOX,), "TypeError", "argument 'truncate_threshold': ..."),
        ("'x', 'p', %r, (4, -4, 4)" % (BOX,), "OverflowError", None),
    ], "core.py_bake_fourier({})")


def test_runs_of_the_coefficients_join_into_the_untruncated_bake(make_package):
    pkg = make_package(SHEETS)
    grids = [(1, 1, 1), (2, 1, 1), (5, 4, 3), (6, 6, 6)]
    wholes = pkg.eval_all(["core.py_bake_fourier('duplex', 'density', %r, %r, 0.0)" % (BOX, g) for g in grids])
    for grid, whole in zip(grids, wholes):
        for parts in (1, 3, 200):
            runs = pkg.eval(
                "[(r[0], r[1], r[2].format, r[2].tolist(), r[3].tolist(), r[4].tolist()) for r in "
                "(core.py_bake_part('duplex', 'density', %r, %r, p, %d) for p in range(%d))]"
                % (BOX, grid, parts, parts))
            count = len(whole["coefficients"])
            # Equal runs in order: run p starts at count * p // parts.
            assert [len(r[3]) for r in runs] == [count * (p + 1) // parts - count * p // parts for p in range(parts)]
            assert {(r[0], tuple(r[1]), r[2]) for r in runs} == {(whole["base_value"], tuple(whole["domain_size_m"]),
                                                                 "i")}
            joined = [{"n": n, "m": m, "l": l, "amplitude": a, "phase": ph}
                      for r in runs for (n, m, l), a, ph in zip(r[3], r[4], r[5])]
            assert joined == whole["coefficients"], (grid, parts)
    expect_errors(pkg, [
        ("'duplex', 'density', %r, (4, 4, 4), 3, 3" % (BOX,), "ValueError", "part must be below parts"),
        ("'duplex', 'density', %r, (4, 4, 4), 0, 0" % (BOX,), "ValueError", "part must be below parts"),
        ("'duplex', '', %r, (4, 4, 4), 0, 1" % (BOX,), "ValueError", "property must not be empty"),
        ("'duplex', 'density', %r, (2**32, 1, 1), 0, 1" % (BOX,), "ValueError", "grid_size is too large"),
        ("'duplex', 'density', %r, (4, 4, 4), -1, 1" % (BOX,), "OverflowError", None),
    ], "core.py_bake_part({})")
