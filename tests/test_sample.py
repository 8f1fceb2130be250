"""Point sampling: the direct read, the voronoi model and py_sample's errors."""

from __future__ import annotations

import pytest

from conftest import CoreError, expect_errors
from reference import fnv_pick

DUPLEX = {
    "phase_model": "voronoi",
    "phase_volume_fractions": {"a": 1, "b": 3},
    "phase_properties": {"a": {"density": 1000}, "b": {"density": 5000.5}},
    "density": -1,
}


@pytest.fixture
def pkg(make_package):
    return make_package({
        "alloy/duplex.json": DUPLEX,
        "alloy/steel.json": {"density": 7850, "label": "x", "phase_model": "homogeneous"},
        "alloy/odd.json": {"density": 2.5, "phase_model": 7},
        "alloy/other.json": {"density": 3, "phase_model": "unregistered",
                             "phase_volume_fractions": {"a": 1}},
        "alloy/zero.json": {"phase_model": "voronoi", "phase_volume_fractions": {"a": 0, "b": 0},
                            "phase_properties": {"a": {"density": 1}}, "density": 42},
        "alloy/noprops.json": {"phase_model": "voronoi", "phase_volume_fractions": {"a": 1}},
        "alloy/neg.json": {"phase_model": "voronoi", "phase_volume_fractions": {"a": 2, "b": -1, "c": 1},
                           "phase_properties": {"a": {"v": 1}, "b": {"v": 2}, "c": {"v": 3}}},
        "alloy/gaps.json": {"phase_model": "voronoi", "phase_volume_fractions": {"a": 1, "b": 1},
                            "phase_properties": {"a": {"v": 1}, "b": "x"}},
    })


def test_direct_read_and_unregistered_models(pkg):
    got = pkg.eval("""(
        core.py_sample('steel', 'density'),
        core.py_sample('steel', 'density', (1.0, 2.0, 3.0), 0.001),
        core.py_sample('odd', 'density', (0, 0, 0)),
        core.py_sample('other', 'density', None, None),
    )""")
    assert got == (7850.0, 7850.0, 2.5, 3.0)
    with pytest.raises(CoreError) as e:
        pkg.eval("core.py_sample('steel', 'label')")
    assert (e.value.name, e.value.arg) == ("KeyError", "sample: property 'label' missing or non-numeric")


def test_voronoi_average_and_scales(pkg):
    avg = (1 * 1000 + 3 * 5000.5) / 4
    got = pkg.eval("""(
        core.py_sample('duplex', 'density'),
        core.py_sample('duplex', 'density', (0.1, 0.2, 0.3), 0.01),
        core.py_sample('duplex', 'density', (0.1, 0.2, 0.3), float('inf')) ,
    )""")
    assert got[0] == avg and got[1] == avg
    # an infinite scale is not a usable cell: 1 mm cells
    p = (0.1, 0.2, 0.3)
    assert got[2] == {"a": 1000.0, "b": 5000.5}[fnv_pick(DUPLEX["phase_volume_fractions"], p, 0.001)]


def test_voronoi_points_follow_the_reference_pick(pkg):
    pts = [(i * 0.00037 - 0.005, i * 0.00113 - 0.01, (i * 7 % 13) * 0.0009 - 0.004) for i in range(300)]
    scales = [None, 0.005, -1.0, 0.0, float("nan")]
    expr = "[core.py_sample('duplex', 'density', p, s) for s in %r for p in %r]" % (scales, pts)
    got = pkg.eval(expr.replace("nan", "float('nan')"))
    values = {"a": 1000.0, "b": 5000.5}
    want = [values[fnv_pick(DUPLEX["phase_volume_fractions"], p, s if s == 0.005 else 0.001)]
            for s in scales for p in pts]
    assert got == want
    share_a = sum(1 for v in got[:300] if v == 1000.0) / 300
    assert 0.15 < share_a < 0.35
    # two points of one 1 mm cell, and two either side of the cell boundary at
    # zero: -0.5 mm lies in cell -1 (not 0), whose phase differs here
    below, above = (-0.0005, 0.0005, 0.0025), (0.0005, 0.0005, 0.0025)
    got = pkg.eval(f"""(
        core.py_sample('duplex', 'density', (0.0011, 0.0021, 0.0031)),
        core.py_sample('duplex', 'density', (0.0019, 0.0029, 0.0039)),
        core.py_sample('duplex', 'density', {below!r}),
        core.py_sample('duplex', 'density', {above!r}),
    )""")
    assert got[0] == got[1]
    want = tuple(values[fnv_pick(DUPLEX["phase_volume_fractions"], p, 0.001)] for p in (below, above))
    assert got[2:] == want == (1000.0, 5000.5)


def test_voronoi_failures(pkg):
    expect_errors(pkg, [
        ("'zero', 'density', (0, 0, 0)", "KeyError", "voronoi sample: total phase volume must be > 0"),
        ("'noprops', 'density'", "KeyError", "voronoi sample: entry missing 'phase_properties' object"),
        ("'noprops', 'density', (0, 0, 0)", "KeyError", "voronoi sample: entry missing 'phase_properties' object"),
        ("'duplex', 'hardness', (0, 0, 0), 0.5", "KeyError", "voronoi sample: phase 'a' missing numeric 'hardness'"),
        ("'gaps', 'v'", "KeyError", "voronoi sample: no properties for phase 'b'"),
        ("'nobody', 'v'", "KeyError", "sample::lookup_entry: no datasheet found for 'nobody'"),
    ], "core.py_sample({})")
    # the average path of a zero-total entry falls back to the top-level value
    assert pkg.eval("core.py_sample('zero', 'density')") == 42.0
    # fractions 2, -1, 1: running sums 2, 1, 2 never let b or c win
    got = pkg.eval("{core.py_sample('neg', 'v', (i * 0.001, 0, 0)) for i in range(200)}")
    assert got == {1.0}


def test_argument_checks(pkg):
    expect_errors(pkg, [
        ("'', ''", "PanicException", "py_sample: name must be non-empty"),
        ("'steel', ''", "PanicException", "py_sample: property must be non-empty"),
        ("'steel', 'density', (1, 2)", "TypeError", "argument 'at': ..."),
        ("'steel', 'density', None, 'x'", "TypeError", "argument 'scale_m': ..."),
    ], "core.py_sample({})")
